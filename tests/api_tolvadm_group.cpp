// tolvadm's group commands and user enumeration end to end: the built
// executable on a temporary registry, checked through its output, exit status
// and the files it leaves.
#include <nlohmann/json.hpp>

#include "api_resource_support.h"

namespace {

class TolvadmGroup : public tolvtest::Registry {
protected:
    tolvtest::AdmResult adm(const std::vector<std::string> &args) {
        return tolvtest::tolvadm(conf_dir_.path() + "tolv.conf", args);
    }
    void seed_user(const std::string &id) {
        // Membership only needs the user file to exist.
        write("corp_" + id + ".QZuser", id + "\ncorp\n");
    }
};

TEST_F(TolvadmGroup, LifecycleOfAGroup) {
    auto r = adm({"group", "create", "Sales", "Dept", "--registry-id", "G-1", "--description", "the dept"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto l = tolvtest::lines(read("sales_dept.QZgroup"));
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
    r = adm({"--json", "group", "list", "--domain", "x", "--registry-id", "g-3"});
    EXPECT_EQ(nlohmann::json::parse(r.out), nlohmann::json::parse(R"([{"domain":"sales","group_id":"board"}])"));

    ASSERT_EQ(adm({"group", "disable", "sales", "dept"}).status, 0);
    EXPECT_TRUE(exists("G-1.group"));
    EXPECT_EQ(adm({"group", "list", "--mode", "disabled"}).out, "(disabled) G-1\n");
    EXPECT_EQ(adm({"group", "get", "sales", "dept"}).status, 31);
    r = adm({"--json", "group", "find", "--registry-id", "g-1"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_TRUE(j["domain"].is_null());
    EXPECT_EQ(j["description"], "Not a Quorzel enabled group.");

    r = adm({"--json", "group", "enable", "sales", "dept", "--registry-id", "G-1"});
    ASSERT_EQ(r.status, 0) << r.err;
    j = nlohmann::json::parse(r.out);
    EXPECT_NE(j["uuid"], l[5]);
    EXPECT_EQ(j["members"], nlohmann::json::parse(R"(["corp ann","corp bob"])"));
    r = adm({"--json", "group", "find", "--uuid", j["uuid"].get<std::string>()});
    EXPECT_EQ(nlohmann::json::parse(r.out)["group_id"], "dept");

    ASSERT_EQ(adm({"group", "modify", "sales", "dept", "--description", "new"}).status, 0);
    EXPECT_EQ(tolvtest::lines(read("sales_dept.QZgroup"))[3], "new");
    ASSERT_EQ(adm({"group", "remove-member", "sales", "dept", "corp", "bob"}).status, 0);
    EXPECT_EQ(adm({"group", "remove-member", "sales", "dept", "corp", "bob"}).status, 24);
    ASSERT_EQ(adm({"group", "delete", "sales", "dept"}).status, 0);
    EXPECT_FALSE(exists("corp_ann.myGroups"));
    EXPECT_FALSE(exists("sales_dept.GPmembers"));
    EXPECT_EQ(adm({"group", "list"}).out, "sales board\n");
}

TEST_F(TolvadmGroup, UserListingAndAUsersGroups) {
    // `user list` and `user groups` come from register_userlist_commands, which
    // the `user` command family calls; until it does there is nothing to run.
    write("userlist.file", "corp ann  U-1  RID-A\n- -  U-2  RID-B\ncorp bob  U-3  RID-C\n");
    EXPECT_EQ(adm({"user", "list"}).out, "corp ann\n(disabled) RID-B\ncorp bob\n");
    EXPECT_EQ(adm({"user", "list", "--mode", "enabled", "--user", "b*", "--registry-id", "none"}).out, "corp bob\n");
    EXPECT_EQ(adm({"user", "list", "--mode", "disabled"}).out, "(disabled) RID-B\n");
    auto r = adm({"--json", "user", "list", "--mode", "enabled", "--domain", "CO*", "--registry-id", "none"});
    EXPECT_EQ(nlohmann::json::parse(r.out),
              nlohmann::json::parse(R"([{"domain":"corp","user_id":"ann"},{"domain":"corp","user_id":"bob"}])"));
    EXPECT_EQ(adm({"user", "list", "--mode", "some"}).status, 2);

    seed_user("ann");
    ASSERT_EQ(adm({"group", "create", "sales", "b", "--registry-id", "G-B"}).status, 0);
    ASSERT_EQ(adm({"group", "create", "sales", "a", "--registry-id", "G-A"}).status, 0);
    ASSERT_EQ(adm({"group", "add-member", "sales", "b", "corp", "ann"}).status, 0);
    ASSERT_EQ(adm({"group", "add-member", "sales", "a", "corp", "ann"}).status, 0);
    EXPECT_EQ(adm({"user", "groups", "Corp", "Ann"}).out, "sales a\nsales b\n");
    EXPECT_EQ(adm({"user", "groups", "corp", "nobody"}).out, "");
}

}  // namespace
