// SPDX-License-Identifier: LGPL-2.1-or-later
// Time helpers: seconds, SystemTime records and the short time text, the
// clock in seconds and milliseconds, and setting the system and RTC clocks.
//
// The helpers call one another only through their exported names, so in
// libvorn a program's own copies of them are the ones used.

#include "TimeHlp.h"
#include "TimeHlpMath.h"

#include "Log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/rtc.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Diagnostics name this source and fixed line numbers, which the log shows as
// "TimeHlp[<line>]" whatever the layout of this file.
constexpr const char *kLogSource = "../shared/TimeHlp";
constexpr int kLineGmTimeFailed = 87;
constexpr int kLineRtcOpenFailed = 93;
constexpr int kLineRtcSetFailed = 98;
constexpr int kLineNewTime = 124;

constexpr const char *kRtcDevice = "/dev/rtc0";
constexpr const char *kInvalidTimeText = "invalid time";

constexpr int kTmYearBase = 1900;
constexpr uint64_t kMsPerSecond = 1000;
constexpr uint64_t kUsPerMs = 1000;

// The request writes nine 32-bit fields, the first nine of struct tm.
static_assert(RTC_SET_TIME == 0x4024700A, "RTC_SET_TIME request number");
static_assert(sizeof(struct rtc_time) == 36, "rtc_time record layout");

// Breaks t down into *out, in UTC or in local time; false when it cannot.
// Like localtime, the local path follows a TZ changed since the last call.
bool BreakDown(time_t t, long utc, struct tm *out) {
    if (utc != 0) {
        return gmtime_r(&t, out) != nullptr;
    }
    tzset();
    return localtime_r(&t, out) != nullptr;
}

// The broken-down time a record stands for, daylight saving left open.
struct tm RecordToTm(const SystemTime &st) {
    struct tm tmv {};
    tmv.tm_sec = st.second;
    tmv.tm_min = st.minute;
    tmv.tm_hour = st.hour;
    tmv.tm_mday = st.day;
    tmv.tm_mon = st.month - 1;
    tmv.tm_year = st.year - kTmYearBase;
    tmv.tm_isdst = -1;
    return tmv;
}

} // namespace

void Time_t2StringEx(time_t t, char *text, long utc) {
    if (text == nullptr) {
        return;
    }
    struct tm tmv {};
    if (!BreakDown(t, utc, &tmv)) {
        snprintf(text, vorn::kTimeTextSize, "%s", kInvalidTimeText);
        return;
    }
    int len =
        snprintf(text, vorn::kTimeTextSize, "%02d.%02d.%02d %02d.%02d %d", tmv.tm_hour, tmv.tm_min,
                 tmv.tm_sec, tmv.tm_mday, tmv.tm_mon + 1, tmv.tm_year + kTmYearBase);
    if (len < 0 || static_cast<std::size_t>(len) >= vorn::kTimeTextSize) {
        // A cut text would show a wrong year.
        snprintf(text, vorn::kTimeTextSize, "%s", kInvalidTimeText);
    }
}

void Time_t2String(time_t t, char *text) {
    Time_t2StringEx(t, text, 0);
}

time_t GetLocalTime_t() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return tv.tv_sec;
}

int SetLocalTime_t(time_t t) {
    timeval tv{};
    tv.tv_sec = t;
    tv.tv_usec = 0;
    return settimeofday(&tv, nullptr) == 0 ? 1 : 0;
}

int SetHwTime(time_t t) {
    struct tm tmv {};
    if (gmtime_r(&t, &tmv) == nullptr) {
        DebugPrintEx(kLogSource, kLineGmTimeFailed, "gm time failed\n");
        return 0;
    }
    tmv.tm_isdst = 0;

    int fd = open(kRtcDevice, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        int saved = errno;
        DebugPrintEx(kLogSource, kLineRtcOpenFailed, "rtc open failed [%s]\n", strerror(saved));
        return 0;
    }

    struct rtc_time rtc {};
    rtc.tm_sec = tmv.tm_sec;
    rtc.tm_min = tmv.tm_min;
    rtc.tm_hour = tmv.tm_hour;
    rtc.tm_mday = tmv.tm_mday;
    rtc.tm_mon = tmv.tm_mon;
    rtc.tm_year = tmv.tm_year;
    rtc.tm_wday = tmv.tm_wday;
    rtc.tm_yday = tmv.tm_yday;
    rtc.tm_isdst = tmv.tm_isdst;

    int result = 1;
    if (ioctl(fd, RTC_SET_TIME, &rtc) < 0) {
        int saved = errno;
        DebugPrintEx(kLogSource, kLineRtcSetFailed, "RTC_SET_TIME failed %s\n", strerror(saved));
        result = 0;
    }
    close(fd);
    return result;
}

time_t SystemTime2time_tEx(SystemTime *st, long utc) {
    time_t t = -1;
    if (st != nullptr) {
        if (utc != 0) {
            struct tm tmv = RecordToTm(*st);
            t = timegm(&tmv);
        } else {
            t = SystemTime2time_t(st);
        }
    }
    char text[vorn::kTimeTextSize];
    Time_t2StringEx(t, text, 1);
    DebugPrintEx(kLogSource, kLineNewTime, "new time %s\n", text);
    return t;
}

time_t SystemTime2time_t(SystemTime *st) {
    if (st == nullptr) {
        return -1;
    }
    struct tm tmv = RecordToTm(*st);
    return mktime(&tmv);
}

int time_t2SystemTimeEx(time_t t, SystemTime *st, long utc) {
    struct tm tmv {};
    if (st == nullptr || !BreakDown(t, utc, &tmv)) {
        return 0;
    }
    st->dayOfWeek = static_cast<uint16_t>(tmv.tm_wday);
    st->second = static_cast<uint16_t>(tmv.tm_sec);
    st->minute = static_cast<uint16_t>(tmv.tm_min);
    st->hour = static_cast<uint16_t>(tmv.tm_hour);
    st->day = static_cast<uint16_t>(tmv.tm_mday);
    st->month = static_cast<uint16_t>(tmv.tm_mon + 1);
    st->year = static_cast<uint16_t>(tmv.tm_year + kTmYearBase);
    return 1;
}

int time_t2SystemTime(time_t t, SystemTime *st) {
    return time_t2SystemTimeEx(t, st, 0);
}

uint64_t GetCurTimeMS() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return TimevalToMS(tv);
}

uint64_t TimevalToMS(const timeval &tv) {
    return static_cast<uint64_t>(tv.tv_sec) * kMsPerSecond +
           static_cast<uint64_t>(tv.tv_usec) / kUsPerMs;
}
