// tolvinternal_io.cpp - the file layer: the one place that opens, reads, writes,
// renames and removes files, and the seam where tests inject failures.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "tolvinternal.h"

namespace tolv::io {

namespace {

std::atomic<long> g_fail_at{0};
std::atomic<long> g_seen{0};
std::atomic<int> g_errno{0};

// True when this file operation is the one a test asked to fail.
bool injected() {
    const long seen = g_seen.fetch_add(1, std::memory_order_relaxed) + 1;
    const long at = g_fail_at.load(std::memory_order_relaxed);
    if (at > 0 && seen == at) {
        errno = g_errno.load(std::memory_order_relaxed);
        return true;
    }
    return false;
}

int sys_open(const char *path, int flags, mode_t mode = 0) {
    if (injected()) return -1;
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

ssize_t sys_read(int fd, void *buf, std::size_t len) {
    if (injected()) return -1;
    ssize_t n;
    do {
        n = ::read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t sys_writev(int fd, const struct iovec *iov, int count) {
    if (injected()) return -1;
    ssize_t n;
    do {
        n = ::writev(fd, iov, count);
    } while (n < 0 && errno == EINTR);
    return n;
}

// A name too long for the file system names no file that could exist.
bool missing_errno() { return errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG; }

}  // namespace

void fail_nth_operation(long n, int error) {
    g_errno.store(error);
    g_seen.store(0);
    g_fail_at.store(n);
}

long operations_seen() { return g_seen.load(); }

File &File::operator=(File &&o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
}

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

bool File::write_all(std::string_view data) {
    struct iovec one {
        const_cast<char *>(data.data()), data.size()
    };
    return write_all(&one, 1);
}

bool File::close() {
    if (fd_ < 0) return false;
    const int fd = std::exchange(fd_, -1);
    const bool fail = injected();
    return ::close(fd) == 0 && !fail;
}

File create(const std::string &path) {
    return File(sys_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
}

namespace {

// Large read buffers start on a page boundary: on some CPUs (AMD Zen here)
// the kernel copies file pages into a buffer that starts a few bytes past a
// page boundary up to seven times more slowly.
constexpr std::align_val_t kPage{4096};

// The last large buffer a thread let go of (up to kSpareMax). Index reads come
// in runs (a rewrite, a listing, a lookup), and fresh pages for each would
// mean page faults and zeroing; the spare is freed when the thread ends.
constexpr std::size_t kSpareMax = std::size_t{16} << 20;
struct Spare {
    char *p = nullptr;
    std::size_t cap = 0;
    ~Spare() { ::operator delete[](p, kPage); }
};
thread_local Spare spare;

// A page-aligned buffer of at least size bytes; cap is what it holds.
char *large_buffer(std::size_t size, std::size_t &cap) {
    if (spare.p && spare.cap >= size) {
        cap = std::exchange(spare.cap, 0);
        return std::exchange(spare.p, nullptr);
    }
    cap = size;
    return static_cast<char *>(::operator new[](size, kPage));
}

}  // namespace

void Bytes::release() {
    if (!heap_) return;
    // Keep the larger of the two.
    if (heap_cap_ > spare.cap && heap_cap_ <= kSpareMax) {
        ::operator delete[](spare.p, kPage);
        spare.p = std::exchange(heap_, nullptr);
        spare.cap = heap_cap_;
    } else {
        ::operator delete[](std::exchange(heap_, nullptr), kPage);
    }
    heap_cap_ = 0;
}

Read read_file(const std::string &path, Bytes &out, bool sized) {
    out.release();
    out.data_ = out.local_;
    out.size_ = 0;
    File f(sys_open(path.c_str(), O_RDONLY));
    if (!f.is_open()) return missing_errno() ? Read::Missing : Read::Error;
    // Registry files are small regular files: one read usually takes them
    // whole, and a short read of a regular file is its end.
    const auto file_size = [&](std::size_t &size) {
        struct stat st;
        if (::fstat(f.fd(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        size = static_cast<std::size_t>(st.st_size);
        return true;
    };
    char *buf = out.local_;
    std::size_t cap = Bytes::kLocal;
    std::size_t size = 0;
    // One byte past the size: the read that fills the rest also meets the end.
    if (sized && file_size(size) && size >= cap) {
        out.heap_ = large_buffer(size + 1, out.heap_cap_);
        buf = out.heap_;
        cap = out.heap_cap_;
    }
    std::size_t len = 0;
    for (;;) {
        const ssize_t n = sys_read(f.fd(), buf + len, cap - len);
        if (n < 0) {
            out.release();
            out.data_ = out.local_;
            return Read::Error;
        }
        len += static_cast<std::size_t>(n);
        if (len < cap) break;
        std::size_t want = cap * 2;
        if (file_size(size) && size >= cap) want = size + 1;
        std::size_t bigger_cap = 0;
        char *bigger = large_buffer(want, bigger_cap);
        std::memcpy(bigger, buf, len);
        out.release();
        out.heap_ = bigger;
        out.heap_cap_ = bigger_cap;
        buf = bigger;
        cap = bigger_cap;
    }
    out.data_ = buf;
    out.size_ = len;
    return Read::Ok;
}

bool File::write_all(struct iovec *slices, std::size_t count) {
    std::size_t at = 0;
    while (at < count) {
        if (slices[at].iov_len == 0) {
            ++at;
            continue;
        }
        const int batch = static_cast<int>(std::min<std::size_t>(count - at, IOV_MAX));
        ssize_t n = sys_writev(fd_, slices + at, batch);
        if (n <= 0) return false;
        // A short write: move past what went out and go on from there.
        for (; n > 0; ++at) {
            const std::size_t step = std::min(static_cast<std::size_t>(n), slices[at].iov_len);
            slices[at].iov_base = static_cast<char *>(slices[at].iov_base) + step;
            slices[at].iov_len -= step;
            n -= static_cast<ssize_t>(step);
            if (slices[at].iov_len > 0) break;
        }
    }
    return true;
}

Read read_prefix(const std::string &path, void *buf, std::size_t len, std::size_t &got) {
    got = 0;
    File f(sys_open(path.c_str(), O_RDONLY));
    if (!f.is_open()) return missing_errno() ? Read::Missing : Read::Error;
    char *p = static_cast<char *>(buf);
    while (got < len) {
        const ssize_t n = sys_read(f.fd(), p + got, len - got);
        if (n < 0) return Read::Error;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return Read::Ok;
}

bool can_open(const std::string &path) {
    File f(sys_open(path.c_str(), O_RDONLY));
    return f.is_open();
}

bool write_file(const std::string &path, std::string_view data) {
    std::string temp = path;
    temp.append(kTempSuffix);
    File f = create(temp);
    if (!f.is_open()) return false;
    const bool wrote = f.write_all(data);
    if (f.close() && wrote && rename_file(temp, path)) return true;
    remove_file(temp);
    return false;
}

bool size_at_least(const std::string &path, std::size_t n) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && static_cast<std::size_t>(st.st_size) >= n;
}

bool rename_file(const std::string &from, const std::string &to) {
    if (injected()) return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool remove_file(const std::string &path) {
    if (injected()) return false;
    return ::unlink(path.c_str()) == 0;
}

}  // namespace tolv::io

namespace tolv {

namespace {
std::recursive_mutex g_write_mutex;
thread_local int t_lock_depth = 0;
thread_local int t_lock_fd = -1;

// The directory the registry's files land in: the prefix up to its last '/'.
std::string lock_directory(std::string_view dir) {
    const std::size_t slash = dir.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(dir.substr(0, slash));
}
}  // namespace

WriteLock::WriteLock(std::string_view dir) {
    g_write_mutex.lock();
    if (t_lock_depth++ > 0) return;
    t_lock_fd = ::open(lock_directory(dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (t_lock_fd >= 0) {
        while (::flock(t_lock_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

WriteLock::~WriteLock() {
    if (--t_lock_depth == 0 && t_lock_fd >= 0) {
        ::flock(t_lock_fd, LOCK_UN);
        ::close(t_lock_fd);
        t_lock_fd = -1;
    }
    g_write_mutex.unlock();
}

}  // namespace tolv
