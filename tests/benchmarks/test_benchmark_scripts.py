"""Every script under benchmarks/ runs to its end on a tiny workload, so that
none breaks unnoticed (a smoke run: nothing is measured here)."""

import os
import subprocess
import sys

import pytest
from hooks import require_hook
from locations import BENCHMARKS
from optional import require

# (script and its arguments, the optional modules it needs with their extra,
# a line its output must hold)
SCRIPTS = [
    (["engine_run.py", "--bars", "200", "--columns", "30", "--held", "5", "--repeat", "1"], [], "final value"),
    (["profile_run.py", "XS", "default"], [], None),
    (["html_report.py", "--repeats", "1", "--stocks", "20", "--years", "2"], [("jinja2", "report")], "HTML report"),
    (["sweep_throughput.py", "--workload", "XS", "--repeats", "1"], [("distributed", "distributed")], "runs/s"),
    (["keep_returns.py", "--workload", "XS", "--runs", "20", "--repeats", "1"], [], "keeping returns:"),
    (["run.py", "--smoke"], [("numba", "bench"), ("vectorbt", "bench")], "summary"),
]


@pytest.mark.parametrize(("command", "needs", "expected"), SCRIPTS, ids=[script[0][0] for script in SCRIPTS])
def test_the_script_runs_on_a_tiny_workload(command, needs, expected):
    if command[0] == "run.py":
        require_hook("_speed_of_light")
    for module, extra in needs:
        require(module, extra)
    result = subprocess.run(
        [sys.executable, os.path.join(BENCHMARKS, command[0]), *command[1:]],
        capture_output=True,
        text=True,
        timeout=900,
        cwd=BENCHMARKS,
    )
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-4000:]
    if expected is not None:
        assert expected in result.stdout
