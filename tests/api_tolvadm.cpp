// tolvadm as a user runs it: the built executable on temporary registries,
// checked through its output, exit status and the files it leaves.
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "registry.h"
#include "rspi.h"
#include "tolvadm_run.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;
using tolvtest::AdmResult;
using tolvtest::lines;
using tolvtest::TempDir;

namespace {

class Tolvadm : public tolvtest::Registry {
protected:
    std::string conf() const { return conf_dir_.path() + "tolv.conf"; }
    AdmResult adm(const std::vector<std::string> &args, const std::string &input = "") {
        return tolvtest::tolvadm(conf(), args, input);
    }
    Json adm_json(std::vector<std::string> args, const std::string &input = "") {
        args.insert(args.begin(), "--json");
        const AdmResult r = adm(args, input);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.status == 0 ? Json::parse(r.out) : Json();
    }
    // Membership and credentials only need the user file to exist.
    void seed_user(const std::string &id) { write("corp_" + id + ".QZuser", id + "\ncorp\n"); }
};

TEST_F(Tolvadm, InfoShowsDirectoryAndConstantQueries) {
    AdmResult r = adm({"info"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(dir()), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("rspi_registry_type"), std::string::npos);

    const Json j = adm_json({"info"});
    EXPECT_EQ(j["directory"], dir());
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

TEST_F(Tolvadm, DemoNarratesEveryFamilyOnAFreshRegistryOnly) {
    AdmResult r = adm({"demo"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char *text : {"== Users", "== Policies", "== Resources", "== Resource groups",
                             "== Resource credentials", "Demo complete.",
                             "rspi_authenticate_user corp alice with \"wonderlan\": rc = 23",
                             "rspi_get_user_by_rgyid (registry_id \"alice-001\"): rc = 0 RSPI_RC_SUCCESS (success), "
                             "found corp alice"})
        EXPECT_NE(r.out.find(text), std::string::npos) << text;
    EXPECT_EQ(r.err.find("rspi_change_authndata"), std::string::npos) << r.err;
    EXPECT_EQ(read("policylist.file").find("corp gold\n"), 0u);
    EXPECT_TRUE(exists("printer-a.QZresource"));
    EXPECT_NE(read("resgrouplist.file").find("office\n"), std::string::npos);
    EXPECT_EQ(read("corp_alice.myResCreds"), "corp alice db\ncorp alice web:1\n");

    // A registry that already holds entries is left alone.
    r = adm({"demo"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("fresh registry"), std::string::npos) << r.err;
}

TEST_F(Tolvadm, FailuresNameTheEntryTheCodeAndTheReason) {
    AdmResult r = adm({"--plugin", "/nonexistent/libnothing.so", "info"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot load the plug-in /nonexistent/libnothing.so"), std::string::npos) << r.err;

    // A library that is not the plug-in: the missing operation is named.
    r = adm({"--plugin", TOLV_RSPIUTIL_PATH, "info"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("rspi_initialize"), std::string::npos) << r.err;

    // A configuration without dir=: the plug-in's code, with the file it is about.
    write("no-dir.conf", "verbose=false\n");
    r = tolvtest::run_tolvadm({"--config", path("no-dir.conf"), "info"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("tolvadm: configuration file " + path("no-dir.conf") +
                         ": rspi_initialize: 4 RSPI_RC_CONFIG_ERROR: "),
              std::string::npos)
        << r.err;

    ASSERT_EQ(adm({"user", "create", "Corp", "Alice"}).status, 0);
    r = adm({"user", "create", "Corp", "Alice"});
    EXPECT_EQ(r.status, 40);
    EXPECT_EQ(r.err, "tolvadm: user Corp/Alice: rspi_create_user: 40 RSPI_RC_USER_EXISTS: the user already exists\n");
    r = adm({"group", "add-member", "sales", "dept", "corp", "ghost"});
    EXPECT_NE(r.err.find("tolvadm: group sales/dept, member corp/ghost: rspi_add_group_member: "), std::string::npos)
        << r.err;
    r = adm({"creds", "delete", "corp", "alice", "web"});
    EXPECT_EQ(r.status, 35);
    EXPECT_NE(r.err.find("credential of user corp/alice for web: rspi_delete_rescreds: 35 RSPI_RC_INVALID_RESCREDS: "),
              std::string::npos)
        << r.err;

    // A mistyped or missing command lists the commands of its level.
    for (const auto &args : {std::vector<std::string>{"usr"}, std::vector<std::string>{},
                             std::vector<std::string>{"user", "crate"}, std::vector<std::string>{"user"}}) {
        r = adm(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(args.empty() || args[0] == "usr" ? "init, info, demo, user, group" : "create, get, modify"),
                  std::string::npos)
            << r.err;
    }
    EXPECT_NE(adm({"usr"}).err.find("unknown command \"usr\""), std::string::npos);
    r = adm({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("tolvadm "), 0u) << r.out;
    const std::string v = std::to_string(rspi_version(nullptr));
    EXPECT_NE(r.out.find("interface: rspi version " + v), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", rspi_version " + v + "\n"), std::string::npos) << r.out;
    r = adm({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("7 when the configuration file or the registry directory is missing"), std::string::npos);
}

// Stored values reach the terminal inert; JSON carries them as they are.
TEST_F(Tolvadm, TextOutputEscapesControlCharacters) {
    const std::string id = "e\x1b]0;x\x07";
    const std::string description = "a\x1b[2Jb\\c\x7f\xc2\x9b";
    ASSERT_EQ(adm({"user", "create", "corp", id, "--description", description}).status, 0);
    AdmResult r = adm({"user", "get", "corp", id});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_NE(r.out.find("user_id:       e\\x1b]0;x\\x07\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("description:   a\\x1b[2Jb\\\\c\\x7f\\xc2\\x9b\n"), std::string::npos) << r.out;
    EXPECT_EQ(adm({"user", "list"}).out, "corp e\\x1b]0;x\\x07\n");
    r = adm({"user", "delete", "corp", id});
    EXPECT_EQ(r.out, "user corp/e\\x1b]0;x\\x07: deleted\n");
    EXPECT_EQ(adm({"user", "get", "corp", id}).err.find('\x1b'), std::string::npos);

    ASSERT_EQ(adm({"user", "create", "corp", id, "--description", description}).status, 0);
    const Json j = adm_json({"user", "get", "corp", id});
    EXPECT_EQ(j["user_id"], id);
    EXPECT_EQ(j["description"], description);

    // check quotes file names: a line break in one cannot fake a finding.
    write("corp_x\nuserlist.file: fake.QZuser", "x\ncorp_x\n");
    r = adm({"check"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("\"corp_x\\nuserlist.file: fake.QZuser\": "), 0u) << r.out;
    for (const auto &line : lines(r.out))
        EXPECT_TRUE(line.starts_with("\"") || line.starts_with("check: ")) << line;
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

TEST_F(Tolvadm, UserCreateAuthenticateChangeFindModify) {
    write("blob.in", std::string("\0\1\2", 3));
    Json j = adm_json({"user", "create", "Corp", "Alice", "--cert-dn", "CN=Alice", "--registry-id", "RGY-A",
                       "--text-3", "three", "--login-types", "a;b", "--ulong-2", "4294967295", "--blob-file",
                       path("blob.in"), "--password-stdin"},
                      "secret\n");
    EXPECT_EQ(j["domain"], "corp");
    EXPECT_EQ(j["user_id"], "alice");
    EXPECT_EQ(j["account_valid"], 1);
    EXPECT_EQ(j["text_3"], "three");
    EXPECT_EQ(j["login_types"], Json::array({"a", "b"}));
    EXPECT_EQ(j["ulong_2"], 4294967295u);
    EXPECT_EQ(j["blob"]["base64"], "AAEC");
    EXPECT_EQ(j["groups_list"], "corp_alice.myGroups");
    EXPECT_EQ(j.find("password"), j.end());
    const std::string uuid = j["uuid"];
    EXPECT_EQ(lines(read("corp_alice.QZuser"))[4], "secret");

    EXPECT_EQ(adm({"user", "auth", "corp", "alice", "--password-stdin"}, "secret\n").status, 0);
    const AdmResult wrong = adm({"user", "auth", "corp", "alice", "--password-stdin"}, "Secret\n");
    EXPECT_EQ(wrong.status, 23);
    EXPECT_NE(wrong.err.find("RSPI_RC_AUTHN_FAILED"), std::string::npos) << wrong.err;
    EXPECT_EQ(adm({"user", "passwd", "corp", "alice", "--password-stdin"}, "secret\nnew one\n").status, 0);
    EXPECT_EQ(adm({"user", "auth", "corp", "alice", "--password-stdin"}, "new one\n").status, 0);
    EXPECT_EQ(adm({"user", "passwd", "corp", "alice", "--password-stdin"}, "secret\nx\n").status, 23);
    // A new password the registry cannot store as one is refused before the plug-in sees it.
    for (const std::string &bad : {std::string(), std::string(100, 'x'), std::string("a\0b", 3)}) {
        const AdmResult r = adm({"user", "passwd", "corp", "alice", "--password-stdin"}, "new one\n" + bad + "\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("the password for user corp/alice is refused (nothing was changed): "), std::string::npos)
            << r.err;
        EXPECT_EQ(adm({"user", "create", "corp", "carl", "--password-stdin"}, bad + "\n").status, 1);
    }
    EXPECT_EQ(adm({"user", "auth", "corp", "alice", "--password-stdin"}, "new one\n").status, 0);
    EXPECT_EQ(adm({"user", "passwd", "corp", "alice", "--password-stdin"}, "new one\n" + std::string(99, 'x') + "\n").status,
              0);
    EXPECT_EQ(lines(read("corp_alice.QZuser"))[4], std::string(99, 'x'));
    EXPECT_FALSE(exists("corp_carl.QZuser"));

    EXPECT_EQ(adm_json({"user", "find", "--uuid", uuid})["user_id"], "alice");
    EXPECT_EQ(adm_json({"user", "find", "--cert-dn", "CN=Alice"})["user_id"], "alice");
    EXPECT_EQ(adm_json({"user", "find", "--registry-id", "rgy-a"})["user_id"], "alice");
    EXPECT_EQ(adm({"user", "find", "--registry-id", "nobody"}).status, 30);
    EXPECT_EQ(adm({"user", "find", "--uuid", uuid, "--cert-dn", "CN=Alice"}).status, 2);

    j = adm_json({"user", "modify", "corp", "alice", "--cert-dn", "CN=Alice2", "--description", "changed"});
    EXPECT_EQ(j["description"], "changed");
    EXPECT_EQ(j["text_3"], "three");
    EXPECT_EQ(read("certdnlist.file"), "corp alice CN=Alice2\n");
    const AdmResult text = adm({"user", "get", "corp", "alice"});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("registry_id:"), std::string::npos) << text.out;

    // Without a password the account is not valid; the registry id defaults.
    j = adm_json({"user", "create", "Corp", "Bob"});
    EXPECT_EQ(j["registry_id"], "bob@corp");
    EXPECT_EQ(j["account_valid"], 0);
    EXPECT_EQ(adm({"user", "auth", "corp", "bob", "--password-stdin"}, "\n").status, 21);
}

TEST_F(Tolvadm, UserDisableEnableAndDelete) {
    const Json made =
        adm_json({"user", "create", "Corp", "Dora", "--registry-id", "DORA-9", "--password-stdin"}, "pw\n");
    EXPECT_EQ(adm({"user", "disable", "Corp", "Dora"}).out, "user Corp/Dora: disabled\n");
    EXPECT_TRUE(exists("DORA-9.user"));
    EXPECT_EQ(adm({"user", "auth", "corp", "dora", "--password-stdin"}, "pw\n").status, 30);
    AdmResult r = adm({"user", "enable", "corp", "nobody"});
    EXPECT_EQ(r.status, 10);
    EXPECT_NE(r.err.find("tolvadm: user corp/nobody: 10 RSPI_RC_USER_NOT_DISABLED: "), std::string::npos) << r.err;
    // Neither registry id nor UUID given: both are the ones the user had.
    EXPECT_EQ(adm_json({"user", "enable", "Corp", "Dora"}),
              Json({{"domain", "corp"}, {"user_id", "dora"}, {"registry_id", "DORA-9"}, {"uuid", made["uuid"]},
                    {"result", "enabled (registry id DORA-9, UUID " + made["uuid"].get<std::string>() + ")"}}));
    EXPECT_EQ(adm({"user", "auth", "corp", "dora", "--password-stdin"}, "pw\n").status, 0);
    EXPECT_EQ(adm({"user", "delete", "corp", "dora"}).out, "user corp/dora: deleted\n");
    EXPECT_FALSE(exists("corp_dora.QZuser"));
    EXPECT_EQ(adm({"user", "delete", "corp", "dora"}).status, 30);

    // Two disabled entries whose files hold the same names: the tool will not guess.
    write("userlist.file", "- -  U-1  R-1\n- -  U-2  R-2\n");
    for (const char *rid : {"R-1", "R-2"}) write(std::string(rid) + ".user", "eve\ncorp\n");
    r = adm({"user", "enable", "corp", "eve"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("2 disabled users hold these names, with the registry ids \"R-1\" \"R-2\"; choose one "
                         "with --registry-id"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(exists("corp_eve.QZuser"));
}

TEST_F(Tolvadm, LifecycleOfAGroup) {
    AdmResult r = adm({"group", "create", "Sales", "Dept", "--registry-id", "G-1", "--description", "the dept"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = lines(read("sales_dept.QZgroup"));
    ASSERT_EQ(l.size(), 7u);
    EXPECT_EQ(l[3], "the dept");
    EXPECT_EQ(read("grouplist.file"), "sales dept  " + l[5] + "  G-1\n");
    r = adm({"group", "create", "sales", "dept", "--registry-id", "G-2"});
    EXPECT_EQ(r.status, 41);
    EXPECT_NE(r.err.find("RSPI_RC_GROUP_EXISTS"), std::string::npos) << r.err;
    EXPECT_EQ(adm_json({"group", "create", "Sales", "Other"})["registry_id"], "other@sales");
    EXPECT_EQ(adm({"group", "delete", "sales", "other"}).out, "group sales/other: deleted\n");

    seed_user("ann");
    seed_user("bob");
    ASSERT_EQ(adm({"group", "add-member", "sales", "dept", "corp", "bob"}).status, 0);
    ASSERT_EQ(adm({"group", "add-member", "sales", "dept", "Corp", "Ann"}).status, 0);
    EXPECT_EQ(adm({"group", "add-member", "sales", "dept", "corp", "ghost"}).status, 30);
    EXPECT_EQ(adm({"group", "members", "sales", "dept"}).out, "corp ann\ncorp bob\n");

    ASSERT_EQ(adm({"group", "create", "sales", "board", "--registry-id", "G-3"}).status, 0);
    EXPECT_EQ(adm({"group", "list"}).out, "sales board\nsales dept\n");
    // Every filter given must match.
    EXPECT_EQ(adm({"group", "list", "--group", "D*"}).out, "sales dept\n");
    EXPECT_EQ(adm({"group", "list", "--registry-id", "g-3"}).out, "sales board\n");
    EXPECT_EQ(adm({"group", "list", "--domain", "sa*", "--registry-id", "g-3"}).out, "sales board\n");
    EXPECT_EQ(adm({"group", "list", "--group", "dept", "--registry-id", "g-3"}).out, "");

    ASSERT_EQ(adm({"group", "disable", "sales", "dept"}).status, 0);
    EXPECT_TRUE(exists("G-1.group"));
    EXPECT_EQ(adm({"group", "list", "--mode", "disabled"}).out, "(disabled) G-1\n");
    EXPECT_EQ(adm({"group", "get", "sales", "dept"}).status, 31);
    Json j = adm_json({"group", "find", "--registry-id", "g-1"});
    EXPECT_TRUE(j["domain"].is_null());
    EXPECT_EQ(j["description"], "Not a Quorzel enabled group.");

    j = adm_json({"group", "enable", "sales", "dept"});
    EXPECT_EQ(j["uuid"], l[5]);
    EXPECT_EQ(j["registry_id"], "G-1");
    EXPECT_EQ(j["members"], Json::parse(R"(["corp ann","corp bob"])"));
    EXPECT_EQ(adm_json({"group", "find", "--uuid", j["uuid"].get<std::string>()})["group_id"], "dept");

    ASSERT_EQ(adm({"group", "modify", "sales", "dept", "--description", "new"}).status, 0);
    EXPECT_EQ(lines(read("sales_dept.QZgroup"))[3], "new");
    ASSERT_EQ(adm({"group", "remove-member", "sales", "dept", "corp", "bob"}).status, 0);
    EXPECT_EQ(adm({"group", "remove-member", "sales", "dept", "corp", "bob"}).status, 24);
    ASSERT_EQ(adm({"group", "delete", "sales", "dept"}).status, 0);
    EXPECT_FALSE(exists("corp_ann.myGroups"));
    EXPECT_FALSE(exists("sales_dept.GPmembers"));
    EXPECT_EQ(adm({"group", "list"}).out, "sales board\n");
}

TEST_F(Tolvadm, UserListingAndAUsersGroups) {
    write("userlist.file", "corp ann  U-1  RID-A\n- -  U-2  RID-B\ncorp bob  U-3  RID-C\n");
    EXPECT_EQ(adm({"user", "list"}).out, "corp ann\n(disabled) RID-B\ncorp bob\n");
    // Every filter given must match.
    EXPECT_EQ(adm({"user", "list", "--user", "b*"}).out, "corp bob\n");
    EXPECT_EQ(adm({"user", "list", "--registry-id", "rid-*"}).out, "corp ann\n(disabled) RID-B\ncorp bob\n");
    EXPECT_EQ(adm({"user", "list", "--user", "*n*", "--registry-id", "*-c"}).out, "");
    EXPECT_EQ(adm({"user", "list", "--user", "*n*", "--registry-id", "*-a"}).out, "corp ann\n");
    EXPECT_EQ(adm({"user", "list", "--mode", "disabled"}).out, "(disabled) RID-B\n");
    EXPECT_EQ(adm_json({"user", "list", "--mode", "enabled", "--domain", "CO*"}),
              Json::parse(R"([{"domain":"corp","user_id":"ann"},{"domain":"corp","user_id":"bob"}])"));
    EXPECT_EQ(adm({"user", "list", "--mode", "some"}).status, 2);

    seed_user("ann");
    ASSERT_EQ(adm({"group", "create", "sales", "b", "--registry-id", "G-B"}).status, 0);
    ASSERT_EQ(adm({"group", "create", "sales", "a", "--registry-id", "G-A"}).status, 0);
    ASSERT_EQ(adm({"group", "add-member", "sales", "b", "corp", "ann"}).status, 0);
    ASSERT_EQ(adm({"group", "add-member", "sales", "a", "corp", "ann"}).status, 0);
    EXPECT_EQ(adm({"user", "groups", "Corp", "Ann"}).out, "sales a\nsales b\n");
    EXPECT_EQ(adm({"user", "groups", "corp", "nobody"}).out, "");
}

TEST_F(Tolvadm, PolicyCreateModifyListAndDelete) {
    write("blob.in", "rules");
    AdmResult r = adm({"policy", "create", "Corp", "Gold", "--description", "gold", "--number-5", "5", "--number-17",
                       "17", "--attribute", "3000000000", "--flag-2", "0", "--blob-file", path("blob.in")});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = lines(read("corp_gold.QZpolicy"));
    ASSERT_EQ(l.size(), 27u);
    EXPECT_EQ(l[3], "gold");
    EXPECT_EQ(l[4], "3000000000");
    EXPECT_EQ(l[10], "5");
    EXPECT_EQ(l[22], "0");
    EXPECT_EQ(l[23], "2");
    EXPECT_EQ(l[26], "17");
    EXPECT_EQ(read("corp_gold.QZpolicy_blob"), "rules");

    const Json j = adm_json({"policy", "modify", "corp", "gold", "--number-5", "-2", "--text-1", "t"});
    EXPECT_EQ(j["number_5"], -1);
    EXPECT_EQ(j["number_17"], 17);
    EXPECT_EQ(j["description"], "gold");
    EXPECT_EQ(j["text_1"], "t");
    EXPECT_EQ(j["blob"]["base64"], "cnVsZXM=");

    ASSERT_EQ(adm({"policy", "create", "corp", "silver"}).status, 0);
    EXPECT_EQ(adm({"policy", "list"}).out, "corp gold\ncorp silver\n");
    r = adm({"policy", "create", "corp", "gold"});
    EXPECT_EQ(r.status, 42);
    EXPECT_NE(r.err.find("RSPI_RC_POLICY_EXISTS"), std::string::npos) << r.err;
    ASSERT_EQ(adm({"policy", "delete", "corp", "gold"}).status, 0);
    EXPECT_EQ(adm({"policy", "get", "corp", "gold"}).status, 32);
    EXPECT_EQ(read("policylist.file"), "corp silver\n");
    EXPECT_EQ(adm({"policy", "modify", "corp", "silver", "--flag-2", "-3"}).status, 2);
}

TEST_F(Tolvadm, ResourcesAndGroupsWithTheirMembers) {
    ASSERT_EQ(adm({"resource", "create", "Printer:A", "--description", "p"}).status, 0);
    ASSERT_EQ(adm({"resource", "create", "disk", "--attribute", "4000000000"}).status, 0);
    EXPECT_EQ(adm({"resource", "create", "printer-a"}).status, 43);
    EXPECT_EQ(adm({"resource", "get", "printer-a"}).status, 9);
    EXPECT_EQ(adm({"resource", "list"}).out, "disk\nprinter:a\n");

    EXPECT_EQ(adm_json({"resgroup", "create", "Office", "--member", "Printer:A", "--member", "disk"})["members"],
              Json::array({"disk", "printer:a"}));
    EXPECT_EQ(read("office.RGmembers"), "disk\nprinter:a\n");
    EXPECT_EQ(adm({"resgroup", "modify", "office", "--member", "ghost"}).status, 33);
    EXPECT_EQ(read("office.RGmembers"), "disk\nprinter:a\n");
    ASSERT_EQ(adm({"resgroup", "remove-member", "office", "disk"}).status, 0);
    EXPECT_EQ(adm({"resgroup", "remove-member", "office", "disk"}).status, 24);
    ASSERT_EQ(adm({"resgroup", "modify", "office", "--no-members", "--description", "empty"}).status, 0);
    EXPECT_FALSE(exists("office.RGmembers"));
    ASSERT_EQ(adm({"resgroup", "add-member", "office", "DISK"}).status, 0);
    const Json j = adm_json({"resgroup", "list", "--fetch"});
    ASSERT_EQ(j.size(), 1u);
    EXPECT_EQ(j[0]["description"], "empty");
    EXPECT_EQ(j[0]["members"], Json::array({"disk"}));
    ASSERT_EQ(adm({"resgroup", "delete", "office"}).status, 0);
    EXPECT_EQ(adm({"resgroup", "get", "office"}).status, 34);
}

TEST_F(Tolvadm, CredentialsCreateGetModifyListDelete) {
    seed_user("ann");
    AdmResult r = adm({"creds", "create", "Corp", "Ann", "Web:1", "--password-stdin", "--description", "portal"},
                      "s3cret\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(read("corp_ann_web-1.QZrescreds"))[6], "s3cret");
    EXPECT_EQ(read("corp_ann.myResCreds"), "corp ann web:1\n");
    EXPECT_EQ(r.out.find("s3cret"), std::string::npos);  // the text is shown only on request

    EXPECT_EQ(adm({"creds", "create", "corp", "ann", "web:1", "--password-stdin"}, "x\n").status, 45);
    EXPECT_EQ(adm({"creds", "create", "corp", "bob", "web", "--password-stdin"}, "x\n").status, 30);
    for (const std::string &bad : {std::string(), std::string(100, 'x')}) {
        r = adm({"creds", "create", "corp", "ann", "long", "--password-stdin"}, bad + "\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("the credential text for credential of user corp/ann for long is refused"),
                  std::string::npos)
            << r.err;
    }
    EXPECT_FALSE(exists("corp_ann_long.QZrescreds"));

    ASSERT_EQ(adm({"creds", "modify", "corp", "ann", "web:1", "--attribute", "4000000000", "--text-1", "t"}).status, 0);
    const Json j = adm_json({"creds", "get", "corp", "ann", "web:1", "--show-text"});
    EXPECT_EQ(j["description"], "portal");
    EXPECT_EQ(j["attribute"], 4000000000u);
    EXPECT_EQ(j["text_1"], "t");
    EXPECT_EQ(j["credential"], "s3cret");

    ASSERT_EQ(adm({"creds", "create", "corp", "ann", "db", "--password-stdin"}, "d\n").status, 0);
    EXPECT_EQ(adm({"creds", "list", "corp", "ann"}).out, "db\nweb:1\n");
    ASSERT_EQ(adm({"creds", "delete", "corp", "ann", "WEB:1"}).status, 0);
    EXPECT_EQ(adm({"creds", "delete", "corp", "ann", "web:1"}).status, 35);
    EXPECT_EQ(adm({"creds", "get", "corp", "ann", "web:1"}).status, 35);
    EXPECT_EQ(adm({"creds", "list", "corp", "nobody"}).status, 30);
}

}  // namespace
