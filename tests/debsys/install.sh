#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the project's packages into a copy of the Debian root and makes
# it the machine the Debian-system run boots (scripts/debsys-test.sh runs
# this under "unshare --mount", so the chroot's mounts belong to this
# process alone and vanish with it, however it ends):
#
#   tests/debsys/install.sh ROOT DEBS_DIR LOG
#
# Every package of DEBS_DIR with dpkg -i in a chroot, as an operator
# installs them; DKMS (from touchm-dkms's maintainer script) must have
# built and installed the module for the root's kernel. Then what a site
# adds: the unprivileged user OPERATOR in group touchm, the local rule that
# marks the adapter with serial number MARKED_SERIAL, README's uevent rule
# pair (with a door that logs what it was told, and a rule logging every
# key event beside it), and the check service with its settings
# (/etc/vorn-debsys.conf), from the environment: MARKED_SERIAL,
# OTHER_SERIAL, OPERATOR. What the chroot's commands print
# goes to LOG; a failure ends with its last lines on standard error.
set -euo pipefail

r=$1
debs=$2
log=$3
here=$(cd "$(dirname "$0")" && pwd)

fail() {
	tail -n 60 "$log" >&2
	echo "install: FAIL: $*" >&2
	exit 1
}

# in_root COMMAND...: COMMAND in the chroot, with a clean environment.
in_root() {
	echo "# $*" >>"$log"
	chroot "$r" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 \
		DEBIAN_FRONTEND=noninteractive "$@" >>"$log" 2>&1
}

kver=$(find "$r/lib/modules" -mindepth 1 -maxdepth 1 -printf '%f\n' | head -n 1)
[ -n "$kver" ] || fail "no kernel in the root"

# What the maintainer scripts may need. Private to this mount namespace.
mount --make-rprivate /
mount -t proc proc "$r/proc"
mount -t sysfs sysfs "$r/sys"
mount --bind /dev "$r/dev"
mount -t tmpfs tmpfs "$r/run"
# No service starts inside the chroot.
printf '#!/bin/sh\nexit 101\n' >"$r/usr/sbin/policy-rc.d"
chmod 755 "$r/usr/sbin/policy-rc.d"

mkdir "$r/tmp/debs"
cp "$debs"/*.deb "$r/tmp/debs/"
in_root sh -c 'dpkg -i /tmp/debs/*.deb' || fail "dpkg -i of the packages"
rm -rf "$r/tmp/debs"

# DKMS built the module for the root's kernel, nothing by hand.
in_root dkms status || fail "dkms status"
dkms_line=$(chroot "$r" dkms status touchm 2>/dev/null)
echo "install: dkms: $dkms_line"
case $dkms_line in
*"$kver"*installed*) ;;
*) fail "DKMS did not install touchm for $kver: '$dkms_line'" ;;
esac
ko=$(find "$r/lib/modules/$kver/updates/dkms" -name 'touchm.ko*' 2>/dev/null | head -n 1)
[ -n "$ko" ] || fail "no touchm.ko in /lib/modules/$kver/updates/dkms"
in_root getent group touchm || fail "the packages made no group touchm"

# Debian's base system has a group "operator" already (and no such user):
# the user's own group is users.
in_root useradd --create-home --shell /bin/bash --no-user-group --gid users \
	--groups touchm "$OPERATOR" || fail "useradd $OPERATOR"
# The operator's mark on the adapter, by its serial number, numbered before
# the project's rules.
cat >"$r/etc/udev/rules.d/70-touchm-local.rules" <<EOF
SUBSYSTEM=="tty", ENV{ID_SERIAL_SHORT}=="$MARKED_SERIAL", ENV{TOUCHM_LINE}="1"
EOF
# The uevent rule pair README gives integrators, as written there: the
# watch kept on for every line, and the door opened for the key door_rom
# when it is attached. The door logs what udev passed it to door_log.
door_rom=04efbeadde0000cd
door_log=/run/door.log
cat >"$r/etc/udev/rules.d/80-door.rules" <<EOF
ACTION=="add", SUBSYSTEM=="misc", KERNEL=="touchm[0-9]*", ATTR{watch_always}="1"
ACTION=="change", SUBSYSTEM=="misc", KERNEL=="touchm[0-9]*", ENV{TOUCHM_EVENT}=="attached", ENV{TOUCHM_ROM}=="$door_rom", RUN+="/usr/local/bin/door-open"
EOF
# Every key event the driver sends, whatever its ROM, to uevent_log: what
# the door did not act on as well.
uevent_log=/run/touchm-uevents.log
cat >"$r/etc/udev/rules.d/81-touchm-uevents.rules" <<EOF
ACTION=="change", SUBSYSTEM=="misc", KERNEL=="touchm[0-9]*", ENV{TOUCHM_EVENT}=="?*", RUN+="/usr/local/sbin/vorn-debsys-uevent"
EOF
# log_event LOG: a script appending the uevent's "EVENT ROM" to LOG.
log_event() {
	# shellcheck disable=SC2016 # expanded by the script, not here
	printf '#!/bin/sh\necho "$TOUCHM_EVENT $TOUCHM_ROM" >>%s\n' "$1"
}
mkdir -p "$r/usr/local/bin" "$r/usr/local/sbin"
log_event "$door_log" >"$r/usr/local/bin/door-open"
log_event "$uevent_log" >"$r/usr/local/sbin/vorn-debsys-uevent"
chmod 755 "$r/usr/local/bin/door-open" "$r/usr/local/sbin/vorn-debsys-uevent"
cat >"$r/etc/vorn-debsys.conf" <<EOF
MARKED_SERIAL=$MARKED_SERIAL
OTHER_SERIAL=$OTHER_SERIAL
OPERATOR=$OPERATOR
DOOR_ROM=$door_rom
DOOR_LOG=$door_log
UEVENT_LOG=$uevent_log
EOF
install -m 755 "$here/guest-check.sh" "$r/usr/local/sbin/vorn-debsys-check"
install -m 644 "$here/check.service" "$r/etc/systemd/system/vorn-debsys-check.service"
in_root systemctl enable vorn-debsys-check.service || fail "enabling the check service"
rm -f "$r/usr/sbin/policy-rc.d"
