# SPDX-License-Identifier: GPL-2.0-or-later
# The watch's interval holds for every caller, on the simulated line
# (guest-init.sh) and over the tty backend (guest-tty.sh): a group user
# polling the device back to back beside its event descriptor, a group
# user opening and closing event descriptors back to back, and root
# reading key back to back with no watch running make no more probes than
# one per watch_ms (the first may come at once). Over a tty line a probe
# sleeps while it waits for echoes, so callers run during it: before the
# interval held for them, each poll or new descriptor then queued the next
# probe at once. evguard (watch-guard-cases.sh's helper) counts and judges.
#
# Sourced after guest-lib.sh and event-cases.sh; probe_interval_cases runs
# with the line up and leaves watch_ms at its default and the node's group
# that of PI_USER.

# A user of the node's group (the node is given that group here).
PI_USER=1000:1000
PI_GROUP=1000
# The interval, and how long each caller runs, in ms.
PI_MS=500
PI_RUN_MS=2000

# pi_run NAME ARGS...: evguard ARGS, output in $T/NAME.out and on the
# console log; bad unless status 0.
pi_run() {
	name=$1
	shift
	./evguard "$@" >"$T/$name.out" 2>&1
	RC=$?
	sed 's/^/TMQ   : /' "$T/$name.out"
	[ "$RC" = 0 ] || bad "evguard $*: status $RC"
}

probe_interval_cases() {
	begin probes-one-per-interval-whatever-callers-do
	chgrp "$PI_GROUP" /dev/touchm0 || bad "chgrp failed"
	echo "$PI_MS" >"$EV_SYS/watch_ms" || bad "watch_ms not set"
	pi_run poll -u "$PI_USER" poll "$PI_RUN_MS"
	pi_run churn -u "$PI_USER" churn "$PI_RUN_MS"
	pi_run keyread keyread "$PI_RUN_MS"
	echo "$EV_MS_DEFAULT" >"$EV_SYS/watch_ms"
	end
}
