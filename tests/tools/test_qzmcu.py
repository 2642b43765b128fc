"""qzmcu against a daemon played by the test: the bytes it puts on the line
(requests from 0x34, acknowledgements, the layout answer), what it prints,
and how it ends."""
import os
import pty
import subprocess
import sys
import threading
import tty
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "tests" / "integration"))
from qzharness import Mcu, ack, frame  # noqa: E402


def qzmcu_path():
    return os.environ.get("QZMCU") or str(REPO / "build" / "default" / "qzmcu")


class Console:
    """qzmcu on one end of a pty; `line` is the daemon's end."""

    def __init__(self, args, stdin=subprocess.DEVNULL, device=True):
        self.master, argv = None, [qzmcu_path()]
        if device:
            self.master, slave = pty.openpty()
            tty.setraw(self.master)
            argv += ["--device", os.ttyname(slave)]
            os.close(slave)
            self.line = Mcu(self.master)  # reads and writes frames on the master
        self.proc = subprocess.Popen(argv + args, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.lines, self.cond = [], threading.Condition()
        self.pump = threading.Thread(target=self._pump, daemon=True)
        self.pump.start()

    def _pump(self):
        for line in iter(self.proc.stdout.readline, ""):
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def wait_line(self, text, timeout=5.0):
        with self.cond:
            assert self.cond.wait_for(lambda: text in self.lines, timeout), (text, self.lines)

    def ready(self):
        with self.cond:
            self.cond.wait_for(lambda: self.lines, 5)
        assert self.lines[0].startswith("qzmcu: ")

    def finish(self, timeout=10):
        rc = self.proc.wait(timeout)
        self.pump.join(5)
        return rc, self.lines[1:], self.proc.stderr.read()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(5)
        if self.master is not None:
            os.close(self.master)


@pytest.fixture
def consoles():
    made = []

    def make(args, **kw):
        c = Console(args, **kw)
        made.append(c)
        return c
    yield make
    for c in made:
        c.close()


def test_scripted_requests_answers_and_acknowledgements(consoles):
    c = consoles(["--wait", "3000", "version", "volume", "-12.5"])
    c.ready()
    req = c.line.read_frame()
    assert req.raw == frame(bytes.fromhex("05 0B"), 0x34, 1)
    c.line.send_raw(ack(1))
    c.line.send(b"\x05\x12134\x00", addr=0x43, id=9)
    assert c.line.read_frame().raw == ack(9, addr=0x34)
    req = c.line.read_frame()
    assert req.raw == frame(bytes.fromhex("13 06 00 FF 83"), 0x34, 2)
    c.line.send_raw(ack(2))
    c.line.send(bytes.fromhex("13 06 02 FF 88"), addr=0x43, id=10)
    assert c.line.read_frame().raw == ack(10, addr=0x34)
    rc, lines, err = c.finish()
    assert rc == 0, err
    assert lines == ["-> version  [05 0B]", "<- ack 1", "<- version 1.3.4",
                     "-> volume -12.5  [13 06 00 FF 83]", "<- ack 2", "<- main volume -12.0 dB"]


def test_a_blank_third_byte_goes_out_as_it_is(consoles):
    # Framed console sends take such payloads for hex text; the MCU's must not.
    c = consoles(["--wait", "300", "send", "10 02 20 41"])
    c.ready()
    assert c.line.read_frame().raw == frame(bytes.fromhex("10 02 20 41"), 0x34, 1)
    c.line.send_raw(ack(1))
    rc, lines, _ = c.finish()
    assert rc == 0 and lines == ["-> send \"10 02 20 41\"  [10 02 20 41]", "<- ack 1"]


def test_the_whole_wifi_list_completes_a_list_request(consoles):
    c = consoles(["--wait", "3000", "wifi", "list"])
    c.ready()
    assert c.line.read_frame().payload == bytes.fromhex("10 01 01")
    c.line.send_raw(ack(1))
    entry = bytes.fromhex("0F 05 46 02 06 00 1A 2B 3C 4D 5E") + b"Lab\x00"
    c.line.send(bytes.fromhex("10 01 02 05 01 02"), addr=0x43, id=3)
    c.line.send(bytes.fromhex("10 01 02 05 02 02") + entry, addr=0x43, id=4)
    rc, lines, _ = c.finish()
    assert rc == 0  # page 1 of 2 did not end the request: page 2 was read and shown
    assert lines[-1] == '<- wifi list page 2/2, 5 networks: 5. 70% WPA2 ch 6 00:1A:2B:3C:4D:5E "Lab"'


def test_layout_request_is_answered_like_the_mcu(consoles):
    c = consoles(["--watch", "--for", "3", "--layout", "5:1"])
    c.ready()
    c.line.send(bytes.fromhex("06 23 01"), addr=0x43, id=4)
    assert c.line.read_frame().raw == ack(4, addr=0x34)
    assert c.line.read_frame().raw == frame(bytes.fromhex("06 23 02 05 01"), 0x34, 1)
    c.wait_line("-> speaker layout 5.1.0, code 5 (320: FL_FR_LS_RS_FC_LFE)  [06 23 02 05 01]")
    c.proc.terminate()
    rc, lines, _ = c.finish()
    assert rc == 0
    assert lines == ["<- speaker layout request",
                     "-> speaker layout 5.1.0, code 5 (320: FL_FR_LS_RS_FC_LFE)  [06 23 02 05 01]"]


def test_layout_request_without_layout_is_not_answered(consoles):
    c = consoles(["--watch", "--for", "1"])
    c.ready()
    c.line.send(bytes.fromhex("06 23 01"), addr=0x43, id=4)
    assert c.line.read_frame().raw == ack(4, addr=0x34)
    rc, lines, _ = c.finish()
    assert lines == ["<- speaker layout request", "-- no --layout given: the layout request is not answered"]
    assert c.line.pending() == []


def test_missing_answer_and_missing_acknowledgement(consoles):
    c = consoles(["--wait", "300", "filters", "version"])
    c.ready()
    assert c.line.read_frame().payload == bytes.fromhex("13 02 01")
    c.line.send_raw(ack(1))
    assert c.line.read_frame().payload == bytes.fromhex("05 0B")
    rc, lines, _ = c.finish()
    assert rc == 1
    assert lines == ["-> filters  [13 02 01]", "<- ack 1", "-- no answer to 'filters' within 300 ms",
                     "-> version  [05 0B]", "-- no acknowledgement of 'version' within 300 ms"]


def test_power_off_needs_consent_and_nothing_is_sent(consoles):
    c = consoles(["version", "poweroff"])
    rc, lines, err = c.finish()
    assert rc == 2 and "'poweroff' needs --yes" in err
    assert lines == [] and c.line.pending() == []


def test_power_off_with_consent(consoles):
    c = consoles(["--yes", "--wait", "2000", "poweroff"])
    c.ready()
    assert c.line.read_frame().raw == frame(bytes.fromhex("12 01 02 00"), 0x34, 1)
    c.line.send_raw(ack(1))
    rc, lines, _ = c.finish()
    assert rc == 0 and lines == ["-> poweroff  [12 01 02 00]", "<- ack 1"]


def test_bad_frames_are_neither_acknowledged_nor_shown(consoles):
    c = consoles(["--watch", "--for", "2", "--hex"])
    c.ready()
    bad = bytearray(frame(bytes.fromhex("13 03 02"), 0x43, 5))
    bad[-2] ^= 0xFF
    c.line.send_raw(bytes(bad) + b"\x00\xF5")
    c.line.send(bytes.fromhex("13 03 02"), addr=0x43, id=6)
    assert c.line.read_frame().raw == ack(6, addr=0x34)
    rc, lines, _ = c.finish()
    assert c.line.pending() == []
    assert lines == ["Receive error3: " + bytes(bad).hex(" ").upper(),
                     "<- audio reset done  [FA 43 06 03 13 03 02 5E F5]"]


def test_interactive_lines(consoles):
    c = consoles(["--wait", "2000"], stdin=subprocess.PIPE)
    c.ready()
    c.proc.stdin.write('bogus\nselect 1\npoweroff\nwifi connect "My Net" 00:1A:2B:3C:4D:5E\nversion filters\n'
                       'identity QZ000042 "Living\nquit\n')
    c.proc.stdin.flush()
    req = c.line.read_frame()
    assert req.payload == bytes.fromhex("10 02 00 01 07") + b"My Net\x00\x01\x00" + bytes.fromhex("00 1A 2B 3C 4D 5E")
    c.line.send_raw(ack(req.id))
    rc, lines, _ = c.finish()
    assert rc == 0
    assert lines == [
        "-- unknown command 'bogus' (try help)",
        "-- missing on|off",
        "-- 'poweroff' needs --yes on the command line",
        '-> wifi connect "My Net" 00:1A:2B:3C:4D:5E  '
        '[10 02 00 01 07 4D 79 20 4E 65 74 00 01 00 00 1A 2B 3C 4D 5E]',
        "<- ack 1",
        "-- one command a line: 'filters' left over",
        "-- unterminated quote",
    ]


def test_pty_and_link(consoles, tmp_path):
    link = tmp_path / "ttyMCU"
    c = consoles(["--pty", "--link", str(link), "--watch"], device=False)
    c.ready()
    assert c.lines[0] == "qzmcu: pseudo-terminal " + os.readlink(link)
    fd = os.open(str(link), os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(fd)
        daemon = Mcu(fd)
        daemon.send(b"\x05\x12134\x00", addr=0x43, id=7)
        assert daemon.read_frame().raw == ack(7, addr=0x34)
        c.wait_line("<- version 1.3.4")
    finally:
        os.close(fd)
    c.proc.terminate()
    rc, _, _ = c.finish()
    assert rc == 0
    assert not link.exists() and not link.is_symlink()


@pytest.mark.parametrize("args", [[], ["--device", "/dev/null", "--pty"], ["--pty", "--wait", "x"],
                                  ["--device", "/nonexistent/tty"], ["--pty", "--layout", "5"]])
def test_usage_mistakes(args):
    p = subprocess.run([qzmcu_path()] + args, capture_output=True, text=True, timeout=10,
                       stdin=subprocess.DEVNULL)
    assert p.returncode == 2 and p.stderr
