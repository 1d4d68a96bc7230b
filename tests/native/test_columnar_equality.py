"""The columnar run equals the contract's run bit for bit, over random
markets with every option: equity, trades, entry weights, excursion profiles,
stock operations, and the failures (same type and message); and so with its
own options (the book in money, costs per stock, slippage, rates, book
prices) passed at their neutral values."""

import numpy as np
import pytest
from columnar import assert_same_results, columnar_run, contract_run, markets, matrix, outcome
from hypothesis import event, given, settings
from hypothesis import strategies as st
from markets import DAY


def stop_level(draw, market, low, high):
    """Absent, one level, or a level per bar and position column."""
    kind = draw(st.sampled_from(["absent", "level", "table"]))
    if kind == "level":
        return draw(st.floats(low, high))
    if kind == "table":
        return matrix(draw, (len(market["price_index"]), len(market["pos_columns"])), -high, high)
    return None


@st.composite
def options(draw, market):
    chosen = {
        "fee_ratio": draw(st.sampled_from([0.0, 0.001425]) | st.floats(0, 0.01)),
        "tax_ratio": draw(st.sampled_from([0.0, 0.003]) | st.floats(0, 0.01)),
        "touched_exit": draw(st.booleans()),
        "position_limit": draw(st.sampled_from([1.0]) | st.floats(0.1, 1.0)),
        "retain_cost_when_rebalance": draw(st.booleans()),
        "stop_trading_next_period": draw(st.booleans()),
        "periodically_rebalance": draw(st.booleans()),
        "vexal_window": draw(st.sampled_from([0, 0, 1, 2, 5, 40])),
        "vexal_window_step": draw(st.integers(1, 3)),
    }
    for name, low, high in [("stop_loss", 0.01, 1.0), ("take_profit", 0.01, 1.0)]:
        level = stop_level(draw, market, low, high)
        if level is not None:
            chosen[name] = level
    if draw(st.booleans()):
        chosen["trail_stop"] = draw(st.floats(0.01, 0.5))
        chosen["trail_stop_activation"] = draw(st.sampled_from([0.0]) | st.floats(0.0, 0.3))
    if draw(st.booleans()):
        bars = len(market["price_index"])
        chosen["delisting_bars"] = np.array(
            draw(
                st.lists(
                    st.integers(-1, bars - 1), min_size=len(market["pos_columns"]), max_size=len(market["pos_columns"])
                )
            ),
            dtype=np.int64,
        )
    return chosen


NEUTRAL = dict(
    fee_min=0.0,
    fee_fixed=0.0,
    slippage=0.0,
    lot_size=None,
    borrow_rate=0.0,
    cash_rate=0.0,
    capital=None,
    book_prices=False,
)


@st.composite
def neutral_options(draw, market, chosen):
    """The columnar run's own options, some of them passed at their neutral
    values (costs as numbers or as zeros per position column), and the fee
    and tax ratios sometimes given as one equal number per position column."""
    columns = len(market["pos_columns"])
    neutral = {}
    for name, value in NEUTRAL.items():
        if draw(st.booleans()):
            per_column = name in ("fee_min", "fee_fixed", "slippage") and draw(st.booleans())
            neutral[name] = np.zeros(columns) if per_column else value
    for name, default in [("fee_ratio", 0.001425), ("tax_ratio", 0.003)]:
        if draw(st.booleans()):
            neutral[name] = np.full(columns, chosen.get(name, default))
    return neutral


@st.composite
def runs(draw):
    market = draw(markets())
    chosen = draw(options(market))
    return market, chosen, draw(neutral_options(market, chosen)), draw(st.sampled_from(["C", "F", "strided"]))


@settings(max_examples=600)
@given(runs())
def test_the_columnar_run_equals_the_contract(run):
    market, chosen, neutral, layout = run
    expected = outcome(contract_run, market, **chosen)
    got = outcome(columnar_run, market, layout, **{**chosen, **neutral})
    assert got[0] == expected[0], (expected, got)
    if expected[0] == "raised":
        event(f"raises {type(expected[1]).__name__}")
        assert type(got[1]) is type(expected[1])
        assert str(got[1]) == str(expected[1])
    else:
        event("no trades" if len(expected[1]["trade_stock"]) == 0 else "trades")
        assert_same_results(expected[1], got[1])


@pytest.mark.parametrize(
    "chosen",
    [
        dict(stop_loss=0.1, take_profit=0.2, trail_stop=0.05, vexal_window=30, vexal_window_step=7),
        dict(stop_loss=0.1, take_profit=0.2, touched_exit=True, stop_trading_next_period=False),
    ],
)
def test_a_long_stretch_is_walked_in_parts(chosen):
    # 100 stocks held over 800 bars without a rebalance: more values at the
    # close than one part of a stretch keeps (2 ** 16), so the walk splits it.
    rng = np.random.default_rng(7)
    bars, stocks = 800, 120
    price = 50 * np.exp(np.cumsum(rng.normal(0, 0.02, (bars, stocks)), axis=0))
    price[rng.random(price.shape) < 0.01] = np.nan
    close = price * rng.uniform(0.98, 1.02, price.shape)
    index = np.arange(bars, dtype=np.int64) * DAY
    names = np.array([f"S{i}" for i in range(stocks)], dtype=object)
    weights = np.where(rng.random((1, stocks)) < 0.85, 1 / 100, 0.0)
    delisting = np.where(rng.random(stocks) < 0.1, rng.integers(0, bars, stocks), -1)
    market = dict(
        price_values=price,
        close_values=close,
        high_values=np.fmax(price, close) * 1.01,
        low_values=np.fmin(price, close) * 0.99,
        open_values=price,
        price_index=index,
        price_columns=names,
        pos_values=weights,
        pos_index=index[:1],
        pos_columns=names.copy(),
        resample=index[:1],
    )
    chosen = dict(chosen, delisting_bars=delisting.astype(np.int64))
    assert_same_results(contract_run(market, **chosen), columnar_run(market, "F", **chosen))
