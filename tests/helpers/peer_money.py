"""The book in money run by tolvane.backtest and by the peer (vectorbt) on
real daily prices, for the comparisons of tests/money/test_peer_agreement.py.

The prices are the daily closes that the `arch` package ships inside its
wheel (the S&P 500 and NASDAQ Composite index levels and the WTI crude oil
spot price, 1999 to 2018), read from its files without importing the package,
whose import takes seconds.

The strategy holds fixed target weights and rebalances monthly: a target row
dated on the last bar of a month is traded at the next bar, at that bar's
close. Two peer setups:

- `peer_orders`: the peer's own target-percent orders
  (``Portfolio.from_orders`` with ``call_seq="auto"``), with its fees, fixed
  fees, slippage and size granularity;
- `peer_order_func`: ``Portfolio.from_order_func``, whose callbacks size each
  order by a stated rule (`SALE_ROUNDING`) and give it its fee, a minimum fee
  included; the peer fills the orders, moves the cash and values the book.
"""

import os
from importlib.util import find_spec

import numpy as np
import pandas as pd
from optional import require

#: The real series: ticker -> (folder and file in arch/data, column).
REAL_SERIES = {
    "SP500": ("sp500/sp500.csv.gz", "Close"),
    "NASDAQ": ("nasdaq/nasdaq.csv.gz", "Close"),
    "WTI": ("wti/wti.csv.gz", "DCOILWTICO"),
}


def require_peer():
    """Skips (fails where every extra must be installed) unless the peer and
    the package of real prices are there; returns the peer's module."""
    if find_spec("arch") is None:
        require("arch", "bench")
    require("numba", "bench")
    return require("vectorbt", "bench")


def real_closes():
    """The closes of REAL_SERIES on the dates all three have (the oil price
    misses some trading days of the indices)."""
    data = os.path.join(os.path.dirname(find_spec("arch").origin), "data")
    series = {}
    for ticker, (path, column) in REAL_SERIES.items():
        frame = pd.read_csv(os.path.join(data, path), index_col="Date")
        frame.index = pd.to_datetime(frame.index, format="%m/%d/%Y")
        series[ticker] = pd.to_numeric(frame[column], errors="coerce")  # "." marks a missing price
    return pd.concat(series, axis=1, join="inner").dropna()


def monthly_targets(close, weights):
    """The target rows, one dated on the last bar of each month but the
    final one, and the bar at which each row is traded (the next bar)."""
    bars = close.index.to_series()
    month_ends = pd.DatetimeIndex(bars.groupby(bars.index.to_period("M")).max().to_numpy()[:-1])
    position = pd.DataFrame([weights] * len(month_ends), index=month_ends, columns=close.columns)
    return position, close.index.get_indexer(month_ends) + 1


def weights_at_bars(close, trade_bars, weights):
    """The target weights on the bars they are traded at, NaN elsewhere."""
    at_bars = np.full(close.shape, np.nan)
    at_bars[trade_bars] = weights
    return at_bars


def per_ticker(value, close):
    """A number, None (fractional shares) or a Series by ticker as one float
    per column."""
    if isinstance(value, pd.Series):
        return np.array(value.reindex(close.columns), dtype=np.float64)
    return np.full(close.shape[1], np.nan if value is None else float(value))


def tolvane_run(position, close, *, fee_ratio=0.0, tax_ratio=0.0, **money):
    """tolvane's backtest in money (`money`: capital, lot_size, fee_min,
    fee_fixed, slippage): its equity in money at every close and its order
    log, with each order's bar."""
    import tolvane

    report = tolvane.backtest(position, close, fee_ratio=fee_ratio, tax_ratio=tax_ratio, **money)
    orders = report.orders.assign(bar=close.index.get_indexer(report.orders["date"]))
    return report.equity * report.capital, orders


def peer_orders(close, trade_bars, weights, *, capital, fee_ratio=0.0, fee_fixed=0.0, slippage=0.0, lot_size=None):
    """The peer's own target-percent rebalance: its equity at every close.

    ``call_seq="auto"`` values the group once per bar at the order price and
    sends the orders in ascending order value, so sales come before
    purchases; `lot_size` is the peer's size granularity, which rounds each
    order's quantity toward zero."""
    vbt = require_peer()
    portfolio = vbt.Portfolio.from_orders(
        close,
        weights_at_bars(close, trade_bars, weights),
        size_type="targetpercent",
        direction="longonly",
        group_by=True,
        cash_sharing=True,
        call_seq="auto",
        init_cash=capital,
        fees=fee_ratio,
        fixed_fees=fee_fixed,
        slippage=slippage,
        size_granularity=np.nan if lot_size is None else lot_size,
        min_size=0.0,  # by default the peer drops orders below 1e-8 shares
    )
    return portfolio.value()


#: How `peer_order_func` rounds to lots: the target holding toward zero (as
#: tolvane does), or the quantity of each sale toward zero (as the peer's own
#: size granularity does; purchases round alike either way).
SALE_ROUNDING = ("target", "quantity")


def peer_order_func(
    close,
    trade_bars,
    weights,
    *,
    capital,
    fee_ratio=0.0,
    tax_ratio=0.0,
    fee_min=0.0,
    fee_fixed=0.0,
    slippage=0.0,
    lot_size=None,
    sale_rounding="target",
):
    """The peer's simulation with the order sizes and fees given by callbacks:
    its equity at every close, and its order records.

    At a rebalance bar the group is valued at the close (cash plus holdings),
    each target is weight x value / close shares rounded to lots by
    `sale_rounding`, and the orders are sent in ascending order value (sales
    first). An order of value v at its fill price pays
    max(fee_min, fee_ratio x v) + fee_fixed, and a sale tax_ratio x v: given
    to the peer as its proportional and fixed fee of that order."""
    vbt = require_peer()
    import peer_kernels

    columns = close.shape[1]
    at_bars = weights_at_bars(close, trade_bars, weights)
    portfolio = vbt.Portfolio.from_order_func(
        close,
        peer_kernels.order,
        float(fee_ratio),
        float(tax_ratio),
        float(fee_min),
        float(fee_fixed),
        float(slippage),
        pre_segment_func_nb=peer_kernels.pre_segment,
        pre_segment_args=(
            at_bars,
            per_ticker(lot_size, close),
            SALE_ROUNDING.index(sale_rounding),
            np.empty(columns),
            np.empty(columns),
        ),
        segment_mask=~np.isnan(at_bars).all(axis=1)[:, None],
        group_by=True,
        cash_sharing=True,
        init_cash=capital,
    )
    return portfolio.value(), pd.DataFrame(portfolio.orders.values)
