"""The money view of a backtest: each rule's arithmetic written out on a
hand-made market, the trades computed from the prices the book used, and no
entry on or after a delisting."""

import math

import numpy as np
import pandas as pd
import pytest

import tolvane

DATES = pd.bdate_range("2024-01-01", periods=6)
#: Business days: the front door takes 252 bars a year.
BARS_PER_YEAR = 252


def market(prices, tickers=("AAA",)):
    return pd.DataFrame(
        np.array(prices, dtype=np.float64).reshape(len(prices), -1), index=DATES[: len(prices)], columns=list(tickers)
    )


def targets(rows, bars, tickers=("AAA",)):
    """Target rows dated on the given bars (each traded at the next bar)."""
    return pd.DataFrame(
        np.array(rows, dtype=np.float64).reshape(len(rows), -1), index=DATES[list(bars)], columns=list(tickers)
    )


def free(**options):
    return {"fee_ratio": 0.0, "tax_ratio": 0.0, **options}


def test_lots_round_each_target_toward_zero_and_leave_the_rest_in_cash():
    # 10_000 / 30 = 333.3 shares; in lots of 100: 300 shares for 9_000, 1_000 left in cash
    report = tolvane.backtest(targets([1.0], [0]), market([30] * 4), capital=10_000, lot_size=100, **free())
    order = report.orders.iloc[0]
    assert (order["side"], order["quantity"], order["value"], order["cash"]) == ("buy", 300.0, 9_000.0, 1_000.0)
    assert report.holdings("shares")["AAA"].tolist() == [0.0, 300.0, 300.0, 300.0]


@pytest.mark.parametrize(
    "fee_min, fee_fixed, buy_fee",
    [
        (0.0, 0.0, 5_000 * 0.001),  # the proportional fee: 5
        (20.0, 0.0, 20.0),  # max(20, 5)
        (0.0, 3.0, 5_000 * 0.001 + 3.0),  # 5 + 3
        (20.0, 3.0, 20.0 + 3.0),  # max(20, 5) + 3
    ],
)
def test_an_order_pays_the_larger_of_its_fee_and_the_minimum_plus_the_fixed_fee(fee_min, fee_fixed, buy_fee):
    # half of 10_000 buys 500 shares at 10; they are sold at 12 for 6_000
    report = tolvane.backtest(
        targets([0.5, 0.0], [0, 2]),
        market([10, 10, 12, 12]),
        capital=10_000,
        fee_ratio=0.001,
        tax_ratio=0.003,
        fee_min=fee_min,
        fee_fixed=fee_fixed,
    )
    buy, sale = report.orders.iloc[0], report.orders.iloc[1]
    sale_fee = max(fee_min, 6_000 * 0.001) + fee_fixed
    assert buy["fee"] == pytest.approx(buy_fee, rel=1e-12) and buy["tax"] == 0
    assert buy["cash"] == pytest.approx(10_000 - 5_000 - buy_fee, rel=1e-12)
    assert (sale["fee"], sale["tax"]) == pytest.approx((sale_fee, 6_000 * 0.003), rel=1e-12)
    assert sale["cash"] == pytest.approx(10_000 - 5_000 - buy_fee + 6_000 - sale_fee - 18.0, rel=1e-12)
    trade = report.trades.iloc[0]
    assert trade["costs"] == pytest.approx(buy_fee + sale_fee + 18.0, rel=1e-12)
    assert trade["profit"] == pytest.approx(6_000 - 5_000 - buy_fee - sale_fee - 18.0, rel=1e-12)


def test_slippage_is_paid_above_the_price_on_buys_and_given_up_below_it_on_sales():
    # 500 shares (5_000 at the price of 10) fill at 10.1; they are sold at 12 * 0.99 = 11.88
    report = tolvane.backtest(
        targets([0.5, 0.0], [0, 2]), market([10, 10, 12, 12]), capital=10_000, slippage=0.01, **free()
    )
    buy, sale = report.orders.iloc[0], report.orders.iloc[1]
    assert (buy["price"], buy["quantity"]) == pytest.approx((10.1, 500.0), rel=1e-12)
    assert buy["cash"] == pytest.approx(10_000 - 500 * 10.1, rel=1e-12)
    assert sale["price"] == pytest.approx(11.88, rel=1e-12)
    assert sale["cash"] == pytest.approx(10_000 - 500 * 10.1 + 500 * 11.88, rel=1e-12)
    assert report.trades.iloc[0][["entry_price", "exit_price"]].tolist() == pytest.approx([10.1, 11.88], rel=1e-12)


def test_a_short_pays_its_borrowing_each_bar_on_its_value():
    yearly = 0.05
    per_bar = (1 + yearly) ** (1 / BARS_PER_YEAR) - 1
    # short half of 10_000 at a constant 10 from bar 1 on: 5_000 borrowed, 15_000 in cash
    report = tolvane.backtest(targets([-0.5], [0]), market([10] * 6), capital=10_000, borrow_rate=yearly, **free())
    expected = [10_000.0]
    cash = 15_000.0
    for _ in range(1, 6):
        cash -= 5_000 * per_bar
        expected.append(cash - 5_000)
    np.testing.assert_allclose(report.equity * report.capital, expected, rtol=1e-13)


def test_idle_cash_earns_its_interest_each_bar_from_the_first_target_on():
    yearly = 0.03
    per_bar = (1 + yearly) ** (1 / BARS_PER_YEAR) - 1
    # bar 0 (the target's bar) earns on all 10_000; bar 1 buys 500 whole shares at a
    # constant 10 and the 5_000 and a little left in cash earn from then on
    report = tolvane.backtest(
        targets([0.5], [0]), market([10] * 6), capital=10_000, lot_size=1, cash_rate=yearly, **free()
    )
    cash = 10_000 * (1 + per_bar)
    expected = [cash]
    cash -= 5_000
    for _ in range(1, 6):
        cash *= 1 + per_bar
        expected.append(cash + 5_000)
    np.testing.assert_allclose(report.equity * report.capital, expected, rtol=1e-13)
    assert report.orders["quantity"].tolist() == [500.0]


def test_with_a_capital_purchases_and_their_fees_are_paid_from_the_cash():
    # all of 10_000 at 10 would cost 10_000 and a fee of 14.25: the purchase is
    # scaled to what the cash pays, 998 whole shares (998 * 10 * 1.001425 = 9_994.2215)
    report = tolvane.backtest(targets([1.0], [0]), market([10] * 4), capital=10_000, lot_size=1)
    order = report.orders.iloc[0]
    assert order["quantity"] == 998.0
    assert order["cash"] == pytest.approx(10_000 - 9_980 - 9_980 * 0.001425, rel=1e-12)
    assert (report.orders["cash"] >= 0).all()


def test_costs_may_differ_by_ticker():
    tickers = ("AAA", "BBB")
    report = tolvane.backtest(
        targets([[0.4, 0.4]], [0], tickers),
        market([[10, 20]] * 3, tickers),
        capital=10_000,
        fee_ratio=pd.Series({"AAA": 0.001, "BBB": 0.002}),
        tax_ratio=0.0,
        fee_fixed=pd.Series({"AAA": 1.0, "BBB": 0.0}),
    )
    # 4_000 each: AAA pays 4 + 1, BBB 8
    assert report.orders["fee"].tolist() == pytest.approx([5.0, 8.0], rel=1e-12)


# ----------------------------------------------------- trades from the book


def test_a_stock_bought_on_a_bar_without_a_price_takes_its_return_from_its_next_price():
    # bought on bar 1 (no price), held at cost until 11 on bar 2, then 12: +1/11
    with pytest.warns(UserWarning, match="bought on bars without a trade price"):
        report = tolvane.backtest(targets([1.0], [0]), market([10, math.nan, 11, 12]), **free())
    trade = report.trades.iloc[0]
    assert report.equity.tolist() == pytest.approx([1.0, 1.0, 1.0, 12 / 11], rel=1e-12)
    assert (trade["return"], trade["mae"], trade["gmfe"]) == pytest.approx((12 / 11 - 1, 0.0, 12 / 11 - 1), rel=1e-12)


def test_a_holding_whose_prices_stop_exits_at_its_last_known_price():
    # bought at 10 on bar 1, its last price 12 on bar 2; sold by the target of bar 2 at bar 3
    report = tolvane.backtest(targets([1.0, 0.0], [0, 2]), market([10, 10, 12, math.nan, math.nan]), **free())
    trade = report.trades.iloc[0]
    assert trade["exit_reason"] == "rebalance" and trade["exit_date"] == DATES[3]
    assert (trade["return"], trade["exit_price"]) == pytest.approx((12 / 10 - 1, 12.0), rel=1e-12)


def test_records_split_at_a_rebalance_chain_to_the_position_s_move():
    # trades at the open: bought at 10 (bar 1), halved at 14 (bar 3), open at the close of 16 (bar 4)
    close = market([10, 11, 13, 15, 16])
    opening = market([10, 10, 12, 14, 15])
    report = tolvane.backtest(targets([1.0, 0.5], [0, 2]), close, open=opening, trade_price="open", **free())
    first, second = report.trades.iloc[0], report.trades.iloc[1]
    assert (first["return"], first["exit_price"]) == pytest.approx((14 / 10 - 1, 14.0), rel=1e-12)
    assert (second["return"], second["entry_price"]) == pytest.approx((16 / 14 - 1, 14.0), rel=1e-12)
    assert (1 + first["return"]) * (1 + second["return"]) == pytest.approx(16 / 10, rel=1e-12)
    # the book: 1.4 at bar 3's open, half kept (0.7) and half in cash; 0.7 * 16 / 14 + 0.7 at bar 4
    assert report.equity.iloc[-1] == pytest.approx(0.7 * 16 / 14 + 0.7, rel=1e-12)


@pytest.mark.parametrize("target_bar", [1, 2, 3], ids=["traded on the delisting bar", "the bar after", "later"])
def test_a_stock_is_not_entered_on_or_after_its_delisting_bar(target_bar):
    tickers = ("AAA", "BBB")
    close = market([[10, 20], [10, 20], [10, 22], [10, 24], [10, 26]], tickers)
    report = tolvane.backtest(
        targets([[0.5, 0.5]], [target_bar], tickers),
        close,
        delisting={"AAA": DATES[2]},
        capital=1_000,
        **free(),
    )
    assert report.orders["ticker"].tolist() == ["BBB"]
    # AAA's half stays in cash: 500 + 500 * 26 / BBB's price at the purchase
    bought_at = close["BBB"].iloc[target_bar + 1]
    assert report.equity.iloc[-1] * 1_000 == pytest.approx(500 + 500 * 26 / bought_at, rel=1e-12)
