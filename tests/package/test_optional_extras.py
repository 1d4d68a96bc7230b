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
