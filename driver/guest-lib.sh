# Case bookkeeping of the qemu test guests, sourced by their /init scripts
# (busybox sh): one line per case on the console,
#
#   TMQ PASS <case> (<seconds>)
#   TMQ FAIL <case> (<seconds>): <what went wrong>
#
# and at the end the summary and the kernel log (finish). The script that
# sources this sets T (a scratch folder) and WAIT_TENTHS first.

npass=0
nfail=0

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

# stop PID SIGNAL: sends SIGNAL and waits for the end of PID; its status in
# RC. A process that outlives the wait is killed and counts as a failure.
stop() {
	kill -"$2" "$1"
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

# finish: the summary, the kernel log, power off.
finish() {
	echo "TMQ SUMMARY pass=$npass fail=$nfail"
	echo "TMQ DMESG BEGIN"
	dmesg
	echo "TMQ DMESG END"
	sync
	poweroff -f
}
