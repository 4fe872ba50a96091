// Several host processes, each with several threads, change one registry at
// once. Afterwards every user is in exactly the state its owner last saw
// succeed, in its file and in the user list, and the registry checks clean.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "records.h"

namespace {

constexpr int kProcesses = 4;
constexpr int kThreads = 4;
constexpr int kUsersPerThread = 3;
constexpr int kGroups = 3;

int ops_per_thread() {
    const char *env = std::getenv("TOLV_STRESS_OPS");
    return env ? std::atoi(env) : 120;
}

enum class State { Absent, Enabled, Disabled };

tolvtest::Group group_rec(int g) { return tolvtest::group("stress", ("g" + std::to_string(g)).c_str()); }

// One thread's work on its own users, touching shared groups and lists.
void worker(char **h, int proc, int thread, std::map<std::string, State> &states) {
    std::mt19937 rng(static_cast<unsigned>(proc * 100 + thread));
    std::vector<std::string> mine;
    for (int k = 0; k < kUsersPerThread; ++k) {
        mine.push_back("u" + std::to_string(proc) + "x" + std::to_string(thread) + "x" + std::to_string(k));
        states[mine.back()] = State::Absent;
    }
    for (int i = 0; i < ops_per_thread(); ++i) {
        const std::string &id = mine[rng() % mine.size()];
        State &st = states[id];
        tolvtest::User u = tolvtest::given_user("stress", id.c_str());
        // Each thread follows its users' lives (no create over a disabled
        // user, no delete of one), so every final state is a clean one.
        unsigned action = rng() % 9;
        if (st == State::Absent && action >= 2 && action <= 5) action = 0;
        if (st == State::Disabled && action != 4 && action < 6) action = 4;
        if (st == State::Enabled && (action <= 1 || action == 4)) action = 2;
        if (action <= 1 || action == 4) u.set(u->registry_id, ("R" + id).c_str());
        switch (action) {
        case 0:
        case 1:
            u->password = tolvtest::password("pw");
            if (rspi_create_user(h, u.get()) == 0) st = State::Enabled;
            break;
        case 2:
            u.set(u->text_1, "changed");
            rspi_modify_user(h, u.get());
            break;
        case 3:
            if (rspi_disable_user(h, u.get()) == 0) st = State::Disabled;
            break;
        case 4:
            if (rspi_enable_user(h, u.get()) == 0) st = State::Enabled;
            break;
        case 5:
            if (rspi_delete_user(h, u.get()) == 0) st = State::Absent;
            break;
        case 6: {
            const tolvtest::Group g = group_rec(static_cast<int>(rng() % kGroups));
            (rng() % 2 ? rspi_add_group_member : rspi_remove_group_member)(h, g.get(), u.get());
            break;
        }
        case 7: {
            rspi_authndata a{1, 2, const_cast<char *>("pw")};
            rspi_authenticate_user(h, u.get(), &a);
            break;
        }
        default: {
            tolvtest::UserList l;
            tolvtest::User it;
            rspi_get_userlist(h, l.get(), 0, nullptr, nullptr, nullptr);
            while (rspi_next_user(h, l.get(), it.get(), 0) == 0) {
            }
            break;
        }
        }
    }
}

// A host process: its threads, then their final states written for the parent.
int host_process(char **h, int proc, const std::string &out) {
    std::vector<std::map<std::string, State>> states(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, h, proc, t, std::ref(states[t]));
    for (auto &t : threads) t.join();
    std::ofstream f(out);
    for (const auto &m : states)
        for (const auto &[id, st] : m) f << id << ' ' << static_cast<int>(st) << '\n';
    return f.good() ? 0 : 1;
}

class Stress : public tolvtest::Registry {};

}  // namespace

TEST_F(Stress, ProcessesAndThreadsLoseNoUpdate) {
    for (int g = 0; g < kGroups; ++g) {
        tolvtest::Group r = group_rec(g);
        r.set(r->registry_id, ("G" + std::to_string(g)).c_str());
        ASSERT_EQ(rspi_create_group(h, r.get()), 0u);
    }
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) _exit(host_process(h, p, conf_dir_.path() + "state." + std::to_string(p)));
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "host process failed: " << status;
    }

    const std::string list = read("userlist.file");
    auto count = [&](const std::string &needle) {
        std::size_t n = 0;
        for (std::size_t at = list.find(needle); at != std::string::npos; at = list.find(needle, at + 1)) ++n;
        return n;
    };
    int enabled = 0;
    for (int p = 0; p < kProcesses; ++p) {
        std::ifstream f(conf_dir_.path() + "state." + std::to_string(p));
        std::string id;
        int st;
        while (f >> id >> st) {
            const std::string name_line = "\nstress " + id + "  ";
            const std::string rgy_end = "  R" + id + "\n";
            const bool line_enabled = count(name_line) + (list.rfind("stress " + id + "  ", 0) == 0 ? 1 : 0) == 1;
            switch (static_cast<State>(st)) {
            case State::Enabled:
                ++enabled;
                EXPECT_TRUE(line_enabled) << id;
                EXPECT_EQ(count(rgy_end), 1u) << id;
                EXPECT_TRUE(exists("stress_" + id + ".QZuser")) << id;
                break;
            case State::Disabled:
                EXPECT_EQ(count(rgy_end), 1u) << id;
                EXPECT_TRUE(exists("R" + id + ".user")) << id;
                EXPECT_FALSE(exists("stress_" + id + ".QZuser")) << id;
                break;
            case State::Absent:
                EXPECT_EQ(count(rgy_end), 0u) << id;
                EXPECT_FALSE(exists("stress_" + id + ".QZuser")) << id;
                break;
            }
        }
    }
    EXPECT_GT(enabled, 0);
    for (const auto &f : files()) EXPECT_EQ(f.find("_T"), std::string::npos) << f;

    // The checker agrees that the registry is whole.
    const std::string conf = conf_dir_.path() + "tolv.conf";
    const std::string cmd = std::string(TOLVADM_PATH) + " --config " + conf + " check > " + conf_dir_.path() + "check.out 2>&1";
    const int rc = std::system(cmd.c_str());
    EXPECT_EQ(WEXITSTATUS(rc), 0) << tolvtest::read_file(conf_dir_.path() + "check.out");
}

// Readers racing a writer in another process: a get never pairs one
// version's record with another's blob and never fails because a writer is
// half-way; a lookup by certificate DN always finds a user whose other
// fields are being modified.
TEST_F(Stress, ReadersNeverSeeAMixOfVersions) {
    using namespace tolvtest;
    User u = user("race", "ann");
    u.set(u->registry_id, "RACE-1").set(u->cert_dn, "CN=Ann").set(u->description, "0");
    u->password = password("pw");
    u->blob = blob(std::string(1, 'a'));
    ASSERT_EQ(rspi_create_user(h, u.get()), 0u);
    constexpr int kModifies = 100;
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        // The description names the blob it goes with: n bytes of one letter.
        for (int n = 1; n <= kModifies; ++n) {
            User m = given_user("race", "ann");
            m.set(m->description, std::to_string(n).c_str());
            m->blob = blob(std::string(static_cast<std::size_t>(n % 50 + 1), static_cast<char>('a' + n % 26)));
            if (rspi_modify_user(h, m.get()) != 0) ::_exit(1);
        }
        ::_exit(0);
    }
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, failed{0}, missed{0}, reads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            while (!done.load()) {
                if (t == 2) {
                    User byDn;
                    byDn.set(byDn->cert_dn, "CN=Ann");
                    if (rspi_get_user_by_certdn(h, byDn.get()) != 0) ++missed;
                    continue;
                }
                User r = user("race", "ann");
                if (rspi_get_user(h, r.get()) != 0) {
                    ++failed;
                    continue;
                }
                ++reads;
                const int n = std::atoi(r->description);
                const std::string want = n == 0 ? std::string(1, 'a')
                                                : std::string(static_cast<std::size_t>(n % 50 + 1),
                                                              static_cast<char>('a' + n % 26));
                if (bytes(r->blob) != want) ++torn;
            }
        });
    }
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    done = true;
    for (auto &r : readers) r.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(missed.load(), 0);
}
