#!/usr/bin/env bash
# Builds the Debian package with CPack and checks it: the files in their
# places (manual pages compressed, copyright and changelog), the control
# fields and the dependencies, no CMake warning while packaging, and
# lintian without an error or a warning that is not overridden (the
# overrides, each with its reason: cmake/debian/lintian-overrides).
#
# usage: scripts/package.sh [BUILD_DIR]     (default build/package)
# Needs: cmake, ninja, g++, lintian, dpkg-dev (dpkg-shlibdeps; without it
# the dependencies are the fixed list in cmake/Package.cmake).
set -uo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/package}
jobs=$(nproc 2>/dev/null || echo 2)

# Prefix /usr at configure time puts the library in the multiarch directory.
configure_log=$build.configure.log
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >"$configure_log" 2>&1 ||
    { cat "$configure_log"; exit 1; }
cmake --build "$build" -j "$jobs" || exit 1
rm -f "$build"/vorn_*.deb
cpack_log=$build.cpack.log
(cd "$build" && cpack -G DEB) 2>&1 | tee "$cpack_log"
[ "${PIPESTATUS[0]}" -eq 0 ] || exit 1

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")-1
deb=$build/vorn_${version}_amd64.deb
if [ ! -f "$deb" ]; then
    echo "FAIL: no package $deb"
    exit 1
fi
echo "== $deb"
dpkg-deb -I "$deb"
contents=$(dpkg-deb -c "$deb")
echo "$contents"

multiarch=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $1"; }

for f in ./usr/bin/tmtool ./usr/bin/tmattach ./usr/bin/tmsim \
         "./usr/$multiarch/libvorn.so.1.0.0" "./usr/$multiarch/libvorn.so.1" \
         "./usr/$multiarch/libvorn.so" "./usr/$multiarch/pkgconfig/libvorn.pc" \
         "./usr/$multiarch/cmake/libvorn/libvorn-config.cmake" \
         "./usr/$multiarch/vorn/tmsim" "./usr/$multiarch/vorn/libtmsim.so" \
         ./usr/include/vorn/TouchMemCltK.h ./usr/include/vorn/TouchMemProto.h \
         ./usr/include/vorn/Log.h ./usr/include/vorn/Mutex.h \
         ./usr/include/vorn/CmdHelper.h ./usr/include/vorn/TimeHlp.h \
         ./usr/share/man/man1/tmtool.1.gz ./usr/share/man/man1/tmattach.1.gz \
         ./usr/share/man/man1/tmsim.1.gz \
         ./usr/share/man/man3/libvorn.3.gz ./usr/share/man/man3/CTouchMemClt.3.gz \
         ./usr/share/bash-completion/completions/tmtool \
         ./usr/share/bash-completion/completions/tmsim \
         ./usr/share/doc/vorn/copyright ./usr/share/doc/vorn/changelog.Debian.gz \
         ./usr/share/doc/vorn/examples/70-touchm.rules; do
    if awk -v f="$f" '{ if ($6 == f) found = 1 } END { exit !found }' <<<"$contents"; then
        pass
    else
        fail "missing $f"
    fi
done
# Nothing outside /usr, no build-tree leftovers.
if awk '$6 !~ /^\.\/(usr\/?.*)?$/ { bad = 1; print "unexpected: " $6 } END { exit bad }' \
        <<<"$contents"; then pass; else fail "files outside /usr"; fi

# No manual page left uncompressed; the alias is a link to the library's page.
if awk '$1 ~ /^-/ && $6 ~ /^\.\/usr\/share\/man\// && $6 !~ /\.gz$/ { print "uncompressed: " $6; bad = 1 } END { exit bad }' \
        <<<"$contents"; then pass; else fail "uncompressed manual pages"; fi
awk '$6 == "./usr/share/man/man3/CTouchMemClt.3.gz" && $7 == "->" && $8 == "libvorn.3.gz" { found = 1 }
     END { exit !found }' <<<"$contents" && pass || fail "CTouchMemClt.3.gz is no link to libvorn.3.gz"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vorn ] && pass || fail "Package field"
[ "$(field Architecture)" = amd64 ] && pass || fail "Architecture field"
[ "$(field Version)" = "$version" ] && pass || fail "Version field"
depends=$(field Depends)
echo "Depends: $depends"
# One package name a line, versions dropped.
names=$(tr ',' '\n' <<<"$depends" | awk '{ print $1 }')
for dep in libc6 libstdc++6 libgcc-s1; do
    grep -qxF "$dep" <<<"$names" && pass || fail "Depends lacks $dep"
done
# The package must not depend on itself for its own libvorn.
grep -q vorn <<<"$depends" && fail "Depends names vorn itself" || pass

# The packaged binaries find libvorn in the package's own layout.
x=$(mktemp -d)
trap 'rm -rf "$x"' EXIT
dpkg-deb -x "$deb" "$x"

# Every page gzip -9n: no file name and no time stamp in the header (the
# same page always gives the same bytes), best compression.
while IFS= read -r page; do
    header=$(od -An -tx1 -N9 "$page" | tr -d ' \n')
    # magic 1f8b, method 08, flags 00, time 00000000, extra flags 02
    if [ "$header" = 1f8b08000000000002 ]; then
        pass
    else
        fail "${page#"$x"} is not gzip -9n ($header)"
    fi
done < <(find "$x/usr/share/man" -type f)
# The changelog names the package's version.
changelog_version=$(zcat "$x/usr/share/doc/vorn/changelog.Debian.gz" |
    sed -n '1s/^vorn (\([^)]*\)).*/\1/p')
[ "$changelog_version" = "$version" ] && pass ||
    fail "changelog.Debian.gz is of version '$changelog_version', not $version"

# Configuring and packaging say no CMake warning (a developer warning means
# something the rules should state and do not).
for log in "$configure_log" "$cpack_log"; do
    if grep -q "CMake Warning" "$log"; then
        grep -A6 "CMake Warning" "$log"
        fail "CMake warned in ${log#"$build".}"
    else
        pass
    fi
done
rm -f "$configure_log" "$cpack_log"

# lintian: no error, and no warning that is not overridden.
if command -v lintian >/dev/null 2>&1; then
    if lintian --fail-on error,warning --tag-display-limit 0 "$deb"; then
        pass
    else
        fail "lintian"
    fi
else
    fail "lintian is not installed (apt-get install lintian)"
fi
rpath=$(readelf -d "$x/usr/bin/tmtool" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
# One of its entries leads from bin/ to the library directory.
tr ':' '\n' <<<"$rpath" | grep -qxF "\$ORIGIN/../$multiarch" && pass ||
    fail "tmtool run path '$rpath'"
found=$(ldd "$x/usr/bin/tmtool" | awk '$1 == "libvorn.so.1" { print $3 }')
if [ -n "$found" ] && [ "$(realpath "$found")" = "$(realpath "$x/usr/$multiarch/libvorn.so.1")" ]; then
    pass
else
    fail "tmtool does not resolve the packaged libvorn"
fi

# And they run: the packaged tool under the packaged stand-in.
out=$("$x/usr/bin/tmsim" --state "$x/state" -- "$x/usr/bin/tmtool" getid 2>&1)
if grep -qx "rom id cd 00 00 de ad be ef 04" <<<"$out"; then
    pass
else
    fail "packaged tmtool getid under the packaged tmsim: $out"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
