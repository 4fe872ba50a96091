// Policies through the exported interface: the policy file line by line, its
// blob and list, the modify merge, the cursor and the diagnostics.
#include <string>
#include <vector>

#include "api_resource_support.h"
#include "registry.h"

namespace {

using tolvtest::bytes;
using tolvtest::lines;
using tolvtest::set;
using Policy = tolvtest::Rec<rspi_policy, rspi_alloc_policy, rspi_free_policy>;
using PolicyList = tolvtest::Rec<rspi_policylist, rspi_alloc_policylist, rspi_free_policylist>;

// A record with the keys set and every other field "not given".
Policy keys(const char *domain, const char *id) {
    Policy p;
    set(p->domain, domain);
    set(p->policy_id, id);
    p->state = 2;
    p->flag_2 = p->flag_3 = 2;
    for (int32_t *n : {&p->number_2, &p->number_3,  &p->number_4,  &p->number_5,  &p->number_6,  &p->number_7,
                       &p->number_8, &p->number_9,  &p->number_10, &p->number_11, &p->number_12, &p->number_13,
                       &p->number_14, &p->number_15, &p->number_16, &p->number_17})
        *n = -1;
    return p;
}

// Every field given: number_k = 100 + k.
Policy full(const char *domain, const char *id) {
    Policy p = keys(domain, id);
    set(p->description, "gold members only");
    set(p->text_1, "text one");
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
    p->blob = tolvtest::blob("xyz");
    return p;
}

class Policies : public tolvtest::Registry {
protected:
    uint32_t create(const char *domain, const char *id) { return rspi_create_policy(h, keys(domain, id).get()); }
    PolicyList listing() {
        PolicyList l;
        EXPECT_EQ(rspi_get_policylist(h, l.get()), 0u);
        return l;
    }
};

TEST_F(Policies, CreateWritesThePolicyFileLineByLineAndReadsItBack) {
    Policy p = full("Corp", "Gold");
    ASSERT_EQ(rspi_create_policy(h, p.get()), 0u);
    EXPECT_STREQ(p->domain, "corp");
    EXPECT_STREQ(p->policy_id, "gold");
    EXPECT_EQ(p->state, 1u);
    ASSERT_NE(p->uuid_string, nullptr);
    ASSERT_EQ(std::string(p->uuid_string).size(), 36u);

    std::vector<std::string> want{"gold", "corp", "1", "gold members only", "3000000000", p->uuid_string, "-7"};
    for (int k = 2; k <= 16; ++k) want.push_back(std::to_string(100 + k));
    for (const char *l : {"0", "1", "text one", "3", "117"}) want.push_back(l);
    EXPECT_EQ(lines(read("corp_gold.QZpolicy")), want);
    EXPECT_EQ(read("corp_gold.QZpolicy_blob"), "xyz");
    EXPECT_EQ(read("policylist.file"), "corp gold\n");

    Policy got = keys("CORP", "GOLD");
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
    Policy p = keys("corp", "plain");
    p->blob = tolvtest::blob("");
    ASSERT_EQ(rspi_create_policy(h, p.get()), 0u);
    const auto l = lines(read("corp_plain.QZpolicy"));
    ASSERT_EQ(l.size(), 27u);
    EXPECT_EQ(l[3], "");
    EXPECT_EQ(l[24], "");
    EXPECT_EQ(l[25], "0");
    EXPECT_FALSE(exists("corp_plain.QZpolicy_blob"));

    Policy got = keys("corp", "plain");
    got->blob = tolvtest::blob("old");
    ASSERT_EQ(rspi_get_policy(h, got.get()), 0u);
    EXPECT_STREQ(got->description, "");
    EXPECT_EQ(got->blob, nullptr);
    EXPECT_EQ(got->number_9, -1);
}

TEST_F(Policies, CreateRefusesBadKeysAndExistingPolicies) {
    ASSERT_EQ(create("corp", "gold"), 0u);
    EXPECT_EQ(create("CORP", "Gold"), RSPI_RC_POLICY_EXISTS);
    EXPECT_EQ(create("corp", "go ld"), RSPI_RC_INVALID_POLICY);
    EXPECT_EQ(create("", "silver"), RSPI_RC_INVALID_POLICY);
    EXPECT_EQ(create(nullptr, "silver"), RSPI_RC_INVALID_POLICY);
    EXPECT_EQ(rspi_create_policy(h, nullptr), RSPI_RC_INVALID_POLICY);
    EXPECT_EQ(read("policylist.file"), "corp gold\n");
}

TEST_F(Policies, NamesAreBoundedBeforeAnythingIsWritten) {
    // "d_" + id + ".QZpolicy" + "_blob_T" (the blob while it is written) must stay within 255 bytes.
    const std::string longest(237, 'p');
    EXPECT_EQ(create("d", longest.c_str()), 0u);
    EXPECT_EQ(create("d", (longest + "p").c_str()), RSPI_RC_INVALID_POLICY);
    EXPECT_EQ(create("d", "line\nbreak"), RSPI_RC_INVALID_POLICY);
    EXPECT_EQ(tolvtest::list_dir(dir()).size(), 2u);
    EXPECT_EQ(read("policylist.file"), "d " + longest + "\n");
}

TEST_F(Policies, ModifyWithNothingGivenRewritesTheSameBytes) {
    ASSERT_EQ(rspi_create_policy(h, full("corp", "gold").get()), 0u);
    const std::string before = read("corp_gold.QZpolicy");
    Policy nothing = keys("Corp", "GOLD");
    ASSERT_EQ(rspi_modify_policy(h, nothing.get()), 0u);
    EXPECT_STREQ(nothing->domain, "corp");
    EXPECT_EQ(read("corp_gold.QZpolicy"), before);
    EXPECT_EQ(read("corp_gold.QZpolicy_blob"), "xyz");
    EXPECT_EQ(nothing->description, nullptr);
}

TEST_F(Policies, ModifyMergesGivenFieldsAndResetsWithMinusTwo) {
    ASSERT_EQ(rspi_create_policy(h, full("corp", "gold").get()), 0u);
    auto before = lines(read("corp_gold.QZpolicy"));

    Policy reset5 = keys("corp", "gold");
    reset5->number_5 = -2;
    ASSERT_EQ(rspi_modify_policy(h, reset5.get()), 0u);
    before[10] = "-1";  // number_5 is line 11
    EXPECT_EQ(lines(read("corp_gold.QZpolicy")), before);

    Policy change = keys("corp", "gold");
    change->long_1 = -2;
    change->flag_2 = static_cast<uint32_t>(-2);
    change->flag_3 = 0;
    change->number_17 = 5;
    change->attribute = 9;
    change->state = 0;
    set(change->text_1, "new text");
    change->blob = tolvtest::blob("blob 2");
    ASSERT_EQ(rspi_modify_policy(h, change.get()), 0u);
    Policy got = keys("corp", "gold");
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
    Policy keep = keys("corp", "gold");
    ASSERT_EQ(rspi_modify_policy(h, keep.get()), 0u);
    EXPECT_EQ(lines(read("corp_gold.QZpolicy"))[2], "0");
    EXPECT_EQ(rspi_modify_policy(h, keys("corp", "none").get()), RSPI_RC_INVALID_POLICY);
    EXPECT_FALSE(exists("corp_none.QZpolicy"));
}

TEST_F(Policies, GetReportsMissingMalformedAndShortBlobs) {
    EXPECT_EQ(rspi_get_policy(h, keys("corp", "gold").get()), RSPI_RC_INVALID_POLICY);
    write("corp_short.QZpolicy", "short\ncorp\n0\nwhat\n");
    Policy got = keys("corp", "short");
    EXPECT_EQ(rspi_get_policy(h, got.get()), RSPI_RC_MALFORMED_ENTRY);
    EXPECT_STREQ(got->description, "what");
    EXPECT_EQ(got->state, 0u);

    ASSERT_EQ(rspi_create_policy(h, full("corp", "gold").get()), 0u);
    write("corp_gold.QZpolicy_blob", "xy");
    EXPECT_EQ(rspi_get_policy(h, keys("corp", "gold").get()), RSPI_RC_FILE_ERROR);
    Policy again = keys("corp", "gold");
    tolvtest::for_each_failed_alloc([&] { return rspi_get_policy(h, again.get()); },
                                    [](uint32_t rc, bool failed) { EXPECT_EQ(rc, failed ? 3u : 6u); });
}

TEST_F(Policies, DeleteRemovesFileBlobAndListEntry) {
    ASSERT_EQ(rspi_create_policy(h, full("corp", "gold").get()), 0u);
    ASSERT_EQ(create("corp", "silver"), 0u);
    write("corp_none.QZpolicy_blob", "stray");
    EXPECT_EQ(rspi_delete_policy(h, keys("corp", "none").get()), RSPI_RC_INVALID_POLICY);
    EXPECT_FALSE(exists("corp_none.QZpolicy_blob"));
    EXPECT_EQ(read("policylist.file"), "corp gold\ncorp silver\n");

    EXPECT_EQ(rspi_delete_policy(h, keys("Corp", "Gold").get()), 0u);
    EXPECT_FALSE(exists("corp_gold.QZpolicy"));
    EXPECT_FALSE(exists("corp_gold.QZpolicy_blob"));
    EXPECT_EQ(read("policylist.file"), "corp silver\n");

    write("policylist.file", "");
    EXPECT_EQ(rspi_delete_policy(h, keys("corp", "silver").get()), RSPI_RC_ENTRY_NOT_IN_LIST);
    EXPECT_FALSE(exists("corp_silver.QZpolicy"));
}

TEST_F(Policies, CursorWalksTheListBothWays) {
    PolicyList empty = listing();
    Policy p;
    EXPECT_EQ(rspi_first_policy(h, empty.get(), p.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    EXPECT_EQ(rspi_policylist_count(h, empty.get()), 0);
    EXPECT_EQ(rspi_next_policy(h, nullptr, p.get(), 0), RSPI_RC_NO_MORE_ENTRIES);

    ASSERT_EQ(create("corp", "silver"), 0u);
    ASSERT_EQ(rspi_create_policy(h, full("corp", "gold").get()), 0u);
    PolicyList l = listing();
    EXPECT_EQ(rspi_policylist_count(h, l.get()), 2);
    ASSERT_EQ(rspi_first_policy(h, l.get(), p.get(), 0), 0u);
    EXPECT_STREQ(p->domain, "corp");
    EXPECT_STREQ(p->policy_id, "gold");
    EXPECT_EQ(p->description, nullptr);  // fetch 0 fills the keys only
    ASSERT_EQ(rspi_next_policy(h, l.get(), p.get(), 1), 0u);
    EXPECT_STREQ(p->policy_id, "silver");
    EXPECT_STREQ(p->description, "");
    EXPECT_EQ(rspi_next_policy(h, l.get(), p.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    ASSERT_EQ(rspi_next_policy(h, l.get(), p.get(), 1), 0u);
    EXPECT_STREQ(p->policy_id, "gold");
    EXPECT_STREQ(p->description, "gold members only");
    EXPECT_EQ(rspi_previous_policy(h, l.get(), p.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    ASSERT_EQ(rspi_next_policy(h, l.get(), p.get(), 0), 0u);
    EXPECT_STREQ(p->policy_id, "gold");

    // A line without a blank is malformed; a listed policy without a file is 32.
    write("policylist.file", "corp ghost\nnoblank\n");
    PolicyList bad = listing();
    EXPECT_EQ(rspi_first_policy(h, bad.get(), p.get(), 1), RSPI_RC_INVALID_POLICY);
    EXPECT_EQ(rspi_next_policy(h, bad.get(), p.get(), 0), RSPI_RC_MALFORMED_ENTRY);
}

TEST_F(Policies, DiagnosticsNameEveryOperation) {
    tolvtest::Trace trace;
    ASSERT_EQ(create("corp", "gold"), 0u);
    EXPECT_EQ(create("corp", "gold"), RSPI_RC_POLICY_EXISTS);
    EXPECT_EQ(trace.take(),
              "rspi_create_policy invoked\nrspi_create_policy rc = 0\n"
              "rspi_create_policy invoked\nrspi_create_policy rc = 42\n");

    ASSERT_EQ(rspi_modify_policy(h, keys("corp", "gold").get()), 0u);
    EXPECT_EQ(trace.take(),
              "rspi_modify_policy invoked\nrspi_get_policy invoked\nrspi_get_policy rc = 0\n"
              "rspi_modify_policy rc = 0\n");

    PolicyList l = listing();
    EXPECT_EQ(rspi_policylist_count(h, l.get()), 1);
    Policy p;
    ASSERT_EQ(rspi_first_policy(h, l.get(), p.get(), 1), 0u);
    EXPECT_EQ(rspi_next_policy(h, l.get(), p.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    EXPECT_EQ(trace.take(),
              "rspi_get_policylist invoked\nrspi_get_policylist rc = 0\n"
              "rspi_policylist_count invoked\n"
              "rspi_first_policy invoked\nrspi_get_policy invoked\nrspi_get_policy rc = 0\n"
              "rspi_first_policy rc = 0\n"
              "rspi_next_policy invoked\nrspi_next_policy rc = 5\n");

    // A failed list load or name copy ends without an exit line.
    PolicyList fresh = listing();
    PolicyList loaded = listing();
    EXPECT_EQ(rspi_policylist_count(h, loaded.get()), 1);
    trace.take();
    rspiutil_fail_nth_alloc(1);
    EXPECT_EQ(rspi_first_policy(h, fresh.get(), p.get(), 0), RSPI_RC_NO_MEMORY);
    rspiutil_fail_nth_alloc(1);
    EXPECT_EQ(rspi_next_policy(h, loaded.get(), p.get(), 0), RSPI_RC_NO_MEMORY);
    rspiutil_fail_nth_alloc(0);
    EXPECT_EQ(rspi_previous_policy(h, loaded.get(), p.get(), 0), RSPI_RC_NO_MORE_ENTRIES);
    EXPECT_EQ(trace.take(),
              "rspi_first_policy invoked\n"
              "rspi_next_policy invoked\n"
              "rspi_previous_policy invoked\nrspi_previous_policy rc = 5\n");
}

}  // namespace
