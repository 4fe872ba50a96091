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

TEST_F(Tolvadm, FailuresGiveClearMessagesAndExitStatus) {
    AdmResult r = adm({"--plugin", "/nonexistent/libnothing.so", "info"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot load the plug-in /nonexistent/libnothing.so"), std::string::npos) << r.err;

    // A library that is not the plug-in: the missing operation is named.
    r = adm({"--plugin", TOLV_RSPIUTIL_PATH, "info"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("rspi_initialize"), std::string::npos) << r.err;

    // The return code comes out with its name, meaning, and as the exit status.
    r = tolvtest::run_tolvadm({"--config", conf_dir_.path() + "missing.conf", "info"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("rspi_initialize: rc = 4 RSPI_RC_CONFIG_ERROR ("), std::string::npos) << r.err;

    EXPECT_EQ(adm({}).status, 2);
    r = adm({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("demo"), std::string::npos);
}

TEST(TolvadmDefaultRegistry, CreatedInCurrentDirectoryOnFirstUse) {
    TempDir cwd;
    const std::string dir = fs::canonical(cwd.path()).string() + "/tolv-registry/";
    AdmResult r = tolvtest::run_tolvadm({"--json", "info"}, "", cwd.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Json::parse(r.out)["directory"], dir);

    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(tolvtest::read_file(dir + "tolv.conf"), "dir=" + dir + "\n");

    // Second use: the existing configuration is kept as it is.
    tolvtest::write_file(dir + "tolv.conf", "# mine\ndir=" + dir + "\n");
    r = tolvtest::run_tolvadm({"info"}, "", cwd.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tolvtest::read_file(dir + "tolv.conf"), "# mine\ndir=" + dir + "\n");
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
    EXPECT_EQ(adm({"user", "create", "corp", "alice"}).status, 40);

    // Without a password the account is not valid; the registry id defaults.
    j = adm_json({"user", "create", "Corp", "Bob"});
    EXPECT_EQ(j["registry_id"], "bob@corp");
    EXPECT_EQ(j["account_valid"], 0);
    EXPECT_EQ(adm({"user", "auth", "corp", "bob", "--password-stdin"}, "\n").status, 21);
}

TEST_F(Tolvadm, UserDisableEnableAndDelete) {
    ASSERT_EQ(adm({"user", "create", "corp", "dora", "--registry-id", "DORA-9", "--password-stdin"}, "pw\n").status, 0);
    EXPECT_EQ(adm({"user", "disable", "corp", "dora"}).status, 0);
    EXPECT_TRUE(exists("DORA-9.user"));
    EXPECT_EQ(adm({"user", "auth", "corp", "dora", "--password-stdin"}, "pw\n").status, 30);
    const AdmResult again = adm({"user", "enable", "corp", "nobody", "--registry-id", "NOPE"});
    EXPECT_EQ(again.status, 10);
    EXPECT_NE(again.err.find("RSPI_RC_USER_NOT_DISABLED"), std::string::npos) << again.err;
    EXPECT_EQ(adm({"user", "enable", "corp", "dora", "--registry-id", "DORA-9"}).status, 0);
    EXPECT_EQ(adm({"user", "auth", "corp", "dora", "--password-stdin"}, "pw\n").status, 0);
    EXPECT_EQ(adm({"user", "delete", "corp", "dora"}).status, 0);
    EXPECT_FALSE(exists("corp_dora.QZuser"));
    EXPECT_EQ(adm({"user", "delete", "corp", "dora"}).status, 30);
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
    EXPECT_EQ(adm({"group", "create", "sales", "other"}).status, 2);  // --registry-id is required

    seed_user("ann");
    seed_user("bob");
    ASSERT_EQ(adm({"group", "add-member", "sales", "dept", "corp", "bob"}).status, 0);
    ASSERT_EQ(adm({"group", "add-member", "sales", "dept", "Corp", "Ann"}).status, 0);
    EXPECT_EQ(adm({"group", "add-member", "sales", "dept", "corp", "ghost"}).status, 30);
    EXPECT_EQ(adm({"group", "members", "sales", "dept"}).out, "corp ann\ncorp bob\n");

    ASSERT_EQ(adm({"group", "create", "sales", "board", "--registry-id", "G-3"}).status, 0);
    EXPECT_EQ(adm({"group", "list"}).out, "sales board\nsales dept\n");
    EXPECT_EQ(adm({"group", "list", "--group", "D*", "--registry-id", "none"}).out, "sales dept\n");
    EXPECT_EQ(adm_json({"group", "list", "--domain", "x", "--registry-id", "g-3"}),
              Json::parse(R"([{"domain":"sales","group_id":"board"}])"));

    ASSERT_EQ(adm({"group", "disable", "sales", "dept"}).status, 0);
    EXPECT_TRUE(exists("G-1.group"));
    EXPECT_EQ(adm({"group", "list", "--mode", "disabled"}).out, "(disabled) G-1\n");
    EXPECT_EQ(adm({"group", "get", "sales", "dept"}).status, 31);
    Json j = adm_json({"group", "find", "--registry-id", "g-1"});
    EXPECT_TRUE(j["domain"].is_null());
    EXPECT_EQ(j["description"], "Not a Quorzel enabled group.");

    j = adm_json({"group", "enable", "sales", "dept", "--registry-id", "G-1"});
    EXPECT_NE(j["uuid"], l[5]);
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
    EXPECT_EQ(adm({"user", "list", "--mode", "enabled", "--user", "b*", "--registry-id", "none"}).out, "corp bob\n");
    EXPECT_EQ(adm({"user", "list", "--mode", "disabled"}).out, "(disabled) RID-B\n");
    EXPECT_EQ(adm_json({"user", "list", "--mode", "enabled", "--domain", "CO*", "--registry-id", "none"}),
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
    EXPECT_EQ(adm({"creds", "create", "corp", "ann", "long", "--password-stdin"}, std::string(100, 'x') + "\n").status,
              1);
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
