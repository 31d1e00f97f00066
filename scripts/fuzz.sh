#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the libFuzzer targets with clang into build/fuzz and runs each one
# for a bounded time, starting from the seed corpus in fuzz/corpus/<target>
# (new inputs go to build/fuzz/corpus/<target>, the repository stays as it
# is). Fails when any target finds a crash, a leak, a timeout or a sanitizer
# report; the input that did it is kept as build/fuzz/artifacts/<target>-*
# and the target's output in build/fuzz/logs/<target>.log.
#
# usage: scripts/fuzz.sh [TARGET...]        (default: all of them)
#   FUZZ_SECONDS=600 scripts/fuzz.sh        longer runs (default 30 s each)
#   FUZZ_BUILD=DIR                          another build directory
# Targets: tokenize operand hex_listing formatters dumps console.
# Reproduce a find: build/fuzz/fuzz/fuzz_<target> -close_fd_mask=3 FILE
# (fuzz_console under build/fuzz/bin/tmsim --state DIR -- ...).
# Needs: clang, clang++ and their fuzzer runtime (Debian: clang,
# libclang-rt-14-dev), cmake, ninja.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
build=${FUZZ_BUILD:-build/fuzz}
all=(tokenize operand hex_listing formatters dumps console)
if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=("${all[@]}")
fi

# Longest input per target: file names and dumps longer than the logger's
# 32 KiB buffers, console lines a little past the line buffer.
max_len() {
    case "$1" in
        formatters | dumps) echo 40000 ;;
        console) echo 1100 ;;
        *) echo 4096 ;;
    esac
}

jobs=$(nproc 2>/dev/null || echo 2)
echo "== build ($build)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DVORN_FUZZ=ON -DVORN_TESTS=OFF -DVORN_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target fuzz_all tmsim tmsim_preload >/dev/null

mkdir -p "$build/artifacts" "$build/logs"
state=$(mktemp -d "${TMPDIR:-/tmp}/vorn-fuzz-XXXXXX")
trap 'rm -rf "$state"' EXIT

# Sanitizer reports end the run; leaks are looked for after every input.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for t in "${targets[@]}"; do
    bin="$build/fuzz/fuzz_$t"
    if [ ! -x "$bin" ]; then
        echo "fuzz: no target '$t' (have: ${all[*]})"
        exit 2
    fi
    corpus="$build/corpus/$t"
    mkdir -p "$corpus"
    log="$build/logs/$t.log"
    cmd=("$bin" "$corpus" "fuzz/corpus/$t"
         -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10
         -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1
         -artifact_prefix="$build/artifacts/$t-")
    if [ "$t" = console ]; then
        # The console target talks to the driver stand-in, never to a device.
        cmd=("$build/bin/tmsim" --state "$state/console" -- "${cmd[@]}")
    fi
    echo "== fuzz_$t for ${seconds}s"
    status=0
    "${cmd[@]}" >"$log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
    if [ "$status" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
        echo "fuzz_$t: FAILED (status $status); see $log and $build/artifacts/"
        grep -E 'ERROR|runtime error|SUMMARY|Test unit written' "$log" | head -20 || true
        failed+=("$t")
    else
        echo "fuzz_$t: ok, ${execs:-?} inputs, ${cov:-cov: ?}"
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: failed: ${failed[*]}"
    exit 1
fi
echo "fuzz: all clean"
