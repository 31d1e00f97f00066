// SPDX-License-Identifier: GPL-2.0-or-later
// memwrs under the driver stand-in: a string written into the key at an
// offset, one-shot (the argument as passed, spaces kept) and at the prompt
// (one word).

#include "MemCmdsUtil.h"
#include "TouchMemProto.h"

using namespace vorn_test;

namespace {

std::string WithAt(std::string image, size_t offset, const std::string &data) {
    image.replace(offset, data.size(), data);
    return image;
}

TEST(MemWrS, OneShotWritesTheWholeArgumentSpacesIncluded) {
    SimDir dir;
    const std::string image = PatternImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memwrs", "hello  world", "10"});
    EXPECT_EQ(r.out, kStartup +
                         "writing str 'hello  world' to offset 10...write  to 10 12 bytes\nok\n" +
                         kClosed);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    // Twelve bytes, no terminating NUL.
    EXPECT_EQ(dir.Memory(), WithAt(image, 10, "hello  world"));
    const auto writes = CallsOf(TraceLines(dir), "write");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].size, 12);
}

TEST(MemWrS, AtThePromptTheDataIsOneWord) {
    SimDir dir;
    const std::string image = PatternImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool"}, "memwrs abc 5\nquit\n");
    EXPECT_EQ(r.out, kStartup + ">writing str 'abc' to offset 5...write  to 5 3 bytes\nok\n" +
                         ">exiting\n" + kClosed);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.Memory(), WithAt(image, 5, "abc"));
}

TEST(MemWrS, PromptSplitsAtSpacesAndIgnoresSurplusWords) {
    SimDir dir;
    const std::string image = PatternImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool"}, "memwrs two  7 words more\nquit\n");
    EXPECT_EQ(r.out, kStartup + ">writing str 'two' to offset 7...write  to 7 3 bytes\nok\n" +
                         ">exiting\n" + kClosed);
    EXPECT_EQ(dir.Memory(), WithAt(image, 7, "two"));
}

TEST(MemWrS, WhatWasWrittenReadsBack) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory("", 512));
    ASSERT_EQ(vorn_test::Run(dir, Key(), {"tmtool", "memwrs", "XYZ", "16"}).status, 0);
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memrd", "16", "3"});
    EXPECT_EQ(r.err, "0000 58 59 5A XX XX XX XX XX -XX XX XX XX XX XX XX XX  XYZ\n");
}

TEST(MemWrS, StringPastTheKeyEndStoresWhatFitsAndIsAnError) {
    SimDir dir;
    const std::string image = PatternImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memwrs", "abcdef", "509"});
    EXPECT_EQ(r.out, kStartup + "writing str 'abcdef' to offset 509...write  to 509 6 bytes\n" +
                         "TouchMemCltK[130] write failed [stored 3 of 6 bytes]\nerror\n" + kClosed);
    EXPECT_EQ(dir.Memory(), WithAt(image, 509, "abc"));
}

struct FailureCase {
    const char *name;
    SimKey key;
    std::string after; // what follows the progress text
};

// Parameters show by name in failure messages.
void PrintTo(const FailureCase &c, std::ostream *os) {
    *os << c.name;
}

class MemWrSFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(MemWrSFailure, SaysWhatFailedAndLeavesTheKey) {
    const FailureCase &c = GetParam();
    SimDir dir;
    const std::string image = PatternImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    const RunResult r = vorn_test::Run(dir, c.key, {"tmtool", "memwrs", "abc", "0"});
    EXPECT_EQ(r.out, kStartup + "writing str 'abc' to offset 0..." + c.after + kClosed);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.Memory(), image);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MemWrSFailure,
    ::testing::Values(
        FailureCase{"NoKey", Key().Absent(), "no slave\n"},
        FailureCase{"PresenceFails", Key().Fault("presence"), "no slave\n"},
        FailureCase{"RomFails", Key().Fault("rom"), "error read rom\n"},
        FailureCase{"SeekFails", Key().Fault("lseek"),
                    "write  to 0 3 bytes\nTouchMemCltK[125] lseek failed [" + kEio + "]\nerror\n"},
        FailureCase{"WriteFails", Key().Fault("write"),
                    "write  to 0 3 bytes\nTouchMemCltK[130] write failed [" + kEio + "]\nerror\n"}),
    [](const ::testing::TestParamInfo<FailureCase> &p) { return std::string(p.param.name); });

TEST(MemWrS, NoKeyMeansNoWrite) {
    SimDir dir;
    ASSERT_EQ(vorn_test::Run(dir, Key().Absent(), {"tmtool", "memwrs", "abc", "0"}).status, 0);
    const auto trace = TraceLines(dir);
    EXPECT_EQ(CountRequests(trace, TM_REQ_READ_ROM), 0);
    EXPECT_TRUE(CallsOf(trace, "write").empty());
}

} // namespace
