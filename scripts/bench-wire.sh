#!/bin/sh
# Speed of the tty backend at the wire's limit: boots the qemu guest of
# driver/guest-bench.sh (scripts/qemu-test.sh --bench) with tmfarend pacing
# its answers at wire speed, and sets the time of `tmtool getid`,
# `memrd 0 512` and a 512-byte `memwrf` against their floor:
#
#   floor = wire time of the serial bytes the far end received (10 bit
#           times per byte at 9600 baud for reset bytes, at 115200 for
#           time slots)
#         + 10 ms of velkor's busy-wait for every started write group
#           (write_1w call) of the driver core's transactions:
#             getid     1    Read ROM command
#             memrd     3    Read ROM command; Skip ROM; Read Memory + address
#             memwrf  192    16 pages of 12: per page Skip ROM and Write
#                            Scratchpad + address (2), 32 data bytes (4),
#                            Skip ROM and Read Scratchpad (2), Skip ROM and
#                            Copy Scratchpad + authorisation (2), Skip ROM
#                            and Read Scratchpad to see the copy done (2)
#
# Each command's time is the median of its rounds less the median of an
# idle tmtool run (start-up and exit, no line request). memrd also pays the
# tool's own 50 ms pause between presence and ROM request; the table shows
# it apart and does not add it to the floor. Unpaced rounds show what the
# same commands cost when the wire costs next to nothing.
#
#   scripts/bench-wire.sh [--line 16550|usb] [--log FILE] [BIN_DIR]
#
# Prints a Markdown table; exit status 1 when the guest run failed.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
line=usb
log=
bin_dir=$root/build/default/bin
while [ $# -gt 0 ]; do
	case $1 in
	--line) line=${2:?--line needs 16550 or usb}; shift 2 ;;
	--log) log=${2:?--log needs a file}; shift 2 ;;
	-h|--help) sed -n '2,30s/^# \{0,1\}//p' "$0"; exit 0 ;;
	-*) echo "bench-wire: unknown option $1" >&2; exit 2 ;;
	*) bin_dir=$1; shift ;;
	esac
done
log=${log:-$(dirname "$bin_dir")/bench-wire-$line.log}

"$root/scripts/qemu-test.sh" --line "$line" --bench --log "$log" "$bin_dir" >&2 ||
	{ echo "bench-wire: the benchmark guest failed (console log $log)" >&2; exit 1; }

grep '^TMB ' "$log" | awk -v line="$line" '
function median(key,    n, i, j, t, v) {
	n = cnt[key]
	for (i = 1; i <= n; i++)
		v[i] = us[key, i]
	for (i = 2; i <= n; i++)
		for (j = i; j > 1 && v[j - 1] > v[j]; j--) {
			t = v[j]; v[j] = v[j - 1]; v[j - 1] = t
		}
	return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
{
	for (f = 2; f <= NF; f++) {
		split($f, kv, "=")
		val[kv[1]] = kv[2]
	}
	key = val["op"] SUBSEP val["pace"]
	cnt[key]++
	us[key, cnt[key]] = val["us"]
	reset[key] = val["reset"]
	data[key] = val["data"]
}
END {
	groups["getid"] = 1; groups["memrd"] = 3; groups["memwrf"] = 192
	toolwait["getid"] = 0; toolwait["memrd"] = 50; toolwait["memwrf"] = 0
	idle = median("idle" SUBSEP "on") / 1000
	idle_off = median("idle" SUBSEP "off") / 1000
	printf "Line: %s. Idle tmtool run (start-up, exit): %.1f ms paced, %.1f ms unpaced; medians of %d rounds.\n\n", line, idle, idle_off, cnt["idle" SUBSEP "on"]
	print "| command | serial bytes at 9600 / 115200 | wire ms | velkor waits ms | floor ms | tool pause ms | time ms (less idle) | time / floor | (time - pause) / floor | unpaced time ms |"
	print "|---|---|---|---|---|---|---|---|---|---|"
	split("getid memrd memwrf", ops, " ")
	for (o = 1; o <= 3; o++) {
		op = ops[o]
		key = op SUBSEP "on"
		if (!cnt[key])
			continue
		wire = reset[key] * 10 * 1000 / 9600 + data[key] * 10 * 1000 / 115200
		waits = groups[op] * 10
		floor = wire + waits
		t = median(key) / 1000 - idle
		toff = median(op SUBSEP "off") / 1000 - idle_off
		printf "| %s | %d / %d | %.1f | %d | %.1f | %d | %.1f | %.2f | %.2f | %.1f |\n", op, reset[key], data[key], wire, waits, floor, toolwait[op], t, t / floor, (t - toolwait[op]) / floor, toff
	}
}'
