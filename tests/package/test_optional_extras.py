"""In the environment with every extra, a test cannot skip for a missing one."""

import os
import subprocess
import sys

import pytest
from locations import HELPERS as TESTS

MODULES = {
    "test": "from optional import require\ndef test_it():\n    require('tolvane_no_such_module', 'report')\n",
    "module": "from optional import require\nrequire('tolvane_no_such_module', 'report')\ndef test_it():\n    pass\n",
}


@pytest.mark.parametrize("placement", MODULES)
@pytest.mark.parametrize("require_extras, outcome", [("", "1 skipped"), ("1", "1 failed|1 error")])
def test_a_missing_extra_skips_only_outside_the_all_extras_environment(tmp_path, placement, require_extras, outcome):
    (tmp_path / "test_needs_extra.py").write_text(MODULES[placement])
    env = dict(os.environ, TOLVANE_REQUIRE_EXTRAS=require_extras, PYTHONPATH=TESTS)
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-p",
            "no:cacheprovider",
            "-q",
            "-rs",
            "--rootdir",
            str(tmp_path),
            str(tmp_path),
        ],
        capture_output=True,
        text=True,
        env=env,
    )
    assert any(expected in result.stdout for expected in outcome.split("|")), result.stdout
    assert "extra 'report'" in result.stdout


def test_without_the_test_hooks_their_tests_skip_with_the_command_that_installs_them(python_subprocess):
    result = python_subprocess(
        """
        import os, sys
        sys.modules["tolvane.core._probe"] = None  # as after an install without the hooks
        os.environ.pop("TOLVANE_REQUIRE_EXTRAS", None)  # CI's rule that a missing hook fails
        import pytest
        modules = ["tests/native/test_trading.py", "tests/native/test_vexal.py", "tests/native/test_pindle.py"]
        sys.exit(pytest.main(["-q", "-rs", "-p", "no:cacheprovider", *modules]))
        """,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "TOLVANE_BUILD_TEST_MODULES=ON python3 -m pip install '.[test]'" in result.stdout
    assert "2 skipped" in result.stdout and "error" not in result.stdout.lower()
