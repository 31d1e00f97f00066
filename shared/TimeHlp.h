// SPDX-License-Identifier: LGPL-2.1-or-later
#pragma once
// Time helpers: conversions between seconds, SystemTime records and text,
// the clock in seconds and milliseconds, setting the system and RTC clocks.

#include "VornApi.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

struct SystemTime {
    uint16_t year;
    uint16_t month;
    uint16_t dayOfWeek;
    uint16_t day;
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};

namespace vorn {
// Room for the time text "hh.mm.ss dd.mm yyyy" and its NUL (four-digit years).
constexpr std::size_t kTimeTextSize = 20;
} // namespace vorn

// "%02d.%02d.%02d %02d.%02d %d" (hour, minute, second, day, month, year), or
// "invalid time"; utc non-zero breaks the time down in UTC. text needs
// vorn::kTimeTextSize bytes and never gets more: a time whose text would not fit
// (a year past 9999 or before -999) gives "invalid time" as well.
VORN_API void Time_t2StringEx(time_t t, char *text, long utc);
VORN_API void Time_t2String(time_t t, char *text);
VORN_API time_t GetLocalTime_t();
// 1 when the system clock was set, else 0.
VORN_API int SetLocalTime_t(time_t t);
// 1 when /dev/rtc0 took the time (in UTC), else 0 with a log line.
VORN_API int SetHwTime(time_t t);
// Reads the record as local time (daylight saving decided by the platform),
// or as UTC when utc is non-zero; logs "new time %s\n".
VORN_API time_t SystemTime2time_tEx(SystemTime *st, long utc);
VORN_API time_t SystemTime2time_t(SystemTime *st);
// 1 on success (the real day of the week stored), 0 with the record untouched.
VORN_API int time_t2SystemTimeEx(time_t t, SystemTime *st, long utc);
VORN_API int time_t2SystemTime(time_t t, SystemTime *st);
// Wall-clock milliseconds since the epoch.
VORN_API uint64_t GetCurTimeMS();
