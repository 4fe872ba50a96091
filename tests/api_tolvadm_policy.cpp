// tolvadm's policy commands end to end: the built executable on a temporary
// registry, checked through its output, exit status and the files it leaves.
#include <nlohmann/json.hpp>

#include "api_resource_support.h"
#include "registry.h"

namespace {

class TolvadmPolicy : public tolvtest::Registry {
protected:
    tolvtest::AdmResult adm(const std::vector<std::string> &args) {
        return tolvtest::tolvadm(conf_dir_.path() + "tolv.conf", args);
    }
};

TEST_F(TolvadmPolicy, CreateModifyListAndDelete) {
    tolvtest::write_file(path("blob.in"), "rules");
    auto r = adm({"policy", "create", "Corp", "Gold", "--description", "gold", "--number-5", "5", "--number-17",
                  "17", "--attribute", "3000000000", "--flag-2", "0", "--blob-file", path("blob.in")});
    ASSERT_EQ(r.status, 0) << r.err;
    auto l = tolvtest::lines(read("corp_gold.QZpolicy"));
    ASSERT_EQ(l.size(), 27u);
    EXPECT_EQ(l[3], "gold");
    EXPECT_EQ(l[4], "3000000000");
    EXPECT_EQ(l[10], "5");
    EXPECT_EQ(l[22], "0");
    EXPECT_EQ(l[23], "2");
    EXPECT_EQ(l[26], "17");
    EXPECT_EQ(read("corp_gold.QZpolicy_blob"), "rules");

    r = adm({"--json", "policy", "modify", "corp", "gold", "--number-5", "-2", "--text-1", "t"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["number_5"], -1);
    EXPECT_EQ(j["number_17"], 17);
    EXPECT_EQ(j["description"], "gold");
    EXPECT_EQ(j["text_1"], "t");
    EXPECT_EQ(j["blob"]["base64"], "cnVsZXM=");

    ASSERT_EQ(adm({"policy", "create", "corp", "silver"}).status, 0);
    r = adm({"policy", "list"});
    EXPECT_EQ(r.out, "corp gold\ncorp silver\n");
    r = adm({"policy", "create", "corp", "gold"});
    EXPECT_EQ(r.status, 42);
    EXPECT_NE(r.err.find("RSPI_RC_POLICY_EXISTS"), std::string::npos) << r.err;
    ASSERT_EQ(adm({"policy", "delete", "corp", "gold"}).status, 0);
    EXPECT_EQ(adm({"policy", "get", "corp", "gold"}).status, 32);
    EXPECT_EQ(read("policylist.file"), "corp silver\n");
    EXPECT_EQ(adm({"policy", "modify", "corp", "silver", "--flag-2", "-3"}).status, 2);
}

}  // namespace
