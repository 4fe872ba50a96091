// The host libraries on their own: librspiutil's blocks handed between
// threads (released by another thread than the one that made them, by threads
// that then end, in bursts larger than one thread keeps; every block stays the
// caller's alone and every new one is zero-filled and aligned to 16 bytes,
// whichever allocator librspiutil was built with), and libqzsvcutl's UUID
// creation, text form and parsing.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
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

using Uuid = std::array<unsigned char, 16>;

std::string to_string(const Uuid &uuid) {
    char *text = nullptr;
    uint32_t status = 99;
    qz_uuid_to_string(uuid.data(), &text, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_NE(text, nullptr);
    std::string copy = text != nullptr ? text : "";
    qz_uuid_string_free(&text, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(text, nullptr);
    return copy;
}

TEST(QzUuid, CreateGivesDistinctLowerCaseText) {
    Uuid a{}, b{};
    uint32_t status = 99;
    qz_uuid_create(a.data(), &status);
    EXPECT_EQ(status, 0u);
    qz_uuid_create(b.data(), &status);
    EXPECT_EQ(status, 0u);
    EXPECT_NE(a, b);

    const std::string text = to_string(a);
    ASSERT_EQ(text.size(), 36u);
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(text[i], '-') << text;
        } else {
            EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(text[i])) && !std::isupper(text[i])) << text;
        }
    }
}

TEST(QzUuid, BadTextIsRefusedAndZeroFills) {
    const Uuid zero{};
    for (const char *bad : {"", "not a uuid", "0123456789abcdef0123456789abcdef",
                            "01234567-89ab-cdef-0123-456789abcde", "01234567-89ab-cdef-0123-456789abcdef0",
                            "0123456g-89ab-cdef-0123-456789abcdef"}) {
        Uuid uuid;
        uuid.fill(0xff);
        uint32_t status = 0;
        qz_uuid_from_string(bad, uuid.data(), &status);
        EXPECT_EQ(status, 2u) << bad;  // not a UUID
        EXPECT_EQ(uuid, zero) << bad;
    }
    Uuid uuid;
    uuid.fill(0xff);
    uint32_t status = 0;
    qz_uuid_from_string(nullptr, uuid.data(), &status);
    EXPECT_EQ(status, 1u);  // bad argument
    EXPECT_EQ(uuid, zero);
}

}  // namespace
