// tolvadm where the behaviour corpus cannot reach: its own configuration and
// registry set-up, and check under a held lock.
// Commands on a registry are in tests/corpus/tolvadm.ops and check.ops.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "registry.h"
#include "tolvadm_run.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;
using tolvtest::AdmResult;
using tolvtest::TempDir;

namespace {

// check waits for the registry's write lock before it touches anything.
TEST(Tolvadm, CheckWaitsForTheRegistryLock) {
    TempDir tmp;
    tolvtest::write_file(tmp.path() + "tolv.conf", "dir=" + tmp.path() + "\n");
    tolvtest::write_file(tmp.path() + "corp_bob.QZuser_T", "half");
    const int fd = ::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    AdmResult r;
    std::thread t([&] { r = tolvtest::tolvadm(tmp.path() + "tolv.conf", {"check", "--repair"}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(tolvtest::file_exists(tmp.path() + "corp_bob.QZuser_T"));  // untouched while the lock is held
    ::flock(fd, LOCK_UN);
    ::close(fd);
    t.join();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_FALSE(tolvtest::file_exists(tmp.path() + "corp_bob.QZuser_T"));
}

// Nothing but init creates a registry; the others name what is missing and why.
TEST(TolvadmRegistry, OnlyInitCreatesARegistry) {
    TempDir cwd;
    const std::string here = fs::canonical(cwd.path()).string() + "/";
    for (const auto &args : {std::vector<std::string>{"info"}, std::vector<std::string>{"user", "list"},
                             std::vector<std::string>{"user", "create", "corp", "a"},
                             std::vector<std::string>{"check"}, std::vector<std::string>{"demo"}}) {
        const AdmResult r = tolvtest::run_tolvadm(args, "", cwd.path());
        EXPECT_EQ(r.status, 7) << args[0];
        EXPECT_EQ(r.err, "tolvadm: cannot open the configuration file " + here +
                             "tolv-registry/tolv.conf: No such file or directory (make a registry with `tolvadm init`)\n");
    }
    EXPECT_TRUE(tolvtest::list_dir(cwd.path()).empty());

    AdmResult r = tolvtest::run_tolvadm({"init"}, "", cwd.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string dir = here + "tolv-registry/";
    EXPECT_EQ(r.out, "created the registry directory " + dir + " (mode 0700)\ncreated the configuration file " + dir +
                         "tolv.conf\n");
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_NE(tolvtest::read_file(dir + "tolv.conf").find("\ndir=" + dir + "\n"), std::string::npos);
    r = tolvtest::run_tolvadm({"--json", "info"}, "", cwd.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Json::parse(r.out)["directory"], dir);
    EXPECT_EQ(Json::parse(r.out)["warnings"], Json::array());
    EXPECT_EQ(r.err, "");
    // A second init leaves the configuration alone.
    tolvtest::write_file(dir + "tolv.conf", "dir=" + dir + "\n# mine\n");
    EXPECT_EQ(tolvtest::run_tolvadm({"init"}, "", cwd.path()).status, 1);
    EXPECT_EQ(tolvtest::read_file(dir + "tolv.conf"), "dir=" + dir + "\n# mine\n");

    // Elsewhere, with the configuration file where --config says.
    r = tolvtest::run_tolvadm({"--config", here + "other.conf", "init", "reg2"}, "", cwd.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("use it with --config " + here + "other.conf"), std::string::npos) << r.out;
    EXPECT_EQ(tolvtest::run_tolvadm({"--config", here + "other.conf", "user", "create", "corp", "a"}).status, 0);
    EXPECT_TRUE(tolvtest::file_exists(here + "reg2/corp_a.QZuser"));

    // A registry directory that is gone, and a dir= without its final '/'.
    tolvtest::write_file(here + "gone.conf", "dir=" + here + "gone/\n");
    r = tolvtest::run_tolvadm({"--config", here + "gone.conf", "user", "create", "corp", "a"});
    EXPECT_EQ(r.status, 7);
    EXPECT_NE(r.err.find("the registry directory " + here + "gone/ (dir= in " + here +
                         "gone.conf): No such file or directory"),
              std::string::npos)
        << r.err;
    tolvtest::write_file(here + "slash.conf", "dir=" + here + "reg2\n");
    r = tolvtest::run_tolvadm({"--config", here + "slash.conf", "user", "create", "corp", "b"});
    EXPECT_EQ(r.status, 7);
    EXPECT_NE(r.err.find("without its final '/'"), std::string::npos) << r.err;
    r = tolvtest::run_tolvadm({"--config", here + "slash.conf", "info"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("tolvadm: warning: the configuration file " + here + "slash.conf sets dir=" + here + "reg2 "),
              std::string::npos)
        << r.err;
    // A directory other accounts can enter.
    ASSERT_EQ(chmod((here + "reg2").c_str(), 0755), 0);
    r = tolvtest::run_tolvadm({"--config", here + "other.conf", "info"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("has mode 0755"), std::string::npos) << r.err;
    EXPECT_EQ(tolvtest::list_dir(here), (std::vector<std::string>{"gone.conf", "other.conf", "reg2", "slash.conf",
                                                                  "tolv-registry"}));
}

}  // namespace
