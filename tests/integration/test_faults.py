"""Faults from outside, on one daemon: line noise and damaged frames, a
control script that fails in every way, processor state files that come and
go, and NetworkManager going away and coming back while requests are in
flight."""
import os
import random
import re
import select
import shutil
import threading
import time

import pytest

from qzharness import FAST, STUB, daemon_on_mock, frame, parse_one, payload_starts, reply_addr
from nmmock import DISCONNECTED, KEY_MGMT_PSK

VERSION, VERSION_REPLY = bytes.fromhex("05 0B"), bytes.fromhex("05 12 31 33 34 00")
LIST = bytes.fromhex("10 01 01")
# Enough zeros to end any frame a damaged length left open, then a version request with id 250.
TAIL = bytes(16383 + 8) + frame(VERSION, 0x34, 250)


def home_networks(m):
    wl = m.add_wifi("mlan0", DISCONNECTED)
    m.add_ap(wl, "Lab", "00:1A:2B:3C:4D:5E", freq=2437, strength=70, security=KEY_MGMT_PSK)
    m.add_ap(wl, "Kitchen", "00:1A:2B:3C:4D:5F", freq=5180, strength=40)


@pytest.fixture(scope="module")
def d(module_board):
    with daemon_on_mock(module_board, home_networks, wlan="mlan0", eth="eth0", debug=0, fast=FAST) as d:
        d.board = module_board
        yield d


def noisy_stream(rng, count):
    """count frames acknowledged and dropped (13 04 00), ids 1..255 in turn,
    random bytes without a start byte between them."""
    noise = [b for b in range(256) if b != 0xFA]
    return b"".join(bytes(rng.choice(noise) for _ in range(rng.randrange(12))) +
                    frame(bytes.fromhex("13 04 00"), 0x34, k % 255 + 1) for k in range(count))


def resync(stream):
    """The acknowledgements the reader's rule gives: hunt 0xFA, take a frame
    whole by its length, answer it if it checks out and has a payload."""
    acks = []
    while (used := parse_one(stream))[1]:  # a frame whose end lies beyond the stream is still waited for
        f, stream = used[0], stream[used[1]:]
        if f and f.ok() and f.payload:
            acks.append((reply_addr(f.addr), f.id))
    return acks


def acks_until_version(d, stream):
    """Writes the stream and TAIL from a thread; the acknowledgements before
    the version's reply (its own left out)."""
    # One write: the kernel hands the bytes on as the daemon takes them, with
    # no pause in which the reader's inter-byte gap could end a frame.
    writer = threading.Thread(target=d.mcu.send_raw, args=(stream + TAIL,), daemon=True)
    writer.start()
    acks = []

    def version_reply(f):
        if f.is_ack:
            acks.append((f.addr, f.id))
        return f.payload == VERSION_REPLY and acks[-1:] == [(0x43, 250)]  # not the start-up report
    d.mcu.wait_frame(version_reply, timeout=180)
    writer.join(10)
    return acks[:-1]


def test_frames_in_line_noise_clean_and_with_one_percent_of_bytes_damaged(d):
    rng = random.Random(1234)
    assert acks_until_version(d, noisy_stream(rng, 10000)) == [(0x43, k % 255 + 1) for k in range(10000)]
    assert not [line for line in d.log_lines() if "error" in line.lower()]
    damaged = bytearray(noisy_stream(rng, 10000))
    for at in rng.sample(range(len(damaged)), len(damaged) // 100):
        damaged[at] ^= rng.randrange(1, 256)
    want = resync(bytes(damaged) + TAIL)
    assert want.pop() == (0x43, 250)
    assert acks_until_version(d, bytes(damaged)) == want
    assert d.mcu.request(VERSION).payload == VERSION_REPLY


def test_a_false_start_in_line_noise_does_not_swallow_the_requests_behind_it(d):
    """A header announcing 16,383 bytes whose bytes never come: dropped
    after the line has been quiet for the gap, and the next request is read."""
    start = len(d.log_lines())
    d.mcu.send_raw(bytes.fromhex("FA 34 01 FF FF"))
    time.sleep(0.3)
    assert d.mcu.request(VERSION, timeout=3).payload == VERSION_REPLY
    assert [l for l in d.log_lines()[start:] if "error" in l] == ["Receive error2: FA 34 01 FF FF"]
    halves = frame(VERSION, 0x34, 77)  # well within the gap
    d.mcu.send_raw(halves[:4])
    time.sleep(0.02)
    d.mcu.send_raw(halves[4:])
    assert d.mcu.wait_frame(lambda f: f.is_ack, timeout=3).id == 77


def read_until_quiet(fd, quiet):
    data = b""
    while select.select([fd], [], [], quiet)[0]:
        data += os.read(fd, 65536)
    return data


def test_a_line_not_read_for_a_while_gets_whole_frames_only(d):
    """1,500 requests whose acknowledgements and replies (27 KB) do not fit
    the line while the MCU reads nothing until frames are dropped: every byte
    that comes is part of a whole frame, and what could not go out is counted."""
    d.mcu.drain(0.5)
    start = len(d.log_lines())
    requests = b"".join(frame(VERSION, 0x34, k % 255 + 1) for k in range(1500))
    writer = threading.Thread(target=d.mcu.send_raw, args=(requests,), daemon=True)
    writer.start()
    d.wait_log("Serial line full: dropping frames", timeout=120, start=start)
    time.sleep(1.5)
    line = read_until_quiet(d.master, 2.0)
    writer.join(10)
    frames = []
    while line:
        f, used = parse_one(line)
        assert f is not None and f.ok(), "not a whole frame at %d: %s" % (len(line), line[:16].hex(" "))
        frames.append(f)
        line = line[used:]
    log = [l for l in d.log_lines()[start:] if l.startswith("Serial line")]
    assert len(log) == 2 and log[0] == "Serial line full: dropping frames"
    dropped = int(re.fullmatch(r"Serial line takes frames again: (\d+) dropped", log[1]).group(1))
    answered = [f for f in frames if f.is_ack or f.payload == VERSION_REPLY]
    assert dropped > 0 and len(answered) + dropped == 3000
    assert d.mcu.request(VERSION).payload == VERSION_REPLY


# --- a control script that fails ----------------------------------------------

FAULT_SCRIPT = """#!/bin/sh
# Control script stand-in that answers every request with the same fault.
case "$1 $2" in
  "http get") cat '%(dir)s/http'; exit "$(cat '%(dir)s/status')" ;;
  "http put") exit "$(cat '%(dir)s/status')" ;;
  "device uuid") cat '%(dir)s/uuid'; exit "$(cat '%(dir)s/status')" ;;
esac
"""
SLOTS = b'[{"index": 0, "filter_type": "Dirac Live Bass Control", "name": "Music"}]'
HUGE = b"[" + b", ".join([b'{"index": 1, "name": "%s"}' % (b"x" * 40)] * 3000) + b"]"
FAILED_UUID = "13 05 06 01 00"
# (fault, script mode (None: no script at all), http output, exit status, uuid output, UUID reply)
FAULTS = [
    ("missing", None, b"", 0, b"", FAILED_UUID),
    ("not executable", 0o644, SLOTS, 0, b"0f8fad5b\n", FAILED_UUID),
    ("exit status 1", 0o755, SLOTS, 1, b"", FAILED_UUID),
    ("not JSON", 0o755, b"<html>502 Bad Gateway</html>\n", 0, b"", FAILED_UUID),
    ("over 16 KiB", 0o755, HUGE, 0, b"u" * 100000, "13 05 06 FF " + (b"u" * 254 + b"\0").hex(" ")),
    ("NUL bytes", 0o755, b'[{"index": 0, "na\0me": "Music"}]', 0, b"abc\0def\n", "13 05 06 04 61 62 63 00"),
]
# Requests that read the processor (one through the monitor's pass) or run
# the script, with the reply of a failed one; the other requests' failed
# replies are the unit tests'.
FAILED_REPLIES = [("13 02 01", "13 02 02 FF 00 FF 00"), ("13 02 15", "13 02 16 00 FF 00"),
                  ("13 06 00 FF 9C", "13 06 02 FE 8E"), ("13 03 00", "13 03 02")]


def test_failing_control_script_gives_the_failed_replies(d):
    script, fault = d.board.script, d.board.root / "fault"
    fault.mkdir()
    for name, mode, http, status, uuid, uuid_reply in FAULTS:
        script.unlink(missing_ok=True)
        if mode is not None:
            for file, data in (("http", http), ("status", b"%d" % status), ("uuid", uuid)):
                (fault / file).write_bytes(data)
            script.write_text(FAULT_SCRIPT % {"dir": fault})
            script.chmod(mode)
        for request, reply in FAILED_REPLIES + [("13 05 05", uuid_reply)]:
            got = d.mcu.request(bytes.fromhex(request), accept=payload_starts(reply[:5]))
            assert got.payload == bytes.fromhex(reply), (name, request)
    script.write_text(STUB)  # a working processor again, for the tests below
    assert d.mcu.request(VERSION).payload == VERSION_REPLY


# --- processor state files coming and going -----------------------------------

def toggle_state_files(board, rng, stop):
    concord, speaker = board.dirac / "concord", board.dirac / "speaker.json"

    def flip(p):
        p.unlink() if p.exists() else p.write_text("1")
    actions = [lambda: shutil.rmtree(concord, ignore_errors=True), lambda: concord.mkdir(exist_ok=True),
               lambda: flip(concord / rng.choice(("concord_aplay.pid", "concord_cli.ipc", "capture.ipc"))),
               lambda: flip(board.dirac / "connected"), lambda: speaker.unlink(missing_ok=True),
               lambda: speaker.write_bytes(rng.choice([b'{"gain": -12}', b'{"gain": ', b"", b"\0"]))]
    while not stop.wait(rng.choice((0.0005, 0.002, 0.01, 0.05))):
        try:
            rng.choice(actions)()
        except OSError:
            pass  # the directory went away under us: part of the game


def test_state_files_appearing_and_vanishing(d):
    b = d.board
    for path, body in (("/api/list-slots", SLOTS.decode()), ("/api/active-slot", '{"index": 0}'),
                       ("/api/filtering", '{"enabled": true}'), ("/api/speaker", '{"gain": -10}')):
        b.set_reply(path, body)
    stop = threading.Event()
    toggler = threading.Thread(target=toggle_state_files, args=(b, random.Random(99), stop), daemon=True)
    toggler.start()
    state = lambda: d.mcu.request(bytes.fromhex("13 01 01"), accept=payload_starts("13 01 02")).payload  # noqa: E731
    try:
        for _ in range(150):
            assert state().hex(" ") in ("13 01 02 00", "13 01 02 01", "13 01 02 03", "13 01 02 04 ff")
    finally:
        stop.set()
        toggler.join(5)
    # Settled on playing: a request says so, and so does the monitor by its
    # next pass (which a volume request waits for).
    b.set_processor_state(3)
    assert state() == bytes.fromhex("13 01 02 03")
    for _ in range(2):
        d.mcu.request(bytes.fromhex("13 06 00 FF 9C"), accept=payload_starts("13 06 02"))
    assert [line for line in d.log_lines() if line.startswith("DiracState: ")][-1] == "DiracState: 3"


# --- NetworkManager going away and coming back --------------------------------

def test_networkmanager_killed_and_restarted_with_list_requests_in_flight(d):
    counts = []  # the network count of every list page that comes

    def list_page(f):
        if f.payload[:3] == b"\x10\x01\x02":
            counts.append(f.payload[3])
            return True

    def version_or_page(f):
        return not list_page(f) and f.payload == VERSION_REPLY

    for away in range(2):
        # Asks for the list until a page holds both networks.
        assert any(d.mcu.request(LIST, accept=list_page, timeout=20).payload[3] == 2 for _ in range(100))
        for _ in range(3):
            d.mcu.send(LIST)
        d.nm.kill()
        for _ in range(5):
            d.mcu.request(VERSION, accept=version_or_page)
            d.mcu.send(LIST)
        d.nm.start()
        home_networks(d.nm)
    assert any(d.mcu.request(LIST, accept=list_page, timeout=20).payload[3] == 2 for _ in range(100))
    # Lists while NetworkManager was away or coming back were empty or held what the mock had so far.
    assert d.proc.poll() is None and set(counts) <= {0, 1, 2}
