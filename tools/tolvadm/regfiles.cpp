// regfiles.cpp - the registry's files read, locked and rewritten like the plug-in, and split into lines
// (regfiles.h).
#include "regfiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "tolvlock.h"

namespace tolvadm::check {

// A descriptor closed when dropped.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

namespace {

// Record files are read in lines of a 1000-byte buffer.
constexpr std::size_t kRecordPiece = 999;

std::string sys_error(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
std::string sanitised(std::string_view name) {
    std::string s(name);
    for (char &c : s) c = tolv::format::name_char(c);
    return s;
}

std::vector<std::string_view> record_lines(std::string_view data) {
    std::vector<std::string_view> out;
    while (!data.empty()) {
        std::size_t n = std::min(data.find('\n'), kRecordPiece - 1) + 1;
        n = std::min(n, data.size());
        std::string_view piece = data.substr(0, n);
        data.remove_prefix(n);
        if (piece.ends_with('\n')) piece.remove_suffix(1);
        out.push_back(piece);
    }
    return out;
}

// ---------------------------------------------------------------------------
Registry::Registry(std::string dir, bool durable) : dir_(std::move(dir)), durable_(durable) {
    const std::size_t slash = dir_.rfind('/');
    folder_ = slash == std::string::npos ? "." : slash == 0 ? "/" : dir_.substr(0, slash);
    prefix_ = slash == std::string::npos ? dir_ : dir_.substr(slash + 1);
}

Registry::~Registry() = default;

// The lock is released before the directory it was taken on closes.
struct Registry::Held {
    Fd dir;
    tolv::format::RegistryLock lock;
    explicit Held(int fd) : dir(fd) {}
    ~Held() { lock.unlock(); }
};

void Registry::lock(bool shared) {
    lock_ = std::make_unique<Held>(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (lock_->dir.fd < 0) throw IoError(sys_error("cannot open the registry directory", folder_));
    if (!lock_->lock.lock(lock_->dir.fd, prefix_, !shared))
        throw IoError(sys_error("cannot lock", path(tolv::format::kLockFile)));
}

bool Registry::read(const std::string &name, std::string &out) const {
    out.clear();
    const std::string p = path(name);
    Fd f(::open(p.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (f.fd < 0) {
        if (errno == ENOENT) return false;
        throw IoError(sys_error("cannot open", p));
    }
    struct stat st;
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) throw IoError(p + " is not a regular file");
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(f.fd, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw IoError(sys_error("cannot read", p));
        out.append(buf, static_cast<std::size_t>(n));
    }
}

void Registry::replace(const std::string &name, std::string_view data) {
    const std::string p = path(name), temp = p + "_T";
    bool done = false;
    {
        // As the plug-in does: a stale temporary goes first, the new one is
        // made exclusively and never through a link, and as root in a
        // directory of another account it takes the directory's owner.
        struct stat st;
        if (::lstat(temp.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(temp.c_str());
        Fd f(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (f.fd < 0) throw IoError(sys_error("cannot create", temp));
        struct stat dir;
        if (::geteuid() == 0 && ::stat(folder_.c_str(), &dir) == 0 && dir.st_uid != 0 &&
            ::fchown(f.fd, dir.st_uid, dir.st_gid) != 0)
            throw IoError(sys_error("cannot give to the directory's owner", temp));
        done = ::fchmod(f.fd, 0600) == 0 && write_all(f.fd, data) && (!durable_ || ::fdatasync(f.fd) == 0);
        const int fd = std::exchange(f.fd, -1);
        done = (::close(fd) == 0) && done;
    }
    if (!done || ::rename(temp.c_str(), p.c_str()) != 0) {
        const std::string error = sys_error("cannot write", temp);
        ::unlink(temp.c_str());
        throw IoError(error);
    }
    flush_folder();
}

// A new name or a removal is on the disk only once its directory is flushed.
void Registry::flush_folder() const {
    if (!durable_) return;
    Fd d(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.fd < 0 || ::fsync(d.fd) != 0) throw IoError(sys_error("cannot flush", folder_));
}

}  // namespace tolvadm::check
