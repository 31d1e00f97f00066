// SPDX-License-Identifier: GPL-2.0-or-later
// DumpData, DumpData2, DumpData4: exact texts and the caller's buffer bound.

#include "Log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr char kSentinel = '#';

// Runs a formatter into a buffer of exactly the documented size followed by
// sentinel bytes, and checks that they are untouched.
template <typename T>
std::string Format(void (*dump)(T *, unsigned long, char *), std::vector<T> items,
                   std::size_t perItem) {
    std::size_t size = perItem * items.size() + 1;
    std::vector<char> out(size + 16, kSentinel);
    dump(items.data(), items.size(), out.data());
    EXPECT_EQ(std::string(out.data() + size, 16), std::string(16, kSentinel));
    return out.data();
}

TEST(DumpDataTest, BytesAreLowerCaseHexSeparatedBySpaces) {
    struct Case {
        std::vector<unsigned char> items;
        const char *expected;
    } cases[] = {
        {{1, 2, 3, 4, 5, 6, 7, 8}, "01 02 03 04 05 06 07 08"},
        {{1, 171}, "01 ab"},
        {{0x00, 0xff}, "00 ff"},
        {{0x7f}, "7f"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Format(DumpData, c.items, 3), c.expected);
}

TEST(DumpDataTest, ShortsAndLongs) {
    EXPECT_EQ(Format<unsigned short>(DumpData2, {1, 171}, 5), "0001 00ab");
    EXPECT_EQ(Format<unsigned short>(DumpData2, {0xffff, 0x1234}, 5), "ffff 1234");
    EXPECT_EQ(Format<unsigned long>(DumpData4, {1, 171}, 9), "00000001 000000ab");
    EXPECT_EQ(Format<unsigned long>(DumpData4, {0xffffffffUL, 0}, 9), "ffffffff 00000000");
    // Above 2^32 an item takes more than eight digits, up to sixteen.
    EXPECT_EQ(Format<unsigned long>(DumpData4, {0x100000000UL, 0xffffffffffffffffUL, 2}, 17),
              "100000000 ffffffffffffffff 00000002");
}

TEST(DumpDataTest, NoItemsGiveTheEmptyText) {
    char out[4] = {'z', 'z', 'z', 'z'};
    DumpData(nullptr, 0, out);
    EXPECT_STREQ(out, "");
    out[0] = 'z';
    DumpData2(nullptr, 0, out);
    EXPECT_STREQ(out, "");
    out[0] = 'z';
    DumpData4(nullptr, 0, out);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(out[1], 'z');
}

} // namespace
