"""scripts/demo end to end with this build's binaries: the tour is answered
in full and ends clean; the console answers and an interrupt stops
everything the demo started; without namespaces the commands stop at once.
The decoded texts are qzmcu's unit tests' job."""
import os
import re
import shutil
import signal
import subprocess
import tempfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]

BUILD = os.environ.get("QZ_BUILD_DIR") or str(REPO / "build" / "default")
STOPPED = "   everything the demo started has stopped"


@pytest.fixture
def run_dir(tmp_path):
    return tmp_path / "run"


@pytest.fixture
def tmp_run_dir():
    """A run directory under the machine's /tmp, which qzlinkd sees replaced by its own."""
    d = Path(tempfile.mkdtemp(prefix="qzdemo-test-", dir="/tmp"))
    yield d / "run"
    shutil.rmtree(d, ignore_errors=True)


def mentions(run_dir):
    """Processes whose command line names the run directory: the demo's
    would, and none may be left after it."""
    found = []
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if str(run_dir).encode() in f.read():
                    found.append(pid)
        except OSError:
            pass
    return found


def demo(run_dir, *args, container=False, **kw):
    env = dict(os.environ, QZ_DEMO_BUILD_DIR=BUILD, QZ_DEMO_RUN_DIR=str(run_dir), PYTHONDONTWRITEBYTECODE="1")
    cmd = [str(REPO / "scripts" / "demo"), *args]
    if container:  # as in docker run's default: no CAP_SYS_ADMIN, so no plain mount namespace
        cmd = ["capsh", "--drop=cap_sys_admin", "--", "-c", 'exec "$0" "$@"'] + cmd
    return subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True, **kw)


def finish(proc, seen=b""):
    try:
        rest, _ = proc.communicate(timeout=150)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(5)
    return (seen + rest).decode(errors="replace").splitlines()


def test_tour_answers_every_request_and_ends_clean(tmp_run_dir):
    run_dir = tmp_run_dir
    before = sorted(Path("/tmp/dirac").rglob("*")) if Path("/tmp/dirac").exists() else None
    # Without CAP_SYS_ADMIN where the machine's user namespaces allow the demo to run so.
    container = subprocess.run(["capsh", "--drop=cap_sys_admin", "--", "-c", "unshare --user --map-root-user "
                                "--mount --propagation private true"], capture_output=True).returncode == 0
    # A watcher of the demo's log that the demo did not start: not its business.
    tail = subprocess.Popen(["tail", "-F", str(run_dir / "qzlinkd.log")], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        p = demo(run_dir, stdin=subprocess.DEVNULL, container=container)
        out = finish(p)
        assert tail.poll() is None
    finally:
        tail.kill()
        tail.wait()
    assert p.returncode == 0, out[-40:]
    assert not [line for line in out if line.startswith(("-- no ", "!! "))]
    assert [line for line in out if re.fullmatch(r"   (\d+) of \1 expected answers and reports seen", line)]
    # The stand-ins recorded what the daemon ran; nothing real was run.
    calls = [rec.split("\x1f") for rec in (run_dir / "calls.log").read_text().split("\x1e") if rec]
    for call in (["poweroff"], ["hook:UpdateSpConfig", "5", "1", "0"], ["nmcli", "con", "delete", "Home"]):
        assert call in calls, call
    assert out[-2:] == [STOPPED, "demo finished"] and not mentions(run_dir)
    assert (sorted(Path("/tmp/dirac").rglob("*")) if Path("/tmp/dirac").exists() else None) == before


def test_console_answers_then_an_interrupt_stops_everything(run_dir):
    p = demo(run_dir, "--interactive", stdin=subprocess.PIPE)
    seen, asked = b"", False
    while b"<- version 1.3.4" not in seen:
        if b"<- lan: connected (3)" in seen and not asked:  # the start-up reports are in
            p.stdin.write(b"version\n")
            p.stdin.flush()
            asked = True
        chunk = os.read(p.stdout.fileno(), 65536)
        assert chunk, seen.decode(errors="replace")[-2000:]
        seen += chunk
    assert mentions(run_dir)
    os.killpg(p.pid, signal.SIGINT)  # as the terminal sends it, to the whole group
    out = finish(p, seen)
    assert p.returncode == 130 and "demo interrupted: stopping everything" in out
    assert out[-2:] == [STOPPED, "demo finished (status 130)"] and not mentions(run_dir)


REFUSED = "echo 'unshare: unshare failed: Operation not permitted' >&2; exit 1"
CHROOT = 'case "$*" in *unchanged*) exit 0;; esac; exit 1'  # a plain chroot: / is no mount point


@pytest.mark.parametrize("script,unshare,says", [("demo", REFUSED, "user namespaces"), ("test", REFUSED, "CAP_SYS_ADMIN"),
                                                 ("demo", CHROOT, "not a mount point"), ("test", CHROOT, "not a mount point")])
def test_commands_stop_at_once_without_namespaces(tmp_path, script, unshare, says):
    (tmp_path / "unshare").write_text("#!/bin/sh\n%s\n" % unshare)
    (tmp_path / "unshare").chmod(0o755)
    r = subprocess.run([str(REPO / "scripts" / script)], env=dict(os.environ, PATH="%s:%s" % (tmp_path, os.environ["PATH"])),
                       capture_output=True, text=True, timeout=20, stdin=subprocess.DEVNULL)
    assert (r.returncode, r.stdout, r.stderr.count("\n")) == (1, "", 1) and r.stderr.startswith(script + ": ")
    assert says in r.stderr


def test_a_run_directory_under_the_daemons_own_state_folder_is_refused_at_once():
    r = subprocess.run([str(REPO / "scripts" / "demo")], env=dict(os.environ, QZ_DEMO_RUN_DIR="/tmp/dirac/run"),
                       capture_output=True, text=True, timeout=20, stdin=subprocess.DEVNULL)
    assert (r.returncode, r.stdout) == (2, "") and r.stderr == (
        "demo: /tmp/dirac/run lies under /tmp/dirac, which qzlinkd sees as its own state folder: move it elsewhere\n")


def test_the_bed_without_its_cache_names_the_command_that_fetches_it(tmp_path):
    r = subprocess.run(["/usr/bin/python3", str(REPO / "tests" / "integration" / "nmbed.py"), "true"],
                       env=dict(os.environ, QZ_NM_CACHE=str(tmp_path)), capture_output=True, text=True, timeout=20)
    assert r.returncode == 1 and r.stderr.startswith("nmbed: no NetworkManager in %s/" % tmp_path)
    assert r.stderr.endswith(": fetch it with /usr/bin/python3 tests/integration/nmbed.py --fetch"
                             " (scripts/test does this first)\n")
