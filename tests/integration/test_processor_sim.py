"""tools/processor_sim.py over loopback HTTP: one simulator walks the API
bodies, the PUT rules, the control endpoints and the state files."""
import http.client
import json
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest

SIM = Path(__file__).resolve().parents[2] / "tools" / "processor_sim.py"
STATE_FILES = ("concord_aplay.pid", "concord_cli.ipc", "capture.ipc")


@pytest.fixture
def sim(tmp_path):
    proc = subprocess.Popen([sys.executable, str(SIM), "--port", "0", "--active", "7", "--gain=-20",
                             "--state-dir", str(tmp_path / "dirac"), "--state", "3",
                             "--log", str(tmp_path / "log")], stdout=subprocess.PIPE, text=True)
    port = int(re.fullmatch(r"processor_sim listening on 127\.0\.0\.1:(\d+)\n", proc.stdout.readline()).group(1))

    def request(method, path, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
        conn.request(method, path, body=body)
        resp = conn.getresponse()
        return resp.status, resp.read()
    request.proc, request.dirac, request.log = proc, tmp_path / "dirac", tmp_path / "log"
    yield request
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=5) == 0  # a clean end on a signal


def test_api_bodies_puts_and_rejections(sim):
    assert sim("GET", "/api/active-slot") == (200, b'{"index": 7}')
    assert sim("GET", "/api/list-slots")[1].startswith(b'[{"index": 0, "filter_type": "Dirac Live Bass Management"')
    for put, get, body in [("/api/filtering?enabled=0&id=8090", "/api/filtering", b'{"enabled": false}'),
                           ("/api/active-slot?index=2&id=8090", "/api/active-slot", b'{"index": 2}'),
                           ("/api/speaker?gain=3.5&id=1", "/api/speaker", b'{"gain": 3.5}')]:
        assert sim("PUT", put) == (200, body) and sim("GET", get) == (200, body)
    assert sim.log.read_text().splitlines()[:2] == ["GET /api/active-slot", "GET /api/list-slots"]
    for method, path, status in [
            ("PUT", "/api/speaker?gain=-12", 400), ("PUT", "/api/active-slot?index=7&id=abc", 400),
            ("PUT", "/api/filtering?enabled=true&id=8090", 400), ("PUT", "/api/active-slot?index=9&id=8090", 400),
            ("PUT", "/api/speaker?gain=1e3&id=8090", 400), ("GET", "/api/nothing", 404),
            ("PUT", "/api/list-slots?id=8090", 405), ("POST", "/api/speaker?gain=1&id=8090", 405),
            ("GET", "/sim/set?active=1", 405), ("PUT", "/sim/set?active=3&filtering=7", 400)]:
        got, body = sim(method, path)
        assert got == status and "error" in json.loads(body), path
    assert [sim("GET", p)[1] for p in ("/api/active-slot", "/api/filtering", "/api/speaker")] == \
        [b'{"index": 2}', b'{"enabled": false}', b'{"gain": 3.5}']


def test_controls_and_state_files(sim):
    def files():
        return sorted(n for n in STATE_FILES if (sim.dirac / "concord" / n).exists())
    assert files() == ["concord_aplay.pid"]
    assert (sim.dirac / "concord" / "concord_aplay.pid").read_text() == "%d\n" % sim.proc.pid
    for value, want in [(1, ["concord_cli.ipc"]), (0, ["capture.ipc"]), (4, []), (3, ["concord_aplay.pid"])]:
        assert json.loads(sim("POST", "/sim/state?value=%d" % value)[1])["state"] == value
        assert files() == want
    assert sim("POST", "/sim/state?value=2")[0] == 400
    for value, exists in [("1", True), ("0", False)]:
        assert json.loads(sim("PUT", "/sim/connected?value=" + value)[1])["connected"] is exists
        assert (sim.dirac / "connected").exists() is exists
    sim("POST", "/sim/speaker-json?gain=-12")
    assert (sim.dirac / "speaker.json").read_bytes() == b'{"gain": -12}'
    sim("POST", "/sim/speaker-json?remove=1")
    assert not (sim.dirac / "speaker.json").exists()
    sim("POST", "/sim/slots", b'[{"name": "A"}]')
    assert sim("PUT", "/api/active-slot?index=0&id=8090") == (200, b'{"index": 0}')  # by position
    assert sim("POST", "/sim/slots", b'[1,')[0] == 400
    sim("PUT", "/sim/set?error=503")
    assert sim("GET", "/api/speaker")[0] == 503
