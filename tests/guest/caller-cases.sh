# SPDX-License-Identifier: GPL-2.0-or-later
# Cases of the tty guest with callers that misbehave: stalled copies,
# signals, ptys, other disciplines. Sourced by guest-tty.sh after
# guest-lib.sh; caller_cases runs them.
#
# Every case leaves the line as it found it: tmattach attached on $LINE,
# /dev/touchm0 there with the far end's key ROM_T, the module loaded
# without parameters.

# The driver's line discipline; serport's (N_MOUSE), which the driver must
# leave to it.
LDISC_DRIVER=29
LDISC_MOUSE=2
SERPORT=/lib/modules/extra/serport.ko
# Rounds of reads under the interval timer: a short one and the whole
# memory each.
RESTART_ROUNDS=8
KEY_MEM=512

# run_caller ARGS...: one tmcaller run, which must end with status 0 and say
# "tmcaller: ok" last; else the case is bad and all it said is shown. What
# it measured (its other lines) is shown either way.
run_caller() {
	./tmcaller "$@" >"$T/caller.out" 2>&1
	rc=$?
	if [ "$rc" != 0 ] || [ "$(tail -n 1 "$T/caller.out")" != "tmcaller: ok" ]; then
		bad "tmcaller $1 (status $rc)"
		sed 's/^/TMQ   | /' "$T/caller.out"
	else
		sed -n '$!s/^tmcaller: /TMQ   | /p' "$T/caller.out"
	fi
}

# key_image FILE: the key memory read through the driver, which must be
# what the far end holds.
key_image() {
	dd if=/dev/touchm0 of="$1" bs="$KEY_MEM" count=1 2>/dev/null || bad "dd of the memory failed"
	host dump
	[ "$(od -An -v -tx1 "$1" | tr -d ' \n')" = "$REPLY" ] ||
		bad "the memory read is not what the far end holds"
}

# ptys_up: devpts on /dev/pts, where opening /dev/ptmx looks for it.
ptys_up() {
	grep -q ' /dev/pts devpts ' /proc/mounts && return 0
	mkdir -p /dev/pts
	mount -t devpts devpts /dev/pts || bad "cannot mount devpts"
}

# ldisc_owner N: the name of the discipline registered as number N.
ldisc_owner() {
	awk -v n="$1" '$2 == n { print $1 }' /proc/tty/ldiscs
}

caller_cases() {
	begin stalled-copy-detach
	# A read whose copy to user memory stalls (userfaultfd) must not hold
	# the line: the discipline is detached, and then the tty hung up,
	# within a second while the copy waits, and the read ends once its
	# fault is served.
	key_image "$T/ref.bin"
	run_caller stall "$LINE" setd "$T/ref.bin"
	[ ! -e /dev/touchm0 ] || bad "/dev/touchm0 still there after TIOCSETD N_TTY"
	# tmattach still holds the tty, now with N_TTY on it.
	detach
	attach
	run_caller stall "$LINE" hangup "$T/ref.bin"
	attach_hung_up "the hangup"
	attach
	getid_says "$ROM_T_GETID"
	end

	begin signals-restart
	# SIGALRM every 300 us with SA_RESTART: a signal neither ends nor
	# restarts a request, so every read gives the key memory, in bounded
	# time.
	key_image "$T/ref.bin"
	run_caller restart "$T/ref.bin" "$RESTART_ROUNDS"
	getid_says "$ROM_T_GETID"
	end

	begin tty-termios
	# The attached tty still answers its own requests (tcgetattr,
	# tcsetattr), and the driver puts raw 8N1 back over a caller's
	# settings at the next request.
	run_caller termios "$LINE"
	getid_says "$ROM_T_GETID"
	end

	begin hung-up-reopen
	# Opened again after a hangup, while a descriptor of it is still held,
	# the tty has N_TTY: no second key line appears.
	run_caller reopen "$LINE"
	attach_hung_up "the hangup"
	[ ! -e /dev/touchm0 ] || bad "/dev/touchm0 after the hangup and reopen"
	attach
	getid_says "$ROM_T_GETID"
	end

	begin ldisc-number
	# Number 2 (N_MOUSE) is serport's: the driver keeps to 29 even when
	# told ldisc=2, a parameter it no longer has, and number 2 stays
	# serport's while it is loaded and after it is gone.
	ptys_up
	detach
	rmmod touchm || bad "rmmod touchm failed"
	insmod "$SERPORT" || bad "insmod serport failed"
	[ "$(ldisc_owner "$LDISC_MOUSE")" = input ] ||
		bad "number $LDISC_MOUSE is '$(ldisc_owner "$LDISC_MOUSE")', not serport's"
	n0=$(klog "touchm: unknown parameter 'ldisc' ignored")
	insmod /touchm.ko ldisc="$LDISC_MOUSE" || bad "insmod touchm ldisc=$LDISC_MOUSE failed"
	[ "$(klog "touchm: unknown parameter 'ldisc' ignored")" = $((n0 + 1)) ] ||
		bad "the kernel did not ignore ldisc="
	[ "$(ldisc_owner "$LDISC_MOUSE")" = input ] ||
		bad "number $LDISC_MOUSE is '$(ldisc_owner "$LDISC_MOUSE")' with touchm loaded"
	[ "$(ldisc_owner "$LDISC_DRIVER")" = touchm ] ||
		bad "number $LDISC_DRIVER is '$(ldisc_owner "$LDISC_DRIVER")', not touchm"
	run_caller ldisc "$LDISC_MOUSE"
	# The driver serves its own number all the same.
	attach
	getid_says "$ROM_T_GETID"
	detach
	rmmod touchm || bad "rmmod touchm failed"
	[ "$(ldisc_owner "$LDISC_MOUSE")" = input ] ||
		bad "number $LDISC_MOUSE is '$(ldisc_owner "$LDISC_MOUSE")' after rmmod touchm"
	run_caller ldisc "$LDISC_MOUSE"
	rmmod serport || bad "rmmod serport failed"
	insmod /touchm.ko || bad "insmod touchm failed"
	attach
	getid_says "$ROM_T_GETID"
	end

	begin pty-refused
	# A pty is no serial port: the discipline refuses either side of one
	# (EOPNOTSUPP), and tmattach says a key line needs a serial adapter.
	# Last of these cases: a driver that takes the pty may warn, and the
	# guest panics on a warning.
	ptys_up
	run_caller pty
	./tmcaller with-pty ./tmattach >"$T/out" 2>"$T/err"
	rc=$?
	[ "$rc" = 1 ] || bad "tmattach on a pty: status $rc, not 1"
	sed 's|/dev/pts/[0-9]*|/dev/pts/N|g' "$T/err" >"$T/err.n"
	same "tmattach on a pty" "$T/err.n" <<EOF
tmattach: not a serial port: /dev/pts/N (a pseudo-terminal?); a key line needs a real serial adapter, a UART or a USB-serial adapter [Operation not supported]
EOF
	empty "tmattach stdout" "$T/out"
	[ -e /dev/touchm0 ] || bad "/dev/touchm0 gone"
	[ ! -e /dev/touchm1 ] || bad "/dev/touchm1 appeared"
	getid_says "$ROM_T_GETID"
	end
}
