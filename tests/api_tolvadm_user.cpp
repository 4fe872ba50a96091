// tolvadm's user commands end to end: the built executable on a temporary registry.
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "registry.h"
#include "tolvadm_run.h"

using tolvtest::TempDir;

namespace {

using Result = tolvtest::AdmResult;

class AdmUser : public ::testing::Test {
protected:
    void SetUp() override { tolvtest::write_file(conf(), "dir=" + reg_.path() + "\n"); }
    std::string conf() const { return conf_dir_.path() + "tolv.conf"; }

    Result adm(std::vector<std::string> args, const std::string &input = "") {
        return tolvtest::tolvadm(conf(), std::move(args), input);
    }
    nlohmann::json adm_json(std::vector<std::string> args, const std::string &input = "") {
        args.insert(args.begin(), "--json");
        Result r = adm(args, input);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.status == 0 ? nlohmann::json::parse(r.out) : nlohmann::json();
    }

    TempDir reg_, conf_dir_;
};

TEST_F(AdmUser, CreateAuthenticateChangeFindModify) {
    tolvtest::write_file(conf_dir_.path() + "blob", std::string("\0\1\2", 3));
    auto j = adm_json({"user", "create", "Corp", "Alice", "--cert-dn", "CN=Alice", "--registry-id", "RGY-A",
                       "--text-3", "three", "--login-types", "a;b", "--ulong-2", "4294967295", "--blob-file",
                       conf_dir_.path() + "blob", "--password-stdin"},
                      "secret\n");
    EXPECT_EQ(j["domain"], "corp");
    EXPECT_EQ(j["user_id"], "alice");
    EXPECT_EQ(j["account_valid"], 1);
    EXPECT_EQ(j["text_3"], "three");
    EXPECT_EQ(j["login_types"], nlohmann::json::array({"a", "b"}));
    EXPECT_EQ(j["ulong_2"], 4294967295u);
    EXPECT_EQ(j["blob"]["base64"], "AAEC");
    EXPECT_EQ(j["groups_list"], "corp_alice.myGroups");
    EXPECT_EQ(j.find("password"), j.end());
    const std::string uuid = j["uuid"];
    EXPECT_EQ(tolvtest::lines(tolvtest::read_file(reg_.path() + "corp_alice.QZuser"))[4], "secret");

    EXPECT_EQ(adm({"user", "auth", "corp", "alice", "--password-stdin"}, "secret\n").status, 0);
    Result wrong = adm({"user", "auth", "corp", "alice", "--password-stdin"}, "Secret\n");
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
    EXPECT_EQ(tolvtest::read_file(reg_.path() + "certdnlist.file"), "corp alice CN=Alice2\n");

    Result text = adm({"user", "get", "corp", "alice"});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("registry_id:"), std::string::npos) << text.out;
    EXPECT_EQ(adm({"user", "create", "corp", "alice"}).status, 40);
}

TEST_F(AdmUser, CreateWithoutPasswordDefaultsItsRegistryId) {
    auto j = adm_json({"user", "create", "Corp", "Bob"});
    EXPECT_EQ(j["registry_id"], "bob@corp");
    EXPECT_EQ(j["account_valid"], 0);
    EXPECT_EQ(adm({"user", "auth", "corp", "bob", "--password-stdin"}, "\n").status, 21);
}

TEST_F(AdmUser, DemoNarratesTheUserSteps) {
    Result r = adm({"demo"});
    EXPECT_NE(r.out.find("== Users"), std::string::npos) << r.out << r.err;
    EXPECT_NE(r.out.find("rspi_authenticate_user corp alice with \"wonderlan\": rc = 23"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("rspi_get_user_by_rgyid (registry_id \"alice-001\"): rc = 0 RSPI_RC_SUCCESS (success), "
                         "found corp alice"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.err.find("rspi_change_authndata"), std::string::npos) << r.err;
}

}  // namespace

TEST_F(AdmUser, DisableEnableAndDelete) {
    ASSERT_EQ(adm({"user", "create", "corp", "dora", "--registry-id", "DORA-9", "--password-stdin"}, "pw\n").status, 0);
    EXPECT_EQ(adm({"user", "disable", "corp", "dora"}).status, 0);
    EXPECT_TRUE(tolvtest::file_exists(reg_.path() + "DORA-9.user"));
    EXPECT_EQ(adm({"user", "auth", "corp", "dora", "--password-stdin"}, "pw\n").status, 30);
    const Result again = adm({"user", "enable", "corp", "nobody", "--registry-id", "NOPE"});
    EXPECT_EQ(again.status, 10);
    EXPECT_NE(again.err.find("RSPI_RC_USER_NOT_DISABLED"), std::string::npos) << again.err;
    EXPECT_EQ(adm({"user", "enable", "corp", "dora", "--registry-id", "DORA-9"}).status, 0);
    EXPECT_EQ(adm({"user", "auth", "corp", "dora", "--password-stdin"}, "pw\n").status, 0);
    EXPECT_EQ(adm({"user", "delete", "corp", "dora"}).status, 0);
    EXPECT_FALSE(tolvtest::file_exists(reg_.path() + "corp_dora.QZuser"));
    EXPECT_EQ(adm({"user", "delete", "corp", "dora"}).status, 30);
}
