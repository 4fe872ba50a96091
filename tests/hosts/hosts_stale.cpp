// Two hosts over one volume (TOLV_HOSTS, tests/hosts/run.sh): once a change has
// returned on host A, host B's next calls answer exactly as A's own do. Host B
// is a child process that runs operation lines (support/corpus.h) on its mount.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "corpus.h"
#include "registry.h"

namespace {

using namespace tolvtest;

// Host B: a process with its own handle on the registry's path there.
class HostB {
public:
    explicit HostB(const std::string &registry) {
        int req[2], rep[2];
        if (::pipe(req) != 0 || ::pipe(rep) != 0) throw std::runtime_error("pipe failed");
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::close(req[1]);
            ::close(rep[0]);
            Sequence b(registry);
            FILE *in = ::fdopen(req[0], "r");
            char *line = nullptr;
            std::size_t cap = 0;
            for (ssize_t n; (n = ::getline(&line, &cap, in)) > 0;) {
                const std::string out = b(std::string(line, static_cast<std::size_t>(n) - 1));
                const std::size_t len = out.size();
                if (!put(rep[1], &len, sizeof len) || !put(rep[1], out.data(), len)) break;
            }
            ::_exit(0);
        }
        ::close(req[0]);
        ::close(rep[1]);
        to_ = req[1];
        from_ = rep[0];
    }
    ~HostB() {
        ::close(to_);
        ::close(from_);
        ::waitpid(pid_, nullptr, 0);
    }
    HostB(const HostB &) = delete;
    HostB &operator=(const HostB &) = delete;

    std::string operator()(const std::string &line) {
        const std::string l = line + "\n";
        std::size_t len = 0;
        if (!put(to_, l.data(), l.size()) || !get(from_, &len, sizeof len)) return "host B is gone";
        std::string out(len, '\0');
        return get(from_, out.data(), len) ? out : "host B is gone";
    }

private:
    static bool put(int fd, const void *p, std::size_t n) {
        for (auto *c = static_cast<const char *>(p); n > 0;) {
            const ssize_t w = ::write(fd, c, n);
            if (w <= 0) return false;
            c += w, n -= static_cast<std::size_t>(w);
        }
        return true;
    }
    static bool get(int fd, void *p, std::size_t n) {
        for (auto *c = static_cast<char *>(p); n > 0;) {
            const ssize_t r = ::read(fd, c, n);
            if (r <= 0) return false;
            c += r, n -= static_cast<std::size_t>(r);
        }
        return true;
    }

    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
};

class Stale : public ::testing::Test {
protected:
    void SetUp() override {
        if (!reg_.ok()) GTEST_SKIP() << "TOLV_HOSTS does not name two mounts of one volume (tests/hosts/run.sh)";
    }
    // Starts both hosts on a registry that `seed` made on a local disk and that
    // was then copied onto the volume: each call there costs a hundred times more.
    void start(const std::string &seed = "") {
        if (!seed.empty()) {
            Sequence local;
            ASSERT_EQ(failure(local(seed)), 0u);
            std::filesystem::copy(local.dir(), reg_.on(0), std::filesystem::copy_options::recursive);
        }  // its handle ends here: a process has one at a time
        b_ = std::make_unique<HostB>(reg_.on(1));  // before A's handle: the child must not inherit it
        a_ = std::make_unique<Sequence>(reg_.on(0));
    }
    void TearDown() override {
        a_.reset();
        b_.reset();
        for (const auto &[kind, n] : trials_)
            std::printf("%-28s %4d trials, %d stale\n", kind.c_str(), n, stale_[kind]);
    }

    // A's change must succeed; then B answers each query before A does, and the two must agree.
    void change(const std::string &line, const std::string &kind, const std::vector<std::string> &queries) {
        const std::string t = (*a_)(line);
        ASSERT_EQ(failure(t), 0u) << t;
        ++trials_[kind];
        bool stale = false;
        for (const auto &q : queries) {
            const std::string on_b = (*b_)(q), on_a = (*a_)(q);
            if (on_b == on_a) continue;
            stale = true;
            if (++shown_ <= 5) ADD_FAILURE() << "after " << line << "\nhost B: " << on_b << "host A: " << on_a;
        }
        stale_[kind] += stale;
    }
    int stale_total() const {
        int n = 0;
        for (const auto &[kind, s] : stale_) n += s;
        return n;
    }

    SharedRegistry reg_;
    std::unique_ptr<HostB> b_;
    std::unique_ptr<Sequence> a_;
    std::map<std::string, int> trials_, stale_;
    int shown_ = 0;
};

// Trials of each kind (TOLV_HOSTS_TRIALS, default 100; scripts/test runs fewer).
int trials() {
    const char *env = std::getenv("TOLV_HOSTS_TRIALS");
    return env && std::atoi(env) > 0 ? std::atoi(env) : 100;
}

const std::string kKeep = " flag_1=2 account_valid=2 number_2=-1";  // fields not given

std::string uuid_of(int n, int version) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "5a1e0000-0000-0000-%04d-%012d", version, n);
    return buf;
}

}  // namespace

TEST_F(Stale, AuthenticationSeesDisablePasswordChangeAndDelete) {
    // Users a0, a1, ... are disabled, every fourth trial p0, p1, ... change their
    // password, every fifth d0, d1, ... are deleted.
    const int n = trials();
    const auto id = [](char kind, int i) {
        return "domain=st user_id=" + std::string(1, kind) + std::to_string(i) + " ";
    };
    std::string seed;
    for (const auto &[kind, count] : {std::pair{'a', n}, std::pair{'p', n / 4 + 1}, std::pair{'d', n / 5 + 1}})
        for (int i = 0; i < count; ++i)
            seed += "user.create " + id(kind, i) + "registry_id=" + kind + std::to_string(i) + "@st password=pw\n";
    start(seed);
    for (int i = 0; i < n; ++i) {
        change("user.disable " + id('a', i), "authenticate after disable", {"user.auth " + id('a', i) + "pw=pw"});
        if (i % 4 == 0)
            change("user.passwd " + id('p', i / 4) + "old=pw new=pw2", "authenticate after passwd",
                   {"user.auth " + id('p', i / 4) + "pw=pw2", "user.auth " + id('p', i / 4) + "pw=pw"});
        if (i % 5 == 0)
            change("user.delete " + id('d', i / 5), "authenticate after delete", {"user.auth " + id('d', i / 5) + "pw=pw"});
    }
    EXPECT_EQ(stale_total(), 0);
}

TEST_F(Stale, LookupsAndListingsSeeCreateModifyAndDelete) {
    start();
    const std::string listing = "list.users L mode=0", count = "count L";
    for (int i = 0; i < trials(); ++i) {
        const std::string n = std::to_string(i), id = "domain=st user_id=c" + n;
        std::vector<std::string> created = {"user.by_uuid uuid_string=" + uuid_of(i, 1),
                                            "user.by_rgyid registry_id=c" + n + "@st", "user.by_certdn cert_dn=CN=c" + n};
        if (i % 10 == 0) created.insert(created.end(), {listing, count});
        change("user.create " + id + " registry_id=c" + n + "@st cert_dn=CN=c" + n + " uuid_string=" + uuid_of(i, 1) +
                   " password=pw",
               "lookups after create", created);
        if (i % 5 != 0) continue;
        change("user.modify " + id + kKeep + " description=m registry_id=m" + n + "@st cert_dn=CN=m" + n +
                   " uuid_string=" + uuid_of(i, 2),
               "lookups after modify",
               {"user.by_uuid uuid_string=" + uuid_of(i, 2), "user.by_uuid uuid_string=" + uuid_of(i, 1),
                "user.by_rgyid registry_id=m" + n + "@st", "user.by_rgyid registry_id=c" + n + "@st",
                "user.by_certdn cert_dn=CN=m" + n, "user.by_certdn cert_dn=CN=c" + n, "user.get " + id});
        change("user.delete " + id, "lookups after delete",
               {"user.by_uuid uuid_string=" + uuid_of(i, 2), "user.by_rgyid registry_id=m" + n + "@st",
                "user.by_certdn cert_dn=CN=m" + n, listing, count});
    }
    EXPECT_EQ(stale_total(), 0);
}
