#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the benchmarks (preset "bench", a Release build) and runs them; the
# run ends with the table of ratios against the baselines (the medians of
# five repetitions). Arguments go to the benchmark binary after the
# defaults, e.g. --benchmark_filter=Log or --benchmark_repetitions=1.
#
# usage: scripts/bench.sh [--record] [benchmark options...]
#   --record   also write the machine, the date and the output into
#              bench/RESULTS.md; the sections recorded there by other runs
#              (the polling path, the wire speed) are kept
set -euo pipefail
cd "$(dirname "$0")/.."

record=0
if [ "${1:-}" = "--record" ]; then
    record=1
    shift
fi

jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$jobs" --target vorn_bench >/dev/null

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
when=$(date -u '+%Y-%m-%d %H:%M UTC')
machine="$(nproc) CPUs, ${cpu:-unknown CPU}, Linux $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "date: $when"
echo "machine: $machine"

out=$(mktemp)
trap 'rm -f "$out"' EXIT
build/bench/bin/vorn_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    "$@" 2>&1 | tee "$out"

if [ "$record" -eq 1 ]; then
    # Sections other runs recorded: every "## " section after the generated
    # ones, to the end of the file.
    kept=$(mktemp)
    trap 'rm -f "$out" "$kept"' EXIT
    awk 'keep { print; next }
         /^## / && $0 !~ /^## (How to read it|Ratio table|Google Benchmark output)$/ {
             keep = 1; print }' bench/RESULTS.md >"$kept" 2>/dev/null || true
    {
        echo "# Benchmark results"
        echo
        echo "Recorded with \`scripts/bench.sh --record\` on $when."
        echo
        echo "Machine: $machine."
        echo "Build: preset \`bench\` (Release), $(c++ --version | head -1)."
        echo
        cat bench/NOTES.md
        echo
        echo "## Ratio table"
        echo
        echo '```'
        sed -n '/^benchmark  *clock  *time/,$p' "$out"
        echo '```'
        echo
        echo "## Google Benchmark output"
        echo
        echo '```'
        sed '/^benchmark  *clock  *time/,$d' "$out"
        echo '```'
        if [ -s "$kept" ]; then
            echo
            cat "$kept"
        fi
    } >bench/RESULTS.md
    echo "recorded in bench/RESULTS.md"
fi
