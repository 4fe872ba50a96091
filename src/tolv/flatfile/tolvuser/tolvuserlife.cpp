// tolvuserlife.cpp - taking users out of service and back: delete, disable and enable, with the group
// memberships and credentials they hold.
#include "tolvdiag.h"
#include "tolvinternal.h"

namespace tolv {

namespace {

// Removes the user from every group named in its groups list.
Rc leave_all_groups(char **handle, rspi_user *user) {
    Owned<rspi_group> group(rspi_alloc_group(), rspi_free_group);
    Owned<rspi_grouplist> groups(rspi_alloc_grouplist(), rspi_free_grouplist);
    if (!group || !groups) return Rc::NoMemory;
    if (const uint32_t rc = rspi_user_grouplist(handle, user, groups.get()); rc != RSPI_RC_SUCCESS)
        return static_cast<Rc>(rc);
    return walk_list(handle, groups.get(), group.get(), rspi_next_group,
                     [&](rspi_group *g) { return rspi_remove_group_member(handle, g, user); });
}

// Deletes every credential of the user; 30 when the user file is gone.
Rc delete_all_rescreds(char **handle, rspi_user *user) {
    Owned<rspi_rescreds> creds(rspi_alloc_rescreds(), rspi_free_rescreds);
    Owned<rspi_rescredslist> list(rspi_alloc_rescredslist(), rspi_free_rescredslist);
    if (!creds || !list) return Rc::NoMemory;
    if (const uint32_t rc = rspi_get_rescredslist(handle, user, list.get()); rc != RSPI_RC_SUCCESS)
        return static_cast<Rc>(rc);
    return walk_list(handle, list.get(), creds.get(), rspi_next_rescreds,
                     [&](rspi_rescreds *c) { return rspi_delete_rescreds(handle, user, c); });
}

// Drops every certificate-DN line of the user ("domain user " prefix); a user without one is fine, a list that
// cannot be rewritten is not (6).
Rc purge_cert_dns(std::string_view dir, const rspi_user *user) {
    std::string prefix(user->domain);
    prefix.append(" ").append(user->user_id).append(" ");
    const Rc rc = ui_purge_from_entrylist(dir, kCertDnList, prefix);
    return rc == Rc::FileError || rc == Rc::NoMemory ? rc : Rc::Success;
}

Rc delete_user(char **handle, std::string_view dir, rspi_user *user) {
    if (!user || !user->user_id || !user->domain) return Rc::InvalidUser;
    io::revocation();
    Rc rc = leave_all_groups(handle, user);
    if (!ok(rc)) return rc;
    rc = delete_all_rescreds(handle, user);
    if (!ok(rc)) return rc;
    lower_given(user->domain, user->user_id);
    if (const Rc purged = purge_cert_dns(dir, user); !ok(purged)) return purged;
    const std::string path = user_file(dir, user->domain, user->user_id);
    // A user file that is gone leaves 0; one that stays is a failure.
    return io::remove_record_and_blob(
        path, rc, [&] { return index_replace_named(dir, kUserList, member_entry(user->domain, user->user_id), {}); });
}

Rc disable_user(char **handle, std::string_view dir, rspi_user *user) {
    if (!user || !user->user_id || !user->domain) return Rc::InvalidUser;
    io::revocation();
    Rc rc = delete_all_rescreds(handle, user);
    if (!ok(rc)) return rc;
    TempUser temp(user);
    if (!temp) return Rc::NoMemory;
    rc = ui_get_user(dir, temp.get());  // lower-cases the caller's names, lent to temp
    if (!ok(rc)) return rc;
    if (!temp->uuid_string || !temp->registry_id) return Rc::InvalidUser;
    const std::string line = index_line(kIndexDisabled, temp->uuid_string, temp->registry_id);
    if (line.size() > kMaxListLine) return Rc::InvalidUser;
    if (const Rc purged = purge_cert_dns(dir, user); !ok(purged)) return purged;
    if (!io::rename_file(user_file(dir, user->domain, user->user_id), disabled_user_file(dir, temp->registry_id)))
        return Rc::FileError;
    return index_replace_named(dir, kUserList, member_entry(user->domain, user->user_id), line);
}

Rc enable_user(char **handle, std::string_view dir, rspi_user *user) {
    if (!user || !lower_given(user->domain, user->user_id)) return Rc::InvalidUser;
    if (!user->registry_id) return Rc::UserNotDisabled;
    const std::string disabled = disabled_user_file(dir, user->registry_id);
    const std::string path = user_file(dir, user->domain, user->user_id);
    // Not disabled: nothing else is looked at.
    if (const Rc rc = io::present(io::probe(disabled), Rc::UserNotDisabled); !ok(rc)) return rc;
    // Never move a disabled user over the file of another enabled user.
    if (const Rc rc = io::absent(io::probe(path), Rc::UserExists); !ok(rc)) return rc;
    // What the writes below would refuse is refused before the file moves.
    if (const Rc rc = ui_check_user_enable(dir, disabled, user); !ok(rc)) return rc;
    if (!io::rename_file(disabled, path)) return Rc::UserNotDisabled;
    TempUser temp(user);
    if (!temp) return Rc::NoMemory;
    // The caller's UUID text is lent below, unless the write made a new one.
    ScopeExit hand_back([&] {
        if (temp->uuid_string == user->uuid_string) temp->uuid_string = nullptr;
    });
    Rc rc = ui_get_user(dir, temp.get());
    if (!ok(rc)) return rc;
    // Keep the caller's UUID, or make a new one when the caller gives none.
    rspi_free(temp->uuid_string);
    temp->uuid_string = user->uuid_string;
    rc = ui_replace_user(dir, temp.get(), true, nullptr, user->registry_id);
    if (!ok(rc)) return rc;
    return static_cast<Rc>(rspi_modify_user(handle, user));
}

}  // namespace

}  // namespace tolv

TOLV_EXPORT uint32_t rspi_delete_user(char **h, rspi_user *r) {
    return tolv::record_write(tolv::text::delete_user, h, r, tolv::delete_user);
}
TOLV_EXPORT uint32_t rspi_disable_user(char **h, rspi_user *r) {
    return tolv::record_write(tolv::text::disable_user, h, r, tolv::disable_user);
}
TOLV_EXPORT uint32_t rspi_enable_user(char **h, rspi_user *r) {
    return tolv::record_write(tolv::text::enable_user, h, r, tolv::enable_user);
}
