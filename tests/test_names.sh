#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Every test of the build tree has a short, readable name that is the same
# in every build: no "# GetParam() = ..." suffix, no raw bytes of a
# parameter, no white space, and no parameterised case known only by its
# index (".../3": give the suite a name generator).
#
# usage: test_names.sh CTEST BUILD_DIR
set -uo pipefail
ctest=$1
build=$2
max_length=160

if ! listing=$("$ctest" --test-dir "$build" -N 2>&1); then
    echo "$listing"
    echo "FAIL: ctest -N"
    exit 1
fi
names=$(sed -n 's/^ *Test *#[0-9]*: //p' <<<"$listing")
count=$(grep -c . <<<"$names")
if [ "$count" -eq 0 ]; then
    echo "FAIL: no tests listed"
    exit 1
fi
bad=$(grep -E "GetParam|byte object|[[:space:]]|/[0-9]+\$|.{$((max_length + 1))}" <<<"$names")
if [ -n "$bad" ]; then
    echo "FAIL: unreadable test names:"
    cut -c1-200 <<<"$bad"
    exit 1
fi
echo "ok: $count test names"
