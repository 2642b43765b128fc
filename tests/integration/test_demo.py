"""scripts/demo end to end with this build's binaries: the tour is answered
in full and ends clean, the console answers, an interrupted demo stops
everything it started. The decoded texts are qzmcu's unit tests' job."""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
import qzdemo  # noqa: E402  the demo's own check for what it left running

BUILD = os.environ.get("QZ_BUILD_DIR") or str(REPO / "build" / "default")
END = ["   everything the demo started has stopped", "demo finished"]


@pytest.fixture
def run_dir():
    if not all(os.access(os.path.join(BUILD, n), os.X_OK) for n in ("qzlinkd", "qzmcu")):
        pytest.skip("qzlinkd and qzmcu are not both built in %s" % BUILD)
    base = REPO / "build" / "test-work"  # outside /tmp: qzlinkd gets a /tmp of its own
    base.mkdir(parents=True, exist_ok=True)
    d = Path(tempfile.mkdtemp(prefix="demo-", dir=base))
    yield d / "run"
    shutil.rmtree(d, ignore_errors=True)


def container_possible():
    """Whether user namespaces work without CAP_SYS_ADMIN here (not in a chroot)."""
    return subprocess.run(["capsh", "--drop=cap_sys_admin", "--", "-c",
                           "unshare --user --map-root-user --mount --propagation private true"],
                          capture_output=True).returncode == 0


def demo(run_dir, *args, container=False, **kw):
    env = dict(os.environ, QZ_DEMO_BUILD_DIR=BUILD, QZ_DEMO_RUN_DIR=str(run_dir), PYTHONDONTWRITEBYTECODE="1")
    cmd = [str(REPO / "scripts" / "demo"), *args]
    if container:  # as in docker run's default: no CAP_SYS_ADMIN, so no plain mount namespace
        cmd = ["capsh", "--drop=cap_sys_admin", "--", "-c", 'exec "$0" "$@"'] + cmd
    return subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True, **kw)


def read_until(proc, text):
    seen = b""
    while text.encode() not in seen:
        chunk = os.read(proc.stdout.fileno(), 65536)
        assert chunk, seen.decode(errors="replace")[-2000:]
        seen += chunk
    return seen


def finish(proc, seen=b""):
    try:
        rest, _ = proc.communicate(timeout=150)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(5)
    return (seen + rest).decode(errors="replace").splitlines()


def test_tour_answers_every_request_and_ends_clean(run_dir):
    before = sorted(Path("/tmp/dirac").rglob("*")) if Path("/tmp/dirac").exists() else None
    # As in docker run's default where the machine allows it: no CAP_SYS_ADMIN.
    p = demo(run_dir, stdin=subprocess.DEVNULL, container=container_possible())
    out = finish(p)
    assert p.returncode == 0, out[-40:]
    assert [h.split(".")[0] for h in out if h.startswith("=== ")] == ["=== %d" % i for i in range(1, 10)]
    sent = [line for line in out if line.startswith("-> ")]
    assert len(sent) > 30 and len(sent) == len([line for line in out if re.fullmatch(r"<- ack \d+", line)])
    assert not [line for line in out if line.startswith(("-- no ", "!! "))]
    assert [line for line in out if re.fullmatch(r"   (\d+) of \1 expected answers and reports seen", line)]
    # The stand-ins recorded what the daemon ran; nothing real was run.
    data = (run_dir / "calls.log").read_bytes().decode()
    calls = [rec.split("\x1f") for rec in data.split("\x1e") if rec]
    for call in (["date", "-s", "2026-07-28 13:05:09+0800"], ["poweroff"], ["ifconfig", "eth0", "down"],
                 ["hook:UpdateSpConfig", "5", "1", "0"], ["nmcli", "con", "delete", "Home"]):
        assert call in calls, call
    assert out[-2:] == END and not qzdemo.leftovers(run_dir)
    assert not (run_dir / "ttyMCU").is_symlink()
    assert (sorted(Path("/tmp/dirac").rglob("*")) if Path("/tmp/dirac").exists() else None) == before


def test_interactive_console(run_dir):
    p = demo(run_dir, "--interactive", stdin=subprocess.PIPE)
    seen = read_until(p, "<- lan: connected (3)")
    p.stdin.write(b"version\nquit\n")
    p.stdin.flush()
    out = finish(p, seen)
    assert p.returncode == 0 and "<- version 1.3.4" in out[out.index("-> version  [05 0B]"):]
    assert out[-2:] == END and not qzdemo.leftovers(run_dir)


def test_interrupted_demo_stops_everything(run_dir):
    p = demo(run_dir, stdin=subprocess.DEVNULL)
    seen = read_until(p, "=== 4. ")
    assert qzdemo.leftovers(run_dir)
    os.killpg(p.pid, signal.SIGINT)  # as the terminal sends it, to the whole group
    out = finish(p, seen)
    assert p.returncode == 130 and "demo interrupted: stopping everything" in out
    assert out[-2:] == [END[0], "demo finished (status 130)"] and not qzdemo.leftovers(run_dir)
