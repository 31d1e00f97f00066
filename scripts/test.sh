#!/usr/bin/env bash
# Builds and runs every test: the default build, the AddressSanitizer and
# UndefinedBehaviorSanitizer build, and the kernel object against the
# installed kernel headers, and tmtool against a real kernel under qemu
# (each when what it needs is installed).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

run_preset() {
    local preset=$1
    shift
    echo "== build and test: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    env "$@" ctest --preset "$preset"
}

# The real-kernel run boots Debian's kernel under qemu; it needs the kernel
# image, its headers, qemu and busybox, and runs once, in the default build.
qemu_test=0
if command -v qemu-system-x86_64 >/dev/null 2>&1 && ls /boot/vmlinuz-*-amd64 >/dev/null 2>&1 &&
    [ -x /bin/busybox ]; then
    qemu_test=1
else
    echo "note: qemu, a Debian kernel image or busybox-static missing; real-kernel test not run"
fi

if ls -d /usr/src/linux-headers-*-amd64 >/dev/null 2>&1; then
    export VORN_KERNEL_BUILD=1
else
    echo "note: no kernel headers in /usr/src (install linux-headers-amd64); kernel build test not run"
fi

run_preset default VORN_QEMU_TEST=$qemu_test
run_preset debug VORN_QEMU_TEST=0
