#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Renders each manual page with groff and fails on any warning or error, and
# when a page comes out nearly empty (a broken macro swallowing the text).
# usage: man_test.sh GROFF PAGE...
set -uo pipefail
groff=$1
shift
failed=0
passed=0
for page in "$@"; do
    err=$("$groff" -man -t -Tutf8 -ww "$page" 2>&1 >/dev/null)
    lines=$("$groff" -man -t -Tutf8 "$page" 2>/dev/null | grep -c .)
    if [ -n "$err" ] || [ "$lines" -lt 40 ]; then
        echo "FAIL: $page ($lines lines)"
        echo "$err"
        failed=$((failed + 1))
    else
        echo "ok: $page ($lines lines)"
        passed=$((passed + 1))
    fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
