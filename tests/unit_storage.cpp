// White-box tests of the storage primitives: number parsing, entry lists, the
// shared cursor, the filter's edges, login types, the user-list writers and
// the split of a credential-list line.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "records.h"
#include "tolvinternal.h"

using namespace tolv;
using tolvtest::file_exists;
using tolvtest::read_file;
using tolvtest::TempDir;
using tolvtest::write_file;

namespace {

struct ListHolder {
    rspi_policylist *l = rspi_alloc_policylist();
    ~ListHolder() { rspi_free_policylist(l); }
    std::vector<std::string> items() const {
        std::vector<std::string> v;
        for (auto *i = l->first; i; i = i->next) v.emplace_back(i->data);
        return v;
    }
};

class EntryList : public ::testing::Test {
protected:
    TempDir dir;
    std::string read() const { return read_file(dir.path() + "x.list"); }
    void write(const std::string &text) const { write_file(dir.path() + "x.list", text); }
    Rc add(std::string_view e) { return ui_add_to_entrylist(dir.path(), "x.list", e); }
    Rc remove(std::string_view e) { return ui_remove_from_entrylist(dir.path(), "x.list", e); }
};

class UserListWriters : public ::testing::Test {
protected:
    tolvtest::User rec(const char *domain, const char *id, const char *uuid, const char *rgy) {
        tolvtest::User u = tolvtest::user(domain, id);
        u.set(u->uuid_string, uuid).set(u->registry_id, rgy);
        return u;
    }
    std::string list() const { return read_file(dir_.path() + "userlist.file"); }
    void set_list(const std::string &s) const { write_file(dir_.path() + "userlist.file", s); }
    std::string_view dir() const { return dir_.path(); }
    TempDir dir_;
};

}  // namespace

TEST(ParseLong, BehavesLikeStrtol) {
    EXPECT_EQ(parse_long("  42abc"), 42);
    EXPECT_EQ(parse_long("-7"), -7);
    EXPECT_EQ(parse_long("+9"), 9);
    EXPECT_EQ(parse_long("x1"), 0);
    EXPECT_EQ(parse_long(""), 0);
    EXPECT_EQ(static_cast<uint32_t>(parse_long("4294967295")), 4294967295u);
    EXPECT_EQ(parse_long("99999999999999999999999"), LONG_MAX);
    EXPECT_EQ(parse_long("-99999999999999999999999"), LONG_MIN);
}

TEST_F(EntryList, AddKeepsOrderOnceAndComparesLongLinesPieceByPiece) {
    for (const char *e : {"c", "a", "b", "b", "abc", "ab"}) ASSERT_EQ(add(e), Rc::Success) << e;
    EXPECT_EQ(read(), "a\nab\nabc\nb\nc\n");
    // "b" sorts after the first 249-byte piece and before its 51-byte tail.
    write(std::string(249, 'a') + std::string(51, 'c') + "\nz\n");
    ASSERT_EQ(add("b"), Rc::Success);
    EXPECT_EQ(read(), std::string(249, 'a') + "b\n" + std::string(51, 'c') + "\nz\n");
    // The list name is sanitised.
    ASSERT_EQ(ui_add_to_entrylist(dir.path(), "a:b/c", "e"), Rc::Success);
    EXPECT_EQ(read_file(dir.path() + "a-b-c"), "e\n");
}

TEST_F(EntryList, RemoveDropsEveryCopyAndTheEmptyList) {
    write("a\nb\nb\nc\n");
    EXPECT_EQ(remove("b"), Rc::Success);
    EXPECT_EQ(read(), "a\nc\n");
    EXPECT_EQ(remove("q"), Rc::NotInList);
    EXPECT_EQ(read(), "a\nc\n");
    EXPECT_EQ(remove("a"), Rc::Success);
    EXPECT_EQ(remove("c"), Rc::Success);
    EXPECT_FALSE(file_exists(dir.path() + "x.list"));
    EXPECT_EQ(remove("c"), Rc::NotInList);
    EXPECT_TRUE(tolvtest::list_dir(dir.path()).empty());
}

TEST_F(EntryList, LoadGivesItemsInFileOrder) {
    ListHolder h;
    h.l->file = rspi_strdup("x.list");
    EXPECT_EQ(ui_get_entrylist(dir.path(), list_ref(h.l)), Rc::Success);  // missing file: empty
    EXPECT_EQ(h.l->count, 0);
    write("a\n" + std::string(300, 'q') + "\nlast");
    EXPECT_EQ(ui_get_entrylist(dir.path(), list_ref(h.l)), Rc::Success);
    EXPECT_EQ(h.items(), (std::vector<std::string>{"a", std::string(249, 'q'), std::string(51, 'q'), "last"}));
    EXPECT_EQ(h.l->count, 4);
    EXPECT_EQ(h.l->first->next->prev, h.l->first);
}

TEST_F(EntryList, CursorStateTable) {
    write("1\n2\n3\n");
    ListHolder h;
    ASSERT_EQ(list_name_lazy(list_ref(h.l), "x.list"), Rc::Success);
    auto at = [&](Move m) {
        const CursorResult r = cursor_move(dir.path(), list_ref(h.l), m);
        return r.item ? std::string(r.item->data) : "rc" + std::to_string(code(r.rc));
    };
    EXPECT_EQ(at(Move::Previous), "rc5");  // previous on a fresh list loads it and stays fresh
    EXPECT_EQ(at(Move::Next), "1");        // next on a fresh list starts
    EXPECT_EQ(h.l->count, 3);
    EXPECT_EQ(at(Move::Next), "2");
    EXPECT_EQ(at(Move::Next), "3");
    EXPECT_EQ(at(Move::Next), "rc5");
    EXPECT_EQ(at(Move::Previous), "3");  // past the end, previous is the last
    EXPECT_EQ(at(Move::Next), "rc5");
    EXPECT_EQ(at(Move::Next), "1");  // next after the end starts again
    EXPECT_EQ(at(Move::Next), "2");
    EXPECT_EQ(at(Move::Previous), "1");
    EXPECT_EQ(at(Move::Previous), "rc5");
    EXPECT_EQ(h.l->current, nullptr);
    EXPECT_EQ(at(Move::Next), "1");
    EXPECT_EQ(at(Move::First), "1");

    ListHolder empty;
    ASSERT_EQ(list_name_lazy(list_ref(empty.l), "missing.list"), Rc::Success);
    EXPECT_EQ(list_count(dir.path(), list_ref(empty.l)), 0);
    EXPECT_EQ(cursor_move(dir.path(), list_ref(empty.l), Move::First).rc, Rc::NoMoreEntries);
}

TEST(Filter, NullMatchesEverythingAndLongTextsCompareWhole) {
    EXPECT_EQ(ui_compare_filter(nullptr, "anything"), 1);
    const std::string longname(5000, 'n');
    EXPECT_EQ(ui_compare_filter((std::string(600, 'n') + "*").c_str(), longname.c_str()), 1);
    EXPECT_EQ(ui_compare_filter(("*" + std::string(600, 'n') + "x").c_str(), longname.c_str()), 0);
}

TEST(LoginTypes, JoinAndSplit) {
    rspi_logintypes *t = rspi_alloc_logintypes(3);
    t->types[0] = rspi_strdup(std::string(300, 'x').c_str());
    t->types[1] = rspi_strdup("b");
    t->types[2] = rspi_strdup("c");
    // A type that does not fit is skipped, and the line starts with ';'.
    EXPECT_EQ(ui_logintypes_string(t, ";", 250), ";b;c");
    EXPECT_EQ(ui_logintypes_string(t, ";", 5), ";b");  // never more than size-1 bytes
    EXPECT_EQ(ui_logintypes_string(nullptr, ";", 250), "");
    rspi_free_logintypes(t);

    rspi_logintypes *s = ui_logintypes_data("a;;b", ";");
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->count, 3);
    EXPECT_STREQ(s->types[0], "a");
    EXPECT_STREQ(s->types[1], "");
    EXPECT_STREQ(s->types[2], "b");
    rspi_free_logintypes(s);
    EXPECT_EQ(ui_logintypes_data("", ";"), nullptr);
}

TEST_F(UserListWriters, DisableTouchesOnlyTheExactNamePart) {
    // Only a line without a double blank goes; the rest, a last line without
    // its newline included, is written back as it was.
    set_list("dom bob  u-bob  r-bob\ndom bobby  u-bobby  r-bobby\nbroken line\ndom x  one double blank\n"
             "dom zoe  u-zoe  r-zoe");
    tolvtest::User u = rec("DOM", "Bobby", "u-bobby", "r-bobby");
    ASSERT_EQ(ui_disable_in_userlist(dir(), u.get()), Rc::Success);
    EXPECT_STREQ(u->user_id, "bobby");
    EXPECT_EQ(list(), "dom bob  u-bob  r-bob\n- -  u-bobby  r-bobby\ndom x  one double blank\ndom zoe  u-zoe  r-zoe");
}

TEST_F(UserListWriters, RemoveDropsTheLineAndAbsentUsersChangeNothing) {
    set_list("dom bob  u-bob  r-bob\ndom carol  u-c  r-c\n");
    tolvtest::User carol = rec("dom", "carol", "u-c", "r-c");
    ASSERT_EQ(ui_remove_from_userlist(dir(), carol.get()), Rc::Success);
    EXPECT_EQ(list(), "dom bob  u-bob  r-bob\n");
    EXPECT_EQ(ui_remove_from_userlist(dir(), carol.get()), Rc::Success);
    EXPECT_EQ(ui_disable_in_userlist(dir(), carol.get()), Rc::Success);
    EXPECT_EQ(list(), "dom bob  u-bob  r-bob\n");
    tolvtest::User nameless;
    EXPECT_EQ(ui_remove_from_userlist(dir(), nameless.get()), Rc::InvalidUser);
}

TEST_F(UserListWriters, AddIntoAMissingListAndReplaceByUuid) {
    tolvtest::User a = rec("dom", "amy", "u-amy", "r-amy");
    ASSERT_EQ(ui_add_to_userlist(dir(), a.get()), Rc::Success);
    EXPECT_EQ(list(), "dom amy  u-amy  r-amy\n");
    // The same UUID under another name: the old line goes, the new one is placed.
    tolvtest::User b = rec("dom", "zed", "u-amy", "r-other");
    ASSERT_EQ(ui_add_to_userlist(dir(), b.get()), Rc::Success);
    EXPECT_EQ(list(), "dom zed  u-amy  r-other\n");
    tolvtest::User no_uuid = rec("dom", "x", nullptr, "r");
    EXPECT_EQ(ui_add_to_userlist(dir(), no_uuid.get()), Rc::InvalidUser);
}

TEST(RescredsStore, ListLinesSplitAtTheFirstTwoBlanks) {
    TempDir dir;
    tolvtest::Creds creds;
    creds.set(creds->description, "kept");
    ASSERT_EQ(ui_get_rescredsentry(dir.path(), creds.get(), "corp ann web site", 0), Rc::Success);
    EXPECT_STREQ(creds->name, "web site");
    EXPECT_STREQ(creds->description, "kept");
    for (const char *bad : {"corp", "corp ann", ""})
        EXPECT_EQ(ui_get_rescredsentry(dir.path(), creds.get(), bad, 0), Rc::Malformed) << bad;
    EXPECT_STREQ(creds->name, "web site");
    EXPECT_EQ(ui_get_rescredsentry(dir.path(), nullptr, "a b c", 0), Rc::InvalidRescreds);
}
