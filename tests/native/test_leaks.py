"""Every public function called thousands of times, on success and on its
error paths (tests/leak_check.py): memory and references stay flat."""

import json
import os
import subprocess
import sys

import pytest
from hooks import require_hook

require_hook()
import leak_check  # noqa: E402 -- it imports the hooks

SANITIZED = os.environ.get("TOLVANE_SANITIZED") == "1"
# The sanitizer's quarantine keeps freed memory resident, and it is slow.
WINDOW = 1000 if SANITIZED else 2000
# Bounds on the smallest growth of three windows of WINDOW runs: a leak grows
# every window (one small object per run exceeds TRACED_BOUND), while the
# interpreter's one-off cache growth shows in one window only.
TRACED_BOUND = 16 * 1024
RSS_BOUND = 1024 * 1024
REFERENCE_BOUND = 100  # a reference leaked per run would add WINDOW


@pytest.mark.parametrize("scenario", sorted(leak_check.SCENARIOS))
def test_repeated_calls_do_not_leak(scenario):
    result = subprocess.run(
        [sys.executable, leak_check.__file__, scenario, str(WINDOW)], capture_output=True, text=True, timeout=900
    )
    assert result.returncode == 0, result.stderr[-3000:]
    growth = json.loads(result.stdout)
    assert min(growth["traced_growth"]) < TRACED_BOUND, growth
    if not SANITIZED:
        assert min(growth["rss_growth"]) < RSS_BOUND, growth
    if growth["reference_growth"] is not None and growth["numpy_free"]:
        assert min(growth["reference_growth"]) < REFERENCE_BOUND, growth
    # the result lists hold the latest run only
    assert growth["trades_listed"] <= 6, growth
