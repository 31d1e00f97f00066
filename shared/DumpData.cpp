// SPDX-License-Identifier: LGPL-2.1-or-later
// DumpData, DumpData2, DumpData4: arrays as one line of hex numbers.

#include "Log.h"

#include <cstdio>

namespace {

// Room for one item and the terminating NUL that each snprintf writes.
constexpr std::size_t kByteItemSize = 3 + 1;  // "ab "
constexpr std::size_t kShortItemSize = 5 + 1; // "00ab "
constexpr std::size_t kLongItemSize = 17 + 1; // up to sixteen digits and a space

// Drops the trailing space of a non-empty list.
void EndList(char *out, std::size_t len) {
    if (len > 0)
        out[len - 1] = '\0';
}

void FormatBytes(const unsigned char *data, unsigned long count, char *out) {
    std::size_t len = 0;
    for (unsigned long i = 0; i < count; ++i) {
        int n = snprintf(out + len, kByteItemSize, "%02hx ", static_cast<unsigned short>(data[i]));
        len += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    EndList(out, len);
}

} // namespace

void DumpData(unsigned char *data, unsigned long count, char *out) {
    out[0] = '\0';
    if (count == 0)
        return;
    CMutexScope lock(g_debugPrintMutex);
    FormatBytes(data, count, out);
}

void DumpData2(unsigned short *data, unsigned long count, char *out) {
    out[0] = '\0';
    std::size_t len = 0;
    for (unsigned long i = 0; i < count; ++i) {
        int n = snprintf(out + len, kShortItemSize, "%04hx ", data[i]);
        len += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    EndList(out, len);
}

void DumpData4(unsigned long *data, unsigned long count, char *out) {
    out[0] = '\0';
    std::size_t len = 0;
    for (unsigned long i = 0; i < count; ++i) {
        int n = snprintf(out + len, kLongItemSize, "%08lx ", data[i]);
        len += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    EndList(out, len);
}
