"""The peer setups and the Numba loop of the benchmarks compute the engine's
book: on a market small enough to follow by hand, and against the engine's
own curve on the S workload (cost-free; the Numba loop with the fee too)."""

import os
import subprocess
import sys

import numpy as np
import pytest
from locations import BENCHMARKS
from optional import require

FEE = 0.001425
SETUPS = [
    "order_func",
    "orders",
    "orders rust",
    "flex",
    "flex kernel",
    "orders kernel",
    "orders kernel rust",
    "naive",
    "fastest",
]
RUST = {"orders rust", "orders kernel rust"}


def require_engines(setup):
    """Skips unless what the setup runs on is installed (the bench extra)."""
    require("numba", "bench")
    if setup != "numba":
        require("vectorbt", "bench")
    if setup in RUST:
        require("vectorbt_rust", "bench")


def load(module):
    sys.path.insert(0, BENCHMARKS)
    try:
        return __import__(module)
    finally:
        sys.path.remove(BENCHMARKS)


def by_hand_market():
    # Two stocks over four bars; target rows traded at bars 1 and 2.
    price = np.array([[1.0, 1.0], [2.0, 1.0], [2.0, 2.0], [4.0, 2.0]])
    close = price.copy()
    weights = np.array([[0.5, 0.45], [0.9, 0.0]])
    return price, close, weights, np.array([1, 2])


# Cost-free: bar 1 holds 0.5 of stock 0 and 0.45 of stock 1 (0.05 in cash);
# bar 2: stock 1 doubles (1.45), the whole of it moves to 0.9 x 1.45 = 1.305
# of stock 0 (cash 0.145); bar 3: stock 0 doubles: 2.61 + 0.145.
BY_HAND = [1.0, 1.0, 1.45, 2.755]


@pytest.mark.parametrize("setup", ["numba"] + SETUPS)
def test_setups_follow_the_book_by_hand(setup):
    require_engines(setup)
    price, close, weights, exec_bars = by_hand_market()
    if setup == "numba":
        rows = np.full(len(price), -1, dtype=np.int64)
        rows[exec_bars] = np.arange(len(exec_bars))
        values = load("numba_loop").run(price, close, weights, rows, 0.0)
    else:
        peer_setups = load("peer_setups")
        function = peer_setups.fastest if setup == "fastest" else peer_setups.SETUPS[setup]
        values = function(price, close, weights, exec_bars, 0.0)
    np.testing.assert_allclose(values, BY_HAND, rtol=1e-12)


def test_numba_loop_pays_the_fee_as_the_engine_does():
    require_engines("numba")
    price, close, weights, exec_bars = by_hand_market()
    rows = np.array([-1, 0, 1, -1])
    fee = 0.01
    # Bar 1: each purchase pays 1% out of its holding (0.495, 0.4455). Bar 2:
    # value 0.05 + 0.495 + 0.891 = 1.436; stock 0 buys 1.2924 - 0.495 and pays
    # 1% of that out of the holding; stock 1 is sold, 1% out of the proceeds.
    cash = 0.05
    bar2 = cash + 0.495 + 0.891
    purchase = 0.9 * bar2 - 0.495
    holding = 0.9 * bar2 - 0.01 * purchase
    cash = cash - purchase + 0.891 * 0.99
    expected = [1.0, 0.05 + 0.495 + 0.4455, cash + holding, cash + 2 * holding]
    np.testing.assert_allclose(load("numba_loop").run(price, close, weights, rows, fee), expected, rtol=1e-12)


@pytest.fixture(scope="module")
def curves(tmp_path_factory):
    directory = tmp_path_factory.mktemp("curves")

    def curve(engine, fee):
        path = directory / f"{engine.replace(':', '_').replace(' ', '_')}-{fee}.npy"
        if not path.exists():
            result = subprocess.run(
                [
                    sys.executable,
                    os.path.join(BENCHMARKS, "worker.py"),
                    "curve",
                    engine,
                    "S",
                    "default",
                    repr(fee),
                    str(path),
                ],
                capture_output=True,
                text=True,
            )
            assert result.returncode == 0, result.stderr
        return np.load(path)

    return curve


@pytest.mark.parametrize("engine, fee", [("numba", 0.0), ("numba", FEE)] + [("peer:" + s, 0.0) for s in SETUPS])
def test_setups_reproduce_our_curve_on_s(curves, engine, fee):
    require_engines(engine.removeprefix("peer:"))
    np.testing.assert_allclose(curves(engine, fee), curves("tolvane", fee), rtol=1e-9)


def test_peer_setups_refuse_misshapen_inputs():
    require_engines("orders")
    peer_setups = load("peer_setups")
    price, close, weights, exec_bars = by_hand_market()
    for bad in ([2, 1], [1, 4], [1], [1, 1]):  # decreasing, past the end, one row short, repeated
        with pytest.raises(ValueError):
            peer_setups.orders(price, close, weights, np.array(bad), 0.0)


def test_peer_with_records_makes_our_trades_with_our_excursions():
    """The "peer with records" row of the suite produces what the front door
    does: on S, the same trades (column, entry and exit bar) with the same
    MAE and MFE, and the fastest fair setup's curve."""
    require_engines("flex kernel")
    import tolvane

    frontdoor, peer_setups, worker, workloads = (
        load(name) for name in ("frontdoor", "peer_setups", "worker", "workloads")
    )
    workload = workloads.generate("S", "default")
    _, exec_bars, weights = worker.peer_inputs(workload)
    values, trades = peer_setups.flex_kernel_with_trades(workload.price, workload.close, weights, exec_bars, FEE)
    np.testing.assert_array_equal(values, peer_setups.fastest(workload.price, workload.close, weights, exec_bars, FEE))

    position, close, options = frontdoor.front_door_arguments(workload)
    ours = tolvane.backtest(position, close, fee_ratio=FEE, tax_ratio=0.0, **options).trades
    our_column = close.columns.get_indexer(ours["ticker"])
    assert len(trades.column) == len(ours) == 240  # 5 held x 48 rebalances, every holding split at each
    mine = np.lexsort((our_column, ours["entry_bar"].to_numpy()))
    theirs = np.lexsort((trades.column, trades.entry_bar))
    np.testing.assert_array_equal(trades.column[theirs], our_column[mine])
    np.testing.assert_array_equal(trades.entry_bar[theirs], ours["entry_bar"].to_numpy()[mine])
    np.testing.assert_array_equal(trades.exit_bar[theirs], ours["exit_bar"].to_numpy()[mine])
    np.testing.assert_allclose(trades.mae[theirs], ours["mae"].to_numpy()[mine], rtol=0, atol=1e-12)
    np.testing.assert_allclose(trades.mfe[theirs], ours["gmfe"].to_numpy()[mine], rtol=0, atol=1e-12)
    # Not all zero: the check has values to compare, adverse and favourable.
    assert (trades.mae < -0.05).any() and (trades.mfe > 0.05).any()
