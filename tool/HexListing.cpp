// SPDX-License-Identifier: GPL-2.0-or-later
// The hex listing of memrd: "%04lX " position, sixteen "%02lX " / "XX "
// entries with a hyphen after the eighth, a space, the printable characters.

#include "HexListing.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <unistd.h>

namespace {

constexpr std::size_t kHalfLine = kHexBytesPerLine / 2;
// Entries, hyphen, separating space and line end, without the position and
// the character part.
constexpr std::size_t kHexPartSize = kHexBytesPerLine * 3 + 1 + 1 + 1;
constexpr unsigned char kFirstShown = 0x20;
constexpr unsigned char kLastShown = 0x7F;
constexpr char kHexDigits[] = "0123456789ABCDEF";
// The position field: at least four hex digits, as many as the value needs.
constexpr std::size_t kPositionMinDigits = 4;
constexpr std::size_t kPositionMaxDigits = sizeof(unsigned long) * 2;

// How many hex digits "%04lX" prints for value.
std::size_t PositionDigits(unsigned long value) {
    std::size_t count = kPositionMinDigits;
    while (count < kPositionMaxDigits && (value >> (4 * count)) != 0)
        ++count;
    return count;
}

// The count digits of value in upper case and a space, as "%04lX " prints
// it; returns the length (no NUL).
std::size_t FormatPosition(char *out, unsigned long value, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        out[i] = kHexDigits[(value >> (4 * (count - 1 - i))) & 0x0F];
    out[count] = ' ';
    return count + 1;
}

// One entry: two upper-case hex digits and a space, stored in four bytes
// so that it is copied with one fixed-size store (the fourth byte is
// overwritten by what follows).
constexpr std::size_t kEntrySize = 3;
constexpr std::size_t kEntryStore = 4;
using Entry = std::array<char, kEntryStore>;
constexpr Entry kPlaceholder{'X', 'X', ' ', '\0'};

constexpr std::array<Entry, 256> MakeEntries() {
    std::array<Entry, 256> entries{};
    for (std::size_t b = 0; b < entries.size(); ++b)
        entries[b] = Entry{kHexDigits[b >> 4], kHexDigits[b & 0x0F], ' ', '\0'};
    return entries;
}
constexpr std::array<Entry, 256> kEntries = MakeEntries();

constexpr std::array<char, 256> MakeShown() {
    std::array<char, 256> shown{};
    for (std::size_t c = 0; c < shown.size(); ++c)
        shown[c] = (c >= kFirstShown && c <= kLastShown) ? static_cast<char>(c) : '.';
    return shown;
}
// The character part's text of every byte value.
constexpr std::array<char, 256> kShown = MakeShown();

// Two entries side by side in one 8-byte store (six bytes used).
char *PutEntryPair(char *out, unsigned char first, unsigned char second) {
    uint32_t a;
    uint32_t b;
    std::memcpy(&a, kEntries[first].data(), sizeof a);
    std::memcpy(&b, kEntries[second].data(), sizeof b);
    const uint64_t pair = static_cast<uint64_t>(a) | (static_cast<uint64_t>(b) << (8 * kEntrySize));
    std::memcpy(out, &pair, sizeof pair);
    return out + 2 * kEntrySize;
}

// Eight characters of the character part.
char *PutShown8(char *out, const unsigned char *data) {
    for (std::size_t i = 0; i < 8; ++i)
        out[i] = kShown[data[i]];
    return out + 8;
}

// The entries and the character part of a full line; the common case, so
// it stores whole words instead of single characters. The caller has
// checked the room; each store may write up to two bytes past its text,
// which later stores or the line end overwrite.
char *PutFullLine(char *out, const unsigned char *data) {
    for (std::size_t pos = 0; pos < kHalfLine; pos += 2)
        out = PutEntryPair(out, data[pos], data[pos + 1]);
    *out++ = '-';
    for (std::size_t pos = kHalfLine; pos < kHexBytesPerLine; pos += 2)
        out = PutEntryPair(out, data[pos], data[pos + 1]);
    *out++ = ' ';
    out = PutShown8(out, data);
    return PutShown8(out, data + 8);
}

// Writes all of text to descriptor 2; a line normally goes out in one
// write, the loop only covers a partial write or an interrupted one.
void WriteToStderr(const char *text, std::size_t len) {
    while (len > 0) {
        const ssize_t done = write(STDERR_FILENO, text, len);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return;
        text += done;
        len -= static_cast<std::size_t>(done);
    }
}

} // namespace

std::size_t FormatHexLine(char *out, std::size_t outSize, uint64_t index, const unsigned char *data,
                          std::size_t n) {
    if (out == nullptr || outSize == 0)
        return 0;
    out[0] = '\0';
    if (data == nullptr || n == 0 || n > kHexBytesPerLine)
        return 0;

    // The position as "%04lX ", formatted by hand: this runs once per line
    // of a listing that may be a thousand lines long.
    const auto position = static_cast<unsigned long>(index * kHexBytesPerLine);
    const std::size_t digits = PositionDigits(position);
    // Room for the position and its space, the rest of the line and the
    // terminating NUL.
    if (digits + 1 >= outSize || outSize - (digits + 1) < kHexPartSize + n + 1)
        return 0;
    std::size_t len = FormatPosition(out, position, digits);

    // Entries are copied from tables: the listing of a whole key is a
    // thousand lines, each written on its own, and formatting must stay
    // cheap beside the write.
    if (n == kHexBytesPerLine) {
        len = PutFullLine(out + len, data) - out;
    } else {
        for (std::size_t pos = 0; pos < kHexBytesPerLine; ++pos) {
            if (pos == kHalfLine)
                out[len++] = '-';
            std::memcpy(out + len, pos < n ? kEntries[data[pos]].data() : kPlaceholder.data(),
                        kEntryStore);
            len += kEntrySize;
        }
        out[len++] = ' ';
        for (std::size_t pos = 0; pos < n; ++pos)
            out[len++] = kShown[data[pos]];
    }
    out[len++] = '\n';
    out[len] = '\0';
    return len;
}

void PrintHexLine(uint64_t index, const unsigned char *data, std::size_t n) {
    char line[kHexLineBufferSize];
    const std::size_t len = FormatHexLine(line, sizeof line, index, data, n);
    if (len > 0)
        WriteToStderr(line, len);
}

void PrintHexDump(const unsigned char *data, uint64_t size) {
    for (uint64_t done = 0; done < size; done += kHexBytesPerLine) {
        const uint64_t left = size - done;
        const std::size_t n =
            left < kHexBytesPerLine ? static_cast<std::size_t>(left) : kHexBytesPerLine;
        PrintHexLine(done / kHexBytesPerLine, data + done, n);
    }
}
