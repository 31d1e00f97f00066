// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target: the hex listing. FormatHexLine gets any buffer size, line
// index and byte count; a line it builds must be exactly the listing line
// (position, sixteen entries with the hyphen, the character part, the line
// end), a line it cannot build must be empty. PrintHexDump lists the rest
// of the input (to standard error: run with -close_fd_mask=2).

#include "HexListing.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Input layout: buffer size (2 bytes), index (8 bytes), count (1 byte),
// then the data.
constexpr std::size_t kHeader = 2 + 8 + 1;
constexpr std::size_t kMaxBuffer = 1024;

void Check(bool ok) {
    if (!ok)
        abort();
}

std::string ExpectedLine(uint64_t index, const unsigned char *data, std::size_t n) {
    char pos[32];
    snprintf(pos, sizeof pos, "%04lX ", static_cast<unsigned long>(index * kHexBytesPerLine));
    std::string line = pos;
    for (std::size_t i = 0; i < kHexBytesPerLine; ++i) {
        if (i == kHexBytesPerLine / 2)
            line += "-";
        char entry[8];
        if (i < n)
            snprintf(entry, sizeof entry, "%02X ", data[i]);
        else
            snprintf(entry, sizeof entry, "XX ");
        line += entry;
    }
    line += " ";
    for (std::size_t i = 0; i < n; ++i)
        line += (data[i] >= 0x20 && data[i] <= 0x7F) ? static_cast<char>(data[i]) : '.';
    return line + "\n";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kHeader)
        return 0;
    const std::size_t outSize = (data[0] | (data[1] << 8)) % kMaxBuffer;
    uint64_t index = 0;
    memcpy(&index, data + 2, sizeof index);
    const std::size_t n = data[10] % (kHexBytesPerLine + 4); // 0 to 19: some out of range
    const unsigned char *bytes = data + kHeader;
    const std::size_t avail = size - kHeader;

    // The exact size asked for, so that a write past it is caught.
    std::vector<char> out(outSize);
    const std::size_t len = FormatHexLine(outSize ? out.data() : nullptr, outSize, index,
                                          avail >= n ? bytes : nullptr, n);
    if (n == 0 || n > kHexBytesPerLine || avail < n || outSize == 0) {
        Check(len == 0);
    } else {
        const std::string expected = ExpectedLine(index, bytes, n);
        if (expected.size() < outSize) {
            Check(len == expected.size() && std::string(out.data()) == expected);
        } else {
            Check(len == 0 && out[0] == '\0');
        }
    }
    PrintHexDump(bytes, avail);
    return 0;
}
