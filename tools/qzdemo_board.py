"""The simulated board of the demo: every process and file it starts, and
how they are stopped again.

Everything lives in one run directory (default build/demo-run):

  tmp/            bound over /tmp for qzlinkd alone (a private mount
                  namespace), so its /tmp/dirac is tmp/dirac, which the
                  processor simulator moves between its run states
  bin/            stand-ins for poweroff, date, nmcli and ifconfig, first on
                  qzlinkd's PATH: they only record their call
  hooks/          the control script's hooks (QZ_HOOKS_DIR), recording too
  nm/             the private D-Bus bus of the NetworkManager mock
  calls.log       every recorded call: name, 0x1F, arguments joined by 0x1F, 0x1E
  qzlinkd.log, processor_api.log (one line per API request), nm/nmmock.log

Nothing here talks to the machine's NetworkManager, clock, power state or
network: the bus is private, the stand-ins never run the real commands and
the simulator listens on 127.0.0.1 only.
"""
import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tools"))
import nmmock  # noqa: E402  the simulated board's NetworkManager
import privtmp  # noqa: E402
import dbus  # noqa: E402

PYTHON = "/usr/bin/python3"
MARKER = ".qzdemo-run"
WLAN, ETH = "mlan0", "eth0"
WLAN_MAC, ETH_MAC = "02:00:5E:10:00:01", "78:DD:08:D2:3D:43"
DEMO_UUID = "9b2f6c1e-3a4d-4e8f-b7a1-0c5d2e3f4a6b"
PROCESSOR_VERSION = "3.9.1"
DEFAULT_GAIN = -20

SLOTS = [
    {"index": 0, "filter_type": "Dirac Live Bass Management", "name": "Music"},
    {"index": 7, "filter_type": "dirac live bass control", "name": "Movie Night"},
    {"index": 2, "filter_type": "Dirac Live Active Room Treatment", "name": "Late Quiet"},
    {"index": 3, "filter_type": "Flat", "name": "Reference"},
]

# ssid, bssid, MHz, strength, flags, WPA flags, RSN flags, IPv4 when connected
ACCESS_POINTS = [
    ("Home", "00:1A:2B:3C:4D:5E", 5180, 80, 0, 0, nmmock.KEY_MGMT_PSK, "192.168.1.20"),
    ("Guest", "00:1A:2B:3C:4D:5F", 2437, 72, 0, nmmock.KEY_MGMT_PSK, nmmock.KEY_MGMT_PSK, "192.168.2.20"),
    ("Cafe Libre", "3C:84:6A:01:02:03", 2412, 65, 0, 0, 0, "10.10.0.20"),
    ("Office", "F0:9F:C2:11:22:33", 5240, 55, 0, 0, nmmock.KEY_MGMT_8021X, "172.16.5.20"),
    ("Neighbour", "A4:2B:B0:44:55:66", 2462, 40, 0, 0, nmmock.KEY_MGMT_PSK | nmmock.KEY_MGMT_SAE,
     "192.168.178.20"),
    ("Old Router", "00:0F:66:77:88:99", 2427, 30, nmmock.PRIVACY, 0, 0, "192.168.0.20"),
]

RECORDER = r'''#!/bin/sh
# Demo stand-in: records the call and does nothing else.
rec=%(name)s
for a in "$@"; do rec="$rec$(printf '\037')$a"; done
printf '%%s\036' "$rec" >> %(log)s
exit 0
'''
STUBS = ("poweroff", "date", "nmcli", "ifconfig", "reboot", "shutdown")
HOOKS = ("sample_rate", "UpdateSpConfig", "zel_reset", "update", "net", "device-id_name")


def prepare_run_dir(run):
    """A fresh run directory; only one of ours is ever emptied."""
    run = Path(run).resolve()
    if run.exists():
        if not (run / MARKER).exists() and any(run.iterdir()):
            raise SystemExit("demo: %s exists and is not a demo run directory" % run)
        shutil.rmtree(run)
    for d in ("tmp/dirac/concord", "bin", "hooks", "nm", "state"):
        (run / d).mkdir(parents=True)
    (run / MARKER).write_text("")
    (run / "calls.log").write_bytes(b"")
    (run / "uuid").write_text(DEMO_UUID + "\n")
    (run / "slots.json").write_text(json.dumps(SLOTS))
    log = shlex.quote(str(run / "calls.log"))
    for names, folder, prefix in ((STUBS, "bin", ""), (HOOKS, "hooks", "hook:")):
        for name in names:
            p = run / folder / name
            p.write_text(RECORDER % {"name": shlex.quote(prefix + name), "log": log})
            p.chmod(0o755)
    return run


def read_calls(run, offset):
    """New complete records of calls.log after offset: ([(name, args)], new offset)."""
    with open(run / "calls.log", "rb") as f:
        f.seek(offset)
        data = f.read()
    end = data.rfind(b"\x1e")
    if end < 0:
        return [], offset
    out = []
    for rec in data[:end].split(b"\x1e"):
        parts = rec.decode("utf-8", "replace").split("\x1f")
        out.append((parts[0], parts[1:]))
    return out, offset + end + 1


class Board:
    """The running board: processes in start order, stopped in reverse."""

    def __init__(self, run, build):
        self.run = Path(run)
        self.build = Path(build)
        self.procs = []
        self.started = []      # every process started, each a group leader
        self.mock_pids = set()  # the mock's bus and service, in the demo's own group
        self.nm = None
        self.nm_lock = threading.Lock()
        self.sim_port = None
        self.wlan = self.eth = None
        self.aps = {}          # bssid -> (path, row)
        self.wifi_active = None

    # --- processes ---------------------------------------------------------

    def spawn(self, name, argv, **kw):
        # A session of its own: a Ctrl-C at the terminal reaches the demo,
        # which then stops everything in order.
        p = subprocess.Popen([str(a) for a in argv], start_new_session=True, **kw)
        self.procs.append((name, p))
        self.started.append(p.pid)
        return p

    def leftovers(self):
        """The processes the board started that still run: those in the
        process groups of its own processes (qzlinkd's script runs, too)
        and the mock's bus and service. Nothing else counts, however its
        command line reads."""
        groups = set(self.started)
        found = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % pid) as f:
                    stat = f.read()
                # Fields after the command's closing parenthesis: state, ppid, pgrp.
                state, _, pgrp = stat[stat.rindex(")") + 2:].split()[:3]
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    cmd = f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
            except (OSError, ValueError):
                continue
            if state != "Z" and (int(pgrp) in groups or int(pid) in self.mock_pids):
                found.append("%s %s" % (pid, cmd))
        return found

    def stop(self):
        for name, p in reversed(self.procs):
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                try:
                    p.wait(3)
                except subprocess.TimeoutExpired:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.wait(3)
        self.procs = []
        if self.nm is not None:
            with self.nm_lock:
                try:
                    self.nm.close()
                except Exception:  # the bus may be gone already
                    pass
                self.nm = None

    # --- the processor simulator --------------------------------------------

    def start_processor(self):
        p = self.spawn("processor_sim", [
            PYTHON, REPO / "tools" / "processor_sim.py", "--port", "0",
            "--slots", self.run / "slots.json", "--active", "7", "--gain", "-10",
            "--state-dir", self.run / "tmp" / "dirac", "--state", "4", "--connected", "0",
            "--log", self.run / "processor_api.log"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = p.stdout.readline().strip()
        if not line.startswith("processor_sim listening on 127.0.0.1:"):
            raise RuntimeError("the processor simulator did not start")
        self.sim_port = int(line.rsplit(":", 1)[1])
        return self.sim_port

    def sim(self, path):
        """POSTs a control request to the simulator; returns its status object."""
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        req = urllib.request.Request("http://127.0.0.1:%d%s" % (self.sim_port, path), data=b"",
                                     method="POST")
        with opener.open(req, timeout=5) as r:
            return json.loads(r.read().decode())

    # --- the NetworkManager mock ---------------------------------------------

    def start_network(self):
        # Kept before it is started, so an interruption still stops it.
        self.nm = nm = nmmock.NmMock(self.run / "nm")
        self.mock_pids.add(nm.bus_proc.pid)
        nm.start()
        self.mock_pids.add(nm.mock_proc.pid)
        self.wlan = nm.add_wifi(WLAN, nmmock.DISCONNECTED, mac=WLAN_MAC)
        for row in ACCESS_POINTS:
            ssid, bssid, freq, strength, flags, wpa, rsn, _ = row
            path = nm.add_ap(self.wlan, ssid, bssid, freq=freq, strength=strength, security=rsn,
                             flags=flags, wpa=wpa, rsn=rsn)
            self.aps[bssid] = (path, row)
        hidden = nm.add_ap(self.wlan, "hidden", "00:00:5E:00:53:01", strength=90)
        nm.set_ssid_bytes(hidden, b"")  # a hidden network: never listed
        self.eth = nm.add_ethernet(ETH, nmmock.ACTIVATED, mac=ETH_MAC)
        nm.add_ip4(self.eth, "192.168.10.50", 24)
        nm.add_active_connection(self.eth, "Wired connection 1", ctype="802-3-ethernet")
        nm.set_state(self.eth, nmmock.ACTIVATED)
        return nm.address

    def wifi_connect(self, bssid, say):
        """What NetworkManager would do for "nmcli dev wifi connect BSSID"."""
        if bssid not in self.aps:
            with self.nm_lock:
                self.nm.set_state(self.wlan, nmmock.FAILED)
            say("   [network] no access point %s: connection failed" % bssid)
            return
        path, row = self.aps[bssid]
        for state, text in ((nmmock.PREPARE, "preparing"), (nmmock.IP_CONFIG, "getting an address")):
            with self.nm_lock:
                self.nm.set_state(self.wlan, state)
            say("   [network] %s: %s %s" % (WLAN, row[0], text))
            time.sleep(1.3)
        with self.nm_lock:
            self.nm.set_active_ap(self.wlan, path)
            self.nm.add_ip4(self.wlan, row[7], 24)
            self.wifi_active = (self.nm.add_active_connection(self.wlan, row[0]), bssid)
            self.nm.set_state(self.wlan, nmmock.ACTIVATED)
        say("   [network] %s: connected to %s, %s/24" % (WLAN, row[0], row[7]))

    def wifi_disconnect(self, say):
        with self.nm_lock:
            nm = self.nm
            if self.wifi_active is not None:
                mgr = nm.bus.get_object(nmmock.NM_BUS, nmmock.NM_PATH)
                active = [p for p in mgr.Get(nmmock.NM_BUS, "ActiveConnections",
                                             dbus_interface="org.freedesktop.DBus.Properties")
                          if p != self.wifi_active[0]]
                nm.set(nmmock.NM_PATH, nmmock.NM_BUS, "ActiveConnections",
                       dbus.Array(active, signature="o"))
                nm.set(self.wlan, nmmock.DEVICE, "ActiveConnection", dbus.ObjectPath("/"))
            nm.set_active_ap(self.wlan, "/")
            nm.set(self.wlan, nmmock.DEVICE, "Ip4Config", dbus.ObjectPath("/"))
            nm.set_state(self.wlan, nmmock.DISCONNECTED)
        say("   [network] %s: disconnected" % WLAN)

    def wifi_reconnect(self, say):
        last = self.wifi_active[1] if self.wifi_active else "00:1A:2B:3C:4D:5E"
        self.wifi_connect(last, say)

    def lan_switch(self, up, say):
        with self.nm_lock:
            if up:
                self.nm.add_ip4(self.eth, "192.168.10.50", 24)
                self.nm.set_state(self.eth, nmmock.ACTIVATED)
            else:
                self.nm.set(self.eth, nmmock.DEVICE, "Ip4Config", dbus.ObjectPath("/"))
                self.nm.set_state(self.eth, nmmock.UNAVAILABLE)
        say("   [network] %s: %s" % (ETH, "link up, 192.168.10.50/24" if up else "link down"))

    def act_on(self, name, args, say):
        """Carries out a recorded nmcli or ifconfig call on the mock."""
        if name == "nmcli" and args[:3] == ["dev", "wifi", "connect"] and len(args) > 3:
            self.wifi_connect(args[3], say)
        elif name == "nmcli" and args[:2] == ["dev", "disconnect"]:
            self.wifi_disconnect(say)
        elif name == "nmcli" and args[:2] == ["dev", "connect"]:
            self.wifi_reconnect(say)
        elif name == "ifconfig" and len(args) == 2 and args[0] == ETH and args[1] in ("up", "down"):
            self.lan_switch(args[1] == "up", say)

    # --- the daemon and the console ------------------------------------------

    def start_mcu(self, extra, **kw):
        link = self.run / "ttyMCU"
        p = self.spawn("qzmcu", [self.build / "qzmcu", "--pty", "--link", link, "--layout", "5:1",
                                 "--yes", "--wait", "3000"] + list(extra), **kw)
        deadline = time.monotonic() + 5
        while not link.is_symlink():
            if p.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("qzmcu did not create its pseudo-terminal")
            time.sleep(0.05)
        return p

    def daemon_argv(self):
        qzlinkd = [self.build / "qzlinkd", self.run / "ttyMCU", "115200", "-1",
                   REPO / "scripts" / "halvane.sh", "http://127.0.0.1:%d" % self.sim_port, WLAN, ETH,
                   str(DEFAULT_GAIN), "0", PROCESSOR_VERSION, "0"]
        user = os.environ.get("QZ_UNSHARE", "plain" if os.geteuid() == 0 else "user") == "user"
        # Private mount namespace: the run's tmp directory is qzlinkd's /tmp.
        return privtmp.private_tmp_argv(self.run / "tmp", [REPO, self.run, self.build], user) + qzlinkd

    def start_daemon(self):
        env = dict(os.environ)
        env.update({
            "PATH": str(self.run / "bin") + ":" + env.get("PATH", "/usr/bin:/bin"),
            "DBUS_SYSTEM_BUS_ADDRESS": self.nm.address,
            "QZ_HOOKS_DIR": str(self.run / "hooks"),
            "QZ_UUID_FILE": str(self.run / "uuid"),
            "QZ_STATE_DIR": str(self.run / "state"),
        })
        log = open(self.run / "qzlinkd.log", "wb")
        try:
            return self.spawn("qzlinkd", self.daemon_argv(), env=env, stdin=subprocess.DEVNULL,
                              stdout=log, stderr=subprocess.STDOUT)
        finally:
            log.close()
