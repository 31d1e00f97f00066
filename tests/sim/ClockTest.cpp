// SPDX-License-Identifier: GPL-2.0-or-later
// The clock paths: settimeofday and clock_settime are served and never set
// the real clock; /dev/rtc0 is missing, accepting or refusing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Probe.h"
#include "TestSupport.h"

using namespace vorn_test;

TEST(TmSimClock, SettingTheClockIsRecordedOrRefused) {
    struct Case {
        SimKey key;
        std::string out;
        std::string record; // STATE/clock, "" when none
        std::string trace;
    } cases[] = {
        {Key(), "settime -1 EPERM\nclockset -1 EPERM\n", "",
         "settimeofday sec=1234567890 result=-1 errno=1"},
        {Key().Clock("deny"), "settime -1 EPERM\nclockset -1 EPERM\n", "",
         "settimeofday sec=1234567890 result=-1 errno=1"},
        {Key().Clock("allow"), "settime 0\nclockset 0\n", "sec=1234567891 usec=0\n",
         "settimeofday sec=1234567890 result=0 errno=0"},
    };
    for (const Case &c : cases) {
        SimDir dir;
        EXPECT_EQ(Probe(dir, c.key, {"settime:1234567890", "clockset:1234567891"}), c.out);
        EXPECT_EQ(dir.Read("clock"), c.record);
        std::vector<std::string> trace = TraceSummaries(TraceLines(dir));
        ASSERT_EQ(trace.size(), 2u);
        EXPECT_EQ(trace[0], c.trace);
        EXPECT_EQ(trace[1].rfind("clock_settime sec=1234567891 ", 0), 0u) << trace[1];
    }
    // The real clock was not set to 2009.
    EXPECT_GT(time(nullptr), 1600000000);
}

TEST(TmSimClock, RealTimeClockModes) {
    // 1234567890 is 2009-02-13 23:31:30 UTC.
    const std::string fields = "sec=30 min=31 hour=23 mday=13 mon=1 year=109";
    struct Case {
        SimKey key;
        std::string out;
        std::string record;
        std::vector<std::string> trace;
    } cases[] = {
        {Key(),
         "rtc-open -1 ENOENT\n",
         "",
         {"rtc_open path=/dev/rtc0 flags=0x1 result=-1 errno=2"}},
        {Key().Rtc("absent"),
         "rtc-open -1 ENOENT\n",
         "",
         {"rtc_open path=/dev/rtc0 flags=0x1 result=-1 errno=2"}},
        {Key().Rtc("present"),
         "rtc-open ok\nrtc-set 0\nrtc-close 0\n",
         fields + "\n",
         {"rtc_open path=/dev/rtc0 flags=0x1 result=fd errno=0",
          "rtc_set_time " + fields + " result=0 errno=0", "rtc_close result=0 errno=0"}},
        {Key().Rtc("refuse"),
         "rtc-open ok\nrtc-set -1 EINVAL\nrtc-close 0\n",
         "",
         {"rtc_open path=/dev/rtc0 flags=0x1 result=fd errno=0",
          "rtc_set_time " + fields + " result=-1 errno=22", "rtc_close result=0 errno=0"}},
    };
    for (const Case &c : cases) {
        SimDir dir;
        EXPECT_EQ(Probe(dir, c.key, {"rtc:1234567890"}), c.out);
        EXPECT_EQ(dir.Read("rtc"), c.record);
        EXPECT_EQ(TraceSummaries(TraceLines(dir)), c.trace);
    }
}
