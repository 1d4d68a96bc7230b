"""Code run in a fresh interpreter, so that a crash fails one test, not the run."""

import subprocess
import sys
import textwrap


def run_python(code: str, *args: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """Run `code` in a fresh interpreter (so a crash fails one test, not the run)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
