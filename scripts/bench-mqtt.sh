#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# tmmqtt's latency and idle cost, against a mosquitto broker started here on
# 127.0.0.1 (a free port, anonymous, no persistence) with tmmqtt under the
# driver stand-in:
#
#   latency  from the start of `tmsim ctl attach` (or remove) to a paho
#            subscriber receiving the event, ROUNDS times (default 100,
#            attach and remove in turn): median and worst. The ctl
#            process's own start-up is inside the time, as a site's would be.
#   idle     tmmqtt's CPU time (utime + stime of /proc/PID/stat) over
#            IDLE_S seconds (default 180) without a key change, scaled to
#            one hour: keep-alive pings, the stand-in's watch and the poll
#            loop's wake-ups.
#
#   scripts/bench-mqtt.sh [BIN_DIR [ROUNDS [IDLE_S]]]
#
# Prints a Markdown table.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$root/build/default/bin}" && pwd)
rounds=${2:-100}
idle=${3:-180}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-bench-mqtt-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
exec /usr/bin/python3 - "$bin" "$rounds" "$idle" "$tmp" <<'PY'
import os, queue, socket, statistics, subprocess, sys, time
import paho.mqtt.client as mqtt

bin_dir, rounds, idle, tmp = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
with socket.socket() as s:
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
conf = os.path.join(tmp, "mosquitto.conf")
with open(conf, "w") as f:
    f.write(("user root\n" if os.getuid() == 0 else "") +
            f"listener {port} 127.0.0.1\nallow_anonymous true\n")
broker = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)
state = os.path.join(tmp, "state")
daemon = None
try:
    for _ in range(500):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.01)
    got = queue.Queue()
    sub = mqtt.Client()
    sub.on_connect = lambda c, u, f, rc: c.subscribe("bench/#", qos=1)
    sub.on_message = lambda c, u, m: got.put((time.monotonic(), m.topic, m.payload))
    sub.connect("127.0.0.1", port)
    sub.loop_start()
    daemon = subprocess.Popen([f"{bin_dir}/tmsim", "--state", state, "--",
                               f"{bin_dir}/tmmqtt", "--config", "/dev/null", "--host",
                               "127.0.0.1", "--port", str(port), "--node", "n",
                               "--prefix", "bench", "--discovery-prefix", ""])
    while True:
        _, topic, payload = got.get(timeout=10)
        if topic.endswith("/availability") and payload == b"online":
            break
    lat = []
    for i in range(rounds):
        step = "remove" if i % 2 == 0 else "attach"
        while not got.empty():
            got.get()
        t0 = time.monotonic()
        subprocess.run([f"{bin_dir}/tmsim", "ctl", "--state", state, step], check=True,
                       stdout=subprocess.DEVNULL)
        while True:
            t, topic, _ = got.get(timeout=10)
            if topic.endswith("/event"):
                lat.append((t - t0) * 1000)
                break
    def cpu():
        with open(f"/proc/{daemon.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    c0, w0 = cpu(), time.monotonic()
    time.sleep(idle)
    c1, w1 = cpu(), time.monotonic()
    per_hour = (c1 - c0) * 3600 / (w1 - w0)
    print("| measure | value |")
    print("|---|---|")
    print(f"| ctl to subscriber, median of {rounds} | {statistics.median(lat):.1f} ms |")
    print(f"| ctl to subscriber, worst of {rounds} | {max(lat):.1f} ms |")
    print(f"| ctl to subscriber, fastest | {min(lat):.1f} ms |")
    print(f"| idle CPU over {w1 - w0:.0f} s | {(c1 - c0) * 1000:.0f} ms |")
    print(f"| idle CPU per hour (scaled) | {per_hour:.2f} s |")
    sub.loop_stop()
finally:
    if daemon:
        daemon.terminate()
        daemon.wait(timeout=10)
    broker.terminate()
    broker.wait(timeout=10)
PY
