"""scripts/demo end to end, with the binaries of this build: the tour's
transcript (every request answered and decoded, the unsolicited reports),
its clean end, the interactive console, and clean-up when interrupted."""
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import qzdemo  # noqa: E402  the demo's own check for what it left running

REPO = Path(__file__).resolve().parent.parent.parent
DEMO = REPO / "scripts" / "demo"
UUID = "9b2f6c1e-3a4d-4e8f-b7a1-0c5d2e3f4a6b"


def build_dir():
    if os.environ.get("QZ_BUILD_DIR"):
        return os.environ["QZ_BUILD_DIR"]
    if os.environ.get("QZLINKD"):
        return str(Path(os.environ["QZLINKD"]).resolve().parent)
    return str(REPO / "build" / "default")


@pytest.fixture(autouse=True)
def built():
    for name in ("qzlinkd", "qzmcu"):
        if not os.access(os.path.join(build_dir(), name), os.X_OK):
            pytest.skip("no %s in %s (tools not built)" % (name, build_dir()))


@pytest.fixture
def run_dir():
    # Outside /tmp: qzlinkd gets a /tmp of its own.
    base = REPO / "build" / "test-work"
    base.mkdir(parents=True, exist_ok=True)
    d = Path(tempfile.mkdtemp(prefix="demo-", dir=base))
    yield d / "run"
    shutil.rmtree(d, ignore_errors=True)


def demo_env(run):
    return dict(os.environ, QZ_DEMO_BUILD_DIR=build_dir(), QZ_DEMO_RUN_DIR=str(run),
                PYTHONDONTWRITEBYTECODE="1")


def still_running(run):
    return qzdemo.leftovers(run)


def real_dirac():
    p = Path("/tmp/dirac")
    return sorted(str(x) for x in p.rglob("*")) if p.exists() else None


def recorded(run):
    data = (run / "calls.log").read_bytes().decode()
    return [rec.split("\x1f") for rec in data.split("\x1e") if rec]


def after(lines, first, then):
    """Index of the first line equal to `then` after the first equal to `first`."""
    i = lines.index(first)
    return lines.index(then, i + 1)


def test_tour_answers_every_request_and_ends_clean(run_dir):
    before = real_dirac()
    p = subprocess.run([str(DEMO)], env=demo_env(run_dir), capture_output=True, text=True,
                       timeout=150, stdin=subprocess.DEVNULL)
    out = p.stdout.splitlines()
    assert p.returncode == 0, p.stdout[-3000:] + p.stderr[-2000:]
    headings = [line for line in out if line.startswith("=== ")]
    assert [h.split(".")[0] for h in headings] == ["=== %d" % i for i in range(1, 10)]
    # Every request went out and was acknowledged; nothing went unanswered.
    assert len([line for line in out if line.startswith("-> ")]) == len(
        [line for line in out if re.fullmatch(r"<- ack \d+", line)]) > 30
    assert not [line for line in out if line.startswith(("-- no ", "!! "))]
    assert re.search(r"^   (\d+) of \1 expected answers and reports seen$", p.stdout, re.M)
    for line in ("<- version 1.3.4",
                 "<- build date 2026-07-28, processor version 3.9.1",
                 '<- uuid "%s"' % UUID,
                 "<- device identity acknowledged",
                 "<- wifi mac 02:00:5E:10:00:01",
                 "<- processor state 1 (ready: command socket up)",
                 '<- filter slot 0 [Dirac Live Bass Management] "Music"',
                 '<- filter slot 3 [Other] "Reference"',
                 "<- filter slot 5: no such slot",
                 '<- active filter: slot 1 [Dirac Live Bass Control] "Movie Night"',
                 '<- filters: filtering on, 4 slots, active slot 2 [Dirac Active Room Treatment] "Late Quiet"',
                 "<- main volume -20.0 dB",
                 "<- main volume -12.0 dB",
                 "<- audio reset done",
                 '<- wifi list page 2/2, 6 networks: 5. 40% WPA3 ch 11 A4:2B:B0:44:55:66 "Neighbour" | '
                 '6. 30% WEP ch 4 00:0F:66:77:88:99 "Old Router"',
                 "<- lan: connected (3) mac 78:DD:08:D2:3D:43 ip 192.168.10.50/255.255.255.0",
                 "-> speaker layout 5.1.0, code 5 (320: FL_FR_LS_RS_FC_LFE)  [06 23 02 05 01]"):
        assert line in out, line
    assert any(re.fullmatch(r"<- date and time \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \w+, zone \+0 h, synchronised", x)
               for x in out)
    # Unsolicited reports follow what was done on the simulators.
    after(out, "   [simulator] run state 3: playing", "<- processor state 3 (playing)")
    after(out, "   [simulator] run state 3: playing", "<- main volume -18.0 dB")
    after(out, "   [simulator] the volume is turned to -6 dB on the processor itself", "<- main volume -6.0 dB")
    after(out, "   [simulator] the app selects slot Music with filtering on",
          '<- filters: filtering on, 4 slots, active slot 0 [Dirac Live Bass Management] "Music"')
    after(out, "   [simulator] the processor stops: no state files",
          "<- processor state 4 (stopped: no processor files), code 255")
    stub = "   [stub] nmcli dev wifi connect 00:1A:2B:3C:4D:5E password sunshine42 ifname mlan0"
    connected = after(out, stub, '<- wifi: connected (3) "Home" 80% ch 36 00:1A:2B:3C:4D:5E '
                                 'ip 192.168.1.20/255.255.255.0')
    # Before the MCU asked again: an unsolicited report.
    assert connected < out.index("-> wifi status  [10 02 01]", out.index(stub))
    after(out, "   [stub] ifconfig eth0 down", "<- lan: no link (0) mac 78:DD:08:D2:3D:43")
    # The stand-ins recorded what the daemon ran; nothing real was run.
    calls = recorded(run_dir)
    for call in (["date", "-s", "2026-07-28 13:05:09+0800"], ["poweroff"], ["hook:update", "exec"],
                 ["hook:UpdateSpConfig", "5", "1", "0"], ["hook:sample_rate", "48000"],
                 ["ifconfig", "eth0", "down"], ["ifconfig", "eth0", "up"], ["nmcli", "con", "delete", "Home"]):
        assert call in calls, call
    # A clean end.
    assert out[-2:] == ["   everything the demo started has stopped", "demo finished"]
    assert not still_running(run_dir)
    assert not (run_dir / "ttyMCU").is_symlink()
    assert real_dirac() == before


def read_until(proc, text, timeout, seen):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        r, _, _ = select.select([proc.stdout], [], [], 0.2)
        if not r:
            continue
        chunk = os.read(proc.stdout.fileno(), 65536)
        if not chunk:
            break
        seen.append(chunk)
        if text.encode() in b"".join(seen):
            return
    raise AssertionError("no %r in %s" % (text, b"".join(seen).decode(errors="replace")[-2000:]))


def finish(proc, seen, timeout=30):
    rest, _ = proc.communicate(timeout=timeout)
    return (b"".join(seen) + rest).decode(errors="replace")


@pytest.mark.parametrize("how", ["ctrl-c", "sigterm"])
def test_interrupted_demo_stops_everything(run_dir, how):
    proc = subprocess.Popen([str(DEMO)], env=demo_env(run_dir), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, start_new_session=True)
    seen = []
    try:
        read_until(proc, "=== 4. ", 60, seen)
        assert still_running(run_dir)
        if how == "ctrl-c":
            os.killpg(proc.pid, signal.SIGINT)  # as the terminal sends it, to the whole group
        else:
            os.kill(proc.pid, signal.SIGTERM)   # to the script alone
        text = finish(proc, seen)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(5)
    assert proc.returncode == 130, text[-2000:]
    assert "demo interrupted: stopping everything" in text
    assert text.rstrip().endswith("everything the demo started has stopped\ndemo finished (status 130)")
    assert not still_running(run_dir)


def test_interactive_console(run_dir):
    proc = subprocess.Popen([str(DEMO), "--interactive"], env=demo_env(run_dir), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, stdin=subprocess.PIPE, start_new_session=True)
    seen = []
    try:
        read_until(proc, "<- lan: connected (3)", 60, seen)
        proc.stdin.write(b"version\nwifi list\nvolume\nquit\n")
        proc.stdin.flush()
        text = finish(proc, seen)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(5)
    assert proc.returncode == 0, text[-2000:]
    lines = text.splitlines()
    assert "qzmcu is the MCU" in text
    after(lines, "-> version  [05 0B]", "<- version 1.3.4")
    assert any(x.startswith("<- wifi list page 2/2, 6 networks: ") for x in lines)
    after(lines, "-> volume  [13 06 01]", "<- main volume -10.0 dB")
    assert lines[-2:] == ["   everything the demo started has stopped", "demo finished"]
    assert not still_running(run_dir)
