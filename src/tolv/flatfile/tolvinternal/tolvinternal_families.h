// tolvinternal_families.h - the storage functions of each record family.
#pragma once

#include "tolvinternal/tolvinternal_names.h"
#include "tolvinternal/tolvinternal_lists.h"
#include "tolvinternal/tolvinternal_indexes.h"
#include "tolvinternal/tolvinternal_blobs.h"
#include "tolvinternal/tolvinternal_fields.h"

namespace tolv {

// Storage functions of each family. A family adds its own declarations only
// inside its section.

// --- users (tolvinternal/tolvinternal_user.cpp) ---
// 0 when user_id and domain are usable names and the user file opens; else 30.
// Lower-cases both names once they pass.
Rc ui_validate_user(std::string_view dir, rspi_user *user);
// 0 when the record (names already lower-cased) can be stored as it is: a
// non-empty registry id and UUID string, names that fit every user file and
// index line, and texts and a password without a line break (or NUL). Else 30.
Rc ui_check_user(const rspi_user *user, const char *uuid);
// The names make a user file name, with every companion's suffix, that fits.
bool user_names_fit(std::string_view domain, std::string_view user_id);
// Writes the user list line (refusing another user's identity), then the user
// file (and blob) and the certificate-DN list. 30 before anything is written
// when ui_check_user refuses the record; with create, a missing UUID is made
// first (6, nothing written, when it cannot be).
// 40, nothing written, when another user's list line holds its registry id
// or UUID (own_disabled: see ui_check_identity). A modify names the stored
// certificate DN: the certificate-DN list is rewritten once, when the DN changes.
Rc ui_replace_user(std::string_view dir, rspi_user *user, bool create, const char *old_cert_dn = nullptr,
                   const char *own_disabled = nullptr);
// ui_check_identity over the user list for this record (names lower-cased).
Rc ui_check_user_identity(std::string_view dir, const rspi_user *user, const char *uuid, const char *own_disabled);
// Reads the user file into the record (not user_id, domain, groups): 30 when it
// does not open, 9 for a short file (fields present are filled), 6 for a blob.
// Without with_password the stored password is skipped and password untouched.
Rc ui_get_user(std::string_view dir, rspi_user *user, bool with_password = true);
// ui_get_user of the user file at path (a disabled user's file, for one);
// without with_blob the blob is left alone.
Rc ui_read_user(const std::string &path, rspi_user *user, bool with_password = true, bool with_blob = true);
// Whether enable may bring back the user stored at path with the caller's
// given fields: 0; 30 when modify would refuse the merged record; 40 when
// another user's list line holds its identity; or the read's failure. A
// missing uuid_string stands for the new UUID enable will make.
Rc ui_check_user_enable(std::string_view dir, const std::string &path, rspi_user *user);
// The user-list writers: turn the user's line into a disabled entry, or drop it.
Rc ui_disable_in_userlist(std::string_view dir, rspi_user *user);
Rc ui_remove_from_userlist(std::string_view dir, rspi_user *user);
// --- end users ---


// 0 when name is usable and its resource file opens; else 33. Lower-cases name.
Rc ui_validate_resource(std::string_view dir, char *name);

}  // namespace tolv
