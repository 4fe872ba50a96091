// Group enumeration through the exported interface: listing "grouplist.file"
// by mode and filters, appending names, counting and walking, and a user's groups.
#include <cstdio>
#include <string>

#include "api_group_support.h"
#include "rspi.h"

namespace tolvtest {
namespace {

using Entries = std::vector<std::pair<uint32_t, std::string>>;

class GroupEnum : public Registry {
protected:
    Entries list(uint32_t mode, const char *id, const char *domain, const char *rid, uint32_t expect = 0) {
        auto l = grouplist();
        EXPECT_EQ(rspi_get_grouplist(h, l.get(), mode, id, domain, rid), expect);
        EXPECT_EQ(l->kind, mode);
        EXPECT_EQ(l->count, static_cast<int32_t>(entries(l.get()).size()));
        return entries(l.get());
    }
};

TEST_F(GroupEnum, ModesAndFilters) {
    EXPECT_EQ(list(0, nullptr, nullptr, nullptr), Entries{});  // no list file
    Group dept = group("sales", "dept", "G-1");
    Group gone = group("sales", "gone", "G-2");
    ASSERT_EQ(rspi_create_group(h, dept.get()), 0u);
    ASSERT_EQ(rspi_create_group(h, gone.get()), 0u);
    ASSERT_EQ(rspi_disable_group(h, gone.get()), 0u);

    EXPECT_EQ(list(0, nullptr, nullptr, nullptr), (Entries{{1, "sales dept"}, {2, "G-2"}}));
    EXPECT_EQ(list(1, nullptr, nullptr, nullptr), (Entries{{1, "sales dept"}}));
    EXPECT_EQ(list(2, nullptr, nullptr, nullptr), (Entries{{2, "G-2"}}));
    EXPECT_EQ(list(3, nullptr, nullptr, "g-1"), (Entries{{1, "sales dept"}}));
    // A null registry-id filter matches, so a failing group-id filter lists anyway.
    EXPECT_EQ(list(1, "nomatch", nullptr, nullptr), (Entries{{1, "sales dept"}}));
    EXPECT_EQ(list(1, "nomatch", nullptr, "none"), Entries{});
    EXPECT_EQ(list(1, "D*", "*ES", "none"), (Entries{{1, "sales dept"}}));

    write("grouplist.file", read("grouplist.file") + "bad line\nsales x  U-3  G-3\n");
    EXPECT_EQ(list(0, nullptr, nullptr, nullptr, 9), (Entries{{1, "sales dept"}, {2, "G-2"}}));
    EXPECT_EQ(rspi_get_grouplist(h, nullptr, 0, nullptr, nullptr, nullptr), 31u);
}

TEST_F(GroupEnum, WalkWithFetch) {
    Group a = group("sales", "a", "G-A");
    set(a->description, "first");
    ASSERT_EQ(rspi_create_group(h, a.get()), 0u);
    ASSERT_EQ(rspi_create_group(h, group("sales", "b", "G-B").get()), 0u);
    ASSERT_EQ(rspi_create_group(h, group("sales", "c", "G-C").get()), 0u);
    auto l = grouplist();
    ASSERT_EQ(rspi_get_grouplist(h, l.get(), 1, nullptr, nullptr, nullptr), 0u);
    auto g = group(nullptr, nullptr);
    const auto walk = [&](uint32_t (*op)(char **, rspi_grouplist *, rspi_group *, int32_t)) {
        const uint32_t rc = op(h, l.get(), g.get(), 0);
        return rc == 0 ? str(g->group_id) : std::to_string(rc);
    };
    EXPECT_EQ(walk(rspi_next_group), "a");  // next on a fresh list is first
    EXPECT_EQ(walk(rspi_next_group), "b");
    EXPECT_EQ(walk(rspi_next_group), "c");
    EXPECT_EQ(walk(rspi_next_group), "5");
    EXPECT_EQ(walk(rspi_next_group), "a");
    EXPECT_EQ(walk(rspi_previous_group), "5");
    EXPECT_EQ(walk(rspi_first_group), "a");

    ASSERT_EQ(rspi_first_group(h, l.get(), g.get(), 1), 0u);
    EXPECT_EQ(str(g->description), "first");
    EXPECT_EQ(str(g->registry_id), "G-A");
    // A fetch of a group whose file is gone: 31, names set from the entry.
    std::remove(path("sales_b.QZgroup").c_str());
    EXPECT_EQ(rspi_next_group(h, l.get(), g.get(), 1), 31u);
    EXPECT_EQ(str(g->domain), "sales");
    EXPECT_EQ(str(g->group_id), "b");
    EXPECT_EQ(rspi_first_group(h, nullptr, g.get(), 0), 5u);
    EXPECT_EQ(rspi_first_group(h, l.get(), nullptr, 0), 31u);
}

TEST_F(GroupEnum, RegistryIdEntriesAndAppendedNames) {
    write("grouplist.file", "- -  U-1  G-OFF\n");
    auto l = grouplist();
    ASSERT_EQ(rspi_get_grouplist(h, l.get(), 2, nullptr, nullptr, nullptr), 0u);
    auto g = group("old", "name");
    EXPECT_EQ(rspi_first_group(h, l.get(), g.get(), 1), 0u);
    EXPECT_EQ(g->domain, nullptr);
    EXPECT_EQ(g->group_id, nullptr);
    EXPECT_EQ(str(g->registry_id), "G-OFF");

    auto named = grouplist();
    char a[] = "sales a", b[] = "nodomain";
    char *names[] = {a, b};
    EXPECT_EQ(rspi_grouplist_add_group(h, named.get(), names, 0), 31u);
    EXPECT_EQ(rspi_grouplist_add_group(h, named.get(), names, 2), 0u);
    EXPECT_EQ(named->kind, 1u);
    EXPECT_EQ(entries(named.get()), (Entries{{1, "sales a"}, {1, "nodomain"}}));
    EXPECT_EQ(rspi_grouplist_count(h, named.get()), 2);
    EXPECT_EQ(rspi_first_group(h, named.get(), g.get(), 0), 0u);
    EXPECT_EQ(rspi_next_group(h, named.get(), g.get(), 0), 9u);  // no blank in the entry
    EXPECT_EQ(rspi_next_group(h, named.get(), g.get(), 0), 5u);  // the cursor moved past it
}

TEST_F(GroupEnum, AUsersGroups) {
    write("corp_ann.QZuser", user_file_text("corp", "ann", "U-1"));
    for (const char *id : {"b", "a"}) {
        Group g = group("sales", id, (std::string("G-") + id).c_str());
        ASSERT_EQ(rspi_create_group(h, g.get()), 0u);
        ASSERT_EQ(rspi_add_group_member(h, g.get(), user("corp", "ann").get()), 0u);
    }
    auto u = user("CORP", "Ann");
    auto groups = grouplist();
    ASSERT_EQ(rspi_user_grouplist(h, u.get(), groups.get()), 0u);
    EXPECT_EQ(rspi_grouplist_count(h, groups.get()), 2);
    auto g = group(nullptr, nullptr);
    ASSERT_EQ(rspi_next_group(h, groups.get(), g.get(), 1), 0u);
    EXPECT_EQ(str(g->group_id), "a");
    EXPECT_EQ(str(g->registry_id), "G-a");

    auto nobody = grouplist();
    ASSERT_EQ(rspi_user_grouplist(h, user("corp", "bob").get(), nobody.get()), 0u);
    EXPECT_EQ(rspi_grouplist_count(h, nobody.get()), 0);
    EXPECT_EQ(rspi_first_group(h, nobody.get(), g.get(), 0), 5u);
}

}  // namespace
}  // namespace tolvtest
