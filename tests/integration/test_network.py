"""The network side against a NetworkManager mock, for what the real
NetworkManager cannot show here (no WiFi driver): WiFi list pages, WiFi link
and MAC reports (asked for and unsolicited), WiFi connection command lines,
and NetworkManager missing, going away and coming back. The wired link runs
against the real NetworkManager in test_wired_nm.py."""
import re
import subprocess
import time

from qzharness import qzlinkd_path
from nmmock import (nm, nm_bus, NmMock, abstract_address, ACTIVATED, DISCONNECTED, IP_CONFIG, CONFIG,  # noqa: F401
                    PRIVACY, KEY_MGMT_PSK)

WIFI_LIST = bytes.fromhex("10 01 01")
WIFI_REPORT = bytes.fromhex("10 02 01")
LAN_REPORT = bytes.fromhex("10 03 01")
MAC_REQUEST = bytes.fromhex("10 04 01")
VERSION = bytes.fromhex("05 0B")
EMPTY_PAGE = bytes.fromhex("10 01 02 00 00 00")

HOME_REPORT = bytes.fromhex("10 02 02 03 05 48 6F 6D 65 00 50 24 00 1A 2B 3C 4D 5E"
                            " C0 A8 01 14 FF FF FF 00")
LAN_24 = bytes.fromhex("10 03 02 03 00 11 22 33 44 55 0A 00 00 05 00 00 00 00 00 00 FF 00 00 00")


def start(board, nm, **kw):
    d = board.start(wlan="mlan0", eth="eth0", extra_env=nm.env, **kw)
    d.wait_log("nm main loop start.")
    return d


def wait_payload(d, pred, timeout=5.0):
    """Frames up to and including the first whose payload matches pred."""
    seen = []
    deadline = time.monotonic() + timeout
    while True:
        f = d.mcu.read_frame(max(0.0, deadline - time.monotonic()))
        seen.append(f)
        if pred(f.payload):
            return seen


def starts(prefix):
    return lambda p: p.startswith(prefix)


def pages_of(frames):
    return [f.payload for f in frames if f.payload.startswith(bytes.fromhex("10 01 02"))]


def read_pages(d, count, timeout=5.0):
    """The next `count` list pages, skipping other frames."""
    pages = []
    deadline = time.monotonic() + timeout
    while len(pages) < count:
        f = d.mcu.read_frame(max(0.0, deadline - time.monotonic()))
        if f.payload.startswith(bytes.fromhex("10 01 02")):
            pages.append(f)
    return pages


def entries(page):
    """(number, strength, class, channel, bssid, name) of each entry, by length bytes."""
    out = []
    e = 6
    while e < len(page):
        n = page[e]
        out.append((page[e + 1], page[e + 2], page[e + 3], page[e + 4], page[e + 5:e + 11].hex(":"),
                    page[e + 11:e + n - 1].decode()))
        assert page[e + n - 1] == 0
        e += n
    assert e == len(page)
    return out


def home_wifi(nm, state=ACTIVATED):
    wl = nm.add_wifi("mlan0", state)
    ap = nm.add_ap(wl, "Home", "00:1A:2B:3C:4D:5E", freq=5180, strength=80,
                   security=KEY_MGMT_PSK, wpa=0)
    nm.set_active_ap(wl, ap)
    nm.add_ip4(wl, "192.168.1.20", 24)
    return wl, ap


def connected_lan(nm, state=ACTIVATED):
    eth = nm.add_ethernet("eth0", state, mac="00:11:22:33:44:55")
    nm.add_ip4(eth, "10.0.0.5", 8)
    return eth


# --- the WiFi list -----------------------------------------------------------

def test_empty_list_without_wifi_device(board, nm):
    d = start(board, nm)
    d.mcu.drain(1.5)
    f = d.mcu.request(WIFI_LIST)
    assert f.payload == EMPTY_PAGE and f.addr == 0x43
    d.mcu.no_frame(0.5)


def test_empty_list_without_networkmanager_bus(board):
    d = board.start(wlan="mlan0", eth="eth0")
    d.wait_log("nm main loop start.")
    d.mcu.drain(1.5)
    assert d.mcu.request(WIFI_LIST, addr=0xA4).payload == EMPTY_PAGE


def test_nine_networks_in_three_pages_strongest_first(board, nm):
    wl = nm.add_wifi("mlan0", DISCONNECTED)
    strengths = [35, 90, 12, 77, 101, 50, 64, 23, 88]
    for i, s in enumerate(strengths):
        nm.add_ap(wl, "Net%d" % i, "00:00:00:00:00:%02X" % i, freq=2412 + 5 * i, strength=s)
    nm.set_ssid_bytes(nm.add_ap(wl, "x", "00:00:00:00:01:00", strength=99), b"")
    nm.set_ssid_bytes(nm.add_ap(wl, "x", "00:00:00:00:01:01", strength=98), b"\x00abc")
    d = start(board, nm)
    d.mcu.drain(1.5)
    d.mcu.send(WIFI_LIST)
    pages = read_pages(d, 3)
    assert [p.payload[3:6] for p in pages] == [bytes([9, 1, 3]), bytes([9, 2, 3]), bytes([9, 3, 3])]
    listed = [e for p in pages for e in entries(p.payload)]
    assert [e[0] for e in listed] == list(range(1, 10))
    assert [len(entries(p.payload)) for p in pages] == [4, 4, 1]
    want = sorted(range(9), key=lambda i: -strengths[i])
    assert [e[5] for e in listed] == ["Net%d" % i for i in want]
    assert [e[1] for e in listed] == [min(strengths[i], 100) for i in want]
    assert listed[0][3] == 5  # Net4 at 2432 MHz
    for line in ("count=9 page=1/3", "count=9 page=2/3", "count=9 page=3/3"):
        d.wait_log(line)
    # New results: the list goes out again, whole.
    nm.set_last_scan(wl, 5000)
    again = read_pages(d, 3)
    assert [p.payload for p in again] == [p.payload for p in pages]
    d.wait_log(re.compile(r"^Wifi last scan updated -?\d+ms\.$"))


def test_single_network_page_of_21_bytes(board, nm):
    wl = nm.add_wifi("mlan0", DISCONNECTED)
    nm.add_ap(wl, "Lab", "00:1A:2B:3C:4D:5E", freq=2437, strength=70, security=KEY_MGMT_PSK,
              flags=PRIVACY, wpa=0)
    d = start(board, nm)
    d.mcu.drain(1.5)
    d.mcu.send(WIFI_LIST)
    page = read_pages(d, 1)[0].payload
    assert page == bytes.fromhex("10 01 02 01 01 01 0F 01 46 02 06 00 1A 2B 3C 4D 5E 4C 61 62 00")
    d.wait_log("01 70% 2:WPA2 6 00:1A:2B:3C:4D:5E Lab 21")
    d.wait_log("count=1 page=1/1")


def test_scan_answered_after_completion_and_on_last_scan_one_handler(board, nm):
    wl = nm.add_wifi("mlan0", DISCONNECTED)
    nm.add_ap(wl, "Lab", "00:1A:2B:3C:4D:5E", strength=70)
    d = start(board, nm)
    d.mcu.drain(1.5)
    d.mcu.send(WIFI_LIST)
    d.mcu.send(WIFI_LIST)
    # Each request: its scan completes, then the list goes out once.
    assert len(read_pages(d, 2)) == 2
    d.wait_log(re.compile(r"^WiFi: mlan0 mac=11:22:33:44:55:66 scanning\.\.\.$"))
    d.wait_log(re.compile(r"^Wifi request scan finish -?\d+ms\.$"))
    d.mcu.no_frame(0.5)
    assert nm.scan_requests(wl) == 2
    # Only the second request's handler is left: one list for one change.
    nm.set_last_scan(wl, 7000)
    assert len(read_pages(d, 1)) == 1
    d.mcu.no_frame(0.8)
    assert sum(1 for l in d.log_lines() if l.startswith("Wifi last scan updated")) == 1
    # It fired once: a later change sends nothing.
    nm.set_last_scan(wl, 9000)
    d.mcu.no_frame(0.8)


def test_list_goes_to_the_requesting_address(board, nm):
    wl = nm.add_wifi("mlan0", DISCONNECTED)
    nm.add_ap(wl, "Lab", "00:1A:2B:3C:4D:5E", strength=70)
    d = start(board, nm)
    d.mcu.drain(1.5)
    d.mcu.send(WIFI_LIST, addr=0xA4)
    assert read_pages(d, 1)[0].addr == 0x4A


# --- link and MAC reports ----------------------------------------------------

def test_reports_of_the_examples_asked_and_unsolicited(board, nm):
    wl, _ = home_wifi(nm)
    eth = connected_lan(nm)
    nm.add_active_connection(wl, "HomeNet")
    nm.add_active_connection(eth, "Wired 1", ctype="802-3-ethernet", state=1)  # activating
    d = start(board, nm)
    # The first monitor pass: MAC report, then each device's link report.
    seen = wait_payload(d, starts(bytes.fromhex("10 03 02")))
    nets = [f.payload for f in seen if f.payload[0] == 0x10]
    assert nets == [bytes.fromhex("10 04 02 11 22 33 44 55 66"), HOME_REPORT, LAN_24]
    assert all(f.addr == 0x43 for f in seen)
    d.wait_log("mlan0 actived: Home 80% 36 192.168.1.20 255.255.255.0 00:1A:2B:3C:4D:5E")
    d.wait_log("00:11:22:33:44:55 status: eth0 3 ACTIVATED")
    d.wait_log("eth0 actived: 10.0.0.5 255.0.0.0 00:11:22:33:44:55")
    # Start-up lines: only a connection in the activated state counts.
    d.wait_log("WiFi(mlan0): id=HomeNet type=802-11-wireless ip=192.168.1.20")
    assert not [l for l in d.log_lines() if l.startswith("Lan(")]
    d.mcu.drain(1.2)
    assert d.mcu.request(WIFI_REPORT).payload == HOME_REPORT
    assert d.mcu.request(LAN_REPORT).payload == LAN_24
    assert d.mcu.request(MAC_REQUEST).payload == bytes.fromhex("10 04 02 11 22 33 44 55 66")


def test_reports_without_devices(board, nm):
    d = start(board, nm)
    d.mcu.drain(1.5)
    assert d.mcu.request(WIFI_REPORT).payload == bytes.fromhex("10 02 02 00")
    assert d.mcu.request(LAN_REPORT).payload == bytes.fromhex("10 03 02 00")
    assert d.mcu.request(MAC_REQUEST).payload == bytes.fromhex("10 04 02 00 00 00 00 00 00")


def test_unsolicited_reports_follow_state_changes(board, nm):
    wl = nm.add_wifi("mlan0", DISCONNECTED)
    eth = connected_lan(nm, DISCONNECTED)
    d = start(board, nm)
    seen = wait_payload(d, starts(bytes.fromhex("10 03 02")))
    nets = [f.payload for f in seen if f.payload[0] == 0x10]
    assert nets == [bytes.fromhex("10 04 02 11 22 33 44 55 66"), bytes.fromhex("10 02 02 00"),
                    bytes.fromhex("10 03 02 00 00 11 22 33 44 55")]
    d.wait_log("mlan0 state: UNKNOWN --> DISCONNECTED")
    nm.set_state(wl, IP_CONFIG)
    wait_payload(d, lambda p: p == bytes.fromhex("10 02 02 02"))
    d.wait_log("mlan0 state: DISCONNECTED --> IP_CONFIG")
    ap = nm.add_ap(wl, "Home", "00:1A:2B:3C:4D:5E", freq=5180, strength=80)
    nm.set_active_ap(wl, ap)
    nm.add_ip4(wl, "192.168.1.20", 24)
    nm.set_state(wl, ACTIVATED)
    wait_payload(d, lambda p: p == HOME_REPORT)
    nm.set_state(eth, CONFIG)
    wait_payload(d, lambda p: p == bytes.fromhex("10 03 02 01 00 11 22 33 44 55"))
    d.wait_log("eth0 state: DISCONNECTED --> CONFIG")
    # No change, no report.
    d.mcu.no_frame(1.5)


# --- connection commands -----------------------------------------------------

def connect_body(action, name, password, bssid=bytes.fromhex("00 1A 2B 3C 4D 5E")):
    n = name + b"\x00"
    m = password + b"\x00"
    return bytes([action, len(n)]) + n + bytes([len(m)]) + m + bssid


def test_connect_and_disconnect_lines(board, nm):
    wl, _ = home_wifi(nm)
    nm.add_active_connection(wl, 'Home "net" $x')
    d = start(board, nm)
    d.mcu.drain(1.5)
    hostile = b'p"; poweroff; $(reboot) `id` \\'
    for payload in (bytes.fromhex("10 02 00") + connect_body(1, b"Lab", b""),
                    bytes.fromhex("10 02 00") + connect_body(1, b"Lab", hostile),
                    bytes.fromhex("10 02 00 00"),
                    bytes.fromhex("10 02 00 02")):
        d.mcu.expect_ack(d.mcu.send(payload))
    bssid = "00:1A:2B:3C:4D:5E"
    # Lines ending in "&" may still be running when the last one is recorded.
    board.wait_calls(lambda c: c[0] == "nmcli", count=5)
    calls = board.stub_calls("nmcli")
    # Lines ending in "&" run in the background: their order is the shell's.
    assert sorted(calls) == sorted([
        ["dev", "wifi", "connect", bssid, "ifname", "mlan0"],
        ["dev", "wifi", "connect", bssid, "password", hostile.decode(), "ifname", "mlan0"],
        ["dev", "connect", "mlan0"],
        ["dev", "disconnect", "mlan0"],
        ["con", "delete", 'Home "net" $x'],
    ])
    # The disconnect is waited for before the profile is deleted.
    assert calls.index(["dev", "disconnect", "mlan0"]) < calls.index(["con", "delete", 'Home "net" $x'])
    assert not board.stub_calls("poweroff") and not board.stub_calls("reboot")
    d.wait_log("WifiConnect: %s 4:Lab %d:%s" % (bssid, len(hostile) + 1, "*" * len(hostile)))
    assert not [l for l in d.log_lines() if "poweroff;" in l and l.startswith("WifiConnect")]


def test_mac_mode_prefers_wifi(board, nm):
    nm.add_wifi("mlan0", DISCONNECTED)
    nm.add_ethernet("eth0", DISCONNECTED, mac="00:11:22:33:44:55")
    exe = qzlinkd_path()

    def run(arg, env):
        r = subprocess.run([exe, arg], env=board.env(env), capture_output=True, timeout=20)
        return r.returncode, r.stdout

    assert run("-m=mlan0", nm.env) == (0, b"11:22:33:44:55:66")
    assert run("--mac", nm.env) == (0, b"11:22:33:44:55:66")
    assert run("-m=mlan0", {}) == (255, b"")  # no bus at all


def test_disconnect_without_connection_and_short_body(board, nm):
    nm.add_wifi("mlan0", DISCONNECTED)
    d = start(board, nm)
    d.mcu.drain(1.5)
    d.mcu.expect_ack(d.mcu.send(bytes.fromhex("10 02 00 02")))
    board.wait_calls(lambda c: c[0] == "nmcli")
    short = bytes.fromhex("01 04 4C 61 62 00 05 70")
    d.mcu.expect_ack(d.mcu.send(bytes.fromhex("10 02 00") + short))
    d.wait_log("Short command: " + short.hex(" ").upper())
    time.sleep(0.5)
    assert board.stub_calls("nmcli") == [["dev", "disconnect", "mlan0"]]


# --- NetworkManager missing, leaving, coming back ---------------------------

def test_networkmanager_absent_at_start_then_appears(board, nm_bus):
    d = start(board, nm_bus)
    d.mcu.drain(1.5)
    assert d.mcu.request(VERSION).payload == bytes.fromhex("05 12 31 33 34 00")
    assert d.mcu.request(WIFI_LIST).payload == EMPTY_PAGE
    nm_bus.start()
    home_wifi(nm_bus)
    seen = wait_payload(d, lambda p: p == HOME_REPORT, timeout=8)
    assert bytes.fromhex("10 04 02 11 22 33 44 55 66") in [f.payload for f in seen]


def test_system_bus_coming_up_after_start(board):
    address = abstract_address()
    d = board.start(wlan="mlan0", eth="eth0", extra_env={"DBUS_SYSTEM_BUS_ADDRESS": address})
    d.wait_log("nm main loop start.")
    d.mcu.drain(1.5)
    late = NmMock(board.root / "late-bus", listen=address)
    try:
        late.start()
        home_wifi(late)
        # The client is tried again every few seconds until the bus is there.
        wait_payload(d, lambda p: p == HOME_REPORT, timeout=15)
    finally:
        late.close()


def test_networkmanager_restart_mid_run(board, nm):
    home_wifi(nm)
    d = start(board, nm)
    wait_payload(d, lambda p: p == HOME_REPORT)
    nm.kill()
    # The link is gone for the MCU; the serial protocol goes on.
    wait_payload(d, lambda p: p == bytes.fromhex("10 02 02 00"), timeout=8)
    d.wait_log("mlan0 state: ACTIVATED --> UNKNOWN")
    assert d.mcu.request(VERSION, skip=lambda f: f.payload[:1] == b"\x13").payload == \
        bytes.fromhex("05 12 31 33 34 00")
    assert d.mcu.request(WIFI_LIST).payload == EMPTY_PAGE
    assert d.mcu.request(WIFI_REPORT).payload == bytes.fromhex("10 02 02 00")
    nm.start()
    home_wifi(nm)
    seen = wait_payload(d, lambda p: p == HOME_REPORT, timeout=8)
    assert bytes.fromhex("10 04 02 11 22 33 44 55 66") in [f.payload for f in seen]
    assert d.proc.poll() is None


def test_wifi_adapter_plugged_in_after_start(board, nm):
    d = start(board, nm)
    d.mcu.drain(2)
    nm.add_wifi("mlan0", DISCONNECTED)
    seen = wait_payload(d, lambda p: p == bytes.fromhex("10 02 02 00"), timeout=5)
    assert bytes.fromhex("10 04 02 11 22 33 44 55 66") in [f.payload for f in seen]
    d.wait_log("mlan0 state: UNKNOWN --> DISCONNECTED")


def test_automatic_scan_sends_nothing(board, nm):
    wl = nm.add_wifi("mlan0", DISCONNECTED)
    nm.add_ap(wl, "Lab", "00:1A:2B:3C:4D:5E", strength=70)
    d = start(board, nm, scan=500)
    d.wait_log(re.compile(r"^Wifi request scan finish -?\d+ms\.$"))
    time.sleep(1.5)
    assert nm.scan_requests(wl) >= 3
    nm.set_last_scan(wl, 4242)
    assert not pages_of(d.mcu.frames(1.5))
