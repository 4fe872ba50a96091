// librspiutil: zero-filled records, complete release of populated records
// (leaks show under the ASan build), and the allocation fault switch.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <thread>
#include <vector>

#include "rspiutil_test.h"
#include "tolv.h"

namespace {

bool all_equal(const void *p, size_t size, unsigned char value) {
    const auto *bytes = static_cast<const unsigned char *>(p);
    return size == 0 || (bytes[0] == value && std::memcmp(bytes, bytes + 1, size - 1) == 0);
}

bool all_zero(const void *p, size_t size) {
    return all_equal(p, size, 0);
}

class RspiUtil : public ::testing::Test {
protected:
    void TearDown() override { rspiutil_fail_nth_alloc(0); }
};

// Each builder fills every owned field through the library and returns null,
// releasing what it built, as soon as an allocation fails.

template <class List>
bool fill_list(List *list, std::initializer_list<const char *> entries) {
    if ((list->file = rspi_strdup("list.file")) == nullptr) {
        return false;
    }
    rspi_list_item *tail = nullptr;
    for (const char *entry : entries) {
        auto *item = static_cast<rspi_list_item *>(rspi_alloc(sizeof(rspi_list_item)));
        if (item == nullptr) {
            return false;
        }
        item->prev = tail;
        (tail != nullptr ? tail->next : list->first) = item;
        tail = item;
        list->count++;
        if ((item->data = rspi_strdup(entry)) == nullptr) {
            return false;
        }
    }
    list->current = tail;
    return true;
}

rspi_authndata *make_password(const char *text) {
    rspi_authndata *authn = rspi_alloc_authndata();
    if (authn != nullptr) {
        authn->type = 1;
        authn->length = static_cast<uint32_t>(std::strlen(text));
        if ((authn->data = rspi_strdup(text)) == nullptr) {
            rspi_free_authndata(authn);
            return nullptr;
        }
    }
    return authn;
}

template <class Record>
bool fill_slots(Record *record, char **slots) {
    for (int32_t i = 0; i < record->count; ++i) {
        if ((slots[i] = rspi_strdup(i == 1 ? "" : "entry")) == nullptr) {
            return false;
        }
    }
    return true;
}

bool fill_strings(std::initializer_list<char **> fields) {
    for (char **field : fields) {
        if ((*field = rspi_strdup("text")) == nullptr) {
            return false;
        }
    }
    return true;
}

rspi_user *make_user() {
    rspi_user *u = rspi_alloc_user();
    if (u == nullptr) {
        return nullptr;
    }
    const bool ok =
        fill_strings({&u->user_id, &u->domain, &u->description, &u->uuid_string, &u->text_1, &u->text_2,
                      &u->text_3, &u->registry_id, &u->text_4, &u->cert_dn, &u->text_5}) &&
        (u->password = make_password("secret")) != nullptr &&
        (u->login_types = rspi_alloc_logintypes(3)) != nullptr && fill_slots(u->login_types, u->login_types->types) &&
        (u->groups = rspi_alloc_grouplist()) != nullptr && fill_list(u->groups, {"g1", "g2", "g3"}) &&
        (u->blob = rspi_alloc_blob(64)) != nullptr;
    if (!ok) {
        rspi_free_user(u);
        return nullptr;
    }
    return u;
}

rspi_group *make_group() {
    rspi_group *g = rspi_alloc_group();
    if (g == nullptr) {
        return nullptr;
    }
    const bool ok = fill_strings({&g->group_id, &g->domain, &g->description, &g->uuid_string, &g->registry_id}) &&
                    (g->members = rspi_alloc_userlist()) != nullptr && fill_list(g->members, {"u1", "u2"}) &&
                    (g->blob = rspi_alloc_blob(5)) != nullptr;
    if (!ok) {
        rspi_free_group(g);
        return nullptr;
    }
    return g;
}

TEST_F(RspiUtil, NewRecordsAreZeroFilled) {
    void *raw = rspi_alloc(100);
    ASSERT_NE(raw, nullptr);
    EXPECT_TRUE(all_zero(raw, 100));
    rspi_free(raw);

#define CHECK_ZERO(kind)                                        \
    {                                                           \
        auto *r = rspi_alloc_##kind();                          \
        ASSERT_NE(r, nullptr) << #kind;                         \
        EXPECT_TRUE(all_zero(r, sizeof(*r))) << #kind;          \
        rspi_free_##kind(r);                                    \
    }
    CHECK_ZERO(user) CHECK_ZERO(group) CHECK_ZERO(policy) CHECK_ZERO(resource) CHECK_ZERO(resgroup)
    CHECK_ZERO(rescreds) CHECK_ZERO(authndata) CHECK_ZERO(userlist) CHECK_ZERO(grouplist)
    CHECK_ZERO(policylist) CHECK_ZERO(resourcelist) CHECK_ZERO(resgrouplist) CHECK_ZERO(rescredslist)
#undef CHECK_ZERO
}

TEST_F(RspiUtil, SizedRecords) {
    rspi_blob *blob = rspi_alloc_blob(300);
    ASSERT_NE(blob, nullptr);
    EXPECT_EQ(blob->length, 300u);
    ASSERT_NE(blob->data, nullptr);
    EXPECT_TRUE(all_zero(blob->data, 300));
    std::memset(blob->data, 0xab, 300);  // the whole block is writable
    rspi_free_blob(blob);

    rspi_blob *empty = rspi_alloc_blob(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->length, 0u);
    rspi_free_blob(empty);

    for (int32_t n : {0, 1, 7}) {
        rspi_logintypes *types = rspi_alloc_logintypes(n);
        ASSERT_NE(types, nullptr);
        EXPECT_EQ(types->count, n);
        char **slots = types->types;
        for (int32_t i = 0; i < n; ++i) {
            EXPECT_EQ(slots[i], nullptr);
        }
        EXPECT_TRUE(fill_slots(types, slots));
        rspi_free_logintypes(types);

        rspi_resgroupmembers *members = rspi_alloc_resgroupmembers(n);
        ASSERT_NE(members, nullptr);
        EXPECT_EQ(members->count, n);
        EXPECT_TRUE(fill_slots(members, members->names));
        rspi_free_resgroupmembers(members);
    }
    EXPECT_EQ(rspi_alloc_logintypes(-1), nullptr);
    EXPECT_EQ(rspi_alloc_resgroupmembers(-5), nullptr);
}

TEST_F(RspiUtil, StrdupCopies) {
    const char text[] = "Hello, registry";
    char *copy = rspi_strdup(text);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, text);
    EXPECT_STREQ(copy, text);
    rspi_free(copy);
    EXPECT_EQ(rspi_strdup(nullptr), nullptr);
}

TEST_F(RspiUtil, FreesAcceptNull) {
    rspi_free(nullptr);
    rspi_free_user(nullptr);
    rspi_free_group(nullptr);
    rspi_free_policy(nullptr);
    rspi_free_resource(nullptr);
    rspi_free_resgroup(nullptr);
    rspi_free_rescreds(nullptr);
    rspi_free_userlist(nullptr);
    rspi_free_grouplist(nullptr);
    rspi_free_policylist(nullptr);
    rspi_free_resourcelist(nullptr);
    rspi_free_resgrouplist(nullptr);
    rspi_free_rescredslist(nullptr);
    rspi_free_authndata(nullptr);
    rspi_free_blob(nullptr);
    rspi_free_logintypes(nullptr);
    rspi_free_resgroupmembers(nullptr);
}

// Populated records are released whole; the leak checker of the ASan build
// reports anything left behind.
TEST_F(RspiUtil, FreesPopulatedRecords) {
    rspi_free_user(make_user());
    rspi_free_group(make_group());

    rspi_policy *policy = rspi_alloc_policy();
    ASSERT_NE(policy, nullptr);
    ASSERT_TRUE(fill_strings({&policy->policy_id, &policy->domain, &policy->description, &policy->uuid_string,
                              &policy->text_1}));
    policy->blob = rspi_alloc_blob(1);
    rspi_free_policy(policy);

    rspi_resource *resource = rspi_alloc_resource();
    ASSERT_NE(resource, nullptr);
    ASSERT_TRUE(fill_strings({&resource->name, &resource->description, &resource->uuid_string}));
    resource->blob = rspi_alloc_blob(2);
    rspi_free_resource(resource);

    rspi_resgroup *resgroup = rspi_alloc_resgroup();
    ASSERT_NE(resgroup, nullptr);
    ASSERT_TRUE(fill_strings({&resgroup->name, &resgroup->description, &resgroup->uuid_string}));
    resgroup->members = rspi_alloc_resgroupmembers(4);
    ASSERT_TRUE(fill_slots(resgroup->members, resgroup->members->names));
    resgroup->blob = rspi_alloc_blob(3);
    rspi_free_resgroup(resgroup);

    rspi_rescreds *creds = rspi_alloc_rescreds();
    ASSERT_NE(creds, nullptr);
    ASSERT_TRUE(fill_strings({&creds->name, &creds->description, &creds->uuid_string, &creds->text_1}));
    creds->password = make_password("pw");
    creds->blob = rspi_alloc_blob(4);
    rspi_free_rescreds(creds);

    auto *policies = rspi_alloc_policylist();
    ASSERT_TRUE(fill_list(policies, {"a", "b"}));
    rspi_free_policylist(policies);
    auto *resources = rspi_alloc_resourcelist();
    ASSERT_TRUE(fill_list(resources, {"a"}));
    rspi_free_resourcelist(resources);
    auto *resgroups = rspi_alloc_resgrouplist();
    ASSERT_TRUE(fill_list(resgroups, {"a", "b", "c"}));
    rspi_free_resgrouplist(resgroups);
    auto *credlist = rspi_alloc_rescredslist();
    ASSERT_TRUE(fill_list(credlist, {"a"}));
    rspi_free_rescredslist(credlist);
}

TEST_F(RspiUtil, FailsExactlyTheNthAllocation) {
    rspiutil_fail_nth_alloc(3);
    EXPECT_EQ(rspiutil_alloc_count(), 0);
    char *first = rspi_strdup("1");
    void *second = rspi_alloc(8);
    rspi_user *third = rspi_alloc_user();
    rspi_group *fourth = rspi_alloc_group();
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    EXPECT_EQ(rspiutil_alloc_count(), 4);
    rspi_free(first);
    rspi_free(second);
    rspi_free_group(fourth);

    rspiutil_fail_nth_alloc(0);
    rspi_free_user(make_user());
    EXPECT_GT(rspiutil_alloc_count(), 20);
}

TEST_F(RspiUtil, CompoundAllocationFailsWithoutLeak) {
    for (long n : {1, 2}) {
        rspiutil_fail_nth_alloc(n);
        EXPECT_EQ(rspi_alloc_blob(16), nullptr) << n;
        EXPECT_EQ(rspiutil_alloc_count(), n);
    }
    rspiutil_fail_nth_alloc(3);
    rspi_blob *blob = rspi_alloc_blob(16);
    EXPECT_NE(blob, nullptr);
    rspi_free_blob(blob);

    rspiutil_fail_nth_alloc(1);
    EXPECT_EQ(rspi_alloc_logintypes(4), nullptr);
    rspi_resgroupmembers *members = rspi_alloc_resgroupmembers(4);  // the switch fires once only
    EXPECT_NE(members, nullptr);
    rspi_free_resgroupmembers(members);
}

// Failing each allocation of a full user or group in turn releases the
// half-built record cleanly; the walk ends at the first build that succeeds.
TEST_F(RspiUtil, EveryFailurePointOfABuildIsReleased) {
    const std::function<bool()> builds[] = {
        [] { rspi_user *u = make_user(); rspi_free_user(u); return u != nullptr; },
        [] { rspi_group *g = make_group(); rspi_free_group(g); return g != nullptr; },
    };
    for (const auto &build : builds) {
        long n = 1;
        while (true) {
            rspiutil_fail_nth_alloc(n);
            if (build()) {
                break;
            }
            EXPECT_EQ(rspiutil_alloc_count(), n);
            ASSERT_LT(++n, 100);
        }
        EXPECT_GT(n, 5);
    }
}

// Blocks are reused across threads: released by another thread than the one
// that made them, by threads that then end, and in bursts larger than one
// thread keeps. Every block stays the caller's alone (its bytes survive
// while others come and go) and every new one is zero-filled and aligned.
TEST_F(RspiUtil, BlocksSurviveHandOverBetweenThreads) {
    struct Block {
        unsigned char *p;
        size_t size;
        unsigned char tag;
    };
    constexpr int kThreads = 4;
    constexpr int kBlocks = 6000;
    const auto tag = [](int t, int i) { return static_cast<unsigned char>(1 + (t * 31 + i) % 251); };
    std::vector<std::vector<Block>> made(kThreads), handed(kThreads);
    for (int round = 0; round < 3; ++round) {
        std::vector<int> bad(kThreads, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (const Block &b : handed[t]) rspi_free(b.p);
                handed[t].clear();
                for (int i = 0; i < kBlocks; ++i) {
                    const size_t size = static_cast<size_t>((i * 37 + t * 11 + round) % 300);
                    auto *p = static_cast<unsigned char *>(rspi_alloc(size));
                    if (p == nullptr || reinterpret_cast<std::uintptr_t>(p) % 16 != 0 || !all_zero(p, size)) {
                        ++bad[t];
                        continue;
                    }
                    std::memset(p, tag(t, i), size);
                    made[t].push_back({p, size, tag(t, i)});
                }
            });
        }
        for (std::thread &th : threads) th.join();
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_EQ(bad[t], 0) << "thread " << t << " round " << round;
            for (const Block &b : made[t]) ASSERT_TRUE(all_equal(b.p, b.size, b.tag));
            // The next round's neighbour releases them.
            handed[(t + 1) % kThreads] = std::move(made[t]);
            made[t].clear();
        }
    }
    for (auto &list : handed)
        for (const Block &b : list) rspi_free(b.p);

    // One thread releasing far more blocks of one size than it keeps.
    std::vector<void *> burst;
    for (int i = 0; i < 50000; ++i) burst.push_back(rspi_alloc(16));
    for (void *p : burst) rspi_free(p);
    std::thread([] {
        for (int i = 0; i < 50000; ++i) {
            auto *p = static_cast<unsigned char *>(rspi_alloc(16));
            ASSERT_NE(p, nullptr);
            ASSERT_TRUE(all_zero(p, 16));
            rspi_free(p);
        }
    }).join();
}

}  // namespace
