// Users through the exported interface: the user file, the user list and the
// certificate-DN list on disk, create/get/modify, and the record the host sees.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "registry.h"
#include "tolv.h"
#include "api_user_support.h"

using tolvtest::UserRec;
using tolvtest::password;

namespace {

const std::string kUuidA = "11111111-2222-3333-4444-555555555555";

class Users : public tolvtest::Registry {
protected:
    // A user with names and registry id only; every optional field unset.
    UserRec plain(const char *domain, const char *id, const char *rgy) {
        UserRec u;
        u.set(u->domain, domain).set(u->user_id, id).set(u->registry_id, rgy);
        u->flag_1 = 2;
        u->account_valid = 2;
        u->number_2 = -1;
        return u;
    }
    uint32_t create(const char *domain, const char *id, const char *rgy, const char *uuid = nullptr) {
        UserRec u = plain(domain, id, rgy);
        if (uuid) u.set(u->uuid_string, uuid);
        return rspi_create_user(h, u.get());
    }
    std::vector<std::string> userlist() const { return tolvtest::lines(read("userlist.file")); }
};

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
    u->login_types = tolvtest::logintypes({"a", "b"});
    u->blob = tolvtest::blob(std::string("\0\1\xff", 3));

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
    auto lines = tolvtest::lines(read("dom_a99.QZuser"));
    EXPECT_EQ(lines[3], "1");
    EXPECT_EQ(lines[4], p99);
    UserRec who = plain("dom", "a99", "");
    tolvtest::Authn right(p99);
    EXPECT_EQ(rspi_authenticate_user(h, who.get(), right.get()), 0u);

    UserRec b = plain("dom", "b100", "r2");
    b->password = password(p100);
    ASSERT_EQ(rspi_create_user(h, b.get()), 0u);
    EXPECT_EQ(b->account_valid, 0);
    lines = tolvtest::lines(read("dom_b100.QZuser"));
    EXPECT_EQ(lines[3], "0");
    EXPECT_EQ(lines[4], "");
    UserRec who_b = plain("dom", "b100", "");
    tolvtest::Authn long_pw(p100), empty("");
    EXPECT_EQ(rspi_authenticate_user(h, who_b.get(), long_pw.get()), 23u);
    EXPECT_EQ(rspi_authenticate_user(h, who_b.get(), empty.get()), 21u);
}

TEST_F(Users, CreateRefusesWithoutWritingAnything) {
    ASSERT_EQ(create("dom", "carl", "r-carl", kUuidA.c_str()), 0u);
    const std::string before = read("dom_carl.QZuser");
    EXPECT_EQ(create("DOM", "Carl", "other"), 40u);
    EXPECT_EQ(read("dom_carl.QZuser"), before);
    const auto files_before = files();

    EXPECT_EQ(create("dom", "", "r"), 30u);
    EXPECT_EQ(create("", "x", "r"), 30u);
    EXPECT_EQ(create("dom", "two words", "r"), 30u);
    EXPECT_EQ(create("dom", "line\nbreak", "r"), 30u);
    EXPECT_EQ(create("dom", "norgy", ""), 30u);
    EXPECT_EQ(create("dom", "nouuid", "r", ""), 30u);
    UserRec nulls;
    EXPECT_EQ(rspi_create_user(h, nulls.get()), 30u);
    EXPECT_EQ(rspi_create_user(h, nullptr), 30u);
    UserRec no_rgy = plain("dom", "norgy", "x");
    no_rgy.set(no_rgy->registry_id, nullptr);
    EXPECT_EQ(rspi_create_user(h, no_rgy.get()), 30u);
    for (const std::string &bad : {std::string("pass\nword"), std::string("pass\0word", 9)}) {
        UserRec p = plain("dom", "badpw", "r");
        p->password = password(bad);
        EXPECT_EQ(rspi_create_user(h, p.get()), 30u);
    }
    UserRec desc = plain("dom", "baddesc", "r");
    desc.set(desc->description, "two\nlines");
    EXPECT_EQ(rspi_create_user(h, desc.get()), 30u);

    // Bounds: the user-list line "d <id>  <36>  r" must fit 248 bytes, the
    // certificate-DN line "d <id> <dn>" too.
    EXPECT_EQ(create("d", std::string(206, 'u').c_str(), "r"), 30u);
    UserRec dn = plain("d", "u", "r");
    dn.set(dn->cert_dn, std::string(245, 'c').c_str());
    EXPECT_EQ(rspi_create_user(h, dn.get()), 30u);
    EXPECT_EQ(create("d", "u", std::string(210, 'r').c_str()), 30u);
    EXPECT_EQ(files(), files_before);

    EXPECT_EQ(create("d", std::string(205, 'u').c_str(), "r"), 0u);
    dn.set(dn->cert_dn, std::string(244, 'c').c_str());
    EXPECT_EQ(rspi_create_user(h, dn.get()), 0u);
}

TEST_F(Users, CreateWithoutAUuidThatCannotBeMadeWritesNothing) {
    UserRec u = plain("dom", "nouuid", "r");
    tolvtest::fail_nth_alloc(1);  // the copy of the new UUID's text
    EXPECT_EQ(rspi_create_user(h, u.get()), 6u);
    tolvtest::fail_nth_alloc(0);
    EXPECT_EQ(u->uuid_string, nullptr);
    EXPECT_TRUE(files().empty());
}

TEST_F(Users, FailedBlobWriteLeavesTheListsUntouched) {
    std::filesystem::create_directory(path("dom_amy.QZuser_blob"));  // nothing can replace it
    UserRec u = plain("dom", "amy", "r-amy");
    u.set(u->cert_dn, "CN=Amy");
    u->blob = tolvtest::blob("bytes");
    EXPECT_EQ(rspi_create_user(h, u.get()), 6u);
    EXPECT_TRUE(exists("dom_amy.QZuser"));
    EXPECT_FALSE(exists("userlist.file"));
    EXPECT_FALSE(exists("certdnlist.file"));
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
    b->blob = tolvtest::blob("old");
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
    // A new user with a disabled user's registry id replaces its entry; the
    // disabled user file stays.
    write("userlist.file", "- -  u-old  SHARED\n");
    write("SHARED.user", "old user file\n");
    ASSERT_EQ(create("dom", "eve", "SHARED", "u-eve"), 0u);
    EXPECT_EQ(userlist(), std::vector<std::string>{"dom eve  u-eve  SHARED"});
    EXPECT_TRUE(exists("SHARED.user"));

    // Modify with a new registry id: the old line goes by its UUID.
    UserRec m;
    m.set(m->domain, "dom").set(m->user_id, "eve").set(m->registry_id, "NEW");
    m->flag_1 = m->account_valid = 2;
    m->number_2 = -1;
    ASSERT_EQ(rspi_modify_user(h, m.get()), 0u);
    EXPECT_EQ(userlist(), std::vector<std::string>{"dom eve  u-eve  NEW"});
}

TEST_F(Users, ModifyMergesGivenFieldsAndReplacesTheCertDnLine) {
    UserRec u = plain("dom", "fred", "r-fred");
    u.set(u->uuid_string, "u-fred").set(u->cert_dn, "CN=Old").set(u->description, "before").set(u->text_2, "keep");
    u->number_1 = 7;
    u->ulong_3 = 9;
    ASSERT_EQ(rspi_create_user(h, u.get()), 0u);
    ASSERT_EQ(create("dom", "gina", "r-gina"), 0u);
    UserRec gina;
    gina.set(gina->domain, "dom").set(gina->user_id, "gina").set(gina->cert_dn, "CN=Gina");
    gina->flag_1 = gina->account_valid = 2;
    gina->number_2 = -1;
    ASSERT_EQ(rspi_modify_user(h, gina.get()), 0u);

    UserRec m;
    m.set(m->domain, "DOM").set(m->user_id, "Fred").set(m->cert_dn, "CN=New").set(m->description, "after");
    m->flag_1 = m->account_valid = 2;
    m->number_2 = -1;
    m->ulong_1 = 4;
    ASSERT_EQ(rspi_modify_user(h, m.get()), 0u);
    EXPECT_STREQ(m->user_id, "fred");
    EXPECT_EQ(read("certdnlist.file"), "dom fred CN=New\ndom gina CN=Gina\n");
    auto lines = tolvtest::lines(read("dom_fred.QZuser"));
    EXPECT_EQ(lines[5], "after");
    EXPECT_EQ(lines[6], "7");
    EXPECT_EQ(lines[7], "u-fred");
    EXPECT_EQ(lines[10], "keep");
    EXPECT_EQ(lines[14], "4");
    EXPECT_EQ(lines[16], "9");

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
    tolvtest::Authn pw("pw");
    EXPECT_EQ(rspi_authenticate_user(h, m.get(), pw.get()), 21u);
    m->account_valid = 1;
    ASSERT_EQ(rspi_modify_user(h, m.get()), 0u);
    EXPECT_EQ(rspi_authenticate_user(h, m.get(), pw.get()), 0u);
}

}  // namespace
