"""The state monitor's thread on the wire: one daemon walks the processor
state machine (first run, gain restore on 1 -> 3), the gain and filter
watches and the state files. "Nothing sent" is checked after the monitor
passes that would have sent it, never by waiting a while."""
import pytest

from qzharness import FAST, payload_is, until

THREE_SLOTS = ('[{"index": 0, "filter_type": "Dirac Live Bass Management", "name": "Music"}, '
               '{"index": 7, "filter_type": "dirac live bass control", "name": "Movie Night"}]')
PUT = "http://127.0.0.1:9/api/speaker?gain=%d&id=8090"
STATE, FILTERS, GAIN = "13 01 02 ", "13 02 02 ", "13 06 02 "


def urls(board, method, path=""):
    """The URLs the control script was run to GET or PUT (method), ending in path."""
    return [a[2] for n, a in board.commands() if n == "halvane" and a[:2] == ["http", method] and a[2].endswith(path)]


def reports(d, *heads):
    """The next reports (not acknowledgements nor gain reports, which the
    gain watch may send meanwhile, unless asked for), each starting as given."""
    for head in heads:
        f = d.mcu.wait_frame(lambda f: not f.is_ack and (head.startswith(GAIN) or f.payload[:3] != b"\x13\x06\x02"))
        assert f.payload.hex(" ").upper().startswith(head.strip()), (head, f)


def quiet_for_two_fetches(d, board, path):
    """Waits for two more fetches of path: what the pass before them would
    have sent is on the line by then, and nothing is."""
    want = len(urls(board, "get", path)) + 2
    until(lambda: len(urls(board, "get", path)) >= want, lambda: "no two more fetches of " + path)
    assert [f for f in d.mcu.drain(0) if not f.is_ack] == []


@pytest.fixture(scope="module")
def walk(module_board):
    b = module_board
    b.set_reply("/api/list-slots", THREE_SLOTS)
    b.set_reply("/api/filtering", '{"enabled": true}')
    b.set_reply("/api/active-slot", '{"index": 7}')
    b.set_reply("/api/speaker", '{"gain": -12}')
    b.set_processor_state(4)
    d = b.start(isqz=1, gain=-5, fast=FAST)
    reports(d, "05 12", "05 13", STATE + "04 FF")
    return d, b


def test_first_run_on_state_1(walk):
    d, b = walk
    b.set_processor_state(1)
    reports(d, STATE + "01", FILTERS, "06 23 01")  # the filters, then the speaker layout asked
    assert urls(b, "put") == [PUT % -5]  # the default gain


# speaker.json at the switch to playing, the gain put back (None: nothing).
RESTORES = [('{"gain": -12}', -12), ('{"volume": 3}', -37), ("not json", -37), (None, None)]


def test_gain_restore_on_1_to_3(walk):
    d, b = walk
    for content, restored in RESTORES:
        speaker = b.dirac / "speaker.json"
        speaker.write_text(content) if content is not None else speaker.unlink(missing_ok=True)
        before = len(urls(b, "put"))
        b.set_processor_state(3)
        reports(d, STATE + "03", GAIN)  # and the volume read back
        assert urls(b, "put")[before:] == ([PUT % restored] if restored else []), content
        # Back to ready: the filters are reported, the first run is not repeated.
        b.set_processor_state(1)
        reports(d, STATE + "01", FILTERS)


def test_gain_watch_while_playing(walk):
    d, b = walk
    b.set_reply("/api/speaker", '{"gain": -20}')
    b.set_processor_state(3)
    reports(d, STATE + "03", GAIN + "FF 38", GAIN + "FF 38")  # the watch's first fetch is a change
    quiet_for_two_fetches(d, b, "/api/speaker")  # then an unchanged text is not
    b.set_reply("/api/speaker", '{"gain": -7.5}')
    reports(d, GAIN + "FF B0")


def test_filter_watch_while_ready(walk):
    d, b = walk
    b.set_processor_state(1)
    reports(d, STATE + "01", FILTERS + "01")
    (b.dirac / "connected").write_text("1")
    reports(d, FILTERS + "01", FILTERS + "01")  # the first fetches of slot and switch are changes
    quiet_for_two_fetches(d, b, "/api/active-slot")
    b.set_reply("/api/filtering", '{"enabled": false}')
    reports(d, FILTERS + "00")
    # Disconnected: reported once, then nothing; connected again: reported again.
    (b.dirac / "connected").unlink()
    reports(d, FILTERS + "00")
    for _ in range(2):  # two passes of the monitor, each answering a volume request before anything else
        assert d.mcu.request(bytes.fromhex("13 06 00 FF 9C")).payload[:3] == b"\x13\x06\x02"
    (b.dirac / "connected").write_text("1")
    reports(d, FILTERS + "00")
    # A reply without JSON: nothing reported and the filtering switch not asked.
    b.set_reply("/api/active-slot", "busy")
    switch = len(urls(b, "get", "/api/filtering"))
    quiet_for_two_fetches(d, b, "/api/active-slot")
    assert len(urls(b, "get", "/api/filtering")) == switch


# State files and the state they mean, walked in an order where each row changes it.
STATES = [(("capture.ipc",), "00"), (("concord_cli.ipc", "capture.ipc"), "01"),
          (("concord_aplay.pid", "concord_cli.ipc", "capture.ipc"), "03"), ((), "04 FF"), (("concord_aplay.pid",), "03")]


def test_state_files(walk):
    d, b = walk
    seen = []
    for files, state in STATES:
        b.set_state_files(*files)
        d.mcu.wait_frame(payload_is(STATE + state), seen=seen)
    # Over the whole walk: one first run, its speaker layout asked only once.
    assert len([line for line in d.log_lines() if line.startswith("FirstRun: ")]) == 1
    assert not [f for f in seen if f.payload == bytes.fromhex("06 23 01")]


# The gain argument and what the first run puts: the default (0, also when
# left empty) is put; a gain above 0 dB is not.
FIRST_RUN_GAINS = [("", [PUT % 0]), ("0", [PUT % 0]), ("6", [])]


@pytest.mark.parametrize("gain,puts", FIRST_RUN_GAINS)
def test_default_gain_on_the_first_run(board, gain, puts):
    board.set_reply("/api/list-slots", THREE_SLOTS)
    board.set_processor_state(1)
    board.start(isqz=1, gain=gain, fast=FAST).mcu.wait_frame(payload_is("06 23 01"))
    assert urls(board, "put") == puts
