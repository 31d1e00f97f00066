// SPDX-License-Identifier: GPL-2.0-or-later
// A log line through CLog::Print and through DebugPrint, against a bare
// write(2) of the same bytes to the same destinations. The logger formats
// into buffers it allocated once, so its loop must make no allocation.
//
// Both sides write into one file in a scratch directory, opened for
// appending as the logger opens its own. The baseline's bytes are the very
// line the logger wrote for the first message (its timestamp included), so
// the ratio is the logger's whole cost (timestamp, formatting, lock) over
// the system call that it cannot avoid.

#include "AllocCounter.h"
#include "LogFormat.h"
#include "BenchUtil.h"
#include "RatioTable.h"

#include "Log.h"

#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

constexpr unsigned long kLogFlags =
    vorn::kLogFlagTimestamp | vorn::kLogFlagTakeLevel | vorn::kLogFlagTakeMask;
constexpr unsigned long kAllSubsystems = 0xFF;
constexpr unsigned long kMsgMask = 0x01;
constexpr unsigned kMsgOffset = 64;
constexpr unsigned kMsgSize = 512;
#define BENCH_MSG_FORMAT "read from %u %u bytes\n"

void ReportAllocs(benchmark::State &state, uint64_t before) {
    const uint64_t allocs = AllocCount() - before;
    state.counters["allocs/msg"] =
        static_cast<double>(allocs) / static_cast<double>(state.iterations());
}

void BaselineLoop(benchmark::State &state, int fd, const std::string &bytes, int extraFd,
                  const std::string &extraBytes) {
    const uint64_t before = AllocCount();
    for (auto _ : state) {
        if (extraFd >= 0)
            benchmark::DoNotOptimize(write(extraFd, extraBytes.data(), extraBytes.size()));
        benchmark::DoNotOptimize(write(fd, bytes.data(), bytes.size()));
    }
    ReportAllocs(state, before);
}

// The line the logger writes for one message: its first message into an
// empty file.
std::string LoggedLine(const std::string &path) {
    return LastLine(ReadFile(path));
}

void BM_LogPrint(benchmark::State &state) {
    CScratchDir dir;
    const std::string path = dir.File("bench.log");
    CLog log;
    log.Init(path.c_str(), kLogFlags, vorn::kLogDebug, kAllSubsystems);
    const uint64_t before = AllocCount();
    for (auto _ : state)
        log.Print(vorn::kLogInfo, kMsgMask, BENCH_MSG_FORMAT, kMsgOffset, kMsgSize);
    ReportAllocs(state, before);
    log.Deinit();
}
BENCHMARK(BM_LogPrint);

void BM_LogPrint_write(benchmark::State &state) {
    CScratchDir dir;
    const std::string path = dir.File("bench.log");
    std::string line;
    {
        CLog log;
        log.Init(path.c_str(), kLogFlags, vorn::kLogDebug, kAllSubsystems);
        log.Print(vorn::kLogInfo, kMsgMask, BENCH_MSG_FORMAT, kMsgOffset, kMsgSize);
        log.Deinit();
        line = LoggedLine(path);
    }
    if (line.empty()) {
        state.SkipWithError("the logger wrote no line");
        return;
    }
    const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    BaselineLoop(state, fd, line, -1, "");
    close(fd);
}
BENCHMARK(BM_LogPrint_write);

// DebugPrint at level 5: the text to standard output (here /dev/null) and
// the time-stamped line to the current logger's file.
void BM_DebugPrint(benchmark::State &state) {
    CScratchDir dir;
    const std::string path = dir.File("bench.log");
    CLog log; // the current logger: nothing else registers one here
    log.Init(path.c_str(), kLogFlags, vorn::kLogDebug, kAllSubsystems);
    if (g_currentLogger != &log) {
        state.SkipWithError("another logger is registered");
        return;
    }
    CMuteFd mute(STDOUT_FILENO);
    const uint64_t before = AllocCount();
    for (auto _ : state)
        DebugPrint(BENCH_MSG_FORMAT, kMsgOffset, kMsgSize);
    ReportAllocs(state, before);
    log.Deinit();
}
BENCHMARK(BM_DebugPrint);

void BM_DebugPrint_write(benchmark::State &state) {
    CScratchDir dir;
    const std::string path = dir.File("bench.log");
    std::string line;
    {
        CLog log;
        log.Init(path.c_str(), kLogFlags, vorn::kLogDebug, kAllSubsystems);
        CMuteFd mute(STDOUT_FILENO);
        DebugPrint(BENCH_MSG_FORMAT, kMsgOffset, kMsgSize);
        log.Deinit();
        line = LoggedLine(path);
    }
    if (line.empty()) {
        state.SkipWithError("DebugPrint wrote no line");
        return;
    }
    char text[kDebugPrintBufferSize];
    snprintf(text, sizeof text, BENCH_MSG_FORMAT, kMsgOffset, kMsgSize);
    const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    CMuteFd mute(STDOUT_FILENO);
    BaselineLoop(state, fd, line, STDOUT_FILENO, text);
    close(fd);
}
BENCHMARK(BM_DebugPrint_write);

const int kRegistered =
    RegisterRatio({"BM_LogPrint", "BM_LogPrint_write", 1.3, 0,
                   "CLog::Print of one line vs write(2) of the same bytes to the same file"}) +
    RegisterRatio({"BM_DebugPrint", "BM_DebugPrint_write", 1.3, 0,
                   "DebugPrint (stdout + log file) vs write(2) of the same bytes to both"});

} // namespace
