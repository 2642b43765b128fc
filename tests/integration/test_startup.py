"""The command line: modes, banner, console test loop, limits, the line's life."""
import os
import re
import subprocess
import time

import pytest

from qzharness import frame, qzlinkd_path


def run(args, timeout=5, env=None):
    return subprocess.run([qzlinkd_path()] + args, capture_output=True, timeout=timeout, env=env)


@pytest.mark.parametrize("arg,want", [
    ("-v", "1.3.4.260728\n"),
    ("--version", "{exe} version=1.3.4.260728\n"),
])
def test_version_modes(arg, want):
    r = run([arg])
    assert r.returncode == 0
    assert r.stdout.decode() == want.format(exe=qzlinkd_path())


def test_mac_mode_without_networkmanager_exits_255(board):
    r = subprocess.run([qzlinkd_path(), "-m=eth0"], capture_output=True, timeout=10, env=board.env())
    assert r.returncode == 255 and r.stdout == b""


def test_banner_with_given_arguments(board):
    d = board.start(isqz=1, gain=-6, scan=30000, version="3.9.1", wlan="wlan1", eth="eth5",
                    http_root="http://127.0.0.1:8090")
    d.wait_started()
    lines = d.log_lines()
    assert lines[:6] == [
        "Version=1.3.4.260728 3.9.1",
        "%s 115200(4098) true" % d.device,
        str(board.script),
        "http://127.0.0.1:8090",
        "wlan1 eth5",
        "DiracDefaultGain=-6 AutoWifiScan=30000",
    ]


def test_banner_defaults_for_empty_texts_and_unknown_rate(board):
    d = board.start(isqz=1, args=[str(board.root / "ttyMCU"), "12345678", "1", "", "", "", ""])
    d.wait_started()
    lines = d.log_lines()
    assert lines[:6] == [
        "Version=1.3.4.260728 ",
        "%s 12345678(4294967295) true" % (board.root / "ttyMCU"),
        "/opt/qz/bin/halvane.sh",
        "http://127.0.0.1:8090",
        "mlan0 eth0",
        "DiracDefaultGain=0 AutoWifiScan=0",
    ]


@pytest.mark.parametrize("args,banner_line", [
    ([], "/dev/ttyUSB0 115200(4098) true"),
    (["2"], "/dev/ttymxc2 115200(4098) true"),
])
def test_device_defaults_and_shortcut(board, args, banner_line):
    if args == [] and os.path.exists("/dev/ttyUSB0"):
        pytest.skip("this machine has a /dev/ttyUSB0")
    if args == ["2"] and os.path.exists("/dev/ttymxc2"):
        pytest.skip("this machine has a /dev/ttymxc2")
    r = subprocess.run([qzlinkd_path()] + args, capture_output=True, timeout=10, env=board.env())
    out = r.stdout.decode().splitlines()
    assert out[1] == banner_line
    if not args:
        assert out[3] == "http://192.168.1.100:8090" and out[4] == "mlan0 enp2s0"
    assert r.returncode == 255
    assert r.stderr.decode() == "open_port: Unable to open serial port - : No such file or directory\n"


@pytest.mark.parametrize("setting,line", [
    ("30:5", "AutoResetLanTime=30 autoResetLanCount=5"),
    ("30", "AutoResetLanTime=30 autoResetLanCount=3"),
    ("0:2", "AutoResetLanTime=0 autoResetLanCount=2"),
])
def test_lan_reset_argument(board, setting, line):
    d = board.start(isqz=1, lanreset=setting)
    d.wait_started()
    assert d.log_lines()[6] == line


@pytest.mark.parametrize("position,name,limit", [
    (4, "control script path", 1023),
    (5, "processor base URL", 1023),
    (6, "WiFi interface name", 31),
    (7, "LAN interface name", 31),
    (10, "processor version", 54),
])
def test_over_long_texts_are_refused(board, position, name, limit):
    args = [str(board.root / "ttyMCU"), "115200", "1", "", "", "", "", "0", "0", "", "1"]
    args[position - 1] = "x" * (limit + 1)
    r = subprocess.run([qzlinkd_path()] + args, capture_output=True, timeout=10, env=board.env())
    assert r.returncode == 2
    assert r.stderr.decode() == "qzlinkd: %s is longer than %d characters\n" % (name, limit)
    assert r.stdout == b""
    args[position - 1] = "x" * limit  # at the limit it is taken
    r = subprocess.run([qzlinkd_path()] + args, capture_output=True, timeout=10, env=board.env())
    assert r.returncode == 255  # the device link does not exist: the limits passed


def test_raw_console_sends_line_with_two_line_feeds(board):
    d = board.start(isqz=0)
    d.wait_ready()
    d.write_stdin("hello\n")
    assert d.mcu.read_raw(7) == bytes.fromhex("68 65 6C 6C 6F 0A 0A")
    d.write_stdin("exit\n")
    assert d.wait_exit() == 0
    assert d.log_lines()[-1] == "Test end."


def test_framed_console_sends_hex_text_as_frame_and_exit_ends(board):
    d = board.start(isqz=1, debug=0)
    d.wait_started()
    d.mcu.drain(0.5)
    d.write_stdin("05 0B 00\n")
    f = d.mcu.read_frame()
    assert f.addr == 0x43 and f.payload == bytes([0x05, 0x0B, 0x00])
    d.write_stdin("hello\n")
    assert d.mcu.read_frame().payload == b"hello\n"
    d.write_stdin("exit\n")
    assert d.mcu.read_frame().payload == b"exit\n"
    assert d.wait_exit() == 0
    assert d.log_lines()[-1] == "Test end."


def test_end_of_input_ends_console_test(board):
    d = board.start(isqz=1, debug=0)
    d.wait_started()
    d.proc.stdin.close()
    assert d.wait_exit() == 0
    assert "Test end." in d.log_lines()


def _cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _daemon_pid(d):
    # The daemon runs under unshare/sh, which exec into it: same pid.
    return d.proc.pid


def test_hang_up_does_not_spin_and_line_comes_back(board):
    d = board.start(isqz=1, debug=0)
    d.wait_started()
    d.mcu.drain(0.3)
    d.hang_up()
    d.wait_log("Serial line lost: %s" % d.device)
    before = _cpu_seconds(_daemon_pid(d))
    time.sleep(1.0)
    # Retrying every 50 ms costs next to nothing; a busy loop would burn a core.
    assert _cpu_seconds(_daemon_pid(d)) - before < 0.5
    d.replug()
    d.wait_log("Serial line reopened: %s" % d.device)
    reply = d.mcu.request(bytes([0x05, 0x0B]), skip=lambda f: f.payload[:2] != b"\x05\x12")
    assert reply.payload == bytes.fromhex("05 12 31 33 34 00")
    # Senders use the new line too.
    d.write_stdin("05 0C\n")
    assert d.mcu.read_frame().payload == bytes([0x05, 0x0C])


def test_children_do_not_inherit_the_line(board):
    d = board.start(isqz=1, debug=0)
    d.wait_started()
    d.mcu.drain(0.3)
    out = board.root / "fds.txt"
    board.set_hook("poweroff", 'for f in /proc/$$/fd/*; do readlink "$f"; done > "%s"\n' % out)
    d.mcu.send(bytes([0x12, 0x01, 0x02, 0x00]), id=3)
    d.mcu.expect_ack(3)
    board.wait_calls(lambda c: c[0] == "poweroff")
    deadline = time.time() + 3
    while time.time() < deadline and not out.exists():
        time.sleep(0.05)
    time.sleep(0.2)
    targets = out.read_text().split()
    assert not [t for t in targets if t.startswith("/dev/pts/")], targets
