"""The state monitor on the wire: start-up reports, the processor state
machine with its first-run and 1<->3 actions, the filter and gain watches.
The monitor's state files live in the board's /tmp/dirac."""
import re
import time

import pytest

THREE_SLOTS = (
    '[{"index": 0, "filter_type": "Dirac Live Bass Management", "name": "Music"}, '
    '{"index": 7, "filter_type": "dirac live bass control", "name": "Movie Night"}, '
    '{"index": 2, "filter_type": "Dirac Live Active Room Treatment", "name": "Late Quiet"}]'
)
MOVIE_NIGHT_REPORT = bytes.fromhex("13 02 02 01 03 11") + b"Movie Night\x00"
GET_SPEAKER_CONFIG = bytes.fromhex("06 23 01")


def is_filter_report(f):
    return f.payload[:3] == b"\x13\x02\x02"


def is_state_report(f):
    return f.payload[:3] == b"\x13\x01\x02"


def is_gain_report(f):
    return f.payload[:3] == b"\x13\x06\x02"


def serve_three_slots(board, active=7, enabled="true"):
    board.set_reply("/api/list-slots", THREE_SLOTS)
    board.set_reply("/api/filtering", '{"enabled": %s}' % enabled)
    board.set_reply("/api/active-slot", '{"index": %d}' % active)


def start(board, state, **kw):
    board.set_processor_state(state)
    d = board.start(isqz=1, **kw)
    return d


def wait_frame(d, pred, timeout=5.0):
    """The next frame matching pred; the ones before it are returned too."""
    deadline = time.monotonic() + timeout
    seen = []
    while True:
        f = d.mcu.read_frame(max(0.0, deadline - time.monotonic()))
        seen.append(f)
        if pred(f):
            return f, seen


def path_of(call):
    """The endpoint path of an "http get/put URL" call, without the query."""
    return "/" + call[2].split("://", 1)[1].split("/", 1)[1].split("?", 1)[0]


def gets(board, path):
    return [c for c in board.script_calls() if c[:2] == ["http", "get"] and c[2].endswith(path)]


def puts(board, path):
    return [c for c in board.script_calls() if c[:2] == ["http", "put"] and path in c[2]]


def wait_new_call(board, path, count, timeout):
    """Waits until there are more than `count` GETs of path; returns the time."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if len(gets(board, path)) > count:
            return time.monotonic()
        time.sleep(0.02)
    raise TimeoutError("no new GET of %s; calls: %r" % (path, board.script_calls()))


@pytest.mark.parametrize("files,report", [
    ((), "13 01 02 04 FF"),
    (("concord_cli.ipc",), "13 01 02 01"),
    (("capture.ipc",), "13 01 02 00"),
    (("concord_cli.ipc", "capture.ipc"), "13 01 02 01"),
    (("concord_aplay.pid",), "13 01 02 03"),
    (("concord_aplay.pid", "concord_cli.ipc", "capture.ipc"), "13 01 02 03"),
])
def test_start_up_then_state_report_on_first_pass(board, files, report):
    board.set_state_files(*files)
    d = board.start(isqz=1)
    version, date, state = d.mcu.read_frame(), d.mcu.read_frame(), d.mcu.read_frame()
    assert version.addr == 0x43 and version.payload == bytes.fromhex("05 12 31 33 34 00")
    assert date.addr == 0x43 and date.payload[:2] == b"\x05\x13"
    assert state.addr == 0x43 and state.payload == bytes.fromhex(report)
    code = int(report.split()[3], 16)
    d.wait_log("DiracState: %d" % code)
    d.wait_log("DiracDiracState: state=%d code=255" % code)


@pytest.mark.parametrize("gain,put", [(0, 0), (-5, -5), (6, None)])
def test_first_run_actions(board, gain, put):
    serve_three_slots(board)
    d = start(board, 1, gain=gain)
    state, _ = wait_frame(d, is_state_report)
    assert state.payload == bytes.fromhex("13 01 02 01")
    report = d.mcu.read_frame()
    assert report.addr == 0x43 and report.payload == MOVIE_NIGHT_REPORT
    ask = d.mcu.read_frame()
    assert ask.addr == 0x43 and ask.payload == GET_SPEAKER_CONFIG
    d.wait_log(re.compile(r"^FirstRun: \d+ time=\d+$"))
    speaker_puts = puts(board, "/api/speaker")
    if put is None:
        assert speaker_puts == []
    else:
        assert speaker_puts == [["http", "put", "http://127.0.0.1:9/api/speaker?gain=%d&id=8090" % put]]


def test_first_run_once_per_process(board):
    serve_three_slots(board)
    d = start(board, 1)
    wait_frame(d, lambda f: f.payload == GET_SPEAKER_CONFIG)
    board.set_processor_state(3)
    f, _ = wait_frame(d, is_state_report)
    assert f.payload == bytes.fromhex("13 01 02 03")
    board.set_processor_state(1)
    f, _ = wait_frame(d, is_state_report)
    assert f.payload == bytes.fromhex("13 01 02 01")
    # 3 -> 1 once the first run is done: only the filter report.
    f = d.mcu.read_frame()
    assert f.payload == MOVIE_NIGHT_REPORT
    later = d.mcu.frames(2.5)
    assert GET_SPEAKER_CONFIG not in [x.payload for x in later]
    assert len(puts(board, "/api/speaker?gain=0&")) == 1
    assert len([l for l in d.log_lines() if l.startswith("FirstRun: ")]) == 1


def test_first_run_waits_for_state_1(board):
    serve_three_slots(board)
    d = start(board, 3)
    f, _ = wait_frame(d, is_state_report)
    assert f.payload == bytes.fromhex("13 01 02 03")
    d.mcu.no_frame(1.5)
    board.set_processor_state(1)
    f, _ = wait_frame(d, is_state_report)
    assert f.payload == bytes.fromhex("13 01 02 01")
    frames = d.mcu.frames(1.5)
    assert [x.payload for x in frames] == [MOVIE_NIGHT_REPORT, GET_SPEAKER_CONFIG]


def test_filter_watch_every_fourth_pass(board):
    serve_three_slots(board)
    (board.dirac / "connected").write_text("1")
    d = start(board, 1)
    wait_frame(d, lambda f: f.payload == GET_SPEAKER_CONFIG)
    base = len(gets(board, "/api/active-slot"))  # the first run's filter report
    t1 = wait_new_call(board, "/api/active-slot", base, 7)
    # The first fetch always counts as a change: one filter report.
    assert d.mcu.read_frame(3).payload == MOVIE_NIGHT_REPORT
    # The slot changed, so the filtering setting was not asked: the report follows.
    paths = [path_of(c) for c in board.script_calls() if c[0] == "http"]
    watch = [i for i, p in enumerate(paths) if p == "/api/active-slot"][base]
    assert paths[watch + 1] == "/api/list-slots"
    n = len(gets(board, "/api/active-slot"))
    t2 = wait_new_call(board, "/api/active-slot", n, 7)
    assert 3.0 <= t2 - t1 <= 5.5, "fetched %.1fs apart" % (t2 - t1)
    # Slot unchanged: the filtering text is fetched, and its first copy is a change.
    assert d.mcu.read_frame(3).payload == MOVIE_NIGHT_REPORT
    n = len(gets(board, "/api/active-slot"))
    wait_new_call(board, "/api/active-slot", n, 7)
    d.mcu.no_frame(1.0)  # nothing changed: nothing reported
    board.set_reply("/api/filtering", '{"enabled": false}')
    f = d.mcu.read_frame(7)
    assert f.payload == bytes.fromhex("13 02 02 00 03 11") + b"Movie Night\x00"


def test_filter_watch_reports_once_when_disconnected(board):
    serve_three_slots(board)
    connected = board.dirac / "connected"
    connected.write_text("1")
    d = start(board, 1)
    wait_frame(d, lambda f: f.payload == GET_SPEAKER_CONFIG)
    wait_frame(d, is_filter_report, timeout=7)  # the first fetch
    connected.unlink()
    f = d.mcu.read_frame(3)
    assert f.payload == MOVIE_NIGHT_REPORT
    d.mcu.no_frame(3)
    calls = len(gets(board, "/api/active-slot"))
    connected.write_text("1")
    # Stores were emptied: the next fetch reports again.
    f, _ = wait_frame(d, is_filter_report, timeout=7)
    assert f.payload == MOVIE_NIGHT_REPORT
    assert len(gets(board, "/api/active-slot")) >= calls + 2


def test_no_filter_watch_without_json(board):
    board.set_reply("/api/list-slots", THREE_SLOTS)
    board.set_reply("/api/active-slot", "busy")
    (board.dirac / "connected").write_text("1")
    d = start(board, 1)
    wait_frame(d, lambda f: f.payload == GET_SPEAKER_CONFIG)
    base = len(gets(board, "/api/active-slot"))
    wait_new_call(board, "/api/active-slot", base, 7)
    d.mcu.no_frame(1.0)
    assert gets(board, "/api/filtering")[1:] == []  # only the first run's report asked


def test_gain_watch(board):
    board.set_reply("/api/speaker", '{"gain": -7.5}')
    d = start(board, 3)
    wait_frame(d, is_state_report)
    f = d.mcu.read_frame(7)
    assert f.addr == 0x43 and f.payload == bytes.fromhex("13 06 02 FF B0")
    d.wait_log("doDiracMainVolGet: -8")
    n = len(gets(board, "/api/speaker"))
    wait_new_call(board, "/api/speaker", n, 7)
    d.mcu.no_frame(0.5)  # unchanged text: nothing reported
    board.set_reply("/api/speaker", '{"gain": -20}')
    f = d.mcu.read_frame(7)
    assert f.payload == bytes.fromhex("13 06 02 FF 38")


@pytest.mark.parametrize("content,restored", [
    ('{"gain": -12}', -12),
    ('{"volume": 3}', -37),
    ('not json', -37),
    (None, None),
])
def test_gain_restore_on_1_to_3(board, content, restored):
    serve_three_slots(board)
    board.set_reply("/api/speaker", '{"gain": -12}')
    if content is not None:
        (board.dirac / "speaker.json").write_text(content)
    d = start(board, 1)
    wait_frame(d, lambda f: f.payload == GET_SPEAKER_CONFIG)
    before = len(puts(board, "/api/speaker"))
    board.set_processor_state(3)
    f, _ = wait_frame(d, is_state_report)
    assert f.payload == bytes.fromhex("13 01 02 03")
    f = d.mcu.read_frame()
    assert f.payload == bytes.fromhex("13 06 02 FF 88")  # the main volume read back
    new_puts = puts(board, "/api/speaker")[before:]
    if restored is None:
        assert new_puts == []
        assert not [l for l in d.log_lines() if l.startswith("Reset zel gain")]
    else:
        d.wait_log("Reset zel gain to %d" % restored)
        assert new_puts == [["http", "put",
                             "http://127.0.0.1:9/api/speaker?gain=%d&id=8090" % restored]]
