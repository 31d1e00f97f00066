// SPDX-License-Identifier: GPL-2.0-or-later
// Usage lines of the memory commands and their one-shot aliases: every
// operand count below what a command needs prints its line and touches
// neither the key nor a file; so does a memrd size its buffer cannot hold.

#include "MemCmdsUtil.h"

using namespace vorn_test;

namespace {

const std::string kMemRd = "usage memrd <offset> <data size>\n";
const std::string kMemWrS = "usage memwrs <data> <offset>\n";
const std::string kMemRdF = "usage memrdf <file name> <offset> <size>\n";
const std::string kMemWrF = "usage memwrf <file name> <offset> \n";
const std::string kRead = "usage /read <Address> <Length> [<Output file>]\n";
const std::string kWrite = "/write <Address> <Length> <Input file>\n";

struct UsageCase {
    const char *name;
    std::vector<std::string> args;
    std::string line;
};

// Parameters show by name in failure messages.
void PrintTo(const UsageCase &c, std::ostream *os) {
    *os << c.name;
}

class Usage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(Usage, PrintsTheLineAndTouchesNothing) {
    const UsageCase &c = GetParam();
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(PatternImage(512)));
    std::vector<std::string> argv{"tmtool"};
    for (const std::string &a : c.args)
        argv.push_back(a == "FILE" ? dir.Path("file.bin") : a);
    const RunResult r = vorn_test::Run(dir, Key(), argv);
    EXPECT_EQ(r.out, kStartup + c.line + kClosed);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(OnlyOpenedAndClosed(dir)) << dir.Trace();
    EXPECT_FALSE(dir.Exists("file.bin"));
    EXPECT_EQ(dir.Memory(), PatternImage(512));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Usage,
    ::testing::Values(UsageCase{"MemRdAlone", {"memrd"}, kMemRd},
                      UsageCase{"MemRdOffsetOnly", {"memrd", "0"}, kMemRd},
                      UsageCase{"MemRdSizeAboveBuffer", {"memrd", "0", "16385"}, kMemRd},
                      UsageCase{"MemRdSizeFarAboveBuffer", {"memrd", "0", "99999999999"}, kMemRd},
                      UsageCase{"MemRdNegativeSize", {"memrd", "0", "-1"}, kMemRd},
                      UsageCase{"MemRdMostNegativeSize", {"memrd", "16", "-2147483648"}, kMemRd},
                      UsageCase{"MemWrSAlone", {"memwrs"}, kMemWrS},
                      UsageCase{"MemWrSDataOnly", {"memwrs", "abc"}, kMemWrS},
                      UsageCase{"MemRdFAlone", {"memrdf"}, kMemRdF},
                      UsageCase{"MemRdFFileOnly", {"memrdf", "FILE"}, kMemRdF},
                      UsageCase{"MemRdFNoSize", {"memrdf", "FILE", "0"}, kMemRdF},
                      UsageCase{"MemWrFAlone", {"memwrf"}, kMemWrF},
                      UsageCase{"MemWrFFileOnly", {"memwrf", "FILE"}, kMemWrF},
                      UsageCase{"ReadAlone", {"/read"}, kRead},
                      UsageCase{"ReadAddressOnly", {"/read", "0"}, kRead},
                      UsageCase{"ReadExAlone", {"/readEX"}, kRead},
                      UsageCase{"ReadExAddressOnly", {"/readEX", "0"}, kRead},
                      // The alias hands the listing to memrd under its own word.
                      UsageCase{"ReadSizeAboveBuffer",
                                {"/read", "0", "16385"},
                                "usage /read <offset> <data size>\n"},
                      UsageCase{"ReadExNegativeSize",
                                {"/readEX", "0", "-5"},
                                "usage /read <offset> <data size>\n"},
                      UsageCase{"WriteAlone", {"/write"}, kWrite},
                      UsageCase{"WriteAddressOnly", {"/write", "0"}, kWrite},
                      UsageCase{"WriteNoFile", {"/write", "0", "16"}, kWrite},
                      UsageCase{"WriteExAlone", {"/writeEX"}, kWrite},
                      UsageCase{"WriteExAddressOnly", {"/writeEX", "0"}, kWrite},
                      UsageCase{"WriteExNoFile", {"/writeEX", "0", "16"}, kWrite}),
    [](const ::testing::TestParamInfo<UsageCase> &p) { return std::string(p.param.name); });

TEST(UsageAtPrompt, NamesTheCommandAsTyped) {
    SimDir dir;
    const RunResult r = vorn_test::Run(
        dir, Key(), {"tmtool"}, "memrd 0\nmemwrs x\nmemrdf f 0\nmemwrf f\nmemrd 0 16385\nquit\n");
    EXPECT_EQ(r.out, kStartup + ">" + kMemRd + ">" + kMemWrS + ">" + kMemRdF + ">" + kMemWrF + ">" +
                         kMemRd + ">exiting\n" + kClosed);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(OnlyOpenedAndClosed(dir)) << dir.Trace();
}

TEST(UsageAtPrompt, SlashAliasesAreNotPromptCommands) {
    SimDir dir;
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool"}, "/read 0 16\nquit\n");
    EXPECT_EQ(r.out, kStartup + ">Unknown command /read\r\n try help to see all commands\r\n" +
                         ">exiting\n" + kClosed);
}

} // namespace
