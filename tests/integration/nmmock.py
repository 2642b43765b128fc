"""A private D-Bus system bus with python-dbusmock's NetworkManager template,
for running qzlinkd against a NetworkManager that tests control.

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
import pytest

PYTHON = "/usr/bin/python3"
NM_BUS = "org.freedesktop.NetworkManager"
NM_PATH = "/org/freedesktop/NetworkManager"
OM_PATH = "/org/freedesktop"
MOCK = "org.freedesktop.DBus.Mock"
DEVICE = "org.freedesktop.NetworkManager.Device"
WIRELESS = "org.freedesktop.NetworkManager.Device.Wireless"
AP = "org.freedesktop.NetworkManager.AccessPoint"
IP4 = "org.freedesktop.NetworkManager.IP4Config"
ACTIVE = "org.freedesktop.NetworkManager.Connection.Active"

# NMDeviceState values
UNKNOWN, UNMANAGED, UNAVAILABLE, DISCONNECTED = 0, 10, 20, 30
PREPARE, CONFIG, NEED_AUTH, IP_CONFIG, IP_CHECK = 40, 50, 60, 70, 80
SECONDARIES, ACTIVATED, DEACTIVATING, FAILED = 90, 100, 110, 120

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
        if listen is None and len(str(sock)) < 100:
            listen = "unix:path=%s" % sock
        elif listen is None:
            listen = abstract_address()
        self.bus_proc = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + listen,
             "--print-address=1"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.bus_proc.stdout.readline().strip()
        assert self.address, "dbus-daemon did not start"
        self.env = {"DBUS_SYSTEM_BUS_ADDRESS": self.address}
        self.bus = dbus.bus.BusConnection(self.address)
        self.mock_proc = None
        self.log_path = self.dir / "nmmock.log"
        self.serial = 0

    # --- the NetworkManager service ---------------------------------------

    def start(self, timeout=10.0):
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address)
        self.mock_proc = subprocess.Popen(
            [PYTHON, "-m", "dbusmock", "--system", "--template", "networkmanager",
             "-l", str(self.log_path)],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while not self.bus.name_has_owner(NM_BUS):
            assert self.mock_proc.poll() is None, "the NetworkManager mock died"
            assert time.monotonic() < deadline, "the NetworkManager mock did not appear"
            time.sleep(0.05)
        return self

    def kill(self):
        if self.mock_proc is not None:
            self.mock_proc.kill()
            self.mock_proc.wait(5)
            self.mock_proc = None
        deadline = time.monotonic() + 5
        while self.bus.name_has_owner(NM_BUS) and time.monotonic() < deadline:
            time.sleep(0.05)

    def close(self):
        self.kill()
        self.bus.close()
        self.bus_proc.terminate()
        self.bus_proc.wait(5)
        self.bus_proc.stdout.close()

    # --- driving the mock --------------------------------------------------

    def obj(self, path):
        return dbus.Interface(self.bus.get_object(NM_BUS, path), MOCK)

    @property
    def manager(self):
        return self.obj(NM_PATH)

    def set(self, path, iface, name, value):
        self.manager.SetProperty(path, iface, name, value)

    def add_prop(self, path, iface, name, value):
        self.obj(path).AddProperty(iface, name, value)

    def emit_added(self, path, iface, props):
        self.obj(OM_PATH).EmitSignal(
            "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", "oa{sa{sv}}",
            [dbus.ObjectPath(path),
             dbus.Dictionary({iface: dbus.Dictionary(props, signature="sv")}, signature="sa{sv}")])

    def add_wifi(self, iface="mlan0", state=DISCONNECTED, mac="11:22:33:44:55:66", name=None):
        path = self.manager.AddWiFiDevice(name or "wlan_" + iface, iface, state)
        # Properties libnm and the reports read that the template leaves out.
        self.add_prop(path, DEVICE, "HwAddress", dbus.String(mac))
        self.add_prop(path, DEVICE, "Ip4Config", dbus.ObjectPath("/"))
        self.add_prop(path, WIRELESS, "ActiveAccessPoint", dbus.ObjectPath("/"))
        self.add_prop(path, WIRELESS, "LastScan", dbus.Int64(1000))
        self.obj(path).AddMethod(DEVICE, "Disconnect", "", "", "")
        return path

    def add_ethernet(self, iface="eth0", state=DISCONNECTED, mac="78:DD:08:D2:3D:43", name=None):
        path = self.manager.AddEthernetDevice(name or "eth_" + iface, iface, state)
        self.add_prop(path, DEVICE, "HwAddress", dbus.String(mac))
        self.add_prop(path, DEVICE, "Ip4Config", dbus.ObjectPath("/"))
        return path

    def add_ap(self, dev, ssid, bssid, freq=2437, strength=50, security=0, name=None,
               flags=None, wpa=None, rsn=None):
        self.serial += 1
        path = self.manager.AddAccessPoint(dev, name or "ap%d" % self.serial, ssid, bssid,
                                           dbus.UInt32(2), dbus.UInt32(freq),
                                           dbus.UInt32(54000), dbus.Byte(strength),
                                           dbus.UInt32(security))
        if flags is not None:
            self.set(path, AP, "Flags", dbus.UInt32(flags))
        if wpa is not None:
            self.set(path, AP, "WpaFlags", dbus.UInt32(wpa))
        if rsn is not None:
            self.set(path, AP, "RsnFlags", dbus.UInt32(rsn))
        return path

    def set_ssid_bytes(self, ap, raw):
        self.set(ap, AP, "Ssid", dbus.ByteArray(bytes(raw)))

    def set_state(self, dev, state):
        # libnm reads the state from StateReason: both must change.
        self.set(dev, DEVICE, "StateReason",
                 dbus.Struct((dbus.UInt32(state), dbus.UInt32(0)), signature="uu"))
        self.set(dev, DEVICE, "State", dbus.UInt32(state))

    def set_last_scan(self, dev, value):
        self.set(dev, WIRELESS, "LastScan", dbus.Int64(value))

    def set_active_ap(self, dev, ap):
        self.set(dev, WIRELESS, "ActiveAccessPoint", dbus.ObjectPath(ap))

    def add_ip4(self, dev, address, prefix):
        self.serial += 1
        path = "/org/freedesktop/NetworkManager/IP4Config/%d" % self.serial
        props = {
            "AddressData": dbus.Array([{"address": dbus.String(address),
                                        "prefix": dbus.UInt32(prefix)}], signature="a{sv}"),
            "Addresses": dbus.Array([], signature="au"),
            "Gateway": dbus.String(""),
        }
        self.manager.AddObject(path, IP4, props, [])
        self.emit_added(path, IP4, props)
        self.set(dev, DEVICE, "Ip4Config", dbus.ObjectPath(path))
        return path

    def add_active_connection(self, dev, conn_id, ctype="802-11-wireless", state=2):
        self.serial += 1
        path = "/org/freedesktop/NetworkManager/ActiveConnection/%d" % self.serial
        props = {
            "Devices": dbus.Array([dbus.ObjectPath(dev)], signature="o"),
            "Id": dbus.String(conn_id),
            "Type": dbus.String(ctype),
            "State": dbus.UInt32(state),
            "Uuid": dbus.String(str(uuid.uuid4())),
            "Connection": dbus.ObjectPath("/"),
            "SpecificObject": dbus.ObjectPath("/"),
            "Master": dbus.ObjectPath("/"),
            "Ip4Config": dbus.ObjectPath("/"),
            "Ip6Config": dbus.ObjectPath("/"),
            "Dhcp4Config": dbus.ObjectPath("/"),
            "Dhcp6Config": dbus.ObjectPath("/"),
            "Default": False,
            "Default6": False,
            "Vpn": False,
            "StateFlags": dbus.UInt32(0),
        }
        self.manager.AddObject(path, ACTIVE, props, [])
        self.emit_added(path, ACTIVE, props)
        mgr = dbus.Interface(self.bus.get_object(NM_BUS, NM_PATH), "org.freedesktop.DBus.Properties")
        active = list(mgr.Get(NM_BUS, "ActiveConnections"))
        active.append(dbus.ObjectPath(path))
        self.set(NM_PATH, NM_BUS, "ActiveConnections", dbus.Array(active, signature="o"))
        self.set(dev, DEVICE, "ActiveConnection", dbus.ObjectPath(path))
        return path

    def scan_requests(self, dev):
        return len(self.obj(dev).GetMethodCalls("RequestScan"))


@pytest.fixture
def nm(board):
    """A running NetworkManager mock on a private bus (board.root/nm)."""
    m = NmMock(board.root / "nm")
    try:
        m.start()
        yield m
    finally:
        m.close()


@pytest.fixture
def nm_bus(board):
    """The private bus alone: NetworkManager not running until nm_bus.start()."""
    m = NmMock(board.root / "nm")
    try:
        yield m
    finally:
        m.close()
