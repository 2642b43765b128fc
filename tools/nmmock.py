"""The simulated board's NetworkManager: a private D-Bus system bus with
python-dbusmock's NetworkManager template, which the demo, the benches and
the integration tests control.

The daemon gets the bus through `nm.env` (DBUS_SYSTEM_BUS_ADDRESS), passed
with `board.start(extra_env=nm.env)`. The mock can be killed and started
again on the same bus, which is how NetworkManager going away and coming
back looks to libnm.
"""
import os
import subprocess
import time
import uuid
from pathlib import Path

import dbus



def until(get, what, timeout=10.0):
    """Polls get() until it gives something true; what says what was missed."""
    deadline = time.monotonic() + timeout
    while not get():
        if time.monotonic() >= deadline:
            raise TimeoutError(what)
        time.sleep(0.02)

NM_BUS = "org.freedesktop.NetworkManager"
NM_PATH = "/org/freedesktop/NetworkManager"
DEVICE = "org.freedesktop.NetworkManager.Device"
WIRELESS = "org.freedesktop.NetworkManager.Device.Wireless"
AP = "org.freedesktop.NetworkManager.AccessPoint"

# NMDeviceState values the tests and the demo set
UNAVAILABLE, DISCONNECTED, PREPARE, IP_CONFIG, ACTIVATED, FAILED = 20, 30, 40, 70, 100, 120

# access point flags
PRIVACY = 0x1
KEY_MGMT_PSK, KEY_MGMT_8021X, KEY_MGMT_SAE = 0x100, 0x200, 0x400


def abstract_address():
    return "unix:abstract=qztest-%s" % uuid.uuid4().hex


class NmMock:
    def __init__(self, workdir, listen=None):
        self.dir = Path(workdir)
        self.dir.mkdir(parents=True, exist_ok=True)
        sock = self.dir / "bus"
        # A socket path must stay below 108 bytes; an abstract socket is seen
        # from the daemon's private mount namespace as well.
        listen = listen or ("unix:path=%s" % sock if len(str(sock)) < 100 else abstract_address())
        self.bus_proc = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + listen,
             "--print-address=1"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.mock_proc = None
        try:
            self.address = self.bus_proc.stdout.readline().strip()
            assert self.address, "dbus-daemon did not start"
            self.env = {"DBUS_SYSTEM_BUS_ADDRESS": self.address}
            self.bus = dbus.bus.BusConnection(self.address)
        except BaseException:
            self._end_bus()
            raise
        self.serial = 0

    # --- the NetworkManager service ---------------------------------------

    def start(self):
        log = ["-l", str(self.dir / "nmmock.log")]
        self.mock_proc = subprocess.Popen(
            ["/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "networkmanager"] + log,
            env=dict(os.environ, **self.env), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        until(lambda: self.mock_proc.poll() is None and self.bus.name_has_owner(NM_BUS),
              "NetworkManager mock on the bus")
        return self

    def kill(self):
        if self.mock_proc is not None:
            self.mock_proc.kill()
            self.mock_proc.wait(5)
            self.mock_proc = None
        until(lambda: not self.bus.name_has_owner(NM_BUS), "NetworkManager mock off the bus")

    def close(self):
        """Ends the mock and the bus, whatever state they are in."""
        try:
            self.kill()
            self.bus.close()
        finally:
            self._end_bus()

    def _end_bus(self):
        self.bus_proc.terminate()
        try:
            self.bus_proc.wait(5)
        except subprocess.TimeoutExpired:
            self.bus_proc.kill()
            self.bus_proc.wait(5)
        self.bus_proc.stdout.close()

    # --- driving the mock --------------------------------------------------

    def obj(self, path):
        return dbus.Interface(self.bus.get_object(NM_BUS, path), "org.freedesktop.DBus.Mock")

    def set(self, path, iface, name, value):
        self.obj(NM_PATH).SetProperty(path, iface, name, value)

    def add_object(self, kind, iface, props):
        """An object added after libnm connected: seen once InterfacesAdded is emitted."""
        self.serial += 1
        path = "%s/%s/%d" % (NM_PATH, kind, self.serial)
        self.obj(NM_PATH).AddObject(path, iface, props, [])
        added = dbus.Dictionary({iface: dbus.Dictionary(props, signature="sv")}, signature="sa{sv}")
        self.obj("/org/freedesktop").EmitSignal("org.freedesktop.DBus.ObjectManager", "InterfacesAdded",
                                                "oa{sa{sv}}", [dbus.ObjectPath(path), added])
        return path

    def _add_device(self, method, iface, state, mac):
        path = getattr(self.obj(NM_PATH), method)("dev_" + iface, iface, state)
        # Properties libnm and the reports read that the template leaves out.
        self.obj(path).AddProperty(DEVICE, "HwAddress", dbus.String(mac))
        self.obj(path).AddProperty(DEVICE, "Ip4Config", dbus.ObjectPath("/"))
        return path

    def add_wifi(self, iface="mlan0", state=DISCONNECTED, mac="11:22:33:44:55:66"):
        path = self._add_device("AddWiFiDevice", iface, state, mac)
        self.obj(path).AddProperty(WIRELESS, "ActiveAccessPoint", dbus.ObjectPath("/"))
        self.obj(path).AddProperty(WIRELESS, "LastScan", dbus.Int64(1000))
        self.obj(path).AddMethod(DEVICE, "Disconnect", "", "", "")
        return path

    def add_ethernet(self, iface="eth0", state=DISCONNECTED, mac="78:DD:08:D2:3D:43"):
        return self._add_device("AddEthernetDevice", iface, state, mac)

    def add_ap(self, dev, ssid, bssid, freq=2437, strength=50, security=0, flags=None, wpa=None, rsn=None):
        self.serial += 1
        path = self.obj(NM_PATH).AddAccessPoint(dev, "ap%d" % self.serial, ssid, bssid, dbus.UInt32(2),
                                                dbus.UInt32(freq), dbus.UInt32(54000), dbus.Byte(strength),
                                                dbus.UInt32(security))
        # The template sets WpaFlags and RsnFlags both from `security`.
        for prop, value in (("Flags", flags), ("WpaFlags", wpa), ("RsnFlags", rsn)):
            if value is not None:
                self.set(path, AP, prop, dbus.UInt32(value))
        return path

    def set_ssid_bytes(self, ap, raw):
        self.set(ap, AP, "Ssid", dbus.ByteArray(bytes(raw)))

    def set_state(self, dev, state):
        # libnm reads the state from StateReason: both must change.
        self.set(dev, DEVICE, "StateReason", dbus.Struct((dbus.UInt32(state), dbus.UInt32(0)), signature="uu"))
        self.set(dev, DEVICE, "State", dbus.UInt32(state))

    def set_last_scan(self, dev, value):
        # What makes libnm emit "notify::last-scan"; RequestScan itself does nothing.
        self.set(dev, WIRELESS, "LastScan", dbus.Int64(value))

    def set_active_ap(self, dev, ap):
        self.set(dev, WIRELESS, "ActiveAccessPoint", dbus.ObjectPath(ap))

    def add_ip4(self, dev, address, prefix):
        data = dbus.Array([{"address": dbus.String(address), "prefix": dbus.UInt32(prefix)}], signature="a{sv}")
        path = self.add_object("IP4Config", NM_BUS + ".IP4Config", {"AddressData": data})
        self.set(dev, DEVICE, "Ip4Config", dbus.ObjectPath(path))
        return path

    def add_active_connection(self, dev, conn_id, ctype="802-11-wireless", state=2):
        props = {"Devices": dbus.Array([dbus.ObjectPath(dev)], signature="o"),
                 "Id": dbus.String(conn_id), "Type": dbus.String(ctype),
                 "State": dbus.UInt32(state), "Uuid": dbus.String(str(uuid.uuid4()))}
        path = self.add_object("ActiveConnection", NM_BUS + ".Connection.Active", props)
        active = self.bus.get_object(NM_BUS, NM_PATH).Get(NM_BUS, "ActiveConnections",
                                                          dbus_interface=dbus.PROPERTIES_IFACE)
        self.set(NM_PATH, NM_BUS, "ActiveConnections",
                 dbus.Array(list(active) + [dbus.ObjectPath(path)], signature="o"))
        self.set(dev, DEVICE, "ActiveConnection", dbus.ObjectPath(path))
        return path

    def scan_requests(self, dev):
        return len(self.obj(dev).GetMethodCalls("RequestScan"))

