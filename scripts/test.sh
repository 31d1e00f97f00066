#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds and runs every test: the default build and the AddressSanitizer and
# UndefinedBehaviorSanitizer build, each with its whole ctest suite. The
# default build also builds the kernel object against the installed kernel
# headers and runs tmtool against a real kernel under qemu (both are the
# same in the sanitizer build, so they run once). Installs the packages the
# tests need first when they are missing (scripts/packages.sh).
#
# Ends with every skipped test and its reason, every failed one, and one
# verdict over both builds on the last line:
#   N passed, M failed, K skipped
# A build that fails counts as one failure. Exit status 0 when nothing
# failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

# shellcheck source=scripts/packages.sh
. scripts/packages.sh
vorn_need_packages test

jobs=$(nproc 2>/dev/null || echo 2)
results=$(mktemp -d "${TMPDIR:-/tmp}/vorn-test.XXXXXX")
trap 'rm -rf "$results"' EXIT

# Reads ctest's JUnit report and prints one line per test:
#   pass NAME | fail NAME | skip NAME<TAB>REASON
# A skip's reason is the text GoogleTest prints after "Skipped", or else the
# last line the test printed (a script's own reason before its exit code 77).
# A test that did not run for any other reason (no executable, say) is a
# failure, never a skip.
junit_results() {
    awk '
    function unescape(s) {
        gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s)
        gsub(/&apos;/, "\047", s); gsub(/&amp;/, "\\&", s)
        return s
    }
    function attr(line, key,    m) {
        if (match(line, " " key "=\"[^\"]*\"")) {
            m = substr(line, RSTART + length(key) + 3, RLENGTH - length(key) - 4)
            return unescape(m)
        }
        return ""
    }
    /^[ \t]*<testcase / {
        name = attr($0, "name"); status = attr($0, "status")
        skipmsg = ""; reason = ""; last = ""; after_skipped = 0; in_out = 0
        next
    }
    /^[ \t]*<skipped / { skipmsg = attr($0, "message"); next }
    /^[ \t]*<\/testcase>/ {
        if (status == "run") {
            print "pass " name
        } else if (status == "disabled") {
            print "skip " name "\tdisabled"
        } else if (status == "notrun" && skipmsg ~ /^SKIP_/) {
            if (reason == "") reason = last
            if (reason == "") reason = "(no reason given)"
            print "skip " name "\t" reason
        } else {
            print "fail " name
        }
        name = ""
        next
    }
    name != "" {
        line = $0
        if (sub(/^[ \t]*<system-out>/, "", line)) in_out = 1
        if (!in_out) next
        if (sub(/<\/system-out>.*$/, "", line)) in_out = 0
        line = unescape(line)
        if (after_skipped && reason == "" && line != "") reason = line
        after_skipped = (line ~ /: Skipped$/)
        if (line ~ /[^ \t]/ && line !~ /^\[  SKIPPED \]/ && line !~ /: Skipped$/) last = line
    }
    ' "$1"
}

passed=0
failed=0
skipped=0
skip_lines=()
fail_lines=()
# Where this script itself keeps tests from running, the reason it gives:
# entries "PRESET|TEST-PATTERN|REASON" (a shell pattern); the reason
# replaces the test's own message.
skip_why=()

# reason_for PRESET TEST DEFAULT: the reason skip_why gives, or DEFAULT.
reason_for() {
    local entry preset pattern
    for entry in "${skip_why[@]}"; do
        preset=${entry%%|*}
        pattern=${entry#*|}
        pattern=${pattern%%|*}
        # shellcheck disable=SC2053 # the pattern is meant to match
        if [ "$preset" = "$1" ] && [[ $2 == $pattern ]]; then
            echo "${entry#*|*|}"
            return
        fi
    done
    echo "$3"
}

# run_preset PRESET [VAR=VALUE...]: builds the preset and runs its tests
# with the variables set.
run_preset() {
    local preset=$1
    shift
    echo "== build and test: $preset"
    if ! cmake --preset "$preset" >"$results/$preset.configure" 2>&1; then
        cat "$results/$preset.configure"
        failed=$((failed + 1))
        fail_lines+=("$preset: configuring failed")
        return
    fi
    if ! cmake --build --preset "$preset" -j "$jobs"; then
        failed=$((failed + 1))
        fail_lines+=("$preset: the build failed")
        return
    fi
    local junit=$results/$preset.xml
    env "$@" ctest --preset "$preset" --output-junit "$junit"
    if [ ! -s "$junit" ]; then
        failed=$((failed + 1))
        fail_lines+=("$preset: ctest left no report")
        return
    fi
    local kind rest
    while IFS=' ' read -r kind rest; do
        case $kind in
        pass) passed=$((passed + 1)) ;;
        fail)
            failed=$((failed + 1))
            fail_lines+=("$preset: $rest")
            ;;
        skip)
            skipped=$((skipped + 1))
            local name=${rest%%$'\t'*} reason=${rest#*$'\t'}
            reason=$(reason_for "$preset" "$name" "$reason")
            skip_lines+=("$preset: $name -- $reason")
            ;;
        esac
    done < <(junit_results "$junit")
}

# The kernel object's build and the real-kernel run do not depend on the
# build's flags: the default build runs them, the sanitizer build skips them.
skip_why+=("debug|velkor_kbuild|the kernel object is built once, in the default build")
skip_why+=("debug|qemu_kernel*|the real-kernel run boots the default build's tmtool; it runs once")
skip_why+=("debug|qemu_w1*|the 1-Wire core runs boot the default build's tmtool; they run once")
skip_why+=("debug|qemu_debian_system|the Debian-system run installs the release packages; it runs once")
# Debian's kernel images are readable by root only.
qemu_test=0
for image in /boot/vmlinuz-*; do
    [ -r "$image" ] && qemu_test=1
done
if [ "$qemu_test" -eq 0 ]; then
    skip_why+=("default|qemu_kernel*|no readable /boot/vmlinuz-* (Debian's are root-only: run as root)")
    skip_why+=("default|qemu_w1*|no readable /boot/vmlinuz-* (Debian's are root-only: run as root)")
    skip_why+=("default|qemu_debian_system|no readable /boot/vmlinuz-* (the Debian-system run needs root)")
fi
# The stress runs' console logs, written afresh by this run only.
stress_logs=build/default/qemu-console-stress
rm -f "$stress_logs"*.log
mkdir -p "$(dirname "$stress_logs")" && touch "$stress_logs.stamp"
run_preset default VORN_KERNEL_BUILD=1 VORN_QEMU_TEST=$qemu_test
run_preset debug VORN_KERNEL_BUILD=0 VORN_QEMU_TEST=0

echo
# What the stress runs did: calls made, errors by kind, bytes written and
# verified, for each line.
for log in "$stress_logs"*.log; do
    [ -f "$log" ] || continue
    echo "== stress counts, $(basename "$log" .log)"
    grep '^TMS ' "$log" | sed 's/^/  /'
done
# The Debian-system run's cases, one line each.
debsys_log=build/default/debsys.log
if [ -f "$debsys_log" ] && [ "$debsys_log" -nt "$stress_logs.stamp" ]; then
    echo "== Debian-system cases"
    grep -E '^DS (PASS|FAIL)' "$debsys_log" | sed 's/^/  /'
fi
if [ ${#skip_lines[@]} -gt 0 ]; then
    echo "== skipped:"
    printf '  %s\n' "${skip_lines[@]}"
fi
if [ ${#fail_lines[@]} -gt 0 ]; then
    echo "== failed:"
    printf '  %s\n' "${fail_lines[@]}"
fi
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
