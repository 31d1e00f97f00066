// SPDX-License-Identifier: GPL-2.0-or-later
// CMutex: creation, the bounded wait, and releases that never unlock a lock
// held by another context (another thread, or the code a signal handler
// interrupted on the same thread).

#include "Mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kBoundedWait = milliseconds(53);
constexpr auto kHolderHold = milliseconds(100);

// True when another thread can take mutex within the bounded wait (and
// releases it again at once).
bool TakenByAnotherThread(CMutex &mutex) {
    bool acquired = false;
    std::thread other([&] {
        mutex.LockContext(&acquired);
        mutex.ReleaseContext(acquired);
    });
    other.join();
    return acquired;
}

TEST(MutexTest, WithoutPosixMutexLockAndReleaseReturnZeroAtOnce) {
    CMutex mutex;
    bool acquired = true;
    auto start = Clock::now();
    EXPECT_EQ(mutex.LockContext(), 0);
    EXPECT_EQ(mutex.LockContext(&acquired), 0);
    EXPECT_FALSE(acquired);
    EXPECT_EQ(mutex.ReleaseContext(), 0);
    EXPECT_EQ(mutex.ReleaseContext(true), 0);
    EXPECT_LT(Clock::now() - start, kBoundedWait);
    EXPECT_FALSE(mutex.HasMutex());
}

TEST(MutexTest, SecondInitKeepsTheMutexAndRecordsTheValue) {
    CMutex mutex;
    ASSERT_EQ(mutex.Init(50), 1);
    ASSERT_EQ(mutex.LockContext(), 1);
    EXPECT_EQ(mutex.Init(7), 1);
    EXPECT_EQ(mutex.Value(), 7u);
    // The same mutex, still locked by this thread.
    EXPECT_FALSE(TakenByAnotherThread(mutex));
    EXPECT_EQ(mutex.ReleaseContext(), 1);
    EXPECT_TRUE(TakenByAnotherThread(mutex));
}

TEST(MutexTest, DeinitTwiceLeavesNoMutex) {
    CMutex mutex;
    ASSERT_EQ(mutex.Init(50), 1);
    EXPECT_EQ(mutex.Deinit(), 1);
    EXPECT_EQ(mutex.Deinit(), 1);
    EXPECT_FALSE(mutex.HasMutex());
    EXPECT_EQ(mutex.LockContext(), 0);
}

TEST(MutexTest, UncontendedLockIsTakenAtOnce) {
    CMutex mutex;
    ASSERT_EQ(mutex.Init(50), 1);
    bool acquired = false;
    auto start = Clock::now();
    EXPECT_EQ(mutex.LockContext(&acquired), 1);
    EXPECT_TRUE(acquired);
    EXPECT_LT(Clock::now() - start, kBoundedWait);
    EXPECT_EQ(mutex.ReleaseContext(acquired), 1);
    EXPECT_TRUE(TakenByAnotherThread(mutex));
}

// How a context that waits in vain locks and releases.
struct ReleaseStyle {
    const char *name;
    void (*lockAndRelease)(CMutex &mutex, int *lockResult, bool *acquired);
};

const ReleaseStyle kReleaseStyles[] = {
    {"PlainPair",
     [](CMutex &mutex, int *lockResult, bool *acquired) {
         *lockResult = mutex.LockContext();
         *acquired = false;
         mutex.ReleaseContext();
     }},
    {"FlaggedPair",
     [](CMutex &mutex, int *lockResult, bool *acquired) {
         *lockResult = mutex.LockContext(acquired);
         mutex.ReleaseContext(*acquired);
     }},
};

void PrintTo(const ReleaseStyle &style, std::ostream *os) {
    *os << style.name;
}

class MutexWaitTest : public ::testing::TestWithParam<ReleaseStyle> {};

TEST_P(MutexWaitTest, GivesUpAfter53MsAndLeavesTheHoldersLock) {
    CMutex mutex;
    ASSERT_EQ(mutex.Init(50), 1);
    std::atomic<bool> held{false};
    std::atomic<bool> waiterDone{false};
    std::atomic<bool> stillHeldAfterWait{false};
    std::thread holder([&] {
        bool acquired = false;
        mutex.LockContext(&acquired);
        held = acquired;
        auto start = Clock::now();
        // Hold for 100 ms, and in any case until the waiter has given up.
        while (Clock::now() - start < kHolderHold || !waiterDone)
            std::this_thread::sleep_for(milliseconds(1));
        // The waiter's release must not have unlocked us.
        stillHeldAfterWait = !TakenByAnotherThread(mutex);
        mutex.ReleaseContext(acquired);
    });
    while (!held)
        std::this_thread::sleep_for(milliseconds(1));

    int lockResult = 0;
    bool acquired = true;
    auto start = Clock::now();
    GetParam().lockAndRelease(mutex, &lockResult, &acquired);
    auto waited = Clock::now() - start;
    waiterDone = true;
    holder.join();

    EXPECT_EQ(lockResult, 1);
    EXPECT_FALSE(acquired);
    EXPECT_GE(waited, kBoundedWait);
    EXPECT_TRUE(stillHeldAfterWait);
    EXPECT_TRUE(TakenByAnotherThread(mutex));
}

INSTANTIATE_TEST_SUITE_P(Styles, MutexWaitTest, ::testing::ValuesIn(kReleaseStyles),
                         [](const auto &tp) { return std::string(tp.param.name); });

// A signal handler that interrupts the holder on the holder's own thread.
CMutex g_signalMutex;
std::atomic<int> g_handlerLockResult{-1};
std::atomic<bool> g_handlerAcquired{true};
std::atomic<bool> g_handlerUsesFlags{false};

void LockingHandler(int) {
    if (g_handlerUsesFlags) {
        bool acquired = true;
        g_handlerLockResult = g_signalMutex.LockContext(&acquired);
        g_handlerAcquired = acquired;
        g_signalMutex.ReleaseContext(acquired);
    } else {
        g_handlerLockResult = g_signalMutex.LockContext();
        g_signalMutex.ReleaseContext();
    }
}

class MutexSignalTest : public ::testing::TestWithParam<bool> {};

TEST_P(MutexSignalTest, HandlerOnTheHoldersThreadDoesNotUnlockForIt) {
    ASSERT_EQ(g_signalMutex.Init(50), 1);
    g_handlerUsesFlags = GetParam();
    g_handlerLockResult = -1;
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = LockingHandler;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    ASSERT_EQ(g_signalMutex.LockContext(), 1);
    raise(SIGUSR1);
    EXPECT_EQ(g_handlerLockResult, 1);
    if (g_handlerUsesFlags) {
        EXPECT_FALSE(g_handlerAcquired);
    }
    // The interrupted holder still holds its lock ...
    EXPECT_FALSE(TakenByAnotherThread(g_signalMutex));
    // ... and its own release gives it up.
    EXPECT_EQ(g_signalMutex.ReleaseContext(), 1);
    EXPECT_TRUE(TakenByAnotherThread(g_signalMutex));

    sigaction(SIGUSR1, &previous, nullptr);
    g_signalMutex.Deinit();
}

INSTANTIATE_TEST_SUITE_P(Styles, MutexSignalTest, ::testing::Values(false, true),
                         [](const auto &tp) {
                             return std::string(tp.param ? "FlaggedPair" : "PlainPair");
                         });

TEST(MutexTest, ReleaseFromAnotherThreadDoesNotUnlock) {
    CMutex mutex;
    ASSERT_EQ(mutex.Init(50), 1);
    ASSERT_EQ(mutex.LockContext(), 1);
    std::thread other([&] { EXPECT_EQ(mutex.ReleaseContext(), 1); });
    other.join();
    EXPECT_FALSE(TakenByAnotherThread(mutex));
    mutex.ReleaseContext();
}

} // namespace
