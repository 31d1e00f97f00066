// SPDX-License-Identifier: GPL-2.0-or-later
// The signal hand-over of the console command helper as libvorn has it: the
// helper lives in a shared library that leaves StartDeinit undefined, and
// this program supplies StartDeinit, which the library's sigterm_handler must
// find by name.

#include "CmdHelper.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

volatile sig_atomic_t g_deinitCalls = 0;

} // namespace

extern "C" void StartDeinit(void) {
    g_deinitCalls = g_deinitCalls + 1;
}

namespace {

class SignalHandOver : public testing::Test {
  protected:
    void SetUp() override {
        sigaction(SIGTERM, nullptr, &m_oldTerm);
        sigaction(SIGINT, nullptr, &m_oldInt);
        g_deinitCalls = 0;
    }
    void TearDown() override {
        sigaction(SIGTERM, &m_oldTerm, nullptr);
        sigaction(SIGINT, &m_oldInt, nullptr);
    }
    struct sigaction m_oldTerm {};
    struct sigaction m_oldInt {};
};

TEST_F(SignalHandOver, EachSignalCallsStartDeinitOnce) {
    InitConsoleHelper();
    for (int sig : {SIGTERM, SIGINT}) {
        g_deinitCalls = 0;
        ASSERT_EQ(raise(sig), 0);
        EXPECT_EQ(g_deinitCalls, 1) << sig;
    }
    // The handler stays installed after it has run.
    ASSERT_EQ(raise(SIGINT), 0);
    EXPECT_EQ(g_deinitCalls, 2);
}

TEST_F(SignalHandOver, HandlerCalledDirectlyCallsStartDeinit) {
    sigterm_handler(0);
    EXPECT_EQ(g_deinitCalls, 1);
}

} // namespace
