// tolvuser.cpp - creating, fetching and modifying users.
#include "tolvdiag.h"
#include "tolvinternal.h"

namespace tolv {

namespace {

Rc create_user(std::string_view dir, rspi_user *user) {
    if (!user || !usable_name(user->user_id) || !usable_name(user->domain) ||
        !user_names_fit(user->domain, user->user_id))
        return Rc::InvalidUser;
    ui_tolower(user->domain);
    ui_tolower(user->user_id);
    // Only the user file decides: a disabled user or a stray list line
    // with the same registry id does not stop a new user. A user file
    // that exists but cannot be read is never overwritten.
    if (const Rc rc = io::absent(io::probe(user_file(dir, user->domain, user->user_id)), Rc::UserExists); !ok(rc))
        return rc;
    return ui_replace_user(dir, user, true);
}

Rc get_user(std::string_view dir, rspi_user *user) {
    Rc rc = Rc::InvalidUser;
    if (user) {
        // The stored password never reaches the host: it is not even read
        // into the record, whose password stays the caller's.
        rc = ui_get_user(dir, user, false);

        // The user's groups, loaded on first use; attached whatever the read
        // gave. The read has lower-cased the names.
        if (user->user_id && user->domain) {
            rspi_free_grouplist(user->groups);
            user->groups = rspi_alloc_grouplist();
            const Rc lrc = user->groups ? list_name_lazy(list_ref(user->groups),
                                                         my_groups_list(user->domain, user->user_id))
                                        : Rc::NoMemory;
            if (!ok(lrc) && ok(rc)) rc = lrc;
        }
    }
    return rc;
}

// The stored user, read by read(tmp) under the caller's names, with the
// caller's given fields laid over it; every pointer lent to it is handed back.
struct MergedUser : Borrowing<rspi_user> {
    explicit MergedUser(rspi_user *caller) : Borrowing(rspi_alloc_user(), rspi_free_user) {
        if (get()) lend_from(caller, &rspi_user::user_id, &rspi_user::domain);
    }
    // 3 without memory, or the read's failure. stored_dn: the stored certificate DN.
    template <class Read>
    Rc load(const rspi_user *caller, Read &&read, const char **stored_dn = nullptr) {
        if (!get()) return Rc::NoMemory;
        if (const Rc rc = read(get()); !ok(rc)) return rc;
        if (stored_dn) *stored_dn = get()->cert_dn;
        merge_record<rspi_user>(*this, caller, format::kUserFields);
        return Rc::Success;
    }
};

Rc modify_user(std::string_view dir, rspi_user *user) {
    MergedUser merged(user);
    const char *stored_dn = nullptr;
    if (const Rc rc = merged.load(user, [&](rspi_user *tmp) { return ui_get_user(dir, tmp); }, &stored_dn); !ok(rc))
        return rc;
    return ui_replace_user(dir, merged.get(), false, stored_dn);
}

}  // namespace

Rc ui_check_user_enable(std::string_view dir, const std::string &path, rspi_user *user) {
    MergedUser merged(user);
    // The blob stays under the enabled name while the user is disabled.
    if (const Rc rc = merged.load(user, [&](rspi_user *tmp) { return ui_read_user(path, tmp, true, false); }); !ok(rc))
        return rc;
    rspi_user *const tmp = merged.get();
    // The UUID enable will make: any valid text stands in for it.
    static constexpr char kNewUuid[] = "00000000-0000-0000-0000-000000000000";
    const char *uuid = user->uuid_string ? user->uuid_string : kNewUuid;
    if (const Rc rc = ui_check_user(tmp, uuid); !ok(rc)) return rc;
    return ui_check_user_identity(dir, tmp, user->uuid_string, user->registry_id);
}

namespace {

Rc modify_user_traced(std::string_view dir, rspi_user *user) {
    return traced(text::modify_user, user,
                  [&] { return user && user->user_id && user->domain ? modify_user(dir, user) : Rc::InvalidUser; });
}

}  // namespace

}  // namespace tolv

TOLV_EXPORT uint32_t rspi_create_user(char **handle, rspi_user *user) {
    return tolv::traced_write_op(tolv::text::create_user, handle, user,
                                 [&](std::string_view dir) { return tolv::create_user(dir, user); });
}

TOLV_EXPORT uint32_t rspi_get_user(char **handle, rspi_user *user) {
    return tolv::traced_read_op(tolv::text::get_user, handle, user,
                                [&](std::string_view dir) { return tolv::get_user(dir, user); });
}

TOLV_EXPORT uint32_t rspi_modify_user(char **handle, rspi_user *user) {
    return tolv::guarded_write_op(handle,
                                  [&](std::string_view dir) { return tolv::modify_user_traced(dir, user); });
}
