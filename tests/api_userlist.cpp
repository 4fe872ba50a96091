// User enumeration through the exported interface: listing "userlist.file" by
// mode and filters, appending names, the shared cursor, filling a user from an
// entry, and a user's groups list.
#include <string>

#include "api_group_support.h"
#include "rspi.h"

namespace tolvtest {
namespace {

using Entries = std::vector<std::pair<uint32_t, std::string>>;

class UserEnum : public Registry {
protected:
    // One enabled and one disabled user.
    void two_users() { write("userlist.file", "corp ann  U-1  RID-A\n- -  U-2  RID-B\n"); }

    Entries list(uint32_t mode, const char *id, const char *domain, const char *rid, uint32_t expect = 0) {
        auto l = userlist();
        EXPECT_EQ(rspi_get_userlist(h, l.get(), mode, id, domain, rid), expect);
        EXPECT_EQ(l->kind, mode);
        EXPECT_EQ(l->count, static_cast<int32_t>(entries(l.get()).size()));
        return entries(l.get());
    }
};

const Entries kAnn{{1, "corp ann"}};
const Entries kRidB{{2, "RID-B"}};

TEST_F(UserEnum, ModesSelectEnabledAndDisabledEntries) {
    two_users();
    EXPECT_EQ(list(0, nullptr, nullptr, nullptr), (Entries{{1, "corp ann"}, {2, "RID-B"}}));
    EXPECT_EQ(list(1, nullptr, nullptr, nullptr), kAnn);
    EXPECT_EQ(list(2, nullptr, nullptr, nullptr), kRidB);
    // Mode 3 and above list by registry id only.
    EXPECT_EQ(list(3, "nobody", nullptr, "rid-a"), kAnn);
    EXPECT_EQ(list(3, nullptr, nullptr, "RID-B"), kRidB);
    EXPECT_EQ(list(7, nullptr, nullptr, "*"), (Entries{{1, "corp ann"}, {2, "RID-B"}}));
}

TEST_F(UserEnum, NameFiltersWithANullRegistryIdFilter) {
    two_users();
    // The null registry-id filter matches, so a failing name filter lists anyway.
    EXPECT_EQ(list(1, "nobody", nullptr, nullptr), kAnn);
    // With a registry-id filter that fails too, nothing is left.
    EXPECT_EQ(list(1, "nobody", nullptr, "none"), Entries{});
    // Name filters are case-insensitive wildcards.
    EXPECT_EQ(list(1, "A*", "*RP", "none"), kAnn);
    EXPECT_EQ(list(0, "x*", nullptr, "rid-*"), (Entries{{1, "corp ann"}, {2, "RID-B"}}));
    EXPECT_EQ(list(2, nullptr, nullptr, "rid-a"), Entries{});
}

TEST_F(UserEnum, MissingListIsEmpty) {
    auto l = userlist();
    l->count = -1;
    EXPECT_EQ(rspi_get_userlist(h, l.get(), 1, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(l->count, 0);
    EXPECT_EQ(l->first, nullptr);
}

TEST_F(UserEnum, MalformedLinesStopTheListingWith9) {
    // 300 characters: the second piece has no double blank.
    const std::string long_line = "corp ann  U-1  " + std::string(285, 'r') + "\n";
    ASSERT_EQ(long_line.size(), 301u);
    write("userlist.file", long_line + "corp bob  U-2  RID-B\n");
    EXPECT_EQ(list(0, nullptr, nullptr, nullptr, 9), kAnn);

    write("userlist.file", "corp ann  U-1  RID-A\ncorp bob  U-2\ncorp cid  U-3  RID-C\n");
    EXPECT_EQ(list(1, nullptr, nullptr, nullptr, 9), kAnn);
    write("userlist.file", "corpann  U-1  RID-A\n");
    EXPECT_EQ(list(1, nullptr, nullptr, nullptr, 9), Entries{});
    write("userlist.file", "corp ann U-1 RID-A\n");
    EXPECT_EQ(list(1, nullptr, nullptr, nullptr, 9), Entries{});
}

TEST_F(UserEnum, AddUserAppendsNameEntries) {
    auto l = userlist();
    char a[] = "corp ann", b[] = "corp bob", c[] = "corp cid";
    char *two[] = {a, b};
    l->kind = 9;
    EXPECT_EQ(rspi_userlist_add_user(h, l.get(), two, 2), 0u);
    EXPECT_EQ(l->kind, 1u);
    EXPECT_EQ(l->count, 2);
    EXPECT_EQ(entries(l.get()), (Entries{{1, "corp ann"}, {1, "corp bob"}}));
    // Count 0 is refused and changes nothing; a negative count adds nothing.
    EXPECT_EQ(rspi_userlist_add_user(h, l.get(), two, 0), 31u);
    EXPECT_EQ(rspi_userlist_add_user(h, l.get(), two, -1), 0u);
    EXPECT_EQ(l->count, 2);
    // Appending to a list with entries keeps them and their kind.
    l->kind = 5;
    char *one[] = {c};
    EXPECT_EQ(rspi_userlist_add_user(h, l.get(), one, 1), 0u);
    EXPECT_EQ(l->kind, 5u);
    EXPECT_EQ(entries(l.get()).back(), (std::pair<uint32_t, std::string>{1, "corp cid"}));
    EXPECT_EQ(l->first->next->next->prev, l->first->next);
    EXPECT_EQ(rspi_userlist_add_user(h, nullptr, one, 1), 31u);
    char *holes[] = {a, nullptr};
    EXPECT_EQ(rspi_userlist_add_user(h, l.get(), holes, 2), 31u);
    EXPECT_EQ(l->count, 3);
}

// first, next, next, next -> 5 -> first again; previous right after first -> 5.
TEST_F(UserEnum, CursorStateTable) {
    auto l = userlist();
    auto u = user(nullptr, nullptr);
    char a[] = "corp ann", b[] = "corp bob", c[] = "corp cid";
    char *names[] = {a, b, c};
    ASSERT_EQ(rspi_userlist_add_user(h, l.get(), names, 3), 0u);
    // Fresh: previous gives 5 and stays fresh; next gives the first entry.
    EXPECT_EQ(rspi_previous_user(h, l.get(), u.get(), 0), 5u);
    EXPECT_EQ(rspi_next_user(h, l.get(), u.get(), 0), 0u);
    EXPECT_EQ(str(u->user_id), "ann");
    EXPECT_EQ(str(u->domain), "corp");

    const auto walk = [&](uint32_t (*op)(char **, rspi_userlist *, rspi_user *, int32_t)) {
        const uint32_t rc = op(h, l.get(), u.get(), 0);
        return rc == 0 ? str(u->user_id) : std::to_string(rc);
    };
    EXPECT_EQ(walk(rspi_first_user), "ann");
    EXPECT_EQ(walk(rspi_next_user), "bob");
    EXPECT_EQ(walk(rspi_next_user), "cid");
    EXPECT_EQ(walk(rspi_next_user), "5");
    EXPECT_EQ(walk(rspi_previous_user), "cid");  // past the end: previous is the last
    EXPECT_EQ(walk(rspi_next_user), "5");
    EXPECT_EQ(walk(rspi_next_user), "ann");  // next after the end restarts
    EXPECT_EQ(walk(rspi_next_user), "bob");
    EXPECT_EQ(walk(rspi_previous_user), "ann");
    EXPECT_EQ(walk(rspi_previous_user), "5");  // before the first: the cursor clears
    EXPECT_EQ(l->current, nullptr);
    EXPECT_EQ(walk(rspi_next_user), "ann");
    EXPECT_EQ(walk(rspi_first_user), "ann");
    EXPECT_EQ(walk(rspi_previous_user), "5");

    EXPECT_EQ(rspi_first_user(h, nullptr, u.get(), 0), 5u);
    EXPECT_EQ(rspi_next_user(h, nullptr, u.get(), 0), 5u);
    EXPECT_EQ(rspi_first_user(h, l.get(), nullptr, 0), 30u);
    auto empty = userlist();
    EXPECT_EQ(rspi_first_user(h, empty.get(), u.get(), 0), 5u);
}

TEST_F(UserEnum, EntriesFillTheUser) {
    two_users();
    auto l = userlist();
    ASSERT_EQ(rspi_get_userlist(h, l.get(), 0, nullptr, nullptr, nullptr), 0u);
    auto u = user("old", "name");
    // The user file of ann is missing: the names are set, the fetch gives 30.
    EXPECT_EQ(rspi_first_user(h, l.get(), u.get(), 1), 30u);
    EXPECT_EQ(str(u->domain), "corp");
    EXPECT_EQ(str(u->user_id), "ann");
    // A registry-id entry fills only registry_id, even with fetch.
    EXPECT_EQ(rspi_next_user(h, l.get(), u.get(), 1), 0u);
    EXPECT_EQ(u->user_id, nullptr);
    EXPECT_EQ(u->domain, nullptr);
    EXPECT_EQ(str(u->registry_id), "RID-B");

    write("corp_ann.QZuser", user_file_text("corp", "ann", "RID-A"));
    EXPECT_EQ(rspi_first_user(h, l.get(), u.get(), 1), 0u);
    EXPECT_EQ(str(u->registry_id), "RID-A");
    ASSERT_NE(u->groups, nullptr);
    EXPECT_EQ(str(u->groups->file), "corp_ann.myGroups");

    // A name entry without a blank.
    auto bad = userlist();
    char n[] = "nobody";
    char *names[] = {n};
    ASSERT_EQ(rspi_userlist_add_user(h, bad.get(), names, 1), 0u);
    EXPECT_EQ(rspi_first_user(h, bad.get(), u.get(), 0), 9u);
}

TEST_F(UserEnum, MembersFileLoadsOnFirstUse) {
    const auto lazy = [] {
        auto l = userlist();
        tolvtest::set(l->file, "corp_dept.GPmembers");
        l->count = -1;
        return l;
    };
    EXPECT_EQ(rspi_userlist_count(h, lazy().get()), 0);  // missing file
    write("corp_dept.GPmembers", "corp ann\ncorp bob\n");
    EXPECT_EQ(rspi_userlist_count(h, lazy().get()), 2);
    auto l = lazy();
    auto u = user(nullptr, nullptr);
    EXPECT_EQ(rspi_next_user(h, l.get(), u.get(), 0), 0u);  // loads, then the first entry
    EXPECT_EQ(str(u->user_id), "ann");
    EXPECT_EQ(rspi_userlist_count(h, nullptr), 0);
}

TEST_F(UserEnum, UserGroupListNamesTheGroupsFile) {
    auto u = user("Corp", "Nobody");
    auto g = grouplist();
    EXPECT_EQ(rspi_user_grouplist(h, u.get(), g.get()), 0u);
    EXPECT_EQ(str(u->domain), "corp");
    EXPECT_EQ(str(g->file), "corp_nobody.myGroups");
    EXPECT_EQ(g->count, -1);
    EXPECT_EQ(rspi_grouplist_count(h, g.get()), 0);
    auto anon = user(nullptr, "x");
    EXPECT_EQ(rspi_user_grouplist(h, anon.get(), g.get()), 30u);
}

}  // namespace
}  // namespace tolvtest
