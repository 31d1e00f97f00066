#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The checks of the Debian-system run, inside the booted guest: started once
# at boot by vorn-debsys-check.service, after the system came up on its own
# (nothing here attaches, loads or starts anything the packages should).
# It reports one line per case on the virtio port vorn.check,
#
#   DS PASS <case> (<seconds>)
#   DS FAIL <case> (<seconds>): <what went wrong>
#   DS   | <detail>
#   DS SUMMARY pass=N fail=M
#
# and asks the host for what only the host can do on the same port, one
# line each ("REQ rom", "REQ dump", "REQ swap ROM", "REQ remove", "REQ
# attach ROM", "REQ unplug", "REQ replug"); the host
# (scripts/debsys-test.sh) answers "ok [TEXT]" or "error: ...". Then the
# guest powers off.
#
# /etc/vorn-debsys.conf names the adapters: MARKED_SERIAL (the USB serial
# number the local rule marks with TOUCHM_LINE=1), OTHER_SERIAL (a second
# adapter, unmarked) and OPERATOR (an unprivileged user in group touchm);
# and what README's uevent rule pair in /etc/udev/rules.d/80-door.rules
# acts on: DOOR_ROM (the key that opens the door), DOOR_LOG (where the door
# writes "EVENT ROM" of each uevent it is run for) and UEVENT_LOG (the same
# for every key event, from a rule beside it).
set -u
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
# shellcheck source=/dev/null
. /etc/vorn-debsys.conf

PORT=/dev/virtio-ports/vorn.check
NODE=/dev/touchm0
SYSFS=/sys/class/misc/touchm0
# How long the node may take to appear at boot, in seconds.
BOOT_WAIT=120
# A re-plugged adapter must give the node back within this many seconds.
REPLUG_LIMIT=5
# How long an unplug may take to end the unit and remove the node.
UNPLUG_WAIT=20
# How long the host may take to answer a request.
HOST_WAIT=60
# How long a change of key may take to reach udev's rules and tmwatch.
EVENT_WAIT=5
T=$(mktemp -d)

npass=0
nfail=0

# out LINE: a line to the host, and to the journal.
out() {
	echo "$*" >&3
	echo "$*"
}

# Seconds since boot, in hundredths.
now() {
	local up
	read -r up _ </proc/uptime
	echo "${up%.*}${up#*.}"
}
# hundredths N: N hundredths as seconds with two decimals.
hundredths() {
	printf '%d.%02d' $(($1 / 100)) $(($1 % 100))
}

begin() {
	CASE=$1
	CASE_BAD=
	CASE_START=$(now)
}
bad() {
	CASE_BAD="${CASE_BAD}${CASE_BAD:+; }$*"
}
# detail FILE: the file's lines under the case.
detail() {
	local line
	while IFS= read -r line; do
		out "DS   | $line"
	done <"$1"
}
end() {
	local took
	took=$(hundredths $(($(now) - CASE_START)))
	if [ -z "$CASE_BAD" ]; then
		out "DS PASS $CASE (${took}s)"
		npass=$((npass + 1))
	else
		out "DS FAIL $CASE (${took}s): $CASE_BAD"
		nfail=$((nfail + 1))
	fi
}

# host REQUEST: asks the host; its answer's text (after "ok ") in ANSWER.
# Status 1 when it said "error" or did not answer in time.
host() {
	local reply
	out "REQ $*"
	if ! IFS= read -r -t "$HOST_WAIT" reply <&3; then
		ANSWER="no answer"
		return 1
	fi
	case $reply in
	ok) ANSWER= ;;
	"ok "*) ANSWER=${reply#ok } ;;
	*) ANSWER=$reply; return 1 ;;
	esac
}

# wait_for TENTHS COMMAND...: runs COMMAND every tenth of a second until it
# succeeds (status 0) or TENTHS have passed (status 1).
wait_for() {
	local left=$1
	shift
	until "$@"; do
		[ "$left" -gt 0 ] || return 1
		left=$((left - 1))
		sleep 0.1
	done
}

is_char() { [ -c "$1" ]; }
# has_line FILE LINE: FILE holds LINE as a whole line.
has_line() { grep -qxF -- "$2" "$1" 2>/dev/null; }
# has_line_after FILE N LINE: the same after FILE's first N lines.
has_line_after() { tail -n "+$(($2 + 1))" "$1" 2>/dev/null | grep -qxF -- "$3"; }
# reads FILE TEXT: FILE reads TEXT (a sysfs attribute, its newline dropped).
reads() { [ "$(cat "$1" 2>/dev/null)" = "$2" ]; }
# has_event_fd PID: the process holds an event descriptor of a line.
has_event_fd() {
	local fd
	for fd in /proc/"$1"/fd/*; do
		[ "$(readlink "$fd" 2>/dev/null)" = "anon_inode:[touchm-event]" ] && return 0
	done
	return 1
}
gone() { [ ! -e "$1" ]; }
# unit_settled UNIT: neither starting nor stopping.
unit_settled() {
	case $(systemctl is-active "$1") in
	activating | deactivating | reloading) return 1 ;;
	esac
}

# tty_of SERIAL: the USB tty whose adapter has that serial number.
tty_of() {
	local dev
	for dev in /sys/class/tty/ttyUSB*; do
		[ -e "$dev" ] || continue
		if udevadm info -q property -p "$dev" | grep -qx "ID_SERIAL_SHORT=$1"; then
			basename "$dev"
			return 0
		fi
	done
	return 1
}

# ldisc_of TTY: the line discipline number set on /dev/TTY (TIOCGETD).
ldisc_of() {
	perl -e 'sysopen(my $f, $ARGV[0], 2 | 256 | 2048) or die "open: $!\n";
		my $d = pack("i", -1); ioctl($f, 0x5424, $d) or die "TIOCGETD: $!\n";
		print unpack("i", $d), "\n"' "/dev/$1"
}

# as_operator COMMAND...: COMMAND as the unprivileged operator, with the
# groups of its login; stdout in $T/out, stderr in $T/err, status in RC.
as_operator() {
	runuser -u "$OPERATOR" -- "$@" >"$T/out" 2>"$T/err"
	RC=$?
}

# getid_case: the operator reads the far end's ROM; the tool prints its
# bytes last to first.
getid_case() {
	local rom printed i
	if ! host rom; then
		bad "no ROM from the host: $ANSWER"
		return
	fi
	rom=$ANSWER
	printed=
	for i in 14 12 10 8 6 4 2 0; do
		printed="$printed${printed:+ }${rom:$i:2}"
	done
	as_operator tmtool getid
	[ "$RC" = 0 ] || bad "tmtool getid: status $RC"
	if ! grep -qx "rom id $printed" "$T/out"; then
		bad "getid did not say 'rom id $printed' (far end's $rom)"
		detail "$T/out"
		detail "$T/err"
	fi
}

# memrd_case: the operator reads 32 bytes, whose listing (standard error)
# must show the far end's memory as the host dumps it.
memrd_case() {
	local want got
	if ! host dump; then
		bad "no memory dump from the host: $ANSWER"
		return
	fi
	want=${ANSWER:0:64}
	as_operator tmtool memrd 0 32
	[ "$RC" = 0 ] || bad "tmtool memrd: status $RC"
	grep -qx "read from 0 32 bytes" "$T/out" || bad "memrd did not say it read 32 bytes"
	# "0000 74 6F ... 6D -6D 6F ... 79  text": the 16 bytes after the offset.
	# (mawk, Debian's awk, has no interval expressions.)
	got=$(awk '/^[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f] / { for (i = 2; i <= 17; i++) { b = $i; sub(/^-/, "", b); printf "%s", tolower(b) } }' "$T/err")
	if [ "$got" != "$want" ]; then
		bad "memrd listing differs from the far end's memory"
		out "DS   | far end: $want"
		out "DS   | listing: $got"
		detail "$T/out"
		detail "$T/err"
	fi
}

# node_mode: the node is root's and the group touchm's, read and write
# for both, nothing for others.
node_mode() {
	local mode group owner
	read -r mode group owner < <(stat -c '%a %G %U' "$NODE" 2>/dev/null)
	[ "${mode:-}" = 660 ] || bad "mode ${mode:-none}, not 660"
	[ "${group:-}" = touchm ] || bad "group ${group:-none}, not touchm"
	[ "${owner:-}" = root ] || bad "owner ${owner:-none}, not root"
}

# udev names the port at boot, maybe after this starts.
wait_for 600 is_char "$PORT"
exec 3<>"$PORT" || {
	echo "DS FAIL setup: cannot open $PORT" >/dev/console
	systemctl poweroff --no-block
	exit 1
}
out "DS START $(uname -r) uptime $(hundredths "$(now)")s"

# --- cases --------------------------------------------------------------------

begin boot-attach
# The node comes from the packages alone: the local rule marks the
# adapter, the project's rule starts tmattach@ for it, the discipline's
# number loads the module.
if wait_for $((BOOT_WAIT * 10)) is_char "$NODE"; then
	out "DS   | $NODE there at uptime $(hundredths "$(now)")s"
else
	bad "no $NODE ${BOOT_WAIT}s after boot"
fi
line=$(tty_of "$MARKED_SERIAL") || bad "no tty for the adapter $MARKED_SERIAL"
line=${line:-ttyUSB0}
[ "$line" = ttyUSB0 ] || bad "the marked adapter is $line, not ttyUSB0"
udevadm info -q property -n "/dev/$line" | grep -qx 'TOUCHM_LINE=1' ||
	bad "$line carries no TOUCHM_LINE=1"
unit=tmattach@$line.service
state=$(systemctl is-active "$unit")
[ "$state" = active ] || bad "$unit is $state"
if [ -n "$CASE_BAD" ]; then
	systemctl status --no-pager "$unit" >"$T/status" 2>&1
	detail "$T/status"
	udevadm info -q property -n "/dev/$line" >"$T/udev" 2>&1
	detail "$T/udev"
fi
end

begin module-dkms
# The module the discipline's number loaded is the one DKMS built.
path=$(modinfo -n touchm 2>/dev/null)
case $path in
*/updates/dkms/touchm.ko*) ;;
*) bad "touchm is '$path', not DKMS's" ;;
esac
grep -q '^touchm ' /proc/modules || bad "touchm not loaded"
[ -n "$(modinfo -F version touchm 2>/dev/null)" ] || bad "touchm has no version"
end

begin node-mode
node_mode
end

begin mqtt-installed
# vorn-mqtt made its user, in the lines' group, gave it the settings and
# nobody else, and left its unit to the administrator.
id -nG tmmqtt 2>/dev/null | tr ' ' '\n' | grep -qx touchm || bad "user tmmqtt not in touchm"
[ "$(id -u tmmqtt 2>/dev/null)" != 0 ] || bad "tmmqtt is root or missing"
perm=$(stat -c '%a %U %G' /etc/vorn/tmmqtt.conf 2>&1)
[ "$perm" = "640 root tmmqtt" ] || bad "tmmqtt.conf is '$perm', not 640 root tmmqtt"
runuser -u tmmqtt -- cat /etc/vorn/tmmqtt.conf >/dev/null 2>&1 || bad "tmmqtt cannot read its settings"
runuser -u "$OPERATOR" -- cat /etc/vorn/tmmqtt.conf >/dev/null 2>&1 && bad "$OPERATOR reads tmmqtt's settings"
state=$(systemctl is-enabled tmmqtt@touchm0.service 2>&1)
case $state in
enabled*) bad "tmmqtt@touchm0 is $state" ;;
esac
[ "$(systemctl is-active tmmqtt@touchm0.service)" = inactive ] || bad "tmmqtt@touchm0 runs"
end

begin operator-getid
# An operator: no root, the group touchm among its groups.
[ "$(id -u "$OPERATOR")" != 0 ] || bad "$OPERATOR is root"
id -nG "$OPERATOR" | tr ' ' '\n' | grep -qx touchm || bad "$OPERATOR not in touchm"
getid_case
end

begin operator-memrd
memrd_case
end

begin udev-parent
# udev sees the adapter behind the node: its USB vendor and serial number.
udevadm info --attribute-walk "$NODE" >"$T/walk" 2>&1
grep -q "ATTRS{serial}==\"$MARKED_SERIAL\"" "$T/walk" ||
	bad "attribute walk of $NODE shows no serial $MARKED_SERIAL"
grep -q 'ATTRS{idVendor}=="0403"' "$T/walk" ||
	bad "attribute walk of $NODE shows no USB vendor"
[ -z "$CASE_BAD" ] || detail "$T/walk"
end

begin other-adapter
# The unmarked adapter stays a plain tty: the normal discipline, no node,
# no tmattach unit, no mark.
other=$(tty_of "$OTHER_SERIAL")
if [ -z "$other" ]; then
	bad "no tty for the adapter $OTHER_SERIAL"
else
	d=$(ldisc_of "$other" 2>&1)
	[ "$d" = 0 ] || bad "$other has line discipline '$d', not 0"
	udevadm info -q property -n "/dev/$other" | grep -q '^TOUCHM_LINE=' &&
		bad "$other carries TOUCHM_LINE"
	[ "$(systemctl is-active "tmattach@$other.service")" = inactive ] ||
		bad "tmattach@$other.service is $(systemctl is-active "tmattach@$other.service")"
	started=$(systemctl show -p ExecMainStartTimestampMonotonic --value "tmattach@$other.service")
	[ "$started" = 0 ] || bad "tmattach@$other.service started at $started us"
fi
units=$(systemctl list-units --all --plain --no-legend 'tmattach@*' | awk '{ print $1 }')
[ "$units" = "$unit" ] || bad "tmattach units: ${units//$'\n'/ }"
nodes=$(ls -d /dev/touchm[0-9]* 2>/dev/null)
[ "$nodes" = "$NODE" ] || bad "touchm nodes: ${nodes//$'\n'/ }"
end

begin uevent-rule
# README's rule pair for integrators: its first line kept the watch on
# from the node's add, its second runs the door (which logs what udev
# passed it) when the key DOOR_ROM is attached, and for nothing else. The
# far end's key is swapped for DOOR_ROM, removed, and the first key
# attached again (as the later cases expect it). tmwatch, run by the
# operator, sees the same changes; Python's vorn reads the new key.
if ! host rom; then
	bad "no ROM from the host: $ANSWER"
else
	first=$ANSWER
	reads "$SYSFS/watch_always" 1 ||
		bad "watch_always is '$(cat "$SYSFS/watch_always" 2>&1)', not 1"
	seen=0
	[ ! -f "$UEVENT_LOG" ] || seen=$(wc -l <"$UEVENT_LOG")
	setpriv --reuid="$OPERATOR" --regid="$(id -g "$OPERATOR")" --init-groups \
		tmwatch "$NODE" >"$T/watch" 2>"$T/watch.err" &
	watcher=$!
	wait_for 50 has_event_fd "$watcher" || bad "tmwatch holds no event descriptor"
	if ! host swap "$DOOR_ROM"; then
		bad "the host did not swap the key: $ANSWER"
	elif ! wait_for $((EVENT_WAIT * 10)) has_line "$DOOR_LOG" "attached $DOOR_ROM"; then
		bad "the door did not open for $DOOR_ROM within ${EVENT_WAIT}s"
	else
		# The uevent came after the watch recorded the key.
		reads "$SYSFS/key" "$DOOR_ROM" ||
			bad "key shows '$(cat "$SYSFS/key" 2>&1)', not $DOOR_ROM"
		as_operator python3 -c 'import sys, vorn
with vorn.Line(sys.argv[1]) as line:
    print(vorn.rom_to_text(line.rom()))' "$NODE"
		if [ "$RC" != 0 ] || ! has_line "$T/out" "$DOOR_ROM"; then
			bad "Python's vorn read no $DOOR_ROM (status $RC)"
			detail "$T/out"
			detail "$T/err"
		fi
	fi
	if ! host remove; then
		bad "the host did not remove the key: $ANSWER"
	elif ! wait_for $((EVENT_WAIT * 10)) has_line_after "$UEVENT_LOG" "$seen" "removed $DOOR_ROM"; then
		bad "no uevent for the removal of $DOOR_ROM within ${EVENT_WAIT}s"
	else
		reads "$SYSFS/key" "" || bad "key shows '$(cat "$SYSFS/key" 2>&1)' with no key"
	fi
	# The first key back, whatever came before.
	if ! host attach "$first" && ! host swap "$first"; then
		bad "the host did not put $first back: $ANSWER"
	elif ! wait_for $((EVENT_WAIT * 10)) has_line_after "$UEVENT_LOG" "$seen" "attached $first"; then
		bad "no uevent for the attachment of $first within ${EVENT_WAIT}s"
	fi
	# Every rule run for the events so far has ended.
	udevadm settle --timeout=10
	tail -n "+$((seen + 1))" "$UEVENT_LOG" >"$T/uevents" 2>&1
	printf '%s\n' "removed $first" "attached $DOOR_ROM" "removed $DOOR_ROM" "attached $first" >"$T/want"
	if ! cmp -s "$T/want" "$T/uevents"; then
		bad "the key's uevents were not removed, attached, removed, attached"
		detail "$T/uevents"
	fi
	if ! cmp -s <(echo "attached $DOOR_ROM") "$DOOR_LOG"; then
		bad "the door ran other than once, for $DOOR_ROM"
		detail "$DOOR_LOG"
	fi
	wait_for $((EVENT_WAIT * 10)) has_line "$T/watch" "attached $first"
	kill -TERM "$watcher" 2>/dev/null
	wait "$watcher"
	rc=$?
	[ "$rc" = 0 ] || bad "tmwatch ended with status $rc"
	printf '%s\n' removed "attached $DOOR_ROM" removed "attached $first" >"$T/want"
	if ! cmp -s "$T/want" "$T/watch"; then
		bad "tmwatch did not print removed, attached, removed, attached"
		detail "$T/watch"
		detail "$T/watch.err"
	fi
fi
end

begin unplug
if ! host unplug; then
	bad "the host did not unplug: $ANSWER"
else
	wait_for $((UNPLUG_WAIT * 10)) gone "$NODE" || bad "$NODE still there"
	wait_for $((UNPLUG_WAIT * 10)) gone "/dev/$line" || bad "/dev/$line still there"
	wait_for $((UNPLUG_WAIT * 10)) unit_settled "$unit" || bad "$unit did not settle"
	state=$(systemctl is-failed "$unit")
	[ "$state" = inactive ] || bad "$unit is $state, not inactive"
	result=$(systemctl show -p Result --value "$unit")
	[ "$result" = success ] || bad "$unit result $result, not success"
	if [ -n "$CASE_BAD" ]; then
		journalctl -b -u "$unit" --no-pager -o short-monotonic >"$T/journal" 2>&1
		detail "$T/journal"
	fi
fi
end

begin replug
start=$(now)
if ! host replug; then
	bad "the host did not re-plug: $ANSWER"
elif wait_for $((REPLUG_LIMIT * 10)) is_char "$NODE"; then
	out "DS   | $NODE back after $(hundredths $(($(now) - start)))s"
	wait_for 50 unit_settled "$unit"
	state=$(systemctl is-active "$unit")
	[ "$state" = active ] || bad "$unit is $state"
	node_mode
	# The rule pair's first line again, for the new node.
	wait_for 50 reads "$SYSFS/watch_always" 1 || bad "watch_always is not 1 again"
	getid_case
else
	bad "no $NODE within ${REPLUG_LIMIT}s of the re-plug"
	wait_for 200 is_char "$NODE" && out "DS   | $NODE came after $(hundredths $(($(now) - start)))s"
fi
end

begin system-health
# Nothing failed on the way: no unit, no kernel warning.
systemctl list-units --failed --plain --no-legend >"$T/failed" 2>&1
if [ -s "$T/failed" ]; then
	bad "failed units"
	detail "$T/failed"
fi
if dmesg | grep -E 'WARNING:|BUG:|Oops|Call Trace|general protection|blocked for more than' >"$T/dmesg"; then
	bad "kernel log shows trouble"
	detail "$T/dmesg"
fi
end

dmesg | grep -i touchm >"$T/dmesg"
detail "$T/dmesg"
out "DS SUMMARY pass=$npass fail=$nfail"
systemctl poweroff --no-block
