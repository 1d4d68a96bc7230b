"""Small hand-made markets for engine tests, the arguments of backtest_ for
them, and what a run leaves behind in the module state."""

import numpy as np

from tolvane.core import ravelin, vexal

DAY = 86_400 * 10**9
#: The array arguments of backtest_, in its order.
ARRAYS = [
    "price_values",
    "close_values",
    "high_values",
    "low_values",
    "open_values",
    "price_index",
    "price_columns",
    "pos_values",
    "pos_index",
    "pos_columns",
    "resample",
]


def dates(bars, start=0):
    return (np.arange(bars, dtype=np.int64) + start) * DAY


def labels(names):
    return np.array(list(names), dtype=object)


def backtest(
    prices,
    weights,
    *,
    weight_bars=None,
    close=None,
    high=None,
    low=None,
    open_=None,
    resample=None,
    price_labels=None,
    pos_labels=None,
    **options,
):
    """Run backtest_ on a market of `prices` (bars x stocks).

    Row k of `weights` is dated on bar `weight_bars[k]` (default: bar k), so
    it is traded at the bar after it. Every bar may rebalance unless
    `resample` is given. Fees and taxes default to 0 here.
    """
    prices = np.asarray(prices, dtype=np.float64)
    bars, stocks = prices.shape
    index = dates(bars)
    weights = np.atleast_2d(np.asarray(weights, dtype=np.float64))
    if weight_bars is None:
        weight_bars = range(len(weights))
    names = price_labels if price_labels is not None else [f"S{i}" for i in range(stocks)]
    pos_names = pos_labels if pos_labels is not None else names
    options.setdefault("fee_ratio", 0.0)
    options.setdefault("tax_ratio", 0.0)

    def matrix(values):
        return prices if values is None else np.asarray(values, dtype=np.float64)

    return ravelin.backtest_(
        prices,
        matrix(close),
        matrix(high),
        matrix(low),
        matrix(open_),
        index,
        labels(names),
        weights,
        index[list(weight_bars)],
        labels(pos_names),
        index if resample is None else np.asarray(resample, dtype=np.int64),
        **options,
    )


def base_arguments(bars=8, stocks=3):
    """backtest_'s arrays, by name, for a small valid market of random prices:
    every bar may rebalance, two target rows."""
    rng = np.random.default_rng(11)
    prices = 10 * np.exp(np.cumsum(rng.normal(0, 0.05, (bars, stocks)), axis=0))
    index = dates(bars)
    names = labels(f"S{i}" for i in range(stocks))
    weights = np.array([[0.5, 0.3, 0.2], [0.0, 0.6, 0.4]])[:, :stocks]
    return dict(
        price_values=prices,
        close_values=prices * 1.01,
        high_values=prices * 1.03,
        low_values=prices * 0.97,
        open_values=prices.copy(),
        price_index=index,
        price_columns=names,
        pos_values=weights,
        pos_index=index[[0, 4]],
        pos_columns=names.copy(),
        resample=index.copy(),
    )


def valid_arguments():
    """The eleven arrays of a small valid run, as a list."""
    prices = np.array([[10.0, 20.0], [11.0, 21.0], [12.0, 19.0]])
    index = dates(3)
    names = labels(["A", "B"])
    return [
        prices,
        prices.copy(),
        prices.copy(),
        prices.copy(),
        prices.copy(),
        index,
        names,
        np.array([[0.5, 0.5]]),
        index[:1].copy(),
        names.copy(),
        index.copy(),
    ]


def trades():
    """The latest run's trades as (stock, entry bar, exit bar or -1)."""
    return [(sid, int(entry), exit_) for sid, entry, exit_ in vexal.trades]


def shared_operations(columns=("S0",), bars=3):
    """The module's own stock_operations dict, which get_trade_stocks hands
    out; `columns` and `bars` must cover the latest run's trades."""
    return ravelin.get_trade_stocks(labels(columns), dates(bars), False)[1]
