// tolvformat.h - the registry's files, named once: the index lists, the
// suffix of every record and companion file, and the journal's names. Header-only and not installed:
// the plug-in, tolvadm's checker, the benchmark generator and the tests read
// the registry through these names.
#pragma once

#include <cstddef>
#include <string_view>

namespace tolv::format {

// Index lists.
inline constexpr std::string_view kUserList = "userlist.file";
inline constexpr std::string_view kCertDnList = "certdnlist.file";
inline constexpr std::string_view kGroupList = "grouplist.file";
inline constexpr std::string_view kPolicyList = "policylist.file";
inline constexpr std::string_view kResourceList = "resourcelist.file";
inline constexpr std::string_view kResgroupList = "resgrouplist.file";

// Companions of a record file, appended to its name.
inline constexpr std::string_view kBlobSuffix = "_blob";
// A whole-file replacement written beside its file (tolvadm's repairs).
inline constexpr std::string_view kTempSuffix = "_T";

// Entry lists: "<domain>_<id>" or "<name>" followed by the suffix.
inline constexpr std::string_view kMyGroupsSuffix = ".myGroups";      // a user's groups
inline constexpr std::string_view kMembersSuffix = ".GPmembers";      // a group's members
inline constexpr std::string_view kRgMembersSuffix = ".RGmembers";    // a resource group's members
inline constexpr std::string_view kMyResCredsSuffix = ".myResCreds";  // a user's credentials

// A disabled user's or group's record file: "<registry id>" + suffix.
inline constexpr std::string_view kDisabledUserSuffix = ".user";
inline constexpr std::string_view kDisabledGroupSuffix = ".group";

// The journal of the writing calls and its lock (no entry file can take these names).
inline constexpr std::string_view kStagingDir = "tolv.staging";
inline constexpr std::string_view kJournalDir = "tolv.journal";
inline constexpr std::string_view kIdleJournalDir = "tolv.journal.idle";
// The registry's lock (tolvlock.h): a regular file, made once and never replaced.
inline constexpr std::string_view kLockFile = "tolv.journal.lock";
// An empty file holding disk space (allocated past its end) that a disable or
// delete gives up when the disk is full.
inline constexpr std::string_view kReserveFile = "tolv.journal.reserve";

// A record file: its suffix, a name for messages, and its shortest form. Its
// lines, field by field, are in tolvfields.h (line_of gives a field's line).
struct RecordFile {
    std::string_view suffix;
    const char *what;       // "user file"
    std::size_t min_lines;  // fewer lines read back as a short (malformed) record
};
inline constexpr RecordFile kUserFile{".QZuser", "user file", 20};
inline constexpr RecordFile kGroupFile{".QZgroup", "group file", 7};
inline constexpr RecordFile kPolicyFile{".QZpolicy", "policy file", 27};
inline constexpr RecordFile kResourceFile{".QZresource", "resource file", 5};
inline constexpr RecordFile kResgroupFile{".QZresgroup", "resource-group file", 1};
inline constexpr RecordFile kRescredsFile{".QZrescreds", "credential file", 7};

// The file-name rule for every name part: ':', '/' and '\' become '-'.
constexpr char name_char(char c) { return c == ':' || c == '/' || c == '\\' ? '-' : c; }

}  // namespace tolv::format
