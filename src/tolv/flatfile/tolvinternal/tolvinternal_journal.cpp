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
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "tolvformat.h"
#include "tolvinternal/tolvinternal_journal.h"
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

// Applies one journal entry (in directory jfd) to the registry file of its
// name; true when nothing of it is left. Raw system calls: applying a
// committed journal is never a fault point.
bool apply_found(int jfd, const char *name) {
    struct stat st;
    if (::fstatat(jfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (S_ISLNK(st.st_mode))
        return (::unlinkat(t_dir.fd, name, 0) == 0 || errno == ENOENT) && ::unlinkat(jfd, name, 0) == 0;
    if (!S_ISREG(st.st_mode)) return false;
    // Already applied, the entry's name left by a power loss mid-rename: a
    // rename over itself would do nothing, so the entry just goes.
    struct stat now;
    const bool same = ::fstatat(t_dir.fd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == st.st_ino &&
                      now.st_dev == st.st_dev;
    return same ? ::unlinkat(jfd, name, 0) == 0 : ::renameat(jfd, name, t_dir.fd, name) == 0;
}

// Parks an emptied directory as the idle one. Not flushed even when durable:
// an empty journal back after a power loss is parked again by the next writer.
bool park(std::string_view which) {
    const std::string name = journal_name(which), idle = journal_name(kJournalIdle);
    return ::renameat(t_dir.fd, name.c_str(), t_dir.fd, idle.c_str()) == 0 ||
           ::unlinkat(t_dir.fd, name.c_str(), AT_REMOVEDIR) == 0;
}

// Applies (a journal) or empties (a staging directory) `which`, then parks it;
// true when nothing of it is left.
bool settle_on_disk(std::string_view which, bool apply) {
    const std::string name = journal_name(which);
    const int fd = ::openat(t_dir.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    DIR *d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return false;
    }
    // The names first, the changes after, and again until none is left: a
    // directory read while its entries move out may skip some (GlusterFS
    // does), and a journal parked with an entry in it would hand that entry
    // to the next writer's staging directory.
    bool all = true, empty = false;
    std::vector<std::string> names;
    for (int pass = 0; all && !empty && pass < 8; ++pass) {
        names.clear();
        ::rewinddir(d);
        while (const dirent *e = ::readdir(d))
            if (e->d_name[0] != '.' || (e->d_name[1] && (e->d_name[1] != '.' || e->d_name[2])))
                names.emplace_back(e->d_name);
        empty = names.empty();
        for (const std::string &n : names)
            all = (apply ? apply_found(fd, n.c_str()) : ::unlinkat(fd, n.c_str(), 0) == 0) && all;
    }
    sync_dir(fd);
    ::closedir(d);
    return all && empty && park(which);
}

// One rename, and the proof that no journal is pending: only one of the
// three names exists at a time.
bool take_idle() {
    const std::string idle = journal_name(kJournalIdle), stage = journal_name(kStaging);
    if (::renameat(t_dir.fd, idle.c_str(), t_dir.fd, stage.c_str()) != 0) return false;
    t_dir.staging = true;
    return true;
}

void close_stage() {
    if (t_dir.stage_fd >= 0) ::close(std::exchange(t_dir.stage_fd, -1));
    stage_list().clear();
    t_dir.staging = false;
}

}  // namespace

// Opens the staging directory before the operation's first change (the idle
// one, else a new one), without following a link and used only through that
// descriptor: nothing planted at its name leads outside.
bool begin_stage() {
    if (t_dir.stage_fd >= 0) return true;
    if (injected()) return false;
    const std::string stage = journal_name(kStaging);
    if (!t_dir.staging && !take_idle()) {
        if (errno != ENOENT || ::mkdirat(t_dir.fd, stage.c_str(), 0700) != 0) return false;
        t_dir.staging = true;
        uid_t uid = 0;
        gid_t gid = 0;
        if (owner_for_new_files(t_dir.fd, uid, gid))
            (void)::fchownat(t_dir.fd, stage.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW);
    }
    t_dir.stage_fd = ::openat(t_dir.fd, stage.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    return t_dir.stage_fd >= 0;
}

// A staging directory that cannot be emptied stays for the next writer.
void discard_running() {
    if (!t_dir.staging) return;
    bool all = true;
    const int fd = t_dir.stage_fd;
    if (fd >= 0) {
        for (const Staged &s : stage_list()) all = (::unlinkat(fd, s.name.c_str(), 0) == 0 || errno == ENOENT) && all;
    }
    close_stage();
    if (all) park(kStaging);
}

// The commit point, then the journal applied in order; false, nothing
// changed, when the commit itself fails.
bool commit_running() {
    if (!t_dir.staging) return true;
    if (stage_list().empty()) {
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
    for (const Staged &s : stage_list()) {
        const char *name = s.name.c_str();
        if (s.remove)
            all = (::unlinkat(t_dir.fd, name, 0) == 0 || errno == ENOENT) && ::unlinkat(fd, name, 0) == 0 && all;
        else
            all = ::renameat(fd, name, t_dir.fd, name) == 0 && all;
    }
    // Durable: no entry comes back into the idle directory after a power loss.
    sync_dir(t_dir.fd);
    sync_dir(fd);
    close_stage();
    // A step that failed leaves the journal for the next writer to apply.
    if (all) park(kJournal);
    return true;
}

// Under a freshly taken write lock, before anything is read: a dead writer's
// journal is applied, its staging directory emptied.
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
    // Only the rename failed (a directory we may not write): the first change will fail instead.
    if (why != ENOENT) return true;
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

void note_staged(std::string_view name, bool remove) {
    if (Staged *s = staged(name))
        s->remove = remove;
    else
        stage_list().push_back({std::string(name), remove});
}

bool stage_removal(std::string_view name) {
    if (!begin_stage() || injected()) return false;
    const std::string path(name);
    const Staged *s = staged(name);
    if (s && !s->remove && ::unlinkat(t_dir.stage_fd, path.c_str(), 0) != 0) return false;
    if (::symlinkat(kRemoved, t_dir.stage_fd, path.c_str()) != 0) return false;
    note_staged(name, true);
    return true;
}

}  // namespace tolv::io::detail
