#!/usr/bin/python3
"""The MCU library's example firmware on an emulated microcontroller against
the real daemon on the simulated board.

  mcu_e2e.py --build-dir DIR --firmware ELF [--run-dir DIR] [--timeout S]

Sets up the demo's simulated board (processor simulator in run state 1,
the NetworkManager mock, recording stand-ins, qzlinkd in a private mount
namespace), starts QEMU's mps2-an385 with the firmware, its UART0 on a
pseudo-terminal that qzlinkd opens as its serial device, and waits for the
firmware to finish. Then checks its transcript (semihosting): every reply
decoded as the board's state says, every other message decoded, a clean
line, the speaker layout carried out. Stops everything it started; exit
status 0 when every check passed.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qzdemo_board as qb  # noqa: E402

SLOT_TYPES = {"dirac live bass management": 3, "dirac live bass control": 1,
              "dirac active room treatment": 2, "dirac live active room treatment": 2}
ACTIVE_INDEX, GAIN_DB, SET_TENTHS = 7, qb.DEFAULT_GAIN, -125
LAYOUT = ("5", "1", "0")  # code 5 with one LFE: 5.1.0


def slot_text(position):
    slot = qb.SLOTS[position]
    return 'slot %d type %d "%s"' % (position, SLOT_TYPES.get(slot["filter_type"].lower(), 0),
                                      slot["name"])


def expected_replies(version, date):
    active = next(i for i, s in enumerate(qb.SLOTS) if s["index"] == ACTIVE_INDEX)
    return [
        "version %s" % version,
        'build date 20%s-%s-%s processor "%s"' % (date[:2], date[2:4], date[4:], qb.PROCESSOR_VERSION),
        "processor state 1 code 255",
        "filters enabled 1 count %d active %s" % (len(qb.SLOTS), slot_text(active)),
        "main volume %d" % (GAIN_DB * 10),
        "main volume %d" % (int(SET_TENTHS / 10) * 10),  # the processor takes whole dB
        "filter %s" % slot_text(2),
        "active filter %s" % slot_text(active),
        'uuid "%s"' % qb.DEMO_UUID,
        "wifi mac %s" % qb.WLAN_MAC,
        "wifi state 0",
        "lan state 3 mac %s 192.168.10.50/255.255.255.0" % qb.ETH_MAC,
    ]


def check(transcript, replies, gain, calls, qemu_status):
    """(name, ok, detail) for every check."""
    lines = transcript.splitlines()
    got = [l[3:] for l in lines if l.startswith("<- ")]
    others = [l[3:] for l in lines if l.startswith("<~ ")]
    stats = next((l for l in lines if l.startswith("stats: ")), "")
    undecoded = [o for o in others if o in ("bad", "unknown")]
    layouts = [args for name, args in calls if name == "hook:UpdateSpConfig"]
    wrong = ["%r, expected %r" % (g, e) for g, e in zip(got, replies) if g != e]
    return [
        ("firmware finished with status 0", qemu_status == 0, "status %s" % qemu_status),
        ("every reply decoded as the board's state says", got == replies,
         "; ".join(wrong) or "%d of %d replies" % (len(got), len(replies))),
        ("every other message decoded", not undecoded and others != [],
         "%d reports%s" % (len(others), ", undecoded: %s" % undecoded if undecoded else "")),
        ("the daemon asked for the layout and got it",
         "layout request" in others and "-> speaker layout code 5 lfe 1" in lines
         and tuple(layouts[-1]) == LAYOUT if layouts else False,
         "UpdateSpConfig %s" % (" ".join(layouts[-1]) if layouts else "never run")),
        ("the line stayed clean",
         re.search(r"noise 0 bad 0 cut 0 oversized 0 resent \d+ lost 0$", stats) is not None, stats),
        ("the processor holds the volume set", gain == int(SET_TENTHS / 10), "gain %s" % gain),
    ]


def sim_status(board):
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open("http://127.0.0.1:%d/sim/status" % board.sim_port, timeout=5) as r:
        return json.loads(r.read().decode())


def daemon_version(build):
    out = subprocess.run([str(Path(build) / "qzlinkd"), "-v"], capture_output=True, text=True,
                         timeout=10).stdout.strip()
    version, date = out.rsplit(".", 1)
    return version, date


def start_qemu(board, firmware):
    transcript = board.run / "transcript.txt"
    p = board.spawn("qemu", [
        "qemu-system-arm", "-M", "mps2-an385", "-display", "none", "-monitor", "none",
        "-serial", "pty", "-chardev", "file,id=transcript,path=%s" % transcript,
        "-semihosting-config", "enable=on,target=native,chardev=transcript",
        "-kernel", firmware], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    line = p.stdout.readline()
    m = re.search(r"char device redirected to (/dev/pts/\d+)", line)
    if not m:
        raise RuntimeError("QEMU gave no pseudo-terminal: %s" % line.strip())
    os.symlink(m.group(1), board.run / "ttyMCU")
    return p, transcript


def run(args):
    start = time.monotonic()
    board = qb.Board(qb.prepare_run_dir(args.run_dir), args.build_dir)
    status = 1
    try:
        board.start_processor()
        board.sim("/sim/set?gain=%d&active=%d&filtering=1" % (GAIN_DB, ACTIVE_INDEX))
        board.sim("/sim/state?value=1")
        board.start_network()
        qemu, transcript = start_qemu(board, args.firmware)
        board.start_daemon()
        try:
            qemu_status = qemu.wait(args.timeout)
        except subprocess.TimeoutExpired:
            qemu_status = "timed out after %d s" % args.timeout
        elapsed = time.monotonic() - start
        text = transcript.read_text(errors="replace")
        print(text, end="")
        gain = sim_status(board)["gain"]
        calls, _ = qb.read_calls(board.run, 0)
        results = check(text, expected_replies(*daemon_version(args.build_dir)), gain, calls,
                        qemu_status)
        for name, ok, detail in results:
            print("%s %s: %s" % ("ok  " if ok else "FAIL", name, detail))
        print("end to end: %.1f s from the board's start to the firmware's end" % elapsed)
        status = 0 if all(ok for _, ok, _ in results) else 1
    finally:
        started = list(board.procs)
        board.stop()
        left = leftovers(started)
        if left:
            print("FAIL still running: %s" % "; ".join(left))
            status = 1
    return status


def leftovers(started):
    """The process groups started here that still have a member."""
    left = []
    for name, p in started:
        try:
            os.killpg(p.pid, 0)
            left.append("%s (group %d)" % (name, p.pid))
        except ProcessLookupError:
            pass
    return left


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build-dir", required=True)
    p.add_argument("--firmware", required=True)
    p.add_argument("--run-dir", default=str(qb.REPO / "build" / "mcu-run"))
    p.add_argument("--timeout", type=int, default=90)
    return run(p.parse_args())


if __name__ == "__main__":
    sys.exit(main())
