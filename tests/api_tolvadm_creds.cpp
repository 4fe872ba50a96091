// tolvadm's credential commands end to end: the built executable on a
// temporary registry, the credential text given on standard input.
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "registry.h"
#include "tolvadm_run.h"

namespace {

using Result = tolvtest::AdmResult;
using tolvtest::tolvadm;

class TolvadmCreds : public tolvtest::Registry {
protected:
    void SetUp() override {
        Registry::SetUp();
        write("corp_ann.QZuser", "ann\ncorp\n");
    }
    Result adm(const std::vector<std::string> &args, const std::string &input = "") {
        return tolvadm(conf_dir_.path() + "tolv.conf", args, input);
    }
};

TEST_F(TolvadmCreds, CreateGetModifyListDelete) {
    Result r = adm({"creds", "create", "Corp", "Ann", "Web:1", "--password-stdin", "--description", "portal"},
                   "s3cret\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tolvtest::lines(read("corp_ann_web-1.QZrescreds"))[6], "s3cret");
    EXPECT_EQ(read("corp_ann.myResCreds"), "corp ann web:1\n");
    EXPECT_EQ(r.out.find("s3cret"), std::string::npos);  // the text is shown only on request

    EXPECT_EQ(adm({"creds", "create", "corp", "ann", "web:1", "--password-stdin"}, "x\n").status, 45);
    EXPECT_EQ(adm({"creds", "create", "corp", "bob", "web", "--password-stdin"}, "x\n").status, 30);
    EXPECT_EQ(adm({"creds", "create", "corp", "ann", "long", "--password-stdin"}, std::string(100, 'x') + "\n").status,
              1);
    EXPECT_FALSE(exists("corp_ann_long.QZrescreds"));

    r = adm({"creds", "modify", "corp", "ann", "web:1", "--attribute", "4000000000", "--text-1", "t"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = adm({"--json", "creds", "get", "corp", "ann", "web:1", "--show-text"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
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

TEST(TolvadmCredsDemo, NarratesCredentialsOnAFreshRegistry) {
    tolvtest::TempDir reg, conf_dir;
    const std::string conf = conf_dir.path() + "tolv.conf";
    tolvtest::write_file(conf, "dir=" + reg.path() + "\n");
    const Result r = tolvadm(conf, {"demo"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("== Resource credentials"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Demo complete."), std::string::npos);
    EXPECT_EQ(tolvtest::read_file(reg.path() + "corp_alice.myResCreds"), "corp alice db\ncorp alice web:1\n");
}

}  // namespace
