"""In the environment with every extra, a test cannot skip for a missing one."""

import os
import subprocess
import sys

import pytest

TESTS = os.path.dirname(os.path.abspath(__file__))


@pytest.mark.parametrize("require_extras, outcome", [("", "1 skipped"), ("1", "1 failed")])
def test_a_missing_extra_skips_only_outside_the_all_extras_environment(tmp_path, require_extras, outcome):
    (tmp_path / "test_needs_extra.py").write_text(
        "from optional import require\n"
        "def test_it():\n"
        "    require('tolvane_no_such_module', 'report')\n")
    env = dict(os.environ, TOLVANE_REQUIRE_EXTRAS=require_extras, PYTHONPATH=TESTS)
    result = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", "-rs",
                             "--rootdir", str(tmp_path), str(tmp_path)],
                            capture_output=True, text=True, env=env)
    assert outcome in result.stdout, result.stdout
    assert "extra 'report'" in result.stdout
