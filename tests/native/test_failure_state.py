"""What a failed run leaves behind in the module state."""

import numpy as np
import pytest
from markets import backtest
from markets import shared_operations as run_operations

from tolvane.core import ravelin, vexal


@pytest.fixture
def previous_run():
    """A successful run that closes one trade, with periodic rebalancing off."""
    backtest(
        [[10.0]] * 4, [[1.0], [0.0]], weight_bars=[0, 1], periodically_rebalance=False, retain_cost_when_rebalance=True
    )
    operations = ravelin.get_trade_stocks(np.array(["S0"], dtype=object), np.arange(4), False)[1]
    return operations, [list(t) for t in vexal.trades]


def shared_operations():
    return run_operations(("S0", "S1"), 8)


def test_argument_error_changes_nothing(previous_run):
    operations, trades = previous_run
    with pytest.raises(TypeError):
        backtest([[10.0]] * 4, [[1.0]], vexal_window="x")
    assert (ravelin.RESAMPLE, ravelin.RETAIN_COST_WHEN_REBALANCE) == (False, True)
    assert [list(t) for t in vexal.trades] == trades
    assert shared_operations() is operations


def test_set_up_failure_sets_the_flags_only(previous_run):
    operations, trades = previous_run
    with pytest.raises(ValueError, match="has no matching price column"):
        backtest([[10.0]] * 4, [[0.5, 0.5]], price_labels=["S0"], pos_labels=["S0", "S1"])
    assert (ravelin.RESAMPLE, ravelin.RETAIN_COST_WHEN_REBALANCE) == (True, False)
    assert [list(t) for t in vexal.trades] == trades
    assert shared_operations() is operations


def test_failure_in_the_bar_loop_keeps_the_previous_stock_operations(previous_run):
    operations, _ = previous_run
    prices = [[10.0, 10.0]] * 3 + [[10.0, 0.0]] + [[10.0, 10.0]] * 4
    with pytest.raises(ValueError, match="Invalid trading price for S1 at price row 3"):
        backtest(prices, [[0.5, 0.0], [0.0, 0.5]], weight_bars=[0, 1])
    assert (ravelin.RESAMPLE, ravelin.RETAIN_COST_WHEN_REBALANCE) == (True, False)
    # the failed run's trades so far: S0 bought at bar 1 and sold at bar 2
    assert [[s, int(e), x] for s, e, x in vexal.trades] == [[0, 1, 2]]
    assert shared_operations() is operations
    # the next run is unaffected
    backtest(
        [[10.0]] * 4, [[1.0], [0.0]], weight_bars=[0, 1], periodically_rebalance=False, retain_cost_when_rebalance=True
    )
    assert ravelin.get_stock_operations() == operations


def raising_normalize_weight(weights, position_limit):
    raise RuntimeError("normalize_weight failed")


@pytest.mark.parametrize("collector_enabled", [True, False], ids=["collector on", "collector off"])
@pytest.mark.parametrize(
    "run, error",
    [
        (lambda: backtest([[10.0]] * 4, [[1.0]]), None),
        (lambda: backtest([[10.0]] * 4, [[0.5, 0.5]], price_labels=["S0"], pos_labels=["S0", "S1"]), ValueError),
        (lambda: backtest([[10.0], [10.0], [-1.0]], [[1.0]]), ValueError),
        (lambda: backtest([[10.0]] * 4, [[1.0]], vexal_window=2, vexal_window_step=0), ZeroDivisionError),
    ],
    ids=["success", "set-up failure", "bar loop failure", "excursion failure"],
)
def test_a_run_pauses_the_cyclic_collector_and_restores_its_state(monkeypatch, collector_enabled, run, error):
    import gc

    seen = []
    real = ravelin.normalize_weight

    def watching(weights, position_limit):
        seen.append(gc.isenabled())
        return real(weights, position_limit)

    monkeypatch.setattr(ravelin, "normalize_weight", watching)
    (gc.enable if collector_enabled else gc.disable)()
    try:
        if error is None:
            run()
            assert seen and not any(seen)  # paused while the run called back into Python
        else:
            with pytest.raises(error):
                run()
        assert gc.isenabled() is collector_enabled
        monkeypatch.setattr(ravelin, "normalize_weight", raising_normalize_weight)
        with pytest.raises(RuntimeError, match="normalize_weight failed"):
            backtest([[10.0]] * 4, [[1.0]])
        assert gc.isenabled() is collector_enabled
    finally:
        gc.enable()
