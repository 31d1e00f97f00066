#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Proves the project's Debian packages in a real Debian 12 system: installs
# them into a debootstrapped root (DKMS builds the driver for the root's
# kernel there), boots that root under qemu with its own kernel, systemd
# and udev, with an emulated USB-serial adapter whose far end is tmfarend,
# and runs the cases of tests/debsys/guest-check.sh inside, at boot, with no
# command typed. Unplug and re-plug are qemu's device_del and device_add on
# its QMP monitor, asked for by the guest.
#
#   scripts/debsys-test.sh [--log FILE] [--packages DIR] [--no-package] [BIN_DIR]
#
#   BIN_DIR     where tmfarend is (default build/default/bin)
#   --packages  the build folder scripts/package.sh builds the packages in
#               (default $VORN_DEBSYS_PACKAGES, else build/package,
#               package.sh's own, so that CI's later packaging step finds
#               it built)
#   --no-package  takes the packages already in the --packages folder
#               instead of running scripts/package.sh (by hand, between runs)
#   --log       where the run's log is kept (default BIN_DIR/../debsys.log):
#               the guest's case lines, the host's answers, the console
#
# Steps, each timed: the packages (scripts/package.sh: dpkg-buildpackage
# over debian/, the -dbgsym packages left aside); the root
# (tests/debsys/mkroot.sh: cached outside the tree, built from this
# machine's apt mirror when the cache lacks it, which takes minutes); a
# copy of it with the packages installed by dpkg in a chroot, DKMS's build
# checked, the operator user, the local rule marking the adapter and the
# check service added (tests/debsys/install.sh); the image (mkfs.ext4 -d);
# the boot.
#
# The machine: two software-emulated CPUs (TCG), the image as virtio disk
# /dev/vda, the console on ttyS0, two USB-serial adapters on qemu's UHCI
# bus: port 1 is the line (serial number VORNLINE1, the one the local rule
# marks, its far end tmfarend on a pseudo-terminal), port 2 a second
# adapter on a null backend (serial number VORNSPARE2, unmarked; plugged
# although its backend never opens). The
# guest's case lines and requests travel on the virtio-serial port
# vorn.check; the host answers "ok [TEXT]" or "error: ...". Requests:
# rom and dump (the far end's key and memory), attach ROM, swap ROM and
# remove (the far end's key changed), unplug and replug (the line's
# adapter).
#
# Fails when a preparation step fails, when a case fails, when the summary
# is missing or does not count every case, when the guest does not power
# off in time (VORN_DEBSYS_TIMEOUT seconds, default 600) or when the console
# shows a kernel warning, oops or BUG. Waits for any other qemu guest on the
# machine to end before it boots its own. Needs root (debootstrap, chroot,
# mount), qemu-system-x86, debootstrap, e2fsprogs, and the packages'
# build needs (scripts/package.sh). Exit status 0 when everything passed.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
here=$src/tests/debsys
# shellcheck source=scripts/qemu-verdict.sh
. "$src/scripts/qemu-verdict.sh"
limit=${VORN_DEBSYS_TIMEOUT:-600}
# Longest wait for another guest on the machine to end, in seconds.
qemu_wait=1200
marked=VORNLINE1
spare=VORNSPARE2
operator=operator
# What the guest's kernel and systemd are told.
kernel_cmdline="root=/dev/vda rw console=ttyS0 panic=-1 systemd.unit=multi-user.target"

log=
pkg_build=
bin_dir=
run_package=1
while [ $# -gt 0 ]; do
	case $1 in
	--log) log=${2:?--log needs a file}; shift 2 ;;
	--packages) pkg_build=${2:?--packages needs a folder}; shift 2 ;;
	--no-package) run_package=0; shift ;;
	-h | --help) sed -n '3,40s/^# \{0,1\}//p' "$0"; exit 0 ;;
	-*) echo "debsys-test: unknown option $1" >&2; exit 2 ;;
	*) bin_dir=$1; shift ;;
	esac
done
bin_dir=${bin_dir:-$src/build/default/bin}
pkg_build=${pkg_build:-${VORN_DEBSYS_PACKAGES:-$src/build/package}}

fail() {
	echo "debsys-test: FAIL: $*" >&2
	exit 1
}

[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot, mount)"
[ -x "$bin_dir/tmfarend" ] || fail "no tmfarend in $bin_dir (build it first)"
bin_dir=$(cd "$bin_dir" && pwd)
log=${log:-$(dirname "$bin_dir")/debsys.log}
missing=
for cmd in qemu-system-x86_64 debootstrap mkfs.ext4 chroot unshare flock timeout mkfifo pgrep; do
	command -v "$cmd" >/dev/null 2>&1 || missing="$missing $cmd"
done
[ -z "$missing" ] || fail "missing:$missing (install qemu-system-x86 debootstrap e2fsprogs procps)"

work=$(mktemp -d "${TMPDIR:-/tmp}/debsys-test.XXXXXX")
r=$work/root
helpers=
# mounted_under DIR: the mount points at or below DIR, deepest first.
mounted_under() {
	awk -v d="$1" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo |
		sort -r
}
cleanup() {
	for pid in $helpers; do
		kill "$pid" 2>/dev/null || true
	done
	for pid in $helpers; do
		wait "$pid" 2>/dev/null || true
	done
	# The chroot's /dev was the host's: never remove across a mount.
	if [ -z "$(mounted_under "$work")" ]; then
		rm -rf "$work"
	else
		echo "debsys-test: left $work: still mounted" >&2
	fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

start=$(date +%s)
step_start=$start
# step NAME: the time of the step that ended, and the next one's name.
step() {
	local t
	t=$(date +%s)
	[ -z "${step_name:-}" ] || echo "debsys-test: $step_name took $((t - step_start)) s"
	step_name=$1
	step_start=$t
	[ -z "$1" ] || echo "debsys-test: $1"
}

# --- the packages -------------------------------------------------------------

step "packages (scripts/package.sh $pkg_build)"
pkg_status=0
if [ "$run_package" = 1 ]; then
	touch "$work/stamp"
	sleep 1
	"$src/scripts/package.sh" "$pkg_build" >"$work/package.log" 2>&1 || pkg_status=$?
	mapfile -t debs < <(find "$pkg_build/debs" -name '*.deb' -newer "$work/stamp" | sort)
else
	: >"$work/package.log"
	mapfile -t debs < <(find "$pkg_build/debs" -name '*.deb' | sort)
fi
if [ ${#debs[@]} -eq 0 ]; then
	tail -n 40 "$work/package.log" >&2
	fail "scripts/package.sh made no package"
fi
if [ "$pkg_status" -ne 0 ]; then
	# Its checks are the packaging gate's to report; the packages are what
	# this run needs.
	echo "debsys-test: note: scripts/package.sh's checks failed (status $pkg_status):"
	grep '^FAIL' "$work/package.log" | sed 's/^/  /' || true
fi
printf 'debsys-test:   %s\n' "${debs[@]##*/}"

# --- the root -----------------------------------------------------------------

step "root (tests/debsys/mkroot.sh)"
"$here/mkroot.sh" >"$work/mkroot.log" 2>&1 || {
	cat "$work/mkroot.log" >&2
	fail "no Debian root"
}
cached=$(tail -n 1 "$work/mkroot.log")
sed '$d' "$work/mkroot.log"
[ -d "$cached/boot" ] || fail "mkroot.sh named no root ($cached)"
cp -a --reflink=auto "$cached" "$r" || fail "cannot copy the root"
kimage=$(find "$r/boot" -maxdepth 1 -name "vmlinuz-*" | sort | head -n 1)
[ -n "$kimage" ] || fail "no kernel in the root"
kver=${kimage##*/vmlinuz-}
initrd=$r/boot/initrd.img-$kver
[ -f "$initrd" ] || fail "no initramfs for $kver in the root"

# --- the installation ---------------------------------------------------------

step "installation into the root (kernel $kver)"
mkdir "$work/debs"
cp "${debs[@]}" "$work/debs/"
# In a mount namespace of its own: the chroot's mounts (the host's /dev
# among them) end with it, even when it is killed.
MARKED_SERIAL=$marked OTHER_SERIAL=$spare OPERATOR=$operator \
	unshare --mount "$here/install.sh" "$r" "$work/debs" "$work/install.log" ||
	fail "installing the packages into the root"
[ -z "$(mounted_under "$r")" ] || fail "the chroot's file systems are still mounted"

# --- the image ----------------------------------------------------------------

step "image (mkfs.ext4 -d)"
used=$(du -sm "$r" | cut -f1)
# Room for the journal, logs and a margin.
size=$((used + used / 4 + 256))
mkfs.ext4 -q -F -L debsys -d "$r" "$work/image.ext4" "${size}M" >"$work/mkfs.log" 2>&1 ||
	{ cat "$work/mkfs.log" >&2; fail "mkfs.ext4 -d"; }
cp "$kimage" "$work/vmlinuz"
cp "$initrd" "$work/initrd.img"
rm -rf "$r"

# --- the boot -----------------------------------------------------------------

step "boot and cases"
waited=0
while pgrep qemu-system >/dev/null; do
	[ "$waited" -lt "$qemu_wait" ] || fail "another qemu guest ran for ${qemu_wait}s"
	[ "$waited" -gt 0 ] || echo "debsys-test: waiting for another qemu guest to end"
	sleep 5
	waited=$((waited + 5))
done

"$bin_dir/tmfarend" serve --state "$work/farend" >"$work/farend.log" 2>&1 &
helpers="$helpers $!"
w=0
while [ ! -L "$work/farend/tty" ] && [ "$w" -lt 50 ]; do
	sleep 0.1
	w=$((w + 1))
done
pts=$(readlink "$work/farend/tty") || fail "tmfarend did not start: $(cat "$work/farend.log")"
mkfifo "$work/chk.in" "$work/chk.out" "$work/qmp.in" "$work/qmp.out"
line_device="usb-serial,chardev=line,id=usbline,serial=$marked,bus=usb-bus.0,port=1"

timeout -k 5 "$limit" qemu-system-x86_64 -accel tcg -smp 2 -m 1024 -nographic \
	-nic none -no-reboot \
	-kernel "$work/vmlinuz" -initrd "$work/initrd.img" -append "$kernel_cmdline" \
	-drive "file=$work/image.ext4,format=raw,if=virtio,cache=unsafe" \
	-serial stdio \
	-chardev "pipe,id=qmp,path=$work/qmp" -mon chardev=qmp,mode=control \
	-usb \
	-chardev "serial,id=line,path=$pts" -device "$line_device" \
	-chardev null,id=spare \
	-device "usb-serial,chardev=spare,id=usbspare,serial=$spare,bus=usb-bus.0,port=2,always-plugged=on" \
	-device virtio-serial-pci \
	-chardev "pipe,id=chk,path=$work/chk" -device virtserialport,chardev=chk,name=vorn.check \
	</dev/null >"$work/console.raw" 2>&1 &
qemu_pid=$!
helpers="$helpers $qemu_pid"
cat "$work/qmp.out" >"$work/qmp.log" &
helpers="$helpers $!"

# qmp ID JSON: one QMP command with that id; waits for its answer and
# fails on an error answer.
qmp_started=0
qmp() {
	local id=$1 w=0
	if [ "$qmp_started" = 0 ]; then
		printf '%s\n' '{"execute":"qmp_capabilities","id":"caps"}' >"$work/qmp.in"
		qmp_started=1
	fi
	printf '%s\n' "$2" >"$work/qmp.in"
	until grep -q "\"id\": \"$id\"" "$work/qmp.log"; do
		[ "$w" -lt 100 ] || return 1
		sleep 0.1
		w=$((w + 1))
	done
	! grep "\"id\": \"$id\"" "$work/qmp.log" | grep -q '"error"'
}

# answer_guest: the guest's lines until qemu ends: case lines to
# results.log, requests answered.
answer_guest() {
	local line req text ok n=0 w verb arg
	exec 7<>"$work/chk.out" 8<>"$work/chk.in"
	while IFS= read -r line <&7; do
		line=${line%$'\r'}
		case $line in
		"REQ "*) ;;
		*)
			echo "$line" >>"$work/results.log"
			continue
			;;
		esac
		req=${line#REQ }
		echo "$req" >>"$work/requests.log"
		text=
		ok=0
		n=$((n + 1))
		case $req in
		rom)
			text=$("$bin_dir/tmfarend" ctl --state "$work/farend" show 2>&1 |
				awk '$1 == "key" { print $2 }') && [ -n "$text" ] && ok=1
			;;
		dump)
			text=$("$bin_dir/tmfarend" ctl --state "$work/farend" dump 2>&1 | tail -n 1) &&
				ok=1
			;;
		attach\ * | swap\ * | remove)
			# The far end's key, changed as the guest asks: a ROM of 16
			# lower-case hex digits or, for remove, nothing.
			read -r verb arg <<<"$req"
			if [ "$verb" = remove ]; then
				[ -z "$arg" ] || arg=bad
			elif [[ ! $arg =~ ^[0-9a-f]{16}$ ]]; then
				arg=bad
			fi
			if [ "$arg" = bad ]; then
				text="bad request"
			else
				# shellcheck disable=SC2086 # remove has no ROM
				text=$("$bin_dir/tmfarend" ctl --state "$work/farend" "$verb" $arg 2>&1) &&
					ok=1
			fi
			;;
		unplug)
			if qmp "del$n" "{\"execute\":\"device_del\",\"arguments\":{\"id\":\"usbline\"},\"id\":\"del$n\"}"; then
				# Gone from the machine when qemu says so.
				w=0
				while ! grep -q '"DEVICE_DELETED".*"usbline"' "$work/qmp.log" && [ "$w" -lt 100 ]; do
					sleep 0.1
					w=$((w + 1))
				done
				grep -q '"DEVICE_DELETED".*"usbline"' "$work/qmp.log" && ok=1 ||
					text="no DEVICE_DELETED event"
			else
				text="device_del refused: $(tail -n 1 "$work/qmp.log")"
			fi
			;;
		replug)
			# The same adapter on the same port again.
			if qmp "add$n" "{\"execute\":\"device_add\",\"arguments\":{\"driver\":\"usb-serial\",\"chardev\":\"line\",\"id\":\"usbline\",\"serial\":\"$marked\",\"bus\":\"usb-bus.0\",\"port\":\"1\"},\"id\":\"add$n\"}"; then
				ok=1
			else
				text="device_add refused: $(tail -n 1 "$work/qmp.log")"
			fi
			;;
		*) text="no such request" ;;
		esac
		if [ "$ok" = 1 ]; then
			echo "ok${text:+ $text}" >&8
		else
			echo "error: ${text:-failed}" >&8
		fi
		echo "  -> ok=$ok ${text:0:80}" >>"$work/requests.log"
	done
}
answer_guest &
helpers="$helpers $!"

status=0
wait "$qemu_pid" || status=$?
step ""
qemu_console_text "$work/console.raw" "$work/console.log"
# The log: cases, the host's side, the console.
{
	echo "== guest: cases"
	cat "$work/results.log" 2>/dev/null || true
	echo "== host: guest requests"
	cat "$work/requests.log" 2>/dev/null || true
	echo "== host: qmp"
	cat "$work/qmp.log" 2>/dev/null || true
	echo "== host: tmfarend"
	cat "$work/farend.log" 2>/dev/null || true
	echo "== host: installation"
	cat "$work/install.log" 2>/dev/null || true
	echo "== guest: console"
	cat "$work/console.log"
} >"$log"

grep -E '^DS (PASS|FAIL|  |START)' "$work/results.log" 2>/dev/null || true

cases=$(grep -c '^begin ' "$here/guest-check.sh")
qemu_verdict DS "$status" "$limit" "$cases" "$work/results.log" "$work/console.log"
elapsed=$(($(date +%s) - start))
if [ -n "$problems" ]; then
	if [ -z "$summary" ]; then
		echo "debsys-test: last lines of the console log ($log):" >&2
		tail -n 40 "$work/console.log" | sed 's/^/  | /' >&2
	fi
	fail "kernel $kver, ${elapsed}s:$problems"
fi
echo "debsys-test: PASS: $cases cases on Debian's $kver in ${elapsed}s (log $log)"
