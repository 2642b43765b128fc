"""What a real board does to the daemon and our simulations hide: a line that
hangs up mid-frame, devices that are not terminals, arguments that overflow,
a WiFi password near the log, a machine without mount namespaces."""
import os
import stat
import subprocess
import time
from pathlib import Path

import pytest

from qzharness import REPO, qzlinkd_path
from nmmock import nm, ACTIVATED  # noqa: F401

VERSION = bytes.fromhex("05 0B")


def is_version(f):
    return f.payload[:2] == b"\x05\x12"


def line_fds(pid, slave):
    fds = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith(slave):
            fds.append(target)
    return fds


def wait_until(pred, timeout):
    deadline = time.monotonic() + timeout
    while not pred():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def test_hang_up_lets_go_of_the_line_and_drops_the_cut_frame(board):
    d = board.start(isqz=1, debug=0)
    d.wait_started()
    d.mcu.drain(0.3)
    for cut in (b"", bytes.fromhex("FA 34 07 C3 FF 00")):
        mark = len(d.log_lines())
        if cut:  # the header is read before the line goes
            d.mcu.send_raw(cut)
            d.wait_log("Receiving long package: size=1023 (0x03FF)", start=mark)
        old = d.slave_path
        d.hang_up()
        d.wait_log("Serial line lost: %s" % d.device, start=mark)
        # Holding the dead tty would keep a replugged adapter off its name.
        assert wait_until(lambda: not line_fds(d.proc.pid, old), 1.0), line_fds(d.proc.pid, old)
        d.replug()
        d.wait_log("Serial line reopened: %s" % d.device, start=mark)
        id = d.mcu.send(VERSION)
        d.mcu.expect_ack(id, timeout=1.0)
        assert is_version(d.mcu.read_frame(timeout=1.0))
        if cut:
            d.wait_log("Receive error2: FA 34 07 C3", start=mark)


def test_line_is_opened_close_on_exec(board, tmp_path):
    # In the open itself: a flag set afterwards leaves a window in which a
    # script started by another thread inherits the line.
    master, slave = os.openpty()
    path = os.ttyname(slave)
    trace = tmp_path / "trace"
    r = subprocess.run(["strace", "-f", "-qq", "-e", "trace=openat", "-o", str(trace), qzlinkd_path(),
                        path, "115200", "0"], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=20, env=board.env())
    os.close(slave)
    os.close(master)
    assert r.returncode == 0, r.stderr
    opens = [l for l in trace.read_text().splitlines() if '"%s"' % path in l]
    assert len(opens) == 1 and '"%s", O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC)' % path in opens[0], opens


@pytest.mark.parametrize("kind", ["file", "null"])
def test_device_that_is_not_a_terminal_is_refused(board, kind):
    if kind == "file":
        device = board.root / "not-a-tty"
        device.write_bytes(bytes.fromhex("FA 34 01 02 05 0B 40 F5") * 4)
    else:
        device = Path("/dev/null")
        assert stat.S_ISCHR(device.stat().st_mode)
    r = subprocess.run([qzlinkd_path(), str(device), "115200", "1"], capture_output=True,
                       timeout=10, env=board.env())
    assert r.returncode == 255
    assert r.stderr.decode() == "open_port: Unable to open serial port - : Inappropriate ioctl for device\n"
    assert "Serial line" not in r.stdout.decode()


LIMITS = [
    # position, value, the line on standard error (None: accepted)
    (12, "2200000:3", "qzlinkd: LAN reset time is out of range (-2147483648 to 1073741)"),
    (12, "1073742", "qzlinkd: LAN reset time is out of range (-2147483648 to 1073741)"),
    (12, "1073741:3", None),
    (12, "30:99999999999", "qzlinkd: LAN reset count is out of range (-2147483648 to 2147483647)"),
    (8, "4294967296", "qzlinkd: default gain is out of range (-2147483648 to 2147483647)"),
    (9, "-3000000000", "qzlinkd: WiFi scan period is out of range (-2147483648 to 2147483647)"),
    (3, "2147483648", "qzlinkd: mode is out of range (-2147483648 to 2147483647)"),
    (11, "2147483647", None),
]


@pytest.mark.parametrize("position,value,error", LIMITS)
def test_numbers_that_do_not_fit_are_refused(board, position, value, error):
    args = [str(board.root / "no-such-line"), "115200", "1", "", "", "", "", "0", "0", "", "0"]
    args += [""] * (position - len(args))
    args[position - 1] = value
    r = subprocess.run([qzlinkd_path()] + args, capture_output=True, timeout=10, env=board.env())
    if error is None:
        assert r.returncode == 255, r.stderr  # refused only for the missing line
    else:
        assert (r.returncode, r.stderr.decode(), r.stdout) == (2, error + "\n", b"")


def connect_body(name, password, bssid=bytes.fromhex("00 1A 2B 3C 4D 5E")):
    n, m = name + b"\x00", password + b"\x00"
    return bytes.fromhex("10 02 00 01") + bytes([len(n)]) + n + bytes([len(m)]) + m + bssid


def test_wifi_password_never_reaches_the_log(board, nm):
    nm.add_wifi("mlan0", ACTIVATED)
    d = board.start(wlan="mlan0", eth="eth0", extra_env=nm.env)
    d.wait_log("nm main loop start.")
    d.mcu.drain(1.5)  # the start-up reports
    password = 'Hunter2 "$pw"'
    d.mcu.expect_ack(d.mcu.send(connect_body(b"Lab", password.encode())))
    board.wait_calls(lambda c: c[0] == "nmcli" and password in c[1])
    d.wait_log('Exec=0: nmcli dev wifi connect 00:1A:2B:3C:4D:5E password "%s" ifname mlan0 &'
               % ("*" * len(password)))
    d.stop()
    everything = "\n".join(d.log_lines() + d.stderr_lines)
    for secret in (password, "Hunter2", '\\"\\$pw\\"'):
        assert secret not in everything


REFUSED = "echo 'unshare: unshare failed: Operation not permitted' >&2; exit 1"
# In a plain chroot / is no mount point: only "--propagation unchanged" works.
CHROOT = 'case "$*" in *unchanged*) exit 0;; esac; exit 1'
NO_CAP = ("needs root with CAP_SYS_ADMIN for mount and network namespaces (in a container: "
          "docker run --privileged, or --cap-add SYS_ADMIN)")
NO_NS = ("needs mount namespaces (unshare --mount) or user namespaces, and this machine allows "
         "neither: run it as root with CAP_SYS_ADMIN (docker run --cap-add SYS_ADMIN) or where user "
         "namespaces are allowed")
NO_MOUNTPOINT = ("/ is not a mount point (a plain chroot?), so no mount can be made private: "
                 "bind-mount the root onto itself first (mount --bind DIR DIR), or use systemd-nspawn")


@pytest.mark.parametrize("script,unshare,line", [
    ("demo", REFUSED, NO_NS), ("test", REFUSED, NO_CAP),
    ("demo", CHROOT, NO_MOUNTPOINT), ("test", CHROOT, NO_MOUNTPOINT),
])
def test_commands_stop_at_once_without_namespaces(tmp_path, script, unshare, line):
    stub = tmp_path / "unshare"
    stub.write_text("#!/bin/sh\n%s\n" % unshare)
    stub.chmod(0o755)
    env = dict(os.environ, PATH="%s:%s" % (tmp_path, os.environ["PATH"]))
    r = subprocess.run([str(REPO / "scripts" / script)], env=env, capture_output=True, text=True,
                       timeout=20, stdin=subprocess.DEVNULL)
    assert (r.returncode, r.stderr, r.stdout) == (1, "%s: %s\n" % (script, line), "")
