// librspiutil's blocks handed between threads: released by another thread
// than the one that made them, by threads that then end, and in bursts larger
// than one thread keeps. Every block stays the caller's alone (its bytes
// survive while others come and go) and every new one is zero-filled and
// aligned to 16 bytes, whichever allocator librspiutil was built with.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "tolv.h"

namespace {

bool all_equal(const void *p, size_t size, unsigned char value) {
    const auto *bytes = static_cast<const unsigned char *>(p);
    return size == 0 || (bytes[0] == value && std::memcmp(bytes, bytes + 1, size - 1) == 0);
}

TEST(RspiUtil, BlocksSurviveHandOverBetweenThreads) {
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
                    if (p == nullptr || reinterpret_cast<std::uintptr_t>(p) % 16 != 0 || !all_equal(p, size, 0)) {
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
            ASSERT_TRUE(all_equal(p, 16, 0));
            rspi_free(p);
        }
    }).join();
}

}  // namespace
