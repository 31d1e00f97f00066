// SPDX-License-Identifier: GPL-2.0-or-later
// The device protocol of /dev/touchm0 as the preload library serves it,
// driven by raw calls from devprobe.
#include <gtest/gtest.h>

#include <string>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Probe.h"
#include "TestSupport.h"
#include "TouchMemProto.h"

using namespace vorn_test;

namespace {

const std::string kDefaultText = "touch-memory key 0108: hello\n";

} // namespace

TEST(TmSimDevice, DefaultKeyAnswersEveryRequest) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key(), {"open", "presence", "rom", "skip", "reset", "close"}),
              "open ok\npresence 0\nrom 8 04efbeadde0000cd\nskip 0\nreset 0\nclose 0\n");
}

TEST(TmSimDevice, AbsentKeyFailsRequestsButPositionsStillWork) {
    SimDir dir;
    EXPECT_EQ(
        Probe(dir, Key().Absent(),
              {"open", "presence", "rom", "skip", "reset", "seek:4", "read:4", "write:x", "close"}),
        "open ok\npresence -1 ENXIO\nrom -1 ENXIO\nrom-buffer aaaaaaaaaaaaaaaa\n"
        "skip -1 ENXIO\nreset -1 ENXIO\nseek 4\nread -1 ENXIO\nwrite -1 ENXIO\nclose 0\n");
}

TEST(TmSimDevice, RomOptions) {
    struct Case {
        SimKey key;
        std::string rom;
    } cases[] = {
        {Key(), "04efbeadde0000cd"},
        {Key().Rom("0102030405060708"), "0102030405060708"}, // verbatim, CRC not checked
        {Key().Rom("FFFFFFFFFFFFFFFF"), "ffffffffffffffff"},
        {Key().Family("02").Serial("00000001B81C"), "021cb801000000a2"},
        {Key().Family("01"), "01efbeadde000004"},
    };
    for (const Case &c : cases) {
        SimDir dir;
        EXPECT_EQ(Probe(dir, c.key, {"open", "rom"}), "open ok\nrom 8 " + c.rom + "\n") << c.rom;
    }
}

TEST(TmSimDevice, FreshMemoryHoldsTheTextThenZeros) {
    SimDir dir;
    std::string out = Probe(dir, Key().Memory(64), {"open", "read:40"});
    EXPECT_EQ(dir.Memory(), kDefaultText + std::string(64 - kDefaultText.size(), '\0'));
    EXPECT_EQ(out, "open ok\nread 40 " + Hex(dir.Memory().substr(0, 40)) + "\n");
}

TEST(TmSimDevice, ReadAndWriteAtOffsetsPersistAcrossRuns) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key(), {"open", "seek:100", "write:abc", "pwrite:200:XY", "read:2"}),
              "open ok\nseek 100\nwrite 3\npwrite 2\nread 2 0000\n");
    // The next run (a new process) reads what this one wrote.
    EXPECT_EQ(Probe(dir, Key(), {"open", "seek:99", "read:5", "pread:200:2", "read:1"}),
              "open ok\nseek 99\nread 5 0061626300\npread 2 5859\nread 1 00\n");
    std::string image = dir.Memory();
    ASSERT_EQ(image.size(), 512u);
    EXPECT_EQ(image.substr(100, 3), "abc");
    EXPECT_EQ(image.substr(200, 2), "XY");
    EXPECT_EQ(image.substr(0, kDefaultText.size()), kDefaultText);
}

TEST(TmSimDevice, ALaunchNeverOverwritesTheMemoryImage) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory("my own key", 512));
    EXPECT_EQ(Probe(dir, Key(), {"open", "read:6"}), "open ok\nread 6 6d79206f776e\n");
    EXPECT_EQ(dir.Memory().substr(0, 10), "my own key");
}

TEST(TmSimDevice, EndOfMemory) {
    struct Case {
        std::vector<std::string> steps;
        std::string out;
    } cases[] = {
        {{"seek:60", "read:8"}, "seek 60\nread 4 00000000\n"},
        {{"seek:64", "read:8"}, "seek 64\nread 0 \n"},
        {{"seek:1000", "read:8"}, "seek 1000\nread 0 \n"},
        {{"seek:62", "write:abcd", "seek:60", "read:8"},
         "seek 62\nwrite 2\nseek 60\nread 4 00006162\n"},
        {{"seek:64", "write:abcd"}, "seek 64\nwrite 0\n"},
        {{"pread:63:4"}, "pread 1 00\n"},
    };
    for (const Case &c : cases) {
        SimDir dir;
        std::vector<std::string> steps = {"open"};
        steps.insert(steps.end(), c.steps.begin(), c.steps.end());
        EXPECT_EQ(Probe(dir, Key().Memory(64), steps), "open ok\n" + c.out) << c.out;
        EXPECT_EQ(dir.Memory().size(), 64u) << "the image does not grow past the memory";
    }
}

TEST(TmSimDevice, MemoryBeyondAShortImageReadsAsZero) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory("hi"));
    EXPECT_EQ(Probe(dir, Key().Memory(16), {"open", "read:8", "read:16"}),
              "open ok\nread 8 6869000000000000\nread 8 0000000000000000\n");
}

TEST(TmSimDevice, SeekFromEachOrigin) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key().Memory(64),
                    {"open", "seek:10", "seek:5:1", "seek:-4:2", "seek:-1", "seek:-100:1",
                     "seek:0:7", "read:1"}),
              "open ok\nseek 10\nseek 15\nseek 60\nseek -1 EINVAL\nseek -1 EINVAL\n"
              "seek -1 EINVAL\nread 1 00\n");
}

TEST(TmSimDevice, EachDescriptorHasItsOwnPosition) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory("0123456789abcdefghijklmnopqrstuvwxyz", 64));
    EXPECT_EQ(Probe(dir, Key(),
                    {"open", "open", "use:0", "seek:10", "use:1", "seek:20", "use:0", "read:2",
                     "use:1", "read:2", "close", "use:0", "read:1", "close"}),
              "open ok\nopen ok\nseek 10\nseek 20\nread 2 6162\nread 2 6b6c\nclose 0\n"
              "read 1 63\nclose 0\n");
}

// Copies of a device descriptor are the device on the same open file: the
// position moves for all of them, whichever copy reads or seeks.
TEST(TmSimDevice, EveryKindOfCopySharesTheFilePosition) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory("0123456789abcdefghijklmnopqrstuvwxyz", 64));
    EXPECT_EQ(Probe(dir, Key(),
                    {"open",     "seek:10",   "dup",      "read:2",           "use:0",
                     "read:2",   "dupfd:200", "read:1",   "dupfdcloexec:200", "read:1",
                     "dup2:300", "read:1",    "dup3:301", "read:1",           "dup3:302:cloexec",
                     "read:1",   "pread:0:1", "use:0",    "read:1",           "seek:-1:1",
                     "use:1",    "seek:0:1",  "read:1"}),
              "open ok\nseek 10\ndup ok\nread 2 6162\nread 2 6364\ndupfd ok\nread 1 65\n"
              "dupfdcloexec ok\nread 1 66\ndup2 ok\nread 1 67\ndup3 ok\nread 1 68\n"
              "dup3 ok\nread 1 69\npread 1 30\nread 1 6a\nseek 19\nseek 19\nread 1 6a\n");
}

TEST(TmSimDevice, ClosingOneCopyLeavesTheOthersWorking) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory("0123456789", 64));
    // The copy closed, then the original closed and the copy goes on.
    EXPECT_EQ(Probe(dir, Key(),
                    {"open", "dup", "close", "use:0", "presence", "rom", "read:2", "dup", "use:0",
                     "close", "use:2", "presence", "read:2", "write:xy", "close"}),
              "open ok\ndup ok\nclose 0\npresence 0\nrom 8 04efbeadde0000cd\nread 2 3031\n"
              "dup ok\nclose 0\npresence 0\nread 2 3233\nwrite 2\nclose 0\n");
    EXPECT_EQ(dir.Memory().substr(0, 6), "0123xy");
    // Every close was a device close; nothing passed the stand-in by.
    std::vector<std::string> calls;
    for (const TraceRecord &rec : TraceLines(dir))
        calls.push_back(rec.call);
    EXPECT_EQ(calls, (std::vector<std::string>{"open", "close", "ioctl", "ioctl", "read", "close",
                                               "ioctl", "read", "write", "close"}));
}

TEST(TmSimDevice, CopiesAreCloseOnExecOnlyWhenAsked) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key(),
                    {"open", "dup", "cloexec", "use:0", "dupfd:200", "cloexec", "use:0",
                     "dupfdcloexec:200", "cloexec", "use:0", "dup2:300", "cloexec", "use:0",
                     "dup3:301", "cloexec", "use:0", "dup3:302:cloexec", "cloexec", "presence"}),
              "open ok\ndup ok\ncloexec 0\ndupfd ok\ncloexec 0\ndupfdcloexec ok\ncloexec 1\n"
              "dup2 ok\ncloexec 0\ndup3 ok\ncloexec 0\ndup3 ok\ncloexec 1\npresence 0\n");
}

// dup2 or dup3 onto a device descriptor closes it, whatever is copied
// there: another device descriptor (whose open file the number then has),
// or a file that is no device (the number then passes the stand-in by).
TEST(TmSimDevice, ACopyOntoADeviceDescriptorReplacesIt) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory("0123456789", 64));
    EXPECT_EQ(Probe(dir, Key(),
                    {"open", "open", "use:0", "seek:5", "dup2:@1", "read:1", "use:0", "read:1",
                     "open:/dev/null", "dup3:@0", "use:0", "presence", "read:4", "use:1",
                     "presence", "read:1"}),
              "open ok\nopen ok\nseek 5\ndup2 ok\nread 1 35\nread 1 36\nopen ok\ndup3 ok\n"
              "presence -1 ENOTTY\nread 0 \npresence 0\nread 1 37\n");
    // The requests on /dev/null did not reach the device.
    int presence = 0;
    for (const TraceRecord &rec : TraceLines(dir))
        presence += rec.call == "ioctl" && rec.req == TM_REQ_PRESENCE;
    EXPECT_EQ(presence, 1);
}

// dup2 onto itself gives the descriptor back unchanged; dup3 refuses that,
// as the system does, and so is a negative lowest number refused.
TEST(TmSimDevice, CopiesOntoThemselvesAndBadCopies) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key(),
                    {"open", "seek:3", "dup2:@0", "dup3:@0", "dupfd:-1", "use:0", "seek:0:1",
                     "presence"}),
              "open ok\nseek 3\ndup2 ok\ndup3 -1 EINVAL\ndupfd -1 EINVAL\nseek 3\npresence 0\n");
}

// A copy made after the device vanished is as dead as its original.
TEST(TmSimDevice, ACopyOfAVanishedDescriptorStaysDead) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key().Fault("vanish-after=2"),
                    {"open", "presence", "presence", "dup", "presence", "close", "use:0", "close"}),
              "open ok\npresence 0\npresence -1 ENODEV\ndup ok\npresence -1 ENODEV\nclose 0\n"
              "close 0\n");
}

// The stand-in follows 64 device descriptors per process; a copy beyond
// them fails with EMFILE, and one more is possible once one is closed.
TEST(TmSimDevice, CopiesBeyondTheTableFailWithEmfile) {
    SimDir dir;
    constexpr int kTable = 64;
    std::vector<std::string> steps = {"open"};
    std::string expected = "open ok\n";
    for (int i = 1; i < kTable; ++i) {
        steps.insert(steps.end(), {"use:0", "dup"});
        expected += "dup ok\n";
    }
    steps.insert(steps.end(),
                 {"use:0", "dup", "dupfd:200", "use:0", "close", "use:1", "dupfd:200", "presence"});
    expected += "dup -1 EMFILE\ndupfd -1 EMFILE\nclose 0\ndupfd ok\npresence 0\n";
    EXPECT_EQ(Probe(dir, Key().NoTrace(), steps), expected);
}

// A key of the ID-only family (0x01) answers every request but has no
// memory: reads and writes of any length fail with EOPNOTSUPP, not ENXIO,
// and leave the image alone; seeks work, the end being 0.
TEST(TmSimDevice, IdOnlyKeyRefusesTransfers) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory("abcdef", 64));
    EXPECT_EQ(
        Probe(dir, Key().Family("01"),
              {"open", "presence", "rom", "skip", "reset", "seek:4", "read:4", "read:0",
               "pread:0:1", "write:x", "writehex:", "pwrite:0:x", "seek:0:1", "seek:0:2", "close"}),
        "open ok\npresence 0\nrom 8 01efbeadde000004\nskip 0\nreset 0\nseek 4\n"
        "read -1 EOPNOTSUPP\nread -1 EOPNOTSUPP\npread -1 EOPNOTSUPP\n"
        "write -1 EOPNOTSUPP\nwritehex -1 EOPNOTSUPP\npwrite -1 EOPNOTSUPP\nseek 4\n"
        "seek 0\nclose 0\n");
    EXPECT_EQ(dir.Memory(), std::string("abcdef") + std::string(58, '\0'));
}

TEST(TmSimDevice, IdOnlyKeyAbsentIsNoKeyAndASizeGivenOverridesTheFamily) {
    SimDir absent;
    EXPECT_EQ(Probe(absent, Key().Family("01").Absent(), {"open", "read:4", "write:x"}),
              "open ok\nread -1 ENXIO\nwrite -1 ENXIO\n");
    SimDir sized;
    EXPECT_EQ(Probe(sized, Key().Rom("0102030405060708").Memory(16),
                    {"open", "write:xy", "seek:0:2", "pread:0:4"}),
              "open ok\nwrite 2\nseek 16\npread 4 7879" + Hex(kDefaultText.substr(2, 2)) + "\n");
    EXPECT_EQ(sized.Memory().size(), 16u);
}

// Without --memory-size the memory is the driver's for the key's family,
// and the launch makes the image that size.
TEST(TmSimDevice, MemorySizeFollowsTheFamily) {
    struct Case {
        SimKey key;
        size_t size;
    } cases[] = {
        {Key(), 512},
        {Key().Family("06"), 512},
        {Key().Family("08"), 128},
        {Key().Family("0A"), 2048},
        {Key().Family("0c"), 8192},
    };
    for (const Case &c : cases) {
        SimDir dir;
        EXPECT_EQ(Probe(dir, c.key, {"open", "seek:0:2", "seek:-1:2", "read:4"}),
                  "open ok\nseek " + std::to_string(c.size) + "\nseek " +
                      std::to_string(c.size - 1) + "\nread 1 00\n")
            << c.size;
        EXPECT_EQ(dir.Memory().size(), c.size);
    }
    // A family the driver has no size for: no byte moves, either way.
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key().Family("02"), {"open", "seek:0:2", "read:4", "write:x"}),
              "open ok\nseek 0\nread 0 \nwrite 0\n");
    EXPECT_EQ(dir.Memory(), "");
}

TEST(TmSimDevice, EveryOpenFormReachesTheDevice) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key(),
                    {"openat:/dev/touchm0", "presence", "close", "open2:/dev/touchm0", "presence",
                     "close", "open:/dev/touchm0:0", "presence", "close"}),
              "openat ok\npresence 0\nclose 0\nopen2 ok\npresence 0\nclose 0\nopen ok\n"
              "presence 0\nclose 0\n");
}

// A device or RTC descriptor is a character device to every form of the
// stat family, as the driver's node is (its copies and its vanished self
// too); an event descriptor and other files are what the system says.
TEST(TmSimDevice, DescriptorsAreCharacterDevicesToStat) {
    SimDir dir;
    const std::string other = dir.Path("other.txt");
    EXPECT_EQ(
        Probe(dir, Key().Rtc("present"),
              {"open", "stat", "dup", "stat", "open:/dev/rtc0", "stat", "use:0", "eventfd", "stat",
               "file:" + other + ":abc", "open:" + other + ":0", "stat", "open:/dev/null", "stat"}),
        "open ok\nstat chr 10:124 660 0\ndup ok\nstat chr 10:124 660 0\nopen ok\n"
        "stat chr 252:0 600 0\neventfd ok\nstat sock 0:0 777 0\nfile 3\nopen ok\n"
        "stat reg 0:0 600 3\nopen ok\nstat chr 1:3 666 0\n");
    SimDir gone;
    EXPECT_EQ(Probe(gone, Key().Fault("vanish-after=1"), {"open", "presence", "stat"}),
              "open ok\npresence -1 ENODEV\nstat chr 10:124 660 0\n");
}

TEST(TmSimDevice, NullBufferIsABadAddress) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory("ab")); // memory past the image reads as zero
    EXPECT_EQ(Probe(dir, Key(), {"open", "seek:10", "readnull:8", "writenull:8", "readnull:0"}),
              "open ok\nseek 10\nreadnull -1 EFAULT\nwritenull -1 EFAULT\nreadnull 0\n");
}

TEST(TmSimDevice, UnknownRequestIsNotATty) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key(), {"open", "ioctl:5401", "ioctl:414c544e"}),
              "open ok\nioctl -1 ENOTTY\nioctl -1 ENOTTY\n");
}

TEST(TmSimDevice, MissingDevice) {
    struct Case {
        SimKey key;
        std::string err;
    } cases[] = {
        {Key().NoDevice(), "ENOENT"},
        {Key().NoDevice("EACCES"), "EACCES"},
        {Key().NoDevice("EBUSY"), "EBUSY"},
        {Key().NoDevice("19"), "ENODEV"},
    };
    for (const Case &c : cases) {
        SimDir dir;
        EXPECT_EQ(Probe(dir, c.key, {"open", "open2:/dev/touchm0"}),
                  "open -1 " + c.err + "\nopen2 -1 " + c.err + "\n");
        std::vector<TraceRecord> trace = TraceLines(dir);
        ASSERT_EQ(trace.size(), 2u);
        EXPECT_EQ(trace[0].call, "open");
        EXPECT_EQ(trace[0].result, -1);
        EXPECT_NE(trace[0].err, 0);
    }
}

TEST(TmSimDevice, FaultSwitches) {
    struct Case {
        const char *fault;
        std::vector<std::string> steps;
        std::string out;
    } cases[] = {
        {"presence", {"presence", "rom"}, "presence -1 EIO\nrom 8 04efbeadde0000cd\n"},
        {"rom", {"rom", "presence"}, "rom -1 EIO\nrom-buffer aaaaaaaaaaaaaaaa\npresence 0\n"},
        {"skip", {"skip", "reset"}, "skip -1 EIO\nreset 0\n"},
        {"reset", {"reset", "skip"}, "reset -1 EIO\nskip 0\n"},
        {"lseek", {"seek:0", "read:2"}, "seek -1 EIO\nread 2 746f\n"},
        {"read",
         {"seek:0", "read:2", "pread:0:2", "write:x"},
         "seek 0\nread -1 EIO\npread -1 EIO\nwrite 1\n"},
        {"write", {"write:x", "pwrite:0:x", "read:1"}, "write -1 EIO\npwrite -1 EIO\nread 1 74\n"},
        {"short-read=3", {"read:8", "read:2"}, "read 3 746f75\nread 2 6368\n"},
        {"short-read=0", {"read:8"}, "read 0 \n"},
        {"short-write=2", {"write:abcd", "seek:0", "read:4"}, "write 2\nseek 0\nread 4 61627563\n"},
    };
    for (const Case &c : cases) {
        SimDir dir;
        std::vector<std::string> steps = {"open"};
        steps.insert(steps.end(), c.steps.begin(), c.steps.end());
        EXPECT_EQ(Probe(dir, Key().Fault(c.fault), steps), "open ok\n" + c.out) << c.fault;
    }
}

TEST(TmSimDevice, SeveralFaultsAtOnce) {
    SimDir dir;
    EXPECT_EQ(
        Probe(dir, Key().Fault("presence").Fault("short-read=1"), {"open", "presence", "read:4"}),
        "open ok\npresence -1 EIO\nread 1 74\n");
}

TEST(TmSimDevice, VanishAfterNRequests) {
    SimDir dir;
    // Requests 1 to 3 (open, presence, rom) are served; then the device is
    // gone for the descriptor and for new opens; close still releases it.
    EXPECT_EQ(Probe(dir, Key().Fault("vanish-after=3"),
                    {"open", "presence", "rom", "read:1", "presence", "open", "close"}),
              "open ok\npresence 0\nrom 8 04efbeadde0000cd\nread -1 ENODEV\npresence -1 ENODEV\n"
              "open -1 ENOENT\nclose 0\n");
    SimDir dir0;
    EXPECT_EQ(Probe(dir0, Key().Fault("vanish-after=0"), {"open"}), "open -1 ENOENT\n");
}

TEST(TmSimDevice, TraceHasOneLinePerDeviceCall) {
    SimDir dir;
    Probe(dir, Key(),
          {"open", "presence", "rom", "seek:16", "read:5", "write:ab", "pread:3:1", "ioctl:1",
           "close", "cat:/dev/null"});
    std::vector<TraceRecord> trace = TraceLines(dir);
    EXPECT_EQ(TraceSummaries(trace), (std::vector<std::string>{
                                         "open path=/dev/touchm0 flags=0x101802 result=fd errno=0",
                                         "ioctl req=0x414c544a result=0 errno=0",
                                         "ioctl req=0x414c544b result=0 errno=0",
                                         "lseek off=16 whence=0 result=16 errno=0",
                                         "read size=5 result=5 errno=0",
                                         "write size=2 result=2 errno=0",
                                         "pread off=3 size=1 result=1 errno=0",
                                         "ioctl req=0x1 result=-1 errno=25",
                                         "close result=0 errno=0",
                                     }));
    ASSERT_EQ(trace.size(), 9u);
    EXPECT_EQ(trace[0].flags, 0x101802ul);
    EXPECT_EQ(trace[1].req, 0x414c544aul);
    EXPECT_EQ(trace[3].off, 16);
    EXPECT_EQ(trace[4].size, 5);
    for (size_t i = 1; i < trace.size(); i++)
        EXPECT_GE(trace[i].t, trace[i - 1].t);
    // Each line is exactly "t=... call=... <fields> result=... errno=...".
    std::string raw = dir.Trace();
    std::string first = raw.substr(0, raw.find('\n'));
    EXPECT_EQ(first.substr(first.find(" call=")),
              " call=open path=/dev/touchm0 flags=0x101802 result=" +
                  std::to_string(trace[0].result) + " errno=0");
}

TEST(TmSimDevice, TraceOffWritesNothingAndTraceToNamesTheFile) {
    SimDir dir;
    Probe(dir, Key().NoTrace(), {"open", "presence"});
    EXPECT_FALSE(dir.Exists("trace"));
    Probe(dir, Key().TraceTo(dir.Path("elsewhere")), {"open", "presence"});
    EXPECT_EQ(TraceLinesFrom(dir.Path("elsewhere")).size(), 2u);
}

TEST(TmSimDevice, ClientLogPathIsRedirected) {
    SimDir dir;
    struct stat before;
    bool existed = stat("/tmp/tmdrv.log", &before) == 0;
    EXPECT_EQ(Probe(dir, Key(), {"file:/tmp/tmdrv.log:one", "file:/tmp/tmdrv.log:two"}),
              "file 3\nfile 3\n");
    EXPECT_EQ(dir.Log(), "onetwo");
    struct stat st;
    stat(dir.Path("tmdrv.log").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "created with the caller's mode";

    Probe(dir, Key().Log(dir.Path("custom.log")), {"file:/tmp/tmdrv.log:three"});
    EXPECT_EQ(dir.Read("custom.log"), "three");
    EXPECT_EQ(dir.Log(), "onetwo");

    struct stat after;
    bool exists = stat("/tmp/tmdrv.log", &after) == 0;
    EXPECT_EQ(exists, existed) << "the real log is never created";
    if (existed && exists) {
        EXPECT_EQ(after.st_size, before.st_size);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    }
}

TEST(TmSimDevice, OtherPathsAndDescriptorsPassThrough) {
    SimDir dir;
    std::string other = dir.Path("other.txt");
    EXPECT_EQ(Probe(dir, Key(),
                    {"open", "file:" + other + ":data", "cat:" + other, "presence",
                     "open:/dev/null", "read:4", "write:zz", "close", "use:0", "presence",
                     "cat:/dev/touchm1", "open:/dev/touchm00"}),
              "open ok\nfile 4\ncat 4 data\npresence 0\nopen ok\nread 0 \nwrite 2\nclose 0\n"
              "presence 0\ncat -1 ENOENT\nopen -1 ENOENT\n");
    EXPECT_EQ(dir.Read("other.txt"), "data");
    // Only the device calls were traced.
    for (const TraceRecord &rec : TraceLines(dir))
        EXPECT_TRUE(rec.call == "open" || rec.call == "ioctl") << rec.Summary();
    EXPECT_EQ(TraceLines(dir).size(), 3u);
}

TEST(TmSimDevice, SignalHandlerRequestsDoNotDeadlock) {
    // The handler makes a device request while the main flow is inside
    // others; the stand-in's lock must never be re-taken by the same thread.
    SimDir dir;
    Spawned p;
    ASSERT_TRUE(
        p.Start(dir, Key().NoTrace(), {"devprobe", "open", "sigpresence", "wait", "hammer:20000"}));
    ASSERT_TRUE(p.WaitForLine("wait"));
    p.Write("go\n");
    // Signal all through the hammering, until it reports.
    std::string line;
    auto limit = std::chrono::steady_clock::now() + 15s;
    bool done = false;
    while (!done && std::chrono::steady_clock::now() < limit) {
        p.Signal(SIGUSR1);
        usleep(200);
        done = p.ReadLine(line, 0ms);
    }
    EXPECT_TRUE(done) << "the program hung";
    EXPECT_EQ(line, "hammer ok handler-failures 0");
    RunResult r = p.Wait(done ? 30s : 1s);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "open ok\nsigpresence 0\nwait\nhammer ok handler-failures 0\n");
    EXPECT_EQ(r.err, "");
}

TEST(TmSimDevice, SigtermHandlerMayCloseTheDevice) {
    SimDir dir;
    Spawned p;
    ASSERT_TRUE(p.Start(dir, Key(), {"devprobe", "open", "sigtermclose", "wait"}));
    ASSERT_TRUE(p.WaitForLine("wait"));
    ASSERT_TRUE(p.Signal(SIGTERM));
    RunResult r = p.Wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "open ok\nsigtermclose 0\nwait\nterm close 0\n");
    std::vector<TraceRecord> trace = TraceLines(dir);
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back().call, "close");
}
