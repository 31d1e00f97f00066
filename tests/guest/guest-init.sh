#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# /init of the qemu test guest: loads touchm (simulated line), runs tmtool (and devcheck)
# against the real /dev/touchm0 and prints one line per case on the console:
#
#   TMQ PASS <case>
#   TMQ FAIL <case>: <what went wrong>
#   TMQ SUMMARY pass=<n> fail=<n>
#
# then the kernel log between "TMQ DMESG BEGIN" and "TMQ DMESG END", and
# powers the machine off. scripts/qemu-test.sh packs this file as /init
# (busybox sh), with the case bookkeeping /guest-lib.sh, tmtool,
# libvorn.so.1 and devcheck in /opt/vorn and the module as /touchm.ko, and
# judges the console log.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH

. /guest-lib.sh
. /event-cases.sh
. /watch-guard-cases.sh
. /probe-interval-cases.sh
guest_start

CTL=/sys/kernel/debug/touchm/ctl
T=/tmp/tmq
TOOL_DIR=/opt/vorn
ROM_A=04efbeadde0000cd
ROM_A_POOL="04 ef be ad de 00 00 cd"
ROM_A_GETID="cd 00 00 de ad be ef 04"
ROM_B=2801020304050a3d
ROM_B_POOL="28 01 02 03 04 05 0a 3d"
ROM_C=0c1122334455aa24
ROM_C_POOL="0c 11 22 33 44 55 aa 24"
# How long a wait for a polling event or an exit may take, in tenths of a
# second.
WAIT_TENTHS=200

mkdir -p "$T"
cd "$TOOL_DIR" || echo "TMQ FAIL setup: no $TOOL_DIR"


# --- the simulated line's control file -------------------------------------

# ctl COMMAND: a control command that must succeed.
ctl() {
	echo "$*" >"$CTL" || bad "ctl '$*' refused"
}

# count served|failed KIND: a request counter of the driver.
count() {
	awk -v w="$1" -v k="$2" \
		'$1 == w { for (i = 2; i < NF; i += 2) if ($i == k) print $(i + 1) }' \
		"$CTL"
}

# --- cases ------------------------------------------------------------------

begin module-bare
# Without parameters the module serves no line until a tty is attached.
if insmod /touchm.ko; then
	[ ! -e /dev/touchm0 ] || bad "/dev/touchm0 without a line"
	[ ! -e "$CTL" ] || bad "control file without the simulated line"
	rmmod touchm || bad "rmmod failed"
else
	bad "insmod failed"
fi
end

begin module-load
if insmod /touchm.ko sim=1; then
	[ -c /dev/touchm0 ] || bad "no character device /dev/touchm0"
	# Like every line's: for root and the group udev gives it.
	mode=$(ls -l /dev/touchm0 | cut -c1-10)
	[ "$mode" = crw-rw---- ] || bad "/dev/touchm0 is $mode, not crw-rw----"
	[ -f "$CTL" ] || bad "no control file $CTL"
	grep -qx "key $ROM_A" "$CTL" || bad "default key not attached"
	grep -qx "memory 512" "$CTL" || bad "memory size not 512"
else
	bad "insmod failed"
fi
end

begin startup-chksl
chksl_says present
empty stderr "$T/err"
end

begin getid
p0=$(count served presence)
r0=$(count served rom)
getid_says "$ROM_A_GETID"
[ "$(count served presence)" = $((p0 + 1)) ] || bad "not one presence request"
[ "$(count served rom)" = $((r0 + 1)) ] || bad "not one ROM request"
end

memory_cases

begin debugfs-mem
# The memory as the simulated key holds it, not read through the driver:
# 512 bytes, in pieces at an offset too, the same as the image of what the
# memory cases wrote.
MEM=/sys/kernel/debug/touchm/mem
[ "$(wc -c <"$MEM")" = 512 ] || bad "$MEM is not 512 bytes"
got=$(dd if="$MEM" bs=1 skip=64 count=11 2>/dev/null)
[ "$got" = kernel-side ] || bad "$MEM at 64 holds '$got'"
cmp "$T/image.bin" "$MEM" || bad "$MEM differs from what was written"
end

begin protocol
# Call by call: repeated opens, exactly 8 ROM bytes, request results and
# errno, file positions, short transfers at the end of the memory.
./devcheck "$ROM_A" 512 >"$T/out" 2>&1 || bad "devcheck failed"
same devcheck "$T/out" <<EOF
devcheck: ok
EOF
end

begin getid-no-key
ctl remove
grep -qx "key none" "$CTL" || bad "key still shown"
./devcheck none 512 >"$T/out" 2>&1 || bad "devcheck without key failed"
same "devcheck without key" "$T/out" <<EOF
devcheck: ok
EOF
p0=$(count served presence)
r0=$(count served rom)
getid_says none
[ "$(count served presence)" = $((p0 + 3)) ] || bad "not three presence requests"
[ "$(count served rom)" = "$r0" ] || bad "a ROM request without a key"
chksl_says none
ctl attach "$ROM_A"
end

begin pool
pool_start
ctl remove
wait_lines "$T/pool.out" 5
ctl attach "$ROM_B"
wait_lines "$T/pool.out" 6
ctl swap "$ROM_C"
wait_lines "$T/pool.out" 7
stop "$POOL_PID" INT
[ "$RC" = 0 ] || bad "/pool ended with status $RC"
same stdout "$T/pool.out" <<EOF
using dev /dev/touchm0
libvorn inited
libvorn closed
rom id $ROM_A_POOL
no slave
rom id $ROM_B_POOL
rom id $ROM_C_POOL
EOF
empty stderr "$T/pool.err"
ctl remove
ctl attach "$ROM_A"
end

begin ctl-refuses
for bad_cmd in "attach $ROM_B" "swap 0011" "bogus" "fault rom-bit 64" "fault serial-write x" "remove extra"; do
	if echo "$bad_cmd" >"$CTL" 2>/dev/null; then
		bad "'$bad_cmd' accepted"
	fi
done
grep -qx "key $ROM_A" "$CTL" || bad "key changed by a refused command"
end

begin serial-write-fault
# The reset pulses of the presence and ROM requests pass; velkor's first
# write_1w() fails once, and the second attempt of getid succeeds.
n0=$(klog "write ll failed -5")
ctl fault serial-write 2 1
getid_says "$ROM_A_GETID"
[ "$(klog "write ll failed -5")" = $((n0 + 1)) ] || bad "no 'write ll failed -5' in the kernel log"
# Failing for good: getid gives up.
ctl fault serial-write 2
getid_says none
ctl clear
chksl_says present
end

begin serial-read-fault
n0=$(klog "read ll failed -5")
ctl fault serial-read 2 1
getid_says "$ROM_A_GETID"
[ "$(klog "read ll failed -5")" = $((n0 + 1)) ] || bad "no 'read ll failed -5' in the kernel log"
ctl clear
end

begin rom-bit
f0=$(count failed rom)
ctl fault rom-bit 13
getid_says none
[ "$(count failed rom)" = $((f0 + 3)) ] || bad "not three failed ROM requests"
chksl_says present
ctl clear
getid_says "$ROM_A_GETID"
end

EV_ROM=$ROM_A
EV_ROM_B=$ROM_B
EV_ROM_C=$ROM_C
event_cases
probe_interval_cases
watch_guard_cases

begin module-unload
if rmmod touchm; then
	[ ! -e /dev/touchm0 ] || bad "/dev/touchm0 still there"
	[ ! -e "$CTL" ] || bad "control file still there"
else
	bad "rmmod failed"
fi
./tmtool chksl >"$T/out" 2>"$T/err"
rc=$?
[ "$rc" = 1 ] || bad "tmtool without the device: status $rc, not 1"
grep -qx "can not init client" "$T/out" || bad "tmtool ran without the device"
end

begin kernel-health
kernel_health
end

finish
