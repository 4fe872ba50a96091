// tolvadmin_check_journal.cpp - the journal's directories, by the rule the plug-in's recovery follows
// (tolvjournal.h): what it will apply, what keeps a step from being applied, and what it refused and moved
// aside. Only looked at, never changed: the directories are the journal's, not registry files.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tolvadmin_check_registry.h"
#include "tolvjournal.h"

namespace tolv::admin::checking {

namespace {

namespace fmt = tolv::format;

struct Dir {
    explicit Dir(int fd = -1) : fd(fd) {}
    ~Dir() {
        if (fd >= 0) ::close(fd);
    }
    Dir(const Dir &) = delete;
    Dir &operator=(const Dir &) = delete;
    int fd;
};

// The names in a directory (without . and ..) that start with `starting`, sorted; empty when it does not open.
std::vector<std::string> entries(int dirfd, const std::string &name, std::string_view starting = {}) {
    std::vector<std::string> out;
    const int fd = ::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return out;
    std::unique_ptr<DIR, int (*)(DIR *)> d(::fdopendir(fd), ::closedir);
    if (!d) {
        ::close(fd);
        return out;
    }
    while (const dirent *e = ::readdir(d.get()))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 &&
            std::string_view(e->d_name).starts_with(starting))
            out.emplace_back(e->d_name);
    std::sort(out.begin(), out.end());
    return out;
}

const char *kind_of(mode_t m) {
    return S_ISLNK(m) ? "a symbolic link" : S_ISREG(m) ? "a regular file" : S_ISFIFO(m) ? "a FIFO" : "not a directory";
}

class JournalCheck {
public:
    // dir: the registry's directory string, the directory up to its last '/' and a name prefix after it.
    JournalCheck(std::string_view dir, Findings &out) : out_(out) {
        const std::size_t slash = dir.rfind('/');
        folder_ = slash == std::string_view::npos ? "." : slash == 0 ? "/" : std::string(dir.substr(0, slash));
        prefix_ = dir.substr(slash == std::string_view::npos ? 0 : slash + 1);
        dir_.fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }

    bool run() {
        if (dir_.fd < 0) return false;
        owner_ = fmt::registry_owner(dir_.fd);
        const bool pending = committed();
        staging();
        idle();
        refused();
        return pending;
    }

private:
    std::string name(std::string_view which) const { return prefix_ + std::string(which); }

    // Lstat of a registry name; false when nothing is there.
    bool at(const std::string &n, struct stat &st) const { return ::fstatat(dir_.fd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0; }

    // As findings name files: without the registry's name prefix.
    std::string shown(const std::string &n) const { return n.substr(std::min(prefix_.size(), n.size())); }

    void moved_aside(const std::string &file, const std::string &what) {
        out_.left(shown(file), what + ": never applied; the plug-in's next write moves it aside as " + name(fmt::kRefusedDir) +
                            "N, for a person to inspect");
    }

    bool committed() {
        const std::string j = name(fmt::kJournalDir);
        struct stat st;
        if (!at(j, st)) return false;
        if (!S_ISDIR(st.st_mode)) {
            moved_aside(j, kind_of(st.st_mode));
            return false;
        }
        const Dir jd(::openat(dir_.fd, j.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct statx dir;
        const bool dir_ok = fmt::directory_statx(dir_.fd, dir);
        bool pending = false;
        const std::vector<std::string> names = entries(dir_.fd, j);
        for (const std::string &e : names) {
            const std::string file = j + "/" + e;
            struct stat es;
            if (jd.fd < 0 || ::fstatat(jd.fd, e.c_str(), &es, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (const char *why =
                    fmt::foreign_entry(jd.fd, prefix_, e.c_str(), es, owner_, fmt::links_of(jd.fd, dir_.fd, names, es))) {
                moved_aside(file, std::string("not written by the plug-in (") + why + ")");
                continue;
            }
            pending = true;
            bool exists = false;
            const int blocked = dir_ok ? fmt::blocked_target(dir_.fd, dir, e.c_str(), exists) : errno;
            if (blocked != 0) {
                out_.left(shown(file), e + ": " + std::strerror(blocked) +
                                    ": an operation committed but cannot be applied, and every write fails until it is. "
                                    "Make " + e + " (and the registry directory) replaceable: no immutable or append-only "
                                    "attribute (lsattr; chattr -i -a), a regular file; then run tolvadm check --repair");
            } else if (out_.repair()) {
                out_.left(shown(file), "an operation committed but the plug-in could not apply it (an I/O error?); every write "
                                "fails until it is applied: look at the system log, then run tolvadm check --repair again");
            } else {
                out_.left(shown(file), "an operation committed but not applied in full: the plug-in's next write or reader, or "
                                "tolvadm check --repair, applies it");
            }
        }
        return pending;
    }

    void staging() {
        const std::string s = name(fmt::kStagingDir);
        struct stat st;
        if (!at(s, st)) return;
        if (!S_ISDIR(st.st_mode))
            moved_aside(s, kind_of(st.st_mode));
        else
            out_.left(shown(s), "an operation was interrupted before its commit: nothing of it was applied "
                         "(the plug-in's next write, or check --repair, removes what it staged)");
    }

    void idle() {
        const std::string i = name(fmt::kIdleJournalDir);
        struct stat st;
        if (!at(i, st)) return;
        if (!S_ISDIR(st.st_mode)) {
            moved_aside(i, kind_of(st.st_mode));
            return;
        }
        for (const std::string &e : entries(dir_.fd, i))
            moved_aside(i + "/" + e, "an entry in the idle journal, which the plug-in keeps empty");
    }

    void refused() {
        const std::string p = name(fmt::kRefusedDir);
        for (const std::string &n : entries(dir_.fd, ".", p)) {
            const std::string advice = ": moved aside by the plug-in, never applied; inspect it, then remove it (rm -r " +
                                       folder_ + "/" + n + ")";
            const std::vector<std::string> in = entries(dir_.fd, n);
            if (in.empty()) out_.left(shown(n), advice.substr(2));
            for (const std::string &e : in) out_.left(shown(n) + "/" + e, advice.substr(2));
        }
    }

    std::string folder_;
    std::string prefix_;
    Findings &out_;
    Dir dir_;
    uid_t owner_ = 0;
};

}  // namespace

bool check_journal(std::string_view dir, Findings &out) { return JournalCheck(dir, out).run(); }

}  // namespace tolv::admin::checking
