"""scripts/halvane.sh, the control script, against tools/processor_sim.py on
loopback: HTTP and curl's failures, hooks with hostile arguments, usage
errors, the UUID."""
import os
import re
import socket
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
UUID_LINE = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\n")
# Writes the hook's name and arguments, NUL-separated, to $ARGV_OUT; exits $HOOK_STATUS.
HOOK = '#!/bin/sh\nprintf \'%s\\0\' "${0##*/}" "$@" > "$ARGV_OUT"\nexit "${HOOK_STATUS:-0}"\n'
HOSTILE = ['Living "Room" $(touch pwned) `touch pwned2`; touch pwned3 && echo x | cat',
           "it's * ? [a] ~ $HOME ${PATH} \\n \\", "two\nlines\ttab  ", "-n", ""]


@pytest.fixture
def run(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("QZ_")}
    for d in ("hooks", "work"):
        (tmp_path / d).mkdir()
    (tmp_path / "work" / "a").write_text("")  # something for a stray glob to match
    env.update(QZ_HOOKS_DIR=str(tmp_path / "hooks"), QZ_UUID_FILE=str(tmp_path / "etc" / "uuid"),
               QZ_STATE_DIR=str(tmp_path / "state"), ARGV_OUT=str(tmp_path / "argv"))

    def run(*args, **extra):
        return subprocess.run([str(REPO / "scripts" / "halvane.sh"), *args], env=dict(env, **extra),
                              cwd=tmp_path / "work", capture_output=True, timeout=20)
    run.dir = tmp_path
    return run


def test_http_against_the_simulator(run):
    sim = subprocess.Popen([sys.executable, str(REPO / "tools" / "processor_sim.py"), "--port", "0", "--gain=-7.5",
                            "--state-dir", str(run.dir / "dirac")], stdout=subprocess.PIPE, text=True)
    try:
        root = "http://127.0.0.1:%s" % re.search(r":(\d+)$", sim.stdout.readline()).group(1)
        http = lambda method, path: run("http", method, root + path, "Content-Type:application/json")  # noqa: E731
        assert http("get", "/api/speaker").stdout == b'{"gain": -7.5}'
        # (method, path, curl's exit status, the body): an HTTP error is curl's 22 with nothing on stdout.
        for method, path, status, body in [
                ("put", "/api/active-slot?index=2&id=8090", 0, b""), ("get", "/api/active-slot", 0, b'{"index": 2}'),
                ("put", "/api/speaker?gain=-12", 22, b""), ("get", "/api/unknown", 22, b""),
                ("get", "/api/speaker", 0, b'{"gain": -7.5}')]:  # the failed put changed nothing
            r = http(method, path)
            assert (r.returncode, r.stdout) == (status, body) and r.stderr.startswith(b"curl: (22)" if status else b"")
    finally:
        sim.terminate()
        sim.wait(5)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))  # bound, never listening: connections are refused
        r = run("http", "get", "http://127.0.0.1:%d/api/speaker" % s.getsockname()[1])
    assert (r.returncode, r.stdout) == (7, b"") and r.stderr.startswith(b"curl: (7)")


# The demo's tour runs the other hooks.
HOOK_CALLS = [(["update", "exec"], "update", ["exec"]),
              (["net", "eth0", "reset"], "net", ["eth0", "reset"]),
              (["device", "id_name"] + HOSTILE[:2], "device-id_name", HOSTILE[:2]),
              (["device", "id_name"] + HOSTILE[2:4], "device-id_name", HOSTILE[2:4]),
              (["device", "id_name", HOSTILE[4], "QZ-1"], "device-id_name", ["", "QZ-1"])]


def test_hooks_get_their_arguments_unchanged_or_are_missed_quietly(run):
    hooks, argv = run.dir / "hooks", run.dir / "argv"
    for args, hook, hook_args in HOOK_CALLS:
        (hooks / hook).unlink(missing_ok=True)
        r = run(*args)  # no hook: logged, and success
        said = "halvane: no executable hook %s: %s NOT carried out" % (hooks / hook, hook)
        said += " (exit status 0 all the same)\n"
        assert (r.returncode, r.stdout, r.stderr.decode()) == (0, b"", said)
        (hooks / hook).write_text(HOOK)
        (hooks / hook).chmod(0o644)  # not executable counts as missing
        assert run(*args).returncode == 0 and not argv.exists()
        (hooks / hook).chmod(0o755)
        assert run(*args, HOOK_STATUS="3").returncode == 3
        assert argv.read_bytes() == b"".join(a.encode() + b"\0" for a in [hook] + hook_args)
        argv.unlink()
    assert sorted(os.listdir(run.dir / "work")) == ["a"]
    for args in ([], ["foo"], ["http", "get"], ["http", "delete", "http://127.0.0.1:1/"], ["sample_rate", "48k"],
                 ["UpdateSpConfig", "1", "x", "3"], ["zel_reset", "now"], ["net", "eth0"], ["device", "id_name", "x"],
                 ["device", "uuid", "x"]):
        r = run(*args)  # usage errors: the hooks above are not run
        assert (r.returncode, r.stdout) == (2, b"") and r.stderr.startswith((b"halvane: ", b"usage: ")), args
    assert not argv.exists()


def test_update_under_the_service_starts_its_own_unit(run):
    """qzlinkd.service names the unit: the hook then runs there, not in the
    daemon's sandbox, and the unit's result is the update's."""
    bin_dir = run.dir / "bin"
    bin_dir.mkdir()
    (bin_dir / "systemctl").write_text(HOOK)
    (bin_dir / "systemctl").chmod(0o755)
    path = "%s:%s" % (bin_dir, os.environ["PATH"])
    r = run("update", "exec", QZ_UPDATE_UNIT="qz-update.service", PATH=path, HOOK_STATUS="4")
    assert (r.returncode, r.stderr) == (4, b"")
    assert (run.dir / "argv").read_bytes() == b"systemctl\0start\0qz-update.service\0"


def test_uuid(run):
    state = run.dir / "state" / "uuid"
    first = run("device", "uuid").stdout
    assert UUID_LINE.fullmatch(first.decode()) and state.read_bytes() == first
    assert run("device", "uuid").stdout == first  # kept
    state.write_text("not-a-uuid\n")
    replaced = run("device", "uuid").stdout
    assert UUID_LINE.fullmatch(replaced.decode()) and replaced != first
    # The integrator's file wins, its first line trimmed; an empty one does not.
    (run.dir / "etc").mkdir()
    (run.dir / "etc" / "uuid").write_text("  2F1C6B9E-0D3A-4C51-9E7F-8A1B2C3D4E5F \r\nsecond\n", newline="")
    assert run("device", "uuid").stdout == b"2F1C6B9E-0D3A-4C51-9E7F-8A1B2C3D4E5F\n"
    (run.dir / "etc" / "uuid").write_text("")
    assert run("device", "uuid").stdout == replaced
    (run.dir / "blocker").write_text("")
    r = run("device", "uuid", QZ_STATE_DIR=str(run.dir / "blocker" / "qz"))  # cannot be kept: still one
    assert r.returncode == 0 and UUID_LINE.fullmatch(r.stdout.decode())
    assert r.stderr.startswith(b"halvane: cannot keep the UUID")
