"""The book in money and the costs of trading, rule by rule, on hand-made
markets whose numbers follow from the rules: a target row dated on bar k is
traded at bar k + 1 at that bar's trade price (the close is the trade price
unless given)."""

import math

import numpy as np
import pytest
from columnar import columnar_run, hand_market

from tolvane.core import _columns

NO_COSTS = dict(fee_ratio=0.0, tax_ratio=0.0)
REASON = {name: code for code, name in enumerate(_columns.EXIT_REASONS)}


def orders(run):
    """The order log as rows (bar, stock, side, reason, quantity, price, value, fee, tax, cash)."""
    columns = ["order_bar", "order_stock", "order_side", "order_reason"]
    amounts = ["order_quantity", "order_price", "order_value", "order_fee", "order_tax", "order_cash"]
    return [
        (*(int(run[name][i]) for name in columns), *(float(run[name][i]) for name in amounts))
        for i in range(len(run["order_bar"]))
    ]


def assert_rows(got, expected):
    assert len(got) == len(expected)
    for row, want in zip(got, expected):
        assert row[:4] == want[:4]
        np.testing.assert_allclose(row[4:], want[4:], rtol=1e-12, atol=1e-9)


@pytest.mark.parametrize(
    "lot_size, shares",
    [
        (100.0, 300.0),  # 10_000 / 30 = 333.3 shares: three whole lots of 100
        (1.0, 333.0),
        (None, 10_000 / 30),  # fractional shares
        (np.array([7.0]), 329.0),  # 47 lots of 7
    ],
)
def test_a_rebalance_buys_whole_lots_toward_zero_and_keeps_the_rest_in_cash(lot_size, shares):
    market = hand_market([30.0, 30.0, 33.0], [[1.0]])
    run = columnar_run(market, capital=10_000, lot_size=lot_size, **NO_COSTS)
    cash = 10_000 - shares * 30
    assert_rows(orders(run), [(1, 0, 1, REASON["rebalance"], shares, 30.0, shares * 30, 0.0, 0.0, cash)])
    np.testing.assert_allclose(run["equity"], [10_000, 10_000, cash + shares * 33], rtol=1e-12)


def test_lots_per_stock_round_each_stock_on_its_own():
    market = hand_market([[30.0, 7.0], [30.0, 7.0]], [[0.5, 0.5]])
    run = columnar_run(market, capital=10_000, lot_size=np.array([100.0, 1.0]), **NO_COSTS)
    # 5_000 / 30 = 166.7 shares: one lot of 100; 5_000 / 7 = 714.3 shares: 714
    np.testing.assert_allclose(run["order_quantity"], [100, 714])
    np.testing.assert_allclose(run["order_cash"][-1], 10_000 - 100 * 30 - 714 * 7)


@pytest.mark.parametrize(
    "fee_ratio, fee_min, fee_fixed",
    [
        (0.001, 20.0, 1.0),  # 0.001 * 5_000 = 5 is below the minimum: 20 + 1
        (0.01, 20.0, 1.0),  # 0.01 * 5_000 = 50 is above it: 50 + 1
        (0.001, 0.0, 0.0),
        (0.0, 0.0, 3.0),
    ],
)
def test_an_order_pays_its_minimum_fee_or_its_ratio_and_the_fixed_fee(fee_ratio, fee_min, fee_fixed):
    # bought at 10 on bar 1, sold at 12 on bar 3
    market = hand_market([10.0, 10.0, 10.0, 12.0], [[0.5], [0.0]], weight_bars=[0, 2])
    run = columnar_run(
        market, capital=10_000, fee_ratio=fee_ratio, tax_ratio=0.003, fee_min=fee_min, fee_fixed=fee_fixed
    )
    buy_fee = max(fee_min, 5_000 * fee_ratio) + fee_fixed
    sale_fee = max(fee_min, 6_000 * fee_ratio) + fee_fixed
    cash = 10_000 - 5_000 - buy_fee
    assert_rows(
        orders(run),
        [
            (1, 0, 1, REASON["rebalance"], 500, 10, 5_000, buy_fee, 0, cash),
            (3, 0, -1, REASON["rebalance"], 500, 12, 6_000, sale_fee, 18, cash + 6_000 - sale_fee - 18),
        ],
    )


def test_a_sale_never_costs_more_than_it_brings():
    # one share of 10 bought for a fee of 20; sold at 10 the fee is cut to what
    # the sale leaves after its tax of 0.03
    market = hand_market([10.0, 10.0, 10.0, 10.0], [[0.01], [0.0]], weight_bars=[0, 2])
    run = columnar_run(market, capital=1_000, fee_ratio=0.001, tax_ratio=0.003, fee_min=20.0, lot_size=1.0)
    assert_rows(
        orders(run),
        [
            (1, 0, 1, REASON["rebalance"], 1, 10, 10, 20, 0, 970),
            (3, 0, -1, REASON["rebalance"], 1, 10, 10, 10 - 0.03, 0.03, 970),
        ],
    )


def test_slippage_fills_a_buy_above_and_a_sale_below_the_price_in_money():
    market = hand_market([20.0, 20.0, 20.0, 24.0], [[0.5], [0.0]], weight_bars=[0, 2])
    run = columnar_run(market, capital=10_000, slippage=0.01, **NO_COSTS)
    # 5_000 / 20 = 250 shares, bought at 20.2 and sold at 24 * 0.99
    cash = 10_000 - 250 * 20.2
    assert_rows(
        orders(run),
        [
            (1, 0, 1, REASON["rebalance"], 250, 20.2, 250 * 20.2, 0, 0, cash),
            (3, 0, -1, REASON["rebalance"], 250, 23.76, 250 * 23.76, 0, 0, cash + 250 * 23.76),
        ],
    )
    np.testing.assert_allclose(run["equity"][1], cash + 250 * 20, rtol=1e-12)


def test_slippage_in_the_book_of_fractions():
    # The buy spends its target of 0.5 and gets 0.5 / 1.01 of stock at the
    # price; the sale brings the holding's value times 0.99.
    market = hand_market([20.0, 20.0, 20.0, 24.0], [[0.5], [0.0]], weight_bars=[0, 2])
    run = columnar_run(market, slippage=0.01, **NO_COSTS)
    held = 0.5 / 1.01 * 24 / 20
    assert_rows(
        orders(run),
        [
            (1, 0, 1, REASON["rebalance"], 0.5 / 20.2, 20.2, 0.5, 0, 0, 0.5),
            (3, 0, -1, REASON["rebalance"], held / 24, 23.76, held * 0.99, 0, 0, 0.5 + held * 0.99),
        ],
    )
    np.testing.assert_allclose(run["equity"][1], 0.5 + 0.5 / 1.01, rtol=1e-12)


@pytest.mark.parametrize("capital", [None, 10_000.0])
@pytest.mark.parametrize("bars_held", [1, 3, 5])
def test_a_short_pays_its_borrow_cost_at_each_close_it_is_held(capital, bars_held):
    # Shorted at bar 1 for half the capital (price 10 throughout), bought back
    # at bar bars_held + 1: held at the closes of bars 1 .. bars_held.
    scale = capital or 1.0
    prices = [10.0] * (bars_held + 3)
    market = hand_market(prices, [[-0.5], [0.0]], weight_bars=[0, bars_held])
    run = columnar_run(market, capital=capital, borrow_rate=0.001, **NO_COSTS)
    charge = 0.001 * 0.5 * scale
    expected = [scale] + [scale - charge * min(bar, bars_held) for bar in range(1, len(prices))]
    np.testing.assert_allclose(run["equity"], expected, rtol=1e-12)
    # the short's sale brought half the capital to cash; the borrow costs came out of it
    np.testing.assert_allclose(run["order_cash"], [1.5 * scale, scale - charge * bars_held], rtol=1e-12)


def test_cash_earns_its_rate_at_each_close():
    market = hand_market([10.0] * 5, [[0.5]])
    run = columnar_run(market, capital=10_000, cash_rate=0.001, **NO_COSTS)
    # Bar 0 holds 10_000 in cash; bar 1 invests half of 10_010, and the other
    # half earns the rate from bar 1's close on.
    invested = 10_010 / 2
    expected = [10_010] + [invested + invested * 1.001**bar for bar in range(1, 5)]
    np.testing.assert_allclose(run["equity"], expected, rtol=1e-12)


def test_cash_below_zero_earns_nothing():
    # The book of fractions rotates from stock 0 to stock 1 at bar 2: the sale's
    # fee and tax leave cash below zero, where it stays.
    market = hand_market([[10.0, 10.0]] * 5, [[1.0, 0.0], [0.0, 1.0]], weight_bars=[0, 1])
    run = columnar_run(market, fee_ratio=0.001, tax_ratio=0.003, cash_rate=0.01)
    held = 1.01 * 0.999  # bar 0's cash with its interest, bought at bar 1 less the fee
    cash = held * (1 - 0.004) - held
    assert cash < 0
    np.testing.assert_allclose(
        run["equity"], [1.01, held, cash + held * 0.999, cash + held * 0.999, cash + held * 0.999]
    )


@pytest.mark.parametrize("lot_size", [None, 1.0])
def test_a_rotation_with_costs_scales_its_purchase_to_the_cash(lot_size):
    # All in stock 0 at bar 1, all in stock 1 at bar 2; every order pays
    # max(5, 0.001 * value) + 1, and sales 0.003 in tax.
    costs = dict(fee_ratio=0.001, tax_ratio=0.003, fee_min=5.0, fee_fixed=1.0)
    market = hand_market([[10.0, 20.0]] * 4, [[1.0, 0.0], [0.0, 1.0]], weight_bars=[0, 1])
    run = columnar_run(market, capital=10_000, lot_size=lot_size, **costs)

    def round_down(shares):
        return shares if lot_size is None else math.floor(shares)

    # bar 1: 1_000 shares and their fee cost more than 10_000; scaled by k, the
    # purchase k * 10_000 and its fee 0.001 * k * 10_000 + 1 cost 10_000
    first = round_down(1_000 * 9_999 / 10_010)
    value = first * 10
    after_first = 10_000 - value - (0.001 * value + 1)
    # bar 2: the sale, then the purchase of the balance's worth of stock 1, scaled
    sale_cash = after_first + value - (0.001 * value + 1) - 0.003 * value
    second = round_down((sale_cash - 1) / 1.001 / 20)
    bought = second * 20
    assert_rows(
        orders(run),
        [
            (1, 0, 1, REASON["rebalance"], first, 10, value, 0.001 * value + 1, 0, after_first),
            (2, 0, -1, REASON["rebalance"], first, 10, value, 0.001 * value + 1, 0.003 * value, sale_cash),
            (2, 1, 1, REASON["rebalance"], second, 20, bought, 0.001 * bought + 1, 0, sale_cash - 1.001 * bought - 1),
        ],
    )
    assert (run["order_cash"] >= 0).all()
    # fractional shares spend the cash to the last cent; whole shares leave less than one
    assert run["order_cash"][-1] < (1e-9 if lot_size is None else 20 * 1.001)


def test_purchases_scale_under_a_minimum_fee():
    # 100 shares of 10 and a minimum fee of 5 cost 1_005: scaled, k * 1_000
    # plus the minimum fee (0.001 * k * 1_000 is below it) cost 1_000
    market = hand_market([10.0, 10.0], [[1.0]])
    run = columnar_run(market, capital=1_000, fee_ratio=0.001, tax_ratio=0.0, fee_min=5.0)
    assert_rows(orders(run), [(1, 0, 1, REASON["rebalance"], 99.5, 10, 995, 5, 0, 0)])


def test_each_stock_pays_its_own_fee_ratio():
    market = hand_market([[10.0, 20.0], [10.0, 20.0]], [[0.5, 0.5]])
    run = columnar_run(market, fee_ratio=np.array([0.001, 0.01]), tax_ratio=0.0)
    # a buy's fee comes out of the amount it spends (the book of fractions)
    np.testing.assert_allclose(run["order_fee"], [0.0005, 0.005])
    np.testing.assert_allclose(run["equity"][1], 0.5 * 0.999 + 0.5 * 0.99)


# Stock 0 bought at bar 1 for 0.4 of the capital at 10, stopped out (close 8 <
# 0.9 * 10 at bar 3) and sold at bar 4 at 8; stock 1 bought for 0.4 at 20 and
# delisted at bar 5, sold at 25. Fee 0.001 on every order, tax 0.003 on sales.
LOG_MARKET = hand_market(
    [[10.0, 20.0], [10.0, 20.0], [10.0, 20.0], [8.0, 20.0], [8.0, 20.0], [8.0, 25.0]], [[0.4, 0.4]]
)
LOG_OPTIONS = dict(fee_ratio=0.001, tax_ratio=0.003, stop_loss=0.1, delisting_bars=np.array([-1, 5]))


def test_the_order_log_of_a_small_run_in_money():
    run = columnar_run(LOG_MARKET, capital=1_000, **LOG_OPTIONS)
    after_buys = 1_000 - 2 * 400.4
    after_stop = after_buys + 320 - 0.32 - 0.96
    assert_rows(
        orders(run),
        [
            (1, 0, 1, REASON["rebalance"], 40, 10, 400, 0.4, 0, 1_000 - 400.4),
            (1, 1, 1, REASON["rebalance"], 20, 20, 400, 0.4, 0, after_buys),
            (4, 0, -1, REASON["stop_loss"], 40, 8, 320, 0.32, 0.96, after_stop),
            (5, 1, -1, REASON["delisting"], 20, 25, 500, 0.5, 1.5, after_stop + 500 - 2),
        ],
    )
    np.testing.assert_allclose(run["equity"][-1], after_stop + 498, rtol=1e-12)


def test_the_order_log_of_a_small_run_in_fractions():
    run = columnar_run(LOG_MARKET, **LOG_OPTIONS)
    # a buy of 0.4 pays its fee out of the amount: 0.3996 of stock
    stopped, delisted = 0.3996 * 0.8, 0.3996 * 1.25
    after_stop = 0.2 + stopped * (1 - 0.004)
    assert_rows(
        orders(run),
        [
            (1, 0, 1, REASON["rebalance"], 0.3996 / 10, 10, 0.3996, 0.0004, 0, 0.6),
            (1, 1, 1, REASON["rebalance"], 0.3996 / 20, 20, 0.3996, 0.0004, 0, 0.2),
            (4, 0, -1, REASON["stop_loss"], stopped / 8, 8, stopped, stopped * 0.001, stopped * 0.003, after_stop),
            (5, 1, -1, REASON["delisting"], delisted / 25, 25, delisted, delisted * 0.001, delisted * 0.003,
             after_stop + delisted * (1 - 0.004)),
        ],
    )  # fmt: skip


def test_the_trades_of_a_small_run_in_money():
    run = columnar_run(LOG_MARKET, capital=1_000, **LOG_OPTIONS)
    np.testing.assert_array_equal(run["trade_stock"], [0, 1])
    np.testing.assert_allclose(run["entry_price"], [10, 20])
    np.testing.assert_allclose(run["exit_price"], [8, 25])
    np.testing.assert_allclose(run["quantity"], [40, 20])
    # cash from the orders: -400.4 at entry, the sale less its fee and tax at exit
    np.testing.assert_allclose(run["profit"], [-400.4 + 320 - 1.28, -400.4 + 500 - 2], rtol=1e-12)
    np.testing.assert_allclose(run["costs"], [0.4 + 1.28, 0.4 + 2], rtol=1e-12)


@pytest.mark.parametrize("periodically_rebalance", [True, False])
def test_a_resized_position_in_money(periodically_rebalance):
    # 50 shares bought at 10 for half of 1_000; at bar 3 the whole 1_100 goes
    # into the stock at 12: 1_100 / 12 shares, 500 more in money; 15 at the end.
    market = hand_market([10.0, 10.0, 12.0, 12.0, 15.0], [[0.5], [1.0]], weight_bars=[0, 2])
    run = columnar_run(market, capital=1_000, periodically_rebalance=periodically_rebalance, **NO_COSTS)
    held = 1_100 / 12
    if periodically_rebalance:
        # the resize splits the trade at the rebalance's price: 50 shares from
        # 10 to 12, then the resized holding from 12 on (its value carried in)
        assert run["exit_bar"].tolist() == [3, -1]
        np.testing.assert_allclose(run["entry_price"], [10, 12])
        np.testing.assert_allclose(run["exit_price"], [12, np.nan])
        np.testing.assert_allclose(run["quantity"], [50, held])
        np.testing.assert_allclose(run["profit"], [-500 + 600, -500 + held * 15 - 600], rtol=1e-12)
    else:
        assert run["exit_bar"].tolist() == [-1]
        np.testing.assert_allclose(run["quantity"], [50])
        np.testing.assert_allclose(run["profit"], [-1_000 + held * 15], rtol=1e-12)
    np.testing.assert_allclose(run["profit"].sum(), run["equity"][-1] - 1_000, rtol=1e-12)


@pytest.mark.parametrize(
    "options, message",
    [
        (dict(fee_min=5.0), "fee_min and fee_fixed are amounts of money: they need a capital"),
        (dict(fee_fixed=np.array([0.0, 1.0])), "fee_min and fee_fixed are amounts of money: they need a capital"),
        (dict(lot_size=100.0), "lot_size counts shares: it needs a capital"),
        (dict(capital=0.0), "capital must be a finite number > 0, got 0.0"),
        (dict(capital=float("inf")), "capital must be a finite number > 0, got inf"),
        (dict(slippage=1.0), "slippage must be a ratio >= 0 and < 1, got 1.0"),
        (dict(slippage=-0.01), "slippage must be a ratio >= 0 and < 1, got -0.01"),
        (dict(fee_ratio=np.array([0.001, np.nan])), "fee_ratio must be a ratio >= 0 and < 1, got nan"),
        (dict(capital=1e6, tax_ratio=-0.1), "tax_ratio must be a ratio >= 0 and < 1, got -0.1"),
        (dict(capital=1e6, fee_min=-1.0), "fee_min must be a finite number >= 0, got -1.0"),
        (dict(capital=1e6, lot_size=np.array([1.0, np.inf])), "lot_size must be a finite number >= 0, got inf"),
        (dict(borrow_rate=-0.001), "borrow_rate must be a rate per bar, a finite number >= 0, got -0.001"),
        (dict(cash_rate=float("nan")), "cash_rate must be a rate per bar, a finite number >= 0, got nan"),
        (dict(slippage=np.zeros(3)), r"slippage must be a number or have one number per position column \(2\), got 3"),
    ],
)
def test_money_options_that_do_not_fit_are_refused(options, message):
    market = hand_market([[10.0, 20.0], [10.0, 20.0]], [[0.5, 0.5]])
    with pytest.raises(ValueError, match=message.replace("+", r"\+")):
        columnar_run(market, **options)


def test_a_cost_per_stock_must_be_an_array_of_floats():
    market = hand_market([[10.0, 20.0], [10.0, 20.0]], [[0.5, 0.5]])
    with pytest.raises(ValueError, match="dtype mismatch"):
        columnar_run(market, slippage=np.zeros(2, dtype=np.int64))
