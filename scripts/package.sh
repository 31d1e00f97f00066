#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages and checks them:
#
#   libvorn1      the shared library
#   libvorn-dev   headers, pkg-config and CMake packages, section 3 pages
#   vorn-tools    tmtool, tmattach (tmwatch once the tree has it), their
#                 pages, the udev rules, the systemd unit, the group touchm
#   vorn-sim      the tmsim stand-in, tmfarend, the preload library
#   touchm-dkms   the module's sources for DKMS
#   python3-vorn  the Python module (once the tree has python/)
#
# The packages are left in BUILD_DIR/debs/ (build/package/debs/ by
# default), nothing else in that folder; the last line names it. Install
# them from there with
#
#   apt-get install ./build/package/debs/*.deb
#
# Checked: each package's files (dpkg-deb -c) against what it must and
# must not hold, no file in two packages; the control fields, sections and
# dependencies; the maintainer scripts (sh, set -e, syntax); no conffiles;
# compressed manual pages, copyright and changelog; lintian without an
# error or a warning that is not overridden (overrides with their reasons:
# cmake/debian/*.lintian-overrides); the DKMS folder: every file
# driver/build-module.sh builds from, a dkms.conf, no -Werror, and the
# module built from it against the installed kernel headers by dkms itself
# (with a private DKMS tree: nothing is installed on this machine); the
# packaged tmtool run under the packaged stand-in.
#
# usage: scripts/package.sh [BUILD_DIR]     (default build/package)
# Installs what it lacks (scripts/packages.sh, group "package") when run as
# root, else names the apt-get line.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

# shellcheck source=scripts/packages.sh
. scripts/packages.sh
vorn_need_packages package

build=${1:-build/package}
mkdir -p "$build" || exit 1
build=$(cd "$build" && pwd)
debs=$build/debs
jobs=$(nproc 2>/dev/null || echo 2)

# Prefix /usr puts the library in the multiarch directory; the udev rules
# and the unit go where Debian 12 keeps them (its udev and systemd read
# /lib and /usr/lib alike; its packages still ship in /lib).
configure_log=$build/configure.log
# Compiler and linker flags as Debian builds its packages with
# (dpkg-buildflags: hardening, -z now, reproducible paths).
cflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)"
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_TESTS=OFF \
    -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
    -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_INSTALL_PREFIX=/usr \
    -DVORN_UDEV_RULES_DIR=/lib/udev/rules.d \
    -DVORN_SYSTEMD_UNIT_DIR=/lib/systemd/system >"$configure_log" 2>&1 ||
    { cat "$configure_log"; exit 1; }
cmake --build "$build" -j "$jobs" || exit 1
rm -rf "$debs"
debs_log=$build/debs.log
cmake/debian/build-debs.sh "$build" "$debs" 2>&1 | tee "$debs_log"
[ "${PIPESTATUS[0]}" -eq 0 ] || exit 1

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $1"; }

version=$(dpkg-parsechangelog -lcmake/debian/changelog -SVersion)
upstream=${version%-*}
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

packages=(libvorn1 libvorn-dev vorn-tools vorn-sim touchm-dkms)
# The Python module is packaged once the tree has it.
if [ -d python ]; then
    packages+=(python3-vorn)
elif compgen -G "$debs/python3-vorn_*.deb" >/dev/null; then
    packages+=(python3-vorn)
else
    echo "note: no python/ in the tree: no python3-vorn package"
fi
deb_of() {
    local a=$arch
    case $1 in touchm-dkms | python3-vorn) a=all ;; esac
    echo "$debs/${1}_${version}_$a.deb"
}

x=$(mktemp -d "${TMPDIR:-/tmp}/vorn-package.XXXXXX")
trap 'rm -rf "$x"' EXIT

declare -A contents
for p in "${packages[@]}"; do
    deb=$(deb_of "$p")
    if [ ! -f "$deb" ]; then
        fail "no package $deb"
        continue
    fi
    pass
    echo "== $(basename "$deb")"
    dpkg-deb -I "$deb" | sed -n '/^ Package:/,$p'
    contents[$p]=$(dpkg-deb -c "$deb")
    echo "${contents[$p]}"
    dpkg-deb -x "$deb" "$x/$p"
    dpkg-deb -e "$deb" "$x/$p.control"
done
# Nothing but the packages in the folder.
extra=$(find "$debs" -mindepth 1 ! -name '*.deb' -print)
[ -z "$extra" ] && pass || fail "more than packages in $debs: $extra"

# has PACKAGE PATH: the package holds PATH (./usr/...), as a file or link.
has() {
    awk -v f="$2" '{ if ($6 == f) found = 1 } END { exit !found }' <<<"${contents[$1]:-}"
}
# holds PACKAGE PATH...: each present.
holds() {
    local p=$1 f
    shift
    for f in "$@"; do
        has "$p" "$f" && pass || fail "$p lacks $f"
    done
}
# only PACKAGE REGEX: every file and link of the package matches REGEX
# (an awk regular expression over the path), its doc and lintian files aside.
only() {
    local bad
    bad=$(awk -v re="$2" '$1 !~ /^d/ && $6 !~ re &&
        $6 !~ /^\.\/usr\/share\/(doc|lintian\/overrides)\// { print $6 }' <<<"${contents[$1]:-}")
    [ -z "$bad" ] && pass || fail "$1 holds what belongs elsewhere: $(tr '\n' ' ' <<<"$bad")"
}

lib=./usr/lib/$multiarch
holds libvorn1 "$lib/libvorn.so.1.0.0" "$lib/libvorn.so.1"
only libvorn1 "^\\./usr/lib/$multiarch/libvorn\\.so\\.1"
holds libvorn-dev "$lib/libvorn.so" "$lib/pkgconfig/libvorn.pc" \
    "$lib/cmake/libvorn/libvorn-config.cmake" "$lib/cmake/libvorn/libvorn-config-version.cmake" \
    "$lib/cmake/libvorn/libvorn-targets.cmake" \
    ./usr/include/vorn/TouchMemCltK.h ./usr/include/vorn/TouchMemProto.h \
    ./usr/include/vorn/VornApi.h ./usr/include/vorn/Log.h ./usr/include/vorn/Mutex.h \
    ./usr/include/vorn/CmdHelper.h ./usr/include/vorn/TimeHlp.h \
    ./usr/share/man/man3/libvorn.3.gz ./usr/share/man/man3/CTouchMemClt.3.gz
only libvorn-dev "^\\./usr/(include/vorn/|lib/$multiarch/(libvorn\\.so$|pkgconfig/|cmake/libvorn/)|share/man/man3/)"
awk '$6 == "./usr/share/man/man3/CTouchMemClt.3.gz" && $7 == "->" && $8 == "libvorn.3.gz" { found = 1 }
     END { exit !found }' <<<"${contents[libvorn-dev]:-}" && pass ||
    fail "CTouchMemClt.3.gz is no link to libvorn.3.gz"
holds vorn-tools ./usr/bin/tmtool ./usr/bin/tmattach \
    ./usr/share/man/man1/tmtool.1.gz ./usr/share/man/man1/tmattach.1.gz \
    ./usr/share/bash-completion/completions/tmtool \
    ./lib/udev/rules.d/75-touchm.rules "./lib/systemd/system/tmattach@.service" \
    ./usr/lib/sysusers.d/touchm.conf
if [ -f client/vorn.h ]; then
    holds libvorn-dev ./usr/include/vorn/vorn.h
fi
if [ -d watch ]; then
    holds vorn-tools ./usr/bin/tmwatch ./usr/share/man/man1/tmwatch.1.gz
fi
only vorn-tools '^\./(usr/bin/tm|usr/share/man/man1/tm|usr/share/bash-completion/completions/tm|lib/udev/rules\.d/|lib/systemd/system/|usr/lib/sysusers\.d/)'
holds vorn-sim ./usr/bin/tmsim "$lib/vorn/tmsim" "$lib/vorn/libtmsim.so" "$lib/vorn/tmfarend" \
    ./usr/share/man/man1/tmsim.1.gz ./usr/share/bash-completion/completions/tmsim
only vorn-sim "^\\./usr/(bin/tmsim$|lib/$multiarch/vorn/|share/man/man1/tmsim\\.|share/bash-completion/completions/tmsim$)"
dkms_dir=./usr/src/touchm-$upstream
holds touchm-dkms "$dkms_dir/dkms.conf" "$dkms_dir/Kbuild"
only touchm-dkms "^\\./usr/src/touchm-$upstream/[^/]+$"
if [ -n "${contents[python3-vorn]:-}" ]; then
    holds python3-vorn ./usr/lib/python3/dist-packages/vorn/__init__.py
    only python3-vorn '^\./usr/lib/python3/dist-packages/vorn'
fi

# No file in two packages (dpkg would refuse to install the second).
dups=$(for p in "${packages[@]}"; do
    awk '$1 !~ /^d/ { print $6 }' <<<"${contents[$p]:-}"
done | sort | uniq -d)
[ -z "$dups" ] && pass || fail "in more than one package: $dups"

# Every package: its copyright (machine-readable) and changelog of this
# version; every manual page gzip -9n (no name, no time stamp: the same
# page gives the same bytes).
for p in "${packages[@]}"; do
    [ -d "$x/$p" ] || continue
    doc=$x/$p/usr/share/doc/$p
    if cmp -s "$doc/copyright" cmake/debian/copyright; then pass; else fail "$p: copyright"; fi
    v=$(zcat "$doc/changelog.Debian.gz" 2>/dev/null | sed -n '1s/^vorn (\([^)]*\)).*/\1/p')
    [ "$v" = "$version" ] && pass || fail "$p: changelog.Debian.gz is of version '$v'"
    if [ -d "$x/$p/usr/share/man" ]; then
        while IFS= read -r page; do
            header=$(od -An -tx1 -N9 "$page" | tr -d ' \n')
            # magic 1f8b, method 08, flags 00, time 00000000, extra flags 02
            [ "$header" = 1f8b08000000000002 ] && pass ||
                fail "${page#"$x"/} is not gzip -9n ($header)"
        done < <(find "$x/$p/usr/share/man" -type f)
    fi
    # Nothing in /etc: no conffiles to carry from one version to the next.
    if [ -e "$x/$p.control/conffiles" ] || [ -d "$x/$p/etc" ]; then
        fail "$p has files in /etc"
    else
        pass
    fi
done
head -1 cmake/debian/copyright | grep -qxF \
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" &&
    pass || fail "copyright is not machine-readable (Format line)"

# --- control fields ------------------------------------------------------------
field() { dpkg-deb -f "$(deb_of "$1")" "$2" 2>/dev/null; }
# dep_names PACKAGE: the names in its Depends, one a line.
dep_names() { tr ',' '\n' <<<"$(field "$1" Depends)" | awk '{ print $1 }'; }
# depends PACKAGE DEPENDENCY: one alternative of Depends is DEPENDENCY
# exactly ("name" or "name (op version)").
depends() {
    tr ',' '\n' <<<"$(field "$1" Depends)" | sed 's/^ *//; s/ *$//' | grep -qxF "$2"
}
declare -A section=([libvorn1]=libs [libvorn-dev]=libdevel [vorn-tools]=utils
    [vorn-sim]=utils [touchm-dkms]=kernel [python3-vorn]=python)
for p in "${packages[@]}"; do
    [ -f "$(deb_of "$p")" ] || continue
    [ "$(field "$p" Package)" = "$p" ] && pass || fail "$p: Package field"
    [ "$(field "$p" Version)" = "$version" ] && pass || fail "$p: Version field"
    [ "$(field "$p" Source)" = vorn ] && pass || fail "$p: Source field"
    [ "$(field "$p" Section)" = "${section[$p]}" ] && pass ||
        fail "$p: Section '$(field "$p" Section)', not ${section[$p]}"
    [ -n "$(field "$p" Maintainer)" ] && pass || fail "$p: no Maintainer"
    echo "$p: Depends: $(field "$p" Depends)"
    # The package never depends on itself.
    dep_names "$p" | grep -qxF "$p" && fail "$p depends on itself" || pass
done
dep_names libvorn1 | grep -qxF libc6 && pass || fail "libvorn1: no libc6"
depends libvorn-dev "libvorn1 (= $version)" && pass || fail "libvorn-dev: not libvorn1 (= $version)"
depends vorn-tools "libvorn1 (>= $upstream)" && pass || fail "vorn-tools: not libvorn1 (>= $upstream)"
depends touchm-dkms dkms && pass || fail "touchm-dkms: not dkms"
[ "$(field touchm-dkms Architecture)" = all ] && pass || fail "touchm-dkms is not Architecture: all"
if [ -n "${contents[python3-vorn]:-}" ]; then
    depends python3-vorn python3 && pass || fail "python3-vorn: not python3"
    depends python3-vorn "libvorn1 (>= $upstream)" && pass || fail "python3-vorn: not libvorn1 (>= $upstream)"
fi
[ "$(field libvorn1 Multi-Arch)" = same ] && pass || fail "libvorn1 is not Multi-Arch: same"
grep -qx "libvorn 1 libvorn1 (>= $upstream)" "$x/libvorn1.control/shlibs" 2>/dev/null &&
    pass || fail "libvorn1's shlibs"
grep -qx "activate-noawait ldconfig" "$x/libvorn1.control/triggers" 2>/dev/null &&
    pass || fail "libvorn1 has no ldconfig trigger"

# Maintainer scripts: POSIX sh, set -e, valid syntax.
for p in "${packages[@]}"; do
    for s in preinst postinst prerm postrm; do
        f=$x/$p.control/$s
        [ -f "$f" ] || continue
        [ "$(head -1 "$f")" = "#!/bin/sh" ] && pass || fail "$p.$s is no #!/bin/sh script"
        grep -qx 'set -e' "$f" && pass || fail "$p.$s lacks set -e"
        sh -n "$f" && pass || fail "$p.$s: syntax"
        [ -x "$f" ] && pass || fail "$p.$s is not executable"
    done
done
for s in vorn-tools.postinst touchm-dkms.postinst touchm-dkms.prerm; do
    [ -f "$x/${s%.*}.control/${s#*.}" ] && pass || fail "no $s"
done
# The group comes from the sysusers file, the same name as in the rules.
grep -q 'systemd-sysusers touchm.conf' "$x/vorn-tools.control/postinst" &&
    grep -qx 'g touchm -' "$x/vorn-tools/usr/lib/sysusers.d/touchm.conf" &&
    grep -q 'GROUP="touchm", MODE="0660"' "$x/vorn-tools/lib/udev/rules.d/75-touchm.rules" &&
    pass || fail "group touchm: postinst, sysusers file and rules disagree"
# The unit runs the packaged tmattach on the tty it is bound to.
unit=$x/vorn-tools/lib/systemd/system/tmattach@.service
grep -qx 'ExecStart=/usr/bin/tmattach /dev/%I' "$unit" && grep -qx 'BindsTo=dev-%i.device' "$unit" &&
    pass || fail "tmattach@.service: ExecStart or BindsTo"
grep -q 'tmattach@%k.service' "$x/vorn-tools/lib/udev/rules.d/75-touchm.rules" &&
    pass || fail "75-touchm.rules does not start tmattach@%k.service"

# --- the DKMS folder -------------------------------------------------------------
dk=$x/touchm-dkms/usr/src/touchm-$upstream
# Every file driver/build-module.sh copies into its build folder (the
# module's own build), by the same globs, at the same flat place.
mapfile -t wanted < <(grep -o '"\$root"/[^ ]*' driver/build-module.sh | sed 's/^"\$root"\///')
[ ${#wanted[@]} -gt 3 ] && pass || fail "cannot read build-module.sh's file list"
for pattern in "${wanted[@]}"; do
    for f in $pattern; do
        if cmp -s "$f" "$dk/$(basename "$f")"; then pass; else fail "touchm-dkms lacks $f"; fi
    done
done
conf=$dk/dkms.conf
for line in 'PACKAGE_NAME="touchm"' "PACKAGE_VERSION=\"$upstream\"" \
        'BUILT_MODULE_NAME[0]="touchm"' 'DEST_MODULE_LOCATION[0]="/updates/dkms"' \
        'AUTOINSTALL="yes"'; do
    grep -qxF "$line" "$conf" && pass || fail "dkms.conf lacks $line"
done
grep -q '^MAKE\[0\]=.*-C ${kernel_source_dir}' "$conf" && pass || fail "dkms.conf: MAKE[0]"
# (Comments may say why it is not there.)
if grep -rn -- '-Werror' "$dk" | grep -v '^[^:]*:[0-9]*:[[:space:]]*#'; then
    fail "the DKMS sources ask for -Werror"
else
    pass
fi

# dkms builds the packaged sources for the kernel whose headers are here,
# in a DKMS tree of its own.
kver=$(find /lib/modules -mindepth 2 -maxdepth 2 -name build -printf '%h\n' 2>/dev/null |
    xargs -r -n1 basename | sort -V | tail -1)
if [ -z "$kver" ]; then
    fail "no kernel headers under /lib/modules/*/build (linux-headers-amd64)"
elif ! command -v dkms >/dev/null 2>&1; then
    fail "no dkms (apt-get install dkms)"
else
    tree=$x/dkms-tree
    mkdir -p "$tree"
    dkms_log=$x/dkms.log
    if dkms add -m touchm -v "$upstream" --sourcetree "$x/touchm-dkms/usr/src" \
            --dkmstree "$tree" >"$dkms_log" 2>&1 &&
        dkms build -m touchm -v "$upstream" -k "$kver" --sourcetree "$x/touchm-dkms/usr/src" \
            --dkmstree "$tree" >>"$dkms_log" 2>&1; then
        ko=$(find "$tree/touchm/$upstream/$kver" -name touchm.ko 2>/dev/null | head -1)
        if [ -n "$ko" ] && modinfo -F license "$ko" | grep -qx GPL &&
            [ "$(modinfo -F vermagic "$ko" | awk '{ print $1 }')" = "$kver" ]; then
            echo "dkms built $(basename "$ko") for $kver"
            pass
        else
            fail "dkms build left no touchm.ko for $kver"
        fi
        # The same sources, warnings as errors: what dkms builds is what
        # the project's CI builds without a warning.
        make_log=$(find "$tree/touchm/$upstream" -name make.log | head -1)
        if [ -z "$make_log" ]; then
            fail "dkms left no make.log"
        elif grep -i 'warning' "$make_log"; then
            fail "the DKMS build warns"
        else
            pass
        fi
    else
        cat "$dkms_log"
        fail "dkms build of touchm $upstream for $kver"
    fi
fi

# --- lintian -----------------------------------------------------------------------
all_debs=()
for p in "${packages[@]}"; do
    [ -f "$(deb_of "$p")" ] && all_debs+=("$(deb_of "$p")")
done
if command -v lintian >/dev/null 2>&1; then
    echo "== lintian"
    if lintian --fail-on error,warning --tag-display-limit 0 "${all_debs[@]}"; then
        echo "lintian: no error, no warning in ${#all_debs[@]} packages"
        pass
    else
        fail "lintian"
    fi
else
    fail "lintian is not installed (apt-get install lintian)"
fi

# --- the packaged programs run -------------------------------------------------------
# One root with the library, the tools and the stand-in, as installed.
r=$x/root
mkdir -p "$r"
for p in libvorn1 vorn-tools vorn-sim; do dpkg-deb -x "$(deb_of "$p")" "$r"; done
rpath=$(readelf -d "$r/usr/bin/tmtool" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
tr ':' '\n' <<<"$rpath" | grep -qxF "\$ORIGIN/../lib/$multiarch" && pass ||
    fail "tmtool run path '$rpath'"
found=$(ldd "$r/usr/bin/tmtool" | awk '$1 == "libvorn.so.1" { print $3 }')
if [ -n "$found" ] && [ "$(realpath "$found")" = "$(realpath "$r/usr/lib/$multiarch/libvorn.so.1")" ]; then
    pass
else
    fail "tmtool does not resolve the packaged libvorn"
fi
out=$("$r/usr/bin/tmsim" --state "$x/state" -- "$r/usr/bin/tmtool" getid 2>&1)
if grep -qx "rom id cd 00 00 de ad be ef 04" <<<"$out"; then
    pass
else
    fail "packaged tmtool getid under the packaged tmsim: $out"
fi

# Configuring and building the packages say no CMake warning.
for log in "$configure_log" "$debs_log"; do
    if grep -q "CMake Warning" "$log"; then
        grep -A6 "CMake Warning" "$log"
        fail "CMake warned in $(basename "$log")"
    else
        pass
    fi
done

echo "$passed passed, $failed failed"
echo "packages: $debs"
[ "$failed" -eq 0 ]
