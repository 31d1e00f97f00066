#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Drives the completion function as bash would and compares what it offers.
# usage: completion_test.sh COMPLETION_FILE
set -uo pipefail
# shellcheck source=/dev/null
source "$1"
passed=0
failed=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
touch "$tmp/key.bin" "$tmp/key.txt"

# offers "WORDS TYPED SO FAR" -> the sorted offers, one line
offers() {
    read -r -a COMP_WORDS <<<"$1"
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    # A trailing space starts a new, empty word.
    if [ "${1: -1}" = " " ]; then
        COMP_WORDS+=("")
        COMP_CWORD=$((COMP_CWORD + 1))
    fi
    _tmtool tmtool "${COMP_WORDS[COMP_CWORD]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

while IFS='|' read -r typed expected; do
    [ -z "$typed" ] && continue
    typed=${typed//@TMP@/$tmp}
    expected=${expected//@TMP@/$tmp}
    got=$(offers "$typed")
    if [ "$got" = "$expected" ]; then
        passed=$((passed + 1))
    else
        echo "FAIL: '$typed': expected '$expected', got '$got'"
        failed=$((failed + 1))
    fi
done <<'TABLE'
tmtool |/getid /pool /read /readEX /write /writeEX chksl getid memrd memrdf memwrf memwrs
tmtool mem|memrd memrdf memwrf memwrs
tmtool /re|/read /readEX
tmtool /w|/write /writeEX
tmtool CHK|
tmtool quit|
tmtool memrdf @TMP@/key.|@TMP@/key.bin @TMP@/key.txt
tmtool memwrf @TMP@/key.b|@TMP@/key.bin
tmtool /write 0 8 @TMP@/key.t|@TMP@/key.txt
tmtool /read 0 8 @TMP@/key.b|@TMP@/key.bin
tmtool memrd @TMP@/key.|
tmtool /read @TMP@/key.|
tmtool memrdf @TMP@/key.bin 0 |
TABLE
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
