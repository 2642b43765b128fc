"""The processor requests of the MCU through the real daemon: filter slots,
main volume, state, speaker layout and audio format, against the fake
control script's canned processor replies."""
import time

import pytest

THREE_SLOTS = (
    '[{"index": 0, "filter_type": "Dirac Live Bass Management", "name": "Music"}, '
    '{"index": 7, "filter_type": "dirac live bass control", "name": "Movie Night"}, '
    '{"index": 2, "filter_type": "Dirac Live Active Room Treatment", "name": "Late Quiet"}]'
)
MOVIE_NIGHT_REPORT = bytes.fromhex("13 02 02 01 03 11") + b"Movie Night\x00"
ROOT = "http://127.0.0.1:9"

# PUT hooks of the fake processor: a PUT changes what the next GET returns.
PUT_UPDATES_GET = '''v="${url#*%(key)s=}"; v="${v%%%%&*}"
printf '{"%(key)s": %%s}' "$v" > "$replies/get_api_%(path)s"
'''


def serve_three_slots(board, active=7, enabled="true"):
    board.set_reply("/api/list-slots", THREE_SLOTS)
    board.set_reply("/api/filtering", '{"enabled": %s}' % enabled)
    board.set_reply("/api/active-slot", '{"index": %d}' % active)


def slow_reply(board, endpoint, seconds):
    """Keeps the monitor busy inside one pass: the GET takes this long."""
    (board.replies / (("get" + endpoint).replace("/", "_") + ".sh")).write_text("sleep %s\n" % seconds)


def is_state_report(f):
    return f.payload[:3] == b"\x13\x01\x02"


def is_gain_report(f):
    return f.payload[:3] == b"\x13\x06\x02"


def quiet_daemon(board, state=4, **kw):
    """A daemon past its start-up and first pass, with no processor running."""
    board.set_processor_state(state)
    d = board.start(isqz=1, **kw)
    d.wait_started()
    while not is_state_report(d.mcu.read_frame(5)):
        pass
    return d


def wait_frame(d, pred, timeout=5.0):
    deadline = time.monotonic() + timeout
    while True:
        f = d.mcu.read_frame(max(0.0, deadline - time.monotonic()))
        if pred(f):
            return f


def script_calls_after(board, n):
    return board.script_calls()[n:]


def test_filter_report(board):
    serve_three_slots(board)
    d = quiet_daemon(board)
    n = len(board.script_calls())
    f = d.mcu.request(bytes.fromhex("13 02 01"))
    assert f.addr == 0x43 and f.payload == MOVIE_NIGHT_REPORT
    d.wait_log("DiracFilter: enabled=1 count=3 index=1 type=1 name=Movie Night")
    assert [c[:3] for c in script_calls_after(board, n)] == [
        ["http", "get", ROOT + "/api/list-slots"],
        ["http", "get", ROOT + "/api/filtering"],
        ["http", "get", ROOT + "/api/active-slot"],
    ]


def test_filter_report_without_the_active_slot(board):
    serve_three_slots(board, active=9)
    d = quiet_daemon(board)
    f = d.mcu.request(bytes.fromhex("13 02 01"), addr=0xA4)
    assert f.addr == 0x4A and f.payload == bytes.fromhex("13 02 02 01 03 09 00")


@pytest.mark.parametrize("position,reply", [
    (0, bytes.fromhex("13 02 0C 00 30") + b"Music\x00"),
    (1, bytes.fromhex("13 02 0C 00 11") + b"Movie Night\x00"),
    (2, bytes.fromhex("13 02 0C 00 22") + b"Late Quiet\x00"),
    (5, bytes.fromhex("13 02 0C 00 05 00")),
])
def test_slot_info_by_position(board, position, reply):
    serve_three_slots(board)
    d = quiet_daemon(board)
    f = d.mcu.request(bytes([0x13, 0x02, 0x0B, 0x00, position]))
    assert f.payload == reply


def test_current_slot(board):
    serve_three_slots(board)
    d = quiet_daemon(board)
    f = d.mcu.request(bytes.fromhex("13 02 15"))
    assert f.payload == bytes.fromhex("13 02 16 00 11") + b"Movie Night\x00"
    d.wait_log("DiracFilterInfo: index=1 type=1 name=Movie Night")


def test_select_slot_and_filtering(board):
    serve_three_slots(board, active=0, enabled="false")
    for key, path in (("enabled", "filtering"), ("index", "active-slot")):
        (board.replies / ("put_api_%s.sh" % path)).write_text(PUT_UPDATES_GET % {"key": key, "path": path})
    d = quiet_daemon(board)
    n = len(board.script_calls())
    f = d.mcu.request(bytes.fromhex("13 02 14 05 01"))
    # The reply is the filter report read back after the change.
    assert f.payload == MOVIE_NIGHT_REPORT
    d.wait_log("DiracFilterSetCurrInfo: enabled=5 index=1 7")
    assert [c[:3] for c in script_calls_after(board, n)] == [
        ["http", "get", ROOT + "/api/list-slots"],
        ["http", "put", ROOT + "/api/filtering?enabled=1&id=8090"],
        ["http", "put", ROOT + "/api/active-slot?index=7&id=8090"],
        ["http", "get", ROOT + "/api/filtering"],
        ["http", "get", ROOT + "/api/active-slot"],
    ]


@pytest.mark.parametrize("state,reply", [
    (4, "13 01 02 04 FF"), (0, "13 01 02 00"), (1, "13 01 02 01"), (3, "13 01 02 03"),
])
def test_state_request(board, state, reply):
    serve_three_slots(board)
    d = quiet_daemon(board, state)
    d.mcu.drain(1.0)  # the first run's frames in state 1
    f = d.mcu.request(bytes.fromhex("13 01 01"), skip=lambda f: not is_state_report(f))
    assert f.addr == 0x43 and f.payload == bytes.fromhex(reply)
    d.wait_log("dirac state command: 1")


def test_main_volume_report(board):
    board.set_reply("/api/speaker", '{"gain": -7.5}')
    d = quiet_daemon(board)
    f = d.mcu.request(bytes.fromhex("13 06 01"))
    assert f.payload == bytes.fromhex("13 06 02 FF B0")
    board.clear_reply("/api/speaker")
    f = d.mcu.request(bytes.fromhex("13 06 01"))
    assert f.payload == bytes.fromhex("13 06 02 FE 8E")


def test_main_volume_set_puts_whole_db_then_reports(board):
    board.set_reply("/api/speaker", '{"gain": -1}')
    d = quiet_daemon(board)
    d.mcu.send(bytes.fromhex("13 06 00 FF F1"))  # -1.5 dB
    f = wait_frame(d, is_gain_report)
    assert f.addr == 0x43 and f.payload == bytes.fromhex("13 06 02 FF F6")
    d.wait_log("DiracMainVolSet: -1")
    assert ["http", "put", ROOT + "/api/speaker?gain=-1&id=8090"] in board.script_calls()


def test_two_gain_sets_in_one_pass(board):
    serve_three_slots(board)
    board.set_reply("/api/speaker", '{"gain": -20}')
    slow_reply(board, "/api/list-slots", 1)
    board.set_processor_state(1)
    d = board.start(isqz=1)
    # The first run that follows the state report holds the pass for > 1 s.
    wait_frame(d, is_state_report)
    d.mcu.send(bytes.fromhex("13 06 00 FF 9C"), addr=0x34)
    d.mcu.send(bytes.fromhex("13 06 00 FF 38"), addr=0xA4)
    f = wait_frame(d, is_gain_report, timeout=8)
    assert f.addr == 0x4A and f.payload == bytes.fromhex("13 06 02 FF 38")
    d.wait_log("DiracGain: -100 -> -200")
    others = [x for x in d.mcu.frames(2.0) if is_gain_report(x)]
    assert others == []
    speaker_puts = [c for c in board.script_calls() if c[:2] == ["http", "put"] and "/api/speaker" in c[2]]
    # The first run's default gain, then the one queued request.
    assert [c[2] for c in speaker_puts] == [ROOT + "/api/speaker?gain=0&id=8090",
                                           ROOT + "/api/speaker?gain=-20&id=8090"]


@pytest.mark.parametrize("code,lfe,figures,label", [
    (5, 1, "5 1 0", "SpConfig: 5(0x05) 5.1.0 320: FL_FR_LS_RS_FC_LFE                               5.1    5x"),
    (5, 0, "5 0 0", "SpConfig: 5(0x05) 5.0.0 320: FL_FR_LS_RS_FC                                   5.0    5x"),
    (14, 2, "2 2 0", "SpConfig: 14(0x0E) 2.2.0 212: FL_FR_LTM_RTM_LFE_CS"),
])
def test_speaker_layout_runs_then_filter_report(board, code, lfe, figures, label):
    serve_three_slots(board)
    d = quiet_daemon(board)
    d.mcu.send(bytes([0x06, 0x23, 0x02, code, lfe]))
    d.wait_log(label)
    board.wait_calls(lambda c: c == ("halvane", ["UpdateSpConfig"] + figures.split()), timeout=3)
    seen = time.monotonic()
    f = wait_frame(d, lambda f: f.payload[:3] == b"\x13\x02\x02", timeout=4)
    assert f.addr == 0x43 and f.payload == MOVIE_NIGHT_REPORT
    assert time.monotonic() - seen >= 0.8  # the processor gets its second first


def test_two_layouts_in_one_pass_run_once(board):
    serve_three_slots(board)
    slow_reply(board, "/api/list-slots", 1)
    board.set_processor_state(1)
    d = board.start(isqz=1)
    wait_frame(d, is_state_report)
    d.mcu.send(bytes.fromhex("06 23 02 05 01"))
    d.mcu.send(bytes.fromhex("06 23 02 0E 02"))
    d.wait_log("SpeakerConfig: 5.1.0 -> 2.2.0")
    board.wait_calls(lambda c: c[1][:1] == ["UpdateSpConfig"], timeout=8)
    time.sleep(2.5)
    runs = [c for c in board.script_calls() if c[:1] == ["UpdateSpConfig"]]
    assert runs == [["UpdateSpConfig", "2", "2", "0"]]


@pytest.mark.parametrize("code,rate", [(0x09, 48000), (0x01, 8000), (0x10, 0), (0xFF, 0)])
def test_audio_format(board, code, rate):
    d = quiet_daemon(board)
    n = len(board.script_calls())
    id = d.mcu.send(bytes([0x02, 0x7E, 0x00, 0x00, code]))
    d.mcu.expect_ack(id)
    d.wait_log("AudioInfoReport: SamplingFreq=%d SampleRate=%d" % (code, rate))
    time.sleep(0.3)
    calls = script_calls_after(board, n)
    assert calls == ([["sample_rate", str(rate)]] if rate > 0 else [])
    d.mcu.no_frame(0.5)
