"""One market through both paths of the engine, results side by side.

The contract path is ravelin.backtest_ with what it leaves in vexal's lists
and in get_stock_operations(); the columnar path is tolvane.core._columns.run.
Both results are given as the same dict of arrays, so that tests compare
them field by field."""

import numpy as np

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
