"""The figures tolvane draws (matplotlib, the ``report`` extra), in one
registry: each kind's drawing function and caption.

:meth:`tolvane.Report.plot` draws the run figures by kind, the HTML page
shows them in registry order under their captions, and
:meth:`tolvane.SweepResult.plot` draws the sweep heatmap. Every function
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

from tolvane.report import _run_figures, _sweep_figures

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from tolvane.report import Report


@dataclass(frozen=True)
class FigureKind:
    """One kind of figure: what it shows and how it is drawn."""

    name: str
    subject: Literal["run", "sweep"]  # what it is drawn from: a Report, or a sweep's table
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
    ]
}

#: The figures of a run, in the order the HTML page shows them.
RUN_KINDS = tuple(name for name, kind in FIGURES.items() if kind.subject == "run")


def draw(report: Report, kind: str, **options: Any) -> Figure:
    """The run figure `kind` (one of :data:`RUN_KINDS`) of `report`."""
    if kind not in RUN_KINDS:
        raise ValueError(f"kind must be one of {', '.join(map(repr, RUN_KINDS))}, got {kind!r}")
    return FIGURES[kind].draw(report, **options)
