"""The result of a walk-forward validation: :class:`WalkForwardResult`."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

import pandas as pd

from tolvane.stats import return_statistics

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from tolvane.sweep._result import SweepResult


class WalkForwardResult:
    """The folds of a walk-forward validation and their stitched test windows.

    Made by :func:`tolvane.walk_forward`.

    Examples
    --------
    >>> result = tolvane.walk_forward(position, close, grid=grid, train="3YE", test="6ME")  # doctest: +SKIP
    >>> result.folds[["test_start", "stop_loss", "in_sample_sharpe", "out_of_sample_sharpe"]]  # doctest: +SKIP
    >>> result.stats()                                                                 # doctest: +SKIP
    >>> result.to_html("walk-forward.html")                                            # doctest: +SKIP
    """

    def __init__(
        self,
        *,
        folds: pd.DataFrame,
        returns: pd.Series,
        hindsight: pd.Series | None,
        hindsight_run: int | None,
        sweep: SweepResult,
        metric: str,
        periods_per_year: float,
    ) -> None:
        self._folds = folds
        self._returns = returns
        self._hindsight = hindsight
        self._hindsight_run = hindsight_run
        self._sweep = sweep
        self._metric = metric
        self._per_year = periods_per_year

    @property
    def folds(self) -> pd.DataFrame:
        """A copy of the folds, one row each (index ``fold``): the windows'
        first and last dates (``train_start``, ``train_end``, ``test_start``,
        ``test_end``), the chosen ``run`` (a row of :attr:`sweep`'s table;
        missing when no run had the metric), its parameters, and
        ``in_sample_*`` and ``out_of_sample_*`` statistics of the chosen run
        on each window (:data:`tolvane.stats.RETURN_STATISTICS`)."""
        return self._folds.copy()

    @property
    def returns(self) -> pd.Series:
        """The out-of-sample returns: each fold's chosen run on its test
        window, the windows one after the other."""
        return self._returns.copy()

    @property
    def equity(self) -> pd.Series:
        """The out-of-sample equity: 1.0 grown by :attr:`returns`."""
        return (1 + self._returns).cumprod().rename("equity")

    @property
    def hindsight(self) -> pd.Series | None:
        """The returns, on the same bars as :attr:`returns`, of the run that
        was best on them by the metric: what choosing with hindsight would
        have made. None when no run has the metric there."""
        return None if self._hindsight is None else self._hindsight.copy()

    @property
    def hindsight_run(self) -> int | None:
        """The row of :attr:`sweep`'s table of the best run in hindsight."""
        return self._hindsight_run

    @property
    def sweep(self) -> SweepResult:
        """The sweep of the grid over all the bars, with its runs' returns
        kept (:meth:`SweepResult.overfitting` works on it)."""
        return self._sweep

    @property
    def metric(self) -> str:
        """The statistic the best run of each training window was picked by."""
        return self._metric

    @property
    def periods_per_year(self) -> float:
        """Bars per year, as the statistics annualise."""
        return self._per_year

    def stats(self) -> pd.Series:
        """The statistics of the stitched out-of-sample returns
        (:data:`tolvane.stats.RETURN_STATISTICS`), with ``start``, ``end``,
        ``bars`` and ``folds``.

        Examples
        --------
        >>> result.stats()[["total_return", "sharpe", "max_drawdown"]]   # doctest: +SKIP
        """
        dates = self._returns.index
        head: dict[str, Any] = {
            "start": dates[0],
            "end": dates[-1],
            "bars": len(dates),
            "folds": len(self._folds),
        }
        return pd.Series({**head, **return_statistics(self._returns.to_numpy(), self._per_year)}, dtype=object)

    def __repr__(self) -> str:
        statistics = return_statistics(self._returns.to_numpy(), self._per_year)
        return (
            f"<tolvane.WalkForwardResult {len(self._folds)} folds of {len(self._sweep)} runs by {self._metric}: "
            f"out of sample {self._returns.index[0]:%Y-%m-%d} to {self._returns.index[-1]:%Y-%m-%d}, "
            f"total return {statistics['total_return']:+.2%}, sharpe {statistics['sharpe']:.2f}>"
        )

    def plot(self, kind: str = "equity", *, ax: Axes | None = None) -> Figure:
        """A figure of the validation.

        Parameters
        ----------
        kind : {"equity", "folds"}
            ``"equity"``: the out-of-sample equity against the best run in
            hindsight on the same bars, the folds' test windows marked;
            ``"folds"``: the metric in sample and out of sample, fold by fold.
        ax : matplotlib Axes, optional
            Where to draw; by default on a new figure.

        Examples
        --------
        >>> result.plot("equity").savefig("walk-forward.png")   # doctest: +SKIP
        """
        from tolvane.report import figures

        return figures.draw_walk_forward(self, kind, ax=ax)

    def to_html(self, path: str | os.PathLike[str] | None = None, *, title: str = "Walk-forward validation") -> str:
        """The validation as one self-contained HTML page: the folds, the
        out-of-sample statistics and both figures.

        Parameters
        ----------
        path : str or os.PathLike, optional
            Where to write the page (UTF-8), besides returning it.
        title : str
            The page's title.

        Examples
        --------
        >>> result.to_html("walk-forward.html")   # doctest: +SKIP
        """
        from tolvane.report import html

        page = html.render_walk_forward(self, title=title)
        if path is not None:
            with open(path, "w", encoding="utf-8") as file:
                file.write(page)
        return page
