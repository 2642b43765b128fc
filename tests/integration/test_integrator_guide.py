"""docs/integrator-guide.md stays true: every command its console blocks
show runs on the simulated board of scripts/demo (the board's paths mapped
onto it, qzmcu wired to the daemon's line through a null-modem pair of
pseudo-terminals), exits 0 and prints the lines the guide shows after it.
Only what needs a real board (systemd, the journal, dpkg) is left out."""
import os
import pty
import select
import subprocess
import threading
import tty
from pathlib import Path

import pytest

import qzharness
from privtmp import private_tmp_argv
import qzdemo_board as qb

GUIDE = qzharness.REPO / "docs" / "integrator-guide.md"
BUILD = Path(os.environ.get("QZ_BUILD_DIR") or qzharness.REPO / "build" / "default")
REAL_BOARD_ONLY = ("systemctl ", "journalctl ", "dpkg ")


def commands():
    """(command, [the output lines the guide shows]) of every console block."""
    out, inside = [], False
    for line in GUIDE.read_text().splitlines():
        if line.startswith("```"):
            inside = not inside and line == "```console"
        elif inside and line.startswith("$ "):
            out.append((line[2:], []))
        elif inside:
            out[-1][1].append(line)
    return out


def null_modem(a, b, stop):
    """Copies bytes between two pty masters as a cable would; what finds no
    listener on the other end is dropped."""
    while not stop.is_set():
        for fd in select.select([a, b], [], [], 0.1)[0]:
            try:
                data = os.read(fd, 4096)
                os.write(b if fd == a else a, data)
            except OSError:  # nobody on that end at the moment
                pass


@pytest.fixture(scope="module")
def sim(tmp_path_factory):
    run = qb.prepare_run_dir(tmp_path_factory.mktemp("guide") / "run")
    board, stop, fds = qb.Board(run, BUILD), threading.Event(), []
    try:
        port = board.start_processor()
        board.start_network()
        ends = []
        for _ in range(2):  # the board's UART and the bench adapter
            master, slave = pty.openpty()
            tty.setraw(master)
            tty.setraw(slave)  # held open, so that the line never hangs up between qzmcu runs
            fds += [master, slave]
            ends.append((master, os.ttyname(slave)))
        os.set_blocking(ends[0][0], False)
        os.set_blocking(ends[1][0], False)
        (run / "ttyMCU").symlink_to(ends[0][1])
        threading.Thread(target=null_modem, args=(ends[0][0], ends[1][0], stop), daemon=True).start()
        daemon = board.start_daemon()
        qzharness.until(lambda: daemon.poll() is not None or "nm main loop start." in (run / "qzlinkd.log").read_text(),
                        "the daemon's start")
        env = dict(os.environ, PATH="%s:%s:%s" % (run / "bin", BUILD, os.environ["PATH"]), LC_ALL="C",
                   DBUS_SYSTEM_BUS_ADDRESS=board.nm.address, QZ_HOOKS_DIR=str(run / "hooks"),
                   QZ_UUID_FILE=str(run / "uuid"), QZ_STATE_DIR=str(run / "state"))
        paths = [("/opt/qz/bin/halvane.sh", str(qzharness.REPO / "scripts" / "halvane.sh")),
                 ("/opt/qz/hooks", str(run / "hooks")), ("/opt/qz/no-hooks", str(run / "no-hooks")),
                 ("/etc/default/qzlinkd", str(qzharness.REPO / "packaging" / "qzlinkd.default")),
                 ("/dev/ttyUSB0", ends[1][1]), ("127.0.0.1:8090", "127.0.0.1:%d" % port)]
        yield board, env, paths, daemon
    finally:
        stop.set()
        board.stop()
        for fd in fds:
            os.close(fd)


def on_board(text, paths):
    for board_path, sim_path in paths:
        text = text.replace(board_path, sim_path)
    return text


def as_on_board(text, paths):
    """The simulated board's paths in an output, given back as the board's."""
    for board_path, sim_path in paths:
        text = text.replace(sim_path, board_path)
    return text


def test_every_command_of_the_guide(sim):
    board, env, paths, daemon = sim
    runnable = [(c, shown) for c, shown in commands() if not c.startswith(REAL_BOARD_ONLY)]
    assert len(runnable) >= 10 and len(commands()) > len(runnable)
    for command, shown in runnable:
        argv = private_tmp_argv(board.run / "tmp", [qzharness.REPO, board.run, BUILD]) + [
            "sh", "-c", on_board(command, paths)]
        r = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
        lines = as_on_board(r.stdout, paths).splitlines()
        assert r.returncode == 0, (command, r.stdout)
        assert [line for line in shown if line not in lines] == [], (command, r.stdout)
    assert daemon.poll() is None
