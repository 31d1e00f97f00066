// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target: numeric operands. ParseOperand must agree with a plain
// reading of its rule (white space, sign, decimal digits, saturated to the
// signed 32-bit range) for any text, however long its digit string.

#include "Operands.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

int64_t Reference(const std::string &text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    // Past the 32-bit range every further digit changes nothing.
    bool beyond = false;
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (!beyond)
            value = value * 10 + (text[i] - '0');
        beyond = beyond || value > kOperandMax + 1;
    }
    if (negative)
        value = -value;
    if (beyond || value > kOperandMax)
        return negative ? kOperandMin : kOperandMax;
    return value < kOperandMin ? kOperandMin : value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::string word = text.c_str(); // as an argument or token: cut at a NUL
    const int64_t value = ParseOperand(word.c_str());
    if (value < kOperandMin || value > kOperandMax || value != Reference(word))
        abort();
    return 0;
}
