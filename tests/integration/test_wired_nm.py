"""The wired link against the real NetworkManager (tests/integration/nmbed.py
runs this module inside its bed). One daemon walks the cases in order: the
DHCP lease in the LAN report, the peer's carrier going (the LAN reset runs)
and coming back, the MCU's LAN switch, NetworkManager stopped, killed and
started again, the link unplugged and plugged in again. The recording
ifconfig stub acts on the bed's own link through its hook. The MAC mode,
which asks libnm as the mock answers it, is tested against the mock."""
import re
import signal

import pytest

import nmbed
from qzharness import FAST, payload_is, payload_starts

LAN_UP = "10 03 02 03 02 5A C3 00 00 01 C0 00 02 0A 00 00 00 00 00 00 FF FF FF 00"
NO_LINK = "10 03 02 00 02 5A C3 00 00 01"
NO_DEVICE = "10 03 02 00"
RESET = ("halvane", ["net", "eth0", "reset"])


@pytest.fixture(scope="module")
def bed(module_board):
    nmbed._dir()  # fails loudly outside the bed
    module_board.set_hook("ifconfig", 'exec ip link set "$1" "$2"\n')
    # A dropped LAN is reset after 60 s, here divided to 3 s, then 6 s later.
    d = module_board.start(wlan="mlan0", eth="eth0", lanreset="60:3", fast=FAST,
                           extra_env={"DBUS_SYSTEM_BUS_ADDRESS": nmbed.BUS})
    return module_board, d


def lan_report(d, want, timeout=30.0):
    """Waits for the unsolicited LAN report `want`."""
    return d.mcu.wait_frame(payload_is(want), timeout)


def ask(d, request, reply_head):
    return d.mcu.request(bytes.fromhex(request), accept=payload_starts(reply_head)).payload


def test_dhcp_lease_in_the_lan_report(bed):
    board, d = bed
    lan_report(d, LAN_UP)
    assert ask(d, "10 03 01", "10 03 02") == bytes.fromhex(LAN_UP)
    d.wait_log("Lan(eth0):  id=Wired 1 type=802-3-ethernet ip=192.0.2.10")


def test_carrier_lost_and_back_with_lan_reset(bed):
    board, d = bed
    nmbed.peer_carrier(False)
    lan_report(d, NO_LINK)
    d.wait_log("ResetLan: eth0 will be reset in 60 seconds!")
    # NetworkManager keeps lo activated; only the named devices set the sync flag.
    assert nmbed.device_prop("State", "lo") == nmbed.ACTIVATED
    assert ask(d, "10 05 01", "10 05 02")[3] == 0
    board.wait_calls(lambda c: c == RESET)
    nmbed.peer_carrier(True)
    lan_report(d, LAN_UP)


def test_lan_switch(bed):
    board, d = bed
    # Followed by the monitor's own lines, not by reports that may be left
    # from the case before: the drop after "off" must arm no reset, and the
    # arming line would come before the link is activated again.
    off = len(d.log_lines())
    d.mcu.send(bytes.fromhex("10 03 00 00"))
    d.wait_log(re.compile(r"^eth0 state: ACTIVATED --> "), start=off, timeout=30)
    lan_report(d, NO_LINK)
    on = len(d.log_lines())
    d.mcu.send(bytes.fromhex("10 03 00 01"))
    activated = d.wait_log(re.compile(r"^eth0 state: .* --> ACTIVATED$"), start=on, timeout=30)
    up = d.log_lines().index(activated, on)
    lan_report(d, LAN_UP)
    window = d.log_lines()[off:up + 1]
    assert not [line for line in window if line.startswith("ResetLan")], "\n".join(window)


def test_networkmanager_or_the_link_away_and_back(bed):
    board, d = bed
    # NetworkManager stopped, killed, stopped again (it takes the link back as
    # it was or activates it anew), then the link unplugged: each time the
    # device is gone, and new when it is back.
    stop, start = nmbed.nm_stop, nmbed.nm_start
    for away, back in ((stop, start), (lambda: stop(signal.SIGKILL), start), (stop, start),
                       (nmbed.unplug, nmbed.plug)):
        away()
        lan_report(d, NO_DEVICE)
        back()
        lan_report(d, LAN_UP)
    # The LAN reset stood down when the carrier came back.
    assert board.commands().count(RESET) == 1
    assert d.proc.poll() is None
    assert d.stderr_lines == []  # no GLib or libnm warning through all of it

