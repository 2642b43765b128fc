"""Faults from outside: line noise and damaged frames, a control script that
fails in every way, processor state files that come and go, and
NetworkManager going away and coming back while requests are in flight."""
import random
import re
import shutil
import threading

from qzharness import FAST, frame, payload_starts, reply_addr
from nmmock import nm, DISCONNECTED, KEY_MGMT_PSK  # noqa: F401

VERSION = bytes.fromhex("05 0B")
VERSION_REPLY = bytes.fromhex("05 12 31 33 34 00")
DROPPED = bytes.fromhex("13 04 00")  # acknowledged, then dropped without a word
LONG_MAX = 4088  # the largest long payload the receive buffer holds


def read_frames(stream):
    """The reader's resync rule applied to the bytes sent: hunt 0xFA, read 5,
    then the rest by the length, check. Returns (start, addr, id, payload) of
    every frame it dispatches; a frame whose end lies beyond the stream is
    still waited for, so it is not in the list."""
    out, i, n = [], 0, len(stream)
    while i < n:
        if stream[i] != 0xFA:
            i += 1
            continue
        if n - i < 6:
            break
        is_long = stream[i + 3] & 0xC0 == 0xC0
        length = ((stream[i + 3] & 0x3F) << 8 | stream[i + 4]) if is_long else stream[i + 3]
        total = length + (8 if is_long else 6)
        if n - i < total:
            break
        f = stream[i:i + total]
        if is_long:
            valid = length <= LONG_MAX and sum(f[:-3]) & 0xFFFF == f[-3] << 8 | f[-2]
        else:
            valid = sum(f[:-2]) & 0xFF == f[-2]
        if valid and f[-1] == 0xF5:
            out.append((i, f[1], f[2], f[5:-3] if is_long else f[4:-2]))
        i += total
    return out


def noisy_stream(rng, count):
    """count DROPPED frames, ids 1..255 in turn, random bytes without a start
    byte between them; and each frame's (start, length)."""
    parts, spans, at = [], [], 0
    for k in range(count):
        gap = bytes(rng.choice([b for b in range(256) if b != 0xFA]) for _ in range(rng.randrange(12)))
        f = frame(DROPPED, 0x34, k % 255 + 1)
        parts += [gap, f]
        spans.append((at + len(gap), len(f)))
        at += len(gap) + len(f)
    return b"".join(parts), spans


# Enough zeros to end any frame a damaged length left open, then a version
# request with id 250.
TAIL = bytes(16383 + 8) + frame(VERSION, 0x34, 250)


def acks_until_version(d, stream):
    """Writes the stream and TAIL from a thread; returns the acknowledgements
    before the version's reply (its own left out)."""
    def write():
        for k in range(0, len(stream), 4096):
            d.mcu.send_raw(stream[k:k + 4096])
        d.mcu.send_raw(TAIL)
    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    acks = []

    def version_reply(f):
        if f.is_ack:
            acks.append((f.addr, f.id))
        return f.payload == VERSION_REPLY and acks[-1:] == [(0x43, 250)]  # not the start-up report
    d.mcu.wait_frame(version_reply, timeout=180)
    writer.join(10)
    return acks[:-1]


def test_ten_thousand_frames_in_line_noise_each_acknowledged_once(board):
    stream, _ = noisy_stream(random.Random(1234), 10000)
    d = board.start(debug=0, fast=FAST)
    d.wait_started()
    assert acks_until_version(d, stream) == [(0x43, k % 255 + 1) for k in range(10000)]
    assert not [l for l in d.log_lines() if "error" in l.lower()]


def test_one_percent_corrupted_bytes_acknowledged_as_the_resync_rule_gives(board):
    rng = random.Random(4321)
    stream, spans = noisy_stream(rng, 10000)
    damaged = bytearray(stream)
    hits = sorted(rng.sample(range(len(stream)), len(stream) // 100))
    for at in hits:
        damaged[at] ^= rng.randrange(1, 256)
    want = [(reply_addr(a), fid) for _, a, fid, p in read_frames(bytes(damaged) + TAIL) if p]
    assert want.pop() == (0x43, 250)
    d = board.start(debug=0, fast=FAST)
    d.wait_started()
    assert acks_until_version(d, bytes(damaged)) == want
    assert d.mcu.request(VERSION).payload == VERSION_REPLY


# --- a control script that fails ----------------------------------------------

FAULT_SCRIPT = """#!/bin/sh
# Control script stand-in that answers every request with the same fault.
dir='%s'
case "$1 $2" in
  "http get") cat "$dir/http"; exit "$(cat "$dir/status")" ;;
  "http put") exit "$(cat "$dir/status")" ;;
  "device uuid") cat "$dir/uuid"; exit "$(cat "$dir/status")" ;;
esac
exit 0
"""

SLOTS = b'[{"index": 0, "filter_type": "Dirac Live Bass Control", "name": "Music"}]'
HUGE = b"[" + b", ".join([b'{"index": 1, "name": "%s"}' % (b"x" * 40)] * 3000) + b"]"
FAILED_UUID = "13 05 06 01 00"
# (fault, script mode, http output, exit status, uuid output, UUID reply);
# mode None: no script file at all.
FAULTS = [
    ("missing", None, b"", 0, b"", FAILED_UUID),
    ("not executable", 0o644, SLOTS, 0, b"0f8fad5b\n", FAILED_UUID),
    ("exit status 1", 0o755, SLOTS, 1, b"", FAILED_UUID),
    ("not JSON", 0o755, b"<html>502 Bad Gateway</html>\n", 0, b"", FAILED_UUID),
    ("over 16 KiB", 0o755, HUGE, 0, b"u" * 100000, "13 05 06 FF " + (b"u" * 254 + b"\0").hex(" ")),
    ("NUL bytes", 0o755, b'[{"index": 0, "na\0me": "Music"}]', 0, b"abc\0def\n", "13 05 06 04 61 62 63 00"),
]
# Every request that reads the processor, with the reply of a failed request.
FAILED_REPLIES = [
    ("13 02 01", "13 02 02 FF 00 FF 00"), ("13 02 0B 00 03", "13 02 0C 00 03 00"),
    ("13 02 15", "13 02 16 00 FF 00"), ("13 02 14 01 02", "13 02 02 FF 00 FF 00"),
    ("13 06 01", "13 06 02 FE 8E"), ("13 06 00 FF 9C", "13 06 02 FE 8E"),  # through the monitor's pass
    ("13 05 02 03 09 " + b"Kitchen\0AB12CD34".hex(" "), "13 05 03"), ("13 03 00", "13 03 02"),
    ("13 01 01", "13 01 02 04 FF"), ("05 0B", "05 12 31 33 34 00"),
]


def test_failing_control_script_gives_the_failed_replies(board):
    d = board.start(debug=0, fast=FAST)
    d.wait_started()
    fault_dir = board.root / "fault"
    fault_dir.mkdir()
    for fault, mode, http, status, uuid, uuid_reply in FAULTS:
        board.script.unlink(missing_ok=True)
        if mode is not None:
            (fault_dir / "http").write_bytes(http)
            (fault_dir / "status").write_text(str(status))
            (fault_dir / "uuid").write_bytes(uuid)
            board.script.write_text(FAULT_SCRIPT % fault_dir)
            board.script.chmod(mode)
        for request, reply in FAILED_REPLIES + [("13 05 05", uuid_reply)]:
            got = d.mcu.request(bytes.fromhex(request), accept=payload_starts(reply[:5]))
            assert got.payload == bytes.fromhex(reply), (fault, request)
    assert d.proc.poll() is None


# --- processor state files coming and going -----------------------------------

STATE_REPORTS = {bytes.fromhex(h) for h in ("13 01 02 00", "13 01 02 01", "13 01 02 03", "13 01 02 04 FF")}


def toggle_state_files(board, rng, stop):
    concord = board.dirac / "concord"
    names = ("concord_aplay.pid", "concord_cli.ipc", "capture.ipc")
    while not stop.wait(rng.choice((0.0005, 0.002, 0.01, 0.05))):
        try:
            what = rng.randrange(6)
            if what == 0:
                shutil.rmtree(concord, ignore_errors=True)
            elif what == 1:
                concord.mkdir(parents=True, exist_ok=True)
            elif what == 2:
                p = concord / rng.choice(names)
                p.unlink() if p.exists() else p.write_text("1")
            elif what == 3:
                p = board.dirac / "connected"
                p.unlink() if p.exists() else p.write_text("")
            elif what == 4:
                (board.dirac / "speaker.json").write_bytes(rng.choice([b'{"gain": -12}', b'{"gain": ', b"", b"\0"]))
            else:
                (board.dirac / "speaker.json").unlink(missing_ok=True)
        except OSError:
            pass  # the directory went away under us: part of the game


def test_state_files_appearing_and_vanishing(board):
    for path, body in (("/api/list-slots", SLOTS.decode()), ("/api/active-slot", '{"index": 0}'),
                       ("/api/filtering", '{"enabled": true}'), ("/api/speaker", '{"gain": -10}')):
        board.set_reply(path, body)
    d = board.start(debug=0, fast=FAST)
    d.wait_started()
    stop = threading.Event()
    toggler = threading.Thread(target=toggle_state_files, args=(board, random.Random(99), stop), daemon=True)
    toggler.start()
    try:
        for _ in range(150):
            f = d.mcu.request(bytes.fromhex("13 01 01"), accept=payload_starts("13 01 02"))
            assert f.payload in STATE_REPORTS, f
    finally:
        stop.set()
        toggler.join(5)
    # Settled on playing: a request says so, and so does the monitor by its
    # next pass (which a volume request waits for).
    board.set_processor_state(3)
    assert d.mcu.request(bytes.fromhex("13 01 01"), accept=payload_starts("13 01 02")).payload == \
        bytes.fromhex("13 01 02 03")
    d.mcu.request(bytes.fromhex("13 06 00 FF 9C"), accept=payload_starts("13 06 02"))
    d.mcu.request(bytes.fromhex("13 06 00 FF 9C"), accept=payload_starts("13 06 02"))
    states = [l for l in d.log_lines() if l.startswith("DiracState: ")]
    assert states[-1] == "DiracState: 3"
    assert all(re.fullmatch(r"DiracState: [0134]", l) for l in states)


# --- NetworkManager going away and coming back --------------------------------

def home_networks(m):
    wl = m.add_wifi("mlan0", DISCONNECTED)
    m.add_ap(wl, "Lab", "00:1A:2B:3C:4D:5E", freq=2437, strength=70, security=KEY_MGMT_PSK)
    m.add_ap(wl, "Kitchen", "00:1A:2B:3C:4D:5F", freq=5180, strength=40)


def page_count(payload):
    """A list page is whole: its entries fill it exactly by their lengths."""
    e = 6
    while e < len(payload):
        assert payload[e] >= 12 and e + payload[e] <= len(payload) and payload[e + payload[e] - 1] == 0
        e += payload[e]
    assert e == len(payload)
    return payload[3]


def test_networkmanager_killed_and_restarted_with_list_requests_in_flight(board, nm):
    home_networks(nm)
    d = board.start(wlan="mlan0", eth="eth0", extra_env=nm.env, debug=0, fast=FAST)
    d.wait_log("nm main loop start.")
    pages = []

    def list_page(f):
        if f.payload[:3] == b"\x10\x01\x02":
            pages.append(page_count(f.payload))
            return True

    def version_or_page(f):
        list_page(f)
        return f.payload == VERSION_REPLY

    def networks_back():
        # Asks for the list until a page with both networks comes back.
        for _ in range(100):
            d.mcu.request(bytes.fromhex("10 01 01"), accept=list_page, timeout=20)
            if pages[-1] == 2:
                return
        raise AssertionError("no list with the networks after NetworkManager came back")

    networks_back()
    for away in range(3):
        for _ in range(3):
            d.mcu.send(bytes.fromhex("10 01 01"))
        nm.kill()
        for _ in range(5):
            d.mcu.request(VERSION, accept=version_or_page)
            d.mcu.send(bytes.fromhex("10 01 01"))
        nm.start()
        home_networks(nm)
        networks_back()
    assert d.proc.poll() is None
    # Lists while NetworkManager was away or coming back were empty or held
    # what the mock had so far; each was whole.
    assert set(pages) <= {0, 1, 2}
