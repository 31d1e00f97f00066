# SPDX-License-Identifier: GPL-2.0-or-later
# Cases of the tty guest against a far end that misbehaves on command
# (tmfarend's faults, sim/farend/README.md): stray, surplus and idle bytes,
# impossible reset and read-slot echoes, late echoes, noise and a flood,
# and a key without memory. Under each, every read (tmtool memrd and
# memrdf, one read(2) with dd at an offset), ROM read (getid, chksl) and
# write either fails or gives exactly the right bytes, those of the far
# end's key model (host dump) or those written: never wrong data as
# success. The driver's counter of the misbehaviour under
# /sys/class/misc/touchm0/faults has grown, so the fault reached the driver
# and was seen; every request ends in bounded time; after "host clear" the
# line works again. Each case prints its counters' growth on a "TMH" line
# of the console log.
#
# Sourced by guest-tty.sh after guest-lib.sh; hostile_cases runs the cases
# and leaves the line as it found it: key ROM_T attached, no fault, pacing
# off. The far end's key memory keeps what the cases wrote. ROM_T,
# ROM_T_GETID, T, WAIT_TENTHS and SILENT_LIMIT are guest-tty.sh's.
# shellcheck disable=SC2153 # (ROM_T_GETID is not a misspelling)

HX_FAULTS=/sys/class/misc/touchm0/faults
HX_COUNTERS="flagged stray surplus impossible lost timeouts retries"
# Seconds one tool run or read may take before it counts as hung: a request
# that fails twice on a bad line takes a fraction of this.
HX_LIMIT=10
# How long the counters must stand still before a burst counts as over, and
# how long that may take at most, in tenths of a second.
HX_QUIET_TENTHS=5
HX_SETTLE_TENTHS=150
# Seconds to wait instead when the driver has no counters.
HX_BLIND_SETTLE=3
# The ID-only key (family 0x01, no memory) and its ROM as getid prints it.
ROM_ID=01234567890abc65
ROM_ID_GETID="65 bc 0a 89 67 45 23 01"

# hx_counter NAME: the driver's fault counter NAME, or "none".
hx_counter() {
	cat "$HX_FAULTS/$1" 2>/dev/null || echo none
}

# hx_mark: remembers every fault counter as it is now.
hx_mark() {
	for c in $HX_COUNTERS; do
		eval "HX_AT_$c=\$(hx_counter $c)"
	done
}

# hx_delta NAME: how much counter NAME grew since hx_mark ("none" when
# the driver has no such counter).
hx_delta() {
	now=$(hx_counter "$1")
	was=none
	eval "was=\$HX_AT_$1"
	if [ "$now" = none ] || [ "$was" = none ]; then
		echo none
	else
		echo $((now - was))
	fi
}

# hx_deltas: every counter's growth, for the console log.
hx_deltas() {
	text=
	for c in $HX_COUNTERS; do
		text="$text $c+$(hx_delta "$c")"
	done
	echo "${text# }"
}

# hx_grew NAME...: bad unless at least one of the counters NAME grew since
# hx_mark.
hx_grew() {
	for c in "$@"; do
		d=$(hx_delta "$c")
		[ "$d" != none ] && [ "$d" -gt 0 ] && return 0
	done
	bad "no growth of the fault counter(s) $* in $HX_FAULTS ($(hx_deltas))"
}

# hx_still NAME: bad if counter NAME grew since hx_mark.
hx_still() {
	d=$(hx_delta "$1")
	[ "$d" = none ] || [ "$d" = 0 ] || bad "fault counter $1 grew by $d"
}

# hx_report: the counters' growth in this case, on the console log.
hx_report() {
	echo "TMH $CASE: $(hx_deltas)"
}

# hx_total: the sum of the counters of bytes that came when they should not.
hx_total() {
	sum=0
	for c in flagged stray surplus lost; do
		v=$(hx_counter "$c")
		[ "$v" = none ] || sum=$((sum + v))
	done
	echo "$sum"
}

# hx_settle: until a burst of bytes from the far end is over: the counters
# of unwanted bytes stand still for a while (or, without counters, a
# while has passed).
hx_settle() {
	if [ "$(hx_counter stray)" = none ]; then
		sleep "$HX_BLIND_SETTLE"
		return
	fi
	last=$(hx_total)
	still=0
	w=0
	while [ "$still" -lt "$HX_QUIET_TENTHS" ] && [ "$w" -lt "$HX_SETTLE_TENTHS" ]; do
		sleep 0.1
		w=$((w + 1))
		now=$(hx_total)
		if [ "$now" = "$last" ]; then
			still=$((still + 1))
		else
			still=0
			last=$now
		fi
	done
	[ "$still" -ge "$HX_QUIET_TENTHS" ] ||
		bad "the line did not settle within $((HX_SETTLE_TENTHS / 10)) s"
}

# hx_model: the far end's key memory as hex digits in MODEL, its size in
# MODEL_SIZE.
hx_model() {
	host dump
	MODEL=$REPLY
	MODEL_SIZE=$((${#MODEL} / 2))
}

# hx_run WHAT COMMAND...: COMMAND bounded by HX_LIMIT seconds; its status in
# HX_RC. A command that had to be killed is bad.
hx_run() {
	what=$1
	shift
	timeout "$HX_LIMIT" "$@"
	HX_RC=$?
	if [ "$HX_RC" = 143 ] || [ "$HX_RC" = 137 ]; then
		bad "$what hung (killed after $HX_LIMIT s)"
	fi
}

# hx_compare WHAT OFF FILE: FILE must hold the key model's bytes from OFF
# on, as many as a transfer there gives (the key memory ends transfers).
# HX_LEN is the length asked for.
hx_compare() {
	n=$HX_LEN
	[ "$2" -lt "$MODEL_SIZE" ] || n=0
	[ "$n" -le $((MODEL_SIZE - $2)) ] || n=$((MODEL_SIZE - $2))
	got=$(xxd -p "$3" | tr -d '\n')
	want=
	[ "$n" = 0 ] || want=$(printf '%s' "$MODEL" | cut -c$((2 * $2 + 1))-$((2 * ($2 + n))))
	if [ "$got" != "$want" ]; then
		bad "$1 delivered wrong data as success"
		echo "TMQ   | want $(echo "$want" | cut -c1-96)"
		echo "TMQ   | got  $(echo "$got" | cut -c1-96)"
	fi
}

# hx_read OFF LEN: one read(2) of LEN bytes at OFF on /dev/touchm0 (dd).
# Success with the model's bytes, or a failure whose message (such as
# "Input/output error") is in HX_ERR; HX_OK is 1 on success.
hx_read() {
	HX_LEN=$2
	rm -f "$T/hx.bin"
	hx_run "a read of $2 at $1" dd if=/dev/touchm0 of="$T/hx.bin" bs="$2" count=1 \
		iflag=skip_bytes skip="$1" 2>"$T/hx.err"
	HX_OK=0
	HX_ERR=$(sed -n 's/^dd: [^:]*: //p' "$T/hx.err" | head -n 1)
	if [ "$HX_RC" = 0 ]; then
		HX_OK=1
		hx_compare "a read of $2 at $1" "$1" "$T/hx.bin"
	fi
}

# hx_memrdf OFF LEN: tmtool memrdf of LEN bytes at OFF into a file.
hx_memrdf() {
	HX_LEN=$2
	rm -f "$T/hx.bin"
	hx_run "memrdf" ./tmtool memrdf "$T/hx.bin" "$1" "$2" >"$T/hx.out" 2>&1
	HX_OK=0
	if grep -q '\.\.\.\.ok$' "$T/hx.out"; then
		HX_OK=1
		hx_compare "memrdf of $2 at $1" "$1" "$T/hx.bin"
	fi
}

# hx_memrd OFF LEN: tmtool memrd of LEN bytes at OFF; its hex listing
# holds the bytes when it succeeds.
hx_memrd() {
	HX_LEN=$2
	hx_run "memrd" ./tmtool memrd "$1" "$2" >"$T/hx.out" 2>"$T/hx.lst"
	HX_OK=0
	if grep -q '^read from ' "$T/hx.out" &&
		! grep -qE '^(no slave|error)' "$T/hx.out"; then
		HX_OK=1
		# The entries of each listing line, without the position, the
		# hyphen, the placeholders and the characters.
		sed -n 's/^[0-9A-F]\{4\} //p' "$T/hx.lst" | cut -c1-49 | tr -d ' \nX-' |
			tr 'A-F' 'a-f' | xxd -r -p >"$T/hx.bin"
		hx_compare "memrd of $2 at $1" "$1" "$T/hx.bin"
	fi
}

# hx_getid ROM: tmtool getid must give ROM (as getid prints it) or say
# "no slave"; HX_OK is 1 for the ROM.
hx_getid() {
	hx_run "getid" ./tmtool getid >"$T/hx.out" 2>&1
	HX_OK=0
	if grep -qx "rom id $1" "$T/hx.out"; then
		HX_OK=1
	elif ! grep -q '^getting rom id\.\.\.no slave$' "$T/hx.out"; then
		bad "getid gave neither the ROM nor no slave: $(tr '\n' '|' <"$T/hx.out")"
	fi
}

# hx_chksl: tmtool chksl; HX_OK is 1 when it says "slave present".
hx_chksl() {
	hx_run "chksl" ./tmtool chksl >"$T/hx.out" 2>&1
	HX_OK=0
	if grep -q '\.\.\.slave present$' "$T/hx.out"; then
		HX_OK=1
	elif ! grep -q '\.\.\.no slave$' "$T/hx.out"; then
		bad "chksl said neither: $(tr '\n' '|' <"$T/hx.out")"
	fi
}

# hx_write OFF LEN [tool]: LEN random bytes written at OFF with one
# write(2) (dd), or with tmtool memwrf. A write that reports success must
# have put them into the key memory; HX_OK is 1 then. MODEL follows.
hx_write() {
	head -c "$2" /dev/urandom >"$T/hx.in"
	HX_OK=0
	if [ "${3:-}" = tool ]; then
		hx_run "memwrf" ./tmtool memwrf "$T/hx.in" "$1" >"$T/hx.out" 2>&1
		! grep -q '\.\.\.ok$' "$T/hx.out" || HX_OK=1
	else
		hx_run "a write of $2 at $1" dd if="$T/hx.in" of=/dev/touchm0 bs="$2" count=1 \
			seek="$1" oflag=seek_bytes conv=notrunc 2>"$T/hx.err"
		[ "$HX_RC" != 0 ] || HX_OK=1
		HX_ERR=$(sed -n 's/^dd: [^:]*: //p' "$T/hx.err" | head -n 1)
	fi
	hx_model
	if [ "$HX_OK" = 1 ]; then
		HX_LEN=$2
		hx_compare "the key memory after a write of $2 at $1 that succeeded" "$1" "$T/hx.in"
	fi
}

# hx_must_fail WHAT [ERROR]: bad unless the last transfer failed (with the
# message ERROR, for dd).
hx_must_fail() {
	if [ "$HX_OK" = 1 ]; then
		bad "$1 succeeded"
	elif [ -n "${2:-}" ] && [ "$HX_ERR" != "$2" ]; then
		bad "$1 failed with '$HX_ERR', not '$2'"
	fi
}

# hx_must_work WHAT: bad unless the last transfer succeeded.
hx_must_work() {
	[ "$HX_OK" = 1 ] || bad "$1 failed${HX_ERR:+: $HX_ERR}"
}

# hx_works: after clear, the line works: the whole memory reads right, the
# ROM too.
hx_works() {
	hx_model
	hx_read 0 "$MODEL_SIZE"
	hx_must_work "the whole memory read after clear"
	hx_getid "$ROM_T_GETID"
	hx_must_work "getid after clear"
}

hostile_cases() {
	begin hostile-stray-bytes
	# One extra byte among the echoes, once: every echo after it comes one
	# place later, so a read would decode shifted bits. The driver must see
	# the echo displaced to the end (surplus), and try again.
	# The key as fresh: the driver learns its memory size from the ROM.
	host remove
	chksl_says none
	host attach "$ROM_T"
	getid_says "$ROM_T_GETID"
	hx_model
	hx_mark
	# In the second byte of a 64-byte read.
	host fault stray 1 00
	hx_read 0 64
	# Two 0xFF deep in a 300-byte read by memrdf.
	host fault stray 2 ff 1000
	hx_memrdf 100 300
	# In the fifth ROM byte.
	host fault stray 1 00
	hx_getid "$ROM_T_GETID"
	# In the data of a page written, by one write(2) and by memwrf.
	host fault stray 1 00 40
	hx_write 450 40
	host fault stray 3 5a 100
	hx_write 200 70 tool
	hx_grew surplus
	hx_grew retries
	hx_report
	host clear
	hx_works
	end

	begin hostile-surplus
	# One byte more after every chunk of echoes, for as long as the fault
	# is on: every request fails, none hands out data.
	hx_model
	hx_mark
	host fault surplus
	hx_read 16 32
	hx_must_fail "a read with surplus echoes"
	hx_memrd 0 20
	hx_must_fail "memrd with surplus echoes"
	hx_getid "$ROM_T_GETID"
	hx_must_fail "getid with surplus echoes"
	hx_write 480 8
	hx_must_fail "a write with surplus echoes"
	hx_grew surplus
	hx_report
	host clear
	hx_works
	end

	begin hostile-idle-bytes
	# Bytes while nothing is asked: counted, dropped, and the next request
	# starts clean.
	hx_model
	hx_mark
	host fault idle 5 55
	w=0
	while [ "$(hx_delta stray)" != none ] && [ "$(hx_delta stray)" -lt 5 ] &&
		[ "$w" -lt "$WAIT_TENTHS" ]; do
		sleep 0.1
		w=$((w + 1))
	done
	hx_read 3 61
	hx_must_work "a read after idle bytes"
	# More than the driver's ring holds.
	host fault idle 3000 ff
	hx_settle
	hx_memrd 30 40
	hx_must_work "memrd after idle bytes"
	hx_getid "$ROM_T_GETID"
	hx_must_work "getid after idle bytes"
	d=$(hx_delta stray)
	[ "$d" = none ] || [ "$d" -ge 3005 ] || bad "3005 idle bytes sent, $d counted as stray"
	hx_grew stray
	hx_still surplus
	hx_report
	host clear
	hx_works
	end

	begin hostile-reset-echo
	# Reset echoes no line can give: low bits high (0x0F, 0xFF). With the
	# key there every request fails rather than trust them; with no key
	# there 0xFF must not pass for a presence pulse, nor the ones read for
	# the key's memory.
	hx_model
	hx_mark
	host fault reset 0f
	hx_read 0 32
	hx_must_fail "a read with reset echo 0x0f" "Input/output error"
	hx_chksl
	hx_must_fail "chksl with reset echo 0x0f"
	hx_getid "$ROM_T_GETID"
	hx_must_fail "getid with reset echo 0x0f"
	host remove
	host fault reset ff
	# The driver still takes the memory for 512 bytes: the read reaches
	# the line.
	hx_read 64 16
	hx_must_fail "a read with no key and reset echo 0xff"
	hx_chksl
	hx_must_fail "chksl with no key and reset echo 0xff"
	hx_getid "$ROM_T_GETID"
	hx_must_fail "getid with no key and reset echo 0xff"
	hx_grew impossible
	hx_grew retries
	hx_report
	host clear
	host attach "$ROM_T"
	hx_works
	end

	begin hostile-slot-echo
	# Read slots echoed 0x5a: neither a 1 (0xff) nor a 0 (low bits held
	# low). Decoded as zeros they would pass for the key's bytes.
	hx_model
	hx_mark
	host fault slot 5a
	hx_read 0 48
	hx_must_fail "a read with read slots echoed 0x5a" "Input/output error"
	hx_memrdf 7 9
	hx_must_fail "memrdf with read slots echoed 0x5a"
	hx_getid "$ROM_T_GETID"
	hx_must_fail "getid with read slots echoed 0x5a"
	# The scratchpad's read-back is read slots too.
	hx_write 300 5 tool
	hx_must_fail "memwrf with read slots echoed 0x5a"
	hx_grew impossible
	hx_report
	host clear
	hx_works
	end

	begin hostile-late-echo
	# Echoes 50 ms late are within the driver's wait: right bytes, no
	# timeout. Echoes 600 ms late are not: the requests fail in bounded
	# time, and the echoes that come after they gave up must not pass for
	# those of the next request.
	hx_model
	hx_mark
	host fault late 50
	hx_read 10 20
	hx_must_work "a read with echoes 50 ms late"
	hx_getid "$ROM_T_GETID"
	hx_must_work "getid with echoes 50 ms late"
	hx_still timeouts
	host fault late 600
	t0=$(now)
	hx_chksl
	hx_must_fail "chksl with echoes 600 ms late"
	hx_read 0 16
	hx_must_fail "a read with echoes 600 ms late"
	took=$(($(now) - t0))
	[ "$took" -le $((SILENT_LIMIT * 100)) ] || bad "two requests took ${took}0 ms"
	hx_grew timeouts
	host clear
	# At once, while the late echoes are still coming.
	hx_read 0 16
	sleep 1
	hx_read 0 64
	hx_must_work "a read after the late echoes came"
	hx_report
	hx_works
	end

	begin hostile-noise
	# A random byte after every 64 echo bytes on average, from a fixed
	# seed: reads of several lengths at several offsets, the ROM and a
	# write; whatever succeeds is right.
	hx_model
	hx_mark
	host fault noise 1403 64
	for span in "0 1" "5 4" "100 17" "37 64" "200 9" "480 32" "511 1" "3 30"; do
		# shellcheck disable=SC2086 # offset and length
		hx_read $span
	done
	hx_memrdf 250 100
	hx_memrd 64 11
	hx_getid "$ROM_T_GETID"
	hx_chksl
	hx_write 400 12
	hx_grew surplus impossible stray
	host clear
	hx_settle
	hx_report
	hx_works
	end

	begin hostile-flood
	# 65536 junk bytes in the middle of a read: far more than the driver's
	# ring. The read fails or is right, the junk is counted, and once it is
	# over the line works again.
	hx_model
	hx_mark
	host fault flood 65536
	hx_read 0 64
	hx_settle
	hx_grew surplus lost
	hx_report
	host clear
	hx_works
	end

	begin id-only-key
	# A key of family 0x01 carries its ROM only: getid works, transfers
	# fail with EOPNOTSUPP without a word about key_size in the kernel log.
	hints=$(klog key_size)
	host swap "$ROM_ID"
	getid_says "$ROM_ID_GETID"
	hx_read 0 16
	hx_must_fail "a read of the ID-only key" "Operation not supported"
	hx_write 0 4
	hx_must_fail "a write to the ID-only key" "Operation not supported"
	[ "$(klog key_size)" = "$hints" ] || bad "the kernel asked for key_size"
	# The driver learns the memory of the key back from its ROM.
	host swap "$ROM_T"
	getid_says "$ROM_T_GETID"
	hx_works
	end
}
