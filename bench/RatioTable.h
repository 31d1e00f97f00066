// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Pairs each benchmark with the baseline it is judged against and prints,
// after all benchmarks of the run have finished, one table of the times and
// their ratio (with the target where there is one).

#include <benchmark/benchmark.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

struct RatioPair {
    const char *candidate; // benchmark name
    const char *baseline;  // benchmark name of the baseline
    double target;         // highest acceptable ratio, 0 for none
    std::size_t bytes;     // bytes handled per iteration, for cycles/B; 0 for none
    const char *what;      // one line saying what is compared
};

// Called at static initialisation by each benchmark file.
int RegisterRatio(const RatioPair &pair);

// Console output as usual, and every run kept for the final table.
class CRatioReporter : public benchmark::ConsoleReporter {
  public:
    explicit CRatioReporter(OutputOptions options) : ConsoleReporter(options) {}
    void ReportRuns(const std::vector<Run> &runs) override;
    // Prints the table; returns the number of pairs over their target.
    int PrintTable() const;

  private:
    struct Result {
        double ns;   // per iteration
        bool wall;   // wall time, else CPU time
        bool median; // the median of repetitions
        std::map<std::string, double> counters;
    };
    std::map<std::string, Result> m_results;
};
