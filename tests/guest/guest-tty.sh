#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# /init of the qemu test guest for the tty backend: loads touchm without
# parameters, attaches the line discipline with tmattach to the serial line
# whose far end is tmfarend on the host, and runs tmtool (and devcheck)
# against /dev/touchm0. The line is qemu's 16550 (ttyS1) or its emulated
# USB-serial adapter (ttyUSB0), by "tmq.line=16550" or "tmq.line=usb" on
# the kernel command line.
#
# Requests to the host go out on ttyS2, one line each, and the runner
# (scripts/qemu-test.sh) answers "ok" or "error: ..." on the same port:
# the far end's control commands (attach ROM, remove, swap ROM, fault
# silent|crc, clear, pace on|off, show), "touch ROM MS" (attach, MS ms,
# remove) and, for the USB adapter, "unplug" and "replug" through qemu's
# monitor.
#
# Packed as /init with /guest-lib.sh, tmtool, libvorn.so.1, tmattach,
# devcheck and evcheck in /opt/vorn, the module as /touchm.ko and the USB modules in
# /lib/modules/usb.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH

. /guest-lib.sh
. /hostile-cases.sh
. /caller-cases.sh
. /event-cases.sh
. /probe-interval-cases.sh
. /line-gone-cases.sh
guest_start

T=/tmp/tmq
TOOL_DIR=/opt/vorn
# The far end's key: family 0x04, 512 bytes, the same greeting in memory
# as the simulated line's key.
ROM_T=0400e1a5c0ffeeef
ROM_T_POOL="04 00 e1 a5 c0 ff ee ef"
ROM_T_GETID="ef ee ff c0 a5 e1 00 04"
ROM_B=2801020304050a3d
ROM_B_POOL="28 01 02 03 04 05 0a 3d"
# Family 0x0C: 8192 bytes, long enough a read to unplug the adapter during it.
ROM_C=0c1122334455aa24
ROM_C_POOL="0c 11 22 33 44 55 aa 24"
ROM_C_GETID="24 aa 55 44 33 22 11 0c"
BIG_READ=8192
# How long a wait for a device, a polling event or an exit may take, in
# tenths of a second.
WAIT_TENTHS=200
# A silent far end must fail a request within this many seconds.
SILENT_LIMIT=10


mkdir -p "$T"
cd "$TOOL_DIR" || echo "TMQ FAIL setup: no $TOOL_DIR"
tty_line

# --- cases ------------------------------------------------------------------

begin line-up
line_up
host clear
end

begin module-bare
if insmod /touchm.ko; then
	[ ! -e /dev/touchm0 ] || bad "/dev/touchm0 without a line"
else
	bad "insmod failed"
fi
end

begin attach
attach
[ "$(lines "$T/attach.out")" = 1 ] || bad "tmattach did not say one line"
[ -c /dev/touchm0 ] || bad "/dev/touchm0 is no character device"
end

begin startup-chksl
chksl_says present
empty stderr "$T/err"
end

begin getid
getid_says "$ROM_T_GETID"
end

memory_cases

begin protocol
./devcheck "$ROM_T" 512 >"$T/out" 2>&1 || bad "devcheck failed"
same devcheck "$T/out" <<EOF
devcheck: ok
EOF
end

begin getid-no-key
host remove
./devcheck none 512 >"$T/out" 2>&1 || bad "devcheck without key failed"
same "devcheck without key" "$T/out" <<EOF
devcheck: ok
EOF
getid_says none
chksl_says none
host attach "$ROM_T"
end

begin bad-crc
# The key answers, but its ROM fails the CRC check: no key for getid.
host fault crc
getid_says none
chksl_says present
host clear
getid_says "$ROM_T_GETID"
end

begin pool
pool_start
host remove
wait_lines "$T/pool.out" 5
host attach "$ROM_B"
wait_lines "$T/pool.out" 6
host swap "$ROM_C"
wait_lines "$T/pool.out" 7
pool_stop 7
same stdout "$T/pool.out" <<EOF
using dev /dev/touchm0
libvorn inited
libvorn closed
rom id $ROM_T_POOL
no slave
rom id $ROM_B_POOL
rom id $ROM_C_POOL
EOF
empty stderr "$T/pool.err"
host swap "$ROM_T"
end

begin far-end-silent
# Nothing answers, not even the echo: the request fails in bounded time.
host fault silent
t0=$(now)
chksl_says none
took=$(($(now) - t0))
[ "$took" -le $((SILENT_LIMIT * 100)) ] || bad "chksl took ${took}0 ms"
host clear
chksl_says present
end

begin unplug-during-read
# A long read at wire speed; the line goes away in the middle of it: the
# USB adapter is unplugged, the 16550's discipline is detached. A
# descriptor left open fails its next request with ENODEV.
host swap "$ROM_C"
host pace on
exec 6<>/dev/touchm0
dd if=/dev/touchm0 of="$T/big.bin" bs=$BIG_READ count=1 2>"$T/dd.err" &
dd_pid=$!
sleep 1
if [ "$LINE_KIND" = usb ]; then
	host unplug
	wait_path absent /dev/touchm0
	attach_hung_up "the unplug"
else
	detach
fi
stop "$dd_pid" CONT
[ "$RC" != 0 ] || bad "the read did not fail"
[ "$(wc -c <"$T/big.bin")" != "$BIG_READ" ] || bad "the read delivered everything"
if dd bs=16 count=1 <&6 >/dev/null 2>"$T/dd6.err"; then
	bad "a read on a descriptor left open worked"
fi
grep -q "No such device" "$T/dd6.err" || bad "descriptor left open: $(cat "$T/dd6.err")"
exec 6<&-
host pace off
if [ "$LINE_KIND" = usb ]; then
	host replug
	wait_path present "$LINE"
fi
attach
getid_says "$ROM_C_GETID"
host swap "$ROM_T"
end

hostile_cases

caller_cases

EV_ROM=$ROM_T
EV_ROM_B=$ROM_B
EV_ROM_C=$ROM_C
event_cases
probe_interval_cases

line_gone_cases

begin detach
detach
./tmtool chksl >"$T/out" 2>"$T/err"
grep -qx "can not init client" "$T/out" || bad "tmtool ran without the device"
end

begin module-unload
rmmod touchm || bad "rmmod failed"
end

begin kernel-health
kernel_health
end

finish
