#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# /init of the qemu guest for the kernel's 1-Wire core on a touchm line:
# Debian's own wire.ko (searching every second, a device dropped after two
# searches without it), w1_therm, w1_ds2431 and w1_smem; the line attached
# with tmattach over qemu's 16550 (ttyS1) or its emulated USB-serial
# adapter (ttyUSB0), "tmq.line=16550|usb" on the kernel command line, with
# tmfarend on the host carrying the key and, by "device add", a DS18B20, a
# DS2431 and ID-only keys beside it.
#
# Far-end changes are requests to the host on ttyS2 (guest-lib.sh's host).
# Packed as the other tty guests are (scripts/qemu-test.sh --w1).
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH

. /guest-lib.sh
guest_start

T=/tmp/tmq
TOOL_DIR=/opt/vorn
WAIT_TENTHS=200
# The far end's key (its default), and the devices put beside it.
ROM_KEY=0400e1a5c0ffeeef
KEY_GETID="ef ee ff c0 a5 e1 00 04"
ROM_THERM=28a1b2c3d4e5f6ac
ROM_EEPROM=2d0102030405a6f8
ROM_ID=01aabbccddee0144
ROM_ID2=0133445566778f47
# The names the 1-Wire core gives them: family, then the 48-bit serial.
W1_KEY=04-eeffc0a5e100
W1_THERM=28-f6e5d4c3b2a1
W1_EEPROM=2d-a60504030201
W1_ID=01-01eeddccbbaa
W1_ID2=01-8f7766554433
W1_DEVICES=/sys/bus/w1/devices
MASTER=$W1_DEVICES/w1_bus_master1
EEPROM_SIZE=128
# Searches that must pass while the far end is noisy, one a second.
NOISY_SECONDS=4
# tmtool reads beside the thermometer's loop.
BESIDE_READS=5

mkdir -p "$T"
cd "$TOOL_DIR" || echo "TMQ FAIL setup: no $TOOL_DIR"
tty_line

# slaves_are NAME...: until the master lists exactly these devices (sorted).
slaves_are() {
	want=$(printf '%s\n' "$@" | sort)
	w=0
	while [ "$w" -lt "$WAIT_TENTHS" ]; do
		got=$(sort "$MASTER/w1_master_slaves" 2>/dev/null)
		[ "$got" = "$want" ] && return 0
		sleep 0.1
		w=$((w + 1))
	done
	bad "the core lists '$(echo $got)', not '$(echo $want)'"
	return 1
}

# temperature_is MILLI: the thermometer's temperature file says so.
temperature_is() {
	t=$(cat "$W1_DEVICES/$W1_THERM/temperature" 2>&1)
	[ "$t" = "$1" ] || bad "temperature '$t', not $1"
}

# --- cases ------------------------------------------------------------------

begin line-up
line_up
host clear
# The core searching every second, dropping a device after two searches.
rmmod wire || bad "rmmod wire failed"
insmod "$W1_MODULES/wire.ko" timeout=1 slave_ttl=2 || bad "insmod wire failed"
for m in w1_therm w1_ds2431 w1_smem; do
	insmod "$W1_MODULES/$m.ko" || bad "insmod $m failed"
done
insmod /touchm.ko || bad "insmod touchm failed"
end

begin master-on-attach
attach
wait_path present "$MASTER"
slaves_are "$W1_KEY"
getid_says "$KEY_GETID"
end

begin core-lists-the-devices
host device add "$ROM_THERM"
host device add "$ROM_EEPROM"
host device add "$ROM_ID"
host device convtime "$ROM_THERM" 50
slaves_are "$W1_KEY" "$W1_THERM" "$W1_EEPROM" "$W1_ID"
# w1_smem took the ID-only key, w1_therm the thermometer.
[ -e "$W1_DEVICES/$W1_ID/driver" ] || bad "no driver bound to $W1_ID"
[ -e "$W1_DEVICES/$W1_THERM/temperature" ] || bad "w1_therm has no temperature file"
end

begin therm-temperature
host device temp "$ROM_THERM" 21.5
temperature_is 21500
host device temp "$ROM_THERM" -10.125
temperature_is -10125
end

begin eeprom-file
f=$W1_DEVICES/$W1_EEPROM/eeprom
# Five rows of 8 bytes in, written a row at a time as the driver does.
printf 'site 7: gate north, line 2\n' >"$T/ee.txt"
dd if="$T/ee.txt" of="$f" bs=8 seek=5 conv=notrunc 2>/dev/null || bad "eeprom write failed"
dd if="$f" bs=8 skip=5 count=4 2>/dev/null | head -c 27 >"$T/ee.bin"
cmp -s "$T/ee.txt" "$T/ee.bin" || bad "eeprom read back '$(cat "$T/ee.bin")'"
host device eeprom "$ROM_EEPROM"
hex=$(od -An -tx1 -v "$T/ee.txt" | tr -d ' \n')
case $REPLY in
*"$hex"*) ;;
*) bad "the far end's memory lacks what was written: $REPLY" ;;
esac
[ "$(wc -c <"$f")" = "$EEPROM_SIZE" ] || bad "eeprom is not $EEPROM_SIZE bytes"
end

# The memory key and the ID-only key: two touch keys, neither is "the" key.
begin two-keys
getid_says none
chksl_says none
dd if=/dev/touchm0 of=/dev/null bs=16 count=1 2>"$T/dd.err" && bad "a read with two keys on the line passed"
grep -q "not unique" "$T/dd.err" || bad "a read with two keys: $(cat "$T/dd.err")"
end

begin tmtool-serves-the-key
host device drop "$ROM_ID"
slaves_are "$W1_KEY" "$W1_THERM" "$W1_EEPROM"
getid_says "$KEY_GETID"
chksl_says present
tool memrd 0 32
grep -q "read from 0 32 bytes" "$T/out" || bad "memrd: $(cat "$T/out")"
grep -q "74 6F 75 63 68 2D 6D 65 -6D 6F 72 79 20 6B 65 79  touch-memory key" "$T/err" || bad "memrd listing: $(head -n 1 "$T/err")"
end

begin tmtool-beside-the-core
( while :; do cat "$W1_DEVICES/$W1_THERM/temperature" >>"$T/temps" 2>&1; done ) &
loop=$!
i=0
while [ "$i" -lt "$BESIDE_READS" ]; do
	getid_says "$KEY_GETID"
	i=$((i + 1))
done
stop "$loop" TERM
sort -u "$T/temps" >"$T/temps.u"
[ "$(cat "$T/temps.u")" = -10125 ] || bad "temperatures beside tmtool: $(head -n 3 "$T/temps.u")"
end

begin no-key-among-the-devices
host remove
slaves_are "$W1_THERM" "$W1_EEPROM"
chksl_says none
getid_says none
end

begin the-id-only-key-among-them
host device add "$ROM_ID2"
slaves_are "$W1_THERM" "$W1_EEPROM" "$W1_ID2"
getid_says "47 8f 77 66 55 44 33 01"
chksl_says present
dd if=/dev/touchm0 of=/dev/null bs=16 count=1 2>"$T/dd.err" && bad "a read of an ID-only key passed"
grep -q "not supported" "$T/dd.err" || bad "a read of the ID-only key: $(cat "$T/dd.err")"
host device drop "$ROM_ID2"
host attach "$ROM_KEY"
slaves_are "$W1_KEY" "$W1_THERM" "$W1_EEPROM"
getid_says "$KEY_GETID"
end

begin hostile-search
host fault noise 7 30
s=0
while [ "$s" -lt "$NOISY_SECONDS" ]; do
	# Failed searches make devices vanish ("not found."), never appear.
	for name in $(cat "$MASTER/w1_master_slaves"); do
		case $name in
		"$W1_KEY" | "$W1_THERM" | "$W1_EEPROM" | not | found.) ;;
		*) bad "a device that is not there appeared: $name" ;;
		esac
	done
	sleep 1
	s=$((s + 1))
done
host clear
slaves_are "$W1_KEY" "$W1_THERM" "$W1_EEPROM"
end

begin master-off-on-detach
detach
wait_path absent "$MASTER"
attach
wait_path present "$MASTER"
slaves_are "$W1_KEY" "$W1_THERM" "$W1_EEPROM"
temperature_is -10125
end

begin master-off-on-hangup
if [ "$LINE_KIND" = usb ]; then
	host unplug
	attach_hung_up "the unplug"
	wait_path absent "$MASTER"
	host replug
	wait_path present "$LINE"
	attach
	slaves_are "$W1_KEY" "$W1_THERM" "$W1_EEPROM"
else
	# The 16550 cannot be unplugged: the line's holder goes instead.
	stop "$ATTACH_PID" KILL
	wait_path absent "$MASTER"
	attach
	slaves_are "$W1_KEY" "$W1_THERM" "$W1_EEPROM"
fi
end

begin unload
detach
wait_path absent "$MASTER"
rmmod touchm || bad "rmmod touchm failed"
for m in w1_smem w1_ds2431 w1_therm wire; do
	rmmod "$m" || bad "rmmod $m failed"
done
end

begin kernel-health
kernel_health
end

finish
