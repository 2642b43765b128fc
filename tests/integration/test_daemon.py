"""The real daemon as a process on a real line: the command line and its
refusals, requests whose work crosses threads or processes (the control
script through a real shell, the stubs, the monitor's queue, NetworkManager),
the console, hang-ups and cut frames. The reply bytes are the unit tests' job."""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

import qzharness
from qzharness import FAST, daemon_on_mock, payload_starts, qzlinkd_path
from nmmock import ACTIVATED, DISCONNECTED

ABSENT = "/nonexistent/ttyMCU"
NO_TTY = "open_port: Unable to open serial port - : No such file or directory\n"
RANGE = "qzlinkd: %s is out of range (-2147483648 to %d)\n"
COUNT_RANGE = "qzlinkd: LAN reset count is out of range (0 to 2147483647)\n"
# One argument per limit (the banner rows below show where each argument lands).
TEXTS = [(4, "control script path", 1023), (7, "LAN interface name", 31), (10, "processor version", 54)]


def with_arg(position, value):
    args = [ABSENT, "115200", "1", "", "", "", "", "0", "0", "", "0"] + [""] * (position - 11)
    args[position - 1] = value
    return args


# (arguments, exit status, standard error, lines the log must hold; None: no log at all)
COMMAND_LINES = [
    (["-v"], 0, "", ["1.3.4.260728"]),
    (["--version"], 0, "", [qzlinkd_path() + " version=1.3.4.260728"]),
    (["2"], 255, NO_TTY, ["/dev/ttymxc2 115200(4098) true"]),
    # A device path holding "-m" runs the daemon; only these select MAC mode (no bus here: no address).
    (["/nonexistent/qz-mcu"], 255, NO_TTY, ["/nonexistent/qz-mcu 115200(4098) true"]),
    (["-m"], 255, "", None), (["-m=eth0"], 255, "", None), (["--mac"], 255, "", None),
    ([ABSENT, "12345678", "1", "", "", "", ""], 255, NO_TTY,  # empty texts keep the built-in values
     [ABSENT + " 12345678(4294967295) true", "/opt/qz/bin/halvane.sh", "http://127.0.0.1:8090", "mlan0 eth0"]),
    ([ABSENT, "115200", "1", "s", "u", "w", "e", "-6", "30000", "3.9.1", "0", "30:5"], 255, NO_TTY,
     ["Version=1.3.4.260728 3.9.1", "s", "u", "w e", "DiracDefaultGain=-6 AutoWifiScan=30000",
      "AutoResetLanTime=30 autoResetLanCount=5"]),
    (with_arg(12, "30"), 255, NO_TTY, ["AutoResetLanTime=30 autoResetLanCount=3"]),
    (["/dev/null", "115200", "1"], 255,
     "open_port: Unable to open serial port - : Inappropriate ioctl for device\n", []),
    # atoi would wrap these silently: a LAN reset time just past its limit would fire at once.
    (with_arg(12, "1073742"), 2, RANGE % ("LAN reset time", 1073741), None),
    (with_arg(12, "1073741:3"), 255, NO_TTY, []),
    (with_arg(12, "30:99999999999"), 2, COUNT_RANGE, None),
    (with_arg(12, "1:-2147483648"), 2, COUNT_RANGE, None),  # would overflow when counted down
    (with_arg(12, "1:-1"), 2, COUNT_RANGE, None),
    (with_arg(8, "4294967296"), 2, RANGE % ("default gain", 2147483647), None),
    (with_arg(9, "-3000000000"), 2, RANGE % ("WiFi scan period", 2147483647), None),
    (with_arg(11, "2147483647"), 255, NO_TTY, []),
] + [(with_arg(p, "x" * (n + 1)), 2, "qzlinkd: %s is longer than %d characters\n" % (name, n), None)
     for p, name, n in TEXTS] + [(with_arg(p, "x" * n), 255, NO_TTY, []) for p, name, n in TEXTS]


def test_command_lines(board):
    for args, status, error, lines in COMMAND_LINES:
        r = subprocess.run([qzlinkd_path()] + args, capture_output=True, timeout=20, env=board.env())
        out = r.stdout.decode().splitlines()
        assert (r.returncode, r.stderr.decode()) == (status, error), args
        assert out == [] if lines is None else set(lines) <= set(out), (args, out)


def test_raw_console_and_a_line_opened_close_on_exec(board, tmp_path):
    # Close-on-exec in the open itself: a flag set afterwards leaves a window
    # in which a script started by another thread inherits the line.
    master, slave = os.openpty()
    path, trace = os.ttyname(slave), tmp_path / "trace"
    r = subprocess.run(["strace", "-f", "-qq", "-e", "trace=openat", "-o", str(trace), qzlinkd_path(), path,
                        "115200", "0"], input=b"hello\n", capture_output=True, timeout=20, env=board.env())
    assert (r.returncode, r.stdout.decode().splitlines()[-1]) == (0, "Test end.")
    assert os.read(master, 100) == b"hello\n\n"  # raw: the line and one more line feed
    os.close(slave)
    os.close(master)
    opens = [line for line in trace.read_text().splitlines() if '"%s"' % path in line]
    assert len(opens) == 1 and '"%s", O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC)' % path in opens[0], opens


HOSTILE = 'Liv"ing $(reboot) `reboot`; reboot & \\ \'x\'\nnext'


def two_devices(nm):
    nm.wl, nm.eth = nm.add_wifi("mlan0", DISCONNECTED), nm.add_ethernet("eth0", DISCONNECTED)


@pytest.fixture(scope="module")
def walk(module_board):
    # Started up: the line is set up, what came before would be flushed.
    with daemon_on_mock(module_board, two_devices, wlan="mlan0", eth="eth0", fast=FAST) as d:
        yield d, module_board, d.nm


# (request, the run it causes; the replies are the unit tests'). The gain
# is set by the monitor's thread.
REQUESTS = [
    (bytes([0x13, 0x05, 0x02, 0x00, len(HOSTILE) + 1]) + HOSTILE.encode() + b"\0AB12CD34",
     ("halvane", ["device", "id_name", "AB12CD34", HOSTILE])),
    (bytes.fromhex("12 01 02 00"), ("poweroff", [])),
    (bytes.fromhex("13 06 00 FF F6"), ("halvane", ["http", "put", "http://127.0.0.1:9/api/speaker?gain=-1&id=8090"])),
]


def test_requests_run_what_they_ask_for(walk):
    d, b, _ = walk
    for request, call in REQUESTS:
        d.mcu.send(request)
        b.wait_calls(lambda c: c == call)
    assert "reboot" not in [name for name, _ in b.commands()]


def test_date_sync_flag_follows_an_activated_device(walk):
    d, _, nm = walk
    d.wait_log("eth0 state: UNKNOWN --> DISCONNECTED")
    for device, iface in ((None, None), (nm.eth, "eth0"), (nm.wl, "mlan0")):
        if device:
            mark = len(d.log_lines())
            nm.set_state(nm.eth, DISCONNECTED)
            nm.set_state(device, ACTIVATED)
            d.wait_log(re.compile(r"^%s state: \w+ --> ACTIVATED$" % iface), start=mark)
        f = d.mcu.request(bytes.fromhex("10 05 01"), accept=payload_starts("10 05 02"))
        assert f.payload[3] == (device is not None)


def test_hang_up_drops_the_cut_frame_and_the_new_line_serves(board):
    d = board.start(isqz=1, debug=0, fast=FAST)
    d.wait_started()
    d.mcu.send_raw(bytes.fromhex("FA 34 07 C3 FF 00"))  # a long header, then the line goes
    d.wait_log("Receiving long package: size=1023 (0x03FF)")
    old, fds = d.slave_path, "/proc/%d/fd/" % d.proc.pid
    d.hang_up()
    d.wait_log("Serial line lost: %s" % d.device)
    # Closed before the loss is logged: a dead tty held would keep a replugged adapter off its name.
    assert old not in [os.path.realpath(fds + fd) for fd in os.listdir(fds)]
    d.replug()
    d.wait_log("Serial line reopened: %s" % d.device)
    d.mcu.request(bytes.fromhex("05 0B"), accept=payload_starts("05 12"))
    d.wait_log("Receive error2: FA 34 07 C3")
    # The framed console sends each line as a frame, on the new line too; "exit" ends the run.
    for text, payload in (("05 0B 00\n", bytes.fromhex("05 0B 00")), ("hello\n", b"hello\n"), ("exit\n", b"exit\n")):
        d.proc.stdin.write(text.encode())
        d.proc.stdin.flush()
        assert d.mcu.wait_frame(lambda f: not f.is_ack).payload == payload
    assert (d.wait_exit(), d.log_lines()[-1]) == (0, "Test end.")


FAILING_START = '''
import qzharness
def test_start_up_fails(tmp_path):
    with qzharness.daemon_on_mock(qzharness.Board(tmp_path), lambda nm: nm.add_wifi("mlan0"), gain="4294967296"):
        pass
'''
# Lists the processes of the pid namespace but its first shell and itself.
LIST = "import os; print(sorted(open('/proc/%s/cmdline' % p).read().split(chr(0))[0] for p in os.listdir('/proc')" \
       " if p.isdigit() and int(p) not in (1, os.getpid())))"


def test_a_failed_start_up_leaves_no_process(tmp_path):
    # In a pid namespace of its own, listed after pytest ends (and then ended whole).
    (tmp_path / "test_inner.py").write_text(FAILING_START)
    inner = '/usr/bin/python3 -m pytest -q -p no:cacheprovider --basetemp="$0/work" "$0/test_inner.py"; ' \
            'echo "rc=$?"; /usr/bin/python3 -c "$1"'
    r = subprocess.run(["unshare", "--pid", "--fork", "--kill-child", "--mount-proc", "sh", "-c", inner, str(tmp_path),
                        LIST], capture_output=True, text=True, timeout=60,
                       env=dict(os.environ, PYTHONPATH=str(qzharness.REPO / "tests" / "integration")))
    out = r.stdout.splitlines()
    assert "qzlinkd exited with status 2 before" in r.stdout and out[-2:] == ["rc=1", "[]"], r.stdout[-3000:]


def test_a_dead_daemon_fails_the_mcu_at_once(board):
    d = board.start(isqz=1, debug=0, fast=FAST)
    d.wait_started()
    os.kill(d.proc.pid, signal.SIGKILL)  # as a crash ends it
    start = time.monotonic()
    with pytest.raises(qzharness.DaemonExited, match=r"^qzlinkd exited with status -9$"):
        d.mcu.send_raw(bytes(1 << 20))  # far more than the line holds
    assert time.monotonic() - start < 2


def test_a_board_under_tmp_serves():
    # Its pty link and stubs lie under the /tmp that the daemon sees replaced.
    root = tempfile.mkdtemp(prefix="qzboard-test-", dir="/tmp")
    b = qzharness.Board(root)
    try:
        d = b.start(isqz=1, debug=0, fast=FAST)
        d.wait_started()
        d.mcu.request(bytes.fromhex("13 05 05"), accept=payload_starts("13 05 06"))
        assert ("halvane", ["device", "uuid"]) in b.commands()
    finally:
        b.close()
        shutil.rmtree(root, ignore_errors=True)
