#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Packs the initramfs of the qemu test guest (newc cpio, uncompressed):
#
#   tests/guest/mkinitramfs.sh OUT.cpio MODULE.ko BIN_DIR INIT_SCRIPT [PROGRAM...]
#
#   /init                  INIT_SCRIPT (tests/guest/guest-init.sh)
#   /touchm.ko             MODULE.ko
#   /opt/vorn/tmtool, /opt/vorn/libvorn.so.1   from BIN_DIR, side by side as
#                          tmtool finds its library through its run path
#   /opt/vorn/PROGRAM      further programs the script runs (devcheck)
#   /bin/busybox and its applet links (busybox --list-full)
#   the shared libraries these programs load (ldd), at the paths the host's
#   loader finds them, the loader itself included
#   /proc /sys /dev /tmp   mount points
#
# Needs busybox (busybox-static, so nothing else needs to be packed for it),
# ldd, and cpio or busybox's cpio applet.
set -eu

if [ $# -lt 4 ]; then
	echo "usage: $0 OUT.cpio MODULE.ko BIN_DIR INIT_SCRIPT [PROGRAM...]" >&2
	exit 2
fi
out=$1
module=$2
bin_dir=$3
init=$4
shift 4
tool_dir=opt/vorn

fail() {
	echo "mkinitramfs: $*" >&2
	exit 1
}

busybox=$(command -v busybox) || fail "busybox not found (install busybox-static)"
[ -f "$module" ] || fail "no module $module"
[ -x "$bin_dir/tmtool" ] || fail "no tmtool in $bin_dir"
[ -f "$bin_dir/libvorn.so.1" ] || fail "no libvorn.so.1 in $bin_dir"
[ -f "$init" ] || fail "no init script $init"

stage=$(mktemp -d "${TMPDIR:-/tmp}/touchm-initramfs.XXXXXX")
trap 'rm -rf "$stage"' EXIT
trap 'exit 1' INT TERM

mkdir -p "$stage/bin" "$stage/proc" "$stage/sys" "$stage/dev" "$stage/tmp" \
	"$stage/root" "$stage/$tool_dir"

cp -L "$busybox" "$stage/bin/busybox"
for applet in $("$busybox" --list-full); do
	case $applet in
	bin/busybox) continue ;;
	esac
	mkdir -p "$stage/$(dirname "$applet")"
	ln -sf /bin/busybox "$stage/$applet"
done

cp "$init" "$stage/init"
chmod 0755 "$stage/init"
cp "$module" "$stage/touchm.ko"
cp -L "$bin_dir/tmtool" "$stage/$tool_dir/tmtool"
cp -L "$bin_dir/libvorn.so.1" "$stage/$tool_dir/libvorn.so.1"
progs="$stage/bin/busybox $stage/$tool_dir/tmtool $stage/$tool_dir/libvorn.so.1"
for prog in "$@"; do
	[ -x "$prog" ] || fail "no program $prog"
	cp -L "$prog" "$stage/$tool_dir/"
	progs="$progs $stage/$tool_dir/$(basename "$prog")"
done

# Every library a packed program loads, at the path the loader found it;
# libvorn is already beside tmtool. A static program has no such list.
for prog in $progs; do
	libs=$(ldd "$prog" 2>/dev/null |
		sed -n -e 's/.*=> \(\/[^ ]*\) (0x.*/\1/p' \
		       -e 's/^[[:space:]]*\(\/[^ ]*\) (0x.*/\1/p') || true
	for lib in $libs; do
		case $(basename "$lib") in
		libvorn.so*) continue ;;
		esac
		[ -e "$stage$lib" ] && continue
		mkdir -p "$stage$(dirname "$lib")"
		cp -L "$lib" "$stage$lib"
	done
done
[ -e "$stage/lib64/ld-linux-x86-64.so.2" ] ||
	fail "tmtool needs no /lib64/ld-linux-x86-64.so.2? ldd found none"

out_dir=$(cd "$(dirname "$out")" && pwd)
out=$out_dir/$(basename "$out")
if cpio --version 2>/dev/null | grep -q GNU; then
	(cd "$stage" && find . | LC_ALL=C sort |
		cpio -o -H newc --quiet -R 0:0) >"$out"
else
	(cd "$stage" && find . | LC_ALL=C sort |
		"$busybox" cpio -o -H newc) >"$out"
fi
echo "mkinitramfs: $out ($(wc -c <"$out") bytes)"
