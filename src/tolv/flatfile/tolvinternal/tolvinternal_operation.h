// tolvinternal_operation.h - an exported operation's frame: no exception crosses the C boundary,
// the handle's directory, its scope and write lock.
#pragma once

#include "tolvinternal/tolvinternal_rc.h"
#include "tolvinternal/tolvinternal_trace.h"
#include "tolvlock.h"

namespace tolv {

// Runs an operation body at the C boundary: no exception ever crosses it.
template <class F>
uint32_t guarded(F &&body) noexcept {
    try {
        return code(body());
    } catch (const std::bad_alloc &) {
        return RSPI_RC_NO_MEMORY;
    } catch (...) {
        return RSPI_RC_FILE_ERROR;
    }
}

// The registry directory behind a handle, or null when the handle is unusable.
inline const char *registry_dir(char **handle) { return handle ? __atomic_load_n(handle, __ATOMIC_ACQUIRE) : nullptr; }

// The registry directory for the length of one exported operation; nested operations of the same thread share
// it. A writing scope opens it once and reaches every file relative to it, and holds the registry's write lock:
// a process-wide mutex (threads of one host) plus the lock file's exclusive lock (other processes and hosts).
// ok() is false when the write lock cannot be had; the operation must then change nothing. A reading scope takes
// no lock (see the file layer).
namespace io {
class DirScope {
public:
    // dir (the registry's directory string) must outlive the scope.
    DirScope(std::string_view dir, bool write);
    ~DirScope();
    DirScope(const DirScope &) = delete;
    DirScope &operator=(const DirScope &) = delete;
    bool ok() const { return ok_; }
    // Ends a writing operation: its journal is committed, or rolled back when rc reports an I/O (6) or memory (3)
    // failure. Returns rc, or 6 when the commit itself failed and the operation was rolled back. Only the
    // outermost scope acts; a scope ended without finish() rolls back.
    Rc finish(Rc rc);
    // A disable or delete (io::revocation) that failed for want of space: its
    // changes are dropped and the reserve given up, so that it can run again.
    bool again_with_reserve(Rc rc);

private:
    bool ok_ = true;
    bool finished_ = false;
    bool took_mutex_ = false;
    bool took_lock_ = false;
    bool fresh_ = false;
    format::RegistryLock write_lock_;
    format::RegistryLock lock_;  // the outermost scope's: a reader's shared lock (lock_shared)
    void *saved_ = nullptr;  // the scope of another directory this one interrupts
};
}  // namespace io

// The body of an exported operation: body(std::string_view dir) -> Rc. A handle without a registry directory
// (never initialised, or terminated) gives 4 without touching anything. One that changes files (write) is
// serialised by the write lock, and gives 6 without touching anything when the lock cannot be taken. done(rc)
// sees the code the operation returns, a writer's commit included, and may change it.
struct Returned {
    Rc operator()(Rc rc) const { return rc; }
};
template <class F, class Done = Returned>
uint32_t guarded_op(char **handle, F &&body, bool write = false, Done &&done = {}) noexcept {
    const char *dir = registry_dir(handle);
    if (!dir) return RSPI_RC_CONFIG_ERROR;
    return guarded([&] {
        io::DirScope scope(dir, write);
        if (!scope.ok()) return Rc::FileError;
        Rc rc = body(std::string_view(dir));
        if (write && scope.again_with_reserve(rc)) rc = body(std::string_view(dir));
        return done(write ? scope.finish(rc) : rc);
    });
}
// guarded_op for a count: 0 when anything fails.
template <class F>
int32_t guarded_count_op(char **handle, F &&body) noexcept {
    const char *dir = registry_dir(handle);
    if (!dir) return 0;
    try {
        io::DirScope scope(dir, false);
        return body(std::string_view(dir));
    } catch (...) {
        return 0;
    }
}

// The usual exported operation: body(dir) between the operation's entry line (key: nothing, a lookup key, a
// user or a group, see trace_entry) and its exit line, written once a writer is committed so that it shows the
// code returned; settle(rc) sees that code first.
template <class T, class Body, class Settle = Returned, class... K>
uint32_t traced_op(bool write, const T &t, char **handle, Body &&body, Settle &&settle, K... key) {
    return guarded_op(
        handle,
        [&](std::string_view dir) {
            trace_entry(t, key...);
            return body(dir);
        },
        write,
        [&](Rc rc) {
            rc = settle(rc);
            TOLV_TRACE(t.exit, code(rc));
            return rc;
        });
}
template <class T, class Body>
uint32_t traced_read_op(const T &t, char **handle, Body &&body) {
    return traced_op(false, t, handle, body, Returned{});
}
template <class T, class Body>
uint32_t traced_write_op(const T &t, char **handle, Body &&body) {
    return traced_op(true, t, handle, body, Returned{});
}
template <class T, class K, class Body>
uint32_t traced_read_op(const T &t, char **handle, K key, Body &&body) {
    return traced_op(false, t, handle, body, Returned{}, key);
}
template <class T, class K, class Body>
uint32_t traced_write_op(const T &t, char **handle, K key, Body &&body) {
    return traced_op(true, t, handle, body, Returned{}, key);
}

}  // namespace tolv
