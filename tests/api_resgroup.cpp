// Resource groups through the exported interface: the group file, its blob,
// the members file rebuilt on every store, single members, the list, the
// cursor and the diagnostics.
#include <initializer_list>
#include <string>
#include <vector>

#include "api_resource_support.h"
#include "registry.h"

namespace {

using tolvtest::bytes;
using tolvtest::lines;
using tolvtest::set;
using Resgroup = tolvtest::Rec<rspi_resgroup, rspi_alloc_resgroup, rspi_free_resgroup>;
using ResgroupList = tolvtest::Rec<rspi_resgrouplist, rspi_alloc_resgrouplist, rspi_free_resgrouplist>;
using Strings = std::vector<std::string>;

rspi_resgroupmembers *members(std::initializer_list<const char *> names) {
    rspi_resgroupmembers *m = rspi_alloc_resgroupmembers(static_cast<int32_t>(names.size()));
    int32_t i = 0;
    for (const char *n : names) m->names[i++] = n ? rspi_strdup(n) : nullptr;
    return m;
}

Strings names_of(const rspi_resgroupmembers *m) {
    Strings out;
    if (m)
        for (int32_t i = 0; i < m->count; ++i) out.push_back(m->names[i]);
    return out;
}

Resgroup named(const char *name, rspi_resgroupmembers *m = nullptr) {
    Resgroup g;
    set(g->name, name);
    g->state = 2;
    g->members = m;
    return g;
}

class Resgroups : public tolvtest::Registry {
protected:
    void SetUp() override {
        Registry::SetUp();
        for (const char *r : {"printer:a", "printer-b", "disk"}) {
            rspi_resource *res = rspi_alloc_resource();
            res->name = rspi_strdup(r);
            res->state = 2;
            ASSERT_EQ(rspi_create_resource(h, res), 0u);
            rspi_free_resource(res);
        }
    }
    uint32_t add(const char *group, const char *member) {
        std::string m = member;
        return rspi_add_resgroup_member(h, named(group).get(), m.data());
    }
    uint32_t remove(const char *group, const char *member) {
        std::string m = member;
        return rspi_remove_resgroup_member(h, named(group).get(), m.data());
    }
    ResgroupList listing() {
        ResgroupList l;
        EXPECT_EQ(rspi_get_resgrouplist(h, l.get()), 0u);
        return l;
    }
};

TEST_F(Resgroups, CreateWritesGroupFileMembersFileAndList) {
    Resgroup g = named("Office", members({"Printer:A", "printer-b", "PRINTER-B"}));
    set(g->description, "second floor");
    g->attribute = 3000000000u;
    g->blob = tolvtest::blob("rg");
    ASSERT_EQ(rspi_create_resgroup(h, g.get()), 0u);
    EXPECT_STREQ(g->name, "office");
    EXPECT_EQ(g->state, 1u);
    EXPECT_EQ(names_of(g->members), (Strings{"printer:a", "printer-b", "printer-b"}));
    EXPECT_EQ(lines(read("office.QZresgroup")),
              (Strings{"office", "1", "second floor", "3000000000", g->uuid_string, "2"}));
    EXPECT_EQ(read("office.QZresgroup_blob"), "rg");
    EXPECT_EQ(read("office.RGmembers"), "printer-b\nprinter:a\n");
    EXPECT_EQ(read("resgrouplist.file"), "office\n");

    Resgroup got = named("OFFICE");
    got->members = members({"stale"});
    ASSERT_EQ(rspi_get_resgroup(h, got.get()), 0u);
    EXPECT_STREQ(got->description, "second floor");
    EXPECT_EQ(got->attribute, 3000000000u);
    EXPECT_STREQ(got->uuid_string, g->uuid_string);
    EXPECT_EQ(std::memcmp(got->uuid, g->uuid, 16), 0);
    EXPECT_EQ(bytes(got->blob), "rg");
    EXPECT_EQ(names_of(got->members), (Strings{"printer-b", "printer:a"}));
}

TEST_F(Resgroups, CreateWithoutMembersOrBlobAndRefusals) {
    Resgroup empty = named("empty");
    empty->blob = tolvtest::blob("");
    ASSERT_EQ(rspi_create_resgroup(h, empty.get()), 0u);
    EXPECT_EQ(lines(read("empty.QZresgroup")), (Strings{"empty", "1", "", "0", empty->uuid_string, "0"}));
    EXPECT_FALSE(exists("empty.QZresgroup_blob"));
    EXPECT_FALSE(exists("empty.RGmembers"));
    Resgroup got = named("empty");
    ASSERT_EQ(rspi_get_resgroup(h, got.get()), 0u);
    EXPECT_EQ(got->blob, nullptr);
    ASSERT_NE(got->members, nullptr);
    EXPECT_EQ(got->members->count, 0);

    EXPECT_EQ(rspi_create_resgroup(h, named("EMPTY").get()), RSPI_RC_RESGROUP_EXISTS);
    EXPECT_EQ(rspi_create_resgroup(h, named("a b").get()), RSPI_RC_INVALID_RESGROUP);
    EXPECT_EQ(rspi_create_resgroup(h, named("").get()), RSPI_RC_INVALID_RESGROUP);
    EXPECT_EQ(rspi_create_resgroup(h, nullptr), RSPI_RC_INVALID_RESGROUP);
}

TEST_F(Resgroups, NamesAreBoundedBeforeAnythingIsWritten) {
    // name + ".QZresgroup" + "_blob_T" must stay within 255 bytes.
    const std::string longest(237, 'g');
    const auto before = files();
    EXPECT_EQ(rspi_create_resgroup(h, named((longest + "g").c_str(), members({"disk"})).get()),
              RSPI_RC_INVALID_RESGROUP);
    EXPECT_EQ(rspi_create_resgroup(h, named("line\nbreak").get()), RSPI_RC_INVALID_RESGROUP);
    EXPECT_EQ(files(), before);
    ASSERT_EQ(rspi_create_resgroup(h, named(longest.c_str(), members({"disk"})).get()), 0u);
    EXPECT_EQ(read(longest + ".RGmembers"), "disk\n");
    EXPECT_EQ(add((longest + "g").c_str(), "disk"), RSPI_RC_INVALID_RESGROUP);
}

TEST_F(Resgroups, AMissingMemberFailsTheStoreAndKeepsTheOldMembers) {
    EXPECT_EQ(rspi_create_resgroup(h, named("lab", members({"disk", "ghost"})).get()), RSPI_RC_INVALID_RESOURCE);
    EXPECT_TRUE(exists("lab.QZresgroup"));
    EXPECT_FALSE(exists("lab.RGmembers"));
    EXPECT_FALSE(exists("resgrouplist.file"));
    EXPECT_EQ(rspi_create_resgroup(h, named("lab").get()), RSPI_RC_RESGROUP_EXISTS);

    ASSERT_EQ(rspi_create_resgroup(h, named("office", members({"disk", "printer:a"})).get()), 0u);
    EXPECT_EQ(rspi_modify_resgroup(h, named("office", members({"printer-b", "ghost"})).get()),
              RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(rspi_modify_resgroup(h, named("office", members({"disk", nullptr})).get()),
              RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(read("office.RGmembers"), "disk\nprinter:a\n");
    EXPECT_EQ(read("resgrouplist.file"), "office\n");
}

TEST_F(Resgroups, ModifyRebuildsTheMembersFromWhatIsGivenOrWhatWasRead) {
    Resgroup g = named("office", members({"disk", "printer:a"}));
    g->blob = tolvtest::blob("rg");
    ASSERT_EQ(rspi_create_resgroup(h, g.get()), 0u);
    const std::string file = read("office.QZresgroup");

    ASSERT_EQ(rspi_modify_resgroup(h, named("Office").get()), 0u);
    EXPECT_EQ(read("office.QZresgroup"), file);
    EXPECT_EQ(read("office.QZresgroup_blob"), "rg");
    EXPECT_EQ(read("office.RGmembers"), "disk\nprinter:a\n");

    Resgroup change = named("office", members({"Printer-B"}));
    change->state = 0;
    set(change->description, "moved");
    ASSERT_EQ(rspi_modify_resgroup(h, change.get()), 0u);
    EXPECT_STREQ(change->members->names[0], "printer-b");
    EXPECT_EQ(lines(read("office.QZresgroup")), (Strings{"office", "0", "moved", "0", g->uuid_string, "2"}));
    EXPECT_EQ(read("office.RGmembers"), "printer-b\n");

    ASSERT_EQ(rspi_modify_resgroup(h, named("office", members({})).get()), 0u);
    EXPECT_FALSE(exists("office.RGmembers"));

    // A member whose resource went away fails every later modify.
    ASSERT_EQ(add("office", "disk"), 0u);
    rspi_resource *disk = rspi_alloc_resource();
    disk->name = rspi_strdup("disk");
    ASSERT_EQ(rspi_delete_resource(h, disk), 0u);
    rspi_free_resource(disk);
    EXPECT_EQ(rspi_modify_resgroup(h, named("office").get()), RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(read("office.RGmembers"), "disk\n");
    EXPECT_EQ(rspi_modify_resgroup(h, named("none").get()), RSPI_RC_INVALID_RESGROUP);
}

TEST_F(Resgroups, AddAndRemoveSingleMembers) {
    ASSERT_EQ(rspi_create_resgroup(h, named("office").get()), 0u);
    EXPECT_EQ(add("office", "Printer:A"), 0u);
    EXPECT_EQ(add("OFFICE", "printer:a"), 0u);
    EXPECT_EQ(add("office", "disk"), 0u);
    EXPECT_EQ(read("office.RGmembers"), "disk\nprinter:a\n");
    EXPECT_EQ(add("office", "ghost"), RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(add("office", "two words"), RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(add("none", "disk"), RSPI_RC_INVALID_RESGROUP);
    EXPECT_EQ(rspi_add_resgroup_member(h, named("office").get(), nullptr), RSPI_RC_INVALID_RESOURCE);

    EXPECT_EQ(remove("office", "printer-b"), RSPI_RC_ENTRY_NOT_IN_LIST);
    EXPECT_EQ(remove("none", "disk"), RSPI_RC_INVALID_RESGROUP);
    EXPECT_EQ(rspi_remove_resgroup_member(h, named("office").get(), nullptr), RSPI_RC_INVALID_RESGROUP);
    EXPECT_EQ(remove("office", "PRINTER:A"), 0u);
    EXPECT_EQ(remove("office", "disk"), 0u);
    EXPECT_FALSE(exists("office.RGmembers"));
    EXPECT_EQ(remove("office", "disk"), RSPI_RC_ENTRY_NOT_IN_LIST);
    Resgroup got = named("office");
    ASSERT_EQ(rspi_get_resgroup(h, got.get()), 0u);
    EXPECT_EQ(got->members->count, 0);
}

TEST_F(Resgroups, GetIsLenientAboutTheGroupFileButNotAboutTheBlob) {
    EXPECT_EQ(rspi_get_resgroup(h, named("none").get()), RSPI_RC_INVALID_RESGROUP);
    write("bare.QZresgroup", "whatever\n0\n");
    write("bare.RGmembers", "disk\n");
    Resgroup got = named("bare");
    set(got->description, "kept");
    got->blob = tolvtest::blob("old");
    ASSERT_EQ(rspi_get_resgroup(h, got.get()), 0u);
    EXPECT_EQ(got->state, 0u);
    EXPECT_STREQ(got->description, "kept");
    EXPECT_EQ(got->blob, nullptr);
    EXPECT_EQ(names_of(got->members), (Strings{"disk"}));

    write("bare.QZresgroup", "bare\n1\n\n0\n\n4\n");
    write("bare.QZresgroup_blob", "abc");
    EXPECT_EQ(rspi_get_resgroup(h, got.get()), RSPI_RC_FILE_ERROR);
    EXPECT_EQ(names_of(got->members), (Strings{"disk"}));
    write("bare.QZresgroup_blob", "abcd");
    tolvtest::for_each_failed_alloc([&] { return rspi_get_resgroup(h, got.get()); },
                                    [](uint32_t rc, bool failed) { EXPECT_EQ(rc, failed ? 3u : 0u); });
    EXPECT_EQ(bytes(got->blob), "abcd");
}

TEST_F(Resgroups, DeleteRemovesEverythingOnlyWhenTheGroupExists) {
    write("none.QZresgroup_blob", "stray");
    write("none.RGmembers", "disk\n");
    EXPECT_EQ(rspi_delete_resgroup(h, named("none").get()), RSPI_RC_INVALID_RESGROUP);
    EXPECT_TRUE(exists("none.QZresgroup_blob"));
    EXPECT_TRUE(exists("none.RGmembers"));

    Resgroup g = named("Office", members({"disk"}));
    g->blob = tolvtest::blob("rg");
    ASSERT_EQ(rspi_create_resgroup(h, g.get()), 0u);
    ASSERT_EQ(rspi_create_resgroup(h, named("lab").get()), 0u);
    EXPECT_EQ(rspi_delete_resgroup(h, named("OFFICE").get()), 0u);
    for (const char *f : {"office.QZresgroup", "office.QZresgroup_blob", "office.RGmembers"})
        EXPECT_FALSE(exists(f)) << f;
    EXPECT_EQ(read("resgrouplist.file"), "lab\n");
    write("resgrouplist.file", "other\n");
    EXPECT_EQ(rspi_delete_resgroup(h, named("lab").get()), RSPI_RC_ENTRY_NOT_IN_LIST);
}

TEST_F(Resgroups, CursorWalksTheListBothWays) {
    Resgroup g;
    ResgroupList empty = listing();
    EXPECT_EQ(rspi_first_resgroup(h, empty.get(), g.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    EXPECT_EQ(rspi_resgrouplist_count(h, empty.get()), 0);

    ASSERT_EQ(rspi_create_resgroup(h, named("office", members({"disk"})).get()), 0u);
    ASSERT_EQ(rspi_create_resgroup(h, named("lab").get()), 0u);
    ResgroupList l = listing();
    EXPECT_EQ(rspi_resgrouplist_count(h, l.get()), 2);
    ASSERT_EQ(rspi_first_resgroup(h, l.get(), g.get(), 0), 0u);
    EXPECT_STREQ(g->name, "lab");
    EXPECT_EQ(g->members, nullptr);
    ASSERT_EQ(rspi_next_resgroup(h, l.get(), g.get(), 1), 0u);
    EXPECT_STREQ(g->name, "office");
    EXPECT_EQ(names_of(g->members), (Strings{"disk"}));
    EXPECT_EQ(rspi_next_resgroup(h, l.get(), g.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    ASSERT_EQ(rspi_next_resgroup(h, l.get(), g.get(), 0), 0u);
    EXPECT_STREQ(g->name, "lab");
    EXPECT_EQ(rspi_previous_resgroup(h, l.get(), g.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    EXPECT_EQ(rspi_previous_resgroup(h, nullptr, g.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
}

TEST_F(Resgroups, DiagnosticsNameEveryOperation) {
    tolvtest::Trace trace;
    ASSERT_EQ(rspi_create_resgroup(h, named("office").get()), 0u);
    ASSERT_EQ(add("office", "disk"), 0u);
    ASSERT_EQ(remove("office", "disk"), 0u);
    ASSERT_EQ(rspi_modify_resgroup(h, named("office").get()), 0u);
    EXPECT_EQ(rspi_delete_resgroup(h, named("none").get()), RSPI_RC_INVALID_RESGROUP);
    EXPECT_EQ(trace.take(),
              "rspi_create_resgroup invoked\nrspi_create_resgroup rc = 0\n"
              "rspi_add_resgroup_member invoked\nrspi_add_resgroup_member rc = 0\n"
              "rspi_remove_resgroup_member invoked\nrspi_remove_resgroup_member rc = 0\n"
              "rspi_modify_resgroup invoked\nrspi_get_resgroup invoked\nrspi_get_resgroup rc = 0\n"
              "rspi_modify_resgroup rc = 0\n"
              "rspi_delete_resgroup invoked\nrspi_delete_resgroup rc = 34\n");

    ResgroupList l = listing();
    EXPECT_EQ(rspi_resgrouplist_count(h, l.get()), 1);
    Resgroup g;
    ASSERT_EQ(rspi_first_resgroup(h, l.get(), g.get(), 0), 0u);
    rspiutil_fail_nth_alloc(1);
    EXPECT_EQ(rspi_previous_resgroup(h, l.get(), g.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    EXPECT_EQ(rspi_next_resgroup(h, l.get(), g.get(), 0), RSPI_RC_NO_MEMORY);
    rspiutil_fail_nth_alloc(0);
    EXPECT_EQ(trace.take(),
              "rspi_get_resgrouplist invoked\nrspi_get_resgrouplist rc = 0\n"
              "rspi_resgrouplist_count invoked\n"
              "rspi_first_resgroup invoked\nrspi_first_resgroup rc = 0\n"
              "rspi_previous_resgroup invoked\nrspi_previous_resgroup rc = 5\n"
              "rspi_next_resgroup invoked\n");
}

}  // namespace
