#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs tmtool under Valgrind's memcheck, under the driver stand-in, over a
# set of representative commands: every one-shot word, the prompt with
# every interactive command, bad operands and files, a failing and a
# vanishing device, no device, and a polling run stopped by SIGINT.
# Fails when memcheck reports an error or a definite or indirect leak in
# any run, or when a run ends with another status than its own.
#
# usage: scripts/valgrind.sh [BUILD_DIR]     (default: build/default, built
#                                             from the "default" preset)
# Needs: valgrind. Takes about a minute.
set -uo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/default}
if [ $# -eq 0 ]; then
    cmake --preset default >/dev/null || exit 1
fi
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target tmtool tmsim tmsim_preload \
    >/dev/null || exit 1
bin=$(cd "$build/bin" && pwd)

if ! command -v valgrind >/dev/null; then
    echo "valgrind: not installed (Debian: apt-get install valgrind)"
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-valgrind-XXXXXX")
trap 'rm -rf "$work"' EXIT
state="$work/state"
printf 'wxyz' >"$work/in.bin"

vg=(valgrind --quiet --error-exitcode=99 --leak-check=full
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect
    --track-fds=no --child-silent-after-fork=yes)
failures=0
runs=0

# check NAME WANTED_STATUS [tmsim options] -- tmtool args ... (stdin from $input)
input=""
check() {
    local name=$1 want=$2
    shift 2
    local opts=()
    while [ "$1" != "--" ]; do
        opts+=("$1")
        shift
    done
    shift
    local log="$work/$name.log"
    local status=0
    printf '%s' "$input" |
        "$bin/tmsim" --state "$state" "${opts[@]}" -- "${vg[@]}" --log-file="$log" \
            "$bin/tmtool" "$@" >"$work/$name.out" 2>&1 || status=$?
    runs=$((runs + 1))
    if [ "$status" -ne "$want" ] || [ -s "$log" ]; then
        echo "valgrind: $name: status $status (want $want)"
        cat "$log"
        failures=$((failures + 1))
    else
        echo "valgrind: $name: clean"
    fi
    input=""
}

check chksl 0 -- chksl
check getid 0 -- getid
check slash-getid 0 -- /getid
check getid-no-key 0 --absent -- getid
check memrd 0 -- memrd 0 64
check memrd-refused 0 -- memrd 0 -1
check memrd-junk-operands 0 -- memrd abc 99999999999999999999
check memwrs 0 -- memwrs "hello world" 8
check memrdf 0 -- memrdf "$work/out.bin" 0 64
check memrdf-dev-full 0 -- memrdf /dev/full 0 64
check memrdf-no-dir 0 -- memrdf "$work/none/out.bin" 0 16
check memwrf 0 -- memwrf "$work/in.bin" 4
check memwrf-size 0 -- memwrf "$work/in.bin" 0 32
check memwrf-missing 0 -- memwrf "$work/missing" 0
check memwrf-directory 0 -- memwrf "$work" 0
check read 0 -- /read 0 16
check read-to-file 0 -- /readEX 0 16 "$work/out2.bin"
check write 0 -- /write 0 4 "$work/in.bin"
check unknown 0 -- CHKSL
check read-fails 0 --fault read -- memrd 0 16
check short-write 0 --fault short-write=1 -- memwrs abc 0
check vanishes 0 --fault vanish-after=3 -- memrd 0 16
check no-device 1 --no-device -- chksl
input=$'help\nchksl\ngetid\nskiprom\nmemrd 0 20\nmemwrs abc 0\nmemrdf '"$work/o3.bin"$' 0 8\nmemwrf '"$work/in.bin"$' 0\nnosuch\n\nquit\n'
check session 0 --
input=$'getid\nmemrd 0 16'
check session-end-of-input 0 --

# A watch stopped by SIGINT: the handler ends it with status 0.
runs=$((runs + 1))
status=0
"$bin/tmsim" --state "$state" -- "${vg[@]}" --log-file="$work/pool.log" "$bin/tmtool" /pool \
    >"$work/pool.out" 2>&1 &
pid=$!
sleep 3
kill -INT "$pid"
wait "$pid" || status=$?
if [ "$status" -ne 0 ] || [ -s "$work/pool.log" ]; then
    echo "valgrind: pool: status $status (want 0)"
    cat "$work/pool.log"
    failures=$((failures + 1))
else
    echo "valgrind: pool: clean"
fi

if [ "$failures" -ne 0 ]; then
    echo "valgrind: $failures of $runs runs failed"
    exit 1
fi
echo "valgrind: all $runs runs clean"
