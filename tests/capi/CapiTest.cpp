// SPDX-License-Identifier: GPL-2.0-or-later
// libvorn's C API under the driver stand-in, through capiprobe (a C99
// caller): requests and key memory with and without a key, the errno of
// each failure, the ROM's text form, and key events driven by tmsim ctl.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

using namespace vorn_test;

namespace {

// The default key's ROM and the start of its memory ("touch-memory key").
constexpr const char *kDefaultRom = "04efbeadde0000cd";
constexpr const char *kSwapRom = "0102030405060708";
constexpr mode_t kFifoMode = 0600;
// A block device most systems have.
constexpr const char *kBlockDevice = "/dev/loop0";

// capiprobe's whole output for a script; status 0, nothing on stderr.
std::string Probe(const SimDir &dir, const SimKey &key, std::vector<std::string> steps) {
    steps.insert(steps.begin(), "capiprobe");
    RunResult r = vorn_test::Run(dir, key, steps);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.timedOut);
    return r.out;
}

// Runs capiprobe with a script whose "pause" steps are released one by one;
// before each release the matching ctl command runs.
std::string Scripted(const SimDir &dir, const SimKey &key, std::vector<std::string> steps,
                     const std::vector<std::vector<std::string>> &ctls) {
    steps.insert(steps.begin(), "capiprobe");
    Spawned p;
    EXPECT_TRUE(p.Start(dir, key, steps));
    for (const std::vector<std::string> &ctl : ctls) {
        EXPECT_TRUE(p.WaitForLine("pause"));
        RunResult c = Ctl(dir, ctl);
        EXPECT_EQ(c.status, 0) << c.err;
        p.Write("go\n");
    }
    RunResult r = p.Wait(20s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
}

void CtlOk(const SimDir &dir, std::vector<std::string> args) {
    RunResult c = Ctl(dir, std::move(args));
    EXPECT_EQ(c.status, 0) << c.err;
}

} // namespace

TEST(CapiRequests, KeyPresentAnswersEveryRequest) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key(), {"open", "presence", "rom", "size", "read:0:16"}),
              "open ok\npresence 1\nrom 0 04efbeadde0000cd\nsize 512\n"
              "read 16 746f7563682d6d656d6f7279206b6579\n");
}

TEST(CapiRequests, NoKeyGivesZeroPresenceAndEnxio) {
    SimDir dir;
    // A failed ROM request leaves the caller's buffer as it was.
    EXPECT_EQ(
        Probe(dir, Key().Absent(), {"open", "presence", "rom", "size", "read:0:4", "write:0:41"}),
        "open ok\npresence 0\nrom -6 ENXIO\nrom-buffer aaaaaaaaaaaaaaaa\nsize -6 ENXIO\n"
        "read -6 ENXIO\nwrite -6 ENXIO\n");
}

TEST(CapiRequests, SizeFollowsTheKeyFamilyAndIdOnlyKeyHasNone) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key().Family("08").Serial("000000000001"), {"open", "size"}),
              "open ok\nsize 128\n");
    SimDir idOnly;
    EXPECT_EQ(Probe(idOnly, Key().Rom(kSwapRom), {"open", "size", "read:0:4", "write:0:41"}),
              "open ok\nsize 0\nread -95 EOPNOTSUPP\nwrite -95 EOPNOTSUPP\n");
}

TEST(CapiRequests, TransfersStopShortOnlyAtTheEndOfMemory) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory("", 512));
    std::string out = Probe(dir, Key(),
                            {"open", "write:508:0102030405060708", "read:504:16", "read:512:4",
                             "read:4294967295:4", "write:512:aa", "write:600:aa", "read:0:0",
                             "write:0:", "read:0:1000"});
    EXPECT_EQ(out.substr(0, out.rfind("read 512 ")),
              "open ok\nwrite 4\nread 8 0000000001020304\nread 0 \nread 0 \n"
              "write -28 ENOSPC\nwrite -28 ENOSPC\nread 0 \nwrite 0\n");
    // The whole memory in one call: 512 bytes, the last four written above.
    EXPECT_NE(out.find("read 512 "), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 9), "01020304\n");
    EXPECT_EQ(dir.Memory().substr(508), std::string("\x01\x02\x03\x04", 4));
}

TEST(CapiRequests, WrittenBytesReadBackAndReachTheKey) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key(), {"open", "write:100:48656c6c6f00ff", "read:100:7"}),
              "open ok\nwrite 7\nread 7 48656c6c6f00ff\n");
    EXPECT_EQ(dir.Memory().substr(100, 7), std::string("Hello\0\xff", 7));
}

TEST(CapiRequests, LineFaultsGiveEio) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key().Fault("presence").Fault("rom").Fault("read").Fault("write"),
                    {"open", "presence", "rom", "size", "read:0:4", "write:0:41"}),
              "open ok\npresence -5 EIO\nrom -5 EIO\nrom-buffer aaaaaaaaaaaaaaaa\nsize -5 EIO\n"
              "read -5 EIO\nwrite -5 EIO\n");
}

TEST(CapiRequests, OpenFailuresSetErrno) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key().NoDevice(), {"open"}), "open -2 ENOENT\n");
    SimDir other;
    EXPECT_EQ(Probe(other, Key(), {"open:/nonexistent/touchm9"}), "open -2 ENOENT\n");
}

// Only a touch-memory line opens: every other kind of file is refused with
// ENOTTY before anything is written to it, and a missing path is not
// created. (A write on the refused line then finds no line at all.)
TEST(CapiRequests, OpenRefusesAnythingButATouchMemoryLine) {
    SimDir dir;
    const std::string text = "key = 04efbeadde0000cd\n";
    ASSERT_TRUE(dir.Write("config.txt", text));
    const std::string fifo = dir.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), kFifoMode), 0);
    const std::string sock = dir.Path("sock");
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(sock.size(), sizeof(addr.sun_path));
    std::memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
    ASSERT_EQ(bind(s, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(s, 1), 0);
    std::vector<std::string> steps = {"open:" + dir.Path("config.txt"),
                                      "write:0:58585858",
                                      "open:" + fifo,
                                      "open:" + sock,
                                      "open:" + dir.Dir(),
                                      "open:/dev/null",
                                      "open:/dev/zero",
                                      "open:" + dir.Path("missing"),
                                      "open"};
    std::string expected = "open -25 ENOTTY\nwrite -22 EINVAL\nopen -25 ENOTTY\n"
                           "open -25 ENOTTY\nopen -25 ENOTTY\nopen -25 ENOTTY\n"
                           "open -25 ENOTTY\nopen -2 ENOENT\nopen ok\n";
    // A block device, where the system has one this test may open.
    struct stat st;
    if (stat(kBlockDevice, &st) == 0 && S_ISBLK(st.st_mode) &&
        access(kBlockDevice, R_OK | W_OK) == 0) {
        steps.insert(steps.end() - 1, std::string("open:") + kBlockDevice);
        expected.insert(expected.size() - std::string("open ok\n").size(), "open -25 ENOTTY\n");
    }
    EXPECT_EQ(Probe(dir, Key(), steps), expected);
    close(s);
    EXPECT_EQ(dir.Read("config.txt"), text);
    EXPECT_FALSE(dir.Exists("missing"));
}

TEST(CapiRequests, KeysComingAndGoingAreSeenAtTheNextRequest) {
    SimDir dir;
    EXPECT_EQ(
        Scripted(dir, Key(),
                 {"open", "presence", "pause", "presence", "size", "pause", "presence", "rom",
                  "pause", "rom", "size"},
                 {{"remove"}, {"attach"}, {"swap", "--family", "08", "--serial", "000000000001"}}),
        "open ok\npresence 1\npause\npresence 0\nsize -6 ENXIO\npause\npresence 1\n"
        "rom 0 04efbeadde0000cd\npause\nrom 0 08010000000000c6\nsize 128\n");
}

TEST(CapiRequests, VanishedLineGivesEnodevUntilReopened) {
    SimDir dir;
    EXPECT_EQ(Scripted(dir, Key(),
                       {"open", "presence", "pause", "presence", "rom", "size", "read:0:4",
                        "write:0:41", "close", "open", "pause", "open", "presence"},
                       {{"vanish"}, {"appear"}}),
              "open ok\npresence 1\npause\npresence -19 ENODEV\nrom -19 ENODEV\n"
              "rom-buffer aaaaaaaaaaaaaaaa\nsize -19 ENODEV\nread -19 ENODEV\n"
              "write -19 ENODEV\nclose\nopen -2 ENOENT\npause\nopen ok\npresence 1\n");
}

// The library never prints (capiprobe's output is exact above) and never
// logs: no client log appears. It opens the device read-write,
// close-on-exec, without a controlling terminal and without waiting, asks
// its key state (which does not probe) to know it is a line, moves key
// memory with pread/pwrite, and does not make an event descriptor (which
// would start the driver's watch) before one is asked for.
TEST(CapiRequests, NoLogFileNoWatchAndPositionlessTransfers) {
    SimDir dir;
    Probe(dir, Key(), {"open", "presence", "rom", "size", "read:8:4", "write:8:41", "close"});
    EXPECT_FALSE(dir.Exists("tmdrv.log"));
    std::vector<std::string> summary = TraceSummaries(TraceLines(dir));
    EXPECT_EQ(summary, (std::vector<std::string>{
                           "open path=/dev/touchm0 flags=0x80902 result=fd errno=0",
                           "ioctl req=0x8020d702 result=0 errno=0",
                           "ioctl req=0x414c544a result=0 errno=0",
                           "ioctl req=0x414c544b result=0 errno=0",
                           "ioctl req=0x414c544b result=0 errno=0",
                           "lseek off=0 whence=2 result=512 errno=0",
                           "pread off=8 size=4 result=4 errno=0",
                           "pwrite off=8 size=1 result=1 errno=0",
                           "close result=0 errno=0",
                       }));
    for (const TraceRecord &rec : TraceLines(dir))
        EXPECT_FALSE(rec.call == "ioctl" && rec.req == kEventFdRequest) << rec.Summary();
}

TEST(CapiRomText, SixteenLowerCaseDigitsFamilyFirst) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key(),
                    {"text:04EFBEADDE0000CD", "text:0102030405060708", "text:04efbeadde0000c",
                     "text:04efbeadde0000cd0", "text:04efbeadde0000cg",
                     "text:", "text: 4efbeadde0000cd", "textlen:16", "textlen:0", "textlen:17"}),
              "text 16\ntext 04efbeadde0000cd\ntext 16\ntext 0102030405060708\n"
              "text -22 EINVAL\ntext -22 EINVAL\ntext -22 EINVAL\ntext -22 EINVAL\n"
              "text -22 EINVAL\ntextlen -28 ENOSPC\ntextlen untouched\n"
              "textlen -28 ENOSPC\ntextlen untouched\ntextlen 16\n"
              "textlen 04efbeadde0000cd\n");
}

// The text may be written over the ROM it is made from: the ROM at the
// start of the text buffer, inside it, and at its last digits.
TEST(CapiRomText, TextOverItsOwnRom) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key(), {"inplace:0", "inplace:3", "inplace:9", "inplace:16"}),
              "inplace 16\ninplace 04efbeadde0000cd\ninplace 16\ninplace 04efbeadde0000cd\n"
              "inplace 16\ninplace 04efbeadde0000cd\ninplace 16\ninplace 04efbeadde0000cd\n");
}

// --- key events ---------------------------------------------------------

TEST(CapiEvents, NothingHappensWithinTheTimeout) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key(), {"open", "fd", "fd", "wait:0", "wait:100", "readev", "poll:50"}),
              "open ok\nfd ok\nfd same\nwait timeout\nwait timeout\nreadev -11 EAGAIN\n"
              "poll idle\n");
}

// A signal handler that ran ends the wait with EINTR rather than resuming
// it, so that the caller can look at what the handler did.
TEST(CapiEvents, SignalDuringTheWaitGivesEintr) {
    SimDir dir;
    RunResult r =
        vorn_test::Run(dir, Key(), {"capiprobe", "open", "alarm:100", "wait:20000"}, "", 10s);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "open ok\nalarm set\nwait -4 EINTR\n");
}

TEST(CapiEvents, RemoveAttachAndSwapInOrder) {
    SimDir dir;
    std::string out = Scripted(dir, Key(),
                               {"open", "fd", "pause", "wait:5000", "pause", "wait:5000", "pause",
                                "wait:5000", "wait:5000", "wait:100"},
                               {{"remove"}, {"attach"}, {"swap", "--rom", kSwapRom}});
    EXPECT_EQ(out, std::string("open ok\nfd ok\npause\nwait removed ") + kDefaultRom +
                       " seq=1 lost=0\npause\nwait attached " + kDefaultRom +
                       " seq=2 lost=0\npause\nwait removed " + kDefaultRom +
                       " seq=3 lost=0\nwait attached " + kSwapRom +
                       " seq=4 lost=0\nwait timeout\n");
}

// The caller's own poll: the event descriptor is readable exactly while an
// event waits, and vorn_read_event takes one without waiting.
TEST(CapiEvents, OwnPollSeesReadableUntilEventsAreRead) {
    SimDir dir;
    std::string out = Scripted(dir, Key(),
                               {"open", "poll:0", "pause", "sleep:300", "poll:5000", "poll:0",
                                "readev", "readev", "poll:0", "readev"},
                               {{"swap", "--rom", kSwapRom}});
    EXPECT_EQ(out, std::string("open ok\npoll idle\npause\npoll readable\npoll readable\n"
                               "readev removed ") +
                       kDefaultRom + " seq=1 lost=0\nreadev attached " + kSwapRom +
                       " seq=2 lost=0\npoll idle\nreadev -11 EAGAIN\n");
}

TEST(CapiEvents, VanishedLineEndsTheWaitWithEnodev) {
    SimDir dir;
    EXPECT_EQ(Scripted(dir, Key(), {"open", "fd", "pause", "wait:5000", "readev", "poll:1000"},
                       {{"vanish"}}),
              "open ok\nfd ok\npause\nwait -19 ENODEV\nreadev -19 ENODEV\npoll hangup\n");
}

// A reader that falls more than the driver's queue (64 events) behind loses
// the oldest, and the first record it reads says how many.
TEST(CapiEvents, SlowReaderLearnsHowManyItLost) {
    constexpr int kSwaps = 50;
    constexpr size_t kQueue = 64;
    SimDir dir;
    Spawned p;
    ASSERT_TRUE(p.Start(dir, Key(), {"capiprobe", "open", "fd", "pause", "drain"}));
    ASSERT_TRUE(p.WaitForLine("pause"));
    // Every swap changes the ROM, so each state the watch sees is a removal
    // and an attachment, whether or not it saw the one before.
    for (int i = 0; i < kSwaps; i++) {
        CtlOk(dir, {"swap", "--rom", i % 2 ? kDefaultRom : kSwapRom});
        std::this_thread::sleep_for(20ms);
    }
    std::this_thread::sleep_for(300ms);
    p.Write("go\n");
    RunResult r = p.Wait();
    ASSERT_EQ(r.status, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        r.out, m, std::regex("drain ([0-9]+) lost=([0-9]+) first=([0-9]+) last=([0-9]+) (.*)\n")))
        << r.out;
    const unsigned long count = std::stoul(m[1]), lost = std::stoul(m[2]), first = std::stoul(m[3]),
                        last = std::stoul(m[4]);
    EXPECT_EQ(count, kQueue);
    EXPECT_GT(last, kQueue) << "too few changes were seen to fill the queue";
    EXPECT_EQ(lost, first - 1);
    EXPECT_EQ(last - first + 1, kQueue);
    EXPECT_EQ(m[5], "gapless end=EAGAIN");
}
