#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Drives tmsim's completion function as bash would and compares what it
# offers: first on its own, then with bash-completion loaded (the command
# after "--" is then completed through _command_offset). tmtool's completion
# is loaded too, for the command's arguments.
# usage: tmsim_completion_test.sh TMSIM_COMPLETION TMTOOL_COMPLETION
# Exit status 77 (skipped) when bash-completion is not installed and all
# else passed.
set -uo pipefail
bash_completion=/usr/share/bash-completion/bash_completion
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/bin" "$tmp/keys"
touch "$tmp/key.bin" "$tmp/key.txt"
printf '#!/bin/sh\n' >"$tmp/bin/tmtool"
chmod +x "$tmp/bin/tmtool"

# One mode: sources the files (and bash-completion if $1 is "full"), then
# checks every row of the table. Prints the failures and a count.
run_mode() {
    local mode=$1 sim=$2 tool=$3
    if [ "$mode" = full ]; then
        # shellcheck source=/dev/null
        source "$bash_completion"
    fi
    # shellcheck source=/dev/null
    source "$tool"
    # shellcheck source=/dev/null
    source "$sim"
    PATH="$tmp/bin:$PATH"
    local passed=0 failed=0 typed expected got
    while IFS='|' read -r typed expected; do
        [ -z "$typed" ] && continue
        typed=${typed//@TMP@/$tmp}
        expected=${expected//@TMP@/$tmp}
        got=$(offers "$typed")
        if [ "$got" = "$expected" ]; then
            passed=$((passed + 1))
        else
            echo "FAIL ($mode): '$typed': expected '$expected', got '$got'"
            failed=$((failed + 1))
        fi
    done <"$tmp/table"
    echo "$mode: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

# offers "WORDS TYPED SO FAR" -> the sorted offers, one line (a command
# found twice on PATH counts once). Words are
# split at blanks only; bash also splits at "=", written here as " = ".
offers() {
    read -r -a COMP_WORDS <<<"$1"
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    # A trailing space starts a new, empty word.
    if [ "${1: -1}" = " " ]; then
        COMP_WORDS+=("")
        COMP_CWORD=$((COMP_CWORD + 1))
    fi
    COMP_LINE=$1
    COMP_POINT=${#1}
    COMPREPLY=()
    _tmsim tmsim "${COMP_WORDS[COMP_CWORD]}" 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sort -u | tr '\n' ' ' | sed 's/ $//'
}

cat >"$tmp/table" <<'TABLE'
tmsim --cl|--clock=
tmsim --st|--state
tmsim --f|--family --fault --fresh-memory
tmsim --v|--version
tmsim c|ctl
tmsim --state @TMP@/ke|@TMP@/keys
tmsim --clock=|--clock=allow --clock=deny
tmsim --rtc=p|--rtc=present
tmsim --fault sh|short-read= short-write=
tmsim --fault=vanish|--fault=vanish-after=
tmsim --serial |
tmsim --clock =|allow deny
tmsim --rtc = re|refuse
tmsim --clock = allow --trace = @TMP@/keys -- tmto|tmtool
tmsim -- tmto|tmtool
tmsim --state @TMP@/keys --absent -- tmto|tmtool
tmsim -- tmtool mem|memrd memrdf memwrf memwrs
tmsim --state @TMP@/keys --clock=allow -- tmtool /re|/read /readEX
tmsim --absent tmtool /w|/write /writeEX
tmsim --fault read tmtool get|getid
tmsim --fault read tmtool getid |
tmsim -- tmtool memrdf @TMP@/key.b|@TMP@/key.bin
tmsim -- tmtool --|
tmsim -- @TMP@/bin/tmtool /read 0 8 @TMP@/key.t|@TMP@/key.txt
tmsim ctl |--state appear attach clear-faults fault remove show swap vanish
tmsim ctl --state @TMP@/keys sw|swap
tmsim ctl swap --|--family --rom --serial --state
tmsim ctl fault line-|line-flip= line-remove= line-short
TABLE

sim=$1
tool=$2
failed=0
(run_mode plain "$sim" "$tool") || failed=1
if [ -f "$bash_completion" ]; then
    (run_mode full "$sim" "$tool") || failed=1
    exit "$failed"
fi
[ "$failed" -eq 0 ] || exit 1
echo "skipped: the run with bash-completion loaded ($bash_completion not installed)"
exit 77
