// SPDX-License-Identifier: GPL-2.0-or-later
// The state directory's files: the key's memory image kept across launches
// or replaced by a fresh one, and state files that are not regular files
// (a FIFO, a directory), which the stand-in must refuse without waiting on
// them: it reads and writes them with every signal blocked.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Probe.h"
#include "TestSupport.h"

using namespace vorn_test;

namespace {

constexpr auto kPrompt = std::chrono::seconds(5);
const std::string kFreshText = "touch-memory key 0108: hello\n";

// Puts a FIFO where the state file name was.
bool ReplaceWithFifo(const SimDir &dir, const std::string &name) {
    std::string path = dir.Path(name);
    unlink(path.c_str());
    return mkfifo(path.c_str(), 0600) == 0;
}

std::vector<std::string> Launch(const SimDir &dir, std::vector<std::string> opts,
                                const std::vector<std::string> &command) {
    opts.insert(opts.begin(), {BinPath("tmsim"), "--state", dir.Dir()});
    opts.emplace_back("--");
    opts.insert(opts.end(), command.begin(), command.end());
    return opts;
}

} // namespace

TEST(TmSimStateFiles, MemoryIsKeptUnlessAFreshOneIsAsked) {
    SimDir dir;
    EXPECT_EQ(Probe(dir, Key().Memory(64), {"open", "write:XYZ"}), "open ok\nwrite 3\n");
    EXPECT_EQ(Probe(dir, Key().Memory(64), {"open", "read:4"}), "open ok\nread 4 58595a63\n");
    EXPECT_EQ(dir.Memory().substr(0, 3), "XYZ");

    // A fresh image: the text and zero bytes up to the memory size asked
    // for now, whatever size the old image had.
    EXPECT_EQ(Probe(dir, Key().Memory(40).Option("--fresh-memory"), {"open", "read:3"}),
              "open ok\nread 3 746f75\n");
    EXPECT_EQ(dir.Memory(), kFreshText + std::string(40 - kFreshText.size(), '\0'));

    // It also replaces what is no regular file.
    ASSERT_TRUE(ReplaceWithFifo(dir, "memory.bin"));
    EXPECT_EQ(Probe(dir, Key().Memory(40).Option("--fresh"), {"open", "read:3"}),
              "open ok\nread 3 746f75\n");
    struct stat st;
    ASSERT_EQ(stat(dir.Path("memory.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 40);
}

TEST(TmSimStateFiles, LaunchRefusesStateFilesThatAreNotRegular) {
    struct Case {
        std::string name;
        bool fifo; // else a directory
        std::vector<std::string> opts;
        std::string message;
    } cases[] = {
        {"memory.bin",
         true,
         {},
         "memory.bin is not a regular file (remove it, or launch with --fresh-memory)\n"},
        {"memory.bin",
         false,
         {},
         "memory.bin is not a regular file (remove it, or launch with --fresh-memory)\n"},
        {"trace", true, {"--trace"}, "trace is not a regular file\n"},
        {"clock", true, {"--clock=allow"}, "clock is not a regular file\n"},
        {"rtc", false, {"--rtc=present"}, "rtc is not a regular file\n"},
    };
    for (const Case &c : cases) {
        SimDir dir;
        if (c.fifo)
            ASSERT_TRUE(ReplaceWithFifo(dir, c.name));
        else
            ASSERT_EQ(mkdir(dir.Path(c.name).c_str(), 0700), 0);
        RunResult r =
            RunCommand(Launch(dir, c.opts, {BinPath("devprobe"), "open", "read:4"}), "", kPrompt);
        EXPECT_FALSE(r.timedOut) << c.name;
        EXPECT_EQ(r.status, 2) << c.name;
        EXPECT_EQ(r.out, "") << "the command must not run: " << c.name;
        EXPECT_EQ(r.err, "tmsim: " + dir.Path(c.message)) << c.name;
    }
}

TEST(TmSimStateFiles, AFifoPutInPlaceWhileRunningFailsRequestsAndStaysKillable) {
    SimDir dir;
    Spawned p;
    ASSERT_TRUE(p.Start(dir, Key(), {"devprobe", "open", "wait", "read:4", "write:ab", "wait"}));
    ASSERT_TRUE(p.WaitForLine("wait"));
    ASSERT_TRUE(ReplaceWithFifo(dir, "memory.bin"));
    p.Write("go\n");
    std::string line;
    EXPECT_TRUE(p.ReadLine(line, kPrompt));
    EXPECT_EQ(line, "read -1 EIO");
    EXPECT_TRUE(p.ReadLine(line, kPrompt));
    EXPECT_EQ(line, "write -1 EIO");
    EXPECT_TRUE(p.WaitForLine("wait", kPrompt));
    EXPECT_TRUE(p.Signal(SIGTERM));
    RunResult r = p.Wait(kPrompt);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, SIGTERM);
    // Said once, not for every request.
    EXPECT_EQ(r.err, "tmsim: bad state " + dir.Path("memory.bin") + ": not a regular file\n");
}

TEST(TmSimStateFiles, AFifoInPlaceOfTheTraceOrTheConfigNeverStallsARequest) {
    SimDir dir;
    Spawned p;
    ASSERT_TRUE(p.Start(dir, Key(), {"devprobe", "open", "wait", "presence", "wait", "presence"}));
    ASSERT_TRUE(p.WaitForLine("wait"));
    // Trace lines are lost; the requests go on.
    ASSERT_TRUE(ReplaceWithFifo(dir, "trace"));
    p.Write("go\n");
    std::string line;
    EXPECT_TRUE(p.ReadLine(line, kPrompt));
    EXPECT_EQ(line, "presence 0");
    EXPECT_TRUE(p.WaitForLine("wait", kPrompt));
    // A state that cannot be read is a bad state.
    ASSERT_TRUE(ReplaceWithFifo(dir, "config"));
    p.Write("go\n");
    EXPECT_TRUE(p.ReadLine(line, kPrompt));
    EXPECT_EQ(line, "presence -1 EIO");
    RunResult r = p.Wait(kPrompt);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "tmsim: bad state " + dir.Path("config") + ": not a regular file\n");

    r = Ctl(dir, {"show"}, kPrompt);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tmsim ctl: no usable state in " + dir.Dir() + ": " + dir.Path("config") +
                         " is not a regular file\n");
}
