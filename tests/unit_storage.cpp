// White-box tests of the storage primitives: line pieces, entry lists, the
// list rewriter under failures, the cursor, the filter, blobs, login types.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "registry.h"
#include "tolvinternal.h"

using namespace tolv;
using tolvtest::file_exists;
using tolvtest::list_dir;
using tolvtest::read_file;
using tolvtest::TempDir;
using tolvtest::write_file;

namespace {

std::vector<std::string> pieces(std::string_view data, int n) {
    std::vector<std::string> out;
    LineReader r(data, n);
    std::string_view p;
    while (r.next_piece(p)) out.emplace_back(p);
    return out;
}

struct ListHolder {
    rspi_policylist *l = rspi_alloc_policylist();
    ~ListHolder() { rspi_free_policylist(l); }
    std::vector<std::string> items() const {
        std::vector<std::string> v;
        for (auto *i = l->first; i; i = i->next) v.emplace_back(i->data);
        return v;
    }
};

}  // namespace

TEST(LineReader, PiecesFollowTheFixedCapacity) {
    const std::string long_line(300, 'x');
    EXPECT_EQ(pieces(long_line + "\nb\n", 250),
              (std::vector<std::string>{std::string(249, 'x'), std::string(51, 'x') + "\n", "b\n"}));
    // The last line without a newline comes back whole; an empty line is a piece.
    EXPECT_EQ(pieces("a\n\nlast", 250), (std::vector<std::string>{"a\n", "\n", "last"}));
    // A C string reader sees a piece only up to an embedded NUL.
    EXPECT_EQ(pieces(std::string("ab\0cd\nz\n", 8), 250), (std::vector<std::string>{"ab", "z\n"}));

    LineReader r("one\r\ntwo", 1000);
    std::string_view l;
    ASSERT_TRUE(r.next_line(l));
    EXPECT_EQ(l, "one\r");  // a carriage return stays
    ASSERT_TRUE(r.next_line(l));
    EXPECT_EQ(l, "two");
    EXPECT_FALSE(r.next_line(l));
}

TEST(LineReader, ParseLongBehavesLikeStrtol) {
    EXPECT_EQ(parse_long("  42abc"), 42);
    EXPECT_EQ(parse_long("-7"), -7);
    EXPECT_EQ(parse_long("+9"), 9);
    EXPECT_EQ(parse_long("x1"), 0);
    EXPECT_EQ(parse_long(""), 0);
    EXPECT_EQ(static_cast<uint32_t>(parse_long("4294967295")), 4294967295u);
    EXPECT_EQ(parse_long("99999999999999999999999"), LONG_MAX);
    EXPECT_EQ(parse_long("-99999999999999999999999"), LONG_MIN);
}

TEST(RecordReader, MissingLinesMarkTheRecordButReadingGoesOn) {
    RecordReader r("\n12\n");
    r.key();  // empty key line
    uint32_t n = 0;
    r.number(n);
    EXPECT_EQ(n, 12u);
    char *field = nullptr;
    r.text(field);  // missing: field untouched
    EXPECT_EQ(field, nullptr);
    EXPECT_EQ(r.rc(), Rc::Malformed);
}

TEST(FileNames, SanitisingAndNaming) {
    std::string s = "a:b/c\\d";
    ui_validate_filename(s);
    EXPECT_EQ(s, "a-b-c-d");
    EXPECT_EQ(user_file("/r/", "corp", "ann"), "/r/corp_ann.QZuser");
    EXPECT_EQ(rescreds_file("/r/", "corp", "ann", "web:1"), "/r/corp_ann_web-1.QZrescreds");
    EXPECT_EQ(resource_file("/r/", "printer:a"), "/r/printer-a.QZresource");
    EXPECT_EQ(blob_file(group_file("d/", "x", "g")), "d/x_g.QZgroup_blob");
    EXPECT_EQ(my_groups_list("a:b", "c"), "a:b_c.myGroups");  // sanitised on use
    char up[] = "MiXeD";
    ui_tolower(up);
    EXPECT_STREQ(up, "mixed");
}

class EntryList : public ::testing::Test {
protected:
    TempDir dir;
    std::string read(const std::string &name) const { return read_file(dir.path() + name); }
    void add(std::string_view e) { ASSERT_EQ(ui_add_to_entrylist(dir.path(), "x.list", e), Rc::Success); }
    void TearDown() override {
        io::fail_nth_operation(0, 0);
        for (const auto &f : list_dir(dir.path())) EXPECT_EQ(f.find("_T"), std::string::npos) << f;
    }
};

TEST_F(EntryList, AddKeepsOrderOnceAndCreatesMissingList) {
    add("c");
    EXPECT_EQ(read("x.list"), "c\n");
    add("a");
    add("b");
    add("b");
    EXPECT_EQ(read("x.list"), "a\nb\nc\n");
    add("ab");  // a prefix entry goes before the longer entry it begins
    add("abc");
    EXPECT_EQ(read("x.list"), "a\nab\nabc\nb\nc\n");
}

TEST_F(EntryList, ListNameIsSanitised) {
    ASSERT_EQ(ui_add_to_entrylist(dir.path(), "a:b/c", "e"), Rc::Success);
    EXPECT_EQ(read("a-b-c"), "e\n");
}

TEST_F(EntryList, LongLinesAreComparedAndCopiedPieceByPiece) {
    write_file(dir.path() + "x.list", std::string(249, 'a') + std::string(51, 'c') + "\nz\n");
    add("b");
    // "b" sorts after the first 249-byte piece and before its 51-byte tail.
    EXPECT_EQ(read("x.list"), std::string(249, 'a') + "b\n" + std::string(51, 'c') + "\nz\n");
}

TEST_F(EntryList, DuplicatesInTheFileAreAllRemoved) {
    write_file(dir.path() + "x.list", "a\nb\nb\nc\n");
    EXPECT_EQ(ui_remove_from_entrylist(dir.path(), "x.list", "b"), Rc::Success);
    EXPECT_EQ(read("x.list"), "a\nc\n");
    EXPECT_EQ(ui_remove_from_entrylist(dir.path(), "x.list", "q"), Rc::NotInList);
    EXPECT_EQ(read("x.list"), "a\nc\n");
}

TEST_F(EntryList, RemovingTheLastLineRemovesTheList) {
    add("only");
    EXPECT_EQ(ui_remove_from_entrylist(dir.path(), "x.list", "only"), Rc::Success);
    EXPECT_FALSE(file_exists(dir.path() + "x.list"));
    EXPECT_EQ(ui_remove_from_entrylist(dir.path(), "x.list", "only"), Rc::NotInList);
    EXPECT_TRUE(list_dir(dir.path()).empty());
}

TEST_F(EntryList, PurgeDropsEveryLineWithThePrefix) {
    for (auto e : {"a b x", "a bc y", "a c z", "b b"}) add(e);
    EXPECT_EQ(ui_purge_from_entrylist(dir.path(), "x.list", "a b"), Rc::Success);
    EXPECT_EQ(read("x.list"), "a c z\nb b\n");
    EXPECT_EQ(ui_purge_from_entrylist(dir.path(), "x.list", "q"), Rc::NotInList);
    EXPECT_EQ(ui_purge_from_entrylist(dir.path(), "x.list", ""), Rc::Success);
    EXPECT_FALSE(file_exists(dir.path() + "x.list"));
}

TEST_F(EntryList, FailedStepsLeaveTheOldListAndNoTemporaryFile) {
    add("a");
    add("c");
    // Walk every file operation of an add; each failure must leave the old
    // list or the new one, and never a temporary file.
    for (long n = 1;; ++n) {
        io::fail_nth_operation(n, ENOSPC);
        const Rc rc = ui_add_to_entrylist(dir.path(), "x.list", "b");
        const long seen = io::operations_seen();
        io::fail_nth_operation(0, 0);
        const std::string now = read("x.list");
        if (rc == Rc::Success) {
            EXPECT_EQ(now, "a\nb\nc\n");
            if (seen < n) break;  // nothing was left to fail
            ASSERT_EQ(ui_remove_from_entrylist(dir.path(), "x.list", "b"), Rc::Success);
        } else {
            EXPECT_EQ(rc, Rc::FileError);
            EXPECT_EQ(now, "a\nc\n") << "failing operation " << n;
        }
        EXPECT_FALSE(file_exists(dir.path() + "x.list_T"));
        ASSERT_LT(n, 50);
    }
}

TEST_F(EntryList, LoadGivesItemsInFileOrder) {
    ListHolder h;
    h.l->file = rspi_strdup("x.list");
    EXPECT_EQ(ui_get_entrylist(dir.path(), list_ref(h.l)), Rc::Success);  // missing file: empty
    EXPECT_EQ(h.l->count, 0);
    write_file(dir.path() + "x.list", "a\n" + std::string(300, 'q') + "\nlast");
    EXPECT_EQ(ui_get_entrylist(dir.path(), list_ref(h.l)), Rc::Success);
    EXPECT_EQ(h.items(), (std::vector<std::string>{"a", std::string(249, 'q'), std::string(51, 'q'), "last"}));
    EXPECT_EQ(h.l->count, 4);
    EXPECT_EQ(h.l->first->next->prev, h.l->first);
}

TEST_F(EntryList, CursorStateTable) {
    write_file(dir.path() + "x.list", "1\n2\n3\n");
    ListHolder h;
    ASSERT_EQ(list_name_lazy(list_ref(h.l), "x.list"), Rc::Success);
    auto at = [&](Move m) {
        const CursorResult r = cursor_move(dir.path(), list_ref(h.l), m);
        return r.item ? std::string(r.item->data) : "rc" + std::to_string(code(r.rc));
    };
    EXPECT_EQ(at(Move::Next), "1");  // next on a fresh list loads it and starts
    EXPECT_EQ(h.l->count, 3);
    EXPECT_EQ(at(Move::Next), "2");
    EXPECT_EQ(at(Move::Next), "3");
    EXPECT_EQ(at(Move::Next), "rc5");
    EXPECT_EQ(at(Move::Previous), "3");  // past the end, previous is the last
    EXPECT_EQ(at(Move::Next), "rc5");
    EXPECT_EQ(at(Move::Next), "1");  // next after the end starts again
    EXPECT_EQ(at(Move::Previous), "rc5");
    EXPECT_EQ(h.l->current, nullptr);
    EXPECT_EQ(at(Move::Next), "1");
    EXPECT_EQ(at(Move::First), "1");

    ListHolder empty;
    ASSERT_EQ(list_name_lazy(list_ref(empty.l), "missing.list"), Rc::Success);
    EXPECT_EQ(list_count(dir.path(), list_ref(empty.l)), 0);
    EXPECT_EQ(at(Move::First), "1");
    EXPECT_EQ(cursor_move(dir.path(), list_ref(empty.l), Move::First).rc, Rc::NoMoreEntries);
}

TEST(Filter, WildcardsAndCase) {
    for (const char *f : std::initializer_list<const char *>{"ab*", "*yz", "ab*yz", "*mid*", "", "*", "AB", nullptr})
        EXPECT_EQ(ui_compare_filter(f, "ABmidYZ"), 1) << (f ? f : "null");
    for (const char *f : {"a*b*", "*a*b", "abc*", "x*", "*q*", "abmidyz1"})
        EXPECT_EQ(ui_compare_filter(f, "abmidyz"), 0) << f;
    EXPECT_EQ(ui_compare_filter("abc*", "ab"), 0);  // name shorter than the prefix
    EXPECT_EQ(ui_compare_filter("a*a", "a"), 0);    // prefix and suffix may not overlap
    EXPECT_EQ(ui_compare_filter("**", "anything"), 1);
    EXPECT_EQ(ui_compare_filter("*a*b*", "xa*by"), 1);  // an inner '*' is literal
    const std::string longname(5000, 'n');
    EXPECT_EQ(ui_compare_filter((std::string(600, 'n') + "*").c_str(), longname.c_str()), 1);
}

TEST(Blobs, ZeroLengthShortAndRoundTrip) {
    TempDir dir;
    const std::string p = dir.path() + "b_blob";
    rspi_blob *b = rspi_alloc_blob(3);
    std::memcpy(b->data, "x\0y", 3);
    EXPECT_EQ(ui_write_blob(p, b), Rc::Success);
    EXPECT_EQ(read_file(p), std::string("x\0y", 3));
    rspi_blob *back = rspi_alloc_blob(3);
    EXPECT_EQ(ui_read_blob(p, back), Rc::Success);
    EXPECT_EQ(std::memcmp(back->data, "x\0y", 3), 0);
    rspi_blob *more = rspi_alloc_blob(4);
    EXPECT_EQ(ui_read_blob(p, more), Rc::FileError);  // file shorter than the length
    rspi_blob *none = rspi_alloc_blob(0);
    EXPECT_EQ(ui_write_blob(p, none), Rc::Success);
    EXPECT_FALSE(file_exists(p));  // a zero-length blob leaves no file
    EXPECT_EQ(ui_read_blob(p, back), Rc::FileError);
    for (auto *x : {b, back, more, none}) rspi_free_blob(x);
}

TEST(LoginTypes, JoinAndSplit) {
    rspi_logintypes *t = rspi_alloc_logintypes(3);
    t->types[0] = rspi_strdup("a");
    t->types[1] = rspi_strdup("b");
    t->types[2] = rspi_strdup("c");
    EXPECT_EQ(ui_logintypes_string(t, ";", 250), "a;b;c");
    // A first type that does not fit is skipped, and the line starts with ';'.
    rspi_free(t->types[0]);
    t->types[0] = rspi_strdup(std::string(300, 'x').c_str());
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
    rspi_logintypes *one = ui_logintypes_data("single", ";");
    ASSERT_EQ(one->count, 1);
    EXPECT_STREQ(one->types[0], "single");
    rspi_free_logintypes(one);
    EXPECT_EQ(ui_logintypes_data("", ";"), nullptr);
}

TEST(Uuids, CreateFillsBothHalvesAndValueParses) {
    unsigned char uuid[16] = {};
    char *text = rspi_strdup("old");
    ui_uuid_create(uuid, text);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::strlen(text), 36u);
    unsigned char back[16] = {};
    ui_uuid_value(text, back);
    EXPECT_EQ(std::memcmp(uuid, back, 16), 0);
    rspi_free(text);
}
