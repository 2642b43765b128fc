"""The wired link against the real NetworkManager (tests/integration/nmbed.py
runs this module inside its bed). One daemon walks the cases in order: the
link as DHCP brings it up, the peer's carrier going and coming back with the
LAN reset, the LAN switch through the real ifconfig, NetworkManager stopped,
killed and restarted, and the link unplugged and plugged in again.
Only poweroff and date are stubs; nmcli and ifconfig are the real ones."""
import re
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

import nmbed
from qzharness import REPO, Board, qzlinkd_path

LAN_REPORT = bytes.fromhex("10 03 01")
LAN_HEAD = LAN_REPORT[:2] + b"\x02"
VERSION = bytes.fromhex("05 0B")
VERSION_REPLY = bytes.fromhex("05 12 31 33 34 00")
DATE = bytes.fromhex("10 05 01")
MAC = bytes.fromhex("02 5A C3 00 00 01")
# State 3, the veth's MAC, the DHCP lease 192.0.2.10 at 14..17, its /24 mask at 20..23.
LAN_UP = LAN_HEAD + b"\x03" + MAC + bytes.fromhex("C0 00 02 0A 00 00 00 00 00 00 FF FF FF 00")
LAN_NO_LINK = LAN_HEAD + b"\x00" + MAC
LAN_NO_DEVICE = LAN_HEAD + b"\x00"
RESET = ("halvane", ["net", "eth0", "reset"])


@pytest.fixture(scope="module")
def bed():
    nmbed._dir()  # fails loudly outside the bed
    base = REPO / "build" / "test-work"
    base.mkdir(parents=True, exist_ok=True)
    root = Path(tempfile.mkdtemp(prefix="board-", dir=base))
    board = Board(root)
    for real in ("nmcli", "ifconfig"):
        (board.bin / real).unlink()
    d = board.start(wlan="mlan0", eth="eth0", lanreset="2:3",
                    extra_env={"DBUS_SYSTEM_BUS_ADDRESS": nmbed.BUS})
    d.wait_log("nm main loop start.")
    # The start-up reports (version, build date, processor) up to the first pass's LAN report.
    d.first_lan = d.mcu.read_frame(10.0)
    while not d.first_lan.payload.startswith(LAN_HEAD):
        d.first_lan = d.mcu.read_frame(10.0)
    yield board, d
    board.close()
    shutil.rmtree(root, ignore_errors=True)


def reply(d, payload, unsolicited, head=None, timeout=10.0):
    """Sends a request and returns its reply; LAN reports that come on their
    own meanwhile are added to `unsolicited`."""
    id = d.mcu.send(payload)
    acked = False
    deadline = time.monotonic() + timeout
    while True:
        f = d.mcu.read_frame(max(0.0, deadline - time.monotonic()))
        if f.is_ack:
            acked = acked or f.id == id
            continue
        if acked and f.payload.startswith(head or payload[:2]):
            return f.payload
        if f.payload.startswith(LAN_HEAD):
            unsolicited.append(f.payload)


def lan_report_while_asking(d, want, timeout=60.0):
    """Keeps the MCU asking for the version (answered every time) until the
    unsolicited LAN report `want` arrives."""
    seen = []
    deadline = time.monotonic() + timeout
    while want not in seen:
        assert time.monotonic() < deadline, "no LAN report %s; saw %r" % (want.hex(" "), seen)
        assert reply(d, VERSION, seen, VERSION_REPLY[:2]) == VERSION_REPLY
        time.sleep(0.1)
    return seen


def sync_flag(d):
    return reply(d, DATE, [])[3]


def test_lan_as_dhcp_brings_it_up(bed):
    board, d = bed
    d.wait_log("Lan(eth0):  id=Wired 1 type=802-3-ethernet ip=192.0.2.10")
    d.wait_log("eth0 state: UNKNOWN --> ACTIVATED")
    d.wait_log("02:5A:C3:00:00:01 status: eth0 3 ACTIVATED")
    d.wait_log("eth0 actived: 192.0.2.10 255.255.255.0 02:5A:C3:00:00:01")
    assert d.first_lan.payload == LAN_UP and d.first_lan.addr == 0x43
    assert reply(d, LAN_REPORT, []) == LAN_UP
    assert sync_flag(d) == 1
    # What the mock never showed: NetworkManager also manages lo, connected
    # externally, and gives the veth its own device type; neither shows here.
    assert nmbed.device_prop("State", "lo") == nmbed.ACTIVATED
    assert nmbed.device_prop("DeviceType") == 20  # NM_DEVICE_TYPE_VETH
    assert not [line for line in d.log_lines() if "lo" in line.split()]


def test_carrier_lost_and_back_with_lan_reset(bed):
    board, d = bed
    nmbed.peer_carrier(False)
    lan_report_while_asking(d, LAN_NO_LINK)
    d.wait_log("eth0 state: ACTIVATED --> UNAVAILABLE")
    d.wait_log("ResetLan: eth0 will be reset in 2 seconds!")
    assert sync_flag(d) == 0  # lo stays activated: only the named devices count
    # After the configured 2 s, then re-armed with twice that.
    d.wait_log(re.compile(r"^ResetLan: time=2\d\d\d$"), timeout=10)
    board.wait_calls(lambda c: c == RESET)
    d.wait_log(re.compile(r"^ResetLan: time=4\d\d\d$"), timeout=10)
    back = len(d.log_lines())
    nmbed.peer_carrier(True)
    lan_report_while_asking(d, LAN_UP)
    d.wait_log(re.compile(r"^eth0 state: [A-Z_]+ --> ACTIVATED$"), start=back)
    assert [c for c in board.commands() if c == RESET] == [RESET, RESET]


def test_lan_switch_takes_the_interface_down_and_up(bed):
    board, d = bed
    start = len(d.log_lines())
    d.mcu.expect_ack(d.mcu.send(bytes.fromhex("10 03 00 00")))
    lan_report_while_asking(d, LAN_NO_LINK)
    assert "UP" not in ip_flags()
    d.mcu.expect_ack(d.mcu.send(bytes.fromhex("10 03 00 01")))
    lan_report_while_asking(d, LAN_UP)
    assert "UP" in ip_flags()
    # Switched off by the MCU: the drop armed no reset.
    assert not [line for line in d.log_lines()[start:] if line.startswith("ResetLan")]


def ip_flags():
    out = subprocess.run(["ip", "-o", "link", "show", "eth0"], capture_output=True, text=True).stdout
    return out.split("<", 1)[1].split(">", 1)[0].split(",")


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGKILL, signal.SIGTERM])
def test_networkmanager_away_and_back(bed, how):
    board, d = bed
    mark = len(d.log_lines())
    nmbed.nm_stop(how)
    lan_report_while_asking(d, LAN_NO_DEVICE)
    assert reply(d, LAN_REPORT, []) == LAN_NO_DEVICE
    assert sync_flag(d) == 0
    nmbed.nm_start()
    lan_report_while_asking(d, LAN_UP)
    assert reply(d, LAN_REPORT, []) == LAN_UP
    assert sync_flag(d) == 1
    # Back as it was (assumed) or activated anew: either way from "no device".
    d.wait_log("eth0 state: ACTIVATED --> UNKNOWN", start=mark)
    d.wait_log(re.compile(r"^eth0 state: UNKNOWN --> [A-Z_]+$"), start=mark)


def test_unplugged_and_plugged_in_again(bed):
    board, d = bed
    before = nmbed.device_path()
    nmbed.unplug()
    lan_report_while_asking(d, LAN_NO_DEVICE)
    assert reply(d, LAN_REPORT, []) == LAN_NO_DEVICE
    nmbed.plug()
    lan_report_while_asking(d, LAN_UP)
    assert nmbed.device_path() not in (None, before)
    # The LAN reset stood down when the link came back: nothing since.
    assert [c for c in board.commands() if c == RESET] == [RESET, RESET]
    assert d.proc.poll() is None
    assert d.stderr_lines == []  # no GLib or libnm warning through all of it


def test_static_profile(bed):
    board, d = bed
    static = LAN_HEAD + b"\x03" + MAC + bytes.fromhex("C0 00 02 14 00 00 00 00 00 00 FF FF 00 00")
    for cidr, want in (("192.0.2.20/16", static), (None, LAN_UP)):
        nmbed.static_address(cidr)
        nmbed.wait_state(nmbed.ACTIVATED)
        deadline = time.monotonic() + 30
        while reply(d, LAN_REPORT, []) != want:  # the watch compares states, not addresses
            assert time.monotonic() < deadline, "no LAN report %s" % want.hex(" ")
            time.sleep(0.1)


def test_mac_mode(bed):
    board, _ = bed
    env = board.env({"DBUS_SYSTEM_BUS_ADDRESS": nmbed.BUS})
    for args, status, out in [
        (["-m=eth0"], 0, b"02:5A:C3:00:00:01"),
        (["--mac"], 0, b"02:5A:C3:00:00:01"),  # no mlan0: eth0 next
        (["--mac=qzpeer"], 0, b"02:5A:C3:00:00:02"),  # unmanaged, still known
        (["-m=wlan9"], 255, b""),
    ]:
        r = subprocess.run([qzlinkd_path()] + args, env=env, capture_output=True, timeout=20)
        assert (r.returncode, r.stdout) == (status, out), args
