"""qzmcu as a process, against a daemon played by the test: the frames it
puts on the line, the transcript it prints and its exit status. What it
encodes and decodes is unit-tested in the C++ tests beside this file."""
import os
import pty
import subprocess
import sys
import tty
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "tests" / "integration"))
from qzharness import Mcu, ack, frame  # noqa: E402

QZMCU = os.environ.get("QZMCU") or str(REPO / "build" / "default" / "qzmcu")


def start(args, stdin=subprocess.DEVNULL):
    """qzmcu on a pty's slave: the process and the daemon's end (the master).
    Every run ends on its own: its waits are bounded, its input ends."""
    master, slave = pty.openpty()
    tty.setraw(master)
    proc = subprocess.Popen([QZMCU, "--device", os.ttyname(slave)] + args, stdin=stdin,
                            stdout=subprocess.PIPE, text=True)
    os.close(slave)
    return proc, Mcu(master)


def hex_words(data):
    return data.hex(" ").upper()


def transcript(proc):
    """The exit status and the lines after the banner, once qzmcu has ended."""
    out, _ = proc.communicate(timeout=20)
    return proc.returncode, out.splitlines()[1:]


def test_scripted_requests_wait_for_their_answers():
    # A blank third byte goes out as it is (framed console sends would take it
    # for hex text); poweroff goes with --yes; the last two go unanswered.
    # Without --layout the daemon's layout request is not answered.
    proc, line = start(["--yes", "--wait", "2000", "version", "send", "10 02 20 41", "poweroff",
                        "filters", "version"])
    assert line.read_frame().raw == frame(bytes.fromhex("05 0B"), 0x34, 1)
    line.send_raw(ack(1) + frame(bytes.fromhex("06 23 01"), 0x43, 8)
                  + frame(b"\x05\x12134\x00", 0x43, 9))
    assert [line.read_frame().raw for _ in range(2)] == [ack(8, addr=0x34), ack(9, addr=0x34)]
    for id, payload in ((2, "10 02 20 41"), (3, "12 01 02 00"), (4, "13 02 01")):
        assert line.read_frame().raw == frame(bytes.fromhex(payload), 0x34, id)
        line.send_raw(ack(id))
    assert line.read_frame().payload == bytes.fromhex("05 0B")
    assert transcript(proc) == (1, [
        "-> version  [05 0B]", "<- ack 1", "<- speaker layout request",
        "-- no --layout given: the layout request is not answered", "<- version 1.3.4",
        '-> send "10 02 20 41"  [10 02 20 41]', "<- ack 2", "-> poweroff  [12 01 02 00]",
        "<- ack 3", "-> filters  [13 02 01]", "<- ack 4", "-- no answer to 'filters' within 2000 ms",
        "-> version  [05 0B]", "-- no acknowledgement of 'version' within 2000 ms"])
    assert line.drain(0) == []
    os.close(line.fd)


def test_watch_on_a_pty_answers_the_layout_request_and_drops_bad_frames(tmp_path):
    # A signal ends the watch, and the --link goes with it.
    link = tmp_path / "ttyMCU"
    proc = subprocess.Popen([QZMCU, "--pty", "--link", str(link), "--watch", "--hex", "--layout",
                             "5:1"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "qzmcu: pseudo-terminal %s\n" % os.readlink(link)
        line = Mcu(os.open(str(link), os.O_RDWR | os.O_NOCTTY))
        tty.setraw(line.fd)
        bad = frame(bytes.fromhex("13 03 02"), 0x43, 5)[:-2] + b"\x00\xF5"  # checksum 5B
        request = frame(bytes.fromhex("06 23 01"), 0x43, 6)
        answer = frame(bytes.fromhex("06 23 02 05 01"), 0x34, 1)
        line.send_raw(bad + request)
        assert line.read_frame().raw == ack(6, addr=0x34)  # none for the bad frame's id 5
        assert line.read_frame().raw == answer
        lines = [proc.stdout.readline() for _ in range(3)]
        proc.terminate()
        assert proc.wait(10) == 0 and line.drain(0) == []
        assert lines == ["Receive error3: %s\n" % hex_words(bad),
                         "<- speaker layout request  [%s]\n" % hex_words(request),
                         "-> speaker layout 5.1.0, code 5 (320: FL_FR_LS_RS_FC_LFE)  [%s]\n"
                         % hex_words(answer)]
        assert not link.exists() and not link.is_symlink()
        os.close(line.fd)
    finally:
        proc.kill()
        proc.wait(5)


def test_interactive_lines():
    proc, line = start(["--wait", "2000"], stdin=subprocess.PIPE)
    proc.stdin.write('bogus\npoweroff\nversion filters\nidentity QZ000042 "Living\n'
                     'lan on\nquit\n')
    proc.stdin.flush()
    assert line.read_frame().payload == bytes.fromhex("10 03 00 01")
    line.send_raw(ack(1))
    assert transcript(proc) == (0, [
        "-- unknown command 'bogus' (try help)",
        "-- 'poweroff' needs --yes on the command line",
        "-- one command a line: 'filters' left over", "-- unterminated quote",
        "-> lan on  [10 03 00 01]", "<- ack 1"])
    os.close(line.fd)


@pytest.mark.parametrize("args", [[], ["--device", "/dev/null", "--pty"], ["--pty", "--wait", "x"],
                                  ["--device", "/nonexistent/tty"], ["--pty", "--layout", "300:1"],
                                  ["--pty", "version", "poweroff"]])
def test_usage_mistakes(args):
    p = subprocess.run([QZMCU] + args, capture_output=True, text=True, timeout=10,
                       stdin=subprocess.DEVNULL)
    assert p.returncode == 2 and p.stderr
