// lock_probe DIR-A DIR-B - what locks and names do between two processes that
// reach one file through two paths (two FUSE mounts of one volume, or the same
// local directory twice). Prints one "key: value" line per question.
//
// Locks are taken on DIR/probe.lock, a regular file. "excludes" means the
// second process's non-blocking attempt failed with EAGAIN while the first held
// the lock; "shares" that it succeeded; anything else prints the errno.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;
enum Kind { kFlock, kPosix, kOfd };
const char *const kKindName[] = {"flock", "posix", "ofd"};

// 0 taken, else the errno of the refusal.
int take(int fd, Kind k, bool ex, bool wait) {
    int r;
    if (k == kFlock) {
        r = ::flock(fd, (ex ? LOCK_EX : LOCK_SH) | (wait ? 0 : LOCK_NB));
    } else {
        struct flock fl{};
        fl.l_type = static_cast<short>(ex ? F_WRLCK : F_RDLCK);
        fl.l_whence = SEEK_SET;
        const int cmd = k == kPosix ? (wait ? F_SETLKW : F_SETLK) : (wait ? F_OFD_SETLKW : F_OFD_SETLK);
        r = ::fcntl(fd, cmd, &fl);
    }
    return r == 0 ? 0 : errno;
}

void drop(int fd, Kind k) {
    if (k == kFlock) {
        ::flock(fd, LOCK_UN);
        return;
    }
    struct flock fl{};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    ::fcntl(fd, k == kPosix ? F_SETLK : F_OFD_SETLK, &fl);
}

int open_rw(const std::string &path) { return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600); }

std::string outcome(int err) {
    if (err == 0) return "shares";
    if (err == EAGAIN || err == EWOULDBLOCK || err == EACCES) return "excludes";
    return std::string("error ") + std::strerror(err);
}

// A child that holds a lock on `path` until its pipe closes (or it is killed).
struct Holder {
    pid_t pid = -1;
    int release_fd = -1;
};

Holder hold(const std::string &path, Kind k, bool ex) {
    int ready[2], release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) std::exit(2);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        const int fd = open_rw(path);
        const char ok = fd >= 0 && take(fd, k, ex, true) == 0 ? 'L' : 'E';
        (void)!::write(ready[1], &ok, 1);
        char c;
        (void)!::read(release[0], &c, 1);
        drop(fd, k);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char c = 0;
    (void)!::read(ready[0], &c, 1);
    ::close(ready[0]);
    if (c != 'L') std::printf("  (holder could not take the lock)\n");
    return {pid, release[1]};
}

// A byte, not EOF: other children may hold copies of the pipe's write end.
void release(Holder &h) {
    (void)!::write(h.release_fd, "x", 1);
    ::close(h.release_fd);
    ::waitpid(h.pid, nullptr, 0);
}

// Runs `fn` in a child process and returns what it wrote (one line at most).
template <class Fn>
std::string in_child(Fn fn) {
    int out[2];
    if (::pipe(out) != 0) std::exit(2);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        const std::string s = fn();
        (void)!::write(out[1], s.data(), s.size());
        ::_exit(0);
    }
    ::close(out[1]);
    char buf[256];
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    ::close(out[0]);
    ::waitpid(pid, nullptr, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "no answer";
}

std::string try_once(const std::string &path, Kind k, bool ex) {
    return in_child([&] {
        const int fd = open_rw(path);
        return fd < 0 ? std::string("open failed") : outcome(take(fd, k, ex, false));
    });
}

double ms_since(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Polls a non-blocking lock until it is taken (up to 5 s).
std::string taken_within(const std::string &path, Kind k) {
    return in_child([&] {
        const int fd = open_rw(path);
        const auto t0 = Clock::now();
        for (;;) {
            const int err = take(fd, k, true, false);
            if (err == 0) return "released, taken after " + std::to_string(static_cast<int>(ms_since(t0))) + " ms";
            if (err != EAGAIN && err != EWOULDBLOCK && err != EACCES) return "error " + std::string(std::strerror(err));
            if (ms_since(t0) > 5000) return std::string("still held after 5 s");
            ::usleep(5000);
        }
    });
}

void locks(const std::string &a, const std::string &b) {
    const std::string fa = a + "/probe.lock", fb = b + "/probe.lock";
    ::close(open_rw(fa));
    for (Kind k : {kFlock, kPosix, kOfd}) {
        const char *n = kKindName[k];
        for (auto [hex, cex, label] : {std::tuple{true, true, "ex/ex"}, std::tuple{false, true, "sh/ex"},
                                       std::tuple{true, false, "ex/sh"}, std::tuple{false, false, "sh/sh"}}) {
            Holder h = hold(fa, k, hex);
            std::printf("%s %s A holds, B tries: %s\n", n, label, try_once(fb, k, cex).c_str());
            release(h);
        }
        // A blocked waiter on B is woken when A lets go.
        {
            Holder h = hold(fa, k, true);
            const auto t0 = Clock::now();
            std::thread releaser([&] {
                ::usleep(200000);
                release(h);
            });
            const std::string r = in_child([&] {
                const int fd = open_rw(fb);
                const int err = take(fd, k, true, true);
                return err ? outcome(err) : "woken " + std::to_string(static_cast<int>(ms_since(t0)) - 200) +
                                                " ms after the release";
            });
            releaser.join();
            std::printf("%s ex: B waits (F_SETLKW/LOCK_EX) while A holds: %s\n", n, r.c_str());
        }
        // Killed holder.
        {
            Holder h = hold(fa, k, true);
            ::kill(h.pid, SIGKILL);
            ::waitpid(h.pid, nullptr, 0);
            ::close(h.release_fd);
            std::printf("%s ex: A SIGKILLed while holding, B: %s\n", n, taken_within(fb, k).c_str());
        }
        // Two threads of one process, each with its own open(): A's path and B's.
        for (auto [p2, label] : {std::pair{fa, "A+A"}, std::pair{fb, "A+B"}}) {
            const std::string r = in_child([&, p2 = p2] {
                const int fd1 = open_rw(fa);
                if (take(fd1, k, true, true) != 0) return std::string("first lock failed");
                std::string res;
                std::thread t([&] {
                    const int fd2 = open_rw(p2);
                    res = outcome(take(fd2, k, true, false));
                    ::close(fd2);
                });
                t.join();
                return res;
            });
            std::printf("%s ex: two threads, two open()s (%s): %s\n", n, label, r.c_str());
        }
        // Round trip, uncontended.
        for (auto [p, label] : {std::pair{fa, "A"}, std::pair{fb, "B"}}) {
            const int fd = open_rw(p);
            constexpr int kRounds = 500;
            const auto t0 = Clock::now();
            for (int i = 0; i < kRounds; ++i) {
                take(fd, k, true, true);
                drop(fd, k);
            }
            std::printf("%s ex: lock+unlock round trip on %s: %.1f us\n", n, label, ms_since(t0) * 1000 / kRounds);
            ::close(fd);
        }
    }
    // An OFD lock given up by close() alone, as a process that forgets to unlock.
    {
        const std::string r = in_child([&] {
            const int fd = open_rw(fa);
            take(fd, kOfd, true, true);
            ::close(fd);
            const int fd2 = open_rw(fb);
            return outcome(take(fd2, kOfd, true, false));
        });
        std::printf("ofd ex: A closes without unlocking, B tries: %s\n", r == "shares" ? "released" : r.c_str());
    }
    // The directory itself, as the write lock used to be taken.
    {
        const int fd = ::open(a.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int held = take(fd, kFlock, true, false);
        const std::string r = in_child([&] {
            const int fd2 = ::open(b.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            return outcome(take(fd2, kFlock, true, false));
        });
        std::printf("flock ex on the directory, A holds, B tries: %s\n", held ? "A failed" : r.c_str());
        ::close(fd);
    }
    ::unlink(fa.c_str());
}

// Two processes create the same new name at once through A and B.
void create_race(const std::string &a, const std::string &b) {
    constexpr int kTrials = 50;
    int same = 0, differ = 0, failed = 0;
    for (int i = 0; i < kTrials; ++i) {
        const std::string name = "/race." + std::to_string(i);
        int go[2];
        if (::pipe(go) != 0) std::exit(2);
        int outs[2][2];
        pid_t pids[2];
        for (int s = 0; s < 2; ++s) {
            if (::pipe(outs[s]) != 0) std::exit(2);
            pids[s] = ::fork();
            if (pids[s] == 0) {
                ::close(go[1]);
                char c;
                (void)!::read(go[0], &c, 1);
                const int fd = ::open(((s ? b : a) + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
                struct stat st{};
                unsigned long long ino = fd >= 0 && ::fstat(fd, &st) == 0 ? st.st_ino : 0;
                (void)!::write(outs[s][1], &ino, sizeof ino);
                ::_exit(0);
            }
            ::close(outs[s][1]);
        }
        ::close(go[0]);
        ::close(go[1]);  // both start on EOF
        unsigned long long ino[2] = {0, 0};
        for (int s = 0; s < 2; ++s) {
            (void)!::read(outs[s][0], &ino[s], sizeof ino[s]);
            ::close(outs[s][0]);
            ::waitpid(pids[s], nullptr, 0);
        }
        struct stat sa{}, sb{};
        const bool stated = ::stat((a + name).c_str(), &sa) == 0 && ::stat((b + name).c_str(), &sb) == 0;
        if (!ino[0] || !ino[1] || !stated) ++failed;
        else if (ino[0] == ino[1] && sa.st_ino == ino[0] && sb.st_ino == ino[0]) ++same;
        else ++differ;
        ::unlink((a + name).c_str());
    }
    std::printf("open(O_CREAT) of one new name from A and B at once, %d trials: same inode %d, different %d, "
                "failed %d\n",
                kTrials, same, differ, failed);
}

void names(const std::string &a, const std::string &b) {
    const std::string d1 = a + "/probe.dir", d2 = a + "/probe.dir2", e = a + "/probe.empty";
    ::mkdir(d1.c_str(), 0700);
    ::close(::open((d1 + "/f").c_str(), O_WRONLY | O_CREAT, 0600));
    const int r1 = ::renameat(AT_FDCWD, d1.c_str(), AT_FDCWD, d2.c_str());
    struct stat st{};
    const bool seen = ::stat((b + "/probe.dir2/f").c_str(), &st) == 0 && ::stat((b + "/probe.dir").c_str(), &st) != 0;
    std::printf("renameat of a directory over nothing (A), seen from B: %s\n",
                r1 ? std::strerror(errno) : seen ? "ok" : "renamed, B sees the old name");
    ::mkdir(e.c_str(), 0700);
    ::unlink((d2 + "/f").c_str());
    const int r2 = ::renameat(AT_FDCWD, d2.c_str(), AT_FDCWD, e.c_str());
    std::printf("renameat of an empty directory over an empty directory: %s\n", r2 ? std::strerror(errno) : "ok");
    ::rmdir(e.c_str());
    ::rmdir(d2.c_str());
    const int dfd = ::open(a.c_str(), O_RDONLY | O_DIRECTORY);
    const int r3 = ::symlinkat("-", dfd, "probe.link");
    char buf[16] = {};
    const ssize_t n = ::readlink((b + "/probe.link").c_str(), buf, sizeof buf - 1);
    std::printf("symlinkat(\"-\") on A, readlink on B: %s\n",
                r3 ? std::strerror(errno) : n == 1 && buf[0] == '-' ? "ok" : "link not seen");
    ::unlinkat(dfd, "probe.link", 0);
    ::close(dfd);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: lock_probe DIR-A DIR-B  (two paths to one directory)\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    locks(argv[1], argv[2]);
    create_race(argv[1], argv[2]);
    names(argv[1], argv[2]);
    return 0;
}
