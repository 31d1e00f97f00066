#pragma once
// The client log: the library's one CLog, constructed when libvorn is loaded
// (registering itself as the current logger) and destroyed at unload.

#include "Log.h"

// Where the client log writes and with which settings: timestamps, level
// and mask taken from the arguments, no fsync.
constexpr const char *kClientLogPath = "/tmp/tmdrv.log";
constexpr unsigned long kClientLogFlags = 0x301;
constexpr unsigned long kClientLogLevel = 5;
constexpr unsigned long kClientLogMask = 0xFF;

// Not exported: programs reach it only through CTouchMemClt and the
// current-logger registration.
extern CLog g_clientLog __attribute__((visibility("hidden")));
