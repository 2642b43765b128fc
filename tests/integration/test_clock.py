"""The date report's sync flag follows NetworkManager: set while a device is
activated. The record's bytes are the unit tests' job; no check here
depends on today's date."""
import re

from qzharness import FAST, payload_starts
from nmmock import nm, ACTIVATED, DISCONNECTED  # noqa: F401 (fixture)


def sync_flag(d):
    f = d.mcu.request(bytes.fromhex("10 05 01"), accept=payload_starts("10 05 02"))
    assert len(f.payload) == 13
    return f.payload[3]


def test_sync_flag_follows_an_activated_device(board, nm):
    wl = nm.add_wifi("mlan0", DISCONNECTED)
    eth = nm.add_ethernet("eth0", DISCONNECTED)
    d = board.start(wlan="mlan0", eth="eth0", extra_env=nm.env, fast=FAST)
    d.wait_log("eth0 state: UNKNOWN --> DISCONNECTED")
    assert sync_flag(d) == 0
    for device, iface in ((eth, "eth0"), (wl, "mlan0")):
        start = len(d.log_lines())
        nm.set_state(eth, DISCONNECTED)
        nm.set_state(device, ACTIVATED)
        d.wait_log(re.compile(r"^%s state: \w+ --> ACTIVATED$" % iface), start=start)
        assert sync_flag(d) == 1
