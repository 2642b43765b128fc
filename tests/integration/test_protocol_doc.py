"""docs/protocol.md cannot drift from the daemon: every example frame is
well formed; every exchange's frames from the MCU go to the real daemon on a
simulated board set up as the page describes it, and the frames the daemon
sends back are the page's (their ids aside, which vary); every frame the
page shows from the daemon decodes with qzmcu's decoder."""
import os
import pty
import re
import subprocess
import tty

import pytest

import qzharness
from qzharness import FAST, Frame, daemon_on_mock, parse_one
from nmmock import ACTIVATED, DISCONNECTED, KEY_MGMT_PSK

DOC = qzharness.REPO / "docs" / "protocol.md"
LINE = re.compile(r"^([<>]) ((?:[0-9A-F]{2} )*[0-9A-F]{2})(?:  # (.*))?$")
QZMCU = os.environ.get("QZMCU") or os.path.join(os.environ.get("QZ_BUILD_DIR") or qzharness.REPO / "build" / "default",
                                                 "qzmcu")

# The processor of the page's board: a PUT changes what the next GET gives.
PROCESSOR = r'''#!/bin/sh
if [ "$1 $2" = "device uuid" ]; then echo 9b2f6c1e-3a4d-4e8f-b7a1-0c5d2e3f4a6b; exit 0; fi
[ "$1" = http ] || exit 0
path="/${3#*://*/}"; endpoint=${path%%\?*}; file="$QZTEST_REPLIES/get$(printf %s "$endpoint" | tr / _)"
if [ "$2" = put ]; then
  pair=${path#*\?}; pair=${pair%%&*}; printf '{"%s": %s}' "${pair%%=*}" "${pair#*=}" > "$file"
else
  cat "$file" 2>/dev/null
fi
'''
SLOTS = ('[{"index": 0, "filter_type": "Dirac Live Bass Management", "name": "Music"}, '
         '{"index": 7, "filter_type": "Dirac Live Bass Control", "name": "Movie"}, '
         '{"index": 2, "filter_type": "Dirac Live Active Room Treatment", "name": "Late"}]')


def blocks():
    """Each frames block as [(direction, frame bytes, comment)]."""
    out, block = [], None
    for line in DOC.read_text().splitlines():
        if block is None:
            block = [] if line == "```frames" else None
        elif line == "```":
            out.append(block)
            block = None
        else:
            m = LINE.match(line)
            assert m, "not a frame line: %r" % line
            block.append((m[1], bytes.fromhex(m[2]), m[3] or ""))
    return out


def valid(block):
    return [(d, raw) for d, raw, comment in block if not comment.startswith("invalid:")]


def test_every_example_frame_is_one_whole_valid_frame():
    frames = [f for b in blocks() for f in valid(b)]
    assert len(frames) > 60
    for direction, raw in frames:
        f, used = parse_one(raw)
        assert f is not None and used == len(raw) and f.ok(), raw.hex(" ")
        # The daemon is node 4: the sender in the address's high half, the receiver in its low half.
        assert (f.addr >> 4 if direction == "<" else f.addr & 0x0F) == 4 and f.id != 0, raw.hex(" ")


def page_board(nm):
    wl = nm.add_wifi("mlan0", DISCONNECTED, mac="11:22:33:44:55:66")
    home = nm.add_ap(wl, "Home", "00:1A:2B:3C:4D:5E", freq=5180, strength=80, security=KEY_MGMT_PSK, wpa=0)
    nm.add_ap(wl, "Lab", "02:1A:2B:3C:4D:60", freq=2437, strength=70, security=KEY_MGMT_PSK, wpa=0)
    nm.set_active_ap(wl, home)
    nm.add_ip4(wl, "192.168.1.20", 24)
    nm.add_active_connection(wl, "Home")
    nm.set_state(wl, ACTIVATED)
    eth = nm.add_ethernet("eth0", DISCONNECTED, mac="00:11:22:33:44:55")
    nm.add_ip4(eth, "10.0.0.5", 8)
    nm.add_active_connection(eth, "Wired 1", ctype="802-3-ethernet")
    nm.set_state(eth, ACTIVATED)


@pytest.fixture(scope="module")
def daemon(module_board):
    b = module_board
    b.set_hook("halvane.sh", PROCESSOR)
    b.set_processor_state(1)
    for endpoint, body in (("/api/list-slots", SLOTS), ("/api/filtering", '{"enabled": 1}'),
                           ("/api/active-slot", '{"index": 7}'), ("/api/speaker", '{"gain": -7.5}')):
        b.set_reply(endpoint, body)
    # A gain above 0 dB: the first run leaves the processor's -7.5 dB alone.
    with daemon_on_mock(b, page_board, wlan="mlan0", eth="eth0", gain=6, version="3.9.1", fast=FAST) as d:
        d.mcu.wait_frame(qzharness.payload_is("06 23 01"))  # the first run is over
        d.mcu.drain(0.5)  # and the start-up reports are in
        yield d


def same(got, want):
    """The daemon's frame as the page gives it; an originated frame's id varies,
    and the date report carries the moment of the run."""
    if not want.payload:
        return got.raw == want.raw
    if want.payload[:3] == b"\x10\x05\x02":
        return got.ok() and len(got.payload) == len(want.payload) and got.payload[:5] == want.payload[:5]
    return got.ok() and got.id != 0 and (got.addr, got.payload) == (want.addr, want.payload)


def test_every_exchange_is_what_the_daemon_sends(daemon):
    exchanges = [b for b in blocks() if b and b[0][0] == ">"]
    assert len(exchanges) > 30
    for block in exchanges:
        for direction, raw, _ in block:
            if direction == ">":
                daemon.mcu.send_raw(raw)
        for direction, raw, comment in block:
            if direction == "<":
                got = daemon.mcu.read_frame(10)
                assert same(got, Frame(raw)), "after %s\nwant %s  # %s\ngot  %s" % (
                    block[0][1].hex(" ").upper(), raw.hex(" ").upper(), comment, got.raw.hex(" ").upper())
    assert daemon.mcu.drain(0.5) == []  # and nothing more


def test_qzmcu_decodes_every_frame_from_the_daemon():
    frames = [raw for b in blocks() for d, raw in valid(b) if d == "<"]
    master, slave = pty.openpty()
    tty.setraw(master)
    proc = subprocess.Popen([QZMCU, "--device", os.ttyname(slave), "--watch", "--for", "1"], stdout=subprocess.PIPE,
                            text=True)
    os.close(slave)
    try:
        line = qzharness.Mcu(master, proc)
        assert proc.stdout.readline().startswith("qzmcu: serial line ")  # the line is set up
        for raw in frames:
            line.send_raw(raw)
        out, _ = proc.communicate(timeout=20)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        os.close(master)
    decoded = [line for line in out.splitlines() if line.startswith("<- ")]
    assert len(decoded) == len(frames), out
    assert not [line for line in decoded if "unknown" in line or "truncated" in line], out
