"""tolvane.core._columns.run as a function: what it returns, the errors it
raises, and that it keeps nothing between calls."""

import os
from types import SimpleNamespace

import numpy as np
import pytest
from columnar import columnar_run, contract_run, hand_market, pos2price

from tolvane._stops import StopTable
from tolvane.core import _columns, ravelin, vexal

PRICES = [[10.0, 20.0], [11.0, 21.0], [12.0, 19.0], [11.0, 22.0], [13.0, 23.0]]


def test_results_are_arrays_of_the_documented_types():
    market = hand_market(PRICES, [[0.5, -0.3], [0.0, 0.6]], weight_bars=[0, 2])
    got = columnar_run(market, vexal_window=3, vexal_window_step=2)
    trades = len(got["trade_stock"])
    assert trades > 0
    for key in ("trade_stock", "entry_bar", "exit_bar", "weight_stock", "next_weight_stock", "action_stock"):
        assert got[key].dtype == np.int64, key
    for key in ("entry_paid", "exit_paid"):
        assert got[key].dtype == np.bool_ and got[key].shape == (trades,), key
    assert got["equity"].shape == (len(PRICES),)
    # window 3, step 2: samples at offsets 0 and 2, then the exit block
    assert got["profiles"].shape == (trades, 18)
    assert set(got["exit_reason"]) <= set(range(len(_columns.EXIT_REASONS)))
    assert set(got["action"]) <= set(range(len(_columns.ACTIONS)))
    assert isinstance(got["weight_row"], int) and isinstance(got["next_weight_row"], int)


@pytest.mark.parametrize("run", [contract_run, columnar_run])
def test_an_invalid_trade_price_names_the_stock_and_carries_its_place(run):
    prices = np.array(PRICES)
    prices[3, 1] = -1.0  # S1 is held from bar 1 on
    with pytest.raises(ValueError) as raised:
        run(hand_market(prices, [[0.5, 0.5]]))
    assert str(raised.value) == (
        "Invalid trading price for S1 at price row 3: -1.0. Expected a "
        "positive finite price; check the trading-price dataset."
    )
    assert (raised.value.stock, raised.value.bar, raised.value.price) == (1, 3, -1.0)


def arguments(**changes):
    """_columns.run's arguments for a small valid market, with `changes`."""
    market = hand_market(PRICES, [[0.5, 0.5]])
    chosen = dict(market, pos2price=pos2price(market["price_columns"], market["pos_columns"]))
    del chosen["price_columns"]
    chosen.update(changes)
    return chosen


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(close_values=np.ones((4, 2))), "close_values has shape (4, 2) but price_values has (5, 2)"),
        (dict(price_index=np.arange(4, dtype=np.int64)), "price_index must have one date per row"),
        (dict(pos2price=np.array([0], dtype=np.int64)), "pos2price must have one price column per position"),
        (dict(pos2price=np.array([0, 2], dtype=np.int64)), "pos2price must hold price columns"),
        (dict(pos2price=np.array([0, -1], dtype=np.int64)), "Position column 'S1' has no matching price column"),
        (dict(pos_columns=np.array(["S0"], dtype=object)), "Position values do not match position columns"),
        (dict(price_index=np.array([0, 2, 1, 3, 4], dtype=np.int64)), "price_index must be in ascending order"),
        (
            dict(stop_loss=StopTable(np.ones((1, 3)), np.zeros(5, dtype=np.intp))),
            "Stop thresholds do not match the price bars and position columns",
        ),
        (
            dict(take_profit=StopTable(np.ones((1, 2)), np.zeros(4, dtype=np.intp))),
            "Stop thresholds do not match the price bars and position columns",
        ),
        # any object with values and rows is a table
        (
            dict(take_profit=SimpleNamespace(values=np.ones((1, 2)), rows=np.ones(5, dtype=np.intp))),
            "Stop thresholds do not match the price bars and position columns",
        ),
        (dict(delisting_bars=np.array([1], dtype=np.int64)), "delisting_bars must have one bar per position"),
        (dict(vexal_window=-1), "vexal_window must be >= 0 and vexal_window_step >= 1"),
        (dict(vexal_window_step=0), "vexal_window must be >= 0 and vexal_window_step >= 1"),
        (dict(position_limit=float("nan")), "position_limit must be a number >= 0, got nan"),
    ],
)
def test_inputs_that_do_not_fit_are_refused_before_the_run(changes, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        _columns.run(**arguments(**changes))


def test_the_run_leaves_no_module_state():
    market = hand_market(PRICES, [[0.5, 0.5]])
    contract_run(market, stop_loss=0.05)
    trades, operations = list(vexal.trades), ravelin.get_stock_operations()
    first = columnar_run(hand_market(PRICES, [[-0.4, 0.6]]), take_profit=0.05)
    assert vexal.trades == trades and ravelin.get_stock_operations() == operations
    again = columnar_run(hand_market(PRICES, [[-0.4, 0.6]]), take_profit=0.05)
    assert all(np.array_equal(first[key], again[key], equal_nan=True) for key in first)


@pytest.mark.skipif(
    os.environ.get("TOLVANE_SANITIZED") == "1", reason="the sanitizer's quarantine keeps freed memory resident"
)
def test_repeated_runs_free_their_results(python_subprocess):
    # Results own native storage through their arrays: a run's results that
    # are dropped must give it back, on success and after a failure.
    result = python_subprocess("""
        import resource, sys
        import numpy as np
        sys.path.insert(0, "tests/helpers")
        from columnar import columnar_run, hand_market
        rng = np.random.default_rng(3)
        prices = 10 * np.exp(np.cumsum(rng.normal(0, 0.05, (300, 20)), axis=0))
        good = hand_market(prices, rng.uniform(0, 0.1, (30, 20)), weight_bars=range(0, 300, 10))
        bad_prices = prices.copy()
        bad_prices[250] = 0.0
        bad = hand_market(bad_prices, rng.uniform(0, 0.1, (30, 20)), weight_bars=range(0, 300, 10))

        def runs(count):
            for _ in range(count):
                columnar_run(good, vexal_window=20, vexal_window_step=5)
                try:
                    columnar_run(bad)
                except ValueError:
                    pass

        def resident():
            return int(open("/proc/self/statm").read().split()[1]) * resource.getpagesize()

        runs(300)
        before = resident()
        runs(1500)
        print(resident() - before)
    """)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 4 * 1024 * 1024
