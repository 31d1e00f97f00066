// SPDX-License-Identifier: GPL-2.0-or-later
// The ratio table that closes a benchmark run.

#include "RatioTable.h"

#include <cstdio>

namespace {

std::vector<RatioPair> &Pairs() {
    static std::vector<RatioPair> pairs;
    return pairs;
}

// Nanoseconds per iteration, whatever unit the benchmark reports in.
double ToNs(double value, benchmark::TimeUnit unit) {
    switch (unit) {
    case benchmark::kSecond:
        return value * 1e9;
    case benchmark::kMillisecond:
        return value * 1e6;
    case benchmark::kMicrosecond:
        return value * 1e3;
    case benchmark::kNanosecond:
        break;
    }
    return value;
}

// A time in the unit that keeps it readable.
void FormatTime(char *out, std::size_t size, double ns) {
    if (ns >= 1e6)
        snprintf(out, size, "%.2f ms", ns / 1e6);
    else if (ns >= 1e3)
        snprintf(out, size, "%.2f us", ns / 1e3);
    else
        snprintf(out, size, "%.1f ns", ns);
}

void PrintCounters(const char *name, const std::map<std::string, double> &counters) {
    for (const auto &c : counters)
        printf("    %-42s %s = %.3g\n", name, c.first.c_str(), c.second);
}

} // namespace

int RegisterRatio(const RatioPair &pair) {
    Pairs().push_back(pair);
    return 0;
}

void CRatioReporter::ReportRuns(const std::vector<Run> &runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
        if (run.error_occurred)
            continue;
        // With repetitions the median stands for the benchmark; without,
        // its one run does.
        const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
        if (run.run_type != Run::RT_Iteration && !median)
            continue;
        const std::string name = run.run_name.str();
        const auto known = m_results.find(name);
        if (!median && known != m_results.end() && known->second.median)
            continue;
        Result result;
        // Wall time where the benchmark asks for it (whole processes, whose
        // waiting is the point); otherwise CPU time (user and system) of
        // the process, which other load on the machine disturbs less.
        const bool wall = run.run_name.time_type == "real_time";
        result.ns =
            ToNs(wall ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime(), run.time_unit);
        result.wall = wall;
        result.median = median;
        for (const auto &c : run.counters)
            result.counters[c.first] = c.second.value;
        m_results[name] = result;
    }
}

int CRatioReporter::PrintTable() const {
    int over = 0;
    printf("\n%-42s %5s %12s %12s %8s %8s  %s\n", "benchmark", "clock", "time", "baseline", "ratio",
           "target", "verdict");
    for (const RatioPair &pair : Pairs()) {
        const auto cand = m_results.find(pair.candidate);
        const auto base = m_results.find(pair.baseline);
        if (cand == m_results.end() || base == m_results.end())
            continue; // filtered out or failed in this run
        char candText[32];
        char baseText[32];
        FormatTime(candText, sizeof candText, cand->second.ns);
        FormatTime(baseText, sizeof baseText, base->second.ns);
        const double ratio = cand->second.ns / base->second.ns;
        char targetText[16] = "-";
        const char *verdict = "-";
        if (pair.target > 0) {
            snprintf(targetText, sizeof targetText, "%.2f", pair.target);
            verdict = ratio <= pair.target ? "ok" : "OVER";
            if (ratio > pair.target)
                ++over;
        }
        printf("%-42s %5s %12s %12s %8.2f %8s  %s\n", pair.candidate,
               cand->second.wall ? "wall" : "cpu", candText, baseText, ratio, targetText, verdict);
        printf("    %s (baseline %s)\n", pair.what, pair.baseline);
        if (pair.bytes > 0) {
            // CPU time per byte times the clock rate the library measured.
            const double ghz = benchmark::CPUInfo::Get().cycles_per_second / 1e9;
            const double bytes = static_cast<double>(pair.bytes);
            printf("    %-42s cycles/B = %.1f\n", pair.candidate, cand->second.ns * ghz / bytes);
            printf("    %-42s cycles/B = %.1f\n", pair.baseline, base->second.ns * ghz / bytes);
        }
        PrintCounters(pair.candidate, cand->second.counters);
        PrintCounters(pair.baseline, base->second.counters);
    }
    return over;
}
