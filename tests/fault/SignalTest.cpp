// SPDX-License-Identifier: GPL-2.0-or-later
// SIGINT and SIGTERM delivered while each command runs, one-shot and at the
// prompt, and bursts of 100.
//
// What must hold: at the prompt (a handler is installed) the tool prints
// "exiting" once after whatever the command had printed so far and ends
// with status 0; a one-shot run has no handler and ends by the signal's
// default action; a /pool run ends with status 0 and whole lines. Never a
// sanitizer report, never a hang, and the key's memory either as before or
// as after the one write of the command, nothing in between.

#include "FaultUtil.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <thread>

using namespace vorn_test;

namespace {

// System call numbers on x86-64 that a command blocks in.
constexpr int kSysOpenat = 257;

// Where the signal is sent.
enum class Hold {
    None,     // as soon as the command is sent
    Presence, // once the presence request reached the device: in the pause
    Blocked,  // once the tool blocks opening a FIFO nobody opens at the other end
};

struct SignalCase {
    const char *name;
    std::string command; // the line; "$D/" stands for the state directory
    bool keyAbsent;      // getid then spends 150 ms in its pauses
    Hold hold;
    std::string completed; // what the command prints when it runs to its end
    std::string written;   // the bytes at offset 0 when its write went through
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const SignalCase &c, std::ostream *os) {
    *os << c.name;
}

const std::vector<SignalCase> kCases = {
    {"ChkSl", "chksl", false, Hold::None, "checking slave presence...slave present\n", ""},
    {"GetIdInItsPauses", "getid", true, Hold::Presence, "getting rom id...no slave\n", ""},
    {"MemRdInThePreamble", "memrd 0 16", false, Hold::Presence,
     "reading 16 bytes from offset 0\nread from 0 16 bytes\n", ""},
    {"MemWrSInThePreamble", "memwrs abc 0", false, Hold::Presence,
     "writing str 'abc' to offset 0...write  to 0 3 bytes\nok\n", "abc"},
    {"MemRdFOpeningItsOutput", "memrdf $D/fifo 0 16", false, Hold::Blocked,
     "reading  from tm offset 0 size 16 =>$D/fifo....read from 0 16 bytes\nok\ntime diff T\n", ""},
    {"MemWrFOpeningItsInput", "memwrf $D/fifo 0 16", false, Hold::Blocked,
     "writing  to tm offset 0 size 16 <=$D/fifo...write  to 0 16 bytes\nok\ntime diff T\n",
     std::string(16, '\0')},
};

const std::vector<int> kSignals = {SIGINT, SIGTERM};

std::string SignalName(int sig) {
    return sig == SIGINT ? "Sigint" : "Sigterm";
}

bool WaitForPresenceRequest(const SimDir &dir, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (CountRequests(TraceLines(dir), 0x414C544AUL) > 0)
            return true;
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

bool WaitForSyscall(pid_t pid, int nr, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(path);
        int got = -1;
        if (in >> got && got == nr)
            return true;
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

void HoldThenSignal(const SimDir &dir, Spawned &tool, Hold hold, int sig) {
    if (hold == Hold::Presence) {
        ASSERT_TRUE(WaitForPresenceRequest(dir));
    } else if (hold == Hold::Blocked) {
        ASSERT_TRUE(WaitForSyscall(tool.Pid(), kSysOpenat));
    }
    tool.Signal(sig);
}

void Prepare(const SimDir &dir) {
    ASSERT_TRUE(dir.WriteMemory(Image()));
    ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0600), 0);
}

void ExpectMemoryWholeOrUntouched(const SimDir &dir, const SignalCase &c) {
    const std::string memory = dir.Memory();
    if (c.written.empty()) {
        EXPECT_EQ(memory, Image());
    } else {
        EXPECT_TRUE(memory == Image() || memory == ImageWith(c.written));
    }
}

bool IsPrefix(const std::string &prefix, const std::string &of) {
    return of.compare(0, prefix.size(), prefix) == 0;
}

using SignalParam = std::tuple<SignalCase, int>;

std::string ParamName(const ::testing::TestParamInfo<SignalParam> &p) {
    return std::string(std::get<0>(p.param).name) + "_" + SignalName(std::get<1>(p.param));
}

class SignalAtPrompt : public ::testing::TestWithParam<SignalParam> {};

TEST_P(SignalAtPrompt, SaysExitingAfterWhatWasPrintedAndEndsWithZero) {
    const auto &[c, sig] = GetParam();
    SimDir dir;
    Prepare(dir);
    SimKey key = Key();
    if (c.keyAbsent)
        key.Absent();
    Spawned tool;
    ASSERT_TRUE(tool.Start(dir, key, {"tmtool"}));
    ASSERT_TRUE(WaitForStdinRead(tool.Pid()));
    tool.Write(ReplaceAll(c.command, "$D/", dir.Dir() + "/") + "\n");
    HoldThenSignal(dir, tool, c.hold, sig);
    const RunResult r = tool.Wait();
    ExpectCleanExit(r);

    // start-up, prompt, part of the command's output (or all of it and the
    // next prompt), then the exit path.
    const std::string out = MaskTimes(r.out);
    const std::string head = kStartup + ">";
    const std::string tail = "exiting\n" + kClosed;
    ASSERT_TRUE(IsPrefix(head, out)) << out;
    ASSERT_GE(out.size(), head.size() + tail.size()) << out;
    ASSERT_EQ(out.substr(out.size() - tail.size()), tail) << out;
    const std::string middle = out.substr(head.size(), out.size() - head.size() - tail.size());
    EXPECT_TRUE(IsPrefix(middle, ReplaceAll(c.completed, "$D/", dir.Dir() + "/") + ">"))
        << "printed: " << middle;
    EXPECT_EQ(out.find("exiting"), out.size() - tail.size()) << "exiting printed twice";
    ExpectMemoryWholeOrUntouched(dir, c);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalAtPrompt,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::ValuesIn(kSignals)),
                         ParamName);

class SignalOneShot : public ::testing::TestWithParam<SignalParam> {};

TEST_P(SignalOneShot, EndsByTheSignalsDefaultAction) {
    const auto &[c, sig] = GetParam();
    SimDir dir;
    Prepare(dir);
    SimKey key = Key();
    if (c.keyAbsent)
        key.Absent();
    std::vector<std::string> argv{"tmtool"};
    std::string word;
    std::istringstream words(ReplaceAll(c.command, "$D/", dir.Dir() + "/"));
    while (words >> word)
        argv.push_back(word);
    Spawned tool;
    ASSERT_TRUE(tool.Start(dir, key, argv));
    HoldThenSignal(dir, tool, c.hold, sig);
    const RunResult r = tool.Wait();
    EXPECT_FALSE(r.timedOut);
    EXPECT_TRUE(NoSanitizerReport(r.err));
    const std::string completed =
        kStartup + ReplaceAll(c.completed, "$D/", dir.Dir() + "/") + kClosed;
    if (c.hold == Hold::None && r.signal == 0) {
        // The command was done before the signal came.
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(MaskTimes(r.out), completed);
    } else {
        EXPECT_EQ(r.signal, sig);
        // Standard output goes to a pipe and is buffered: what was not yet
        // written is lost with the process, and what was is a prefix.
        EXPECT_TRUE(IsPrefix(MaskTimes(r.out), completed)) << r.out;
    }
    ExpectMemoryWholeOrUntouched(dir, c);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalOneShot,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::ValuesIn(kSignals)),
                         ParamName);

// 100 signals, SIGINT and SIGTERM in turn, while getid waits in its pauses.
TEST(SignalBurst, DuringACommandAtThePromptExitsOnce) {
    SimDir dir;
    Spawned tool;
    ASSERT_TRUE(tool.Start(dir, Key().Absent(), {"tmtool"}));
    ASSERT_TRUE(WaitForStdinRead(tool.Pid()));
    tool.Write("getid\n");
    ASSERT_TRUE(WaitForPresenceRequest(dir));
    for (int i = 0; i < 100; ++i)
        tool.Signal(i % 2 ? SIGTERM : SIGINT);
    const RunResult r = tool.Wait();
    ExpectCleanExit(r);
    const std::string out = r.out;
    EXPECT_TRUE(out == kStartup + ">getting rom id...exiting\n" + kClosed ||
                out == kStartup + ">getting rom id...no slave\n>exiting\n" + kClosed)
        << out;
}

TEST(SignalBurst, DuringPollingEndsWithZeroAndWholeLines) {
    SimDir dir;
    Spawned tool;
    ASSERT_TRUE(tool.Start(dir, Key().Rom("010203040506070f"), {"tmtool", "/pool"}));
    ASSERT_TRUE(tool.WaitForLine("rom id"));
    for (int i = 0; i < 100; ++i)
        tool.Signal(i % 2 ? SIGTERM : SIGINT);
    const RunResult r = tool.Wait();
    ExpectCleanExit(r);
    EXPECT_EQ(r.out, kStartup + kClosed + "rom id 01 02 03 04 05 06 07 0f\n");
}

TEST(SignalBurst, DuringAOneShotCommandEndsByTheFirst) {
    SimDir dir;
    Spawned tool;
    ASSERT_TRUE(tool.Start(dir, Key().Absent(), {"tmtool", "getid"}));
    ASSERT_TRUE(WaitForPresenceRequest(dir));
    for (int i = 0; i < 100; ++i)
        tool.Signal(i % 2 ? SIGTERM : SIGINT);
    const RunResult r = tool.Wait();
    EXPECT_FALSE(r.timedOut);
    EXPECT_TRUE(NoSanitizerReport(r.err));
    EXPECT_EQ(r.signal, SIGINT);
}

// quit and a signal racing: the exit path runs once, whichever starts it,
// and a signal during it neither re-enters it nor cuts its output short.

// The signal comes while exit is writing out standard output: a FIFO that
// has room for the first prompt only, so that the final write blocks until
// the test reads.
TEST(QuitAndSignal, SignalWhileExitWritesItsOutputChangesNothing) {
    SimDir dir;
    const std::string out = dir.Path("out");
    ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
    const int fifo = open(out.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    ASSERT_GT(fcntl(fifo, F_SETPIPE_SZ, 4096), 0);
    const std::string firstPrompt = kStartup + ">";
    const std::string filler(4096 - firstPrompt.size(), 'f');
    ASSERT_EQ(write(fifo, filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));

    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >" + out};
    for (const std::string &w : SimCommand(dir, Key(), {"tmtool"}))
        argv.push_back(w);
    Spawned tool;
    ASSERT_TRUE(tool.StartCommand(argv));
    tool.Write("quit\n");
    const bool blocked = WaitForCall(tool.Pid(), kSysWrite, [](long fd) { return fd == 1; });
    if (blocked) {
        tool.Signal(SIGINT);
        tool.Signal(SIGTERM);
    }
    std::string got;
    std::atomic<bool> ended{false};
    std::thread drain([&] {
        char buf[4096];
        for (;;) {
            const ssize_t n = read(fifo, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
            else if (ended.load())
                return;
            else
                std::this_thread::sleep_for(2ms);
        }
    });
    const RunResult r = tool.Wait(15s);
    ended.store(true);
    drain.join();
    close(fifo);
    ASSERT_TRUE(blocked);
    ExpectCleanExit(r);
    ASSERT_EQ(got.substr(0, filler.size()), filler);
    EXPECT_EQ(got.substr(filler.size()), firstPrompt + "exiting\n" + kClosed);
}

// quit, then SIGINT 0 to 3 ms later, many times over (a fixed series of
// delays): never a hang, "exiting" once, status 0.
TEST(QuitAndSignal, RacedManyTimesExitOnceWithStatusZero) {
    constexpr int kRuns = 150;
    std::mt19937 delays(20261208);
    std::uniform_int_distribution<int> micros(0, 3000);
    for (int i = 0; i < kRuns; ++i) {
        SimDir dir;
        Spawned tool;
        ASSERT_TRUE(tool.Start(dir, Key().NoTrace(), {"tmtool"}));
        ASSERT_TRUE(WaitForStdinRead(tool.Pid()));
        tool.Write(i % 2 ? "exit\n" : "quit\n");
        std::this_thread::sleep_for(std::chrono::microseconds(micros(delays)));
        tool.Signal(i % 3 ? SIGINT : SIGTERM);
        const RunResult r = tool.Wait(5s);
        ExpectCleanExit(r);
        ASSERT_EQ(r.out, kStartup + ">exiting\n" + kClosed) << "run " << i;
    }
}

} // namespace
