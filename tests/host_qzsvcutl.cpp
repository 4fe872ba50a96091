// libqzsvcutl: UUID creation, text form and parsing.

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstring>
#include <string>

#include "tolv.h"

namespace {

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
