import sys

import pytest

import qzharness

sys.path.insert(0, str(qzharness.REPO / "tools"))  # nmmock


def pytest_configure(config):
    # The test's own files (pty link, stubs, script) in the build tree unless
    # told otherwise (ctest gives each module a --basetemp there).
    config.option.basetemp = config.option.basetemp or str(qzharness.REPO / "build" / "test-work")


def _board(path):
    b = qzharness.Board(path)
    try:
        yield b
    finally:
        b.close()


# One board per test, and one per module for the modules whose daemon walks
# a table of cases.
@pytest.fixture
def board(tmp_path):
    yield from _board(tmp_path)


@pytest.fixture(scope="module")
def module_board(tmp_path_factory):
    yield from _board(tmp_path_factory.mktemp("board"))
