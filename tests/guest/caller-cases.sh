# SPDX-License-Identifier: GPL-2.0-or-later
# Cases of the tty guest with callers that misbehave: stalled copies,
# signals, ptys, other disciplines. Sourced by guest-tty.sh after
# guest-lib.sh; caller_cases runs them.

caller_cases() {
	:
}
