# SPDX-License-Identifier: GPL-2.0-or-later
# Cases of the key events, on the simulated line (guest-init.sh) and over
# the tty backend (guest-tty.sh): event descriptors that see attach, remove
# and swap in order, several at once; a key touched for 250 ms; a reader
# that falls behind and learns how many it lost; the uevents; requests
# beside a running watch; the watch off costing no line traffic (the line
# going away: line-gone-cases.sh). evcheck does the checking on the
# program's side.
#
# Sourced after guest-lib.sh; event_cases runs the cases and leaves the
# line with its key EV_ROM attached, the watch at its defaults. The guest
# sets EV_ROM, EV_ROM_B and EV_ROM_C (three keys of 512 bytes or more) and
# T; a tty guest also LINE_KIND and LINE (its key changes go to the far
# end through the host), the simulated one CTL.

EV_SYS=/sys/class/misc/touchm0
# The watch's default interval, in ms; how fast the overflow case goes.
EV_MS_DEFAULT=50
EV_MS_FAST=10
# How long evcheck may wait for its events, in ms.
EV_LIMIT_MS=30000
# Swaps for the overflow case: two changes each, beyond the 64 a reader holds.
EV_SWAPS=34
EV_QUEUE=64
# How long nobody watches in the traffic case, in seconds.
EV_QUIET_S=2
# Rounds of requests beside the watch, and the bytes each writes.
EV_ROUNDS=3
EV_ROUND_BYTES=64
EV_ROUND_AT=256

# ev_key attach ROM | remove | swap ROM: the key on the line changes.
ev_key() {
	if [ -n "${LINE_KIND:-}" ]; then
		host "$@"
	else
		echo "$*" >"$CTL" || bad "ctl '$*' refused"
	fi
}

# ev_touch ROM MS: a key with ROM on the line for MS ms, then gone. The far
# end's host holds it for that long between its own attach and remove.
ev_touch() {
	if [ -n "${LINE_KIND:-}" ]; then
		host touch "$1" "$2"
	else
		echo "attach $1" >"$CTL" || bad "ctl attach refused"
		sleep "0.$(printf '%03d' "$2")"
		echo remove >"$CTL" || bad "ctl remove refused"
	fi
}

# ev_traffic: the line's byte counters as one string.
ev_traffic() {
	if [ -n "${LINE_KIND:-}" ]; then
		host show
		echo "$REPLY"
	else
		grep '^line ' "$CTL"
	fi
}

ev_attr() {
	cat "$EV_SYS/$1"
}

# ev_seen ROM|none: until the key attribute shows ROM (or no key). While a
# watch runs, reading it does not probe: it waits for the watch.
ev_seen() {
	want=$1
	[ "$want" != none ] || want=
	w=0
	while [ "$(ev_attr key)" != "$want" ] && [ "$w" -lt "$WAIT_TENTHS" ]; do
		sleep 0.05
		w=$((w + 1))
	done
	[ "$(ev_attr key)" = "$want" ] || bad "key shows '$(ev_attr key)', not '$want'"
}

# ev_start NAME ARGS...: evcheck ARGS in the background, output in
# $T/NAME.out, until it says ready; its pid in EV_PID.
ev_start() {
	name=$1
	shift
	./evcheck "$@" >"$T/$name.out" 2>&1 &
	EV_PID=$!
	wait_lines "$T/$name.out" 1
}

# ev_end: waits for evcheck (it ends by itself); bad unless status 0.
ev_end() {
	w=0
	while kill -0 "$EV_PID" 2>/dev/null && [ "$w" -lt $((WAIT_TENTHS * 2)) ]; do
		sleep 0.1
		w=$((w + 1))
	done
	stop "$EV_PID" TERM
	[ "$RC" = 0 ] || bad "evcheck ended with status $RC"
}

event_cases() {
	begin event-attributes
	[ "$(ev_attr watch_ms)" = "$EV_MS_DEFAULT" ] || bad "watch_ms $(ev_attr watch_ms)"
	[ "$(ev_attr watch_always)" = 0 ] || bad "watch_always $(ev_attr watch_always)"
	for v in 9 60001 -1 x; do
		if echo "$v" >"$EV_SYS/watch_ms" 2>/dev/null; then
			bad "watch_ms took $v"
		fi
	done
	# With nobody watching, reading key probes the line once.
	p0=$(ev_attr probes)
	[ "$(ev_attr key)" = "$EV_ROM" ] || bad "key shows '$(ev_attr key)'"
	[ "$(ev_attr probes)" = $((p0 + 1)) ] || bad "reading key made $(($(ev_attr probes) - p0)) probes"
	end

	begin event-attach-remove-swap
	# Three descriptors see the same four changes in order, each seen by
	# the watch before the next comes.
	ev_start ars events 4 "$EV_LIMIT_MS" 3
	ev_key remove
	ev_seen none
	ev_key attach "$EV_ROM_B"
	ev_seen "$EV_ROM_B"
	ev_key swap "$EV_ROM_C"
	ev_seen "$EV_ROM_C"
	ev_end
	same events "$T/ars.out" <<EOF
ready
removed $EV_ROM
attached $EV_ROM_B
removed $EV_ROM_B
attached $EV_ROM_C
EOF
	ev_key swap "$EV_ROM"
	ev_seen "$EV_ROM"
	end

	begin event-poll-device
	# Only a device descriptor waiting in epoll, then in poll, for POLLPRI:
	# its wait alone runs the watch. (The key attribute is not read here:
	# with no watch running, reading it would probe by itself.)
	ev_start pri pri "$EV_LIMIT_MS"
	ev_key remove
	wait_lines "$T/pri.out" 2
	ev_key attach "$EV_ROM"
	ev_end
	same states "$T/pri.out" <<EOF
ready
removed $EV_ROM
attached $EV_ROM
EOF
	end

	begin event-touch-250ms
	ev_key remove
	ev_seen none
	ev_start touch events 2 "$EV_LIMIT_MS" 1
	ev_touch "$EV_ROM_B" 250
	ev_end
	same events "$T/touch.out" <<EOF
ready
attached $EV_ROM_B
removed $EV_ROM_B
EOF
	ev_key attach "$EV_ROM"
	ev_seen "$EV_ROM"
	end

	begin event-reader-behind
	# Nobody reads while more changes come than the queue holds: the
	# oldest go, and the first record read says how many.
	echo "$EV_MS_FAST" >"$EV_SYS/watch_ms"
	n=$((2 * EV_SWAPS))
	ev_start lag lag "$n" "$EV_LIMIT_MS"
	i=0
	while [ "$i" -lt "$EV_SWAPS" ]; do
		rom=$EV_ROM_B
		[ $((i % 2)) = 0 ] || rom=$EV_ROM_C
		ev_key swap "$rom"
		ev_seen "$rom"
		i=$((i + 1))
	done
	ev_end
	same records "$T/lag.out" <<EOF
ready
records $EV_QUEUE lost $((n - EV_QUEUE)) first $((n - EV_QUEUE + 1)) last $n
EOF
	echo "$EV_MS_DEFAULT" >"$EV_SYS/watch_ms"
	ev_key swap "$EV_ROM"
	ev_seen "$EV_ROM"
	end

	begin event-uevent
	# The watch on through sysfs alone; a listener sees both changes.
	ev_start uev uevents 2 "$EV_LIMIT_MS"
	echo 1 >"$EV_SYS/watch_always"
	ev_key remove
	ev_seen none
	ev_key attach "$EV_ROM"
	ev_seen "$EV_ROM"
	echo 0 >"$EV_SYS/watch_always"
	ev_end
	same uevents "$T/uev.out" <<EOF
ready
change misc removed $EV_ROM
change misc attached $EV_ROM
EOF
	end

	begin event-requests-beside-watch
	# Requests at full pace while the watch probes every 10 ms: every
	# transfer works and moves the right bytes.
	echo "$EV_MS_FAST" >"$EV_SYS/watch_ms"
	ev_start beside hold 600000
	p0=$(ev_attr probes)
	i=0
	while [ "$i" -lt "$EV_ROUNDS" ]; do
		head -c "$EV_ROUND_BYTES" /dev/urandom >"$T/round.bin"
		tool memwrf "$T/round.bin" "$EV_ROUND_AT"
		rm -f "$T/back.bin"
		tool memrdf "$T/back.bin" "$EV_ROUND_AT" "$EV_ROUND_BYTES"
		cmp -s "$T/round.bin" "$T/back.bin" || bad "round $i read back other bytes"
		dd if=/dev/touchm0 of="$T/dd.bin" bs="$EV_ROUND_BYTES" count=1 \
			skip=$((EV_ROUND_AT / EV_ROUND_BYTES)) 2>"$T/dd.err" || bad "dd: $(cat "$T/dd.err")"
		cmp -s "$T/round.bin" "$T/dd.bin" || bad "round $i: read(2) gave other bytes"
		i=$((i + 1))
	done
	p1=$(ev_attr probes)
	stop "$EV_PID" TERM
	[ "$p1" -gt "$p0" ] || bad "the watch did not probe during the requests"
	echo "$EV_MS_DEFAULT" >"$EV_SYS/watch_ms"
	[ "$(ev_attr probe_faults)" = 0 ] || bad "$(ev_attr probe_faults) probes failed"
	end

	begin event-watch-off
	# Nobody watches: no probe and no byte on the line for a while. Then
	# one event descriptor: the watch runs, and (on the simulated line,
	# which counts them) its probes count as no request.
	sleep 0.2
	c0=$(ev_traffic)
	p0=$(ev_attr probes)
	sleep "$EV_QUIET_S"
	c1=$(ev_traffic)
	p1=$(ev_attr probes)
	[ "$c0" = "$c1" ] || bad "the line carried bytes with nobody watching: '$c0' then '$c1'"
	[ "$p0" = "$p1" ] || bad "$((p1 - p0)) probes with nobody watching"
	[ -z "${CTL:-}" ] || r0=$(grep -E '^(served|failed) ' "$CTL")
	ev_start hold hold 1000
	ev_end
	[ -z "${CTL:-}" ] || r1=$(grep -E '^(served|failed) ' "$CTL")
	[ "${r0:-}" = "${r1:-}" ] || bad "probes counted as requests: '$r0' then '$r1'"
	c2=$(ev_traffic)
	p2=$(ev_attr probes)
	[ "$c2" != "$c1" ] || bad "no line traffic while an event descriptor was open"
	[ "$p2" -gt "$p1" ] || bad "no probe while an event descriptor was open"
	end
}
