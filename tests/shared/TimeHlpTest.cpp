// SPDX-License-Identifier: GPL-2.0-or-later
// Time helpers: texts, records, round trips in several zones, the clock
// readings and the failure paths of SetHwTime that need no device.
// Nothing here sets a clock; those paths run under tmsim (TimeHlpClockTest).

#include "TimeHlp.h"
#include "TimeHlpMath.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <vector>

std::vector<std::string> TakeFakeLog();

namespace {

constexpr time_t kUnbreakable = std::numeric_limits<time_t>::max();

// A zone by its database name, or by an equivalent rule text when the zone
// database is not installed.
struct Zone {
    const char *name;
    const char *rule;
    long standardOffset; // seconds east of UTC outside daylight saving time
};

const Zone kUtc{"UTC", "UTC0", 0};
const Zone kBerlin{"Europe/Berlin", "CET-1CEST,M3.5.0,M10.5.0/3", 3600};
const Zone kNewYork{"America/New_York", "EST5EDT,M3.2.0,M11.1.0", -5L * 3600};

std::string ZoneSpec(const Zone &z) {
    struct stat st {};
    std::string file = std::string("/usr/share/zoneinfo/") + z.name;
    return stat(file.c_str(), &st) == 0 ? z.name : z.rule;
}

// Sets TZ for the life of the object and restores the previous value.
class ZoneScope {
  public:
    explicit ZoneScope(const Zone &z) {
        const char *old = getenv("TZ");
        m_had = old != nullptr;
        if (m_had) {
            m_old = old;
        }
        setenv("TZ", ZoneSpec(z).c_str(), 1);
        tzset();
    }
    ~ZoneScope() {
        if (m_had) {
            setenv("TZ", m_old.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ZoneScope(const ZoneScope &) = delete;
    ZoneScope &operator=(const ZoneScope &) = delete;

  private:
    bool m_had = false;
    std::string m_old;
};

class TimeHlpTest : public testing::Test {
  protected:
    void SetUp() override { TakeFakeLog(); }
};

// Formats through Time_t2StringEx into a buffer with a guard area behind the
// documented room, and checks the guard.
std::string Text(time_t t, long utc) {
    constexpr std::size_t kGuard = 16;
    char buf[vorn::kTimeTextSize + kGuard];
    memset(buf, 0x55, sizeof buf);
    Time_t2StringEx(t, buf, utc);
    for (std::size_t i = vorn::kTimeTextSize; i < sizeof buf; ++i) {
        EXPECT_EQ(buf[i], 0x55) << "byte " << i << " written for " << t;
    }
    return std::string(buf, strnlen(buf, vorn::kTimeTextSize));
}

struct TextCase {
    time_t t;
    const char *text;
};

TEST_F(TimeHlpTest, UtcTexts) {
    const std::vector<TextCase> cases = {
        {0, "00.00.00 01.01 1970"},
        {1700000000, "22.13.20 14.11 2023"},
        {-1, "23.59.59 31.12 1969"},
        {951782400, "00.00.00 29.02 2000"},
        {253402300799, "23.59.59 31.12 9999"},
        // Five-digit years do not fit the text's room.
        {253402300800, "invalid time"},
        {kUnbreakable, "invalid time"},
        {std::numeric_limits<time_t>::min(), "invalid time"},
    };
    ZoneScope zone(kBerlin); // the UTC flag ignores the zone
    for (const TextCase &c : cases) {
        EXPECT_EQ(Text(c.t, 1), c.text) << c.t;
    }
}

struct ZoneTextCase {
    const Zone *zone;
    time_t t;
    const char *text;
};

TEST_F(TimeHlpTest, LocalTexts) {
    const std::vector<ZoneTextCase> cases = {
        {&kUtc, 1700000000, "22.13.20 14.11 2023"},
        {&kBerlin, 1700000000, "23.13.20 14.11 2023"},
        {&kBerlin, 1690000000, "06.26.40 22.07 2023"},
        {&kNewYork, 1700000000, "17.13.20 14.11 2023"},
        {&kNewYork, 1690000000, "00.26.40 22.07 2023"},
        {&kNewYork, kUnbreakable, "invalid time"},
    };
    for (const ZoneTextCase &c : cases) {
        ZoneScope zone(*c.zone);
        EXPECT_EQ(Text(c.t, 0), c.text) << c.zone->name << " " << c.t;
        char buf[vorn::kTimeTextSize];
        Time_t2String(c.t, buf);
        EXPECT_STREQ(buf, c.text) << c.zone->name << " " << c.t;
    }
}

TEST_F(TimeHlpTest, LocalTextFollowsTzChangedSinceLastCall) {
    // Like localtime, the text follows TZ even when nobody called tzset.
    ZoneScope zone(kUtc);
    setenv("TZ", ZoneSpec(kNewYork).c_str(), 1);
    char buf[vorn::kTimeTextSize];
    Time_t2String(1700000000, buf);
    EXPECT_STREQ(buf, "17.13.20 14.11 2023");
}

struct RecordCase {
    time_t t;
    SystemTime st; // milliseconds as the helper must leave them
};

TEST_F(TimeHlpTest, RecordFromUtcHasRealWeekdayAndKeepsMilliseconds) {
    const std::vector<RecordCase> cases = {
        {0, {1970, 1, 4, 1, 0, 0, 0, 777}},
        {1700000000, {2023, 11, 2, 14, 22, 13, 20, 777}},
        {951782400, {2000, 2, 2, 29, 0, 0, 0, 777}},
        {1699747200, {2023, 11, 0, 12, 0, 0, 0, 777}}, // a Sunday
        {1700265600, {2023, 11, 6, 18, 0, 0, 0, 777}}, // a Saturday
        {-1, {1969, 12, 3, 31, 23, 59, 59, 777}},
    };
    ZoneScope zone(kNewYork);
    for (const RecordCase &c : cases) {
        SystemTime st{};
        st.milliseconds = 777;
        ASSERT_EQ(time_t2SystemTimeEx(c.t, &st, 1), 1) << c.t;
        EXPECT_EQ(memcmp(&st, &c.st, sizeof st), 0) << c.t;
    }
}

TEST_F(TimeHlpTest, RecordFromLocalTime) {
    ZoneScope zone(kBerlin);
    SystemTime st{};
    st.milliseconds = 5;
    ASSERT_EQ(time_t2SystemTime(1690000000, &st), 1);
    const SystemTime expected{2023, 7, 6, 22, 6, 26, 40, 5};
    EXPECT_EQ(memcmp(&st, &expected, sizeof st), 0);
}

TEST_F(TimeHlpTest, UnbreakableTimeLeavesRecordUntouched) {
    for (long utc : {0L, 1L}) {
        SystemTime st{};
        memset(&st, 0xA5, sizeof st);
        SystemTime before = st;
        EXPECT_EQ(time_t2SystemTimeEx(kUnbreakable, &st, utc), 0) << utc;
        EXPECT_EQ(memcmp(&st, &before, sizeof st), 0) << utc;
    }
    SystemTime st{};
    EXPECT_EQ(time_t2SystemTime(kUnbreakable, &st), 0);
}

TEST_F(TimeHlpTest, LocalRoundTripsInSeveralZones) {
    // Winter and summer dates, and the seconds next to both changes of 2023
    // in Europe (26 March, 29 October at 01:00 UTC) and in the US (12 March at
    // 07:00 UTC, 5 November at 06:00 UTC). The hour that a change back to
    // standard time repeats is left out: a record cannot tell its two
    // occurrences apart.
    constexpr time_t kEuSpring = 1679792400, kEuAutumn = 1698541200;
    constexpr time_t kUsSpring = 1678604400, kUsAutumn = 1699164000;
    const std::vector<time_t> times = {0,
                                       951782400,
                                       1690000000,
                                       1700000000,
                                       kEuSpring - 1,
                                       kEuSpring,
                                       kEuAutumn - 3601,
                                       kEuAutumn + 3600,
                                       kUsSpring - 1,
                                       kUsSpring,
                                       kUsAutumn - 3601,
                                       kUsAutumn + 3600};
    for (const Zone *z : {&kUtc, &kBerlin, &kNewYork}) {
        ZoneScope zone(*z);
        for (time_t t : times) {
            SystemTime st{};
            ASSERT_EQ(time_t2SystemTime(t, &st), 1);
            EXPECT_EQ(SystemTime2time_t(&st), t) << z->name << " " << t;
        }
    }
    EXPECT_TRUE(TakeFakeLog().empty()); // SystemTime2time_t logs nothing
}

TEST_F(TimeHlpTest, UtcRecordReadBackLocallyIsOffByStandardOffset) {
    for (const Zone *z : {&kUtc, &kBerlin, &kNewYork}) {
        ZoneScope zone(*z);
        SystemTime st{};
        ASSERT_EQ(time_t2SystemTimeEx(1700000000, &st, 1), 1); // November: no DST
        EXPECT_EQ(SystemTime2time_t(&st), 1700000000 - z->standardOffset) << z->name;
        EXPECT_EQ(SystemTime2time_tEx(&st, 0), 1700000000 - z->standardOffset) << z->name;
        // Read as UTC, the record gives back the time in every zone.
        EXPECT_EQ(SystemTime2time_tEx(&st, 1), 1700000000) << z->name;
    }
}

TEST_F(TimeHlpTest, SystemTime2time_tExLogsUtcTextOfResult) {
    ZoneScope zone(kBerlin);
    SystemTime st{2023, 7, 0, 22, 6, 26, 40, 0};
    EXPECT_EQ(SystemTime2time_tEx(&st, 0), 1690000000);
    SystemTime utc{2023, 11, 0, 14, 22, 13, 20, 0};
    EXPECT_EQ(SystemTime2time_tEx(&utc, 1), 1700000000);
    EXPECT_EQ(SystemTime2time_tEx(nullptr, 0), -1);
    const std::vector<std::string> expected = {
        "../shared/TimeHlp[124] new time 04.26.40 22.07 2023\n",
        "../shared/TimeHlp[124] new time 22.13.20 14.11 2023\n",
        "../shared/TimeHlp[124] new time 23.59.59 31.12 1969\n",
    };
    EXPECT_EQ(TakeFakeLog(), expected);
}

TEST_F(TimeHlpTest, MonthZeroIsDecemberOfYearBefore) {
    ZoneScope zone(kUtc);
    SystemTime st{2024, 0, 0, 15, 12, 0, 0, 0};
    EXPECT_EQ(SystemTime2time_t(&st), 1702641600); // 15.12.2023 12:00:00 UTC
    EXPECT_EQ(SystemTime2time_tEx(&st, 1), 1702641600);
    // Out-of-range fields are normalised the same way: 32 January is 1 February.
    SystemTime overflow{2024, 1, 0, 32, 0, 0, 0, 0};
    EXPECT_EQ(SystemTime2time_tEx(&overflow, 1), 1704067200 + 31 * 86400);
}

struct MsCase {
    time_t sec;
    suseconds_t usec;
    uint64_t ms;
};

TEST(TimevalToMS, MultipliesAndTruncates) {
    const std::vector<MsCase> cases = {
        {12, 345678, 12345},
        {0, 0, 0},
        {0, 999, 0},
        {0, 1000, 1},
        {0, 999999, 999},
        {1700000000, 1500, 1700000000001},
        {4102444800, 999999, 4102444800999}, // past 2^32 seconds of milliseconds
    };
    for (const MsCase &c : cases) {
        timeval tv{};
        tv.tv_sec = c.sec;
        tv.tv_usec = c.usec;
        EXPECT_EQ(TimevalToMS(tv), c.ms) << c.sec << "." << c.usec;
    }
}

TEST(ClockReadings, FollowTheWallClockInEveryZone) {
    for (const Zone *z : {&kUtc, &kNewYork}) {
        ZoneScope zone(*z);
        timeval before{}, after{};
        gettimeofday(&before, nullptr);
        uint64_t ms = GetCurTimeMS();
        time_t sec = GetLocalTime_t();
        gettimeofday(&after, nullptr);
        EXPECT_LE(TimevalToMS(before), ms) << z->name;
        EXPECT_LE(ms, TimevalToMS(after)) << z->name;
        EXPECT_LE(before.tv_sec, sec) << z->name;
        EXPECT_LE(sec, after.tv_sec) << z->name;
    }
}

TEST_F(TimeHlpTest, SetHwTimeWithUnbreakableTime) {
    EXPECT_EQ(SetHwTime(kUnbreakable), 0);
    EXPECT_EQ(TakeFakeLog(), std::vector<std::string>{"../shared/TimeHlp[87] gm time failed\n"});
}

TEST_F(TimeHlpTest, SetHwTimeWithoutRtcDevice) {
    struct stat st {};
    if (stat("/dev/rtc0", &st) == 0) {
        // Calling it here would set this machine's hardware clock.
        GTEST_SKIP() << "/dev/rtc0 exists; the missing-device path runs under tmsim";
    }
    EXPECT_EQ(SetHwTime(1700000000), 0);
    EXPECT_EQ(TakeFakeLog(),
              std::vector<std::string>{
                  "../shared/TimeHlp[93] rtc open failed [No such file or directory]\n"});
}

} // namespace
