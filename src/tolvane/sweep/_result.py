"""The result of a parameter sweep: :class:`SweepResult`."""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from tolvane._backtest import backtest
from tolvane.errors import InputError
from tolvane.report import Report
from tolvane.report._sweep_figures import AGGREGATES
from tolvane.sweep._worker import Outcome, SharedInputs

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure


def _parameter_column(values: list[Any]) -> pd.Series:
    column = pd.Series(values, dtype=object)
    # None is kept as given (no stop, every position date), not made NaN.
    return column if any(value is None for value in values) else column.infer_objects()


def _statistic_column(values: list[Any]) -> Any:
    """A statistic over all runs (missing for a failed run), typed by its values."""
    given = next((value for value in values if value is not None), None)
    if given is pd.NaT or isinstance(given, pd.Timestamp):
        return pd.Series([pd.NaT if value is None else value for value in values])
    if isinstance(given, int):
        return pd.array(values, dtype="Int64")
    return np.array([math.nan if value is None else value for value in values], dtype=np.float64)


def _table(names: Sequence[str], runs: Sequence[Mapping[str, Any]], outcomes: Sequence[Outcome]) -> pd.DataFrame:
    columns: dict[str, Any] = {name: _parameter_column([one[name] for one in runs]) for name in names}
    statistics = dict.fromkeys(name for outcome in outcomes if outcome.stats for name in outcome.stats)
    for name in statistics:
        columns[name] = _statistic_column([outcome.stats.get(name) if outcome.stats else None for outcome in outcomes])
    columns["error"] = pd.Series([outcome.error for outcome in outcomes], dtype=object)
    table = pd.DataFrame(columns)
    table.index.name = "run"
    return table


class SweepResult:
    """The runs of a parameter sweep, one row per parameter set.

    Made by :func:`tolvane.sweep`. Reports of the runs are not kept (a sweep
    may have thousands): :meth:`report` runs one parameter set again.

    Examples
    --------
    >>> result = tolvane.sweep(position, close, grid={"stop_loss": [None, 0.05, 0.1],
    ...                                                "rebalance": ["W-FRI", "ME"]})  # doctest: +SKIP
    >>> result.table[["stop_loss", "rebalance", "sharpe", "error"]]                # doctest: +SKIP
    >>> result.best("sharpe")                                                     # doctest: +SKIP
    >>> result.report(3).trades                                                   # doctest: +SKIP
    >>> result.plot("stop_loss", "rebalance", "sharpe").savefig("sharpe.png")     # doctest: +SKIP
    """

    def __init__(
        self,
        shared: SharedInputs,
        names: Sequence[str],
        runs: Sequence[Mapping[str, Any]],
        outcomes: Sequence[Outcome],
        resumed: int,
    ) -> None:
        self._shared = shared
        self._names = tuple(names)
        self._runs = tuple(dict(one) for one in runs)
        self._resumed = resumed
        self._table = _table(self._names, self._runs, outcomes)

    @property
    def table(self) -> pd.DataFrame:
        """A copy of the runs: index ``run`` (the grid's order), a column per
        swept parameter (a strategy or named value by its name), a column per
        statistic of :meth:`tolvane.Report.stats` (missing for a failed run)
        and ``error`` (``"<type>: <message>"`` of a failed run, else None)."""
        return self._table.copy()

    @property
    def parameters(self) -> tuple[str, ...]:
        """The swept parameters, in the grid's order."""
        return self._names

    @property
    def statistics(self) -> tuple[str, ...]:
        """The statistics of the runs, in :meth:`tolvane.Report.stats` order."""
        return tuple(self._table.columns[len(self._names) : -1])

    @property
    def resumed(self) -> int:
        """How many runs were taken from the store instead of being run."""
        return self._resumed

    def __len__(self) -> int:
        return len(self._table)

    def __repr__(self) -> str:
        failed = int(self._table["error"].notna().sum())
        return (
            f"<tolvane.SweepResult {len(self)} runs over {', '.join(self._names) or 'no parameter'}: "
            f"{len(self) - failed} succeeded, {failed} failed, {self._resumed} from the store>"
        )

    def _metric(self, metric: str) -> pd.Series:
        numeric = [name for name in self.statistics if pd.api.types.is_numeric_dtype(self._table[name])]
        if metric not in numeric:
            raise InputError(f"{metric!r} is not a numeric statistic of this sweep; choose one of {', '.join(numeric)}")
        return self._table[metric]

    def best(self, metric: str, n: int = 1, *, ascending: bool = False) -> pd.DataFrame:
        """The `n` runs with the largest `metric` (the smallest with
        ``ascending=True``), best first; ties in the grid's order. Failed runs
        and runs without a value (NaN) are left out.

        Examples
        --------
        >>> result.best("sharpe", n=3)[["stop_loss", "rebalance", "sharpe"]]   # doctest: +SKIP
        """
        if isinstance(n, bool) or not isinstance(n, numbers.Integral) or n < 1:
            raise InputError(f"n must be a whole number >= 1, got {n!r}")
        values = self._metric(metric).dropna()
        order = values.sort_values(ascending=ascending, kind="stable").index[:n]
        return self._table.loc[order]

    def report(self, run: int) -> Report:
        """Run the parameter set of row `run` again and return its full report.

        A failed run raises its error again.

        Examples
        --------
        >>> result.report(result.best("sharpe").index[0]).trades                # doctest: +SKIP
        """
        if isinstance(run, bool) or not isinstance(run, numbers.Integral) or not 0 <= run < len(self._runs):
            raise InputError(f"run must be a row of the table (0 to {len(self._runs) - 1}), got {run!r}")
        position, options = self._shared.arguments(self._runs[int(run)])
        return backtest(position, self._shared.close, **options)

    def plot(self, x: str, y: str, metric: str, *, aggregate: str = "mean", ax: Axes | None = None) -> Figure:
        """A heatmap of `metric` over two swept parameters.

        Parameters
        ----------
        x, y : str
            Swept parameters for the columns and the rows, their values in the
            grid's order: the first column at the left, the first row at the
            top.
        metric : str
            A numeric statistic (``"sharpe"``, ``"cagr"``, ...).
        aggregate : {"mean", "median", "max", "min"}, default "mean"
            How runs that share a cell (other parameters swept too) are
            summarised; the title says so. Failed runs are left out; a cell
            without a value is grey.
        ax : matplotlib Axes, optional
            Where to draw; by default on a new figure.

        Returns
        -------
        matplotlib.figure.Figure
            The figure (``.savefig("heatmap.png")``; shown by notebooks). A
            new figure grows with the grid up to 10.5 x 8 inches, to fit a
            page. Each cell shows its value while the cells have room for
            it; smaller cells are left to the colour bar. Column labels wider
            than a cell are turned, and labels are thinned (every 2nd, 5th,
            ...) when the cells are narrower than a line of text.

        Examples
        --------
        >>> result.plot("stop_loss", "rebalance", "sharpe").savefig("sharpe.png")   # doctest: +SKIP
        """
        for name in (x, y):
            if name not in self._names:
                raise InputError(f"{name!r} is not a swept parameter; choose among {', '.join(self._names)}")
        if x == y:
            raise InputError(f"x and y are both {x!r}: choose two different parameters")
        if aggregate not in AGGREGATES:
            raise InputError(f"aggregate must be one of {', '.join(AGGREGATES)}, got {aggregate!r}")
        self._metric(metric)
        from tolvane.report import figures

        return figures.FIGURES["heatmap"].draw(self._table, self._names, x, y, metric, aggregate=aggregate, ax=ax)
