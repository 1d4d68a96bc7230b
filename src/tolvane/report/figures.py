"""The figures tolvane draws (matplotlib, the ``report`` extra), in one
registry: each kind's drawing function and caption.

:meth:`tolvane.Report.plot` draws the run figures by kind, the HTML page
shows them in registry order under their captions;
:meth:`tolvane.SweepResult.plot` draws the sweep heatmap,
:meth:`tolvane.SweepResult.plot_overfitting` the figures of its probability
of overfitting and :meth:`tolvane.WalkForwardResult.plot` those of a
walk-forward validation (:func:`draw_walk_forward`). Every function
returns a new :class:`matplotlib.figure.Figure` built without pyplot, so
nothing is shown or kept in global state: display it in a notebook, or
``fig.savefig("equity.png")``. matplotlib is imported only when a figure is
drawn.

>>> [kind.name for kind in FIGURES.values() if kind.subject == "run"]
['equity', 'monthly', 'excursions', 'trades', 'exposure']
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

from tolvane.report import _research_figures, _run_figures, _sweep_figures

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from tolvane.report import Report
    from tolvane.report._research_views import WalkForwardRuns


@dataclass(frozen=True)
class FigureKind:
    """One kind of figure: what it shows and how it is drawn."""

    name: str
    # What it is drawn from: a Report, a sweep's table, a sweep's PBOResult, or a walk-forward validation.
    subject: Literal["run", "sweep", "overfitting", "walk_forward"]
    draw: Callable[..., Figure]
    caption: str


FIGURES: dict[str, FigureKind] = {
    kind.name: kind
    for kind in [
        FigureKind(
            "equity",
            "run",
            _run_figures.equity,
            "Equity curve (benchmark rebased to the strategy's start) and drawdown; the maximum drawdown's "
            "span is shaded.",
        ),
        FigureKind(
            "monthly",
            "run",
            _run_figures.monthly,
            "Monthly returns by year, with yearly totals; \u201c\u2013\u201d marks a month (or year) out of the "
            "market, with no trade open in it.",
        ),
        FigureKind(
            "excursions",
            "run",
            _run_figures.excursions,
            "How far each closed trade went against (MAE) and for (GMFE) it, against its final return; "
            "with an excursion window, their median and quartiles over the bars after entry.",
        ),
        FigureKind(
            "trades",
            "run",
            _run_figures.trades,
            "Distribution of closed trades' returns and of the bars they were held.",
        ),
        FigureKind(
            "exposure",
            "run",
            _run_figures.exposure,
            "Positions held over each close and the share of the portfolio they were given at entry.",
        ),
        FigureKind(
            "heatmap",
            "sweep",
            _sweep_figures.heatmap,
            "A statistic of a sweep over two swept parameters; runs that share a cell are summarised (mean by "
            "default) and failed runs left out.",
        ),
        FigureKind(
            "logits",
            "overfitting",
            _research_figures.logits,
            "For each split of the bars in half, the logit of the out-of-sample rank of the run best in sample: "
            "at or below 0 (shaded red), it ranked at or below the median; their share is the probability of "
            "backtest overfitting (PBO), in the title.",
        ),
        FigureKind(
            "degradation",
            "overfitting",
            _research_figures.degradation,
            "The run best in sample on each split, its metric in sample against out of sample, with the "
            "least-squares line: a slope below 0 says that the better a run looked, the worse it went on; the "
            "runs that lost out of sample are red.",
        ),
        FigureKind(
            "walk_forward",
            "walk_forward",
            _research_figures.walk_forward,
            "The walk-forward's out-of-sample equity (each test window traded by the run best on the training "
            "window before it) against the run best in hindsight on the same bars, both from 1.0; test windows "
            "shaded by turns, each fold's choice above while there is room.",
        ),
        FigureKind(
            "folds",
            "walk_forward",
            _research_figures.folds,
            "The metric of each fold's chosen run on its training window (in sample) and its test window "
            "(out of sample).",
        ),
    ]
}

#: The figures of a run, in the order the HTML page shows them.
RUN_KINDS = tuple(name for name, kind in FIGURES.items() if kind.subject == "run")
#: The figures of a sweep's probability of overfitting, by their kind for :meth:`tolvane.SweepResult.plot_overfitting`.
OVERFITTING_KINDS = tuple(name for name, kind in FIGURES.items() if kind.subject == "overfitting")
#: The figures of a walk-forward validation: the registry's name of each kind of :func:`draw_walk_forward`.
WALK_FORWARD_KINDS = {"equity": "walk_forward", "folds": "folds"}


def draw(report: Report, kind: str, **options: Any) -> Figure:
    """The run figure `kind` (one of :data:`RUN_KINDS`) of `report`."""
    if kind not in RUN_KINDS:
        raise ValueError(f"kind must be one of {', '.join(map(repr, RUN_KINDS))}, got {kind!r}")
    return FIGURES[kind].draw(report, **options)


def draw_walk_forward(result: WalkForwardRuns, kind: str, *, ax: Axes | None = None) -> Figure:
    """The figure `kind` of a walk-forward validation: ``"equity"``, the
    stitched out-of-sample equity against the best run in hindsight, or
    ``"folds"``, the metric in and out of sample fold by fold.

    Examples
    --------
    >>> draw_walk_forward(result, "folds").savefig("folds.png")   # doctest: +SKIP
    """
    if kind not in WALK_FORWARD_KINDS:
        raise ValueError(f"kind must be one of {', '.join(map(repr, WALK_FORWARD_KINDS))}, got {kind!r}")
    return FIGURES[WALK_FORWARD_KINDS[kind]].draw(result, ax=ax)
