"""Misbehaving neighbours: a control script that hangs or floods, odd state
files, a log reader that stalls or goes away, closed standard descriptors.
After each, the daemon still answers byte for byte and logs what it did."""
import os
import re
import select
import subprocess
from pathlib import Path

import pytest

from qzharness import FAST, payload_starts, qzlinkd_path, until

VERSION, VERSION_REPLY = bytes.fromhex("05 0B"), bytes.fromhex("05 12 31 33 34 00")
DEADLINE = {"QZ_COMMAND_TIMEOUT": "1"}
DEVICE_INFO = "13 05 02 00 05 24 28 78 29 00 41 42 31 32 43 44 33 60"  # id AB12CD3`, name $(x)


def gone(pid_file):
    """Whether the process whose pid the hook wrote has ended."""
    pid = until(lambda: pid_file.exists() and pid_file.read_text().strip(), "no pid written")
    return not Path("/proc/" + pid).exists()


def zombies(pid):
    """The daemon's children that ended and were never reaped."""
    out = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[0] == "Z" and int(fields[1]) == pid:
            out.append(stat)
    return out


def get_line(script, path):
    return '%s http get "http://127.0.0.1:9%s" "Content-Type:application/json"' % (script, path)


def consecutive(lines, want):
    """Whether want occurs as a run of consecutive lines."""
    return any(lines[k:k + len(want)] == want for k in range(len(lines) - len(want) + 1))


@pytest.fixture(scope="module")
def d(module_board):
    module_board.set_processor_state(4)
    d = module_board.start(isqz=1, debug=0, fast=FAST, extra_env=DEADLINE)
    d.board = module_board
    d.wait_started()
    return d


# (case, hook of the control script for its first argument, request, reply,
# log lines that follow one another, where {get} is the speaker GET line and
# {script} the script's path)
SCRIPT_CASES = [
    ("sleeps", "http) sleep 30 & echo $! > \"$QZTEST_REPLIES/pid\"; wait ;;",
     "13 06 01", "13 06 02 FE 8E", ["0: ", "Exec timeout after 1 s, ended: {get}", "Exec=-1: {get}"]),
    ("prints, closes its output, sleeps",
     "http) printf '{\"gain\": -5}'; exec >&-; sleep 30 & echo $! > \"$QZTEST_REPLIES/pid\"; wait ;;",
     "13 06 01", "13 06 02 FE 8E",
     ['12: {"gain": -5}', "Exec timeout after 1 s, ended: {get}", "Exec=-1: {get}"]),
    ("leaves a grandchild holding the pipe", "http) printf '{\"gain\": -5}'; sleep 30 & ;;",
     "13 06 01", "13 06 02 FF CE", ['12: {"gain": -5}', "Exec=0: {get}"]),
    ("endless output", "http) yes '{\"gain\": -5}' & echo $! > \"$QZTEST_REPLIES/pid\"; wait ;;", "13 06 01", "13 06 02 FE 8E",
     ['{"gain": -5}', "", "Exec output over 4095 bytes, ended: {get}", "Exec=-1: {get}"]),  # 315 whole lines
    # Without capture: the first 4 KiB as whole lines (1 to 1040), the rest counted.
    ("floods its log", "sample_rate) seq 100000 ;;", "02 7E 00 00 09", None,
     ["1039", "1040", "584802 bytes of output not logged", "Exec=0: {script} sample_rate 48000"]),
    ("floods its log without end", "sample_rate) yes & echo $! > \"$QZTEST_REPLIES/pid\"; wait ;;", "02 7E 00 00 09",
     None, ["Exec timeout after 1 s, ended: {script} sample_rate 48000", "Exec=-1: {script} sample_rate 48000"]),
    # A device action is left to finish, and reaped when it does.
    ("audio reset runs long", "zel_reset) sleep 2; echo done ;;", "13 03 00", "13 03 02",
     ["Exec timeout after 1 s, left running: {script} zel_reset", "Exec=-1: {script} zel_reset"]),
    # A line ending in "&" returns at once, whatever its job does.
    ("identity hand-on sleeps", "device) sleep 3 ;;", DEVICE_INFO, "13 05 03",
     ['Exec=0: {script} device id_name "AB12CD3\\`" "\\$(x)" &']),
]


def test_control_script_that_hangs_or_floods(d):
    b, script = d.board, str(d.board.script)
    for name, hook, request, reply, want in SCRIPT_CASES:
        (b.replies / "pid").unlink(missing_ok=True)
        b.set_hook("halvane.sh", 'case "$1" in %s esac\n' % hook)
        start = len(d.log_lines())
        if reply is None:
            d.mcu.send(bytes.fromhex(request))
        else:
            got = d.mcu.request(bytes.fromhex(request), accept=payload_starts(reply[:8]), timeout=20)
            assert got.payload == bytes.fromhex(reply), name
        want = [w.replace("{get}", get_line(script, "/api/speaker")).replace("{script}", script) for w in want]
        d.wait_log(want[-1], start=start)
        assert consecutive(d.log_lines()[start:], want), (name, d.log_lines()[start:][-8:])
        timeouts = [line for line in d.log_lines()[start:] if line.startswith("Exec timeout")]
        assert len(timeouts) == sum(w.startswith("Exec timeout") for w in want), name
        assert d.mcu.request(VERSION).payload == VERSION_REPLY, name
        if "ended" in " ".join(want):
            until(lambda: gone(b.replies / "pid"), "the ended command's group lives on: " + name)
    d.wait_log("Exec=0 later: %s zel_reset" % script)
    until(lambda: not zombies(d.proc.pid), "zombies left")


def put_fifo(p):
    os.mkfifo(p)


def put_huge(p):
    with open(p, "wb") as f:
        f.truncate(200 << 20)


# speaker.json as other things than a small file: read as having no "gain".
STATE_FILES = [("a FIFO", put_fifo), ("a symlink to /dev/zero", lambda p: p.symlink_to("/dev/zero")),
               ("200 MB", put_huge)]
IGNORED = "Ignored /tmp/dirac/speaker.json: not a regular file of at most 65536 bytes"


def test_odd_speaker_settings_file(d):
    b = d.board
    b.set_hook("halvane.sh", "")
    speaker = b.dirac / "speaker.json"
    for name, make in STATE_FILES:
        start = len(d.log_lines())
        b.set_processor_state(1)
        d.wait_log("DiracState: 1", start=start)
        make(speaker)
        b.set_processor_state(3)
        d.wait_log("Reset zel gain to -37", start=start)
        assert consecutive(d.log_lines()[start:], [IGNORED, "Reset zel gain to -37"]), name
        d.mcu.wait_frame(payload_starts("13 06 02"))  # the main volume report that follows
        assert d.mcu.request(VERSION).payload == VERSION_REPLY, name
        speaker.unlink()


def test_monitor_carries_out_a_queued_gain_past_a_hung_processor(d):
    b, script = d.board, str(d.board.script)
    b.set_hook("halvane.sh", "sleep 30\n")
    b.set_processor_state(3)  # the gain watch asks too, and hangs as well
    start = len(d.log_lines())
    got = d.mcu.request(bytes.fromhex("13 06 00 FF 9C"), accept=payload_starts("13 06 02"), timeout=20)
    assert got.payload == bytes.fromhex("13 06 02 FE 8E")  # the gain read back failed: -37 dB
    put = '%s http put "http://127.0.0.1:9/api/speaker?gain=-10&id=8090"' % script
    lines = d.log_lines()[start:]  # the gain watch's own GETs log between them
    assert lines.index("Exec timeout after 1 s, ended: " + put) < lines.index("Exec=-1: " + put)
    b.set_hook("halvane.sh", "")
    b.set_processor_state(4)


BODY = "[" + ", ".join('{"index": %d, "name": "%s"}' % (i, "x" * 100) for i in range(120)) + "]"
# Every line the daemon writes in this test; a cut or mixed line matches none.
WHOLE = [re.escape(b"%d: %s" % (len(BODY), BODY.encode())), rb"0: ", rb"Exec=\d+: \S+halvane\.sh http get .*",
         rb"dirac filter command: 1", rb"DiracFilter: enabled=255 count=120 index=-1 type=-1 name=",
         rb"Log: \d+ lines dropped", rb"COMMAND_FUNC_RDVER: 134", rb"COMMAND_FUNC_RDDATE: 260728 ", rb"DiracState: 4", rb"DiracDiracState: state=4 code=255",
         rb"Version=1\.3\.4\.260728 ", rb"\S+ 115200\(4098\) true", rb"\S+halvane\.sh", rb"http://127\.0\.0\.1:9", rb"mlan0 eth0",
         rb"DiracDefaultGain=0 AutoWifiScan=0"]


def read_lines(fd, lines, done):
    """Reads the log's lines from fd until done(lines), or until it has been
    quiet for a while when done is None."""
    buf = b""
    while True:
        ready = select.select([fd], [], [], 0.5)[0]
        if not ready and done is None:
            return
        buf += os.read(fd, 1 << 16) if ready else b""
        *whole, buf = buf.split(b"\n")
        lines.extend(whole)
        if done is not None and done(lines):
            return


def test_log_reader_that_stalls_then_goes_away(board):
    board.set_reply("/api/list-slots", BODY)  # about 14 KiB of log a fetch
    r, w = os.pipe()
    d = board.start(isqz=1, debug=0, fast=FAST, stdout=w)
    os.close(w)
    d.mcu.wait_frame(payload_starts("05 13"))  # started: the build-date report
    for _ in range(60):  # some MiB of log against a 64 KiB pipe nobody reads
        d.mcu.request(bytes.fromhex("13 02 01"), accept=payload_starts("13 02 02"))
    lines = []
    read_lines(r, lines, None)  # room again
    assert d.mcu.request(VERSION).payload == VERSION_REPLY
    notes = lambda: [k for k, l in enumerate(lines) if l.startswith(b"Log: ")]  # noqa: E731
    read_lines(r, lines, lambda got: notes() and b"COMMAND_FUNC_RDVER: 134" in got[notes()[-1]:])
    assert re.fullmatch(rb"Log: \d+ lines dropped", lines[notes()[-1]])
    assert [l for l in lines if not any(re.fullmatch(p, l) for p in WHOLE)] == []
    # The reader goes away: no SIGPIPE, and the line is served on.
    os.close(r)
    for _ in range(5):
        assert d.mcu.request(VERSION).payload == VERSION_REPLY
    assert d.proc.poll() is None


def test_started_with_standard_descriptors_closed(board):
    board.set_processor_state(4)
    d = board.start(debug=0, fast=FAST, closed_stdio=True)
    # Whatever number the line has, the monitor passes: the start-up reports,
    # then the first pass's state report.
    assert [d.mcu.read_frame().payload.hex(" ") for _ in range(3)] == \
        ["05 12 31 33 34 00", "05 13 32 36 30 37 32 38 00 00", "13 01 02 04 ff"]
    assert d.mcu.request(VERSION).payload == VERSION_REPLY


def test_bad_command_deadlines_are_logged_and_the_default_used(board):
    for value in ("0", "3601", "10s", "-5"):
        r = subprocess.run([qzlinkd_path(), "/nonexistent/tty", "115200", "1"], capture_output=True, timeout=20,
                           env=board.env({"QZ_COMMAND_TIMEOUT": value}))
        assert r.returncode == 255
        assert r.stdout.decode().splitlines()[0] == \
            "QZ_COMMAND_TIMEOUT=%s is not a number of seconds from 1 to 3600; using 10" % value
