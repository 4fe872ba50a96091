// Group operations through the exported interface, checked against the files
// they leave in the registry: group file, blob, group list, membership files,
// the disabled group file and the lookups.
#include <cstdio>
#include <string>

#include "records.h"

namespace tolvtest {
namespace {

class Groups : public Registry {
protected:
    Group create(const char *domain, const char *id, const char *rid) {
        Group g = group(domain, id, rid);
        EXPECT_EQ(rspi_create_group(h, g.get()), 0u) << domain << " " << id;
        return g;
    }
    void seed_user(const std::string &domain, const std::string &id) {
        write(domain + "_" + id + ".QZuser", user_file_text(domain, id, "U-" + id));
    }
    uint32_t add(rspi_group *g, const char *domain, const char *id) {
        return rspi_add_group_member(h, g, user(domain, id).get());
    }
    uint32_t remove(rspi_group *g, const char *domain, const char *id) {
        return rspi_remove_group_member(h, g, user(domain, id).get());
    }
    void remove_file(const std::string &name) const { std::remove(path(name).c_str()); }
    std::string line(const rspi_group *g) const {
        return std::string(g->domain) + " " + g->group_id + "  " + g->uuid_string + "  " + g->registry_id + "\n";
    }
};

TEST_F(Groups, CreateWritesTheGroupFileAndItsListLine) {
    Group g = group("Sales", "Dept", "RID-1");
    set(g->description, "The department");
    g->attribute = 7;
    ASSERT_EQ(rspi_create_group(h, g.get()), 0u);
    // The caller's names are lower-cased, state 2 became 1, and a UUID was made.
    EXPECT_EQ(str(g->domain), "sales");
    EXPECT_EQ(str(g->group_id), "dept");
    EXPECT_EQ(g->state, 1u);
    ASSERT_NE(g->uuid_string, nullptr);
    EXPECT_EQ(std::string(g->uuid_string).size(), 36u);
    EXPECT_EQ(read("sales_dept.QZgroup"),
              "dept\nsales\n1\nThe department\n7\n" + std::string(g->uuid_string) + "\nRID-1\n");
    EXPECT_EQ(read("grouplist.file"), "sales dept  " + std::string(g->uuid_string) + "  RID-1\n");
    EXPECT_EQ(files(), (std::vector<std::string>{"grouplist.file", "sales_dept.QZgroup"}));

    // Read back under any capitalisation.
    Group back = group("sALes", "DEPT");
    ASSERT_EQ(rspi_get_group(h, back.get()), 0u);
    EXPECT_EQ(str(back->description), "The department");
    EXPECT_EQ(back->attribute, 7u);
    EXPECT_EQ(str(back->uuid_string), str(g->uuid_string));
    EXPECT_EQ(0, std::memcmp(back->uuid, g->uuid, 16));
    EXPECT_EQ(str(back->registry_id), "RID-1");
    EXPECT_EQ(back->blob, nullptr);
    ASSERT_NE(back->members, nullptr);
    EXPECT_EQ(str(back->members->file), "sales_dept.GPmembers");
    EXPECT_EQ(back->members->count, -1);
}

TEST_F(Groups, CreateRefusesAMissingOrOverlongRegistryId) {
    EXPECT_EQ(rspi_create_group(h, group("sales", "dept", nullptr).get()), 31u);
    EXPECT_EQ(rspi_create_group(h, group("sales", "dept", "").get()), 31u);
    // The list line holds at most 249 bytes with its newline (the UUID to be
    // made counts with its 36 characters).
    const std::string rid(249 - std::string("s d    \n").size() - 36, 'r');
    EXPECT_EQ(rspi_create_group(h, group("s", "d", (rid + "r").c_str()).get()), 31u);
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(rspi_create_group(h, group("s", "d", rid.c_str()).get()), 0u);
    EXPECT_EQ(read("grouplist.file").size(), 249u);
}

TEST_F(Groups, ListInsertionRule) {
    // A disabled line is never an insertion point: "+a y", which sorts
    // before "- -", lands after it.
    write("grouplist.file", "- -  U-0  R-0\nb x  U-1  R-1\n");
    Group ay = create("+a", "y", "R-2");
    EXPECT_EQ(read("grouplist.file"), "- -  U-0  R-0\n" + line(ay.get()) + "b x  U-1  R-1\n");

    // dept1 extends dept, compared over dept's length only: it goes before it.
    write("grouplist.file", "");
    Group dept = create("sales", "dept", "R-D");
    Group dept1 = create("sales", "dept1", "R-D1");
    EXPECT_EQ(read("grouplist.file"), line(dept1.get()) + line(dept.get()));
    Group carol = create("sales", "carol", "R-C");
    Group zed = create("sales", "zed", "R-Z");
    EXPECT_EQ(read("grouplist.file"), line(carol.get()) + line(dept1.get()) + line(dept.get()) + line(zed.get()));

    // Written again under the same registry id: one line, the current UUID.
    Group change = group("sales", "carol");
    set(change->uuid_string, "NEW-UUID");
    ASSERT_EQ(rspi_modify_group(h, change.get()), 0u);
    set(carol->uuid_string, "NEW-UUID");
    EXPECT_EQ(read("grouplist.file"), line(carol.get()) + line(dept1.get()) + line(dept.get()) + line(zed.get()));

    // Malformed lines go with the next rewrite.
    write("grouplist.file", read("grouplist.file") + "junk\nx y  only-one\n");
    ASSERT_EQ(rspi_modify_group(h, group("sales", "zed").get()), 0u);
    EXPECT_EQ(read("grouplist.file"), line(carol.get()) + line(dept1.get()) + line(dept.get()) + line(zed.get()));
    ASSERT_EQ(rspi_disable_group(h, group("sales", "zed").get()), 0u);
    EXPECT_EQ(read("grouplist.file"),
              line(carol.get()) + line(dept1.get()) + line(dept.get()) + "- -  " + zed->uuid_string + "  R-Z\n");
}

TEST_F(Groups, DisableAndRemoveTouchOnlyTheirOwnLine) {
    Group dept = create("sales", "dept", "R-D");
    Group dept2 = create("sales", "dept2", "R-D2");
    ASSERT_EQ(rspi_disable_group(h, group("sales", "dept").get()), 0u);
    EXPECT_EQ(read("grouplist.file"), line(dept2.get()) + "- -  " + dept->uuid_string + "  R-D\n");
    ASSERT_EQ(rspi_delete_group(h, group("sales", "dept2").get()), 0u);
    EXPECT_EQ(read("grouplist.file"), "- -  " + std::string(dept->uuid_string) + "  R-D\n");
    EXPECT_EQ(files(), (std::vector<std::string>{"R-D.group", "grouplist.file"}));
}

TEST_F(Groups, ModifyOverlaysGivenFieldsOnly) {
    Group g = group("sales", "dept", "R-1");
    set(g->description, "first");
    g->attribute = 5;
    g->blob = blob("abc");
    ASSERT_EQ(rspi_create_group(h, g.get()), 0u);
    const std::string before = read("sales_dept.QZgroup");
    EXPECT_EQ(read("sales_dept.QZgroup_blob"), "abc");

    // Only names and state 2: rewritten unchanged.
    ASSERT_EQ(rspi_modify_group(h, group("SALES", "Dept").get()), 0u);
    EXPECT_EQ(read("sales_dept.QZgroup"), before);

    Group change = group("sales", "dept");
    set(change->description, "second");
    change->state = 0;
    ASSERT_EQ(rspi_modify_group(h, change.get()), 0u);
    EXPECT_EQ(read("sales_dept.QZgroup"), "dept\nsales\n0\nsecond\n5\n" + std::string(g->uuid_string) + "\nR-1\n3\n");
    Group back = group("sales", "dept");
    ASSERT_EQ(rspi_get_group(h, back.get()), 0u);
    EXPECT_EQ(bytes(back->blob), "abc");
    EXPECT_EQ(rspi_modify_group(h, group("sales", "none").get()), 31u);

    // A short group file reads what is there and gives 9; a missing blob 6.
    write("sales_dept.QZgroup", "dept\nsales\n1\n");
    EXPECT_EQ(rspi_get_group(h, back.get()), 9u);
    EXPECT_EQ(back->state, 1u);
    write("sales_dept.QZgroup", "dept\nsales\n1\nd\n0\n\nR-1\n4\n");
    EXPECT_EQ(rspi_get_group(h, back.get()), 6u);
}

TEST_F(Groups, MembershipFilesAreSortedDeduplicatedAndDeletedWhenEmpty) {
    Group g = create("sales", "dept", "R-1");
    Group other = create("hq", "all", "R-2");
    seed_user("corp", "bob");
    seed_user("corp", "ann");
    EXPECT_EQ(add(g.get(), "Corp", "Bob"), 0u);
    EXPECT_EQ(add(g.get(), "corp", "ann"), 0u);
    EXPECT_EQ(add(g.get(), "corp", "ann"), 0u);
    EXPECT_EQ(add(other.get(), "corp", "ann"), 0u);
    EXPECT_EQ(read("sales_dept.GPmembers"), "corp ann\ncorp bob\n");
    EXPECT_EQ(read("corp_ann.myGroups"), "hq all\nsales dept\n");
    EXPECT_EQ(read("corp_bob.myGroups"), "sales dept\n");

    // No user file: 30 and nothing written; no group file: 31.
    EXPECT_EQ(add(g.get(), "corp", "ghost"), 30u);
    EXPECT_EQ(add(g.get(), "corp", nullptr), 30u);
    EXPECT_FALSE(exists("corp_ghost.myGroups"));
    EXPECT_EQ(add(group("sales", "none").get(), "corp", "ann"), 31u);
    EXPECT_EQ(read("sales_dept.GPmembers"), "corp ann\ncorp bob\n");

    auto members = userlist();
    ASSERT_EQ(rspi_group_userlist(h, group("SALES", "dept").get(), members.get()), 0u);
    EXPECT_EQ(entries(members.get()), (std::vector<std::pair<uint32_t, std::string>>{{0, "corp ann"}, {0, "corp bob"}}));

    EXPECT_EQ(remove(g.get(), "corp", "cid"), 24u);
    EXPECT_EQ(remove(g.get(), "corp", "bob"), 0u);
    EXPECT_EQ(remove(g.get(), "corp", "bob"), 24u);
    EXPECT_FALSE(exists("corp_bob.myGroups"));
    EXPECT_EQ(remove(g.get(), "corp", "ann"), 0u);
    EXPECT_FALSE(exists("sales_dept.GPmembers"));
    EXPECT_EQ(read("corp_ann.myGroups"), "hq all\n");
    // A member whose user file is gone can still be removed.
    remove_file("corp_ann.QZuser");
    EXPECT_EQ(remove(other.get(), "corp", "ann"), 0u);
    EXPECT_FALSE(exists("corp_ann.myGroups"));
    EXPECT_FALSE(exists("hq_all.GPmembers"));

    auto none = userlist();
    EXPECT_EQ(rspi_group_userlist(h, g.get(), none.get()), 0u);
    EXPECT_EQ(none->count, 0);
    EXPECT_EQ(rspi_group_userlist(h, group(nullptr, "x").get(), none.get()), 31u);
}

TEST_F(Groups, DeleteGroupWithThreeMembers) {
    Group g = group("sales", "dept", "R-1");
    g->blob = blob("xy");
    ASSERT_EQ(rspi_create_group(h, g.get()), 0u);
    Group keep = create("sales", "keep", "R-2");
    for (const char *u : {"ann", "bob", "cid"}) {
        seed_user("corp", u);
        ASSERT_EQ(add(g.get(), "corp", u), 0u);
    }
    ASSERT_EQ(add(keep.get(), "corp", "bob"), 0u);

    Group del = group("sales", "dept");
    ASSERT_EQ(rspi_delete_group(h, del.get()), 0u);
    EXPECT_EQ(read("corp_bob.myGroups"), "sales keep\n");
    EXPECT_EQ(read("grouplist.file"), line(keep.get()));
    EXPECT_EQ(files(), (std::vector<std::string>{"corp_ann.QZuser", "corp_bob.QZuser", "corp_bob.myGroups",
                                                 "corp_cid.QZuser", "grouplist.file", "sales_keep.GPmembers",
                                                 "sales_keep.QZgroup"}));
    EXPECT_EQ(rspi_delete_group(h, group("sales", "dept").get()), 31u);

    // A member line without its groups line stops the deletion with 24.
    write("sales_keep.GPmembers", "corp ann\ncorp bob\n");
    EXPECT_EQ(rspi_delete_group(h, group("sales", "keep").get()), 24u);
    EXPECT_TRUE(exists("sales_keep.QZgroup"));
}

TEST_F(Groups, DisableEnableRoundTrip) {
    Group g = create("sales", "dept", "Rid-1");
    seed_user("corp", "ann");
    seed_user("corp", "bob");
    ASSERT_EQ(add(g.get(), "corp", "ann"), 0u);
    ASSERT_EQ(add(g.get(), "corp", "bob"), 0u);
    const std::string old_uuid = g->uuid_string;

    ASSERT_EQ(rspi_disable_group(h, group("Sales", "Dept").get()), 0u);
    EXPECT_FALSE(exists("sales_dept.QZgroup"));
    EXPECT_TRUE(exists("Rid-1.group"));
    EXPECT_TRUE(exists("sales_dept.GPmembers"));
    EXPECT_EQ(read("grouplist.file"), "- -  " + old_uuid + "  Rid-1\n");
    EXPECT_EQ(rspi_get_group(h, group("sales", "dept").get()), 31u);
    EXPECT_EQ(rspi_disable_group(h, group("sales", "dept").get()), 31u);

    Group found = group("x", "y", "RID-1");
    ASSERT_EQ(rspi_get_group_by_rgyid(h, found.get()), 0u);
    EXPECT_EQ(found->domain, nullptr);
    EXPECT_EQ(found->group_id, nullptr);
    EXPECT_EQ(str(found->description), "Not a Quorzel enabled group.");

    // Settled refusals touch nothing.
    const auto before = files();
    EXPECT_EQ(rspi_enable_group(h, group("sales", "dept", nullptr).get()), 12u);
    EXPECT_EQ(rspi_enable_group(h, group("sales", "dept", "Rid-9").get()), 12u);
    EXPECT_EQ(rspi_enable_group(h, group(nullptr, "dept", "Rid-1").get()), 31u);
    EXPECT_EQ(files(), before);

    Group en = group("SALES", "dept", "Rid-1");
    set(en->description, "back");
    ASSERT_EQ(rspi_enable_group(h, en.get()), 0u);
    EXPECT_FALSE(exists("Rid-1.group"));
    Group back = group("sales", "dept");
    ASSERT_EQ(rspi_get_group(h, back.get()), 0u);
    EXPECT_EQ(str(back->description), "back");
    EXPECT_EQ(str(back->registry_id), "Rid-1");
    ASSERT_NE(back->uuid_string, nullptr);
    EXPECT_NE(std::string(back->uuid_string), old_uuid);
    EXPECT_EQ(std::string(back->uuid_string).size(), 36u);
    EXPECT_EQ(read("grouplist.file"), "sales dept  " + std::string(back->uuid_string) + "  Rid-1\n");
    EXPECT_EQ(rspi_userlist_count(h, back->members), 2);
    EXPECT_EQ(rspi_enable_group(h, group("sales", "dept", "Rid-1").get()), 12u);  // not disabled

    // A given UUID text is kept.
    ASSERT_EQ(rspi_disable_group(h, group("sales", "dept").get()), 0u);
    Group given = group("sales", "dept", "Rid-1");
    set(given->uuid_string, "00000000-0000-0000-0000-000000000001");
    ASSERT_EQ(rspi_enable_group(h, given.get()), 0u);
    EXPECT_EQ(read("grouplist.file"), "sales dept  00000000-0000-0000-0000-000000000001  Rid-1\n");
}

TEST_F(Groups, IdentitiesAreNeverShared) {
    Group a = create("sales", "a", "Rid-A");
    Group b = create("sales", "b", "Rid-B");
    const auto before = files();
    const std::string list = read("grouplist.file");
    EXPECT_EQ(rspi_create_group(h, group("sales", "c", "RID-a").get()), 41u);  // any case
    Group same_uuid = group("sales", "c", "Rid-C");
    set(same_uuid->uuid_string, a->uuid_string);
    EXPECT_EQ(rspi_create_group(h, same_uuid.get()), 41u);
    Group take = group("sales", "b", "rid-a");
    EXPECT_EQ(rspi_modify_group(h, take.get()), 41u);
    // A UUID text its list line cannot hold.
    for (const char *bad : {"u  v", "u "}) {
        Group g = group("sales", "c", "Rid-C");
        set(g->uuid_string, bad);
        EXPECT_EQ(rspi_create_group(h, g.get()), 31u) << bad;
    }
    EXPECT_EQ(files(), before);
    EXPECT_EQ(read("grouplist.file"), list);
}

TEST_F(Groups, EnableNeverReplacesAnotherGroupsFile) {
    Group g = create("sales", "dept", "R-1");
    ASSERT_EQ(rspi_disable_group(h, group("sales", "dept").get()), 0u);
    Group newer = create("sales", "dept", "R-2");
    const std::string list = read("grouplist.file"), file = read("sales_dept.QZgroup");
    EXPECT_EQ(rspi_enable_group(h, group("sales", "dept", "R-1").get()), 41u);
    EXPECT_EQ(read("grouplist.file"), list);
    EXPECT_EQ(read("sales_dept.QZgroup"), file);
    EXPECT_TRUE(exists("R-1.group"));
    // Nor does a disable overwrite a disabled group of the same registry id
    // (one that only a hand-edited list lets exist).
    write("grouplist.file", read("grouplist.file") + "sales twin  u-twin  R-1\n");
    write("sales_twin.QZgroup", "twin\nsales\n1\n\n0\nu-twin\nR-1\n");
    EXPECT_EQ(rspi_disable_group(h, group("sales", "twin").get()), 41u);
    EXPECT_TRUE(exists("sales_twin.QZgroup"));
}

TEST_F(Groups, Lookups) {
    Group a = create("sales", "a", "Rid-Same");
    Group b = create("sales", "b", "rid-b");
    set(b->description, "group b");
    ASSERT_EQ(rspi_modify_group(h, b.get()), 0u);
    // Two groups under one registry id exist only in a hand-edited list.
    write("grouplist.file", "sales a  u-a  Rid-Same\nsales b  u-b  rid-same\n");
    // By registry id: case-insensitive, the first line wins.
    Group by_rid = group(nullptr, nullptr, "RID-SAME");
    ASSERT_EQ(rspi_get_group_by_rgyid(h, by_rid.get()), 0u);
    EXPECT_EQ(str(by_rid->group_id), "a");
    EXPECT_EQ(str(by_rid->registry_id), "Rid-Same");
    EXPECT_EQ(rspi_get_group_by_rgyid(h, group(nullptr, nullptr, "none").get()), 31u);
    EXPECT_EQ(rspi_get_group_by_rgyid(h, group(nullptr, nullptr, nullptr).get()), 31u);

    // By UUID: case-sensitive, the last matching line wins.
    write("grouplist.file", "sales a  SAME  R-A\nsales b  SAME  R-B\nsales c  other  R-C\n");
    Group by_uuid = group(nullptr, nullptr);
    set(by_uuid->uuid_string, "SAME");
    ASSERT_EQ(rspi_get_group_by_uuid(h, by_uuid.get()), 0u);
    EXPECT_EQ(str(by_uuid->group_id), "b");
    EXPECT_EQ(str(by_uuid->description), "group b");
    set(by_uuid->uuid_string, "same");
    EXPECT_EQ(rspi_get_group_by_uuid(h, by_uuid.get()), 31u);
    // A matching line of a group without a file gives the read's 31.
    set(by_uuid->uuid_string, "other");
    EXPECT_EQ(rspi_get_group_by_uuid(h, by_uuid.get()), 31u);
    EXPECT_EQ(str(by_uuid->group_id), "c");
    remove_file("grouplist.file");
    set(by_uuid->uuid_string, "SAME");
    EXPECT_EQ(rspi_get_group_by_uuid(h, by_uuid.get()), 31u);
}

TEST_F(Groups, SanitisedNamesAndTracing) {
    Group g = create("a:b", "c/d", "R:1");
    EXPECT_TRUE(exists("a-b_c-d.QZgroup"));
    EXPECT_EQ(read("a-b_c-d.QZgroup").substr(0, 8), "c/d\na:b\n");
    ASSERT_EQ(rspi_disable_group(h, group("a:b", "c/d").get()), 0u);
    EXPECT_TRUE(exists("R-1.group"));

    // Every operation writes its entry and exit lines; nested calls their own.
    Trace trace;
    rspi_enable_group(h, group("A:B", "c/d", "R:1").get());
    rspi_group_userlist(h, group(nullptr, "x").get(), userlist().get());
    EXPECT_EQ(trace.take(),
              "rspi_enable_group invoked: A:B c/d\n"
              "rspi_get_group invoked: a:b c/d\nrspi_get_group rc = 0\n"
              "rspi_modify_group invoked: a:b c/d\n"
              "rspi_get_group invoked: a:b c/d\nrspi_get_group rc = 0\n"
              "rspi_modify_group rc = 0\n"
              "rspi_enable_group rc = 0\n"
              "rspi_group_userlist rc = 31\n");
}

}  // namespace
}  // namespace tolvtest
