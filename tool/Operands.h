// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Numeric operands: optional white space, optional sign, decimal digits up
// to the first other character; no digits read as 0 and nothing is reported.
// The value is a signed 32-bit number widened with its sign to 64 bits.
//
// A value outside the 32-bit range saturates: it reads as INT32_MAX (or
// INT32_MIN for a negative one), however many digits follow. A huge size
// thus stays huge and is refused by the command's bounds rather than wrapping
// round to a small, plausible-looking number.

#include <cstdint>

constexpr int64_t kOperandMax = INT32_MAX;
constexpr int64_t kOperandMin = INT32_MIN;

// A null word reads as 0.
int64_t ParseOperand(const char *word);
