#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs tmtool against a real kernel: boots the installed Debian kernel under
# qemu (software emulation, no KVM needed) with the reference driver module
# driver (touchm.ko, built here against the matching headers) and the
# build tree's tmtool and libvorn, runs the guest's cases inside, and judges
# the console log.
#
#   scripts/qemu-test.sh [--log FILE] [--kernel VERSION] [--line LINE] [--bench]
#                        [--stress SECONDS] [BIN_DIR]
#
#   BIN_DIR   where tmtool and libvorn.so.1 are (default build/default/bin)
#   --log     where the console log is kept (default BIN_DIR/../qemu-console.log);
#             over a tty line the guest's requests and tmfarend's output follow
#   --kernel  the kernel version to boot (default: the newest one that has
#             both /boot/vmlinuz-VERSION and its headers)
#   --line    sim (default): the driver's simulated line, tests/guest/guest-init.sh;
#             16550 or usb: the tty backend over qemu's 16550 (ttyS1) or its
#             USB-serial adapter (ttyUSB0), tests/guest/guest-tty.sh, with tmfarend
#             from BIN_DIR as the far end on a pseudo-terminal and tmattach
#             from BIN_DIR in the guest
#   --bench   with --line 16550 or usb: the wire-speed benchmark guest,
#             tests/guest/guest-bench.sh, instead of the test cases (its "TMB"
#             lines in the console log; scripts/bench-wire.sh reads them)
#   --w1      with --line 16550 or usb: the 1-Wire core guest,
#             tests/guest/guest-w1.sh: Debian's wire.ko and family drivers
#             on the line, with devices beside the key at the far end
#   --stress  the stress guest, tests/guest/guest-stress.sh, on any line: many
#             users at once and random calls from tmstress, each for SECONDS,
#             hangups under every kind of request (tty lines) and unload
#             attempts while in use; its counts ("TMS" lines) are printed.
#             The time limit grows with SECONDS.
#
# Over a tty line the guest asks the host for far-end changes on a third
# serial port (ttyS2): each line it sends is a tmfarend control command,
# "touch ROM MS" (attach, MS ms, remove), or "unplug"/"replug" of the USB
# adapter (device_del/device_add on qemu's
# monitor); the answer is "ok" (followed by a blank and the last line the
# command printed, if any) or "error: ..." on the same port.
#
# Needs (nothing is installed here): qemu-system-x86, linux-image-amd64,
# linux-headers-amd64, busybox-static, and make, gcc, cpio (or busybox's),
# ldd, timeout, mkfifo. VORN_QEMU_TIMEOUT sets the time limit of the guest
# in seconds (default 240: the 16550 guest alone takes about 95 s on an idle
# machine, and CI runs another test beside it).
#
# The guest's kernel watches itself (not for --bench, which measures the
# kernel as it runs normally): a warning panics it, so does a task blocked
# for 10 s, the slab allocator checks its objects (red zones, poisoning,
# consistency) and freed pages are poisoned and checked when reused.
#
# Fails when a case fails, when the summary line is missing or does not
# count every case, when the guest does not power off in time, and when the
# console log (with the guest's kernel log dumped at the end) shows a kernel
# warning, oops, BUG or call trace. Exit status 0 when everything passed.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
drv=$root/driver
guests=$root/tests/guest
# shellcheck source=scripts/qemu-verdict.sh
. "$root/scripts/qemu-verdict.sh"
guest_init=$guests/guest-init.sh
limit=${VORN_QEMU_TIMEOUT:-240}
kernel_cmdline="console=ttyS0 panic=-1 quiet"
# The kernel's own checks, for every run but the benchmark's.
kernel_checks="panic_on_warn=1 oops=panic hung_task_panic=1"
kernel_checks="$kernel_checks sysctl.kernel.hung_task_timeout_secs=10 slub_debug=FZPU page_poison=1"

log=
version=
bin_dir=
line=sim
bench=0
w1=0
stress=
while [ $# -gt 0 ]; do
	case $1 in
	--log) log=${2:?--log needs a file}; shift 2 ;;
	--kernel) version=${2:?--kernel needs a version}; shift 2 ;;
	--line) line=${2:?--line needs sim, 16550 or usb}; shift 2 ;;
	--bench) bench=1; shift ;;
	--w1) w1=1; shift ;;
	--stress) stress=${2:?--stress needs seconds}; shift 2 ;;
	-h|--help) sed -n '3,44s/^# \{0,1\}//p' "$0"; exit 0 ;;
	-*) echo "qemu-test: unknown option $1" >&2; exit 2 ;;
	*) bin_dir=$1; shift ;;
	esac
done
bin_dir=${bin_dir:-$root/build/default/bin}
case $line in
sim) ;;
16550|usb) guest_init=$guests/guest-tty.sh ;;
*) echo "qemu-test: --line takes sim, 16550 or usb, not $line" >&2; exit 2 ;;
esac
if [ "$w1" = 1 ]; then
	if [ "$line" = sim ] || [ "$bench" = 1 ]; then
		echo "qemu-test: --w1 needs --line 16550 or usb, and no --bench" >&2
		exit 2
	fi
	guest_init=$guests/guest-w1.sh
fi
if [ "$bench" = 1 ]; then
	if [ "$line" = sim ]; then
		echo "qemu-test: --bench needs --line 16550 or usb" >&2
		exit 2
	fi
	guest_init=$guests/guest-bench.sh
else
	kernel_cmdline="$kernel_cmdline $kernel_checks"
fi
if [ -n "$stress" ]; then
	case $stress in
	*[!0-9]* | 0) echo "qemu-test: --stress takes whole seconds, not $stress" >&2; exit 2 ;;
	esac
	[ "$bench" = 0 ] || { echo "qemu-test: --stress or --bench, not both" >&2; exit 2; }
	guest_init=$guests/guest-stress.sh
	kernel_cmdline="$kernel_cmdline tmq.stress=$stress"
	# Two load phases of that length, and the rest.
	limit=${VORN_QEMU_TIMEOUT:-$((180 + 3 * stress))}
fi

fail() {
	echo "qemu-test: FAIL: $*" >&2
	exit 1
}

[ -d "$bin_dir" ] || fail "no build folder $bin_dir (build tmtool first)"
bin_dir=$(cd "$bin_dir" && pwd)
[ -x "$bin_dir/tmtool" ] || fail "no tmtool in $bin_dir"
if [ "$line" != sim ]; then
	for prog in tmfarend tmattach; do
		[ -x "$bin_dir/$prog" ] || fail "no $prog in $bin_dir"
	done
fi
log=${log:-$(dirname "$bin_dir")/qemu-console.log}

missing=
for cmd in qemu-system-x86_64 busybox make gcc ldd timeout mkfifo; do
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
# Background processes (qemu; for a tty line the far end, the guest's
# requests and the monitor log), ended by their process ids.
helpers=
cleanup() {
	for pid in $helpers; do
		kill "$pid" 2>/dev/null || true
	done
	for pid in $helpers; do
		wait "$pid" 2>/dev/null || true
	done
	rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# pack_extra OUT.cpio FOLDER: a second archive; the kernel unpacks it over
# the first.
pack_extra() {
	if cpio --version 2>/dev/null | grep -q GNU; then
		(cd "$2" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) >"$1"
	else
		(cd "$2" && find . | LC_ALL=C sort | busybox cpio -o -H newc) >"$1"
	fi
}

# kernel_module NAME DEST: the kernel's module NAME, decompressed if need be.
kernel_module() {
	ko=$(find "/lib/modules/$version/kernel" \( -name "$1.ko" -o -name "$1.ko.xz" \) |
		head -n 1)
	case $ko in
	*.xz) xz -dc "$ko" >"$2" || fail "cannot decompress $ko" ;;
	?*) cp "$ko" "$2" ;;
	*) fail "no module $1 in /lib/modules/$version" ;;
	esac
}

# monitor COMMAND: one command to qemu's monitor.
monitor() {
	printf '%s\n' "$1" >"$work/mon.in"
}

# far_touch touch ROM MS: the far end holds a key with ROM for MS ms
# (between the end of its attach and the start of its remove).
far_touch() {
	"$bin_dir/tmfarend" ctl --state "$work/farend" attach "$2" &&
		sleep "$(awk -v ms="$3" 'BEGIN { printf "%.3f", ms / 1000 }')" &&
		"$bin_dir/tmfarend" ctl --state "$work/farend" remove
}

# answer_guest: serves the guest's requests on the host port until qemu
# ends; each one is logged in requests.log.
answer_guest() {
	set -f
	exec 7<>"$work/ctl.out" 8<>"$work/ctl.in"
	while IFS= read -r req <&7; do
		echo "$req" >>"$work/requests.log"
		: >"$work/reply"
		ok=0
		case $req in
		unplug) [ "$line" = usb ] && monitor "device_del usbline" && ok=1 ;;
		replug) [ "$line" = usb ] &&
			monitor "device_add usb-serial,chardev=line,id=usbline" && ok=1 ;;
		touch\ *) far_touch $req >"$work/reply" 2>&1 && ok=1 ;;
		*) "$bin_dir/tmfarend" ctl --state "$work/farend" $req >"$work/reply" 2>&1 &&
			ok=1 ;;
		esac
		text=$(tail -n 1 "$work/reply")
		if [ "$ok" = 1 ]; then
			echo "ok${text:+ $text}" >&8
		else
			echo "error: ${text:-no such request here}" >&8
		fi
	done
}

start=$(date +%s)
echo "qemu-test: kernel $version, line $line, tmtool from $bin_dir"
"$drv/build-module.sh" "$kdir" "$work/kmod" >/dev/null ||
	fail "module build against $kdir"
# Every program of the guests (tests/guest/*.c), each built on its own.
progs=
for src in "$guests"/*.c; do
	prog=$work/$(basename "$src" .c)
	gcc -std=gnu11 -O2 -Wall -Wextra -Werror -o "$prog" "$src" -lpthread ||
		fail "$(basename "$src") build"
	progs="$progs $prog"
done
[ "$line" = sim ] || progs="$progs $bin_dir/tmattach"
# shellcheck disable=SC2086 # program paths without blanks
"$guests/mkinitramfs.sh" "$work/initramfs.cpio" "$work/kmod/touchm.ko" \
	"$bin_dir" "$guest_init" $progs >/dev/null || fail "initramfs"
mkdir -p "$work/extra/lib/modules/usb" "$work/extra/lib/modules/extra"
# The shared case bookkeeping, and the case files the guests source.
for f in "$guests/guest-lib.sh" "$guests"/*-cases.sh; do
	[ ! -f "$f" ] || cp "$f" "$work/extra/"
done
if [ "$line" = usb ]; then
	for m in usb-common usbcore uhci-hcd usbserial ftdi_sio; do
		kernel_module "$m" "$work/extra/lib/modules/usb/$m.ko"
	done
fi
# The kernel's 1-Wire core, which touchm needs, and the family drivers the
# 1-Wire guest binds to the far end's devices.
mkdir -p "$work/extra/lib/modules/w1"
for m in wire w1_therm w1_ds2431 w1_smem; do
	kernel_module "$m" "$work/extra/lib/modules/w1/$m.ko"
done
# The serial-input line discipline (serport), whose number touchm must
# not take over.
kernel_module serport "$work/extra/lib/modules/extra/serport.ko"
pack_extra "$work/extra.cpio" "$work/extra" || fail "initramfs extras"
cat "$work/extra.cpio" >>"$work/initramfs.cpio"

# The machine's devices beyond the console, as positional parameters.
set --
if [ "$line" != sim ]; then
	"$bin_dir/tmfarend" serve --state "$work/farend" >"$work/farend.log" 2>&1 &
	helpers="$helpers $!"
	w=0
	while [ ! -L "$work/farend/tty" ] && [ "$w" -lt 50 ]; do
		sleep 0.1
		w=$((w + 1))
	done
	pts=$(readlink "$work/farend/tty") || fail "tmfarend did not start: $(cat "$work/farend.log")"
	mkfifo "$work/ctl.in" "$work/ctl.out" "$work/mon.in" "$work/mon.out"
	set -- -serial stdio -chardev "serial,id=line,path=$pts"
	if [ "$line" = usb ]; then
		set -- "$@" -usb -device usb-serial,chardev=line,id=usbline
	else
		set -- "$@" -device isa-serial,chardev=line,index=1
	fi
	set -- "$@" -chardev "pipe,id=ctl,path=$work/ctl" -device isa-serial,chardev=ctl,index=2 \
		-chardev "pipe,id=mon,path=$work/mon" -mon chardev=mon,mode=readline
	kernel_cmdline="$kernel_cmdline tmq.line=$line"
fi

timeout -k 5 "$limit" qemu-system-x86_64 -accel tcg -m 512 -nographic -nic none \
	-no-reboot -kernel "$image" -initrd "$work/initramfs.cpio" \
	-append "$kernel_cmdline" "$@" </dev/null >"$work/console.raw" 2>&1 &
qemu_pid=$!
# Interrupted, the run takes the machine down with it.
helpers="$helpers $qemu_pid"
if [ "$line" != sim ]; then
	cat "$work/mon.out" >"$work/monitor.log" &
	helpers="$helpers $!"
	answer_guest &
	helpers="$helpers $!"
fi
status=0
wait "$qemu_pid" || status=$?
qemu_console_text "$work/console.raw" "$work/console.log"
cp "$work/console.log" "$log"
# Over a tty line the host's side goes below the console: what the guest
# asked for and what the far end said.
if [ "$line" != sim ]; then
	{
		echo "== host: guest requests"
		cat "$work/requests.log" 2>/dev/null || true
		echo "== host: tmfarend"
		cat "$work/farend.log" 2>/dev/null || true
	} >>"$log"
fi
elapsed=$(($(date +%s) - start))

# The cases' lines, with the details of a failing one, and the counts.
grep -E '^(TMQ (PASS|FAIL|  )|TMS )' "$work/console.log" || true

# The guest script's own cases, and those of guest-lib.sh's shared memory
# cases when it runs them.
cases=$(grep -c '^begin ' "$guest_init")
if grep -qx 'memory_cases' "$guest_init"; then
	cases=$((cases + $(grep -c '^	begin ' "$guests/guest-lib.sh")))
fi
# A case file NAME-cases.sh defines the function NAME_cases; a guest that
# calls it on a line of its own runs its cases (tab-indented "begin").
for f in "$guests"/*-cases.sh; do
	[ -f "$f" ] || continue
	fn=$(basename "$f" -cases.sh | tr '-' '_')_cases
	if grep -qx "$fn" "$guest_init"; then
		cases=$((cases + $(grep -c '^	begin ' "$f" || true)))
	fi
done
# The stress guest's cases for a tty line only.
if [ -n "$stress" ] && [ "$line" != sim ]; then
	cases=$((cases + $(grep -c '^	begin ' "$guest_init")))
fi
qemu_verdict TMQ "$status" "$limit" "$cases" "$work/console.log" "$work/console.log"
if ! grep -q '^TMQ DMESG END$' "$work/console.log"; then
	problem "the guest's kernel log was not dumped"
fi

if [ -n "$problems" ]; then
	if [ -z "$summary" ]; then
		echo "qemu-test: last lines of the console log ($log):" >&2
		tail -n 40 "$work/console.log" | sed 's/^/  | /' >&2
	fi
	fail "kernel $version, ${elapsed}s:$problems"
fi
echo "qemu-test: PASS: $cases cases on kernel $version in ${elapsed}s (console log $log)"
