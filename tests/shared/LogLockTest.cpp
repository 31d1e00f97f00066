// SPDX-License-Identifier: GPL-2.0-or-later
// A logger whose lock is held for longer than the bounded wait: another
// context (another thread, or a signal handler on the holder's own thread)
// goes on after 53 ms without the lock, writes its own text intact, leaves
// the holder's text intact, and does not unlock the holder's lock.
//
// The holder is a DebugPrint blocked on a full pipe behind standard output;
// it holds the logger's lock until the test drains the pipe.

#include "Log.h"
#include "LogTestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <numeric>
#include <pthread.h>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kBoundedWait = milliseconds(53);
constexpr auto kPipeFillTimeout = std::chrono::seconds(10);
constexpr int kSmallPipe = 4096;
constexpr unsigned long kPlainFlags = vorn::kLogFlagTakeLevel | vorn::kLogFlagTakeMask;

unsigned char g_dumpData[20];

// The dump's address texts: "0x%p" in the header, "0x%p " before a row.
std::string HeaderAddress(const void *p) {
    char text[64];
    snprintf(text, sizeof text, "0x%p", p);
    return text;
}
std::string RowAddress(const void *p) {
    return HeaderAddress(p) + " ";
}

// What an intruding context does, and what it leaves in the log file.
struct Intruder {
    const char *name;
    bool inSignalHandler;
    void (*run)(CLog &log);
    std::string (*fileText)();
};

const Intruder kIntruders[] = {
    {"PrintFromAnotherThread", false,
     [](CLog &log) { log.Print(vorn::kLogInfo, 0, "intruder %d\n", 1); },
     [] { return std::string(" intruder 1\n"); }},
    {"DumpFromAnotherThread", false,
     [](CLog &log) { log.DebugDump("dir/f.cpp", 4, g_dumpData, sizeof g_dumpData); },
     [] {
         return "[memory(f.cpp[4]] buffer " + HeaderAddress(g_dumpData) + " size 20\n" +
                RowAddress(g_dumpData) +
                "00 01 02 03 04 05 06 07 -08 09 0A 0B 0C 0D 0E 0F  ................\n" +
                RowAddress(g_dumpData + 16) +
                "10 11 12 13 XX XX XX XX -XX XX XX XX XX XX XX XX  ....\n\n";
     }},
    {"PrintFromSignalHandlerOnHoldersThread", true,
     [](CLog &log) { log.Print(vorn::kLogError, 0, "from handler\n"); },
     [] { return std::string(" from handler\n"); }},
};

void PrintTo(const Intruder &intruder, std::ostream *os) {
    *os << intruder.name;
}

// State shared with the signal handler.
CLog *g_log = nullptr;
const Intruder *g_intruder = nullptr;
std::atomic<bool> g_handlerDone{false};
std::atomic<long long> g_handlerMicros{0};

void IntrudingHandler(int) {
    auto start = Clock::now();
    g_intruder->run(*g_log);
    g_handlerMicros =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    g_handlerDone = true;
}

// Milliseconds that fn takes on a thread of its own.
template <typename Fn> Clock::duration TimeOnThread(Fn fn) {
    Clock::duration took{};
    std::thread t([&] {
        auto start = Clock::now();
        fn();
        took = Clock::now() - start;
    });
    t.join();
    return took;
}

class LogLockTest : public ::testing::TestWithParam<Intruder> {
  protected:
    logtest::NoCurrentLogger m_noLogger;
    logtest::TempDir m_dir;
};

TEST_P(LogLockTest, TimedOutContextWritesItsOwnTextAndLeavesTheLock) {
    const Intruder &intruder = GetParam();
    std::iota(g_dumpData, g_dumpData + sizeof g_dumpData, static_cast<unsigned char>(0));
    std::string path = m_dir.File("lock.log");
    CLog log;
    ASSERT_EQ(log.Init(path.c_str(), kPlainFlags, 5, 0), 1);
    g_log = &log;
    g_intruder = &intruder;
    g_handlerDone = false;

    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = IntrudingHandler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    fcntl(pipeFds[1], F_SETPIPE_SZ, kSmallPipe);
    int capacity = fcntl(pipeFds[1], F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);

    // From here until standard output is restored nothing may print through
    // gtest: the holder keeps the stdout stream locked.
    fflush(stdout);
    int savedStdout = dup(STDOUT_FILENO);
    dup2(pipeFds[1], STDOUT_FILENO);

    const std::string held(5 * static_cast<std::size_t>(capacity), 'h');
    std::thread holder([&] { log.DebugPrint("%s\n", held.c_str()); });

    bool filled = false;
    for (auto start = Clock::now(); Clock::now() - start < kPipeFillTimeout;) {
        int queued = 0;
        ioctl(pipeFds[0], FIONREAD, &queued);
        if (queued >= capacity) {
            filled = true;
            break;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }

    Clock::duration intruderTook{};
    bool handlerRan = false;
    if (filled && intruder.inSignalHandler) {
        pthread_kill(holder.native_handle(), SIGUSR2);
        for (auto start = Clock::now(); Clock::now() - start < kPipeFillTimeout && !g_handlerDone;)
            std::this_thread::sleep_for(milliseconds(1));
        handlerRan = g_handlerDone;
        intruderTook = std::chrono::microseconds(g_handlerMicros.load());
    } else if (filled) {
        intruderTook = TimeOnThread([&] { intruder.run(log); });
    }
    // The holder must still hold the lock: a second print waits in vain too.
    Clock::duration secondTook{};
    if (filled)
        secondTook = TimeOnThread([&] { log.Print(vorn::kLogInfo, 0, "second\n"); });

    std::string drained;
    std::thread reader([&] {
        char chunk[4096];
        for (ssize_t n; (n = read(pipeFds[0], chunk, sizeof chunk)) > 0;)
            drained.append(chunk, static_cast<std::size_t>(n));
    });
    holder.join();
    fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    close(pipeFds[1]);
    reader.join();
    close(pipeFds[0]);
    sigaction(SIGUSR2, &previous, nullptr);

    ASSERT_TRUE(filled) << "the holder never blocked on the pipe";
    if (intruder.inSignalHandler) {
        ASSERT_TRUE(handlerRan);
    }
    EXPECT_GE(intruderTook, kBoundedWait);
    EXPECT_GE(secondTook, kBoundedWait);
    EXPECT_EQ(drained, held + "\n");
    EXPECT_EQ(logtest::ReadFile(path), intruder.fileText() + " second\n" + " " + held + "\n");

    // The holder's release left the lock free.
    auto freeTook = TimeOnThread([&] { log.Print(vorn::kLogInfo, 0, "free\n"); });
    EXPECT_LT(freeTook, kBoundedWait);
    g_log = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Intruders, LogLockTest, ::testing::ValuesIn(kIntruders),
                         [](const auto &tp) { return std::string(tp.param.name); });

} // namespace
