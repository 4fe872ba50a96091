// tolvjournal.h - what the journal's recovery will apply, and what keeps an
// entry from being applied: one rule for the plug-in and for tolvadm's checker.
// Header-only and not installed.
//
// Recovery applies only an entry the plug-in could have staged itself: a
// regular file of the registry's owner, one link, no permission beyond 0600,
// under a name the plug-in writes (a list, or a record, blob, entry-list or
// disabled file of a family); or a removal marker (a symlink to "-") of the
// owner under such a name, or under any name ending in "_T" or "_blob". Anything else is left where it is.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "tolvformat.h"

namespace tolv::format {

// The directory a recovery moves a journal, a staging or an idle directory to
// when something in it (or at its name) is not the plug-in's: "<prefix>tolv.refused.<n>".
inline constexpr std::string_view kRefusedDir = "tolv.refused.";

// A name the plug-in stages, after the registry's prefix: never the
// configuration file, the lock or the journal's own names.
inline bool staged_name(std::string_view name) {
    for (std::string_view list : {kUserList, kCertDnList, kGroupList, kPolicyList, kResourceList, kResgroupList})
        if (name == list) return true;
    const auto ends = [](std::string_view n, std::string_view suffix) {
        return n.size() > suffix.size() && n.substr(n.size() - suffix.size()) == suffix;
    };
    const std::string_view record = ends(name, kBlobSuffix) ? name.substr(0, name.size() - kBlobSuffix.size()) : name;
    for (const RecordFile *r : {&kUserFile, &kGroupFile, &kPolicyFile, &kResourceFile, &kResgroupFile, &kRescredsFile})
        if (ends(record, r->suffix)) return true;
    for (std::string_view s :
         {kMyGroupsSuffix, kMembersSuffix, kRgMembersSuffix, kMyResCredsSuffix, kDisabledUserSuffix, kDisabledGroupSuffix})
        if (ends(name, s)) return true;
    return false;
}

// Why the entry `name` of the journal directory jfd is not one the plug-in
// wrote; nullptr when it is. st: its lstat; owner: the registry's owner;
// links: the links it may have (2 for a renamed file that an older version
// staged as a hard link under its new name, the registry's old name waiting
// for its removal marker; the move is a copy now).
inline const char *foreign_entry(int jfd, std::string_view prefix, const char *name, const struct stat &st,
                                 uid_t owner, nlink_t links = 1) {
    const std::string_view n(name);
    const std::string_view rest = n.substr(std::min(prefix.size(), n.size()));
    // tolvadm check --repair also removes leftover temporary files and blobs without a record.
    const bool leftover = S_ISLNK(st.st_mode) && (rest.ends_with(kTempSuffix) || rest.ends_with(kBlobSuffix));
    if (n.substr(0, prefix.size()) != prefix || !(staged_name(rest) || leftover))
        return "not a name the plug-in writes";
    if (st.st_uid != owner) return "not owned by the registry's owner";
    if (S_ISLNK(st.st_mode)) {
        char target[2];
        const ssize_t len = ::readlinkat(jfd, name, target, sizeof target);
        return len == 1 && target[0] == '-' ? nullptr : "a link that is no removal marker";
    }
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (st.st_nlink != links) return "a file with other links";
    if ((st.st_mode & 07777 & ~0600u) != 0) return "a mode beyond 0600";
    return nullptr;
}

// The links a journal entry (st, in jfd) may have: 2 for a file the journal
// renames, linked under its new name while its other link is the registry
// file (in dirfd) that a removal marker among names removes (a journal left
// by an older version, which staged such a move as a hard link); else 1.
inline nlink_t links_of(int jfd, int dirfd, const std::vector<std::string> &names, const struct stat &st) {
    if (!S_ISREG(st.st_mode) || st.st_nlink != 2) return 1;
    for (const std::string &n : names) {
        struct stat marker, old;
        if (::fstatat(jfd, n.c_str(), &marker, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(marker.st_mode) &&
            ::fstatat(dirfd, n.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && old.st_ino == st.st_ino &&
            old.st_dev == st.st_dev)
            return 2;
    }
    return 1;
}

// The owner of the files the plug-in makes in the directory dirfd: as root,
// the directory's owner when that is another account; else the caller.
inline uid_t registry_owner(int dirfd) {
    struct stat st;
    if (::geteuid() == 0 && ::fstat(dirfd, &st) == 0 && st.st_uid != 0) return st.st_uid;
    return ::geteuid();
}

// 0 when the registry file `name` (dirfd: the registry directory, dir: its
// statx) can be replaced or removed by a rename or an unlink; else the errno
// that step would fail with. exists is set when something is at the name.
inline int blocked_target(int dirfd, const struct statx &dir, const char *name, bool &exists) {
    exists = false;
    if (dir.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) return EPERM;
    struct statx st;
    if (::statx(dirfd, name, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_UID, &st) != 0)
        return errno == ENOENT ? 0 : errno;
    exists = true;
    if (!S_ISREG(st.stx_mode)) return EISDIR;
    if (st.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) return EPERM;
    // A sticky directory keeps others' files from all but their owner and the directory's.
    const uid_t me = ::geteuid();
    if ((dir.stx_mode & S_ISVTX) && me != 0 && me != dir.stx_uid && me != st.stx_uid) return EPERM;
    return 0;
}

// The registry directory's statx for blocked_target.
inline bool directory_statx(int dirfd, struct statx &dir) {
    return ::statx(dirfd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MODE | STATX_UID, &dir) == 0;
}

}  // namespace tolv::format
