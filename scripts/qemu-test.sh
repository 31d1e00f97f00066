#!/bin/sh
# Runs tmtool against a real kernel: boots the installed Debian kernel under
# qemu (software emulation, no KVM needed) with the reference driver module
# driver (touchm.ko, built here against the matching headers) and the
# build tree's tmtool and libvorn, runs the cases of driver/guest-init.sh
# inside, and judges the console log.
#
#   scripts/qemu-test.sh [--log FILE] [--kernel VERSION] [BIN_DIR]
#
#   BIN_DIR   where tmtool and libvorn.so.1 are (default build/default/bin)
#   --log     where the console log is kept (default BIN_DIR/../qemu-console.log)
#   --kernel  the kernel version to boot (default: the newest one that has
#             both /boot/vmlinuz-VERSION and its headers)
#
# Needs (nothing is installed here): qemu-system-x86, linux-image-amd64,
# linux-headers-amd64, busybox-static, and make, gcc, cpio (or busybox's),
# ldd, timeout. VORN_QEMU_TIMEOUT sets the time limit of the guest in
# seconds (default 120).
#
# Fails when a case fails, when the summary line is missing or does not
# count every case, when the guest does not power off in time, and when the
# console log (with the guest's kernel log dumped at the end) shows a kernel
# warning, oops, BUG or call trace. Exit status 0 when everything passed.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
drv=$root/driver
guest_init=$drv/guest-init.sh
limit=${VORN_QEMU_TIMEOUT:-120}
kernel_cmdline="console=ttyS0 panic=-1 quiet"

log=
version=
bin_dir=
while [ $# -gt 0 ]; do
	case $1 in
	--log) log=${2:?--log needs a file}; shift 2 ;;
	--kernel) version=${2:?--kernel needs a version}; shift 2 ;;
	-h|--help) sed -n '2,24s/^# \{0,1\}//p' "$0"; exit 0 ;;
	-*) echo "qemu-test: unknown option $1" >&2; exit 2 ;;
	*) bin_dir=$1; shift ;;
	esac
done
bin_dir=${bin_dir:-$root/build/default/bin}

fail() {
	echo "qemu-test: FAIL: $*" >&2
	exit 1
}

[ -d "$bin_dir" ] || fail "no build folder $bin_dir (build tmtool first)"
bin_dir=$(cd "$bin_dir" && pwd)
[ -x "$bin_dir/tmtool" ] || fail "no tmtool in $bin_dir"
log=${log:-$(dirname "$bin_dir")/qemu-console.log}

missing=
for cmd in qemu-system-x86_64 busybox make gcc ldd timeout; do
	command -v "$cmd" >/dev/null 2>&1 || missing="$missing $cmd"
done
[ -z "$missing" ] || fail "missing:$missing (install qemu-system-x86 busybox-static make gcc)"

# The kernel image and the headers of one and the same version.
headers_of() {
	for d in "/lib/modules/$1/build" "/usr/src/linux-headers-$1"; do
		if [ -f "$d/Makefile" ]; then
			echo "$d"
			return 0
		fi
	done
	return 1
}
if [ -z "$version" ]; then
	for image in $(printf '%s\n' /boot/vmlinuz-* | sort -r -V); do
		v=${image#/boot/vmlinuz-}
		if [ -r "$image" ] && headers_of "$v" >/dev/null; then
			version=$v
			break
		fi
	done
	[ -n "$version" ] ||
		fail "no /boot/vmlinuz-VERSION with matching headers (install linux-image-amd64 linux-headers-amd64)"
fi
image=/boot/vmlinuz-$version
[ -r "$image" ] || fail "cannot read $image"
kdir=$(headers_of "$version") || fail "no headers for $version"

work=$(mktemp -d "${TMPDIR:-/tmp}/qemu-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

start=$(date +%s)
echo "qemu-test: kernel $version, tmtool from $bin_dir"
"$drv/build-module.sh" "$kdir" "$work/kmod" >/dev/null ||
	fail "module build against $kdir"
gcc -std=c11 -O2 -Wall -Wextra -Werror -o "$work/devcheck" "$drv/devcheck.c" ||
	fail "devcheck build"
"$drv/mkinitramfs.sh" "$work/initramfs.cpio" "$work/kmod/touchm.ko" \
	"$bin_dir" "$guest_init" "$work/devcheck" >/dev/null || fail "initramfs"

status=0
timeout -k 5 "$limit" qemu-system-x86_64 -accel tcg -m 512 -nographic -nic none \
	-no-reboot -kernel "$image" -initrd "$work/initramfs.cpio" \
	-append "$kernel_cmdline" </dev/null >"$work/console.raw" 2>&1 ||
	status=$?
# Line ends without carriage returns, and no terminal control codes.
tr -d '\r' <"$work/console.raw" |
	sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1b[c()][0-9A-B]\{0,1\}//g' \
	>"$work/console.log"
cp "$work/console.log" "$log"
elapsed=$(($(date +%s) - start))

# The cases' lines, with the details of a failing one.
grep -E '^TMQ (PASS|FAIL|  )' "$work/console.log" || true

problems=
problem() {
	problems="$problems
  $*"
}
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
	problem "the guest did not power off within $limit s"
elif [ "$status" -ne 0 ]; then
	problem "qemu ended with status $status"
fi

cases=$(grep -c '^begin ' "$guest_init")
passed=$(grep -c '^TMQ PASS ' "$work/console.log" || true)
failed=$(grep -c '^TMQ FAIL ' "$work/console.log" || true)
summary=$(grep -E '^TMQ SUMMARY pass=[0-9]+ fail=[0-9]+$' "$work/console.log" || true)
if [ -z "$summary" ]; then
	problem "no summary line from the guest"
elif [ "$summary" != "TMQ SUMMARY pass=$cases fail=0" ]; then
	problem "summary '$summary', expected pass=$cases fail=0"
fi
[ "$failed" -eq 0 ] || problem "$failed case(s) failed"
[ "$passed" -eq "$cases" ] || problem "$passed of $cases cases passed"
if ! grep -q '^TMQ DMESG END$' "$work/console.log"; then
	problem "the guest's kernel log was not dumped"
fi

kernel_trouble='WARNING:|BUG:|Oops|Call Trace|general protection fault|Kernel panic|soft lockup|hung_task|blocked for more than|UBSAN|KASAN'
if grep -nE "$kernel_trouble" "$work/console.log" >"$work/trouble"; then
	problem "kernel trouble in the console log:
$(sed 's/^/    /' "$work/trouble")"
fi

if [ -n "$problems" ]; then
	if [ -z "$summary" ]; then
		echo "qemu-test: last lines of the console log ($log):" >&2
		tail -n 40 "$work/console.log" | sed 's/^/  | /' >&2
	fi
	fail "kernel $version, ${elapsed}s:$problems"
fi
echo "qemu-test: PASS: $cases cases on kernel $version in ${elapsed}s (console log $log)"
