#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Rewrites debian/libvorn1.symbols from a built libvorn.so.1: every symbol
# the library exports, the C API's vorn_* functions by name and the C++
# API in the demangled "(c++)" form dpkg-gensymbols matches whatever the
# mangling. A symbol already in the file keeps its version (the upstream
# version that first had it); a new one gets the version of the changelog.
# Run it after changing the exported API, review the diff, commit it;
# the package build (dpkg-gensymbols at check level 4) fails until the
# file and the library agree.
#
#   debian/update-symbols.sh [LIBRARY]   (default obj-*/bin/libvorn.so.1)
set -eu
cd "$(dirname "$0")/.."
lib=${1:-$(ls obj-*/bin/libvorn.so.1 2>/dev/null | head -n 1)}
[ -n "$lib" ] && [ -f "$lib" ] || { echo "update-symbols: no built libvorn.so.1 (build first)" >&2; exit 1; }
file=debian/libvorn1.symbols
version=$(dpkg-parsechangelog -SVersion)
version=${version%-*}
old=$(mktemp)
trap 'rm -f "$old"' EXIT
[ -f "$file" ] && grep '^ ' "$file" >"$old" || true

{
    echo "libvorn.so.1 libvorn1 #MINVER#"
    echo "* Build-Depends-Package: libvorn-dev"
    nm -D --defined-only --format=posix "$lib" | awk '{ print $1 }' | sort -u |
        while IFS= read -r sym; do
            case $sym in
            _Z*) printf ' (c++)"%s@Base"\n' "$(echo "$sym" | c++filt)" ;;
            *) printf ' %s@Base\n' "$sym" ;;
            esac
        done | LC_ALL=C sort -u | while IFS= read -r entry; do
            # The version this entry had, else this release's.
            was=$(awk -v e="$entry" '{ v = $NF; $NF = ""; sub(/ $/, ""); if (" " substr($0, 2) == e || $0 == e) { print v; exit } }' "$old")
            echo "$entry ${was:-$version}"
        done
} >"$file.new"
mv "$file.new" "$file"
echo "update-symbols: $(grep -c '^ ' "$file") symbols in $file"
