"""The book in money against the peer (vectorbt) on real daily prices.

Three real series (S&P 500, NASDAQ Composite, WTI crude oil, 1999 to 2018)
held at fixed weights and rebalanced monthly, through tolvane and through the
peer set up with the same rules: the equity curves agree. Where the rules
differ (lots, minimum fee, purchases that the cash cannot pay), the
difference is worked out from the rules on the first rebalances and checked.

Tolerance: where the rules are the same, both engines compute the same
products and sums, in another order (the peer sends a rebalance's orders
sorted by value, tolvane by stock, and adds the cash up in its own order), so
the curves differ by rounding alone: about 1e-15 here, and a relative 1e-9
leaves room for that over the 239 rebalances. A difference of rule moves a
whole share (oil is worth 11 or more) or a fee by a cent at least, 1e-7 of
these books or more, and fails it.
"""

import numpy as np
import pandas as pd
import pytest
from peer_money import monthly_targets, peer_order_func, peer_orders, real_closes, require_peer, tolvane_run

require_peer()  # at the top: one reason to skip the whole module

SAME_RULES = 1e-9
WEIGHTS = [0.4, 0.3, 0.2]  # a tenth in cash: the purchases never need more than the cash

SCENARIOS = {
    "fractional shares, proportional fee": dict(capital=100_000.0, fee_ratio=0.001),
    "whole shares": dict(capital=100_000.0, fee_ratio=0.001, lot_size=1.0),
    # at 1,000,000 a lot of 100 index units is a large part of a target: the rounding bites
    "lots of 100": dict(capital=1_000_000.0, fee_ratio=0.001, lot_size=100.0),
    "lots per ticker": dict(
        capital=1_000_000.0, fee_ratio=0.001, lot_size=pd.Series({"SP500": 1.0, "NASDAQ": 10.0, "WTI": 100.0})
    ),
    "fixed fee per order": dict(capital=100_000.0, fee_ratio=0.001, fee_fixed=5.0),
    "slippage": dict(capital=100_000.0, fee_ratio=0.001, slippage=0.002),
    # whole shares: a sale of a fraction of a share could be worth less than the minimum (see below)
    "minimum fee": dict(capital=100_000.0, fee_ratio=0.001, fee_min=25.0, lot_size=1.0),
    "all costs together": dict(
        capital=100_000.0, fee_ratio=0.001, tax_ratio=0.003, fee_min=25.0, fee_fixed=2.0, slippage=0.001, lot_size=1.0
    ),
}
# The peer's own target-percent orders have no minimum fee, no tax on sales
# only, and round a sale's quantity, not its target, to lots.
OWN_ORDERS = [
    "fractional shares, proportional fee",
    "fixed fee per order",
    "slippage",
]
CASES = [(name, "order_func") for name in SCENARIOS] + [(name, "orders") for name in OWN_ORDERS]


@pytest.fixture(scope="module")
def close():
    return real_closes()


@pytest.fixture(scope="module")
def targets(close):
    return monthly_targets(close, WEIGHTS)


def relative_difference(equity, peer):
    return float((np.abs(equity - peer) / peer).max())


@pytest.mark.parametrize("scenario, setup", CASES)
def test_equity_agrees_with_the_peer_under_the_same_rules(close, targets, scenario, setup):
    position, trade_bars = targets
    options = SCENARIOS[scenario]
    equity, orders = tolvane_run(position, close, **options)
    if setup == "orders":
        peer = peer_orders(close, trade_bars, WEIGHTS, **options)
    else:
        peer, _ = peer_order_func(close, trade_bars, WEIGHTS, **options)
    assert relative_difference(equity, peer) <= SAME_RULES
    assert (orders["side"] == "sell").any() and len(orders) >= len(trade_bars)  # the run trades


def first_rebalances(close, trade_bars, count):
    """The bars from the start to the bar before the (count + 1)-th rebalance."""
    return close.iloc[: trade_bars[count]]


@pytest.mark.parametrize("lot", [1.0, 100.0])
def test_the_peers_own_lots_round_a_sale_and_so_keep_up_to_one_lot_more(close, targets, lot):
    """The peer's size granularity rounds each order's quantity toward zero:
    a purchase ends at the target rounded down to lots, as in tolvane, but a
    sale ends at the target rounded up, one lot above tolvane's holding when
    the target is not a whole number of lots."""
    position, trade_bars = targets
    capital, fee = 1_000_000.0, 0.001
    own = peer_orders(close, trade_bars, WEIGHTS, capital=capital, fee_ratio=fee, lot_size=lot)

    # Over the whole run the peer's own orders are the order rule with a
    # sale's quantity rounded, and not tolvane's.
    quantity_rule, _ = peer_order_func(
        close, trade_bars, WEIGHTS, capital=capital, fee_ratio=fee, lot_size=lot, sale_rounding="quantity"
    )
    equity, _ = tolvane_run(position, close, capital=capital, fee_ratio=fee, lot_size=lot)
    assert relative_difference(own, quantity_rule) <= SAME_RULES
    assert relative_difference(equity, own) > 1e-4

    # Up to the third rebalance, by the rules: both buy the same lots at the
    # first rebalance and so hold the same book at the second.
    window = first_rebalances(close, trade_bars, 2)
    first, second = trade_bars[:2]
    price = window.to_numpy()
    held = np.floor(np.multiply(WEIGHTS, capital) / price[first] / lot) * lot
    cash = capital - (held * price[first] * (1 + fee)).sum()
    value = cash + held @ price[second]
    target = np.multiply(WEIGHTS, value) / price[second] / lot  # in lots
    sold = target < held / lot
    tolvane_holds = np.floor(target) * lot
    peer_holds = np.where(sold, np.ceil(target), np.floor(target)) * lot
    extra = peer_holds - tolvane_holds  # one lot where a sale's target is not whole
    assert sold.any() and set(extra) <= {0.0, lot} and extra.any()
    # The peer keeps the extra lots and lacks what their sale would have brought.
    later = price[second:]
    expected = (later - price[second] * (1 - fee)) @ extra

    window_position = position.iloc[:2]
    equity, _ = tolvane_run(window_position, window, capital=capital, fee_ratio=fee, lot_size=lot)
    own = peer_orders(window, trade_bars[:2], WEIGHTS, capital=capital, fee_ratio=fee, lot_size=lot)
    np.testing.assert_allclose((own - equity).to_numpy()[second:], expected, rtol=0, atol=SAME_RULES * capital)
    np.testing.assert_allclose(own.to_numpy()[:second], equity.to_numpy()[:second], rtol=SAME_RULES)


def test_without_a_minimum_fee_the_peer_pays_the_ratio_on_small_orders(close, targets):
    """The peer's own fees have no minimum: from the first rebalance, which
    buys from cash at the same targets in both, tolvane has paid the shortfall
    of each order's fee below the minimum more."""
    position, trade_bars = targets
    window = first_rebalances(close, trade_bars, 1)
    options = dict(capital=100_000.0, fee_ratio=0.001)
    equity, orders = tolvane_run(position.iloc[:1], window, fee_min=25.0, **options)
    peer = peer_orders(window, trade_bars[:1], WEIGHTS, **options)
    # purchases of 40,000, 30,000 and 20,000: fees of 40, 30 and 20 by the
    # ratio, the last below the minimum of 25
    np.testing.assert_allclose(orders["fee"], [40.0, 30.0, 25.0], rtol=1e-12)
    shortfall = 25.0 - 20.0
    np.testing.assert_allclose((peer - equity).to_numpy()[trade_bars[0] :], shortfall, rtol=1e-9)


def test_a_sale_worth_less_than_its_fee_is_made_by_tolvane_and_refused_by_the_peer(close, targets):
    """Fractional shares and a minimum fee: a rebalance trims a holding by a
    sliver that cannot pay the minimum fee. tolvane makes the sale and cuts its
    fee to what it brings (the sliver is given up for nothing); the peer
    refuses an order that cannot cover its fee. The curves are the same until
    the first such sale."""
    position, trade_bars = targets
    options = dict(capital=100_000.0, fee_ratio=0.001, fee_min=25.0)
    equity, orders = tolvane_run(position, close, **options)
    peer, peer_orders_made = peer_order_func(close, trade_bars, WEIGHTS, **options)
    cut = orders[(orders["side"] == "sell") & (orders["fee"] < 25.0)]
    assert len(cut), "no sale below the minimum fee: nothing to compare"
    bar, ticker = int(cut["bar"].iloc[0]), cut["ticker"].iloc[0]
    np.testing.assert_allclose(orders.loc[cut.index[0], "fee"], cut["value"].iloc[0], rtol=1e-12)
    assert relative_difference(equity.iloc[:bar], peer.iloc[:bar]) <= SAME_RULES
    traded = peer_orders_made[peer_orders_made["idx"] == bar]
    assert close.columns.get_loc(ticker) not in set(traded["col"])
    assert ticker in set(orders.loc[orders["bar"] == bar, "ticker"])


def test_purchases_the_cash_cannot_pay_are_scaled_by_tolvane_and_the_last_is_cut_by_the_peer(close, targets):
    """Fully invested with a fee: at the first rebalance the purchases and
    their fees cost more than the cash. tolvane scales every purchase by one
    factor 1 / (1 + fee); the peer buys in ascending order value and cuts the
    last (largest) purchase to what the cash still pays. Both spend the cash;
    the books differ by fee / (1 + fee) of each target, moved from the
    smaller purchases to the largest."""
    weights = [0.5, 0.3, 0.2]  # SP500 is the largest purchase, bought last by the peer
    position, trade_bars = monthly_targets(close, weights)
    capital, fee = 100_000.0, 0.01
    window = first_rebalances(close, trade_bars, 1)
    equity, _ = tolvane_run(position.iloc[:1], window, capital=capital, fee_ratio=fee)
    peer = peer_orders(window, trade_bars[:1], weights, capital=capital, fee_ratio=fee)

    first = trade_bars[0]
    price = window.to_numpy()
    tolvane_value = np.multiply(weights, capital) / (1 + fee)
    # the peer buys WTI (20,000) and NASDAQ (30,000) whole with their fees, and
    # SP500 with what is left: (capital - 50,000 x (1 + fee)) / (1 + fee)
    moved = capital * fee / (1 + fee) * np.array([-(0.3 + 0.2), 0.3, 0.2])
    extra_shares = moved / price[first]
    expected = price[first:] @ extra_shares
    np.testing.assert_allclose(equity.iloc[first], capital / (1 + fee), rtol=1e-12)  # all the cash spent
    np.testing.assert_allclose(peer.iloc[first], capital / (1 + fee), rtol=1e-12)
    np.testing.assert_allclose((peer - equity).to_numpy()[first:], expected, rtol=0, atol=SAME_RULES * capital)
    assert abs(expected).max() > 1.0  # a difference worth checking
    assert (tolvane_value + moved).min() > 0
