// SPDX-License-Identifier: GPL-2.0-or-later
// Live changes through "tmsim ctl", seen by a running program at its next
// request: keys attached, removed and swapped, the device vanishing and
// coming back, faults switched on and off, a broken state file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Probe.h"
#include "TestSupport.h"

using namespace vorn_test;

namespace {

// Runs devprobe with a script whose "wait" steps are released one by one;
// before each release the matching ctl command runs. Returns devprobe's
// whole output.
std::string Scripted(const SimDir &dir, const SimKey &key, const std::vector<std::string> &steps,
                     const std::vector<std::vector<std::string>> &ctls) {
    std::vector<std::string> argv = {"devprobe"};
    argv.insert(argv.end(), steps.begin(), steps.end());
    Spawned p;
    EXPECT_TRUE(p.Start(dir, key, argv));
    for (const std::vector<std::string> &ctl : ctls) {
        EXPECT_TRUE(p.WaitForLine("wait"));
        RunResult c = Ctl(dir, ctl);
        EXPECT_EQ(c.status, 0) << c.err;
        EXPECT_EQ(c.err, "");
        p.Write("go\n");
    }
    RunResult r = p.Wait();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
}

} // namespace

TEST(TmSimHotPlug, RemoveAttachAndSwapAreSeenAtTheNextRequest) {
    SimDir dir;
    std::string out =
        Scripted(dir, Key(),
                 {"open", "presence", "rom", "wait", "presence", "rom", "wait", "presence", "rom",
                  "wait", "presence", "rom", "wait", "presence", "rom"},
                 {{"remove"},
                  {"attach"},
                  {"swap", "--rom", "0102030405060708"},
                  {"attach", "--family", "02", "--serial", "00000001b81c"}});
    EXPECT_EQ(out, "open ok\npresence 0\nrom 8 04efbeadde0000cd\nwait\n"
                   "presence -1 ENXIO\nrom -1 ENXIO\nrom-buffer aaaaaaaaaaaaaaaa\nwait\n"
                   "presence 0\nrom 8 04efbeadde0000cd\nwait\n"
                   "presence 0\nrom 8 0102030405060708\nwait\n"
                   "presence 0\nrom 8 021cb801000000a2\n");
}

// The memory follows the ROM the state holds at each request: a key swapped
// for an ID-only one refuses transfers, and the next memory key has its
// family's memory.
TEST(TmSimHotPlug, SwappedKeysBringTheirFamilysMemory) {
    SimDir dir;
    std::string out = Scripted(dir, Key(),
                               {"open", "seek:0:2", "read:2", "wait", "presence", "seek:0",
                                "read:2", "seek:0:2", "wait", "seek:0:2", "seek:0", "read:2"},
                               {{"swap", "--rom", "0102030405060708"},
                                {"swap", "--family", "08", "--serial", "000000000001"}});
    EXPECT_EQ(out, "open ok\nseek 512\nread 0 \nwait\npresence 0\nseek 0\nread -1 EOPNOTSUPP\n"
                   "seek 0\nwait\nseek 128\nseek 0\nread 2 746f\n");
}

TEST(TmSimHotPlug, SwapHasNoAbsentPhase) {
    SimDir dir;
    Scripted(dir, Key(), {"open", "presence", "wait", "presence", "rom"},
             {{"swap", "--rom", "1111111111111111"}});
    std::vector<std::string> summary = TraceSummaries(TraceLines(dir));
    EXPECT_EQ(summary, (std::vector<std::string>{
                           "open path=/dev/touchm0 flags=0x101802 result=fd errno=0",
                           "ioctl req=0x414c544a result=0 errno=0",
                           "ioctl req=0x414c544a result=0 errno=0",
                           "ioctl req=0x414c544b result=0 errno=0",
                       }));
}

TEST(TmSimHotPlug, VanishAndAppear) {
    SimDir dir;
    // Descriptors from before a vanish stay dead after the device is back,
    // as a real unplugged device's do; a new open works again.
    std::string out = Scripted(dir, Key(),
                               {"open", "presence", "wait", "presence", "seek:0", "open", "wait",
                                "use:0", "presence", "close", "open", "presence", "close"},
                               {{"vanish"}, {"appear"}});
    EXPECT_EQ(out, "open ok\npresence 0\nwait\npresence -1 ENODEV\nseek -1 ENODEV\n"
                   "open -1 ENOENT\nwait\npresence -1 ENODEV\nclose 0\nopen ok\npresence 0\n"
                   "close 0\n");
}

TEST(TmSimHotPlug, FaultsSwitchedWhileRunning) {
    SimDir dir;
    std::string out = Scripted(dir, Key(),
                               {"open", "read:2", "wait", "seek:0", "read:2", "wait", "seek:0",
                                "read:8", "wait", "seek:0", "read:2"},
                               {{"fault", "read"}, {"clear-faults"}, {"fault", "short-read=1"}});
    EXPECT_EQ(out, "open ok\nread 2 746f\nwait\nseek 0\nread -1 EIO\nwait\nseek 0\n"
                   "read 8 746f7563682d6d65\nwait\nseek 0\nread 1 74\n");
}

TEST(TmSimHotPlug, VanishAfterCountsFromWhenItWasSet) {
    SimDir dir;
    std::string out = Scripted(dir, Key(),
                               {"open", "presence", "presence", "wait", "presence", "presence",
                                "wait", "open", "presence"},
                               {{"fault", "vanish-after=1"}, {"appear"}});
    // "appear" brings the device back and starts the count again.
    EXPECT_EQ(out, "open ok\npresence 0\npresence 0\nwait\npresence 0\npresence -1 ENODEV\n"
                   "wait\nopen ok\npresence -1 ENODEV\n");
}

TEST(TmSimHotPlug, BrokenStateFailsRequestsAndSaysSoOnce) {
    SimDir dir;
    Spawned p;
    ASSERT_TRUE(p.Start(dir, Key(), {"devprobe", "open", "wait", "presence", "read:1", "open"}));
    ASSERT_TRUE(p.WaitForLine("wait"));
    ASSERT_TRUE(dir.Write("config", "key=present\nwobble=1\n"));
    p.Write("go\n");
    RunResult r = p.Wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "open ok\nwait\npresence -1 EIO\nread -1 EIO\nopen -1 EIO\n");
    EXPECT_EQ(r.err,
              "tmsim: bad state " + dir.Path("config") + ": line 2: unknown setting 'wobble'\n");
}

TEST(TmSimHotPlug, CtlShowPrintsTheState) {
    SimDir dir;
    Probe(dir, Key().Absent().Fault("rom"), {"open"});
    RunResult r = Ctl(dir, {"show"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\nkey=absent\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nfault=rom\n"), std::string::npos) << r.out;
    EXPECT_EQ(Ctl(dir, {"attach"}).status, 0);
    EXPECT_NE(Ctl(dir, {"show"}).out.find("\nkey=present\n"), std::string::npos);
    // Options abbreviated, before or after the subcommand, also where
    // POSIXLY_CORRECT asks option parsers to stop at the first operand.
    setenv("POSIXLY_CORRECT", "1", 1);
    r = Ctl(dir, {"--fam", "02", "swap", "--ser=00000001b81c"});
    unsetenv("POSIXLY_CORRECT");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(Ctl(dir, {"show"}).out.find("\nrom=021cb801000000a2\n"), std::string::npos);
}

TEST(TmSimHotPlug, CtlErrors) {
    SimDir dir;
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } before[] = {
        {{"remove"},
         "tmsim ctl: no usable state in " + dir.Dir() + ": cannot open " + dir.Path("config") +
             " [No such file or directory]\n"},
    };
    for (const Case &c : before) {
        RunResult r = Ctl(dir, c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.message);
    }
    Probe(dir, Key(), {"open"});
    Case after[] = {
        {{},
         "tmsim ctl: no subcommand (attach, remove, swap, vanish, appear, fault, "
         "clear-faults, show)\n"},
        {{"explode"}, "tmsim ctl: unknown subcommand 'explode'\n"},
        {{"swap"}, "tmsim ctl: swap needs the new key: --rom HEX or --family HH --serial HEX12\n"},
        {{"attach", "--rom", "12"}, "tmsim ctl: bad value for --rom: '12'"},
        {{"attach", "--rom", "0102030405060708", "--serial", "000000000001"},
         "tmsim ctl: --rom cannot be combined with --family or --serial\n"},
        {{"remove", "now"}, "tmsim ctl: unexpected argument 'now'\n"},
        {{"remove", "--rom", "0102030405060708"}, "tmsim ctl: unexpected argument '--rom'\n"},
        {{"show", "--bogus"}, "tmsim ctl: unrecognized option '--bogus'\n"},
        {{"attach", "--serial", "12"},
         "tmsim ctl: bad value for --serial: '12' (expected 12 hex digits)\n"},
        {{"fault"}, "tmsim ctl: fault needs NAME[=ARG] (presence, rom,"},
        {{"fault", "melt"}, "tmsim ctl: unknown fault 'melt'"},
    };
    std::string config = dir.Read("config");
    for (const Case &c : after) {
        RunResult r = Ctl(dir, c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_EQ(r.err.substr(0, c.message.size()), c.message);
    }
    EXPECT_EQ(dir.Read("config"), config) << "a refused ctl leaves the state alone";
}
