// librspiutil: zero-filled records, the allocation fault switch, and blocks
// handed between threads.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
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
bool all_zero(const void *p, size_t size) { return all_equal(p, size, 0); }

class RspiUtil : public ::testing::Test {
protected:
    void TearDown() override { rspiutil_fail_nth_alloc(0); }
};

// The builders fill owned fields through the library and give false as soon
// as an allocation fails; the caller releases whatever was built.
bool dup(char *&field, const char *text = "text") { return (field = rspi_strdup(text)) != nullptr; }
bool dup_all(std::initializer_list<char **> fields) {
    for (char **f : fields)
        if (!dup(*f)) return false;
    return true;
}
bool fill_slots(char **slots, int32_t count) {
    for (int32_t i = 0; i < count; ++i)
        if (!dup(slots[i], i == 1 ? "" : "entry")) return false;
    return true;
}
bool fill_password(rspi_authndata *&a) {
    if (!(a = rspi_alloc_authndata())) return false;
    a->type = 1;
    a->length = 6;
    return dup(a->data, "secret");
}
template <class List>
bool fill_list(List *&list, List *(*alloc)(), std::initializer_list<const char *> entries) {
    if (!(list = alloc()) || !dup(list->file, "list.file")) return false;
    rspi_list_item *tail = nullptr;
    for (const char *entry : entries) {
        auto *item = static_cast<rspi_list_item *>(rspi_alloc(sizeof(rspi_list_item)));
        if (!item) return false;
        item->prev = tail;
        (tail ? tail->next : list->first) = item;
        tail = item;
        list->count++;
        if (!dup(item->data, entry)) return false;
    }
    list->current = tail;
    return true;
}

rspi_user *make_user() {
    rspi_user *u = rspi_alloc_user();
    const bool ok = u &&
                    dup_all({&u->user_id, &u->domain, &u->description, &u->uuid_string, &u->text_1, &u->text_2,
                             &u->text_3, &u->registry_id, &u->text_4, &u->cert_dn, &u->text_5}) &&
                    fill_password(u->password) && (u->login_types = rspi_alloc_logintypes(3)) &&
                    fill_slots(u->login_types->types, 3) && fill_list(u->groups, rspi_alloc_grouplist, {"g1", "g2", "g3"}) &&
                    (u->blob = rspi_alloc_blob(64));
    if (ok) return u;
    rspi_free_user(u);
    return nullptr;
}

TEST_F(RspiUtil, NewRecordsAreZeroFilled) {
    void *raw = rspi_alloc(100);
    ASSERT_NE(raw, nullptr);
    EXPECT_TRUE(all_zero(raw, 100));
    rspi_free(raw);
#define CHECK_ZERO(kind)                               \
    {                                                  \
        auto *r = rspi_alloc_##kind();                 \
        ASSERT_NE(r, nullptr) << #kind;                \
        EXPECT_TRUE(all_zero(r, sizeof(*r))) << #kind; \
        rspi_free_##kind(r);                           \
    }
    CHECK_ZERO(user) CHECK_ZERO(group) CHECK_ZERO(policy) CHECK_ZERO(resource) CHECK_ZERO(resgroup)
    CHECK_ZERO(rescreds) CHECK_ZERO(authndata) CHECK_ZERO(userlist) CHECK_ZERO(grouplist)
    CHECK_ZERO(policylist) CHECK_ZERO(resourcelist) CHECK_ZERO(resgrouplist) CHECK_ZERO(rescredslist)
#undef CHECK_ZERO
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
