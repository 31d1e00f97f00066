#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# tmattach --persist as an operator runs it: the adapter's properties come
# from udevadm (a stand-in first on PATH, which plays the adapter and
# records how it is called), the mark goes into
# /etc/udev/rules.d/70-touchm-local.rules. That folder is a private tmpfs in
# a mount namespace of this test's own, so the machine's rules are never
# touched; without root (or without unshare) the test is skipped (77).
#
# usage: persist_test.sh TMATTACH
set -uo pipefail

tmattach=$1
rules_dir=/etc/udev/rules.d
if [ "${PERSIST_TEST_INSIDE:-}" != 1 ]; then
    if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null 2>&1 || [ ! -d "$rules_dir" ]; then
        echo "skipped: needs root, unshare and $rules_dir (a private mount over it)"
        exit 77
    fi
    if ! unshare -m true 2>/dev/null; then
        echo "skipped: no mount namespace here"
        exit 77
    fi
    exec env PERSIST_TEST_INSIDE=1 unshare -m --propagation private bash "$0" "$@"
fi
mount -t tmpfs -o mode=0755 tmpfs "$rules_dir" || { echo "FAIL: tmpfs over $rules_dir"; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-persist.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
file=$rules_dir/70-touchm-local.rules
passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok: $1"; }
fail() { failed=$((failed + 1)); echo "FAIL: $1"; }
same() {
    if [ "$2" = "$3" ]; then
        pass "$1"
    else
        fail "$1"
        diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    /'
    fi
}

# The stand-in udevadm: "info" prints $FAKE_PROPERTIES and exits
# $FAKE_INFO_STATUS; every call is logged.
mkdir "$tmp/bin"
cat >"$tmp/bin/udevadm" <<'FAKE'
#!/bin/sh
echo "$*" >>"$FAKE_LOG"
if [ "$1" = info ]; then
    printf '%s' "$FAKE_PROPERTIES"
    exit "${FAKE_INFO_STATUS:-0}"
fi
exit 0
FAKE
chmod +x "$tmp/bin/udevadm"
export FAKE_LOG=$tmp/calls
usb='DEVPATH=/devices/pci0000:00/0000:00:01.2/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0
SUBSYSTEM=tty
DEVNAME=/dev/ttyUSB0
ID_SERIAL=FTDI_FT232R_USB_UART_A9QX41ZL
ID_SERIAL_SHORT=A9QX41ZL
ID_PATH=pci-0000:00:01.2-usb-0:1:1.0
'
rule='SUBSYSTEM=="tty", ENV{ID_SERIAL_SHORT}=="A9QX41ZL", ENV{TOUCHM_LINE}="1"'
run() {
    : >"$FAKE_LOG"
    out=$(PATH="$tmp/bin:$PATH" "$tmattach" --persist "$1" 2>"$tmp/err")
    status=$?
    err=$(cat "$tmp/err")
}

# A file with the operator's own lines: they stay, the mark is added.
printf '# my lines\nKERNEL=="ttyS1", ENV{TOUCHM_LINE}="1"\n' >"$file"
export FAKE_PROPERTIES=$usb
run /dev/ttyUSB0
same "marked: status" 0 "$status"
same "marked: says so" \
    "tmattach: marked /dev/ttyUSB0 (serial A9QX41ZL) as a key line in $file" "$out"
same "marked: no complaint" "" "$err"
same "marked: other lines kept, rule added" \
    "$(printf '# my lines\nKERNEL=="ttyS1", ENV{TOUCHM_LINE}="1"\n%s' "$rule")" "$(cat "$file")"
same "marked: mode 0644" 644 "$(stat -c %a "$file")"
same "marked: udevadm asked, rules reloaded, the port triggered" \
    "info --query=property --name=/dev/ttyUSB0
control --reload-rules
trigger --action=add /sys/devices/pci0000:00/0000:00:01.2/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0" \
    "$(cat "$FAKE_LOG")"
same "marked: no temporary file left" "70-touchm-local.rules" "$(ls "$rules_dir")"

# Again: nothing changes.
before=$(cat "$file")
run /dev/ttyUSB0
same "again: status" 0 "$status"
same "again: says it is marked" \
    "tmattach: /dev/ttyUSB0 (serial A9QX41ZL) is already marked in $file" "$out"
same "again: file unchanged" "$before" "$(cat "$file")"

# A new file: a comment header, then the mark.
rm "$file"
run /dev/ttyUSB0
same "new file: status" 0 "$status"
same "new file: ends with the rule" "$rule" "$(tail -n 1 "$file")"
same "new file: the rest is comment" "" "$(head -n -1 "$file" | grep -v '^#')"

# A port without a serial number (an on-board UART): refused, with the
# line that marks it by its place instead; the file stays as it was.
before=$(cat "$file")
export FAKE_PROPERTIES='DEVPATH=/devices/pnp0/00:04/tty/ttyS0
SUBSYSTEM=tty
DEVNAME=/dev/ttyS0
ID_PATH=pnp-00:04
'
run /dev/ttyS0
same "no serial: status" 1 "$status"
same "no serial: says why and what to write" \
    "tmattach: /dev/ttyS0 has no serial number (no ID_SERIAL_SHORT in udevadm info): it cannot be marked by one; mark it by where it is plugged in instead, with a line in $file
  SUBSYSTEM==\"tty\", ENV{ID_PATH}==\"pnp-00:04\", ENV{TOUCHM_LINE}=\"1\"" "$err"
same "no serial: file unchanged" "$before" "$(cat "$file")"
same "no serial: rules not reloaded" "info --query=property --name=/dev/ttyS0" "$(cat "$FAKE_LOG")"

# A serial a udev match would take as a pattern.
export FAKE_PROPERTIES='SUBSYSTEM=tty
ID_SERIAL_SHORT=AB*1
'
run /dev/ttyUSB1
same "pattern serial: status" 1 "$status"
same "pattern serial: file unchanged" "$before" "$(cat "$file")"

# Not a tty, and a device udev does not know.
export FAKE_PROPERTIES='SUBSYSTEM=block
ID_SERIAL_SHORT=X1
'
run /dev/sda
same "not a tty: status" 1 "$status"
same "not a tty: message" "tmattach: not a tty: /dev/sda (udev subsystem block)" "$err"
export FAKE_PROPERTIES='' FAKE_INFO_STATUS=1
run /dev/ttyUSB9
same "unknown device: status" 1 "$status"
same "unknown device: message" "tmattach: no such tty: udev knows no device /dev/ttyUSB9" "$err"
unset FAKE_INFO_STATUS

# Without udevadm at all.
out=$(PATH="$tmp/nowhere" "$tmattach" --persist /dev/ttyUSB0 2>&1)
status=$?
same "no udevadm: status" 1 "$status"
same "no udevadm: message" \
    "tmattach: cannot run udevadm (is udev installed?); --persist asks it for the adapter's serial number" \
    "$out"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
