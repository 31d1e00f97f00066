// SPDX-License-Identifier: GPL-2.0-or-later
// memwrf under the driver stand-in: a file copied into the key, the file's
// length or the size operand deciding how much; only what was really read
// from the file is written.

#include "MemCmdsUtil.h"
#include "TouchMemProto.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace vorn_test;

namespace {

std::string Progress(const std::string &offset, const std::string &size, const std::string &file) {
    return "writing  to tm offset " + offset + " size " + size + " <=" + file + "...";
}

std::string WriteLine(const std::string &offset, const std::string &size) {
    return "write  to " + offset + " " + size + " bytes\n";
}

// A key image of 0xEE bytes, so that written zeros stand out.
std::string FilledImage(size_t size) {
    return std::string(size, '\xEE');
}

TEST(MemWrF, CopiesTheFileByteForByte) {
    SimDir dir;
    const std::string image = FilledImage(4096);
    ASSERT_TRUE(dir.WriteMemory(image));
    const std::string data = PatternImage(3000);
    ASSERT_TRUE(dir.Write("in.bin", data));
    const std::string in = dir.Path("in.bin");
    const RunResult r = vorn_test::Run(dir, Key().Memory(4096), {"tmtool", "memwrf", in, "30"});
    ExpectOkWithTime(r.out, kStartup + Progress("30", "3000", in) + WriteLine("30", "3000"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.Memory(), image.substr(0, 30) + data + image.substr(3030));
    // No preamble: no request at all, one positioned write of the file.
    const auto trace = TraceLines(dir);
    EXPECT_TRUE(CallsOf(trace, "ioctl").empty());
    const auto writes = CallsOf(trace, "write");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].size, 3000);
}

TEST(MemWrF, SmallerSizeWritesOnlyTheLeadingBytes) {
    SimDir dir;
    const std::string image = FilledImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    ASSERT_TRUE(dir.Write("in.bin", "0123456789abcdef"));
    const std::string in = dir.Path("in.bin");
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memwrf", in, "8", "10"});
    ExpectOkWithTime(r.out, kStartup + Progress("8", "10", in) + WriteLine("8", "10"));
    EXPECT_EQ(dir.Memory(), image.substr(0, 8) + "0123456789" + image.substr(18));
}

TEST(MemWrF, LargerSizeWritesZerosAfterTheFile) {
    SimDir dir;
    const std::string image = FilledImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    ASSERT_TRUE(dir.Write("in.bin", "abcde"));
    const std::string in = dir.Path("in.bin");
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memwrf", in, "0", "20"});
    ExpectOkWithTime(r.out, kStartup + Progress("0", "20", in) + WriteLine("0", "20"));
    EXPECT_EQ(dir.Memory(), "abcde" + std::string(15, '\0') + image.substr(20));
}

TEST(MemWrF, EmptyFileWritesNothing) {
    SimDir dir;
    const std::string image = FilledImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    ASSERT_TRUE(dir.Write("in.bin", ""));
    const std::string in = dir.Path("in.bin");
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memwrf", in, "0"});
    ExpectOkWithTime(r.out, kStartup + Progress("0", "0", in) + WriteLine("0", "0"));
    EXPECT_EQ(dir.Memory(), image);
}

TEST(MemWrF, NoKeyStillWritesWithoutAPresenceCheck) {
    SimDir dir;
    ASSERT_TRUE(dir.Write("in.bin", "abc"));
    const std::string in = dir.Path("in.bin");
    const RunResult r = vorn_test::Run(dir, Key().Absent(), {"tmtool", "memwrf", in, "0"});
    // Whatever the write reports: the stand-in refuses it without a key.
    EXPECT_EQ(r.out, kStartup + Progress("0", "3", in) + WriteLine("0", "3") +
                         "TouchMemCltK[130] write failed [No such device or address]\nerror\n" +
                         kClosed);
    const auto trace = TraceLines(dir);
    EXPECT_TRUE(CallsOf(trace, "ioctl").empty());
    EXPECT_EQ(CallsOf(trace, "write").size(), 1u);
}

TEST(MemWrF, StandardInputPipeWithASizeIsReadUpToIt) {
    SimDir dir;
    const std::string image = FilledImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    const RunResult r =
        vorn_test::Run(dir, Key(), {"tmtool", "memwrf", "/dev/stdin", "4", "8"}, "piped");
    ExpectOkWithTime(r.out, kStartup + Progress("4", "8", "/dev/stdin") + WriteLine("4", "8"));
    EXPECT_EQ(dir.Memory(), image.substr(0, 4) + "piped" + std::string(3, '\0') + image.substr(12));
}

TEST(MemWrF, StandardInputPipeWithoutASizeIsRefused) {
    SimDir dir;
    const std::string image = FilledImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memwrf", "/dev/stdin", "0"}, "data");
    EXPECT_EQ(r.out, kStartup + "can not read file /dev/stdin [Illegal seek]\n" + kClosed);
    EXPECT_EQ(dir.Memory(), image);
    EXPECT_TRUE(OnlyOpenedAndClosed(dir));
}

TEST(MemWrF, MissingFileIsReportedAndNothingWritten) {
    SimDir dir;
    const std::string in = dir.Path("missing.bin");
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memwrf", in, "0", "16"});
    EXPECT_EQ(r.out, kStartup + "can not open file " + in + " [" + kNoEnt + "]\n" + kClosed);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(OnlyOpenedAndClosed(dir));
}

class MemWrFDirectory : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(MemWrFDirectory, IsACannotReadAndTheKeyIsNotWritten) {
    SimDir dir;
    const std::string image = FilledImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    std::vector<std::string> argv{"tmtool", "memwrf", dir.Dir(), "0"};
    argv.insert(argv.end(), GetParam().begin(), GetParam().end());
    const RunResult r = vorn_test::Run(dir, Key(), argv);
    EXPECT_EQ(r.out, kStartup + "can not read file " + dir.Dir() + " [Is a directory]\n" + kClosed);
    EXPECT_EQ(dir.Memory(), image);
    EXPECT_TRUE(OnlyOpenedAndClosed(dir));
}

INSTANTIATE_TEST_SUITE_P(SizeOrNot, MemWrFDirectory,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"16"}),
                         [](const ::testing::TestParamInfo<std::vector<std::string>> &p) {
                             return std::string(p.param.empty() ? "WithoutSize" : "WithSize");
                         });

struct RefusedSizeCase {
    const char *name;
    std::string size;
    std::string shown;
};

// Parameters show by name in failure messages.
void PrintTo(const RefusedSizeCase &c, std::ostream *os) {
    *os << c.name;
}

class MemWrFRefusedSize : public ::testing::TestWithParam<RefusedSizeCase> {};

TEST_P(MemWrFRefusedSize, SaysErrorAndWritesNothing) {
    const RefusedSizeCase &c = GetParam();
    SimDir dir;
    const std::string image = FilledImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    ASSERT_TRUE(dir.Write("in.bin", "abc"));
    const std::string in = dir.Path("in.bin");
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memwrf", in, "0", c.size});
    EXPECT_EQ(r.out, kStartup + Progress("0", c.shown, in) + "error\n" + kClosed);
    EXPECT_EQ(dir.Memory(), image);
    EXPECT_TRUE(OnlyOpenedAndClosed(dir));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, MemWrFRefusedSize,
    ::testing::Values(RefusedSizeCase{"MinusOne", "-1", "18446744073709551615"},
                      RefusedSizeCase{"MostNegative", "-2147483648", "18446744071562067968"},
                      RefusedSizeCase{"AboveTransferLimit", "16777217", "16777217"},
                      RefusedSizeCase{"Saturated", "99999999999", "2147483647"}),
    [](const ::testing::TestParamInfo<RefusedSizeCase> &p) { return std::string(p.param.name); });

TEST(MemWrF, FileLongerThanTheTransferLimitIsRefused) {
    SimDir dir;
    const std::string image = FilledImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    const std::string in = dir.Path("huge.bin");
    ASSERT_TRUE(dir.Write("huge.bin", ""));
    // Sparse: 16 MiB and one byte of length without the disk space.
    ASSERT_EQ(truncate(in.c_str(), 16777217), 0);
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memwrf", in, "0"});
    EXPECT_EQ(r.out, kStartup + Progress("0", "16777217", in) + "error\n" + kClosed);
    EXPECT_EQ(dir.Memory(), image);
}

struct DeviceFailureCase {
    const char *name;
    const char *fault;
    std::string report;
};

// Parameters show by name in failure messages.
void PrintTo(const DeviceFailureCase &c, std::ostream *os) {
    *os << c.name;
}

class MemWrFDeviceFailure : public ::testing::TestWithParam<DeviceFailureCase> {};

TEST_P(MemWrFDeviceFailure, SaysErrorWithoutTime) {
    const DeviceFailureCase &c = GetParam();
    SimDir dir;
    const std::string image = FilledImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    ASSERT_TRUE(dir.Write("in.bin", "abc"));
    const std::string in = dir.Path("in.bin");
    const RunResult r = vorn_test::Run(dir, Key().Fault(c.fault), {"tmtool", "memwrf", in, "0"});
    EXPECT_EQ(r.out, kStartup + Progress("0", "3", in) + WriteLine("0", "3") + c.report +
                         "error\n" + kClosed);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir.Memory(), image);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MemWrFDeviceFailure,
    ::testing::Values(DeviceFailureCase{"SeekFails", "lseek",
                                        "TouchMemCltK[125] lseek failed [" + kEio + "]\n"},
                      DeviceFailureCase{"WriteFails", "write",
                                        "TouchMemCltK[130] write failed [" + kEio + "]\n"}),
    [](const ::testing::TestParamInfo<DeviceFailureCase> &p) { return std::string(p.param.name); });

TEST(MemWrF, ShortWriteIsAnErrorAndTheKeyHoldsThePart) {
    // A write the device took only in part is no success.
    SimDir dir;
    const std::string image = FilledImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    ASSERT_TRUE(dir.Write("in.bin", "abcdef"));
    const std::string in = dir.Path("in.bin");
    const RunResult r =
        vorn_test::Run(dir, Key().Fault("short-write=2"), {"tmtool", "memwrf", in, "0"});
    EXPECT_EQ(r.out, kStartup + Progress("0", "6", in) + WriteLine("0", "6") +
                         "TouchMemCltK[130] write failed [stored 2 of 6 bytes]\nerror\n" + kClosed);
    EXPECT_EQ(dir.Memory(), "ab" + image.substr(2));
}

TEST(MemWrF, AtThePromptWithAndWithoutSize) {
    SimDir dir;
    const std::string image = FilledImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    ASSERT_TRUE(dir.Write("in.bin", "abcdef"));
    const std::string in = dir.Path("in.bin");
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool"},
                                       "memwrf " + in + " 10\nmemwrf " + in + " 100 2\nquit\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.Memory(),
              image.substr(0, 10) + "abcdef" + image.substr(16, 84) + "ab" + image.substr(102));
    const std::string first = kStartup + ">" + Progress("10", "6", in) + WriteLine("10", "6");
    EXPECT_EQ(r.out.substr(0, first.size()), first);
    EXPECT_NE(r.out.find(">" + Progress("100", "2", in) + WriteLine("100", "2") + "ok\ntime diff "),
              std::string::npos);
}

} // namespace
