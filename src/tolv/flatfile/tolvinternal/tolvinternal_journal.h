// tolvinternal_journal.h - what the file layer (tolvinternal_io.cpp) and the
// journal (tolvinternal_journal.cpp) share: the thread's registry directory,
// its staged changes, and the steps of a write operation.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tolv::format {
class RegistryLock;
}

namespace tolv::io::detail {

// The registry directory of this thread's operations: views of the
// registry's string, which outlives every call (a cursor step pays no copy).
struct ThreadDir {
    std::string_view part;    // the directory as file paths spell it
    std::string_view prefix;  // what the configured directory adds in front of every name
    int fd = -1;              // O_RDONLY (lockable) or O_PATH; -1 when it did not open
    int open_errno = 0;       // why it did not
    int depth = 0;
    bool locked = false;
    int owner = 0;  // 0 not looked at, 1 files keep the creator's owner, 2 they take the directory's
    uid_t uid = 0;
    gid_t gid = 0;
    bool staging = false;  // the staging directory is there under its name
    int stage_fd = -1;     // and open (-1 until the operation's first change)
    bool shared = false;   // a reader holds the lock shared (lock_shared)
    bool split = true;     // part and prefix hold the split directory (else part holds it whole)
    bool checked = false;  // a reader looked for a pending journal
    int journal_fd = -1;   // a pending journal this reader may not apply: reads go through it
    bool revoking = false;  // the write operation is a revocation (revocation())
    bool no_space = false;  // a file operation of it failed with ENOSPC or EDQUOT
    format::RegistryLock *lock = nullptr;  // the outermost scope's, for lock_shared
};
// Trivial to destroy, so that every cursor step reaches it for a thread pointer.
static_assert(std::is_trivially_destructible_v<ThreadDir>);
extern thread_local constinit ThreadDir t_dir;

// A staged change, in the order made: the file `name` replaced, or removed.
struct Staged {
    std::string name;
    bool remove;
    bool fresh = false;  // a new name in the registry (found free just before the commit point)
};
inline constexpr const char *kRemoved = "-";  // a removal marker's target

// The file layer's part (tolvinternal_io.cpp).
// True when this file operation is the one a test asked to fail.
bool injected();
bool durable();
// The running operation's changes in order; a name is found among them at once.
const std::vector<Staged> &stage_list();
void clear_stage_list();
Staged *staged(std::string_view name);
void note_staged(std::string_view name, bool remove);
void mark_fresh(std::size_t i, bool fresh);
// As root, new files take the owner of a directory owned by another account.
bool owner_for_new_files(int fd, uid_t &uid, gid_t &gid);
void open_thread_dir(bool write);
// Held by a writer, and by a reader settling a journal.
extern std::recursive_mutex g_write_mutex;

// The journal's part (tolvinternal_journal.cpp).
bool begin_stage();
bool stage_removal(std::string_view name);
bool journal_pending();
void settle_for_reader();
// Once per reading call, before its first file.
void reader_check();
// Done: every change is in place; NotCommitted: nothing changed; Pending:
// committed, the rest left in the journal for the next writer or reader.
enum class Commit { Done, NotCommitted, Pending };
Commit commit_running();
void discard_running();
bool recover();
bool lock_for_writing(format::RegistryLock &lock);
// The owner of every file the plug-in makes in the registry.
uid_t registry_owner();
// Notes a failure for want of space; returns ok.
bool space(bool ok);
// Makes the reserve when it is missing; gives it up.
void keep_reserve();
bool release_reserve();

}  // namespace tolv::io::detail
