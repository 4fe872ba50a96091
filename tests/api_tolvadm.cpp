// tolvadm where the behaviour corpus cannot reach: its own configuration and
// registry set-up, and a check that goes on while a writer holds the lock.
// Commands on a registry are in tests/corpus/tolvadm.ops, check.ops and configuration.ops.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "registry.h"
#include "tolvadm_run.h"
#include "tolvlock.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;
using tolvtest::AdmResult;
using tolvtest::TempDir;

namespace {

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

    // A directory other accounts can enter, a configuration file they can change.
    ASSERT_EQ(chmod((here + "reg2").c_str(), 0755), 0);
    ASSERT_EQ(chmod((here + "other.conf").c_str(), 0666), 0);
    r = tolvtest::run_tolvadm({"--config", here + "other.conf", "info"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("has mode 0755"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(here + "other.conf has mode 0666"), std::string::npos) << r.err;

    // TOLV_CONFIG names another registry's file: init DIR writes DIR/tolv.conf and leaves that one alone.
    r = tolvtest::run_program({"env", "TOLV_CONFIG=" + here + "other.conf", TOLVADM_PATH, "init", "reg3"}, "",
                              cwd.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(tolvtest::file_exists(here + "reg3/tolv.conf"));
    EXPECT_NE(tolvtest::read_file(here + "other.conf").find("dir=" + here + "reg2/"), std::string::npos);
    EXPECT_EQ(tolvtest::list_dir(here), (std::vector<std::string>{"other.conf", "reg2", "reg3", "tolv-registry"}));

    // Another account's directory is not adopted.
    if (geteuid() == 0) {
        ASSERT_EQ(mkdir((here + "theirs").c_str(), 0700), 0);
        ASSERT_EQ(chown((here + "theirs").c_str(), 65534, 65534), 0);
        r = tolvtest::run_tolvadm({"init", "theirs"}, "", cwd.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("belongs to uid 65534"), std::string::npos) << r.err;
        EXPECT_TRUE(tolvtest::list_dir(here + "theirs").empty());
    }
}

// A plain check reads without the registry's lock: a writer holding it does not keep the check waiting.
TEST(TolvadmCheck, ReadsWhileAWriterHoldsTheLock) {
    TempDir cwd;
    ASSERT_EQ(tolvtest::run_tolvadm({"init"}, "", cwd.path()).status, 0);
    ASSERT_EQ(tolvtest::run_tolvadm({"group", "create", "corp", "staff"}, "", cwd.path()).status, 0);
    const int dir = open((cwd.path() + "tolv-registry").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    tolv::format::RegistryLock writer;
    ASSERT_TRUE(writer.lock(dir, "", true));
    const AdmResult r = tolvtest::run_program({"timeout", "20", TOLVADM_PATH, "check"}, "", cwd.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "check: no findings\n");
    writer.unlock();
    close(dir);
}

}  // namespace
