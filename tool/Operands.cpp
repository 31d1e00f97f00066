// SPDX-License-Identifier: GPL-2.0-or-later
// Decimal operands of the memory commands.

#include "Operands.h"

namespace {

// The white space that strtol skips in the C locale; fixed here so that the
// reading does not depend on the process's locale.
bool IsOperandSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

int64_t ParseOperand(const char *word) {
    if (word == nullptr)
        return 0;
    const char *p = word;
    while (IsOperandSpace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // The magnitude stops growing once it is past the 32-bit range, so no
    // digit string, however long, can overflow the 64-bit accumulator.
    constexpr int64_t kMagnitudeCap = kOperandMax + 1;
    int64_t magnitude = 0;
    for (; IsDigit(*p); ++p) {
        if (magnitude < kMagnitudeCap)
            magnitude = magnitude * 10 + (*p - '0');
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > kOperandMax)
        return kOperandMax;
    if (value < kOperandMin)
        return kOperandMin;
    return value;
}
