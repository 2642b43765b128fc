"""Runs the real qzlinkd against a simulated board: the Python tests' one
toolkit for frames, the MCU's end of the line, recorded commands and log lines.

A pseudo-terminal stands for the UART (its master end is the MCU), and
recording stand-ins for the control script, poweroff, date, nmcli and
ifconfig come first on PATH (the script's serves canned JSON per endpoint).
The daemon runs in a private mount namespace with a test directory bound
over /tmp, so its /tmp/dirac is the test's own (tools/privtmp.py: a checkout
under /tmp works too).
"""
import contextlib
import os
import pty
import re
import select
import signal
import subprocess
import sys
import threading
import time
import tty
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
from privtmp import private_tmp_argv  # noqa: E402
from nmmock import NmMock  # noqa: E402
# Product delays divided by this in the daemons the tests start (test-only
# setting of the daemon; a monitor pass then takes 50 ms).
FAST = 20


def qzlinkd_path():
    return str(Path(os.environ.get("QZLINKD") or REPO / "build" / "default" / "qzlinkd").resolve())


def until(get, what, timeout=10.0):
    """Polls get() until it gives something true, and returns that; what (a
    text, or a function giving one) says what was missed when the time is up."""
    deadline = time.monotonic() + timeout
    while not (got := get()):
        if time.monotonic() >= deadline:
            raise TimeoutError(what if isinstance(what, str) else what())
        time.sleep(0.02)
    return got


# --- frames ---------------------------------------------------------------

def frame(payload, addr=0x34, id=1):
    """The frame the daemon's own encoder would build."""
    payload = bytes(payload)
    n = len(payload)
    if n > 182:
        head = bytes([0xFA, addr, id, 0xC0 | (n >> 8), n & 0xFF]) + payload
        s = sum(head) & 0xFFFF
        return head + bytes([s >> 8, s & 0xFF, 0xF5])
    head = bytes([0xFA, addr, id, n]) + payload
    return head + bytes([sum(head) & 0xFF, 0xF5])


def ack(id, addr=0x43):
    return frame(b"", addr, id)


def reply_addr(addr):
    return ((addr << 4) | (addr >> 4)) & 0xFF


class Frame:
    def __init__(self, raw):
        self.raw = bytes(raw)
        self.addr, self.id = raw[1], raw[2]
        self.payload = self.raw[5:-3] if raw[3] & 0xC0 == 0xC0 else self.raw[4:-2]
        self.is_ack = not self.payload

    def ok(self):
        """Whether the daemon's reader takes it: sum, end byte, and a long
        payload that fits its receive buffer (4088 bytes)."""
        r = self.raw
        if r[3] & 0xC0 == 0xC0:
            return len(self.payload) <= 4088 and sum(r[:-3]) & 0xFFFF == r[-3] << 8 | r[-2] and r[-1] == 0xF5
        return sum(r[:-2]) & 0xFF == r[-2] and r[-1] == 0xF5

    def __repr__(self):
        return "Frame(addr=%02X id=%d payload=%s)" % (self.addr, self.id, self.payload.hex(" "))


def parse_one(buf):
    """(frame or None, bytes consumed) for the start of buf; a frame is taken
    whole by its length, as the MCU does."""
    start = buf.find(b"\xFA")
    if start != 0:
        return None, len(buf) if start < 0 else start
    if len(buf) < 6:
        return None, 0
    total = (((buf[3] & 0x3F) << 8) | buf[4]) + 8 if buf[3] & 0xC0 == 0xC0 else buf[3] + 6
    return (Frame(buf[:total]), total) if len(buf) >= total else (None, 0)


def payload_is(hex_text):
    """A wait_frame predicate: the payload equals these bytes."""
    want = bytes.fromhex(hex_text)
    return lambda f: f.payload == want


def payload_starts(hex_text):
    want = bytes.fromhex(hex_text)
    return lambda f: f.payload[:len(want)] == want


# --- the MCU end of the line ----------------------------------------------

class DaemonExited(AssertionError):
    """The daemon ended while the test still talked to it."""


# The longest a write to the line may stall before the test fails: the daemon
# reads continually, so a full line means it is stuck.
WRITE_DEADLINE = 10.0


class Mcu:
    def __init__(self, master_fd, proc=None):
        """proc: the daemon's process, so that a dead daemon fails a write or
        a wait at once, with its exit status."""
        self.fd = master_fd
        os.set_blocking(master_fd, False)
        self.proc = proc
        self.buf = b""
        self.next_id = 1

    def check_alive(self):
        if self.proc is not None and self.proc.poll() is not None:
            raise DaemonExited("qzlinkd exited with status %d" % self.proc.returncode)

    def send_raw(self, data, timeout=WRITE_DEADLINE):
        data = memoryview(bytes(data))
        deadline = time.monotonic() + timeout
        while data:
            self.check_alive()
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("the line took nothing for %.0f s (%d bytes unsent)" % (timeout, len(data)))
            if select.select([], [self.fd], [], min(left, 0.1))[1]:
                try:
                    data = data[os.write(self.fd, data):]
                except BlockingIOError:
                    pass

    def send(self, payload, addr=0x34):
        id, self.next_id = self.next_id, self.next_id % 255 + 1
        self.send_raw(frame(payload, addr, id))
        return id

    def read_frame(self, timeout=5.0):
        deadline = time.monotonic() + timeout
        while True:
            f, used = parse_one(self.buf)
            self.buf = self.buf[used:]
            if f is not None:
                return f
            if used:
                continue
            left = deadline - time.monotonic()
            try:
                data = os.read(self.fd, 65536) if select.select([self.fd], [], [], max(0.0, left))[0] else b""
            except OSError:  # the line hung up
                data = b""
            if not data:
                self.check_alive()
            self.buf += data
            if not data and left <= 0:
                raise TimeoutError("no frame within %.1fs (pending %s)" % (timeout, self.buf.hex(" ")))

    def wait_frame(self, pred, timeout=10.0, seen=None):
        """The next frame matching pred; the ones before it go to `seen`."""
        deadline = time.monotonic() + timeout
        while not pred(f := self.read_frame(deadline - time.monotonic())):
            if seen is not None:
                seen.append(f)
        return f

    def request(self, payload, addr=0x34, timeout=10.0, accept=None):
        """Sends a request; after its acknowledgement, the first frame with a
        payload that `accept` takes (any, by default)."""
        id = self.send(payload, addr)
        acked = []

        def pred(f):
            if f.is_ack:
                acked.append(f.id == id and f.addr == reply_addr(addr))
                return False
            return (accept is None or accept(f)) and any(acked)
        return self.wait_frame(pred, timeout)

    def drain(self, timeout=1.0):
        """Every frame until the line has been quiet for `timeout` (0: those
        already on the line, without waiting)."""
        out = []
        try:
            while True:
                out.append(self.read_frame(timeout))
        except TimeoutError:
            return out


# --- the fake control script and the stubs ---------------------------------

STUB = r'''#!/bin/sh
# Recording stand-in: the real command must never run in a test. As the
# control script it also serves the canned reply to a GET (none: exit 1).
us=$(printf '\037'); name=${0##*/}; rec=${name%.sh}; for a in "$@"; do rec="$rec$us$a"; done
printf '%s\036' "$rec" >> "$QZTEST_RECORD"  # one write: background runs append at once
hook="$QZTEST_REPLIES/hook-$name"
[ -x "$hook" ] && exec "$hook" "$@"
path="${3#*://}"; path="/${path#*/}"
[ "$1 $2" != "http get" ] || cat "$QZTEST_REPLIES/get$(printf %s "${path%%\?*}" | tr / _)" 2>/dev/null
'''

STATE_FILES = {3: ("concord_aplay.pid",), 1: ("concord_cli.ipc",), 0: ("capture.ipc",), 4: ()}


def _executable(path, text):
    path.write_text(text)
    path.chmod(0o755)


class Board:
    def __init__(self, root):
        self.root = Path(root)
        self.tmp = self.root / "tmp"
        self.dirac = self.tmp / "dirac"
        self.bin = self.root / "bin"
        self.replies = self.root / "replies"
        self.record = self.root / "calls.log"
        for d in (self.dirac / "concord", self.bin, self.replies):
            d.mkdir(parents=True, exist_ok=True)
        self.record.write_bytes(b"")
        self.script = self.bin / "halvane.sh"
        for name in ("halvane.sh", "poweroff", "date", "nmcli", "ifconfig", "reboot", "shutdown"):
            _executable(self.bin / name, STUB)
        self.daemons = []

    def set_reply(self, endpoint, body):
        """What the processor answers to a GET of endpoint (a PUT always succeeds)."""
        (self.replies / ("get" + endpoint).replace("/", "_")).write_text(body)

    def set_hook(self, name, body):
        """Shell code run by the stub `name` after recording (e.g. to act on a mock)."""
        _executable(self.replies / ("hook-" + name), "#!/bin/sh\n" + body)

    def commands(self):
        """Every recorded run as (name, argv), in order."""
        data = self.record.read_bytes().decode("utf-8", "surrogateescape")
        return [(r.split("\x1f")[0], r.split("\x1f")[1:]) for r in data.split("\x1e") if r]

    def wait_calls(self, pred, timeout=10.0, count=1):
        """Waits until `count` recorded runs match pred((name, argv)); returns them."""
        got = lambda: [c for c in self.commands() if pred(c)]  # noqa: E731
        return until(lambda: len(got()) >= count and got(), lambda: "no matching call; calls: %r" % self.commands()[-30:],
                     timeout)

    def set_state_files(self, *names):
        (self.dirac / "concord").mkdir(exist_ok=True)  # the fault tests remove it
        for n in ("concord_aplay.pid", "concord_cli.ipc", "capture.ipc"):
            (self.dirac / "concord" / n).write_text("1") if n in names else (self.dirac / "concord" / n).unlink(missing_ok=True)

    def set_processor_state(self, state):
        self.set_state_files(*STATE_FILES[state])

    def start(self, isqz=-1, debug=1, gain=0, scan=0, wlan="", eth="", lanreset=None, extra_env=None, fast=None,
              version="", stdout=subprocess.PIPE, closed_stdio=False):
        """A daemon on a new line; fast divides its product delays (None: real ones). Its
        standard output is read into log lines unless another stdout is given;
        closed_stdio starts it with descriptors 0, 1 and 2 closed."""
        env = dict(extra_env or {}, **({"QZLINKD_TEST_TIME_DIVISOR": str(fast)} if fast else {}))
        d = Daemon(self, ["115200", isqz, self.script, "http://127.0.0.1:9", wlan, eth, gain, scan, version, debug] +
                   ([lanreset] if lanreset is not None else []), env, stdout, closed_stdio)
        self.daemons.append(d)
        return d

    def env(self, extra=None):
        env = dict(os.environ, QZTEST_RECORD=str(self.record), QZTEST_REPLIES=str(self.replies))
        for name in ("NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"):  # no service manager but a test's own
            env.pop(name, None)
        env["PATH"] = str(self.bin) + ":" + env.get("PATH", "/usr/bin:/bin")
        # Never talk to the machine's real NetworkManager: a bus that does not exist.
        env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + str(self.root / "no-bus")
        return dict(env, **(extra or {}))

    def close(self):
        for d in self.daemons:
            d.stop()


@contextlib.contextmanager
def daemon_on_mock(board, devices, **start):
    """A NetworkManager mock on a private bus, devices(nm) to furnish it, and
    a daemon on it that has sent its start-up reports (d.nm is the mock).
    Whatever was started ends on the way out, also when start-up fails."""
    nm = None
    try:
        nm = NmMock(board.root / "nm")
        nm.start()
        devices(nm)
        d = board.start(extra_env=nm.env, **start)
        d.nm = nm
        d.wait_started()
        yield d
    finally:
        board.close()
        if nm is not None:
            nm.close()


class Daemon:
    def __init__(self, board, args, env, stdout=subprocess.PIPE, closed_stdio=False):
        """qzlinkd with args after its device, in a private mount namespace
        where the board's tmp dir is its /tmp."""
        self.board = board
        # A link that tests may re-point at another pty (reopen after hang-up).
        self.device = board.root / "ttyMCU"
        self.device.unlink(missing_ok=True)
        self._new_line(self.device)
        self.lines, self.stderr_lines = [], []
        closer = ["sh", "-c", 'exec "$@" <&- >&- 2>&-', "sh"] if closed_stdio else []
        cmd = private_tmp_argv(board.tmp, [REPO, board.root, qzlinkd_path()]) + closer + [
            qzlinkd_path(), str(self.device)] + [str(a) for a in args]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=stdout, stderr=subprocess.PIPE,
                                     env=board.env(env), start_new_session=True)
        self.mcu.proc = self.proc
        self._readers = [threading.Thread(target=self._pump, args=(s, sink), daemon=True)
                         for s, sink in ((self.proc.stdout, self.lines), (self.proc.stderr, self.stderr_lines)) if s]
        for t in self._readers:
            t.start()

    def _new_line(self, link):
        self.master, slave = pty.openpty()
        tty.setraw(self.master)
        self.slave_path = os.ttyname(slave)
        os.close(slave)
        link.symlink_to(self.slave_path)
        self.mcu = Mcu(self.master, getattr(self, "proc", None))

    @staticmethod
    def _pump(stream, sink):
        for raw in iter(stream.readline, b""):
            sink.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def log_lines(self):
        return list(self.lines)

    def wait_log(self, pattern, timeout=10.0, start=0):
        """Waits for a stdout line matching pattern (a regex, or a plain text
        that must equal a line) at or after line `start`; returns it."""
        match = (lambda l: l == pattern) if isinstance(pattern, str) else pattern.search

        def found():
            hit = next((l for l in self.lines[start:] if match(l)), None)
            if hit is None and self.proc.poll() is not None:
                for t in self._readers:  # the last lines may still be on their way
                    t.join(2)
                hit = next((l for l in self.lines[start:] if match(l)), None)
                if hit is None:
                    raise DaemonExited("qzlinkd exited with status %d before the log line %r; log:\n%s"
                                       % (self.proc.returncode, pattern, "\n".join(self.lines[-30:] +
                                                                                   self.stderr_lines[-10:])))
            return hit
        return until(found, lambda: "no log line %r; log:\n%s" % (pattern, "\n".join(self.lines[-60:])), timeout)

    def wait_started(self, timeout=10.0):
        """Waits for the start-up reports (version and build date)."""
        return self.wait_log(re.compile(r"^COMMAND_FUNC_RDDATE: "), timeout)

    def wait_exit(self, timeout=10.0):
        rc = self.proc.wait(timeout)
        for t in self._readers:
            t.join(2)
        return rc

    def stop(self):
        for sig in (signal.SIGTERM, signal.SIGKILL):
            if self.proc.poll() is None:
                os.killpg(self.proc.pid, sig)
                try:
                    self.proc.wait(3)
                except subprocess.TimeoutExpired:
                    pass
        self.wait_exit()
        if self.master is not None:
            self.hang_up()

    def hang_up(self):
        """Closes the MCU end, as an unplugged adapter looks to the daemon.
        The device link goes first, as an unplugged adapter's node does: the
        daemon lets go of the dead pty at once, and its number may go to a
        pty of another test before replug() points the link at a new one."""
        self.device.unlink(missing_ok=True)
        os.close(self.master)
        self.master = None

    def replug(self):
        """A new pty behind the same device path."""
        tmp_link = self.board.root / "ttyMCU.new"
        self._new_line(tmp_link)
        os.replace(tmp_link, self.device)
