#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Standard output and standard error of tmtool on one pipe, as the manual
# page and the README describe it: the hex listing (standard error,
# unbuffered) comes ahead of the lines printed before it (standard output,
# fully buffered on a pipe), and "stdbuf -oL" restores the order.
#
# usage: piped_order_test.sh BIN_DIR
set -uo pipefail
bin=$1
state=$(mktemp -d "${TMPDIR:-/tmp}/vorn-piped.XXXXXX")
trap 'rm -rf "$state"' EXIT
passed=0
failed=0

# line_of PATTERN TEXT: the number of the first line matching PATTERN, or 0.
line_of() {
    local n
    n=$(grep -n -m1 -e "$1" <<<"$2" | cut -d: -f1)
    echo "${n:-0}"
}

# order NAME TEXT EXPECTATION: EXPECTATION is "listing-first" or "in-order".
order() {
    local name=$1 text=$2 want=$3
    local read_line first_row last_row closed
    read_line=$(line_of '^read from 0 20 bytes$' "$text")
    first_row=$(line_of '^0000 ' "$text")
    last_row=$(line_of '^0010 ' "$text")
    closed=$(line_of '^libvorn closed$' "$text")
    local ok=0
    if [ "$read_line" -eq 0 ] || [ "$first_row" -eq 0 ] || [ "$last_row" -eq 0 ] ||
        [ "$closed" -eq 0 ]; then
        ok=0
    elif [ "$want" = listing-first ]; then
        [ "$last_row" -lt "$read_line" ] && ok=1
    else
        [ "$read_line" -lt "$first_row" ] && [ "$last_row" -lt "$closed" ] && ok=1
    fi
    if [ "$ok" -eq 1 ]; then
        passed=$((passed + 1))
        echo "ok: $name"
    else
        failed=$((failed + 1))
        echo "FAIL: $name ($want):"
        sed 's/^/    /' <<<"$text"
    fi
}

out=$("$bin/tmsim" --state "$state" -- "$bin/tmtool" memrd 0 20 2>&1 | cat)
order "one pipe: the listing comes first" "$out" listing-first
out=$("$bin/tmsim" --state "$state" -- stdbuf -oL "$bin/tmtool" memrd 0 20 2>&1 | cat)
order "one pipe under stdbuf -oL: in order" "$out" in-order

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
