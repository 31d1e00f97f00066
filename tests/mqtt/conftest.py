# SPDX-License-Identifier: GPL-2.0-or-later
"""Fixtures of tmmqtt's broker tests: a mosquitto broker of the test's own
on 127.0.0.1 (a free port, a password file, an ACL, TLS listeners with
certificates made here by openssl), a subscriber with paho, and tmmqtt run
under the driver stand-in. Every wait is bounded."""

import json
import os
import queue
import socket
import subprocess
import time

import paho.mqtt.client as mqtt
import pytest

BIN = os.environ["VORN_BIN_DIR"]
DEFAULT_ROM = "04efbeadde0000cd"
SWAP_ROM = "0102030405060708"
NODE = "door1"
LINE = "touchm0"
BASE = f"vorn/{NODE}/{LINE}"
DAEMON_USER = "door"
DAEMON_PASSWORD = "s3cret-door-Pw"
WATCHER_USER = "watcher"
WATCHER_PASSWORD = "watcher-pw"
# Bounds of the waits: a broker starting, a message arriving, a process
# ending.
START_TIMEOUT = 10.0
MESSAGE_TIMEOUT = 10.0
EXIT_TIMEOUT = 15.0
POLL_STEP = 0.02


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=START_TIMEOUT):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(POLL_STEP)
    return False


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, timeout=60, **kw)


def make_ca(d, name):
    key, crt = d / f"{name}.key", d / f"{name}.crt"
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-subj", f"/CN={name}", "-keyout", str(key), "-out", str(crt)])
    return key, crt


def make_server_cert(d, name, ca_key, ca_crt, san):
    key, csr, crt = d / f"{name}.key", d / f"{name}.csr", d / f"{name}.crt"
    ext = d / f"{name}.ext"
    ext.write_text(f"subjectAltName={san}\n")
    run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={name}",
         "-keyout", str(key), "-out", str(csr)])
    run(["openssl", "x509", "-req", "-in", str(csr), "-CA", str(ca_crt), "-CAkey",
         str(ca_key), "-CAcreateserial", "-days", "2", "-extfile", str(ext),
         "-out", str(crt)])
    return key, crt


class Broker:
    """mosquitto on 127.0.0.1: a plain listener, a TLS one with a
    certificate for 127.0.0.1/localhost, and a TLS one whose certificate
    names another host."""

    def __init__(self, d):
        self.dir = d
        self.port = free_port()
        self.tls_port = free_port()
        self.wrong_name_port = free_port()
        self.proc = None
        passwd = d / "passwd"
        run(["mosquitto_passwd", "-c", "-b", str(passwd), DAEMON_USER, DAEMON_PASSWORD])
        run(["mosquitto_passwd", "-b", str(passwd), WATCHER_USER, WATCHER_PASSWORD])
        acl = d / "acl"
        acl.write_text(f"user {DAEMON_USER}\ntopic readwrite vorn/#\n"
                       f"topic readwrite homeassistant/#\ntopic readwrite site/#\n"
                       f"user {WATCHER_USER}\ntopic read #\n")
        ca_key, self.ca = make_ca(d, "ca")
        _, self.other_ca = make_ca(d, "otherca")
        srv_key, srv_crt = make_server_cert(d, "server", ca_key, self.ca,
                                            "IP:127.0.0.1,DNS:localhost")
        wn_key, wn_crt = make_server_cert(d, "elsewhere", ca_key, self.ca,
                                          "DNS:elsewhere.example")
        persist = d / "persist"
        persist.mkdir()
        lines = [
            "per_listener_settings false",
            "allow_anonymous false",
            f"password_file {passwd}",
            f"acl_file {acl}",
            "persistence true",
            f"persistence_location {persist}/",
            f"listener {self.port} 127.0.0.1",
            f"listener {self.tls_port} 127.0.0.1",
            f"cafile {self.ca}", f"certfile {srv_crt}", f"keyfile {srv_key}",
            f"listener {self.wrong_name_port} 127.0.0.1",
            f"cafile {self.ca}", f"certfile {wn_crt}", f"keyfile {wn_key}",
        ]
        if os.getuid() == 0:
            lines.insert(0, "user root")
        self.conf = d / "mosquitto.conf"
        self.conf.write_text("\n".join(lines) + "\n")
        self.log = d / "mosquitto.log"

    def start(self):
        self.proc = subprocess.Popen(["mosquitto", "-c", str(self.conf)],
                                     stdout=open(self.log, "ab"), stderr=subprocess.STDOUT)
        if not (wait_for_port(self.port) and wait_for_port(self.tls_port)):
            self.stop()
            raise RuntimeError("mosquitto did not start: " + self.log.read_text())

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=EXIT_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


class Subscriber:
    """A paho client as the watcher user; messages in a queue as
    (topic, payload text, retain, arrival time)."""

    def __init__(self, broker, topics=("#",), client_id=None, clean=True):
        self.messages = queue.Queue()
        self.connected = queue.Queue()
        self.topics = topics
        self.client = mqtt.Client(client_id=client_id or "", clean_session=clean)
        self.client.username_pw_set(WATCHER_USER, WATCHER_PASSWORD)
        self.client.on_connect = self._on_connect
        self.client.on_message = self._on_message
        self.client.reconnect_delay_set(min_delay=1, max_delay=1)
        self.client.connect("127.0.0.1", broker.port)
        self.client.loop_start()
        assert self.connected.get(timeout=MESSAGE_TIMEOUT) == 0

    def _on_connect(self, client, userdata, flags, rc):
        if rc == 0:
            for t in self.topics:
                client.subscribe(t, qos=1)
        self.connected.put(rc)

    def _on_message(self, client, userdata, msg):
        self.messages.put((msg.topic, msg.payload.decode(), msg.retain, time.monotonic()))

    def next(self, topic=None, timeout=MESSAGE_TIMEOUT):
        """The next message (on topic, others skipped)."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no message on {topic} within {timeout} s")
            try:
                m = self.messages.get(timeout=left)
            except queue.Empty:
                continue
            if topic is None or m[0] == topic:
                return m

    def wait_for(self, topic, payload, timeout=MESSAGE_TIMEOUT):
        end = time.monotonic() + timeout
        while True:
            m = self.next(topic, max(end - time.monotonic(), POLL_STEP))
            if m[1] == payload:
                return m

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


class Daemon:
    """tmmqtt under tmsim, with its own state directory."""

    def __init__(self, d, args, password=DAEMON_PASSWORD, name="daemon", sim_args=()):
        self.state = d / f"{name}-state"
        self.err_path = d / f"{name}.err"
        pw = d / f"{name}.pw"
        pw.write_text(password + "\n")
        pw.chmod(0o600)
        self.password_file = pw
        cmd = [f"{BIN}/tmsim", "--state", str(self.state), *sim_args, "--", f"{BIN}/tmmqtt",
               "--config", "/dev/null", "--node", NODE, *args]
        if "--username" not in args and "--config" not in args:
            cmd += ["--username", DAEMON_USER, "--password-file", str(pw)]
        self.cmd = cmd
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE,
                                     stderr=open(self.err_path, "wb"))

    def ctl(self, *args):
        run([f"{BIN}/tmsim", "ctl", "--state", str(self.state), *args])

    def signal(self, sig):
        self.proc.send_signal(sig)

    def wait(self, timeout=EXIT_TIMEOUT):
        return self.proc.wait(timeout=timeout)

    def err(self):
        return self.err_path.read_text()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def workdir(tmp_path):
    return tmp_path


@pytest.fixture
def broker(tmp_path):
    b = Broker(tmp_path)
    b.start()
    yield b
    b.stop()


@pytest.fixture
def daemons(tmp_path):
    started = []

    def start(args=(), **kw):
        d = Daemon(tmp_path, list(args), **kw)
        started.append(d)
        return d

    yield start
    for d in started:
        d.stop()


@pytest.fixture
def subscribers():
    made = []

    def make(broker, *a, **kw):
        s = Subscriber(broker, *a, **kw)
        made.append(s)
        return s

    yield make
    for s in made:
        s.close()


def plain(broker):
    return ["--host", "127.0.0.1", "--port", str(broker.port)]


def event(payload):
    return json.loads(payload)
