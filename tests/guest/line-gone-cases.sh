# SPDX-License-Identifier: GPL-2.0-or-later
# The key events when a tty line goes (guest-tty.sh, after event-cases.sh,
# whose helpers it uses): the node's parent is the port; an event and a
# device descriptor waiting when the adapter is unplugged (usb) or the
# discipline detached (16550) both get POLLHUP|POLLERR, the event
# descriptor ENODEV after its queue, and the kernel does not warn (the
# guest panics on a warning). line_gone_cases leaves the line attached
# again with its key EV_ROM.

line_gone_cases() {
	begin event-line-gone
	link=$(readlink "$EV_SYS/device")
	echo "TMQ   | touchm0's device: $link"
	case $link in
	*/"${LINE#/dev/}") ;;
	*) bad "touchm0's device is '$link', not ${LINE#/dev/}" ;;
	esac
	ev_start gone hup "$EV_LIMIT_MS"
	if [ "$LINE_KIND" = usb ]; then
		host unplug
		wait_path absent /dev/touchm0
		attach_hung_up "the unplug"
	else
		detach
	fi
	ev_end
	same hangup "$T/gone.out" <<EOF
ready
hup ok
EOF
	if [ "$LINE_KIND" = usb ]; then
		host replug
		wait_path present "$LINE"
	fi
	attach
	[ "$(ev_attr key)" = "$EV_ROM" ] || bad "key shows '$(ev_attr key)' on the new line"
	end
}
