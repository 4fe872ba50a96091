// tolvadm as a user runs it: the built executable on temporary registries.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "registry.h"
#include "rspi.h"
#include "tolvadm_run.h"

namespace fs = std::filesystem;
using tolvtest::TempDir;

namespace {

using Result = tolvtest::AdmResult;

// Runs tolvadm in cwd (TOLV_CONFIG and TOLV_PLUGIN unset).
Result run(const std::vector<std::string> &args, const std::string &cwd = "") {
    return tolvtest::run_tolvadm(args, "", cwd);
}

// A registry directory and a configuration file naming it.
class Tolvadm : public ::testing::Test {
protected:
    void SetUp() override { tolvtest::write_file(conf(), "dir=" + reg_.path() + "\n"); }
    std::string conf() const { return conf_dir_.path() + "tolv.conf"; }
    Result adm(std::vector<std::string> args) {
        args.insert(args.begin(), {"--config", conf()});
        return run(args);
    }

    TempDir reg_;
    TempDir conf_dir_;
};

TEST_F(Tolvadm, InfoShowsDirectoryAndConstantQueries) {
    Result r = adm({"info"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(reg_.path()), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("rspi_registry_type"), std::string::npos);

    r = adm({"--json", "info"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["directory"], reg_.path());
    EXPECT_EQ(j["config"], conf());
    // The same answers the plug-in gives a host that links it.
    EXPECT_EQ(j["rspi_version"], rspi_version(nullptr));
    EXPECT_EQ(j["rspi_registry_type"], rspi_registry_type(nullptr));
    EXPECT_EQ(j["rspi_authn_type"], rspi_authn_type(nullptr));
    EXPECT_EQ(j["rspi_extensions"], rspi_extensions(nullptr));
    EXPECT_EQ(j["rspi_router"], rspi_router(nullptr));
    EXPECT_EQ(j["rspi_is_registry_server_up"], rspi_is_registry_server_up(nullptr));
    EXPECT_TRUE(fs::equivalent(j["plugin"].get<std::string>(), TOLV_PLUGIN_PATH));
}

TEST_F(Tolvadm, DemoRunsOnFreshRegistryOnly) {
    Result r = adm({"demo"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;

    // A registry that already holds entries is left alone.
    tolvtest::write_file(reg_.path() + "userlist.file", "");
    r = adm({"demo"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("fresh registry"), std::string::npos) << r.err;
}

TEST_F(Tolvadm, FailuresGiveClearMessagesAndExitStatus) {
    Result r = adm({"--plugin", "/nonexistent/libnothing.so", "info"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot load the plug-in /nonexistent/libnothing.so"), std::string::npos) << r.err;

    // A library that is not the plug-in: the missing operation is named.
    r = adm({"--plugin", TOLV_RSPIUTIL_PATH, "info"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("rspi_initialize"), std::string::npos) << r.err;

    // The return code comes out with its name, meaning, and as the exit status.
    r = run({"--config", conf_dir_.path() + "missing.conf", "info"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("rspi_initialize: rc = 4 RSPI_RC_CONFIG_ERROR ("), std::string::npos) << r.err;

    r = adm({});
    EXPECT_EQ(r.status, 2);
    r = adm({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("demo"), std::string::npos);
}

TEST(TolvadmDefaultRegistry, CreatedInCurrentDirectoryOnFirstUse) {
    TempDir cwd;
    const std::string dir = fs::canonical(cwd.path()).string() + "/tolv-registry/";
    Result r = run({"--json", "info"}, cwd.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["directory"], dir);

    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(tolvtest::read_file(dir + "tolv.conf"), "dir=" + dir + "\n");

    // Second use: the existing configuration is kept as it is.
    tolvtest::write_file(dir + "tolv.conf", "# mine\ndir=" + dir + "\n");
    r = run({"info"}, cwd.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tolvtest::read_file(dir + "tolv.conf"), "# mine\ndir=" + dir + "\n");
}

}  // namespace
