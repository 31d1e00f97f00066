// SPDX-License-Identifier: GPL-2.0-or-later
// tmtool /pool watching the stand-in's line while keys come and go.

#include "E2eUtil.h"
#include "TouchMemProto.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace vorn_test;

namespace {

const char *kRomA = "010203040506070f";
const char *kRomB = "11223344556677ff";
// Valid CRC-8 in the last byte, so the line-level backend accepts them too.
// /pool prints the bytes in the driver's order (the reverse of getid).
const std::string kLineA = "rom id 01 02 03 04 05 06 07 0f";
const std::string kLineB = "rom id 11 22 33 44 55 66 77 ff";
const std::string kNoSlave = "no slave";

// What a watch prints before its first event: start-up, then the client is
// closed because polling opens the device by itself.
const std::string kPollStart = kStartup + kClosed;

// Number of device opens in the trace so far: one per polling pass.
size_t Passes(const SimDir &dir) {
    size_t n = 0;
    for (const TraceRecord &rec : TraceLines(dir))
        n += rec.call == "open" && rec.path == TM_DEVICE_PATH;
    return n;
}

bool WaitForPasses(const SimDir &dir, size_t passes, std::chrono::milliseconds timeout = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (Passes(dir) >= passes)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class Watch : public ::testing::Test {
  protected:
    void StartWith(const SimKey &key) { ASSERT_TRUE(tool.Start(dir, key, {"tmtool", "/pool"})); }
    void ExpectLine(const std::string &expected) {
        std::string line;
        ASSERT_TRUE(tool.ReadLine(line)) << "waiting for: " << expected;
        EXPECT_EQ(line, expected);
    }
    void CtlOk(std::vector<std::string> args) { ASSERT_EQ(Ctl(dir, std::move(args)).status, 0); }
    // Stops the watch with sig; everything printed must have arrived.
    RunResult Stop(int sig = SIGINT) {
        EXPECT_TRUE(tool.Signal(sig));
        return tool.Wait();
    }

    SimDir dir;
    Spawned tool;
};

TEST_F(Watch, KeyPresentAtStartIsReportedOnceInDriverOrder) {
    StartWith(Key().Rom(kRomA));
    ASSERT_TRUE(tool.WaitForLine(kClosed.substr(0, kClosed.size() - 1)));
    ExpectLine(kLineA);
    // Many passes later the key, still attached, has not been reported again.
    ASSERT_TRUE(WaitForPasses(dir, Passes(dir) + 200));
    const RunResult r = Stop();
    EXPECT_EQ(r.out, kPollStart + kLineA + "\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Watch, RemovalAttachAndSwapAreEachReportedOnce) {
    StartWith(Key().Rom(kRomA));
    ASSERT_TRUE(tool.WaitForLine(kLineA));
    CtlOk({"remove"});
    ExpectLine(kNoSlave);
    CtlOk({"attach", "--rom", kRomA});
    ExpectLine(kLineA); // the same key attached again is reported again
    CtlOk({"swap", "--rom", kRomB});
    ExpectLine(kLineB);
    ASSERT_TRUE(WaitForPasses(dir, Passes(dir) + 100));
    const RunResult r = Stop(SIGTERM);
    EXPECT_EQ(r.out, kPollStart + kLineA + "\n" + kNoSlave + "\n" + kLineA + "\n" + kLineB + "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST_F(Watch, NoKeyAtStartSaysNoSlaveOnceThenReportsTheKey) {
    StartWith(Key().Absent());
    ASSERT_TRUE(tool.WaitForLine(kNoSlave));
    ASSERT_TRUE(WaitForPasses(dir, Passes(dir) + 100));
    CtlOk({"attach", "--rom", kRomB});
    ExpectLine(kLineB);
    const RunResult r = Stop();
    EXPECT_EQ(r.out, kPollStart + kNoSlave + "\n" + kLineB + "\n");
}

TEST_F(Watch, FailingRomRequestCountsAsAbsentWithoutErrors) {
    StartWith(Key().Rom(kRomA).Fault("rom"));
    ASSERT_TRUE(tool.WaitForLine(kNoSlave));
    CtlOk({"clear-faults"});
    ExpectLine(kLineA);
    const RunResult r = Stop();
    EXPECT_EQ(r.out, kPollStart + kNoSlave + "\n" + kLineA + "\n");
}

TEST_F(Watch, DeviceVanishingAndComingBack) {
    StartWith(Key().Rom(kRomA));
    ASSERT_TRUE(tool.WaitForLine(kLineA));
    CtlOk({"vanish"});
    ExpectLine(kNoSlave);
    ASSERT_TRUE(WaitForPasses(dir, Passes(dir) + 50));
    CtlOk({"appear"});
    ExpectLine(kLineA);
    const RunResult r = Stop();
    EXPECT_EQ(r.out, kPollStart + kLineA + "\n" + kNoSlave + "\n" + kLineA + "\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Watch, ProbesCloseEveryDescriptor) {
    StartWith(Key().Rom(kRomA));
    ASSERT_TRUE(tool.WaitForLine(kLineA));
    ASSERT_TRUE(WaitForPasses(dir, 300));
    Stop();
    size_t opens = 0, closes = 0;
    for (const TraceRecord &rec : TraceLines(dir)) {
        opens += rec.call == "open" && rec.result >= 0;
        closes += rec.call == "close";
    }
    EXPECT_EQ(opens, closes);
}

// Started with standard input closed, the probe's open gets descriptor 0;
// a leak per pass would exhaust the 64 descriptors allowed here quickly and
// the key would then read as absent.
TEST(WatchWithStdinClosed, KeepsWorkingForThousandsOfPasses) {
    SimDir dir;
    std::vector<std::string> cmd{"/bin/sh", "-c", "ulimit -n 64; exec 0<&- \"$0\" \"$@\""};
    const auto sim = SimCommand(dir, Key().Rom(kRomA), {"tmtool", "/pool"});
    cmd.insert(cmd.end(), sim.begin(), sim.end());
    Spawned tool;
    ASSERT_TRUE(tool.StartCommand(cmd));
    ASSERT_TRUE(tool.WaitForLine(kLineA));
    ASSERT_TRUE(WaitForPasses(dir, 3000, 60s));
    ASSERT_EQ(Ctl(dir, {"remove"}).status, 0);
    std::string line;
    ASSERT_TRUE(tool.ReadLine(line));
    EXPECT_EQ(line, kNoSlave);
    ASSERT_TRUE(tool.Signal(SIGINT));
    const RunResult r = tool.Wait();
    EXPECT_EQ(r.out, kPollStart + kLineA + "\n" + kNoSlave + "\n");
    EXPECT_EQ(r.status, 0);
}

} // namespace
