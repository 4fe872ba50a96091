// User and group enumeration through the exported interface. The user list
// and the group list share their line format, modes, filters, appended names
// and cursor, so both run the same steps; the lists attached to a user or a
// group (its groups, its members) follow.
#include <string>

#include "records.h"

namespace {

using namespace tolvtest;
using Entries = std::vector<std::pair<uint32_t, std::string>>;

template <class R, class RecT, class L, class ListT>
struct Index {
    using Rec = RecT;
    using List = ListT;
    const char *label, *file;
    uint32_t invalid;
    char *R::*id;
    uint32_t (*get_list)(char **, L *, uint32_t, const char *, const char *, const char *);
    uint32_t (*add)(char **, L *, char **, int32_t);
    int32_t (*count)(char **, L *);
    uint32_t (*first)(char **, L *, R *, int32_t), (*next)(char **, L *, R *, int32_t),
        (*previous)(char **, L *, R *, int32_t);
    // A record file of "corp <id>" with registry id rid and the given description.
    std::string (*record_file)(const std::string &id, const std::string &rid, const std::string &description);
};

const Index<rspi_user, User, rspi_userlist, UserList> kUsers{
    "users", "userlist.file", 30, &rspi_user::user_id, rspi_get_userlist, rspi_userlist_add_user,
    rspi_userlist_count, rspi_first_user, rspi_next_user, rspi_previous_user,
    [](const std::string &id, const std::string &rid, const std::string &description) {
        return id + "\ncorp\n0\n1\npw\n" + description + "\n0\nU-" + id + "\n\n\n\n\n" + rid + "\n0\n0\n0\n0\n\n\n\n";
    }};
const Index<rspi_group, Group, rspi_grouplist, GroupList> kGroups{
    "groups", "grouplist.file", 31, &rspi_group::group_id, rspi_get_grouplist, rspi_grouplist_add_group,
    rspi_grouplist_count, rspi_first_group, rspi_next_group, rspi_previous_group,
    [](const std::string &id, const std::string &rid, const std::string &description) {
        return id + "\ncorp\n1\n" + description + "\n0\nU-" + id + "\n" + rid + "\n";
    }};

class Enumeration : public Registry {
protected:
    // One enabled and one disabled entry.
    template <class I>
    void two_entries(const I &ix) {
        write(ix.file, "corp ann  U-1  RID-A\n- -  U-2  RID-B\n");
    }
    template <class I>
    Entries list(const I &ix, uint32_t mode, const char *id, const char *domain, const char *rid,
                 uint32_t expect = 0) {
        typename I::List l;
        EXPECT_EQ(ix.get_list(h, l.get(), mode, id, domain, rid), expect);
        EXPECT_EQ(l->kind, mode);
        EXPECT_EQ(l->count, static_cast<int32_t>(entries(l.get()).size()));
        return entries(l.get());
    }

    template <class I>
    void modes_and_filters(const I &ix) {
        SCOPED_TRACE(ix.label);
        typename I::List missing;
        missing->count = -1;
        EXPECT_EQ(ix.get_list(h, missing.get(), 1, nullptr, nullptr, nullptr), 0u);
        EXPECT_EQ(missing->count, 0);
        EXPECT_EQ(missing->first, nullptr);
        EXPECT_EQ(ix.get_list(h, nullptr, 0, nullptr, nullptr, nullptr), ix.invalid);

        two_entries(ix);
        const Entries ann{{1, "corp ann"}}, rid_b{{2, "RID-B"}}, both{{1, "corp ann"}, {2, "RID-B"}};
        EXPECT_EQ(list(ix, 0, nullptr, nullptr, nullptr), both);
        EXPECT_EQ(list(ix, 1, nullptr, nullptr, nullptr), ann);
        EXPECT_EQ(list(ix, 2, nullptr, nullptr, nullptr), rid_b);
        // Mode 3 and above list by registry id only.
        EXPECT_EQ(list(ix, 3, "nobody", nullptr, "rid-a"), ann);
        EXPECT_EQ(list(ix, 3, nullptr, nullptr, "RID-B"), rid_b);
        EXPECT_EQ(list(ix, 7, nullptr, nullptr, "*"), both);
        // A null registry-id filter matches, so a failing name filter lists anyway.
        EXPECT_EQ(list(ix, 1, "nobody", nullptr, nullptr), ann);
        EXPECT_EQ(list(ix, 1, "nobody", nullptr, "none"), Entries{});
        // Name filters are case-insensitive wildcards.
        EXPECT_EQ(list(ix, 1, "A*", "*RP", "none"), ann);
        EXPECT_EQ(list(ix, 0, "x*", nullptr, "rid-*"), both);
        EXPECT_EQ(list(ix, 2, nullptr, nullptr, "rid-a"), Entries{});
    }

    template <class I>
    void malformed_lines(const I &ix) {
        SCOPED_TRACE(ix.label);
        const Entries ann{{1, "corp ann"}};
        // 300 characters: the second piece has no double blank.
        write(ix.file, "corp ann  U-1  " + std::string(285, 'r') + "\ncorp bob  U-2  RID-B\n");
        EXPECT_EQ(list(ix, 0, nullptr, nullptr, nullptr, 9), ann);
        write(ix.file, "corp ann  U-1  RID-A\ncorp bob  U-2\ncorp cid  U-3  RID-C\n");
        EXPECT_EQ(list(ix, 1, nullptr, nullptr, nullptr, 9), ann);
        write(ix.file, "corpann  U-1  RID-A\n");
        EXPECT_EQ(list(ix, 1, nullptr, nullptr, nullptr, 9), Entries{});
        write(ix.file, "corp ann U-1 RID-A\n");
        EXPECT_EQ(list(ix, 1, nullptr, nullptr, nullptr, 9), Entries{});
    }

    template <class I>
    void appended_names(const I &ix) {
        SCOPED_TRACE(ix.label);
        typename I::List l;
        char a[] = "corp ann", b[] = "nodomain", c[] = "corp cid";
        char *two[] = {a, b};
        l->kind = 9;
        EXPECT_EQ(ix.add(h, l.get(), two, 2), 0u);
        EXPECT_EQ(l->kind, 1u);
        EXPECT_EQ(entries(l.get()), (Entries{{1, "corp ann"}, {1, "nodomain"}}));
        EXPECT_EQ(ix.count(h, l.get()), 2);
        // Count 0 is refused and changes nothing; a negative count adds nothing.
        EXPECT_EQ(ix.add(h, l.get(), two, 0), 31u);
        EXPECT_EQ(ix.add(h, l.get(), two, -1), 0u);
        // Appending to a list with entries keeps them and their kind.
        l->kind = 5;
        char *one[] = {c};
        EXPECT_EQ(ix.add(h, l.get(), one, 1), 0u);
        EXPECT_EQ(l->kind, 5u);
        EXPECT_EQ(l->count, 3);
        EXPECT_EQ(entries(l.get()).back(), (std::pair<uint32_t, std::string>{1, "corp cid"}));
        EXPECT_EQ(l->first->next->next->prev, l->first->next);
        EXPECT_EQ(ix.add(h, nullptr, one, 1), 31u);
        char *holes[] = {a, nullptr};
        EXPECT_EQ(ix.add(h, l.get(), holes, 2), 31u);
        EXPECT_EQ(l->count, 3);

        // A name entry without a blank is malformed, and the cursor moves past it.
        typename I::Rec r;
        EXPECT_EQ(ix.first(h, l.get(), r.get(), 0), 0u);
        EXPECT_EQ(str(r->domain), "corp");
        EXPECT_EQ(str(r.get()->*ix.id), "ann");
        EXPECT_EQ(ix.next(h, l.get(), r.get(), 0), 9u);
        EXPECT_EQ(ix.next(h, l.get(), r.get(), 0), 0u);
        EXPECT_EQ(str(r.get()->*ix.id), "cid");
    }

    template <class I>
    void walk_with_fetch(const I &ix) {
        SCOPED_TRACE(ix.label);
        write(ix.file, "corp a  U-a  R-A\ncorp b  U-b  R-B\n- -  U-c  R-OFF\n");
        write(std::string("corp_a.") + (ix.invalid == 30 ? "QZuser" : "QZgroup"), ix.record_file("a", "R-A", "first"));
        typename I::List l;
        ASSERT_EQ(ix.get_list(h, l.get(), 0, nullptr, nullptr, nullptr), 0u);
        typename I::Rec r;
        r.set(r->domain, "old").set(r.get()->*ix.id, "name");
        EXPECT_EQ(ix.previous(h, l.get(), r.get(), 1), 5u);  // a fresh list stays fresh
        ASSERT_EQ(ix.next(h, l.get(), r.get(), 1), 0u);      // next on a fresh list is the first
        EXPECT_EQ(str(r.get()->*ix.id), "a");
        EXPECT_EQ(str(r->description), "first");
        EXPECT_EQ(str(r->registry_id), "R-A");
        // A fetch of an entry whose file is missing: the names are set from the entry.
        EXPECT_EQ(ix.next(h, l.get(), r.get(), 1), ix.invalid);
        EXPECT_EQ(str(r->domain), "corp");
        EXPECT_EQ(str(r.get()->*ix.id), "b");
        // A registry-id entry fills only registry_id, even with fetch.
        EXPECT_EQ(ix.next(h, l.get(), r.get(), 1), 0u);
        EXPECT_EQ(r->domain, nullptr);
        EXPECT_EQ(r.get()->*ix.id, nullptr);
        EXPECT_EQ(str(r->registry_id), "R-OFF");
        EXPECT_EQ(ix.next(h, l.get(), r.get(), 0), 5u);
        EXPECT_EQ(ix.previous(h, l.get(), r.get(), 0), 0u);  // past the end, previous is the last
        EXPECT_EQ(str(r->registry_id), "R-OFF");
        EXPECT_EQ(ix.first(h, l.get(), r.get(), 0), 0u);
        EXPECT_EQ(str(r.get()->*ix.id), "a");
        EXPECT_EQ(ix.previous(h, l.get(), r.get(), 0), 5u);

        EXPECT_EQ(ix.first(h, nullptr, r.get(), 0), 5u);
        EXPECT_EQ(ix.next(h, nullptr, r.get(), 0), 5u);
        EXPECT_EQ(ix.first(h, l.get(), nullptr, 0), ix.invalid);
        typename I::List empty;
        EXPECT_EQ(ix.first(h, empty.get(), r.get(), 0), 5u);
    }
};

TEST_F(Enumeration, ModesAndFiltersSelectEntries) {
    modes_and_filters(kUsers);
    modes_and_filters(kGroups);
}

TEST_F(Enumeration, MalformedLinesStopTheListingWith9) {
    malformed_lines(kUsers);
    malformed_lines(kGroups);
}

TEST_F(Enumeration, AppendedNamesAreNameEntries) {
    appended_names(kUsers);
    appended_names(kGroups);
}

TEST_F(Enumeration, WalkWithFetchFillsTheRecordFromEachEntry) {
    walk_with_fetch(kUsers);
    walk_with_fetch(kGroups);
}

TEST_F(Enumeration, AGroupsMembersLoadOnFirstUse) {
    const auto lazy = [] {
        UserList l;
        l.set(l->file, "corp_dept.GPmembers");
        l->count = -1;
        return l;
    };
    EXPECT_EQ(rspi_userlist_count(h, lazy().get()), 0);  // missing file
    write("corp_dept.GPmembers", "corp ann\ncorp bob\n");
    EXPECT_EQ(rspi_userlist_count(h, lazy().get()), 2);
    auto l = lazy();
    User u;
    EXPECT_EQ(rspi_next_user(h, l.get(), u.get(), 0), 0u);  // loads, then the first entry
    EXPECT_EQ(str(u->user_id), "ann");
    EXPECT_EQ(rspi_userlist_count(h, nullptr), 0);
}

TEST_F(Enumeration, AUsersGroups) {
    auto none = grouplist();
    auto anon = user("Corp", "Nobody");
    EXPECT_EQ(rspi_user_grouplist(h, anon.get(), none.get()), 0u);
    EXPECT_EQ(str(anon->domain), "corp");
    EXPECT_EQ(str(none->file), "corp_nobody.myGroups");
    EXPECT_EQ(none->count, -1);
    EXPECT_EQ(rspi_grouplist_count(h, none.get()), 0);
    EXPECT_EQ(rspi_user_grouplist(h, user(nullptr, "x").get(), none.get()), 30u);

    write("corp_ann.QZuser", user_file_text("corp", "ann", "U-1"));
    for (const char *id : {"b", "a"}) {
        Group g = group("sales", id, (std::string("G-") + id).c_str());
        ASSERT_EQ(rspi_create_group(h, g.get()), 0u);
        ASSERT_EQ(rspi_add_group_member(h, g.get(), user("corp", "ann").get()), 0u);
    }
    auto groups = grouplist();
    ASSERT_EQ(rspi_user_grouplist(h, user("CORP", "Ann").get(), groups.get()), 0u);
    EXPECT_EQ(rspi_grouplist_count(h, groups.get()), 2);
    auto g = group(nullptr, nullptr);
    ASSERT_EQ(rspi_next_group(h, groups.get(), g.get(), 1), 0u);
    EXPECT_EQ(str(g->group_id), "a");
    EXPECT_EQ(str(g->registry_id), "G-a");
}

}  // namespace
