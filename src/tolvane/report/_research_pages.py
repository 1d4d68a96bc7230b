"""The pages of research on a grid: a sweep's (:func:`render_sweep`) and a
walk-forward validation's (:func:`render_walk_forward`)."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import pandas as pd

from tolvane._dates import format_date
from tolvane._version import __version__
from tolvane.report._page_parts import (
    EN_DASH,
    Cell,
    Row,
    Table,
    environment,
    figure,
    format_value,
    frame_table,
    statistics_table,
)
from tolvane.report._research_figures import parameter_text, varied_parameters
from tolvane.report.figures import OVERFITTING_KINDS, WALK_FORWARD_KINDS
from tolvane.stats import return_statistics

if TYPE_CHECKING:
    from tolvane.report._research_views import SweptRuns, WalkForwardRuns

#: How many of the best runs and of the failed runs' errors a sweep's page lists.
BEST_SHOWN, ERRORS_SHOWN = 10, 5
#: The statistics beside the parameters of the best runs.
_BEST_COLUMNS = ["total_return", "cagr", "max_drawdown", "sharpe", "deflated_sharpe", "trials", "trades"]
#: What "best" means for the probability of overfitting, for a page's metric: the
#: compounded return ranks runs over the same bars as their CAGR does; other
#: statistics are not made of returns alone and rank by the Sharpe ratio.
_PBO_METRICS = {"sharpe": "sharpe", "total_return": "total", "cagr": "total"}


def heatmap_parameters(result: SweptRuns, x: str | None, y: str | None) -> tuple[str, str] | str:
    """The swept parameters of the sweep page's heatmap: `x` and `y`, or in
    their stead the first parameters that take more than one value; a
    sentence saying why there is no heatmap when there are not two."""
    varied = varied_parameters(result)
    if x is None:
        x = next((name for name in varied if name != y), None)
    if y is None:
        y = next((name for name in varied if name != x), None)
    if x is not None and y is not None:
        return x, y
    only = f"only {varied[0]}" if varied else "no parameter"
    return f"No heatmap: it needs two swept parameters that take more than one value, and this sweep varies {only}."


def _best(result: SweptRuns, metric: str) -> Table:
    best = result.best(metric, BEST_SHOWN)
    parameters = list(result.parameters)
    columns = [*([metric] if metric not in _BEST_COLUMNS else []), *_BEST_COLUMNS]
    shown = best[parameters + [column for column in columns if column in best]].copy()
    for name in parameters:
        shown[name] = [parameter_text(value) for value in shown[name]]
    return frame_table(shown, parameters)


def _failures(table: pd.DataFrame, parameters: tuple[str, ...]) -> list[dict[str, str]]:
    failed = table[table["error"].notna()].head(ERRORS_SHOWN)
    return [
        {
            "run": str(run),
            "parameters": ", ".join(f"{name} {parameter_text(row[name])}" for name in parameters),
            "error": str(row["error"]),
        }
        for run, row in failed.iterrows()
    ]


def _overfitting(result: SweptRuns, metric: str, splits: int, succeeded: int) -> dict[str, Any]:
    """The page's section on the probability of overfitting: its numbers and
    figures, or the sentence that says why there are none."""
    if not result.keeps_returns:
        return {
            "reason": "The probability of overfitting needs each run's returns: sweep with keep_returns=True "
            "(with the same store, only the runs are repeated)."
        }
    if succeeded < 2:
        return {"reason": f"The probability of overfitting compares runs: {succeeded} run succeeded."}
    ranked_by = _PBO_METRICS.get(metric, "sharpe")
    found = result.overfitting(ranked_by, splits)
    numbers = [
        ("PBO", Cell(EN_DASH if math.isnan(found.pbo) else f"{found.pbo:.2f}")),
        ("loss out of sample", format_value("probability_of_loss", found.probability_of_loss)),
        ("degradation slope", format_value("slope", found.degradation.slope)),
        ("splits in half", format_value("combinations", found.combinations)),
        ("blocks", format_value("splits", found.splits)),
        ("runs", format_value("trials", found.trials)),
    ]
    return {
        "ranked_by": {"sharpe": "Sharpe ratio", "total": "compounded return"}[ranked_by],
        "pbo": numbers[0][1].text,
        "blocks": f"{found.splits:,}",
        "trials": f"{found.trials:,}",
        "summary": [{"label": label, **vars(cell)} for label, cell in numbers],
        "figures": [
            figure(kind, result.plot_overfitting(kind, metric=ranked_by, splits=splits)) for kind in OVERFITTING_KINDS
        ],
    }


def render_sweep(
    result: SweptRuns,
    *,
    title: str = "Parameter sweep",
    x: str | None = None,
    y: str | None = None,
    metric: str = "sharpe",
    splits: int = 16,
) -> str:
    """The page of a sweep (:meth:`tolvane.SweepResult.to_html`)."""
    table = result.table
    failed = int(table["error"].notna().sum())
    succeeded = len(table) - failed
    context: dict[str, Any] = {
        "title": title,
        "runs": f"{len(table):,}",
        "parameters": ", ".join(result.parameters) or "no parameter",
        "succeeded": f"{succeeded:,}",
        "failed": f"{failed:,}",
        "resumed": f"{result.resumed:,}",
        "metric": metric,
        "failures": _failures(table, result.parameters),
        "errors_hidden": failed > ERRORS_SHOWN,
        "errors_shown": ERRORS_SHOWN,
        "version": __version__,
    }
    if succeeded:
        context["best"] = _best(result, metric)  # refuses a metric that is not a numeric statistic
        axes = heatmap_parameters(result, x, y)
        if isinstance(axes, str):
            context["heatmap_reason"] = axes
        else:
            context["heatmap"] = figure("heatmap", result.plot(*axes, metric))
        context["best_value"] = format_value(metric, table[metric].max(skipna=True))
    context["overfitting"] = _overfitting(result, metric, splits, succeeded)
    return str(environment().get_template("sweep.html.j2").render(context))


def _statistics(result: WalkForwardRuns) -> pd.DataFrame:
    """The statistics out of sample and, when there is one, of the best run in hindsight."""
    columns = {"walk-forward": result.stats()}
    hindsight = result.hindsight
    if hindsight is not None:
        dates = hindsight.index
        head = {"start": dates[0], "end": dates[-1], "bars": len(dates), "folds": None}
        columns["best in hindsight"] = pd.Series(
            {**head, **return_statistics(hindsight.to_numpy(), result.periods_per_year)}, dtype=object
        )
    return pd.DataFrame(columns)


def _folds(result: WalkForwardRuns) -> Table:
    folds = result.folds
    parameters = list(result.sweep.parameters)
    metric = result.metric
    columns = ["train", "test", "run", *parameters, f"in-sample {metric}", f"out-of-sample {metric}"]
    rows = []
    for number, fold in folds.iterrows():
        windows = [
            Cell(f"{format_date(fold[f'{side}_start'])} {EN_DASH} {format_date(fold[f'{side}_end'])}")
            for side in ("train", "test")
        ]
        chosen = pd.notna(fold["run"])
        cells = [
            *windows,
            Cell(str(int(fold["run"])) if chosen else "none"),
            *(Cell(parameter_text(fold[name]) if chosen else EN_DASH) for name in parameters),
            format_value(metric, fold[f"in_sample_{metric}"]),
            format_value(metric, fold[f"out_of_sample_{metric}"]),
        ]
        rows.append(Row(str(number), cells))
    return Table(columns, rows, frozenset(["train", "test", *parameters]))


def render_walk_forward(result: WalkForwardRuns, *, title: str = "Walk-forward validation") -> str:
    """The page of a walk-forward validation (:meth:`tolvane.WalkForwardResult.to_html`)."""
    stats = result.stats()
    run = result.hindsight_run
    hindsight = None
    if run is not None:
        table = result.sweep.table
        hindsight = {
            "run": str(run),
            "parameters": ", ".join(
                f"{name} {parameter_text(table.at[run, name])}" for name in result.sweep.parameters
            ),
        }
    headline = [
        ("total return", format_value("total_return", stats["total_return"])),
        ("CAGR", format_value("cagr", stats["cagr"])),
        ("max drawdown", format_value("max_drawdown", stats["max_drawdown"])),
        ("Sharpe", format_value("sharpe", stats["sharpe"])),
        ("folds", format_value("folds", stats["folds"])),
    ]
    context = {
        "title": title,
        "period": f"{format_value('start', stats['start']).text} to {format_value('end', stats['end']).text}",
        "bars": f"{stats['bars']:,}",
        "folds_count": f"{len(result.folds):,}",
        "runs": f"{len(result.sweep):,}",
        "metric": result.metric,
        "headline": [{"label": label, **vars(cell)} for label, cell in headline],
        "stats": statistics_table(_statistics(result)),
        "hindsight": hindsight,
        "folds": _folds(result),
        "figures": [figure(kind, result.plot(plotted)) for plotted, kind in WALK_FORWARD_KINDS.items()],
        "version": __version__,
    }
    return str(environment().get_template("walk_forward.html.j2").render(context))
