"""WiFi against python3-dbusmock's NetworkManager, what the real one in
test_wired_nm.py cannot show (no WiFi driver there). One daemon walks the
cases in order: the system bus coming up after it, the list and its scans,
the WiFi link and MAC reports, connecting and disconnecting through nmcli
with passwords never logged, NetworkManager going away and coming back.
Page and report bytes are the unit tests' job; here, what libnm fills in."""
import re
import subprocess
import types

import pytest

from qzharness import FAST, payload_is, payload_starts, qzlinkd_path, until
from nmmock import NmMock, abstract_address, ACTIVATED

MAC = "10 04 02 11 22 33 44 55 66"
# Home, 80 %, 5180 MHz, 00:1A:2B:3C:4D:5E, 192.168.1.20/24.
HOME = "10 02 02 03 05 48 6F 6D 65 00 50 24 00 1A 2B 3C 4D 5E C0 A8 01 14 FF FF FF 00"
CONNECTION = 'Home "net" $x'
# Net0..Net8; the list sends them strongest first.
STRENGTHS = [35, 90, 12, 77, 101, 50, 64, 23, 88]


@pytest.fixture(scope="module")
def rig(module_board):
    r = types.SimpleNamespace(board=module_board, address=abstract_address(), nm=None)
    # An automatic scan every half second.
    r.d = module_board.start(wlan="mlan0", eth="eth0", scan=500, fast=FAST,
                             extra_env={"DBUS_SYSTEM_BUS_ADDRESS": r.address})
    r.d.wait_log("nm main loop start.")
    yield r
    if r.nm:
        r.nm.close()


def ask(d, request):
    """The reply to a request (its head with sub-function 02), as hex text."""
    head = request[:5] + " 02"
    return d.mcu.request(bytes.fromhex(request), accept=payload_starts(head)).payload.hex(" ").upper()


def mac_mode(r, arg):
    p = subprocess.run([qzlinkd_path(), arg], capture_output=True, timeout=20,
                       env=r.board.env({"DBUS_SYSTEM_BUS_ADDRESS": r.address}))
    return p.returncode, p.stdout


def pages(d, count):
    """The payloads of the next `count` list pages, all to the requests' address A4, halves exchanged."""
    frames = [d.mcu.wait_frame(payload_starts("10 01 02")) for _ in range(count)]
    assert {f.addr for f in frames} == {0x4A}
    return [f.payload for f in frames]


def names(page):
    """The network names on a page, entries found by their length bytes."""
    out, e = [], 6
    while e < len(page):
        out.append(page[e + 11:e + page[e] - 1].decode())
        e += page[e]
    return out


def home_wifi(nm, wl):
    nm.set_active_ap(wl, nm.add_ap(wl, "Home", "00:1A:2B:3C:4D:5E", freq=5180, strength=80))
    nm.add_ip4(wl, "192.168.1.20", 24)
    nm.add_active_connection(wl, CONNECTION)
    nm.set_state(wl, ACTIVATED)


def test_system_bus_and_networkmanager_coming_up_late(rig):
    d = rig.d
    # No client: the list request is answered at once, and empty.
    assert ask(d, "10 01 01") == "10 01 02 00 00 00"
    assert mac_mode(rig, "-m=mlan0") == (255, b"")
    nm = rig.nm = NmMock(rig.board.root / "nm", listen=rig.address).start()
    nm.add_ethernet("eth0", mac="00:11:22:33:44:55")
    assert mac_mode(rig, "--mac") == (0, b"00:11:22:33:44:55")  # no mlan0: eth0 next
    rig.wl = wl = nm.add_wifi("mlan0")
    for i, strength in enumerate(STRENGTHS):
        nm.add_ap(wl, "Net%d" % i, "00:00:00:00:00:%02X" % i, strength=strength)
    # Hidden networks: an empty name, a name starting with a zero byte.
    nm.set_ssid_bytes(nm.add_ap(wl, "x", "00:00:00:00:01:00", strength=99), b"")
    nm.set_ssid_bytes(nm.add_ap(wl, "x", "00:00:00:00:01:01", strength=98), b"\x00abc")
    # The client is tried again every few seconds; the WiFi device then counts
    # as new. The automatic scan then starting sends no list (nor does it later:
    # the first page to come is the answer to a request).
    seen = []
    d.mcu.wait_frame(payload_is(MAC), timeout=15, seen=seen)
    assert not [f for f in seen if f.payload.startswith(b"\x10\x01")]
    assert mac_mode(rig, "--mac") == (0, b"11:22:33:44:55:66")


def test_list_after_each_scan_and_once_on_new_results(rig):
    d, nm, wl = rig.d, rig.nm, rig.wl
    # The automatic scan runs again and again and connects no handler: new
    # results send nothing, so the first page is the request's, holding the
    # network added after them.
    until(lambda: nm.scan_requests(wl) >= 3, "three automatic scans")
    d.wait_log(re.compile(r"^Wifi request scan finish -?\d+ms\.$"))
    nm.set_last_scan(wl, 2000)
    nm.add_ap(wl, "Late", "00:00:00:00:02:00", strength=1)
    d.mcu.send(bytes.fromhex("10 01 01"), addr=0xA4)
    first = pages(d, 3)
    # libnm's networks sorted, the hidden ones left out (the entries' bytes are the unit tests').
    strongest = sorted(range(9), key=lambda i: -STRENGTHS[i])
    assert [n for p in first for n in names(p)] == ["Net%d" % i for i in strongest] + ["Late"]
    # A second request replaces the first one's handler: one list for the new results.
    d.mcu.send(bytes.fromhex("10 01 01"), addr=0xA4)
    assert pages(d, 3) == first
    nm.set_last_scan(wl, 3000)
    assert pages(d, 3) == first
    d.wait_log(re.compile(r"^Wifi last scan updated -?\d+ms\.$"))
    # The handler fired once: the next page is again a request's, with one more network.
    nm.set_last_scan(wl, 4000)
    nm.add_ap(wl, "Later", "00:00:00:00:02:01", strength=2)
    d.mcu.send(bytes.fromhex("10 01 01"), addr=0xA4)
    assert pages(d, 3)[0][3] == 11


def test_wifi_reports_follow_the_device(rig):
    d, nm, wl = rig.d, rig.nm, rig.wl
    home_wifi(nm, wl)
    assert d.mcu.wait_frame(payload_is(HOME)).addr == 0x43
    assert ask(d, "10 02 01") == HOME


def test_connect_and_disconnect_through_nmcli(rig):
    d, board = rig.d, rig.board
    password = 'Sesame"; poweroff; $(reboot) `id` \\'
    connect = bytes([1, 4]) + b"Lab\0" + bytes([len(password) + 1]) + password.encode() + b"\0" + \
        bytes.fromhex("00 1A 2B 3C 4D 5E")
    for body in (connect, b"\x02"):
        d.mcu.send(bytes.fromhex("10 02 00") + body)
    calls = [argv for _, argv in board.wait_calls(lambda c: c[0] == "nmcli", count=3)]
    # The password reaches nmcli as the MCU sent it; an activated connection is
    # disconnected, then its profile deleted. Lines ending in "&" run in any
    # order, but the disconnect is waited for.
    disconnect, delete = ["dev", "disconnect", "mlan0"], ["con", "delete", CONNECTION]
    assert sorted(calls) == sorted([disconnect, delete, ["dev", "wifi", "connect", "00:1A:2B:3C:4D:5E",
                                                         "password", password, "ifname", "mlan0"]])
    assert calls.index(disconnect) < calls.index(delete)
    assert not [line for line in d.log_lines() if "Sesame" in line]


def test_networkmanager_away_and_back(rig):
    d, nm, board = rig.d, rig.nm, rig.board
    nm.kill()
    d.mcu.wait_frame(payload_is("10 02 02 00"))
    d.wait_log("mlan0 state: ACTIVATED --> UNKNOWN")
    assert ask(d, "10 01 01") == "10 01 02 00 00 00"
    # No device, no connection: only the disconnect, in the background.
    d.mcu.send(bytes.fromhex("10 02 00 02"))
    board.wait_calls(lambda c: c == ("nmcli", ["dev", "disconnect", "mlan0"]), count=2)
    nm.start()
    rig.wl = nm.add_wifi("mlan0")
    home_wifi(nm, rig.wl)
    seen = []
    d.mcu.wait_frame(payload_is(HOME), seen=seen)
    assert bytes.fromhex(MAC) in [f.payload for f in seen]
    assert d.proc.poll() is None and d.stderr_lines == []
