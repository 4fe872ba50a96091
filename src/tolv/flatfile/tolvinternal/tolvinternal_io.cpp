// tolvinternal_io.cpp - the file layer: the one place that opens, reads, writes,
// renames and removes files, and the seam where tests inject failures. The
// journal that makes every write operation all or nothing is in
// tolvinternal_journal.cpp; the thread's directory state both share is in
// tolvinternal_journal.h.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>
#include <unordered_map>

#include "tolvinternal.h"
#include "tolvinternal/tolvinternal_journal.h"
#include "tolvjournal.h"
#include "tolvlock.h"

namespace tolv::io {

using namespace detail;

namespace {

std::atomic<long> g_fail_at{0};
std::atomic<long> g_seen{0};
std::atomic<int> g_errno{0};
std::atomic<bool> g_durable{false};

// Large read buffers start on a page boundary: on AMD Zen the kernel copies
// into a buffer a few bytes past one up to seven times more slowly.
constexpr std::align_val_t kPage{4096};

struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Per-thread memory that stays usable after the thread's C++ destructors ran:
// a host may call in from its own (a thread_local object's, a static object's
// at exit). Trivially destructible; a pthread key frees it at thread end.
// The running write operation's changes, in order, and where each name is
// among them: an operation may stage hundreds of thousands of files.
struct StageList {
    std::vector<Staged> list;
    std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>> where;
};
struct ThreadMemory {
    StageList *stage;
    char *spare;                 // the last large buffer let go of (large_buffer)
    std::size_t spare_cap;
    bool armed;  // the pthread key will free it
};
thread_local ThreadMemory t_mem;

void free_thread_memory(void *) {
    delete t_mem.stage;
    ::operator delete[](t_mem.spare, kPage);
    t_mem = {};
}

void free_at_thread_end() {
    if (t_mem.armed) return;
    static const pthread_key_t key = [] {
        pthread_key_t k{};
        return pthread_key_create(&k, free_thread_memory) == 0 ? k : static_cast<pthread_key_t>(-1);
    }();
    t_mem.armed = key != static_cast<pthread_key_t>(-1) && pthread_setspecific(key, &t_mem) == 0;
}

}  // namespace

namespace detail {

thread_local constinit ThreadDir t_dir;

bool durable() { return g_durable.load(std::memory_order_relaxed); }

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

namespace {
StageList &stage() {
    if (!t_mem.stage) {
        t_mem.stage = new StageList;
        free_at_thread_end();
    }
    return *t_mem.stage;
}
}  // namespace

const std::vector<Staged> &stage_list() { return stage().list; }

void clear_stage_list() {
    if (!t_mem.stage) return;
    t_mem.stage->list.clear();
    t_mem.stage->where.clear();
}

Staged *staged(std::string_view name) {
    if (!t_mem.stage) return nullptr;
    const auto at = t_mem.stage->where.find(name);
    return at == t_mem.stage->where.end() ? nullptr : &t_mem.stage->list[at->second];
}

void note_staged(std::string_view name, bool remove) {
    if (Staged *s = staged(name)) {
        s->remove = remove;
        return;
    }
    StageList &st = stage();
    st.where.emplace(std::string(name), st.list.size());
    st.list.push_back({std::string(name), remove});
}

void mark_fresh(std::size_t i, bool fresh) { stage().list[i].fresh = fresh; }

// As root, new files take the owner of a directory owned by another account.
bool owner_for_new_files(int fd, uid_t &uid, gid_t &gid) {
    if (fd == t_dir.fd && t_dir.owner != 0) {
        uid = t_dir.uid;
        gid = t_dir.gid;
        return t_dir.owner == 2;
    }
    struct stat st;
    const bool other = ::geteuid() == 0 && ::fstat(fd, &st) == 0 && st.st_uid != 0;
    if (other) {
        uid = st.st_uid;
        gid = st.st_gid;
    }
    if (fd == t_dir.fd) {
        t_dir.owner = other ? 2 : 1;
        t_dir.uid = uid;
        t_dir.gid = gid;
    }
    return other;
}

// Opens the operation's directory: readable, so that it can be locked; a
// directory we may only search still serves readers.
void open_thread_dir(bool write) {
    const std::string path(t_dir.part);
    t_dir.fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (t_dir.fd < 0 && !write) t_dir.fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    t_dir.open_errno = t_dir.fd < 0 ? errno : 0;
}

std::recursive_mutex g_write_mutex;
// fork waits while another thread holds the mutex (a writer, or a reader
// settling a journal): the child would inherit it locked, and never get it.
// The child's copy is made anew, since its owner is a thread the child lacks.
[[maybe_unused]] const int g_forks = ::pthread_atfork([] { g_write_mutex.lock(); }, [] { g_write_mutex.unlock(); },
                                                      [] { new (&g_write_mutex) std::recursive_mutex; });

}  // namespace detail

namespace {

// Runs a system call again while a signal interrupts it.
template <class F>
auto again(F &&call) {
    decltype(call()) r;
    do {
        r = call();
    } while (r < 0 && errno == EINTR);
    return r;
}

// A file operation: -1 when the seam fails it, else the call (again after EINTR).
template <class F>
auto sys(F &&call) -> decltype(call()) {
    const auto r = injected() ? -1 : again(call);
    (void)space(r >= 0);
    return r;
}

// A name too long for the file system names no file that could exist.
bool missing_errno() { return errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG; }
// A failed open or stat: Missing when nothing is at the name, else Error.
Read failed() { return missing_errno() ? Read::Missing : Read::Error; }

int sys_openat(int dirfd, const char *name, int flags, mode_t mode = 0) {
    return sys([&] { return ::openat(dirfd, name, flags | O_CLOEXEC | O_NOCTTY, mode); });
}
// pread, not read: it fails (ESPIPE, EISDIR) on what is not a regular file,
// so a record needs no fstat to be refused as a FIFO or a directory.
ssize_t sys_pread(int fd, void *buf, std::size_t len, std::size_t at) {
    return sys([&] { return ::pread(fd, buf, len, static_cast<off_t>(at)); });
}

// Opens nothing but what it names: no symlink is followed, no FIFO waited on.
constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK;

// The directory part of a path as the registry builds them: up to its last '/'.
std::string_view directory_part(std::string_view path, std::string_view &name) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        name = path;
        return ".";
    }
    name = path.substr(slash + 1);
    return slash == 0 ? std::string_view("/") : path.substr(0, slash);
}

void parts() {
    if (t_dir.split) return;
    std::string_view prefix;
    t_dir.part = directory_part(t_dir.part, prefix);
    t_dir.prefix = prefix;
    t_dir.split = true;
}

// The state of another registry's operation that a nested one interrupts.
struct SavedScope {
    ThreadDir dir;
    StageList *stage;
};

// The last large buffer a thread let go of, up to kSpareMax: index reads come
// in runs, and fresh pages for each mean page faults and zeroing. Larger ones
// go back at once, so that many threads do not each keep one.
constexpr std::size_t kSpareMax = std::size_t{1} << 20;

char *large_buffer(std::size_t size, std::size_t &cap) {
    if (t_mem.spare && t_mem.spare_cap >= size) {
        cap = std::exchange(t_mem.spare_cap, 0);
        return std::exchange(t_mem.spare, nullptr);
    }
    cap = size;
    return static_cast<char *>(::operator new[](size, kPage));
}

// The running reading call's Snapshot, if any.
thread_local Snapshot *t_snap = nullptr;

void note_read(const std::string &path, Read r, const struct stat &st) {
    if (!t_snap || r == Read::Error) return;
    t_snap->note({path, r == Read::Ok ? st.st_dev : 0, r == Read::Ok ? st.st_ino : 0, r == Read::Ok});
}

// The directory of one file operation: the operation's own, or (outside any
// operation, as in tests) one opened for this call alone. A reader reaches
// its files by their whole path and opens no directory: a name checked with
// O_NOFOLLOW under the configured path is what the directory would give.
class At {
public:
    // staged_view: a write operation reads its own staged changes.
    explicit At(const std::string &path, bool staged_view = false) {
        std::string_view name;
        const std::string_view part = directory_part(path, name);
        // "dir/" itself: the directory, which is never a registry file.
        name_ = name.empty() ? "." : path.c_str() + (path.size() - name.size());
        if (t_dir.depth > 0) parts();
        if (t_dir.depth > 0 && t_dir.part == part) {
            if (!t_dir.locked) {
                if (!t_dir.checked) reader_check();
                if (t_dir.journal_fd >= 0 && through_journal()) return;
                name_ = path.c_str();
                fd_ = AT_FDCWD;
                return;
            }
            if (t_dir.fd < 0 && t_dir.open_errno == 0) open_thread_dir(false);
            fd_ = t_dir.fd;
            err_ = t_dir.open_errno;
            here_ = t_dir.locked && fd_ >= 0;
            if (staged_view && here_ && t_mem.stage && !t_mem.stage->list.empty()) {
                if (const Staged *s = staged(name_)) {
                    fd_ = s->remove ? -1 : t_dir.stage_fd;
                    err_ = ENOENT;
                    in_stage_ = true;
                }
            }
            return;
        }
        own_ = ::open(std::string(part).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        fd_ = own_;
        err_ = own_ < 0 ? errno : 0;
    }
    ~At() {
        if (own_ >= 0) ::close(own_);
    }
    At(const At &) = delete;
    At &operator=(const At &) = delete;
    // False (errno set) when the directory itself could not be opened.
    bool usable() const {
        if (fd_ >= 0 || fd_ == AT_FDCWD) return true;
        errno = err_;
        return false;
    }
    int fd() const { return fd_; }
    const char *name() const { return name_; }
    // The file belongs to the running write operation's registry.
    bool staged_here() const { return here_; }
    // The staged view led to the operation's own change.
    bool in_stage() const { return in_stage_; }

private:
    // A pending journal's entry stands for the registry file of its name; a removal marker for no file.
    bool through_journal() {
        struct stat st;
        if (::fstatat(t_dir.journal_fd, name_, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
        // An entry recovery would not apply is not read either.
        if (format::foreign_entry(t_dir.journal_fd, t_dir.prefix, name_, st, registry_owner())) return false;
        fd_ = S_ISLNK(st.st_mode) ? -1 : t_dir.journal_fd;
        err_ = ENOENT;
        in_stage_ = true;
        return true;
    }
    int fd_ = -1;
    int own_ = -1;
    int err_ = 0;
    const char *name_;
    bool here_ = false;
    bool in_stage_ = false;
};

// Ok (st filled) for a regular file, Missing, or Error for anything else.
Read stat_at(const At &at, struct stat &st) {
    if (!at.usable() || sys([&] { return ::fstatat(at.fd(), at.name(), &st, AT_SYMLINK_NOFOLLOW); }) != 0)
        return failed();
    if (S_ISREG(st.st_mode)) return Read::Ok;
    errno = EINVAL;
    return Read::Error;
}

Read open_regular(const At &at, File &f, std::size_t &size, struct stat *seen = nullptr) {
    if (!at.usable()) return failed();
    f = File(sys_openat(at.fd(), at.name(), kReadFlags));
    if (!f.is_open()) return failed();
    struct stat local;
    struct stat &st = seen ? *seen : local;
    if (sys([&] { return ::fstat(f.fd(), &st); }) != 0 || !S_ISREG(st.st_mode)) return Read::Error;
    size = static_cast<std::size_t>(st.st_size);
    return Read::Ok;
}

}  // namespace

bool journal(const std::string &path) {
    const At at(path);
    return at.usable() && (!at.staged_here() || begin_stage());
}

void set_durable(bool on) { g_durable.store(on, std::memory_order_relaxed); }

void revocation() { t_dir.revoking = true; }

bool File::sync() {
    if (!g_durable.load(std::memory_order_relaxed)) {
        // The write-out starts before the commit point: ext4 allocates the
        // blocks now and commits no later name change without their bytes,
        // so a power loss cannot leave a committed name on an empty file.
        return ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE) == 0 || errno != EIO;
    }
    return !injected() && ::fdatasync(fd_) == 0;
}

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
    struct iovec one = {const_cast<char *>(data.data()), data.size()};
    return write_all(&one, 1);
}

bool File::close() {
    if (fd_ < 0) return false;
    const int fd = std::exchange(fd_, -1);
    const bool fail = injected();
    return ::close(fd) == 0 && !fail;
}

void Bytes::release() {
    if (!heap_) return;
    // Keep the larger of the two.
    if (heap_cap_ > t_mem.spare_cap && heap_cap_ <= kSpareMax) {
        free_at_thread_end();
        ::operator delete[](t_mem.spare, kPage);
        t_mem.spare = std::exchange(heap_, nullptr);
        t_mem.spare_cap = heap_cap_;
    } else {
        ::operator delete[](std::exchange(heap_, nullptr), kPage);
    }
    heap_cap_ = 0;
}

// A file that grows while it is read is cut at limit.
Read read_whole(int fd, Bytes &out, std::size_t size, std::size_t limit) {
    char *buf = out.local_;
    std::size_t cap = std::min(Bytes::kLocal, limit);
    // One byte past the size: the read that fills the rest also meets the end.
    if (size >= cap && cap < limit) {
        out.heap_ = large_buffer(std::min(size + 1, limit), out.heap_cap_);
        buf = out.heap_;
        cap = std::min(out.heap_cap_, limit);
    }
    std::size_t len = 0;
    for (;;) {
        const ssize_t n = sys_pread(fd, buf + len, cap - len, len);
        if (n < 0) {
            out.clear();
            return Read::Error;
        }
        len += static_cast<std::size_t>(n);
        if (len < cap || n == 0 || cap >= limit) break;
        std::size_t bigger_cap = 0;
        char *bigger = large_buffer(std::min(cap * 2, limit), bigger_cap);
        std::memcpy(bigger, buf, len);
        out.release();
        out.heap_ = bigger;
        out.heap_cap_ = bigger_cap;
        buf = bigger;
        cap = std::min(bigger_cap, limit);
    }
    out.data_ = buf;
    out.size_ = len;
    return Read::Ok;
}

Read read_file(const std::string &path, Bytes &out, bool list) {
    out.clear();
    const At at(path, true);
    File f;
    if (!list && !t_snap) {
        // A record: open, pread, close, as few calls as a read can make.
        if (!at.usable()) return failed();
        f = File(sys_openat(at.fd(), at.name(), kReadFlags));
        if (!f.is_open()) return failed();
        return read_whole(f.fd(), out, 0, kMaxRecordBytes);
    }
    std::size_t size = 0;
    struct stat st;
    const Read r = open_regular(at, f, size, &st);
    note_read(path, r, st);
    if (r != Read::Ok) return r;
    const Read got = read_whole(f.fd(), out, size, list ? SIZE_MAX : kMaxRecordBytes);
    if (t_snap) t_snap->keep(f.release());
    return got;
}

Read stat_list(const std::string &path, struct stat &st, bool &own) {
    const At at(path, true);
    own = at.in_stage();
    return stat_at(at, st);
}

Read read_list(const std::string &path, Bytes &out, struct stat &st, File &keep) {
    out.clear();
    const At at(path, true);
    if (at.in_stage()) return Read::Error;
    std::size_t size = 0;
    if (const Read r = open_regular(at, keep, size, &st); r != Read::Ok) return r;
    return read_whole(keep.fd(), out, size, SIZE_MAX);
}

Read read_config(const char *path, Bytes &out) {
    out.clear();
    // The host names this file: a symlink to it is its administrator's choice.
    File f(sys_openat(AT_FDCWD, path, O_RDONLY | O_NONBLOCK));
    if (!f.is_open()) return failed();
    struct stat st;
    if (sys([&] { return ::fstat(f.fd(), &st); }) != 0 || !S_ISREG(st.st_mode)) return Read::Error;
    return read_whole(f.fd(), out, static_cast<std::size_t>(st.st_size), kMaxConfigBytes);
}

bool File::write_all(struct iovec *slices, std::size_t count) {
    std::size_t at = 0;
    while (at < count) {
        if (slices[at].iov_len == 0) {
            ++at;
            continue;
        }
        const int batch = static_cast<int>(std::min<std::size_t>(count - at, IOV_MAX));
        ssize_t n = sys([&] { return ::writev(fd_, slices + at, batch); });
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
    const At at(path, true);
    File f;
    std::size_t size = 0;
    struct stat st;
    const Read r = open_regular(at, f, size, &st);
    note_read(path, r, st);
    if (r != Read::Ok) return r;
    char *p = static_cast<char *>(buf);
    while (got < len) {
        const ssize_t n = sys_pread(f.fd(), p + got, len - got, got);
        if (n < 0) return Read::Error;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (t_snap) t_snap->keep(f.release());
    return Read::Ok;
}

Read probe(const std::string &path) {
    const At at(path, true);
    struct stat st;
    return stat_at(at, st);
}

bool write_file(const std::string &path, const std::function<bool(File &)> &fill) {
    // A link or special file at the name would be replaced by the rename.
    if (probe(path) == Read::Error) return false;
    const At at(path);
    if (!at.usable()) return false;
    // Staged: the staged version itself, or beside it when there is one already.
    const bool stage = at.staged_here();
    if (stage && !begin_stage()) return false;
    const int fd = stage ? t_dir.stage_fd : at.fd();
    const std::string name(at.name());
    const std::string temp = stage && !staged(name) ? name : name + std::string(kTempSuffix);
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    File f(sys_openat(fd, temp.c_str(), flags, 0600));
    // A dead writer's temporary file goes first; anything but a plain file is not ours.
    if (!f.is_open() && errno == EEXIST) {
        struct stat st;
        if (::fstatat(fd, temp.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            ::unlinkat(fd, temp.c_str(), 0) == 0)
            f = File(sys_openat(fd, temp.c_str(), flags, 0600));
    }
    if (!f.is_open()) return false;
    uid_t uid = 0;
    gid_t gid = 0;
    bool done = (!owner_for_new_files(at.fd(), uid, gid) || ::fchown(f.fd(), uid, gid) == 0) && fill(f) && f.sync();
    done = f.close() && done;
    if (done && temp != name) done = !injected() && ::renameat(fd, temp.c_str(), fd, name.c_str()) == 0;
    if (!done) {
        ::unlinkat(fd, temp.c_str(), 0);
        return false;
    }
    if (stage) note_staged(name, false);
    return true;
}

bool write_file(const std::string &path, std::string_view data) {
    return write_file(path, [&](File &f) { return f.write_all(data); });
}

bool size_at_least(const std::string &path, std::size_t n) {
    const At at(path, true);
    struct stat st;
    return stat_at(at, st) == Read::Ok && static_cast<std::size_t>(st.st_size) >= n;
}

bool rename_file(const std::string &from, const std::string &to) {
    const At a(from, true), b(to, true);
    struct stat st;
    if (stat_at(a, st) != Read::Ok) return false;
    // A name the operation removes is free (its At is not usable).
    if (stat_at(b, st) == Read::Error) return false;
    if (!a.staged_here()) return !injected() && ::renameat(a.fd(), a.name(), b.fd(), b.name()) == 0;
    // Staged: the new name gets the file (moved, else copied), the old one a removal mark.
    const std::string name_a(a.name()), name_b(b.name());
    if (!begin_stage() || injected()) return false;
    const int fd = t_dir.stage_fd;
    const Staged *sa = staged(name_a);
    if (sa && !sa->remove) {
        if (::renameat(fd, name_a.c_str(), fd, name_b.c_str()) != 0) return false;
        note_staged(name_b, false);
    } else {
        // A copy, not a hard link: GlusterFS refuses (EEXIST) a link of a file
        // under a name where a rename once replaced a link of it, for as long
        // as the file lives; a disabled entry whose enable was cut short could
        // then never be enabled there.
        Bytes data;
        if (read_file(from, data) != Read::Ok || !write_file(to, data.view())) return false;
    }
    if (::symlinkat(kRemoved, fd, name_a.c_str()) != 0) return false;
    note_staged(name_a, true);
    return true;
}

void read_as_they_stand() { t_dir.checked = true; }

bool lock_shared() {
    if (t_dir.depth == 0 || t_dir.locked || t_dir.shared || !t_dir.lock) return false;
    if (t_dir.fd < 0 && t_dir.open_errno == 0) open_thread_dir(false);
    t_dir.shared = t_dir.fd >= 0 && t_dir.lock->lock(t_dir.fd, t_dir.prefix, false);
    return t_dir.shared;
}

Snapshot::Snapshot() : outer_(std::exchange(t_snap, this)) {}

Snapshot::~Snapshot() {
    close_kept();
    t_snap = outer_;
}

void Snapshot::close_kept() {
    for (const int fd : kept_) ::close(fd);
    kept_.clear();
}

bool Snapshot::holds() {
    // The files read are compared first, then let go.
    const struct Release {
        Snapshot &s;
        ~Release() { s.close_kept(); }
    } release{*this};
    if (t_dir.depth == 0 || t_dir.locked || t_dir.shared) return true;
    if (t_dir.journal_fd < 0 && journal_pending()) {
        settle_for_reader();
        seen_.clear();
        return false;
    }
    const std::vector<Seen> seen = std::exchange(seen_, {});
    for (const Seen &s : seen) {
        const At at(s.path, true);
        struct stat st;
        const Read r = stat_at(at, st);
        if (s.present ? r != Read::Ok || st.st_ino != s.ino || st.st_dev != s.dev : r != Read::Missing) return false;
    }
    return true;
}

bool remove_file(const std::string &path) {
    const At at(path, true);
    if (!at.usable()) return false;
    struct stat st;
    const Read kind = stat_at(at, st);
    if (kind == Read::Missing) errno = ENOENT;
    if (kind != Read::Ok) return false;
    if (at.staged_here()) return stage_removal(at.name());
    if (injected()) return false;
    return ::unlinkat(at.fd(), at.name(), 0) == 0;
}

bool list_files(std::string_view dir, std::vector<std::string> &names) {
    std::string_view prefix;
    const std::string part(directory_part(dir, prefix));
    const int fd = sys_openat(AT_FDCWD, part.c_str(), O_RDONLY | O_DIRECTORY);
    DIR *d = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!d) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    const std::unique_ptr<DIR, int (*)(DIR *)> hold(d, ::closedir);
    errno = 0;
    while (const dirent *e = ::readdir(d)) {
        const std::string_view name(e->d_name);
        struct stat st;
        // Only some file systems give the type in the entry.
        if (name.size() > prefix.size() && name.starts_with(prefix) &&
            (e->d_type == DT_REG || (e->d_type == DT_UNKNOWN && ::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                     S_ISREG(st.st_mode))))
            names.emplace_back(name.substr(prefix.size()));
        errno = 0;
    }
    return errno == 0;
}

DirScope::DirScope(std::string_view dir, bool write) {
    if (t_dir.depth > 0) {
        parts();
        std::string_view prefix;
        if (t_dir.part != directory_part(dir, prefix)) {
            // Another registry's operation calls into this one: set it aside.
            saved_ = new SavedScope{std::move(t_dir), std::exchange(t_mem.stage, nullptr)};
            t_dir = ThreadDir{};
        }
    }
    if (t_dir.depth++ == 0) {
        fresh_ = true;
        // A reader splits the directory on first use: a cursor step may never need it.
        t_dir.part = dir;
        t_dir.prefix = {};
        t_dir.split = false;
        t_dir.lock = &lock_;
        if (write) {
            parts();
            open_thread_dir(true);
        }
    }
    if (!write || t_dir.locked) return;
    g_write_mutex.lock();
    took_mutex_ = true;
    parts();
    if (t_dir.fd < 0 && t_dir.open_errno == 0) open_thread_dir(true);
    if (t_dir.fd < 0 || !lock_for_writing(write_lock_)) {
        ok_ = false;
        return;
    }
    took_lock_ = true;
    t_dir.locked = true;
    // Nothing is read or written on top of a half-done operation.
    if (!recover()) ok_ = false;
}

bool DirScope::again_with_reserve(Rc rc) {
    if (!took_lock_ || finished_ || rc != Rc::FileError || !t_dir.revoking || !t_dir.no_space) return false;
    discard_running();
    t_dir.no_space = false;
    return release_reserve();
}

Rc DirScope::finish(Rc rc) {
    if (!took_lock_ || finished_) return rc;
    finished_ = true;
    // The space a revocation freed (or the first write) refills the reserve.
    struct Refill {
        ~Refill() {
            if (t_dir.revoking) keep_reserve();
        }
    } refill;
    const bool failed = rc == Rc::FileError || rc == Rc::NoMemory;
    const Commit done = failed ? Commit::NotCommitted : commit_running();
    if (done == Commit::Done) return rc;
    // Committed but not all in place: 6, and the journal stays to be finished.
    if (done == Commit::Pending) return Rc::FileError;
    discard_running();
    return failed ? rc : Rc::FileError;
}

DirScope::~DirScope() {
    if (took_lock_) {
        if (!finished_) discard_running();
        write_lock_.unlock();
        t_dir.locked = false;
    }
    if (took_mutex_) g_write_mutex.unlock();
    if (--t_dir.depth == 0 && fresh_) {
        lock_.unlock();
        if (t_dir.journal_fd >= 0) ::close(t_dir.journal_fd);
        if (t_dir.fd >= 0) ::close(t_dir.fd);
        t_dir = ThreadDir{};
    }
    if (saved_) {
        auto *saved = static_cast<SavedScope *>(saved_);
        t_dir = std::move(saved->dir);
        delete std::exchange(t_mem.stage, saved->stage);
        delete saved;
    }
}

}  // namespace tolv::io