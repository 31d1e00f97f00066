// SPDX-License-Identifier: GPL-2.0-or-later
// Runs the benchmarks, then prints the ratio table. Exit status 0 even when
// a ratio is over its target: the table says so, the run is still a record.

#include "RatioTable.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    // Colour only on a terminal (a reporter of one's own ignores the flag).
    CRatioReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                  : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const int over = reporter.PrintTable();
    if (over > 0)
        printf("\n%d ratio(s) over target\n", over);
    benchmark::Shutdown();
    return 0;
}
