// SPDX-License-Identifier: GPL-2.0-or-later
// memrd under the driver stand-in: the progress line, the key preamble, one
// device read and the hex listing on standard error.

#include "MemCmdsUtil.h"
#include "TouchMemProto.h"

using namespace vorn_test;

namespace {

// A key larger than memrd's buffer, so every range below lies inside it.
constexpr size_t kBigKey = 20000;

std::string ReadingLines(const std::string &size, const std::string &offset,
                         const std::string &clientOffset) {
    return "reading " + size + " bytes from offset " + offset + "\nread from " + clientOffset +
           " " + size + " bytes\n";
}

struct RangeCase {
    const char *name;
    size_t offset;
    size_t size;
};

// Parameters show by name in failure messages.
void PrintTo(const RangeCase &c, std::ostream *os) {
    *os << c.name;
}

class MemRdRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(MemRdRange, ListsTheKeyImageFromPositionZero) {
    const RangeCase &c = GetParam();
    SimDir dir;
    const std::string image = PatternImage(kBigKey);
    ASSERT_TRUE(dir.WriteMemory(image));
    const std::string off = std::to_string(c.offset), size = std::to_string(c.size);
    const RunResult r = vorn_test::Run(dir, Key().Memory(kBigKey), {"tmtool", "memrd", off, size});
    EXPECT_EQ(r.out, kStartup + ReadingLines(size, off, off) + kClosed);
    EXPECT_EQ(r.err, ListingOf(image.substr(c.offset, c.size)));
    EXPECT_EQ(r.status, 0);

    // Presence, ROM, one positioned read of the whole range.
    const auto trace = TraceLines(dir);
    EXPECT_EQ(CountRequests(trace, TM_REQ_PRESENCE), 1);
    EXPECT_EQ(CountRequests(trace, TM_REQ_READ_ROM), 1);
    const auto seeks = CallsOf(trace, "lseek");
    const auto reads = CallsOf(trace, "read");
    ASSERT_EQ(seeks.size(), 1u);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(seeks[0].off, static_cast<long long>(c.offset));
    EXPECT_EQ(reads[0].size, static_cast<long long>(c.size));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, MemRdRange,
    ::testing::Values(RangeCase{"Zero", 0, 0}, RangeCase{"OneLine", 0, 16},
                      RangeCase{"LineAndFour", 0, 20}, RangeCase{"OneByte", 3, 1},
                      RangeCase{"WholeBuffer", 0, 16384},
                      RangeCase{"WholeBufferAtOffset", 1000, 16384},
                      RangeCase{"AtOffset100", 100, 20}, RangeCase{"AtOffset100Long", 100, 333}),
    [](const ::testing::TestParamInfo<RangeCase> &p) { return std::string(p.param.name); });

TEST(MemRd, ZeroSizeReadsNothingAndListsNothing) {
    SimDir dir;
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memrd", "7", "0"});
    EXPECT_EQ(r.out, kStartup + ReadingLines("0", "7", "7") + kClosed);
    EXPECT_EQ(r.err, "");
}

TEST(MemRd, ListingLinesAreExact) {
    SimDir dir;
    // The default key text, then bytes that test the character part.
    std::string image = "touch-memory key 0108: hello\n";
    image += std::string("\x1F\x20\x7E\x7F\x80\xFF\x00", 7);
    ASSERT_TRUE(dir.WriteMemory(image, 512));
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memrd", "0", "40"});
    EXPECT_EQ(r.err, "0000 74 6F 75 63 68 2D 6D 65 -6D 6F 72 79 20 6B 65 79  touch-memory key\n"
                     "0010 20 30 31 30 38 3A 20 68 -65 6C 6C 6F 0A 1F 20 7E   0108: hello.. ~\n"
                     "0020 7F 80 FF 00 00 00 00 00 -XX XX XX XX XX XX XX XX  \x7F.......\n");
}

TEST(MemRd, EachLineIsOneWriteToStandardError) {
    // Lines of a listing arrive whole even when standard error is shared:
    // here a listing of 20 bytes is exactly two lines.
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory("ABCDEFGHIJKLMNOPQRST", 512));
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memrd", "0", "20"});
    EXPECT_EQ(r.err, "0000 41 42 43 44 45 46 47 48 -49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP\n"
                     "0010 51 52 53 54 XX XX XX XX -XX XX XX XX XX XX XX XX  QRST\n");
}

TEST(MemRd, BytesTheKeyDoesNotHoldShowAsZero) {
    SimDir dir;
    const std::string image = PatternImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    // The last 12 bytes of a 512-byte key, then 20 the device cannot deliver.
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memrd", "500", "32"});
    EXPECT_EQ(r.out, kStartup + ReadingLines("32", "500", "500") + kClosed);
    EXPECT_EQ(r.err, ListingOf(image.substr(500) + std::string(20, '\0')));
}

TEST(MemRd, ShortReadLeavesTheRestZero) {
    SimDir dir;
    const std::string image = PatternImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    const RunResult r =
        vorn_test::Run(dir, Key().Fault("short-read=5"), {"tmtool", "memrd", "16", "24"});
    EXPECT_EQ(r.out, kStartup + ReadingLines("24", "16", "16") + kClosed);
    EXPECT_EQ(r.err, ListingOf(image.substr(16, 5) + std::string(19, '\0')));
}

TEST(MemRd, NegativeOffsetShowsAsTwosComplement) {
    SimDir dir;
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memrd", "-1", "16"});
    EXPECT_EQ(r.out, kStartup + ReadingLines("16", "18446744073709551615", "-1") + kClosed);
    // Past the key's end: nothing delivered, the line shows zeros.
    EXPECT_EQ(r.err, ListingOf(std::string(16, '\0')));
    const auto seeks = CallsOf(TraceLines(dir), "lseek");
    ASSERT_EQ(seeks.size(), 1u);
    EXPECT_EQ(seeks[0].off, 4294967295LL);
}

TEST(MemRd, OperandsReadLikeNumbersWithJunk) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory("ABCDEFGHIJKLMNOPQRST", 512));
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memrd", "abc", " +4xyz"});
    EXPECT_EQ(r.out, kStartup + ReadingLines("4", "0", "0") + kClosed);
    EXPECT_EQ(r.err, "0000 41 42 43 44 XX XX XX XX -XX XX XX XX XX XX XX XX  ABCD\n");
}

struct FailureCase {
    const char *name;
    SimKey key;
    std::string after; // what follows the "reading" line
};

// Parameters show by name in failure messages.
void PrintTo(const FailureCase &c, std::ostream *os) {
    *os << c.name;
}

class MemRdFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(MemRdFailure, SaysWhatFailedAndListsNothing) {
    const FailureCase &c = GetParam();
    SimDir dir;
    const RunResult r = vorn_test::Run(dir, c.key, {"tmtool", "memrd", "0", "16"});
    EXPECT_EQ(r.out, kStartup + "reading 16 bytes from offset 0\n" + c.after + kClosed);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MemRdFailure,
    ::testing::Values(FailureCase{"NoKey", Key().Absent(), "no slave\n"},
                      FailureCase{"PresenceFails", Key().Fault("presence"), "no slave\n"},
                      FailureCase{"RomFails", Key().Fault("rom"), "error read rom\n"},
                      FailureCase{"SeekFails", Key().Fault("lseek"),
                                  "read from 0 16 bytes\nTouchMemCltK[106] lseek failed [" + kEio +
                                      "]\nerror read nv memory\n"},
                      FailureCase{"ReadFails", Key().Fault("read"),
                                  "read from 0 16 bytes\nTouchMemCltK[111] read failed [" + kEio +
                                      "]\nerror read nv memory\n"}),
    [](const ::testing::TestParamInfo<FailureCase> &p) { return std::string(p.param.name); });

TEST(MemRd, NoKeyMeansNoRomRequestAndNoRead) {
    SimDir dir;
    ASSERT_EQ(vorn_test::Run(dir, Key().Absent(), {"tmtool", "memrd", "0", "16"}).status, 0);
    const auto trace = TraceLines(dir);
    EXPECT_EQ(CountRequests(trace, TM_REQ_READ_ROM), 0);
    EXPECT_TRUE(CallsOf(trace, "read").empty());
}

TEST(MemRd, WaitsFiftyMillisecondsBetweenPresenceAndRom) {
    SimDir dir;
    ASSERT_EQ(vorn_test::Run(dir, Key(), {"tmtool", "memrd", "0", "16"}).status, 0);
    unsigned long long presence = 0, rom = 0;
    for (const TraceRecord &rec : TraceLines(dir)) {
        if (rec.call == "ioctl" && rec.req == TM_REQ_PRESENCE)
            presence = rec.t;
        if (rec.call == "ioctl" && rec.req == TM_REQ_READ_ROM)
            rom = rec.t;
    }
    ASSERT_NE(presence, 0u);
    ASSERT_NE(rom, 0u);
    EXPECT_GE(rom - presence, 50000u);
}

TEST(MemRd, AtThePromptListsAndGoesOn) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory("ABCDEFGHIJKLMNOPQRST", 512));
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool"}, "memrd 2 3\nmemrd 0 1\nquit\n");
    EXPECT_EQ(r.out, kStartup + ">" + ReadingLines("3", "2", "2") + ">" +
                         ReadingLines("1", "0", "0") + ">exiting\n" + kClosed);
    EXPECT_EQ(r.err, "0000 43 44 45 XX XX XX XX XX -XX XX XX XX XX XX XX XX  CDE\n"
                     "0000 41 XX XX XX XX XX XX XX -XX XX XX XX XX XX XX XX  A\n");
}

} // namespace
