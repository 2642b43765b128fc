"""Checks of scripts/halvane.sh: HTTP requests against the processor simulator on
loopback, hooks with hostile arguments, usage errors and the board UUID."""

import os
import re
import socket
import stat
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SCRIPT = REPO / "scripts" / "halvane.sh"
SIM = REPO / "tools" / "processor_sim.py"
JSON_HEADER = "Content-Type:application/json"
UUID_LINE = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\n")

# Writes the hook's own name and its arguments, NUL-separated, to $ARGV_OUT and
# exits with $HOOK_STATUS.
HOOK = """#!/bin/sh
printf '%s\\0' "${0##*/}" "$@" > "$ARGV_OUT"
exit "${HOOK_STATUS:-0}"
"""


@pytest.fixture
def env(tmp_path):
    """Environment for the script: hooks, UUID and state under the test's temp dir."""
    e = {k: v for k, v in os.environ.items() if not k.startswith("QZ_")}
    (tmp_path / "hooks").mkdir()
    e.update(QZ_HOOKS_DIR=str(tmp_path / "hooks"), QZ_UUID_FILE=str(tmp_path / "etc" / "uuid"),
             QZ_STATE_DIR=str(tmp_path / "state"), ARGV_OUT=str(tmp_path / "argv"))
    return e


def run(env, *args, cwd=None):
    return subprocess.run([str(SCRIPT), *args], env=env, cwd=cwd, capture_output=True, timeout=20)


@pytest.fixture
def sim(tmp_path):
    log = tmp_path / "sim.log"
    proc = subprocess.Popen([sys.executable, str(SIM), "--port", "0", "--active", "7",
                             "--gain=-7.5", "--state-dir", str(tmp_path / "dirac"),
                             "--log", str(log)],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        m = re.fullmatch(r"processor_sim listening on 127\.0\.0\.1:(\d+)\n", proc.stdout.readline())
        assert m
        yield "http://127.0.0.1:%s" % m.group(1), log
    finally:
        proc.terminate()
        proc.wait(timeout=5)
        proc.stdout.close()


def get(env, url):
    return run(env, "http", "get", url, JSON_HEADER)


@pytest.mark.parametrize("path,body", [
    ("/api/list-slots",
     b'[{"index": 0, "filter_type": "Dirac Live Bass Management", "name": "Music"}, '
     b'{"index": 7, "filter_type": "dirac live bass control", "name": "Movie Night"}, '
     b'{"index": 2, "filter_type": "Dirac Live Active Room Treatment", "name": "Late Quiet"}]'),
    ("/api/active-slot", b'{"index": 7}'),
    ("/api/filtering", b'{"enabled": true}'),
    ("/api/speaker", b'{"gain": -7.5}'),
])
def test_get_prints_body_only(env, sim, path, body):
    root, log = sim
    r = get(env, root + path)
    assert (r.returncode, r.stdout, r.stderr) == (0, body, b"")
    assert log.read_text() == "GET %s\n" % path


def test_put_then_get_reads_back(env, sim):
    root, log = sim
    cases = [
        ("/api/filtering", "enabled=0", b'{"enabled": false}'),
        ("/api/active-slot", "index=2", b'{"index": 2}'),
        ("/api/speaker", "gain=-12", b'{"gain": -12}'),
        ("/api/filtering", "enabled=1", b'{"enabled": true}'),
    ]
    for path, query, body in cases:
        r = run(env, "http", "put", "%s%s?%s&id=8090" % (root, path, query))
        assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
        r = get(env, root + path)
        assert (r.returncode, r.stdout) == (0, body)
    assert log.read_text() == "".join(
        "PUT %s?%s&id=8090\nGET %s\n" % (path, query, path) for path, query, _ in cases)


@pytest.mark.parametrize("args", [
    ("put", "/api/speaker?gain=-12"),              # no id
    ("put", "/api/active-slot?index=9&id=8090"),   # no such slot
    ("put", "/api/filtering?enabled=yes&id=8090"),
    ("get", "/api/unknown"),
    ("put", "/api/list-slots?id=8090"),
])
def test_http_error_is_nonzero_with_empty_stdout(env, sim, args):
    root, _ = sim
    method, path = args
    r = run(env, "http", method, root + path, JSON_HEADER)
    assert r.returncode == 22
    assert r.stdout == b""
    assert r.stderr.startswith(b"curl: (22)")
    # the failed request changed nothing
    assert get(env, root + "/api/speaker").stdout == b'{"gain": -7.5}'
    assert get(env, root + "/api/active-slot").stdout == b'{"index": 7}'


def test_simulated_processor_failure(env, sim):
    root, _ = sim
    assert run(env, "http", "put", root + "/sim/set?error=500").returncode == 0
    r = get(env, root + "/api/speaker")
    assert (r.returncode, r.stdout) == (22, b"")


@pytest.mark.parametrize("method", ["get", "put"])
def test_refused_connection(env, method):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))  # bound, never listening: connections are refused
        url = "http://127.0.0.1:%d/api/speaker?gain=1&id=8090" % s.getsockname()[1]
        r = run(env, "http", method, url, JSON_HEADER)
    assert r.returncode == 7
    assert r.stdout == b""
    assert r.stderr.startswith(b"curl: (7)")


HOSTILE = [
    'Living "Room" $(touch pwned) `touch pwned2`; touch pwned3 && echo x | cat',
    "it's * ? [a] ~ $HOME ${PATH} \\n \\",
    "two\nlines\ttab  ",
    "-n",
    "",
]


@pytest.mark.parametrize("args,hook,hook_args", [
    (["sample_rate", "48000"], "sample_rate", ["48000"]),
    (["UpdateSpConfig", "5", "1", "0"], "UpdateSpConfig", ["5", "1", "0"]),
    (["zel_reset"], "zel_reset", []),
    (["update", "exec"], "update", ["exec"]),
    (["net", "eth0", "reset"], "net", ["eth0", "reset"]),
    (["device", "id_name", HOSTILE[0], HOSTILE[1]], "device-id_name", HOSTILE[:2]),
    (["device", "id_name", HOSTILE[2], HOSTILE[3]], "device-id_name", HOSTILE[2:4]),
    (["device", "id_name", HOSTILE[4], "QZ-1 Name"], "device-id_name", ["", "QZ-1 Name"]),
])
@pytest.mark.parametrize("status", [0, 3])
def test_hook_gets_arguments_unchanged(env, tmp_path, args, hook, hook_args, status):
    work = tmp_path / "work"
    work.mkdir()
    (work / "a").write_text("")  # something for a stray glob to match
    path = tmp_path / "hooks" / hook
    path.write_text(HOOK)
    path.chmod(0o755)
    env["HOOK_STATUS"] = str(status)
    r = run(env, *args, cwd=work)
    assert r.returncode == status
    assert (r.stdout, r.stderr) == (b"", b"")
    expected = b"".join(a.encode() + b"\0" for a in [hook, *hook_args])
    assert (tmp_path / "argv").read_bytes() == expected
    assert sorted(os.listdir(work)) == ["a"]


@pytest.mark.parametrize("args,hook", [
    (["sample_rate", "44100"], "sample_rate"),
    (["UpdateSpConfig", "2", "0", "-1"], "UpdateSpConfig"),
    (["zel_reset"], "zel_reset"),
    (["update", "exec"], "update"),
    (["net", "eth0", "reset"], "net"),
    (["device", "id_name", "A1", "B 2"], "device-id_name"),
])
@pytest.mark.parametrize("present", [False, True])
def test_missing_hook_is_logged_and_succeeds(env, tmp_path, args, hook, present):
    if present:  # a hook file that is not executable counts as missing
        (tmp_path / "hooks" / hook).write_text(HOOK)
        (tmp_path / "hooks" / hook).chmod(0o644)
    r = run(env, *args)
    assert (r.returncode, r.stdout) == (0, b"")
    assert r.stderr == b"halvane: no hook for %s, nothing to do\n" % hook.encode()
    assert not (tmp_path / "argv").exists()


@pytest.mark.parametrize("args", [
    [], ["foo"], ["HTTP"], ["http"], ["http", "get"], ["http", "delete", "http://127.0.0.1:1/"],
    ["sample_rate"], ["sample_rate", "48k"], ["sample_rate", "1", "2"],
    ["UpdateSpConfig", "1", "2"], ["UpdateSpConfig", "1", "x", "3"],
    ["zel_reset", "now"], ["update"], ["update", "now"], ["update", "exec", "x"],
    ["net", "eth0"], ["net", "eth0", "reset", "x"],
    ["device"], ["device", "id_name", "x"], ["device", "id_name", "x", "y", "z"],
    ["device", "name"], ["device", "uuid", "x"],
])
def test_bad_command_lines_exit_2(env, tmp_path, args):
    for hook in ("sample_rate", "UpdateSpConfig", "zel_reset", "update", "net", "device-id_name"):
        (tmp_path / "hooks" / hook).write_text(HOOK)
        (tmp_path / "hooks" / hook).chmod(0o755)
    r = run(env, *args)
    assert (r.returncode, r.stdout) == (2, b"")
    assert r.stderr.startswith((b"halvane: ", b"usage: "))
    assert not (tmp_path / "argv").exists()
    assert not (tmp_path / "state").exists()


def test_uuid_generated_once_and_kept(env, tmp_path):
    first = run(env, "device", "uuid")
    assert (first.returncode, first.stderr) == (0, b"")
    assert UUID_LINE.fullmatch(first.stdout.decode())
    assert (tmp_path / "state" / "uuid").read_bytes() == first.stdout
    second = run(env, "device", "uuid")
    assert (second.returncode, second.stdout) == (0, first.stdout)


def test_uuid_damaged_store_is_replaced(env, tmp_path):
    (tmp_path / "state").mkdir()
    (tmp_path / "state" / "uuid").write_text("not-a-uuid\n")
    first = run(env, "device", "uuid")
    assert UUID_LINE.fullmatch(first.stdout.decode())
    assert (tmp_path / "state" / "uuid").read_bytes() == first.stdout
    assert run(env, "device", "uuid").stdout == first.stdout


@pytest.mark.parametrize("content,printed", [
    ("2f1c6b9e-0d3a-4c51-9e7f-8a1b2c3d4e5f\n", b"2f1c6b9e-0d3a-4c51-9e7f-8a1b2c3d4e5f\n"),
    ("2F1C6B9E-0D3A-4C51-9E7F-8A1B2C3D4E5F", b"2F1C6B9E-0D3A-4C51-9E7F-8A1B2C3D4E5F\n"),
    ("  2f1c6b9e-0d3a-4c51-9e7f-8a1b2c3d4e5f \r\nsecond line\n",
     b"2f1c6b9e-0d3a-4c51-9e7f-8a1b2c3d4e5f\n"),
])
def test_uuid_from_integrator_file(env, tmp_path, content, printed):
    (tmp_path / "etc").mkdir()
    (tmp_path / "etc" / "uuid").write_text(content, newline="")
    for _ in range(2):
        r = run(env, "device", "uuid")
        assert (r.returncode, r.stdout, r.stderr) == (0, printed, b"")
    assert not (tmp_path / "state").exists()


def test_empty_integrator_file_falls_back_to_kept_uuid(env, tmp_path):
    (tmp_path / "etc").mkdir()
    (tmp_path / "etc" / "uuid").write_text("")
    r = run(env, "device", "uuid")
    assert UUID_LINE.fullmatch(r.stdout.decode())
    assert (tmp_path / "state" / "uuid").read_bytes() == r.stdout


def test_uuid_printed_even_when_it_cannot_be_kept(env, tmp_path):
    (tmp_path / "blocker").write_text("")
    env["QZ_STATE_DIR"] = str(tmp_path / "blocker" / "qz")  # under a plain file
    r = run(env, "device", "uuid")
    assert r.returncode == 0
    assert UUID_LINE.fullmatch(r.stdout.decode())
    assert r.stderr.startswith(b"halvane: cannot keep the UUID")


def test_script_is_executable():
    assert os.stat(SCRIPT).st_mode & stat.S_IXUSR
    assert os.stat(SIM).st_mode & stat.S_IXUSR
