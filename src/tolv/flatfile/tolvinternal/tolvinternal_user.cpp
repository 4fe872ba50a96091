// tolvinternal_user.cpp - storage of users: the user file, its blob, the user
// list and the certificate-DN list.
#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "tolvinternal.h"

namespace tolv {

namespace {

// Companion names of a user file name "domain_user": the longest of them
// bounds the two names together. Whole-file writes go through a "_T" name.
constexpr std::string_view kUserSuffix = format::kUserFile.suffix;
using format::kDisabledUserSuffix;
using format::kMyGroupsSuffix;
using format::kMyResCredsSuffix;
constexpr std::size_t kLongestUserSuffix =
    std::max({kUserSuffix.size() + kBlobSuffix.size() + kTempSuffix.size(),
              kMyGroupsSuffix.size() + kTempSuffix.size(), kMyResCredsSuffix.size() + kTempSuffix.size()});

std::string certdn_entry(std::string_view domain, std::string_view user_id, std::string_view cert_dn) {
    std::string entry = member_entry(domain, user_id);
    entry.push_back(' ');
    entry.append(cert_dn);
    return entry;
}

bool names_set(const rspi_user *user) { return user && user->user_id && user->domain; }

// Refuses, before anything is written, a record whose files, index lines or
// values would not survive storage. Names must already be lower-cased; uuid is
// the UUID string that will be written.
Rc check_storable(const rspi_user *user, const char *uuid) {
    if (!names_set(user)) return Rc::InvalidUser;
    const std::string_view domain(user->domain), user_id(user->user_id);
    // The user list keys on the registry id and on the UUID: an empty one
    // would let this user's line replace another's.
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

}  // namespace

Rc ui_validate_user(std::string_view dir, rspi_user *user) {
    if (!user || !usable_name(user->user_id) || !usable_name(user->domain)) return Rc::InvalidUser;
    ui_tolower(user->user_id);
    ui_tolower(user->domain);
    return io::present(io::probe(user_file(dir, user->domain, user->user_id)), Rc::InvalidUser);
}

Rc ui_check_user_identity(std::string_view dir, const rspi_user *user, const char *uuid, const char *own_disabled) {
    return ui_check_identity(dir, kUserList, member_entry(user->domain, user->user_id), uuid ? uuid : "",
                             user->registry_id ? user->registry_id : "", own_disabled, Rc::UserExists);
}

bool user_names_fit(std::string_view domain, std::string_view user_id) {
    return one_line(domain) && one_line(user_id) && component_fits(domain.size() + 1 + user_id.size(), kLongestUserSuffix);
}

Rc ui_check_user(const rspi_user *user, const char *uuid) { return check_storable(user, uuid); }

Rc ui_replace_user(std::string_view dir, rspi_user *user, bool create, const char *old_cert_dn,
                   const char *own_disabled) {
    if (!names_set(user)) return Rc::InvalidUser;
    ui_tolower(user->domain);
    ui_tolower(user->user_id);

    // A new user without a UUID gets one; it reaches the record only once the
    // user file is written, and without one nothing is written at all.
    unsigned char fresh_uuid[16] = {};
    char *fresh = nullptr;
    ScopeExit drop_fresh([&] { rspi_free(fresh); });
    if (create && !user->uuid_string) {
        ui_uuid_create(fresh_uuid, fresh);
        if (!fresh) return Rc::FileError;
    }
    const char *uuid = fresh ? fresh : user->uuid_string;
    if (const Rc rc = check_storable(user, uuid); !ok(rc)) return rc;
    // The user's list line goes first: its rewrite also refuses (40) an
    // identity another user holds, before anything else is written. The
    // call is all or nothing, so the order is invisible once it returns.
    const std::string key = member_entry(user->domain, user->user_id);
    if (index_line(key, uuid, user->registry_id).size() > kMaxListLine) return Rc::InvalidUser;
    bool taken = false;
    if (const Rc rc = index_add(dir, kUserList, key, uuid, user->registry_id, &taken, own_disabled); !ok(rc) || taken)
        return ok(rc) ? Rc::UserExists : rc;
    // The certificate-DN list changes only when the DN does, in one rewrite.
    const std::string_view old_dn = old_cert_dn ? old_cert_dn : "", new_dn = user->cert_dn ? user->cert_dn : "";
    const bool dn_changes = old_dn != new_dn;

    const std::string path = user_file(dir, user->domain, user->user_id);
    if (!io::write_file(path, encode_record<rspi_user>(user, format::kUserFields, uuid))) return Rc::FileError;
    if (fresh) {
        std::memcpy(user->uuid, fresh_uuid, sizeof fresh_uuid);
        user->uuid_string = std::exchange(fresh, nullptr);
    }

    if (user->blob) {
        if (const Rc rc = ui_write_blob(blob_file(path), user->blob); !ok(rc)) return rc;
    }
    if (!dn_changes) return Rc::Success;
    const std::string old_entry = old_dn.empty() ? "" : certdn_entry(user->domain, user->user_id, old_dn);
    const std::string new_entry = new_dn.empty() ? "" : certdn_entry(user->domain, user->user_id, new_dn);
    return ui_replace_in_entrylist(dir, kCertDnList, old_entry, new_entry);
}

Rc ui_get_user(std::string_view dir, rspi_user *user, bool with_password) {
    if (!names_set(user)) return Rc::InvalidUser;
    ui_tolower(user->domain);
    ui_tolower(user->user_id);
    return ui_read_user(user_file(dir, user->domain, user->user_id), user, with_password);
}

Rc ui_read_user(const std::string &path, rspi_user *user, bool with_password, bool with_blob) {
    return read_record<rspi_user>(path, Rc::InvalidUser, user, format::kUserFields,
                                  {.keys = KeyRead::NonEmpty, .with_password = with_password, .with_blob = with_blob});
}

Rc ui_disable_in_userlist(std::string_view dir, rspi_user *user) {
    if (!names_set(user) || !user->uuid_string || !user->registry_id) return Rc::InvalidUser;
    ui_tolower(user->domain);
    ui_tolower(user->user_id);
    const std::string disabled = index_line(kIndexDisabled, user->uuid_string, user->registry_id);
    if (disabled.size() > kMaxListLine) return Rc::InvalidUser;
    return index_replace_named(dir, kUserList, member_entry(user->domain, user->user_id), disabled);
}

Rc ui_remove_from_userlist(std::string_view dir, rspi_user *user) {
    if (!names_set(user)) return Rc::InvalidUser;
    ui_tolower(user->domain);
    ui_tolower(user->user_id);
    return index_replace_named(dir, kUserList, member_entry(user->domain, user->user_id), {});
}

}  // namespace tolv
