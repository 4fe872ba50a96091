// Users through the exported interface: the user file, the user list and the
// certificate-DN list on disk; create, get and modify; authentication, change
// of password and the lookups; delete, disable and enable.
#include <cstring>
#include <string>
#include <vector>

#include "records.h"

namespace {

using namespace tolvtest;

const std::string kUuidA = "11111111-2222-3333-4444-555555555555";

class Users : public Registry {
protected:
    // A user with names and registry id only; every optional field unset.
    UserRec plain(const char *domain, const char *id, const char *rgy) {
        UserRec u = given_user(domain, id);
        u.set(u->registry_id, rgy);
        return u;
    }
    uint32_t create(const char *domain, const char *id, const char *rgy, const char *uuid = nullptr) {
        UserRec u = plain(domain, id, rgy);
        if (uuid) u.set(u->uuid_string, uuid);
        return rspi_create_user(h, u.get());
    }
    std::vector<std::string> userlist() const { return lines(read("userlist.file")); }

    // In domain "dom": a user with a password, account_valid as given, and a certificate DN.
    void add(const char *id, const char *pw, int32_t valid, const char *rgy, const char *uuid,
             const char *cert_dn = nullptr) {
        UserRec u = user("dom", id);
        u.set(u->registry_id, rgy).set(u->uuid_string, uuid).set(u->cert_dn, cert_dn);
        u->password = password(pw);
        u->account_valid = valid;
        ASSERT_EQ(rspi_create_user(h, u.get()), 0u);
    }
    uint32_t auth(const char *id, const std::string &pw, uint32_t type = 1) {
        Authn a(pw, type);
        return rspi_authenticate_user(h, user("DOM", id).get(), a.get());
    }
    uint32_t change(const char *id, const std::string &old_pw, const std::string &new_pw, uint32_t old_type = 1,
                    uint32_t new_type = 1) {
        Authn o(old_pw, old_type), n(new_pw, new_type);
        return rspi_change_authndata(h, user("dom", id).get(), o.get(), n.get());
    }

    // A valid user with password "secret" and a blob.
    void enroll(const char *domain, const char *id, const char *rgy, const char *cert_dn = nullptr) {
        UserRec u = user(domain, id);
        u.set(u->registry_id, rgy).set(u->cert_dn, cert_dn);
        u->account_valid = 1;
        u->password = password("secret");
        u->blob = blob("bytes");
        ASSERT_EQ(rspi_create_user(h, u.get()), 0u);
    }
    void create_group(const char *domain, const char *id) {
        ASSERT_EQ(rspi_create_group(h, group(domain, id, (std::string(id) + "-rgy").c_str()).get()), 0u);
    }
    uint32_t join(const char *gdomain, const char *gid, const char *domain, const char *id) {
        return rspi_add_group_member(h, group(gdomain, gid).get(), user(domain, id).get());
    }
    void add_creds(const char *domain, const char *id, const char *resource) {
        Creds c;
        c.set(c->name, resource);
        c->state = 2;
        c->password = password("pw");
        ASSERT_EQ(rspi_create_rescreds(h, user(domain, id).get(), c.get()), 0u);
    }
    uint32_t authenticate(const char *domain, const char *id, const char *pw) {
        Authn a(pw);
        return rspi_authenticate_user(h, user(domain, id).get(), a.get());
    }
};
class UserAuth : public Users {};
class UserLife : public Users {};

TEST_F(Users, CreateWritesEveryLineAndIndexes) {
    UserRec u;
    u.set(u->domain, "Dom").set(u->user_id, "Alice").set(u->description, "The first user");
    u.set(u->uuid_string, kUuidA.c_str()).set(u->registry_id, "RGY-Alice");
    u.set(u->text_1, "t1").set(u->text_2, "t2").set(u->text_3, "t3").set(u->text_4, "t4").set(u->text_5, "t5");
    u.set(u->cert_dn, "CN=Alice, O=Example");
    u->flag_1 = 1;
    u->account_valid = 2;
    u->password = password("s3cret");
    u->number_1 = 4294967295u;
    u->number_2 = -7;
    u->ulong_1 = 1;
    u->ulong_2 = 4294967295u;
    u->ulong_3 = 3;
    u->login_types = logintypes({"a", "b"});
    u->blob = blob(std::string("\0\1\xff", 3));

    ASSERT_EQ(rspi_create_user(h, u.get()), 0u);
    EXPECT_STREQ(u->domain, "dom");
    EXPECT_STREQ(u->user_id, "alice");
    EXPECT_EQ(u->account_valid, 1);
    EXPECT_EQ(read("dom_alice.QZuser"),
              "alice\ndom\n1\n1\ns3cret\nThe first user\n4294967295\n" + kUuidA +
                  "\na;b\nt1\nt2\nt3\nRGY-Alice\n-7\n1\n4294967295\n3\nt4\nCN=Alice, O=Example\nt5\n3\n");
    EXPECT_EQ(read("dom_alice.QZuser_blob"), std::string("\0\1\xff", 3));
    EXPECT_EQ(read("userlist.file"), "dom alice  " + kUuidA + "  RGY-Alice\n");
    EXPECT_EQ(read("certdnlist.file"), "dom alice CN=Alice, O=Example\n");

    // Fetch into a record that already holds a password and a group list.
    UserRec g;
    g.set(g->domain, "DOM").set(g->user_id, "ALICE");
    rspi_authndata *mine = password("not touched");
    g->password = mine;
    g->groups = rspi_alloc_grouplist();
    ASSERT_EQ(rspi_get_user(h, g.get()), 0u);
    EXPECT_STREQ(g->user_id, "alice");
    EXPECT_EQ(g->password, mine);
    EXPECT_EQ(std::string(mine->data, mine->length), "not touched");
    EXPECT_STREQ(g->description, "The first user");
    EXPECT_EQ(g->number_1, 4294967295u);
    EXPECT_EQ(g->ulong_2, 4294967295u);
    EXPECT_EQ(g->number_2, -7);
    EXPECT_EQ(g->flag_1, 1);
    EXPECT_EQ(g->account_valid, 1);
    EXPECT_STREQ(g->uuid_string, kUuidA.c_str());
    EXPECT_EQ(0, std::memcmp(g->uuid, "\x11\x11\x11\x11\x22\x22\x33\x33\x44\x44\x55\x55\x55\x55\x55\x55", 16));
    ASSERT_NE(g->login_types, nullptr);
    ASSERT_EQ(g->login_types->count, 2);
    EXPECT_STREQ(g->login_types->types[1], "b");
    EXPECT_STREQ(g->cert_dn, "CN=Alice, O=Example");
    EXPECT_STREQ(g->text_5, "t5");
    ASSERT_NE(g->blob, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(g->blob->data), g->blob->length), std::string("\0\1\xff", 3));
    ASSERT_NE(g->groups, nullptr);
    EXPECT_EQ(g->groups->count, -1);
    EXPECT_STREQ(g->groups->file, "dom_alice.myGroups");
}

TEST_F(Users, UnsetFieldsAreNormalisedAndANewUuidIsMade) {
    UserRec u = plain("dom", "bob", "r-bob");
    ASSERT_EQ(rspi_create_user(h, u.get()), 0u);
    ASSERT_NE(u->uuid_string, nullptr);
    const std::string uuid = u->uuid_string;
    EXPECT_EQ(uuid.size(), 36u);
    EXPECT_EQ(u->flag_1, 0);
    EXPECT_EQ(u->account_valid, 0);
    EXPECT_EQ(u->number_2, 0);
    // Twenty lines: null texts are empty lines, no blob line.
    EXPECT_EQ(read("dom_bob.QZuser"), "bob\ndom\n0\n0\n\n\n0\n" + uuid + "\n\n\n\n\nr-bob\n0\n0\n0\n0\n\n\n\n");
    EXPECT_EQ(userlist(), std::vector<std::string>{"dom bob  " + uuid + "  r-bob"});
    EXPECT_FALSE(exists("certdnlist.file"));
    EXPECT_FALSE(exists("dom_bob.QZuser_blob"));

    // The binary UUID is the one its text names.
    char *text = nullptr;
    uint32_t status = 1;
    qz_uuid_to_string(u->uuid, &text, &status);
    ASSERT_EQ(status, 0u);
    EXPECT_EQ(uuid, text);
    qz_uuid_string_free(&text, &status);
}

TEST_F(Users, PasswordOf99BytesIsStoredAnd100IsNot) {
    const std::string p99(99, 'x'), p100(100, 'y');
    UserRec a = plain("dom", "a99", "r1");
    a->password = password(p99);
    ASSERT_EQ(rspi_create_user(h, a.get()), 0u);
    EXPECT_EQ(a->account_valid, 1);
    auto l = lines(read("dom_a99.QZuser"));
    EXPECT_EQ(l[3], "1");
    EXPECT_EQ(l[4], p99);
    UserRec who = plain("dom", "a99", "");
    Authn right(p99);
    EXPECT_EQ(rspi_authenticate_user(h, who.get(), right.get()), 0u);

    UserRec b = plain("dom", "b100", "r2");
    b->password = password(p100);
    ASSERT_EQ(rspi_create_user(h, b.get()), 0u);
    EXPECT_EQ(b->account_valid, 0);
    l = lines(read("dom_b100.QZuser"));
    EXPECT_EQ(l[3], "0");
    EXPECT_EQ(l[4], "");
    UserRec who_b = plain("dom", "b100", "");
    Authn long_pw(p100), empty("");
    EXPECT_EQ(rspi_authenticate_user(h, who_b.get(), long_pw.get()), 23u);
    EXPECT_EQ(rspi_authenticate_user(h, who_b.get(), empty.get()), 21u);
}

TEST_F(Users, CreateRefusesBadFieldsWithoutWritingAnything) {
    EXPECT_EQ(create("dom", "norgy", ""), 30u);
    EXPECT_EQ(create("dom", "nouuid", "r", ""), 30u);
    UserRec no_rgy = plain("dom", "norgy", "x");
    no_rgy.set(no_rgy->registry_id, nullptr);
    EXPECT_EQ(rspi_create_user(h, no_rgy.get()), 30u);
    for (const std::string &bad : {std::string("pass\nword"), std::string("pass\0word", 9)}) {
        UserRec p = plain("dom", "badpw", "r");
        p->password = password(bad);
        EXPECT_EQ(rspi_create_user(h, p.get()), 30u);
    }
    // Bounds: the user-list line "d u  <36>  <rid>" and the certificate-DN
    // line "d u <dn>" must fit 248 bytes.
    UserRec dn = plain("d", "u", "r");
    dn.set(dn->cert_dn, std::string(245, 'c').c_str());
    EXPECT_EQ(rspi_create_user(h, dn.get()), 30u);
    EXPECT_EQ(create("d", "u", std::string(206, 'r').c_str()), 30u);
    EXPECT_TRUE(files().empty());

    EXPECT_EQ(create("d", "v", std::string(205, 'r').c_str()), 0u);
    dn.set(dn->cert_dn, std::string(244, 'c').c_str());
    EXPECT_EQ(rspi_create_user(h, dn.get()), 0u);
}

TEST_F(Users, CreateWithoutAUuidThatCannotBeMadeWritesNothing) {
    UserRec u = plain("dom", "nouuid", "r");
    rspiutil_fail_nth_alloc(1);  // the copy of the new UUID's text
    EXPECT_EQ(rspi_create_user(h, u.get()), 6u);
    rspiutil_fail_nth_alloc(0);
    EXPECT_EQ(u->uuid_string, nullptr);
    EXPECT_TRUE(files().empty());
}

TEST_F(Users, FetchOfShortOrDamagedFiles) {
    UserRec u;
    u.set(u->domain, "dom").set(u->user_id, "ghost");
    EXPECT_EQ(rspi_get_user(h, u.get()), 30u);
    ASSERT_NE(u->groups, nullptr);  // attached whatever the read gave
    EXPECT_EQ(u->groups->count, -1);

    // An empty first line: every field still read, result 9.
    write("dom_e.QZuser", "\ndom\n1\n1\npw\ndesc\n5\n\n\n\n\n\nrgy\n0\n0\n0\n0\n\n\n\n");
    UserRec e;
    e.set(e->domain, "dom").set(e->user_id, "e");
    EXPECT_EQ(rspi_get_user(h, e.get()), 9u);
    EXPECT_STREQ(e->description, "desc");
    EXPECT_STREQ(e->registry_id, "rgy");
    EXPECT_EQ(e->number_1, 5u);
    EXPECT_EQ(e->password, nullptr);

    // Truncated after line 6: the fields up to there are filled.
    write("dom_t.QZuser", "t\ndom\n1\n0\npw\ncut here\n");
    UserRec t;
    t.set(t->domain, "dom").set(t->user_id, "t").set(t->text_5, "kept");
    EXPECT_EQ(rspi_get_user(h, t.get()), 9u);
    EXPECT_STREQ(t->description, "cut here");
    EXPECT_STREQ(t->text_5, "kept");

    // A blob line without its blob file is 6; a 20-line file ignores a stale blob.
    ASSERT_EQ(create("dom", "b", "rb"), 0u);
    write("dom_b.QZuser_blob", "stale");
    UserRec b;
    b.set(b->domain, "dom").set(b->user_id, "b");
    b->blob = blob("old");
    EXPECT_EQ(rspi_get_user(h, b.get()), 0u);
    EXPECT_EQ(b->blob, nullptr);
    write("dom_b.QZuser", read("dom_b.QZuser") + "9\n");
    EXPECT_EQ(rspi_get_user(h, b.get()), 6u);
    EXPECT_EQ(b->blob, nullptr);
}

TEST_F(Users, ListInsertionOrder) {
    ASSERT_EQ(create("dom", "bob", "r-bob", "u-bob"), 0u);
    ASSERT_EQ(create("dom", "dave", "r-dave", "u-dave"), 0u);
    ASSERT_EQ(create("dom", "carol", "r-carol", "u-carol"), 0u);
    EXPECT_EQ(userlist(), (std::vector<std::string>{"dom bob  u-bob  r-bob", "dom carol  u-carol  r-carol",
                                                    "dom dave  u-dave  r-dave"}));
    // Only the name part's length is compared: bobby goes before bob.
    ASSERT_EQ(create("dom", "bobby", "r-bobby", "u-bobby"), 0u);
    EXPECT_EQ(userlist()[0], "dom bobby  u-bobby  r-bobby");
    EXPECT_EQ(userlist()[1], "dom bob  u-bob  r-bob");
}

TEST_F(Users, DisabledEntryIsNeverAnInsertionPointAndMalformedLinesGo) {
    write("userlist.file", "- -  u-old  r-old\nno double blank\ndom x  one double blank only\ndom y  u-y  r-y\n");
    ASSERT_EQ(create("+plus", "zed", "r-zed", "u-zed"), 0u);
    EXPECT_EQ(userlist(),
              (std::vector<std::string>{"- -  u-old  r-old", "+plus zed  u-zed  r-zed", "dom y  u-y  r-y"}));
}

TEST_F(Users, RewritesKeepOneLinePerUser) {
    // A new user never takes a disabled user's registry id (any case) or UUID.
    write("userlist.file", "- -  u-old  SHARED\n");
    write("SHARED.user", "old user file\n");
    const auto before = files();
    EXPECT_EQ(create("dom", "eve", "shared", "u-eve"), 40u);
    EXPECT_EQ(create("dom", "eve", "OTHER", "u-old"), 40u);
    // A UUID text its list line cannot hold.
    EXPECT_EQ(create("dom", "eve", "OTHER", "u  v"), 30u);
    EXPECT_EQ(create("dom", "eve", "OTHER", "u "), 30u);
    EXPECT_EQ(files(), before);
    ASSERT_EQ(create("dom", "eve", "SHARED-2", "u-eve"), 0u);
    EXPECT_EQ(userlist(), (std::vector<std::string>{"- -  u-old  SHARED", "dom eve  u-eve  SHARED-2"}));

    // Modify with a new registry id: the old line goes by its UUID.
    UserRec m = given_user("dom", "eve");
    m.set(m->registry_id, "NEW");
    ASSERT_EQ(rspi_modify_user(h, m.get()), 0u);
    EXPECT_EQ(userlist(), (std::vector<std::string>{"- -  u-old  SHARED", "dom eve  u-eve  NEW"}));
    // Nor does a modify take another user's identity.
    m.set(m->registry_id, "Shared");
    EXPECT_EQ(rspi_modify_user(h, m.get()), 40u);
    UserRec by_uuid = given_user("dom", "eve");
    by_uuid.set(by_uuid->uuid_string, "u-old");
    EXPECT_EQ(rspi_modify_user(h, by_uuid.get()), 40u);
    EXPECT_EQ(userlist(), (std::vector<std::string>{"- -  u-old  SHARED", "dom eve  u-eve  NEW"}));
}

TEST_F(Users, ModifyMergesGivenFieldsAndReplacesTheCertDnLine) {
    UserRec u = plain("dom", "fred", "r-fred");
    u.set(u->uuid_string, "u-fred").set(u->cert_dn, "CN=Old").set(u->description, "before").set(u->text_2, "keep");
    u->number_1 = 7;
    u->ulong_3 = 9;
    ASSERT_EQ(rspi_create_user(h, u.get()), 0u);
    ASSERT_EQ(create("dom", "gina", "r-gina"), 0u);
    UserRec gina = given_user("dom", "gina");
    gina.set(gina->cert_dn, "CN=Gina");
    ASSERT_EQ(rspi_modify_user(h, gina.get()), 0u);

    UserRec m = given_user("DOM", "Fred");
    m.set(m->cert_dn, "CN=New").set(m->description, "after");
    m->ulong_1 = 4;
    ASSERT_EQ(rspi_modify_user(h, m.get()), 0u);
    EXPECT_STREQ(m->user_id, "fred");
    EXPECT_EQ(read("certdnlist.file"), "dom fred CN=New\ndom gina CN=Gina\n");
    const auto l = lines(read("dom_fred.QZuser"));
    EXPECT_EQ(l[5], "after");
    EXPECT_EQ(l[6], "7");
    EXPECT_EQ(l[7], "u-fred");
    EXPECT_EQ(l[10], "keep");
    EXPECT_EQ(l[14], "4");
    EXPECT_EQ(l[16], "9");

    // A refused change leaves every index alone.
    m.set(m->cert_dn, std::string(300, 'c').c_str());
    EXPECT_EQ(rspi_modify_user(h, m.get()), 30u);
    EXPECT_EQ(read("certdnlist.file"), "dom fred CN=New\ndom gina CN=Gina\n");

    UserRec ghost;
    ghost.set(ghost->domain, "dom").set(ghost->user_id, "nobody");
    EXPECT_EQ(rspi_modify_user(h, ghost.get()), 30u);
    EXPECT_EQ(rspi_modify_user(h, nullptr), 30u);
}

TEST_F(Users, ModifyPasswordKeepsAccountValidUnlessGiven) {
    ASSERT_EQ(create("dom", "hal", "r-hal"), 0u);
    UserRec m = plain("dom", "hal", "r-hal");
    m->password = password("pw");
    ASSERT_EQ(rspi_modify_user(h, m.get()), 0u);
    Authn pw("pw");
    EXPECT_EQ(rspi_authenticate_user(h, m.get(), pw.get()), 21u);
    m->account_valid = 1;
    ASSERT_EQ(rspi_modify_user(h, m.get()), 0u);
    EXPECT_EQ(rspi_authenticate_user(h, m.get(), pw.get()), 0u);
}


TEST_F(UserAuth, AuthenticationPrecedence) {
    add("val", "pw", 1, "r-val", "u-val");
    add("inv", "pw", 0, "r-inv", "u-inv");
    EXPECT_EQ(auth("val", "pw"), 0u);
    EXPECT_EQ(auth("val", "pwx"), 23u);
    EXPECT_EQ(auth("val", "p"), 23u);
    EXPECT_EQ(auth("val", "PW"), 23u);
    EXPECT_EQ(auth("val", "pw", 2), 22u);
    EXPECT_EQ(auth("val", "no", 2), 23u);  // 23 over 22
    EXPECT_EQ(auth("inv", "pw"), 21u);
    EXPECT_EQ(auth("inv", "pw", 2), 21u);  // 21 over 22
    EXPECT_EQ(auth("inv", "no"), 23u);     // 23 over 21
    EXPECT_EQ(auth("nobody", "pw"), 30u);

    // The supplied bytes count by length, not up to a NUL.
    UserRec u;
    u.set(u->domain, "dom").set(u->user_id, "val");
    Authn longer("pwZZ");
    longer.get()->length = 2;
    EXPECT_EQ(rspi_authenticate_user(h, u.get(), longer.get()), 0u);
    Authn with_nul(std::string("pw\0", 3));
    EXPECT_EQ(rspi_authenticate_user(h, u.get(), with_nul.get()), 23u);
    EXPECT_EQ(rspi_authenticate_user(h, u.get(), nullptr), 30u);

    // A user stored without a password: an empty one matches, the account is not valid.
    UserRec none;
    none.set(none->domain, "dom").set(none->user_id, "nopw").set(none->registry_id, "r-nopw");
    none->account_valid = 2;
    ASSERT_EQ(rspi_create_user(h, none.get()), 0u);
    EXPECT_EQ(auth("nopw", ""), 21u);

    // No password line: 9.
    write("dom_short.QZuser", "short\ndom\n0\n1\n");
    EXPECT_EQ(auth("short", ""), 9u);
}

TEST_F(UserAuth, ChangeOfPassword) {
    add("ivy", "old", 1, "r-ivy", "u-ivy");
    const std::string before = read("dom_ivy.QZuser");
    EXPECT_EQ(change("ivy", "olx", "new"), 23u);  // right length, other bytes
    EXPECT_EQ(change("ivy", "ol", "new"), 23u);
    EXPECT_EQ(change("ivy", "old", "new", 2, 1), 22u);
    EXPECT_EQ(change("ivy", "old", "new", 1, 2), 22u);
    EXPECT_EQ(change("ivy", "old", "new\nline"), 30u);
    EXPECT_EQ(read("dom_ivy.QZuser"), before);

    ASSERT_EQ(change("ivy", "old", "new"), 0u);
    EXPECT_EQ(auth("ivy", "new"), 0u);
    EXPECT_EQ(auth("ivy", "old"), 23u);

    // Too long to store: it is stored empty and the account is no longer valid.
    ASSERT_EQ(change("ivy", "new", std::string(100, 'z')), 0u);
    EXPECT_EQ(auth("ivy", std::string(100, 'z')), 23u);
    EXPECT_EQ(auth("ivy", ""), 21u);
    EXPECT_EQ(change("nobody", "a", "b"), 30u);
}

TEST_F(UserAuth, LookupsByEachKey) {
    add("jack", "pw", 1, "RGY-Jack", "u-jack", "CN=Jack");
    add("kate", "pw", 1, "RGY-Kate", "u-kate", "CN=Kate, O=Same");

    UserRec by_uuid;
    by_uuid.set(by_uuid->uuid_string, "u-kate");
    ASSERT_EQ(rspi_get_user_by_uuid(h, by_uuid.get()), 0u);
    EXPECT_STREQ(by_uuid->domain, "dom");
    EXPECT_STREQ(by_uuid->user_id, "kate");
    EXPECT_STREQ(by_uuid->registry_id, "RGY-Kate");
    EXPECT_EQ(by_uuid->password, nullptr);
    ASSERT_NE(by_uuid->groups, nullptr);
    EXPECT_STREQ(by_uuid->groups->file, "dom_kate.myGroups");

    UserRec by_dn;
    by_dn.set(by_dn->cert_dn, "CN=Kate, O=Same");
    ASSERT_EQ(rspi_get_user_by_certdn(h, by_dn.get()), 0u);
    EXPECT_STREQ(by_dn->user_id, "kate");
    by_dn.set(by_dn->cert_dn, "cn=kate, o=same");  // case matters here
    EXPECT_EQ(rspi_get_user_by_certdn(h, by_dn.get()), 30u);

    UserRec by_rgy;
    by_rgy.set(by_rgy->registry_id, "rgy-jack");  // and not here
    ASSERT_EQ(rspi_get_user_by_rgyid(h, by_rgy.get()), 0u);
    EXPECT_STREQ(by_rgy->user_id, "jack");
    EXPECT_STREQ(by_rgy->registry_id, "RGY-Jack");
    EXPECT_STREQ(by_rgy->cert_dn, "CN=Jack");

    // After a change of DN only the new one finds the user.
    UserRec m = given_user("dom", "jack");
    m.set(m->cert_dn, "CN=Jack2");
    ASSERT_EQ(rspi_modify_user(h, m.get()), 0u);
    UserRec old_dn, new_dn;
    old_dn.set(old_dn->cert_dn, "CN=Jack");
    new_dn.set(new_dn->cert_dn, "CN=Jack2");
    EXPECT_EQ(rspi_get_user_by_certdn(h, old_dn.get()), 30u);
    ASSERT_EQ(rspi_get_user_by_certdn(h, new_dn.get()), 0u);
    EXPECT_STREQ(new_dn->user_id, "jack");

    UserRec missing;
    missing.set(missing->uuid_string, "u-none").set(missing->registry_id, "none").set(missing->cert_dn, "CN=None");
    EXPECT_EQ(rspi_get_user_by_uuid(h, missing.get()), 30u);
    EXPECT_EQ(rspi_get_user_by_rgyid(h, missing.get()), 30u);
    EXPECT_EQ(rspi_get_user_by_certdn(h, missing.get()), 30u);
    UserRec nulls;
    EXPECT_EQ(rspi_get_user_by_uuid(h, nulls.get()), 30u);
    EXPECT_EQ(rspi_get_user_by_rgyid(h, nulls.get()), 30u);
    EXPECT_EQ(rspi_get_user_by_certdn(h, nulls.get()), 30u);
    EXPECT_EQ(rspi_get_user_by_uuid(h, nullptr), 30u);
}

TEST_F(UserAuth, LookupsOfADisabledEntry) {
    write("userlist.file", "- -  u-gone  Gone-Rgy\n");
    UserRec by_uuid;
    by_uuid.set(by_uuid->uuid_string, "u-gone");
    EXPECT_EQ(rspi_get_user_by_uuid(h, by_uuid.get()), 30u);
    EXPECT_STREQ(by_uuid->user_id, "-");
    EXPECT_STREQ(by_uuid->domain, "-");

    UserRec by_rgy;
    by_rgy.set(by_rgy->registry_id, "GONE-RGY").set(by_rgy->user_id, "old").set(by_rgy->domain, "old");
    ASSERT_EQ(rspi_get_user_by_rgyid(h, by_rgy.get()), 0u);
    EXPECT_EQ(by_rgy->user_id, nullptr);
    EXPECT_EQ(by_rgy->domain, nullptr);
    EXPECT_STREQ(by_rgy->description, "Not a Quorzel enabled user.");
    EXPECT_STREQ(by_rgy->registry_id, "GONE-RGY");
}

TEST_F(UserAuth, DiagnosticsIncludeTheNestedFetch) {
    add("lee", "pw", 1, "RGY-Lee", nullptr);  // a real UUID: its text parses quietly
    Trace trace;
    UserRec by_rgy;
    by_rgy.set(by_rgy->registry_id, "RGY-Lee");
    ASSERT_EQ(rspi_get_user_by_rgyid(h, by_rgy.get()), 0u);
    UserRec half;
    half.set(half->domain, "Dom");
    EXPECT_EQ(rspi_create_user(h, half.get()), 30u);
    EXPECT_EQ(auth("lee", "bad"), 23u);
    EXPECT_EQ(trace.take(),
              "rspi_get_user_by_rgyid invoked: RGY-Lee\n"
              "rspi_get_user invoked: dom lee\n"
              "rspi_get_user rc = 0\n"
              "rspi_get_user_by_rgyid rc = 0\n"
              "rspi_create_user invoked: Dom (null)\n"
              "rspi_create_user rc = 30\n"
              "rspi_authenticate_user invoked: DOM lee\n"
              "rspi_authenticate_user rc = 23\n");
}


TEST_F(UserLife, DeleteRemovesMembershipsCredentialsAndEveryUserFile) {
    enroll("corp", "ann", "ANN-1", "cn=ann");
    enroll("corp", "bob", "BOB-1");
    for (const char *g : {"dev", "ops", "qa"}) {
        create_group("corp", g);
        ASSERT_EQ(join("corp", g, "corp", "ann"), 0u);
    }
    ASSERT_EQ(join("corp", "dev", "corp", "bob"), 0u);
    add_creds("corp", "ann", "web:1");
    add_creds("corp", "ann", "db");
    ASSERT_TRUE(exists("corp_ann.myGroups"));
    ASSERT_TRUE(exists("corp_ann.myResCreds"));

    UserRec ann = tolvtest::user("Corp", "Ann");
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

    UserRec ghost = tolvtest::user("corp", "nobody");
    EXPECT_EQ(rspi_delete_user(h, ghost.get()), 30u);
    UserRec null_names;
    EXPECT_EQ(rspi_delete_user(h, null_names.get()), 30u);
}

TEST_F(UserLife, DeletingBobKeepsBobbysCertificateLine) {
    enroll("corp", "bob", "B1", "cn=bob");
    enroll("corp", "bobby", "B2", "cn=bobby");
    UserRec bob = tolvtest::user("corp", "bob");
    ASSERT_EQ(rspi_delete_user(h, bob.get()), 0u);
    EXPECT_EQ(read("certdnlist.file"), "corp bobby cn=bobby\n");
}

TEST_F(UserLife, DisableAndEnableRoundTrips) {
    enroll("corp", "ann", "ANN-1", "cn=ann");
    create_group("corp", "dev");
    ASSERT_EQ(join("corp", "dev", "corp", "ann"), 0u);
    add_creds("corp", "ann", "web");
    UserRec before = tolvtest::user("corp", "ann");
    ASSERT_EQ(rspi_get_user(h, before.get()), 0u);
    const std::string old_uuid = before->uuid_string;

    UserRec ann = tolvtest::user("corp", "ann");
    ASSERT_EQ(rspi_disable_user(h, ann.get()), 0u);
    EXPECT_TRUE(exists("ANN-1.user"));
    EXPECT_FALSE(exists("corp_ann.QZuser"));
    EXPECT_FALSE(exists("corp_ann_web.QZrescreds"));  // credentials go with disabling
    EXPECT_TRUE(exists("corp_dev.GPmembers"));         // memberships stay
    EXPECT_TRUE(exists("corp_ann.QZuser_blob"));
    EXPECT_FALSE(exists("certdnlist.file"));
    EXPECT_EQ(read("userlist.file"), "- -  " + old_uuid + "  ANN-1\n");
    EXPECT_EQ(authenticate("corp", "ann", "secret"), 30u);
    UserRec fetch = tolvtest::user("corp", "ann");
    EXPECT_EQ(rspi_get_user(h, fetch.get()), 30u);
    UserRec by_rgy;
    by_rgy.set(by_rgy->registry_id, "ann-1");
    EXPECT_EQ(rspi_get_user_by_rgyid(h, by_rgy.get()), 0u);
    EXPECT_EQ(by_rgy->user_id, nullptr);
    EXPECT_STREQ(by_rgy->description, "Not a Quorzel enabled user.");
    EXPECT_EQ(rspi_disable_user(h, ann.get()), 30u);  // already disabled

    // Enabling with the old UUID keeps it; the caller's given fields are applied.
    UserRec back = given_user("corp", "ann");
    back.set(back->registry_id, "ANN-1").set(back->uuid_string, old_uuid.c_str()).set(back->text_1, "back");
    ASSERT_EQ(rspi_enable_user(h, back.get()), 0u);
    EXPECT_FALSE(exists("ANN-1.user"));
    EXPECT_EQ(authenticate("corp", "ann", "secret"), 0u);
    UserRec after = tolvtest::user("corp", "ann");
    ASSERT_EQ(rspi_get_user(h, after.get()), 0u);
    EXPECT_EQ(std::string(after->uuid_string), old_uuid);
    EXPECT_STREQ(after->text_1, "back");
    EXPECT_EQ(read("userlist.file"), "corp ann  " + old_uuid + "  ANN-1\n");
    EXPECT_EQ(read("certdnlist.file"), "corp ann cn=ann\n");
    EXPECT_EQ(read("corp_ann.myGroups"), "corp dev\n");

    // Without a UUID the user gets a new one.
    ASSERT_EQ(rspi_disable_user(h, ann.get()), 0u);
    UserRec fresh = given_user("corp", "ann");
    fresh.set(fresh->registry_id, "ANN-1");
    ASSERT_EQ(rspi_enable_user(h, fresh.get()), 0u);
    UserRec renewed = tolvtest::user("corp", "ann");
    ASSERT_EQ(rspi_get_user(h, renewed.get()), 0u);
    EXPECT_NE(std::string(renewed->uuid_string), old_uuid);
    EXPECT_EQ(std::string(renewed->uuid_string).size(), 36u);
}

TEST_F(UserLife, EnableRefusesWhatIsNotDisabledOrWouldOverwrite) {
    enroll("corp", "ann", "ANN-1");
    const std::string list = read("userlist.file");
    UserRec ann = tolvtest::user("corp", "ann");
    ann.set(ann->registry_id, "ANN-1");
    EXPECT_EQ(rspi_enable_user(h, ann.get()), 10u);  // enabled: not disabled comes first
    UserRec other = tolvtest::user("corp", "zed");
    other.set(other->registry_id, "NOPE");
    EXPECT_EQ(rspi_enable_user(h, other.get()), 10u);
    UserRec no_rgy = tolvtest::user("corp", "zed");
    EXPECT_EQ(rspi_enable_user(h, no_rgy.get()), 10u);

    // A disabled user whose names were taken again while it was away stays disabled.
    ASSERT_EQ(rspi_disable_user(h, ann.get()), 0u);
    enroll("corp", "ann", "ANN-2");
    const auto before = files();
    const std::string list2 = read("userlist.file");
    EXPECT_EQ(rspi_enable_user(h, ann.get()), 40u);
    EXPECT_EQ(files(), before);
    EXPECT_EQ(read("userlist.file"), list2);
    EXPECT_TRUE(exists("ANN-1.user"));
    EXPECT_NE(list, list2);
}

TEST_F(UserLife, DeletingADisabledUserStopsAfterTheMemberships) {
    enroll("corp", "ann", "ANN-1");
    create_group("corp", "dev");
    ASSERT_EQ(join("corp", "dev", "corp", "ann"), 0u);
    UserRec ann = tolvtest::user("corp", "ann");
    ASSERT_EQ(rspi_disable_user(h, ann.get()), 0u);
    EXPECT_EQ(rspi_delete_user(h, ann.get()), 30u);
    EXPECT_FALSE(exists("corp_dev.GPmembers"));
    EXPECT_FALSE(exists("corp_ann.myGroups"));
    EXPECT_TRUE(exists("ANN-1.user"));
}

}  // namespace
