# shellcheck shell=bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The Debian packages the project needs, in one place. Sourced by
# scripts/run.sh, scripts/test.sh and .ci/run; each asks for one group:
#
#   run    building tmtool, libvorn, tmmqtt and the stand-in (the default preset
#          configures the test suite too, hence GoogleTest)
#   test   run, plus everything scripts/test.sh runs: the kernel object
#          against Debian's headers, the real kernel under qemu, the
#          install and documentation tests, the time-zone cases, the MQTT
#          broker tests
#   package  run, plus what scripts/package.sh needs to make and check
#          the Debian packages (debian/control's Build-Depends: debhelper,
#          dh-dkms, dh-python and pybuild's pyproject plugin, pytest for
#          dh_auto_test; lintian), and what scripts/autopkgtest.sh runs
#          them with: autopkgtest, mmdebstrap, uidmap (newuidmap for
#          autopkgtest-virt-unshare)
#   ci     test and package, plus the further gates of .ci/run: lint, the
#          fuzzers (clang, libFuzzer), memcheck, and the benchmarks' library
#
# vorn_need_packages GROUP installs what the group lacks: as root through
# apt-get (no questions asked), otherwise it stops, naming the one
# "apt-get install" line to run. Nothing happens when nothing is missing.

# The groups are read by name in vorn_need_packages.
# shellcheck disable=SC2034
vorn_packages_run=(cmake ninja-build gcc g++ libgtest-dev pkg-config libmosquitto-dev)
vorn_packages_test=("${vorn_packages_run[@]}"
    libgmock-dev make pkg-config tzdata groff-base binutils
    linux-headers-amd64 linux-image-amd64 qemu-system-x86 seabios busybox-static
    cpio xz-utils bash-completion python3-pytest debootstrap e2fsprogs procps
    mosquitto mosquitto-clients python3-paho-mqtt openssl)
vorn_packages_package=("${vorn_packages_run[@]}"
    dpkg-dev fakeroot file lintian dkms linux-headers-amd64 binutils
    build-essential debhelper dh-dkms dh-python pybuild-plugin-pyproject
    python3-all python3-setuptools python3-pytest pkg-config
    autopkgtest mmdebstrap uidmap)
vorn_packages_ci=("${vorn_packages_test[@]}" "${vorn_packages_package[@]}"
    clang clang-format clang-tidy libclang-rt-14-dev libbenchmark-dev
    valgrind)

# vorn_missing_packages PACKAGE...: prints those not installed, one a line.
vorn_missing_packages() {
    local p
    for p in "$@"; do
        if [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" != installed ]; then
            echo "$p"
        fi
    done
}

vorn_need_packages() {
    local group=$1
    local -n wanted="vorn_packages_$group"
    if ! command -v dpkg-query >/dev/null 2>&1; then
        echo "note: no dpkg-query (not Debian); not checking for: ${wanted[*]}" >&2
        return 0
    fi
    local missing
    mapfile -t missing < <(vorn_missing_packages "${wanted[@]}")
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages; install them (as root) with:" >&2
        echo "  apt-get install ${missing[*]}" >&2
        exit 1
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq </dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
}
