// SPDX-License-Identifier: GPL-2.0-or-later
// memrdf under the driver stand-in: a range of the key's memory copied into
// a file, byte for byte, with "ok" only when every byte reached it.

#include "MemCmdsUtil.h"
#include "TouchMemProto.h"

#include <sys/stat.h>

using namespace vorn_test;

namespace {

std::string Progress(const std::string &offset, const std::string &size, const std::string &file) {
    return "reading  from tm offset " + offset + " size " + size + " =>" + file + "....";
}

std::string ReadLine(const std::string &offset, const std::string &size) {
    return "read from " + offset + " " + size + " bytes\n";
}

// Sets the umask for the runs of one test and restores it afterwards.
class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : m_old(umask(mask)) {}
    ~ScopedUmask() { umask(m_old); }

  private:
    mode_t m_old;
};

TEST(MemRdF, CopiesTheRangeByteForByte) {
    SimDir dir;
    const std::string image = PatternImage(4096);
    ASSERT_TRUE(dir.WriteMemory(image));
    const std::string out = dir.Path("out.bin");
    const RunResult r =
        vorn_test::Run(dir, Key().Memory(4096), {"tmtool", "memrdf", out, "100", "3000"});
    ExpectOkWithTime(r.out, kStartup + Progress("100", "3000", out) + ReadLine("100", "3000"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadFile(out), image.substr(100, 3000));
    // One read of the whole range.
    const auto reads = CallsOf(TraceLines(dir), "read");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].size, 3000);
}

TEST(MemRdF, ReplacesAnExistingFile) {
    SimDir dir;
    const std::string image = PatternImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    ASSERT_TRUE(dir.Write("out.bin", std::string(1000, 'x')));
    const RunResult r =
        vorn_test::Run(dir, Key(), {"tmtool", "memrdf", dir.Path("out.bin"), "0", "10"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.Read("out.bin"), image.substr(0, 10));
}

TEST(MemRdF, CreatesTheFileReadableNotWorldWritable) {
    const ScopedUmask mask(022);
    SimDir dir;
    ASSERT_EQ(
        vorn_test::Run(dir, Key(), {"tmtool", "memrdf", dir.Path("out.bin"), "0", "16"}).status, 0);
    struct stat st {};
    ASSERT_EQ(stat(dir.Path("out.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(MemRdF, UmaskDecidesTheMode) {
    const ScopedUmask mask(077);
    SimDir dir;
    ASSERT_EQ(
        vorn_test::Run(dir, Key(), {"tmtool", "memrdf", dir.Path("out.bin"), "0", "16"}).status, 0);
    struct stat st {};
    ASSERT_EQ(stat(dir.Path("out.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(MemRdF, BytesTheKeyDoesNotHoldAreZero) {
    SimDir dir;
    const std::string image = PatternImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    const std::string out = dir.Path("out.bin");
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memrdf", out, "500", "32"});
    ExpectOkWithTime(r.out, kStartup + Progress("500", "32", out) + ReadLine("500", "32"));
    EXPECT_EQ(ReadFile(out), image.substr(500) + std::string(20, '\0'));
}

TEST(MemRdF, ShortReadLeavesTheRestZero) {
    SimDir dir;
    const std::string image = PatternImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    const std::string out = dir.Path("out.bin");
    const RunResult r =
        vorn_test::Run(dir, Key().Fault("short-read=7"), {"tmtool", "memrdf", out, "3", "64"});
    ExpectOkWithTime(r.out, kStartup + Progress("3", "64", out) + ReadLine("3", "64"));
    EXPECT_EQ(ReadFile(out), image.substr(3, 7) + std::string(57, '\0'));
}

TEST(MemRdF, ZeroSizeGivesAnEmptyFile) {
    SimDir dir;
    const std::string out = dir.Path("out.bin");
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memrdf", out, "0", "0"});
    ExpectOkWithTime(r.out, kStartup + Progress("0", "0", out) + ReadLine("0", "0"));
    EXPECT_TRUE(FileExists(out));
    EXPECT_EQ(ReadFile(out), "");
}

// Failures before the device read: no file is created (or replaced).
struct EarlyCase {
    const char *name;
    SimKey key;
    std::string size;
    std::string after; // what follows the progress text
};

// Parameters show by name in failure messages.
void PrintTo(const EarlyCase &c, std::ostream *os) {
    *os << c.name;
}

class MemRdFEarlyFailure : public ::testing::TestWithParam<EarlyCase> {};

TEST_P(MemRdFEarlyFailure, LeavesNoFile) {
    const EarlyCase &c = GetParam();
    SimDir dir;
    const std::string out = dir.Path("out.bin");
    const RunResult r = vorn_test::Run(dir, c.key, {"tmtool", "memrdf", out, "0", c.size});
    EXPECT_EQ(r.out, kStartup +
                         Progress("0", c.size == "-1" ? "18446744073709551615" : c.size, out) +
                         c.after + kClosed);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(FileExists(out));
    EXPECT_TRUE(CallsOf(TraceLines(dir), "read").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, MemRdFEarlyFailure,
    ::testing::Values(EarlyCase{"NoKey", Key().Absent(), "16", "no slave\n"},
                      EarlyCase{"PresenceFails", Key().Fault("presence"), "16", "no slave\n"},
                      EarlyCase{"RomFails", Key().Fault("rom"), "16", "error read rom\n"},
                      EarlyCase{"NegativeSize", Key(), "-1", "error\n"},
                      EarlyCase{"SizeAboveTransferLimit", Key(), "16777217", "error\n"},
                      EarlyCase{"LargestOperand", Key(), "2147483647", "error\n"}),
    [](const ::testing::TestParamInfo<EarlyCase> &p) { return std::string(p.param.name); });

TEST(MemRdF, RefusedSizeLeavesAnExistingFileAlone) {
    SimDir dir;
    ASSERT_TRUE(dir.Write("out.bin", "keep me"));
    const RunResult r =
        vorn_test::Run(dir, Key(), {"tmtool", "memrdf", dir.Path("out.bin"), "0", "-8"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.Read("out.bin"), "keep me");
}

TEST(MemRdF, TransferLimitItselfIsServed) {
    SimDir dir;
    const std::string out = dir.Path("out.bin");
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memrdf", out, "0", "16777216"});
    ExpectOkWithTime(r.out, kStartup + Progress("0", "16777216", out) + ReadLine("0", "16777216"));
    const std::string file = ReadFile(out);
    ASSERT_EQ(file.size(), 16777216u);
    EXPECT_EQ(file.substr(0, 512), dir.Memory());
    EXPECT_EQ(file.find_first_not_of('\0', 512), std::string::npos);
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

class MemRdFDeviceFailure : public ::testing::TestWithParam<DeviceFailureCase> {};

TEST_P(MemRdFDeviceFailure, SaysErrorAndLeavesTheFileEmpty) {
    const DeviceFailureCase &c = GetParam();
    SimDir dir;
    const std::string out = dir.Path("out.bin");
    const RunResult r =
        vorn_test::Run(dir, Key().Fault(c.fault), {"tmtool", "memrdf", out, "0", "16"});
    EXPECT_EQ(r.out, kStartup + Progress("0", "16", out) + ReadLine("0", "16") + c.report +
                         "error\n" + kClosed);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(FileExists(out));
    EXPECT_EQ(ReadFile(out), "");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MemRdFDeviceFailure,
    ::testing::Values(
        DeviceFailureCase{"SeekFails", "lseek", "TouchMemCltK[106] lseek failed [" + kEio + "]\n"},
        DeviceFailureCase{"ReadFails", "read", "TouchMemCltK[111] read failed [" + kEio + "]\n"}),
    [](const ::testing::TestParamInfo<DeviceFailureCase> &p) { return std::string(p.param.name); });

TEST(MemRdF, OutputThatCannotBeCreatedIsReportedBeforeAnyRead) {
    SimDir dir;
    const std::string out = dir.Path("missing-dir/out.bin");
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memrdf", out, "0", "16"});
    EXPECT_EQ(r.out, kStartup + Progress("0", "16", out) + "can not create out file " + out + " [" +
                         kNoEnt + "]\n" + kClosed);
    EXPECT_TRUE(CallsOf(TraceLines(dir), "read").empty());
}

TEST(MemRdF, OutputUnderAFileIsNotADirectory) {
    SimDir dir;
    ASSERT_TRUE(dir.Write("plain", "x"));
    const std::string out = dir.Path("plain/out.bin");
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memrdf", out, "0", "16"});
    EXPECT_EQ(r.out, kStartup + Progress("0", "16", out) + "can not create out file " + out +
                         " [Not a directory]\n" + kClosed);
}

TEST(MemRdF, FullDeviceIsAWriteErrorNotOk) {
    SimDir dir;
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memrdf", "/dev/full", "0", "16"});
    EXPECT_EQ(r.out, kStartup + Progress("0", "16", "/dev/full") + ReadLine("0", "16") +
                         "can not write out file /dev/full [No space left on device]\n" + kClosed);
    EXPECT_EQ(r.status, 0);
}

TEST(MemRdF, ZeroBytesToAFullDeviceIsOk) {
    SimDir dir;
    const RunResult r = vorn_test::Run(dir, Key(), {"tmtool", "memrdf", "/dev/full", "0", "0"});
    ExpectOkWithTime(r.out, kStartup + Progress("0", "0", "/dev/full") + ReadLine("0", "0"));
}

TEST(MemRdF, ThenMemWrFRestoresTheImage) {
    // Copy a range out, spoil it with memwrs, copy it back in.
    SimDir dir;
    const std::string image = PatternImage(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    const std::string file = dir.Path("saved.bin");
    ASSERT_EQ(vorn_test::Run(dir, Key(), {"tmtool", "memrdf", file, "64", "128"}).status, 0);
    ASSERT_EQ(vorn_test::Run(dir, Key(), {"tmtool", "memwrs", "spoiled", "100"}).status, 0);
    ASSERT_NE(dir.Memory(), image);
    ASSERT_EQ(vorn_test::Run(dir, Key(), {"tmtool", "memwrf", file, "64"}).status, 0);
    EXPECT_EQ(dir.Memory(), image);
}

} // namespace
