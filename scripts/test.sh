#!/usr/bin/env bash
# Builds and runs every test: the default build, the AddressSanitizer and
# UndefinedBehaviorSanitizer build, and the kernel object against the
# installed kernel headers (when they are installed).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

run_preset() {
    local preset=$1
    echo "== build and test: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset"
}

if ls -d /usr/src/linux-headers-*-amd64 >/dev/null 2>&1; then
    export VORN_KERNEL_BUILD=1
else
    echo "note: no kernel headers in /usr/src (install linux-headers-amd64); kernel build test not run"
fi

run_preset default
run_preset debug
