// Taking users out of service and back through the exported interface:
// delete (with memberships and credentials), disable and enable.
#include <gtest/gtest.h>

#include <string>

#include "api_user_support.h"
#include "registry.h"
#include "rspi.h"
#include "tolv.h"

using tolvtest::Authn;
using tolvtest::UserRec;

namespace {

class UserLife : public tolvtest::Registry {
protected:
    UserRec user(const char *domain, const char *id) {
        UserRec u;
        u.set(u->domain, domain).set(u->user_id, id);
        return u;
    }
    void create(const char *domain, const char *id, const char *rgy, const char *cert_dn = nullptr) {
        UserRec u = user(domain, id);
        u.set(u->registry_id, rgy).set(u->cert_dn, cert_dn);
        u->account_valid = 1;
        u->password = tolvtest::password("secret");
        u->blob = tolvtest::blob("bytes");
        ASSERT_EQ(rspi_create_user(h, u.get()), 0u);
    }
    void create_group(const char *domain, const char *id) {
        rspi_group *g = rspi_alloc_group();
        g->domain = rspi_strdup(domain);
        g->group_id = rspi_strdup(id);
        g->registry_id = rspi_strdup((std::string(id) + "-rgy").c_str());
        g->state = 2;
        ASSERT_EQ(rspi_create_group(h, g), 0u);
        rspi_free_group(g);
    }
    uint32_t join(const char *gdomain, const char *gid, const char *domain, const char *id) {
        rspi_group *g = rspi_alloc_group();
        g->domain = rspi_strdup(gdomain);
        g->group_id = rspi_strdup(gid);
        UserRec u = user(domain, id);
        const uint32_t rc = rspi_add_group_member(h, g, u.get());
        rspi_free_group(g);
        return rc;
    }
    void add_creds(const char *domain, const char *id, const char *resource) {
        UserRec u = user(domain, id);
        rspi_rescreds *c = rspi_alloc_rescreds();
        c->name = rspi_strdup(resource);
        c->state = 2;
        c->password = tolvtest::password("pw");
        ASSERT_EQ(rspi_create_rescreds(h, u.get(), c), 0u);
        rspi_free_rescreds(c);
    }
    uint32_t authenticate(const char *domain, const char *id, const char *pw) {
        UserRec u = user(domain, id);
        Authn a(pw);
        return rspi_authenticate_user(h, u.get(), a.get());
    }
};

}  // namespace

TEST_F(UserLife, DeleteRemovesMembershipsCredentialsAndEveryUserFile) {
    create("corp", "ann", "ANN-1", "cn=ann");
    create("corp", "bob", "BOB-1");
    for (const char *g : {"dev", "ops", "qa"}) {
        create_group("corp", g);
        ASSERT_EQ(join("corp", g, "corp", "ann"), 0u);
    }
    ASSERT_EQ(join("corp", "dev", "corp", "bob"), 0u);
    add_creds("corp", "ann", "web:1");
    add_creds("corp", "ann", "db");
    ASSERT_TRUE(exists("corp_ann.myGroups"));
    ASSERT_TRUE(exists("corp_ann.myResCreds"));

    UserRec ann = user("Corp", "Ann");
    EXPECT_EQ(rspi_delete_user(h, ann.get()), 0u);
    EXPECT_STREQ(ann->user_id, "ann");
    for (const char *f : {"corp_ann.QZuser", "corp_ann.QZuser_blob", "corp_ann.myGroups", "corp_ann.myResCreds",
                          "corp_ann_web-1.QZrescreds", "corp_ann_db.QZrescreds", "corp_ops.GPmembers",
                          "corp_qa.GPmembers", "certdnlist.file"})
        EXPECT_FALSE(exists(f)) << f;
    EXPECT_EQ(read("corp_dev.GPmembers"), "corp bob\n");
    EXPECT_EQ(read("userlist.file").find("corp ann"), std::string::npos);
    EXPECT_NE(read("userlist.file").find("corp bob"), std::string::npos);
    for (const auto &f : files()) EXPECT_EQ(f.find("_T"), std::string::npos) << f;

    UserRec ghost = user("corp", "nobody");
    EXPECT_EQ(rspi_delete_user(h, ghost.get()), 30u);
    UserRec null_names;
    EXPECT_EQ(rspi_delete_user(h, null_names.get()), 30u);
}

TEST_F(UserLife, DeletingBobKeepsBobbysCertificateLine) {
    create("corp", "bob", "B1", "cn=bob");
    create("corp", "bobby", "B2", "cn=bobby");
    UserRec bob = user("corp", "bob");
    ASSERT_EQ(rspi_delete_user(h, bob.get()), 0u);
    EXPECT_EQ(read("certdnlist.file"), "corp bobby cn=bobby\n");
}

TEST_F(UserLife, DisableAndEnableRoundTrips) {
    create("corp", "ann", "ANN-1", "cn=ann");
    create_group("corp", "dev");
    ASSERT_EQ(join("corp", "dev", "corp", "ann"), 0u);
    add_creds("corp", "ann", "web");
    UserRec before = user("corp", "ann");
    ASSERT_EQ(rspi_get_user(h, before.get()), 0u);
    const std::string old_uuid = before->uuid_string;

    UserRec ann = user("corp", "ann");
    ASSERT_EQ(rspi_disable_user(h, ann.get()), 0u);
    EXPECT_TRUE(exists("ANN-1.user"));
    EXPECT_FALSE(exists("corp_ann.QZuser"));
    EXPECT_FALSE(exists("corp_ann_web.QZrescreds"));  // credentials go with disabling
    EXPECT_TRUE(exists("corp_dev.GPmembers"));         // memberships stay
    EXPECT_TRUE(exists("corp_ann.QZuser_blob"));
    EXPECT_FALSE(exists("certdnlist.file"));
    EXPECT_EQ(read("userlist.file"), "- -  " + old_uuid + "  ANN-1\n");
    EXPECT_EQ(authenticate("corp", "ann", "secret"), 30u);
    UserRec fetch = user("corp", "ann");
    EXPECT_EQ(rspi_get_user(h, fetch.get()), 30u);
    UserRec by_rgy;
    by_rgy.set(by_rgy->registry_id, "ann-1");
    EXPECT_EQ(rspi_get_user_by_rgyid(h, by_rgy.get()), 0u);
    EXPECT_EQ(by_rgy->user_id, nullptr);
    EXPECT_STREQ(by_rgy->description, "Not a Quorzel enabled user.");
    EXPECT_EQ(rspi_disable_user(h, ann.get()), 30u);  // already disabled

    // Enabling with the old UUID keeps it; the caller's given fields are applied.
    UserRec back = user("corp", "ann");
    back.set(back->registry_id, "ANN-1").set(back->uuid_string, old_uuid.c_str()).set(back->text_1, "back");
    back->flag_1 = 2;
    back->account_valid = 2;
    back->number_2 = -1;
    ASSERT_EQ(rspi_enable_user(h, back.get()), 0u);
    EXPECT_FALSE(exists("ANN-1.user"));
    EXPECT_EQ(authenticate("corp", "ann", "secret"), 0u);
    UserRec after = user("corp", "ann");
    ASSERT_EQ(rspi_get_user(h, after.get()), 0u);
    EXPECT_EQ(std::string(after->uuid_string), old_uuid);
    EXPECT_STREQ(after->text_1, "back");
    EXPECT_EQ(read("userlist.file"), "corp ann  " + old_uuid + "  ANN-1\n");
    EXPECT_EQ(read("certdnlist.file"), "corp ann cn=ann\n");
    EXPECT_EQ(read("corp_ann.myGroups"), "corp dev\n");

    // Without a UUID the user gets a new one.
    ASSERT_EQ(rspi_disable_user(h, ann.get()), 0u);
    UserRec fresh = user("corp", "ann");
    fresh.set(fresh->registry_id, "ANN-1");
    fresh->flag_1 = 2;
    fresh->account_valid = 2;
    fresh->number_2 = -1;
    ASSERT_EQ(rspi_enable_user(h, fresh.get()), 0u);
    UserRec renewed = user("corp", "ann");
    ASSERT_EQ(rspi_get_user(h, renewed.get()), 0u);
    EXPECT_NE(std::string(renewed->uuid_string), old_uuid);
    EXPECT_EQ(std::string(renewed->uuid_string).size(), 36u);
}

TEST_F(UserLife, EnableRefusesWhatIsNotDisabledOrWouldOverwrite) {
    create("corp", "ann", "ANN-1");
    const std::string list = read("userlist.file");
    UserRec ann = user("corp", "ann");
    ann.set(ann->registry_id, "ANN-1");
    EXPECT_EQ(rspi_enable_user(h, ann.get()), 40u);  // its enabled file is there
    UserRec other = user("corp", "zed");
    other.set(other->registry_id, "NOPE");
    EXPECT_EQ(rspi_enable_user(h, other.get()), 10u);
    UserRec no_rgy = user("corp", "zed");
    EXPECT_EQ(rspi_enable_user(h, no_rgy.get()), 10u);

    // A disabled user whose names were taken again while it was away stays disabled.
    ASSERT_EQ(rspi_disable_user(h, ann.get()), 0u);
    create("corp", "ann", "ANN-2");
    const auto before = files();
    const std::string list2 = read("userlist.file");
    EXPECT_EQ(rspi_enable_user(h, ann.get()), 40u);
    EXPECT_EQ(files(), before);
    EXPECT_EQ(read("userlist.file"), list2);
    EXPECT_TRUE(exists("ANN-1.user"));
    EXPECT_NE(list, list2);
}

TEST_F(UserLife, DeletingADisabledUserStopsAfterTheMemberships) {
    create("corp", "ann", "ANN-1");
    create_group("corp", "dev");
    ASSERT_EQ(join("corp", "dev", "corp", "ann"), 0u);
    UserRec ann = user("corp", "ann");
    ASSERT_EQ(rspi_disable_user(h, ann.get()), 0u);
    EXPECT_EQ(rspi_delete_user(h, ann.get()), 30u);
    EXPECT_FALSE(exists("corp_dev.GPmembers"));
    EXPECT_FALSE(exists("corp_ann.myGroups"));
    EXPECT_TRUE(exists("ANN-1.user"));
}
