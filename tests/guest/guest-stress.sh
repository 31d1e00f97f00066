#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# /init of the qemu stress guest: the reference driver under many users at
# once, random calls, hangups in the middle of every kind of request and
# unload attempts while it is in use, on the simulated line (no tmq.line on
# the kernel command line) or on a tty line ("tmq.line=16550" or
# "tmq.line=usb", with tmfarend on the host as the far end, as in
# guest-tty.sh). "tmq.stress=SECONDS" sets how long each of the two load
# phases runs (default 10).
#
# Cases and summary as in the other guests (guest-lib.sh); lines starting
# with "TMS " give the counts: calls made, errors by kind, bytes written and
# verified. The kernel itself watches too: scripts/qemu-test.sh boots it so
# that a warning panics, a task blocked for 10 s panics and the allocator
# checks its objects; the last cases check that the module's use count and
# the number of open files are back where they were.
#
# Packed as /init with /guest-lib.sh, tmtool, libvorn.so.1, tmstress,
# devcheck and (on a tty line) tmattach in /opt/vorn, the module as
# /touchm.ko and the USB modules in /lib/modules/usb.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH

. /guest-lib.sh
guest_start

T=/tmp/tmq
TOOL_DIR=/opt/vorn
WAIT_TENTHS=200
MEM_SIZE=512
# Concurrent users: this many writers, each with its own slice of the key.
WRITERS=4
SLICE=$((MEM_SIZE / WRITERS))
# Random calls: this many processes, from this seed.
RANDOM_PROCS=4
SEED=20261208
# What a request of the hangup cases may take before the line goes.
LOOP_LIMIT=60
SIM_MEM=/sys/kernel/debug/touchm/mem
KINDS="presence rom reset skip read write"


mkdir -p "$T"
cd "$TOOL_DIR" || echo "TMQ FAIL setup: no $TOOL_DIR"

STRESS=10
LINE_KIND=sim
for word in $(cat /proc/cmdline); do
	case $word in
	tmq.stress=*) STRESS=${word#tmq.stress=} ;;
	tmq.line=*) LINE_KIND=${word#tmq.line=} ;;
	esac
done
if [ "$LINE_KIND" = sim ]; then
	ROM=04efbeadde0000cd
	ROM_POOL="04 ef be ad de 00 00 cd"
	ROM_GETID="cd 00 00 de ad be ef 04"
	echo "TMQ line sim"
else
	tty_line
	ROM=0400e1a5c0ffeeef
	ROM_POOL="04 00 e1 a5 c0 ff ee ef"
	ROM_GETID="ef ee ff c0 a5 e1 00 04"
fi
echo "TMQ stress $STRESS s"
echo 10 >/proc/sys/kernel/hung_task_timeout_secs 2>/dev/null ||
	echo "TMQ note: no hung task detector"

# open_files: the descriptors open in all processes. (The kernel's own
# count in /proc/sys/fs/file-nr is per-CPU and only approximate.)
open_files() {
	n=0
	for fd in /proc/[0-9]*/fd/*; do
		[ -L "$fd" ] && n=$((n + 1))
	done
	echo "$n"
}

# module_refs: the module's use count (none once it is unloaded).
module_refs() {
	cat /sys/module/touchm/refcnt 2>/dev/null || echo none
}

# load: the module, and on a tty line attached; until /dev/touchm0 is there.
load() {
	if [ "$LINE_KIND" = sim ]; then
		insmod /touchm.ko sim=1 || bad "insmod failed"
	else
		insmod /touchm.ko || bad "insmod failed"
		attach
	fi
	wait_path present /dev/touchm0
}

# model_image FILE: the key memory as the key model holds it (the
# simulated key inside the module, or tmfarend's), not read through the
# driver.
model_image() {
	if [ "$LINE_KIND" = sim ]; then
		cat "$SIM_MEM" >"$1" || bad "cannot read $SIM_MEM"
	else
		host dump
		echo "$REPLY" >"$1"
	fi
}

# same_as_model WHAT FILE: FILE holds what the key model holds.
same_as_model() {
	model_image "$T/model"
	if [ "$LINE_KIND" = sim ]; then
		cmp -s "$2" "$T/model" && return 0
	else
		[ "$(od -An -v -tx1 "$2" | tr -d ' \n')" = "$(cat "$T/model")" ] && return 0
	fi
	bad "$1: the key memory is not what was written"
	od -An -v -tx1 "$2" | head -n 4 | sed 's/^/TMQ   | written /'
	return 1
}

# hang_up HOW: the line goes from under the driver.
hang_up() {
	case $1 in
	unplug) host unplug ;;
	vhangup) ./tmstress hangup "$LINE" || bad "hangup of $LINE failed" ;;
	detach) detach ;;
	esac
	wait_path absent /dev/touchm0
	[ "$1" = detach ] || attach_hung_up "$1"
	if [ "$1" = unplug ]; then
		host replug
		wait_path present "$LINE"
	fi
}

# pool_saw_nothing: ends /pool; it must have reported the key once and
# nothing else.
pool_saw_nothing() {
	pool_stop 4
	same "/pool stdout" "$T/pool.out" <<EOF
using dev /dev/touchm0
libvorn inited
libvorn closed
rom id $ROM_POOL
EOF
	empty "/pool stderr" "$T/pool.err"
}

# --- cases ------------------------------------------------------------------

begin setup
if [ "$LINE_KIND" != sim ]; then
	line_up
	host clear
fi
FILES0=$(open_files)
load
# Right after the line came up, before any transfer: the end of the key
# memory is already known.
./tmstress fresh "$MEM_SIZE" >"$T/out" 2>&1 || bad "$(cat "$T/out")"
getid_says "$ROM_GETID"
end

begin concurrent-users
# WRITERS processes each write a new pattern to their own slice with memwrf
# and read it back with memrdf, while /pool watches the line and another
# loop reads the ROM, for STRESS seconds.
until=$(($(now) + STRESS * 100))
rm -f "$T"/w*
pool_start
writer() {
	rounds=0
	while [ "$(now)" -lt "$until" ]; do
		head -c "$SLICE" /dev/urandom >"$T/w$1.new"
		if ! ./tmtool memwrf "$T/w$1.new" $(($1 * SLICE)) >"$T/w$1.out" 2>&1 ||
			! grep -qx ok "$T/w$1.out"; then
			echo "writer $1 round $rounds: memwrf: $(tr '\n' '|' <"$T/w$1.out")" >>"$T/w$1.bad"
			break
		fi
		mv "$T/w$1.new" "$T/w$1.last"
		rm -f "$T/w$1.back"
		if ! ./tmtool memrdf "$T/w$1.back" $(($1 * SLICE)) "$SLICE" >"$T/w$1.out" 2>&1 ||
			! cmp -s "$T/w$1.last" "$T/w$1.back"; then
			echo "writer $1 round $rounds: read back differs: $(tr '\n' '|' <"$T/w$1.out")" >>"$T/w$1.bad"
			break
		fi
		rounds=$((rounds + 1))
	done
	echo "$rounds" >"$T/w$1.rounds"
}
getid_loop() {
	n=0
	while [ "$(now)" -lt "$until" ]; do
		./tmtool getid >"$T/g.out" 2>&1
		if ! grep -qx "rom id $ROM_GETID" "$T/g.out"; then
			echo "getid $n: $(tr '\n' '|' <"$T/g.out")" >>"$T/g.bad"
			break
		fi
		n=$((n + 1))
	done
	echo "$n" >"$T/g.rounds"
}
pids=
i=0
while [ "$i" -lt "$WRITERS" ]; do
	writer "$i" &
	pids="$pids $!"
	i=$((i + 1))
done
getid_loop &
pids="$pids $!"
for pid in $pids; do
	wait "$pid"
done
pool_saw_nothing
cat "$T"/w*.bad "$T/g.bad" 2>/dev/null | sed 's/^/TMQ   | /'
[ -z "$(cat "$T"/w*.bad "$T/g.bad" 2>/dev/null)" ] || bad "a user saw a failure"
: >"$T/image.bin"
rounds=0
i=0
while [ "$i" -lt "$WRITERS" ]; do
	cat "$T/w$i.last" >>"$T/image.bin" 2>/dev/null || bad "writer $i wrote nothing"
	rounds=$((rounds + $(cat "$T/w$i.rounds" 2>/dev/null || echo 0)))
	i=$((i + 1))
done
same_as_model "final key image" "$T/image.bin"
dd if=/dev/touchm0 of="$T/device.bin" bs="$MEM_SIZE" count=1 2>/dev/null
cmp -s "$T/image.bin" "$T/device.bin" || bad "the device reads other than was written"
echo "TMS concurrent: writers $WRITERS rounds $rounds bytes written $((rounds * SLICE)) verified $((rounds * SLICE)) getid $(cat "$T/g.rounds" 2>/dev/null)"
end

begin random-calls
./tmstress random "$SEED" "$STRESS" "$RANDOM_PROCS" "$ROM" "$MEM_SIZE" >"$T/out" 2>&1 ||
	bad "random calls failed"
grep -v '^TMS ' "$T/out" | sed 's/^/TMQ   | /'
grep '^TMS ' "$T/out"
grep -q '^TMS random bytes' "$T/out" || bad "no counts from tmstress"
# The device still answers as it should, and its memory is the model's.
./devcheck "$ROM" "$MEM_SIZE" >"$T/out" 2>&1 || bad "devcheck after the random calls: $(cat "$T/out")"
getid_says "$ROM_GETID"
dd if=/dev/touchm0 of="$T/device.bin" bs="$MEM_SIZE" count=1 2>/dev/null
same_as_model "key image after the random calls" "$T/device.bin"
if [ "$LINE_KIND" != sim ]; then
	# Every byte the far end saw came at one of the line's two speeds, and
	# it answered every one: no request, however cut short, sent bytes at
	# a speed half changed.
	host show
	echo "TMS far end: $REPLY"
	case " $REPLY " in
	*" other 0 dropped 0 "*) ;;
	*) bad "the far end saw bytes at other speeds or dropped some: $REPLY" ;;
	esac
fi
end

if [ "$LINE_KIND" != sim ]; then
	begin hangup-each-request
	# The line hangs up under each kind of request in turn, in the ways a
	# tty goes: the USB adapter unplugged, a hangup (carrier lost), the
	# discipline detached. The request fails with a line error, a later one
	# on the same descriptor with ENODEV; the node goes, and the line comes
	# back when attached again.
	ways="vhangup detach"
	[ "$LINE_KIND" = usb ] && ways="unplug vhangup detach"
	# shellcheck disable=SC2086 # the ways, one word each
	set -- $ways
	for kind in $KINDS; do
		how=$1
		shift
		set -- "$@" "$how"
		./tmstress loop "$kind" "$LOOP_LIMIT" >"$T/loop.out" 2>&1 &
		loop_pid=$!
		wait_lines "$T/loop.out" 1
		sleep 0.3
		hang_up "$how"
		stop "$loop_pid" CONT
		echo "TMS hangup $kind by $how: $(sed -n 's/^TMS loop [a-z]*: //p' "$T/loop.out")"
		[ "$RC" = 0 ] || bad "$kind by $how: $(grep -v '^TMS' "$T/loop.out")"
		[ ! -e /dev/touchm0 ] || bad "/dev/touchm0 still there after $how"
		attach
		./tmstress fresh "$MEM_SIZE" >"$T/out" 2>&1 || bad "after $how: $(cat "$T/out")"
		getid_says "$ROM_GETID"
	done
	end

	begin hangup-all-users
	# Every kind of request at once, each from its own process and
	# descriptor, and a process opening and closing the node, when the line
	# goes: one request is in flight, the others wait for the line; all end
	# with a line error, and opens fail once the node is gone (ENODEV while
	# devtmpfs has yet to remove it, then ENOENT). Meanwhile the watch
	# probes every 10 ms for an event descriptor, whose holder sees the
	# line go (POLLHUP, then ENODEV).
	for how in $ways; do
		echo 10 >/sys/class/misc/touchm0/watch_ms || bad "watch_ms not set"
		./evcheck hup 60000 >"$T/hup.out" 2>&1 &
		hup_pid=$!
		wait_lines "$T/hup.out" 1
		pids=
		for kind in $KINDS open; do
			./tmstress loop "$kind" "$LOOP_LIMIT" >"$T/all.$kind" 2>&1 &
			pids="$pids $kind:$!"
		done
		for kind in $KINDS open; do
			wait_lines "$T/all.$kind" 1
		done
		sleep 0.3
		hang_up "$how"
		for entry in $pids; do
			stop "${entry#*:}" CONT
			[ "$RC" = 0 ] || bad "${entry%%:*} by $how: $(grep -v '^TMS' "$T/all.${entry%%:*}")"
		done
		stop "$hup_pid" CONT
		[ "$RC" = 0 ] || bad "event descriptor by $how: $(cat "$T/hup.out")"
		echo "TMS all users by $how:$(sed -n 's/^TMS loop \([a-z]*\): \([0-9]*\) ok.*, then \([A-Z]*\) .*/ \1 \2 ok \3;/p' "$T"/all.* | tr -d '\n')"
		attach
		./tmstress fresh "$MEM_SIZE" >"$T/out" 2>&1 || bad "after $how: $(cat "$T/out")"
	done
	end
fi

begin unload-while-used
# While /pool works the line, while a descriptor is open, and while the tty
# holds the discipline, the module stays; its users go on unharmed.
exec 6<>/dev/touchm0
pool_start
attempts=0
while [ "$attempts" -lt 5 ]; do
	if rmmod touchm 2>/dev/null; then
		bad "module unloaded while in use"
		break
	fi
	attempts=$((attempts + 1))
	sleep 0.2
done
pool_saw_nothing
rmmod touchm 2>/dev/null && bad "module unloaded while /dev/touchm0 was open"
[ "$(module_refs)" != 0 ] || bad "use count 0 with the device open"
dd bs=16 count=1 <&6 >/dev/null 2>"$T/dd.err" || bad "the open descriptor: $(cat "$T/dd.err")"
exec 6<&-
chksl_says present
if [ "$LINE_KIND" != sim ]; then
	rmmod touchm 2>/dev/null && bad "module unloaded while attached to $LINE"
	detach
fi
refs=$(module_refs)
[ "$refs" = 0 ] || bad "use count $refs with nothing open"
rmmod touchm || bad "rmmod failed with nothing open"
[ ! -e /sys/module/touchm ] || bad "module still there"
echo "TMS unload: $attempts attempts refused while /pool ran, then unloaded with nothing open"
# Loaded again, it serves the key and reads what the key model holds.
load
getid_says "$ROM_GETID"
dd if=/dev/touchm0 of="$T/device.bin" bs="$MEM_SIZE" count=1 2>/dev/null
same_as_model "key image after reloading" "$T/device.bin"
end

begin leaks
# Everything closed and unloaded: the module's use count was 0 before, and
# the open files are back to their number before the first load.
if [ "$LINE_KIND" != sim ]; then
	detach
fi
refs=$(module_refs)
[ "$refs" = 0 ] || bad "use count $refs at the end"
rmmod touchm || bad "rmmod failed at the end"
# Files are freed a moment after their last close.
w=0
while [ "$(open_files)" != "$FILES0" ] && [ "$w" -lt 30 ]; do
	sleep 0.1
	w=$((w + 1))
done
[ "$(open_files)" = "$FILES0" ] || bad "open files $(open_files), were $FILES0"
echo "TMS leaks: open files $(open_files) (were $FILES0), use count $refs"
end

begin kernel-health
kernel_health
end

finish
