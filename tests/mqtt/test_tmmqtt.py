# SPDX-License-Identifier: GPL-2.0-or-later
"""tmmqtt against a real mosquitto broker, the line served by the driver
stand-in and changed with tmsim ctl."""

import datetime
import json
import re
import signal
import subprocess
import time

import pytest

from conftest import (BIN, BASE, DAEMON_PASSWORD, DAEMON_USER, DEFAULT_ROM, LINE, NODE,
                      SWAP_ROM, event, plain)

# The bound from a change to its event at the subscriber.
EVENT_DEADLINE = 1.0
# SIGTERM to exit, offline published.
STOP_DEADLINE = 2.0
# How long the broker is down in the restart case, seconds.
OUTAGE = 2.0


def up(broker, daemons, subscribers, args=(), **kw):
    """tmmqtt started and online, with a subscriber to everything."""
    sub = subscribers(broker)
    d = daemons([*plain(broker), *args], **kw)
    sub.wait_for(f"{BASE}/availability", "online")
    sub.wait_for(f"{BASE}/key", DEFAULT_ROM)
    return d, sub


def test_discovery_availability_and_key_are_retained(broker, daemons, subscribers):
    d, _ = up(broker, daemons, subscribers)
    # A subscriber that comes later is given them by the broker.
    late = subscribers(broker)
    got = {}
    while len(got) < 4:
        topic, payload, retain, _ = late.next()
        assert retain, topic
        got[topic] = payload
    assert got[f"{BASE}/availability"] == "online"
    assert got[f"{BASE}/key"] == DEFAULT_ROM
    oid = f"{NODE}_{LINE}"
    tag = json.loads(got[f"homeassistant/tag/{oid}/config"])
    ev = json.loads(got[f"homeassistant/event/{oid}/config"])
    assert tag["topic"] == f"{BASE}/tag"
    assert ev["state_topic"] == f"{BASE}/event"
    assert ev["availability_topic"] == f"{BASE}/availability"
    assert ev["event_types"] == ["attached", "removed"]
    assert ev["name"] and ev["unique_id"]
    assert tag["device"] == ev["device"]
    assert tag["device"]["identifiers"] and tag["device"]["name"]


def test_no_discovery_with_an_empty_prefix(broker, daemons, subscribers):
    sub = subscribers(broker)
    daemons([*plain(broker), "--discovery-prefix", "", "--prefix", "site/vorn"])
    sub.wait_for(f"site/vorn/{NODE}/{LINE}/availability", "online")
    late = subscribers(broker)
    topics = set()
    while len(topics) < 2:
        topics.add(late.next()[0])
    assert topics == {f"site/vorn/{NODE}/{LINE}/availability", f"site/vorn/{NODE}/{LINE}/key"}


def test_events_come_in_order_within_a_second(broker, daemons, subscribers):
    d, sub = up(broker, daemons, subscribers)
    steps = [("remove",), ("attach",), ("swap", "--rom", SWAP_ROM)]
    expected = [("removed", DEFAULT_ROM), ("attached", DEFAULT_ROM),
                ("removed", DEFAULT_ROM), ("attached", SWAP_ROM)]
    events, tags, keys = [], [], []

    def take(topic, payload, retain):
        if topic == f"{BASE}/tag":
            assert not retain
            tags.append(payload)
        elif topic == f"{BASE}/key":
            keys.append(payload)

    for step in steps:
        before = time.monotonic()
        now_wall = datetime.datetime.now(datetime.timezone.utc)
        d.ctl(*step)
        want = 2 if step[0] == "swap" else 1
        while want:
            topic, payload, retain, arrived = sub.next()
            if topic != f"{BASE}/event":
                take(topic, payload, retain)
                continue
            assert not retain
            assert arrived - before < EVENT_DEADLINE, step
            e = event(payload)
            when = datetime.datetime.fromisoformat(e["time"])
            assert when.utcoffset() is not None, e["time"]
            assert abs((when - now_wall).total_seconds()) < 5, e
            events.append(e)
            want -= 1
    assert [(e["event_type"], e["rom"]) for e in events] == expected
    seqs = [e["seq"] for e in events]
    assert seqs == list(range(seqs[0], seqs[0] + len(seqs)))
    assert all("lost" not in e for e in events)
    while len(tags) < 2 or keys[-1:] != [SWAP_ROM]:
        take(*sub.next()[:3])
    assert tags == [DEFAULT_ROM, SWAP_ROM]
    assert keys == ["none", DEFAULT_ROM, SWAP_ROM]


def test_a_broker_restart_loses_nothing(broker, daemons, subscribers):
    # The subscriber's session and subscription survive the restart in the
    # broker's persistence, so it misses nothing published after it.
    sub = subscribers(broker, topics=(f"{BASE}/event", f"{BASE}/tag"),
                      client_id="restart-watcher", clean=False)
    d, _ = up(broker, daemons, subscribers)
    d.ctl("remove")
    first = event(sub.next(f"{BASE}/event")[1])
    broker.stop()
    changed_at = datetime.datetime.now(datetime.timezone.utc)
    d.ctl("attach")
    d.ctl("swap", "--rom", SWAP_ROM)
    d.ctl("remove")
    d.ctl("attach", "--rom", DEFAULT_ROM)
    # The broker stays down a while, so that a time taken at publishing
    # would be seconds off.
    time.sleep(OUTAGE)
    broker.start()
    events = {first["seq"]: first}
    tags = []
    deadline = time.monotonic() + 30
    while len(events) < 6 or len(tags) < 3:
        left = deadline - time.monotonic()
        topic, payload, _, _ = sub.next(timeout=max(left, 0.01))
        if topic.endswith("/tag"):
            tags.append(payload)
            continue
        e = event(payload)
        if e["seq"] in events:  # a QoS 1 duplicate: the same record
            assert events[e["seq"]] == e
            continue
        assert not events or e["seq"] > max(events), "out of order"
        events[e["seq"]] = e
    got = [events[s] for s in sorted(events)]
    assert got[0] == first
    assert [e["seq"] for e in got] == list(range(first["seq"], first["seq"] + 6))
    assert [(e["event_type"], e["rom"]) for e in got[1:]] == [
        ("attached", DEFAULT_ROM), ("removed", DEFAULT_ROM), ("attached", SWAP_ROM),
        ("removed", SWAP_ROM), ("attached", DEFAULT_ROM)]
    # Their time is when the line changed, before the broker was back.
    for e in got[1:]:
        when = datetime.datetime.fromisoformat(e["time"])
        assert abs((when - changed_at).total_seconds()) < OUTAGE / 2, e
    assert tags[:3] == [DEFAULT_ROM, SWAP_ROM, DEFAULT_ROM]
    assert "connection lost" in d.err()


def test_a_wrong_password_fails_after_three_attempts(broker, daemons, subscribers):
    d = daemons(plain(broker), password="not-the-password")
    status = d.wait()
    assert status == 1
    err = d.err()
    assert "authorisation failed" in err and f"'{DAEMON_USER}'" in err, err
    assert "gave up after 3 attempts" in err
    # Three attempts, no more: the broker saw three refused logins.
    assert broker.log.read_text().count("disconnected, not authorised.") == 3


@pytest.mark.parametrize("case", ["other_ca", "wrong_name"])
def test_a_certificate_that_does_not_verify_fails(broker, daemons, case):
    if case == "other_ca":
        args = ["--cafile", str(broker.other_ca), "--port", str(broker.tls_port)]
    else:
        args = ["--cafile", str(broker.ca), "--port", str(broker.wrong_name_port)]
    d = daemons(["--host", "127.0.0.1", *args])
    assert d.wait() == 1
    err = d.err()
    assert "certificate does not verify" in err, err


def test_a_tls_handshake_cut_short_is_tried_again(broker, daemons):
    # The plain port closes on the TLS hello: no certificate was seen, so
    # this is no reason to give up (a broker restarting does the same).
    d = daemons(["--host", "127.0.0.1", "--port", str(broker.port), "--cafile", str(broker.ca)])
    end = time.monotonic() + 10
    while "cannot connect" not in d.err() and time.monotonic() < end:
        time.sleep(0.05)
    assert "cannot connect" in d.err()
    assert d.proc.poll() is None
    d.signal(signal.SIGTERM)
    assert d.wait() == 0
    assert "certificate" not in d.err()


def test_tls_with_the_right_ca_carries_events(broker, daemons, subscribers):
    sub = subscribers(broker)
    d = daemons(["--host", "127.0.0.1", "--port", str(broker.tls_port),
                 "--cafile", str(broker.ca)])
    sub.wait_for(f"{BASE}/availability", "online")
    d.ctl("remove")
    assert event(sub.next(f"{BASE}/event")[1])["event_type"] == "removed"


def test_sigkill_gives_offline_through_the_last_will(broker, daemons, subscribers):
    d, sub = up(broker, daemons, subscribers)
    d.signal(signal.SIGKILL)
    d.wait()
    sub.wait_for(f"{BASE}/availability", "offline")
    # Retained: a subscriber that comes later is told too.
    late = subscribers(broker, topics=(f"{BASE}/availability",))
    _, payload, retain, _ = late.next()
    assert (payload, retain) == ("offline", True)


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["sigterm", "sigint"])
def test_a_stop_signal_publishes_offline_and_ends_at_once(broker, daemons, subscribers, sig):
    d, sub = up(broker, daemons, subscribers)
    before = time.monotonic()
    d.signal(sig)
    assert d.wait() == 0
    assert time.monotonic() - before < STOP_DEADLINE
    sub.wait_for(f"{BASE}/availability", "offline", timeout=STOP_DEADLINE)
    assert d.err() == ""


def test_the_password_is_not_in_cmdline_or_environment(broker, daemons, subscribers):
    d, _ = up(broker, daemons, subscribers)
    pid = d.proc.pid
    for name in ("cmdline", "environ"):
        with open(f"/proc/{pid}/{name}", "rb") as f:
            assert DAEMON_PASSWORD.encode() not in f.read(), name


def test_the_line_going_is_offline_until_it_comes_back(broker, daemons, subscribers):
    d, sub = up(broker, daemons, subscribers)
    d.ctl("vanish")
    sub.wait_for(f"{BASE}/availability", "offline")
    assert d.proc.poll() is None
    d.ctl("appear")
    sub.wait_for(f"{BASE}/availability", "online")
    d.ctl("remove")
    assert event(sub.next(f"{BASE}/event")[1])["event_type"] == "removed"
    assert "the line is gone" in d.err()


def test_a_line_missing_at_the_start_is_waited_for(broker, daemons, subscribers):
    sub = subscribers(broker)
    d = daemons(plain(broker), sim_args=["--no-device", "--absent"])
    sub.wait_for(f"{BASE}/availability", "offline")
    assert d.proc.poll() is None
    d.ctl("appear")
    sub.wait_for(f"{BASE}/availability", "online")
    sub.wait_for(f"{BASE}/key", "none")
    d.ctl("attach")
    e = event(sub.next(f"{BASE}/event")[1])
    assert (e["event_type"], e["rom"]) == ("attached", DEFAULT_ROM)
    assert "cannot open /dev/touchm0 [No such file or directory]" in d.err()


def test_settings_from_the_configuration_file(broker, daemons, subscribers, workdir):
    pw = workdir / "conf.pw"
    pw.write_text(DAEMON_PASSWORD)
    pw.chmod(0o644)
    conf = workdir / "tmmqtt.conf"
    conf.write_text(f"# a site's settings\nhost = 127.0.0.1\nport {broker.port}\n"
                    f"  username = {DAEMON_USER}  \n\npassword-file = {pw}\nnode=fromconf\n"
                    "prefix = elsewhere\n")
    sub = subscribers(broker)
    # The command line's node and prefix win over the file's.
    d = daemons(["--config", str(conf), "--prefix", "vorn"])
    sub.wait_for(f"{BASE}/availability", "online")
    assert "warning: the password file" in d.err() and "can be read by others" in d.err()


@pytest.mark.parametrize("case", ["missing_config", "bad_setting", "missing_password",
                                  "bad_port"])
def test_unusable_settings_end_with_a_usage_status(workdir, daemons, case):
    conf = workdir / "bad.conf"
    if case == "missing_config":
        args, name = ["--config", str(workdir / "nowhere.conf")], "nowhere.conf"
    elif case == "bad_setting":
        conf.write_text("host = x\ncolour = blue\n")
        args, name = ["--config", str(conf)], "bad.conf:2: unknown setting 'colour'"
    elif case == "missing_password":
        args = ["--username", "u", "--password-file", str(workdir / "no.pw")]
        name = "no.pw"
    else:
        args, name = ["--port", "70000"], "'70000' is not a port number"
    d = daemons(args)
    assert d.wait() == 2
    assert name in d.err()


def test_help_version_and_usage(daemons):
    def run(*args):
        return subprocess.run([f"{BIN}/tmmqtt", *args], capture_output=True, text=True,
                              timeout=10)
    h = run("--help")
    assert h.returncode == 0
    assert h.stdout.startswith("Usage: tmmqtt [--host H] [--port N]"), h.stdout
    for word in ("--password-file", "--cafile", "--discovery-prefix", "--config"):
        assert word in h.stdout
    v = run("--version")
    assert v.returncode == 0
    assert re.fullmatch(r"tmmqtt [0-9]+\.[0-9]+\.[0-9]+\n", v.stdout), v.stdout
    bad = run("--password", "hunter2")
    assert bad.returncode == 2
    assert bad.stderr == "tmmqtt: unknown option '--password'\nTry 'tmmqtt --help'.\n"
    two = run("--config", "/dev/null", "/dev/touchm0", "/dev/touchm1")
    assert (two.returncode, two.stderr) == (2, "tmmqtt: one device at most\n"
                                               "Try 'tmmqtt --help'.\n")
