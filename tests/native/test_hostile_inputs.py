"""Hostile inputs: every case runs in its own interpreter, so a crash fails
one case; after the bad call, a valid run must leave exactly what it leaves
in a fresh process."""

import hostile
import pytest
from locations import HELPERS as TESTS

RUNNER = f"import sys; sys.path.insert(0, {TESTS!r}); import hostile; hostile.main(sys.argv[1])"
FRESH = f"import sys; sys.path.insert(0, {TESTS!r}); import hostile; print(hostile.fingerprint())"


@pytest.fixture(scope="module")
def fresh_fingerprint(request):
    from subprocesses import run_python

    result = run_python(FRESH)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.mark.parametrize("name", sorted(hostile.CASES))
def test_hostile_input(name, fresh_fingerprint, python_subprocess):
    result = python_subprocess(RUNNER, name)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr[-3000:]}"
    assert result.stdout == fresh_fingerprint
