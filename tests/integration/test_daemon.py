"""The real daemon on the real line: the command line, start-up, requests
whose work crosses threads or processes (the control script through a real
shell, the stubs, the monitor's queue), the console, the line's life.
One daemon walks the table; the bytes themselves are the unit tests' job."""
import os
import re
import subprocess
import time

import pytest

from qzharness import FAST, payload_is, payload_starts, qzlinkd_path, reply_addr

HOSTILE = 'Liv"ing $(reboot) `reboot`; reboot & \\ \'x\'\nnext'
UUID = "123e4567-e89b-12d3-a456-426614174000"


def run(board, args):
    return subprocess.run([qzlinkd_path()] + args, capture_output=True, timeout=20, env=board.env())


def test_command_line(board):
    exe = qzlinkd_path()
    assert run(board, ["-v"]).stdout == b"1.3.4.260728\n"
    assert run(board, ["--version"]).stdout.decode() == "%s version=1.3.4.260728\n" % exe
    r = run(board, ["-m=eth0"])  # no NetworkManager
    assert (r.returncode, r.stdout) == (255, b"")
    absent = str(board.root / "absent")
    # (arguments, lines the banner must hold); the device does not exist.
    rows = [
        (["2"], ["/dev/ttymxc2 115200(4098) true"]),
        ([], ["/dev/ttyUSB0 115200(4098) true", "http://192.168.1.100:8090", "mlan0 enp2s0"]),
        ([absent, "12345678", "1", "", "", "", ""],
         ["Version=1.3.4.260728 ", absent + " 12345678(4294967295) true", "/opt/qz/bin/halvane.sh",
          "http://127.0.0.1:8090", "mlan0 eth0", "DiracDefaultGain=0 AutoWifiScan=0"]),
        ([absent, "115200", "1", "s", "u", "w", "e", "-6", "30000", "3.9.1", "0", "30:5"],
         ["Version=1.3.4.260728 3.9.1", "s", "u", "w e", "DiracDefaultGain=-6 AutoWifiScan=30000",
          "AutoResetLanTime=30 autoResetLanCount=5"]),
        ([absent, "115200", "1", "", "", "", "", "0", "0", "", "0", "30"], ["AutoResetLanTime=30 autoResetLanCount=3"]),
        ([absent, "115200", "1", "", "", "", "", "0", "0", "", "0", "0:2"], ["AutoResetLanTime=0 autoResetLanCount=2"]),
    ]
    for args, lines in rows:
        if lines[0].startswith("/dev/") and os.path.exists(lines[0].split()[0]):
            continue  # this machine has the device
        r = run(board, args)
        out = r.stdout.decode().splitlines()
        assert r.returncode == 255 and all(l in out for l in lines), (args, out)
        assert r.stderr.decode() == "open_port: Unable to open serial port - : No such file or directory\n"
    base = [absent, "115200", "1", "", "", "", "", "0", "0", "", "1"]
    for position, name, limit in [(4, "control script path", 1023), (5, "processor base URL", 1023),
                                  (6, "WiFi interface name", 31), (7, "LAN interface name", 31),
                                  (10, "processor version", 54)]:
        args = list(base)
        args[position - 1] = "x" * (limit + 1)
        r = run(board, args)
        assert (r.returncode, r.stdout) == (2, b"")
        assert r.stderr.decode() == "qzlinkd: %s is longer than %d characters\n" % (name, limit)
        args[position - 1] = "x" * limit
        assert run(board, args).returncode == 255  # taken: it got as far as the device


@pytest.fixture(scope="module")
def daemon(module_board):
    b = module_board
    b.set_uuid(UUID + "\n")
    b.set_reply("/api/list-slots", '[{"index": 0, "filter_type": "Dirac Live Bass Control", "name": "Music"}]')
    b.set_reply("/api/active-slot", '{"index": 0}')
    b.set_reply("/api/speaker", '{"gain": -1}')
    b.set_processor_state(4)
    return b.start(isqz=1, debug=0, version="3.9.1", fast=FAST)


def test_start_up_reports(daemon):
    want = ["05 12 31 33 34 00", "05 13 32 36 30 37 32 38 00 33 2E 39 2E 31 00", "13 01 02 04 FF"]
    got = [daemon.mcu.read_frame() for _ in want]
    assert [(f.addr, f.payload.hex(" ").upper()) for f in got] == [(0x43, w) for w in want]
    daemon.wait_log("DiracState: 4")


# (request, address, reply or None, the run it causes or None)
REQUESTS = [
    ("05 0B", 0x34, "05 12 31 33 34 00", None),
    ("13 03 00", 0xA4, "13 03 02", ("halvane", ["zel_reset"])),
    ("13 05 02 00 %02X %s 41 42 31 32 43 44 33 34" % (len(HOSTILE.encode()) + 1, (HOSTILE.encode() + b"\0").hex()),
     0x34, "13 05 03", ("halvane", ["device", "id_name", "AB12CD34", HOSTILE])),
    ("13 05 05", 0x34, "13 05 06 26 %s 00" % (UUID + "\n").encode().hex(" ").upper(), ("halvane", ["device", "uuid"])),
    ("12 01 02 00", 0x34, None, ("poweroff", [])),
    ("0C 01", 0x34, None, ("halvane", ["update", "exec"])),
    ("10 05 0B 01 08 14 1A 07 1C 02 0D 05 09", 0x34, None, ("date", ["-s", "2026-07-28 13:05:09+0800"])),
    ("02 7E 00 00 09", 0x34, None, ("halvane", ["sample_rate", "48000"])),
    # Carried out by the monitor's thread: the PUT, then the report.
    ("13 06 00 FF F6", 0xA4, "13 06 02 FF F6",
     ("halvane", ["http", "put", "http://127.0.0.1:9/api/speaker?gain=-1&id=8090"])),
    ("05 0B", 0x34, "05 12 31 33 34 00", None),
]


def test_requests(daemon, module_board):
    for request, addr, reply, call in REQUESTS:
        if reply is None:
            daemon.mcu.expect_ack(daemon.mcu.send(bytes.fromhex(request), addr), reply_addr(addr))
        else:
            f = daemon.mcu.request(bytes.fromhex(request), addr)
            assert (f.addr, f.payload.hex(" ").upper()) == (reply_addr(addr), reply), request
        if call:
            module_board.wait_calls(lambda c: c == call)
    # Nothing ran that was not asked for: the stubs of the real commands.
    assert module_board.stub_calls("reboot") == []


def test_speaker_layout_then_filter_report(daemon, module_board):
    daemon.mcu.expect_ack(daemon.mcu.send(bytes.fromhex("06 23 02 05 01")))
    module_board.wait_calls(lambda c: c == ("halvane", ["UpdateSpConfig", "5", "1", "0"]))
    # The monitor's thread reports the filters once the processor has reloaded them.
    f = daemon.mcu.wait_frame(lambda f: not f.is_ack)
    assert f.addr == 0x43 and f.payload[:3] == b"\x13\x02\x02" and f.payload.endswith(b"Music\0")


def test_date_report_without_networkmanager(daemon):
    f = daemon.mcu.request(bytes.fromhex("10 05 01"))
    assert f.payload[:5] == bytes.fromhex("10 05 02 00 00") and len(f.payload) == 13  # not synchronised


def test_children_do_not_inherit_the_line(daemon, module_board):
    out = module_board.root / "fds.txt"
    module_board.set_hook("poweroff", 'ls -l /proc/$$/fd/ > "%s.new"; mv "%s.new" "%s"\n' % (out, out, out))
    daemon.mcu.expect_ack(daemon.mcu.send(bytes.fromhex("12 01 02 00")))
    module_board.wait_calls(lambda c: c[0] == "poweroff", count=2)
    for _ in range(500):  # the hook runs after the stub has recorded the call
        if out.exists():
            break
        time.sleep(0.02)
    assert "/dev/pts/" not in out.read_text()


def _cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_hang_up_and_new_line(daemon):
    daemon.hang_up()
    daemon.wait_log("Serial line lost: %s" % daemon.device)
    # A reader that only waits on poll() would spin on the hang-up: a core's
    # worth of CPU time. Retrying the open costs next to nothing.
    cpu, wall = _cpu_seconds(daemon.proc.pid), time.monotonic()
    time.sleep(1.0)
    assert _cpu_seconds(daemon.proc.pid) - cpu < 0.5 * (time.monotonic() - wall)
    daemon.replug()
    daemon.wait_log("Serial line reopened: %s" % daemon.device)
    assert daemon.mcu.request(bytes.fromhex("05 0B")).payload == bytes.fromhex("05 12 31 33 34 00")
    # The console's sender uses the new line too.
    daemon.write_stdin("05 0C\n")
    assert daemon.mcu.wait_frame(lambda f: not f.is_ack).payload == bytes.fromhex("05 0C")


def test_framed_console_then_exit(daemon):
    for text, payload in (("05 0B 00\n", bytes.fromhex("05 0B 00")), ("hello\n", b"hello\n"), ("exit\n", b"exit\n")):
        daemon.write_stdin(text)
        f = daemon.mcu.wait_frame(lambda f: not f.is_ack)
        assert (f.addr, f.payload) == (0x43, payload)
    assert daemon.wait_exit() == 0
    assert daemon.log_lines()[-1] == "Test end."


def test_raw_console_until_end_of_input(board):
    d = board.start(isqz=0, fast=FAST)
    d.wait_ready()
    d.write_stdin("hello\n")
    assert d.mcu.read_raw(7) == b"hello\n\n"
    d.proc.stdin.close()
    assert d.wait_exit() == 0
    assert d.log_lines()[-1] == "Test end."
