"""The result of a backtest: :class:`Report`.

A report owns everything its run produced (the engine keeps a run's trades
in module state that the next run replaces), builds pandas objects from it
on first use, and saves to and loads from JSON.
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Mapping
from dataclasses import dataclass
from functools import cached_property
from typing import TYPE_CHECKING, Any, Literal, cast

import numpy as np
import pandas as pd

from tolvane import stats as _stats
from tolvane._engine import EXCURSION_FIELDS, RunResult, StockOperations, profile_length
from tolvane._inputs import FloatArray, IntArray, RunInputs

if TYPE_CHECKING:
    from matplotlib.figure import Figure
    from pandas._libs.tslibs.nattype import NaTType

#: What each action of :attr:`Report.actions` asks for at the next bar.
ACTIONS = {
    "enter": "a rebalance is due; the stock, not held now, is bought",
    "exit": "a rebalance is due; the stock, held now, is sold",
    "hold": "a rebalance is due; the stock stays held, resized to its next weight",
    "tp": "an exit on the upper threshold (take profit) is queued for the next bar",
    "sl": "an exit on the lower threshold (stop loss or trailing stop) is queued for the next bar",
    "tp_enter": "as tp, but the next target holds the stock again",
    "sl_enter": "as sl, but the next target holds the stock again",
    "tp_": "sold on its upper threshold since the latest rebalance (not bought back at the next one)",
    "sl_": "sold on its lower threshold since the latest rebalance (not bought back at the next one)",
}

_FORMAT = "tolvane.report"
_FORMAT_VERSION = 1

@dataclass(frozen=True)
class RunRecord:
    """Everything a report is built from; what :meth:`Report.save` keeps."""

    dates: pd.DatetimeIndex
    tickers: pd.Index
    position_dates: pd.DatetimeIndex
    equity: FloatArray
    trade_stock: IntArray
    entry_bar: IntArray
    exit_bar: IntArray
    entry_weight: FloatArray
    profiles: FloatArray
    operations: StockOperations
    settings: Mapping[str, Any]
    benchmark: pd.Series | None

    @classmethod
    def of_run(cls, inputs: RunInputs, result: RunResult) -> RunRecord:
        return cls(dates=inputs.dates, tickers=inputs.tickers, position_dates=inputs.position_dates,
                   equity=result.equity, trade_stock=result.trade_stock, entry_bar=result.entry_bar,
                   exit_bar=result.exit_bar, entry_weight=result.entry_weight, profiles=result.profiles,
                   operations=result.operations, settings=dict(inputs.settings), benchmark=inputs.benchmark)


def _local_nanoseconds(dates: pd.DatetimeIndex) -> IntArray:
    wall = dates.tz_localize(None) if dates.tz is not None else dates
    return np.asarray(wall.as_unit("ns").asi8, dtype=np.int64)


def _dates_at(dates: pd.DatetimeIndex, bars: IntArray) -> pd.DatetimeIndex:
    """``dates[bar]`` for each bar, NaT where the bar is outside the dates."""
    inside = (bars >= 0) & (bars < len(dates))
    return pd.DatetimeIndex(dates.array.take(np.where(inside, bars, -1), allow_fill=True))


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
    >>> report.trades[["ticker", "entry_date", "return"]]
          ticker entry_date  return
    trade
    0        AAA 2024-01-02     0.2
    """

    def __init__(self, record: RunRecord) -> None:
        self._record = record
        start = np.searchsorted(record.dates.asi8, record.position_dates.asi8[:1], side="left")
        self._start = int(min(start[0], len(record.dates) - 1)) if len(start) else 0

    # ----------------------------------------------------------------- series
    @cached_property
    def equity(self) -> pd.Series:
        """Portfolio value at each bar's close, from a capital of 1.0."""
        return pd.Series(self._record.equity, index=self._record.dates, name="equity")

    @cached_property
    def returns(self) -> pd.Series:
        """Simple return of each bar (the first bar's against the capital of 1.0)."""
        values = self._record.equity
        returns = np.empty_like(values)
        returns[:1] = values[:1] - 1
        returns[1:] = values[1:] / values[:-1] - 1
        return pd.Series(returns, index=self._record.dates, name="returns")

    @cached_property
    def drawdown(self) -> pd.Series:
        """Fall of the equity below its running peak (0 at a peak, -0.1 ten percent below)."""
        values = self._record.equity
        return pd.Series(values / np.maximum.accumulate(values) - 1, index=self._record.dates, name="drawdown")

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
        decided the exit (the exit bar itself with touched exits); ``weight``,
        the share of the portfolio at entry (negative for a short);
        ``bars_held`` (to the end of the data while open); ``return`` of the
        trade at its exit (at the last bar while open), costs included; the
        excursion statistics over the whole trade: ``mae`` (maximum adverse
        excursion), ``gmfe`` (global maximum favourable excursion), ``bmfe``
        (favourable excursion before the MAE), ``mdd`` (deepest drawdown
        within the trade) and ``profit_bars`` (bars in profit); and
        ``entry_bar``/``exit_bar`` (bar numbers, -1 while open).
        """
        record = self._record
        dates = record.dates
        entry, exit_ = record.entry_bar, record.exit_bar
        open_ = exit_ < 0
        touched = bool(record.settings.get("touched_exit", False))
        exit_block = record.profiles[:, -6:]
        columns: dict[str, Any] = {
            "ticker": record.tickers.take(record.trade_stock).array,
            "entry_date": _dates_at(dates, entry),
            "exit_date": _dates_at(dates, np.where(open_, -1, exit_)),
            "signal_date": _dates_at(dates, entry - 1),
            "exit_signal_date": _dates_at(dates, np.where(open_, -1, exit_ if touched else exit_ - 1)),
            "weight": record.entry_weight,
            "bars_held": np.where(open_, len(dates) - entry, exit_ - entry),
        }
        block = dict(zip(EXCURSION_FIELDS, exit_block.T))
        columns["return"] = block.pop("return")
        columns.update(block)
        columns["profit_bars"] = columns["profit_bars"].astype(np.int64)
        columns["entry_bar"], columns["exit_bar"] = entry, exit_
        frame = pd.DataFrame(columns, copy=False)
        frame.index.name = "trade"
        return frame

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
        record = self._record
        window = int(record.settings.get("excursion_window", 0))
        step = int(record.settings.get("excursion_window_step", 1))
        names = ["trade", "offset", *EXCURSION_FIELDS]
        if window <= 0 or not len(record.profiles):
            return pd.DataFrame({name: pd.Series(dtype=np.int64 if name in ("trade", "offset", "profit_bars")
                                                 else np.float64)
                                 for name in names})
        samples = (profile_length(window, step) - 6) // 6
        blocks = record.profiles[:, : 6 * samples].reshape(len(record.profiles), samples, 6)
        trade, sample = np.nonzero(blocks[:, :, 4] >= 0)  # unsampled blocks hold -1 everywhere
        values = blocks[trade, sample]
        frame = pd.DataFrame({"trade": trade.astype(np.int64), "offset": (sample * step).astype(np.int64)})
        for k, name in enumerate(EXCURSION_FIELDS):
            frame[name] = values[:, k]
        frame["profit_bars"] = frame["profit_bars"].astype(np.int64)
        return frame

    # ---------------------------------------------------------------- actions
    @cached_property
    def actions(self) -> pd.DataFrame:
        """Tomorrow's orders, from the stock operations the run left.

        One row per ticker with a weight in force, a next weight or an action:
        ``weight`` (applied at the latest rebalance; 0 when sold since),
        ``next_weight`` (of the target in force at the end, stopped stocks
        left out) and ``action`` (missing when nothing is pending), one of
        :data:`ACTIONS`:

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
        frame = pd.DataFrame({
            "weight": [operations.weights.get(sid, 0.0) for sid in sids],
            "next_weight": [operations.next_weights.get(sid, 0.0) for sid in sids],
            "action": pd.array([operations.actions.get(sid) for sid in sids], dtype="string"),
        }, index=pd.Index(self._record.tickers[sids] if sids else [], name="ticker"))
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
            ``sharpe``, ``sortino``, ``max_drawdown`` with its
            ``max_drawdown_peak``, ``_trough`` and ``_recovery`` dates (NaT if
            not recovered), ``calmar``, ``trades``, ``win_rate``,
            ``average_win``, ``average_loss``, ``profit_factor``,
            ``expectancy`` (the mean return of closed trades),
            ``average_bars_held``, ``exposure`` (share of bars with a
            position held over the close) and ``turnover`` (portfolio share
            bought into new positions per year); with a benchmark also
            ``benchmark_cagr``, ``benchmark_max_drawdown``, ``beta``,
            ``alpha`` (annualised) and ``correlation``. Trade statistics count
            closed trades with a return (a trade of a stock whose prices
            stopped has none); a trade's return is per unit invested.
        """
        record = self._record
        values = _stats.summary(
            record.equity, _local_nanoseconds(record.dates), self._start, record.trade_stock,
            record.entry_bar, record.exit_bar, record.entry_weight, record.profiles[:, -1],
            benchmark=None if record.benchmark is None else record.benchmark.to_numpy(dtype=np.float64),
            risk_free=risk_free, per_year=periods_per_year)
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
        from tolvane import plots

        return plots.figure(self, kind, **options)

    def to_html(self, path: str | os.PathLike[str], title: str = "Backtest report") -> None:
        """Write the report as one self-contained HTML page (Jinja2 and
        matplotlib, the ``report`` extra): run settings, statistics, the five
        figures of :meth:`plot`, the first 100 trades and the actions. It
        needs nothing else to open (no network, scripts or fonts)."""
        from tolvane import html

        html.write(self, path, title=title)

    def _repr_html_(self) -> str | None:
        """Notebook display: the statistics and the equity figure (plain text
        without the ``report`` extra)."""
        from tolvane import html

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
            f"{'n/a' if not math.isfinite(stats['win_rate']) else format(stats['win_rate'], '.1%')}>"
        )

    # ------------------------------------------------------------- persistence
    def to_dict(self) -> dict[str, Any]:
        """The report as JSON-ready data: settings, statistics, equity, trades,
        stock operations and benchmark; :meth:`from_dict` restores it."""
        record = self._record
        stats = self.stats()
        return {
            "format": _FORMAT,
            "version": _FORMAT_VERSION,
            "settings": {name: _json_value(value) for name, value in record.settings.items()},
            "stats": {name: _json_value(value) for name, value in stats.items()},
            "timezone": None if record.dates.tz is None else str(record.dates.tz),
            "date_unit": record.dates.unit,
            "date_frequency": record.dates.freqstr,
            "dates": _iso(record.dates),
            "position_dates": _iso(record.position_dates),
            "tickers": [_json_value(ticker) for ticker in record.tickers],
            "equity": _floats(record.equity),
            "benchmark": None if record.benchmark is None else {
                "name": _json_value(record.benchmark.name), "prices": _floats(record.benchmark.to_numpy())},
            "trades": {
                "ticker": [_json_value(ticker) for ticker in record.tickers[record.trade_stock]],
                "entry_bar": record.entry_bar.tolist(),
                "exit_bar": record.exit_bar.tolist(),
                "weight": _floats(record.entry_weight),
                "profile": [_floats(profile) for profile in record.profiles],
            },
            "operations": {
                "weights": {str(sid): _json_value(w) for sid, w in record.operations.weights.items()},
                "next_weights": {str(sid): _json_value(w) for sid, w in record.operations.next_weights.items()},
                "actions": {str(sid): a for sid, a in record.operations.actions.items()},
                "weight_row": record.operations.weight_row,
                "next_weight_row": record.operations.next_weight_row,
            },
        }

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Report:
        """Restore a report from :meth:`to_dict`'s data."""
        if data.get("format") != _FORMAT:
            raise ValueError("not a saved tolvane report (its 'format' is not 'tolvane.report')")
        if data.get("version") != _FORMAT_VERSION:
            raise ValueError(f"saved report version {data.get('version')} is not supported "
                             f"(this tolvane reads version {_FORMAT_VERSION})")
        timezone, unit = data["timezone"], data["date_unit"]
        tickers = pd.Index(data["tickers"])
        trades = data["trades"]
        settings = dict(data["settings"])
        window = int(settings.get("excursion_window", 0))
        step = int(settings.get("excursion_window_step", 1))
        width = profile_length(window, step)
        dates = pd.DatetimeIndex(_dates(data["dates"], timezone, unit), freq=data["date_frequency"])
        benchmark = data["benchmark"]
        operations = data["operations"]
        record = RunRecord(
            dates=dates,
            tickers=tickers,
            position_dates=_dates(data["position_dates"], timezone, unit),
            equity=_array(data["equity"]),
            trade_stock=np.asarray(tickers.get_indexer(pd.Index(trades["ticker"], dtype=tickers.dtype)), dtype=np.int64),
            entry_bar=np.asarray(trades["entry_bar"], dtype=np.int64),
            exit_bar=np.asarray(trades["exit_bar"], dtype=np.int64),
            entry_weight=_array(trades["weight"]),
            profiles=_array(trades["profile"]).reshape(len(trades["entry_bar"]), width),
            operations=StockOperations(
                weights={int(sid): _float(w) for sid, w in operations["weights"].items()},
                next_weights={int(sid): _float(w) for sid, w in operations["next_weights"].items()},
                actions={int(sid): str(a) for sid, a in operations["actions"].items()},
                weight_row=int(operations["weight_row"]),
                next_weight_row=int(operations["next_weight_row"]),
            ),
            settings=settings,
            benchmark=None if benchmark is None else pd.Series(
                _array(benchmark["prices"]), index=dates, name=benchmark["name"]),
        )
        return cls(record)

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


def _float(value: Any) -> float:
    return math.nan if value is None else float(value)


def _floats(values: Any) -> list[float | None]:
    return [None if value != value else value for value in np.asarray(values, dtype=np.float64).tolist()]


def _array(values: Any) -> FloatArray:
    return np.array([math.nan if value is None else value for value in _flatten(values)], dtype=np.float64)


def _flatten(values: Any) -> list[Any]:
    if values and isinstance(values[0], list):
        return [item for row in values for item in row]
    return list(values)


def _json_value(value: Any) -> Any:
    """A value JSON can hold: numbers (NaN as null), text, dates as ISO text."""
    if value is None or value is pd.NaT or isinstance(value, (bool, str)):
        return None if value is pd.NaT else value
    if isinstance(value, pd.Timestamp):
        return value.isoformat()
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        number = float(value)
        return number if math.isfinite(number) else (None if number != number else str(number))
    return str(value)


def _iso(dates: pd.DatetimeIndex) -> list[str]:
    return [stamp.isoformat() for stamp in dates]


def _dates(values: list[str], timezone: str | None, unit: str) -> pd.DatetimeIndex:
    if timezone is None:
        dates = pd.DatetimeIndex(pd.to_datetime(values, format="ISO8601"))
    else:
        dates = pd.DatetimeIndex(pd.to_datetime(values, format="ISO8601", utc=True)).tz_convert(timezone)
    return dates.as_unit(cast(Literal["s", "ms", "us", "ns"], unit))
