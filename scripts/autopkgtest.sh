#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs the packages' autopkgtests (debian/tests/control) with autopkgtest
# against the built packages, in a throwaway Debian 12 testbed
# (autopkgtest-virt-unshare over a minimal bookworm tarball): the testbed
# installs the packages and each test's Depends from the mirror, runs the
# tests, and is thrown away. Tests needing isolation-machine (a kernel
# module loaded) are skipped there, as autopkgtest does in a container;
# they run on a qemu testbed (autopkgtest ... -- qemu IMAGE).
#
#   scripts/autopkgtest.sh [--packages DIR] [--output DIR]
#
#   --packages  the folder of the .deb files (default build/package/debs,
#               scripts/package.sh's; built with it first when empty)
#   --output    autopkgtest's output folder (default build/autopkgtest):
#               its log, each test's output, the summary
#
# The tarball is cached outside the source tree, like the Debian-system
# root (tests/debsys/mkroot.sh), under
#   $VORN_AUTOPKGTEST_CACHE, else /var/cache/vorn-autopkgtest when it can
#   be written, else ${XDG_CACHE_HOME:-~/.cache}/vorn-autopkgtest,
# in a folder named by a hash of the suite, the mirror, the package list
# and tarball_format; it is built (mmdebstrap, from this machine's apt
# mirror, scripts/debian-mirror.sh, or $VORN_DEBSYS_MIRROR) in a temporary
# folder beside it and renamed when complete, one build at a time. The
# tarball holds what the tests need besides the packages (the compiler,
# DKMS, the kernel headers, python3), so that a run installs little.
#
# Fails unless every test not needing isolation-machine passed and those
# needing it were skipped, or when the run takes longer than
# VORN_AUTOPKGTEST_TIMEOUT seconds (default 900). Needs root (or a user
# with subordinate ids and unprivileged user namespaces), autopkgtest and
# mmdebstrap.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)

debs=build/package/debs
out=build/autopkgtest
while [ $# -gt 0 ]; do
    case $1 in
    --packages) debs=${2:?--packages needs a folder}; shift 2 ;;
    --output) out=${2:?--output needs a folder}; shift 2 ;;
    -h | --help) sed -n '3,32s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "autopkgtest: unknown argument $1" >&2; exit 2 ;;
    esac
done
limit=${VORN_AUTOPKGTEST_TIMEOUT:-900}
export PATH=/usr/sbin:/usr/bin:/sbin:/bin:$PATH

suite=bookworm
# What the tests' Depends pull in beyond the packages, systemd for
# vorn-tools (its sysusers file), and apt-ftparchive (apt-utils), with
# which autopkgtest makes the packages a repository in the testbed.
include="apt-utils,dkms,gcc,make,libc6-dev,pkg-config,python3,kmod,systemd,linux-headers-amd64"
# The version of the tarball's recipe: raise it when the recipe changes.
tarball_format=2

fail() {
    echo "autopkgtest: FAIL: $*" >&2
    exit 1
}
for cmd in autopkgtest autopkgtest-virt-unshare mmdebstrap flock sha256sum timeout; do
    command -v "$cmd" >/dev/null 2>&1 || fail "missing $cmd (apt-get install autopkgtest mmdebstrap)"
done

# autopkgtest-virt-unshare maps the testbed's users with "unshare
# --map-auto", which takes the calling user's ranges in /etc/subuid and
# /etc/subgid: root is given 65536 ids above every range there when it has
# none (usermod, as adduser does for a new user).
if [ "$(id -u)" -eq 0 ]; then
    for f in /etc/subuid /etc/subgid; do
        grep -q '^root:' "$f" 2>/dev/null && continue
        first=$(awk -F: 'BEGIN { m = 100000 } $3 > 0 && $2 + $3 > m { m = $2 + $3 } END { print m }' "$f" 2>/dev/null || echo 100000)
        last=$((first + 65535))
        echo "autopkgtest: giving root the ids $first-$last in $f (for unshare --map-auto)"
        case $f in
        /etc/subuid) usermod --add-subuids "$first-$last" root ;;
        *) usermod --add-subgids "$first-$last" root ;;
        esac
    done
fi

# --- the packages ----------------------------------------------------------------
if ! compgen -G "$debs/*.deb" >/dev/null; then
    echo "autopkgtest: no packages in $debs: building them (scripts/package.sh)"
    ./scripts/package.sh >"${TMPDIR:-/tmp}/vorn-autopkgtest-package.log" 2>&1 ||
        { tail -n 30 "${TMPDIR:-/tmp}/vorn-autopkgtest-package.log"; fail "scripts/package.sh"; }
fi
mapfile -t packages < <(find "$debs" -maxdepth 1 -name '*.deb' ! -name '*-dbgsym_*' | sort)
[ ${#packages[@]} -gt 0 ] || fail "no packages in $debs"

# --- the testbed's tarball -------------------------------------------------------
# shellcheck source=scripts/debian-mirror.sh
. scripts/debian-mirror.sh
mirror=${VORN_DEBSYS_MIRROR:-$(mirror_of "$suite" | head -n 1)}
[ -n "$mirror" ] || fail "no apt source for $suite on this machine (set VORN_DEBSYS_MIRROR)"
if [ -n "${VORN_AUTOPKGTEST_CACHE:-}" ]; then
    cache=$VORN_AUTOPKGTEST_CACHE
elif mkdir -p /var/cache/vorn-autopkgtest 2>/dev/null && [ -w /var/cache/vorn-autopkgtest ]; then
    cache=/var/cache/vorn-autopkgtest
else
    cache=${XDG_CACHE_HOME:-$HOME/.cache}/vorn-autopkgtest
fi
mkdir -p "$cache" || fail "cannot make the cache folder $cache"
key=$(echo "$tarball_format $suite $mirror $include" | sha256sum | cut -c1-16)
tarball=$cache/$key/$suite.tar
start=$(date +%s)
if [ ! -f "$cache/$key/complete" ]; then
    exec 9>"$cache/lock"
    flock 9
    if [ ! -f "$cache/$key/complete" ]; then
        # Under the lock no other build runs: what is left of one is stale.
        rm -rf "${cache:?}"/.build.* "${cache:?}/$key"
        build=$(mktemp -d "$cache/.build.$key.XXXXXX")
        trap 'rm -rf "$build"' EXIT
        echo "autopkgtest: building the $suite tarball from $mirror into $cache/$key"
        # Without documentation, manual pages and translations: each test
        # unpacks the tarball afresh.
        if ! nice -n 10 mmdebstrap --variant=apt --include="$include" \
            --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
            --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-exclude=/usr/share/info/*' \
            "$suite" "$build/$suite.tar" "$mirror" >"$build/mmdebstrap.log" 2>&1; then
            tail -n 30 "$build/mmdebstrap.log" >&2
            fail "mmdebstrap"
        fi
        echo "$(($(date +%s) - start))" >"$build/build-seconds"
        touch "$build/complete"
        mv "$build" "$cache/$key" || fail "cannot move the tarball into $cache/$key"
        trap - EXIT
        for old in "$cache"/*/complete; do
            old=${old%/complete}
            [ "$old" = "$cache/$key" ] || rm -rf "$old"
        done
        echo "autopkgtest: built $tarball in $(cat "$cache/$key/build-seconds") s"
    fi
    exec 9>&-
fi
echo "autopkgtest: testbed tarball $tarball"

# --- the run ---------------------------------------------------------------------
# The tests need only debian/ of the source (none is build-needed): a copy
# of it is the source tree autopkgtest is given.
work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-autopkgtest.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
cp -a debian "$work/src/"
rm -rf "$out"
mkdir -p "$(dirname "$out")"
echo "autopkgtest: ${#packages[@]} packages: ${packages[*]##*/}"
status=0
# The testbed's package lists are fetched afresh: the mirror moves on
# while the tarball stays cached.
timeout -k 10 "$limit" autopkgtest --no-built-binaries --output-dir "$out" \
    --setup-commands="apt-get update -qq" \
    --summary-file "$work/summary" "${packages[@]}" "$work/src/" \
    -- unshare --tarball "$tarball" --prefix "${TMPDIR:-/tmp}/vorn-testbed." \
    >"$work/run.log" 2>&1 || status=$?
cp "$work/summary" "$out/summary" 2>/dev/null || true
[ "$status" -ne 124 ] || { tail -n 30 "$work/run.log"; fail "autopkgtest took longer than ${limit}s"; }
echo "autopkgtest: status $status in $(($(date +%s) - start)) s"
cat "$work/summary" 2>/dev/null || true

# Every test by its restrictions: PASS, or SKIP for those needing a machine.
problems=
while IFS=$'\t' read -r name machine; do
    result=$(awk -v t="$name" '$1 == t { print $2; exit }' "$work/summary" 2>/dev/null)
    if [ "$machine" = 1 ]; then
        [ "$result" = SKIP ] || [ "$result" = PASS ] || problems="$problems $name:${result:-missing}"
    else
        [ "$result" = PASS ] || problems="$problems $name:${result:-missing}"
    fi
done < <(awk '
    function flush() { if (name != "") printf "%s\t%d\n", name, machine }
    /^Tests:/ { flush(); name = $2; machine = 0 }
    /^Restrictions:/ && /isolation-machine/ { machine = 1 }
    END { flush() }' debian/tests/control)
case $status in 0 | 2) ;; *) problems="$problems exit-status:$status" ;; esac
if [ -n "$problems" ]; then
    tail -n 60 "$work/run.log"
    fail "$problems (log: $out/log)"
fi
count() { awk -v r="$1" '$2 == r { print $1 }' "$work/summary" | sort -u | wc -l; }
echo "autopkgtest: PASS ($(count PASS) passed, $(count SKIP) skipped; log $out/log)"
