#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Build the velkor transport and its test module, and the touch-memory
# driver module (driver/build-module.sh), with the kernel's own build
# system, against Debian's amd64 kernel headers, warnings as errors.
#
#   .ci/kernel-build.sh [KERNEL_BUILD_DIR]
#
# Without an argument (or $KDIR) the newest /usr/src/linux-headers-*-amd64
# is used; when none is installed and we run as root, linux-headers-amd64
# is installed first. The build runs in a temporary copy of kernel/, so the
# source tree stays free of build products. Fails on any warning.
set -eu

src_dir=$(cd "$(dirname "$0")/.." && pwd)/kernel

newest_headers() {
	ls -d /usr/src/linux-headers-*-amd64 2>/dev/null | sort -V | tail -n 1
}

kdir=${1:-${KDIR:-}}
if [ -z "$kdir" ]; then
	kdir=$(newest_headers)
fi
if [ -z "$kdir" ]; then
	if [ "$(id -u)" -ne 0 ]; then
		echo "kernel-build: no kernel headers and not root;" \
		     "install linux-headers-amd64" >&2
		exit 1
	fi
	echo "kernel-build: installing linux-headers-amd64"
	export DEBIAN_FRONTEND=noninteractive
	if ! apt-get install -y --no-install-recommends linux-headers-amd64; then
		apt-get update
		apt-get install -y --no-install-recommends linux-headers-amd64
	fi
	kdir=$(newest_headers)
fi
if [ ! -f "$kdir/Makefile" ]; then
	echo "kernel-build: $kdir is no kernel build directory" >&2
	exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/velkor-kbuild.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

cp "$src_dir"/Kbuild "$src_dir"/*.c "$src_dir"/*.h "$work"/
echo "kernel-build: building against $kdir"

status=0
make -C "$kdir" M="$work" modules >"$work/build.log" 2>&1 || status=$?
cat "$work/build.log"
if [ "$status" -ne 0 ]; then
	echo "kernel-build: make failed with status $status" >&2
	exit 1
fi
if grep -qi 'warning' "$work/build.log"; then
	echo "kernel-build: the build printed warnings" >&2
	exit 1
fi
if [ ! -f "$work/velkor_test.ko" ]; then
	echo "kernel-build: velkor_test.ko was not produced" >&2
	exit 1
fi
if ! grep -aq 'license=GPL' "$work/velkor_test.ko"; then
	echo "kernel-build: velkor_test.ko carries no GPL license tag" >&2
	exit 1
fi
echo "kernel-build: velkor_test.ko built cleanly"

if ! "$src_dir"/../driver/build-module.sh "$kdir" "$work/driver"; then
	echo "kernel-build: the driver module touchm.ko did not build" >&2
	exit 1
fi
