// SPDX-License-Identifier: GPL-2.0-or-later
// Lines far beyond the line buffer, more tokens than a line can keep, the
// bytes 0x00, 0x7F, 0x80 and 0xFF in commands and data, and input that ends
// in the middle of a command.
//
// What must hold: the whole transcript as stated, status 0, no sanitizer
// report, and the key's memory changed only by a command that really ran:
// the dropped pieces of an overlong line, a line cut at a NUL byte and a
// last line without its line feed never write anything.

#include "FaultUtil.h"

#include <gtest/gtest.h>
#include <thread>

using namespace vorn_test;

namespace {

// One read takes at most this many characters; pieces without the line
// feed are dropped.
constexpr size_t kPiece = 1022;

const std::string kChkslOut = "checking slave presence...slave present\n";
const std::string kUnknownTail = "\r\n try help to see all commands\r\n";

std::string Prompts(size_t n) {
    return std::string(n, '>');
}

struct InputCase {
    const char *name;
    std::string input;
    std::string transcript; // after the start-up lines
    std::string memory;     // the key image afterwards
    std::string err;
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const InputCase &c, std::ostream *os) {
    *os << c.name;
}

// A line of 100000 characters: 97 pieces of 1022 are dropped, and the last
// 866 characters with the line feed make the line that is handled.
constexpr size_t kHugeLine = 100000;
constexpr size_t kHugePieces = kHugeLine / kPiece;
constexpr size_t kHugeTail = kHugeLine - kHugePieces * kPiece;

std::string HugeLineEndingInChksl() {
    return std::string(kHugePieces * kPiece, 'x') + "chksl" + std::string(kHugeTail - 5, ' ');
}

// memwrs with 99993 bytes of data: the command word is in a dropped piece.
std::string HugeMemWrS() {
    return "memwrs " + std::string(kHugeLine - 7, 'Q');
}

// memrd 0 16 followed by single-letter words up to 1020 characters: 508
// tokens, of which the first 63 are kept and the command ignores the rest.
std::string ManyTokens() {
    std::string line = "memrd 0 16";
    while (line.size() + 2 <= 1021)
        line += " x";
    return line;
}

const std::string kHighBytes = "\x7F\x80\xFF";

std::vector<InputCase> Cases() {
    const std::string quit = ">exiting\n" + kClosed;
    return {
        {"HundredThousandCharactersKeepTheirLastPiece", HugeLineEndingInChksl() + "\nquit\n",
         Prompts(kHugePieces) + ">" + kChkslOut + quit, Image(), ""},
        {"HundredThousandCharacterMemWrSWritesNothing", HugeMemWrS() + "\nquit\n",
         Prompts(kHugePieces) + ">Unknown command " + std::string(kHugeTail, 'Q') + kUnknownTail +
             quit,
         Image(), ""},
        {"FiveHundredTokensRunTheCommand", ManyTokens() + "\nquit\n",
         ">reading 16 bytes from offset 0\nread from 0 16 bytes\n" + quit, Image(), kListingHead},
        {"NulByteCutsTheLineAndItIsDropped", std::string("memwrs a\0b 0\n", 13) + "quit\n",
         ">" + quit, Image(), ""},
        {"NulByteFirstDropsTheLine", std::string("\0chksl\n", 7) + "quit\n", ">" + quit, Image(),
         ""},
        {"HighBytesAreWrittenAsData", "memwrs " + kHighBytes + " 0\nquit\n",
         ">writing str '" + kHighBytes + "' to offset 0...write  to 0 3 bytes\nok\n" + quit,
         ImageWith(kHighBytes), ""},
        {"HighByteInTheCommandWordIsUnknown", "chksl\x80\n\xFF\nquit\n",
         ">Unknown command chksl\x80" + kUnknownTail + ">Unknown command \xFF" + kUnknownTail +
             quit,
         Image(), ""},
        {"DeleteByteInTheCommandWordIsUnknown",
         "\x7F"
         "chksl\nquit\n",
         ">Unknown command \x7F"
         "chksl" +
             kUnknownTail + quit,
         Image(), ""},
        // End of input with no line feed: the piece is dropped, the loop
        // returns and the tool ends through its normal exit path.
        {"EndOfInputMidMemWrSWritesNothing", "memwrs abc 0", ">>" + kClosed, Image(), ""},
        {"EndOfInputAfterAWholeLine", "chksl\nmemrd 0", ">" + kChkslOut + ">>" + kClosed, Image(),
         ""},
        {"EndOfInputMidQuitStillEnds", "quit", ">>" + kClosed, Image(), ""},
    };
}

class Input : public ::testing::TestWithParam<InputCase> {};

TEST_P(Input, TranscriptAndMemoryAsStated) {
    const InputCase &c = GetParam();
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Image()));
    const RunResult r = RunSim(dir, Key(), {"tmtool"}, c.input, 30s);
    ExpectCleanExit(r);
    EXPECT_EQ(r.out, kStartup + c.transcript);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(dir.Memory(), c.memory);
}

INSTANTIATE_TEST_SUITE_P(Lines, Input, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<InputCase> &p) {
                             return std::string(p.param.name);
                         });

// One-shot words take their operands from the argument vector: no line
// limit, no token limit, any byte but NUL.
struct ArgsCase {
    const char *name;
    std::vector<std::string> argv;
    std::string out; // between the start-up and closing lines
    std::string memory;
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const ArgsCase &c, std::ostream *os) {
    *os << c.name;
}

std::vector<std::string> WithExtras(std::vector<std::string> argv, size_t total) {
    while (argv.size() < total)
        argv.push_back("x");
    return argv;
}

std::string AllNonNulBytes() {
    std::string bytes;
    for (int b = 1; b <= 0xFF; ++b)
        bytes += static_cast<char>(b);
    return bytes;
}

std::vector<ArgsCase> ArgsCases() {
    return {
        {"SixHundredWordsAfterGetId", WithExtras({"tmtool", "getid"}, 601),
         "getting rom id...ok\nrom id c6 07 06 05 04 03 02 04\n", Image()},
        {"SixHundredWordsAfterMemWrS", WithExtras({"tmtool", "memwrs", "abc", "0"}, 601),
         "writing str 'abc' to offset 0...write  to 0 3 bytes\nok\n", ImageWith("abc")},
        {"SixHundredWordsMakeReadAListing", WithExtras({"tmtool", "/read", "0", "0"}, 601),
         "reading 0 bytes from offset 0\nread from 0 0 bytes\n", Image()},
        {"HighBytesInTheWordAreUnknown",
         {"tmtool", "chksl" + kHighBytes},
         "unknown cmd\n",
         Image()},
        {"EveryByteButNulIsData",
         {"tmtool", "memwrs", AllNonNulBytes(), "0"},
         "writing str '" + AllNonNulBytes() + "' to offset 0...write  to 0 255 bytes\nok\n",
         ImageWith(AllNonNulBytes())},
        // Longer than the key: the part that fits is stored, and that is no "ok".
        {"HundredThousandBytesOfData",
         {"tmtool", "memwrs", std::string(kHugeLine, 'Q'), "0"},
         "writing str '" + std::string(kHugeLine, 'Q') +
             "' to offset 0...write  to 0 100000 bytes\n"
             "TouchMemCltK[130] write failed [stored 512 of 100000 bytes]\nerror\n",
         std::string(kKeySize, 'Q')},
    };
}

class Args : public ::testing::TestWithParam<ArgsCase> {};

TEST_P(Args, OutputAndMemoryAsStated) {
    const ArgsCase &c = GetParam();
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Image()));
    const RunResult r = RunSim(dir, Key().Rom("04020304050607c6"), c.argv);
    ExpectCleanExit(r);
    EXPECT_EQ(r.out, kStartup + c.out + kClosed);
    EXPECT_EQ(dir.Memory(), c.memory);
}

INSTANTIATE_TEST_SUITE_P(OneShot, Args, ::testing::ValuesIn(ArgsCases()),
                         [](const ::testing::TestParamInfo<ArgsCase> &p) {
                             return std::string(p.param.name);
                         });

TEST(Args, FileNameWithHighBytesIsUsedAsGiven) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Image()));
    const std::string out = dir.Path("out" + kHighBytes + ".bin");
    const RunResult r = RunSim(dir, Key(), {"tmtool", "memrdf", out, "0", "16"});
    ExpectCleanExit(r);
    EXPECT_EQ(ReadFile(out), kImageHead);
}

// Standard input in non-blocking mode: a read that finds nothing yet is
// waited for, and a line that comes in parts is read as one line. Only the
// end of input ends the loop.
TEST(NonBlockingInput, WaitsForLinesAndJoinsALineThatCameInParts) {
    SimDir dir;
    SpawnOptions opts;
    opts.stdinNonBlocking = true;
    Spawned tool;
    ASSERT_TRUE(tool.Start(dir, Key(), {"tmtool"}, opts));
    const auto anyInput = [](long fd) { return fd >= 0; };
    ASSERT_TRUE(WaitForCall(tool.Pid(), kSysPoll, anyInput)) << "the tool did not wait";
    tool.Write("chk");
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(WaitForCall(tool.Pid(), kSysPoll, anyInput)) << "the tool did not wait";
    tool.Write("sl\nquit\n");
    const RunResult r = tool.Wait();
    ExpectCleanExit(r);
    EXPECT_EQ(r.out, Transcript({kChkslOut}));
}

} // namespace
