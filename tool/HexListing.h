// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The hex listing of memrd: 16 bytes a line, written to standard error.

#include <cstddef>
#include <cstdint>

constexpr std::size_t kHexLineBufferSize = 512;
constexpr std::size_t kHexBytesPerLine = 16;

// Builds line index of the listing (n bytes, 1 to 16) into out; returns the
// text's length (0 when out is too small or n is out of range).
std::size_t FormatHexLine(char *out, std::size_t outSize, uint64_t index, const unsigned char *data,
                          std::size_t n);
// Writes one line with a single write to descriptor 2.
void PrintHexLine(uint64_t index, const unsigned char *data, std::size_t n);
// Writes the whole listing, one write per line; size 0 writes nothing.
void PrintHexDump(const unsigned char *data, uint64_t size);
