#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages with dpkg-buildpackage -us -uc -b from debian/
# and checks what it built:
#
#   libvorn1      the shared library (with debian/libvorn1.symbols)
#   libvorn-dev   headers, pkg-config and CMake packages, section 3 pages
#   vorn-tools    tmtool, tmattach, tmwatch, their pages, the udev rules,
#                 the systemd unit, the group touchm (sysusers)
#   vorn-sim      the tmsim stand-in, tmfarend, the preload library
#   touchm-dkms   the module's sources for DKMS
#   python3-vorn  the Python module
#   *-dbgsym      the debug symbols of the ELF packages
#
# The build runs in a copy of the source tree, BUILD_DIR/src, so that the
# tree itself stays clean and dpkg-buildpackage's results (written beside
# the source) stay inside BUILD_DIR: the files git tracks and the new ones
# it does not ignore, with their modes (what a fresh clone has), or with
# --from-archive the files of "git archive HEAD" (what a release tarball
# has: files 0664, directories 0775).
#
# The packages are left in BUILD_DIR/debs/ (build/package/debs/ by
# default), nothing else in that folder, the -dbgsym packages in
# BUILD_DIR/dbgsym/; the last line names the first. Install them with
#
#   apt-get install ./build/package/debs/*.deb
#
# Checked: each package's files (dpkg-deb -c) against what it must and
# must not hold, no file in two packages, no file group- or
# world-writable; the control fields, sections and dependencies; what the
# helpers wrote (dh_dkms's postinst and prerm, dh_installsysusers's
# postinst, dh_makeshlibs's symbols, shlibs and trigger) and that no other
# maintainer script is there; the source package (dpkg-source -b) and
# lintian over it too; the DKMS folder against the files
# driver/build-module.sh builds from; lintian without an error or a
# warning over the .changes (every package); no CMake or dpkg-gensymbols
# warning in the build; the packaged tmtool under the packaged stand-in.
# The build itself runs the tests of dh_auto_test (debian/rules) unless
# DEB_BUILD_OPTIONS has nocheck; the autopkgtests run against the
# installed packages (scripts/autopkgtest.sh).
#
# usage: scripts/package.sh [--from-archive] [BUILD_DIR]   (default build/package)
# Installs what it lacks (scripts/packages.sh, group "package") when run as
# root, else names the apt-get line.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
top=$(pwd)

from_archive=0
build=
while [ $# -gt 0 ]; do
    case $1 in
    --from-archive) from_archive=1; shift ;;
    -h | --help) sed -n '3,44s/^# \{0,1\}//p' "$0"; exit 0 ;;
    -*) echo "package: unknown option $1" >&2; exit 2 ;;
    *) build=$1; shift ;;
    esac
done

# shellcheck source=scripts/packages.sh
. scripts/packages.sh
vorn_need_packages package
# The package group holds every build dependency (a fresh machine starts
# from it, or from apt-get build-dep ./): the dh-sequence-* names are
# provided by the helpers' packages, debhelper-compat by debhelper.
missing_bd=$(sed -n '/^Build-Depends:/,/^[A-Z]/p' debian/control | sed '1s/^Build-Depends://; $d' |
    tr ',' '\n' | awk '{ print $1 }' | sed '/^$/d; /^dh-sequence-/d; s/^debhelper-compat$/debhelper/' |
    grep -vxF -f <(printf '%s\n' "${vorn_packages_package[@]}") || true)
if [ -n "$missing_bd" ]; then
    echo "FAIL: Build-Depends not in scripts/packages.sh's package group: $missing_bd"
    exit 1
fi

# Debian's python3 and tools first (pybuild needs Debian's python3).
export PATH=/usr/sbin:/usr/bin:/sbin:/bin:$PATH
build=${build:-build/package}
mkdir -p "$build" || exit 1
build=$(cd "$build" && pwd)
debs=$build/debs
dbgsym=$build/dbgsym
src=$build/src
jobs=$(nproc 2>/dev/null || echo 2)

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $1"; }

# --- the source tree -------------------------------------------------------------
rm -rf "$src" "$debs" "$dbgsym" "$build"/*.deb "$build"/*.changes "$build"/*.buildinfo \
    "$build"/*.dsc "$build"/*.tar.*
mkdir -p "$src" "$debs" "$dbgsym" || exit 1
if [ "$from_archive" = 1 ]; then
    git archive --format=tar HEAD | tar -x -p -C "$src" || exit 1
    # What the export is about: group-writable files, as git archive makes
    # them; the packages must not carry that mode.
    mode=$(stat -c %a "$src/dist/systemd/tmattach@.service.in")
    [ "$mode" = 664 ] && pass || fail "git archive gave dist/systemd/tmattach@.service.in mode $mode, not 664"
else
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
        tar -c --null -T - -f - | tar -x -p -C "$src" || exit 1
fi

# --- the source package ----------------------------------------------------------
# What a Debian maintainer would upload, made from the same clean copy
# before the build; lintian reads it with the binary packages.
(cd "$build" && dpkg-source -b src) >"$build/source.log" 2>&1 ||
    { cat "$build/source.log"; echo "FAIL: dpkg-source -b"; exit 1; }

# --- the build -------------------------------------------------------------------
build_log=$build/build.log
echo "== dpkg-buildpackage -us -uc -b (log $build_log)"
start=$(date +%s)
(cd "$src" && DEB_BUILD_OPTIONS="parallel=$jobs ${DEB_BUILD_OPTIONS:-}" \
    nice -n 10 dpkg-buildpackage -us -uc -b) >"$build_log" 2>&1
status=$?
echo "dpkg-buildpackage: status $status in $(($(date +%s) - start)) s"
if [ "$status" -ne 0 ]; then
    tail -n 60 "$build_log"
    echo "FAIL: dpkg-buildpackage"
    exit 1
fi

# --- lintian: over the .changes (every package, where the build put it) ------
changes=$(ls "$build"/vorn_*.changes 2>/dev/null | head -n 1)
if [ -z "$changes" ]; then
    fail "no .changes file"
else
    echo "== lintian"
    lstart=$(date +%s)
    dsc=$(find "$build" -maxdepth 1 -name 'vorn_*.dsc' | head -n 1)
    if lintian --fail-on error,warning --tag-display-limit 0 "$changes" ${dsc:+"$dsc"}; then
        echo "lintian: no error, no warning, in $(($(date +%s) - lstart)) s"
        pass
    else
        fail "lintian"
    fi
fi
n_over=$(grep -vch '^#\|^$' debian/*.lintian-overrides debian/source/lintian-overrides 2>/dev/null |
    awk '{ s += $1 } END { print s + 0 }')
[ "$n_over" -le 5 ] && pass || fail "$n_over lintian overrides (at most 5)"

# The lintian run is done; the packages to their folders.
mv "$build"/*-dbgsym_*.deb "$dbgsym/" 2>/dev/null
mv "$build"/*.deb "$debs/"

version=$(dpkg-parsechangelog -l"$src/debian/changelog" -SVersion)
upstream=${version%-*}
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
project_version=$(sed -n 's/^project(vorn VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$upstream" = "$project_version" ] && pass ||
    fail "debian/changelog is at $version, the project at $project_version"
grep -qx "version = \"$upstream\"" python/pyproject.toml && pass ||
    fail "python/pyproject.toml's version is not $upstream"

# Every binary package debian/control names (a package added there is
# built, linted and checked for what every package must be); the seven
# below are also checked file by file.
mapfile -t packages < <(sed -n 's/^Package: *//p' debian/control)
known=(libvorn1 libvorn-dev vorn-tools vorn-sim touchm-dkms python3-vorn vorn-mqtt)
for p in "${known[@]}"; do
    printf '%s\n' "${packages[@]}" | grep -qxF "$p" && pass || fail "debian/control lacks $p"
done
declare -A arch_of
while read -r p a; do arch_of[$p]=$a; done < <(awk '/^Package:/ { p = $2 }
    /^Architecture:/ && p != "" { print p, $2; p = "" }' debian/control)
deb_of() {
    local a=$arch
    [ "${arch_of[$1]:-any}" = all ] && a=all
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
# Nothing but the packages in the folder; a debug symbols package for each
# package with ELF files.
extra=$(find "$debs" -mindepth 1 -print | grep -vxF -f <(for p in "${packages[@]}"; do deb_of "$p"; done))
[ -z "$extra" ] && pass || fail "more than the packages in $debs: $extra"
# is_elf FILE: FILE starts with 0x7f 'E' 'L' 'F'.
is_elf() { [ "$(head -c 4 "$1" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ]; }
for p in "${packages[@]}"; do
    elf=0
    while IFS= read -r -d '' f; do
        if is_elf "$f"; then elf=1; break; fi
    done < <(find "$x/$p" -type f -print0 2>/dev/null)
    [ "$elf" = 1 ] || continue
    [ -f "$dbgsym/${p}-dbgsym_${version}_$arch.deb" ] && pass || fail "no ${p}-dbgsym package"
done

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
# (an awk regular expression over the path), its doc files aside.
only() {
    local bad
    bad=$(awk -v re="$2" '$1 !~ /^d/ && $6 !~ re &&
        $6 !~ /^\.\/usr\/share\/doc\// { print $6 }' <<<"${contents[$1]:-}")
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
    ./usr/include/vorn/CmdHelper.h ./usr/include/vorn/TimeHlp.h ./usr/include/vorn/vorn.h \
    ./usr/share/man/man3/libvorn.3.gz ./usr/share/man/man3/CTouchMemClt.3.gz
only libvorn-dev "^\\./usr/(include/vorn/|lib/$multiarch/(libvorn\\.so$|pkgconfig/|cmake/libvorn/)|share/man/man3/)"
awk '$6 == "./usr/share/man/man3/CTouchMemClt.3.gz" && $7 == "->" && $8 == "libvorn.3.gz" { found = 1 }
     END { exit !found }' <<<"${contents[libvorn-dev]:-}" && pass ||
    fail "CTouchMemClt.3.gz is no link to libvorn.3.gz"
holds vorn-tools ./usr/bin/tmtool ./usr/bin/tmattach ./usr/bin/tmwatch \
    ./usr/share/man/man1/tmtool.1.gz ./usr/share/man/man1/tmattach.1.gz \
    ./usr/share/man/man1/tmwatch.1.gz ./usr/share/bash-completion/completions/tmtool \
    ./lib/udev/rules.d/75-touchm.rules "./lib/systemd/system/tmattach@.service" \
    ./usr/lib/sysusers.d/touchm.conf
only vorn-tools '^\./(usr/bin/tm|usr/share/man/man1/tm|usr/share/bash-completion/completions/tm|lib/udev/rules\.d/|lib/systemd/system/|usr/lib/sysusers\.d/)'
holds vorn-sim ./usr/bin/tmsim "$lib/vorn/tmsim" "$lib/vorn/libtmsim.so" "$lib/vorn/tmfarend" \
    ./usr/share/man/man1/tmsim.1.gz ./usr/share/bash-completion/completions/tmsim
only vorn-sim "^\\./usr/(bin/tmsim$|lib/$multiarch/vorn/|share/man/man1/tmsim\\.|share/bash-completion/completions/tmsim$)"
dkms_dir=./usr/src/touchm-$upstream
holds touchm-dkms "$dkms_dir/dkms.conf" "$dkms_dir/Kbuild"
only touchm-dkms "^\\./usr/src/touchm-$upstream/[^/]+$"
holds python3-vorn ./usr/lib/python3/dist-packages/vorn/__init__.py \
    "./usr/lib/python3/dist-packages/vorn-$upstream.dist-info/METADATA"
only python3-vorn '^\./usr/lib/python3/dist-packages/vorn[-/]'
holds vorn-mqtt ./usr/bin/tmmqtt ./usr/share/man/man1/tmmqtt.1.gz \
    "./lib/systemd/system/tmmqtt@.service" ./usr/lib/sysusers.d/tmmqtt.conf ./etc/vorn/tmmqtt.conf
only vorn-mqtt '^\./(usr/bin/tmmqtt$|usr/share/man/man1/tmmqtt\.|lib/systemd/system/tmmqtt@|usr/lib/sysusers\.d/tmmqtt\.|etc/vorn/tmmqtt\.conf$)'

# No file in two packages (dpkg would refuse to install the second); no
# file or directory writable by group or others, whatever the source
# tree's modes (dh_fixperms, and the install rules' own modes).
dups=$(for p in "${packages[@]}"; do
    awk '$1 !~ /^d/ { print $6 }' <<<"${contents[$p]:-}"
done | sort | uniq -d)
[ -z "$dups" ] && pass || fail "in more than one package: $dups"
for p in "${packages[@]}"; do
    writable=$(awk '$1 !~ /^l/ && (substr($1, 6, 1) == "w" || substr($1, 9, 1) == "w") { print $1, $6 }' <<<"${contents[$p]:-}")
    [ -z "$writable" ] && pass || fail "$p: group- or world-writable: $writable"
done
stat -c %a "$x/vorn-tools/lib/systemd/system/tmattach@.service" 2>/dev/null | grep -qx 644 &&
    pass || fail "tmattach@.service is not 0644"
stat -c %a "$x/vorn-mqtt/lib/systemd/system/tmmqtt@.service" 2>/dev/null | grep -qx 644 &&
    pass || fail "tmmqtt@.service is not 0644"
# tmmqtt's settings, the one conffile: the postinst's stat override makes
# them 0640 root:tmmqtt once the user is there.
grep -qx /etc/vorn/tmmqtt.conf "$x/vorn-mqtt.control/conffiles" 2>/dev/null &&
    [ "$(sed -n '/^#DEBHELPER#/,$p' debian/vorn-mqtt.postinst | grep -c 'dpkg-statoverride --update --add root tmmqtt 0640')" = 1 ] &&
    pass || fail "tmmqtt.conf: no conffile, or no stat override after the helpers' part"

# Every package: the copyright of the tree, the changelog of this version,
# the manual pages compressed.
for p in "${packages[@]}"; do
    [ -d "$x/$p" ] || continue
    doc=$x/$p/usr/share/doc/$p
    if cmp -s "$doc/copyright" debian/copyright; then pass; else fail "$p: copyright"; fi
    v=$(zcat "$doc"/changelog*.gz 2>/dev/null | sed -n '1s/^vorn (\([^)]*\)).*/\1/p')
    [ "$v" = "$version" ] && pass || fail "$p: the changelog is of version '$v'"
    if [ -d "$x/$p/usr/share/man" ]; then
        plain=$(find "$x/$p/usr/share/man" -type f ! -name '*.gz')
        [ -z "$plain" ] && pass || fail "$p: uncompressed manual pages: $plain"
    fi
done
# Nothing in /etc but tmmqtt's settings: no other conffiles to carry from
# one version to the next.
for p in "${known[@]}"; do
    [ "$p" = vorn-mqtt ] && continue
    if [ -e "$x/$p.control/conffiles" ] || [ -d "$x/$p/etc" ]; then
        fail "$p has files in /etc"
    else
        pass
    fi
done
head -1 debian/copyright | grep -qxF \
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" &&
    pass || fail "copyright is not machine-readable (Format line)"

# --- control fields ------------------------------------------------------------
field() { dpkg-deb -f "$(deb_of "$1")" "$2" 2>/dev/null; }
# dep_names PACKAGE: the names in its Depends, one a line.
dep_names() { tr ',|' '\n\n' <<<"$(field "$1" Depends)" | awk '{ print $1 }'; }
# depends PACKAGE DEPENDENCY: one alternative of Depends is DEPENDENCY
# exactly ("name" or "name (op version)").
depends() {
    tr ',' '\n' <<<"$(field "$1" Depends)" | sed 's/^ *//; s/ *$//' | grep -qxF "$2"
}
declare -A section=([libvorn1]=libs [libvorn-dev]=libdevel [vorn-tools]=utils
    [vorn-sim]=utils [touchm-dkms]=kernel [python3-vorn]=python [vorn-mqtt]=utils)
for p in "${packages[@]}"; do
    [ -f "$(deb_of "$p")" ] || continue
    [ "$(field "$p" Package)" = "$p" ] && pass || fail "$p: Package field"
    [ "$(field "$p" Version)" = "$version" ] && pass || fail "$p: Version field"
    [ "$(field "$p" Source)" = vorn ] && pass || fail "$p: Source field"
    if [ -n "${section[$p]:-}" ]; then
        [ "$(field "$p" Section)" = "${section[$p]}" ] && pass ||
            fail "$p: Section '$(field "$p" Section)', not ${section[$p]}"
    fi
    [ -n "$(field "$p" Maintainer)" ] && pass || fail "$p: no Maintainer"
    echo "$p: Depends: $(field "$p" Depends)"
    dep_names "$p" | grep -qxF "$p" && fail "$p depends on itself" || pass
done
dep_names libvorn1 | grep -qxF libc6 && pass || fail "libvorn1: no libc6"
depends libvorn-dev "libvorn1 (= $version)" && pass || fail "libvorn-dev: not libvorn1 (= $version)"
# From the symbols file: the version that introduced the newest symbol used.
depends vorn-tools "libvorn1 (>= $upstream)" && pass || fail "vorn-tools: not libvorn1 (>= $upstream)"
dep_names vorn-tools | grep -qxF systemd && pass || fail "vorn-tools: no systemd (sysusers)"
dep_names touchm-dkms | grep -qxF dkms && pass || fail "touchm-dkms: not dkms"
[ "$(field touchm-dkms Architecture)" = all ] && pass || fail "touchm-dkms is not Architecture: all"
depends python3-vorn "libvorn1 (>= $upstream)" && pass || fail "python3-vorn: not libvorn1 (>= $upstream)"
dep_names python3-vorn | grep -qE '^python3(:any)?$' && pass || fail "python3-vorn: not python3"
[ "$(field libvorn1 Multi-Arch)" = same ] && pass || fail "libvorn1 is not Multi-Arch: same"

# dh_makeshlibs: the symbols file as written in debian/, the shlibs line,
# the ldconfig trigger.
symbols=$x/libvorn1.control/symbols
if [ -f "$symbols" ]; then
    pass
    n_c=$(grep -c '^ vorn_[a-z_]*@Base ' "$symbols")
    # (written mangled into the package)
    n_cxx=$(grep -c '^ _Z' "$symbols")
    echo "libvorn1.symbols: $n_c vorn_* functions, $n_cxx C++ names"
    # Every vorn_* function the public C header declares is listed.
    for f in $(sed -n 's/^VORN_C_API .*[ *]\(vorn_[a-z_]*\)(.*/\1/p' client/vorn.h | sort -u); do
        grep -q "^ $f@Base " "$symbols" && pass || fail "libvorn1.symbols lacks $f"
    done
    [ "$n_cxx" -gt 0 ] && pass || fail "libvorn1.symbols has no C++ names"
else
    fail "libvorn1 has no symbols file"
fi
grep -qx "libvorn 1 libvorn1 (>= $upstream)" "$x/libvorn1.control/shlibs" 2>/dev/null &&
    pass || fail "libvorn1's shlibs"
grep -qx "activate-noawait ldconfig" "$x/libvorn1.control/triggers" 2>/dev/null &&
    pass || fail "libvorn1 has no ldconfig trigger"

# Maintainer scripts: only those the helpers write (and vorn-mqtt's own,
# which give its settings the group of its user), each POSIX sh with set -e
# and valid syntax.
declare -A scripts_of=([touchm-dkms]="postinst prerm" [vorn-tools]="postinst"
    [python3-vorn]="postinst prerm" [vorn-mqtt]="postinst postrm")
for p in "${packages[@]}"; do
    have=$(cd "$x/$p.control" 2>/dev/null && ls preinst postinst prerm postrm 2>/dev/null | sort | xargs)
    want=$(tr ' ' '\n' <<<"${scripts_of[$p]:-}" | sort | xargs)
    if printf '%s\n' "${known[@]}" | grep -qxF "$p"; then
        [ "$have" = "$want" ] && pass || fail "$p: maintainer scripts '$have', not '$want'"
    fi
    for s in $have; do
        f=$x/$p.control/$s
        [ "$(head -1 "$f")" = "#!/bin/sh" ] && pass || fail "$p.$s is no #!/bin/sh script"
        grep -qx 'set -e' "$f" && pass || fail "$p.$s lacks set -e"
        sh -n "$f" && pass || fail "$p.$s: syntax"
        # A script of our own (debian/PACKAGE.SCRIPT) says why it is there.
        if [ -f "debian/$p.$s" ]; then
            sed -n '3,4p' "debian/$p.$s" | grep -q '^# [A-Z]' && pass || fail "debian/$p.$s: no reason given"
        else
            grep -q '^# Automatically added by dh_' "$f" && pass || fail "$p.$s: not from a helper"
        fi
    done
done
grep -qx "DKMS_NAME=touchm" "$x/touchm-dkms.control/postinst" &&
    grep -qx "DKMS_VERSION=$upstream" "$x/touchm-dkms.control/postinst" &&
    grep -q '/usr/lib/dkms/common.postinst' "$x/touchm-dkms.control/postinst" &&
    grep -qx "DKMS_VERSION=$upstream" "$x/touchm-dkms.control/prerm" &&
    grep -q 'dkms remove -m $DKMS_NAME -v $DKMS_VERSION --all' "$x/touchm-dkms.control/prerm" &&
    pass || fail "touchm-dkms: the postinst or prerm does not hand touchm to DKMS"
# The group comes from the sysusers file, the same name as in the rules.
grep -q 'systemd-sysusers.*touchm.conf' "$x/vorn-tools.control/postinst" &&
    grep -qx 'g touchm -' "$x/vorn-tools/usr/lib/sysusers.d/touchm.conf" &&
    grep -q 'GROUP="touchm", MODE="0660"' "$x/vorn-tools/lib/udev/rules.d/75-touchm.rules" &&
    pass || fail "group touchm: postinst, sysusers file and rules disagree"
# The template unit is not enabled or started by the package.
grep -q 'tmattach@' "$x/vorn-tools.control/postinst" &&
    fail "vorn-tools' postinst enables or starts tmattach@.service" || pass
unit=$x/vorn-tools/lib/systemd/system/tmattach@.service
grep -qx 'ExecStart=/usr/bin/tmattach /dev/%I' "$unit" && grep -qx 'BindsTo=dev-%i.device' "$unit" &&
    pass || fail "tmattach@.service: ExecStart or BindsTo"
grep -q 'tmattach@%k.service' "$x/vorn-tools/lib/udev/rules.d/75-touchm.rules" &&
    pass || fail "75-touchm.rules does not start tmattach@%k.service"
# vorn-mqtt: the user from its sysusers file before the settings get its
# group; the unit neither enabled nor started, run as that user.
post=$x/vorn-mqtt.control/postinst
grep -q 'systemd-sysusers.*tmmqtt.conf' "$post" &&
    grep -qx 'u tmmqtt - "touch-memory MQTT publisher" - -' "$x/vorn-mqtt/usr/lib/sysusers.d/tmmqtt.conf" &&
    [ "$(grep -n 'systemd-sysusers' "$post" | head -1 | cut -d: -f1)" -lt \
      "$(grep -n 'dpkg-statoverride --update' "$post" | cut -d: -f1)" ] &&
    pass || fail "vorn-mqtt: the postinst does not make user tmmqtt before the settings' override"
grep -q 'tmmqtt@' "$post" && fail "vorn-mqtt's postinst enables or starts tmmqtt@.service" || pass
unit=$x/vorn-mqtt/lib/systemd/system/tmmqtt@.service
grep -qx 'ExecStart=/usr/bin/tmmqtt /dev/%I' "$unit" && grep -qx 'User=tmmqtt' "$unit" &&
    pass || fail "tmmqtt@.service: ExecStart or User"

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

# --- the build's own words -------------------------------------------------------------
if grep -q "CMake Warning" "$build_log"; then
    grep -A6 "CMake Warning" "$build_log"
    fail "CMake warned in the package build"
else
    pass
fi
if grep -E "dpkg-gensymbols: (warning|error)|dh_missing: warning" "$build_log"; then
    fail "dpkg-gensymbols or dh_missing warned"
else
    pass
fi
case " ${DEB_BUILD_OPTIONS:-} " in
*" nocheck "*) echo "note: nocheck: dh_auto_test ran nothing" ;;
*)
    grep -qE '^[0-9]+ passed' "$build_log" && grep -q '^tmtool-sim: .*PASS' "$build_log" &&
        pass || fail "dh_auto_test did not run the Python suite and tmtool-sim"
    ;;
esac

# --- the packaged programs run -------------------------------------------------------
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

cd "$top" || exit 1
echo "$passed passed, $failed failed"
echo "packages: $debs"
[ "$failed" -eq 0 ]
