#!/bin/sh
# SPDX-License-Identifier: GPL-2.0
# Builds touchm.ko out of tree with the kernel's own build system,
# warnings as errors, in a scratch folder, and leaves the module in OUT_DIR.
# The source tree stays free of build products.
#
#   driver/build-module.sh KERNEL_BUILD_DIR OUT_DIR
#
# KERNEL_BUILD_DIR is the headers of the kernel the module is for, e.g.
# /lib/modules/<version>/build. The build log is OUT_DIR/kbuild.log.
set -eu

if [ $# -ne 2 ]; then
	echo "usage: $0 KERNEL_BUILD_DIR OUT_DIR" >&2
	exit 2
fi
kdir=$1
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)

if [ ! -f "$kdir/Makefile" ]; then
	echo "build-module: $kdir is no kernel build directory" >&2
	exit 1
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/touchm-kbuild.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

# The driver, the transport and the line: the user-space glue of the line
# (tm_line_user.c) stays out, the driver supplies its part instead.
cp "$root"/driver/Kbuild "$root"/driver/*.c "$root"/driver/*.h "$work"/
cp "$root"/kernel/velkor.c "$root"/kernel/velkor.h "$work"/
cp "$root"/sim/line/tm_key.c "$root"/sim/line/tm_pl2303.c \
   "$root"/sim/line/tm_line.c \
   "$root"/sim/line/tm_line.h \
   "$root"/sim/line/tm_line_core.h "$work"/

log=$out/kbuild.log
status=0
# Warnings as errors for the project's own builds only: the Kbuild file
# itself does not say -Werror, since DKMS builds it with whatever compiler an
# operator's next kernel comes with.
make -C "$kdir" M="$work" KCFLAGS=-Werror modules >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
	cat "$log" >&2
	echo "build-module: make failed with status $status" >&2
	exit 1
fi
if grep -qi 'warning' "$log"; then
	cat "$log" >&2
	echo "build-module: the build printed warnings" >&2
	exit 1
fi
if ! grep -aq 'license=GPL' "$work/touchm.ko"; then
	echo "build-module: touchm.ko carries no GPL license tag" >&2
	exit 1
fi
cp "$work"/touchm.ko "$out"/
echo "build-module: $out/touchm.ko built against $kdir"
