// tolvadm's resource and resource-group commands and the demo end to end:
// the built executable on a temporary registry.
#include <nlohmann/json.hpp>

#include "api_resource_support.h"
#include "registry.h"

namespace {

class TolvadmResource : public tolvtest::Registry {
protected:
    tolvtest::AdmResult adm(const std::vector<std::string> &args) {
        return tolvtest::tolvadm(conf_dir_.path() + "tolv.conf", args);
    }
};

TEST_F(TolvadmResource, ResourcesAndGroupsWithTheirMembers) {
    ASSERT_EQ(adm({"resource", "create", "Printer:A", "--description", "p"}).status, 0);
    ASSERT_EQ(adm({"resource", "create", "disk", "--attribute", "4000000000"}).status, 0);
    EXPECT_EQ(adm({"resource", "create", "printer-a"}).status, 43);
    EXPECT_EQ(adm({"resource", "get", "printer-a"}).status, 9);
    EXPECT_EQ(adm({"resource", "list"}).out, "disk\nprinter:a\n");

    auto r = adm({"--json", "resgroup", "create", "Office", "--member", "Printer:A", "--member", "disk"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["members"], nlohmann::json::array({"disk", "printer:a"}));
    EXPECT_EQ(read("office.RGmembers"), "disk\nprinter:a\n");

    r = adm({"resgroup", "modify", "office", "--member", "ghost"});
    EXPECT_EQ(r.status, 33);
    EXPECT_EQ(read("office.RGmembers"), "disk\nprinter:a\n");
    ASSERT_EQ(adm({"resgroup", "remove-member", "office", "disk"}).status, 0);
    EXPECT_EQ(adm({"resgroup", "remove-member", "office", "disk"}).status, 24);
    ASSERT_EQ(adm({"resgroup", "modify", "office", "--no-members", "--description", "empty"}).status, 0);
    EXPECT_FALSE(exists("office.RGmembers"));
    ASSERT_EQ(adm({"resgroup", "add-member", "office", "DISK"}).status, 0);
    r = adm({"--json", "resgroup", "list", "--fetch"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j.size(), 1u);
    EXPECT_EQ(j[0]["description"], "empty");
    EXPECT_EQ(j[0]["members"], nlohmann::json::array({"disk"}));
    ASSERT_EQ(adm({"resgroup", "delete", "office"}).status, 0);
    EXPECT_EQ(adm({"resgroup", "get", "office"}).status, 34);
}

TEST_F(TolvadmResource, DemoNarratesPoliciesResourcesAndGroups) {
    auto r = adm({"demo"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char *text : {"== Policies", "== Resources", "== Resource groups", "Demo complete."})
        EXPECT_NE(r.out.find(text), std::string::npos) << text;
    EXPECT_EQ(read("policylist.file").find("corp gold\n"), 0u);
    EXPECT_TRUE(exists("printer-a.QZresource"));
    EXPECT_NE(read("resgrouplist.file").find("office\n"), std::string::npos);
}

}  // namespace
