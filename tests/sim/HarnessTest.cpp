// SPDX-License-Identifier: GPL-2.0-or-later
// The end-to-end harness itself: exact capture, stdin feeding without
// deadlock, timeouts that end the whole process group, the pty mode.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <string>
#include <unistd.h>

#include "TestSupport.h"

using namespace vorn_test;

namespace {

// The process is gone, or a zombie nobody has reaped yet.
bool Ended(pid_t pid) {
    for (int i = 0; i < 200; i++) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        if (!std::getline(stat, text))
            return true;
        size_t close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z')
            return true;
        usleep(10000);
    }
    return false;
}

} // namespace

TEST(Harness, CapturesOutputErrorAndStatusExactly) {
    RunResult r = RunCommand({"/bin/sh", "-c", "printf 'a\\nb'; printf 'e\\r\\n' >&2; exit 3"});
    EXPECT_EQ(r.out, "a\nb");
    EXPECT_EQ(r.err, "e\r\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.signal, 0);
    EXPECT_FALSE(r.timedOut);
}

TEST(Harness, LargeInputAndOutputDoNotDeadlock) {
    // The child writes a megabyte before it reads its megabyte of input.
    std::string input(1 << 20, 'x');
    RunResult r = RunCommand({"/bin/sh", "-c", "head -c 1048576 /dev/zero; wc -c >&2"}, input, 30s);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.size(), 1u << 20);
    EXPECT_EQ(r.err, "1048576\n");
}

TEST(Harness, TimeoutKillsTheWholeGroup) {
    RunResult r = RunCommand({"/bin/sh", "-c", "sleep 30 & echo $!; sleep 30"}, "", 300ms);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.signal, SIGKILL);
    ASSERT_FALSE(r.out.empty());
    EXPECT_TRUE(Ended(static_cast<pid_t>(std::stol(r.out))));
}

TEST(Harness, OutputHeldOpenByAGrandchildEndsSoonAfterTheExit) {
    auto start = std::chrono::steady_clock::now();
    RunResult r = RunCommand({"/bin/sh", "-c", "sleep 30 & echo $!"}, "", 10s);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0);
    ASSERT_FALSE(r.out.empty());
    EXPECT_TRUE(Ended(static_cast<pid_t>(std::stol(r.out))));
}

TEST(Harness, SpawnedReadsLinesWritesInputAndSignals) {
    Spawned p;
    ASSERT_TRUE(p.StartCommand({"/bin/sh", "-c",
                                "echo ready; read w; echo got $w; trap 'echo term; exit 5' TERM; "
                                "echo trapped; while :; do sleep 0.05; done"}));
    std::string line;
    ASSERT_TRUE(p.ReadLine(line));
    EXPECT_EQ(line, "ready");
    EXPECT_FALSE(p.ReadLine(line, 100ms)) << "nothing more until it has input";
    p.Write("word\n");
    ASSERT_TRUE(p.WaitForLine("trapped", 5s, &line));
    EXPECT_TRUE(p.Signal(SIGTERM));
    RunResult r = p.Wait();
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, "ready\ngot word\ntrapped\nterm\n");
}

TEST(Harness, PtyStdoutIsATerminalWithoutLineEndTranslation) {
    Spawned p;
    SpawnOptions tty;
    tty.stdoutTty = true;
    ASSERT_TRUE(p.StartCommand({"/bin/sh", "-c",
                                "test -t 1 && echo tty; test -t 0 || echo "
                                "pipe-in; echo err >&2"},
                               tty));
    std::string line;
    ASSERT_TRUE(p.ReadLine(line));
    EXPECT_EQ(line, "tty");
    RunResult r = p.Wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "tty\npipe-in\n");
    EXPECT_EQ(r.err, "err\n");
}

TEST(Harness, TraceLineParsing) {
    TraceRecord rec;
    ASSERT_TRUE(ParseTraceLine("t=12 call=lseek off=-4 whence=2 result=60 errno=0", rec));
    EXPECT_EQ(rec.t, 12u);
    EXPECT_EQ(rec.call, "lseek");
    EXPECT_EQ(rec.off, -4);
    EXPECT_EQ(rec.whence, 2);
    EXPECT_EQ(rec.result, 60);
    EXPECT_EQ(rec.Summary(), "lseek off=-4 whence=2 result=60 errno=0");
    ASSERT_TRUE(
        ParseTraceLine("t=1 call=open path=/dev/touchm0 flags=0x101802 result=-1 errno=2", rec));
    EXPECT_EQ(rec.flags, 0x101802ul);
    EXPECT_EQ(rec.err, 2);
    EXPECT_EQ(rec.Summary(), "open path=/dev/touchm0 flags=0x101802 result=-1 errno=2");
    EXPECT_FALSE(ParseTraceLine("t=1 call=open", rec)) << "no result";
    EXPECT_FALSE(ParseTraceLine("garbage here", rec));
}
