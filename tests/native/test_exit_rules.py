"""Exit rules: thresholds, the close test and its queue, touched exits,
stop-trading-next-period and delisting. Fees and taxes are 0 unless a test
sets them; expectations are worked out from the rules."""

import numpy as np
import pytest
from markets import backtest, trades

from tolvane.core import ravelin


def actions():
    return ravelin.get_stock_operations()["actions"]


def exited_labels():
    return {sid: label for sid, label in actions().items() if label.endswith("_")}


class TestCloseTest:
    def test_take_profit_at_exactly_max_r_is_sold_at_the_next_bar(self):
        fee, tax = 0.01, 0.02
        prices = [[1.0, 10.0], [1.0, 10.0], [1.0, 10.0], [1.0, 12.0]]
        closes = [[1.0, 10.0], [1.0, 10.0], [1.0, 11.0], [1.0, 12.0]]
        creturn = backtest(prices, [[0.0, 1.0]], close=closes, take_profit=0.1, fee_ratio=fee, tax_ratio=tax)
        assert 1.0 * 11.0 / 10.0 == 1 + 0.1  # the close ratio equals max_r
        held = 1.0 - fee
        sold = held * 12 / 10
        expected = [1.0, held, held * 11 / 10, sold - sold * (fee + tax)]
        np.testing.assert_allclose(creturn, expected, rtol=1e-14)
        assert trades() == [(1, 1, 3)]
        # the close test of bar 3 queued the stock again; that duplicate was dropped
        assert actions() == {1: "tp_"}

    def test_close_exactly_at_min_r_does_not_queue_and_below_does(self):
        prices = [[10.0]] * 4
        backtest(prices, [[1.0]], close=[[10.0], [10.0], [9.5], [10.0]], stop_loss=0.05)
        assert 9.5 / 10.0 == 1 - 0.05
        assert trades() == [(0, 1, -1)] and actions() == {}
        backtest(prices[:3], [[1.0]], close=[[10.0], [10.0], [9.4]], stop_loss=0.05)
        assert actions() == {0: "sl"}  # queued for the bar after the last

    def test_negative_stop_levels_count_by_magnitude(self):
        backtest([[10.0]] * 3, [[1.0]], close=[[10.0], [10.0], [9.4]], stop_loss=-0.05)
        assert actions() == {0: "sl"}

    def test_nan_close_decides_nothing(self):
        backtest([[10.0]] * 3, [[1.0]], close=[[10.0], [10.0], [np.nan]], stop_loss=0.0001)
        assert actions() == {}

    def test_short_stop_loss_is_positive_and_take_profit_negative(self):
        # a short's stop loss is its upper threshold, its take profit the lower one
        backtest([[10.0]] * 3, [[-1.0]], close=[[10.0], [10.0], [11.0]], stop_loss=0.1)
        assert actions() == {0: "tp"}
        backtest([[10.0]] * 3, [[-1.0]], close=[[10.0], [10.0], [8.0]], take_profit=0.1)
        assert actions() == {0: "sl"}

    @pytest.mark.parametrize(("close", "label"), [(12.0, "tp"), (8.0, "sl")])
    def test_column_zero_keeps_its_side(self, close, label):
        backtest(
            [[10.0, 10.0]] * 3,
            [[1.0, 1.0]],
            close=[[10.0] * 2, [10.0] * 2, [close] * 2],
            take_profit=0.1,
            stop_loss=0.1,
        )
        assert actions() == {0: label, 1: label}


class TestTrailingStop:
    def test_trailing_stop_activates_at_its_gain(self):
        prices = [[10.0], [10.0], [11.5], [10.4], [12.5], [11.4], [11.0]]
        creturn = backtest(prices, [[1.0]], trail_stop=0.1, trail_stop_activation=0.2)
        # bar 3: cr 1.04 after a peak of 1.15 -- not active yet (peak below 1.2)
        # bar 5: cr 1.14 after a peak of 1.25 -- below 1.25 - 0.1: queued, sold at bar 6
        assert trades() == [(0, 1, 6)]
        assert creturn[-1] == pytest.approx(11.0 / 10.0)
        assert actions() == {0: "sl_"}

    def test_trailing_stop_replaces_a_lower_stop_loss_only(self):
        prices = [[10.0], [10.0], [12.5], [11.9]]
        # peak 1.25: trailing level 1.25 - 0.1 = 1.15; a stop loss of 0.01 (0.99) is lower
        backtest(prices, [[1.0]], trail_stop=0.1, stop_loss=0.01)
        assert actions() == {}
        backtest(prices + [[11.4]], [[1.0]], trail_stop=0.1, stop_loss=0.01)
        assert actions() == {0: "sl"}

    def test_short_trailing_stop(self):
        prices = [[10.0], [10.0], [7.5], [8.6]]
        # trough 0.75: the upper threshold becomes 0.75 + 0.1
        backtest(prices, [[-1.0]], trail_stop=0.1)
        assert actions() == {0: "tp"}


class TestQueuedExecution:
    ROWS = [[0.0, 1.0], [0.0, 1.0]]
    PRICES = [[1.0, 10.0], [1.0, 10.0], [1.0, 9.0], [1.0, 9.0], [1.0, 9.0]]

    def test_stopped_stock_is_sold_and_not_bought_back(self):
        creturn = backtest(self.PRICES, self.ROWS, weight_bars=[0, 2], stop_loss=0.05)
        # queued at bar 2, sold at bar 3; the row traded at bar 3 has its weight zeroed
        assert trades() == [(1, 1, 3)]
        np.testing.assert_allclose(creturn, [1.0, 1.0, 0.9, 0.9, 0.9])
        operations = ravelin.get_stock_operations()
        assert operations["weights"] == {} and operations["next_weights"] == {}
        assert operations["actions"] == {}  # exited_stocks is cleared by that rebalance

    def test_without_stop_trading_the_rebalance_keeps_it(self):
        backtest(self.PRICES, self.ROWS, weight_bars=[0, 2], stop_loss=0.05, stop_trading_next_period=False)
        # bar 3: the exit queued at bar 2 is left to the rebalance, which resizes the
        # holding (a split record); the close test of bar 3 ran before that rebalance
        # on the old ratio (0.9) and queues the stock again: sold at bar 4
        assert trades() == [(1, 1, 3), (1, 3, 4)]

    def test_queued_exit_of_a_flat_stock_does_nothing(self):
        prices = [[10.0]] * 4
        backtest(prices, [[1.0], [0.0]], weight_bars=[0, 1], close=[[10.0], [10.0], [9.0], [10.0]], stop_loss=0.05)
        # queued at bar 2, but the rebalance of bar 2 already sold it
        assert trades() == [(0, 1, 2)]
        assert actions() == {}

    def test_delisting_is_no_stop_and_does_not_block_re_entry(self):
        prices = [[10.0]] * 6
        backtest(prices, [[1.0], [1.0]], weight_bars=[0, 3], delisting_bars=np.array([2]))
        assert trades() == [(0, 1, 2), (0, 4, -1)]


class TestTouchedExits:
    def run(self, weight, bar2, take_profit=np.inf, stop_loss=1.0, fee=0.0, tax=0.0, extra=()):
        """One stock entered at bar 1 (price 10); bar 2 has (open, high, low, price)."""
        opening, high, low, price = bar2
        bars = [(10.0, 10.0, 10.0, 10.0)] * 2 + [bar2] + list(extra)
        return backtest(
            [[b[3]] for b in bars],
            [[weight]],
            open_=[[b[0]] for b in bars],
            high=[[b[1]] for b in bars],
            low=[[b[2]] for b in bars],
            touched_exit=True,
            take_profit=take_profit,
            stop_loss=stop_loss,
            fee_ratio=fee,
            tax_ratio=tax,
        )

    def test_gap_through_the_stop_exits_at_the_open(self):
        fee, tax = 0.01, 0.02
        creturn = self.run(1.0, (8.5, 9.0, 8.0, 8.8), stop_loss=0.1, fee=fee, tax=tax)
        held = 1.0 - fee
        value = held * 8.5 / 10  # entry value times the opening ratio, not the threshold
        assert creturn[2] == pytest.approx(value - value * (fee + tax), rel=1e-14)
        assert trades() == [(0, 1, 2)]
        assert actions() == {0: "sl_"}

    def test_both_thresholds_without_a_gap_exit_at_the_upper_one(self):
        creturn = self.run(1.0, (10.0, 11.5, 8.5, 10.0), take_profit=0.1, stop_loss=0.1)
        assert creturn[2] == pytest.approx(1.0 * (1 + 0.1))
        assert actions() == {0: "sl_"}  # the low was touched on a long: a negative record

    def test_upper_threshold_alone(self):
        creturn = self.run(1.0, (10.0, 11.5, 9.5, 10.0), take_profit=0.1, stop_loss=0.1)
        assert creturn[2] == pytest.approx(1.1)
        assert actions() == {0: "tp_"}

    @pytest.mark.parametrize(
        ("bar2", "value", "label"),
        [((10.0, 11.5, 9.5, 10.0), -1.0 * 1.1, "sl_"), ((10.0, 10.5, 8.5, 10.0), -1.0 * 0.9, "tp_")],
    )
    def test_short_side_signs(self, bar2, value, label):
        creturn = self.run(-1.0, bar2, take_profit=0.1, stop_loss=0.1)
        # short 1.0: cash 2.0 after the entry; buying back at |value| leaves 2 + value
        assert creturn[2] == pytest.approx(2.0 + value)
        assert actions() == {0: label}

    def test_exited_stock_keeps_a_zero_entry_and_is_tested_again(self):
        later = [(9.0, 11.5, 9.0, 9.0), (9.0, 9.0, 9.0, 9.0)]
        creturn = self.run(1.0, (9.5, 9.6, 8.9, 9.0), stop_loss=0.1, extra=later)
        assert creturn[2] == pytest.approx(0.9) and creturn[-1] == pytest.approx(0.9)
        assert trades() == [(0, 1, 2)]  # the second touch sells nothing
        assert actions() == {0: "tp_"}  # the later record (a zero entry is never losing)

    @pytest.mark.parametrize(("bar2", "label"), [((10.0, 11.5, 9.5, 10.0), "tp_"), ((10.0, 10.0, 8.0, 10.0), "sl_")])
    def test_column_zero_keeps_its_side(self, bar2, label):
        bars = [(10.0, 10.0, 10.0, 10.0)] * 2 + [bar2]
        double = lambda k: [[b[k], b[k]] for b in bars]
        backtest(
            double(3),
            [[0.5, 0.5]],
            open_=double(0),
            high=double(1),
            low=double(2),
            touched_exit=True,
            take_profit=0.1,
            stop_loss=0.1,
        )
        assert actions() == {0: label, 1: label}
