"""The frame link on the wire: acknowledgements, frame sizes, ids, bad frames."""
import re
import time

import pytest

from qzharness import frame, ack


def test_version_request_is_acknowledged_then_answered(board):
    d = board.start(isqz=1)
    d.wait_started()
    d.mcu.drain()
    d.mcu.send_raw(bytes.fromhex("FA 34 07 02 05 0B 47 F5"))
    assert d.mcu.read_frame().raw == bytes.fromhex("FA 43 07 00 44 F5")
    reply = d.mcu.read_frame()
    assert reply.addr == 0x43 and reply.payload == bytes.fromhex("05 12 31 33 34 00")
    d.wait_log("Received: FA 34 07 02 05 0B 47 F5")
    d.wait_log("FA 43 07 00 44 F5")


def test_noise_before_frame_is_skipped_silently(board):
    d = board.start(isqz=1)
    d.wait_started()
    d.mcu.drain()
    before = len(d.log_lines())
    d.mcu.send_raw(bytes.fromhex("00 F5 13") + frame(b"\x05\x0b", 0x34, 9))
    d.mcu.expect_ack(9)
    lines = d.log_lines()[before:]
    assert not [l for l in lines if "error" in l.lower()], lines


def test_wrong_checksum_dumped_not_acknowledged_next_frame_read(board):
    d = board.start(isqz=1)
    d.wait_started()
    d.mcu.drain()
    bad = bytearray(frame(b"\x05\x0b", 0x34, 5))
    bad[-2] ^= 0xFF
    d.mcu.send_raw(bytes(bad) + frame(b"\x05\x0b", 0x34, 6))
    d.mcu.expect_ack(6)
    d.wait_log("Receive error3: " + bytes(bad).hex(" ").upper())


def test_wrong_long_frame_checksum_and_oversized_long_frame(board):
    d = board.start(isqz=1)
    d.wait_started()
    d.mcu.drain()
    bad = bytearray(frame(bytes(200), 0x34, 5))
    bad[-2] ^= 0x01
    d.mcu.send_raw(bytes(bad))
    d.wait_log("Receiving long package: size=200 (0x00C8)")
    d.wait_log("Receive long package error3: " + bytes(bad).hex(" ").upper())
    # L = 5000 does not fit the buffer: read to its end, dropped, reader in step.
    n = 5000
    big = bytes([0xFA, 0x34, 0x06, 0xC0 | (n >> 8), n & 0xFF]) + bytes(n) + b"\x00\x00\xF5"
    d.mcu.send_raw(big + frame(b"\x05\x0b", 0x34, 7))
    d.wait_log("Receiving long package: size=5000 (0x1388)")
    d.wait_log(re.compile(r"^Receive long package error3: FA 34 06 D3 88 00"))
    d.mcu.expect_ack(7)


def test_short_and_long_frames_on_the_wire(board):
    # The console's framed hex text lets us make the daemon send any payload.
    d = board.start(isqz=1, debug=0)
    d.wait_started()
    d.mcu.drain()
    for n, total in ((182, 188), (183, 191)):
        d.write_stdin(" ".join(["00"] * n) + "\n")
        f = d.mcu.read_frame()
        assert len(f.raw) == total and f.payload == bytes(n)


def test_long_frame_of_200_zero_bytes(board):
    d = board.start(isqz=1, debug=0)
    d.wait_started()
    d.mcu.drain()
    d.write_stdin(" ".join(["00"] * 200) + "\n")
    f = d.mcu.read_frame()
    assert f.raw[:5] == bytes([0xFA, 0x43, f.id, 0xC0, 0xC8])
    assert f.raw == frame(bytes(200), 0x43, f.id)
    # Outgoing long frames are dumped even with debugging off.
    d.wait_log(f.raw.hex(" ").upper())


def test_long_frame_checksum_matches_example():
    assert frame(bytes(200), 0x43, 9)[-3:] == bytes.fromhex("02 CE F5")


def test_ids_wrap_from_255_to_1(board):
    d = board.start(isqz=1, debug=0)
    d.wait_started()
    d.mcu.drain()
    ids = []
    for _ in range(260):
        d.write_stdin("05 0B 00\n")
        ids.append(d.mcu.read_frame().id)
    assert 0 not in ids
    i = ids.index(255)
    assert ids[i + 1] == 1


def test_debug_off_prints_nothing_for_valid_short_frames(board):
    d = board.start(isqz=1, debug=0)
    d.wait_started()
    d.mcu.drain()
    before = len(d.log_lines())
    d.mcu.send(b"\x13\x04\x00", id=3)  # dropped silently by dispatch
    d.mcu.expect_ack(3)
    time.sleep(0.3)
    assert d.log_lines()[before:] == []
    d.mcu.send(bytes([0x13, 0x04, 0x00]) + bytes(200), id=4)
    d.mcu.expect_ack(4)
    d.wait_log("Receiving long package: size=203 (0x00CB)")


def test_unframed_sends_bare_payloads_acks_stay_framed(board):
    d = board.start(isqz=0)
    d.wait_ready()
    d.mcu.send(b"\x05\x0b", id=7)
    assert d.mcu.read_raw(6) == ack(7)
    assert d.mcu.read_raw(6) == bytes.fromhex("05 12 31 33 34 00")


def test_empty_payload_frame_not_acknowledged(board):
    d = board.start(isqz=1)
    d.wait_started()
    d.mcu.drain()
    d.mcu.send(b"", id=4)
    d.mcu.no_frame(0.5)
