// SPDX-License-Identifier: GPL-2.0-or-later
// The one-shot aliases "/read", "/readEX", "/write" and "/writeEX": their
// operand orders map onto memrd, memrdf and memwrf.

#include "MemCmdsUtil.h"

using namespace vorn_test;

namespace {

class ReadAlias : public ::testing::TestWithParam<const char *> {};

TEST_P(ReadAlias, TwoOperandsListLikeMemRd) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(PatternImage(512)));
    const RunResult alias = vorn_test::Run(dir, Key(), {"tmtool", GetParam(), "40", "20"});
    const RunResult memrd = vorn_test::Run(dir, Key(), {"tmtool", "memrd", "40", "20"});
    EXPECT_EQ(alias.out,
              kStartup + "reading 20 bytes from offset 40\nread from 40 20 bytes\n" + kClosed);
    EXPECT_EQ(alias.out, memrd.out);
    EXPECT_EQ(alias.err, ListingOf(PatternImage(512).substr(40, 20)));
    EXPECT_EQ(alias.err, memrd.err);
    EXPECT_EQ(alias.status, 0);
}

TEST_P(ReadAlias, ThreeOperandsCopyIntoTheFileLikeMemRdF) {
    SimDir dir;
    const std::string image = PatternImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    const std::string out = dir.Path("out.bin");
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", GetParam(), "40", "100", out});
    ExpectOkWithTime(r.out, kStartup + "reading  from tm offset 40 size 100 =>" + out + "...." +
                                "read from 40 100 bytes\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile(out), image.substr(40, 100));
}

TEST_P(ReadAlias, FourOrMoreOperandsListAndIgnoreTheFile) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(PatternImage(512)));
    const std::string out = dir.Path("out.bin");
    for (const std::vector<std::string> &extra :
         {std::vector<std::string>{"x"}, std::vector<std::string>{"x", "y", "z"}}) {
        std::vector<std::string> argv{"tmtool", GetParam(), "0", "16", out};
        argv.insert(argv.end(), extra.begin(), extra.end());
        const RunResult r = vorn_test::Run(dir, Key(), argv);
        EXPECT_EQ(r.out,
                  kStartup + "reading 16 bytes from offset 0\nread from 0 16 bytes\n" + kClosed);
        EXPECT_EQ(r.err, ListingOf(PatternImage(16)));
        EXPECT_FALSE(FileExists(out));
    }
}

TEST_P(ReadAlias, NoKeyWithAFileCreatesNoFile) {
    SimDir dir;
    const std::string out = dir.Path("out.bin");
    const RunResult r = vorn_test::Run(dir, Key().Absent(), {"tmtool", GetParam(), "0", "16", out});
    EXPECT_EQ(r.out,
              kStartup + "reading  from tm offset 0 size 16 =>" + out + "....no slave\n" + kClosed);
    EXPECT_FALSE(FileExists(out));
}

INSTANTIATE_TEST_SUITE_P(Words, ReadAlias, ::testing::Values("/read", "/readEX"),
                         [](const ::testing::TestParamInfo<const char *> &p) {
                             return std::string(p.index == 0 ? "Read" : "ReadEX");
                         });

class WriteAlias : public ::testing::TestWithParam<const char *> {};

TEST_P(WriteAlias, LengthAlwaysReplacesTheFileLength) {
    struct Case {
        std::string length;
        std::string written; // what lands at the address
    } const cases[] = {{"3", "abc"}, {"6", "abcdef"}, {"9", std::string("abcdef\0\0\0", 9)}};
    for (const Case &c : cases) {
        SimDir dir;
        const std::string image(512, '\xEE');
        ASSERT_TRUE(dir.WriteMemory(image));
        ASSERT_TRUE(dir.Write("in.bin", "abcdef"));
        const std::string in = dir.Path("in.bin");
        const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", GetParam(), "20", c.length, in});
        ExpectOkWithTime(r.out, kStartup + "writing  to tm offset 20 size " + c.length +
                                    " <=" + in + "...write  to 20 " + c.length + " bytes\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(dir.Memory(),
                  image.substr(0, 20) + c.written + image.substr(20 + c.written.size()))
            << c.length;
    }
}

TEST_P(WriteAlias, SurplusOperandsAreIgnored) {
    SimDir dir;
    const std::string image(512, '\xEE');
    ASSERT_TRUE(dir.WriteMemory(image));
    ASSERT_TRUE(dir.Write("in.bin", "abcdef"));
    const std::string in = dir.Path("in.bin");
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", GetParam(), "0", "2", in, "x", "y"});
    ExpectOkWithTime(r.out, kStartup + "writing  to tm offset 0 size 2 <=" + in +
                                "...write  to 0 2 bytes\n");
    EXPECT_EQ(dir.Memory(), "ab" + image.substr(2));
}

TEST_P(WriteAlias, MissingInputFile) {
    SimDir dir;
    const std::string in = dir.Path("missing.bin");
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", GetParam(), "0", "2", in});
    EXPECT_EQ(r.out, kStartup + "can not open file " + in + " [" + kNoEnt + "]\n" + kClosed);
}

INSTANTIATE_TEST_SUITE_P(Words, WriteAlias, ::testing::Values("/write", "/writeEX"),
                         [](const ::testing::TestParamInfo<const char *> &p) {
                             return std::string(p.index == 0 ? "Write" : "WriteEX");
                         });

} // namespace
