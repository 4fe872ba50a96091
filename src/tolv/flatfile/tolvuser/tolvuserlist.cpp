// tolvuserlist.cpp - user enumeration: listing "userlist.file" by mode and
// filters, appending names, counting and walking a user list, and naming a
// user's groups file.
#include "tolvinternal.h"

namespace tolv {

namespace {

const IndexedFamily<rspi_user> kUsers{
    kUserList, &rspi_user::domain, &rspi_user::user_id, Rc::InvalidUser, rspi_get_user,
    {
        "UUID? userlist entry invalid: %s\n",
        "registryUID? userlist entry invalid: %s\n",
        "userID? userlist entry invalid: %s\n",
        "QZ domain = %s  QZ userid = %s\n",
        "Flatfile registry UID = %s\n",
    },
    text::get_userlist, text::userlist_count, text::first_user, text::next_user, text::previous_user,
};

Rc user_grouplist(rspi_user *user, rspi_grouplist *groups) {
    if (!user || !user->user_id || !user->domain || !groups) return Rc::InvalidUser;
    ui_tolower(user->domain);
    ui_tolower(user->user_id);
    return list_name_lazy(list_ref(groups), my_groups_list(user->domain, user->user_id));
}

}  // namespace

}  // namespace tolv

using tolv::kUsers;
using tolv::Move;
using U = rspi_user;
using UL = rspi_userlist;

TOLV_EXPORT uint32_t rspi_get_userlist(char **h, UL *list, uint32_t mode, const char *id_filter,
                                       const char *domain_filter, const char *registry_id_filter) {
    return indexed_list(kUsers, h, list, {mode, id_filter, domain_filter, registry_id_filter});
}
TOLV_EXPORT uint32_t rspi_userlist_add_user(char **, UL *list, char **names, int32_t count) {
    // The handle is not needed: nothing is read or written.
    return tolv::guarded([&] { return list ? list_add_names(tolv::list_ref(list), names, count) : tolv::Rc::InvalidGroup; });
}
TOLV_EXPORT int32_t rspi_userlist_count(char **h, UL *list) { return indexed_count(kUsers, h, list); }
TOLV_EXPORT uint32_t rspi_first_user(char **h, UL *list, U *u, int32_t fetch) {
    return indexed_step(kUsers, h, list, u, fetch, Move::First);
}
TOLV_EXPORT uint32_t rspi_next_user(char **h, UL *list, U *u, int32_t fetch) {
    return indexed_step(kUsers, h, list, u, fetch, Move::Next);
}
TOLV_EXPORT uint32_t rspi_previous_user(char **h, UL *list, U *u, int32_t fetch) {
    return indexed_step(kUsers, h, list, u, fetch, Move::Previous);
}
TOLV_EXPORT uint32_t rspi_user_grouplist(char **h, U *user, rspi_grouplist *groups) {
    return tolv::traced_read_op(tolv::text::user_grouplist, h, static_cast<const U *>(user),
                                [&](std::string_view) { return tolv::user_grouplist(user, groups); });
}
