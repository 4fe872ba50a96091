// tolvuserlist.cpp - user enumeration: listing "userlist.file" by mode and
// filters, appending names, counting and walking a user list, and naming a
// user's groups file.
#include "tolvdiag.h"
#include "tolvinternal.h"

namespace tolv {

namespace {

constexpr IndexTexts kUserListTexts{
    "UUID? userlist entry invalid: %s\n",
    "registryUID? userlist entry invalid: %s\n",
    "userID? userlist entry invalid: %s\n",
    "QZ domain = %s  QZ userid = %s\n",
    "Flatfile registry UID = %s\n",
};

Rc get_userlist(std::string_view dir, rspi_userlist *list, const IndexFilters &filters) {
    if (!list) return Rc::InvalidUser;
    return list_index(dir, kUserList, list_ref(list), filters, kUserListTexts);
}

// Fills the user from one entry. A registry-id entry stands for a disabled
// user, which has no user file: only registry_id is set and fetch is ignored.
Rc ui_get_userentry(char **handle, rspi_user *user, const rspi_list_item &item, int32_t fetch) {
    if (item.flag == kRegistryIdEntry) {
        rspi_free(user->user_id);
        rspi_free(user->domain);
        user->user_id = user->domain = nullptr;
        return set_str(user->registry_id, item.data ? item.data : "");
    }
    if (const Rc rc = ui_split_name_entry(item.data, user->domain, user->user_id); !ok(rc)) return rc;
    return fetch ? static_cast<Rc>(rspi_get_user(handle, user)) : Rc::Success;
}

Rc traced_step(const text::OpText &t, char **handle, std::string_view dir, rspi_userlist *list, rspi_user *user,
               int32_t fetch, Move move) {
    TOLV_TRACE("%s", t.entry);
    const Rc rc = cursor_step(dir, list, user, Rc::InvalidUser, move,
                              [&](const rspi_list_item &item) { return ui_get_userentry(handle, user, item, fetch); });
    TOLV_TRACE(t.exit, code(rc));
    return rc;
}

Rc user_grouplist(rspi_user *user, rspi_grouplist *groups) {
    if (!user || !user->user_id || !user->domain || !groups) return Rc::InvalidUser;
    ui_tolower(user->domain);
    ui_tolower(user->user_id);
    return list_name_lazy(list_ref(groups), my_groups_list(user->domain, user->user_id));
}

}  // namespace

}  // namespace tolv

using tolv::guarded_op;
namespace text = tolv::text;

TOLV_EXPORT uint32_t rspi_get_userlist(char **handle, rspi_userlist *list, uint32_t mode, const char *id_filter,
                                       const char *domain_filter, const char *registry_id_filter) {
    return guarded_op(handle, [&](std::string_view dir) {
        TOLV_TRACE("%s", text::get_userlist.entry);
        const tolv::Rc rc =
            tolv::get_userlist(dir, list, tolv::IndexFilters{mode, id_filter, domain_filter, registry_id_filter});
        TOLV_TRACE(text::get_userlist.exit, tolv::code(rc));
        return rc;
    });
}

TOLV_EXPORT uint32_t rspi_userlist_add_user(char **, rspi_userlist *list, char **names, int32_t count) {
    // The handle is not needed: nothing is read or written.
    return tolv::guarded([&] { return list ? tolv::list_add_names(tolv::list_ref(list), names, count)
                                           : tolv::Rc::InvalidGroup; });
}

TOLV_EXPORT int32_t rspi_userlist_count(char **handle, rspi_userlist *list) {
    return tolv::guarded_count_op(
        handle, [&](std::string_view dir) { return tolv::traced_list_count(text::userlist_count, dir, list); });
}

TOLV_EXPORT uint32_t rspi_first_user(char **handle, rspi_userlist *list, rspi_user *user, int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::traced_step(text::first_user, handle, dir, list, user, fetch, tolv::Move::First);
    });
}

TOLV_EXPORT uint32_t rspi_next_user(char **handle, rspi_userlist *list, rspi_user *user, int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::traced_step(text::next_user, handle, dir, list, user, fetch, tolv::Move::Next);
    });
}

TOLV_EXPORT uint32_t rspi_previous_user(char **handle, rspi_userlist *list, rspi_user *user, int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::traced_step(text::previous_user, handle, dir, list, user, fetch, tolv::Move::Previous);
    });
}

TOLV_EXPORT uint32_t rspi_user_grouplist(char **handle, rspi_user *user, rspi_grouplist *groups) {
    return guarded_op(handle, [&](std::string_view) {
        TOLV_TRACE(text::user_grouplist.entry, tolv::nz(user ? user->domain : nullptr),
                   tolv::nz(user ? user->user_id : nullptr));
        const tolv::Rc rc = tolv::user_grouplist(user, groups);
        TOLV_TRACE(text::user_grouplist.exit, tolv::code(rc));
        return rc;
    });
}
