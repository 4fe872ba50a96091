// tolvinternal_io.h - the file layer: every open, read, write, rename and remove of the plug-in.
#pragma once

#include <functional>

#include "tolvinternal/tolvinternal_operation.h"

struct stat;

namespace tolv {

// Files are created with mode 0600.
namespace io {

enum class Read { Ok, Missing, Error };

// A whole file's bytes, read without clearing a buffer first. A record file
// fits the buffer inside the object; larger files go to the heap.
class Bytes {
public:
    Bytes() = default;
    ~Bytes() { release(); }
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;
    std::string_view view() const { return {data_, size_}; }
    operator std::string_view() const { return view(); }
    // Drops the bytes (and a heap buffer) read so far.
    void clear() {
        release();
        data_ = local_;
        size_ = 0;
    }

private:
    friend Read read_whole(int fd, Bytes &out, std::size_t size, std::size_t limit);
    static constexpr std::size_t kLocal = 8192;
    char local_[kLocal];
    // Drops the heap buffer (kept for the thread's next large read).
    void release();
    char *heap_ = nullptr;
    std::size_t heap_cap_ = 0;
    const char *data_ = local_;
    std::size_t size_ = 0;
};

// Every registry file is reached relative to the operation's directory
// (DirScope), and only as a regular file: a symlink, FIFO, socket, device or
// directory at a registry name is an error, never followed, never blocked on.

// Reads the whole file. Missing: it does not exist (ENOENT, ENOTDIR); Error:
// it exists but is no regular file, or could not be opened or read. A record
// file is read only as far as the longest record can reach (kMaxRecordBytes);
// a list (list = true) is read whole, its buffer sized by fstat.
Read read_file(const std::string &path, Bytes &out, bool list = false);
// For a cache of a list: the identity (fstatat, no link followed) of the
// file a read of the list would reach now. own: that file is the running
// write operation's staged change, which no cache may keep.
Read stat_list(const std::string &path, struct ::stat &st, bool &own);
// Reads a list whole as read_file does, with the fstat of the very file read
// (taken before the read) and its descriptor, left open in keep. Error for a
// staged change (see stat_list).
class File;
Read read_list(const std::string &path, std::unique_ptr<char[]> &out, std::size_t &len, struct ::stat &st,
               File &keep);
// The configuration file: outside the registry and named by the host, so it
// may be a symlink; still only a regular file, and at most kMaxConfigBytes.
Read read_config(const char *path, Bytes &out);
// Reads up to len bytes from the start of the file into buf; got = bytes read.
Read read_prefix(const std::string &path, void *buf, std::size_t len, std::size_t &got);
// Whether a regular file is at path (Ok), nothing (Missing), or something
// else or an unanswerable question (Error).
Read probe(const std::string &path);
// Replaces path with what fill(file) writes into a new file (0600; as root in
// a directory owned by another account, with the directory's owner). In a
// write operation the new file is staged; elsewhere it is written to
// path + "_T" and renamed over path. False on any failure (also when
// something other than a regular file is at path), and then nothing changed.
bool write_file(const std::string &path, const std::function<bool(File &)> &fill);
bool write_file(const std::string &path, std::string_view data);
// True when a regular file is at path and holds at least n bytes: a stored
// length is checked before anything that size is allocated.
bool size_at_least(const std::string &path, std::size_t n);
// Renames a regular file; false when either name holds something else.
bool rename_file(const std::string &from, const std::string &to);
// Removes a regular file; false (errno ENOENT) when there is none.
bool remove_file(const std::string &path);
// Takes the registry's lock shared for the rest of this reading call, so
// that no writer is half-way while a record and its blob are read. True when
// newly taken; false when not needed (this thread writes, or holds it) or
// impossible (a directory that may only be searched).
bool lock_shared();
// Readies the running write operation's staging directory before its first
// change (the functions above do it themselves); false when it cannot.
bool journal(const std::string &path);
// durable=true: every file written is flushed (fdatasync) before it replaces
// the old one, and the directory (fsync) around the journal's commit point.
void set_durable(bool on);

// An entry file looked for by an operation: 0 when it is there, `missing`
// when not, 6 when something other than a regular file holds its name.
inline Rc present(Read r, Rc missing) {
    return r == Read::Ok ? Rc::Success : r == Read::Missing ? missing : Rc::FileError;
}
// The same before a create: 0 when nothing is there, `exists` when the file is.
inline Rc absent(Read r, Rc exists) {
    return r == Read::Missing ? Rc::Success : r == Read::Ok ? exists : Rc::FileError;
}

// Removes a file that may be missing (a blob, a members list): 0, or 6 when
// one is there and cannot go. A call never reports success over a file that
// stayed.
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
    bool write_all(std::string_view data);
    // Writes the slices in order, in as few system calls as the kernel
    // allows; the slices are used up (moved past what was written).
    bool write_all(struct ::iovec *slices, std::size_t count);
    // In durable mode, flushes the written data to the disk.
    bool sync();
    bool close();

private:
    int fd_ = -1;
};

// Test seam: when set, the n-th file operation from now on (1-based) fails
// with the given errno. 0 disables it.
void fail_nth_operation(long n, int error);
// Number of file operations since the seam was last armed.
long operations_seen();

}  // namespace io

}  // namespace tolv
