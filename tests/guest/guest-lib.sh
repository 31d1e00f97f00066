# SPDX-License-Identifier: GPL-2.0-or-later
# Case bookkeeping of the qemu test guests, sourced by their /init scripts
# (busybox sh): one line per case on the console,
#
#   TMQ PASS <case> (<seconds>)
#   TMQ FAIL <case> (<seconds>): <what went wrong>
#
# and at the end the summary and the kernel log (finish). The script that
# sources this starts with guest_start and sets T (a scratch folder) and
# WAIT_TENTHS before the first case. The helpers
# of a tty line (tty_line, line_up, host, attach...) talk to the runner on
# the host over ttyS2 (scripts/qemu-test.sh).

npass=0
nfail=0
# The kernel's 1-Wire core and family drivers (scripts/qemu-test.sh).
W1_MODULES=/lib/modules/w1

# guest_start: the file systems the guests use, and the console as the
# terminal of everything that follows.
guest_start() {
	mount -t proc proc /proc
	mount -t sysfs sysfs /sys
	mount -t devtmpfs devtmpfs /dev
	mount -t debugfs debugfs /sys/kernel/debug
	mount -t tmpfs tmpfs /tmp
	exec </dev/console >/dev/console 2>&1
	# The firmware leaves terminal codes on the serial line without a line
	# end.
	echo
	# touchm needs the kernel's 1-Wire core. These guests test the key's
	# node alone: the core never searches (search_count=0), so the line
	# carries only what the node and its watch send, as the cases expect.
	# guest-w1.sh loads the core searching.
	insmod "$W1_MODULES/wire.ko" search_count=0 ||
		echo "TMQ FAIL setup: insmod wire failed"
}

# kernel_health: bad unless the kernel is untainted by trouble and its log
# free of warnings, oopses and hung tasks.
kernel_health() {
	# Taint bits: 5 bad page, 7 oops, 9 warning, 14 soft lockup.
	tainted=$(cat /proc/sys/kernel/tainted)
	[ $((tainted & 0x42a0)) = 0 ] || bad "kernel tainted $tainted"
	if dmesg | grep -E 'WARNING:|BUG:|Oops|Call Trace|general protection|blocked for more than'; then
		bad "kernel log shows a warning, an oops or a hung task"
	fi
}

# Seconds since boot, in hundredths.
now() {
	read -r up _ </proc/uptime
	echo "${up%.*}${up#*.}"
}

begin() {
	CASE=$1
	CASE_BAD=
	CASE_START=$(now)
}

bad() {
	CASE_BAD="${CASE_BAD}${CASE_BAD:+; }$*"
}

end() {
	took=$(($(now) - CASE_START))
	took=$((took / 100)).$((took / 10 % 10))s
	if [ -z "$CASE_BAD" ]; then
		echo "TMQ PASS $CASE ($took)"
		npass=$((npass + 1))
	else
		echo "TMQ FAIL $CASE ($took): $CASE_BAD"
		nfail=$((nfail + 1))
	fi
}

# same WHAT FILE: FILE must hold exactly what stdin holds. Called with a
# here-document, never at the end of a pipeline: that would run it in a
# subshell, where bad() cannot mark the case.
same() {
	cat >"$T/expected"
	if ! cmp -s "$T/expected" "$2"; then
		bad "$1 differs"
		diff "$T/expected" "$2" | sed 's/^/TMQ   | /'
	fi
}

# empty WHAT FILE
empty() {
	if [ -s "$2" ]; then
		bad "$1 not empty"
		sed 's/^/TMQ   | /' "$2"
	fi
}

# tool ARGS...: one tmtool run; stdout in $T/out, stderr in $T/err.
tool() {
	./tmtool "$@" >"$T/out" 2>"$T/err"
	RC=$?
	[ "$RC" = 0 ] || bad "tmtool $1: status $RC"
}

# getid_says ROM|none: one tmtool getid, whose output must show ROM (the
# bytes as getid prints them) or "no slave".
getid_says() {
	said="ok
rom id $1"
	[ "$1" != none ] || said="no slave"
	tool getid
	same "getid stdout" "$T/out" <<EOF
using dev /dev/touchm0
libvorn inited
getting rom id...$said
libvorn closed
EOF
}

# chksl_says present|none: one tmtool chksl, whose output must say so.
chksl_says() {
	said="slave present"
	[ "$1" = present ] || said="no slave"
	tool chksl
	same "chksl stdout" "$T/out" <<EOF
using dev /dev/touchm0
libvorn inited
checking slave presence...$said
libvorn closed
EOF
}

# pool_start: tmtool /pool in the background, its pid in POOL_PID, until
# line 4, its first report, which comes after the tool has set up its
# SIGINT handler (a background job of this shell starts with SIGINT
# ignored).
pool_start() {
	./tmtool /pool >"$T/pool.out" 2>"$T/pool.err" &
	POOL_PID=$!
	wait_lines "$T/pool.out" 4
}

# pool_stop LINES: ends /pool with SIGINT; it must end with status 0,
# having said exactly LINES lines (in $T/pool.out, for the caller to
# compare). A signal does not cut the driver's request short, so a probe
# it lands in still gives its true answer: no "no slave" on the way out.
pool_stop() {
	stop "$POOL_PID" INT
	[ "$RC" = 0 ] || bad "/pool ended with status $RC"
	n=$(lines "$T/pool.out")
	[ "$n" = "$1" ] || bad "/pool said $n lines, not $1"
}

# klog TEXT: how many kernel log lines hold TEXT.
klog() {
	dmesg | grep -c "$1"
}

# lines FILE: its number of lines (0 while it is missing).
lines() {
	if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi
}

# wait_lines FILE N: until FILE has N lines, or the wait runs out.
wait_lines() {
	w=0
	while [ "$(lines "$1")" -lt "$2" ] && [ "$w" -lt "$WAIT_TENTHS" ]; do
		sleep 0.1
		w=$((w + 1))
	done
	[ "$(lines "$1")" -ge "$2" ] || bad "no line $2 in $(basename "$1")"
}

# stop PID SIGNAL: sends SIGNAL (if PID still runs) and waits for its end;
# its status in RC. A process that outlives the wait is killed and counts as
# a failure.
stop() {
	kill -"$2" "$1" 2>/dev/null
	w=0
	while kill -0 "$1" 2>/dev/null && [ "$w" -lt "$WAIT_TENTHS" ]; do
		sleep 0.1
		w=$((w + 1))
	done
	if kill -0 "$1" 2>/dev/null; then
		bad "pid $1 still running after SIG$2"
		kill -KILL "$1"
	fi
	wait "$1"
	RC=$?
}

# --- a tty line with its far end on the host ---------------------------------

HOST_PORT=/dev/ttyS2
# How long the host may take to answer a request, in seconds.
HOST_WAIT=30
USB_MODULES="usb-common usbcore uhci-hcd usbserial ftdi_sio"

# tty_line: LINE_KIND and LINE from "tmq.line=16550|usb" on the kernel
# command line.
tty_line() {
	case " $(cat /proc/cmdline) " in
	*" tmq.line=usb "*) LINE_KIND=usb LINE=/dev/ttyUSB0 ;;
	*) LINE_KIND=16550 LINE=/dev/ttyS1 ;;
	esac
	echo "TMQ line $LINE_KIND on $LINE"
}

# line_up: the host port open raw on descriptor 5; for the USB adapter its
# modules loaded; until the line's tty is there.
line_up() {
	exec 5<>"$HOST_PORT"
	stty -F "$HOST_PORT" raw -echo 115200 || bad "cannot set up $HOST_PORT"
	if [ "$LINE_KIND" = usb ]; then
		for m in $USB_MODULES; do
			insmod "/lib/modules/usb/$m.ko" || bad "insmod $m failed"
		done
	fi
	wait_path present "$LINE"
}

# host REQUEST...: one request to the runner; bad unless it answers ok.
# The answer, after "ok" and a blank, in REPLY.
host() {
	echo "$*" >&5
	# The answer line is read by a program of its own: the shell's read
	# builtin, interrupted by the SIGCHLD of a background job that ends,
	# starts over and drops the bytes it had read, so the rest of the line
	# would be taken for the whole answer.
	answer=$(timeout "$HOST_WAIT" head -n 1 <&5)
	case $answer in
	ok) REPLY= ;;
	"ok "*) REPLY=${answer#ok } ;;
	*) bad "host '$*': ${answer:-no answer}" ;;
	esac
}

# wait_path present|absent PATH
wait_path() {
	w=0
	while [ "$w" -lt "$WAIT_TENTHS" ]; do
		if [ "$1" = present ]; then
			[ -e "$2" ] && return 0
		else
			[ -e "$2" ] || return 0
		fi
		sleep 0.1
		w=$((w + 1))
	done
	bad "$2 not $1"
	return 1
}

# attach: tmattach on the line in the background until /dev/touchm0 is
# there; its pid in ATTACH_PID, its output in $T/attach.out.
attach() {
	./tmattach "$LINE" >"$T/attach.out" 2>&1 &
	ATTACH_PID=$!
	wait_path present /dev/touchm0
}

# detach: stops tmattach; it must end with status 0 and take the device.
detach() {
	stop "$ATTACH_PID" TERM
	[ "$RC" = 0 ] || bad "tmattach ended with status $RC"
	wait_path absent /dev/touchm0
}

# attach_hung_up WHAT: the line hung up (WHAT says how); tmattach sees it
# and ends by itself, saying so, with status 0 (the line is gone as the
# operator meant: its service unit ends inactive, not failed).
attach_hung_up() {
	w=0
	while kill -0 "$ATTACH_PID" 2>/dev/null && [ "$w" -lt "$WAIT_TENTHS" ]; do
		sleep 0.1
		w=$((w + 1))
	done
	stop "$ATTACH_PID" TERM
	[ "$RC" = 0 ] || bad "tmattach ended with status $RC after $1, not 0"
	grep -q "hung up" "$T/attach.out" || bad "tmattach did not report $1"
}

# memory_cases: the memory commands and plain reads on a fresh 512-byte key
# whose memory starts with the greeting: the same cases on every line.
memory_cases() {
	begin memrd-fresh
	tool memrd 0 32
	same stdout "$T/out" <<EOF
using dev /dev/touchm0
libvorn inited
reading 32 bytes from offset 0
read from 0 32 bytes
libvorn closed
EOF
	same listing "$T/err" <<'EOF'
0000 74 6F 75 63 68 2D 6D 65 -6D 6F 72 79 20 6B 65 79  touch-memory key
0010 20 30 31 30 38 3A 20 68 -65 6C 6C 6F 0A 00 00 00   0108: hello....
EOF
	end

	begin memwrs-memrd
	tool memwrs kernel-side 64
	same stdout "$T/out" <<EOF
using dev /dev/touchm0
libvorn inited
writing str 'kernel-side' to offset 64...write  to 64 11 bytes
ok
libvorn closed
EOF
	tool memrd 60 20
	same listing "$T/err" <<'EOF'
0000 00 00 00 00 6B 65 72 6E -65 6C 2D 73 69 64 65 00  ....kernel-side.
0010 00 00 00 00 XX XX XX XX -XX XX XX XX XX XX XX XX  ....
EOF
	end

	begin memwrf-memrdf
	# 300 bytes from offset 100: a part page, eight whole pages, a part page.
	head -c 300 /dev/urandom >"$T/in.bin"
	tool memwrf "$T/in.bin" 100
	sed 's/^time diff [0-9][0-9]*$/time diff N/' "$T/out" >"$T/out.n"
	same stdout "$T/out.n" <<EOF
using dev /dev/touchm0
libvorn inited
writing  to tm offset 100 size 300 <=$T/in.bin...write  to 100 300 bytes
ok
time diff N
libvorn closed
EOF
	rm -f "$T/out.bin"
	tool memrdf "$T/out.bin" 100 300
	sed 's/^time diff [0-9][0-9]*$/time diff N/' "$T/out" >"$T/out.n"
	same stdout "$T/out.n" <<EOF
using dev /dev/touchm0
libvorn inited
reading  from tm offset 100 size 300 =>$T/out.bin....read from 100 300 bytes
ok
time diff N
libvorn closed
EOF
	cmp "$T/in.bin" "$T/out.bin" || bad "memory read back differs from the file written"
	end

	begin file-position
	# Plain reads through the kernel's file position: the whole memory in
	# pieces, short at its end, nothing after it. It holds what the cases above
	# wrote and zeros elsewhere.
	dd if=/dev/touchm0 of="$T/all.bin" bs=100 2>/dev/null || bad "dd of the memory failed"
	{
		printf 'touch-memory key 0108: hello\n'
		head -c 35 /dev/zero
		printf 'kernel-side'
		head -c 25 /dev/zero
		cat "$T/in.bin"
		head -c 112 /dev/zero
	} >"$T/image.bin"
	cmp "$T/image.bin" "$T/all.bin" || bad "the memory read with dd is not what was written"
	dd if=/dev/touchm0 of="$T/tail.bin" bs=10 skip=50 2>/dev/null
	[ "$(wc -c <"$T/tail.bin")" = 12 ] || bad "read at 500 gave $(wc -c <"$T/tail.bin") bytes, not 12"
	dd if=/dev/touchm0 of="$T/past.bin" bs=16 skip=40 2>/dev/null
	[ "$(wc -c <"$T/past.bin")" = 0 ] || bad "read after the end delivered bytes"
	end
}

# finish: the summary, the kernel log, power off.
finish() {
	echo "TMQ SUMMARY pass=$npass fail=$nfail"
	echo "TMQ DMESG BEGIN"
	dmesg
	echo "TMQ DMESG END"
	sync
	poweroff -f
}
