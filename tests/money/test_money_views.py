"""The money options at their neutral values change nothing; the holdings
agree with the orders and the equity; the options are checked in the
user's terms; a saved report keeps its orders and holdings."""

import numpy as np
import pandas as pd
import pytest
from contract_path import contract_run
from hypothesis import given, settings
from hypothesis import strategies as st

import tolvane
from tolvane._options import FEE_RATIO, TAX_RATIO

TICKERS = ["AAA", "BBB", "CCC"]


@st.composite
def markets(draw):
    """Random prices (some missing) and target weights (some short) of three tickers."""
    bars = draw(st.integers(4, 30))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-01", periods=bars)
    prices = 20 * np.exp(np.cumsum(rng.normal(0, 0.05, (bars, 3)), axis=0))
    prices[rng.random((bars, 3)) < draw(st.sampled_from([0.0, 0.1]))] = np.nan
    prices[0] = 20.0
    rows = np.sort(rng.choice(bars - 1, size=min(bars - 1, draw(st.integers(1, 5))), replace=False))
    weights = rng.uniform(-0.2 if draw(st.booleans()) else 0.0, 0.5, (len(rows), 3))
    weights[rng.random(weights.shape) < 0.3] = 0.0
    position = pd.DataFrame(weights, index=dates[rows], columns=TICKERS)
    options = draw(
        st.sampled_from([{}, {"stop_loss": 0.05}, {"rebalance": "W-FRI", "take_profit": 0.05}, {"trail_stop": 0.04}])
    )
    return position, pd.DataFrame(prices, index=dates, columns=TICKERS), options


NEUTRAL = {
    "fee_ratio": pd.Series(FEE_RATIO, index=TICKERS),
    "tax_ratio": pd.Series(TAX_RATIO, index=TICKERS),
    "capital": None,
    "lot_size": None,
    "fee_min": 0.0,
    "fee_fixed": pd.Series(0.0, index=TICKERS),
    "slippage": pd.Series(0.0, index=TICKERS),
    "borrow_rate": 0.0,
    "cash_rate": 0.0,
}


# purchases on bars without a price are warned of
@pytest.mark.filterwarnings("ignore::UserWarning")
@settings(max_examples=60)
@given(markets())
def test_the_money_options_at_their_neutral_values_change_no_bit(market):
    position, close, options = market
    today = tolvane.backtest(position, close, **options)
    neutral = tolvane.backtest(position, close, **options, **NEUTRAL)
    pd.testing.assert_series_equal(neutral.equity, today.equity, check_exact=True)
    pd.testing.assert_frame_equal(neutral.trades, today.trades, check_exact=True)
    pd.testing.assert_frame_equal(neutral.orders, today.orders, check_exact=True)
    # and the equity is the engine contract's, to the bit
    np.testing.assert_array_equal(today.equity.to_numpy(), contract_run(position, close, **options)[0])


@settings(max_examples=40)
@given(markets(), st.sampled_from([None, 1.0, 100.0]))
def test_holdings_follow_the_orders_and_add_up_with_the_cash_to_the_equity(market, lot_size):
    position, close, options = market
    position = position.abs()
    report = tolvane.backtest(position, close.ffill(), capital=100_000, lot_size=lot_size, fee_min=5.0, **options)
    orders = report.orders
    shares = report.holdings("shares")
    for ticker in shares.columns:
        mine = orders[orders["ticker"] == ticker]
        signed = np.where(mine["side"] == "buy", 1.0, -1.0) * mine["quantity"]
        expected = signed.groupby(mine["date"]).sum().cumsum().reindex(shares.index).ffill().fillna(0.0)
        np.testing.assert_allclose(shares[ticker], expected, rtol=1e-12, atol=1e-9)
    cash = orders.groupby("date")["cash"].last().reindex(report.equity.index).ffill().fillna(100_000.0)
    amount = report.equity * report.capital
    np.testing.assert_allclose(report.holdings("value").sum(axis=1) + cash, amount, rtol=1e-12)
    np.testing.assert_allclose(report.holdings("weight").sum(axis=1), 1 - cash / amount, rtol=1e-9, atol=1e-12)


def small_run(weight=0.5, **options):
    dates = pd.bdate_range("2024-01-01", periods=4)
    close = pd.DataFrame({"AAA": [10.0, 10, 11, 12], "BBB": [5.0, 5, 5, 6]}, index=dates)
    position = pd.DataFrame({"AAA": [weight], "BBB": [weight]}, index=dates[:1])
    return tolvane.backtest(position, close, **options)


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"fee_min": 5.0}, tolvane.InputError, "fee_min is an amount of money per order: give the run a capital="),
        ({"fee_fixed": 1.0}, tolvane.InputError, "fee_fixed is an amount of money"),
        ({"lot_size": 100}, tolvane.InputError, "lot_size counts shares, which need money"),
        ({"capital": 0}, tolvane.InputError, "capital must be a finite number above 0, got 0"),
        ({"capital": "1000"}, tolvane.InputTypeError, "capital must be a number, got str"),
        (
            {"capital": 1e4, "lot_size": pd.Series({"AAA": 100})},
            tolvane.InputError,
            "lot_size gives no value for tickers of position: 'BBB'",
        ),
        (
            {"capital": 1e4, "lot_size": pd.Series({"AAA": 100, "BBB": 0})},
            tolvane.InputError,
            "lot_size must be above 0 (1 for whole shares), got 0 for BBB",
        ),
        (
            {"fee_ratio": pd.Series({"AAA": 0.001, "BBB": -0.1})},
            tolvane.InputError,
            "fee_ratio must be >= 0 and below 1, got -0.1 for BBB",
        ),
        (
            {"slippage": pd.Series({"AAA": 0.01, "ZZZ": 0.0})},
            tolvane.InputError,
            "slippage names tickers that close does not have: 'ZZZ'",
        ),
        ({"slippage": 1.5}, tolvane.InputError, "slippage must be >= 0 and below 1, got 1.5"),
        ({"borrow_rate": -0.01}, tolvane.InputError, "borrow_rate must be a number >= 0"),
        ({"cash_rate": "5%"}, tolvane.InputTypeError, "cash_rate must be a number, got str"),
    ],
)
def test_money_options_are_checked_in_the_user_s_terms(options, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")) as raised:
        small_run(**options)
    assert raised.value.argument == next(iter(name for name in options if name != "capital" or len(options) == 1))


def test_a_saved_report_keeps_its_orders_trades_and_holdings(tmp_path):
    report = small_run(capital=10_000, lot_size=10, fee_min=2.0, slippage=0.001)
    report.save(tmp_path / "run.json")
    loaded = tolvane.Report.load(tmp_path / "run.json")
    assert loaded.capital == 10_000
    pd.testing.assert_frame_equal(loaded.orders, report.orders, check_exact=True)
    pd.testing.assert_frame_equal(loaded.trades, report.trades, check_exact=True)
    for kind in ("shares", "value", "weight"):
        pd.testing.assert_frame_equal(loaded.holdings(kind), report.holdings(kind), check_exact=True)
    pd.testing.assert_series_equal(loaded.stats(), report.stats())


def test_the_report_says_which_costs_the_run_used():
    assert "costs: fee 0.1425% of each order's value, tax 0.3% on sales (the defaults)" in repr(small_run())
    shown = repr(small_run(capital=10_000, fee_ratio=0.001, tax_ratio=0.0, fee_min=20, slippage=0.002, lot_size=100))
    assert (
        "costs: fee 0.1% of each order's value, tax 0% on sales, minimum fee 20, slippage 0.2%, lots of 100 shares"
        in shown
    )


def test_stats_count_the_costs_paid_and_the_final_amount():
    report = small_run(weight=0.4, capital=10_000, fee_ratio=0.001, tax_ratio=0.0)
    # 4_000 of each bought on bar 1 (400 AAA at 10, 800 BBB at 5): fees of 4 and 4,
    # 1_992 left in cash; at the end 400 * 12 + 800 * 6
    stats = report.stats()
    assert stats["costs"] == pytest.approx(8.0, rel=1e-12)
    assert stats["costs_per_year"] == pytest.approx(8.0 / (4 / 252), rel=1e-12)
    assert stats["final_amount"] == pytest.approx(1_992 + 400 * 12 + 800 * 6, rel=1e-12)


def test_a_sweep_takes_the_money_options_as_grid_values_and_fixed_options():
    dates = pd.bdate_range("2024-01-01", periods=30)
    close = pd.DataFrame({"AAA": np.linspace(10, 13, 30), "BBB": np.linspace(20, 18, 30)}, index=dates)
    position = pd.DataFrame({"AAA": [0.5, 0.3], "BBB": [0.5, 0.7]}, index=dates[[0, 15]])
    grid = {
        "lot_size": [None, 100.0],
        "fee_min": [0.0, 20.0],
        "slippage": {"per ticker": pd.Series({"AAA": 0.001, "BBB": 0.0})},
    }
    result = tolvane.sweep(position, close, grid=grid, capital=50_000, executor="threads", progress=False)
    table = result.table
    assert len(table) == 4 and table["error"].isna().all()
    for _, row in table.iterrows():
        options = {"lot_size": row["lot_size"], "fee_min": row["fee_min"], "slippage": grid["slippage"]["per ticker"]}
        alone = tolvane.backtest(position, close, capital=50_000, **options).stats()
        assert row["final_amount"] == alone["final_amount"] and row["costs"] == alone["costs"]
