#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# /init of the wire-speed benchmark guest: the tty backend as in
# guest-tty.sh (touchm without parameters, tmattach on ttyS1 or ttyUSB0,
# tmfarend on the host), the far end pacing its answers at wire speed. Each
# measured command runs ROUNDS times under elapsed, between two readings of
# the far end's byte counts, and says on the console
#
#   TMB op=<name> pace=<on|off> us=<elapsed> reset=<bytes> data=<bytes> writes=<n>
#
# (bytes the far end received at 9600 and at 115200 baud during the run, and
# the velkor writes of the driver's transactions it saw).
# The op "idle" is tmtool with a command word it does not know: start-up and
# exit without a line request, the cost every run pays besides the line.
# A last set of rounds runs unpaced: the time the line's fixed waits take
# when the wire costs next to nothing. scripts/bench-wire.sh runs this guest
# and turns the lines into a table.
#
# At the end, the kernel's 1-Wire core (see the w1-core case).
#
# Between the two, the key events: evcheck's "TME" lines give the time from
# the far end's attach to the event read (50 rounds at the default watch
# interval, with bounds: see evcheck.c) and the guest's busy CPU time with
# nobody watching and with an event descriptor open.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH

. /guest-lib.sh
guest_start

T=/tmp/tmq
TOOL_DIR=/opt/vorn
WAIT_TENTHS=200
ROUNDS=7
# The size the benchmark moves: the whole memory of the far end's key.
SIZE=512
# The far end's key, and the one the event rounds attach and remove.
KEY_ROM=0400e1a5c0ffeeef
EVENT_ROM=2801020304050a3d
EVENT_ROUNDS=50
# The thermometer beside the key for the 1-Wire core's rounds, and the
# core's search interval: longer than the rounds take.
THERM_ROM=28a1b2c3d4e5f6ac
W1_TIMEOUT_S=3600
W1_SLAVES=/sys/bus/w1/devices/w1_bus_master1/w1_master_slaves
# How long each phase of the CPU measurement lasts, in ms.
EVENT_CPU_MS=10000


mkdir -p "$T"
cd "$TOOL_DIR" || echo "TMQ FAIL setup: no $TOOL_DIR"
tty_line

# counts: the far end's counts into RESET, DATA (bytes received at 9600 and
# 115200 baud) and WRITES (velkor writes of the transactions).
counts() {
	host show
	# shellcheck disable=SC2086 # "counts reset R data D other O dropped X writes W"
	set -- $REPLY
	RESET=$3
	DATA=$5
	WRITES=${11}
}

# measure NAME PACE EXPECT ARGS...: ROUNDS timed runs of tmtool ARGS; its
# standard output must hold the line EXPECT.
measure() {
	name=$1
	pace=$2
	expect=$3
	shift 3
	i=0
	while [ "$i" -lt "$ROUNDS" ]; do
		counts
		r0=$RESET
		d0=$DATA
		w0=$WRITES
		./elapsed ./tmtool "$@" >"$T/out" 2>"$T/err"
		counts
		grep -qx "$expect" "$T/out" || bad "$name: no '$expect'"
		us=$(sed -n 's/^elapsed //p' "$T/err")
		echo "TMB op=$name pace=$pace us=$us reset=$((RESET - r0)) data=$((DATA - d0))" \
			"writes=$((WRITES - w0))"
		i=$((i + 1))
	done
}

begin line-up
line_up
host clear
end

begin attach
insmod /touchm.ko || bad "insmod failed"
attach
end

begin prepare
head -c "$SIZE" /dev/urandom >"$T/image.bin"
tool memwrf "$T/image.bin" 0
grep -qx ok "$T/out" || bad "memwrf failed"
host pace on
end

begin paced
measure idle on "unknown cmd" nosuch
measure getid on "getting rom id...ok" getid
measure memrd on "read from 0 $SIZE bytes" memrd 0 "$SIZE"
measure memwrf on ok memwrf "$T/image.bin" 0
end

begin event-latency
# The key events at the default interval, the far end at wire speed: from
# the far end's attach to the event read (evcheck latency), and the CPU the
# watch costs.
host remove
./evcheck latency "$EVENT_ROUNDS" "$HOST_PORT" "$EVENT_ROM" || bad "evcheck latency failed"
host attach "$KEY_ROM"
end

begin event-cpu
./evcheck cpu "$EVENT_CPU_MS" || bad "evcheck cpu failed"
end

begin unpaced
host pace off
measure idle off "unknown cmd" nosuch
measure getid off "getting rom id...ok" getid
measure memrd off "read from 0 $SIZE bytes" memrd 0 "$SIZE"
measure memwrf off ok memwrf "$T/image.bin" 0
end

begin w1-core
# The kernel's 1-Wire core on the line: a thermometer beside the key, the
# far end at wire speed, the core searching once at attach and not again
# during the rounds. w1bench's "TMW" lines: a Search ROM of the line and a
# Match ROM with Read Scratchpad, batched by the master and one bit per
# round trip.
host pace on
host device add "$THERM_ROM"
detach
rmmod touchm || bad "rmmod touchm failed"
rmmod wire || bad "rmmod wire failed"
insmod "$W1_MODULES/wire.ko" timeout="$W1_TIMEOUT_S" || bad "insmod wire failed"
insmod /touchm.ko || bad "insmod touchm failed"
attach
w=0
while [ "$(wc -l <"$W1_SLAVES" 2>/dev/null)" != 2 ] && [ "$w" -lt "$WAIT_TENTHS" ]; do
	sleep 0.1
	w=$((w + 1))
done
[ "$(wc -l <"$W1_SLAVES" 2>/dev/null)" = 2 ] || bad "the core lists $(cat "$W1_SLAVES" 2>&1)"
./w1bench 1 "$ROUNDS" "$KEY_ROM" "$THERM_ROM" || bad "w1bench failed"
host device drop "$THERM_ROM"
end

begin detach
detach
rmmod touchm || bad "rmmod failed"
end

finish
