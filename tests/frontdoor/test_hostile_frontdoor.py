"""Hostile calls of tolvane.backtest, drawn by hypothesis and run in worker
processes (see hostile_harness.py): each returns a report that works and
holds a possible book, or is refused with a TolvaneError that says why.
Nothing else: no other exception, no stray warning, no crash, no hang, no
misread value accepted.

TOLVANE_HOSTILE_EXAMPLES sets the number of calls drawn.
"""

import os

import hostile_frontdoor
import hostile_harness

EXAMPLES = int(os.environ.get("TOLVANE_HOSTILE_EXAMPLES", "2000"))
#: Time to shrink the faults found to small reproductions.
SHRINK_SECONDS = 60.0


def test_hostile_calls_of_backtest_are_run_or_refused():
    cases = hostile_frontdoor.generate(hostile_frontdoor.api_cases(), EXAMPLES)
    result = hostile_harness.survey(cases, hostile_harness.processes())
    hostile_harness.shrink_findings(result.findings, SHRINK_SECONDS)
    report = hostile_harness.describe(result, "calls of tolvane.backtest")
    assert not result.findings, report
    # the generator keeps to cases that can be built, and most reach the engine
    assert result.results["unbuildable"] <= 0.2 * result.cases, report
    assert result.results["ok"] >= 0.1 * result.cases, report
