"""The simulation run: rebalancing, valuation, the calendar and trade records.

Expected values are worked out from the rules in each test.
"""

import numpy as np
import pytest
from markets import DAY, backtest, dates, labels, trades

from tolvane.core import ravelin, vexal

NAN = float("nan")


def test_buy_and_hold_books_the_entry_fee_in_the_holding():
    prices = [[10.0], [11.0], [12.0], [13.0]]
    closes = [[10.5], [11.5], [12.5], [13.5]]
    creturn = backtest(prices, [[1.0]], close=closes, fee_ratio=0.01)
    holding = 1.0 - 0.01  # bought at bar 1 for the whole capital, fee out of the holding
    expected = [
        1.0,
        holding * 11.5 / 11,
        holding * (12 / 11) * 12.5 / 12,
        holding * (13 / 11) * 13.5 / 13,
    ]
    np.testing.assert_allclose(creturn, expected, rtol=1e-14)
    assert creturn.dtype == np.float64 and creturn.shape == (4,)
    assert trades() == [(0, 1, -1)]
    assert vexal.trade_positions == [1.0]


def test_two_stocks_with_clipping():
    prices = [[10.0, 20.0], [10.0, 20.0], [12.0, 20.0]]
    creturn = backtest(prices, [[0.8, 0.2]], position_limit=0.5)
    cash = 1.0 - 0.5 - 0.2  # 0.8 is clipped to the limit
    np.testing.assert_allclose(creturn, [1.0, 1.0, cash + 0.5 * 12 / 10 + 0.2])
    assert vexal.trade_positions == [0.5, 0.2]


def test_weights_summing_above_one_are_scaled():
    prices = [[10.0, 20.0], [10.0, 20.0], [12.0, 20.0]]
    creturn = backtest(prices, [[1.0, 1.0]])
    np.testing.assert_allclose(creturn, [1.0, 1.0, 0.5 * 1.2 + 0.5])


def test_short_entry_and_partial_cover():
    fee, tax = 0.01, 0.02
    prices = [[10.0], [10.0], [8.0], [8.0], [8.0]]
    creturn = backtest(prices, [[-0.5], [-0.25]], weight_bars=[0, 2], fee_ratio=fee, tax_ratio=tax)
    # bar 1: short 0.5, an entry: fee only, proceeds to cash
    cash = 1.0 + (0.5 - 0.5 * fee)
    held = -0.5
    bar1 = cash + held
    # bar 2: the stock falls to 8
    held *= 8 / 10
    bar2 = cash + held
    # bar 3: cover down to 0.25 of the portfolio value: a buy, not an entry
    balance = cash + held
    target = -0.25 * balance
    amount = target - held
    cash -= amount
    held += amount - amount * (fee + tax)
    bar3 = cash + held
    np.testing.assert_allclose(creturn, [1.0, bar1, bar2, bar3, bar3], rtol=1e-14)


def test_nan_trade_price_keeps_the_book_value_and_the_base():
    creturn = backtest([[10.0], [10.0], [NAN], [12.0]], [[1.0]])
    np.testing.assert_allclose(creturn, [1.0, 1.0, 1.0, 12 / 10])


def test_nan_previous_price_is_replaced_by_the_current_price():
    # entered at bar 1 whose price is missing: the base restarts at bar 2
    creturn = backtest([[10.0], [NAN], [12.0], [15.0]], [[1.0]])
    np.testing.assert_allclose(creturn, [1.0, 1.0, 1.0, 15 / 12])


class TestMissingPriceOnARebalanceBar:
    """A held stock whose price is missing on a rebalance bar keeps its last
    known price as base; a stock bought there starts from its next price."""

    PRICES = [[10.0], [10.0], [NAN], [12.0]]

    @pytest.mark.parametrize("weight, value", [(1.0, 1.2), (-1.0, 2.0 - 1.2)])  # short: cash 2, owes 1.2
    def test_a_held_position_follows_the_price_when_it_comes_back(self, weight, value):
        # bought at bar 1, rebalanced to the same weight at bar 2 (price missing)
        creturn = backtest(self.PRICES, [[weight], [weight]])
        np.testing.assert_allclose(creturn, [1.0, 1.0, 1.0, value], rtol=1e-15)
        filled = backtest([[10.0], [10.0], [10.0], [12.0]], [[weight], [weight]])
        np.testing.assert_array_equal(creturn, filled)

    def test_two_position_columns_priced_by_one_column_both_follow(self):
        creturn = backtest(self.PRICES, [[0.5, 0.5], [0.5, 0.5]], price_labels=["A"], pos_labels=["A", "A"])
        np.testing.assert_allclose(creturn, [1.0, 1.0, 1.0, 0.5 * 1.2 + 0.5 * 1.2], rtol=1e-15)

    def test_a_stock_bought_there_counts_no_move_before_its_next_price(self):
        prices = [[10.0, 20.0], [10.0, 20.0], [NAN, NAN], [12.0, 25.0], [12.0, 30.0]]
        # A bought at bar 1; at bar 2 half of it is sold and B bought, both prices missing
        creturn = backtest(prices, [[1.0, 0.0], [0.5, 0.5]])
        a = 0.5 * 12 / 10  # A kept its base 10
        b = [0.5, 0.5 * 30 / 25]  # B starts from 25, its next known price
        np.testing.assert_allclose(creturn, [1.0, 1.0, 1.0, a + b[0], a + b[1]], rtol=1e-15)

    def test_a_touched_exit_on_the_next_bar_uses_the_kept_base(self):
        creturn = backtest(self.PRICES, [[1.0], [1.0]], touched_exit=True, take_profit=0.15)
        # the open of bar 3 gaps to 12 / 10 = 1.2 >= 1.15: sold at the open
        assert trades() == [(0, 1, 2), (0, 2, 3)]
        np.testing.assert_allclose(creturn, [1.0, 1.0, 1.0, 1.2], rtol=1e-15)


def test_nan_close_values_the_position_at_its_book_value():
    creturn = backtest([[10.0], [10.0], [11.0]], [[1.0]], close=[[10.0], [NAN], [NAN]])
    np.testing.assert_allclose(creturn, [1.0, 1.0, 1.1])


def test_resample_date_between_bars_marks_the_earlier_bar():
    prices = [[10.0], [11.0], [12.0], [13.0], [14.0]]
    creturn = backtest(prices, [[1.0]], resample=[1 * DAY + DAY // 2])
    # bar 1 is marked: the rebalance happens at bar 2
    assert trades() == [(0, 2, -1)]
    np.testing.assert_allclose(creturn, [1.0, 1.0, 1.0, 13 / 12, 14 / 12])


def test_resample_date_on_a_bar_marks_that_bar():
    backtest([[10.0]] * 4, [[1.0]], resample=[2 * DAY])
    assert trades() == [(0, 3, -1)]


def test_target_row_dated_on_a_bar_is_traded_at_the_next_bar():
    prices = [[10.0, 10.0]] * 5
    backtest(prices, [[1.0, 0.0], [0.0, 1.0]], weight_bars=[0, 2])
    # row 1 is dated on bar 2: in force at the end of bar 2, traded at bar 3
    assert trades() == [(0, 1, 3), (1, 3, -1)]


def test_empty_resample_never_rebalances():
    creturn = backtest([[10.0], [11.0], [12.0]], [[1.0]], resample=np.array([], dtype=np.int64))
    np.testing.assert_array_equal(creturn, [1.0, 1.0, 1.0])
    assert vexal.trades == []


def test_bars_before_the_first_target_row():
    prices = [[10.0], [11.0], [12.0], [13.0]]
    creturn = backtest(prices, [[1.0]], weight_bars=[2])
    # bars 0 and 1 are skipped; row 0 is in force from bar 2 and traded at bar 3
    np.testing.assert_allclose(creturn, [1.0, 1.0, 1.0, 1.0])
    assert trades() == [(0, 3, -1)]


def test_all_bars_before_the_first_target_row():
    index = dates(3)
    prices = np.array([[10.0], [11.0], [12.0]])
    names = labels(["A"])
    creturn = ravelin.backtest_(
        prices, prices, prices, prices, prices, index, names, np.array([[1.0]]), np.array([10 * DAY]), names, index
    )
    np.testing.assert_array_equal(creturn, [1.0, 1.0, 1.0])
    assert vexal.trades == []


def test_periodic_rebalancing_splits_resized_trades():
    prices = [[10.0], [10.0], [10.0], [10.0]]
    backtest(prices, [[1.0], [0.5]], weight_bars=[0, 1])
    # bar 2 resizes the holding: the record is closed and reopened without costs
    assert trades() == [(0, 1, 2), (0, 2, -1)]
    assert vexal.trade_positions == [1.0, 0.5]
    assert ravelin.RESAMPLE is True and ravelin.RETAIN_COST_WHEN_REBALANCE is False


@pytest.mark.parametrize("options", [{"periodically_rebalance": False}, {"retain_cost_when_rebalance": True}])
def test_no_split_without_periodic_rebalancing_or_with_retained_costs(options):
    backtest([[10.0]] * 4, [[1.0], [0.5]], weight_bars=[0, 1], **options)
    assert trades() == [(0, 1, -1)]
    assert ravelin.RESAMPLE is options.get("periodically_rebalance", True)
    assert ravelin.RETAIN_COST_WHEN_REBALANCE is options.get("retain_cost_when_rebalance", False)


def test_closed_trade_records_its_exit_bar():
    backtest([[10.0]] * 4, [[1.0], [0.0]], weight_bars=[0, 1])
    assert trades() == [(0, 1, 2)]


def test_default_stops_never_fire():
    rng = np.random.default_rng(7)
    prices = 10 * np.exp(np.cumsum(rng.normal(0, 0.05, (60, 3)), axis=0))
    creturn = backtest(prices, [[0.3, 0.3, 0.4]], fee_ratio=0.001425, tax_ratio=0.003)
    assert trades() == [(0, 1, -1), (1, 1, -1), (2, 1, -1)]
    holdings = np.array([0.3, 0.3, 0.4]) * (1 - 0.001425)
    np.testing.assert_allclose(creturn[-1], (holdings * prices[-1] / prices[1]).sum(), rtol=1e-12)


def test_delisting_sells_after_the_rebalance_and_before_the_close():
    fee, tax = 0.01, 0.02
    prices = [[10.0, 10.0], [10.0, 10.0], [12.0, 10.0], [12.0, 10.0]]
    creturn = backtest(prices, [[0.5, 0.5]], fee_ratio=fee, tax_ratio=tax, delisting_bars=np.array([2, -1]))
    held = 0.5 - 0.5 * fee
    cash = 0.0
    bar1 = cash + 2 * held
    sold = held * 12 / 10
    cash += sold - sold * (fee + tax)
    bar2 = cash + held
    np.testing.assert_allclose(creturn, [1.0, bar1, bar2, bar2], rtol=1e-14)
    assert trades() == [(0, 1, 2), (1, 1, -1)]


def test_zero_position_is_not_delisted():
    backtest([[10.0, 10.0]] * 3, [[0.0, 1.0]], delisting_bars=np.array([1, -1]))
    assert trades() == [(1, 1, -1)]


def test_duplicate_labels_both_follow_the_price():
    prices = [[10.0], [10.0], [12.0]]
    creturn = backtest(prices, [[0.5, 0.5]], price_labels=["A"], pos_labels=["A", "A"])
    np.testing.assert_allclose(creturn, [1.0, 1.0, 1.2])


def test_position_columns_map_to_the_last_price_column_of_their_label():
    prices = [[10.0, 20.0, 30.0], [10.0, 20.0, 30.0], [11.0, 22.0, 36.0]]
    creturn = backtest(prices, [[0.5, 0.0, 0.5]], price_labels=["A", "B", "A"], pos_labels=["A", "C", "B"])
    # A trades on price column 2 (+20%), B on column 1 (+10%); C has no price and no weight
    np.testing.assert_allclose(creturn, [1.0, 1.0, 0.5 * 1.2 + 0.5 * 1.1])


@pytest.mark.parametrize("weight", [0.25, NAN])
def test_unpriced_position_column_with_weight_is_refused(weight):
    with pytest.raises(ValueError) as error:
        backtest(
            [[10.0]] * 3, [[0.5, 0.0], [0.5, weight]], weight_bars=[0, 1], price_labels=["A"], pos_labels=["A", "Z"]
        )
    assert str(error.value) == "Position column 'Z' has no matching price column"


def test_unpriced_position_column_without_weight_is_allowed():
    creturn = backtest([[10.0], [10.0], [11.0]], [[1.0, 0.0]], price_labels=["A"], pos_labels=["A", "Z"])
    np.testing.assert_allclose(creturn, [1.0, 1.0, 1.1])


def test_strided_and_read_only_inputs_give_the_same_result():
    rng = np.random.default_rng(3)
    prices = 10 + rng.random((12, 4))
    weights = rng.random((3, 4))
    expected = backtest(prices, weights, weight_bars=[0, 4, 8])

    def odd_layout(array):
        array = np.asfortranarray(array)
        array.flags.writeable = False
        return array

    wide = np.zeros((12, 8))
    wide[:, ::2] = prices  # every other column: a non-contiguous view
    reversed_rows = np.ascontiguousarray(weights[::-1])[::-1]
    result = backtest(
        wide[:, ::2], odd_layout(reversed_rows), weight_bars=[0, 4, 8], close=odd_layout(prices), high=prices.T.copy().T
    )
    np.testing.assert_array_equal(result, expected)
    assert not np.shares_memory(result, prices)


def test_arrays_are_not_written():
    arguments = [np.array(a) for a in [[[10.0], [11.0], [12.0]]] * 5]
    before = [a.copy() for a in arguments]
    backtest(arguments[0], [[1.0]], close=arguments[1], high=arguments[2], low=arguments[3], open_=arguments[4])
    for a, b in zip(arguments, before):
        np.testing.assert_array_equal(a, b)
