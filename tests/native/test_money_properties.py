"""Properties of the book in money, the order log and the trades' profits
over random markets (missing prices, stops, touched exits, delistings)."""

import numpy as np
from columnar import columnar_run, markets, outcome
from hypothesis import assume, event, given, settings
from hypothesis import strategies as st


@st.composite
def exits(draw, market):
    """Some of the exit rules, drawn at random."""
    chosen = {}
    if draw(st.booleans()):
        chosen["stop_loss"] = draw(st.floats(0.02, 0.5))
    if draw(st.booleans()):
        chosen["take_profit"] = draw(st.floats(0.02, 0.5))
    if draw(st.booleans()):
        chosen["trail_stop"] = draw(st.floats(0.02, 0.3))
    chosen["touched_exit"] = draw(st.booleans())
    chosen["stop_trading_next_period"] = draw(st.booleans())
    chosen["periodically_rebalance"] = draw(st.booleans())
    if draw(st.booleans()):
        bars, columns = len(market["price_index"]), len(market["pos_columns"])
        chosen["delisting_bars"] = np.array(
            draw(st.lists(st.integers(-1, bars - 1), min_size=columns, max_size=columns))
        )
    return chosen


def per_stock(draw, columns, values):
    """One value of `values` for every stock, or one each."""
    if draw(st.booleans()):
        return draw(values)
    return np.array(draw(st.lists(values, min_size=columns, max_size=columns)), dtype=np.float64)


@st.composite
def costs(draw, market, capital):
    """Costs in range: ratios up to 1%, slippage up to 2%, fees up to a
    thousandth of the capital, lots of up to 1_000 shares (or none)."""
    columns = len(market["pos_columns"])
    chosen = {
        "fee_ratio": per_stock(draw, columns, st.floats(0, 0.01)),
        "tax_ratio": per_stock(draw, columns, st.floats(0, 0.01)),
        "slippage": per_stock(draw, columns, st.floats(0, 0.02)),
    }
    if capital is not None:
        chosen["fee_min"] = per_stock(draw, columns, st.floats(0, capital / 1_000))
        chosen["fee_fixed"] = per_stock(draw, columns, st.floats(0, capital / 10_000))
        chosen["lot_size"] = per_stock(draw, columns, st.sampled_from([0.0, 1.0, 10.0, 100.0, 1_000.0]))
    return chosen


def ran(market, **options):
    """The run's results; markets whose run fails (an invalid price, a zero
    close in an excursion) are left out."""
    result = outcome(columnar_run, market, **options)
    assume(result[0] == "ok")
    event("orders" if len(result[1]["order_bar"]) else "no orders")
    return result[1]


def cash_flows(run):
    """What each order added to cash: a sale its value less its costs, a buy
    minus its value and its costs."""
    costs = run["order_fee"] + run["order_tax"]
    return np.where(run["order_side"] > 0, -run["order_value"] - costs, run["order_value"] - costs)


def costly_run(data, market, capital):
    """A run with random costs and exits, and the cash it starts from."""
    chosen = data.draw(costs(market, capital)) | data.draw(exits(market))
    return ran(market, capital=capital, **chosen), 1.0 if capital is None else capital


CAPITALS = st.sampled_from([1.0, 10_000.0, 1e6])


@settings(max_examples=200)
@given(st.data(), markets(), CAPITALS)
def test_long_only_in_money_cash_and_equity_never_go_below_zero(data, market, capital):
    market = dict(market, pos_values=np.abs(market["pos_values"]))
    chosen = data.draw(costs(market, capital)) | data.draw(exits(market))
    run = ran(market, capital=capital, cash_rate=data.draw(st.floats(0, 0.001)), **chosen)
    assert (run["order_cash"] >= 0).all(), run["order_cash"]
    assert (run["equity"] >= 0).all()
    # every order trades whole lots
    lots = np.broadcast_to(chosen["lot_size"], len(market["pos_columns"]))[run["order_stock"]]
    whole = np.where(lots > 0, run["order_quantity"] / np.where(lots > 0, lots, 1), 0)
    np.testing.assert_allclose(whole, np.round(whole), atol=1e-6)


@settings(max_examples=200)
@given(st.data(), markets(), CAPITALS)
def test_without_costs_the_book_in_money_is_the_capital_times_the_book_in_fractions(data, market, capital):
    chosen = data.draw(exits(market))
    in_fractions = ran(market, fee_ratio=0.0, tax_ratio=0.0, **chosen)
    in_money = ran(market, fee_ratio=0.0, tax_ratio=0.0, capital=capital, **chosen)
    np.testing.assert_allclose(in_money["equity"], capital * in_fractions["equity"], rtol=1e-12, atol=1e-12 * capital)


@settings(max_examples=200)
@given(st.data(), markets(), st.sampled_from([None, 1.0, 10_000.0]))
def test_the_orders_add_up_to_the_changes_in_cash(data, market, capital):
    run, start = costly_run(data, market, capital)
    cash = np.concatenate([[start], run["order_cash"]])
    scale = start + np.abs(run["order_value"]).sum()
    np.testing.assert_allclose(np.diff(cash), cash_flows(run), rtol=0, atol=1e-13 * scale)


@settings(max_examples=200)
@given(st.data(), markets(), st.sampled_from([None, 1.0, 10_000.0]))
def test_the_trades_profits_add_up_to_the_gain(data, market, capital):
    run, start = costly_run(data, market, capital)
    scale = start + np.abs(run["order_value"]).sum() + np.abs(run["profit"]).sum()
    np.testing.assert_allclose(run["profit"].sum(), run["equity"][-1] - start, rtol=0, atol=1e-13 * scale)
    np.testing.assert_allclose(run["costs"].sum(), (run["order_fee"] + run["order_tax"]).sum(), rtol=1e-12, atol=0)
