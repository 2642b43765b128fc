#!/usr/bin/python3
"""The emulated board's checks, driven from the MCU's side of the line.

  boardtest.py --image DIR --deb PKG --qzmcu PATH --run-dir DIR

Makes the board's disk as an integrator makes a firmware image (the cached
armhf root, the package installed by the board's own dpkg, the board's
settings, hooks and processor stand-in: tools/board/make-disk), boots it once
under qemu-system-arm (virt, cortex-a15) and runs the checks through the
guest's test agent (bash on a virtio port): one line each, "ok" or "FAIL". The MCU line is QEMU's PCI 16550,
which the guest's udev links as /dev/ttymxc2; its host end is a pty that
qzmcu drives. Networking is QEMU's user mode with restrict=on: its built-in
DHCP server answers NetworkManager, and no packet leaves QEMU. QEMU is killed
on every way out. Exit status 0 when every check passed.
"""
import argparse
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
sys.path.insert(0, str(REPO / "tools"))
from qzdemo import Transcript, Tour, ask_processor, pump  # noqa: E402
import qzdemo_board as qb  # noqa: E402

ETH_MAC = qb.ETH_MAC
# QEMU's user-mode DHCP server hands out its first address.
DHCP_ADDRESS = r"10\.0\.2\.15/255\.255\.255\.0"
UNIT_RESTART_SEC = 5
UNIT_WATCHDOG_SEC = 30
# systemd-analyze security's exposure of the unit: the check fails above it.
EXPOSURE_MAX = 2.7
BOOT_TIMEOUT = 600  # emulation on two shared cores: generous, only a ceiling

# What the board's integrator adds: the settings the board needs, the
# processor stand-in as a service, recording hooks, the board's UUID.
SETTINGS = {"QZ_DEFAULT_GAIN": str(qb.DEFAULT_GAIN), "QZ_DIRAC_VERSION": qb.PROCESSOR_VERSION}
PROCESSOR_UNIT = """[Unit]
Description=room-correction processor stand-in (processor_sim.py)
Before=qzlinkd.service

[Service]
ExecStartPre=/bin/mkdir -p /tmp/dirac/concord
ExecStart=/usr/bin/python3 /opt/qz-sim/processor_sim.py --port 8090 --slots /opt/qz-sim/slots.json --active 7 --gain -10 --state-dir /tmp/dirac --state 4 --connected 0

[Install]
WantedBy=multi-user.target
"""
HOOK = """#!/bin/sh
# Board test hook: logs its call to the journal.
exec logger -t qz-hook -- "$(basename "$0") $*"
"""
# An update writes where the daemon's sandbox may not: it runs in
# qz-update.service.
UPDATE_PROOF = "/usr/local/lib/qz-updated"
UPDATE_HOOK = """#!/bin/sh
date +%%s > %s
exec logger -t qz-hook -- "$(basename "$0") $*"
""" % UPDATE_PROOF


class Failed(Exception):
    pass


# --- QEMU ---------------------------------------------------------------------

class Board:
    def __init__(self, image, run):
        self.image = Path(image)
        self.run = Path(run)
        self.proc = None
        self.sock = None
        self.buf = b""
        self.token = 0
        self.mcus = []
        self.qzmcu = None

    def start(self):
        for name in ("agent.sock", "monitor.sock", "console.log"):
            (self.run / name).unlink(missing_ok=True)
        argv = [
            "qemu-system-arm", "-M", "virt,highmem=off", "-cpu", "cortex-a15", "-smp", "2", "-m", "1024",
            "-nodefaults", "-no-user-config", "-display", "none",
            "-kernel", str(self.image / "vmlinuz"), "-initrd", str(self.image / "initrd.img"),
            # A quiet console: every line through the emulated UART costs.
            "-append", "root=/dev/vda rw console=ttyAMA0 net.ifnames=0 quiet systemd.show_status=error",
            "-serial", "file:%s" % (self.run / "console.log"),
            "-drive", "if=none,id=hd0,format=raw,file=%s" % (self.run / "disk.img"),
            "-device", "virtio-blk-pci,drive=hd0",
            "-netdev", "user,id=n0,restrict=on",
            "-device", "virtio-net-pci,netdev=n0,romfile=,mac=%s" % ETH_MAC.lower(),
            "-chardev", "pty,id=mcu", "-device", "pci-serial,chardev=mcu",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", "pty,id=usbmcu", "-device", "usb-serial,chardev=usbmcu,id=usbser,bus=xhci.0",
            "-device", "virtio-serial-pci",
            "-chardev", "socket,id=agent,path=%s,server=on,wait=off" % (self.run / "agent.sock"),
            "-device", "virtserialport,chardev=agent,name=qz.agent",
            "-monitor", "unix:%s,server=on,wait=off" % (self.run / "monitor.sock"),
        ]
        log = open(self.run / "qemu.log", "wb")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        log.close()
        deadline = time.monotonic() + 30
        while not (self.run / "agent.sock").exists() or not (self.run / "monitor.sock").exists():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise Failed("QEMU did not start: %s" % (self.run / "qemu.log").read_text()[-500:])
            time.sleep(0.1)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(str(self.run / "agent.sock"))

    def kill(self):
        for mcu in self.mcus:
            if mcu.poll() is None:
                os.killpg(mcu.pid, signal.SIGKILL)
                mcu.wait(10)
        if self.proc is not None and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    def monitor(self, command):
        """One HMP command on the monitor socket; returns its text."""
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(str(self.run / "monitor.sock"))
        s.settimeout(10)
        out = b""
        try:
            while not out.endswith(b"(qemu) "):
                out += s.recv(4096)
            s.sendall(command.encode() + b"\n")
            out = b""
            while not out.endswith(b"(qemu) "):
                chunk = s.recv(4096)
                if not chunk:
                    break
                out += chunk
        finally:
            s.close()
        text = out.decode("utf-8", "replace").replace("\r", "")
        return "\n".join(line for line in text.split("\n")[1:] if line != "(qemu) ")

    def pty(self, chardev):
        m = re.search(r"^%s: filename=pty:(\S+)" % chardev, self.monitor("info chardev"), re.M)
        if not m:
            raise Failed("no pty for chardev %s" % chardev)
        return m.group(1)

    # --- the guest's agent -----------------------------------------------------

    def sh(self, command, timeout=120, check=True):
        """Runs a shell command in the guest; returns (status, output)."""
        self.token += 1
        end = "@@QZ-%d-%d" % (os.getpid(), self.token)
        self.sock.settimeout(30)
        self.sock.sendall(("{ %s\n} </dev/null 2>&1; echo \"%s $?\"\n" % (command, end)).encode())
        status, out = self.read_until(end, timeout)
        if status is None:
            raise Failed("guest command timed out: %s" % command[:80])
        if check and status != 0:
            raise Failed("guest command failed (%d): %s\n%s" % (status, command[:80], out[-800:]))
        return status, out

    def read_until(self, end, timeout):
        pattern = re.compile(rb"(?:^|\n)" + re.escape(end.encode()) + rb" (\d+)\n")
        deadline = time.monotonic() + timeout
        while True:
            m = pattern.search(self.buf)
            if m:
                out = self.buf[:m.start()].decode("utf-8", "replace")
                self.buf = self.buf[m.end():]
                return int(m.group(1)), out
            left = deadline - time.monotonic()
            if left <= 0 or (self.proc.poll() is not None):
                return None, self.buf.decode("utf-8", "replace")
            self.sock.settimeout(min(left, 1.0))
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                raise Failed("the agent socket closed")
            self.buf += chunk

    def wait_agent(self, timeout=BOOT_TIMEOUT):
        """Waits until the agent answers after a (re)boot: pings every 3 s."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.token += 1
            end = "@@QZ-%d-%d" % (os.getpid(), self.token)
            self.sock.settimeout(30)
            self.sock.sendall(("echo \"%s $?\"\n" % end).encode())
            status, _ = self.read_until(end, 3)
            if status is not None:
                self.buf = b""
                return
            if self.proc.poll() is not None:
                raise Failed("QEMU exited while booting")
        raise Failed("the guest's agent did not answer within %d s" % timeout)

    def boot_done(self):
        self.wait_agent()
        self.sh("systemctl is-system-running --wait >/dev/null || true", timeout=BOOT_TIMEOUT)


# --- the checks --------------------------------------------------------------

class Checks:
    """One line per check on standard output and in RUN/checks.log."""

    def __init__(self, run):
        self.passed = 0
        self.failed = []
        self.log = open(Path(run) / "checks.log", "w")
        self.last = time.monotonic()

    def report(self, name, ok, detail=""):
        """The line ends with the seconds since the previous line."""
        now = time.monotonic()
        line = "%s %s%s [%.0f s]" % ("ok  " if ok else "FAIL", name, (": " + detail) if detail else "",
                                    now - self.last)
        self.last = now
        print(line, flush=True)
        self.log.write(line + "\n")
        self.log.flush()
        if ok:
            self.passed += 1
        else:
            self.failed.append(name)
        return ok


class GuestSim:
    """Tour's simulator hook: the processor stand-in runs in the guest."""

    def __init__(self, board):
        self.board = board

    def sim(self, path):
        self.board.sh("curl -sS -o /dev/null -X POST 'http://127.0.0.1:8090%s'" % path)


def tour_group(tour, steps):
    """Runs steps; returns (ok, detail) for one check line."""
    before_expected, before_missing = tour.expected, len(tour.missing)
    steps(tour)
    missing = tour.missing[before_missing:]
    seen = tour.expected - before_expected - len(missing)
    return not missing, "%d/%d answers%s" % (seen, tour.expected - before_expected,
                                             ("; missing " + "; ".join(missing)) if missing else "")


class QuietTranscript(Transcript):
    """The MCU's lines go to a file; the checks print one line each."""

    def __init__(self, path):
        super().__init__()
        self.file = open(path, "w")

    def say(self, text):
        with self.cond:
            self.file.write(text + "\n")
            self.file.flush()
            self.lines.append(text)
            self.cond.notify_all()


def start_mcu(board, chardev, transcript):
    mcu = subprocess.Popen([board.qzmcu, "--device", board.pty(chardev), "--layout", "5:1",
                            "--yes", "--wait", "3000"], stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           start_new_session=True)
    board.mcus.append(mcu)
    threading.Thread(target=pump, args=(mcu.stdout, transcript.say), daemon=True).start()
    return mcu


def make_disk(board, deb):
    """The board's disk: the package, then what the integrator adds beside it."""
    setup = board.run / "setup"
    files = {"opt/qz-sim/processor_sim.py": ((REPO / "tools" / "processor_sim.py").read_bytes(), 0o755),
             "opt/qz-sim/slots.json": (json.dumps(qb.SLOTS).encode(), 0o644),
             "etc/systemd/system/qz-processor.service": (PROCESSOR_UNIT.encode(), 0o644),
             "etc/qz/uuid": ((qb.DEMO_UUID + "\n").encode(), 0o644),
             "root/qzlinkd.deb": (Path(deb).read_bytes(), 0o644)}
    files.update({"opt/qz/hooks/" + hook: (HOOK.encode(), 0o755) for hook in qb.HOOKS})
    files["opt/qz/hooks/update"] = (UPDATE_HOOK.encode(), 0o755)
    for name, (data, mode) in files.items():
        path = setup / "root" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        path.chmod(mode)
    (setup / "setup.sh").write_text(
        "set -e\nsystemctl enable qz-processor.service\n"
        # What the board does not use, masked as a board maker trims the
        # boot: under emulation each unit costs seconds.
        "systemctl mask --quiet sys-kernel-debug.mount sys-kernel-tracing.mount dev-mqueue.mount"
        " proc-sys-fs-binfmt_misc.automount systemd-binfmt.service kmod-static-nodes.service"
        " modprobe@drm.service modprobe@configfs.service modprobe@dm_mod.service"
        " modprobe@efi_pstore.service modprobe@fuse.service modprobe@loop.service systemd-pstore.service"
        " systemd-update-utmp.service systemd-update-utmp-runlevel.service systemd-logind.service"
        " systemd-user-sessions.service\n"
        "sed -i -e 's/^QZ_DEFAULT_GAIN=.*/QZ_DEFAULT_GAIN=%s/' -e 's/^QZ_DIRAC_VERSION=.*/QZ_DIRAC_VERSION=%s/'"
        " /etc/default/qzlinkd\n" % (SETTINGS["QZ_DEFAULT_GAIN"], SETTINGS["QZ_DIRAC_VERSION"]))
    out = subprocess.run([str(HERE / "make-disk"), str(board.image / "root"), deb, str(setup),
                          str(board.run / "disk.img")], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True)
    if out.returncode != 0:
        raise Failed("make-disk failed: %s" % out.stdout[-800:])


def main_pid(board):
    return int(board.sh("systemctl show -p MainPID --value qzlinkd.service")[1].strip() or 0)


# The board has no WiFi device (mlan0): the daemon then sends no WiFi MAC
# report at start-up, which the check confirms up to the LAN report.
STARTUP = [r"^<- version 1\.3\.4$",
           r"^<- build date 2026-07-28, processor version 3\.9\.1$",
           r"^<- processor state 4 \(stopped: no processor files\), code 255$",
           r"^<- lan: connected \(3\) mac %s ip %s$" % (ETH_MAC, DHCP_ADDRESS)]


def expect_all(tour, regexes, since, timeout):
    for regex in regexes:
        tour.expect(regex, since, timeout)


def identity_and_clock(tour):
    tour.ask("version", r"^<- version 1\.3\.4$")
    tour.ask("date", r"^<- build date 2026-07-28, processor version 3\.9\.1$")
    tour.ask("uuid", r'^<- uuid "%s"$' % qb.DEMO_UUID)
    tour.ask('identity QZ000042 "Living Room"', r"^<- device identity acknowledged$")
    tour.ask("mac", r"^<- wifi mac none$")
    tour.ask("time", r"^<- date and time \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \w+, zone \+0 h, ")
    tour.ask("settime", r"^<- ack \d+$")


def processor_requests(tour):
    since = tour.sim("/sim/state?value=1", "run state 1")
    tour.expect(r"^<- processor state 1 \(ready: command socket up\)$", since, 30)
    tour.expect(r"^<- speaker layout request$", since, 30)
    tour.expect(r"^-> speaker layout 5\.1\.0, code 5 \(320: FL_FR_LS_RS_FC_LFE\)", since, 30)
    tour.expect(r'^<- filters: filtering on, 4 slots, active slot 1 \[Dirac Live Bass Control\] "Movie Night"$',
                since, 30)
    ask_processor(tour)
    tour.ask("rate 48000")
    tour.ask("layout 3 1", r"^<- filters: ", timeout=30)
    tour.ask("reset", r"^<- audio reset done$")


def processor_changes(tour):
    since = tour.sim("/sim/state?value=3", "run state 3: playing")
    tour.expect(r"^<- processor state 3 \(playing\)$", since, 30)
    since = tour.sim("/sim/set?gain=-6", "gain -6 dB on the processor itself")
    tour.expect(r"^<- main volume -6\.0 dB$", since, 30)
    since = tour.sim("/sim/state?value=1", "run state 1: playback stopped")
    tour.expect(r"^<- processor state 1 ", since, 30)
    tour.sim("/sim/connected?value=1", "a room-correction app connects")
    since = tour.sim("/sim/set?active=0&filtering=1", "the app selects slot Music")
    tour.expect(r'^<- filters: filtering on, 4 slots, active slot 0 \[Dirac Live Bass Management\] "Music"$',
                since, 30)
    since = tour.sim("/sim/state?value=4", "the processor stops")
    tour.expect(r"^<- processor state 4 \(stopped: no processor files\), code 255$", since, 30)


def network(tour):
    tour.ask("wifi status", r"^<- wifi: ")
    tour.ask("lan status", r"^<- lan: connected \(3\) mac %s ip %s$" % (ETH_MAC, DHCP_ADDRESS))
    since = tour.t.mark()
    tour.ask("lan off")
    tour.expect(r"^<- lan: no link \(0\) mac %s$" % ETH_MAC, since, 60)
    since = tour.t.mark()
    tour.ask("lan on")
    tour.expect(r"^<- lan: connected \(3\) mac %s ip %s$" % (ETH_MAC, DHCP_ADDRESS), since, 90)


HOOK_CALLS = ["device-id_name QZ000042 Living Room", "UpdateSpConfig 5 1 0", "sample_rate 48000",
              "UpdateSpConfig 4 1 0", "zel_reset"]


def wait_guest(board, condition, timeout):
    """Waits in the guest until a shell condition holds: one round trip."""
    status, _ = board.sh("timeout %d sh -c 'until %s; do sleep 0.2; done'" % (timeout, condition),
                         timeout=timeout + 30, check=False)
    return status == 0


def run_checks(board, checks, args):
    t0 = time.monotonic()
    board.qzmcu = args.qzmcu
    make_disk(board, args.deb)
    checks.report("disk: the package installed by the board's dpkg, the board's files beside it", True,
                  "%.0f s" % (time.monotonic() - t0))
    # The MCU listens from power-on: the start-up reports come unasked.
    t1 = time.monotonic()
    board.start()
    t = QuietTranscript(board.run / "mcu.log")
    mcu = start_mcu(board, "mcu", t)
    tour = Tour(t, GuestSim(board), mcu)
    board.boot_done()
    active = board.sh("systemctl is-active qzlinkd.service", check=False)[1].strip()
    before = len(tour.missing)
    expect_all(tour, STARTUP, 0, 120)
    missing = tour.missing[before:]
    lan = t.wait(STARTUP[-1], 0, 1)
    wifi = [line for line in t.lines[:lan] if line.startswith("<- wifi mac")] if lan >= 0 else []
    checks.report("boot: qzlinkd.service active without anyone starting it, start-up reports reach the MCU",
                  active == "active" and not missing and not wifi,
                  "%s after %.0f s; %s; WiFi MAC %s" % (
                      active, time.monotonic() - t1,
                      "missing " + "; ".join(missing) if missing else "version, build date, processor, LAN",
                      "reported: " + wifi[0] if wifi else "absent (no mlan0)"))
    ready_check(board, checks)

    for name, steps in (("tour: identity and clock", identity_and_clock),
                        ("tour: processor requests", processor_requests),
                        ("tour: processor changes arrive unsolicited", processor_changes),
                        ("tour: LAN report carries the DHCP address, LAN off and on", network)):
        ok, detail = tour_group(tour, steps)
        checks.report(name, ok, detail)
    hooks = board.sh("journalctl -b -o cat -t qz-hook", check=False)[1].splitlines()
    checks.report("hooks: the control script ran the board's hooks", hooks == HOOK_CALLS,
                  "; ".join(hooks))

    pid = main_pid(board)
    mem = board.sh("grep -E '^(Rss|Pss|Private_Clean|Private_Dirty):' /proc/%d/smaps_rollup" % pid)[1]
    kib = {k: int(v.split()[0]) for k, v in (line.split(":", 1) for line in mem.splitlines())}
    checks.report("memory after the tour", True, "RSS %d KiB, private %d KiB, PSS %d KiB"
                  % (kib["Rss"], kib["Private_Clean"] + kib["Private_Dirty"], kib["Pss"]))

    journal_check(board, checks, t)
    update_check(board, checks, tour)
    restart_checks(board, checks, tour, t)
    watchdog_check(board, checks, tour, t)
    stop_check(board, checks)
    exposure_check(board, checks)
    install_check(board, checks, t)
    usb_check(board, checks)
    poweroff_check(board, checks, tour)


def unit_props(board, unit, *names):
    out = board.sh("systemctl show -p %s %s" % (",".join(names), unit), check=False)[1]
    return dict(line.partition("=")[::2] for line in out.splitlines() if "=" in line)


def ready_check(board, checks):
    """Type=notify: "active" only once the daemon said READY; its status line
    and the watchdog as the unit sets them."""
    p = unit_props(board, "qzlinkd.service", "Type", "ActiveState", "SubState", "StatusText", "WatchdogUSec",
                   "Restart")
    want = {"Type": "notify", "ActiveState": "active", "SubState": "running",
            "StatusText": "serving the MCU on /dev/ttymxc2", "WatchdogUSec": "%ds" % UNIT_WATCHDOG_SEC,
            "Restart": "always"}
    checks.report("service: systemd shows qzlinkd ready, with its status line and watchdog", p == want,
                  ", ".join("%s=%s" % kv for kv in sorted(p.items())))


def update_check(board, checks, tour):
    """The MCU's update runs the hook in qz-update.service, outside the
    daemon's sandbox: it can write under /usr, and the daemon runs on."""
    old = main_pid(board)
    before = len(tour.missing)
    tour.ask("update")
    wrote = wait_guest(board, "[ -s %s ]" % UPDATE_PROOF, 60)
    result = unit_props(board, "qz-update.service", "Result", "ExecMainStatus")
    tour.ask("version", r"^<- version 1\.3\.4$")
    ok = wrote and result == {"Result": "success", "ExecMainStatus": "0"} and len(tour.missing) == before
    checks.report("update: the update hook runs as qz-update.service and writes %s" % UPDATE_PROOF,
                  ok and main_pid(board) == old,
                  "%s, qz-update.service %s, daemon %s" % (
                      "written" if wrote else "not written", result,
                      "answering, same pid" if main_pid(board) == old else "restarted"))


def comes_back(board, tour, t, command, timeout):
    """Runs command (%d: the daemon's pid) in the guest; waits for the start-up
    report of a new daemon and asks it the version. Returns (ok, old pid, new
    pid, seconds to the start-up report, answered)."""
    old = main_pid(board)
    since = t.mark()
    t0 = time.monotonic()
    board.sh(command % old if "%d" in command else command)
    back = t.wait(r"^<- version 1\.3\.4$", since, timeout) >= 0
    took = time.monotonic() - t0
    new = main_pid(board)
    before = len(tour.missing)
    tour.ask("version", r"^<- version 1\.3\.4$")
    answered = len(tour.missing) == before
    return back and answered and new not in (0, old), old, new, took, answered


def watchdog_check(board, checks, tour, t):
    """A daemon that stops making progress (SIGSTOP: every thread at once)
    stops its pings; systemd kills it and starts it again."""
    ok, _, _, took, _ = comes_back(board, tour, t, "kill -STOP %d", UNIT_WATCHDOG_SEC + UNIT_RESTART_SEC + 60)
    journal = board.sh("journalctl -b -o cat -u qzlinkd.service | grep -c 'Watchdog timeout'", check=False)[1]
    checks.report("watchdog: a stopped daemon is killed by the watchdog and answers again",
                  ok and journal.strip() not in ("", "0"),
                  "SIGSTOP to answering %.1f s (WatchdogSec=%d, RestartSec=%d), watchdog timeouts in the "
                  "journal: %s" % (took, UNIT_WATCHDOG_SEC, UNIT_RESTART_SEC, journal.strip()))


def stop_check(board, checks):
    """systemctl stop: SIGTERM, one line, exit status 0, inactive (dead)."""
    t0 = time.monotonic()
    board.sh("systemctl stop qzlinkd.service")
    took = time.monotonic() - t0
    p = unit_props(board, "qzlinkd.service", "ActiveState", "SubState", "Result", "ExecMainStatus",
                   "ExecMainCode")
    status = board.sh("systemctl status qzlinkd.service | sed -n 's/^ *Active: //p'", check=False)[1].strip()
    said = board.sh("journalctl -b -o cat -u qzlinkd.service | grep -c '^Stopping on SIGTERM\\.$'",
                    check=False)[1].strip()
    want = {"ActiveState": "inactive", "SubState": "dead", "Result": "success", "ExecMainStatus": "0",
            "ExecMainCode": "1"}
    checks.report("stop: systemctl stop ends the daemon with status 0, inactive (dead)",
                  p == want and status.startswith("inactive (dead)") and said not in ("", "0"),
                  "%.1f s, %s; Active: %s; 'Stopping on SIGTERM.' logged %s time(s)"
                  % (took, ", ".join("%s=%s" % kv for kv in sorted(p.items())), status, said))
    board.sh("systemctl start qzlinkd.service")


def exposure_check(board, checks):
    out = board.sh("systemd-analyze security qzlinkd.service | tail -1", check=False)[1]
    m = re.search(r"exposure level for qzlinkd\.service: ([0-9.]+) (\w+)", out)
    value = float(m.group(1)) if m else None
    checks.report("sandbox: systemd-analyze security qzlinkd.service at most %.1f" % EXPOSURE_MAX,
                  value is not None and value <= EXPOSURE_MAX,
                  "exposure %s %s" % (m.group(1), m.group(2)) if m else out.strip()[-200:])


def install_check(board, checks, t):
    """An install on a running board enables and starts the unit (dpkg
    runs the same postinst steps for a first install; the unit is stopped
    first so that there is something to start)."""
    board.sh("systemctl stop qzlinkd.service")
    since = t.mark()
    status, out = board.sh("dpkg -i /root/qzlinkd.deb", check=False, timeout=300)
    enabled = board.sh("systemctl is-enabled qzlinkd.service", check=False)[1].strip()
    active = board.sh("systemctl is-active qzlinkd.service", check=False)[1].strip()
    answered = t.wait(r"^<- version 1\.3\.4$", since, 60) >= 0
    checks.report("install: dpkg -i on the running board enables and starts qzlinkd.service",
                  status == 0 and enabled == "enabled" and active == "active" and answered,
                  "stopped, then dpkg %d, %s, %s, start-up report %s"
                  % (status, enabled, active, "seen" if answered else "missing"))


def journal_lines():
    """Lines the daemon must have logged during the tour, each one whole:
    the banner, a control-script call with quoting, the UUID report, the
    processor's slot list as one long line and the DHCP lease."""
    return ["Version=1.3.4.260728 %s" % qb.PROCESSOR_VERSION,
            "/dev/ttymxc2 115200(4098) true",
            "/opt/qz/bin/halvane.sh",
            "CmdDirac_UID_Report: 38 %s" % qb.DEMO_UUID,
            "DevicInfo report: 8 20 ID=QZ000042 Name=Living Room",
            'Exec=0: /opt/qz/bin/halvane.sh device id_name "QZ000042" "Living Room" &',
            "%d: %s" % (len(json.dumps(qb.SLOTS)), json.dumps(qb.SLOTS)),
            "eth0 actived: 10.0.2.15 255.255.255.0 %s" % ETH_MAC]


def journal_check(board, checks, t):
    lines = board.sh("journalctl -b -o cat -u qzlinkd.service", check=False)[1].splitlines()
    missing = [line for line in journal_lines() if line not in lines]
    # What the sandbox would refuse the daemon and its commands (date -s,
    # ifconfig, nmcli, the control script) shows up as one of these.
    refused = [line for line in lines if re.search(r"not permitted|Permission denied|Read-only file system|"
                                                   r"Bad system call|Address family not supported", line)]
    checks.report("journal: the daemon's lines are there, whole, nothing refused by the sandbox",
                  bool(lines) and not missing and not refused,
                  "%d lines%s%s" % (len(lines), ("; missing: " + " | ".join(missing)) if missing else "",
                                    ("; refused: " + " | ".join(refused[:3])) if refused else ""))


def restart_checks(board, checks, tour, t):
    for name, command in (("SIGKILL: systemd restarts the daemon, it answers again",
                           "kill -KILL %d"),
                          ("systemctl restart: the daemon answers again",
                           "systemctl restart qzlinkd.service")):
        ok, old, new, took, answered = comes_back(board, tour, t, command, 120)
        checks.report(name, ok, "pid %d -> %d, start-up report after %.1f s (RestartSec=%d), version %s"
                      % (old, new, took, UNIT_RESTART_SEC, "answered" if answered else "unanswered"))


def usb_check(board, checks):
    t = QuietTranscript(board.run / "mcu-usb.log")
    mcu = start_mcu(board, "usbmcu", t)
    usb_tour = Tour(t, GuestSim(board), mcu)
    args = "/dev/ttyUSB0 115200 -1 /opt/qz/bin/halvane.sh http://127.0.0.1:8090 mlan0 eth0 -20 0 3.9.1 1"
    log = "/run/qzlinkd-usb.log"
    since = t.mark()
    board.sh("systemd-run --unit=qzlinkd-usb --property=Restart=on-failure "
             "--property=StandardOutput=file:%s /usr/bin/qzlinkd %s" % (log, args))
    logged = lambda line: wait_guest(board, 'grep -qF "%s" %s' % (line, log), 60)  # noqa: E731
    steps = []
    ok = t.wait(r"^<- version 1\.3\.4$", since, 60) >= 0
    steps.append("up on /dev/ttyUSB0" if ok else "no start-up report on /dev/ttyUSB0")
    if ok:
        board.monitor("device_del usbser")
        lost = logged("Serial line lost: /dev/ttyUSB0")
        steps.append("line lost logged" if lost else "no 'Serial line lost'")
        gone = wait_guest(board, "! ls /dev/ttyUSB* >/dev/null 2>&1", 30)
        held = board.sh("ls -l /proc/$(systemctl show -p MainPID --value qzlinkd-usb)/fd | grep ttyUSB",
                        check=False)[1].strip()
        steps.append("ttyUSB0 gone" if gone else "ttyUSB0 still there")
        steps.append("daemon holds: %s" % (held.split("-> ")[-1] if held else "nothing"))
        board.monitor("device_add usb-serial,chardev=usbmcu,id=usbser,bus=xhci.0")
        wait_guest(board, "ls /dev/ttyUSB* >/dev/null 2>&1", 60)
        back = board.sh("ls /dev/ttyUSB*", check=False)[1].split()
        steps.append("adapter back as %s" % " ".join(back or ["nothing"]))
        reopened = logged("Serial line reopened: /dev/ttyUSB0")
        steps.append("reopened logged" if reopened else "no 'Serial line reopened'")
        before = len(usb_tour.missing)
        usb_tour.ask("version", r"^<- version 1\.3\.4$", timeout=15)
        answered = len(usb_tour.missing) == before
        steps.append("version answered" if answered else "version unanswered")
        ok = lost and gone and back == ["/dev/ttyUSB0"] and reopened and answered
    board.sh("systemctl stop qzlinkd-usb", check=False)
    checks.report("USB serial adapter unplugged and plugged again", ok, ", ".join(steps))


def poweroff_check(board, checks, tour):
    t0 = time.monotonic()
    tour.ask("poweroff")
    try:
        code = board.proc.wait(300)
    except subprocess.TimeoutExpired:
        code = None
    checks.report("poweroff: the MCU's request powers the guest off, QEMU exits",
                  code == 0, "QEMU exit status %s after %.0f s" % (code, time.monotonic() - t0))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--image", required=True)
    p.add_argument("--deb", required=True)
    p.add_argument("--qzmcu", required=True)
    p.add_argument("--run-dir", required=True)
    args = p.parse_args()
    board = Board(args.image, args.run_dir)
    Path(args.run_dir).mkdir(parents=True, exist_ok=True)
    checks = Checks(args.run_dir)

    def stop(signum, frame):
        raise KeyboardInterrupt

    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, stop)
    try:
        run_checks(board, checks, args)
    except Failed as e:
        checks.report("board run", False, str(e))
    except KeyboardInterrupt:
        checks.report("board run", False, "interrupted")
    except Exception as e:  # any fault of the driver still ends in one FAIL line
        checks.report("board run", False, "%s: %s" % (type(e).__name__, e))
    finally:
        board.kill()
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
