// Policies, resources and resource groups through the exported interface:
// each family's record file, blob and modify merge on its own; their shared
// list, cursor, delete and diagnostics through one table.
#include <initializer_list>
#include <string>
#include <vector>

#include "records.h"

namespace {

using namespace tolvtest;
using Strings = std::vector<std::string>;

// A policy with the keys set and every other field "not given".
Policy policy(const char *domain, const char *id) {
    Policy p;
    p.set(p->domain, domain).set(p->policy_id, id);
    p->state = p->flag_2 = p->flag_3 = 2;
    for (int32_t *n : {&p->number_2, &p->number_3, &p->number_4, &p->number_5, &p->number_6, &p->number_7,
                       &p->number_8, &p->number_9, &p->number_10, &p->number_11, &p->number_12, &p->number_13,
                       &p->number_14, &p->number_15, &p->number_16, &p->number_17})
        *n = -1;
    return p;
}

// Every field given: number_k = 100 + k.
Policy full_policy(const char *domain, const char *id) {
    Policy p = policy(domain, id);
    p.set(p->description, "gold members only").set(p->text_1, "text one");
    p->attribute = 3000000000u;  // above the largest signed 32-bit value
    p->long_1 = -7;
    int32_t k = 2;
    for (int32_t *n : {&p->number_2, &p->number_3, &p->number_4, &p->number_5, &p->number_6, &p->number_7,
                       &p->number_8, &p->number_9, &p->number_10, &p->number_11, &p->number_12, &p->number_13,
                       &p->number_14, &p->number_15, &p->number_16})
        *n = 100 + k++;
    p->number_17 = 117;
    p->flag_2 = 0;
    p->flag_3 = 1;
    p->blob = blob("xyz");
    return p;
}

Resource resource(const char *name) {
    Resource r;
    r.set(r->name, name);
    r->state = 2;
    return r;
}

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

Resgroup resgroup(const char *name, rspi_resgroupmembers *m = nullptr) {
    Resgroup g;
    g.set(g->name, name);
    g->state = 2;
    g->members = m;
    return g;
}

class Policies : public Registry {};

TEST_F(Policies, CreateWritesThePolicyFileLineByLineAndReadsItBack) {
    Policy p = full_policy("Corp", "Gold");
    ASSERT_EQ(rspi_create_policy(h, p.get()), 0u);
    EXPECT_STREQ(p->domain, "corp");
    EXPECT_STREQ(p->policy_id, "gold");
    EXPECT_EQ(p->state, 1u);
    ASSERT_NE(p->uuid_string, nullptr);
    ASSERT_EQ(std::string(p->uuid_string).size(), 36u);

    Strings want{"gold", "corp", "1", "gold members only", "3000000000", p->uuid_string, "-7"};
    for (int k = 2; k <= 16; ++k) want.push_back(std::to_string(100 + k));
    for (const char *l : {"0", "1", "text one", "3", "117"}) want.push_back(l);
    EXPECT_EQ(lines(read("corp_gold.QZpolicy")), want);
    EXPECT_EQ(read("corp_gold.QZpolicy_blob"), "xyz");
    EXPECT_EQ(read("policylist.file"), "corp gold\n");

    Policy got = policy("CORP", "GOLD");
    ASSERT_EQ(rspi_get_policy(h, got.get()), 0u);
    EXPECT_STREQ(got->policy_id, "gold");
    EXPECT_STREQ(got->description, "gold members only");
    EXPECT_STREQ(got->text_1, "text one");
    EXPECT_STREQ(got->uuid_string, p->uuid_string);
    EXPECT_EQ(std::memcmp(got->uuid, p->uuid, 16), 0);
    EXPECT_EQ(got->attribute, 3000000000u);
    EXPECT_EQ(got->state, 1u);
    EXPECT_EQ(got->long_1, -7);
    EXPECT_EQ(got->number_2, 102);
    EXPECT_EQ(got->number_16, 116);
    EXPECT_EQ(got->number_17, 117);
    EXPECT_EQ(got->flag_2, 0u);
    EXPECT_EQ(got->flag_3, 1u);
    EXPECT_EQ(bytes(got->blob), "xyz");
}

TEST_F(Policies, NullTextsAndEmptyBlobsLeaveEmptyLinesAndNoBlobFile) {
    Policy p = policy("corp", "plain");
    p->blob = blob("");
    ASSERT_EQ(rspi_create_policy(h, p.get()), 0u);
    const auto l = lines(read("corp_plain.QZpolicy"));
    ASSERT_EQ(l.size(), 27u);
    EXPECT_EQ(l[3], "");
    EXPECT_EQ(l[24], "");
    EXPECT_EQ(l[25], "0");
    EXPECT_FALSE(exists("corp_plain.QZpolicy_blob"));

    Policy got = policy("corp", "plain");
    got->blob = blob("old");
    ASSERT_EQ(rspi_get_policy(h, got.get()), 0u);
    EXPECT_STREQ(got->description, "");
    EXPECT_EQ(got->blob, nullptr);
    EXPECT_EQ(got->number_9, -1);
}

TEST_F(Policies, ModifyMergesGivenFieldsAndResetsWithMinusTwo) {
    ASSERT_EQ(rspi_create_policy(h, full_policy("corp", "gold").get()), 0u);
    auto before = lines(read("corp_gold.QZpolicy"));
    Policy nothing = policy("Corp", "GOLD");
    ASSERT_EQ(rspi_modify_policy(h, nothing.get()), 0u);
    EXPECT_STREQ(nothing->domain, "corp");
    EXPECT_EQ(nothing->description, nullptr);
    EXPECT_EQ(lines(read("corp_gold.QZpolicy")), before);
    EXPECT_EQ(read("corp_gold.QZpolicy_blob"), "xyz");

    Policy reset5 = policy("corp", "gold");
    reset5->number_5 = -2;
    ASSERT_EQ(rspi_modify_policy(h, reset5.get()), 0u);
    before[10] = "-1";  // number_5 is line 11
    EXPECT_EQ(lines(read("corp_gold.QZpolicy")), before);

    Policy change = policy("corp", "gold");
    change->long_1 = -2;
    change->flag_2 = static_cast<uint32_t>(-2);
    change->flag_3 = 0;
    change->number_17 = 5;
    change->attribute = 9;
    change->state = 0;
    change.set(change->text_1, "new text");
    change->blob = blob("blob 2");
    ASSERT_EQ(rspi_modify_policy(h, change.get()), 0u);
    Policy got = policy("corp", "gold");
    ASSERT_EQ(rspi_get_policy(h, got.get()), 0u);
    EXPECT_EQ(got->long_1, 0);
    EXPECT_EQ(got->flag_2, 2u);
    EXPECT_EQ(got->flag_3, 0u);
    EXPECT_EQ(got->number_17, 5);
    EXPECT_EQ(got->number_5, -1);
    EXPECT_EQ(got->number_6, 106);
    EXPECT_EQ(got->attribute, 9u);
    EXPECT_EQ(got->state, 0u);
    EXPECT_STREQ(got->description, "gold members only");
    EXPECT_STREQ(got->text_1, "new text");
    EXPECT_EQ(bytes(got->blob), "blob 2");
    EXPECT_STREQ(got->uuid_string, lines(read("corp_gold.QZpolicy"))[5].c_str());

    // state 2 keeps the stored state.
    ASSERT_EQ(rspi_modify_policy(h, policy("corp", "gold").get()), 0u);
    EXPECT_EQ(lines(read("corp_gold.QZpolicy"))[2], "0");
    EXPECT_EQ(rspi_modify_policy(h, policy("corp", "none").get()), RSPI_RC_INVALID_POLICY);
    EXPECT_FALSE(exists("corp_none.QZpolicy"));
}

TEST_F(Policies, GetReportsShortFilesShortBlobsAndMalformedListLines) {
    write("corp_short.QZpolicy", "short\ncorp\n0\nwhat\n");
    Policy got = policy("corp", "short");
    EXPECT_EQ(rspi_get_policy(h, got.get()), RSPI_RC_MALFORMED_ENTRY);
    EXPECT_STREQ(got->description, "what");
    EXPECT_EQ(got->state, 0u);

    ASSERT_EQ(rspi_create_policy(h, full_policy("corp", "gold").get()), 0u);
    write("corp_gold.QZpolicy_blob", "xy");
    EXPECT_EQ(rspi_get_policy(h, policy("corp", "gold").get()), RSPI_RC_FILE_ERROR);

    // A list line without a blank is malformed; a listed policy without a file is 32.
    write("policylist.file", "corp ghost\nnoblank\n");
    PolicyList l;
    ASSERT_EQ(rspi_get_policylist(h, l.get()), 0u);
    Policy p;
    EXPECT_EQ(rspi_first_policy(h, l.get(), p.get(), 1), RSPI_RC_INVALID_POLICY);
    EXPECT_EQ(rspi_next_policy(h, l.get(), p.get(), 0), RSPI_RC_MALFORMED_ENTRY);
}

class Resources : public Registry {
protected:
    uint32_t create(const char *name) { return rspi_create_resource(h, resource(name).get()); }
};

TEST_F(Resources, CreateWritesTheResourceFileAndReadsItBack) {
    Resource r = resource("Printer:A");
    r.set(r->description, "first floor");
    r->attribute = 4000000000u;
    r->blob = blob(std::string_view("ab\0", 3));
    ASSERT_EQ(rspi_create_resource(h, r.get()), 0u);
    EXPECT_STREQ(r->name, "printer:a");
    EXPECT_EQ(r->state, 1u);
    ASSERT_NE(r->uuid_string, nullptr);
    EXPECT_EQ(lines(read("printer-a.QZresource")),
              (Strings{"printer:a", "1", "first floor", "4000000000", r->uuid_string, "3"}));
    EXPECT_EQ(read("printer-a.QZresource_blob"), std::string("ab\0", 3));
    EXPECT_EQ(read("resourcelist.file"), "printer:a\n");

    Resource got = resource("PRINTER:A");
    ASSERT_EQ(rspi_get_resource(h, got.get()), 0u);
    EXPECT_STREQ(got->description, "first floor");
    EXPECT_EQ(got->attribute, 4000000000u);
    EXPECT_EQ(got->state, 1u);
    EXPECT_STREQ(got->uuid_string, r->uuid_string);
    EXPECT_EQ(std::memcmp(got->uuid, r->uuid, 16), 0);
    EXPECT_EQ(bytes(got->blob), std::string("ab\0", 3));
}

TEST_F(Resources, WithoutABlobThereIsNoLineSixAndAnEmptyBlobWritesZero) {
    ASSERT_EQ(create("plain"), 0u);
    EXPECT_EQ(lines(read("plain.QZresource")).size(), 5u);
    EXPECT_EQ(lines(read("plain.QZresource"))[2], "");  // null description
    // Another name of the same file reads it, but line 1 names the other resource.
    Resource colon = resource("a:b");
    colon.set(colon->description, "the colon one");
    ASSERT_EQ(rspi_create_resource(h, colon.get()), 0u);
    Resource dash = resource("a-b");
    EXPECT_EQ(rspi_get_resource(h, dash.get()), RSPI_RC_MALFORMED_ENTRY);
    EXPECT_STREQ(dash->description, "the colon one");

    Resource empty = resource("empty");
    empty->blob = blob("");
    ASSERT_EQ(rspi_create_resource(h, empty.get()), 0u);
    EXPECT_EQ(lines(read("empty.QZresource"))[5], "0");
    EXPECT_FALSE(exists("empty.QZresource_blob"));
    Resource got = resource("empty");
    got->blob = blob("old");
    ASSERT_EQ(rspi_get_resource(h, got.get()), 0u);
    EXPECT_EQ(got->blob, nullptr);
}

TEST_F(Resources, ModifyKeepsWhatIsNotGivenAndTheUuid) {
    Resource r = resource("disk");
    r.set(r->description, "big");
    r->attribute = 7;
    r->blob = blob("bytes");
    ASSERT_EQ(rspi_create_resource(h, r.get()), 0u);
    const std::string before = read("disk.QZresource");

    ASSERT_EQ(rspi_modify_resource(h, resource("DISK").get()), 0u);
    EXPECT_EQ(read("disk.QZresource"), before);
    EXPECT_EQ(read("disk.QZresource_blob"), "bytes");

    Resource change = resource("disk");
    change->state = 0;
    change->attribute = 8;
    change->blob = blob("other");
    ASSERT_EQ(rspi_modify_resource(h, change.get()), 0u);
    EXPECT_EQ(lines(read("disk.QZresource")), (Strings{"disk", "0", "big", "8", r->uuid_string, "5"}));
    EXPECT_EQ(read("disk.QZresource_blob"), "other");
    ASSERT_EQ(rspi_modify_resource(h, resource("disk").get()), 0u);  // state 2 keeps 0
    EXPECT_EQ(lines(read("disk.QZresource"))[1], "0");

    // A resource missing from the list is listed again.
    write("resourcelist.file", "");
    ASSERT_EQ(rspi_modify_resource(h, resource("disk").get()), 0u);
    EXPECT_EQ(read("resourcelist.file"), "disk\n");

    EXPECT_EQ(rspi_modify_resource(h, resource("none").get()), RSPI_RC_INVALID_RESOURCE);
    write("bad.QZresource", "bad\n1\n");
    EXPECT_EQ(rspi_modify_resource(h, resource("bad").get()), RSPI_RC_MALFORMED_ENTRY);
    EXPECT_EQ(read("bad.QZresource"), "bad\n1\n");
}

TEST_F(Resources, GetReportsShortFilesAndMissingBlobs) {
    write("short.QZresource", "short\n0\ndesc\n");
    Resource got = resource("short");
    got->attribute = 99;
    EXPECT_EQ(rspi_get_resource(h, got.get()), RSPI_RC_MALFORMED_ENTRY);
    EXPECT_STREQ(got->description, "desc");
    EXPECT_EQ(got->attribute, 99u);

    Resource r = resource("disk");
    r->blob = blob("bytes");
    ASSERT_EQ(rspi_create_resource(h, r.get()), 0u);
    ASSERT_EQ(std::remove(path("disk.QZresource_blob").c_str()), 0);
    EXPECT_EQ(rspi_get_resource(h, resource("disk").get()), RSPI_RC_FILE_ERROR);
}

class Resgroups : public Registry {
protected:
    void SetUp() override {
        Registry::SetUp();
        for (const char *r : {"printer:a", "printer-b", "disk"}) ASSERT_EQ(rspi_create_resource(h, resource(r).get()), 0u);
    }
    uint32_t add(const char *group, const char *member) {
        std::string m = member;
        return rspi_add_resgroup_member(h, resgroup(group).get(), m.data());
    }
    uint32_t remove(const char *group, const char *member) {
        std::string m = member;
        return rspi_remove_resgroup_member(h, resgroup(group).get(), m.data());
    }
};

TEST_F(Resgroups, CreateWritesGroupFileMembersFileAndList) {
    Resgroup g = resgroup("Office", members({"Printer:A", "printer-b", "PRINTER-B"}));
    g.set(g->description, "second floor");
    g->attribute = 3000000000u;
    g->blob = blob("rg");
    ASSERT_EQ(rspi_create_resgroup(h, g.get()), 0u);
    EXPECT_STREQ(g->name, "office");
    EXPECT_EQ(g->state, 1u);
    EXPECT_EQ(names_of(g->members), (Strings{"printer:a", "printer-b", "printer-b"}));
    EXPECT_EQ(lines(read("office.QZresgroup")),
              (Strings{"office", "1", "second floor", "3000000000", g->uuid_string, "2"}));
    EXPECT_EQ(read("office.QZresgroup_blob"), "rg");
    EXPECT_EQ(read("office.RGmembers"), "printer-b\nprinter:a\n");
    EXPECT_EQ(read("resgrouplist.file"), "office\n");

    Resgroup got = resgroup("OFFICE");
    got->members = members({"stale"});
    ASSERT_EQ(rspi_get_resgroup(h, got.get()), 0u);
    EXPECT_STREQ(got->description, "second floor");
    EXPECT_EQ(got->attribute, 3000000000u);
    EXPECT_STREQ(got->uuid_string, g->uuid_string);
    EXPECT_EQ(std::memcmp(got->uuid, g->uuid, 16), 0);
    EXPECT_EQ(bytes(got->blob), "rg");
    EXPECT_EQ(names_of(got->members), (Strings{"printer-b", "printer:a"}));

    Resgroup empty = resgroup("empty");
    empty->blob = blob("");
    ASSERT_EQ(rspi_create_resgroup(h, empty.get()), 0u);
    EXPECT_EQ(lines(read("empty.QZresgroup")), (Strings{"empty", "1", "", "0", empty->uuid_string, "0"}));
    EXPECT_FALSE(exists("empty.QZresgroup_blob"));
    EXPECT_FALSE(exists("empty.RGmembers"));
    Resgroup none = resgroup("empty");
    ASSERT_EQ(rspi_get_resgroup(h, none.get()), 0u);
    EXPECT_EQ(none->blob, nullptr);
    ASSERT_NE(none->members, nullptr);
    EXPECT_EQ(none->members->count, 0);
}

TEST_F(Resgroups, AMissingMemberFailsTheStoreAndKeepsTheOldMembers) {
    EXPECT_EQ(rspi_create_resgroup(h, resgroup("lab", members({"disk", "ghost"})).get()), RSPI_RC_INVALID_RESOURCE);
    EXPECT_TRUE(exists("lab.QZresgroup"));
    EXPECT_FALSE(exists("lab.RGmembers"));
    EXPECT_FALSE(exists("resgrouplist.file"));
    EXPECT_EQ(rspi_create_resgroup(h, resgroup("lab").get()), RSPI_RC_RESGROUP_EXISTS);

    ASSERT_EQ(rspi_create_resgroup(h, resgroup("office", members({"disk", "printer:a"})).get()), 0u);
    EXPECT_EQ(rspi_modify_resgroup(h, resgroup("office", members({"printer-b", "ghost"})).get()),
              RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(rspi_modify_resgroup(h, resgroup("office", members({"disk", nullptr})).get()),
              RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(read("office.RGmembers"), "disk\nprinter:a\n");
    EXPECT_EQ(read("resgrouplist.file"), "office\n");
}

TEST_F(Resgroups, ModifyRebuildsTheMembersFromWhatIsGivenOrWhatWasRead) {
    Resgroup g = resgroup("office", members({"disk", "printer:a"}));
    g->blob = blob("rg");
    ASSERT_EQ(rspi_create_resgroup(h, g.get()), 0u);
    const std::string file = read("office.QZresgroup");

    ASSERT_EQ(rspi_modify_resgroup(h, resgroup("Office").get()), 0u);
    EXPECT_EQ(read("office.QZresgroup"), file);
    EXPECT_EQ(read("office.QZresgroup_blob"), "rg");
    EXPECT_EQ(read("office.RGmembers"), "disk\nprinter:a\n");

    Resgroup change = resgroup("office", members({"Printer-B"}));
    change->state = 0;
    change.set(change->description, "moved");
    ASSERT_EQ(rspi_modify_resgroup(h, change.get()), 0u);
    EXPECT_STREQ(change->members->names[0], "printer-b");
    EXPECT_EQ(lines(read("office.QZresgroup")), (Strings{"office", "0", "moved", "0", g->uuid_string, "2"}));
    EXPECT_EQ(read("office.RGmembers"), "printer-b\n");

    ASSERT_EQ(rspi_modify_resgroup(h, resgroup("office", members({})).get()), 0u);
    EXPECT_FALSE(exists("office.RGmembers"));

    // A member whose resource went away fails every later modify.
    ASSERT_EQ(add("office", "disk"), 0u);
    ASSERT_EQ(rspi_delete_resource(h, resource("disk").get()), 0u);
    EXPECT_EQ(rspi_modify_resgroup(h, resgroup("office").get()), RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(read("office.RGmembers"), "disk\n");
    EXPECT_EQ(rspi_modify_resgroup(h, resgroup("none").get()), RSPI_RC_INVALID_RESGROUP);
}

TEST_F(Resgroups, AddAndRemoveSingleMembers) {
    ASSERT_EQ(rspi_create_resgroup(h, resgroup("office").get()), 0u);
    Trace trace;
    EXPECT_EQ(add("office", "Printer:A"), 0u);
    EXPECT_EQ(remove("office", "printer-b"), RSPI_RC_ENTRY_NOT_IN_LIST);
    EXPECT_EQ(trace.take(),
              "rspi_add_resgroup_member invoked\nrspi_add_resgroup_member rc = 0\n"
              "rspi_remove_resgroup_member invoked\nrspi_remove_resgroup_member rc = 24\n");
    EXPECT_EQ(add("OFFICE", "printer:a"), 0u);
    EXPECT_EQ(add("office", "disk"), 0u);
    EXPECT_EQ(read("office.RGmembers"), "disk\nprinter:a\n");
    EXPECT_EQ(add("office", "ghost"), RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(add("office", "two words"), RSPI_RC_INVALID_RESOURCE);
    EXPECT_EQ(add("none", "disk"), RSPI_RC_INVALID_RESGROUP);
    EXPECT_EQ(rspi_add_resgroup_member(h, resgroup("office").get(), nullptr), RSPI_RC_INVALID_RESOURCE);

    EXPECT_EQ(remove("none", "disk"), RSPI_RC_INVALID_RESGROUP);
    EXPECT_EQ(rspi_remove_resgroup_member(h, resgroup("office").get(), nullptr), RSPI_RC_INVALID_RESGROUP);
    EXPECT_EQ(remove("office", "PRINTER:A"), 0u);
    EXPECT_EQ(remove("office", "disk"), 0u);
    EXPECT_FALSE(exists("office.RGmembers"));
    EXPECT_EQ(remove("office", "disk"), RSPI_RC_ENTRY_NOT_IN_LIST);
    Resgroup got = resgroup("office");
    ASSERT_EQ(rspi_get_resgroup(h, got.get()), 0u);
    EXPECT_EQ(got->members->count, 0);
}

TEST_F(Resgroups, GetIsLenientAboutTheGroupFileButNotAboutTheBlob) {
    write("bare.QZresgroup", "whatever\n0\n");
    write("bare.RGmembers", "disk\n");
    Resgroup got = resgroup("bare");
    got.set(got->description, "kept");
    got->blob = blob("old");
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
    ASSERT_EQ(rspi_get_resgroup(h, got.get()), 0u);
    EXPECT_EQ(bytes(got->blob), "abcd");
}

TEST_F(Resgroups, DeleteTakesTheMembersFileAndBlobWithIt) {
    Resgroup g = resgroup("Office", members({"disk"}));
    g->blob = blob("rg");
    ASSERT_EQ(rspi_create_resgroup(h, g.get()), 0u);
    ASSERT_EQ(rspi_create_resgroup(h, resgroup("lab").get()), 0u);
    EXPECT_EQ(rspi_delete_resgroup(h, resgroup("OFFICE").get()), 0u);
    for (const char *f : {"office.QZresgroup", "office.QZresgroup_blob", "office.RGmembers"})
        EXPECT_FALSE(exists(f)) << f;
    EXPECT_EQ(read("resgrouplist.file"), "lab\n");
    // Without its group file nothing of a group is touched.
    write("none.RGmembers", "disk\n");
    EXPECT_EQ(rspi_delete_resgroup(h, resgroup("none").get()), RSPI_RC_INVALID_RESGROUP);
    EXPECT_TRUE(exists("none.RGmembers"));
}

// The three families share their list, cursor and diagnostics; each runs the
// same steps on records named by one word.
template <class R, class RecT, class L, class ListT>
struct Family {
    using Rec = RecT;
    using List = ListT;
    std::string name;  // as in the operation names
    uint32_t invalid, exists;
    std::string list_file;
    std::string (*file)(const std::string &word);
    RecT (*make)(const char *word);
    const char *(*word)(const R &);
    uint32_t (*create)(char **, R *), (*get)(char **, R *), (*modify)(char **, R *), (*remove)(char **, R *);
    uint32_t (*get_list)(char **, L *);
    int32_t (*count)(char **, L *);
    uint32_t (*first)(char **, L *, R *, int32_t), (*next)(char **, L *, R *, int32_t),
        (*previous)(char **, L *, R *, int32_t);
    bool missing_delete_takes_blob;  // a delete of a missing record still removes a stray blob
};

const Family<rspi_policy, Policy, rspi_policylist, PolicyList> kPolicies{
    "policy", 32, 42, "policylist.file", [](const std::string &w) { return "corp_" + w + ".QZpolicy"; },
    [](const char *w) { return policy("corp", w); }, [](const rspi_policy &p) -> const char * { return p.policy_id; },
    rspi_create_policy, rspi_get_policy, rspi_modify_policy, rspi_delete_policy, rspi_get_policylist,
    rspi_policylist_count, rspi_first_policy, rspi_next_policy, rspi_previous_policy, true};
const Family<rspi_resource, Resource, rspi_resourcelist, ResourceList> kResources{
    "resource", 33, 43, "resourcelist.file", [](const std::string &w) { return w + ".QZresource"; }, resource,
    [](const rspi_resource &r) -> const char * { return r.name; }, rspi_create_resource, rspi_get_resource,
    rspi_modify_resource, rspi_delete_resource, rspi_get_resourcelist, rspi_resourcelist_count,
    rspi_first_resource, rspi_next_resource, rspi_previous_resource, true};
const Family<rspi_resgroup, Resgroup, rspi_resgrouplist, ResgroupList> kResgroups{
    "resgroup", 34, 44, "resgrouplist.file", [](const std::string &w) { return w + ".QZresgroup"; },
    [](const char *w) { return resgroup(w); }, [](const rspi_resgroup &g) -> const char * { return g.name; },
    rspi_create_resgroup, rspi_get_resgroup, rspi_modify_resgroup, rspi_delete_resgroup, rspi_get_resgrouplist,
    rspi_resgrouplist_count, rspi_first_resgroup, rspi_next_resgroup, rspi_previous_resgroup, false};

class Families : public Registry {
protected:
    template <class F>
    void cursor_walks_both_ways(const F &f) {
        SCOPED_TRACE(f.name);
        typename F::Rec r;
        typename F::List empty;
        ASSERT_EQ(f.get_list(h, empty.get()), 0u);
        EXPECT_EQ(f.count(h, empty.get()), 0);
        EXPECT_EQ(f.first(h, empty.get(), r.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
        EXPECT_EQ(f.previous(h, empty.get(), r.get(), 0), RSPI_RC_NO_MORE_ENTRIES);

        ASSERT_EQ(f.create(h, f.make("silver").get()), 0u);
        auto gold = f.make("gold");
        gold.set(gold->description, "described");
        ASSERT_EQ(f.create(h, gold.get()), 0u);
        typename F::List l;
        ASSERT_EQ(f.get_list(h, l.get()), 0u);
        EXPECT_EQ(f.count(h, l.get()), 2);
        const auto at = [&](decltype(f.next) move, int32_t fetch) {
            const uint32_t rc = move(h, l.get(), r.get(), fetch);
            return rc == 0 ? str(f.word(*r)) : std::to_string(rc);
        };
        EXPECT_EQ(at(f.next, 0), "gold");  // next on a fresh list is the first
        EXPECT_EQ(r->description, nullptr);  // fetch 0 fills the names only
        EXPECT_EQ(at(f.next, 1), "silver");
        EXPECT_STREQ(r->description, "");
        EXPECT_EQ(at(f.next, 0), "5");
        EXPECT_EQ(at(f.previous, 0), "silver");  // past the end, previous is the last
        EXPECT_EQ(at(f.next, 0), "5");
        EXPECT_EQ(at(f.next, 1), "gold");  // next after the end starts again
        EXPECT_STREQ(r->description, "described");
        EXPECT_EQ(at(f.previous, 0), "5");
        EXPECT_EQ(at(f.first, 0), "gold");

        // The loaded list does not see later changes; a listed name without a file is invalid.
        ASSERT_EQ(f.remove(h, f.make("silver").get()), 0u);
        EXPECT_EQ(f.count(h, l.get()), 2);
        EXPECT_EQ(at(f.next, 1), std::to_string(f.invalid));
        EXPECT_EQ(f.next(h, nullptr, r.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
        EXPECT_EQ(f.first(h, l.get(), nullptr, 0), f.invalid);
    }
    template <class F>
    void delete_without_file_or_list_line(const F &f) {
        SCOPED_TRACE(f.name);
        write(f.file("none") + "_blob", "stray");
        EXPECT_EQ(f.remove(h, f.make("none").get()), f.invalid);
        EXPECT_EQ(exists(f.file("none") + "_blob"), !f.missing_delete_takes_blob);
        EXPECT_EQ(f.get(h, f.make("none").get()), f.invalid);
        // A record whose list line is gone is still deleted, and 24 tells so.
        ASSERT_EQ(f.create(h, f.make("lost").get()), 0u);
        write(f.list_file, "other\n");
        EXPECT_EQ(f.remove(h, f.make("lost").get()), RSPI_RC_ENTRY_NOT_IN_LIST);
        EXPECT_FALSE(exists(f.file("lost")));
        EXPECT_EQ(read(f.list_file), "other\n");
    }
    template <class F>
    void diagnostics(const F &f) {
        SCOPED_TRACE(f.name);
        const auto calls = [](const std::string &op, uint32_t rc) {
            return op + " invoked\n" + op + " rc = " + std::to_string(rc) + "\n";
        };
        const std::string create = "rspi_create_" + f.name, get = "rspi_get_" + f.name,
                          modify = "rspi_modify_" + f.name, first = "rspi_first_" + f.name,
                          next = "rspi_next_" + f.name, previous = "rspi_previous_" + f.name;
        Trace trace;
        ASSERT_EQ(f.create(h, f.make("gold").get()), 0u);
        EXPECT_EQ(f.create(h, f.make("gold").get()), f.exists);
        ASSERT_EQ(f.modify(h, f.make("gold").get()), 0u);
        EXPECT_EQ(f.remove(h, f.make("none").get()), f.invalid);
        EXPECT_EQ(trace.take(), calls(create, 0) + calls(create, f.exists) + modify + " invoked\n" + calls(get, 0) +
                                    modify + " rc = 0\n" + calls("rspi_delete_" + f.name, f.invalid));

        typename F::List l, fresh;
        ASSERT_EQ(f.get_list(h, l.get()), 0u);
        EXPECT_EQ(f.count(h, l.get()), 1);
        typename F::Rec r;
        ASSERT_EQ(f.first(h, l.get(), r.get(), 1), 0u);
        EXPECT_EQ(f.previous(h, l.get(), r.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
        ASSERT_EQ(f.get_list(h, fresh.get()), 0u);
        // A failed list load or name copy ends without an exit line.
        rspiutil_fail_nth_alloc(1);
        EXPECT_EQ(f.first(h, fresh.get(), r.get(), 0), RSPI_RC_NO_MEMORY);
        rspiutil_fail_nth_alloc(1);
        EXPECT_EQ(f.next(h, l.get(), r.get(), 0), RSPI_RC_NO_MEMORY);
        rspiutil_fail_nth_alloc(0);
        EXPECT_EQ(trace.take(), calls("rspi_get_" + f.name + "list", 0) + "rspi_" + f.name + "list_count invoked\n" +
                                    first + " invoked\n" + calls(get, 0) + first + " rc = 0\n" + calls(previous, 5) +
                                    calls("rspi_get_" + f.name + "list", 0) + first + " invoked\n" + next +
                                    " invoked\n");
    }
};

TEST_F(Families, CursorWalksTheListBothWays) {
    cursor_walks_both_ways(kPolicies);
    cursor_walks_both_ways(kResources);
    cursor_walks_both_ways(kResgroups);
}

TEST_F(Families, DeleteWithoutTheFileOrWithoutTheListLine) {
    delete_without_file_or_list_line(kPolicies);
    delete_without_file_or_list_line(kResources);
    delete_without_file_or_list_line(kResgroups);
}

TEST_F(Families, DiagnosticsNameEveryOperation) {
    diagnostics(kPolicies);
    diagnostics(kResources);
    diagnostics(kResgroups);
}

}  // namespace
