// contention - how much readers slow writers down. W writer processes of T
// threads each modify their own user (description and blob) M times while R
// reader threads of another process get users that have blobs as fast as
// they can. Prints the writers' wall time for each reader count given.
//
//   tolvbench_contention [--writers 8] [--threads 4] [--modifies 20] [--readers 0,8,16] [--spin 0|1]
//                        [--apart 0|1] [--dir DIR]
//
// --spin 1: the reader threads only burn CPU, calling nothing: what the same
// number of busy threads costs the writers on this machine's cores alone.
//
// --apart 1: the readers run in a process of their own session, as a login
// service beside the administrators' tools would: the scheduler then shares
// the cores between the two (autogroup, or one cgroup per service) instead
// of between their threads.
//
// DIR (default: a new temporary directory) is where the registry is made; a
// directory on a shared file system measures the same there.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "rspi.h"
#include "tolv.h"

namespace {

namespace fs = std::filesystem;

struct Options {
    int writers = 8, threads = 4, modifies = 20;
    std::vector<int> readers = {0, 8, 16};
    bool spin = false, apart = false;
    std::string dir;
};

rspi_user *user(const std::string &id) {
    rspi_user *u = rspi_alloc_user();
    u->domain = rspi_strdup("bench");
    u->user_id = rspi_strdup(id.c_str());
    return u;
}

void set_blob(rspi_user *u, int n) {
    const uint32_t len = static_cast<uint32_t>(64 + n % 64);
    u->blob = rspi_alloc_blob(len);
    std::memset(u->blob->data, 'a' + n % 26, len);
}

char **open_registry(const std::string &conf) {
    char **h = nullptr;
    if (rspi_initialize(&h, conf.c_str()) != 0) {
        std::fprintf(stderr, "contention: cannot initialise %s\n", conf.c_str());
        std::exit(2);
    }
    return h;
}

std::string id_of(int p, int t) {
    std::string id = "w";
    id.append(std::to_string(p)).append("x").append(std::to_string(t));
    return id;
}

// What the reader threads share with the writers' timer, across processes with --apart 1.
struct Shared {
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    std::atomic<bool> started{false};
};

// The reader threads, until `stop`; `reads` counts their calls, `started` says they are going.
void read_until(const Options &o, const std::string &conf, int readers, Shared &sh) {
    std::atomic<bool> &stop = sh.stop;
    std::atomic<long> &reads = sh.reads;
    std::vector<std::thread> rs;
    char **rh = readers > 0 ? open_registry(conf) : nullptr;
    for (int r = 0; r < readers; ++r)
        rs.emplace_back([&, r] {
            for (long n = r; !stop.load(std::memory_order_relaxed); ++n) {
                if (o.spin) {
                    reads.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
                rspi_user *u = user(id_of(static_cast<int>(n % o.writers), static_cast<int>(n / o.writers % o.threads)));
                (void)rspi_get_user(rh, u);
                rspi_free_user(u);
                reads.fetch_add(1, std::memory_order_relaxed);
            }
        });
    sh.started = true;
    for (auto &t : rs) t.join();
    if (rh) rspi_terminate(rh);
}

// One run: the writers' wall time in seconds with `readers` reader threads going.
double run(const Options &o, const std::string &conf, int readers) {
    void *mem = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        std::perror("contention: mmap");
        std::exit(2);
    }
    Shared &sh = *new (mem) Shared;
    std::thread here;
    pid_t reader = -1;
    if (o.apart && readers > 0) {
        reader = ::fork();
        if (reader == 0) {
            (void)::setsid();
            read_until(o, conf, readers, sh);
            ::_exit(0);
        }
    } else {
        here = std::thread([&] { read_until(o, conf, readers, sh); });
    }
    while (!sh.started.load()) std::this_thread::yield();
    const auto start = std::chrono::steady_clock::now();
    std::vector<pid_t> pids;
    for (int p = 0; p < o.writers; ++p) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            char **h = open_registry(conf);
            std::vector<std::thread> ts;
            std::atomic<int> failed{0};
            for (int t = 0; t < o.threads; ++t)
                ts.emplace_back([&, t] {
                    for (int m = 0; m < o.modifies; ++m) {
                        rspi_user *u = user(id_of(p, t));
                        u->flag_1 = u->account_valid = 2;
                        u->number_2 = -1;
                        u->description = rspi_strdup(std::to_string(m).c_str());
                        set_blob(u, m);
                        if (rspi_modify_user(h, u) != 0) failed.fetch_add(1);
                        rspi_free_user(u);
                    }
                });
            for (auto &t : ts) t.join();
            rspi_terminate(h);
            ::_exit(failed.load() == 0 ? 0 : 1);
        }
        pids.push_back(pid);
    }
    bool ok = true;
    for (pid_t pid : pids) {
        int st = 0;
        ::waitpid(pid, &st, 0);
        ok = ok && WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sh.stop = true;
    if (reader > 0) ::waitpid(reader, nullptr, 0);
    if (here.joinable()) here.join();
    if (!ok) std::fprintf(stderr, "contention: a write failed\n");
    std::printf("%s %3d%s: %4d writes in %7.3f s (%ld %s meanwhile)\n", o.spin ? "spinners" : "readers ", readers,
                o.apart && readers > 0 ? " apart" : "", o.writers * o.threads * o.modifies, secs, sh.reads.load(),
                o.spin ? "spins" : "reads");
    sh.~Shared();
    ::munmap(mem, sizeof(Shared));
    return secs;
}

}  // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--writers") o.writers = std::atoi(v.c_str());
        else if (a == "--threads") o.threads = std::atoi(v.c_str());
        else if (a == "--modifies") o.modifies = std::atoi(v.c_str());
        else if (a == "--dir") o.dir = v;
        else if (a == "--spin") o.spin = v == "1";
        else if (a == "--apart") o.apart = v == "1";
        else if (a == "--readers") {
            o.readers.clear();
            for (std::size_t at = 0; at < v.size();) {
                const std::size_t comma = v.find(',', at);
                o.readers.push_back(std::atoi(v.substr(at, comma - at).c_str()));
                at = comma == std::string::npos ? v.size() : comma + 1;
            }
        } else {
            std::fprintf(stderr, "usage: %s [--writers W] [--threads T] [--modifies M] [--readers R,R...] [--spin 0|1] "
                         "[--apart 0|1] [--dir DIR]\n",
                         argv[0]);
            return 2;
        }
    }
    if (argc % 2 == 0) {
        std::fprintf(stderr, "contention: %s needs a value\n", argv[argc - 1]);
        return 2;
    }
    char tmpl[] = "/tmp/tolvcontention-XXXXXX";
    const std::string base = o.dir.empty() ? std::string(::mkdtemp(tmpl)) : o.dir;
    const std::string reg = base + "/registry/", conf = base + "/tolv.conf";
    fs::create_directories(reg);
    if (FILE *f = std::fopen(conf.c_str(), "w")) {
        std::fprintf(f, "dir=%s\n", reg.c_str());
        std::fclose(f);
    }
    char **h = open_registry(conf);
    for (int p = 0; p < o.writers; ++p)
        for (int t = 0; t < o.threads; ++t) {
            rspi_user *u = user(id_of(p, t));
            const std::string rid = std::string("R").append(id_of(p, t));
            u->registry_id = rspi_strdup(rid.c_str());
            set_blob(u, 0);
            if (rspi_create_user(h, u) != 0) std::fprintf(stderr, "contention: cannot create %s\n", u->user_id);
            rspi_free_user(u);
        }
    rspi_terminate(h);
    double none = 0;
    for (int r : o.readers) {
        const double s = run(o, conf, r);
        if (r == 0) none = s;
        else if (none > 0) std::printf("            %.2fx the time without readers\n", s / none);
    }
    if (o.dir.empty()) fs::remove_all(base);
    return 0;
}
