#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Every source file names its licence in an SPDX line within its first
# three lines, and the licence is the one its place in the tree has (as
# COPYING and the packages' copyright file state):
#
#   client/, shared/ (the library, its public headers)  LGPL-2.1-or-later
#   python/vorn/ (the Python module over the library)   LGPL-2.1-or-later
#   driver/touchm_uapi.h                   GPL-2.0 WITH Linux-syscall-note
#   driver/, kernel/, sim/line/ C sources and headers   GPL-2.0
#   everything else                                     GPL-2.0-or-later
#
# Source files: C, C++, shell, Python, CMake, Kbuild, udev rules, systemd
# units, sysusers and dkms files, manual pages, bash completions,
# debian/rules, the autopkgtests, maintainer scripts, and every other file
# with a #! line. Not: the licence texts, Markdown, JSON, fuzzing corpora
# and the Debian packaging data (control, changelog, copyright, symbols,
# *.install, *.dkms, overrides, tests/control).
#
# usage: spdx_test.sh SOURCE_DIR
set -uo pipefail
cd "$1" || exit 1

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files)
else
    mapfile -t files < <(find . -path ./build -prune -o -path ./.git -prune -o -type f -print |
        sed 's|^\./||')
fi

# is_source FILE SHEBANG: by name, or by a #! line (SHEBANG 1).
is_source() {
    case $1 in
    LICENSES/* | COPYING | fuzz/corpus/* | *.md | *.json | .clang-* | .gitignore) return 1 ;;
    debian/tests/control) return 1 ;;
    debian/rules | debian/tests/* | debian/*.sh | debian/*.postinst | debian/*.prerm | \
        debian/*.postrm | debian/*.preinst)
        return 0 ;;
    debian/*) return 1 ;;
    *.c | *.h | *.cpp | *.hpp | *.cc | *.sh | *.py | *.cmake | *.in | */CMakeLists.txt | \
        CMakeLists.txt | */Kbuild | */Makefile | *.rules | *.service | *.conf | \
        *.[1-8] | *.bash-completion)
        return 0 ;;
    esac
    [ "$2" = 1 ]
}

# expected FILE: sets want to the licence of FILE's place.
expected() {
    case $1 in
    client/* | shared/* | python/vorn/*) want=LGPL-2.1-or-later ;;
    driver/touchm_uapi.h) want="GPL-2.0 WITH Linux-syscall-note" ;;
    driver/* | kernel/*) want=GPL-2.0 ;;
    sim/line/*.c | sim/line/*.h) want=GPL-2.0 ;;
    *) want=GPL-2.0-or-later ;;
    esac
}

checked=0
missing=()
wrong=()
# One pass over every file's first three lines: path, whether it starts
# with #!, and its SPDX identifier (without a closing comment mark).
while IFS=$'\t' read -r f shebang id; do
    is_source "$f" "$shebang" || continue
    checked=$((checked + 1))
    expected "$f"
    if [ -z "$id" ]; then
        missing+=("$f (wants $want)")
    elif [ "$id" != "$want" ]; then
        wrong+=("$f: $id, wants $want")
    fi
done < <(for f in "${files[@]}"; do
    case $f in LICENSES/* | fuzz/corpus/*) continue ;; esac
    [ -f "$f" ] && printf '%s\0' "$f"
done | xargs -0r awk '
    function flush() { if (name != "") printf "%s\t%d\t%s\n", name, bang, id }
    FNR == 1 { flush(); name = FILENAME; bang = ($0 ~ /^#!/); id = "" }
    FNR <= 3 && id == "" && match($0, /SPDX-License-Identifier: */) {
        id = substr($0, RSTART + RLENGTH)
        sub(/ *\*\/ *$/, "", id)
        sub(/ *$/, "", id)
    }
    END { flush() }')

[ "$checked" -gt 0 ] || { echo "FAIL: no source files found in $1"; exit 1; }
for m in "${missing[@]}"; do echo "no SPDX line: $m"; done
for w in "${wrong[@]}"; do echo "wrong licence: $w"; done
echo "$checked source files, ${#missing[@]} without an SPDX line, ${#wrong[@]} with another licence"
[ ${#missing[@]} -eq 0 ] && [ ${#wrong[@]} -eq 0 ]
