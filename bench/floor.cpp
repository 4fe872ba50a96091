// floor.cpp - bare system calls, no stdio, one buffer kept for the process.
#include "floor.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tolvbench::floor {

namespace {

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error("floor: " + what + ": " + std::strerror(errno));
}

// The whole content of an index; kept so that the floor pays for no
// allocation the read itself does not need. Page-aligned, as the plug-in's
// index buffers are: the kernel's copy into a buffer a few bytes past a page
// boundary can be several times slower on some CPUs.
class Buffer {
public:
    char *data() { return data_.get(); }
    void reserve(std::size_t size) {
        if (size <= cap_) return;
        data_.reset(static_cast<char *>(::operator new[](size, std::align_val_t{4096})));
        cap_ = size;
    }

private:
    struct Delete {
        void operator()(char *p) const { ::operator delete[](p, std::align_val_t{4096}); }
    };
    std::unique_ptr<char[], Delete> data_;
    std::size_t cap_ = 0;
};

Buffer &buffer() {
    static Buffer buf;
    return buf;
}

// The registry directory of the call being measured (Call), or -1.
thread_local int t_dirfd = -1;
// TOLV_BENCH_DURABLE=1: each file written is flushed before its rename and
// the directory once per call, the least a durable write can do.
bool durable() {
    static const bool on = [] {
        const char *d = std::getenv("TOLV_BENCH_DURABLE");
        return d && *d == '1';
    }();
    return on;
}

// Before a call's commit, each file it wrote is flushed (durable) or its
// write-out started: the least that keeps a power loss from committing a
// name before its bytes on ext4, which allocates blocks at write-out.
void order_bytes(int fd) {
    if (durable())
        ::fdatasync(fd);
    else if (t_dirfd >= 0)
        ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

const char *base_name(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}
// A file of the registry, reached as the plug-in must reach it: relative to
// the call's directory, never through a link, never waiting on a FIFO.
int open_in(const std::string &path, int flags, mode_t mode = 0) {
    flags |= O_CLOEXEC | O_NOFOLLOW;
    return t_dirfd >= 0 ? ::openat(t_dirfd, base_name(path), flags, mode) : ::open(path.c_str(), flags, mode);
}

std::size_t read_index(const std::string &path) {
    const int fd = open_in(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) fail("open " + path);
    struct stat st;
    if (::fstat(fd, &st) != 0) fail("fstat " + path);
    auto &buf = buffer();
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    buf.reserve(size + 1);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buf.data() + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return got;
}

void write_all(int fd, const char *p, std::size_t left, const std::string &path) {
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("write " + path);
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

// A writing call's least atomic frame, the same names the plug-in uses: the
// write lock (a lock on a regular file, the kind that reaches other hosts),
// a rename that proves no journal is pending (the idle directory taken), the
// rename that is the commit point, and the one that retires the journal. No
// all-or-nothing design over several files does with less: it must exclude
// other writers, look for a dead writer's journal before it reads, commit in
// one step and retire what it committed. A reading call's frame is nothing:
// a safe read opens its file by name (O_NOFOLLOW | O_NONBLOCK).
constexpr const char *kIdle = "tolv.journal.idle";
constexpr const char *kStaging = "tolv.staging";
constexpr const char *kJournal = "tolv.journal";
constexpr const char *kLock = "tolv.journal.lock";

namespace {
thread_local Call *t_call = nullptr;
}  // namespace

Call::Call(const std::string &dir, bool writes) : dir_(dir), sync_(writes && durable()), writes_(writes) {
    begin();
    t_call = this;
}

Call::~Call() {
    end();
    t_call = nullptr;
}

namespace {
thread_local int t_lockfd = -1;

void lock_file(int fd, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLKW, &fl) != 0) fail("lock");
}
}  // namespace

void Call::begin() {
    if (!writes_) return;
    t_dirfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (t_dirfd < 0) fail("open " + dir_);
    t_lockfd = ::openat(t_dirfd, kLock, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (t_lockfd < 0) fail("open the lock file of " + dir_);
    lock_file(t_lockfd, F_WRLCK);
    if (::renameat(t_dirfd, kIdle, t_dirfd, kStaging) != 0) {
        if (errno != ENOENT || ::mkdirat(t_dirfd, kStaging, 0700) != 0) fail("journal of " + dir_);
    }
}

void Call::end() {
    if (!writes_) return;
    if (sync_) ::fsync(t_dirfd);
    ::renameat(t_dirfd, kStaging, t_dirfd, kJournal);
    ::renameat(t_dirfd, kJournal, t_dirfd, kIdle);
    lock_file(t_lockfd, F_UNLCK);
    ::close(std::exchange(t_lockfd, -1));
    ::close(t_dirfd);
    t_dirfd = -1;
}

void next_call() {
    if (!t_call) return;
    t_call->end();
    t_call->begin();
}

std::size_t read_record(const std::string &path) {
    char buf[8192];
    const int fd = open_in(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) fail("open " + path);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) fail("fstat " + path);
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    if (n < 0) fail("read " + path);
    return static_cast<std::size_t>(n);
}

void probe(const std::string &path) {
    struct stat st;
    const int rc = t_dirfd >= 0 ? ::fstatat(t_dirfd, base_name(path), &st, AT_SYMLINK_NOFOLLOW)
                                : ::lstat(path.c_str(), &st);
    if (rc != 0) fail("stat " + path);
}

void write_record(const std::string &path, std::string_view bytes) {
    const int fd = open_in(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) fail("create " + path);
    write_all(fd, bytes.data(), bytes.size(), path);
    order_bytes(fd);
    if (::close(fd) != 0) fail("close " + path);
}

void unlink_file(const std::string &path) {
    const int rc = t_dirfd >= 0 ? ::unlinkat(t_dirfd, base_name(path), 0) : ::unlink(path.c_str());
    if (rc != 0) fail("unlink " + path);
}

void rename_file(const std::string &from, const std::string &to) {
    const int rc = t_dirfd >= 0 ? ::renameat(t_dirfd, base_name(from), t_dirfd, base_name(to))
                                : ::rename(from.c_str(), to.c_str());
    if (rc != 0) fail("rename " + from);
}

void replace_file(const std::string &path, std::string_view bytes) {
    const std::string temp = path + "_T";
    write_record(temp, bytes);
    rename_file(temp, path);
}

void rewrite_index(const std::string &path) {
    const std::size_t size = read_index(path);
    const std::string temp = path + "_T";
    const int fd = open_in(temp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) fail("create " + temp);
    write_all(fd, buffer().data(), size, temp);
    order_bytes(fd);
    if (::close(fd) != 0) fail("close " + temp);
    rename_file(temp, path);
}

std::size_t scan_index(const std::string &path) {
    const std::size_t size = read_index(path);
    const char *p = buffer().data();
    const char *end = p + size;
    static std::vector<char *> lines;
    lines.clear();
    while (p < end) {
        const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char *stop = nl ? nl : end;
        const std::size_t len = static_cast<std::size_t>(stop - p);
        char *copy = static_cast<char *>(std::malloc(len + 1));
        if (!copy) throw std::bad_alloc();
        std::memcpy(copy, p, len);
        copy[len] = '\0';
        lines.push_back(copy);
        p = nl ? nl + 1 : end;
    }
    for (char *l : lines) std::free(l);
    return lines.size();
}

namespace {
char *copy_of(const char *p, std::size_t len) {
    char *c = static_cast<char *>(std::malloc(len + 1));
    if (!c) throw std::bad_alloc();
    std::memcpy(c, p, len);
    c[len] = '\0';
    return c;
}
}  // namespace

std::size_t scan_index_as_listing(const std::string &path) {
    const std::size_t size = read_index(path);
    const char *p = buffer().data();
    const char *end = p + size;
    struct Entry {
        void *item;
        char *text;
    };
    static std::vector<Entry> entries;
    entries.clear();
    while (p < end) {
        const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char *stop = nl ? nl : end;
        void *item = std::calloc(1, 16);
        if (!item) throw std::bad_alloc();
        entries.push_back({item, copy_of(p, static_cast<std::size_t>(stop - p))});
        p = nl ? nl + 1 : end;
    }
    // The walk: two names of the record released and copied per entry.
    char *names[2] = {nullptr, nullptr};
    for (const Entry &e : entries) {
        const std::size_t len = std::strlen(e.text);
        for (char *&n : names) {
            std::free(n);
            n = copy_of(e.text, len / 2);
        }
    }
    for (char *n : names) std::free(n);
    for (const Entry &e : entries) {
        std::free(e.text);
        std::free(e.item);
    }
    return entries.size();
}

void write_new_files(const std::string &dir, const std::vector<std::pair<std::string, std::string>> &files) {
    const int dirfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) fail("open " + dir);
    if (::mkdirat(dirfd, kStaging, 0700) != 0) fail("mkdir " + std::string(kStaging));
    const int stage = ::openat(dirfd, kStaging, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (stage < 0) fail("open " + std::string(kStaging));
    for (const auto &[name, bytes] : files) {
        const int fd = ::openat(stage, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) fail("create " + name);
        write_all(fd, bytes.data(), bytes.size(), name);
        if (durable())
            ::fdatasync(fd);
        else
            ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        if (::close(fd) != 0) fail("close " + name);
    }
    if (durable()) ::fsync(stage);
    for (const auto &file : files)
        if (::renameat(stage, file.first.c_str(), dirfd, file.first.c_str()) != 0) fail("rename " + file.first);
    if (durable()) ::fsync(dirfd);
    ::unlinkat(dirfd, kStaging, AT_REMOVEDIR);
    ::close(stage);
    ::close(dirfd);
}

}  // namespace tolvbench::floor
