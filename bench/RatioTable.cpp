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
        printf("    %-34s %s = %.3g\n", name, c.first.c_str(), c.second);
}

} // namespace

int RegisterRatio(const RatioPair &pair) {
    Pairs().push_back(pair);
    return 0;
}

void CRatioReporter::ReportRuns(const std::vector<Run> &runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
        if (run.error_occurred || run.run_type != Run::RT_Iteration)
            continue;
        Result result;
        result.realNs = ToNs(run.GetAdjustedRealTime(), run.time_unit);
        for (const auto &c : run.counters)
            result.counters[c.first] = c.second.value;
        m_results[run.benchmark_name()] = result;
    }
}

int CRatioReporter::PrintTable() const {
    int over = 0;
    printf("\n%-34s %12s %12s %8s %8s  %s\n", "benchmark", "time", "baseline", "ratio", "target",
           "verdict");
    for (const RatioPair &pair : Pairs()) {
        const auto cand = m_results.find(pair.candidate);
        const auto base = m_results.find(pair.baseline);
        if (cand == m_results.end() || base == m_results.end())
            continue; // filtered out or failed in this run
        char candText[32];
        char baseText[32];
        FormatTime(candText, sizeof candText, cand->second.realNs);
        FormatTime(baseText, sizeof baseText, base->second.realNs);
        const double ratio = cand->second.realNs / base->second.realNs;
        char targetText[16] = "-";
        const char *verdict = "-";
        if (pair.target > 0) {
            snprintf(targetText, sizeof targetText, "%.2f", pair.target);
            verdict = ratio <= pair.target ? "ok" : "OVER";
            if (ratio > pair.target)
                ++over;
        }
        printf("%-34s %12s %12s %8.2f %8s  %s\n", pair.candidate, candText, baseText, ratio,
               targetText, verdict);
        printf("    %s (baseline %s)\n", pair.what, pair.baseline);
        PrintCounters(pair.candidate, cand->second.counters);
        PrintCounters(pair.baseline, base->second.counters);
    }
    return over;
}
