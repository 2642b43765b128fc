"""The Debian package, built with cpack from the test's build directory and
unpacked into a scratch root (never installed): lintian finds nothing, the
unit starts the daemon as its settings say."""
import os
import re
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QZ_BUILD_DIR") or REPO / "build" / "default")
def run(*args):
    r = subprocess.run(list(args), capture_output=True, text=True, timeout=600)
    assert r.returncode in (0, 255), r.stdout + r.stderr
    return r


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    out = tmp_path_factory.mktemp("deb")
    run("cpack", "-G", "DEB", "--config", str(BUILD / "CPackConfig.cmake"), "-B", str(out))
    deb, = out.glob("*.deb")
    run("dpkg", "-x", str(deb), str(out / "root"))
    return deb, out / "root"


def test_lintian_finds_no_error_nor_warning(deb):
    version = re.search(r"project\(qzlinkd\s+VERSION\s+([0-9.]+)", (REPO / "CMakeLists.txt").read_text()).group(1)
    assert deb[0].name == "qzlinkd_%s_%s.deb" % (version, run("dpkg", "--print-architecture").stdout.strip())
    run("lintian", "--fail-on", "error,warning", str(deb[0]))
    # Built with Debian's hardening flags: no hardening-no-bindnow,
    # hardening-no-fortify-functions and the like, even when pedantic.
    pedantic = run("lintian", "--pedantic", "--tag-display-limit", "0", str(deb[0])).stdout
    assert [line for line in pedantic.splitlines() if "hardening" in line] == []
    depends = {re.sub(r"\s*\(.*\)", "", d).strip() for d in run("dpkg-deb", "-f", str(deb[0]), "Depends").stdout.split(",")}
    assert {"libjson-c5", "libnm0", "libglib2.0-0", "libsystemd0", "curl"} <= depends


def test_unit_with_the_shipped_settings_runs_the_built_in_configuration(deb, tmp_path):
    root = deb[1]
    unit = (root / "usr/lib/systemd/system/qzlinkd.service").read_text().splitlines()
    assert "EnvironmentFile=/etc/default/qzlinkd" in unit
    # Every setting of the file, in its order; ${NAME} always makes one
    # argument, an empty one too, where $NAME would drop an empty value and
    # shift every later position.
    values = dict(line.partition("=")[::2] for line in (root / "etc/default/qzlinkd").read_text().splitlines()
                  if line.strip() and not line.startswith("#"))
    # The command deadline goes through the environment (EnvironmentFile exports it).
    assert values.pop("QZ_COMMAND_TIMEOUT") == "10"
    assert "ExecStart=/usr/bin/qzlinkd " + " ".join("${%s}" % name for name in values) in unit
    values = {k: v.strip().strip('"') for k, v in values.items()}
    # The same banner as with no argument beyond the device (a missing one: both stop after it).
    device = str(tmp_path / "no-such-tty")
    values["QZ_DEVICE"] = device
    daemon = str(root / "usr/bin/qzlinkd")
    from_unit = run(daemon, *values.values()).stdout.splitlines()
    assert from_unit[:6] == run(daemon, device).stdout.splitlines()[:6]
    assert from_unit[1] == device + " 115200(4098) true"  # the framed daemon
    # The sandbox: systemd's own measure, no worse than the value reached.
    r = run("systemd-analyze", "security", "--offline=yes", "--threshold=27",
            str(root / "usr/lib/systemd/system/qzlinkd.service"))
    assert r.returncode == 0, r.stdout + r.stderr
    assert "Overall exposure level for qzlinkd.service: 2.7 OK" in r.stdout
    assert (root / "opt/qz/bin/halvane.sh").read_bytes() == (REPO / "scripts/halvane.sh").read_bytes()
    assert os.access(root / "opt/qz/bin/halvane.sh", os.X_OK)
