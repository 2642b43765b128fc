"""Checks of tools/processor_sim.py over loopback HTTP: API bodies, PUT rules,
control endpoints, state files, request log and shutdown."""

import contextlib
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SIM = REPO / "tools" / "processor_sim.py"

DEFAULT_SLOTS = (
    b'[{"index": 0, "filter_type": "Dirac Live Bass Management", "name": "Music"}, '
    b'{"index": 7, "filter_type": "dirac live bass control", "name": "Movie Night"}, '
    b'{"index": 2, "filter_type": "Dirac Live Active Room Treatment", "name": "Late Quiet"}]'
)
STATE_FILES = ("concord_aplay.pid", "concord_cli.ipc", "capture.ipc")


class Sim:
    def __init__(self, proc, port):
        self.proc, self.port = proc, port

    def request(self, method, path, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
        try:
            conn.request(method, path, body=body)
            resp = conn.getresponse()
            return resp.status, resp.read()
        finally:
            conn.close()

    def ok(self, method, path, body=None):
        status, data = self.request(method, path, body)
        assert status == 200, (method, path, status, data)
        return data


@contextlib.contextmanager
def running_sim(*args):
    proc = subprocess.Popen([sys.executable, str(SIM), "--port", "0", *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        m = re.fullmatch(r"processor_sim listening on 127\.0\.0\.1:(\d+)\n", line)
        assert m, (line, proc.stderr.read() if proc.poll() is not None else "")
        yield Sim(proc, int(m.group(1)))
    finally:
        if proc.poll() is None:
            proc.terminate()
        proc.wait(timeout=5)
        proc.stdout.close()
        proc.stderr.close()


@pytest.fixture
def dirac(tmp_path):
    return tmp_path / "dirac"


def concord_files(dirac):
    return sorted(n for n in STATE_FILES if (dirac / "concord" / n).exists())


def test_default_bodies_and_initial_values():
    with running_sim("--active", 7, "--filtering", 0, "--gain=-7.5") as sim:
        for path, body in [
            ("/api/list-slots", DEFAULT_SLOTS),
            ("/api/active-slot", b'{"index": 7}'),
            ("/api/filtering", b'{"enabled": false}'),
            ("/api/speaker", b'{"gain": -7.5}'),
        ]:
            assert sim.ok("GET", path) == body


def test_put_answers_new_object_and_reads_back(tmp_path):
    log = tmp_path / "requests.log"
    with running_sim("--log", log) as sim:
        cases = [
            ("/api/filtering?enabled=0&id=8090", "/api/filtering", b'{"enabled": false}'),
            ("/api/filtering?enabled=1&id=8090", "/api/filtering", b'{"enabled": true}'),
            ("/api/active-slot?index=2&id=8090", "/api/active-slot", b'{"index": 2}'),
            ("/api/speaker?gain=-12&id=8090", "/api/speaker", b'{"gain": -12}'),
            ("/api/speaker?gain=3.5&id=1", "/api/speaker", b'{"gain": 3.5}'),
        ]
        for put, get, body in cases:
            assert sim.ok("PUT", put) == body
            assert sim.ok("GET", get) == body
        sim.ok("GET", "/sim/status")  # control requests stay out of the log
    expected = "".join("PUT %s\nGET %s\n" % (put, get) for put, get, _ in cases)
    assert log.read_text() == expected


@pytest.mark.parametrize("method,path,status", [
    ("PUT", "/api/filtering?enabled=1", 400),
    ("PUT", "/api/speaker?gain=-12", 400),
    ("PUT", "/api/active-slot?index=7&id=", 400),
    ("PUT", "/api/active-slot?index=7&id=abc", 400),
    ("PUT", "/api/filtering?enabled=2&id=8090", 400),
    ("PUT", "/api/filtering?enabled=true&id=8090", 400),
    ("PUT", "/api/filtering?id=8090", 400),
    ("PUT", "/api/active-slot?index=9&id=8090", 400),   # no slot has index 9
    ("PUT", "/api/active-slot?index=x&id=8090", 400),
    ("PUT", "/api/speaker?gain=loud&id=8090", 400),
    ("PUT", "/api/speaker?gain=1e3&id=8090", 400),
    ("PUT", "/api/speaker?id=8090", 400),
    ("GET", "/api/nothing", 404),
    ("PUT", "/api/nothing?id=8090", 404),
    ("GET", "/", 404),
    ("GET", "/sim/nothing", 404),
    ("PUT", "/api/list-slots?id=8090", 405),
    ("POST", "/api/speaker?gain=1&id=8090", 405),
    ("PUT", "/sim/status", 405),
    ("GET", "/sim/set?active=1", 405),
])
def test_rejected_requests_change_nothing(method, path, status):
    with running_sim("--active", 7, "--gain", -20) as sim:
        got, body = sim.request(method, path)
        assert got == status
        assert "error" in json.loads(body)
        assert sim.ok("GET", "/api/active-slot") == b'{"index": 7}'
        assert sim.ok("GET", "/api/filtering") == b'{"enabled": true}'
        assert sim.ok("GET", "/api/speaker") == b'{"gain": -20}'


def test_control_set_and_simulated_failure():
    with running_sim() as sim:
        sim.ok("POST", "/sim/set?active=9&filtering=0&gain=-7.5")
        assert sim.ok("GET", "/api/active-slot") == b'{"index": 9}'
        assert sim.ok("GET", "/api/filtering") == b'{"enabled": false}'
        assert sim.ok("GET", "/api/speaker") == b'{"gain": -7.5}'
        # one bad value rejects the whole change
        assert sim.request("PUT", "/sim/set?active=3&filtering=7")[0] == 400
        assert sim.ok("GET", "/api/active-slot") == b'{"index": 9}'
        sim.ok("PUT", "/sim/set?error=503")
        assert sim.request("GET", "/api/speaker")[0] == 503
        assert sim.request("PUT", "/api/speaker?gain=1&id=8090")[0] == 503
        sim.ok("PUT", "/sim/set?error=0")
        assert sim.ok("GET", "/api/speaker") == b'{"gain": -7.5}'
        assert json.loads(sim.ok("GET", "/sim/status")) == {
            "active": 9, "filtering": False, "gain": -7.5,
            "state": None, "connected": None, "error": 0}
        # no state directory: state controls are refused
        assert sim.request("POST", "/sim/state?value=1")[0] == 400
        assert sim.request("POST", "/sim/connected?value=1")[0] == 400


def test_slots_from_file_and_replaced(tmp_path):
    slots = tmp_path / "slots.json"
    slots.write_text('[{"filter_type": "x", "name": "A"},\n {"index": 30, "name": "B"}]')
    with running_sim("--slots", slots, "--active", 30) as sim:
        assert sim.ok("GET", "/api/list-slots") == \
            b'[{"filter_type": "x", "name": "A"}, {"index": 30, "name": "B"}]'
        # a slot without "index" is addressed by its position
        assert sim.ok("PUT", "/api/active-slot?index=0&id=8090") == b'{"index": 0}'
        assert sim.request("PUT", "/api/active-slot?index=1&id=8090")[0] == 400
        sim.ok("POST", "/sim/slots", b'[]')
        assert sim.ok("GET", "/api/list-slots") == b'[]'
        assert sim.request("POST", "/sim/slots", b'{"index": 1}')[0] == 400
        assert sim.request("POST", "/sim/slots", b'[1,')[0] == 400
        assert sim.ok("GET", "/api/list-slots") == b'[]'


def test_state_file_transitions(dirac):
    with running_sim("--state-dir", dirac, "--state", 1, "--connected", 1) as sim:
        assert concord_files(dirac) == ["concord_cli.ipc"]
        assert (dirac / "connected").exists()
        for value, files in [
            (3, ["concord_aplay.pid"]),
            (1, ["concord_cli.ipc"]),
            (0, ["capture.ipc"]),
            (4, []),
            (3, ["concord_aplay.pid"]),
            (4, []),
        ]:
            status = json.loads(sim.ok("POST", "/sim/state?value=%d" % value))
            assert status["state"] == value
            assert concord_files(dirac) == files
        assert (dirac / "connected").exists()
        assert sim.request("POST", "/sim/state?value=2")[0] == 400
        assert concord_files(dirac) == []

        for value, exists in [("0", False), ("0", False), ("1", True), ("0", False)]:
            assert json.loads(sim.ok("PUT", "/sim/connected?value=" + value))["connected"] is exists
            assert (dirac / "connected").exists() is exists

        speaker = dirac / "speaker.json"
        sim.ok("POST", "/sim/speaker-json?gain=-12")
        assert speaker.read_bytes() == b'{"gain": -12}'
        sim.ok("POST", "/sim/speaker-json", b'{"volume": 3}')
        assert speaker.read_bytes() == b'{"volume": 3}'
        sim.ok("POST", "/sim/speaker-json?remove=1")
        assert not speaker.exists()


def test_playback_pid_file_holds_the_pid(dirac):
    with running_sim("--state-dir", dirac, "--state", 3) as sim:
        pid = (dirac / "concord" / "concord_aplay.pid").read_text()
        assert pid == "%d\n" % sim.proc.pid
        assert not (dirac / "connected").exists()


def test_state_without_state_dir_is_refused():
    proc = subprocess.run([sys.executable, str(SIM), "--port", "0", "--state", "1"],
                          capture_output=True, text=True, timeout=10)
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert "--state-dir" in proc.stderr


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_clean_shutdown_on_signal(sig):
    with running_sim() as sim:
        sim.ok("GET", "/api/speaker")
        os.kill(sim.proc.pid, sig)
        assert sim.proc.wait(timeout=5) == 0
        assert sim.proc.stderr.read() == ""
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", sim.port), timeout=2).close()
