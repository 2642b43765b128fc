"""The daemon as a service: SIGTERM, SIGINT and SIGHUP, and what it tells
the service manager (a unix datagram socket of the test's own stands for
systemd's NOTIFY_SOCKET). Without NOTIFY_SOCKET every other test runs it."""
import os
import signal
import socket
import time

from qzharness import FAST, payload_starts

STOPS = [(signal.SIGTERM, "Stopping on SIGTERM."), (signal.SIGINT, "Stopping on SIGINT.")]
HUP = "SIGHUP ignored: the settings are read at start (restart to apply new ones)."
VERSION = bytes.fromhex("05 0B")


def test_term_and_int_end_the_run_cleanly_hup_does_not(board):
    for sig, line in STOPS:
        d = board.start(debug=0, fast=FAST)
        d.wait_started()
        os.kill(d.proc.pid, signal.SIGHUP)
        d.wait_log(HUP)
        d.mcu.request(VERSION, accept=payload_starts("05 12"))
        os.kill(d.proc.pid, sig)
        assert d.wait_exit(3) == 0
        assert d.log_lines()[-3:] == [line, "nm main end.", "Test end."]


class Notify:
    """The service manager's end: the datagrams the daemon sends."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(str(path))
        self.path = str(path)

    def next(self, timeout=5.0):
        self.sock.settimeout(timeout)
        return self.sock.recv(4096).decode()

    def during(self, seconds):
        """The messages that come within `seconds`; [] when none came."""
        out = []
        end = time.monotonic() + seconds
        while (left := end - time.monotonic()) > 0:
            try:
                out.append(self.next(left))
            except socket.timeout:
                break
        return out


def test_ready_status_and_pings_that_stop_when_the_monitor_wedges(board):
    n = Notify(board.root / "notify")
    d = board.start(debug=0, fast=FAST, extra_env={"NOTIFY_SOCKET": n.path, "WATCHDOG_USEC": "400000"})
    assert n.next() == "READY=1\nSTATUS=serving the MCU on %s" % d.device
    # Every half period while all workers make progress: the line lost and
    # back is no wedge.
    assert [n.next(), n.next(), n.next()] == ["WATCHDOG=1"] * 3
    d.hang_up()
    assert {m for m in n.during(0.5)} >= {"STATUS=line lost, waiting for %s" % d.device, "WATCHDOG=1"}
    d.replug()
    assert {m for m in n.during(0.5)} >= {"STATUS=serving the MCU on %s" % d.device, "WATCHDOG=1"}
    # The processor comes up; the monitor's first request hangs in the script.
    board.set_hook("halvane.sh", '[ "$2" = get ] || exit 0; echo $$ > %s; exec sleep 60\n' % (board.root / "hung.pid"))
    board.set_processor_state(1)
    board.wait_calls(lambda c: c[1][:2] == ["http", "get"])
    n.during(0.3)  # a ping of the pass before may still be under way
    assert n.during(1.5) == []
    os.kill(d.proc.pid, signal.SIGTERM)
    assert d.wait_exit(3) == 0
    assert n.during(0.3) == ["STOPPING=1\nSTATUS=stopping on SIGTERM"]
    # The request it was waiting for is ended with it.
    hung = int((board.root / "hung.pid").read_text())
    assert not os.path.exists("/proc/%d" % hung) or "zombie" in open("/proc/%d/status" % hung).read()
