// SPDX-License-Identifier: GPL-2.0-or-later
// A far end (tmfarend) of the build for one test: started with serve
// options, its slave's path read from its first line, control commands
// through tmfarend ctl, the driver core's termios adapter closed after.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "tty_adapter.h"

class FarEndFixture : public ::testing::Test {
  protected:
    void TearDown() override { tty_adapter_close(); }

    // Starts the far end with extra serve options; its slave in m_slave.
    void StartFarEnd(const std::vector<std::string> &extra = {}) {
        static const std::string serving = "tmfarend: serving ";
        std::vector<std::string> argv = {vorn_test::BinPath("tmfarend"), "serve", "--state",
                                         m_dir.Dir()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_TRUE(m_farEnd.StartCommand(argv));
        std::string first;
        ASSERT_TRUE(m_farEnd.ReadLine(first));
        ASSERT_EQ(first.rfind(serving, 0), 0u) << first;
        m_slave = first.substr(serving.size());
    }

    vorn_test::RunResult Ctl(const std::vector<std::string> &words) {
        std::vector<std::string> argv = {vorn_test::BinPath("tmfarend"), "ctl", "--state",
                                         m_dir.Dir()};
        argv.insert(argv.end(), words.begin(), words.end());
        return vorn_test::RunCommand(argv);
    }

    // ctl that must succeed; its output.
    std::string CtlOk(const std::vector<std::string> &words) {
        vorn_test::RunResult r = Ctl(words);
        EXPECT_EQ(r.status, 0) << words[0] << ": " << r.err;
        EXPECT_EQ(r.err, "");
        return r.out;
    }

    vorn_test::SimDir m_dir;
    vorn_test::Spawned m_farEnd;
    std::string m_slave;
};
