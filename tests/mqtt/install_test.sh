#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the mqtt component alone into a temporary prefix: exactly its
# files, the configuration file unreadable by others, a unit that starts the
# installed tmmqtt as the sysusers file's user and that systemd-analyze
# takes without a complaint (where it is installed).
# usage: install_test.sh BUILD_DIR
set -uo pipefail
build=$1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-mqtt-install-XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
failed=0
check() {
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failed=1; fi
}

if ! cmake --install "$build" --component mqtt --prefix "$prefix" >"$tmp/log" 2>&1; then
    cat "$tmp/log"
    echo "FAIL: cmake --install --component mqtt"
    exit 1
fi
listing=$(cd "$prefix" && find . -type f -printf '%m %P\n' | sort)
expected="640 etc/vorn/tmmqtt.conf
644 lib/systemd/system/tmmqtt@.service
644 lib/sysusers.d/tmmqtt.conf
644 share/man/man1/tmmqtt.1
755 bin/tmmqtt"
check "the component's files and modes" test "$listing" = "$expected"
[ "$listing" = "$expected" ] || printf 'got:\n%s\n' "$listing"

unit=$prefix/lib/systemd/system/tmmqtt@.service
check "the unit runs the installed tmmqtt on /dev/%I" \
    grep -qxF "ExecStart=$prefix/bin/tmmqtt /dev/%I" "$unit"
user=$(awk '$1 == "u" { print $2 }' "$prefix/lib/sysusers.d/tmmqtt.conf")
check "the unit's user is the sysusers file's ($user)" grep -qxF "User=$user" "$unit"
check "the unit is in the lines' group" grep -qxF "SupplementaryGroups=touchm" "$unit"
# The statuses tmmqtt documents as not healing by themselves.
check "no restart after a refused login or bad settings" \
    grep -qxF "RestartPreventExitStatus=1 2" "$unit"
# shellcheck disable=SC2016 # the script's own $s and $1
check "the example names every setting" bash -c \
    'for s in host port username password-file cafile node prefix discovery-prefix; do
         grep -q "^#\?$s = " "$1" || { echo "missing: $s"; exit 1; }
     done' _ "$prefix/etc/vorn/tmmqtt.conf"
# The example, as installed, is a configuration tmmqtt takes (the build
# tree's tmmqtt: libvorn is not in this component).
out=$("$build/bin/tmmqtt" --config "$prefix/etc/vorn/tmmqtt.conf" --port 0 2>&1)
check "tmmqtt parses the example (only the bad port is refused)" \
    test "$out" = "tmmqtt: --port: '0' is not a port number (1-65535) for 'port'
Try 'tmmqtt --help'."

if command -v systemd-analyze >/dev/null; then
    ln -s "tmmqtt@.service" "$tmp/tmmqtt@touchm0.service"
    cp "$unit" "$tmp/tmmqtt@.service"
    verdict=$(cd "$tmp" && timeout 30 systemd-analyze verify --man=no ./tmmqtt@touchm0.service 2>&1)
    check "systemd-analyze verify says nothing" test -z "$verdict"
    [ -z "$verdict" ] || echo "$verdict"
fi
exit $failed
