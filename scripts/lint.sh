#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Lint of the C++ tree: clang-format (the committed .clang-format) and
# clang-tidy (the committed .clang-tidy) over every C++ source and header
# and the stand-in's C, with the compile commands of the default build
# (configured into build/lint with the benchmarks switched on, so that they
# are checked too). Kernel-style C (directories with a Kbuild file, and the
# kernel object's user-space test in tests/kernel/) is not checked; neither
# is anything under build/.
# Exits non-zero on any finding.
#
# usage: scripts/lint.sh [--format-only | --tidy-only] [FILE...]
#   FILE...   lint only these files (paths relative to the repository)
set -uo pipefail
cd "$(dirname "$0")/.."

do_format=1
do_tidy=1
case "${1:-}" in
    --format-only) do_tidy=0; shift ;;
    --tidy-only) do_format=0; shift ;;
esac

clang_format=${CLANG_FORMAT:-clang-format}
clang_tidy=${CLANG_TIDY:-clang-tidy}
jobs=$(nproc 2>/dev/null || echo 2)

if [ $# -gt 0 ]; then
    files=("$@")
else
    # Tracked and new (not ignored) files alike. Kernel-style C is left out:
    # every directory with a Kbuild file (kernel/, the reference module) and
    # the kernel object's user-space test.
    excludes=(':!:build/**' ':!:tests/kernel/**')
    while read -r kbuild; do
        excludes+=(":!:$(dirname "$kbuild")/**")
    done < <(git ls-files --cached --others --exclude-standard -- 'Kbuild' '**/Kbuild')
    mapfile -t files < <(git ls-files --cached --others --exclude-standard \
        -- '*.cpp' '*.cc' '*.c' '*.h' '*.hpp' "${excludes[@]}" |
        sort -u | while read -r f; do [ -f "$f" ] && echo "$f"; done)
fi
if [ ${#files[@]} -eq 0 ]; then
    echo "lint: no files"
    exit 1
fi

status=0

if [ "$do_format" -eq 1 ]; then
    echo "== clang-format ($("$clang_format" --version | sed 's/.*version //')), ${#files[@]} files"
    if ! "$clang_format" --dry-run --Werror "${files[@]}"; then
        echo "clang-format: findings above; fix with: $clang_format -i FILE"
        status=1
    fi
fi

if [ "$do_tidy" -eq 1 ]; then
    # Compile commands of the default build (configuring is enough).
    db=build/lint
    mkdir -p "$db"
    # Several lint runs may share the directory; one configures at a time.
    if ! flock "$db.lock" cmake --preset default -B "$db" -DVORN_BENCH=ON >/dev/null; then
        echo "lint: cannot configure the default build"
        exit 1
    fi
    sources=()
    for f in "${files[@]}"; do
        case "$f" in
            *.cpp | *.cc | *.c)
                if grep -qF "\"file\": \"$PWD/$f\"" "$db/compile_commands.json"; then
                    sources+=("$f")
                else
                    echo "clang-tidy: $f is in no build target, skipped"
                fi ;;
        esac
    done
    echo "== clang-tidy ($("$clang_tidy" --version | sed -n 's/.*version //p')), ${#sources[@]} sources"
    log=$(mktemp)
    # One process per source, in parallel; headers are checked through the
    # sources that include them (HeaderFilterRegex in .clang-tidy).
    printf '%s\0' "${sources[@]}" |
        xargs -0 -n 1 -P "$jobs" "$clang_tidy" -p "$db" --quiet \
            --extra-arg=-Wno-unknown-warning-option >"$log" 2>&1
    tidy_rc=$?
    # Findings are printed once even when several sources include a header.
    grep -E '(warning|error):' "$log" | sort -u >"$log.findings"
    if [ "$tidy_rc" -ne 0 ] || [ -s "$log.findings" ]; then
        cat "$log"
        echo "clang-tidy: $(wc -l <"$log.findings") finding(s)"
        status=1
    fi
    rm -f "$log" "$log.findings"
fi

[ "$status" -eq 0 ] && echo "lint: clean"
exit "$status"
