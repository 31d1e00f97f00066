#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs a build tree into a temporary prefix and checks the result the way
# a user meets it: the layout, the run paths, the weak StartDeinit, a consumer
# program built through pkg-config and through find_package(libvorn), both
# run under the installed stand-in, and the installed tmtool under it too.
#
# usage: install_test.sh BUILD_DIR SOURCE_DIR CXX GENERATOR MAKE_PROGRAM [CXXFLAGS]
set -uo pipefail

build=$1
src=$2
cxx=$3
generator=$4
make_program=$5
cxxflags=${6:-}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
state=$tmp/state
passed=0
failed=0

pass() { passed=$((passed + 1)); echo "ok: $1"; }
fail() { failed=$((failed + 1)); echo "FAIL: $1"; }
# check DESCRIPTION COMMAND...: passes when the command succeeds.
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}
# same DESCRIPTION EXPECTED ACTUAL
same() {
    if [ "$2" = "$3" ]; then
        pass "$1"
    else
        fail "$1"
        diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    /'
    fi
}

if ! cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log"
    echo "FAIL: cmake --install"
    exit 1
fi

# The library directory the build chose (lib, or lib/<multiarch> for /usr).
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
libdir=${libdir:-lib}
lib=$prefix/$libdir

# --- layout ------------------------------------------------------------------
for f in bin/tmtool bin/tmattach bin/tmsim "$libdir/libvorn.so.1.0.0" \
         "$libdir/pkgconfig/libvorn.pc" \
         "$libdir/cmake/libvorn/libvorn-config.cmake" \
         "$libdir/cmake/libvorn/libvorn-config-version.cmake" \
         "$libdir/cmake/libvorn/libvorn-targets.cmake" \
         "$libdir/vorn/tmsim" "$libdir/vorn/libtmsim.so" \
         include/vorn/TouchMemCltK.h include/vorn/TouchMemProto.h \
         include/vorn/Mutex.h include/vorn/Log.h include/vorn/CmdHelper.h \
         include/vorn/TimeHlp.h include/vorn/VornApi.h \
         share/man/man1/tmtool.1 share/man/man1/tmattach.1 share/man/man1/tmsim.1 \
         share/man/man3/libvorn.3 \
         share/bash-completion/completions/tmtool \
         share/bash-completion/completions/tmsim \
         "$libdir/vorn/tmfarend" \
         lib/udev/rules.d/75-touchm.rules "lib/systemd/system/tmattach@.service" \
         lib/sysusers.d/touchm.conf; do
    check "installed $f" test -e "$prefix/$f"
done
# The unit starts the installed tmattach, wherever the prefix is.
check "tmattach@.service runs $prefix/bin/tmattach" \
    grep -qxF "ExecStart=$prefix/bin/tmattach /dev/%I" "$prefix/lib/systemd/system/tmattach@.service"
# The module's sources for DKMS: one flat folder with everything the
# driver's own build (driver/build-module.sh) copies together, by its globs.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
dkms=$prefix/src/touchm-$version
check "dkms.conf names touchm $version" \
    grep -qxF "PACKAGE_VERSION=\"$version\"" "$dkms/dkms.conf"
mapfile -t module_files < <(grep -o '"\$root"/[^ ]*' "$src/driver/build-module.sh" |
    sed 's/^"\$root"\///')
check "build-module.sh names its files" test "${#module_files[@]}" -gt 3
for pattern in "${module_files[@]}"; do
    for f in "$src"/$pattern; do
        check "DKMS folder has ${f#"$src"/}" cmp -s "$f" "$dkms/$(basename "$f")"
    done
done
same "CTouchMemClt(3) is the library's page" "libvorn.3" \
    "$(readlink "$prefix/share/man/man3/CTouchMemClt.3")"
same "SONAME link" "libvorn.so.1.0.0" "$(readlink "$lib/libvorn.so.1")"
same "development link" "libvorn.so.1" "$(readlink "$lib/libvorn.so")"
same "SONAME" "libvorn.so.1" \
    "$(readelf -d "$lib/libvorn.so.1.0.0" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
# Only the installed run paths: nothing may point back into the build tree.
# tmtool's run path leads from bin/ to the library directory (other entries,
# such as $ORIGIN for the build tree's layout, may stand beside it).
check "tmtool run path leads to $libdir" bash -c \
    'readelf -d "$1" | sed -n "s/.*(RUNPATH).*\[\(.*\)\]/\1/p" | tr ":" "\n" | grep -qxF "$2"' \
    _ "$prefix/bin/tmtool" "\$ORIGIN/../$libdir"
same "libvorn run path" "\$ORIGIN" \
    "$(readelf -d "$lib/libvorn.so.1.0.0" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')"
# (Debug information may name the build tree; run paths must not.)
for elf in bin/tmtool "$libdir/libvorn.so.1.0.0" "$libdir/vorn/tmsim" "$libdir/vorn/libtmsim.so"; do
    if readelf -d "$prefix/$elf" | grep -E '\((RPATH|RUNPATH)\)' | grep -qF "$build"; then
        fail "$elf has a run path into the build tree"
    else
        pass "$elf has no run path into the build tree"
    fi
done
# A program without StartDeinit links only because libvorn's reference is weak.
same "libvorn refers to StartDeinit weakly" "w StartDeinit" \
    "$(nm -D "$lib/libvorn.so.1.0.0" | awk '$NF == "StartDeinit" { print $(NF-1), $NF }')"
# tmtool's definition (strong or weak) is the one the process binds.
same "tmtool exports StartDeinit" "StartDeinit" \
    "$(nm -D --defined-only "$prefix/bin/tmtool" | awk '$NF == "StartDeinit" && $(NF-1) ~ /^[TW]$/ { print $NF }')"

# --- consumers -----------------------------------------------------------------
# The stand-in's key: ROM 01..08 in the driver's order, ReadRom reverses it.
# Family 01 has no memory of its own, so the key is given 512 bytes.
sim=("$prefix/bin/tmsim" --state "$state" --rom 0102030405060708 --memory-size 512 --)
expected_out="libvorn inited
present 1
rom 08 07 06 05 04 03 02 01
read from 0 29 bytes
mem 'touch-memory key 0108: hello|'
libvorn closed"

# As the README shows it for a prefix of one's own: the .pc file found
# through PKG_CONFIG_PATH, and a run path to the library directory it names,
# so that the program starts without LD_LIBRARY_PATH.
export PKG_CONFIG_PATH=$lib/pkgconfig
unset PKG_CONFIG_LIBDIR LD_LIBRARY_PATH
# The program's own headers come after every directory the flags add.
# shellcheck disable=SC2046,SC2086 # word splitting of the flags is wanted
if "$cxx" -std=c++17 $cxxflags -o "$tmp/consumer-pc" "$src/tests/install/consumer/consumer.cpp" \
        $(pkg-config --cflags --libs libvorn) -idirafter "$src/tests/install/consumer/own" \
        -Wl,-rpath,"$(pkg-config --variable=libdir libvorn)" >"$tmp/pc.log" 2>&1; then
    pass "pkg-config consumer builds"
    out=$("${sim[@]}" "$tmp/consumer-pc" 2>"$tmp/pc.err")
    same "pkg-config consumer status" 0 "$?"
    same "pkg-config consumer output" "$expected_out" "$out"
    same "pkg-config consumer finds the installed libvorn" "$(realpath "$lib/libvorn.so.1")" \
        "$(realpath "$(ldd "$tmp/consumer-pc" | awk '$1 == "libvorn.so.1" { print $3 }')")"
    out=$("${sim[@]}" "$tmp/consumer-pc" signal 2>/dev/null)
    same "SIGTERM without StartDeinit: default action (128+15)" 143 "$?"
    same "SIGTERM without StartDeinit: not survived" "raising" "$out"
else
    cat "$tmp/pc.log"
    fail "pkg-config consumer builds"
fi
same "pkg-config version" "1.0.0" "$(pkg-config --modversion libvorn)"

if cmake -S "$src/tests/install/consumer" -B "$tmp/consumer-build" -G "$generator" \
        -DCMAKE_MAKE_PROGRAM="$make_program" -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$cxxflags" \
        -DCMAKE_PREFIX_PATH="$prefix" >"$tmp/cm.log" 2>&1 &&
        cmake --build "$tmp/consumer-build" >>"$tmp/cm.log" 2>&1; then
    pass "find_package consumer builds"
    # No LD_LIBRARY_PATH: CMake gives the consumer a run path to the library.
    out=$("${sim[@]}" "$tmp/consumer-build/consumer" 2>"$tmp/cm.err")
    same "find_package consumer status" 0 "$?"
    same "find_package consumer output" "$expected_out" "$out"
else
    cat "$tmp/cm.log"
    fail "find_package consumer builds"
fi

# --- the installed tool under the installed stand-in ---------------------------
out=$("${sim[@]}" "$prefix/bin/tmtool" getid 2>&1)
same "installed tmtool getid status" 0 "$?"
same "installed tmtool getid" "using dev /dev/touchm0
libvorn inited
getting rom id...ok
rom id 08 07 06 05 04 03 02 01
libvorn closed" "$out"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
