// SPDX-License-Identifier: GPL-2.0-or-later
// The stand-in's trace, parsed: one record per device call, in call order.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "SimDir.h"

namespace vorn_test {

struct TraceRecord {
    unsigned long long t = 0; // microseconds, CLOCK_MONOTONIC
    std::string call;         // open, ioctl, lseek, read, write, pread, pwrite, close,
                              // settimeofday, clock_settime, rtc_open, rtc_set_time, ...
    std::string path;         // open
    unsigned long flags = 0;  // open
    unsigned long req = 0;    // ioctl
    long long off = -1;       // lseek, pread, pwrite
    int whence = -1;          // lseek
    long long size = -1;      // read, write, pread, pwrite
    long long result = 0;
    int err = 0;                               // errno, 0 on success
    std::map<std::string, std::string> fields; // every field as written

    bool Has(const std::string &name) const { return fields.count(name) != 0; }
    // A field's text, "" when absent.
    std::string Field(const std::string &name) const;
    // The line without its time, a non-negative open result shown as "fd":
    // "ioctl req=0x414c544a result=0 errno=0", "open path=... result=fd errno=0".
    std::string Summary() const;
};

// Parses one trace line. false when it is not "key=value" words with a call.
bool ParseTraceLine(const std::string &line, TraceRecord &rec);

// The records of a trace file; lines that do not parse are skipped.
std::vector<TraceRecord> TraceLinesFrom(const std::string &path);
// The records of STATE/trace.
std::vector<TraceRecord> TraceLines(const SimDir &dir);
// Summary() of each record.
std::vector<std::string> TraceSummaries(const std::vector<TraceRecord> &records);

// Waits until STATE/trace shows a finished ioctl with request @req (a
// program that got that far, e.g. one that made its event descriptor);
// false when none came within @timeout. Waiting for a program's own step
// instead of a fixed time keeps a slow start (a loaded machine, the
// sanitizer build) from racing the test.
bool WaitForIoctl(const SimDir &dir, unsigned long req, std::chrono::milliseconds timeout);

// The request that makes a line's event descriptor, _IO(0xD7, 0x01): once
// a watcher's trace shows it, the watcher sees every change after it.
constexpr unsigned long kEventFdRequest = 0xd701;
// How long a watcher may take to get there (the sanitizer build on a busy
// machine starts slowly).
constexpr std::chrono::milliseconds kWatcherStartTimeout{10000};

} // namespace vorn_test
