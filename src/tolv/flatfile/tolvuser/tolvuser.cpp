// tolvuser.cpp - users: the user file, its blob, its lines in the user list and the certificate-DN list;
// creating, fetching and modifying users.
#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "tolvdiag.h"
#include "tolvinternal.h"

namespace tolv {

namespace {

// The longest companion of a user file name "domain_user" bounds the two names; whole-file writes go through
// a "_T" name.
constexpr std::string_view kUserSuffix = format::kUserFile.suffix;
using format::kDisabledUserSuffix;
using format::kMyGroupsSuffix;
using format::kMyResCredsSuffix;
constexpr std::size_t kLongestUserSuffix =
    std::max({kUserSuffix.size() + kBlobSuffix.size() + kTempSuffix.size(), kMyGroupsSuffix.size() + kTempSuffix.size(),
              kMyResCredsSuffix.size() + kTempSuffix.size()});

std::string certdn_entry(std::string_view domain, std::string_view user_id, std::string_view cert_dn) {
    return member_entry(domain, user_id).append(" ").append(cert_dn);
}

// The names make a user file name, with every companion's suffix, that fits.
bool user_names_fit(std::string_view domain, std::string_view user_id) {
    return one_line(domain) && one_line(user_id) &&
           component_fits(domain.size() + 1 + user_id.size(), kLongestUserSuffix);
}

// ui_get_user for the user file at path; without with_blob the blob is left alone.
Rc read_user(const std::string &path, rspi_user *user, bool with_password = true, bool with_blob = true) {
    return read_record<rspi_user>(path, Rc::InvalidUser, user, format::kUserFields,
                                  {.keys = KeyRead::NonEmpty, .with_password = with_password, .with_blob = with_blob});
}

// Refuses, before anything is written, a record whose files, index lines or values would not survive storage.
// Names must already be lower-cased; uuid is the UUID string that will be written.
Rc check_storable(const rspi_user *user, const char *uuid) {
    if (!user || !user->user_id || !user->domain) return Rc::InvalidUser;
    const std::string_view domain(user->domain), user_id(user->user_id);
    // The user list keys on the registry id and on the UUID: an empty one would let this line replace another's.
    if (!user->registry_id || !*user->registry_id || !uuid || !*uuid || !storable_uuid(uuid)) return Rc::InvalidUser;
    if (!user_names_fit(domain, user_id)) return Rc::InvalidUser;
    if (!component_fits(std::strlen(user->registry_id) + kDisabledUserSuffix.size(), 0)) return Rc::InvalidUser;
    const std::string_view rgy(user->registry_id), uid(uuid);
    if (!entry_fits(domain.size() + 1 + user_id.size() + 2 * kIndexSep.size() + uid.size() + rgy.size()))
        return Rc::InvalidUser;
    const std::size_t dn_len = user->cert_dn ? std::strlen(user->cert_dn) : 0;
    if (dn_len > 0 && !entry_fits(domain.size() + 2 + user_id.size() + dn_len)) return Rc::InvalidUser;
    if (!storable_record<rspi_user>(user, format::kUserFields, uuid)) return Rc::InvalidUser;
    return Rc::Success;
}

Rc create_user(char **, std::string_view dir, rspi_user *user) {
    if (!user || !usable_name(user->user_id) || !usable_name(user->domain) ||
        !user_names_fit(user->domain, user->user_id) || !lower_given(user->domain, user->user_id))
        return Rc::InvalidUser;
    // Only the user file decides: a disabled user or a stray list line with the same registry id does not stop
    // a new user. A user file that exists but cannot be read is never overwritten.
    if (const Rc rc = io::absent(io::probe(user_file(dir, user->domain, user->user_id)), Rc::UserExists); !ok(rc))
        return rc;
    return ui_replace_user(dir, user, true);
}

Rc get_user(char **, std::string_view dir, rspi_user *user) {
    if (!user) return Rc::InvalidUser;
    // The stored password never reaches the host: it is not even read into the record.
    const Rc rc = ui_get_user(dir, user, false);
    if (!user->user_id || !user->domain) return rc;
    // The user's groups, loaded on first use, are attached whatever the read gave (it lower-cased the names).
    rspi_free_grouplist(user->groups);
    user->groups = rspi_alloc_grouplist();
    const Rc lrc = user->groups ? list_name_lazy(list_ref(user->groups), my_groups_list(user->domain, user->user_id))
                                : Rc::NoMemory;
    return ok(rc) ? lrc : rc;
}

// The stored user with the caller's given fields laid over it.
Rc modify_user(char **, std::string_view dir, rspi_user *user) {
    if (!user || !user->user_id || !user->domain) return Rc::InvalidUser;
    TempUser merged(user);
    if (!merged) return Rc::NoMemory;
    if (const Rc rc = ui_get_user(dir, merged.get()); !ok(rc)) return rc;
    const char *stored_dn = merged->cert_dn;
    merge_record<rspi_user>(merged, user, format::kUserFields);
    return ui_replace_user(dir, merged.get(), false, stored_dn);
}

}  // namespace

Rc ui_validate_user(std::string_view dir, rspi_user *user) {
    if (!user || !usable_name(user->user_id) || !usable_name(user->domain)) return Rc::InvalidUser;
    lower_given(user->domain, user->user_id);
    return io::present(io::probe(user_file(dir, user->domain, user->user_id)), Rc::InvalidUser);
}

Rc ui_replace_user(std::string_view dir, rspi_user *user, bool create, const char *old_cert_dn,
                   const char *own_disabled) {
    if (!user || !lower_given(user->domain, user->user_id)) return Rc::InvalidUser;
    // A new user without a UUID gets one; it reaches the record only once the user file is written, and without
    // one nothing is written at all.
    unsigned char fresh_uuid[16] = {};
    char *fresh = nullptr;
    ScopeExit drop_fresh([&] { rspi_free(fresh); });
    if (create && !user->uuid_string) {
        ui_uuid_create(fresh_uuid, fresh);
        if (!fresh) return Rc::FileError;
    }
    const char *uuid = fresh ? fresh : user->uuid_string;
    if (const Rc rc = check_storable(user, uuid); !ok(rc)) return rc;
    // The user's list line goes first: its rewrite also refuses (40) an identity another user holds, before
    // anything else is written. The call is all or nothing, so the order is invisible once it returns.
    const std::string key = member_entry(user->domain, user->user_id);
    if (index_line(key, uuid, user->registry_id).size() > kMaxListLine) return Rc::InvalidUser;
    bool taken = false;
    if (const Rc rc = index_add(dir, kUserList, key, uuid, user->registry_id, &taken, own_disabled); !ok(rc) || taken)
        return ok(rc) ? Rc::UserExists : rc;
    const std::string_view old_dn = old_cert_dn ? old_cert_dn : "", new_dn = user->cert_dn ? user->cert_dn : "";
    const std::string path = user_file(dir, user->domain, user->user_id);
    if (!io::write_file(path, encode_record<rspi_user>(user, format::kUserFields, uuid))) return Rc::FileError;
    if (fresh) {
        std::memcpy(user->uuid, fresh_uuid, sizeof fresh_uuid);
        user->uuid_string = std::exchange(fresh, nullptr);
    }
    if (user->blob) {
        if (const Rc rc = ui_write_blob(blob_file(path), user->blob); !ok(rc)) return rc;
    }
    if (old_dn == new_dn) return Rc::Success;
    const std::string old_entry = old_dn.empty() ? "" : certdn_entry(user->domain, user->user_id, old_dn);
    const std::string new_entry = new_dn.empty() ? "" : certdn_entry(user->domain, user->user_id, new_dn);
    return ui_replace_in_entrylist(dir, kCertDnList, old_entry, new_entry);
}

Rc ui_get_user(std::string_view dir, rspi_user *user, bool with_password) {
    if (!user || !lower_given(user->domain, user->user_id)) return Rc::InvalidUser;
    return read_user(user_file(dir, user->domain, user->user_id), user, with_password);
}

Rc ui_check_user_enable(std::string_view dir, const std::string &path, rspi_user *user) {
    TempUser merged(user);
    if (!merged) return Rc::NoMemory;
    // The blob stays under the enabled name while the user is disabled.
    if (const Rc rc = read_user(path, merged.get(), true, false); !ok(rc)) return rc;
    merge_record<rspi_user>(merged, user, format::kUserFields);
    rspi_user *const tmp = merged.get();
    // The UUID enable will make: any valid text stands in for it.
    static constexpr char kNewUuid[] = "00000000-0000-0000-0000-000000000000";
    const char *uuid = user->uuid_string ? user->uuid_string : kNewUuid;
    if (const Rc rc = check_storable(tmp, uuid); !ok(rc)) return rc;
    return ui_check_identity(dir, kUserList, member_entry(tmp->domain, tmp->user_id),
                             user->uuid_string ? user->uuid_string : "", tmp->registry_id ? tmp->registry_id : "",
                             user->registry_id, Rc::UserExists);
}

}  // namespace tolv

TOLV_EXPORT uint32_t rspi_create_user(char **h, rspi_user *r) {
    return tolv::record_create(tolv::text::create_user, h, r, tolv::format::kUserFields, tolv::create_user);
}
TOLV_EXPORT uint32_t rspi_get_user(char **h, rspi_user *r) {
    return tolv::record_read(tolv::text::get_user, h, r, tolv::get_user);
}
TOLV_EXPORT uint32_t rspi_modify_user(char **h, rspi_user *r) {
    return tolv::record_write(tolv::text::modify_user, h, r, tolv::modify_user);
}
