// pam_tolv_registry.cpp - the registry session of one PAM call: the
// configuration file and registry directory checked, the plug-in loaded as a
// host loads it, the registry opened, used and closed again.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "pam_tolv.h"
#include "tolv.h"

namespace tolvpam {

namespace {

constexpr std::size_t kMaxConfigBytes = 1 << 20;
// The plug-in reads its configuration in pieces of 249 bytes; the dir= line
// handed to it must be one piece.
constexpr std::size_t kConfigPiece = 249;
constexpr std::size_t kMaxDir = kConfigPiece - (sizeof "dir=\n" - 1);
constexpr int kMaxLinks = 40;

std::string errno_text() { return std::strerror(errno); }

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Root and the account the program runs as may change the registry; nobody else.
bool trusted_owner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

std::string trusted_accounts() {
    return ::geteuid() == 0 ? std::string("root") : "root and uid " + std::to_string(::geteuid());
}

// Pushes the components of `path` so that the first is taken next.
void push_components(std::vector<std::string> &todo, std::string_view path) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t end = path.find('/', at);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(at, end - at);
        if (!part.empty() && part != ".") parts.emplace_back(part);
        at = end + 1;
    }
    todo.insert(todo.end(), parts.rbegin(), parts.rend());
}

// Whether no other account can change what `path` names: every directory on
// the way (symbolic links followed, and the directories holding them) and the
// object itself belong to a trusted account, and none is writable by group or
// others (a sticky directory such as /tmp excepted on the way). `leaf` gets the
// object's status.
bool safe_path(const std::string &path, bool want_dir, struct stat &leaf, std::string &why) {
    const auto check = [&](const std::string &p, const struct stat &st, bool is_leaf) {
        if (!trusted_owner(st.st_uid)) {
            why = p + " belongs to uid " + std::to_string(st.st_uid) + ": an account other than " + trusted_accounts() +
                  " could change it";
            return false;
        }
        if (is_leaf ? (want_dir ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) : !S_ISDIR(st.st_mode)) {
            why = p + (is_leaf && !want_dir ? " is not a regular file" : " is not a directory");
            return false;
        }
        if ((st.st_mode & 022) && (is_leaf || !(st.st_mode & S_ISVTX))) {
            why = p + " has mode " + octal(st.st_mode) + ": other accounts can write it";
            return false;
        }
        return true;
    };
    if (path.empty() || path.front() != '/') {
        why = path + " is not an absolute path";
        return false;
    }
    std::vector<std::string> todo;
    push_components(todo, path);
    std::string at = "/";
    struct stat st {};
    if (::lstat("/", &st) != 0 || (!todo.empty() && !check("/", st, false))) {
        if (why.empty()) why = "/: " + errno_text();
        return false;
    }
    int links = 0;
    while (!todo.empty()) {
        const std::string part = std::move(todo.back());
        todo.pop_back();
        if (part == "..") {
            const std::size_t slash = at.rfind('/');
            at = slash == 0 ? "/" : at.substr(0, slash);
            continue;
        }
        const std::string next = (at == "/" ? "" : at) + "/" + part;
        if (::lstat(next.c_str(), &st) != 0) {
            why = next + ": " + errno_text();
            return false;
        }
        if (S_ISLNK(st.st_mode)) {
            if (++links > kMaxLinks) {
                why = path + ": too many symbolic links";
                return false;
            }
            std::vector<char> target(static_cast<std::size_t>(st.st_size) + 2);
            const ssize_t n = ::readlink(next.c_str(), target.data(), target.size());
            if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
                why = next + ": the symbolic link cannot be read";
                return false;
            }
            if (target[0] == '/') at.assign(1, '/');  // = "/" makes g++ 12 -O3 warn of a false overlap
            push_components(todo, std::string_view(target.data(), static_cast<std::size_t>(n)));
            continue;
        }
        if (!todo.empty() && !check(next, st, false)) return false;
        at = next;
    }
    if (::lstat(at.c_str(), &leaf) != 0) {
        why = at + ": " + errno_text();
        return false;
    }
    return check(at, leaf, true);
}

struct Config {
    std::string dir;
    bool has_dir = false;
    bool durable = false;
    bool verbose = false;  // a verbose= other than false, which the module does not pass on
};

std::string_view trim_spaces(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// The plug-in's syntax: pieces of at most 249 bytes (a longer line is read as
// several), '#' in column one, key=value split at the first '=', blanks
// trimmed, keys case-insensitive, the last dir= wins.
void parse_config(std::string_view text, Config &c) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t nl = text.find('\n', at);
        std::size_t take = (nl == std::string_view::npos ? text.size() : nl + 1) - at;
        if (take > kConfigPiece) take = kConfigPiece;
        std::string_view piece = text.substr(at, take);
        at += take;
        if (!piece.empty() && piece.back() == '\n') piece.remove_suffix(1);
        if (piece.empty() || piece.front() == '#') continue;
        const std::size_t eq = piece.find('=');
        if (eq == std::string_view::npos) continue;
        std::string key(trim_spaces(piece.substr(0, eq)));
        for (char &k : key)
            if (k >= 'A' && k <= 'Z') k = static_cast<char>(k - 'A' + 'a');
        const std::string_view value = trim_spaces(piece.substr(eq + 1));
        if (key == "dir") {
            c.dir = value;
            c.has_dir = true;
        } else if (key == "durable") {
            c.durable = value == "true";
        } else if (key == "verbose" && value != "false") {
            c.verbose = true;
        }
    }
}

bool load_config(const std::string &path, Config &c, std::string &why) {
    struct stat checked {};
    if (!safe_path(path, false, checked, why)) return false;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        why = path + ": " + errno_text();
        return false;
    }
    if (st.st_dev != checked.st_dev || st.st_ino != checked.st_ino) {
        why = path + " changed while it was checked";
        return false;
    }
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = path + ": " + errno_text();
            return false;
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxConfigBytes) {
            why = path + " is larger than 1 MiB";
            return false;
        }
    }
    parse_config(text, c);
    if (!c.has_dir) {
        why = path + " has no dir= line";
        return false;
    }
    // Relative to the caller's working directory, or files beside the directory: never meant.
    if (c.dir.empty() || c.dir.front() != '/' || c.dir.back() != '/') {
        why = path + ": dir=" + printable(c.dir) + " must be an absolute path ending in '/'";
        return false;
    }
    if (c.dir.size() > kMaxDir) {
        why = path + ": dir= is longer than " + std::to_string(kMaxDir) + " bytes";
        return false;
    }
    if (!safe_path(c.dir, true, checked, why)) {
        why = "registry directory " + printable(c.dir) + " (dir= in " + path + "): " + why;
        return false;
    }
    return true;
}

// A configuration handed to the plug-in: an anonymous file in memory, named
// through /proc, so that the plug-in reads exactly the settings checked here
// and no file is created.
class MemFile {
public:
    bool make(std::string_view text, std::string &why) {
        fd_.reset(::memfd_create("tolv-pam", MFD_CLOEXEC));
        if (fd_.get() < 0) {
            why = "memfd_create: " + errno_text();
            return false;
        }
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd_.get(), text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                why = "writing the plug-in's settings: " + errno_text();
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_.get());
        // The plug-in would only say "cannot open", on standard error.
        const Fd probe(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (probe.get() < 0) {
            why = path_ + ": " + errno_text() + " (the plug-in's settings are handed over through /proc)";
            return false;
        }
        return true;
    }
    const std::string &path() const { return path_; }

private:
    Fd fd_;
    std::string path_;
};

// The plug-in beside librspiutil, as tolvadm finds it, loaded on first use and
// let go of when this module is unloaded. It stays mapped all the same: its
// per-thread memory is released by a thread-exit hook.
class LoadedPlugin {
public:
    bool load(std::string &why) {
        if (lib_) return true;
        Dl_info info{};
        if (!::dladdr(reinterpret_cast<void *>(&rspi_alloc), &info) || !info.dli_fname || info.dli_fname[0] != '/') {
            why = "librspiutil's directory is unknown";
            return false;
        }
        const std::string lib(info.dli_fname);
        const std::string path = lib.substr(0, lib.rfind('/') + 1) + "libtolvflatfile.so";
        void *handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (!handle) {
            const char *e = ::dlerror();
            why = e ? e : path;
            return false;
        }
        Plugin p;
        if (!resolve(handle, p.initialize, "rspi_initialize", why) || !resolve(handle, p.terminate, "rspi_terminate", why) ||
            !resolve(handle, p.authenticate_user, "rspi_authenticate_user", why) ||
            !resolve(handle, p.change_authndata, "rspi_change_authndata", why) ||
            !resolve(handle, p.get_user, "rspi_get_user", why)) {
            ::dlclose(handle);
            return false;
        }
        lib_ = handle;
        ops = p;
        return true;
    }
    ~LoadedPlugin() {
        if (lib_) ::dlclose(lib_);
    }

    Plugin ops;

private:
    template <class F>
    static bool resolve(void *handle, F &f, const char *name, std::string &why) {
        f = reinterpret_cast<F>(::dlsym(handle, name));
        if (!f) why = std::string("the plug-in lacks ") + name;
        return f != nullptr;
    }
    void *lib_ = nullptr;
};

// One registry session at a time in a process: the plug-in keeps one handle
// per process. A fork waits for the session to end, so that the child never
// inherits one half done (or this lock held).
std::mutex g_session;
LoadedPlugin g_plugin;  // under g_session
void lock_session() { g_session.lock(); }
void unlock_session() { g_session.unlock(); }
[[maybe_unused]] const int g_at_fork = ::pthread_atfork(lock_session, unlock_session, unlock_session);

}  // namespace

uint32_t with_registry(pam_handle_t *pamh, const Options &o, const RegistryCall &call) {
    Config c;
    std::string why;
    if (!load_config(o.config, c, why)) {
        pam_syslog(pamh, LOG_ERR, "configuration file %s refused: %s", printable(o.config).c_str(),
                   printable(why).c_str());
        return kRegistryUnusable;
    }
    if (c.verbose && o.debug)
        pam_syslog(pamh, LOG_DEBUG, "verbose= in %s is not passed on: the module logs through syslog",
                   printable(o.config).c_str());
    MemFile settings;
    MemFile probe;
    if (!settings.make("dir=" + c.dir + "\n" + (c.durable ? "durable=true\n" : ""), why) || !probe.make("", why)) {
        pam_syslog(pamh, LOG_ERR, "%s", printable(why).c_str());
        return kRegistryUnusable;
    }

    const std::lock_guard<std::mutex> hold(g_session);
    if (!g_plugin.load(why)) {
        pam_syslog(pamh, LOG_ERR, "cannot load the plug-in: %s", printable(why).c_str());
        return kNoPlugin;
    }
    const Plugin &p = g_plugin.ops;
    // A program that opened a registry itself keeps it: the settings without a
    // dir= line open nothing, and give back a registry already open.
    char **h = nullptr;
    bool ours = false;
    if (p.initialize(&h, probe.path().c_str()) != RSPI_RC_SUCCESS || !h) {
        h = nullptr;
        const uint32_t rc = p.initialize(&h, settings.path().c_str());
        if (rc != RSPI_RC_SUCCESS || !h || !*h) {
            pam_syslog(pamh, LOG_ERR, "rspi_initialize: %u, %s", static_cast<unsigned>(rc), rc_reason(rc));
            return rc == RSPI_RC_SUCCESS ? kRegistryUnusable : rc;
        }
        ours = true;
    } else if (!*h || c.dir != *h) {
        pam_syslog(pamh, LOG_ERR, "the program has another registry open (%s), not %s; it is left alone",
                   *h ? printable(*h).c_str() : "-", printable(c.dir).c_str());
        return kRegistryUnusable;
    }
    if (o.debug)
        pam_syslog(pamh, LOG_DEBUG, "registry %s %s", printable(c.dir).c_str(),
                   ours ? "opened" : "already open in the program");
    struct Close {
        const Plugin &p;
        char **h;
        bool ours;
        ~Close() {
            if (ours) p.terminate(h);
        }
    } close{p, h, ours};
    return call(p, h);
}

}  // namespace tolvpam
