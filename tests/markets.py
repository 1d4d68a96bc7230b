"""Small hand-made markets for engine tests."""

import numpy as np

from tolvane.core import ravelin

DAY = 86_400 * 10**9


def dates(bars, start=0):
    return (np.arange(bars, dtype=np.int64) + start) * DAY


def labels(names):
    return np.array(list(names), dtype=object)


def backtest(prices, weights, *, weight_bars=None, close=None, high=None, low=None, open_=None,
             resample=None, price_labels=None, pos_labels=None, **options):
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
        prices, matrix(close), matrix(high), matrix(low), matrix(open_), index, labels(names),
        weights, index[list(weight_bars)], labels(pos_names),
        index if resample is None else np.asarray(resample, dtype=np.int64),
        **options,
    )


def valid_arguments():
    """The eleven arrays of a small valid run, as a list."""
    prices = np.array([[10.0, 20.0], [11.0, 21.0], [12.0, 19.0]])
    index = dates(3)
    names = labels(["A", "B"])
    return [prices, prices.copy(), prices.copy(), prices.copy(), prices.copy(), index, names,
            np.array([[0.5, 0.5]]), index[:1].copy(), names.copy(), index.copy()]
