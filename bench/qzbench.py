"""Shared pieces of the benchmarks: the daemon on a pseudo-terminal inside the
test harness's isolation (private /tmp, recording stubs first on PATH, no
route to the machine's NetworkManager), the bare pseudo-terminal echo beside
it, the processor simulator behind the real control script, and the
measurements themselves. Nothing here asserts anything: it measures.

The binary is $QZLINKD (default build/default/qzlinkd); pty_echo is looked
for beside it.
"""
import os
import pty
import re
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "integration"))
sys.path.insert(0, str(REPO / "tools"))  # nmmock, the simulated board's NetworkManager
import qzharness  # noqa: E402
from qzharness import Board, Mcu, frame  # noqa: E402,F401

PYTHON = "/usr/bin/python3"
DROPPED = bytes.fromhex("13 04 00")  # a request the daemon drops without a word: only the ack comes back
VERSION = bytes.fromhex("05 0B")


def qzlinkd_path():
    return qzharness.qzlinkd_path()


def pty_echo_path():
    path = Path(qzlinkd_path()).parent / "pty_echo"
    if not path.exists():
        sys.exit("bench: %s missing: build the pty_echo target beside qzlinkd" % path)
    return str(path)


def new_board():
    """A private work directory under build/bench-work."""
    base = REPO / "build" / "bench-work"
    base.mkdir(parents=True, exist_ok=True)
    return Board(tempfile.mkdtemp(prefix="board-", dir=base))


def drop_board(board):
    board.close()
    shutil.rmtree(board.root, ignore_errors=True)


def open_line():
    """A pseudo-terminal pair: the raw master fd and the slave's path."""
    master, slave = pty.openpty()
    tty.setraw(master)
    path = os.ttyname(slave)
    os.close(slave)
    return master, path


def use_real_script(board, sim_port=None):
    """Puts the real control script (scripts/halvane.sh) where the daemon looks,
    with its hooks, UUID and state in the board's directory: actions end in
    "no hook", nothing on the machine changes."""
    for d in ("hooks-none", "state"):
        (board.root / d).mkdir(exist_ok=True)
    (board.root / "uuid").write_text("0f8fad5b-d9cb-469f-a165-70867728950e\n")
    board.script.write_text('#!/bin/sh\nexec "%s" "$@"\n' % (REPO / "scripts" / "halvane.sh"))
    board.script.chmod(0o755)
    env = {"QZ_HOOKS_DIR": str(board.root / "hooks-none"), "QZ_UUID_FILE": str(board.root / "uuid"),
           "QZ_STATE_DIR": str(board.root / "state")}
    root = "http://127.0.0.1:%d" % sim_port if sim_port else None
    return env, root


class Daemon:
    """qzlinkd with a pseudo-terminal as its line and its log in a file."""

    def __init__(self, board, isqz=-1, debug=0, http_root=None, wlan=None, eth=None, extra_env=None,
                 name="daemon"):
        self.board = board
        self.master, slave_path = open_line()
        device = board.root / ("tty-" + name)
        if device.is_symlink() or device.exists():
            device.unlink()
        device.symlink_to(slave_path)
        self.log_path = board.root / (name + ".log")
        args = [str(device), "115200", str(isqz), str(board.script), http_root or "http://127.0.0.1:9",
                wlan or "", eth or "", "0", "0", "", str(debug)]
        cmd = qzharness.private_tmp_argv(board.tmp, [REPO, board.root, qzlinkd_path()]) + [qzlinkd_path()] + args
        with open(self.log_path, "wb") as log:
            # stdin stays open: the console mode ends at its end.
            self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=log, stderr=subprocess.STDOUT,
                                         env=board.env(extra_env), start_new_session=True)
        self.pid = self.proc.pid  # unshare and sh exec, so this becomes qzlinkd
        self.mcu = Mcu(self.master)
        os.set_blocking(self.master, True)  # the measurements write to it directly, back to back

    def log_text(self):
        return self.log_path.read_text(errors="replace")

    def wait_log(self, pattern, timeout=10.0):
        rx = re.compile(pattern, re.M)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if rx.search(self.log_text()):
                return
            if self.proc.poll() is not None:
                raise RuntimeError("qzlinkd ended:\n" + self.log_text()[-2000:])
            time.sleep(0.05)
        raise TimeoutError("no log line %r" % pattern)

    def wait_started(self, settle=1.5):
        """Until the start-up reports are out, then reads the line empty."""
        self.wait_log(r"^COMMAND_FUNC_RDDATE: ")
        self.mcu.drain(settle)

    def stop(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, 15)
                self.proc.wait(3)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                os.killpg(self.proc.pid, 9)
                self.proc.wait(3)
        if self.proc.stdin:
            self.proc.stdin.close()
        os.close(self.master)


class Echo:
    """The bare pseudo-terminal round trip: pty_echo answering each request."""

    def __init__(self, request_size):
        self.master, path = open_line()
        self.proc = subprocess.Popen([pty_echo_path(), path, str(request_size)])
        self.pid = self.proc.pid
        time.sleep(0.2)  # let it open and set up the slave

    def stop(self):
        self.proc.terminate()
        self.proc.wait(3)
        os.close(self.master)


class ProcessorSim:
    """tools/processor_sim.py on a free loopback port, its state directory the
    board's /tmp/dirac."""

    def __init__(self, board, state=1, connected=1):
        self.proc = subprocess.Popen(
            [PYTHON, str(REPO / "tools" / "processor_sim.py"), "--port", "0", "--state-dir", str(board.dirac),
             "--state", str(state), "--connected", str(connected)],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()
        m = re.search(r":(\d+)$", line.strip())
        if not m:
            raise RuntimeError("processor_sim did not start: %r" % line)
        self.port = int(m.group(1))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)


# --- measurements -------------------------------------------------------------

def ack_of(id, addr=0x43):
    return frame(b"", addr, id)


def read_exact(fd, count, timeout=5.0):
    got = b""
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    while len(got) < count:
        if not poller.poll(timeout * 1000):
            raise TimeoutError("%d of %d bytes" % (len(got), count))
        got += os.read(fd, count - len(got))
    return got


def ack_latency(fds, count=5000, warm=200, block=250, payload=DROPPED):
    """Nanoseconds from the request's last byte written to its acknowledgement's
    last byte read, one request at a time: a list per fd. The lines take
    turns in blocks, so that both see the same load on a shared machine."""
    requests = [frame(payload, 0x34, k % 255 + 1) for k in range(255)]
    acks = [ack_of(k % 255 + 1) for k in range(255)]
    times = [[] for _ in fds]
    sent = [0 for _ in fds]
    while min(sent) < warm + count:
        for i, fd in enumerate(fds):
            for _ in range(block):
                k = sent[i]
                if k >= warm + count:
                    break
                os.write(fd, requests[k % 255])
                t0 = time.perf_counter_ns()
                got = read_exact(fd, 6)
                t1 = time.perf_counter_ns()
                if got != acks[k % 255]:
                    raise RuntimeError("unexpected answer %s" % got.hex(" "))
                if k >= warm:
                    times[i].append(t1 - t0)
                sent[i] += 1
    return times


def sustained_fps(fd, count=20000, payload=DROPPED):
    """Frames acknowledged per second while the MCU sends back to back."""
    stream = b"".join(frame(payload, 0x34, k % 255 + 1) for k in range(count))
    t0 = time.perf_counter()

    def write():
        for k in range(0, len(stream), 4096):
            os.write(fd, stream[k:k + 4096])
    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    want = 6 * count  # only acknowledgements come back
    got = 0
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    while got < want:
        if not poller.poll(10000):
            raise TimeoutError("%d of %d acknowledgements" % (got // 6, count))
        got += len(os.read(fd, 65536))
    t1 = time.perf_counter()
    writer.join(5)
    return count / (t1 - t0)


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100.0 * (len(s) - 1))))]


def us(ns):
    return ns / 1000.0


def thread_table(pid):
    """{tid: (label, voluntary, nonvoluntary)} of every thread of pid. The
    daemon's own threads are told apart by creation order: the receive thread
    is the first after main, the state monitor (started by it) the next;
    GLib's threads carry their own names."""
    rows = {}
    own = []
    for tid in sorted(int(t) for t in os.listdir("/proc/%d/task" % pid)):
        base = "/proc/%d/task/%d/" % (pid, tid)
        try:
            comm = open(base + "comm").read().strip()
            status = open(base + "status").read()
        except OSError:
            continue
        vol = int(re.search(r"^voluntary_ctxt_switches:\s+(\d+)", status, re.M).group(1))
        nonvol = int(re.search(r"^nonvoluntary_ctxt_switches:\s+(\d+)", status, re.M).group(1))
        if tid == pid:
            label = "main"
        elif comm == "qzlinkd":
            own.append(tid)
            label = {1: "receive", 2: "monitor"}.get(len(own), "qzlinkd-%d" % len(own))
        else:
            label = comm
        rows[tid] = (label, vol, nonvol)
    return rows


def idle_wakeups(pid, seconds=10.0):
    """[(label, voluntary/s, nonvoluntary/s)] of each thread over an idle spell."""
    before = thread_table(pid)
    time.sleep(seconds)
    after = thread_table(pid)
    out = []
    for tid, (label, vol, nonvol) in after.items():
        b = before.get(tid, (label, vol, nonvol))
        out.append((label, (vol - b[1]) / seconds, (nonvol - b[2]) / seconds))
    return out


def rss_kib(pid):
    status = open("/proc/%d/status" % pid).read()
    return int(re.search(r"^VmRSS:\s+(\d+) kB", status, re.M).group(1))


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def request_reply_time(mcu, payload, accept, timeout=10.0):
    """Seconds from the request written to the reply that `accept` takes
    (acknowledgements and other frames skipped)."""
    id = mcu.send(payload)
    t0 = time.perf_counter()
    acked = False
    deadline = time.monotonic() + timeout
    while True:
        f = mcu.read_frame(max(0.0, deadline - time.monotonic()))
        if f.is_ack:
            acked = acked or f.id == id
        elif acked and accept(f.payload):
            return time.perf_counter() - t0, f


def summary_ms(values):
    return statistics.median(values) * 1000.0, percentile(values, 99) * 1000.0


def git_describe():
    try:
        return subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True).stdout.strip()
    except OSError:
        return "?"


# --- the link figures, each beside the bare pseudo-terminal ---------------------

def measure_latency(count):
    """((median, p99) of the daemon, (median, p99) of the bare pty) in µs."""
    board = new_board()
    d = Daemon(board, debug=0)
    echo = Echo(len(frame(DROPPED)))
    try:
        d.wait_started()
        daemon, bare = ack_latency([d.master, echo.master], count)
    finally:
        echo.stop()
        d.stop()
        drop_board(board)
    return ((us(statistics.median(daemon)), us(percentile(daemon, 99))),
            (us(statistics.median(bare)), us(percentile(bare, 99))))


def measure_fps(count, rounds=3):
    """({debug: frames/s} of the daemon, frames/s of the bare pty): the median
    of `rounds` runs, the three lines taking turns so they share the load."""
    boards = [new_board(), new_board()]
    daemons = [Daemon(boards[debug], debug=debug) for debug in (0, 1)]
    echo = Echo(len(frame(DROPPED)))
    runs = [[], [], []]
    try:
        for d in daemons:
            d.wait_started()
        for _ in range(rounds):
            for i, fd in enumerate([daemons[0].master, daemons[1].master, echo.master]):
                runs[i].append(sustained_fps(fd, count))
    finally:
        echo.stop()
        for d in daemons:
            d.stop()
        for b in boards:
            drop_board(b)
    return {0: statistics.median(runs[0]), 1: statistics.median(runs[1])}, statistics.median(runs[2])


def measure_wakeups(seconds=10.0):
    """(receive thread's wake-ups/s, bare pty echo's wake-ups/s, every thread's row)."""
    board = new_board()
    d = Daemon(board, debug=0)
    echo = Echo(len(frame(DROPPED)))
    try:
        d.wait_started()
        time.sleep(1.0)
        before_echo = thread_table(echo.pid)
        rows = idle_wakeups(d.pid, seconds)
        after_echo = thread_table(echo.pid)
    finally:
        echo.stop()
        d.stop()
        drop_board(board)
    receive = next(r for r in rows if r[0] == "receive")
    bare = sum(a[1] - before_echo[t][1] for t, a in after_echo.items() if t in before_echo) / seconds
    return receive[1], bare, rows
