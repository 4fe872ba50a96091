// tolvinternal_journal.cpp - the journal: every write operation is all or nothing.
//
// Invariant: a write operation changes no registry file before its commit
// point. Every new version of a file it writes is made in the staging
// directory "<prefix>tolv.staging" under the file's own name, and every file
// it removes is marked there by a symlink (target "-"); its reads see those
// staged changes. The commit point is one rename of the staging directory to
// "<prefix>tolv.journal". The journal is then applied in the order the
// changes were made (each staged file renamed over its registry name, each
// marked file removed) and, empty, renamed to "<prefix>tolv.journal.idle",
// where it waits for the next write operation, which renames it back to
// "tolv.staging" when it takes the write lock. A failed operation just empties
// its staging directory. A writer that takes the lock and finds a journal
// (its writer died after the commit point) applies it before anything else;
// one that finds a staging directory (its writer died before) empties it.
// No entry can take these names: every entry file ends with its family's suffix.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tolvinternal.h"
#include "tolvinternal/tolvinternal_iostate.h"

namespace tolv::io::state {

namespace {

constexpr std::string_view kStaging = format::kStagingDir;
constexpr std::string_view kJournal = format::kJournalDir;
constexpr std::string_view kJournalIdle = format::kIdleJournalDir;

std::string journal_name(std::string_view which) { return std::string(t_dir.prefix).append(which); }

// In durable mode, makes a directory's entries reach the disk.
void sync_dir(int fd) {
    if (g_durable.load(std::memory_order_relaxed)) ::fsync(fd);
}

// Applies one journal entry found on disk (in directory jfd) to the registry
// file of the same name; true when nothing of it is left in the journal.
// Raw system calls: applying a committed journal is never a fault point.
bool apply_found(int jfd, const char *name) {
    struct stat st;
    if (::fstatat(jfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (S_ISLNK(st.st_mode))
        return (::unlinkat(t_dir.fd, name, 0) == 0 || errno == ENOENT) && ::unlinkat(jfd, name, 0) == 0;
    if (!S_ISREG(st.st_mode)) return false;
    // Applied already, and only the entry's own name is left (a power loss
    // between the two halves of a rename): renaming a file over itself does
    // nothing, so the entry just goes.
    struct stat now;
    const bool same = ::fstatat(t_dir.fd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == st.st_ino &&
                      now.st_dev == st.st_dev;
    return same ? ::unlinkat(jfd, name, 0) == 0 : ::renameat(jfd, name, t_dir.fd, name) == 0;
}

// Puts an emptied directory aside as the idle one. Not flushed even in
// durable mode: its emptiness is (see commit_running), and an empty journal
// that comes back after a power loss is parked again by the next writer.
bool park(std::string_view which) {
    const std::string name = journal_name(which), idle = journal_name(kJournalIdle);
    return ::renameat(t_dir.fd, name.c_str(), t_dir.fd, idle.c_str()) == 0 ||
           ::unlinkat(t_dir.fd, name.c_str(), AT_REMOVEDIR) == 0;
}

// Applies (a journal) or empties (a staging directory) the directory `which`
// found on disk, then parks it; true when nothing of it is left.
bool settle_on_disk(std::string_view which, bool apply) {
    const std::string name = journal_name(which);
    const int fd = ::openat(t_dir.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    DIR *d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return false;
    }
    bool all = true;
    while (const dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.' && (!e->d_name[1] || (e->d_name[1] == '.' && !e->d_name[2]))) continue;
        all = (apply ? apply_found(fd, e->d_name) : ::unlinkat(fd, e->d_name, 0) == 0) && all;
    }
    sync_dir(fd);
    ::closedir(d);
    return all && park(which);
}

// The idle directory renamed to the staging one: one call, and the proof
// that no journal is pending (only one of the three names exists at a time).
bool take_idle() {
    const std::string idle = journal_name(kJournalIdle), stage = journal_name(kStaging);
    if (::renameat(t_dir.fd, idle.c_str(), t_dir.fd, stage.c_str()) != 0) return false;
    t_dir.staging = true;
    return true;
}

}  // namespace

// Opens the staging directory before the operation's first change: the
// idle one taken at the lock, else a new one (a new registry, or after a
// recovery). Opened without following a link, and used only through that
// descriptor, so that nothing planted at its name leads outside.
bool begin_stage() {
    if (t_dir.stage_fd >= 0) return true;
    if (injected()) return false;
    const std::string stage = journal_name(kStaging);
    if (!t_dir.staging && !take_idle()) {
        if (errno != ENOENT || ::mkdirat(t_dir.fd, stage.c_str(), 0700) != 0) return false;
        t_dir.staging = true;
        uid_t uid = 0;
        gid_t gid = 0;
        if (owner_for_new_files(t_dir.fd, uid, gid)) (void)::fchownat(t_dir.fd, stage.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW);
    }
    t_dir.stage_fd = ::openat(t_dir.fd, stage.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    return t_dir.stage_fd >= 0;
}

// Ends the operation's use of its staging directory (still under its name).
void close_stage() {
    if (t_dir.stage_fd >= 0) ::close(std::exchange(t_dir.stage_fd, -1));
    t_stage.clear();
    t_dir.staging = false;
}

// Drops the running operation's staged changes; the registry was never
// touched. A staging directory that cannot be emptied stays under its name
// for the next writer to empty.
void discard_running() {
    if (!t_dir.staging) return;
    bool all = true;
    const int fd = t_dir.stage_fd;
    if (fd >= 0) {
        for (const Staged &s : t_stage) all = (::unlinkat(fd, s.name.c_str(), 0) == 0 || errno == ENOENT) && all;
    }
    close_stage();
    if (all) park(kStaging);
}

// The commit point, then the journal applied in order. False (and nothing
// changed) when the commit itself fails.
bool commit_running() {
    if (!t_dir.staging) return true;
    if (t_stage.empty()) {
        discard_running();
        return true;
    }
    const int fd = t_dir.stage_fd;
    sync_dir(fd);
    const std::string stage = journal_name(kStaging), journal = journal_name(kJournal);
    if (injected() || ::renameat(t_dir.fd, stage.c_str(), t_dir.fd, journal.c_str()) != 0) return false;
    sync_dir(t_dir.fd);
    // The descriptor still reaches the directory, now the journal.
    bool all = true;
    for (const Staged &s : t_stage) {
        const char *name = s.name.c_str();
        if (s.remove)
            all = (::unlinkat(t_dir.fd, name, 0) == 0 || errno == ENOENT) && ::unlinkat(fd, name, 0) == 0 && all;
        else
            all = ::renameat(fd, name, t_dir.fd, name) == 0 && all;
    }
    // Durable: the applied files, and the journal emptied of them, so that an
    // entry never comes back into the idle directory after a power loss.
    sync_dir(t_dir.fd);
    sync_dir(fd);
    close_stage();
    // A step that failed leaves the journal for the next writer to apply.
    if (all) park(kJournal);
    return true;
}

// Under a freshly taken write lock, before anything is read: a journal left
// by a writer that died after its commit point is applied, a staging
// directory left by one that died before it is emptied.
bool recover() {
    if (take_idle()) return true;
    const int why = errno;
    struct stat st;
    const std::string journal = journal_name(kJournal);
    if (::fstatat(t_dir.fd, journal.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISDIR(st.st_mode) || !settle_on_disk(kJournal, true)) return false;
    } else if (errno != ENOENT) {
        return false;
    }
    // The idle directory was there and only the rename failed (a directory
    // we may not write): the operation's first change will fail instead.
    if (why != ENOENT) return true;
    return settle_on_disk(kStaging, false);
}

// Stages a removal of the registry file `name` (there in the staged view).
bool stage_removal(std::string_view name) {
    if (!begin_stage() || injected()) return false;
    const std::string path(name);
    const Staged *s = staged(name);
    if (s && !s->remove && ::unlinkat(t_dir.stage_fd, path.c_str(), 0) != 0) return false;
    if (::symlinkat(kRemoved, t_dir.stage_fd, path.c_str()) != 0) return false;
    note_staged(name, true);
    return true;
}

void note_staged(std::string_view name, bool remove) {
    if (Staged *s = staged(name))
        s->remove = remove;
    else
        t_stage.push_back({std::string(name), remove});
}

}  // namespace tolv::io::state
