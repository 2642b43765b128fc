"""Faults from outside: line noise and damaged frames, a control script that
fails in every way, processor state files that come and go, and
NetworkManager going away and coming back while requests are in flight."""
import random
import re
import shutil
import threading
import time

import pytest

from qzharness import frame
from nmmock import nm, DISCONNECTED, KEY_MGMT_PSK  # noqa: F401

VERSION = bytes.fromhex("05 0B")
VERSION_REPLY = bytes.fromhex("05 12 31 33 34 00")
DROPPED = bytes.fromhex("13 04 00")  # dropped without a word by the daemon
WIFI_LIST = bytes.fromhex("10 01 01")
LIST_PAGE = bytes.fromhex("10 01 02")
LONG_MAX = 4088  # the largest long payload the receive buffer holds


# --- the reader's resync rule, applied to the bytes sent ----------------------

def frame_is_valid(f, length, is_long):
    if is_long:
        return f[7 + length] == 0xF5 and sum(f[:5 + length]) & 0xFFFF == (f[5 + length] << 8 | f[6 + length])
    return f[5 + length] == 0xF5 and sum(f[:4 + length]) & 0xFF == f[4 + length]


def read_frames(stream, spans=None):
    """Hunt 0xFA, read 5, then the rest by the length, check: the frames the
    reader dispatches, as (start, total, addr, id, payload). A frame whose end
    lies beyond the stream is still waited for, so it is not in the list.
    `spans` (a list) gets (start, total, kind) of every frame read, valid or not."""
    out = []
    i, n = 0, len(stream)
    while i < n:
        if stream[i] != 0xFA:
            i += 1
            continue
        if n - i < 6:
            break
        b3 = stream[i + 3]
        is_long = b3 & 0xC0 == 0xC0
        length = ((b3 & 0x3F) << 8 | stream[i + 4]) if is_long else b3
        total = length + (8 if is_long else 6)
        if n - i < total:
            break
        f = stream[i:i + total]
        if spans is not None:
            spans.append((i, total, "oversized long" if is_long and length > LONG_MAX
                          else "long" if is_long else "short"))
        if (not is_long or length <= LONG_MAX) and frame_is_valid(f, length, is_long):
            payload = f[5:5 + length] if is_long else f[4:4 + length]
            out.append((i, total, f[1], f[2], bytes(payload)))
        i += total
    return out


def expected_acks(stream):
    """(address, id) of every acknowledgement, in order: valid frames with a payload."""
    return [(((a << 4) | (a >> 4)) & 0xFF, fid) for _, _, a, fid, p in read_frames(stream) if p]


def noise(rng, count):
    """Random bytes without a start byte."""
    return bytes(rng.choice([b for b in range(256) if b != 0xFA]) for _ in range(count))


def build_noisy_stream(rng, count):
    """count frames of DROPPED, ids 1..255 in turn, with noise between them.
    Returns the stream and each frame's (start, total)."""
    parts, spans, at = [], [], 0
    for k in range(count):
        gap = noise(rng, rng.randrange(0, 12))
        f = frame(DROPPED, 0x34, k % 255 + 1)
        parts += [gap, f]
        at += len(gap)
        spans.append((at, len(f)))
        at += len(f)
    return b"".join(parts), spans


def collect_acks(d, want, timeout):
    """Acknowledgements (empty frames) until `want` have come and the line
    stays quiet for a second, or the time is up. Other frames are skipped."""
    acks = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        wait = 1.0 if len(acks) >= want else max(0.0, deadline - time.monotonic())
        try:
            f = d.mcu.read_frame(wait)
        except TimeoutError:
            if len(acks) >= want:
                break
            continue
        if f.is_ack:
            acks.append((f.addr, f.id))
    return acks


def send_in_background(d, data, chunk=4096):
    """Writes data to the line from a thread while the test reads the acks:
    neither side's queue fills up."""
    def run():
        for k in range(0, len(data), chunk):
            d.mcu.send_raw(data[k:k + chunk])
    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t


def test_ten_thousand_frames_in_line_noise_each_acknowledged_once(board):
    rng = random.Random(1234)
    stream, _ = build_noisy_stream(rng, 10000)
    d = board.start(debug=0)
    d.wait_started()
    d.mcu.drain(1.5)
    writer = send_in_background(d, stream)
    acks = collect_acks(d, 10000, timeout=120)
    writer.join(10)
    assert len(acks) == 10000
    assert acks == [(0x43, k % 255 + 1) for k in range(10000)]
    assert not [l for l in d.log_lines() if "error" in l.lower()]
    assert d.proc.poll() is None


def test_one_percent_corrupted_bytes_acknowledged_as_the_resync_rule_gives(board):
    rng = random.Random(4321)
    clean, spans = build_noisy_stream(rng, 10000)
    damaged = bytearray(clean)
    hits = sorted(rng.sample(range(len(clean)), len(clean) // 100))
    for at in hits:
        damaged[at] ^= rng.randrange(1, 256)
    # Zeros long enough to finish any frame a damaged length left open, then
    # one clean frame that must be read in step.
    tail = bytes(16383 + 8) + frame(VERSION, 0x34, 77)
    stream = bytes(damaged) + tail

    read = []
    dispatched = read_frames(stream, read)
    want = expected_acks(stream)
    assert want[-1] == (0x43, 77)
    hit_set = set(hits)
    touched = [any(a in hit_set for a in range(s, s + n)) for s, n in spans]
    originals = {s for (s, n), t in zip(spans, touched) if not t}
    got_at = {start for start, *_ in dispatched}
    swallowed = sorted(s for s in originals if s not in got_at)
    slipped = sum(1 for start, *_ in dispatched if start not in originals and start < len(damaged))
    # Which kind of damaged frame covered each swallowed one.
    by_kind = {}
    for s in swallowed:
        kind = next((k for start, total, k in read if start < s < start + total), "other")
        by_kind[kind] = by_kind.get(kind, 0) + 1
    print("\n%d bytes damaged; %d frames untouched, %d of them swallowed by a damaged frame (%s); "
          "%d damaged frames slipped past the checksum; %d acknowledgements expected"
          % (len(hits), len(originals), len(swallowed),
             ", ".join("%d by %s lengths" % (c, k) for k, c in sorted(by_kind.items())),
             slipped, len(want)))

    d = board.start(debug=0)
    d.wait_started()
    d.mcu.drain(1.5)
    writer = send_in_background(d, stream)
    acks = collect_acks(d, len(want), timeout=180)
    writer.join(10)
    assert acks == want
    assert d.mcu.request(VERSION).payload == VERSION_REPLY
    assert d.proc.poll() is None


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
IDENTITY = bytes.fromhex("13 05 02 03 09") + b"Kitchen\0" + b"AB12CD34"

# (fault, script mode, http output, exit status, uuid output, UUID reply);
# mode None: no script file at all.
FAULTS = [
    ("missing", None, b"", 0, b"", bytes.fromhex("13 05 06 01 00")),
    ("not executable", 0o644, SLOTS, 0, b"0f8fad5b\n", bytes.fromhex("13 05 06 01 00")),
    ("exit status 1", 0o755, SLOTS, 1, b"", bytes.fromhex("13 05 06 01 00")),
    ("not JSON", 0o755, b"<html>502 Bad Gateway</html>\n", 0, b"", bytes.fromhex("13 05 06 01 00")),
    ("over 16 KiB", 0o755, HUGE, 0, b"u" * 100000, bytes.fromhex("13 05 06 FF") + b"u" * 254 + b"\0"),
    ("NUL bytes", 0o755, b'[{"index": 0, "na\0me": "Music"}]', 0, b"abc\0def\n",
     bytes.fromhex("13 05 06 04") + b"abc\0"),
]

# Every request that reads the processor, with the reply of a failed request.
FAILED_REPLIES = [
    (bytes.fromhex("13 02 01"), bytes.fromhex("13 02 02 FF 00 FF 00")),
    (bytes.fromhex("13 02 0B 00 03"), bytes.fromhex("13 02 0C 00 03 00")),
    (bytes.fromhex("13 02 15"), bytes.fromhex("13 02 16 00 FF 00")),
    (bytes.fromhex("13 02 14 01 02"), bytes.fromhex("13 02 02 FF 00 FF 00")),
    (bytes.fromhex("13 06 01"), bytes.fromhex("13 06 02 FE 8E")),
    (bytes.fromhex("13 06 00 FF 9C"), bytes.fromhex("13 06 02 FE 8E")),  # from the monitor's pass
    (IDENTITY, bytes.fromhex("13 05 03")),
    (bytes.fromhex("13 03 00"), bytes.fromhex("13 03 02")),
    (bytes.fromhex("13 01 01"), bytes.fromhex("13 01 02 04 FF")),
    (VERSION, VERSION_REPLY),
]


def install_fault(board, mode, http, status, uuid):
    if mode is None:
        board.script.unlink()
        return
    fault = board.root / "fault"
    fault.mkdir(exist_ok=True)
    (fault / "http").write_bytes(http)
    (fault / "status").write_text(str(status))
    (fault / "uuid").write_bytes(uuid)
    board.script.write_text(FAULT_SCRIPT % fault)
    board.script.chmod(mode)


@pytest.mark.parametrize("fault,mode,http,status,uuid,uuid_reply", FAULTS, ids=[f[0] for f in FAULTS])
def test_failing_control_script_gives_the_failed_replies(board, fault, mode, http, status, uuid,
                                                         uuid_reply):
    install_fault(board, mode, http, status, uuid)
    d = board.start(debug=0)
    d.wait_started()
    d.mcu.drain(1.5)
    for request, reply in FAILED_REPLIES + [(bytes.fromhex("13 05 05"), uuid_reply)]:
        assert d.mcu.request(request).payload == reply, "%s: %s" % (fault, request.hex(" "))
    assert d.mcu.request(VERSION).payload == VERSION_REPLY
    assert d.proc.poll() is None


# --- processor state files coming and going -----------------------------------

STATE_FILES = ("concord_aplay.pid", "concord_cli.ipc", "capture.ipc")
SPEAKER_JSON = [b'{"gain": -12}', b'{"gain": ', b"", b"\0\0\0", b'{"gain": "loud"}']


def toggle_state_files(board, rng, stop):
    concord = board.dirac / "concord"
    while not stop.is_set():
        what = rng.randrange(6)
        try:
            if what == 0:
                shutil.rmtree(concord, ignore_errors=True)
            elif what == 1:
                concord.mkdir(parents=True, exist_ok=True)
            elif what == 2:
                p = concord / rng.choice(STATE_FILES)
                if p.exists():
                    p.unlink()
                else:
                    p.write_text("1")
            elif what == 3:
                p = board.dirac / "connected"
                p.unlink() if p.exists() else p.write_text("")
            elif what == 4:
                (board.dirac / "speaker.json").write_bytes(rng.choice(SPEAKER_JSON))
            else:
                (board.dirac / "speaker.json").unlink(missing_ok=True)
        except OSError:
            pass  # the directory went away under us: part of the game
        time.sleep(rng.choice((0.0005, 0.002, 0.01, 0.05, 0.3)))


def ask(d, payload, accept, timeout=10):
    """Sends a request and returns the first frame after its acknowledgement
    that `accept` takes; unsolicited frames may come before and after the
    acknowledgement."""
    rid = d.mcu.send(payload)
    acked = False
    deadline = time.monotonic() + timeout
    while True:
        f = d.mcu.read_frame(max(0.0, deadline - time.monotonic()))
        if f.is_ack:
            acked = acked or f.id == rid
        elif acked and accept(f.payload):
            return f


def is_state_report(payload):
    return payload in (bytes.fromhex("13 01 02 00"), bytes.fromhex("13 01 02 01"),
                       bytes.fromhex("13 01 02 03"), bytes.fromhex("13 01 02 04 FF"))


def test_state_files_appearing_and_vanishing(board):
    board.set_reply("/api/list-slots", SLOTS.decode())
    board.set_reply("/api/active-slot", '{"index": 0}')
    board.set_reply("/api/filtering", '{"enabled": true}')
    board.set_reply("/api/speaker", '{"gain": -10}')
    d = board.start(debug=0)
    d.wait_started()
    rng = random.Random(99)
    stop = threading.Event()
    toggler = threading.Thread(target=toggle_state_files, args=(board, rng, stop), daemon=True)
    toggler.start()
    try:
        deadline = time.monotonic() + 10
        asked = 0
        while time.monotonic() < deadline:
            # Unsolicited reports come in between; the answer to our request
            # is a state report like them.
            f = ask(d, bytes.fromhex("13 01 01"), lambda p: p[:3] == bytes.fromhex("13 01 02"))
            assert is_state_report(f.payload), f
            asked += 1
            time.sleep(rng.choice((0.0, 0.05, 0.2)))
    finally:
        stop.set()
        toggler.join(5)
    states = [l for l in d.log_lines() if l.startswith("DiracState: ")]
    print("\n%d state requests answered while the files changed; the monitor saw %d changes"
          % (asked, len(states)))
    assert asked > 10
    # Settled: playing. The monitor reports it and so does a request.
    board.dirac.joinpath("concord").mkdir(parents=True, exist_ok=True)
    board.set_processor_state(3)
    assert ask(d, bytes.fromhex("13 01 01"), is_state_report).payload == bytes.fromhex("13 01 02 03")
    time.sleep(2.5)  # two passes of the monitor
    states = [l for l in d.log_lines() if l.startswith("DiracState: ")]
    assert states[-1] == "DiracState: 3"
    assert all(re.fullmatch(r"DiracState: [0134]", l) for l in states)
    assert ask(d, VERSION, lambda p: p[:2] == VERSION_REPLY[:2]).payload == VERSION_REPLY
    assert d.proc.poll() is None


# --- NetworkManager going away and coming back --------------------------------

def home_networks(m):
    wl = m.add_wifi("mlan0", DISCONNECTED)
    m.add_ap(wl, "Lab", "00:1A:2B:3C:4D:5E", freq=2437, strength=70, security=KEY_MGMT_PSK)
    m.add_ap(wl, "Kitchen", "00:1A:2B:3C:4D:5F", freq=5180, strength=40)
    return wl


def check_page(payload):
    """A list page is whole: its entries fill it exactly by their lengths."""
    assert payload[:3] == LIST_PAGE and len(payload) >= 6
    e = 6
    while e < len(payload):
        assert payload[e] >= 12 and e + payload[e] <= len(payload)
        assert payload[e + payload[e] - 1] == 0
        e += payload[e]
    assert e == len(payload)
    return payload[3]


def ask_version(d, pages):
    """A version request answered while list pages may come in between."""
    rid = d.mcu.send(VERSION)
    acked = False
    deadline = time.monotonic() + 10
    while True:
        f = d.mcu.read_frame(max(0.0, deadline - time.monotonic()))
        if f.is_ack:
            acked = acked or f.id == rid
        elif f.payload[:3] == LIST_PAGE:
            pages.append(check_page(f.payload))
        elif f.payload == VERSION_REPLY and acked:
            return


def wait_for_networks(d, pages, timeout=20):
    """Asks for the list until a page with networks comes back."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        d.mcu.send(WIFI_LIST)
        until = time.monotonic() + 1.0
        while time.monotonic() < until:
            try:
                f = d.mcu.read_frame(max(0.0, until - time.monotonic()))
            except TimeoutError:
                break
            if f.payload[:3] == LIST_PAGE:
                count = check_page(f.payload)
                pages.append(count)
                if count == 2:
                    return
    raise AssertionError("no list with the networks after NetworkManager came back")


def test_networkmanager_killed_and_restarted_with_list_requests_in_flight(board, nm):
    home_networks(nm)
    d = board.start(wlan="mlan0", eth="eth0", extra_env=nm.env, debug=0)
    d.wait_log("nm main loop start.")
    d.mcu.drain(1.5)
    pages = []
    wait_for_networks(d, pages)
    for away in range(3):
        for _ in range(3):
            d.mcu.send(WIFI_LIST)
        nm.kill()
        for _ in range(5):
            ask_version(d, pages)
            d.mcu.send(WIFI_LIST)
        nm.start()
        home_networks(nm)
        ask_version(d, pages)
        wait_for_networks(d, pages)
        ask_version(d, pages)
    assert d.proc.poll() is None
    print("\nlist pages by network count: %s" % {c: pages.count(c) for c in sorted(set(pages))})
    # Lists while NetworkManager was away or coming back were empty or held
    # what the mock had so far; check_page found each whole.
    assert set(pages) <= {0, 1, 2}
