#pragma once
// Numeric operands: optional white space, optional sign, decimal digits up
// to the first other character; no digits read as 0. The value is a signed
// 32-bit number widened with its sign to 64 bits.

#include <cstdint>

int64_t ParseOperand(const char *word);
