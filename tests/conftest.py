import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings

# CI runs the property tests derandomized and without an example database;
# the sanitized build is slow, so no deadline anywhere.
settings.register_profile("ci", derandomize=True, database=None, deadline=None)
settings.register_profile("dev", deadline=None)
settings.load_profile(os.environ.get("TOLVANE_HYPOTHESIS_PROFILE", "dev"))


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


def pytest_report_header(config):
    from importlib.util import find_spec

    if find_spec("tolvane.core._probe") is None:
        return ("tolvane's test hooks are not installed: tests that reach native pieces fail; "
                "install with TOLVANE_BUILD_TEST_MODULES=ON (see the README)")
    return None
