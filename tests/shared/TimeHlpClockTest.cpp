// SPDX-License-Identifier: GPL-2.0-or-later
// SetLocalTime_t and SetHwTime against the clock and /dev/rtc0 served by the
// driver stand-in. These cases would set the machine's real clocks, so the
// program refuses to run them unless it runs under tmsim: each ctest entry
// starts it through tmsim with one --clock/--rtc setting and selects the
// matching suite with --gtest_filter.

#include "TimeHlp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

std::vector<std::string> TakeFakeLog();

namespace {

constexpr time_t kSample = 1700000000; // 22:13:20 14.11.2023 UTC, a Tuesday

// Open descriptors of this process.
int OpenDescriptors() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (readdir(dir) != nullptr) {
        ++n;
    }
    closedir(dir);
    return n;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The key=value fields of a trace line.
std::map<std::string, std::string> Fields(const std::string &line) {
    std::map<std::string, std::string> fields;
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
        std::size_t eq = word.find('=');
        if (eq != std::string::npos) {
            fields[word.substr(0, eq)] = word.substr(eq + 1);
        }
    }
    return fields;
}

class UnderTmsim : public testing::Test {
  protected:
    void SetUp() override {
        const char *state = getenv("TMSIM_STATE");
        const char *preload = getenv("LD_PRELOAD");
        ASSERT_TRUE(state != nullptr && *state != '\0')
            << "refusing to touch the clock: TMSIM_STATE is not set (run through tmsim)";
        ASSERT_TRUE(preload != nullptr && strstr(preload, "libtmsim") != nullptr)
            << "refusing to touch the clock: libtmsim is not preloaded (run through tmsim)";
        m_trace = std::string(state) + "/trace";
        m_traceStart = ReadFile(m_trace).size();
        TakeFakeLog();
    }

    // Trace lines of the given call written since SetUp.
    std::vector<std::map<std::string, std::string>> TraceOf(const std::string &call) const {
        std::string text = ReadFile(m_trace);
        std::istringstream in(text.size() > m_traceStart ? text.substr(m_traceStart) : "");
        std::vector<std::map<std::string, std::string>> out;
        std::string line;
        while (std::getline(in, line)) {
            auto fields = Fields(line);
            if (fields["call"] == call) {
                out.push_back(fields);
            }
        }
        return out;
    }

    // The device was opened write-only (not inherited) and closed again.
    void ExpectRtcOpenedAndClosed() const {
        auto opens = TraceOf("rtc_open");
        ASSERT_EQ(opens.size(), 1u);
        char flags[16];
        snprintf(flags, sizeof flags, "0x%x", O_WRONLY | O_CLOEXEC);
        EXPECT_EQ(opens[0]["path"], "/dev/rtc0");
        EXPECT_EQ(opens[0]["flags"], flags);
        EXPECT_EQ(TraceOf("rtc_close").size(), 1u);
    }

  private:
    std::string m_trace;
    std::size_t m_traceStart = 0;
};

class ClockAllowed : public UnderTmsim {};
class ClockDenied : public UnderTmsim {};
class RtcPresent : public UnderTmsim {};
class RtcRefuse : public UnderTmsim {};
class RtcAbsent : public UnderTmsim {};

TEST_F(ClockAllowed, SetLocalTimeSetsTheGivenSeconds) {
    EXPECT_EQ(SetLocalTime_t(kSample), 1);
    auto calls = TraceOf("settimeofday");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["sec"], "1700000000");
    EXPECT_TRUE(TakeFakeLog().empty());
}

TEST_F(ClockDenied, SetLocalTimeReportsRefusalByResultOnly) {
    EXPECT_EQ(SetLocalTime_t(kSample), 0);
    EXPECT_TRUE(TakeFakeLog().empty());
}

TEST_F(RtcPresent, SetHwTimeWritesUtcFieldsAndCloses) {
    int before = OpenDescriptors();
    EXPECT_EQ(SetHwTime(kSample), 1);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_TRUE(TakeFakeLog().empty());
    auto calls = TraceOf("rtc_set_time");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["sec"], "20");
    EXPECT_EQ(calls[0]["min"], "13");
    EXPECT_EQ(calls[0]["hour"], "22");
    EXPECT_EQ(calls[0]["mday"], "14");
    // The record's own fields: month 0 to 11, year less 1900.
    EXPECT_EQ(calls[0]["mon"], "10");
    EXPECT_EQ(calls[0]["year"], "123");
    ExpectRtcOpenedAndClosed();
}

TEST_F(RtcRefuse, SetHwTimeLogsRefusalAndCloses) {
    int before = OpenDescriptors();
    EXPECT_EQ(SetHwTime(kSample), 0);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(TakeFakeLog(), std::vector<std::string>{
                                 "../shared/TimeHlp[98] RTC_SET_TIME failed Invalid argument\n"});
    EXPECT_EQ(TraceOf("rtc_set_time").size(), 1u);
    ExpectRtcOpenedAndClosed();
}

TEST_F(RtcAbsent, SetHwTimeLogsMissingDevice) {
    int before = OpenDescriptors();
    EXPECT_EQ(SetHwTime(kSample), 0);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(TakeFakeLog(),
              std::vector<std::string>{
                  "../shared/TimeHlp[93] rtc open failed [No such file or directory]\n"});
    EXPECT_TRUE(TraceOf("rtc_set_time").empty());
}

} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    // A filter that selects nothing would pass silently: treat it as an error.
    if (result == 0 && !GTEST_FLAG_GET(list_tests) &&
        testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
        fprintf(stderr, "time_clock_test: the filter selects no test\n");
        return 1;
    }
    return result;
}
