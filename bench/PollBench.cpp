// SPDX-License-Identifier: GPL-2.0-or-later
// The polling path of "tmtool /pool" under the driver stand-in, measured
// from outside as a user of the watch sees it:
//   - passes per second (device opens in the stand-in's trace over the run);
//   - the time from a key attached to its "rom id" line arriving through a
//     pipe, median and 99th percentile: measured from the start of
//     "tmsim ctl attach" (an upper bound: it includes that command's own
//     run time, which is reported beside it) and from its end (a lower
//     bound: the watch may see the change before ctl has exited);
//   - the time from SIGINT to the process's exit.
// A plain program rather than a Google Benchmark: each figure needs one
// long-running watch, not repeated calls.

#include "TestSupport.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <vector>

using namespace vorn_test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kAttachRounds = 100;
constexpr const char *kRom = "010203040506070f";
constexpr const char *kRomLine = "rom id 01 02 03 04 05 06 07 0f";

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto last = static_cast<double>(v.size() - 1);
    const auto i = std::min(v.size() - 1, static_cast<size_t>(std::lround(p * last)));
    return v[i];
}

size_t DeviceOpens(const std::vector<TraceRecord> &trace, unsigned long long *first,
                   unsigned long long *last) {
    size_t n = 0;
    for (const TraceRecord &rec : trace) {
        if (rec.call != "open" || rec.path != "/dev/touchm0")
            continue;
        if (n == 0)
            *first = rec.t;
        *last = rec.t;
        ++n;
    }
    return n;
}

} // namespace

int main() {
    SimDir dir;
    Spawned watch;
    if (!watch.Start(dir, Key().Rom(kRom), {"tmtool", "/pool"})) {
        fprintf(stderr, "poll bench: cannot start tmtool under tmsim\n");
        return 1;
    }
    if (!watch.WaitForLine(kRomLine, 10s)) {
        fprintf(stderr, "poll bench: the key was never reported\n");
        return 1;
    }

    std::vector<double> fromStart, fromEnd, ctlTimes;
    for (int round = 0; round < kAttachRounds; ++round) {
        if (Ctl(dir, {"remove"}).status != 0 || !watch.WaitForLine("no slave", 5s)) {
            fprintf(stderr, "poll bench: removal not seen in round %d\n", round);
            return 1;
        }
        const Clock::time_point ctlStart = Clock::now();
        if (Ctl(dir, {"attach", "--rom", kRom}).status != 0) {
            fprintf(stderr, "poll bench: attach failed in round %d\n", round);
            return 1;
        }
        const Clock::time_point ctlEnd = Clock::now();
        if (!watch.WaitForLine(kRomLine, 5s)) {
            fprintf(stderr, "poll bench: attach not seen in round %d\n", round);
            return 1;
        }
        const Clock::time_point arrived = Clock::now();
        fromStart.push_back(Micros(arrived - ctlStart));
        fromEnd.push_back(Micros(arrived - ctlEnd));
        ctlTimes.push_back(Micros(ctlEnd - ctlStart));
    }

    const Clock::time_point signalled = Clock::now();
    watch.Signal(SIGINT);
    const RunResult r = watch.Wait(10s);
    const double exitMicros = Micros(Clock::now() - signalled);

    unsigned long long first = 0, last = 0;
    const size_t opens = DeviceOpens(TraceLines(dir), &first, &last);
    const double seconds = last > first ? static_cast<double>(last - first) / 1e6 : 0;

    printf("polling path under tmsim (trace on)\n");
    printf("  passes per second            %10.0f  (%zu passes in %.2f s)\n",
           seconds > 0 ? static_cast<double>(opens - 1) / seconds : 0.0, opens, seconds);
    printf("  attach to \"rom id\" line, us (%d rounds)\n", kAttachRounds);
    printf("    from ctl start (upper bound)  median %8.0f   p99 %8.0f\n",
           Percentile(fromStart, 0.5), Percentile(fromStart, 0.99));
    printf("    from ctl end (lower bound)    median %8.0f   p99 %8.0f\n", Percentile(fromEnd, 0.5),
           Percentile(fromEnd, 0.99));
    printf("    ctl's own run time            median %8.0f\n", Percentile(ctlTimes, 0.5));
    printf("  SIGINT to exit, us           %10.0f  (status %d)\n", exitMicros, r.status);
    return r.status == 0 ? 0 : 1;
}
