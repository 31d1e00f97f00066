// SPDX-License-Identifier: GPL-2.0-or-later
// tmwatch under the driver stand-in: one line per event as it happens, JSON
// lines that parse, a clean end on SIGINT/SIGTERM, a failing one when the
// line goes or cannot be opened.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

using namespace vorn_test;

namespace {

constexpr const char *kDefaultRom = "04efbeadde0000cd";
constexpr const char *kSwapRom = "0102030405060708";
// How long an event may take from tmsim ctl to tmwatch's line.
constexpr auto kEventTimeout = 5s;
// Until tmwatch has made its event descriptor (its signals are blocked by
// then): events before that are not its to see.
void Settle(const SimDir &dir) {
    ASSERT_TRUE(WaitForIoctl(dir, kEventFdRequest, kWatcherStartTimeout)) << dir.Trace();
}

void CtlOk(const SimDir &dir, std::vector<std::string> args) {
    RunResult c = Ctl(dir, std::move(args));
    EXPECT_EQ(c.status, 0) << c.err;
}

} // namespace

TEST(Tmwatch, PrintsAttachRemoveAndSwapAsTheyHappen) {
    SimDir dir;
    Spawned w;
    ASSERT_TRUE(w.Start(dir, Key(), {"tmwatch"}));
    Settle(dir);
    std::string line;
    CtlOk(dir, {"remove"});
    ASSERT_TRUE(w.ReadLine(line, kEventTimeout));
    EXPECT_EQ(line, "removed");
    CtlOk(dir, {"attach"});
    ASSERT_TRUE(w.ReadLine(line, kEventTimeout));
    EXPECT_EQ(line, std::string("attached ") + kDefaultRom);
    CtlOk(dir, {"swap", "--rom", kSwapRom});
    ASSERT_TRUE(w.ReadLine(line, kEventTimeout));
    EXPECT_EQ(line, "removed");
    ASSERT_TRUE(w.ReadLine(line, kEventTimeout));
    EXPECT_EQ(line, std::string("attached ") + kSwapRom);
    ASSERT_TRUE(w.Signal(SIGTERM));
    RunResult r = w.Wait();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, std::string("removed\nattached ") + kDefaultRom + "\nremoved\nattached " +
                         kSwapRom + "\n");
}

TEST(Tmwatch, JsonLinesParse) {
    SimDir dir;
    Spawned w;
    ASSERT_TRUE(w.Start(dir, Key(), {"tmwatch", "--json", "/dev/touchm0"}));
    Settle(dir);
    CtlOk(dir, {"swap", "--rom", kSwapRom});
    std::string removed, attached;
    ASSERT_TRUE(w.ReadLine(removed, kEventTimeout));
    ASSERT_TRUE(w.ReadLine(attached, kEventTimeout));
    ASSERT_TRUE(w.Signal(SIGINT));
    RunResult r = w.Wait();
    EXPECT_EQ(r.status, 0) << r.err;

    const std::regex shape(R"re(\{"event":"(attached|removed)","rom":"([0-9a-f]{16})",)re"
                           R"re("time":[0-9]+\.[0-9]{6},"seq":([0-9]+),"lost":0\})re");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(removed, m, shape)) << removed;
    EXPECT_EQ(m[1], "removed");
    EXPECT_EQ(m[2], kDefaultRom);
    ASSERT_TRUE(std::regex_match(attached, m, shape)) << attached;
    EXPECT_EQ(m[1], "attached");
    EXPECT_EQ(m[2], kSwapRom);

    // The sample in --help names the fields a line has, all of them in order.
    RunResult help = RunCommand({"tmwatch", "--help"});
    std::smatch sample;
    ASSERT_TRUE(std::regex_search(help.out, sample, std::regex(R"re(\{"event":[^\n]*\})re")))
        << help.out;
    const std::regex key(R"re("([a-z]+)":)re");
    auto keys = [&key](const std::string &text) {
        std::string names;
        for (std::sregex_iterator it(text.begin(), text.end(), key), end; it != end; ++it)
            names += (*it)[1].str() + " ";
        return names;
    };
    EXPECT_EQ(keys(sample.str()), keys(removed));
    EXPECT_EQ(keys(removed), "event rom time seq lost ");

    // A JSON parser takes both lines; the time is the wall clock's, near now.
    RunResult parsed = RunCommand({"python3", "-c",
                                   "import json, sys, time\n"
                                   "for line in sys.stdin:\n"
                                   "    e = json.loads(line)\n"
                                   "    assert abs(e['time'] - time.time()) < 60, e\n"
                                   "    print(e['event'], e['rom'], e['seq'] > 0)\n"},
                                  removed + "\n" + attached + "\n");
    EXPECT_EQ(parsed.status, 0) << parsed.err;
    EXPECT_EQ(parsed.out,
              std::string("removed ") + kDefaultRom + " True\nattached " + kSwapRom + " True\n");
}

TEST(Tmwatch, EndsWithZeroOnSigintAndSigterm) {
    for (int sig : {SIGINT, SIGTERM}) {
        SimDir dir;
        Spawned w;
        ASSERT_TRUE(w.Start(dir, Key(), {"tmwatch"}));
        Settle(dir);
        ASSERT_TRUE(w.Signal(sig));
        RunResult r = w.Wait();
        EXPECT_EQ(r.status, 0) << "signal " << sig << ": " << r.err;
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

TEST(Tmwatch, FailsWhenTheLineGoes) {
    SimDir dir;
    Spawned w;
    ASSERT_TRUE(w.Start(dir, Key(), {"tmwatch"}));
    Settle(dir);
    CtlOk(dir, {"vanish"});
    RunResult r = w.Wait();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tmwatch: /dev/touchm0: the line is gone [No such device]\n");
}

TEST(Tmwatch, FailsWhenTheDeviceCannotBeOpened) {
    SimDir dir;
    RunResult r = RunSim(dir, Key().NoDevice(), {"tmwatch"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tmwatch: cannot open /dev/touchm0 [No such file or directory]\n");
}

TEST(Tmwatch, UsageAndHelp) {
    RunResult help = RunCommand({"tmwatch", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: tmwatch [--json] [DEVICE]\n", 0), 0u) << help.out;
    RunResult two = RunCommand({"tmwatch", "/dev/touchm0", "/dev/touchm1"});
    EXPECT_EQ(two.status, 2);
    EXPECT_EQ(two.err, "tmwatch: one device at most\nTry 'tmwatch --help'.\n");
    RunResult bad = RunCommand({"tmwatch", "--bogus"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
}
