#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds, or finds already built, the Debian 12 root the Debian-system run
# boots: debootstrap's minbase with systemd, udev, kmod, DKMS and its
# compiler, and Debian's kernel with its headers. Prints the root's folder
# on its last line.
#
#   tests/debsys/mkroot.sh [--fresh-cache]
#
# The root is cached outside the source tree, under
#   $VORN_DEBSYS_CACHE, else /var/cache/vorn-debsys when it can be written,
#   else ${XDG_CACHE_HOME:-~/.cache}/vorn-debsys,
# in a folder named by a hash of the package list, the suite, the mirror
# and root_format (raised whenever a step below changes what the root
# holds), so a change of any of them builds a new root and a later run
# reuses it in seconds. A root is built in a
# temporary folder beside the cache and renamed when it is complete: an
# interrupted build leaves no half root behind, only a temporary folder
# that the next build removes. Roots of other keys are removed once the new
# one is in place (each is about a gigabyte).
#
# The mirror is the one this machine's apt uses for the suite (the first
# "deb" entry for it in /etc/apt/sources.list or a deb822
# /etc/apt/sources.list.d/*.sources file), or $VORN_DEBSYS_MIRROR.
# Packages already in /var/cache/apt/archives are taken from there (their
# checksums are checked), and the downloaded ones are kept there for the
# next build; --fresh-cache downloads everything into an empty folder
# instead, which is what a fresh machine does.
#
# Needs root (debootstrap, chroot), debootstrap, flock and unshare.
set -eu

suite=bookworm
# The root's packages beyond minbase: the init system and device manager
# the packages are made for, DKMS with what it builds with (gcc, make, the
# headers of the root's kernel: linux-headers-amd64 follows
# linux-image-amd64's version), and the kernel the guest boots with its
# initramfs (linux-image pulls initramfs-tools); python3 for the Python
# module's package, libmosquitto1 for vorn-mqtt's (dpkg -i installs no
# dependencies). debootstrap installs dependencies but no recommendations.
packages="systemd-sysv,udev,kmod,dkms,make,gcc,linux-image-amd64,linux-headers-amd64,python3,libmosquitto1"

# The version of the steps below: raise it when they change the root.
root_format=2

fresh_cache=0
case ${1:-} in
--fresh-cache) fresh_cache=1 ;;
'') ;;
*) echo "mkroot: unknown argument $1" >&2; exit 2 ;;
esac

fail() {
	echo "mkroot: FAIL: $*" >&2
	exit 1
}

[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot)"
for cmd in debootstrap flock sha256sum unshare chroot; do
	command -v "$cmd" >/dev/null 2>&1 || fail "missing $cmd (apt-get install debootstrap)"
done

# mirror_of SUITE (scripts/debian-mirror.sh): this machine's apt mirror.
# shellcheck source=scripts/debian-mirror.sh
. "$(dirname "$0")/../../scripts/debian-mirror.sh"
mirror=${VORN_DEBSYS_MIRROR:-$(mirror_of "$suite" | head -n 1)}
[ -n "$mirror" ] || fail "no apt source for $suite on this machine (set VORN_DEBSYS_MIRROR)"

if [ -n "${VORN_DEBSYS_CACHE:-}" ]; then
	cache=$VORN_DEBSYS_CACHE
elif mkdir -p /var/cache/vorn-debsys 2>/dev/null && [ -w /var/cache/vorn-debsys ]; then
	cache=/var/cache/vorn-debsys
else
	cache=${XDG_CACHE_HOME:-$HOME/.cache}/vorn-debsys
fi
mkdir -p "$cache" || fail "cannot make the cache folder $cache"

key=$(echo "$root_format $suite $mirror $packages" | sha256sum | cut -c1-16)
root=$cache/$key/root
if [ -f "$cache/$key/complete" ]; then
	echo "mkroot: cached root $root"
	echo "$root"
	exit 0
fi

# One build at a time; whoever waited finds the root the other one built.
exec 9>"$cache/lock"
flock 9
if [ -f "$cache/$key/complete" ]; then
	echo "mkroot: cached root $root"
	echo "$root"
	exit 0
fi
# Under the lock no other build runs: what is left of one is stale.
rm -rf "${cache:?}"/.build.* "${cache:?}/$key"

build=$(mktemp -d "$cache/.build.$key.XXXXXX")
dl=/var/cache/apt/archives
if [ "$fresh_cache" = 1 ] || [ ! -d "$dl" ] || [ ! -w "$dl" ]; then
	dl=$build/debs
	mkdir "$dl"
fi
mounted_by_debootstrap() {
	awk -v b="$build/" 'index($5, b) == 1 { print $5 }' /proc/self/mountinfo
}
# The running stage, ended with the build on a signal (the shell runs a
# trap only once its foreground command is over: the stages run in the
# background and are waited for).
stage_pid=
cleanup() {
	if [ -n "$stage_pid" ]; then
		kill "$stage_pid" 2>/dev/null || true
		wait "$stage_pid" 2>/dev/null || true
	fi
	# debootstrap mounts proc and sys in the target while it works; an
	# interrupted one may leave them: never remove across a mount.
	for m in $(mounted_by_debootstrap | sort -r); do
		umount -l "$m" 2>/dev/null || true
	done
	if [ -z "$(mounted_by_debootstrap)" ]; then
		rm -rf "$build"
	else
		echo "mkroot: left $build: still mounted" >&2
	fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

start=$(date +%s)
echo "mkroot: building the $suite root from $mirror into $cache/$key"
r=$build/root
# The first stage fetches and unpacks; the second, in the chroot, installs
# and configures with dpkg, which the files below set up first.
# stage COMMAND...: COMMAND in the background, waited for; its status.
stage() {
	"$@" >>"$build/debootstrap.log" 2>&1 &
	stage_pid=$!
	st=0
	wait "$stage_pid" || st=$?
	stage_pid=
	return "$st"
}
if ! stage debootstrap --foreign --variant=minbase --include="$packages" --cache-dir="$dl" \
	"$suite" "$r" "$mirror"; then
	tail -n 30 "$build/debootstrap.log" >&2
	fail "debootstrap (first stage)"
fi
# dpkg without a sync per file (the root is rebuilt, never repaired after a
# crash) and without documentation, manual pages and translations.
mkdir -p "$r/etc/dpkg/dpkg.cfg.d"
cat >"$r/etc/dpkg/dpkg.cfg.d/vorn-debsys" <<'EOF'
force-unsafe-io
path-exclude=/usr/share/doc/*
path-exclude=/usr/share/man/*
path-exclude=/usr/share/info/*
path-exclude=/usr/share/locale/*
EOF
# An initramfs with what mounts the root (a virtio disk, ext4) instead of
# most of the kernel's modules: made in seconds rather than a minute, once
# for the kernel and once more for the triggers of the packages after it.
mkdir -p "$r/etc/initramfs-tools/conf.d" "$r/etc/initramfs-tools/hooks"
echo "MODULES=list" >"$r/etc/initramfs-tools/conf.d/vorn-debsys"
cat >"$r/etc/initramfs-tools/hooks/vorn-debsys" <<'EOF'
#!/bin/sh
# The modules the virtio disk's ext4 root needs.
[ "$1" = prereqs ] && exit 0
. /usr/share/initramfs-tools/hook-functions
force_load virtio_pci
force_load virtio_blk
force_load ext4
EOF
chmod 755 "$r/etc/initramfs-tools/hooks/vorn-debsys"
# Its own mount namespace: the proc and sys it mounts in the chroot end
# with it.
if ! stage unshare --mount chroot "$r" /debootstrap/debootstrap --second-stage; then
	tail -n 30 "$build/debootstrap.log" >&2
	tail -n 30 "$r/debootstrap/debootstrap.log" >&2 2>/dev/null || true
	fail "debootstrap (second stage)"
fi
rm -f "$r/etc/dpkg/dpkg.cfg.d/vorn-debsys"

# What every boot of the root needs, whatever is installed into it later.
echo "/dev/vda / ext4 rw,errors=remount-ro 0 1" >"$r/etc/fstab"
echo debsys >"$r/etc/hostname"
printf '127.0.0.1\tlocalhost\n127.0.1.1\tdebsys\n' >"$r/etc/hosts"
# A machine id made at first boot, as on an installed system's first start.
: >"$r/etc/machine-id"
# No apt lists, downloaded packages or documentation in the image.
rm -rf "$r"/var/lib/apt/lists/* "$r"/var/cache/apt/archives/*.deb \
	"$r"/usr/share/doc/* "$r"/usr/share/man/* "$r"/usr/share/info/* \
	"$r"/usr/share/locale/*
ls "$r"/boot/vmlinuz-* >/dev/null 2>&1 || fail "no kernel in the root"
ls "$r"/boot/initrd.img-* >/dev/null 2>&1 || fail "no initramfs in the root"

rm -rf "$build/debs"
echo "$(($(date +%s) - start))" >"$build/build-seconds"
touch "$build/complete"
# One rename makes the root visible, complete.
mv "$build" "$cache/$key" || fail "cannot move the root into $cache/$key"
# Roots of other keys are stale.
for old in "$cache"/*/complete; do
	old=${old%/complete}
	[ "$old" = "$cache/$key" ] || rm -rf "$old"
done
echo "mkroot: built $root in $(cat "$cache/$key/build-seconds") s"
echo "$root"
