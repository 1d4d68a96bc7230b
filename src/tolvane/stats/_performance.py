"""Performance statistics of a run, as pure functions of NumPy arrays.

The same functions serve :meth:`tolvane.Report.stats`, sweep workers (which
need only the numbers) and tests written with hand arithmetic. Dates are
int64 nanoseconds of local wall time; results that are dates come back as
bar numbers for the caller to turn into its own dates.

Conventions
-----------
- Returns are simple returns bar to bar: ``r[t] = equity[t] / equity[t-1] - 1``.
- Annualisation uses ``periods_per_year`` bars a year (see
  :func:`periods_per_year`); a year is ``periods_per_year`` returns.
- Volatility, Sharpe and beta use the sample standard deviation (``ddof=1``);
  the Sortino ratio's downside deviation is the root mean square of the
  negative excess returns over all bars.
- A ratio whose denominator is zero or undefined is NaN.
- Every statistic is a finite number or NaN: a value that does not fit a
  double (an overflow) is NaN, and so is one of a run too short for it. The
  one infinity is a profit factor without a losing trade. Nothing warns.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from tolvane._types import FloatArray, IntArray

NANOSECONDS_PER_DAY = 86_400 * 10**9


def periods_per_year(local_ns: IntArray) -> float:
    """Bars per year implied by the spacing of the dates.

    Daily bars give 252 (trading days) unless a tenth or more of them fall on
    weekends (then 365: markets that trade every day); weekly bars 52,
    monthly 12, quarterly 4, yearly 1; intraday bars 252 times the bars per
    day (365 times with weekend bars).

    >>> day = 86_400 * 10**9
    >>> periods_per_year(np.array([4, 5, 6, 7, 8, 11], dtype=np.int64) * day)  # Mon..Fri, Mon
    252.0
    >>> periods_per_year(np.arange(0, 70, 7, dtype=np.int64) * day)
    52.0
    """
    if len(local_ns) < 2:
        return 252.0
    days = local_ns // NANOSECONDS_PER_DAY
    weekday = (days + 3) % 7  # 1970-01-01 was a Thursday: 0 is Monday
    trading_days = 365.0 if np.mean(weekday >= 5) >= 0.1 else 252.0
    gap = float(np.median(np.diff(local_ns))) / NANOSECONDS_PER_DAY
    if gap < 1:
        return trading_days * len(local_ns) / len(np.unique(days))
    for longest, per_year in ((4, trading_days), (10, 52.0), (45, 12.0), (135, 4.0)):
        if gap <= longest:
            return per_year
    return 1.0


def simple_returns(equity: FloatArray) -> FloatArray:
    """``equity[t] / equity[t-1] - 1`` for t = 1 .. n-1."""
    return np.asarray(equity[1:] / equity[:-1] - 1, dtype=np.float64)


def _finite(value: float) -> float:
    """`value`, or NaN when it is not a finite number."""
    number = float(value)
    return number if math.isfinite(number) else math.nan


def _ratio(numerator: float, denominator: float) -> float:
    if denominator == 0 or not math.isfinite(denominator) or not math.isfinite(numerator):
        return math.nan
    return _finite(numerator / denominator)


def cagr(equity: FloatArray, per_year: float) -> float:
    """Compound annual growth over ``len(equity) - 1`` bars (NaN when it does
    not fit a double)."""
    years = (len(equity) - 1) / per_year
    if not len(equity) or not years > 0:
        return math.nan
    with np.errstate(all="ignore"):
        growth = float(equity[-1] / equity[0])
    if not (growth >= 0 and math.isfinite(growth)):
        return math.nan
    try:
        return _finite(growth ** (1 / years) - 1)
    except OverflowError:
        return math.nan


def max_drawdown(equity: FloatArray) -> tuple[float, int, int, int]:
    """The deepest fall from a running peak: ``(depth, peak, trough, recovery)``.

    ``depth`` is ``equity[trough] / equity[peak] - 1`` (<= 0); ``peak`` is the
    last bar of the peak before the trough and ``recovery`` the first bar after
    the trough back at the peak's value. Bars are -1 where there is no such
    bar (no drawdown, or not recovered).

    >>> max_drawdown(np.array([1.0, 1.2, 0.9, 1.0, 1.3]))
    (-0.25, 1, 2, 4)
    """
    if not len(equity):
        return math.nan, -1, -1, -1
    running_peak = np.maximum.accumulate(equity)
    with np.errstate(all="ignore"):
        drawdown = equity / running_peak - 1
    if not np.isfinite(drawdown).any():
        return math.nan, -1, -1, -1
    trough = int(np.nanargmin(np.where(np.isfinite(drawdown), drawdown, np.nan)))
    depth = float(drawdown[trough])
    if not depth < 0:
        return 0.0 if depth == 0 else math.nan, -1, -1, -1
    peak = int(np.flatnonzero(equity[: trough + 1] == running_peak[trough])[-1])
    recovered = np.flatnonzero(equity[trough + 1 :] >= equity[peak])
    recovery = trough + 1 + int(recovered[0]) if len(recovered) else -1
    return depth, peak, trough, recovery


def held_bars(entry_bar: IntArray, exit_bar: IntArray, bars: int) -> npt.NDArray[np.bool_]:
    """For each bar, whether some trade was held over its close.

    A trade is held over the closes of its entry bar up to the bar before its
    exit (to the last bar while open).
    """
    change = np.zeros(bars + 1, dtype=np.int64)
    np.add.at(change, entry_bar, 1)
    np.add.at(change, np.where(exit_bar < 0, bars, exit_bar), -1)
    return np.cumsum(change[:-1]) > 0


def new_position_weights(
    trade_stock: IntArray, entry_bar: IntArray, exit_bar: IntArray, entry_weight: FloatArray
) -> FloatArray:
    """The absolute entry weight of the trades that open a position: a record that only
    continues its stock's previous record (same side, starting on the bar the
    previous one ended, as a rebalance splits a held position) counts 0."""
    side = (entry_weight > 0).astype(np.int64)
    span = int(max(entry_bar.max(initial=0), exit_bar.max(initial=0))) + 2
    ended = (trade_stock * span + exit_bar) * 2 + side
    started = (trade_stock * span + entry_bar) * 2 + side
    continued = np.isin(started, ended[exit_bar >= 0])
    return np.where(continued, 0.0, np.abs(entry_weight))


def summary(
    equity: FloatArray,
    local_ns: IntArray,
    start: int,
    trade_stock: IntArray,
    entry_bar: IntArray,
    exit_bar: IntArray,
    entry_weight: FloatArray,
    trade_return: FloatArray,
    benchmark: FloatArray | None = None,
    risk_free: float = 0.0,
    per_year: float | None = None,
) -> dict[str, Any]:
    """The statistics of a run from bar `start` (where its first target row is
    in force) to its last bar.

    Parameters
    ----------
    equity, local_ns
        Portfolio value at each bar's close and the bars' dates.
    start
        The first bar the statistics cover.
    trade_stock, entry_bar, exit_bar, entry_weight, trade_return
        One element per trade: stock id, entry bar, exit bar (-1 while open),
        signed entry weight and the trade's return (to its exit, or to the
        last bar while open).
    benchmark
        Benchmark prices on the same bars (NaN before it starts), or None.
    risk_free
        Annual risk-free rate for the Sharpe and Sortino ratios and alpha.
    per_year
        Bars per year; inferred from the dates when None.

    Returns
    -------
    dict
        Numbers by name; ``start``, ``end`` and the drawdown dates as bar
        numbers (-1 for none).
    """
    with np.errstate(all="ignore"):
        return _summary(
            equity,
            local_ns,
            start,
            trade_stock,
            entry_bar,
            exit_bar,
            entry_weight,
            trade_return,
            benchmark,
            risk_free,
            per_year,
        )


def _summary(
    equity: FloatArray,
    local_ns: IntArray,
    start: int,
    trade_stock: IntArray,
    entry_bar: IntArray,
    exit_bar: IntArray,
    entry_weight: FloatArray,
    trade_return: FloatArray,
    benchmark: FloatArray | None,
    risk_free: float,
    per_year: float | None,
) -> dict[str, Any]:
    per_year = periods_per_year(local_ns) if per_year is None else float(per_year)
    period = np.asarray(equity[start:], dtype=np.float64)
    returns = simple_returns(period)
    rate = (1 + risk_free) ** (1 / per_year) - 1
    growth = _growth(period, per_year, rate)

    # A trade of a stock whose prices stopped (delisted) has no return.
    closed = (exit_bar >= 0) & np.isfinite(trade_return)
    closed_return = trade_return[closed]
    wins, losses = closed_return[closed_return > 0], closed_return[closed_return < 0]
    gains, pains = float(wins.sum()), float(-losses.sum())
    held = held_bars(entry_bar, exit_bar, len(equity))[start:]
    years = len(returns) / per_year
    bought = new_position_weights(trade_stock, entry_bar, exit_bar, entry_weight)
    in_period = entry_bar >= start

    stats: dict[str, Any] = {
        "start": start,
        "end": len(equity) - 1,
        "bars": len(period),
        "periods_per_year": per_year,
        **{name: growth[name] for name in RETURN_STATISTICS[:-2]},
        "max_drawdown": growth["max_drawdown"],
        **{
            f"max_drawdown_{bar}": start + growth[bar] if growth[bar] >= 0 else -1
            for bar in ("peak", "trough", "recovery")
        },
        "calmar": growth["calmar"],
        "trades": len(trade_stock),
        "win_rate": _ratio(float(len(wins)), float(len(closed_return))),
        "average_win": float(wins.mean()) if len(wins) else math.nan,
        "average_loss": float(losses.mean()) if len(losses) else math.nan,
        "profit_factor": (math.inf if gains > 0 else math.nan) if pains == 0 else gains / pains,
        "expectancy": float(closed_return.mean()) if len(closed_return) else math.nan,
        "average_bars_held": float((exit_bar - entry_bar)[closed].mean()) if closed.any() else math.nan,
        "exposure": float(held.mean()) if len(held) else math.nan,
        "turnover": _ratio(float(bought[in_period].sum()), years),
    }
    if benchmark is not None:
        stats.update(_benchmark_statistics(returns, np.asarray(benchmark[start:], dtype=np.float64), per_year, rate))
    return {
        name: _finite(value) if isinstance(value, float) and name != "profit_factor" else value
        for name, value in stats.items()
    }


#: The statistics of a stretch of returns alone, in :meth:`tolvane.Report.stats` order.
RETURN_STATISTICS = (
    "total_return",
    "cagr",
    "volatility",
    "sharpe",
    "sortino",
    "skewness",
    "kurtosis",
    "max_drawdown",
    "calmar",
)


def return_statistics(returns: npt.ArrayLike, per_year: float, risk_free: float = 0.0) -> dict[str, float]:
    """The statistics of a stretch of bar returns (:data:`RETURN_STATISTICS`),
    as :meth:`tolvane.Report.stats` computes them for a run's whole period:
    a window of a run is judged as if it were a run of its own, its equity
    starting at 1 before its first return.

    >>> stats = return_statistics([0.1, -0.5, 0.2], per_year=252)
    >>> round(stats["total_return"], 4), round(stats["max_drawdown"], 4)  # 1.1 * 0.5 * 1.2 = 0.66
    (-0.34, -0.5)
    """
    values = np.asarray(returns, dtype=np.float64)
    period = np.concatenate([[1.0], np.cumprod(1 + values)])
    rate = (1 + risk_free) ** (1 / per_year) - 1
    with np.errstate(all="ignore"):
        growth = _growth(period, float(per_year), rate)
    return {name: _finite(growth[name]) for name in RETURN_STATISTICS}


def _growth(period: FloatArray, per_year: float, rate: float) -> dict[str, Any]:
    """:data:`RETURN_STATISTICS` of an equity curve, and the bars of its
    deepest drawdown (``peak``, ``trough``, ``recovery``: -1 for none)."""
    returns = simple_returns(period)
    excess = returns - rate
    scale = math.sqrt(per_year)
    spread = float(np.std(returns, ddof=1)) if len(returns) > 1 else math.nan
    downside = float(np.sqrt(np.mean(np.minimum(excess, 0) ** 2))) if len(returns) else math.nan
    growth_rate = cagr(period, per_year)
    depth, peak, trough, recovery = max_drawdown(period)
    return {
        "total_return": float(period[-1] / period[0] - 1),
        "cagr": growth_rate,
        "volatility": spread * scale,
        "sharpe": _ratio(float(np.mean(excess)), spread) * scale if len(returns) else math.nan,
        "sortino": _ratio(float(np.mean(excess)), downside) * scale if len(returns) else math.nan,
        **_shape(returns),
        "max_drawdown": depth,
        "calmar": _ratio(growth_rate, abs(depth)),
        "peak": peak,
        "trough": trough,
        "recovery": recovery,
    }


def _shape(returns: FloatArray) -> dict[str, float]:
    """The skewness m3 / m2**1.5 and the kurtosis m4 / m2**2 (3 for normal
    returns, not the excess) of the returns, m the central moments; NaN for
    fewer than three returns or returns without spread."""
    if len(returns) < 3:
        return {"skewness": math.nan, "kurtosis": math.nan}
    deviation = returns - np.mean(returns)
    m2, m3, m4 = (np.mean(deviation**power) for power in (2, 3, 4))  # float64: an overflow is inf, not an error
    return {"skewness": _ratio(float(m3), float(m2**1.5)), "kurtosis": _ratio(float(m4), float(m2**2))}


def _benchmark_statistics(returns: FloatArray, prices: FloatArray, per_year: float, rate: float) -> dict[str, float]:
    known = np.flatnonzero(np.isfinite(prices))
    if len(known) < 2:
        return dict.fromkeys(["benchmark_cagr", "benchmark_max_drawdown", "beta", "alpha", "correlation"], math.nan)
    observed = prices[known[0] : known[-1] + 1]
    benchmark_returns = simple_returns(prices)
    paired = np.isfinite(benchmark_returns) & np.isfinite(returns)
    ours, theirs = returns[paired], benchmark_returns[paired]
    if len(ours) > 1:
        variance = float(np.var(theirs, ddof=1))
        beta = _ratio(float(np.cov(ours, theirs, ddof=1)[0, 1]), variance)
        alpha = (float(np.mean(ours)) - rate - beta * (float(np.mean(theirs)) - rate)) * per_year
        correlation = float(np.corrcoef(ours, theirs)[0, 1]) if variance > 0 and np.std(ours) > 0 else math.nan
    else:
        beta = alpha = correlation = math.nan
    return {
        "benchmark_cagr": cagr(observed, per_year),
        "benchmark_max_drawdown": max_drawdown(observed)[0],
        "beta": beta,
        "alpha": alpha,
        "correlation": correlation,
    }
