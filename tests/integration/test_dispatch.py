"""The command table: every row this side of the processor and network
handlers, the dumps of unknown and short commands, the silent drops, and the
identity replies byte for byte."""
import re
import time

import pytest


def started(board, **kw):
    d = board.start(isqz=1, **kw)
    d.wait_started()
    d.mcu.drain(0.5)
    return d


def send_and_ack(d, payload, addr=0x34):
    id = d.mcu.send(payload, addr=addr)
    d.mcu.expect_ack(id, ((addr << 4) | (addr >> 4)) & 0xFF)


@pytest.mark.parametrize("payload,line", [
    ("06 23 02 0B 01 00", "Unknown command: 06 23 02 0B 01 00"),
    ("06 23 02 0B", "Unknown command: 06 23 02 0B"),
    ("12 01 02 01", "Unknown command: 12 01 02 01"),
    ("12 01 02", "Unknown command: 12 01 02"),
    ("07", "Unknown command: 07"),
    ("02 01", "Unknown COMMAND_MODE: 02 01"),
    ("02", "Unknown COMMAND_MODE: 02"),
    ("13 06 00 FF", "Short command: 13 06 00 FF"),
    ("13 05 02 00 05 41 42", "Short command: 13 05 02 00 05 41 42"),
    ("10 01 02 01 01", "Short command: 10 01 02 01 01"),
    ("10 05 0B 00 00 14 1A 07 1C", "Short command: 10 05 0B 00 00 14 1A 07 1C"),
    ("13 01", "Short command: 13 01"),
])
def test_unknown_and_short_commands_are_dumped_and_answered_by_nothing(board, payload, line):
    d = started(board, debug=0)
    send_and_ack(d, bytes.fromhex(payload))
    assert d.wait_log(line) == line
    d.mcu.no_frame(0.4)
    assert board.script_calls() == []


@pytest.mark.parametrize("payload", ["05 0D", "0C 02", "13 04 00", "10 06 00", "13 05 07", "10 01 05"])
def test_unnamed_functions_of_known_modes_are_dropped_silently(board, payload):
    d = started(board, debug=0)
    before = len(d.log_lines())
    send_and_ack(d, bytes.fromhex(payload))
    d.mcu.no_frame(0.4)
    assert d.log_lines()[before:] == []


def test_power_off_runs_poweroff_only(board):
    d = started(board, debug=0)
    send_and_ack(d, bytes.fromhex("12 01 02 00"))
    d.wait_log("Exec=0: poweroff")
    assert board.stub_calls("poweroff") == [[]]
    d.mcu.no_frame(0.3)


def test_software_update_runs_the_script(board):
    d = started(board, debug=0)
    send_and_ack(d, bytes.fromhex("0C 01"))
    d.wait_log("Program updating...")
    d.wait_log("Exec=0: %s update exec" % board.script)
    assert board.script_calls() == [["update", "exec"]]
    d.mcu.no_frame(0.3)


@pytest.mark.parametrize("addr,reply_addr", [(0x34, 0x43), (0xA4, 0x4A)])
def test_audio_reset_runs_script_before_reply(board, addr, reply_addr):
    d = started(board, debug=0)
    id = d.mcu.send(bytes.fromhex("13 03 00"), addr=addr)
    d.mcu.expect_ack(id, reply_addr)
    f = d.mcu.read_frame()
    assert (f.addr, f.payload) == (reply_addr, bytes.fromhex("13 03 02"))
    # The script had run (and returned) by the time the reply went out.
    assert board.script_calls() == [["zel_reset"]]
    lines = d.log_lines()
    assert lines.index("zel resetting...") < lines.index("Exec=0: %s zel_reset" % board.script)


def test_version_and_build_date_replies(board):
    d = started(board, debug=0)
    assert d.mcu.request(bytes.fromhex("05 0B")).payload == bytes.fromhex("05 12 31 33 34 00")
    assert d.mcu.request(bytes.fromhex("05 0C")).payload == b"\x05\x13260728\x00\x00"
    d.wait_log("COMMAND_FUNC_RDVER: 134")
    d.wait_log("COMMAND_FUNC_RDDATE: 260728 ")


def test_build_date_carries_processor_version(board):
    d = started(board, debug=0, version="3.9.1")
    reply = d.mcu.request(bytes.fromhex("05 0C"), addr=0xA4)
    assert reply.addr == 0x4A
    assert reply.payload == b"\x05\x13260728\x003.9.1\x00" and len(reply.payload) == 15
    d.wait_log("COMMAND_FUNC_RDDATE: 260728 3.9.1")


HOSTILE = 'Liv"ing $(reboot) `reboot`; reboot & \\ \'x\'\nnext'


def identity_body(name, device_id):
    raw = name.encode() + b"\x00"
    return bytes([0x13, 0x05, 0x02, 0, len(raw)]) + raw + device_id.encode()


@pytest.mark.parametrize("name", ["Living Room", HOSTILE])
def test_device_identity_is_handed_to_the_script_exactly(board, name):
    d = started(board, debug=0)
    reply = d.mcu.request(identity_body(name, "AB12CD34"))
    assert reply.payload == bytes.fromhex("13 05 03")
    d.wait_log(re.compile(r"^DevicInfo report: 0 %d ID=AB12CD34 Name=Liv" % (len(name.encode()) + 1)))
    calls = board.wait_calls(lambda c: c[0] == "halvane")
    assert calls[0][1] == ["device", "id_name", "AB12CD34", name]
    time.sleep(0.3)
    assert board.stub_calls("reboot") == []


def test_device_identity_with_counts_pointing_outside_is_refused(board):
    d = started(board, debug=0)
    payload = bytes([0x13, 0x05, 0x02, 0, 40]) + b"Kitchen\x00AB12CD34"
    send_and_ack(d, payload)
    d.wait_log("Short command: " + payload.hex(" ").upper())
    d.mcu.no_frame(0.4)
    assert board.script_calls() == []


@pytest.mark.parametrize("text,length", [
    ("123e4567-e89b-12d3-a456-426614174000\n", 38),
    ("", 1),
    ("x" * 400, 255),
])
def test_uuid_report(board, text, length):
    board.set_uuid(text)
    d = started(board, debug=0)
    reply = d.mcu.request(bytes.fromhex("13 05 05"))
    shown = text[:254].encode()
    assert reply.payload == bytes([0x13, 0x05, 0x06, length]) + shown + b"\x00"
    assert len(reply.payload) == 4 + length
    assert board.script_calls() == [["device", "uuid"]]


def test_wifi_list_page_from_the_mcu_is_logged(board):
    d = started(board, debug=0)
    entry = bytes([17, 5, 80, 2, 6]) + bytes.fromhex("00 11 22 33 44 55") + b"Home1\x00"
    send_and_ack(d, bytes([0x10, 0x01, 0x02, 5, 2, 2]) + entry)
    d.wait_log("Received WiFiList: count=5 page=2/2:")
    d.wait_log(" 5(17).  80% 2   6 00:11:22:33:44:55 Home1")
    d.mcu.no_frame(0.3)


@pytest.mark.parametrize("entries", [
    bytes([0]) + bytes(16),                                    # zero length
    bytes([40, 1, 80, 2, 6]) + bytes(6) + b"Short\x00",          # runs past the page
])
def test_wifi_list_page_with_bad_entry_stops_the_walk(board, entries):
    d = started(board, debug=0)
    before = len(d.log_lines())
    send_and_ack(d, bytes([0x10, 0x01, 0x02, 1, 1, 1]) + entries)
    d.wait_log("Received WiFiList: count=1 page=1/1:")
    time.sleep(0.3)
    assert d.log_lines()[before:] == ["Received WiFiList: count=1 page=1/1:"]
