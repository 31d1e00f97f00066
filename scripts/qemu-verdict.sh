# shellcheck shell=bash
# SPDX-License-Identifier: GPL-2.0-or-later
# What the host's side of every qemu run shares (sourced by
# scripts/qemu-test.sh and scripts/debsys-test.sh): the console log made
# readable, and the verdict over a run: qemu's own end, the guest's case
# lines against the cases its scripts hold, and the kernel's log.

# qemu_console_text RAW OUT: RAW without carriage returns and terminal
# control codes, in OUT.
qemu_console_text() {
	tr -d '\r' <"$1" |
		sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1b[c()][0-9A-B]\{0,1\}//g' >"$2"
}

# The verdict's lines, one per problem; empty when the run passed.
problems=
problem() {
	problems="$problems
  $*"
}

# The kernel's own reports of trouble. (A guest's command line may name the
# checks it turns on: lines that quote it are not trouble.)
QEMU_KERNEL_TROUBLE='WARNING:|BUG:|Oops|Call Trace|general protection fault|Kernel panic|soft lockup|hung_task|blocked for more than|UBSAN|KASAN'

# qemu_verdict TAG STATUS LIMIT CASES RESULTS CONSOLE: adds to problems what
# went wrong: qemu's exit STATUS (timeout's after LIMIT seconds), the guest's
# "TAG PASS|FAIL" lines and its "TAG SUMMARY pass=N fail=N" in RESULTS
# against the CASES its scripts hold, kernel trouble in CONSOLE. Leaves the
# guest's summary line in summary (empty without one).
qemu_verdict() {
	local tag=$1 status=$2 limit=$3 cases=$4 results=$5 console=$6
	local passed failed
	if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
		problem "the guest did not power off within $limit s"
	elif [ "$status" -ne 0 ]; then
		problem "qemu ended with status $status"
	fi
	passed=$(grep -c "^$tag PASS " "$results" 2>/dev/null || true)
	failed=$(grep -c "^$tag FAIL " "$results" 2>/dev/null || true)
	summary=$(grep -E "^$tag SUMMARY pass=[0-9]+ fail=[0-9]+\$" "$results" 2>/dev/null || true)
	if [ -z "$summary" ]; then
		problem "no summary line from the guest"
	elif [ "$summary" != "$tag SUMMARY pass=$cases fail=0" ]; then
		problem "summary '$summary', expected pass=$cases fail=0"
	fi
	[ "${failed:-0}" -eq 0 ] || problem "$failed case(s) failed"
	[ "${passed:-0}" -eq "$cases" ] || problem "${passed:-0} of $cases cases passed"
	if grep -nE "$QEMU_KERNEL_TROUBLE" "$console" | grep -v 'ommand line:' >"$console.trouble"; then
		problem "kernel trouble in the console log:
$(sed 's/^/    /' "$console.trouble")"
	fi
	rm -f "$console.trouble"
}
