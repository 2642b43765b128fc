"""Date and time: the report with its sync flag, and setting the clock
through the `date` stub."""
import re
import time

from nmmock import nm, ACTIVATED, DISCONNECTED  # noqa: F401 (fixture)

DATE_REQUEST = bytes.fromhex("10 05 01")


def start(board, nm, **kw):
    d = board.start(wlan="mlan0", eth="eth0", extra_env=nm.env, **kw)
    d.wait_log("nm main loop start.")
    d.mcu.drain(1.5)
    return d


def check_record(payload, sync):
    now = time.localtime()
    assert payload[:3] == bytes.fromhex("10 05 02") and len(payload) == 13
    assert payload[3] == sync and payload[4] == 0
    century, yy, month, day, wday, h, m, s = payload[5:13]
    assert (century * 100 + yy, month, day) == (now.tm_year, now.tm_mon, now.tm_mday)
    assert wday == (now.tm_wday + 1) % 7  # Sunday 0
    took = (now.tm_hour * 3600 + now.tm_min * 60 + now.tm_sec) - (h * 3600 + m * 60 + s)
    assert 0 <= took <= 5


def test_sync_flag_follows_an_activated_device(board, nm):
    assert time.localtime().tm_year >= 2025, "the machine's clock is needed in 2025 or later"
    wl = nm.add_wifi("mlan0", DISCONNECTED)
    eth = nm.add_ethernet("eth0", DISCONNECTED)
    d = start(board, nm)
    check_record(d.mcu.request(DATE_REQUEST, skip=lambda f: f.payload[0] != 0x10 or
                               f.payload[1] != 0x05).payload, 0)
    d.wait_log(re.compile(r"^sync=0 week=\d \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\+0000$"))
    nm.set_state(eth, ACTIVATED)
    d.wait_log("eth0 state: DISCONNECTED --> ACTIVATED")
    d.mcu.drain(0.5)  # the unsolicited LAN report
    check_record(d.mcu.request(DATE_REQUEST, skip=lambda f: f.payload[:2] != b"\x10\x05").payload, 1)
    nm.set_state(eth, DISCONNECTED)
    nm.set_state(wl, ACTIVATED)
    d.wait_log("mlan0 state: DISCONNECTED --> ACTIVATED")
    d.mcu.drain(0.5)
    check_record(d.mcu.request(DATE_REQUEST, skip=lambda f: f.payload[:2] != b"\x10\x05").payload, 1)


def test_without_networkmanager_never_synchronised(board):
    d = board.start(wlan="mlan0", eth="eth0")
    d.wait_log("nm main loop start.")
    d.mcu.drain(1.5)
    check_record(d.mcu.request(DATE_REQUEST).payload, 0)


def test_set_runs_date_and_sends_nothing(board, nm):
    d = start(board, nm)
    cases = [
        (bytes([1, 0x08, 20, 26, 7, 28, 2, 13, 5, 9]), "2026-07-28 13:05:09+0800", "sync=1 week=2"),
        (bytes([0, 0xFB, 20, 25, 1, 2, 4, 3, 4, 5]), "2025-01-02 03:04:05-0500", "sync=0 week=4"),
    ]
    for record, text, head in cases:
        d.mcu.expect_ack(d.mcu.send(bytes.fromhex("10 05 0B") + record))
        board.wait_calls(lambda c: c == ("date", ["-s", text]))
        d.wait_log('%s "%s"' % (head, text))
    d.mcu.no_frame(0.5)
    # A record cut short sets nothing.
    d.mcu.expect_ack(d.mcu.send(bytes.fromhex("10 05 0B 00 00 14 1A")))
    d.wait_log("Short command: 10 05 0B 00 00 14 1A")
    assert len(board.stub_calls("date")) == 2
