// SPDX-License-Identifier: GPL-2.0-or-later
// The hex listing line: position, entries, placeholders, character part.

#include "HexListing.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

std::string Line(uint64_t index, const std::vector<unsigned char> &bytes) {
    char out[kHexLineBufferSize];
    const std::size_t len = FormatHexLine(out, sizeof out, index, bytes.data(), bytes.size());
    EXPECT_EQ(len, std::string(out).size());
    return out;
}

std::vector<unsigned char> Range(unsigned char first, std::size_t n) {
    std::vector<unsigned char> bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<unsigned char>(first + i);
    return bytes;
}

TEST(HexListing, FullLineOfLettersAtPositionZero) {
    EXPECT_EQ(Line(0, Range(0x41, 16)),
              "0000 41 42 43 44 45 46 47 48 -49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP\n");
}

TEST(HexListing, ShortLineHasPlaceholdersAndUnpaddedCharacters) {
    EXPECT_EQ(Line(1, {0x61, 0x62, 0x63, 0x64}),
              "0010 61 62 63 64 XX XX XX XX -XX XX XX XX XX XX XX XX  abcd\n");
    EXPECT_EQ(Line(0, Range(0x30, 9)),
              "0000 30 31 32 33 34 35 36 37 -38 XX XX XX XX XX XX XX  012345678\n");
    EXPECT_EQ(Line(2, {0xAB}), "0020 AB XX XX XX XX XX XX XX -XX XX XX XX XX XX XX XX  .\n");
}

TEST(HexListing, CharacterPartShowsOnly0x20To0x7F) {
    const std::vector<unsigned char> bytes{0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF, 0x00, 0x0A,
                                           0x09, 0x41, 0x7F, 0x80, 0x1F, 0x20, 0xFE, 0x5A};
    EXPECT_EQ(Line(0, bytes),
              "0000 1F 20 7E 7F 80 FF 00 0A -09 41 7F 80 1F 20 FE 5A  . ~\x7F.....A\x7F.. .Z\n");
}

TEST(HexListing, PositionGrowsPastFourDigits) {
    struct Case {
        uint64_t index;
        const char *position;
    } const cases[] = {
        {0x0FFF, "FFF0 "},
        {0x1000, "10000 "},
        {0x123456, "1234560 "},
        {0x0FFFFFFFFFFFFFFF, "FFFFFFFFFFFFFFF0 "},
    };
    for (const Case &c : cases) {
        const std::string line = Line(c.index, {0x00});
        EXPECT_EQ(line.substr(0, line.find(' ') + 1), c.position) << c.index;
        EXPECT_EQ(line.substr(line.find(' ') + 1),
                  "00 XX XX XX XX XX XX XX -XX XX XX XX XX XX XX XX  .\n");
    }
}

TEST(HexListing, RefusesBadCountsAndSmallBuffers) {
    const std::vector<unsigned char> bytes = Range(0x41, 17);
    char out[kHexLineBufferSize] = "junk";
    EXPECT_EQ(FormatHexLine(out, sizeof out, 0, bytes.data(), 0), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(FormatHexLine(out, sizeof out, 0, bytes.data(), 17), 0u);
    EXPECT_EQ(FormatHexLine(out, sizeof out, 0, nullptr, 1), 0u);

    // A full line at position 0 is 72 characters; one byte less of room
    // than line plus NUL is refused, the exact room is enough.
    const std::string full = Line(0, Range(0x41, 16));
    ASSERT_EQ(full.size(), 72u);
    char exact[73];
    EXPECT_EQ(FormatHexLine(exact, sizeof exact, 0, bytes.data(), 16), 72u);
    EXPECT_EQ(std::string(exact), full);
    char tooSmall[72];
    EXPECT_EQ(FormatHexLine(tooSmall, sizeof tooSmall, 0, bytes.data(), 16), 0u);
    EXPECT_STREQ(tooSmall, "");
    char tiny[3];
    EXPECT_EQ(FormatHexLine(tiny, sizeof tiny, 0, bytes.data(), 16), 0u);
    EXPECT_STREQ(tiny, "");
}

// Standard error on one end of a packet socket, so that every write(2)
// arrives as a message of its own: the listing must reach a reader (a
// terminal, a pipe another writer shares) one whole line per write.
TEST(HexListing, DumpWritesOneWholeLinePerWrite) {
    constexpr std::size_t kSize = 16 * 40 + 5;
    const std::vector<unsigned char> bytes = Range(0x20, kSize);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    const int savedErr = dup(STDERR_FILENO);
    ASSERT_GE(savedErr, 0);
    ASSERT_EQ(dup2(pair[0], STDERR_FILENO), STDERR_FILENO);
    PrintHexDump(bytes.data(), bytes.size());
    dup2(savedErr, STDERR_FILENO);
    close(savedErr);
    close(pair[0]);

    std::vector<std::string> writes;
    char message[kHexLineBufferSize];
    ssize_t got;
    while ((got = recv(pair[1], message, sizeof message, MSG_DONTWAIT)) > 0)
        writes.emplace_back(message, static_cast<std::size_t>(got));
    close(pair[1]);

    const std::size_t lines = (kSize + kHexBytesPerLine - 1) / kHexBytesPerLine;
    ASSERT_EQ(writes.size(), lines);
    for (std::size_t i = 0; i < lines; ++i) {
        const std::size_t n = std::min(kHexBytesPerLine, kSize - i * kHexBytesPerLine);
        EXPECT_EQ(writes[i],
                  Line(i, std::vector<unsigned char>(
                              bytes.begin() + static_cast<long>(i * kHexBytesPerLine),
                              bytes.begin() + static_cast<long>(i * kHexBytesPerLine + n))))
            << "write " << i;
    }
}

} // namespace
