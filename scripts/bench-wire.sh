#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Speed of the tty backend at the wire's limit: boots the qemu guest of
# tests/guest/guest-bench.sh (scripts/qemu-test.sh --bench) with tmfarend pacing
# its answers at wire speed, and sets the time of `tmtool getid`,
# `memrd 0 512` and a 512-byte `memwrf` against their floor:
#
#   floor = wire time of the serial bytes the far end received (10 bit
#           times per byte: reset bytes at 9600 baud, time slots at 115200)
#         + 10 ms of velkor's busy-wait for every started write group
#           (write_1w call): the far end counts them as the key receives
#           them, one per ROM command, one per memory command with its
#           address, one per started 8 bytes of scratchpad data
#
# A command's time is the fastest of its rounds less the fastest idle
# tmtool run (start-up and exit without a line request): the machine is
# shared, and the slower rounds measure other work. The medians are shown
# too. memrd also pays the tool's own 50 ms pause between presence and ROM
# request; the table shows it apart and does not add it to the floor.
# Unpaced rounds show what the same commands cost when the wire costs next
# to nothing: the fixed waits and the emulation's own latency.
#
#   scripts/bench-wire.sh [--line 16550|usb] [--log FILE] [BIN_DIR]
#
# A second table gives the kernel's 1-Wire core on the same line (a
# thermometer beside the key, w1bench's "TMW" lines): a Search ROM pass per
# device and a Match ROM with the 9-byte Read Scratchpad, batched by the
# master's operations and one bit per round trip (as the kernel's own UART
# master does them), against their floors: slots x 86.8 us plus the reset
# (1.04 ms).
#
# Prints Markdown tables; exit status 1 when the guest run failed.
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
# sorted(key): the rounds of key in v[1..n], ascending; returns n.
function sorted(key,    n, i, j, t) {
	n = cnt[key]
	for (i = 1; i <= n; i++)
		v[i] = us[key, i] / 1000
	for (i = 2; i <= n; i++)
		for (j = i; j > 1 && v[j - 1] > v[j]; j--) {
			t = v[j]; v[j] = v[j - 1]; v[j - 1] = t
		}
	return n
}
function fastest(key) {
	return sorted(key) ? v[1] : 0
}
function median(key,    n) {
	n = sorted(key)
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
	if (cnt[key] > 1 && (reset[key] != val["reset"] || data[key] != val["data"] ||
	    writes[key] != val["writes"]))
		varies[key] = 1
	reset[key] = val["reset"]
	data[key] = val["data"]
	writes[key] = val["writes"]
}
END {
	pause["getid"] = 0; pause["memrd"] = 50; pause["memwrf"] = 0
	idle = fastest("idle" SUBSEP "on")
	idle_off = fastest("idle" SUBSEP "off")
	printf "Line: %s. Idle tmtool run (start-up and exit): fastest %.1f ms, median %.1f ms; %d rounds each.\n\n", line, idle, median("idle" SUBSEP "on"), cnt["idle" SUBSEP "on"]
	print "| command | serial bytes at 9600 / 115200 | wire ms | write groups | floor ms | tool pause ms | time ms, fastest (median) | time / floor | (time - pause) / floor | unpaced time ms |"
	print "|---|---|---|---|---|---|---|---|---|---|"
	split("getid memrd memwrf", ops, " ")
	for (o = 1; o <= 3; o++) {
		op = ops[o]
		key = op SUBSEP "on"
		if (!cnt[key])
			continue
		wire = reset[key] * 10 * 1000 / 9600 + data[key] * 10 * 1000 / 115200
		floor = wire + writes[key] * 10
		t = fastest(key) - idle
		tmed = median(key) - median("idle" SUBSEP "on")
		toff = fastest(op SUBSEP "off") - idle_off
		printf "| %s%s | %d / %d | %.1f | %d | %.1f | %d | %.1f (%.1f) | %.2f | %.2f | %.1f |\n", op, varies[key] ? " (counts varied)" : "", reset[key], data[key], wire, writes[key], floor, pause[op], t, tmed, t / floor, (t - pause[op]) / floor, toff
	}
}'

echo
grep '^TMW ' "$log" | awk -v line="$line" '
function fastest(key,    i, m) {
	m = 0
	for (i = 1; i <= cnt[key]; i++)
		if (!m || us[key, i] < m)
			m = us[key, i]
	return m / 1000
}
{
	for (f = 2; f <= NF; f++) {
		split($f, kv, "=")
		val[kv[1]] = kv[2]
	}
	key = val["op"] SUBSEP val["rom"]
	cnt[key]++
	us[key, cnt[key]] = val["us"]
	if (!(val["rom"] in seen)) {
		seen[val["rom"]] = 1
		roms[++nroms] = val["rom"]
	}
}
END {
	slot = 10 * 1000 / 115200
	reset = 10 * 1000 / 9600
	pass = reset + (8 + 64 * 3) * slot
	scratch = reset + (1 + 8 + 1 + 9) * 8 * slot
	printf "1-Wire core on the %s line, %d devices; fastest of %d rounds.\n\n", line, nroms, cnt["search" SUBSEP roms[1]]
	print "| operation | slots | floor ms | batched ms | batched / floor | one bit per round trip ms | per bit / floor | per bit / batched |"
	print "|---|---|---|---|---|---|---|---|"
	for (i = 1; i <= nroms; i++) {
		r = roms[i]
		# The master searches the whole line: its time per device.
		b = fastest("search" SUBSEP r) / nroms
		p = fastest("search-bits" SUBSEP r)
		printf "| Search ROM pass, %s | %d | %.1f | %.1f | %.2f | %.1f | %.2f | %.1f |\n", r, 8 + 64 * 3, pass, b, b / pass, p, p / pass, p / b
		b = fastest("scratch" SUBSEP r)
		p = fastest("scratch-bits" SUBSEP r)
		printf "| Match ROM + Read Scratchpad (9 bytes), %s | %d | %.1f | %.1f | %.2f | %.1f | %.2f | %.1f |\n", r, 19 * 8, scratch, b, b / scratch, p, p / scratch, p / b
	}
	r = roms[1]
	if (cnt["nop" SUBSEP r])
		printf "\nOf it, fastest: a netlink round trip with nothing on the wire %.2f ms; the reset alone %.1f ms (floor %.2f); reset and the 10 bytes written %.1f ms.\n", fastest("nop" SUBSEP r), fastest("reset" SUBSEP r), reset, fastest("reset-write" SUBSEP r)
}'
