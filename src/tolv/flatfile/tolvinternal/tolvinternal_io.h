// tolvinternal_io.h - the file layer: every open, read, write, rename and remove of the plug-in.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tolvinternal/tolvinternal_operation.h"

struct stat;

namespace tolv {

// Files are created with mode 0600.
namespace io {

enum class Read { Ok, Missing, Error };

// A whole file's bytes, read without clearing a buffer first: a record file
// fits the buffer inside the object, larger files go to the heap.
class Bytes {
public:
    Bytes() = default;
    ~Bytes() { release(); }
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;
    std::string_view view() const { return {data_, size_}; }
    operator std::string_view() const { return view(); }
    std::size_t heap_capacity() const { return heap_cap_; }  // 0 while the bytes fit the object
    void clear() {
        release();
        data_ = local_;
        size_ = 0;
    }

private:
    friend Read read_whole(int fd, Bytes &out, std::size_t size, std::size_t limit);
    static constexpr std::size_t kLocal = 8192;
    char local_[kLocal];
    void release();
    char *heap_ = nullptr;
    std::size_t heap_cap_ = 0;
    const char *data_ = local_;
    std::size_t size_ = 0;
};

// Every registry file is reached relative to the operation's directory and
// only as a regular file: anything else at a registry name is an error, never
// followed, never blocked on.

// Missing: nothing at the name; Error: not a regular file, or unreadable. A
// record file is read up to kMaxRecordBytes, a list (list = true) whole.
Read read_file(const std::string &path, Bytes &out, bool list = false);
// For a cache: the identity of the file a read of the list would reach now.
// own: it is the running write operation's staged change, which no cache keeps.
Read stat_list(const std::string &path, struct ::stat &st, bool &own);
// read_file of a list, with the fstat of the very file read and its
// descriptor left open in keep. Error for a staged change.
class File;
Read read_list(const std::string &path, Bytes &out, struct ::stat &st, File &keep);
// Named by the host, so it may be a symlink; still a regular file of at most kMaxConfigBytes.
Read read_config(const char *path, Bytes &out);
Read read_prefix(const std::string &path, void *buf, std::size_t len, std::size_t &got);
// Ok for a regular file, Missing, or Error for anything else.
Read probe(const std::string &path);
// Replaces path with what fill(file) writes into a new file (0600; as root
// in another account's directory, with its owner): staged in a write
// operation, else written to path + "_T" and renamed over path. False, and
// nothing changed, on any failure or when something else is at path.
bool write_file(const std::string &path, const std::function<bool(File &)> &fill);
bool write_file(const std::string &path, std::string_view data);
// A stored length is checked before anything that size is allocated.
bool size_at_least(const std::string &path, std::size_t n);
// Renames a regular file; false when either name holds something else.
bool rename_file(const std::string &from, const std::string &to);
// Removes a regular file; false (errno ENOENT) when there is none.
bool remove_file(const std::string &path);
// The names of the regular files of the registry dir (its directory string), without the name prefix the
// string adds; for tolvadm check. False (errno set) when the directory cannot be read.
bool list_files(std::string_view dir, std::vector<std::string> &names);
// For the rest of this reading call, files are read as they stand: a committed journal is neither settled nor
// read through (tolvadm check, which reports the journal itself).
void read_as_they_stand();
// Takes the registry's lock shared for the rest of this reading call: no
// writer is then half-way. True when newly taken; false when not needed or impossible.
bool lock_shared();
// Reads of one reading call that must come from one committed state (a record
// and its blob): every file read while it lives is noted with its identity.
class Snapshot {
public:
    struct Seen {
        std::string path;
        dev_t dev;
        ino_t ino;
        bool present;
    };
    Snapshot();
    ~Snapshot();
    Snapshot(const Snapshot &) = delete;
    Snapshot &operator=(const Snapshot &) = delete;
    // True when each file read since is still the file at its name and no
    // change is pending; otherwise (a pending change settled first) the reads
    // must be made again, and the next ones are noted afresh.
    bool holds();
    void note(Seen s) { seen_.push_back(std::move(s)); }
    // A file read stays open until the check: while it is open its inode
    // number cannot go to a newer file, which would then pass for it.
    void keep(int fd) { kept_.push_back(fd); }

private:
    void close_kept();
    std::vector<Seen> seen_;
    std::vector<int> kept_;
    Snapshot *outer_;
};
// Readies the write operation's staging directory before its first change.
bool journal(const std::string &path);
// The running write operation takes an account out of service (a disable or
// delete): on a full disk it may use the registry's reserve.
void revocation();
// Durable: each file flushed (fdatasync) before it replaces the old one, the
// directory (fsync) around the journal's commit point. Otherwise each file's
// write-out is started before the commit point (File::sync).
void set_durable(bool on);

// 0 when the file is there, `missing` when not, 6 when something else holds its name.
inline Rc present(Read r, Rc missing) {
    return r == Read::Ok ? Rc::Success : r == Read::Missing ? missing : Rc::FileError;
}
// Before a create: 0 when nothing is there, `exists` when the file is.
inline Rc absent(Read r, Rc exists) {
    return r == Read::Missing ? Rc::Success : r == Read::Ok ? exists : Rc::FileError;
}

// Removes a file that may be missing (a blob, a members list): 6 when one stays.
inline Rc remove_if_there(const std::string &path) {
    return remove_file(path) || errno == ENOENT ? Rc::Success : Rc::FileError;
}

inline constexpr std::size_t kMaxRecordBytes = 64 * 1024;
inline constexpr std::size_t kMaxConfigBytes = 1024 * 1024;

// A descriptor that closes quietly when dropped; close() reports the result.
class File {
public:
    File() = default;
    explicit File(int fd) : fd_(fd) {}
    File(File &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    File &operator=(File &&o) noexcept;
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File();
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    bool write_all(std::string_view data);
    // In as few system calls as the kernel allows; the slices are used up.
    bool write_all(struct ::iovec *slices, std::size_t count);
    // Durable: fdatasync. Otherwise the start of the write-out (sync_file_range).
    bool sync();
    bool close();

private:
    int fd_ = -1;
};

// Test seam: the n-th file operation from now on (1-based) fails with error; 0 disables it.
void fail_nth_operation(long n, int error);
long operations_seen();

}  // namespace io

}  // namespace tolv
