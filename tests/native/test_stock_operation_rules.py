"""The stock operations decided from the state a run ends in: the native
rules, reached through the private probe module with hand-built end states.
Expected values follow from the rules in each case."""

import numpy as np
import pytest
from hooks import require_hook

_probe = require_hook()


def decide(
    targets,
    *,
    book=None,
    current=0,
    next_row=0,
    should_rebalance=False,
    rebalanced=(),
    row=None,
    queued=(),
    done=(),
    stop_trading=True,
    bar_dates=(5,),
    target_dates=None,
):
    """The decisions for an end state; `targets` are the pos_values rows, `row`
    the weights the latest rebalance applied (default: row `current`)."""
    targets = np.array(targets, dtype=np.float64)
    if row is None:
        row = targets[max(current, 0)]
    if target_dates is None:
        target_dates = range(len(targets))
    return _probe.stock_operations(
        book=book or {},
        targets=targets,
        bar_dates=np.array(bar_dates, dtype=np.int64),
        target_dates=np.array(target_dates, dtype=np.int64),
        current_position_id=current,
        pos_id=next_row,
        should_rebalance=should_rebalance,
        latest_rebalanced_sids=list(rebalanced),
        rebalance_row=np.array(row, dtype=np.float64),
        exit_stocks=list(queued),
        exited_stocks=list(done),
        stop_trading_next_period=stop_trading,
    )


@pytest.mark.parametrize(
    ("targets", "book", "rebalanced", "weights", "divisor"),
    [
        # one weight per stock held after the rebalance, in stock order
        ([[0.2, 0.0, 0.3]], {0: 0.5, 2: 0.1}, [0, 2], [(0, 0.2, False), (2, 0.3, False)], None),
        # a stock sold since is reported as sold, and still counts in the total 0.6 + 0.9
        ([[0.6, 0.0, 0.9]], {0: 0.5}, [0, 2], [(0, 0.6, False), (2, 0.9, True)], 0.6 + 0.9),
        # a zero book entry is still in the book: not sold
        ([[0.7, -0.7]], {0: 0.0, 1: -0.3}, [0, 1], [(0, 0.7, False), (1, -0.7, False)], 1.4),
        # a total of exactly 1 is not divided
        ([[0.5, 0.5]], {0: 0.5, 1: 0.5}, [0, 1], [(0, 0.5, False), (1, 0.5, False)], None),
        # never rebalanced: nothing
        ([[0.5, 0.5]], {}, [], [], None),
    ],
)
def test_applied_weights(targets, book, rebalanced, weights, divisor):
    result = decide(targets, book=book, rebalanced=rebalanced)
    assert result["weights"] == weights
    assert result["weights_divisor"] == divisor


@pytest.mark.parametrize(
    ("state", "next_weights", "divisor"),
    [
        # a newer row in force: its non-zero weights
        (dict(targets=[[0.5, 0.5, 0.0], [0.0, 0.8, 0.4]], next_row=1), [(1, 0.8), (2, 0.4)], 0.8 + 0.4),
        # the row applied is still in force: the weights the rebalance applied (a stopped stock zeroed)
        (dict(targets=[[0.5, 0.5]], row=[0.5, 0.0]), [(0, 0.5)], None),
        # NaN is a weight other than 0; the total is NaN, which is not above 1
        (dict(targets=[[0.5, np.nan]]), [(0, 0.5), (1, np.nan)], None),
        # stopped stocks sit out: exited since the rebalance, and queued while held
        (
            dict(
                targets=[[0.9, 0.9, 0.9]], book={1: 0.3}, queued=[(1, True)], done=[(0, False)], should_rebalance=True
            ),
            [(2, 0.9)],
            None,
        ),
        # without a rebalance due, they are left out but still counted
        (dict(targets=[[0.9, 0.9, 0.9]], book={1: 0.3}, queued=[(1, True)], done=[(0, False)]), [(2, 0.9)], 2.7),
        # a queued exit of a stock already flat is left out but counted
        (dict(targets=[[0.9, 0.9]], book={1: 0.0}, queued=[(1, False)], should_rebalance=True), [(0, 0.9)], 1.8),
        # stopped stocks may trade: nothing is left out
        (
            dict(
                targets=[[0.9, 0.9, 0.9]],
                book={1: 0.3},
                queued=[(1, True)],
                done=[(0, False)],
                should_rebalance=True,
                stop_trading=False,
            ),
            [(0, 0.9), (1, 0.9), (2, 0.9)],
            2.7,
        ),
    ],
)
def test_next_weights(state, next_weights, divisor):
    result = decide(**state)
    np.testing.assert_equal(result["next_weights"], next_weights)
    assert result["next_weights_divisor"] == (pytest.approx(divisor) if divisor else None)


def test_a_row_in_force_missing_from_pos_values_is_an_index_error():
    with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
        decide([[0.5]], next_row=1)


ALWAYS, IF_HELD, UNLESS = "always", "if next target holds", "unless labelled"


@pytest.mark.parametrize(
    ("state", "rebalance", "queued_exits", "done_exits"),
    [
        # the due rebalance: held stocks are kept or sold, others bought if targeted
        (
            dict(
                targets=[[0.0, 0.0, 0.0, 0.0], [0.5, 0.0, 0.5, np.nan]],
                book={1: 0.2, 2: 0.3, 3: 0.0},
                next_row=1,
                should_rebalance=True,
            ),
            [(0, "enter", ALWAYS), (1, "exit", ALWAYS), (2, "hold", ALWAYS), (3, "enter", ALWAYS)],
            [],
            [],
        ),
        # no rebalance due: no rebalance labels
        (dict(targets=[[0.0], [0.5]], next_row=1), [], [], []),
        # queued exits while stopped stocks sit out: sold for good
        (
            dict(targets=[[1.0, 1.0]], book={0: 0.5, 1: 0.5}, queued=[(1, True), (0, False)]),
            [],
            [(1, "tp", ALWAYS), (0, "sl", ALWAYS)],
            [],
        ),
        # stopped stocks may trade and the row in force is dated on the last bar: bought back if it holds them
        (
            dict(
                targets=[[1.0, 1.0]],
                book={0: 0.5, 1: 0.5},
                queued=[(1, True), (0, False)],
                stop_trading=False,
                bar_dates=[0, 5],
                target_dates=[5],
            ),
            [],
            [(1, "tp_enter", IF_HELD), (0, "sl_enter", IF_HELD)],
            [],
        ),
        # ... but a row dated before the last bar was already traded: sold for good
        (
            dict(
                targets=[[1.0, 1.0]],
                book={0: 0.5, 1: 0.5},
                queued=[(1, True)],
                stop_trading=False,
                bar_dates=[0, 5],
                target_dates=[4],
            ),
            [],
            [(1, "tp", ALWAYS)],
            [],
        ),
        # exits carried out since the rebalance: labelled, replacing earlier labels when stopped stocks sit out
        (dict(targets=[[1.0, 1.0]], done=[(0, True), (1, False)]), [], [], [(0, "tp_", ALWAYS), (1, "sl_", ALWAYS)]),
        # ... else only stocks without a label yet
        (
            dict(targets=[[1.0, 1.0]], done=[(0, True), (1, False)], stop_trading=False),
            [],
            [],
            [(0, "tp_", UNLESS), (1, "sl_", UNLESS)],
        ),
    ],
)
def test_action_decisions(state, rebalance, queued_exits, done_exits):
    assert decide(**state)["actions"] == {
        "rebalance": rebalance,
        "queued_exits": queued_exits,
        "done_exits": done_exits,
    }
