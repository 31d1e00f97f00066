#!/usr/bin/env bash
# Builds the benchmarks (preset "bench", a Release build) and runs them; the
# run ends with the table of ratios against the baselines. Arguments go to
# the benchmark binary, e.g. --benchmark_filter=Log.
#
# usage: scripts/bench.sh [--record] [benchmark options...]
#   --record   also write the machine, the date and the table into
#              bench/RESULTS.md
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
machine="$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, ${cpu:-unknown CPU}, Linux $(uname -r)"
echo "machine: $machine"

out=$(mktemp)
trap 'rm -f "$out"' EXIT
build/bench/bench/vorn_bench "$@" | tee "$out"

if [ "$record" -eq 1 ]; then
    {
        echo "# Benchmark results"
        echo
        echo "Recorded by \`scripts/bench.sh --record\`: $machine."
        echo "Build: preset \`bench\` (Release, $(c++ --version | head -1))."
        echo
        echo "## Ratio table"
        echo
        echo '```'
        sed -n '/^benchmark  *time  *baseline/,$p' "$out"
        echo '```'
        echo
        echo "## Google Benchmark output"
        echo
        echo '```'
        sed '/^benchmark  *time  *baseline/,$d' "$out"
        echo '```'
    } >bench/RESULTS.md.new
    echo "recorded in bench/RESULTS.md.new (add the notes and rename)"
fi
