// SPDX-License-Identifier: GPL-2.0-or-later
// CLog: registration, Init flags, level and mask filtering, line format,
// bounds, the log file's opening rules, Deinit and what follows it.

#include "Log.h"
#include "LogFormat.h"
#include "LogTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using logtest::CaptureFd;
using logtest::ReadFile;
using logtest::TempDir;

// Lines without timestamp, level and mask taken from the Init arguments.
constexpr unsigned long kPlainFlags = vorn::kLogFlagTakeLevel | vorn::kLogFlagTakeMask;
constexpr unsigned long kClientFlags = 0x301;

class LogTest : public ::testing::Test {
  protected:
    logtest::NoCurrentLogger m_noLogger;
    TempDir m_dir;
    std::string m_path = m_dir.File("test.log");
};

TEST_F(LogTest, FirstConstructedLoggerBecomesCurrent) {
    CLog first;
    CLog second;
    EXPECT_EQ(g_currentLogger, &first);
    // Deinit of a logger that is not the current one still clears it.
    EXPECT_EQ(second.Deinit(), 1);
    EXPECT_EQ(g_currentLogger, nullptr);
}

TEST_F(LogTest, ConstructedLoggerDefaults) {
    CLog log;
    EXPECT_EQ(log.Descriptor(), 0);
    EXPECT_EQ(log.Flags(), 1u);
    EXPECT_EQ(log.Level(), 5u);
    EXPECT_EQ(log.Mask(), 0u);
    EXPECT_EQ(log.Print(vorn::kLogError, 0, "x\n"), 0);
    EXPECT_EQ(log.PrintString(vorn::kLogError, 0, "x\n"), 0);
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(log.DebugPrint("only on %s\n", "stdout"), 1);
    EXPECT_EQ(out.Stop(), "only on stdout\n");
}

struct InitFlagsCase {
    unsigned long flags;
    unsigned long expectLevel;
    unsigned long expectMask;
};

void PrintTo(const InitFlagsCase &c, std::ostream *os) {
    *os << "flags 0x" << std::hex << c.flags;
}

class LogInitFlagsTest : public LogTest, public ::testing::WithParamInterface<InitFlagsCase> {};

TEST_P(LogInitFlagsTest, LevelAndMaskAreTakenOnlyWhenFlagged) {
    const InitFlagsCase &c = GetParam();
    for (const std::string &path : {m_path, m_dir.File("missing/dir/test.log")}) {
        CLog log;
        log.Init(path.c_str(), c.flags, 2, 0xff);
        EXPECT_EQ(log.Flags(), c.flags) << path;
        EXPECT_EQ(log.Level(), c.expectLevel) << path;
        EXPECT_EQ(log.Mask(), c.expectMask) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Flags, LogInitFlagsTest,
                         ::testing::Values(InitFlagsCase{0x1, 5, 0}, InitFlagsCase{0x101, 2, 0},
                                           InitFlagsCase{0x201, 5, 0xff},
                                           InitFlagsCase{0x301, 2, 0xff},
                                           InitFlagsCase{0x8302, 2, 0xff}),
                         [](const ::testing::TestParamInfo<InitFlagsCase> &p) {
                             std::ostringstream name;
                             name << "Flags0x" << std::hex << p.param.flags;
                             return name.str();
                         });

struct FilterCase {
    unsigned long logLevel;
    unsigned long logMask;
    unsigned long level;
    unsigned long mask;
    bool written;
};

void PrintTo(const FilterCase &c, std::ostream *os) {
    *os << "logger " << c.logLevel << "/0x" << std::hex << c.logMask << std::dec << ", message "
        << c.level << "/0x" << std::hex << c.mask;
}

class LogFilterTest : public LogTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(LogFilterTest, LevelAndMaskDecideWhatIsWritten) {
    const FilterCase &c = GetParam();
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), kPlainFlags, c.logLevel, c.logMask), 1);
    EXPECT_EQ(log.Print(c.level, c.mask, "msg %lu/%lx\n", c.level, c.mask), 1);
    char expected[64] = "";
    if (c.written)
        snprintf(expected, sizeof expected, " msg %lu/%lx\n", c.level, c.mask);
    EXPECT_EQ(ReadFile(m_path), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, LogFilterTest,
    ::testing::Values(FilterCase{3, 0, 4, 0, false}, FilterCase{3, 0, 3, 0, true},
                      FilterCase{3, 0, 0, 0, true}, FilterCase{3, 0, 1, 0x10, true},
                      FilterCase{5, 0x0f, 5, 0x10, false}, FilterCase{5, 0x0f, 5, 0x01, true},
                      FilterCase{5, 0x0f, 5, 0, true}, FilterCase{5, 0x0f, 4, 0x10, true},
                      FilterCase{5, 0, 5, 0x01, false}, FilterCase{2, 0, 5, 0, false},
                      FilterCase{~0ul, 0, 6, 0, true}),
    [](const ::testing::TestParamInfo<FilterCase> &p) {
        const FilterCase &c = p.param;
        std::ostringstream name;
        name << "Logger" << c.logLevel << "Mask0x" << std::hex << c.logMask << std::dec
             << "_Message" << c.level << "Mask0x" << std::hex << c.mask;
        return name.str();
    });

TEST_F(LogTest, LineWithoutTimestampIsSpaceAndText) {
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), kPlainFlags, 5, 0), 1);
    log.PrintString(vorn::kLogInfo, 0, "abc\n");
    EXPECT_EQ(ReadFile(m_path), " abc\n");
}

TEST_F(LogTest, MessagesWithoutNewlineRunTogether) {
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), kPlainFlags, 5, 0), 1);
    log.Print(vorn::kLogInfo, 0, "abc");
    log.Print(vorn::kLogInfo, 0, "def\n");
    EXPECT_EQ(ReadFile(m_path), " abc def\n");
}

TEST_F(LogTest, TimestampedLine) {
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), kClientFlags, 5, 0xff), 1);
    log.Print(vorn::kLogInfo, 0, "stamped\n");
    std::regex line(R"(\d{2}\.\d{2}\.\d{4}\(\d{2}:\d{2}:\d{2}\) \d{3} stamped\n)");
    EXPECT_TRUE(std::regex_match(ReadFile(m_path), line)) << ReadFile(m_path);
}

TEST(LogTimestampTest, FormatsDayMonthYearTimeAndMilliseconds) {
    struct tm local {};
    local.tm_mday = 7;
    local.tm_mon = 11;
    local.tm_year = 2026 - 1900;
    local.tm_hour = 3;
    local.tm_min = 19;
    local.tm_sec = 52;
    char out[vorn::kTimestampSize];
    EXPECT_EQ(FormatLogTimestamp(out, sizeof out, local, 123), 24u);
    EXPECT_STREQ(out, "07.12.2026(03:19:52) 123");
    FormatLogTimestamp(out, sizeof out, local, 5);
    EXPECT_STREQ(out, "07.12.2026(03:19:52) 005");
}

// The timestamp is placed digit by digit; it must give exactly what the
// printf form gives, for ordinary times, for fields wider than their width
// and for buffers shorter than the text.
std::string PrintfTimestamp(std::size_t size, const struct tm &local, unsigned long millis,
                            std::size_t *length) {
    std::string out(size, '\x7f');
    int n = snprintf(out.data(), size, "%02d.%02d.%04d(%02d:%02d:%02d) %03lu", local.tm_mday,
                     local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min,
                     local.tm_sec, millis);
    *length = size == 0 ? 0 : std::min(static_cast<std::size_t>(n), size - 1);
    return out;
}

TEST(LogTimestampTest, HandMadeFormEqualsThePrintfForm) {
    struct Case {
        int year, mon, mday, hour, min, sec;
    };
    const Case cases[] = {
        {2026, 11, 7, 3, 19, 52},   {2026, 0, 1, 0, 0, 0},      {2025, 11, 31, 23, 59, 59},
        {2024, 1, 29, 12, 30, 5},   {2024, 2, 1, 0, 0, 1},      {1970, 0, 1, 0, 0, 0},
        {1969, 11, 31, 23, 59, 59}, {0, 0, 1, 0, 0, 0},         {9999, 11, 31, 23, 59, 60},
        {10000, 0, 1, 0, 0, 0},     {-1, 0, 1, 0, 0, 0},        {1900, -1, 0, -1, -5, 100},
        {2026, 98, 99, 99, 99, 99}, {2026, 99, 100, 100, 7, 7},
    };
    const unsigned long millis[] = {0, 7, 99, 100, 999, 1000, 123456};
    const std::size_t sizes[] = {vorn::kTimestampSize, 64, vorn::kTimestampSize - 1, 12, 1, 0};
    for (const Case &c : cases) {
        struct tm local {};
        local.tm_year = c.year - 1900;
        local.tm_mon = c.mon;
        local.tm_mday = c.mday;
        local.tm_hour = c.hour;
        local.tm_min = c.min;
        local.tm_sec = c.sec;
        for (unsigned long ms : millis) {
            for (std::size_t size : sizes) {
                std::size_t expectLen = 0;
                std::string expect = PrintfTimestamp(size, local, ms, &expectLen);
                std::string got(size, '\x7f');
                std::size_t len = FormatLogTimestamp(got.data(), size, local, ms);
                SCOPED_TRACE(testing::Message()
                             << c.year << "-" << c.mon << "-" << c.mday << " " << c.hour << ":"
                             << c.min << ":" << c.sec << "." << ms << " in " << size);
                EXPECT_EQ(len, expectLen);
                EXPECT_EQ(got, expect);
            }
        }
    }
}

TEST(LogLineTest, JoinedLineEqualsThePrintfForm) {
    const char *stamps[] = {"", "07.12.2026(03:19:52) 123"};
    const char *texts[] = {"", "x", "read from 64 512 bytes\n"};
    const std::size_t sizes[] = {0, 1, 2, 5, 24, 25, 26, 27, 40, 64};
    for (const char *stamp : stamps) {
        for (const char *text : texts) {
            for (std::size_t size : sizes) {
                std::string expect(size, '\x7f');
                int n = snprintf(expect.data(), size, "%s %s", stamp, text);
                std::size_t expectLen =
                    size == 0 ? 0 : std::min(static_cast<std::size_t>(n), size - 1);
                std::string got(size, '\x7f');
                SCOPED_TRACE(testing::Message()
                             << '"' << stamp << "\" \"" << text << "\" in " << size);
                EXPECT_EQ(FormatLogLine(got.data(), size, stamp, text), expectLen);
                EXPECT_EQ(got, expect);
            }
        }
    }
}

// The date and time part is kept for the current second: every reading must
// still be the local time of the second it was taken in, also after the
// second changes.
TEST(LogTimestampTest, CurrentTimeFollowsTheSecondsAsTheyChange) {
    const time_t start = time(nullptr);
    int checked = 0;
    while (time(nullptr) <= start + 1) {
        time_t before = time(nullptr);
        char out[vorn::kTimestampSize];
        CLog::doGetCurTime(out);
        time_t after = time(nullptr);
        if (before != after)
            continue; // the second changed during the reading
        struct tm local {};
        localtime_r(&before, &local);
        char expect[vorn::kTimestampSize];
        FormatLogTimestamp(expect, sizeof expect, local, 0);
        ASSERT_EQ(std::string(out, 20), std::string(expect, 20)) << out;
        ++checked;
    }
    EXPECT_GT(checked, 1);
}

// Restores TZ and the zone state of the process when a test ends.
class SavedZone {
  public:
    SavedZone() {
        const char *tz = getenv("TZ");
        m_had = tz != nullptr;
        if (m_had)
            m_tz = tz;
    }
    ~SavedZone() {
        if (m_had)
            setenv("TZ", m_tz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    SavedZone(const SavedZone &) = delete;
    SavedZone &operator=(const SavedZone &) = delete;

  private:
    bool m_had = false;
    std::string m_tz;
};

// The date and time of a timestamp taken between before and after, in the
// zone localtime() now uses; true when stamp shows one of those seconds.
bool StampIsLocalTimeOf(const char *stamp, time_t before, time_t after) {
    for (time_t t = before; t <= after; ++t) {
        struct tm *local = localtime(&t);
        char expect[vorn::kTimestampSize];
        FormatLogTimestamp(expect, sizeof expect, *local, 0);
        if (std::string(stamp, 20) == std::string(expect, 20))
            return true;
    }
    return false;
}

// A process that changes TZ gets timestamps in the new zone at once, as
// localtime() gives them, also within the second of the change.
TEST(LogTimestampTest, CurrentTimeFollowsAChangeOfTimeZone) {
    SavedZone saved;
    // Zones five and eleven hours east of UTC: never the same hour.
    for (const char *zone : {"UTC0", "XYZ-5", "ABC-11", "UTC0"}) {
        setenv("TZ", zone, 1);
        const time_t before = time(nullptr);
        char out[vorn::kTimestampSize];
        CLog::doGetCurTime(out);
        const time_t after = time(nullptr);
        EXPECT_TRUE(StampIsLocalTimeOf(out, before, after)) << zone << ": " << out;
    }
}

TEST(LogTimestampTest, CurrentTimeMatchesTheLocalDate) {
    char out[vorn::kTimestampSize];
    time_t before = time(nullptr);
    CLog::doGetCurTime(out);
    struct tm local {};
    localtime_r(&before, &local);
    char date[16];
    strftime(date, sizeof date, "%d.%m.%Y(", &local);
    ASSERT_EQ(strlen(out), 24u);
    EXPECT_TRUE(
        std::regex_match(out, std::regex(R"(\d{2}\.\d{2}\.\d{4}\(\d{2}:\d{2}:\d{2}\) \d{3})")))
        << out;
    // Not across midnight: the date part is today's.
    if (local.tm_hour != 23 || local.tm_min != 59) {
        EXPECT_EQ(std::string(out, 11), date);
    }
}

TEST_F(LogTest, DebugPrintGoesToStdoutAndFileAtLevel5) {
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), kPlainFlags, 5, 0x01), 1);
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(log.DebugPrint("value %d\n", 42), 1);
    EXPECT_EQ(out.Stop(), "value 42\n");
    // A level-5 line with mask 0: the logger's mask does not filter it.
    EXPECT_EQ(ReadFile(m_path), " value 42\n");
}

TEST_F(LogTest, DebugPrintBelowLevel5PrintsNothing) {
    for (unsigned long level : {4ul, 2ul}) {
        CLog log;
        ASSERT_EQ(log.Init(m_path.c_str(), vorn::kLogFlagTakeLevel, level, 0), 1);
        CaptureFd out(STDOUT_FILENO);
        EXPECT_EQ(log.DebugPrint("hidden\n"), 1);
        EXPECT_EQ(out.Stop(), "") << level;
        EXPECT_EQ(ReadFile(m_path), "") << level;
    }
}

TEST_F(LogTest, Level2WritesOnlyLevels1And2) {
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), 0x100, 2, 0), 1);
    for (unsigned long level = 1; level <= 5; ++level)
        EXPECT_EQ(log.Print(level, 0, "L%lu\n", level), 1);
    EXPECT_EQ(ReadFile(m_path), " L1\n L2\n");
}

TEST_F(LogTest, FreeDebugPrintWithoutLoggerGoesToStdoutOnly) {
    CaptureFd out(STDOUT_FILENO);
    DebugPrint("no logger %d\n", 1);
    DebugPrintEx("dir/file.cpp", 9, "no logger %d\n", 2);
    EXPECT_EQ(out.Stop(), "no logger 1\nfile.cpp[9] no logger 2\n");
}

TEST_F(LogTest, PercentSignInArgumentsIsWrittenUnchanged) {
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), kPlainFlags, 5, 0xff), 1);
    const char *tricky = "100% done %d %s %n";
    CaptureFd out(STDOUT_FILENO);
    DebugPrint("[%s]\n", tricky);
    DebugPrintEx("a/b.cpp", 3, "[%s]\n", tricky);
    EXPECT_EQ(out.Stop(), "[100% done %d %s %n]\nb.cpp[3] [100% done %d %s %n]\n");
    EXPECT_EQ(ReadFile(m_path), " [100% done %d %s %n]\n b.cpp[3] [100% done %d %s %n]\n");
}

// FormatDebugPrintEx through a variadic front.
std::string FormatEx(std::size_t size, const char *file, int line, const char *format, ...)
    VORN_PRINTF(4, 5);
std::string FormatEx(std::size_t size, const char *file, int line, const char *format, ...) {
    std::string out(size, '#');
    va_list args;
    va_start(args, format);
    std::size_t len = FormatDebugPrintEx(out.data(), size, file, line, format, args);
    va_end(args);
    EXPECT_EQ(len, strlen(out.c_str()));
    return out.c_str();
}

TEST(LogDebugPrintExTest, PrefixIsBaseNameLineAndSpace) {
    struct Case {
        const char *file;
        const char *expected;
    } cases[] = {
        {"src/client/TouchMemCltK.cpp", "TouchMemCltK.cpp[12] msg"},
        {"plain.cpp", "plain.cpp[12] msg"},
        {"/abs.cpp", "abs.cpp[12] msg"},
        {"dir/", "[12] msg"},
        {"", "[12] msg"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(FormatEx(kDebugPrintExBufferSize, c.file, 12, "%s", "msg"), c.expected) << c.file;
}

TEST(LogDebugPrintExTest, PrefixAndMessageShareTheBuffer) {
    const std::size_t limit = kDebugPrintExBufferSize - 1;
    struct Case {
        std::size_t nameLength; // prefix is name + "[1] ", 4 more
        std::size_t expectMessage;
    } cases[] = {
        {10, limit - 14},
        {limit - 5, 1},
        {limit - 4, 0},
        {limit + 100, 0},
    };
    std::string message(3000, 'm');
    for (const Case &c : cases) {
        std::string name(c.nameLength, 'n');
        std::string text =
            FormatEx(kDebugPrintExBufferSize, name.c_str(), 1, "%s", message.c_str());
        std::string prefix = (name + "[1] ").substr(0, limit);
        ASSERT_EQ(text.size(), std::min(limit, prefix.size() + c.expectMessage)) << c.nameLength;
        EXPECT_EQ(text.substr(0, prefix.size()), prefix);
        EXPECT_EQ(text.substr(prefix.size()), std::string(c.expectMessage, 'm'));
    }
}

TEST_F(LogTest, PrintIsBoundedByTheLineBuffer) {
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), kPlainFlags, 5, 0), 1);
    log.Print(vorn::kLogInfo, 0, "%s", std::string(40000, 'x').c_str());
    // The line buffer holds space and message together.
    EXPECT_EQ(ReadFile(m_path), " " + std::string(kLogBufferSize - 2, 'x'));
}

TEST_F(LogTest, DebugPrintsAreBoundedByTheirLocalBuffers) {
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), kPlainFlags, 5, 0), 1);
    std::string huge(40000, 'x');
    CaptureFd out(STDOUT_FILENO);
    DebugPrint("%s", huge.c_str());
    DebugPrintEx("dir/f.cpp", 1, "%s", huge.c_str());
    std::string printed = out.Stop();
    std::string first(kDebugPrintBufferSize - 1, 'x');
    std::string second = "f.cpp[1] " + std::string(kDebugPrintExBufferSize - 1 - 9, 'x');
    EXPECT_EQ(printed, first + second);
    EXPECT_EQ(ReadFile(m_path), " " + first + " " + second);
}

// CLog::DebugPrint takes a "%s" text as it is: still cut to the format
// buffer, and a null argument printed as formatting prints it.
TEST_F(LogTest, LoggerDebugPrintOfAFinishedTextIsBoundedLikeFormatting) {
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), kPlainFlags, 5, 0), 1);
    std::string huge(40000, 'z');
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(log.DebugPrint("%s", huge.c_str()), 1);
    const char *volatile none = nullptr;
    EXPECT_EQ(log.DebugPrint("%s", none), 1);
    EXPECT_EQ(log.DebugPrint("%s!", "a"), 1);
    std::string printed = out.Stop();
    char nullText[16];
    snprintf(nullText, sizeof nullText, "%s", none);
    std::string cut(kLogBufferSize - 1, 'z');
    EXPECT_EQ(printed, cut + nullText + "a!");
    EXPECT_EQ(ReadFile(m_path), " " + cut.substr(0, kLogBufferSize - 2) + " " + nullText + " a!");
}

TEST_F(LogTest, DebugPrintExPrefixFillingTheBufferLeavesNoMessage) {
    std::string name(kDebugPrintExBufferSize + 10, 'n');
    CaptureFd out(STDOUT_FILENO);
    DebugPrintEx(name.c_str(), 1, "%s", "message");
    EXPECT_EQ(out.Stop(), name.substr(0, kDebugPrintExBufferSize - 1));
}

TEST_F(LogTest, TimestampCountsAgainstTheLineBuffer) {
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), kClientFlags, 5, 0xff), 1);
    log.Print(vorn::kLogInfo, 0, "%s", std::string(40000, 'y').c_str());
    std::string file = ReadFile(m_path);
    ASSERT_EQ(file.size(), kLogBufferSize - 1);
    EXPECT_EQ(file.substr(24, 1), " ");
    EXPECT_EQ(file.substr(25), std::string(kLogBufferSize - 1 - 25, 'y'));
}

TEST_F(LogTest, NewFileIsCreatedWithMode0600) {
    mode_t old = umask(022);
    CLog log;
    int opened = log.Init(m_path.c_str(), kPlainFlags, 5, 0);
    umask(old);
    ASSERT_EQ(opened, 1);
    struct stat st {};
    ASSERT_EQ(stat(m_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    int fdFlags = fcntl(log.Descriptor(), F_GETFD);
    EXPECT_NE(fdFlags & FD_CLOEXEC, 0);
}

TEST_F(LogTest, ExistingContentIsKeptAndNewLinesFollowIt) {
    logtest::WriteFile(m_path, "old line\n");
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), kPlainFlags, 5, 0), 1);
    log.Print(vorn::kLogInfo, 0, "new line\n");
    EXPECT_EQ(ReadFile(m_path), "old line\n new line\n");
}

// Two loggers on one file stand for two processes sharing the log: each
// line lands after every line already there, none over another.
TEST_F(LogTest, LoggersSharingAFileEachAppendWithoutOverwriting) {
    CLog first;
    CLog second;
    ASSERT_EQ(first.Init(m_path.c_str(), kPlainFlags, 5, 0), 1);
    ASSERT_EQ(second.Init(m_path.c_str(), kPlainFlags, 5, 0), 1);
    first.Print(vorn::kLogInfo, 0, "one\n");
    second.Print(vorn::kLogInfo, 0, "two\n");
    first.Print(vorn::kLogInfo, 0, "three\n");
    EXPECT_EQ(ReadFile(m_path), " one\n two\n three\n");
}

// Only a regular file is a log: a FIFO (which would block the writer once
// full) or a device at the path leaves the logger without a file.
TEST_F(LogTest, FifoOrDeviceAtThePathIsNotUsed) {
    ASSERT_EQ(mkfifo(m_path.c_str(), 0600), 0);
    for (const char *path : {m_path.c_str(), "/dev/null"}) {
        CLog log;
        EXPECT_EQ(log.Init(path, kPlainFlags, 5, 0), 0) << path;
        EXPECT_EQ(log.Descriptor(), 0) << path;
        EXPECT_EQ(log.Print(vorn::kLogInfo, 0, "lost\n"), 0) << path;
    }
    const int reader = open(m_path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    char byte = 0;
    EXPECT_LE(read(reader, &byte, 1), 0) << "a line went into the FIFO";
    close(reader);
}

TEST_F(LogTest, SymbolicLinkAtThePathIsNotFollowed) {
    std::string victim = m_dir.File("victim");
    logtest::WriteFile(victim, "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), m_path.c_str()), 0);
    CLog log;
    EXPECT_EQ(log.Init(m_path.c_str(), kPlainFlags, 5, 0), 0);
    EXPECT_EQ(log.Descriptor(), 0);
    EXPECT_EQ(log.Print(vorn::kLogInfo, 0, "intruder\n"), 0);
    EXPECT_EQ(ReadFile(victim), "precious\n");
    // The dangling variant must not create the target either.
    std::string absent = m_dir.File("absent");
    std::string link2 = m_dir.File("link2");
    ASSERT_EQ(symlink(absent.c_str(), link2.c_str()), 0);
    EXPECT_EQ(log.Init(link2.c_str(), kPlainFlags, 5, 0), 0);
    EXPECT_NE(access(absent.c_str(), F_OK), 0);
}

TEST_F(LogTest, UnopenableFileLeavesNoFileButDebugPrintStillPrints) {
    CLog log;
    EXPECT_EQ(log.Init(m_dir.File("no/such/dir.log").c_str(), kPlainFlags, 5, 0), 0);
    EXPECT_EQ(log.Descriptor(), 0);
    EXPECT_EQ(log.Print(vorn::kLogError, 0, "lost\n"), 0);
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(log.DebugPrint("still here\n"), 1);
    EXPECT_EQ(out.Stop(), "still here\n");
}

TEST_F(LogTest, InitAgainClosesTheOldFile) {
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), kPlainFlags, 5, 0), 1);
    int before = logtest::OpenDescriptorCount();
    std::string other = m_dir.File("other.log");
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(log.Init((i % 2 == 0 ? other : m_path).c_str(), kPlainFlags, 5, 0), 1);
    EXPECT_EQ(logtest::OpenDescriptorCount(), before);
    log.Print(vorn::kLogInfo, 0, "to other\n");
    EXPECT_EQ(ReadFile(m_path), "");
    EXPECT_EQ(ReadFile(other), " to other\n");
}

TEST_F(LogTest, FileOpenedOnDescriptor0IsMovedOffIt) {
    int savedStdin = dup(STDIN_FILENO);
    ASSERT_GE(savedStdin, 0);
    close(STDIN_FILENO);
    CLog log;
    int opened = log.Init(m_path.c_str(), kPlainFlags, 5, 0);
    int fd = log.Descriptor();
    log.Print(vorn::kLogInfo, 0, "written\n");
    dup2(savedStdin, STDIN_FILENO);
    close(savedStdin);
    EXPECT_EQ(opened, 1);
    EXPECT_GT(fd, 0);
    EXPECT_EQ(ReadFile(m_path), " written\n");
}

TEST_F(LogTest, DeinitTwiceChangesNothing) {
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), kPlainFlags, 5, 0), 1);
    int fd = log.Descriptor();
    EXPECT_EQ(log.Deinit(), 1);
    EXPECT_EQ(log.Descriptor(), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(g_currentLogger, nullptr);
    CLog other; // registers itself again
    ASSERT_EQ(g_currentLogger, &other);
    EXPECT_EQ(log.Deinit(), 1);
    EXPECT_EQ(log.Descriptor(), 0);
    // Repeated Deinit still clears the current logger, whichever it is.
    EXPECT_EQ(g_currentLogger, nullptr);
}

TEST_F(LogTest, DeinitialisedLoggerPrintsNothing) {
    CLog log;
    ASSERT_EQ(log.Init(m_path.c_str(), kPlainFlags, 5, 0), 1);
    log.Deinit();
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(log.DebugPrint("gone\n"), 1);
    EXPECT_EQ(log.Print(vorn::kLogError, 0, "gone\n"), 0);
    DebugPrint("to stdout\n"); // no current logger any more
    EXPECT_EQ(out.Stop(), "to stdout\n");
}

TEST_F(LogTest, InitAfterDeinitOpensTheFileButPrintsAndDumpsNothing) {
    CLog log;
    log.Deinit();
    ASSERT_EQ(log.Init(m_path.c_str(), kClientFlags, 5, 0xff), 1);
    EXPECT_NE(log.Descriptor(), 0);
    EXPECT_EQ(g_currentLogger, nullptr);
    unsigned char data[20] = {1, 2, 3};
    CaptureFd out(STDOUT_FILENO);
    CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(log.Print(vorn::kLogError, 0, "x\n"), 0);
    EXPECT_EQ(log.PrintString(vorn::kLogError, 0, "x\n"), 0);
    EXPECT_EQ(log.DebugPrint("x\n"), 1);
    EXPECT_EQ(log.DebugDump("f.cpp", 1, data, sizeof data), 1);
    EXPECT_EQ(log.DebugDump2("f.cpp", 1, data, sizeof data), 1);
    EXPECT_EQ(err.Stop(), "");
    EXPECT_EQ(out.Stop(), "");
    EXPECT_EQ(ReadFile(m_path), "");
}

TEST(LogLevelNameTest, NamesAndUnknownLevels) {
    struct Case {
        unsigned long level;
        const char *name;
    } cases[] = {
        {1, "fatal error"},
        {2, "error"},
        {3, "warning"},
        {4, "info"},
        {5, "debug"},
        {0, "unknown log level(0)"},
        {6, "unknown log level(6)"},
        {0xffffffffUL, "unknown log level(-1)"},
        {0x100000007UL, "unknown log level(7)"},
    };
    for (const Case &c : cases)
        EXPECT_STREQ(CLog::doGetLogLevelString(c.level, 99), c.name) << c.level;
    // One buffer that each call overwrites.
    EXPECT_EQ(CLog::doGetLogLevelString(1, 0), CLog::doGetLogLevelString(2, 0));
}

} // namespace
