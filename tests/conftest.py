import subprocess
import sys
import textwrap

import pytest


def run_python(code: str, *args: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """Run `code` in a fresh interpreter (so a crash fails one test, not the run)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture
def python_subprocess():
    return run_python
