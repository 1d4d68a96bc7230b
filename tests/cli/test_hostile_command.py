"""Hostile runs of the tolvane command on generated CSV (and, with pyarrow,
Parquet) files and option strings, run as ``python -m tolvane`` runs them, in
worker processes (see hostile_harness.py): each exits 0, or exits 2 with one
line ``tolvane: error: ...`` on standard error and nothing else there (no
traceback, no warning).

TOLVANE_HOSTILE_COMMANDS sets the number of runs drawn.
"""

import importlib.util
import os

import hostile_frontdoor
import hostile_harness

EXAMPLES = int(os.environ.get("TOLVANE_HOSTILE_COMMANDS", "300"))
#: Time to shrink the faults found to small reproductions.
SHRINK_SECONDS = 60.0


def test_hostile_runs_of_the_command_exit_0_or_say_what_is_wrong():
    parquet = importlib.util.find_spec("pyarrow") is not None
    cases = hostile_frontdoor.generate(hostile_frontdoor.command_cases(parquet=parquet), EXAMPLES)
    result = hostile_harness.survey(cases, hostile_harness.processes())
    hostile_harness.shrink_findings(result.findings, SHRINK_SECONDS)
    report = hostile_harness.describe(result, "runs of the tolvane command")
    assert not result.findings, report
    # the generator keeps to cases that can be built, and many runs get through
    assert result.results["unbuildable"] <= 0.2 * result.cases, report
    assert result.results["ok"] >= 0.1 * result.cases, report
