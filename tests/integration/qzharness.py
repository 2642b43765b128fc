"""Runs the real qzlinkd against a simulated board: the Python tests' one
toolkit for frames, the MCU's end of the line, recorded commands and log lines.

A pseudo-terminal stands for the UART (its master end is the MCU), a fake
control script records its argv and serves canned JSON per endpoint, and
recording stubs for poweroff, date, nmcli and ifconfig come first on PATH.
The daemon runs in a private mount namespace with a test directory bound
over /tmp, so its /tmp/dirac is the test's own.
"""
import contextlib
import os
import pty
import re
import select
import signal
import subprocess
import threading
import time
import tty
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
# Product delays divided by this in the daemons the tests start (test-only
# setting of the daemon; a monitor pass then takes 50 ms).
FAST = 20


def qzlinkd_path():
    path = os.environ.get("QZLINKD") or str(REPO / "build" / "default" / "qzlinkd")
    return str(Path(path).resolve())


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

class Mcu:
    def __init__(self, master_fd):
        self.fd = master_fd
        self.buf = b""
        self.next_id = 1

    def _fill(self, timeout):
        r, _, _ = select.select([self.fd], [], [], max(0.0, timeout))
        try:
            data = os.read(self.fd, 65536) if r else b""
        except OSError:
            data = b""
        self.buf += data
        return bool(data)

    def send_raw(self, data):
        os.write(self.fd, bytes(data))

    def send(self, payload, addr=0x34, id=None):
        if id is None:
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
            if not self._fill(deadline - time.monotonic()) and time.monotonic() >= deadline:
                raise TimeoutError("no frame within %.1fs (pending %s)" % (timeout, self.buf.hex(" ")))

    def wait_frame(self, pred, timeout=10.0, seen=None):
        """The next frame matching pred; the ones before it go to `seen`."""
        deadline = time.monotonic() + timeout
        while True:
            f = self.read_frame(deadline - time.monotonic())
            if pred(f):
                return f
            if seen is not None:
                seen.append(f)

    def request(self, payload, addr=0x34, timeout=10.0, skip=None, accept=None):
        """Sends a request; after its acknowledgement, the first frame with a
        payload that `accept` takes (any, by default) and `skip` does not."""
        id = self.send(payload, addr)
        acked = []

        def pred(f):
            if f.is_ack:
                acked.append(f.id == id and f.addr == reply_addr(addr))
                return False
            if skip and skip(f):
                return False
            return (accept is None or accept(f)) and any(acked)
        return self.wait_frame(pred, timeout)

    def expect_ack(self, id, addr=0x43, timeout=5.0):
        f = self.read_frame(timeout)
        assert f.raw == ack(id, addr), "expected ack of %d, got %r" % (id, f)
        return f

    def frames(self, timeout=1.0):
        """Every frame until the line has been quiet for `timeout`."""
        out = []
        try:
            while True:
                out.append(self.read_frame(timeout))
        except TimeoutError:
            return out

    drain = frames

    def pending(self):
        """Every whole frame already on the line, without waiting."""
        return self.frames(0)

    def no_frame(self, timeout=1.0):
        got = self.frames(timeout)
        assert not got, "unexpected frames: %r" % got


# --- the fake control script and the stubs ---------------------------------

FAKE_SCRIPT = r'''#!/bin/sh
# Fake control script: records its argv, serves canned replies.
us=$(printf '\037'); rec=halvane; for a in "$@"; do rec="$rec$us$a"; done
printf '%s\036' "$rec" >> "$QZTEST_RECORD"  # one write: background runs append at once
case "$1 $2" in
  "http get")
    path="${3#*://}"; path="/${path#*/}"; key="$QZTEST_REPLIES/$(printf 'get%s' "${path%%\?*}" | tr '/' '_')"
    [ -f "$key" ] || exit 1
    cat "$key" ;;
  "device uuid") cat "$QZTEST_REPLIES/uuid" 2>/dev/null ;;
esac
exit 0
'''

STUB = r'''#!/bin/sh
# Recording stub: the real command must never run in a test.
us=$(printf '\037'); rec=$(basename "$0"); for a in "$@"; do rec="$rec$us$a"; done
printf '%s\036' "$rec" >> "$QZTEST_RECORD"  # one write: background runs append at once
'''

STUB_NAMES = ("poweroff", "date", "nmcli", "ifconfig", "reboot", "shutdown")
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
        _executable(self.script, FAKE_SCRIPT)
        for name in STUB_NAMES:
            _executable(self.bin / name, STUB)
        self.daemons = []

    def set_reply(self, endpoint, body):
        """What the processor answers to a GET of endpoint (a PUT always succeeds)."""
        (self.replies / ("get" + endpoint).replace("/", "_")).write_text(body)

    def set_uuid(self, text):
        (self.replies / "uuid").write_text(text)

    def commands(self):
        """Every recorded run as (name, argv), in order."""
        data = self.record.read_bytes().decode("utf-8", "surrogateescape")
        return [(r.split("\x1f")[0], r.split("\x1f")[1:]) for r in data.split("\x1e") if r]

    def script_calls(self):
        return [argv for name, argv in self.commands() if name == "halvane"]

    def stub_calls(self, name):
        return [argv for n, argv in self.commands() if n == name]

    def wait_calls(self, pred, timeout=10.0, count=1):
        """Waits until `count` recorded runs match pred((name, argv)); returns them."""
        deadline = time.monotonic() + timeout
        while True:
            got = [c for c in self.commands() if pred(c)]
            if len(got) >= count:
                return got
            if time.monotonic() >= deadline:
                raise TimeoutError("no matching call; calls: %r" % self.commands()[-30:])
            time.sleep(0.02)

    def set_state_files(self, *names):
        (self.dirac / "concord").mkdir(exist_ok=True)  # the fault tests remove it
        for n in ("concord_aplay.pid", "concord_cli.ipc", "capture.ipc"):
            (self.dirac / "concord" / n).write_text("1") if n in names else (self.dirac / "concord" / n).unlink(missing_ok=True)

    def set_processor_state(self, state):
        self.set_state_files(*STATE_FILES[state])

    def start(self, isqz=-1, debug=1, gain=0, scan=0, version=None, wlan=None, eth=None,
              lanreset=None, extra_env=None, fast=None):
        """A daemon on a new line; fast divides its product delays (None: real ones)."""
        env = dict(extra_env or {})
        if fast:
            env["QZLINKD_TEST_TIME_DIVISOR"] = str(fast)
        d = Daemon(self, env)
        args = [d.device, "115200", isqz, self.script, "http://127.0.0.1:9", wlan or "", eth or "", gain, scan,
                version or "", debug] + ([lanreset] if lanreset is not None else [])
        d.run(args)
        self.daemons.append(d)
        return d

    def env(self, extra=None):
        env = dict(os.environ)
        env["PATH"] = str(self.bin) + ":" + env.get("PATH", "/usr/bin:/bin")
        env["QZTEST_RECORD"] = str(self.record)
        env["QZTEST_REPLIES"] = str(self.replies)
        # Never talk to the machine's real NetworkManager: a bus that does not exist.
        env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + str(self.root / "no-bus")
        env.update(extra or {})
        return env

    def close(self):
        for d in self.daemons:
            d.stop()


class Daemon:
    def __init__(self, board, env):
        self.board, self.extra_env = board, env
        # A link that tests may re-point at another pty (reopen after hang-up).
        self.device = board.root / "ttyMCU"
        self.device.unlink(missing_ok=True)
        self.master = None
        self._new_line(self.device)
        self.lines = []
        self.stderr_lines = []
        self._cond = threading.Condition()

    def _new_line(self, link):
        self.master, slave = pty.openpty()
        tty.setraw(self.master)
        self.slave_path = os.ttyname(slave)
        os.close(slave)
        link.symlink_to(self.slave_path)
        self.mcu = Mcu(self.master)

    def run(self, args):
        # Private mount namespace: the board's tmp dir is the daemon's /tmp.
        cmd = ["unshare", "--mount", "--propagation", "private", "sh", "-c", 'mount --bind "$0" /tmp && exec "$@"',
               str(self.board.tmp), qzlinkd_path()] + [str(a) for a in args]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=self.board.env(self.extra_env),
                                     start_new_session=True)
        self._readers = [threading.Thread(target=self._pump, args=(s, sink), daemon=True)
                         for s, sink in ((self.proc.stdout, self.lines), (self.proc.stderr, self.stderr_lines))]
        for t in self._readers:
            t.start()

    def _pump(self, stream, sink):
        for raw in iter(stream.readline, b""):
            with self._cond:
                sink.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self._cond.notify_all()

    def log_lines(self):
        with self._cond:
            return list(self.lines)

    def wait_log(self, pattern, timeout=10.0, start=0):
        """Waits for a stdout line matching pattern (a regex, or a plain text
        that must equal a line) at or after line `start`; returns it."""
        match = (lambda l: l == pattern) if isinstance(pattern, str) else (lambda l: pattern.search(l))
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for line in self.lines[start:]:
                    if match(line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError("no log line %r; log:\n%s" % (pattern, "\n".join(self.lines[-60:])))
                self._cond.wait(left)

    def wait_started(self, timeout=10.0):
        """Waits for the start-up reports (version and build date)."""
        return self.wait_log(re.compile(r"^COMMAND_FUNC_RDDATE: "), timeout)

    def write_stdin(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def wait_exit(self, timeout=10.0):
        rc = self.proc.wait(timeout)
        for t in self._readers:
            t.join(2)
        return rc

    def stop(self):
        if self.proc.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(3)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
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
