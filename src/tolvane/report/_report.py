"""The result of a backtest: :class:`Report`.

A report owns everything its run produced (a record of arrays), builds
pandas objects from it on first use, and saves to and loads from JSON.
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Mapping
from functools import cached_property
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from tolvane import stats as _stats
from tolvane._dates import local_nanoseconds
from tolvane.report import _money, _persistence
from tolvane.report._record import RunRecord
from tolvane.report._trade_table import excursion_table, trade_table

if TYPE_CHECKING:
    from matplotlib.figure import Figure
    from pandas._libs.tslibs.nattype import NaTType


def _percent(value: float) -> str:
    return "n/a" if not math.isfinite(value) else f"{value:+.2%}"


class Report:
    """Everything one backtest produced: equity curve, trades with their
    excursions, pending actions and statistics.

    Made by :func:`tolvane.backtest` (or :meth:`Report.load`); read-only.

    Examples
    --------
    >>> import pandas as pd, tolvane
    >>> dates = pd.bdate_range("2024-01-01", periods=4)
    >>> close = pd.DataFrame({"AAA": [10.0, 10.0, 11.0, 12.0]}, index=dates)
    >>> position = pd.DataFrame({"AAA": [1.0]}, index=dates[:1])
    >>> report = tolvane.backtest(position, close, fee_ratio=0, tax_ratio=0)
    >>> report.equity.round(4).tolist()
    [1.0, 1.0, 1.1, 1.2]
    >>> report.trades[["ticker", "entry_date", "return"]]  # doctest: +NORMALIZE_WHITESPACE
          ticker entry_date  return
    trade
    0        AAA 2024-01-02     0.2
    """

    def __init__(self, record: RunRecord) -> None:
        self._record = record
        # Dates of two frames may differ in unit: compare them as dates.
        start = int(record.dates.searchsorted(record.position_dates[0])) if len(record.position_dates) else 0
        self._start = min(start, len(record.dates) - 1)

    # ----------------------------------------------------------------- series
    @cached_property
    def equity(self) -> pd.Series:
        """Portfolio value at each bar's close per unit of the capital: 1.0 at
        the start (times :attr:`capital` for the amount of money)."""
        return pd.Series(self._record.equity, index=self._record.dates, name="equity")

    @property
    def capital(self) -> float | None:
        """The money the run started from (None: a capital of 1.0, in fractions)."""
        return self._record.capital

    @cached_property
    def returns(self) -> pd.Series:
        """Simple return of each bar (the first bar's against the capital of 1.0)."""
        values = self._record.equity
        returns = np.empty_like(values)
        returns[:1] = values[:1] - 1
        with np.errstate(divide="ignore", invalid="ignore"):  # a value of 0 gives inf or NaN, by rule
            returns[1:] = values[1:] / values[:-1] - 1
        return pd.Series(returns, index=self._record.dates, name="returns")

    @cached_property
    def drawdown(self) -> pd.Series:
        """Fall of the equity below its running peak (0 at a peak, -0.1 ten percent below)."""
        values = self._record.equity
        with np.errstate(divide="ignore", invalid="ignore"):  # a peak of 0 gives NaN, by rule
            drawdown = values / np.maximum.accumulate(values) - 1
        return pd.Series(drawdown, index=self._record.dates, name="drawdown")

    @property
    def tickers(self) -> pd.Index:
        """The position frame's tickers."""
        return self._record.tickers

    @property
    def benchmark(self) -> pd.Series | None:
        """The benchmark's prices on the bars (NaN before it starts), or None."""
        return self._record.benchmark

    @property
    def settings(self) -> dict[str, Any]:
        """The run's options as given (stops per ticker or per date summarised)."""
        return dict(self._record.settings)

    # ----------------------------------------------------------------- trades
    @cached_property
    def trades(self) -> pd.DataFrame:
        """One row per trade, closed trades first (in exit order), then open ones.

        Columns: ``ticker``; ``entry_date`` and ``exit_date`` (NaT while open),
        the bars bought and sold at; ``signal_date``, the bar before the entry,
        whose close decided it; ``exit_signal_date``, the bar whose price
        decided the exit (the exit bar itself with touched exits);
        ``exit_reason``, why the trade ended: ``rebalance`` (sold or resized
        by a rebalance), ``stop_loss``, ``take_profit``, ``trailing_stop``,
        ``delisting``, or ``open`` (still held at the end); ``weight``,
        the share of the portfolio at entry (negative for a short);
        ``entry_price`` and ``exit_price``, the fill prices of its orders
        (slippage included; a resize's trade price where a rebalance splits
        a position's record; NaN while open); ``quantity``, shares at entry
        (units of a capital of 1.0 without a capital); ``profit``, in money
        with a capital (else a share of the starting 1.0), its costs paid;
        ``costs``, the fees and taxes of its orders;
        ``bars_held`` (to the end of the data while open); ``return`` of the
        trade at its exit (at the last bar while open), costs included,
        from the prices the book traded at; the
        excursion statistics over the whole trade: ``mae`` (maximum adverse
        excursion), ``gmfe`` (global maximum favourable excursion), ``bmfe``
        (favourable excursion before the MAE), ``mdd`` (deepest drawdown
        within the trade) and ``profit_bars`` (bars in profit); and
        ``entry_bar``/``exit_bar`` (bar numbers, -1 while open).
        """
        return trade_table(self._record)

    @cached_property
    def orders(self) -> pd.DataFrame:
        """Every order the run carried out, in the run's order.

        Columns: ``date`` (the bar it was carried out at), ``ticker``,
        ``side`` (``buy`` or ``sell``), ``reason`` (``rebalance`` for entries
        and resizes, else the exit's: ``stop_loss``, ``take_profit``,
        ``trailing_stop``, ``delisting``), ``quantity`` (shares with a
        capital, else units of a capital of 1.0), ``price`` (the fill price,
        slippage included), ``value`` (quantity times price), ``fee``,
        ``tax`` and ``cash`` (the cash after the order).

        Examples
        --------
        >>> import pandas as pd, tolvane
        >>> dates = pd.bdate_range("2024-01-01", periods=3)
        >>> close = pd.DataFrame({"AAA": [10.0, 10.0, 12.0]}, index=dates)
        >>> position = pd.DataFrame({"AAA": [1.0, 0.0]}, index=dates[:2])
        >>> report = tolvane.backtest(position, close, capital=1000, lot_size=10, fee_ratio=0, tax_ratio=0)
        >>> report.orders["side"].tolist(), report.orders["quantity"].tolist(), report.orders["cash"].tolist()
        (['buy', 'sell'], [100.0, 100.0], [0.0, 1200.0])
        """
        return _money.orders(self._record)

    def holdings(self, kind: _money.HoldingsKind = "weight") -> pd.DataFrame:
        """Holdings at each bar's close, dates x the tickers the run traded,
        built from the orders and the prices.

        Parameters
        ----------
        kind : {"weight", "value", "shares"}
            ``"shares"``: shares held (units of a capital of 1.0 without a
            capital); ``"value"``: their value at the close in money (the
            last known trade price when the bar lacks a price); ``"weight"``:
            their share of the portfolio's value. The values and the cash
            add up to the portfolio's value.

        Examples
        --------
        >>> import pandas as pd, tolvane
        >>> dates = pd.bdate_range("2024-01-01", periods=3)
        >>> close = pd.DataFrame({"AAA": [10.0, 10.0, 12.0]}, index=dates)
        >>> position = pd.DataFrame({"AAA": [0.5]}, index=dates[:1])
        >>> report = tolvane.backtest(position, close, capital=1000, fee_ratio=0, tax_ratio=0)
        >>> report.holdings("value")["AAA"].tolist()
        [0.0, 500.0, 600.0]
        """
        return _money.holdings(self._record, kind)

    @cached_property
    def excursions(self) -> pd.DataFrame:
        """The sampled excursion profile of each trade (with ``excursion_window > 0``).

        One row per trade and sampled bar offset ``0, step, 2*step, ...`` below
        the window: ``trade`` (the row of :attr:`trades`), ``offset`` (bars
        after the entry) and the statistics of the position up to that bar
        (``mae``, ``gmfe``, ``bmfe``, ``mdd``, ``profit_bars``, ``return``).
        The profile follows the price past an exit that comes before the end
        of the window (what the trade would have done had it been held);
        offsets beyond the last bar of the data are left out. Empty without a
        window.
        """
        return excursion_table(self._record)

    # ---------------------------------------------------------------- actions
    @cached_property
    def actions(self) -> pd.DataFrame:
        """Tomorrow's orders, from the stock operations the run left.

        One row per ticker with a weight in force, a next weight or an action:
        ``weight`` (applied at the latest rebalance; 0 when sold since),
        ``next_weight`` (of the target in force at the end, stopped stocks
        left out) and ``action`` (missing when nothing is pending), one of
        :data:`tolvane.report.ACTIONS`:

        - ``enter``: a rebalance is due and the stock, not held now, is bought;
        - ``exit``: a rebalance is due and the held stock is sold;
        - ``hold``: a rebalance is due and the held stock stays held;
        - ``tp`` / ``sl``: an exit on the upper (take profit) / lower (stop
          loss, trailing stop) threshold is queued for the next bar;
        - ``tp_enter`` / ``sl_enter``: the same, but the next target holds the
          stock again;
        - ``tp_`` / ``sl_``: the stock was sold on its upper / lower threshold
          since the latest rebalance.
        """
        operations = self._record.operations
        sids = sorted(set(operations.weights) | set(operations.next_weights) | set(operations.actions))
        frame = pd.DataFrame(
            {
                "weight": [operations.weights.get(sid, 0.0) for sid in sids],
                "next_weight": [operations.next_weights.get(sid, 0.0) for sid in sids],
                "action": pd.array([operations.actions.get(sid) for sid in sids], dtype="string"),
            },
            index=pd.Index(self._record.tickers[sids] if sids else [], name="ticker"),
        )
        return frame

    @property
    def weights_date(self) -> pd.Timestamp | NaTType:
        """Date of the target row applied at the latest rebalance (NaT: none)."""
        return self._position_date(self._record.operations.weight_row)

    @property
    def next_weights_date(self) -> pd.Timestamp | NaTType:
        """Date of the target row in force at the end of the run."""
        return self._position_date(self._record.operations.next_weight_row)

    def _position_date(self, row: int) -> pd.Timestamp | NaTType:
        dates = self._record.position_dates
        return dates[row] if 0 <= row < len(dates) else pd.NaT

    # -------------------------------------------------------------- statistics
    def stats(self, risk_free: float = 0.0, periods_per_year: float | None = None) -> pd.Series:
        """Performance statistics from the first target row's bar to the last bar.

        Parameters
        ----------
        risk_free : float, default 0
            Annual risk-free rate, for the Sharpe and Sortino ratios and alpha.
        periods_per_year : float, optional
            Bars per year for annualising; inferred from the dates by default
            (252 for business days, 365 with weekend bars, 52 weekly, 12
            monthly, ...).

        Returns
        -------
        pandas.Series
            ``start``, ``end``, ``bars``, ``periods_per_year``,
            ``total_return``, ``cagr``, ``volatility`` (annualised),
            ``sharpe``, ``sortino``, ``skewness`` and ``kurtosis`` of the
            bar returns (m3 / m2**1.5 and m4 / m2**2: 3 for normal returns;
            what the deflated Sharpe ratio of a sweep needs), ``max_drawdown``
            with its
            ``max_drawdown_peak``, ``_trough`` and ``_recovery`` dates (NaT if
            not recovered), ``calmar``, ``trades``, ``win_rate``,
            ``average_win``, ``average_loss``, ``profit_factor``,
            ``expectancy`` (the mean return of closed trades),
            ``average_bars_held``, ``exposure`` (share of bars with a
            position held over the close) and ``turnover`` (portfolio share
            bought into new positions per year); with a benchmark also
            ``benchmark_cagr``, ``benchmark_max_drawdown``, ``beta``,
            ``alpha`` (annualised) and ``correlation``; then ``costs``, the
            fees and taxes of every order (in money with a capital, else a
            share of the starting 1.0), ``costs_per_year`` over the bars from
            the first target row on, and ``final_amount``, the portfolio's
            value at the end (in money with a capital). Trade statistics
            count closed trades with a return; a trade's return is per unit
            invested.
        """
        record = self._record
        values = _stats.summary(
            record.equity,
            local_nanoseconds(record.dates),
            self._start,
            record.trade_stock,
            record.entry_bar,
            record.exit_bar,
            record.entry_weight,
            record.layout.exit_blocks(record.profiles)[:, record.layout.field("return")],
            benchmark=None if record.benchmark is None else record.benchmark.to_numpy(dtype=np.float64),
            risk_free=risk_free,
            per_year=periods_per_year,
        )
        values.update(_money.costs_paid(record, values["periods_per_year"], self._start))
        for name in ("start", "end", "max_drawdown_peak", "max_drawdown_trough", "max_drawdown_recovery"):
            bar = values[name]
            values[name] = record.dates[bar] if bar >= 0 else pd.NaT
        return pd.Series(values, dtype=object, name="stats")

    # ------------------------------------------------------------ presentation
    def plot(self, kind: str = "equity", **options: Any) -> Figure:
        """A figure of the run (matplotlib, the ``report`` extra); never shown by itself.

        Parameters
        ----------
        kind : {"equity", "monthly", "excursions", "trades", "exposure"}
            - ``"equity"``: the equity curve (benchmark overlaid) above the
              drawdown, the maximum drawdown's span shaded; ``log=True`` for a
              log scale;
            - ``"monthly"``: heatmap of monthly returns with yearly totals;
            - ``"excursions"``: MAE and GMFE against the return of each closed
              trade, and with an excursion window their median and quartiles
              over the bars after entry;
            - ``"trades"``: histograms of trade returns and bars held;
            - ``"exposure"``: number of positions and invested share over time.

        Returns
        -------
        matplotlib.figure.Figure
            Save it with ``fig.savefig(path)``; in a notebook it displays itself.
        """
        from tolvane.report import figures

        return figures.draw(self, kind, **options)

    def to_html(self, path: str | os.PathLike[str], title: str = "Backtest report") -> None:
        """Write the report as one self-contained HTML page (Jinja2 and
        matplotlib, the ``report`` extra): run settings, statistics, the five
        figures of :meth:`plot`, the first 100 trades and the actions. It
        needs nothing else to open (no network, scripts or fonts)."""
        from tolvane.report import html

        html.write(self, path, title=title)

    def _repr_html_(self) -> str | None:
        """Notebook display: the statistics and the equity figure (plain text
        without the ``report`` extra)."""
        from tolvane.report import html

        try:
            return html.render(self, compact=True)
        except ImportError:
            return None

    def __repr__(self) -> str:
        record = self._record
        stats = self.stats()
        open_trades = int((record.exit_bar < 0).sum())
        return (
            f"<tolvane.Report {stats['start']:%Y-%m-%d} .. {stats['end']:%Y-%m-%d}, {stats['bars']} bars, "
            f"{len(record.tickers)} tickers\n"
            f" total return {_percent(stats['total_return'])}, CAGR {_percent(stats['cagr'])}, "
            f"max drawdown {_percent(stats['max_drawdown'])}, Sharpe {stats['sharpe']:.2f}\n"
            f" {stats['trades']} trades ({open_trades} open), win rate "
            f"{'n/a' if not math.isfinite(stats['win_rate']) else format(stats['win_rate'], '.1%')}\n"
            f" costs: {_money.costs_used(record.settings)}>"
        )

    # ------------------------------------------------------------- persistence
    def to_dict(self) -> dict[str, Any]:
        """The report as JSON-ready data: settings, statistics, equity, trades,
        stock operations and benchmark; :meth:`from_dict` restores it."""
        return _persistence.to_data(self._record, self.stats())

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Report:
        """Restore a report from :meth:`to_dict`'s data."""
        return cls(_persistence.from_data(data))

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the report to a JSON file that :meth:`load` reads back."""
        with open(path, "w", encoding="utf-8") as file:
            json.dump(self.to_dict(), file, allow_nan=False)

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Report:
        """Read a report written by :meth:`save`; it compares with a new run
        without running it again."""
        with open(path, encoding="utf-8") as file:
            return cls.from_dict(json.load(file))
