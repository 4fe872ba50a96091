// Resource credentials through the exported interface: the credential file
// and its list on disk, create/get/modify/delete, and the credential cursor.
#include <string>
#include <vector>

#include "records.h"

namespace {

using namespace tolvtest;
using List = CredsList;

Creds creds(const char *name, const char *secret = nullptr) {
    Creds c;
    c->name = rspi_strdup(name);
    c->state = 2;
    if (secret) c->password = password(secret);
    return c;
}

class Rescreds : public tolvtest::Registry {
protected:
    // ui_validate_user only needs the user file to open.
    void seed_user(const std::string &domain, const std::string &id) {
        write(domain + "_" + id + ".QZuser", id + "\n" + domain + "\n");
    }
    void SetUp() override {
        Registry::SetUp();
        seed_user("corp", "ann");
    }
    uint32_t create(const char *name, const char *secret = nullptr) {
        auto u = user("corp", "ann");
        auto c = creds(name, secret);
        return rspi_create_rescreds(h, u.get(), c.get());
    }
    List list_of(const char *domain, const char *id) {
        List l;
        auto u = user(domain, id);
        EXPECT_EQ(rspi_get_rescredslist(h, u.get(), l.get()), 0u);
        return l;
    }
    std::string line(const std::string &file, std::size_t n) const { return lines(read(file)).at(n - 1); }
    std::vector<std::string> rescreds_files() const {
        std::vector<std::string> out;
        for (const auto &f : files())
            if (f.find(".QZrescreds") != std::string::npos || f.find(".myResCreds") != std::string::npos)
                out.push_back(f);
        return out;
    }
};

}  // namespace

TEST_F(Rescreds, CreateWritesTheCredentialFileAndTheUsersList) {
    auto u = user("Corp", "Ann");
    auto c = creds("Web:1", "secret");
    c->description = rspi_strdup("the web");
    c->attribute = 7;
    c->text_1 = rspi_strdup("t1");
    ASSERT_EQ(rspi_create_rescreds(h, u.get(), c.get()), 0u);

    EXPECT_STREQ(u->domain, "corp");
    EXPECT_STREQ(u->user_id, "ann");
    EXPECT_STREQ(c->name, "web:1");
    EXPECT_EQ(c->state, 1u);
    ASSERT_NE(c->uuid_string, nullptr);
    EXPECT_EQ(std::strlen(c->uuid_string), 36u);
    EXPECT_EQ(read("corp_ann_web-1.QZrescreds"),
              std::string("web:1\n1\nthe web\n7\n") + c->uuid_string + "\nt1\nsecret\n");
    EXPECT_EQ(read("corp_ann.myResCreds"), "corp ann web:1\n");
    EXPECT_FALSE(exists("corp_ann_web-1.QZrescreds_blob"));

    // Null texts are empty lines; a second create of the same name is refused.
    auto bare = creds("db");
    bare->state = 0;
    ASSERT_EQ(rspi_create_rescreds(h, u.get(), bare.get()), 0u);
    EXPECT_EQ(read("corp_ann_db.QZrescreds"), std::string("db\n0\n\n0\n") + bare->uuid_string + "\n\n\n");
    EXPECT_EQ(read("corp_ann.myResCreds"), "corp ann db\ncorp ann web:1\n");
    EXPECT_EQ(create("WEB:1", "other"), 45u);
    EXPECT_NE(read("corp_ann_web-1.QZrescreds").find("secret"), std::string::npos);
}

TEST_F(Rescreds, CreateRefusesMissingUsersAndUnstorableTexts) {
    auto nobody = user("corp", "bob");
    auto c = creds("web", "pw");
    EXPECT_EQ(rspi_create_rescreds(h, nobody.get(), c.get()), 30u);  // no user file
    EXPECT_EQ(rspi_create_rescreds(h, nullptr, c.get()), 30u);
    auto ann = user("corp", "ann");

    // A text that cannot survive the line format is refused, unless it is not stored anyway.
    for (const std::string &text : {std::string("a\nb"), std::string("a\0b", 3)}) {
        auto r = creds("web");
        r->password = password(text);
        EXPECT_EQ(rspi_create_rescreds(h, ann.get(), r.get()), 35u);
        EXPECT_EQ(r->state, 2u);  // the record is left alone too
    }
    auto other_type = creds("web");
    other_type->password = password("a\nb", 2);
    EXPECT_EQ(rspi_create_rescreds(h, ann.get(), other_type.get()), 0u);
    EXPECT_EQ(line("corp_ann_web.QZrescreds", 7), "");
}

TEST_F(Rescreds, CredentialTextOf99BytesIsKeptAnd100IsNot) {
    const std::string t99(99, 'p'), t100(100, 'p');
    ASSERT_EQ(create("r99", t99.c_str()), 0u);
    ASSERT_EQ(create("r100", t100.c_str()), 0u);
    EXPECT_EQ(line("corp_ann_r99.QZrescreds", 7), t99);
    EXPECT_EQ(line("corp_ann_r100.QZrescreds", 7), "");

    auto u = user("corp", "ann");
    auto got = creds("r99");
    ASSERT_EQ(rspi_get_rescreds(h, u.get(), got.get()), 0u);
    ASSERT_NE(got->password, nullptr);
    EXPECT_EQ(got->password->type, 1u);
    EXPECT_EQ(text_of(got->password), t99);
    auto empty = creds("r100");
    ASSERT_EQ(rspi_get_rescreds(h, u.get(), empty.get()), 0u);
    ASSERT_NE(empty->password, nullptr);
    EXPECT_EQ(empty->password->type, 1u);
    EXPECT_EQ(empty->password->length, 0u);
}

TEST_F(Rescreds, GetRoundTripsEveryFieldWithTheBlob) {
    auto u = user("corp", "ann");
    auto c = creds("db", "pw");
    c->attribute = 4000000000u;  // above the largest signed value
    c->description = rspi_strdup("desc");
    c->text_1 = rspi_strdup("text");
    c->blob = blob(std::string("\0\n\xff", 3));
    ASSERT_EQ(rspi_create_rescreds(h, u.get(), c.get()), 0u);
    EXPECT_EQ(line("corp_ann_db.QZrescreds", 8), "3");
    EXPECT_EQ(read("corp_ann_db.QZrescreds_blob"), std::string("\0\n\xff", 3));

    auto got = creds("DB");
    got->description = rspi_strdup("stale");
    got->blob = blob("old");
    ASSERT_EQ(rspi_get_rescreds(h, u.get(), got.get()), 0u);
    EXPECT_STREQ(got->name, "db");
    EXPECT_EQ(got->state, 1u);
    EXPECT_STREQ(got->description, "desc");
    EXPECT_EQ(got->attribute, 4000000000u);
    EXPECT_STREQ(got->uuid_string, c->uuid_string);
    EXPECT_EQ(std::memcmp(got->uuid, c->uuid, 16), 0);
    EXPECT_STREQ(got->text_1, "text");
    EXPECT_EQ(text_of(got->password), "pw");
    EXPECT_EQ(bytes(got->blob), std::string("\0\n\xff", 3));

    // The blob file is gone: 6. No blob line: no blob, even if a file is left over.
    write("corp_ann_db.QZrescreds_blob", "x");
    EXPECT_EQ(rspi_get_rescreds(h, u.get(), got.get()), 6u);
    EXPECT_EQ(got->blob, nullptr);
    write("corp_ann_db.QZrescreds", "db\n1\nd\n0\n\nt\npw\n");
    EXPECT_EQ(rspi_get_rescreds(h, u.get(), got.get()), 0u);
    EXPECT_EQ(got->blob, nullptr);

    // A short file fills what it has and keeps the old password; line 1 must name the credential.
    write("corp_ann_db.QZrescreds", "db\n0\nshort\n");
    EXPECT_EQ(rspi_get_rescreds(h, u.get(), got.get()), 9u);
    EXPECT_STREQ(got->description, "short");
    EXPECT_EQ(text_of(got->password), "pw");
    write("corp_ann_db.QZrescreds", "other\n1\nd\n0\n\nt\nnew\n");
    EXPECT_EQ(rspi_get_rescreds(h, u.get(), got.get()), 9u);
    EXPECT_EQ(text_of(got->password), "new");
    auto missing = creds("ftp");
    EXPECT_EQ(rspi_get_rescreds(h, u.get(), missing.get()), 35u);
    EXPECT_EQ(rspi_get_rescreds(h, u.get(), nullptr), 35u);
}

TEST_F(Rescreds, SharedFileNameIsCaughtOnLineOne) {
    seed_user("a", "b_c");
    seed_user("a", "b");
    auto first = user("a", "b_c");
    auto second = user("a", "b");
    auto d = creds("d", "x");
    ASSERT_EQ(rspi_create_rescreds(h, first.get(), d.get()), 0u);
    auto c_d = creds("c_d", "y");
    EXPECT_EQ(rspi_create_rescreds(h, second.get(), c_d.get()), 45u);
    EXPECT_FALSE(exists("a_b.myResCreds"));

    auto got = creds("c_d");
    EXPECT_EQ(rspi_get_rescreds(h, second.get(), got.get()), 9u);
    EXPECT_EQ(text_of(got->password), "x");
    // A readable blob settles the result of the read.
    auto with_blob = creds("d");
    with_blob->blob = blob("b");
    ASSERT_EQ(rspi_modify_rescreds(h, first.get(), with_blob.get()), 0u);
    EXPECT_EQ(rspi_get_rescreds(h, second.get(), got.get()), 0u);
}

TEST_F(Rescreds, ModifyOverlaysOnlyTheGivenFields) {
    auto u = user("corp", "ann");
    auto c = creds("web", "pw");
    c->description = rspi_strdup("d1");
    c->attribute = 3;
    c->text_1 = rspi_strdup("t1");
    ASSERT_EQ(rspi_create_rescreds(h, u.get(), c.get()), 0u);
    const std::string uuid = c->uuid_string;

    auto change = creds("WEB");
    change->description = rspi_strdup("d2");
    char *const caller_description = change->description;
    ASSERT_EQ(rspi_modify_rescreds(h, u.get(), change.get()), 0u);
    EXPECT_EQ(read("corp_ann_web.QZrescreds"), "web\n1\nd2\n3\n" + uuid + "\nt1\npw\n");
    EXPECT_EQ(change->description, caller_description);  // the caller's string is not taken
    EXPECT_EQ(change->uuid_string, nullptr);

    auto more = creds("web", "pw2");
    more->state = 0;
    more->attribute = 9;
    more->text_1 = rspi_strdup("t2");
    more->blob = blob("bb");
    ASSERT_EQ(rspi_modify_rescreds(h, u.get(), more.get()), 0u);
    EXPECT_EQ(read("corp_ann_web.QZrescreds"), "web\n0\nd2\n9\n" + uuid + "\nt2\npw2\n2\n");
    EXPECT_EQ(read("corp_ann_web.QZrescreds_blob"), "bb");
    EXPECT_EQ(read("corp_ann.myResCreds"), "corp ann web\n");

    // Nothing is written when the credential is missing, damaged or the text is unusable.
    auto missing = creds("ftp", "x");
    EXPECT_EQ(rspi_modify_rescreds(h, u.get(), missing.get()), 35u);
    EXPECT_EQ(rspi_modify_rescreds(h, u.get(), nullptr), 35u);
    auto bad = creds("web", "a\nb");
    EXPECT_EQ(rspi_modify_rescreds(h, u.get(), bad.get()), 35u);
    write("corp_ann_web.QZrescreds", "web\n1\n");
    EXPECT_EQ(rspi_modify_rescreds(h, u.get(), change.get()), 9u);
    EXPECT_EQ(read("corp_ann_web.QZrescreds"), "web\n1\n");
    EXPECT_FALSE(exists("corp_ann_ftp.QZrescreds"));
}

TEST_F(Rescreds, DeleteRemovesFileBlobAndListLine) {
    auto u = user("corp", "ann");
    auto c = creds("web", "pw");
    c->blob = blob("b");
    ASSERT_EQ(rspi_create_rescreds(h, u.get(), c.get()), 0u);
    ASSERT_EQ(create("db"), 0u);

    auto del = creds("WEB");
    EXPECT_EQ(rspi_delete_rescreds(h, u.get(), del.get()), 0u);
    EXPECT_EQ(read("corp_ann.myResCreds"), "corp ann db\n");
    EXPECT_FALSE(exists("corp_ann_web.QZrescreds_blob"));
    EXPECT_EQ(rspi_delete_rescreds(h, u.get(), del.get()), 35u);
    EXPECT_EQ(rspi_delete_rescreds(h, nullptr, del.get()), 35u);

    // A file without its list line: removed, and 24 tells the list was short.
    write("corp_ann_lost.QZrescreds", "lost\n");
    auto lost = creds("lost");
    EXPECT_EQ(rspi_delete_rescreds(h, u.get(), lost.get()), 24u);
    EXPECT_FALSE(exists("corp_ann_lost.QZrescreds"));

    auto db = creds("db");
    EXPECT_EQ(rspi_delete_rescreds(h, u.get(), db.get()), 0u);
    EXPECT_TRUE(rescreds_files().empty());
}

TEST_F(Rescreds, WalkWithNextAloneChangesOnlyTheName) {
    for (const char *n : {"web", "app", "db"}) ASSERT_EQ(create(n, "pw"), 0u);
    auto nobody = user("corp", "bob");
    List untouched;
    EXPECT_EQ(rspi_get_rescredslist(h, nobody.get(), untouched.get()), 30u);
    EXPECT_EQ(untouched->file, nullptr);
    EXPECT_EQ(untouched->count, 0);

    auto list = list_of("Corp", "Ann");
    EXPECT_STREQ(list->file, "corp_ann.myResCreds");
    EXPECT_EQ(list->count, -1);
    auto c = creds("x");
    c->description = rspi_strdup("keep");
    std::vector<std::string> seen;
    uint32_t rc;
    while ((rc = rspi_next_rescreds(h, list.get(), c.get(), 0)) == 0) seen.emplace_back(c->name);
    EXPECT_EQ(rc, 5u);
    EXPECT_EQ(seen, (std::vector<std::string>{"app", "db", "web"}));
    EXPECT_STREQ(c->description, "keep");
    EXPECT_EQ(c->password, nullptr);
    EXPECT_EQ(rspi_rescredslist_count(h, list.get()), 3);

    // first, previous before the first, then next starts over; fetch reads it all.
    ASSERT_EQ(rspi_first_rescreds(h, list.get(), c.get(), 1), 0u);
    EXPECT_STREQ(c->name, "app");
    EXPECT_EQ(text_of(c->password), "pw");
    EXPECT_EQ(rspi_previous_rescreds(h, list.get(), c.get(), 0), 5u);
    ASSERT_EQ(rspi_next_rescreds(h, list.get(), c.get(), 0), 0u);
    ASSERT_EQ(rspi_next_rescreds(h, list.get(), c.get(), 0), 0u);
    ASSERT_EQ(rspi_previous_rescreds(h, list.get(), c.get(), 0), 0u);
    EXPECT_STREQ(c->name, "app");

    EXPECT_EQ(rspi_first_rescreds(h, nullptr, c.get(), 0), 5u);
    EXPECT_EQ(rspi_next_rescreds(h, list.get(), nullptr, 0), 35u);
    seed_user("corp", "cy");
    auto empty = list_of("corp", "cy");
    EXPECT_EQ(rspi_first_rescreds(h, empty.get(), c.get(), 0), 5u);
}

TEST_F(Rescreds, DeletingEveryCredentialDuringAWalk) {
    for (const char *n : {"c", "a", "e", "b", "d"}) ASSERT_EQ(create(n), 0u);
    auto u = user("corp", "ann");
    auto list = list_of("corp", "ann");
    auto c = creds("x");
    std::vector<std::string> visited;
    uint32_t rc;
    while ((rc = rspi_next_rescreds(h, list.get(), c.get(), 0)) == 0) {
        visited.emplace_back(c->name);
        ASSERT_EQ(rspi_delete_rescreds(h, u.get(), c.get()), 0u);
    }
    EXPECT_EQ(rc, 5u);
    EXPECT_EQ(visited, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_TRUE(rescreds_files().empty());
}

TEST_F(Rescreds, ListLineWithoutTwoBlanksIsMalformedAfterTheMove) {
    write("corp_ann.myResCreds", "corp ann a\ncorp ann\ncorp ann c\n");
    auto list = list_of("corp", "ann");
    auto c = creds("x");
    ASSERT_EQ(rspi_next_rescreds(h, list.get(), c.get(), 0), 0u);
    EXPECT_STREQ(c->name, "a");
    EXPECT_EQ(rspi_next_rescreds(h, list.get(), c.get(), 0), 9u);
    EXPECT_STREQ(c->name, "a");
    ASSERT_EQ(rspi_next_rescreds(h, list.get(), c.get(), 0), 0u);
    EXPECT_STREQ(c->name, "c");
    // fetch follows the line's own user and domain; a missing file is 35.
    EXPECT_EQ(rspi_first_rescreds(h, list.get(), c.get(), 1), 35u);
}

TEST_F(Rescreds, DiagnosticsUseTheListNamesForTheCursor) {
    auto u = user("corp", "ann");
    Trace trace;
    auto c = creds("web", "pw");
    ASSERT_EQ(rspi_create_rescreds(h, u.get(), c.get()), 0u);
    ASSERT_EQ(rspi_modify_rescreds(h, u.get(), c.get()), 0u);
    auto list = list_of("corp", "ann");
    EXPECT_EQ(rspi_rescredslist_count(h, list.get()), 1);
    EXPECT_EQ(rspi_first_rescreds(h, list.get(), c.get(), 1), 0u);
    EXPECT_EQ(rspi_previous_rescreds(h, list.get(), c.get(), 0), 5u);
    // A failed list load ends only first with an exit line.
    for (auto *move : {rspi_first_rescreds, rspi_next_rescreds, rspi_previous_rescreds}) {
        auto fresh = list_of("corp", "ann");
        rspiutil_fail_nth_alloc(1);
        EXPECT_EQ(move(h, fresh.get(), c.get(), 0), 3u);
        rspiutil_fail_nth_alloc(0);
    }
    EXPECT_EQ(rspi_delete_rescreds(h, u.get(), c.get()), 0u);
    const std::string listed = "rspi_get_rescredslist invoked\nrspi_get_rescredslist rc = 0\n";
    EXPECT_EQ(trace.take(),
              "rspi_create_rescreds invoked\nrspi_create_rescreds rc = 0\n"
              "rspi_modify_rescreds invoked\nrspi_get_rescreds invoked\nrspi_get_rescreds rc = 0\n"
              "rspi_modify_rescreds rc = 0\n" +
                  listed + "rspi_rescredslist_count invoked\n"
                  "rspi_first_rescredslist invoked\nrspi_get_rescreds invoked\nrspi_get_rescreds rc = 0\n"
                  "rspi_first_rescredslist rc = 0\n"
                  "rspi_previous_rescredslist invoked\nrspi_previous_rescredslist rc = 5\n" +
                  listed + "rspi_first_rescredslist invoked\nrspi_first_rescredslist rc = 3\n" + listed +
                  "rspi_next_rescredslist invoked\n" + listed + "rspi_previous_rescredslist invoked\n"
                  "rspi_delete_rescreds invoked\nrspi_delete_rescreds rc = 0\n");
}
