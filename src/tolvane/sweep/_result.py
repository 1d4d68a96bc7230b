"""The result of a parameter sweep: :class:`SweepResult`."""

from __future__ import annotations

import math
import numbers
import os
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from tolvane._backtest import backtest
from tolvane.errors import InputError
from tolvane.report import Report
from tolvane.report._sweep_figures import AGGREGATES
from tolvane.stats import PBOResult, deflated_sharpe_from_moments, pbo
from tolvane.sweep._worker import Outcome, SharedInputs

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure


def parameter_column(values: list[Any]) -> pd.Series:
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
    columns: dict[str, Any] = {name: parameter_column([one[name] for one in runs]) for name in names}
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
        self._returns = (
            {number: outcome.returns for number, outcome in enumerate(outcomes) if outcome.returns is not None}
            if shared.keep_returns
            else None
        )
        # The probability of overfitting by (metric, splits): a page and its figures compute it once.
        self._overfitting: dict[tuple[str, int], PBOResult] = {}

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

    @property
    def returns(self) -> pd.DataFrame:
        """Each run's return per bar, when the sweep kept them
        (``keep_returns=True``): bars x runs, indexed by the dates of
        ``close``, a column per run that succeeded (named by its row of
        :attr:`table`), as :attr:`tolvane.Report.returns` gives them.

        Examples
        --------
        >>> result = tolvane.sweep(position, close, grid=grid, keep_returns=True)  # doctest: +SKIP
        >>> result.returns.std()                                                   # doctest: +SKIP
        """
        if self._returns is None:
            raise InputError(
                "this sweep did not keep its runs' returns: sweep again with keep_returns=True "
                "(with the same store, only the runs are repeated)"
            )
        frame = pd.DataFrame(
            {number: np.frombuffer(values, dtype=np.float64) for number, values in self._returns.items()},
            index=self._shared.close.index,
            columns=pd.Index(list(self._returns), dtype=np.int64, name="run"),
        )
        return frame

    @property
    def keeps_returns(self) -> bool:
        """Whether the sweep kept its runs' returns (``keep_returns=True``),
        which :attr:`returns` and :meth:`overfitting` need."""
        return self._returns is not None

    def overfitting(self, metric: str = "sharpe", splits: int = 16) -> PBOResult:
        """The probability that picking the best run of this sweep overfits:
        :func:`tolvane.stats.pbo` on :attr:`returns`, computed once for each
        `metric` and `splits`.

        The bars are cut into `splits` blocks; for every choice of half of
        them the run with the best `metric` there is ranked among all runs on
        the other half. A PBO near 0 says the best in sample stays good out of
        sample; near 0.5 or above, that the choice was luck.

        Parameters
        ----------
        metric : {"sharpe", "mean", "total"}, default "sharpe"
            What "best" means on each half: per-bar Sharpe ratio, mean or
            compounded return.
        splits : int, default 16
            Even, at least 2: C(splits, splits / 2) halves are tried (12,870
            for 16).

        Examples
        --------
        >>> result = tolvane.sweep(position, close, grid=grid, keep_returns=True)  # doctest: +SKIP
        >>> result.overfitting().pbo                                               # doctest: +SKIP
        0.12
        """
        key = (metric, splits)
        if key not in self._overfitting:
            returns = self.returns
            if returns.shape[1] < 2:
                raise InputError(
                    f"the probability of overfitting needs at least 2 runs that succeeded, got {returns.shape[1]}"
                )
            self._overfitting[key] = pbo(returns, splits=splits, metric=metric)  # type: ignore[arg-type]
        return self._overfitting[key]

    def plot_overfitting(
        self, kind: str = "logits", *, metric: str = "sharpe", splits: int = 16, ax: Axes | None = None
    ) -> Figure:
        """A figure of :meth:`overfitting` (the sweep must keep its returns).

        Parameters
        ----------
        kind : {"logits", "degradation"}
            ``"logits"``: the histogram of the logits of the out-of-sample rank
            of the run best in sample, the PBO in the title;
            ``"degradation"``: the metric of that run in sample against out of
            sample, split by split, with the least-squares line.
        metric, splits
            As for :meth:`overfitting`.
        ax : matplotlib Axes, optional
            Where to draw; by default on a new figure.

        Examples
        --------
        >>> result = tolvane.sweep(position, close, grid=grid, keep_returns=True)   # doctest: +SKIP
        >>> result.plot_overfitting("degradation", splits=10).savefig("degradation.png")   # doctest: +SKIP
        """
        from tolvane.report import figures

        if kind not in figures.OVERFITTING_KINDS:
            raise InputError(f"kind must be one of {', '.join(map(repr, figures.OVERFITTING_KINDS))}, got {kind!r}")
        return figures.FIGURES[kind].draw(self.overfitting(metric, splits), metric=metric, ax=ax)

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

        Beside ``sharpe`` stand ``deflated_sharpe``, the probability that the
        run's true Sharpe ratio beats the best that as many runs without skill
        would show by luck (:func:`tolvane.stats.deflated_sharpe_from_moments`
        from the run's skewness and kurtosis), and ``trials``, the number of
        runs with a Sharpe ratio that it accounts for: all of this sweep's.
        A deflated Sharpe ratio below 0.95 is a winner that luck explains as
        well as skill.

        Examples
        --------
        >>> result.best("sharpe", n=3)[["stop_loss", "rebalance", "sharpe"]]   # doctest: +SKIP
        """
        if isinstance(n, bool) or not isinstance(n, numbers.Integral) or n < 1:
            raise InputError(f"n must be a whole number >= 1, got {n!r}")
        values = self._metric(metric).dropna()
        order = values.sort_values(ascending=ascending, kind="stable").index[:n]
        return self._deflated().loc[order]

    def _deflated(self) -> pd.DataFrame:
        """The table with ``deflated_sharpe`` and ``trials`` after ``sharpe``."""
        table = self._table.copy()
        if "sharpe" not in table:  # no run succeeded
            return table
        per_bar = (table["sharpe"] / np.sqrt(table["periods_per_year"])).to_numpy()
        known = per_bar[~np.isnan(per_bar)]
        variance = float(np.var(known, ddof=1)) if len(known) > 1 else 0.0
        moments = zip(
            per_bar,
            table["bars"].to_numpy(dtype=np.float64, na_value=np.nan),
            table["skewness"].to_numpy(),
            table["kurtosis"].to_numpy(),
        )
        deflated = [
            math.nan
            if math.isnan(sharpe)
            else deflated_sharpe_from_moments(sharpe, len(known), variance, int(bars) - 1, skewness, kurtosis)
            for sharpe, bars, skewness, kurtosis in moments
        ]
        where = list(table.columns).index("sharpe") + 1
        table.insert(where, "deflated_sharpe", np.asarray(deflated, dtype=np.float64))
        table.insert(where + 1, "trials", len(known))
        return table

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

    def to_html(
        self,
        path: str | os.PathLike[str] | None = None,
        *,
        title: str = "Parameter sweep",
        x: str | None = None,
        y: str | None = None,
        metric: str = "sharpe",
        splits: int = 16,
    ) -> str:
        """The sweep as one self-contained HTML page (Jinja2 and matplotlib,
        the ``report`` extra): how many runs succeeded, failed and came from
        the store, the heatmap of `metric` (:meth:`plot`), the 10 best runs by
        it with their deflated Sharpe ratios, the first errors of failed runs,
        and, when the sweep kept its returns, the probability of overfitting
        with both figures of :meth:`plot_overfitting`.

        Parameters
        ----------
        path : str or os.PathLike, optional
            Where to write the page (UTF-8), besides returning it.
        title : str
            The page's title.
        x, y : str, optional
            The swept parameters of the heatmap; by default the first two that
            take more than one value (with fewer, the page says why it has no
            heatmap).
        metric : str, default "sharpe"
            The statistic of the heatmap and of the best runs; also what "best"
            means for :meth:`overfitting`: the Sharpe ratio for ``"sharpe"``,
            the compounded return for ``"total_return"`` and ``"cagr"`` (which
            rank runs over the same bars alike), and the Sharpe ratio for any
            other statistic, which is not made of the returns alone.
        splits : int, default 16
            As for :meth:`overfitting`.

        Examples
        --------
        >>> result.to_html("sweep.html", metric="cagr")   # doctest: +SKIP
        """
        from tolvane.report import html

        page = html.render_sweep(self, title=title, x=x, y=y, metric=metric, splits=splits)
        if path is not None:
            with open(path, "w", encoding="utf-8") as file:
                file.write(page)
        return page
