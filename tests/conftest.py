import os

import pytest
from hypothesis import settings
from subprocesses import run_python

# CI runs the property tests derandomized and without an example database;
# the sanitized build is slow, so no deadline anywhere.
settings.register_profile("ci", derandomize=True, database=None, deadline=None)
settings.register_profile("dev", deadline=None)
settings.load_profile(os.environ.get("TOLVANE_HYPOTHESIS_PROFILE", "dev"))


@pytest.fixture
def python_subprocess():
    return run_python


def pytest_report_header(config):
    from importlib.util import find_spec

    from hooks import INSTALL

    if find_spec("tolvane.core._probe") is None:
        return f"tolvane's test hooks are not installed: the tests that need them are skipped; install with {INSTALL}"
    return None
