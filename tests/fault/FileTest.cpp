// SPDX-License-Identifier: GPL-2.0-or-later
// Input files memwrf cannot read and output files memrdf cannot write, the
// cases root cannot be kept out of included (the tests run as root in CI).
//
// What must hold: the message names the file and the system's reason,
// status 0, no sanitizer report; the key is not written when the input
// could not be read; no output file appears when it could not be created;
// a failed write of the output is never "ok".

#include "FaultUtil.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vorn_test;

namespace {

std::string Reason(int err) {
    return std::string(" [") + strerror(err) + "]\n";
}

const std::string kTooLong(300, 'n'); // one name component above NAME_MAX

struct FileCase {
    const char *name;
    std::string file;                          // "$D/" stands for the state directory
    std::function<bool(const SimDir &)> setUp; // null: nothing to prepare
    bool needsNonRoot = false;                 // permissions do not stop root
    std::string outcome;                       // after the progress text, if any
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const FileCase &c, std::ostream *os) {
    *os << c.name;
}

std::string InDir(const SimDir &dir, const std::string &file) {
    return file.rfind("$D/", 0) == 0 ? dir.Path(file.substr(3)) : file;
}

bool MakeUnreadable(const SimDir &dir) {
    return dir.Write("secret.bin", "data") && chmod(dir.Path("secret.bin").c_str(), 0) == 0;
}

bool MakeReadOnlyDir(const SimDir &dir) {
    return mkdir(dir.Path("ro").c_str(), 0555) == 0;
}

bool MakeInput(const SimDir &dir) {
    return dir.Write("in.bin", "wxyz");
}

class BadInput : public ::testing::TestWithParam<FileCase> {};

TEST_P(BadInput, IsReportedAndTheKeyIsNotWritten) {
    const FileCase &c = GetParam();
    if (c.needsNonRoot && geteuid() == 0) {
        GTEST_SKIP() << "root reads files whatever their permission bits";
    }
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Image()));
    if (c.setUp) {
        ASSERT_TRUE(c.setUp(dir));
    }
    const std::string file = InDir(dir, c.file);
    const RunResult r = RunSim(dir, Key(), {"tmtool", "memwrf", file, "0"});
    ExpectCleanExit(r);
    EXPECT_EQ(MaskTimes(r.out), kStartup + ReplaceAll(c.outcome, "$F", file) + kClosed);
    EXPECT_EQ(dir.Memory(), Image());
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadInput,
    ::testing::Values(
        FileCase{"UnreadableByPermission", "$D/secret.bin", MakeUnreadable, true,
                 "can not open file $F" + Reason(EACCES)},
        // Unreadable for root too: the process's own memory at position 0.
        FileCase{"UnreadableEvenForRoot", "/proc/self/mem", nullptr, false,
                 "can not read file /proc/self/mem" + Reason(EINVAL)},
        FileCase{"TrailingSlashAfterAFile", "$D/in.bin/", MakeInput, false,
                 "can not open file $F" + Reason(ENOTDIR)},
        FileCase{"NameTooLong", "$D/" + kTooLong, nullptr, false,
                 "can not open file $F" + Reason(ENAMETOOLONG)},
        FileCase{"EmptyName", "", nullptr, false, "can not open file " + Reason(ENOENT)},
        // A character device without a length: size 0, nothing written.
        FileCase{"DevNullHasNoLength", "/dev/null", nullptr, false,
                 "writing  to tm offset 0 size 0 <=/dev/null...write  to 0 0 bytes\nok\n"
                 "time diff T\n"}),
    [](const ::testing::TestParamInfo<FileCase> &p) { return std::string(p.param.name); });

class BadOutput : public ::testing::TestWithParam<FileCase> {};

TEST_P(BadOutput, IsReportedAndNoFileAppears) {
    const FileCase &c = GetParam();
    if (c.needsNonRoot && geteuid() == 0) {
        GTEST_SKIP() << "root writes into directories whatever their permission bits";
    }
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Image()));
    if (c.setUp) {
        ASSERT_TRUE(c.setUp(dir));
    }
    const std::string file = InDir(dir, c.file);
    const RunResult r = RunSim(dir, Key(), {"tmtool", "memrdf", file, "0", "16"});
    ExpectCleanExit(r);
    const std::string progress = "reading  from tm offset 0 size 16 =>" + file + "....";
    EXPECT_EQ(r.out, kStartup + progress + ReplaceAll(c.outcome, "$F", file) + kClosed);
    EXPECT_EQ(r.out.find("\nok\n"), std::string::npos);
    EXPECT_EQ(dir.Memory(), Image());
    if (file.rfind(dir.Dir() + "/", 0) == 0 && file != dir.Dir() + "/") {
        EXPECT_FALSE(IsRegularFile(file)) << file << " must not be created";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadOutput,
    ::testing::Values(
        FileCase{"DirectoryItself", "$D/", nullptr, false,
                 "can not create out file $F" + Reason(EISDIR)},
        FileCase{"ReadOnlyDirectory", "$D/ro/out.bin", MakeReadOnlyDir, true,
                 "can not create out file $F" + Reason(EACCES)},
        FileCase{"NameTooLong", "$D/" + kTooLong, nullptr, false,
                 "can not create out file $F" + Reason(ENAMETOOLONG)},
        FileCase{"EmptyName", "", nullptr, false, "can not create out file " + Reason(ENOENT)},
        // Root may open it, but no write reaches it: an error, never "ok".
        FileCase{"ReadOnlyEvenForRoot", "/proc/version", nullptr, false,
                 "read from 0 16 bytes\ncan not write out file /proc/version" + Reason(EIO)}),
    [](const ::testing::TestParamInfo<FileCase> &p) { return std::string(p.param.name); });

// At the prompt every bad file is reported in turn and the session goes on
// to a good transfer.
TEST(BadFiles, AtThePromptTheSessionGoesOn) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Image()));
    const std::string good = dir.Path("good.bin");
    const std::string input = "memwrf /proc/self/mem 0\n"
                              "memwrf " +
                              dir.Path(kTooLong) + " 0\n" + "memrdf " + dir.Dir() +
                              "/ 0 16\n"
                              "memrdf " +
                              good + " 0 16\nquit\n";
    const RunResult r = RunSim(dir, Key(), {"tmtool"}, input);
    ExpectCleanExit(r);
    EXPECT_EQ(MaskTimes(r.out),
              Transcript({"can not read file /proc/self/mem" + Reason(EINVAL),
                          "can not open file " + dir.Path(kTooLong) + Reason(ENAMETOOLONG),
                          "reading  from tm offset 0 size 16 =>" + dir.Dir() +
                              "/....can not create out file " + dir.Dir() + "/" + Reason(EISDIR),
                          "reading  from tm offset 0 size 16 =>" + good +
                              "....read from 0 16 bytes\nok\ntime diff T\n"}));
    EXPECT_EQ(ReadFile(good), kImageHead);
    EXPECT_EQ(dir.Memory(), Image());
}

// Under a file-size limit of 512 bytes (ulimit -f 1), set for tmtool alone
// so that the stand-in's own files are not limited.
std::vector<std::string> UnderFileSizeLimit(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "ulimit -f 1 && exec \"$0\" \"$@\"",
                                     BinPath("tmtool")};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

constexpr size_t kFileSizeLimit = 512;

// memrdf of more than the limit: the write that passes it fails, the tool
// says so and goes on, and the file is left empty rather than holding a cut
// image that could pass for a whole one.
TEST(FileSizeLimit, MemRdFSaysFileTooLargeAndTheSessionGoesOn) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Image()));
    const std::string out = dir.Path("out.bin");
    const RunResult r = RunSim(dir, Key().NoTrace(), UnderFileSizeLimit({}),
                               "memrdf " + out + " 0 2048\nchksl\nquit\n");
    ExpectCleanExit(r);
    EXPECT_EQ(r.out, Transcript({"reading  from tm offset 0 size 2048 =>" + out +
                                     "....read from 0 2048 bytes\n"
                                     "can not write out file " +
                                     out + Reason(EFBIG),
                                 "checking slave presence...slave present\n"}));
    EXPECT_TRUE(IsRegularFile(out));
    EXPECT_EQ(ReadFile(out), "");
}

// A log already at the limit: each log line is lost, nothing else changes.
TEST(FileSizeLimit, LogAtTheLimitLosesItsLinesAndTheToolWorks) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Image()));
    const std::string full(kFileSizeLimit, 'L');
    ASSERT_TRUE(dir.Write("tmdrv.log", full));
    const RunResult r = RunSim(dir, Key().NoTrace(), UnderFileSizeLimit({"memrd", "0", "16"}));
    ExpectCleanExit(r);
    EXPECT_EQ(r.out, kStartup + "reading 16 bytes from offset 0\nread from 0 16 bytes\n" + kClosed);
    EXPECT_EQ(r.err, kListingHead);
    EXPECT_EQ(dir.Log(), full);
}

// memrdf into a FIFO whose reader goes away in the middle of the write: a
// failed write like any other, and the session goes on.
TEST(BrokenPipe, MemRdFIntoAFifoWithoutReaderSaysBrokenPipeAndGoesOn) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Image()));
    const std::string fifo = dir.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    // One page: the write of 8192 bytes blocks half-way.
    ASSERT_GT(fcntl(reader, F_SETPIPE_SZ, 4096), 0);
    Spawned tool;
    ASSERT_TRUE(tool.Start(dir, Key(), {"tmtool"}));
    tool.Write("memrdf " + fifo + " 0 8192\n");
    const bool blocked = WaitForCall(tool.Pid(), kSysWrite, [](long fd) { return fd > 2; });
    close(reader);
    ASSERT_TRUE(blocked);
    tool.Write("chksl\nquit\n");
    const RunResult r = tool.Wait();
    ExpectCleanExit(r);
    EXPECT_EQ(r.out, Transcript({"reading  from tm offset 0 size 8192 =>" + fifo +
                                     "....read from 0 8192 bytes\n"
                                     "can not write out file " +
                                     fifo + Reason(EPIPE),
                                 "checking slave presence...slave present\n"}));
}

} // namespace
