// tolvuser.cpp - users: the user file, its blob, its lines in the user list
// and the certificate-DN list; creating, fetching and modifying users.
#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "tolvdiag.h"
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
    std::max({kUserSuffix.size() + kBlobSuffix.size() + kTempSuffix.size(), kMyGroupsSuffix.size() + kTempSuffix.size(),
              kMyResCredsSuffix.size() + kTempSuffix.size()});

std::string certdn_entry(std::string_view domain, std::string_view user_id, std::string_view cert_dn) {
    return member_entry(domain, user_id).append(" ").append(cert_dn);
}

bool names_set(const rspi_user *user) { return user && user->user_id && user->domain; }

// The names make a user file name, with every companion's suffix, that fits.
bool user_names_fit(std::string_view domain, std::string_view user_id) {
    return one_line(domain) && one_line(user_id) &&
           component_fits(domain.size() + 1 + user_id.size(), kLongestUserSuffix);
}

// The user file at path read into the record (not user_id, domain, groups):
// 30 when it does not open, 9 for a short file (fields present are filled), 6
// for a blob. Without with_password the stored password is skipped and left
// alone, without with_blob the blob.
Rc read_user(const std::string &path, rspi_user *user, bool with_password = true, bool with_blob = true) {
    return read_record<rspi_user>(path, Rc::InvalidUser, user, format::kUserFields,
                                  {.keys = KeyRead::NonEmpty, .with_password = with_password, .with_blob = with_blob});
}

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

Rc create_user(char **, std::string_view dir, rspi_user *user) {
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

Rc get_user(char **, std::string_view dir, rspi_user *user) {
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
            const Rc lrc = user->groups
                               ? list_name_lazy(list_ref(user->groups), my_groups_list(user->domain, user->user_id))
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

Rc modify_user(char **, std::string_view dir, rspi_user *user) {
    if (!user || !user->user_id || !user->domain) return Rc::InvalidUser;
    MergedUser merged(user);
    const char *stored_dn = nullptr;
    if (const Rc rc = merged.load(
            user, [&](rspi_user *tmp) { return ui_get_user(dir, tmp); }, &stored_dn);
        !ok(rc))
        return rc;
    return ui_replace_user(dir, merged.get(), false, stored_dn);
}

}  // namespace

Rc ui_validate_user(std::string_view dir, rspi_user *user) {
    if (!user || !usable_name(user->user_id) || !usable_name(user->domain)) return Rc::InvalidUser;
    ui_tolower(user->user_id);
    ui_tolower(user->domain);
    return io::present(io::probe(user_file(dir, user->domain, user->user_id)), Rc::InvalidUser);
}

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
    return read_user(user_file(dir, user->domain, user->user_id), user, with_password);
}

Rc ui_check_user_enable(std::string_view dir, const std::string &path, rspi_user *user) {
    MergedUser merged(user);
    // The blob stays under the enabled name while the user is disabled.
    if (const Rc rc = merged.load(user, [&](rspi_user *tmp) { return read_user(path, tmp, true, false); }); !ok(rc))
        return rc;
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

TOLV_RECORD_EXPORT(write, create_user, rspi_user)
TOLV_RECORD_EXPORT(read, get_user, rspi_user)
TOLV_RECORD_EXPORT(write, modify_user, rspi_user)
