// SPDX-License-Identifier: LGPL-2.1-or-later
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

// The client log is one per process and shared by every CTouchMemClt, in
// whichever threads they run. Both calls are serialised with each other.
//
// One more client holds the log: the first of the process starts it (the
// fixed path and settings above); later ones find it started.
void AcquireClientLog() __attribute__((visibility("hidden")));
// A client that held the log (held) lets go of it: logs "libvorn closed"
// and, when it was the last, shuts the log down. A client that held nothing
// does the same only when no client holds the log (so a lone client behaves
// alike whether or not it was ever initialised), and nothing otherwise.
// Not for a signal handler that may interrupt Init or Deinit.
void ReleaseClientLog(bool held) __attribute__((visibility("hidden")));
