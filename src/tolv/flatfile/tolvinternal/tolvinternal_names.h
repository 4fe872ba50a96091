// tolvinternal_names.h - file names: every file of the registry is named here.
#pragma once

#include <cctype>
#include <cerrno>

#include "tolvinternal/tolvinternal_io.h"

namespace tolv {

// One character as ui_tolower lowers it. Plain ASCII other than 'A'..'Z' is its own lower case in every locale;
// only the rest asks the locale.
inline char ui_lower(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x80 && (u < 'A' || u > 'Z')) return c;
    return static_cast<char>(::tolower(u));
}
void ui_tolower(char *text);
void ui_tolower(std::string &text);
void ui_validate_filename(char *text);
// True when a and b are equal once both are lower-cased as ui_tolower does.
bool same_ignoring_case(std::string_view a, std::string_view b);
// A path is the registry directory followed directly by a name whose ':', '/' and '\' were turned into '-'.
std::string make_path(std::string_view dir, std::string_view name);

// Longest index line, newline included, that a 250-byte piece reader keeps whole.
inline constexpr std::size_t kMaxListLine = 249;
// True when a file-name component of this many bytes plus its longest companion suffix's (e.g. "_blob" or "_T")
// fits the file system's 255 bytes.
inline bool component_fits(std::size_t name_len, std::size_t suffix_len) { return name_len + suffix_len <= 255; }
// True when a list entry (without its newline) fits one list piece.
inline bool entry_fits(std::size_t entry_len) { return entry_len + 1 <= kMaxListLine; }

// A key is one line of its record file and its lists: no line break in it.
inline bool one_line(std::string_view key) { return key.find('\n') == std::string_view::npos; }
// "domain id": a user's or group's name in its list, its membership lines and the certificate-DN list.
std::string member_entry(std::string_view domain, std::string_view id);

// Record files take the lower-cased key names; the part after the directory is sanitised.
std::string user_file(std::string_view dir, std::string_view domain, std::string_view user_id);  // .QZuser
std::string disabled_user_file(std::string_view dir, std::string_view registry_id);              // .user
std::string group_file(std::string_view dir, std::string_view domain, std::string_view group_id);  // .QZgroup
std::string disabled_group_file(std::string_view dir, std::string_view registry_id);             // .group
std::string policy_file(std::string_view dir, std::string_view domain, std::string_view policy_id);  // .QZpolicy
std::string resource_file(std::string_view dir, std::string_view name);                          // .QZresource
std::string resgroup_file(std::string_view dir, std::string_view name);                          // .QZresgroup
// The credential's name has its first ':' turned into '-' before the rest is sanitised.
std::string rescreds_file(std::string_view dir, std::string_view domain, std::string_view user_id,
                          std::string_view name);                                                 // .QZrescreds
std::string blob_file(std::string_view record_path);                                              // + "_blob"
// Entry-list names, relative to the registry directory and not yet sanitised.
std::string my_groups_list(std::string_view domain, std::string_view user_id);      // .myGroups
std::string group_members_list(std::string_view domain, std::string_view group_id);  // .GPmembers
std::string resgroup_members_list(std::string_view name);                           // .RGmembers
std::string rescreds_list(std::string_view domain, std::string_view user_id);       // .myResCreds

// Companion suffixes and list names (named in tolvformat.h).
using format::kBlobSuffix;
using format::kCertDnList;
using format::kGroupList;
using format::kPolicyList;
using format::kResgroupList;
using format::kResourceList;
using format::kTempSuffix;
using format::kUserList;

namespace io {
// Removes a record file and then its blob (which goes even without the record): the result is removed() when the
// record was there, `missing` when it was not, and 6 when either file stays.
template <class F>
Rc remove_record_and_blob(const std::string &path, Rc missing, F &&removed) {
    Rc rc = missing;
    if (remove_file(path))
        rc = removed();
    else if (errno != ENOENT)
        return Rc::FileError;
    const Rc gone = remove_if_there(blob_file(path));
    return ok(gone) ? rc : gone;
}
}  // namespace io

}  // namespace tolv
