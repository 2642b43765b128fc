#!/usr/bin/python3
"""The demo behind scripts/demo: a whole simulated board and the MCU
console's tour of every request.

  qzdemo.py --build-dir DIR [--run-dir DIR] [--interactive]

Starts the processor simulator, a private D-Bus bus with the NetworkManager
mock, recording stand-ins for poweroff, date, nmcli and ifconfig, the
reference control script with recording hooks, qzlinkd in framed daemon mode
on a pseudo-terminal of qzmcu's, and then either runs the tour (qzmcu fed one
command at a time, the simulators moved in between) or hands the console to
the user (--interactive). Stops everything it started on the way out, also
when interrupted. Exit status 0 when every expected answer was seen.
"""
import argparse
import os
import queue
import re
import shlex
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qzdemo_board as qb  # noqa: E402


class Interrupted(Exception):
    pass


STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def on_signal(signum, frame):
    # One stop is enough: a Ctrl-C reaches both this driver and scripts/demo,
    # which passes it on as SIGTERM while the clean-up already runs.
    for s in STOP_SIGNALS:
        signal.signal(s, signal.SIG_IGN)
    raise Interrupted(signum)


class Transcript:
    """Every line the demo prints, in order, so steps can wait for one."""

    def __init__(self):
        self.lines = []
        self.cond = threading.Condition()

    def say(self, text):
        with self.cond:
            print(text, flush=True)
            self.lines.append(text)
            self.cond.notify_all()

    def mark(self):
        with self.cond:
            return len(self.lines)

    def wait(self, regex, since, timeout):
        pattern = re.compile(regex)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(since, len(self.lines)):
                    if pattern.search(self.lines[i]):
                        return i
                left = deadline - time.monotonic()
                if left <= 0:
                    return -1
                self.cond.wait(min(left, 0.2))


def pump(stream, say):
    for line in iter(stream.readline, ""):
        say(line.rstrip("\n"))


def watch_calls(board, say, stop):
    """Prints every recorded call as it happens and lets the network
    simulation act on nmcli and ifconfig, one call after the other."""
    work = queue.Queue()

    def worker():
        while True:
            item = work.get()
            if item is None:
                return
            try:
                board.act_on(item[0], item[1], say)
            except Exception as e:  # a mock gone at shutdown
                say("   [network] %s" % e)

    t = threading.Thread(target=worker, daemon=True)
    t.start()
    offset = 0
    while not stop.is_set():
        calls, offset = qb.read_calls(board.run, offset)
        for name, args in calls:
            kind, _, short = name.rpartition(":")
            say("   [%s] %s" % (kind or "stub", " ".join(shlex.quote(a) for a in [short] + args)))
            work.put((name, args))
        stop.wait(0.1)
    work.put(None)


class Tour:
    def __init__(self, transcript, board, mcu):
        self.t = transcript
        self.board = board
        self.mcu = mcu
        self.expected = 0
        self.missing = []

    def heading(self, text):
        self.t.say("")
        self.t.say("=== %s ===" % text)

    def expect(self, regex, since, timeout=8.0):
        self.expected += 1
        if self.t.wait(regex, since, timeout) < 0:
            self.missing.append(regex)
            self.t.say("!! expected, not seen: %s" % regex)
            return False
        return True

    def ask(self, command, *expect, timeout=8.0):
        start = self.t.mark()
        self.mcu.stdin.write(command + "\n")
        self.mcu.stdin.flush()
        for regex in expect:
            self.expect(regex, start, timeout)

    def sim(self, path, note):
        """Changes the processor simulator; returns where its effects start."""
        since = self.t.mark()
        self.t.say("   [simulator] %s" % note)
        self.board.sim(path)
        return since


def start_up(tour):
    tour.heading("2. Start-up: the daemon announces itself")
    since = 0
    for regex in (r"^<- version 1\.3\.4$",
                  r"^<- build date 2026-07-28, processor version 3\.9\.1$",
                  r"^<- processor state 4 \(stopped: no processor files\), code 255$",
                  r"^<- wifi mac 02:00:5E:10:00:01$",
                  r"^<- wifi: no link \(0\)$",
                  r"^<- lan: connected \(3\) mac 78:DD:08:D2:3D:43 ip 192\.168\.10\.50/255\.255\.255\.0$"):
        tour.expect(regex, since, 10)


def identity_and_clock(tour):
    tour.heading("3. Identity and clock")
    tour.ask("version", r"^<- version 1\.3\.4$")
    tour.ask("date", r"^<- build date 2026-07-28, processor version 3\.9\.1$")
    tour.ask("uuid", r'^<- uuid "%s"$' % qb.DEMO_UUID)
    tour.ask('identity QZ000042 "Living Room"', r"^<- device identity acknowledged$",
             r"^   \[hook\] device-id_name QZ000042 'Living Room'$")
    tour.ask("mac", r"^<- wifi mac 02:00:5E:10:00:01$")
    tour.ask("time", r"^<- date and time \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \w+, zone \+0 h, synchronised$")
    tour.ask("settime 2026-07-28 13:05:09 +8", r"^<- ack \d+$",
             r"^   \[stub\] date -s '2026-07-28 13:05:09\+0800'$")


# The processor's requests and their answers with the simulator's slots:
# the same on the simulated and the emulated board.
PROCESSOR_ASKS = [
    ("state", r"^<- processor state 1 "),
    ("filters", r"^<- filters: filtering on, 4 slots, active slot 1 "),
    ("filter 0", r'^<- filter slot 0 \[Dirac Live Bass Management\] "Music"$'),
    ("filter 2", r'^<- filter slot 2 \[Dirac Active Room Treatment\] "Late Quiet"$'),
    ("filter 3", r'^<- filter slot 3 \[Other\] "Reference"$'),
    ("filter 5", r"^<- filter slot 5: no such slot$"),
    ("active", r'^<- active filter: slot 1 \[Dirac Live Bass Control\] "Movie Night"$'),
    ("select 2 on", r'^<- filters: filtering on, 4 slots, active slot 2 .*"Late Quiet"$'),
    ("select 1 off", r'^<- filters: filtering off, 4 slots, active slot 1 .*"Movie Night"$'),
    ("volume", r"^<- main volume -20\.0 dB$"),
    ("volume -12.5", r"^<- main volume -12\.0 dB$"),
]


def ask_processor(tour):
    for command, answer in PROCESSOR_ASKS:
        tour.ask(command, answer)


def processor_requests(tour):
    tour.heading("4. Processor: ready, first run and every request")
    since = tour.sim("/sim/state?value=1", "run state 1: the command socket is up")
    tour.expect(r"^<- processor state 1 \(ready: command socket up\)$", since, 6)
    tour.expect(r"^<- speaker layout request$", since, 6)
    tour.expect(r"^-> speaker layout 5\.1\.0, code 5 \(320: FL_FR_LS_RS_FC_LFE\)", since, 6)
    tour.expect(r"^   \[hook\] UpdateSpConfig 5 1 0$", since, 6)
    after = tour.t.mark()
    tour.expect(r"^<- filters: filtering on, 4 slots, active slot 1 \[Dirac Live Bass Control\] \"Movie Night\"$",
                after, 6)
    ask_processor(tour)
    tour.ask("rate 48000", r"^   \[hook\] sample_rate 48000$")
    tour.ask("layout 3 1", r"^   \[hook\] UpdateSpConfig 4 1 0$", r"^<- filters: ")
    tour.ask("reset", r"^   \[hook\] zel_reset$", r"^<- audio reset done$")


def processor_changes(tour):
    tour.heading("5. Processor: changes made on the simulator arrive unsolicited")
    tour.sim("/sim/speaker-json?gain=-18", "the processor keeps gain -18 in /tmp/dirac/speaker.json")
    since = tour.sim("/sim/state?value=3", "run state 3: playing")
    tour.expect(r"^<- processor state 3 \(playing\)$", since, 6)
    tour.expect(r"^<- main volume -18\.0 dB$", since, 6)
    since = tour.sim("/sim/set?gain=-6", "the volume is turned to -6 dB on the processor itself")
    tour.expect(r"^<- main volume -6\.0 dB$", since, 12)
    since = tour.sim("/sim/state?value=1", "run state 1: playback stopped")
    tour.expect(r"^<- processor state 1 ", since, 6)
    tour.expect(r"^<- filters: ", since, 6)
    tour.sim("/sim/connected?value=1", "a room-correction app connects (/tmp/dirac/connected)")
    since = tour.sim("/sim/set?active=0&filtering=1", "the app selects slot Music with filtering on")
    tour.expect(r'^<- filters: filtering on, 4 slots, active slot 0 \[Dirac Live Bass Management\] "Music"$',
                since, 12)
    since = tour.sim("/sim/state?value=4", "the processor stops: no state files")
    tour.expect(r"^<- processor state 4 \(stopped: no processor files\), code 255$", since, 6)


def network(tour):
    tour.heading("6. Network: WiFi list, connect, disconnect and the LAN switch")
    tour.ask("wifi list", r"^<- wifi list page 1/2, 6 networks: 1\. 80% WPA2 ch 36 00:1A:2B:3C:4D:5E \"Home\"",
             r"^<- wifi list page 2/2, 6 networks: 5\. 40% WPA3 ch 11 .*\| 6\. 30% WEP ch 4 ")
    tour.ask("wifi status", r"^<- wifi: no link \(0\)$")
    since = tour.t.mark()
    tour.ask("wifi connect Home 00:1A:2B:3C:4D:5E sunshine42",
             r"^   \[stub\] nmcli dev wifi connect 00:1A:2B:3C:4D:5E password sunshine42 ifname mlan0$")
    home = r'"Home" 80% ch 36 00:1A:2B:3C:4D:5E ip 192\.168\.1\.20/255\.255\.255\.0$'
    tour.expect(r"^<- wifi: connected \(3\) " + home, since, 10)
    tour.ask("wifi status", r"^<- wifi: connected \(3\) " + home)
    since = tour.t.mark()
    tour.ask("wifi disconnect", r"^   \[stub\] nmcli dev disconnect mlan0$",
             r"^   \[stub\] nmcli con delete Home$")
    tour.expect(r"^<- wifi: no link \(0\)$", since, 6)
    tour.ask("lan status", r"^<- lan: connected \(3\) ")
    since = tour.t.mark()
    tour.ask("lan off", r"^   \[stub\] ifconfig eth0 down$")
    tour.expect(r"^<- lan: no link \(0\) mac 78:DD:08:D2:3D:43$", since, 6)
    since = tour.t.mark()
    tour.ask("lan on", r"^   \[stub\] ifconfig eth0 up$")
    tour.expect(r"^<- lan: connected \(3\) mac 78:DD:08:D2:3D:43 ip 192\.168\.10\.50/255\.255\.255\.0$", since, 6)


def power(tour):
    tour.heading("7. Power-off and update: the stand-ins only record them")
    tour.ask("poweroff", r"^   \[stub\] poweroff$")
    tour.ask("update", r"^   \[hook\] update exec$")
    tour.ask("send 05 0B", r"^<- version 1\.3\.4$")


def summary(tour):
    tour.heading("8. What the stand-ins and hooks recorded")
    calls, _ = qb.read_calls(tour.board.run, 0)
    counts = {}
    for name, _ in calls:
        counts[name] = counts.get(name, 0) + 1
    for name in sorted(counts):
        tour.t.say("   %-22s %d" % (name.replace("hook:", "hook "), counts[name]))


def run_tour(board, t, mcu):
    tour = Tour(t, board, mcu)
    start_up(tour)
    identity_and_clock(tour)
    processor_requests(tour)
    processor_changes(tour)
    network(tour)
    power(tour)
    summary(tour)
    # qzmcu stays until the daemon has stopped (the board stops in reverse
    # order), so the daemon never sees its line hang up.
    return tour


HINTS = """The board is up. qzmcu is the MCU: type one command a line ('help' lists them,
'quit' ends the demo). For instance:
  version   filters   filter 2   select 0 on   volume -6   wifi list   mac   time
  wifi connect Home 00:1A:2B:3C:4D:5E sunshine42   wifi disconnect   lan off   lan on
Move the processor from another terminal, e.g.:
  curl -X POST 'http://127.0.0.1:%d/sim/state?value=3'   (0, 1, 3 or 4)
  curl -X POST 'http://127.0.0.1:%d/sim/set?gain=-6'
"""


def run(args, t):
    board = qb.Board(qb.prepare_run_dir(args.run_dir), args.build_dir)
    stop = threading.Event()
    status = 0
    try:
        t.say("=== 1. Starting the simulated board (run directory %s) ===" % board.run)
        port = board.start_processor()
        t.say("   processor simulator on 127.0.0.1:%d, %d slots, state files in %s"
              % (port, len(qb.SLOTS), board.run / "tmp" / "dirac"))
        address = board.start_network()
        t.say("   NetworkManager mock on the private bus %s: %s with %d networks, %s connected"
              % (address.split(",")[0], qb.WLAN, len(qb.ACCESS_POINTS), qb.ETH))
        threading.Thread(target=watch_calls, args=(board, t.say, stop), daemon=True).start()
        if args.interactive:
            t.say(HINTS % (port, port))
            mcu = board.start_mcu([])
        else:
            mcu = board.start_mcu([], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
            threading.Thread(target=pump, args=(mcu.stdout, t.say), daemon=True).start()
        board.start_daemon()
        t.say("   qzlinkd in a private mount namespace on %s (log %s)"
              % (board.run / "ttyMCU", board.run / "qzlinkd.log"))
        if args.interactive:
            mcu.wait()
        else:
            tour = run_tour(board, t, mcu)
            status = 1 if tour.missing else 0
            t.say("")
            t.say("=== 9. Clean-up ===")
            t.say("   %d of %d expected answers and reports seen"
                  % (tour.expected - len(tour.missing), tour.expected))
    except Interrupted:
        t.say("demo interrupted: stopping everything")
        status = 130
    finally:
        for s in STOP_SIGNALS:
            signal.signal(s, signal.SIG_IGN)
        stop.set()
        board.stop()
        left = board.leftovers()
        if left:
            t.say("!! still running: %s" % "; ".join(left))
            status = status or 1
        else:
            t.say("   everything the demo started has stopped")
    t.say("demo finished%s" % ("" if status == 0 else " (status %d)" % status))
    return status


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build-dir", required=True)
    p.add_argument("--run-dir", default=str(qb.REPO / "build" / "demo-run"))
    p.add_argument("--interactive", action="store_true")
    args = p.parse_args()
    for s in STOP_SIGNALS:
        signal.signal(s, on_signal)
    for name in ("qzlinkd", "qzmcu"):
        if not os.access(Path(args.build_dir) / name, os.X_OK):
            p.error("no %s in %s" % (name, args.build_dir))
    return run(args, Transcript())


if __name__ == "__main__":
    sys.exit(main())
