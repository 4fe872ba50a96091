// tolvinternal_iostate.h - what the file layer (tolvinternal_io.cpp) and its
// journal (tolvinternal_journal.cpp) share: the running call's directory, its
// staged changes and the fault seam. Nothing else includes it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tolv::io::state {

// True when this file operation is the one a test asked to fail.
bool injected();
extern std::atomic<bool> g_durable;

// The registry directory of the operations running on this thread.
struct ThreadDir {
    // Views of the registry directory string, which outlives every call (a
    // cursor step must not pay for copies).
    std::string_view part;    // the directory as file paths spell it
    std::string_view prefix;  // what the configured directory adds in front of every name
    int fd = -1;         // O_RDONLY (lockable) or O_PATH; -1 when it did not open
    int open_errno = 0;  // why it did not
    int depth = 0;
    bool locked = false;
    int owner = 0;  // 0 not looked at, 1 files keep the creator's owner, 2 they take the directory's
    uid_t uid = 0;
    gid_t gid = 0;
    // The running write operation's staging directory (see the journal
    // below): there under its name, and opened (-1 until the first change).
    bool staging = false;
    int stage_fd = -1;
    bool shared = false;  // a reader holds the lock shared (lock_shared)
    bool split = true;    // part and prefix hold the split directory (else part holds it whole)
};

// The running call's directory split into the directory the files live in
// and the prefix of their names (reading calls split it on first use).
void parts();
// Constant-initialised and trivial to destroy, so that reaching it costs no
// more than a thread pointer: every cursor step passes through here.
static_assert(std::is_trivially_destructible_v<ThreadDir>);
extern thread_local ThreadDir t_dir;
// A change the running write operation has staged, in the order made: the
// staged file replaces the registry file `name`, or (remove) the file goes.
struct Staged {
    std::string name;
    bool remove;
};
extern thread_local std::vector<Staged> t_stage;
Staged *staged(std::string_view name);
// The owner new files take: as root, that of a directory owned by another account.
bool owner_for_new_files(int fd, uid_t &uid, gid_t &gid);

// The journal (tolvinternal_journal.cpp).
// Opens the staging directory before the operation's first change.
bool begin_stage();
// Notes a staged new version of the registry file `name`, or (remove) its removal.
void note_staged(std::string_view name, bool remove);
// Stages a removal of the registry file `name` (there in the staged view).
bool stage_removal(std::string_view name);
// Drops the running operation's staged changes.
void discard_running();
// The commit point, then the journal applied in order; false (nothing
// changed) when the commit itself fails.
bool commit_running();
// Under a freshly taken write lock: a journal left by a dead writer applied,
// its staging directory emptied.
bool recover();
inline constexpr const char *kRemoved = "-";  // a removal marker's target

}  // namespace tolv::io::state
