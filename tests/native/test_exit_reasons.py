"""Why each trade ended, on hand-made markets whose exits follow from the
rules: one stock bought at bar 1 at 10 (its target row is dated on bar 0),
no costs. A close test decided on bar d sells at bar d + 1; a touched exit
sells inside its bar."""

import numpy as np
import pytest
from columnar import columnar_run, hand_market

from tolvane.core import _columns

NO_COSTS = dict(fee_ratio=0.0, tax_ratio=0.0)
QUIET = [10, 10, 10, 10, 10]


def trades(market, **options):
    columns = columnar_run(market, **NO_COSTS, **options)
    reasons = [_columns.EXIT_REASONS[code] for code in columns["exit_reason"]]
    return list(
        zip(columns["trade_stock"].tolist(), columns["entry_bar"].tolist(), columns["exit_bar"].tolist(), reasons)
    )


def intrabar(bar, **prices):
    """High, low and open of QUIET with the given values at `bar`."""
    ranges = {name: np.array(QUIET, dtype=np.float64) for name in ("high", "low", "open_")}
    for name, value in prices.items():
        ranges[name][bar] = value
    return ranges


@pytest.mark.parametrize(
    "weight, prices, options, reason",
    [
        # a long: the upper threshold is the take profit, the lower one the stop
        # loss or, where it is tighter, the trailing stop (bar 3's close / 10)
        (1.0, [10, 10, 10, 11.5, 11, 11], dict(take_profit=0.1), "take_profit"),  # 1.15 >= 1.1
        (1.0, [10, 10, 10, 8.5, 8, 8], dict(stop_loss=0.1), "stop_loss"),  # 0.85 < 0.9
        # highest 1.3 >= 1 + 0.2 activates the trail: 1.15 < 1.3 - 0.1, above 1 - 0.5
        (
            1.0,
            [10, 10, 13, 11.5, 11, 11],
            dict(stop_loss=0.5, trail_stop=0.1, trail_stop_activation=0.2),
            "trailing_stop",
        ),
        # the trail at 1.05 - 0.2 is looser than the stop loss at 0.95: 0.94 < 0.95
        (1.0, [10, 10, 10.5, 9.4, 9, 9], dict(stop_loss=0.05, trail_stop=0.2), "stop_loss"),
        # a short: the upper threshold is the stop loss or the trailing stop, the
        # lower one the take profit
        (-1.0, [10, 10, 10, 11.5, 12, 12], dict(stop_loss=0.1), "stop_loss"),  # 1.15 >= 1.1
        (-1.0, [10, 10, 10, 8.5, 8, 8], dict(take_profit=0.1), "take_profit"),  # 0.85 < 0.9
        # lowest 0.7 <= 1 - 0.2 activates the trail: 0.85 >= 0.7 + 0.1, below 1 + 1
        (-1.0, [10, 10, 7, 8.5, 9, 9], dict(trail_stop=0.1, trail_stop_activation=0.2), "trailing_stop"),
    ],
)
def test_a_close_test_exit_carries_the_crossed_threshold(weight, prices, options, reason):
    assert trades(hand_market(prices, [[weight]]), **options) == [(0, 1, 4, reason)]


@pytest.mark.parametrize(
    "weight, ranges, options, reason",
    [
        # bar 3 opens at 8.5, through the stop at 0.9: sold at the open, inside the bar
        (1.0, intrabar(3, open_=8.5, low=8.5), dict(stop_loss=0.1), "stop_loss"),
        (1.0, intrabar(3, high=11.2), dict(take_profit=0.1), "take_profit"),  # 1.12 >= 1.1
        (-1.0, intrabar(3, high=11.2), dict(stop_loss=0.1), "stop_loss"),
        (-1.0, intrabar(3, low=8.8), dict(take_profit=0.1), "take_profit"),  # 0.88 <= 0.9
        # an open above a short's upper threshold: a gap through its stop loss
        (-1.0, intrabar(3, open_=11.5, high=11.5), dict(stop_loss=0.1), "stop_loss"),
    ],
)
def test_a_touched_exit_carries_the_touched_threshold(weight, ranges, options, reason):
    market = hand_market(QUIET, [[weight]], **ranges)
    assert trades(market, touched_exit=True, **options) == [(0, 1, 3, reason)]


def test_a_touched_trailing_stop():
    # bar 2 lifts the highest ratio to 1.3: the trail sits at 1.2, and bar 3's low touches it
    prices = [10, 10, 13, 13, 13]
    market = hand_market(prices, [[1.0]], low=[10, 10, 13, 11.5, 13])
    options = dict(touched_exit=True, trail_stop=0.1, trail_stop_activation=0.2)
    assert trades(market, **options) == [(0, 1, 3, "trailing_stop")]


def test_delisting_and_still_open():
    market = hand_market([[10, 20]] * 5, [[0.5, 0.5]])
    delisting = np.array([3, -1], dtype=np.int64)
    assert trades(market, delisting_bars=delisting) == [(0, 1, 3, "delisting"), (1, 1, -1, "open")]


def test_a_zero_target_ends_the_trade_at_the_rebalance():
    market = hand_market([10, 10, 11, 12, 12], [[1.0], [0.0]], weight_bars=[0, 2])
    assert trades(market) == [(0, 1, 3, "rebalance")]


@pytest.mark.parametrize(
    "options, expected",
    [
        (dict(), [(0, 1, 3, "rebalance", True, False), (0, 3, -1, "open", False, False)]),
        (dict(periodically_rebalance=False), [(0, 1, -1, "open", True, False)]),
        (dict(retain_cost_when_rebalance=True), [(0, 1, -1, "open", True, False)]),
    ],
)
def test_a_resize_splits_the_trade_as_a_rebalance_without_costs(options, expected):
    market = hand_market([10, 10, 11, 12, 12], [[0.5], [0.8]], weight_bars=[0, 2])
    columns = columnar_run(market, **NO_COSTS, **options)
    got = [
        (*trade, bool(paid_in), bool(paid_out))
        for trade, paid_in, paid_out in zip(trades(market, **options), columns["entry_paid"], columns["exit_paid"])
    ]
    assert got == expected


@pytest.mark.parametrize(
    "stop_trading, expected",
    [
        # the exit decided on bar 3 is carried out at bar 4 before its rebalance,
        # which does not buy the stock back
        (True, [(0, 1, 4, "stop_loss")]),
        # the rebalance keeps the stock: the queued exit is dropped and the
        # resize splits the trade
        (False, [(0, 1, 4, "rebalance"), (0, 4, -1, "open")]),
    ],
)
def test_an_exit_queued_for_a_rebalance_bar(stop_trading, expected):
    # bar 3's close is at 0.85 < 0.9; bar 4's trade price, 9.5, is above the stop again
    market = hand_market([10, 10, 10, 8.5, 9.5, 9.5], [[1.0], [1.0]], weight_bars=[0, 3])
    assert trades(market, stop_loss=0.1, stop_trading_next_period=stop_trading) == expected
