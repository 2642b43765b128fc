import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qzharness  # noqa: E402


def _board():
    # The daemon sees a test directory bound over /tmp, so the test's own
    # files (pty link, stubs, script) must live outside /tmp.
    base = Path(os.environ.get("QZ_TEST_WORK") or qzharness.REPO / "build" / "test-work")
    base.mkdir(parents=True, exist_ok=True)
    b = qzharness.Board(tempfile.mkdtemp(prefix="board-", dir=base))
    yield b
    b.close()
    shutil.rmtree(b.root, ignore_errors=True)


# One board per test, and one per module for the modules whose daemon walks
# a table of cases.
board = pytest.fixture(_board)
module_board = pytest.fixture(scope="module")(_board)
