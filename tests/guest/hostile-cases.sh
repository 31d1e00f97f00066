# SPDX-License-Identifier: GPL-2.0-or-later
# Cases of the tty guest against a far end that misbehaves on command.
# Sourced by guest-tty.sh after guest-lib.sh; hostile_cases runs them.

hostile_cases() {
	:
}
