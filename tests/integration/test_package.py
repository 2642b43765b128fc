"""The Debian package: built with cpack from the test's build directory,
unpacked with dpkg -x into a scratch root (never installed), and its files,
control fields, unit, settings file and manual page checked."""
import configparser
import gzip
import io
import os
import re
import shutil
import subprocess
import tarfile
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent

# The daemon's positional arguments, as the settings file names them, in order.
SETTINGS = ["QZ_DEVICE", "QZ_BAUD", "QZ_PROTOCOL", "QZ_SCRIPT", "QZ_HTTP_ROOT", "QZ_WLAN",
            "QZ_ETH", "QZ_DEFAULT_GAIN", "QZ_WIFI_SCAN_MS", "QZ_DIRAC_VERSION", "QZ_DEBUG",
            "QZ_LAN_RESET"]
UNIT = "usr/lib/systemd/system/qzlinkd.service"
ENV_FILE = "etc/default/qzlinkd"
MAN_PAGE = "usr/share/man/man8/qzlinkd.8.gz"


def build_dir():
    if os.environ.get("QZ_BUILD_DIR"):
        return Path(os.environ["QZ_BUILD_DIR"])
    if os.environ.get("QZLINKD"):
        return Path(os.environ["QZLINKD"]).resolve().parent
    return REPO / "build" / "default"


def project_version():
    text = (REPO / "CMakeLists.txt").read_text()
    return re.search(r"project\(qzlinkd\s+VERSION\s+([0-9.]+)", text).group(1)


def run(*args, **kw):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=120, **kw)


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    bdir = build_dir()
    if not (bdir / "CPackConfig.cmake").is_file():
        pytest.fail("no CPackConfig.cmake in %s (configure the build first)" % bdir)
    out = tmp_path_factory.mktemp("cpack")
    r = run("cpack", "-G", "DEB", "--config", str(bdir / "CPackConfig.cmake"), "-B", str(out))
    assert r.returncode == 0, r.stdout + r.stderr
    debs = list(out.glob("*.deb"))
    assert len(debs) == 1, debs
    return debs[0]


@pytest.fixture(scope="module")
def root(deb, tmp_path_factory):
    dest = tmp_path_factory.mktemp("root")
    r = run("dpkg", "-x", str(deb), str(dest))
    assert r.returncode == 0, r.stderr
    return dest


@pytest.fixture(scope="module")
def control(deb, tmp_path_factory):
    dest = tmp_path_factory.mktemp("control")
    r = run("dpkg-deb", "-e", str(deb), str(dest))
    assert r.returncode == 0, r.stderr
    return dest


def field(deb, name):
    r = run("dpkg-deb", "-f", str(deb), name)
    assert r.returncode == 0, r.stderr
    return r.stdout.strip()


def read_env_file(path):
    """KEY=VALUE lines as systemd's EnvironmentFile= reads these simple ones
    (comments and blank lines skipped, one pair of quotes taken off), in order."""
    pairs = []
    for line in path.read_text().splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        key, sep, value = line.partition("=")
        assert sep, line
        value = value.strip()
        if len(value) >= 2 and value[0] == value[-1] and value[0] in "\"'":
            value = value[1:-1]
        pairs.append((key.strip(), value))
    return pairs


def read_unit(path):
    unit = configparser.ConfigParser(interpolation=None, strict=True)
    unit.optionxform = str
    unit.read(path)
    return unit


def banner(lines):
    return [line for line in lines if not line.startswith("AutoResetLanTime=")]


# --- control data ---------------------------------------------------------

def test_control_fields(deb):
    version = project_version()
    arch = run("dpkg", "--print-architecture").stdout.strip()
    assert field(deb, "Package") == "qzlinkd"
    assert field(deb, "Version") == version
    assert field(deb, "Architecture") == arch
    assert deb.name == "qzlinkd_%s_%s.deb" % (version, arch)
    assert re.fullmatch(r".+ <[^@ ]+@[^> ]+>", field(deb, "Maintainer"))
    assert field(deb, "Description").startswith("control daemon of the qz audio board\n")
    depends = {re.sub(r"\s*\(.*\)", "", d).strip() for d in field(deb, "Depends").split(",")}
    for name in ["libc6", "libstdc++6", "libjson-c5", "libnm0", "libglib2.0-0", "curl"]:
        assert name in depends, depends


def test_settings_file_is_a_conffile_and_scripts_parse(control):
    assert (control / "conffiles").read_text().split() == ["/" + ENV_FILE]
    for script in ["postinst", "prerm", "postrm"]:
        path = control / script
        assert os.access(path, os.X_OK), script
        assert run("sh", "-n", str(path)).returncode == 0, script


def test_files_are_root_owned_and_in_their_places(deb):
    data = subprocess.run(["dpkg-deb", "--fsys-tarfile", str(deb)], capture_output=True,
                          check=True, timeout=60).stdout
    with tarfile.open(fileobj=io.BytesIO(data)) as t:
        members = {m.name.lstrip("./"): m for m in t.getmembers() if not m.isdir()}
    for name, m in members.items():
        assert (m.uid, m.gid) == (0, 0), name
        assert name.startswith(("usr/bin/", "usr/lib/systemd/system/", "usr/share/man/",
                                "usr/share/doc/qzlinkd/", "usr/share/lintian/overrides/",
                                "etc/default/", "opt/qz/bin/")), name
    for name in ["usr/bin/qzlinkd", "opt/qz/bin/halvane.sh"]:
        assert members[name].mode & 0o777 == 0o755, name
    for name in [UNIT, ENV_FILE, MAN_PAGE]:
        assert members[name].mode & 0o777 == 0o644, name


def test_lintian_accepts_the_package(deb, root):
    """Debian's own checker finds no error and no warning; the only overrides
    are the control script's place under /opt, with the reason written above."""
    if not shutil.which("lintian"):
        pytest.fail("lintian is not installed (scripts/bootstrap installs it)")
    r = subprocess.run(["lintian", "--fail-on", "error,warning", str(deb)],
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
    assert not [line for line in r.stdout.splitlines() if line[:2] in ("E:", "W:")], r.stdout
    lines = (root / "usr/share/lintian/overrides/qzlinkd").read_text().splitlines()
    overrides = [line for line in lines if line and not line.startswith("#")]
    assert overrides and lines[0].startswith("# "), lines
    assert all(line.startswith("qzlinkd: dir-or-file-in-opt [opt/qz/") for line in overrides)


def test_changelog_names_the_package_version(root, deb):
    changelog = root / "usr/share/doc/qzlinkd/changelog.gz"
    first = gzip.decompress(changelog.read_bytes()).decode().splitlines()[0]
    assert first.startswith("qzlinkd (%s) " % field(deb, "Version")), first


# --- the programs ---------------------------------------------------------

def test_daemon_reports_the_package_version(root, deb):
    r = run(str(root / "usr/bin/qzlinkd"), "-v")
    assert r.returncode == 0, r.stderr
    m = re.fullmatch(r"(\d+\.\d+\.\d+)\.(\d{6})\n", r.stdout)
    assert m, r.stdout
    assert m.group(1) == field(deb, "Version")


def test_control_script_at_its_built_in_path(root):
    script = root / "opt/qz/bin/halvane.sh"
    assert os.access(script, os.X_OK)
    assert script.read_bytes() == (REPO / "scripts/halvane.sh").read_bytes()


def test_mcu_console_when_built(root):
    if not (build_dir() / "qzmcu").is_file():
        pytest.skip("qzmcu is not built here")
    assert os.access(root / "usr/bin/qzmcu", os.X_OK)


# --- unit and settings ----------------------------------------------------

def test_unit_passes_the_twelve_settings_in_order(root):
    unit = read_unit(root / UNIT)
    assert "NetworkManager.service" in unit["Unit"]["After"].split()
    assert "NetworkManager.service" in unit["Unit"]["Wants"].split()
    service = unit["Service"]
    assert service["Restart"] == "on-failure"
    assert service["EnvironmentFile"] == "/" + ENV_FILE
    # ${NAME} always makes exactly one argument, an empty one too; $NAME would
    # drop an empty value and shift every later position.
    expected = ["/usr/bin/qzlinkd"] + ["${%s}" % name for name in SETTINGS]
    assert service["ExecStart"].split() == expected
    assert unit["Install"]["WantedBy"] == "multi-user.target"


def test_settings_file_names_and_comments_every_setting(root):
    text = (root / ENV_FILE).read_text()
    assert [key for key, _ in read_env_file(root / ENV_FILE)] == SETTINGS
    lines = text.splitlines()
    for name in SETTINGS:
        at = next(i for i, line in enumerate(lines) if line.startswith(name + "="))
        assert lines[at - 1].startswith("#"), name
    values = dict(read_env_file(root / ENV_FILE))
    # The service runs the framed daemon with frame dumps on, as the daemon
    # does when these arguments are not given.
    assert int(values["QZ_PROTOCOL"]) < 0
    assert values["QZ_DEBUG"] == "1"


def test_settings_reproduce_the_built_in_configuration(root, tmp_path):
    """The arguments the unit passes with the shipped settings give the same
    start-up banner as no arguments beyond the device. A missing device makes
    both runs stop right after the banner."""
    values = dict(read_env_file(root / ENV_FILE))
    device = str(tmp_path / "no-such-tty")
    values["QZ_DEVICE"] = device
    daemon = str(root / "usr/bin/qzlinkd")
    from_unit = run(daemon, *[values[name] for name in SETTINGS])
    built_in = run(daemon, device)
    assert from_unit.returncode == built_in.returncode == 255
    assert "open_port: Unable to open serial port - " in from_unit.stderr
    assert banner(from_unit.stdout.splitlines()) == banner(built_in.stdout.splitlines())
    assert banner(from_unit.stdout.splitlines())[1] == "%s 115200(4098) true" % device
    if values["QZ_LAN_RESET"] == "":
        assert "AutoResetLanTime=0 autoResetLanCount=3" in from_unit.stdout.splitlines()


# --- manual page ----------------------------------------------------------

def test_manual_page_renders_and_covers_settings_and_log(root):
    page = root / MAN_PAGE
    source = gzip.decompress(page.read_bytes()).decode()
    if shutil.which("groff"):
        r = run("groff", "-man", "-z", "-ww", input=source)
        assert r.returncode == 0 and r.stderr == "", r.stderr
    if shutil.which("man"):
        r = run("man", "-l", str(page), env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
        assert r.returncode == 0, r.stderr
        assert "qzlinkd - control daemon of the qz audio board" in r.stdout
    for name in SETTINGS:
        assert name in source, name
    for line in ["Receive error3: ", "Unknown command: ", "Exec=", "DiracState: ",
                 "Serial line lost: ", "Serial line reopened: ", " state: "]:
        assert line in source, line
