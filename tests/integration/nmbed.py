#!/usr/bin/python3
"""The real NetworkManager on a virtual Ethernet link, in private namespaces.

    nmbed.py --fetch        unpack NetworkManager into the cache (scripts/test does this)
    nmbed.py COMMAND...     run COMMAND inside a fresh bed, exit with its status

Inside private network, mount and pid namespaces: a private system bus on
/run/dbus/system_bus_socket, NetworkManager 1.42 (Debian's binaries unpacked
into a cache, never installed: a started NetworkManager would take over the
machine's interfaces), and a veth pair whose NetworkManager side is `eth0`
(profile "Wired 1", DHCP) and whose peer `qzpeer` carries dnsmasq. /etc and
/var/lib are overlays whose writes land in the bed's folder; /sys is a
read-only sysfs of the namespace, which makes NetworkManager manage links
without udev. Leaving the pid namespace ends every process in it; the
network namespace takes its links along and the mount namespace its mounts.

COMMAND finds the bed's folder in QZ_NMBED; the functions below are the
actions a test takes on the bed from inside.
"""
import ctypes
import functools
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import dbus

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from nmmock import ACTIVATED, DEVICE, NM_BUS, NM_PATH
from qzharness import until

REPO = Path(__file__).resolve().parent.parent.parent
CACHE = Path(os.environ.get("QZ_NM_CACHE") or Path.home() / ".cache" / "qzlinkd-nm")
# The libraries NetworkManager needs that the build does not bring.
LIBRARIES = ("libbluetooth3", "libmm-glib0", "libndp0", "libnewt0.52", "libteamdctl0", "libslang2")

IFACE, MAC = "eth0", "02:5A:C3:00:00:01"
PEER, PEER_MAC, PEER_IP, LEASE_IP = "qzpeer", "02:5A:C3:00:00:02", "192.0.2.1", "192.0.2.10"
BUS = "unix:path=/run/dbus/system_bus_socket"

NM_CONF = """[main]
plugins=keyfile
dhcp=internal
dns=none
rc-manager=unmanaged
hostname-mode=none
no-auto-default=*
[keyfile]
path={dir}/connections
unmanaged-devices=interface-name:{peer}
"""

PROFILE_KEYFILE = """[connection]
id=Wired 1
type=ethernet
interface-name={iface}
[ipv4]
method=auto
[ipv6]
method=disabled
"""


def fail(text):
    sys.exit("nmbed: " + text)


def run(*cmd):
    subprocess.run([str(c) for c in cmd], check=True)


# --- the cache ---------------------------------------------------------------

def _query(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True).stdout.strip()


def _cache():
    """CACHE/nm-VERSION and what fills it: NetworkManager of VERSION, that of the
    installed libnm the daemon links, and the libraries it needs."""
    arch = _query("dpkg", "--print-architecture")
    version = _query("dpkg-query", "-W", "-f=${Version}", "libnm0:" + arch)
    wanted = ["network-manager:%s=%s" % (arch, version)] + ["%s:%s" % (p, arch) for p in LIBRARIES]
    return CACHE / ("nm-" + version), wanted


def fetch():
    """Unpacks the packages into the cache; quick when they are there already."""
    dest, wanted = _cache()
    if (dest / "complete").exists():
        return
    shutil.rmtree(dest, ignore_errors=True)
    (dest / "root").mkdir(parents=True)
    print("nmbed: fetching NetworkManager %s for the real-network tests into %s (apt-get download, unpacked,"
          " never installed)" % (dest.name[3:], dest), flush=True)
    with tempfile.TemporaryDirectory(prefix="debs-", dir=CACHE) as debs:
        download = ["apt-get", "download", "-qq"] + wanted
        if subprocess.run(download, cwd=debs, stderr=subprocess.DEVNULL).returncode:
            run("apt-get", "-o", "DPkg::Lock::Timeout=600", "update", "-qq")  # no package lists yet
            if subprocess.run(download, cwd=debs).returncode:
                fail("apt-get cannot download " + " ".join(wanted))
        for deb in Path(debs).glob("*.deb"):
            run("dpkg-deb", "-x", deb, dest / "root")
    (dest / "complete").touch()


def root():
    r = _cache()[0] / "root"
    if not (r / "usr/sbin/NetworkManager").exists():
        fail("no NetworkManager in %s: fetch it with /usr/bin/python3 tests/integration/nmbed.py --fetch"
             " (scripts/test does this first)" % r)
    return r


# --- actions from inside the bed ---------------------------------------------

def _dir():
    return Path(os.environ.get("QZ_NMBED") or fail("not inside a bed: run the command through nmbed.py"))


@functools.lru_cache(maxsize=None)
def _bus():
    return dbus.bus.BusConnection(BUS)


def nm_start(timeout=30.0):
    """Starts NetworkManager and waits until it owns its bus name."""
    d, r = _dir(), root()
    options = {"--config": "nm.conf", "--config-dir": "conf.d", "--system-config-dir": "conf.d",
               "--intern-config": "intern.conf", "--state-file": "nm.state"}
    cmd = [r / "usr/sbin/NetworkManager", "--no-daemon", "--debug"]
    cmd += [a for option, name in options.items() for a in (option, d / name)]
    env = dict(os.environ, LD_LIBRARY_PATH=str(r / "usr/lib/x86_64-linux-gnu"))
    with open(d / "nm.log", "ab") as log:
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env,
                                start_new_session=True)
    (d / "nm.pid").write_text(str(proc.pid))
    until(lambda: _bus().name_has_owner(NM_BUS), "NetworkManager on the bus", timeout)


def nm_stop(sig=signal.SIGTERM, timeout=30.0):
    """Ends NetworkManager (SIGTERM: a clean stop; SIGKILL: killed)."""
    pid = int((_dir() / "nm.pid").read_text())
    os.kill(pid, sig)
    until(lambda: _ended(pid), "NetworkManager ended", timeout)
    until(lambda: not _bus().name_has_owner(NM_BUS), "NetworkManager off the bus", timeout)


def _ended(pid):
    """Gone, or a zombie: nobody may reap it before the bed ends."""
    try:
        return Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def peer_carrier(up):
    """The peer end up or down: the carrier NetworkManager sees on eth0."""
    run("ip", "link", "set", PEER, "up" if up else "down")


def unplug():
    run("ip", "link", "del", IFACE)


def plug():
    run("ip", "link", "add", IFACE, "address", MAC, "type", "veth", "peer", "name", PEER, "address", PEER_MAC)
    run("ip", "addr", "add", PEER_IP + "/24", "dev", PEER)
    run("ip", "link", "set", PEER, "up")


def device_prop(name, iface=IFACE):
    """A property of the device, None when NetworkManager has no such device."""
    try:
        path = _bus().get_object(NM_BUS, NM_PATH).GetDeviceByIpIface(iface, dbus_interface=NM_BUS)
        return _bus().get_object(NM_BUS, path).Get(DEVICE, name, dbus_interface=dbus.PROPERTIES_IFACE)
    except dbus.DBusException:
        return None


# --- setting up inside the namespaces ------------------------------------------

def _setup(d):
    run("mount", "-t", "tmpfs", "tmpfs", "/run")
    for path in ("/etc", "/var/lib"):
        up, work = d / ("upper" + path.replace("/", "-")), d / ("work" + path.replace("/", "-"))
        up.mkdir()
        work.mkdir()
        run("mount", "-t", "overlay", "overlay", "-o",
            "lowerdir=%s,upperdir=%s,workdir=%s" % (path, up, work), path)
    run("mount", "-t", "sysfs", "-o", "ro,nosuid,nodev,noexec", "sysfs", "/sys")
    for sub in ("/run/dbus", "/run/NetworkManager", d / "conf.d", d / "connections"):
        Path(sub).mkdir()
    # A bus of the session kind lets everyone (root here) own and call anything.
    with open(d / "bus.log", "wb") as log:
        subprocess.Popen(["dbus-daemon", "--session", "--address=" + BUS, "--nofork", "--nopidfile"],
                         stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    until(lambda: Path("/run/dbus/system_bus_socket").exists(), "bus socket")
    run("ip", "link", "set", "lo", "up")
    plug()
    subprocess.Popen(["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--port=0",
                      "--interface=" + PEER, "--bind-dynamic", "--dhcp-authoritative",
                      "--dhcp-range=%s,%s,255.255.255.0,1h" % (LEASE_IP, LEASE_IP),
                      "--dhcp-leasefile=%s" % (d / "leases"), "--log-facility=%s" % (d / "dnsmasq.log"),
                      "--log-dhcp"], stdin=subprocess.DEVNULL, start_new_session=True)
    (d / "nm.conf").write_text(NM_CONF.format(dir=d, peer=PEER))
    keyfile = d / "connections" / "wired1.nmconnection"
    keyfile.write_text(PROFILE_KEYFILE.format(iface=IFACE))
    keyfile.chmod(0o600)


def _inside(d, cmd):
    os.environ.update(QZ_NMBED=str(d), DBUS_SYSTEM_BUS_ADDRESS=BUS)
    t0 = time.monotonic()
    _setup(d)
    nm_start()
    until(lambda: device_prop("State") == ACTIVATED, IFACE + " activated", 60)
    print("nmbed: %s activated by DHCP %.1f s after the bed started" % (IFACE, time.monotonic() - t0),
          file=sys.stderr, flush=True)
    try:
        return subprocess.run(cmd).returncode
    finally:
        # This process is the pid namespace's first: what it leaves ends with it.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        os.kill(-1, signal.SIGKILL)


def _die_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def main(argv):
    if argv[:1] == ["--fetch"]:
        return fetch()
    if argv[:1] == ["--inside"]:
        return _inside(Path(argv[1]), argv[2:])
    if not argv:
        fail("usage: nmbed.py --fetch | COMMAND...")
    if os.geteuid() != 0:
        fail("needs root (network and mount namespaces)")
    root()  # the cache is there, before any namespace is made
    base = Path(os.environ.get("QZ_TEST_WORK") or REPO / "build" / "test-work")
    base.mkdir(parents=True, exist_ok=True)
    d = Path(tempfile.mkdtemp(prefix="nmbed-", dir=base))
    try:
        # Whatever ends this process (a test time-out) ends the bed with it.
        return subprocess.run(["unshare", "--net", "--mount", "--pid", "--fork", "--kill-child",
                               "--mount-proc", "--propagation", "private", "/usr/bin/python3", __file__,
                               "--inside", str(d)] + argv, preexec_fn=_die_with_parent).returncode
    finally:
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
