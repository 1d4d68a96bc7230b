"""Position updates and rebalancing with costs (the core's trading functions,
reached through the private probe module)."""

import numpy as np
import pytest
from hooks import require_hook

_probe = require_hook()


FEE, TAX = 0.001425, 0.003


def set_position(
    book, sid, position, cash=0.0, fee=FEE, tax=TAX, check_null=True, set_null=False, balance=1.0, split=True
):
    return _probe.set_position(book, sid, position, cash, fee, tax, check_null, set_null, balance, split)


class TestSetPosition:
    def test_zero_target_for_a_stock_not_held(self):
        assert set_position({}, 3, 0.0, cash=5.0) == (5.0, {}, [])

    def test_zero_target_without_lookup_inserts_a_zero_entry(self):
        assert set_position({}, 3, 0.0, cash=5.0, check_null=False) == (5.0, {3: 0.0}, [])
        assert set_position({}, 3, 0.0, cash=5.0, check_null=False, set_null=True) == (5.0, {}, [])

    def test_closing_a_long_pays_fee_and_tax(self):
        cash, book, calls = set_position({1: 1000.0}, 1, 0.0, cash=0.0, set_null=True)
        assert cash == pytest.approx(1000 - 1000 * (FEE + TAX))
        assert cash == pytest.approx(995.575)
        assert book == {} and calls == [("exit", 1, 1)]

    def test_closing_keeps_a_zero_entry_without_set_null(self):
        _, book, _ = set_position({1: 1000.0}, 1, 0.0)
        assert book == {1: 0.0}

    def test_opening_books_the_fee_in_the_holding(self):
        cash, book, calls = set_position({}, 2, 1000.0, cash=2000.0, balance=4000.0)
        assert cash == 1000.0
        assert book == {2: pytest.approx(1000 - 1000 * FEE)}
        assert book[2] == pytest.approx(998.575)
        assert calls == [("entry", 2, 1000.0 / 4000.0, 1)]

    def test_reducing_a_long_is_a_sale(self):
        cash, book, _ = set_position({0: 1000.0}, 0, 600.0, split=False)
        assert cash == pytest.approx(400 - 400 * (FEE + TAX))
        assert book == {0: 600.0}

    def test_raising_a_short_is_an_entry(self):
        cash, book, _ = set_position({0: -1000.0}, 0, -1500.0, split=False)
        assert cash == pytest.approx(500 - 500 * FEE)
        assert book == {0: -1500.0}

    def test_covering_part_of_a_short_pays_fee_and_tax(self):
        cash, book, _ = set_position({0: -1000.0}, 0, -500.0, split=False)
        cost = 500 * (FEE + TAX)
        assert cash == pytest.approx(-500.0)
        assert book == {0: pytest.approx(-1000 + (500 - cost))}

    def test_same_target_trades_nothing_but_splits_the_record(self):
        cash, book, calls = set_position({4: 250.0}, 4, 250.0, cash=1.0, balance=1000.0)
        assert (cash, book) == (1.0, {4: 250.0})
        assert calls == [("exit", 4, 0), ("entry", 4, 0.25, 0)]
        assert set_position({4: 250.0}, 4, 250.0, cash=1.0, split=False)[2] == []

    def test_nan_target_counts_as_a_position(self):
        cash, book, calls = set_position({}, 0, float("nan"))
        assert np.isnan(cash) and np.isnan(book[0])
        assert calls[0][0] == "entry"

    def test_entry_with_zero_balance_raises_the_interpreters_division_error(self):
        with pytest.raises(ZeroDivisionError) as native:
            1.0 / 0.0
        with pytest.raises(ZeroDivisionError) as ours:
            set_position({}, 0, 1.0, balance=0.0)
        assert str(ours.value) == str(native.value)


def rebalance(book, weights, cash, limit=1.0, fee=0.0, tax=0.0, split=True):
    return _probe.rebalance(book, np.asarray(weights, dtype=np.float64), cash, fee, tax, limit, split)


class TestRebalance:
    def test_weights_below_one_invest_only_that_share(self):
        cash, book, _ = rebalance({}, [0.2, 0.0, 0.3], 10.0)
        assert book == {0: 2.0, 2: 3.0}
        assert cash == 5.0

    def test_weights_above_one_are_scaled_to_the_portfolio_value(self):
        cash, book, calls = rebalance({}, [1.0, -1.0, 2.0], 8.0)
        # balance 8, |w| sum 4: each target is w * 8 / 4
        assert book == {0: 2.0, 1: -2.0, 2: 4.0}
        assert cash == 8.0 - 2.0 + 2.0 - 4.0
        assert [c[2] for c in calls] == [2.0 / 8.0, -2.0 / 8.0, 4.0 / 8.0]

    def test_clipping_at_the_position_limit(self):
        _, book, _ = rebalance({}, [0.5, -0.4, 0.1], 10.0, limit=0.4)
        assert book == {0: 4.0, 1: -4.0, 2: 1.0}  # -0.4, exactly at the limit, is kept

    def test_balance_is_fixed_before_trading_and_columns_go_in_order(self):
        # sells of later columns do not fund buys of earlier ones: cash dips below 0
        cash, book, calls = rebalance({1: 6.0}, [0.6, 0.0], 0.0, fee=0.01, tax=0.01)
        assert [c[:2] for c in calls] == [("entry", 0), ("exit", 1)]
        assert book == {0: pytest.approx(3.6 - 3.6 * 0.01)}
        assert cash == pytest.approx(-3.6 + 6.0 - 6.0 * 0.02)

    def test_all_zero_weights_close_everything(self):
        cash, book, _ = rebalance({0: 2.0, 3: -1.0}, [0.0] * 4, 1.0)
        assert book == {} and cash == 2.0

    def test_nan_weight_sum_uses_ratio_one(self):
        _, book, _ = rebalance({}, [0.25, float("nan")], 4.0, split=False)
        assert book[0] == 0.25  # the unscaled weight: ratio 1.0
        assert np.isnan(book[1])

    def test_resizing_splits_trade_records(self):
        _, _, calls = rebalance({0: 1.0}, [0.5], 1.0)
        assert calls == [("exit", 0, 0), ("entry", 0, 0.5 * 2.0 / 2.0, 0)]


@pytest.mark.parametrize("size", [0, 1, 7, 8, 9, 15, 16, 17, 127, 128, 129, 255, 256, 1000, 8191, 8193, 20000])
def test_absolute_sum_is_numpys_bit_for_bit(size):
    rng = np.random.default_rng(size)
    values = rng.standard_normal(size) * 10.0 ** rng.uniform(-6, 6, size)
    assert _probe.absolute_sum(values) == np.abs(values).sum()
    strided = np.repeat(values, 3)[::3]
    assert _probe.absolute_sum(strided[::-1]) == np.abs(strided[::-1]).sum()
