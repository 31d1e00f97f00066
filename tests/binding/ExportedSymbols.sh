#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Compares what a deliverable exports (its defined dynamic symbols,
# demangled) with the committed list of its API, so that no internal helper
# or private member leaks into the symbol table and no API name goes missing.
# Left out of the comparison: the names the linker and the C start-up files
# define in every program, data that a program copies from a shared library
# (name@VERSION), and the sanitizer runtime's hooks of the sanitizer build.
# Usage: ExportedSymbols.sh NM BINARY LIST
set -u
nm=$1
binary=$2
list=$3

symbols=$("$nm" -D --defined-only -C "$binary") || { echo "FAIL: $nm cannot read $binary"; exit 1; }
actual=$(printf '%s\n' "$symbols" |
    sed -E 's/^[0-9a-f]* +[A-Za-z] //' |
    grep -v '@' |
    grep -vxE '_start|_init|_fini|_edata|_end|__bss_start|__data_start|data_start|_IO_stdin_used' |
    grep -vE '^__(asan|odr_asan|lsan|ubsan|sanitizer)' |
    LC_ALL=C sort -u)
expected=$(grep -v '^#' "$list" | LC_ALL=C sort -u)

if [ "$actual" = "$expected" ]; then
    echo "$(basename "$binary") exports exactly the names in $(basename "$list")"
    exit 0
fi
echo "FAIL: $(basename "$binary") exports a different set than $(basename "$list")"
echo "(< listed but not exported, > exported but not listed)"
diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | grep '^[<>]'
exit 1
