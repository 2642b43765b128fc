"""Runs the real qzlinkd against a simulated board.

A pseudo-terminal stands for the UART (its master end is the MCU), a fake
control script records its argv and serves canned JSON per endpoint, and
recording stubs for poweroff, date, nmcli and ifconfig come first on PATH.
The daemon runs in a private mount namespace with a test directory bound
over /tmp, so its /tmp/dirac is the test's own.
"""
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import tempfile
import termios
import threading
import time
import tty
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent


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


class Frame:
    def __init__(self, raw):
        self.raw = bytes(raw)
        self.addr = raw[1]
        self.id = raw[2]
        if raw[3] & 0xC0 == 0xC0:
            n = ((raw[3] & 0x3F) << 8) | raw[4]
            self.payload = bytes(raw[5:5 + n])
        else:
            self.payload = bytes(raw[4:4 + raw[3]])

    @property
    def is_ack(self):
        return len(self.payload) == 0

    def __repr__(self):
        return "Frame(addr=%02X id=%d payload=%s)" % (self.addr, self.id, self.payload.hex(" "))


def parse_one(buf):
    """Returns (frame or None, bytes consumed) for the start of buf; frames
    from the daemon are taken whole by their length, like the MCU does."""
    start = buf.find(b"\xFA")
    if start < 0:
        return None, len(buf)
    if start > 0:
        return None, start
    if len(buf) < 6:
        return None, 0
    if buf[3] & 0xC0 == 0xC0:
        total = (((buf[3] & 0x3F) << 8) | buf[4]) + 8
    else:
        total = buf[3] + 6
    if len(buf) < total:
        return None, 0
    return Frame(buf[:total]), total


# --- the MCU end of the line ----------------------------------------------

class Mcu:
    def __init__(self, master_fd):
        self.fd = master_fd
        self.buf = b""
        self.next_id = 1
        self.raw_bytes = b""  # every byte received, for unframed checks

    def _fill(self, deadline):
        timeout = max(0.0, deadline - time.monotonic())
        r, _, _ = select.select([self.fd], [], [], timeout)
        if not r:
            return False
        try:
            data = os.read(self.fd, 65536)
        except OSError:
            return False
        self.buf += data
        self.raw_bytes += data
        return bool(data)

    def send_raw(self, data):
        os.write(self.fd, bytes(data))

    def send(self, payload, addr=0x34, id=None):
        if id is None:
            id = self.next_id
            self.next_id = self.next_id % 255 + 1
        self.send_raw(frame(payload, addr, id))
        return id

    def read_frame(self, timeout=3.0):
        deadline = time.monotonic() + timeout
        while True:
            while self.buf:
                f, used = parse_one(self.buf)
                if used == 0:
                    break
                self.buf = self.buf[used:]
                if f is not None:
                    return f
            if time.monotonic() >= deadline or not self._fill(deadline):
                if time.monotonic() >= deadline:
                    raise TimeoutError("no frame within %.1fs (pending %s)" % (timeout, self.buf.hex(" ")))

    def read_raw(self, count, timeout=3.0):
        deadline = time.monotonic() + timeout
        while len(self.buf) < count and time.monotonic() < deadline:
            self._fill(deadline)
        data, self.buf = self.buf[:count], self.buf[count:]
        return data

    def frames(self, timeout=1.0):
        """Every frame that arrives within timeout."""
        out = []
        deadline = time.monotonic() + timeout
        while True:
            try:
                out.append(self.read_frame(max(0.0, deadline - time.monotonic())))
            except TimeoutError:
                return out

    def no_frame(self, timeout=1.0):
        got = self.frames(timeout)
        assert not got, "unexpected frames: %r" % got

    def expect_ack(self, id, addr=0x43, timeout=3.0):
        f = self.read_frame(timeout)
        assert f.raw == ack(id, addr), "expected ack of %d, got %r" % (id, f)
        return f

    def request(self, payload, addr=0x34, timeout=5.0, skip=None):
        """Sends a request, checks its acknowledgement and returns the next
        frame with a payload. `skip(frame)` may pass over unsolicited ones."""
        id = self.send(payload, addr)
        self.expect_ack(id, ((addr << 4) | (addr >> 4)) & 0xFF)
        deadline = time.monotonic() + timeout
        while True:
            f = self.read_frame(max(0.0, deadline - time.monotonic()))
            if f.is_ack:
                continue
            if skip is not None and skip(f):
                continue
            return f

    def drain(self, timeout=0.3):
        return self.frames(timeout)


# --- the fake control script and the stubs ---------------------------------

FAKE_SCRIPT = r'''#!/bin/sh
# Fake control script: records its argv, serves canned replies.
rec="$QZTEST_RECORD"
{
  printf 'halvane'
  for a in "$@"; do printf '\037%s' "$a"; done
  printf '\036'
} >> "$rec"
replies="$QZTEST_REPLIES"
case "$1" in
  http)
    if [ "$2" = get ] || [ "$2" = put ]; then
      url="$3"; path="${url#*://}"; path="/${path#*/}"; path="${path%%\?*}"
      key=$(printf '%s' "$2$path" | tr '/' '_')
      if [ -f "$replies/$key.sh" ]; then . "$replies/$key.sh"; fi
      if [ -f "$replies/$key" ]; then cat "$replies/$key"; fi
      if [ -f "$replies/$key.status" ]; then exit "$(cat "$replies/$key.status")"; fi
      [ "$2" = put ] && exit 0
      [ -f "$replies/$key" ] && exit 0
      exit 1
    fi ;;
  device)
    if [ "$2" = uuid ] && [ -f "$replies/uuid" ]; then cat "$replies/uuid"; fi ;;
esac
exit 0
'''

STUB = r'''#!/bin/sh
# Recording stub: the real command must never run in a test.
{
  printf '%s' "$(basename "$0")"
  for a in "$@"; do printf '\037%s' "$a"; done
  printf '\036'
} >> "$QZTEST_RECORD"
if [ -x "$QZTEST_HOOKS/$(basename "$0")" ]; then exec "$QZTEST_HOOKS/$(basename "$0")" "$@"; fi
exit 0
'''

STUB_NAMES = ("poweroff", "date", "nmcli", "ifconfig", "reboot", "shutdown")


class Board:
    def __init__(self, root):
        self.root = Path(root)
        self.tmp = self.root / "tmp"
        self.dirac = self.tmp / "dirac"
        self.bin = self.root / "bin"
        self.replies = self.root / "replies"
        self.hooks = self.root / "hooks"
        self.record = self.root / "calls.log"
        for d in (self.tmp, self.dirac / "concord", self.bin, self.replies, self.hooks):
            d.mkdir(parents=True, exist_ok=True)
        self.record.write_bytes(b"")
        self.script = self.bin / "halvane.sh"
        self.script.write_text(FAKE_SCRIPT)
        self.script.chmod(0o755)
        for name in STUB_NAMES:
            p = self.bin / name
            p.write_text(STUB)
            p.chmod(0o755)
        self.daemons = []

    # replies of the fake control script
    def set_reply(self, endpoint, body, status=None, method="get"):
        key = (method + endpoint).replace("/", "_")
        (self.replies / key).write_text(body)
        st = self.replies / (key + ".status")
        if status is None:
            st.unlink(missing_ok=True)
        else:
            st.write_text(str(status))

    def clear_reply(self, endpoint, method="get"):
        key = (method + endpoint).replace("/", "_")
        for suffix in ("", ".status", ".sh"):
            (self.replies / (key + suffix)).unlink(missing_ok=True)

    def set_uuid(self, text):
        (self.replies / "uuid").write_text(text)

    def set_hook(self, name, body):
        """Shell code run by the stub `name` after recording (e.g. to act on a mock)."""
        p = self.hooks / name
        p.write_text("#!/bin/sh\n" + body)
        p.chmod(0o755)

    # recorded calls
    def commands(self):
        data = self.record.read_bytes().decode("utf-8", "surrogateescape")
        out = []
        for rec in data.split("\x1e"):
            if rec:
                parts = rec.split("\x1f")
                out.append((parts[0], parts[1:]))
        return out

    def script_calls(self):
        return [argv for name, argv in self.commands() if name == "halvane"]

    def stub_calls(self, name):
        return [argv for n, argv in self.commands() if n == name]

    def wait_calls(self, pred, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            got = [c for c in self.commands() if pred(c)]
            if got:
                return got
            time.sleep(0.05)
        raise TimeoutError("no matching call; calls: %r" % self.commands())

    # processor state files as the daemon sees them under /tmp/dirac
    def set_state_files(self, *names):
        concord = self.dirac / "concord"
        for n in ("concord_aplay.pid", "concord_cli.ipc", "capture.ipc"):
            p = concord / n
            if n in names:
                p.write_text("1")
            else:
                p.unlink(missing_ok=True)

    def set_processor_state(self, state):
        files = {3: ("concord_aplay.pid",), 1: ("concord_cli.ipc",), 0: ("capture.ipc",), 4: ()}
        self.set_state_files(*files[state])

    def start(self, isqz=-1, debug=1, gain=0, scan=0, version=None, wlan=None, eth=None,
              lanreset=None, http_root=None, baud="115200", extra_env=None, args=None,
              isolate=True):
        d = Daemon(self, isqz, debug, gain, scan, version, wlan, eth, lanreset, http_root,
                   baud, extra_env or {}, args, isolate)
        self.daemons.append(d)
        return d

    def env(self, extra=None):
        env = dict(os.environ)
        env["PATH"] = str(self.bin) + ":" + env.get("PATH", "/usr/bin:/bin")
        env["QZTEST_RECORD"] = str(self.record)
        env["QZTEST_REPLIES"] = str(self.replies)
        env["QZTEST_HOOKS"] = str(self.hooks)
        # Never talk to the machine's real NetworkManager: a bus that does not exist.
        env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + str(self.root / "no-bus")
        env.update(extra or {})
        return env

    def close(self):
        for d in self.daemons:
            d.stop()


def _raw_master(fd):
    attrs = termios.tcgetattr(fd)
    tty.setraw(fd)
    return attrs


class Daemon:
    def __init__(self, board, isqz, debug, gain, scan, version, wlan, eth, lanreset,
                 http_root, baud, extra_env, args, isolate):
        self.board = board
        self.master, slave = pty.openpty()
        _raw_master(self.master)
        self.slave_path = os.ttyname(slave)
        os.close(slave)
        # A link that tests may re-point at another pty (reopen after hang-up).
        self.device = board.root / "ttyMCU"
        if self.device.is_symlink() or self.device.exists():
            self.device.unlink()
        self.device.symlink_to(self.slave_path)
        self.mcu = Mcu(self.master)
        if args is None:
            args = [str(self.device), baud, str(isqz), str(board.script),
                    http_root or "http://127.0.0.1:9", wlan or "", eth or "", str(gain),
                    str(scan), version or "", str(debug)]
            if lanreset is not None:
                args.append(lanreset)
        cmd = [qzlinkd_path()] + [str(a) for a in args]
        if isolate:
            # Private mount namespace: the board's tmp dir is the daemon's /tmp.
            cmd = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                   'mount --bind "$0" /tmp && exec "$@"', str(board.tmp)] + cmd
        self.lines = []
        self.stderr_lines = []
        self._cond = threading.Condition()
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=board.env(extra_env),
                                     start_new_session=True)
        self._readers = [threading.Thread(target=self._pump, args=(self.proc.stdout, self.lines), daemon=True),
                         threading.Thread(target=self._pump, args=(self.proc.stderr, self.stderr_lines), daemon=True)]
        for t in self._readers:
            t.start()

    def _pump(self, stream, sink):
        for raw in iter(stream.readline, b""):
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self._cond:
                sink.append(line)
                self._cond.notify_all()

    def log_lines(self):
        with self._cond:
            return list(self.lines)

    def log_text(self):
        return "\n".join(self.log_lines())

    def wait_log(self, pattern, timeout=5.0, start=0):
        """Waits for a stdout line matching pattern (a regex or a plain text
        that must equal a line); returns it."""
        if isinstance(pattern, str):
            match = lambda line: line == pattern
        else:
            match = lambda line: pattern.search(line) is not None
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

    def wait_ready(self, timeout=5.0):
        """Waits until the line is open and configured: input that arrives
        before the set-up is flushed by it."""
        self.wait_log(re.compile(r"^DiracDefaultGain="), timeout)
        time.sleep(0.3)

    def wait_started(self, timeout=5.0):
        """Waits for the start-up reports (version and build date)."""
        return self.wait_log(re.compile(r"^COMMAND_FUNC_RDDATE: "), timeout)

    def write_stdin(self, text):
        self.proc.stdin.write(text.encode() if isinstance(text, str) else text)
        self.proc.stdin.flush()

    def wait_exit(self, timeout=5.0):
        rc = self.proc.wait(timeout)
        for t in self._readers:
            t.join(2)
        return rc

    def stop(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(3)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(3)
        for t in self._readers:
            t.join(2)
        if self.master is not None:
            try:
                os.close(self.master)
            except OSError:
                pass
            self.master = None

    def hang_up(self):
        """Closes the MCU end, as an unplugged adapter looks to the daemon.
        The device link goes first, as an unplugged adapter's node does: the
        daemon lets go of the dead pty at once, and its number may go to a
        pty of another test before replug() points the link at a new one."""
        self.device.unlink()
        os.close(self.master)
        self.master = None

    def replug(self):
        """A new pty behind the same device path."""
        self.master, slave = pty.openpty()
        _raw_master(self.master)
        self.slave_path = os.ttyname(slave)
        os.close(slave)
        tmp_link = self.board.root / "ttyMCU.new"
        tmp_link.symlink_to(self.slave_path)
        os.replace(tmp_link, self.device)
        self.mcu = Mcu(self.master)
