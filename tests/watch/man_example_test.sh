#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs the stand-in example of tmwatch's manual page as a script, pasted as
# the page shows it, several times over, and checks each run's output: the
# example must not race with the stand-in's state directory or with the
# start of tmwatch's watch.
# usage: man_example_test.sh BIN_DIR PAGE
set -uo pipefail
bin=$1
page=$2
runs=3
expected=$'removed\nattached 04efbeadde0000cd'

# The lines between .nf and .fi after "Without hardware", the page's escapes
# for minus and backslash undone.
script=$(awk '/^Without hardware/ { found = 1 }
              found && /^\.fi/ { exit }
              found && taking { print }
              found && /^\.nf/ { taking = 1 }' "$page" |
         sed -e 's/\\-/-/g' -e 's/\\e/\\/g')
if [ -z "$script" ]; then
    echo "FAIL: no stand-in example in $page"
    exit 1
fi
# Seconds a run may take; what it left running is killed with it.
limit=30
failed=0
for run in $(seq "$runs"); do
    work=$(mktemp -d "${TMPDIR:-/tmp}/tmwatch-example-XXXXXX") || exit 1
    # A session of its own (setsid does not fork here: a background
    # subshell leads no group), so that the whole run can be killed.
    (cd "$work" && PATH="$bin:$PATH" TMPDIR="$work" exec setsid bash -c "$script" \
        >"$work/out" 2>&1) &
    pid=$!
    for _ in $(seq $((limit * 10))); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL -- "-$pid" 2>/dev/null
    wait "$pid"
    status=$?
    out=$(cat "$work/out")
    rm -rf "$work"
    if [ "$status" -ne 0 ] || [ "$out" != "$expected" ]; then
        echo "FAIL: run $run, status $status:"
        echo "$out"
        failed=$((failed + 1))
    else
        echo "ok: run $run"
    fi
done
[ "$failed" -eq 0 ]
