// SPDX-License-Identifier: GPL-2.0-or-later
// Reading of numeric operands: atoi-like prefix, saturating at 32 bits.

#include "Operands.h"

#include <gtest/gtest.h>

namespace {

TEST(Operands, ReadsLikeAtoiWithinThe32BitRange) {
    struct Case {
        const char *word;
        int64_t value;
    } const cases[] = {
        {"0", 0},
        {"42", 42},
        {" 42", 42},
        {"\t\n\v\f\r 42", 42},
        {"-1", -1},
        {"+7", 7},
        {"12abc", 12},
        {"00017", 17},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"+-3", 0},
        {"- 3", 0},
        {"4 2", 4},
        {"0x10", 0},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483648LL},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ParseOperand(c.word), c.value) << '"' << c.word << '"';
}

TEST(Operands, SaturatesOutsideThe32BitRange) {
    struct Case {
        const char *word;
        int64_t value;
    } const cases[] = {
        {"2147483648", kOperandMax},
        {"4294967296", kOperandMax},
        {"4294967297", kOperandMax},
        {"9223372036854775808", kOperandMax},
        {"99999999999999999999999999999999999999", kOperandMax},
        {"-2147483649", kOperandMin},
        {"-9223372036854775809", kOperandMin},
        {"-00000000000000000000000000000000000005", -5},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ParseOperand(c.word), c.value) << '"' << c.word << '"';
}

TEST(Operands, NegativeValueShowsAsTwosComplementWithLu) {
    char text[32];
    snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(ParseOperand("-1")));
    EXPECT_STREQ(text, "18446744073709551615");
    EXPECT_EQ(static_cast<unsigned int>(ParseOperand("-1")), 0xFFFFFFFFu);
}

TEST(Operands, NullWordReadsAsZero) {
    EXPECT_EQ(ParseOperand(nullptr), 0);
}

} // namespace
