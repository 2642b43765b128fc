import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qzharness  # noqa: E402


def _work_root():
    # The daemon sees a test directory bound over /tmp, so the test's own
    # files (pty link, stubs, script) must live outside /tmp.
    base = Path(os.environ.get("QZ_TEST_WORK") or qzharness.REPO / "build" / "test-work")
    base.mkdir(parents=True, exist_ok=True)
    return Path(tempfile.mkdtemp(prefix="board-", dir=base))


@pytest.fixture
def board():
    root = _work_root()
    b = qzharness.Board(root)
    yield b
    b.close()
    shutil.rmtree(root, ignore_errors=True)
