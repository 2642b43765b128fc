"""The state monitor's thread on the wire: one daemon walks the processor
state machine (first run, gain restore on 1 -> 3, the 3 -> 1 report), the
gain and filter watches and the state files. Its passes run 20 times
faster (the daemon's test-only setting); "nothing sent" is checked after
the passes that would have sent it, never by waiting a while."""
import re

import pytest

from qzharness import FAST, payload_is

THREE_SLOTS = (
    '[{"index": 0, "filter_type": "Dirac Live Bass Management", "name": "Music"}, '
    '{"index": 7, "filter_type": "dirac live bass control", "name": "Movie Night"}, '
    '{"index": 2, "filter_type": "Dirac Live Active Room Treatment", "name": "Late Quiet"}]'
)
MOVIE_NIGHT = "13 02 02 01 03 11 " + b"Movie Night\0".hex(" ").upper()
MOVIE_NIGHT_OFF = "13 02 02 00 03 11 " + b"Movie Night\0".hex(" ").upper()
PUT = "http://127.0.0.1:9/api/speaker?gain=%d&id=8090"


def gets(board, path):
    return [c for c in board.script_calls() if c[:2] == ["http", "get"] and c[2].endswith(path)]


def puts(board):
    return [c[2] for c in board.script_calls() if c[:2] == ["http", "put"]]


def next_payloads(d, count, skip_gain=False):
    """The payloads of the next `count` frames that are not acknowledgements
    (nor gain reports, with skip_gain: the gain watch may run meanwhile)."""
    def pred(f):
        return not f.is_ack and not (skip_gain and f.payload[:3] == b"\x13\x06\x02")
    return [d.mcu.wait_frame(pred, seen=d.seen).payload.hex(" ").upper() for _ in range(count)]


def two_passes(d):
    """Two main volume requests, each answered by a pass of the monitor; a
    frame the passes sent besides would come before an answer."""
    for _ in range(2):
        assert d.mcu.request(bytes.fromhex("13 06 00 FF 9C")).payload[:3] == b"\x13\x06\x02"


def quiet_for_two_fetches(d, board, path):
    """Waits for two more fetches of path: whatever the pass before them
    would have sent is on the line by then, and nothing is."""
    n = len(gets(board, path))
    board.wait_calls(lambda c: c[0] == "halvane" and c[1][:2] == ["http", "get"] and c[1][2].endswith(path),
                     count=n + 2)
    assert d.mcu.pending() == []


@pytest.fixture(scope="module")
def walk(module_board):
    b = module_board
    b.set_reply("/api/list-slots", THREE_SLOTS)
    b.set_reply("/api/filtering", '{"enabled": true}')
    b.set_reply("/api/active-slot", '{"index": 7}')
    b.set_reply("/api/speaker", '{"gain": -12}')
    b.set_processor_state(4)
    d = b.start(isqz=1, gain=-5, fast=FAST)
    d.seen = []  # every frame passed over, for the checks at the end
    return d, b


def test_start_up_then_state_on_first_pass(walk):
    d, b = walk
    assert next_payloads(d, 3)[::2] == ["05 12 31 33 34 00", "13 01 02 04 FF"]
    d.wait_log("DiracState: 4")
    d.wait_log("DiracDiracState: state=4 code=255")


def test_first_run_on_state_1(walk):
    d, b = walk
    b.set_processor_state(1)
    assert next_payloads(d, 3) == ["13 01 02 01", MOVIE_NIGHT, "06 23 01"]
    d.wait_log(re.compile(r"^FirstRun: \d+ time=\d+$"))
    assert puts(b) == [PUT % -5]


# speaker.json at the switch to playing, the gain put back (None: nothing).
RESTORES = [('{"gain": -12}', -12), ('{"volume": 3}', -37), ("not json", -37), (None, None)]


@pytest.mark.parametrize("content,restored", RESTORES)
def test_gain_restore_on_1_to_3_and_report_on_3_to_1(walk, content, restored):
    d, b = walk
    speaker = b.dirac / "speaker.json"
    speaker.write_text(content) if content is not None else speaker.unlink(missing_ok=True)
    before = len(puts(b))
    start = len(d.log_lines())
    b.set_processor_state(3)
    assert next_payloads(d, 2) == ["13 01 02 03", "13 06 02 FF 88"]  # and the volume read back
    if restored is None:
        assert puts(b)[before:] == []
        assert not [l for l in d.log_lines()[start:] if l.startswith("Reset zel gain")]
    else:
        d.wait_log("Reset zel gain to %d" % restored, start=start)
        assert puts(b)[before:] == [PUT % restored]
    # Back to ready: the filters are reported, the first run is not repeated.
    b.set_processor_state(1)
    assert next_payloads(d, 2, skip_gain=True) == ["13 01 02 01", MOVIE_NIGHT]


def test_gain_watch_while_playing(walk):
    d, b = walk
    b.set_reply("/api/speaker", '{"gain": -20}')
    b.set_processor_state(3)
    assert next_payloads(d, 2) == ["13 01 02 03", "13 06 02 FF 38"]
    # The watch's first fetch differs from what it stored: reported; then an
    # unchanged text is not.
    assert next_payloads(d, 1) == ["13 06 02 FF 38"]
    quiet_for_two_fetches(d, b, "/api/speaker")
    b.set_reply("/api/speaker", '{"gain": -7.5}')
    assert next_payloads(d, 1) == ["13 06 02 FF B0"]
    d.wait_log("doDiracMainVolGet: -8")


def test_filter_watch_while_ready(walk):
    d, b = walk
    b.set_processor_state(1)
    assert next_payloads(d, 2, skip_gain=True) == ["13 01 02 01", MOVIE_NIGHT]
    (b.dirac / "connected").write_text("1")
    # The first fetch of the active slot is a change: reported, and the
    # filtering switch is not asked before the report.
    n = len(gets(b, "/api/active-slot"))
    assert next_payloads(d, 1) == [MOVIE_NIGHT]
    paths = [c[2] for c in b.script_calls() if c[0] == "http"]
    at = [i for i, p in enumerate(paths) if p.endswith("/api/active-slot")][n]
    assert paths[at + 1].endswith("/api/list-slots")
    # Slot unchanged: the filtering switch is fetched; its first copy is a change.
    assert next_payloads(d, 1) == [MOVIE_NIGHT]
    quiet_for_two_fetches(d, b, "/api/active-slot")
    b.set_reply("/api/filtering", '{"enabled": false}')
    assert next_payloads(d, 1) == [MOVIE_NIGHT_OFF]
    # Disconnected: reported once, then nothing; connected again: stores emptied, reported again.
    (b.dirac / "connected").unlink()
    assert next_payloads(d, 1) == [MOVIE_NIGHT_OFF]
    two_passes(d)
    (b.dirac / "connected").write_text("1")
    assert next_payloads(d, 1) == [MOVIE_NIGHT_OFF]
    # A reply without JSON: nothing reported and the filtering switch not asked.
    b.set_reply("/api/active-slot", "busy")
    filtering = len(gets(b, "/api/filtering"))
    quiet_for_two_fetches(d, b, "/api/active-slot")
    assert len(gets(b, "/api/filtering")) == filtering


# State files and the state they mean, walked from state 1 in an order where each row changes it.
STATES = [(("capture.ipc",), "13 01 02 00"), (("concord_cli.ipc", "capture.ipc"), "13 01 02 01"),
          (("concord_aplay.pid", "concord_cli.ipc", "capture.ipc"), "13 01 02 03"), ((), "13 01 02 04 FF"),
          (("concord_aplay.pid",), "13 01 02 03")]


def test_state_files(walk):
    d, b = walk
    for files, report in STATES:
        b.set_state_files(*files)
        d.mcu.wait_frame(payload_is(report), seen=d.seen)
    # Over the whole walk: one first run, its speaker request only once.
    assert len([l for l in d.log_lines() if l.startswith("FirstRun: ")]) == 1
    assert not [f for f in d.seen if f.payload == bytes.fromhex("06 23 01")]


def test_no_default_gain_above_0_db(board):
    board.set_reply("/api/list-slots", THREE_SLOTS)
    board.set_processor_state(1)
    d = board.start(isqz=1, gain=6, fast=FAST)
    d.mcu.wait_frame(payload_is("06 23 01"))
    assert puts(board) == []
