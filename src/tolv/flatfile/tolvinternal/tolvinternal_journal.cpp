// tolvinternal_journal.cpp - the journal that makes every write operation all
// or nothing.
//
// The journal: a write operation changes no registry file before its commit
// point. Each new version of a file is made in the staging directory
// "<prefix>tolv.staging" under the file's own name, each removal is marked
// there by a symlink (target "-"), and the operation's reads see both. The
// commit point is one rename of that directory to "<prefix>tolv.journal";
// the journal is then applied in order and, empty, parked as
// "<prefix>tolv.journal.idle" until the next writer takes it back at its
// lock. A writer that finds a journal (its writer died after the commit
// point) applies it first; one that finds a staging directory empties it.
// No entry can take these names: every entry file ends with its family's suffix.
//
// Readers take no lock. Before its first file a reading call looks for a
// committed journal; finding one (a writer applying it, or dead after its
// commit point), it waits for the write lock and applies what is left, or,
// when it may not write here, reads through the journal. Reads of several
// files that must be one version (a record and its blob) check afterwards
// that each is still at its name and nothing is pending (Snapshot).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tolvformat.h"
#include "tolvinternal/tolvinternal_journal.h"
#include "tolvjournal.h"
#include "tolvlock.h"

namespace tolv::io::detail {

namespace {

constexpr std::string_view kStaging = format::kStagingDir;
constexpr std::string_view kJournal = format::kJournalDir;
constexpr std::string_view kJournalIdle = format::kIdleJournalDir;

std::string journal_name(std::string_view which) { return std::string(t_dir.prefix).append(which); }

void sync_dir(int fd) {
    if (durable()) ::fsync(fd);
}

// Applies one journal entry (in directory jfd, st its lstat) to the registry
// file of its name; true when nothing of it is left but a removal marker
// (marker set), which goes only once the removal is flushed. Raw system
// calls: applying a committed journal is never a fault point.
bool apply_found(int jfd, const char *name, const struct stat &st, bool &marker) {
    if (S_ISLNK(st.st_mode)) return marker = ::unlinkat(t_dir.fd, name, 0) == 0 || errno == ENOENT;
    return ::renameat(jfd, name, t_dir.fd, name) == 0;
}

// Moves what is at `which` aside as "<prefix>tolv.refused.<n>" (the first
// free n; the inode number where a rename cannot refuse to replace), where
// tolvadm check reports it: something there is not the plug-in's.
bool refuse(std::string_view which) {
    const std::string name = journal_name(which), aside = journal_name(format::kRefusedDir);
    for (int n = 1; n <= 1000; ++n) {
        const std::string to = aside + std::to_string(n);
        if (::renameat2(t_dir.fd, name.c_str(), t_dir.fd, to.c_str(), RENAME_NOREPLACE) == 0) return true;
        if (errno != EEXIST) break;
    }
    struct stat st;
    if (errno != EINVAL || ::fstatat(t_dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    return ::renameat(t_dir.fd, name.c_str(), t_dir.fd, (aside + std::to_string(st.st_ino)).c_str()) == 0;
}

// Parks an emptied directory as the idle one. Not flushed even when durable:
// an empty journal back after a power loss is parked again by the next writer.
bool park(std::string_view which) {
    const std::string name = journal_name(which), idle = journal_name(kJournalIdle);
    return ::renameat(t_dir.fd, name.c_str(), t_dir.fd, idle.c_str()) == 0 ||
           ::unlinkat(t_dir.fd, name.c_str(), AT_REMOVEDIR) == 0;
}

// Applies (a journal) or empties (a staging directory) `which`, then parks
// it; true when nothing of it is left. Only what the plug-in could have
// written is applied or removed: anything else (or a directory that is none)
// is moved aside with what is left of it, so that it blocks no later write.
bool settle_on_disk(std::string_view which, bool apply) {
    const std::string name = journal_name(which);
    const int fd = ::openat(t_dir.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || ((errno == ELOOP || errno == ENOTDIR) && refuse(which));
    DIR *d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return false;
    }
    const uid_t owner = registry_owner();
    // The names first, the changes after, and again until none is left: a
    // directory read while its entries move out may skip some (GlusterFS
    // does), and a journal parked with an entry in it would hand that entry
    // to the next writer's staging directory.
    bool all = true, settled = false;
    std::size_t foreign = 0;
    std::vector<std::string> names;
    for (int pass = 0; all && !settled && pass < 8; ++pass) {
        names.clear();
        foreign = 0;
        std::vector<const char *> markers;
        ::rewinddir(d);
        while (const dirent *e = ::readdir(d))
            if (e->d_name[0] != '.' || (e->d_name[1] && (e->d_name[1] != '.' || e->d_name[2])))
                names.emplace_back(e->d_name);
        for (const std::string &n : names) {
            const char *entry = n.c_str();
            struct stat st, now;
            if (::fstatat(fd, entry, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                all = errno == ENOENT && all;
                continue;
            }
            // Already applied, the entry's name left by a power loss mid-rename: a
            // rename over itself would do nothing, so the entry just goes.
            if (S_ISREG(st.st_mode) && ::fstatat(t_dir.fd, entry, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                now.st_ino == st.st_ino && now.st_dev == st.st_dev) {
                all = ::unlinkat(fd, entry, 0) == 0 && all;
            } else if ((apply || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) &&
                       format::foreign_entry(fd, t_dir.prefix, entry, st, owner, format::links_of(fd, t_dir.fd, names, st))) {
                ++foreign;
            } else {
                bool marker = false;
                all = (apply ? apply_found(fd, entry, st, marker) : ::unlinkat(fd, entry, 0) == 0) && all;
                if (marker) markers.push_back(entry);
            }
        }
        // Durable: the removals are on the disk before their markers go.
        if (!markers.empty()) sync_dir(t_dir.fd);
        for (const char *entry : markers) all = ::unlinkat(fd, entry, 0) == 0 && all;
        settled = names.size() == foreign;
    }
    sync_dir(fd);
    ::closedir(d);
    if (!all || !settled) return false;
    return foreign ? refuse(which) : park(which);
}

// One rename, and the proof that no journal is pending: only one of the
// three names exists at a time.
bool take_idle() {
    const std::string idle = journal_name(kJournalIdle), stage = journal_name(kStaging);
    if (::renameat(t_dir.fd, idle.c_str(), t_dir.fd, stage.c_str()) != 0) return false;
    t_dir.staging = true;
    return true;
}

// The reserve: an empty file with blocks allocated past its end, as many as
// the lists a revocation rewrites take now and room for its markers, so that
// a disable or delete that runs out of space can give it up and run again.
}  // namespace

void keep_reserve() {
    const std::string name = journal_name(format::kReserveFile);
    const int fd = ::openat(t_dir.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;
    uid_t uid = 0;
    gid_t gid = 0;
    bool made = !owner_for_new_files(t_dir.fd, uid, gid) || ::fchown(fd, uid, gid) == 0;
    off_t size = 64 * 1024;
    for (std::string_view list : {format::kUserList, format::kCertDnList, format::kGroupList}) {
        struct stat st;
        if (::fstatat(t_dir.fd, journal_name(list).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) size += st.st_size;
    }
    made = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0 && made;
    ::close(fd);
    // Without its space it is made again later.
    if (!made) ::unlinkat(t_dir.fd, name.c_str(), 0);
}

namespace {

void close_stage() {
    if (t_dir.stage_fd >= 0) ::close(std::exchange(t_dir.stage_fd, -1));
    clear_stage_list();
    t_dir.staging = false;
}

// A new staging directory, with the registry's owner.
bool make_stage() {
    const std::string stage = journal_name(kStaging);
    if (!space(::mkdirat(t_dir.fd, stage.c_str(), 0700) == 0)) return false;
    t_dir.staging = true;
    // A registry's first write.
    keep_reserve();
    uid_t uid = 0;
    gid_t gid = 0;
    if (owner_for_new_files(t_dir.fd, uid, gid))
        (void)::fchownat(t_dir.fd, stage.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW);
    return true;
}

// Without following a link, and used only through the descriptor: nothing
// planted at its name leads outside.
int open_stage() {
    const std::string stage = journal_name(kStaging);
    return ::openat(t_dir.fd, stage.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

// True when the directory holds no entry (one read for an empty one).
bool empty_dir(int fd) {
    alignas(8) char buf[1024];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
        if (n <= 0) return n == 0;
        for (long at = 0; at < n;) {
            const char *rec = buf + at;
            unsigned short len;
            std::memcpy(&len, rec + 16, sizeof len);  // d_reclen of a linux_dirent64
            const char *nm = rec + 19;
            if (len == 0 || nm[0] != '.' || (nm[1] && (nm[1] != '.' || nm[2]))) return false;
            at += len;
        }
    }
}

}  // namespace

bool space(bool ok) {
    if (!ok && (errno == ENOSPC || errno == EDQUOT)) t_dir.no_space = true;
    return ok;
}

bool release_reserve() { return ::unlinkat(t_dir.fd, journal_name(format::kReserveFile).c_str(), 0) == 0; }

// The owner of every file the plug-in makes here.
uid_t registry_owner() {
    uid_t uid = 0;
    gid_t gid = 0;
    return owner_for_new_files(t_dir.fd, uid, gid) ? uid : ::geteuid();
}

// Opens the staging directory before the operation's first change: the idle
// one, else a new one. The idle one is empty; one that is not, or is no
// directory, is not adopted: it is moved aside, and a new one made.
bool begin_stage() {
    if (t_dir.stage_fd >= 0) return true;
    if (injected()) return false;
    if (!t_dir.staging && !take_idle() && (errno != ENOENT || !make_stage())) return false;
    t_dir.stage_fd = open_stage();
    if (t_dir.stage_fd < 0 || !empty_dir(t_dir.stage_fd)) {
        if (t_dir.stage_fd < 0 && errno != ELOOP && errno != ENOTDIR) return false;
        if (t_dir.stage_fd >= 0) ::close(std::exchange(t_dir.stage_fd, -1));
        t_dir.staging = false;
        if (!refuse(kStaging) || !make_stage()) return false;
        t_dir.stage_fd = open_stage();
        if (t_dir.stage_fd < 0) return false;
    }
    // Durable: the idle directory's new name reaches the disk before any
    // entry does; else a power loss leaves the entries in the idle directory.
    sync_dir(t_dir.fd);
    return true;
}

// A staging directory that cannot be emptied stays for the next writer.
void discard_running() {
    if (!t_dir.staging) return;
    bool all = true;
    const int fd = t_dir.stage_fd;
    if (fd >= 0) {
        for (const Staged &s : stage_list()) all = (::unlinkat(fd, s.name.c_str(), 0) == 0 || errno == ENOENT) && all;
        // Durable: emptied on the disk before it is parked as the idle directory.
        if (all && !stage_list().empty()) sync_dir(fd);
    }
    close_stage();
    if (all) park(kStaging);
}

namespace {

// Before the commit point, what would make a step after it fail: a target
// that is no regular file, or one (or a directory) that is immutable,
// append-only or another's in a sticky directory. Notes which names are new.
bool ready_to_apply() {
    struct statx dir;
    if (injected() || !format::directory_statx(t_dir.fd, dir)) return false;
    const std::vector<Staged> &list = stage_list();
    for (std::size_t i = 0; i < list.size(); ++i) {
        bool exists = false;
        if (injected()) return false;
        if (const int why = format::blocked_target(t_dir.fd, dir, list[i].name.c_str(), exists)) {
            errno = why;
            return false;
        }
        mark_fresh(i, !exists && !list[i].remove);
    }
    return true;
}

// A failed step of the first pass: the new names placed so far go back into
// the journal, which becomes a staging directory again; false when that fails too.
bool uncommit(int fd, std::size_t placed) {
    for (const Staged &s : stage_list()) {
        if (placed == 0) break;
        if (!s.fresh) continue;
        --placed;
        if (::renameat(t_dir.fd, s.name.c_str(), fd, s.name.c_str()) != 0) return false;
    }
    const std::string stage = journal_name(kStaging), journal = journal_name(kJournal);
    if (::renameat(t_dir.fd, journal.c_str(), t_dir.fd, stage.c_str()) != 0) return false;
    // Durable: no longer a journal on the disk before its entries are discarded.
    sync_dir(t_dir.fd);
    return true;
}

}  // namespace

// The commit point, then the journal applied. New names go first: each may
// need a directory block the file system no longer has, and undoing one is
// moving it back, so a failure there leaves the old registry (NotCommitted).
// A replacement or removal that fails after the checks of ready_to_apply
// (an I/O error, a file made immutable meanwhile) cannot be undone, the old
// file being gone: the journal stays committed, readers see the new registry
// through it, the next writer or reader finishes it (Pending: the call
// returns 6, the new registry not yet in place).
Commit commit_running() {
    if (!t_dir.staging) return Commit::Done;
    if (stage_list().empty()) {
        discard_running();
        return Commit::Done;
    }
    const int fd = t_dir.stage_fd;
    if (!ready_to_apply()) return Commit::NotCommitted;
    sync_dir(fd);
    const std::string stage = journal_name(kStaging), journal = journal_name(kJournal);
    if (injected() || ::renameat(t_dir.fd, stage.c_str(), t_dir.fd, journal.c_str()) != 0) return Commit::NotCommitted;
    sync_dir(t_dir.fd);
    // The descriptor still reaches the directory, now the journal.
    std::size_t placed = 0;
    for (const Staged &s : stage_list()) {
        if (!s.fresh) continue;
        if (injected() || ::renameat(fd, s.name.c_str(), t_dir.fd, s.name.c_str()) != 0) {
            if (uncommit(fd, placed)) return Commit::NotCommitted;
            close_stage();
            return Commit::Pending;
        }
        ++placed;
    }
    bool all = true;
    std::vector<const char *> removed;
    for (const Staged &s : stage_list()) {
        const char *name = s.name.c_str();
        if (s.fresh) continue;
        if (injected())
            all = false;
        else if (!s.remove)
            all = ::renameat(fd, name, t_dir.fd, name) == 0 && all;
        else if (::unlinkat(t_dir.fd, name, 0) == 0 || errno == ENOENT)
            removed.push_back(name);
        else
            all = false;
    }
    // Durable: a removal is on the disk before its marker leaves the journal,
    // and no entry comes back into the idle directory after a power loss.
    sync_dir(t_dir.fd);
    for (const char *name : removed) all = ::unlinkat(fd, name, 0) == 0 && all;
    sync_dir(fd);
    close_stage();
    // A step that failed leaves the journal for the next writer to apply.
    if (!all) return Commit::Pending;
    park(kJournal);
    return Commit::Done;
}

// Under a freshly taken write lock, before anything is read: a dead writer's
// journal is applied, its staging directory emptied.
bool recover() {
    const bool took = take_idle();
    const int why = errno;
    // Only one of the three names exists at a time, unless something was put
    // beside the idle directory: then it is settled too, or it would stop the commit.
    struct stat st;
    const std::string journal = journal_name(kJournal);
    if (took && ::fstatat(t_dir.fd, journal.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) return true;
    if (!settle_on_disk(kJournal, true)) return false;
    // Only the rename failed (a directory we may not write): the first change will fail instead.
    if (took || why == EACCES || why == EPERM || why == EROFS) return true;
    return settle_on_disk(kStaging, false);
}

// The registry's write lock, on the operation's directory; a lock file it
// makes takes the registry's owner, as every file of the plug-in does.
bool lock_for_writing(format::RegistryLock &lock) {
    bool created = false;
    if (!lock.lock(t_dir.fd, t_dir.prefix, true, &created)) return false;
    uid_t uid = 0;
    gid_t gid = 0;
    if (created && owner_for_new_files(t_dir.fd, uid, gid)) (void)::fchown(lock.fd(), uid, gid);
    return true;
}

bool journal_pending() {
    struct stat st;
    const std::string journal = journal_name(kJournal);
    const int r = t_dir.fd >= 0 ? ::fstatat(t_dir.fd, journal.c_str(), &st, AT_SYMLINK_NOFOLLOW)
                                : ::fstatat(AT_FDCWD, std::string(t_dir.part).append("/").append(journal).c_str(), &st,
                                            AT_SYMLINK_NOFOLLOW);
    return r == 0 && S_ISDIR(st.st_mode);
}

// A reader met a committed journal: it waits with the lock shared while a
// live writer applies it; a journal still there after that is a dead
// writer's, and the reader applies what is left under the write lock, or,
// when it may not write here, reads through it.
void settle_for_reader() {
    if (t_dir.journal_fd >= 0) return;
    if (t_dir.fd < 0) open_thread_dir(false);
    if (t_dir.fd < 0) return;
    if (format::RegistryLock wait; wait.lock(t_dir.fd, t_dir.prefix, false)) {
        wait.unlock();
        if (!journal_pending()) return;
    }
    {
        const std::lock_guard<std::recursive_mutex> hold(g_write_mutex);
        if (format::RegistryLock lock; lock_for_writing(lock)) (void)settle_on_disk(kJournal, true);
    }
    if (!journal_pending()) return;
    const std::string journal = journal_name(kJournal);
    t_dir.journal_fd = ::openat(t_dir.fd, journal.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Once per reading call, before its first file.
void reader_check() {
    t_dir.checked = true;
    if (journal_pending()) settle_for_reader();
}

bool stage_removal(std::string_view name) {
    if (!begin_stage() || injected()) return false;
    const std::string path(name);
    const Staged *s = staged(name);
    if (s && !s->remove && ::unlinkat(t_dir.stage_fd, path.c_str(), 0) != 0) return false;
    if (!space(::symlinkat(kRemoved, t_dir.stage_fd, path.c_str()) == 0)) return false;
    note_staged(name, true);
    return true;
}

}  // namespace tolv::io::detail
