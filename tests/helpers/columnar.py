"""One market through both paths of the engine, results side by side.

The contract path is ravelin.backtest_ with what it leaves in vexal's lists
and in get_stock_operations(); the columnar path is tolvane.core._columns.run.
Both results are given as the same dict of arrays, so that tests compare
them field by field. markets() draws random markets for both."""

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays
from markets import DAY

from tolvane._stops import StopTable, stop_table
from tolvane.core import _columns, ravelin, vexal

PRICE_MATRICES = ["price_values", "close_values", "high_values", "low_values", "open_values"]
ARRAYS = PRICE_MATRICES + ["price_index", "price_columns", "pos_values", "pos_index", "pos_columns", "resample"]
TRADE_FIELDS = ["trade_stock", "entry_bar", "exit_bar", "entry_weight", "profiles"]
OPERATION_FIELDS = [
    "weight_stock",
    "weight",
    "next_weight_stock",
    "next_weight",
    "action_stock",
    "action",
    "weight_row",
    "next_weight_row",
]


def pos2price(price_columns, pos_columns):
    """The price column of each position column as the contract matches
    labels (a label found twice takes its last column), -1 for none."""
    last = {label: column for column, label in enumerate(price_columns)}
    return np.array([last.get(label, -1) for label in pos_columns], dtype=np.int64)


def laid_out(matrix, layout):
    """`matrix` in memory order "C", "F", or "strided" (a view of every other
    row and column of a larger array)."""
    if layout == "strided":
        larger = np.full((2 * matrix.shape[0], 2 * matrix.shape[1]), -7.0)
        larger[::2, ::2] = matrix
        return larger[::2, ::2]
    return np.asarray(matrix, order=layout)


def columnar_run(market, layout="C", **options):
    """_columns.run on a market given as backtest_'s arguments (by name);
    stop arrays become the tables the contract would build from them."""
    for name in ("stop_loss", "take_profit"):
        level = options.get(name)
        if level is not None and not np.isscalar(level) and not isinstance(level, StopTable):
            options[name] = stop_table(level, market["price_index"], market["pos_columns"])
    matrices = [laid_out(market[name], layout) for name in PRICE_MATRICES]
    return _columns.run(
        *matrices,
        market["price_index"],
        pos2price(market["price_columns"], market["pos_columns"]),
        market["pos_values"],
        market["pos_index"],
        market["pos_columns"],
        market["resample"],
        **options,
    )


def contract_run(market, **options):
    """backtest_ on the market, its results in the columnar path's terms."""
    equity = ravelin.backtest_(*[market[name] for name in ARRAYS], **options)
    width = 6 * ((options.get("vexal_window", 0) - 1) // options.get("vexal_window_step", 1)) + 12
    trades = np.array([[sid, entry, exit_] for sid, entry, exit_ in vexal.trades], dtype=np.int64).reshape(-1, 3)
    operations = ravelin.get_stock_operations()
    labels = {label: code for code, label in enumerate(_columns.ACTIONS)}
    return {
        "equity": equity,
        "trade_stock": trades[:, 0],
        "entry_bar": trades[:, 1],
        "exit_bar": trades[:, 2],
        "entry_weight": np.array(vexal.trade_positions, dtype=np.float64),
        "profiles": np.array(vexal.vexal, dtype=np.float64).reshape(-1, width),
        "weight_stock": np.array(list(operations["weights"]), dtype=np.int64),
        "weight": np.array([float(w) for w in operations["weights"].values()]),
        "next_weight_stock": np.array(list(operations["next_weights"]), dtype=np.int64),
        "next_weight": np.array([float(w) for w in operations["next_weights"].values()]),
        "action_stock": np.array(list(operations["actions"]), dtype=np.int64),
        "action": np.array([labels[a] for a in operations["actions"].values()], dtype=np.uint8),
        "weight_row": operations["weight_time"],
        "next_weight_row": operations["next_weight_time"],
    }


def outcome(run, *args, **kwargs):
    """("ok", results) or ("raised", exception)."""
    try:
        return "ok", run(*args, **kwargs)
    except Exception as error:
        return "raised", error


def bits(values):
    """The values' bit patterns (-0.0 and 0.0 differ), every NaN as one NaN:
    IEEE arithmetic leaves a NaN's sign and payload to the order in which the
    compiled code happens to take the operands of a sum or product."""
    values = np.asarray(values, dtype=np.float64)
    return np.where(np.isnan(values), np.nan, values).view(np.uint64)


def assert_same_results(contract, columnar):
    for field in ["equity"] + TRADE_FIELDS + OPERATION_FIELDS:
        expected, got = contract[field], columnar[field]
        if field in ("equity", "entry_weight", "profiles", "weight", "next_weight"):
            assert expected.shape == got.shape, field
            np.testing.assert_array_equal(bits(got), bits(expected), err_msg=field)
        else:
            np.testing.assert_array_equal(got, expected, err_msg=field)


def hand_market(prices, weights, *, weight_bars=None, close=None, high=None, low=None, open_=None, resample=None):
    """backtest_'s arrays, by name, for a hand-made market of `prices` (bars x
    stocks), as markets.backtest builds them: target row k is dated on bar
    weight_bars[k] (default k) and traded at the bar after it; every bar may
    rebalance unless `resample` is given."""
    prices = np.asarray(prices, dtype=np.float64).reshape(len(prices), -1)
    index = np.arange(len(prices), dtype=np.int64) * 86_400 * 10**9
    weights = np.atleast_2d(np.asarray(weights, dtype=np.float64))
    names = np.array([f"S{i}" for i in range(prices.shape[1])], dtype=object)

    def matrix(values):
        return prices if values is None else np.asarray(values, dtype=np.float64).reshape(prices.shape)

    rows = list(range(len(weights))) if weight_bars is None else list(weight_bars)
    return dict(
        price_values=prices,
        close_values=matrix(close),
        high_values=matrix(high),
        low_values=matrix(low),
        open_values=matrix(open_),
        price_index=index,
        price_columns=names,
        pos_values=weights,
        pos_index=index[rows],
        pos_columns=names.copy(),
        resample=index if resample is None else resample,
    )


# Every element is drawn on its own: a fill value would repeat one element.
def matrix(draw, shape, low, high):
    return draw(arrays(np.float64, shape, elements=st.floats(low, high), fill=st.nothing()))


def mask(draw, shape, one_in):
    return draw(arrays(np.bool_, shape, elements=st.sampled_from([False] * (one_in - 1) + [True]), fill=st.nothing()))


@st.composite
def markets(draw, max_bars=30, max_price_columns=4, max_positions=5):
    """backtest_'s arrays for a random market: random walks with missing
    prices, intrabar ranges, sometimes a zero close or an invalid trade price;
    position columns that may share a price column or have none (never
    traded); long and short targets; a rebalance calendar of every bar or of
    some bars only."""
    bars = draw(st.integers(2, max_bars))
    priced = draw(st.integers(1, max_price_columns))
    shape = (bars, priced)
    volatility = draw(st.sampled_from([0.02, 0.1, 0.3]))
    price = 10 * np.exp(np.cumsum(matrix(draw, shape, -volatility, volatility), axis=0))
    price[mask(draw, shape, 10)] = np.nan
    close = price * matrix(draw, shape, 0.93, 1.07)
    high = np.fmax(price, close) * matrix(draw, shape, 1.0, 1.08)
    low = np.fmin(price, close) * matrix(draw, shape, 0.92, 1.0)
    open_ = price * matrix(draw, shape, 0.94, 1.06)
    fault = draw(st.sampled_from([None] * 6 + ["zero close", "invalid price"]))
    where = draw(st.integers(0, bars - 1)), draw(st.integers(0, priced - 1))
    if fault == "zero close":
        close[where] = 0.0
    elif fault == "invalid price":
        price[where] = draw(st.sampled_from([0.0, -2.0, np.inf]))

    names = [f"S{column}" for column in range(priced)]
    # A position column names a price column (two may name the same), or none.
    columns = draw(st.lists(st.sampled_from(list(range(priced)) * 3 + [-1]), min_size=1, max_size=max_positions))
    pos_names = [names[column] if column >= 0 else f"U{sid}" for sid, column in enumerate(columns)]
    rows = sorted(draw(st.sets(st.integers(0, bars - 1), min_size=1, max_size=6)))
    shape = (len(rows), len(columns))
    weights = matrix(draw, shape, 0.01, 1.0)
    if draw(st.booleans()):  # shorts too
        weights[mask(draw, shape, 3)] *= -1
    weights[mask(draw, shape, 4)] = 0.0
    weights[:, [column < 0 for column in columns]] = 0.0
    index = np.arange(bars, dtype=np.int64) * DAY
    calendar = index
    if draw(st.booleans()):
        calendar = index[sorted(draw(st.sets(st.integers(0, bars - 1), min_size=1)))]
    return dict(
        price_values=price,
        close_values=close,
        high_values=high,
        low_values=low,
        open_values=open_,
        price_index=index,
        price_columns=np.array(names, dtype=object),
        pos_values=weights,
        pos_index=index[rows],
        pos_columns=np.array(pos_names, dtype=object),
        resample=np.asarray(calendar, dtype=np.int64),
    )
