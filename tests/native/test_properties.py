"""Relations the engine's rules imply, over random valid markets."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays
from markets import ARRAYS, DAY

from tolvane.core import ravelin, vexal


@st.composite
def markets(draw, long_only=False, max_bars=30, max_stocks=5):
    bars = draw(st.integers(2, max_bars))
    stocks = draw(st.integers(1, max_stocks))
    moves = draw(arrays(np.float64, (bars, stocks), elements=st.floats(-0.2, 0.2)))
    prices = 10 * np.exp(np.cumsum(moves, axis=0))
    missing = draw(arrays(np.bool_, (bars, stocks), elements=st.sampled_from([False] * 15 + [True])))
    prices[missing] = np.nan
    spread = draw(arrays(np.float64, (bars, stocks), elements=st.floats(0.95, 1.05)))
    rows = sorted(draw(st.sets(st.integers(0, bars - 1), min_size=1, max_size=4)))
    low = 0.0 if long_only else -1.0
    weights = draw(arrays(np.float64, (len(rows), stocks), elements=st.one_of(st.just(0.0), st.floats(low, 1.0))))
    index = np.arange(bars, dtype=np.int64) * DAY
    calendar = draw(
        st.one_of(st.just(index), st.sets(st.integers(0, bars - 1)).map(lambda marks: index[sorted(marks)]))
    )
    names = np.array([f"S{i}" for i in range(stocks)], dtype=object)
    return dict(
        price_values=prices,
        close_values=prices * spread,
        high_values=prices * 1.05,
        low_values=prices * 0.95,
        open_values=prices.copy(),
        price_index=index,
        price_columns=names,
        pos_values=weights,
        pos_index=index[rows],
        pos_columns=names.copy(),
        resample=np.asarray(calendar, dtype=np.int64),
    )


OPTIONS = st.fixed_dictionaries(
    {
        "fee_ratio": st.floats(0, 0.01),
        "tax_ratio": st.floats(0, 0.01),
        "stop_loss": st.floats(0.01, 1.0),
        "take_profit": st.floats(0.01, 2.0) | st.just(np.inf),
        "trail_stop": st.floats(0.01, 0.5) | st.just(np.inf),
        "touched_exit": st.booleans(),
        "position_limit": st.floats(0.1, 1.0),
        "stop_trading_next_period": st.booleans(),
        "periodically_rebalance": st.booleans(),
        "retain_cost_when_rebalance": st.booleans(),
    }
)


def run(market, **options):
    return ravelin.backtest_(*[market[name] for name in ARRAYS], **options)


@given(markets(), OPTIONS)
def test_scaling_one_stocks_prices_changes_nothing(market, options):
    expected = run(market, **options)
    scaled = dict(market)
    for name in ARRAYS[:5]:
        scaled[name] = market[name].copy()
        scaled[name][:, 0] *= 2.0**5  # exact in binary floating point
    np.testing.assert_array_equal(run(scaled, **options), expected)


@given(markets(), OPTIONS, st.randoms())
def test_permuting_price_columns_with_their_labels_changes_nothing(market, options, random):
    expected = run(market, **options)
    order = list(range(market["price_values"].shape[1]))
    random.shuffle(order)
    permuted = dict(market)
    for name in ARRAYS[:5]:
        permuted[name] = market[name][:, order]
    permuted["price_columns"] = market["price_columns"][order]
    np.testing.assert_array_equal(run(permuted, **options), expected)


@given(markets(), OPTIONS)
def test_value_is_one_before_the_first_target_row(market, options):
    creturn = run(market, **options)
    before = market["price_index"] < market["pos_index"][0]
    assert (creturn[before] == 1.0).all()
    assert creturn.shape == market["price_index"].shape


@given(markets(), OPTIONS)
def test_all_zero_targets_give_a_flat_series(market, options):
    market = dict(market, pos_values=np.zeros_like(market["pos_values"]))
    assert (run(market, **options) == 1.0).all()
    assert vexal.trades == []


@given(markets(), st.integers(1, 29))
def test_rebalancing_to_the_same_weights_without_costs_keeps_the_value(market, later):
    bars = len(market["price_index"])
    first = int(np.searchsorted(market["price_index"], market["pos_index"][0]))
    second = min(first + later, bars - 1)
    single = dict(
        market,
        close_values=market["price_values"],
        pos_values=market["pos_values"][:1],
        pos_index=market["pos_index"][:1],
        resample=market["price_index"],
    )
    twice = dict(
        single,
        pos_values=np.repeat(market["pos_values"][:1], 2, axis=0),
        pos_index=market["price_index"][[first, second]],
    )
    one, two = run(single, fee_ratio=0, tax_ratio=0), run(twice, fee_ratio=0, tax_ratio=0)
    # the repeated row is traded at the bar after `second`; up to there nothing differs
    through = min(second + 2, bars)
    np.testing.assert_allclose(two[:through], one[:through], rtol=1e-12, atol=1e-12)


@given(markets(), OPTIONS)
def test_trade_records_are_consistent(market, options):
    run(market, **options)
    trades, positions, profiles = vexal.trades, vexal.trade_positions, vexal.vexal
    assert len(trades) == len(positions) == len(profiles)
    open_sids = [sid for sid, _, exit_ in trades if exit_ == -1]
    assert open_sids == sorted(set(open_sids))
    assert all(exit_ == -1 or exit_ >= entry for _, entry, exit_ in trades)
    rows, operations = ravelin.get_trade_stocks(market["pos_columns"], market["price_index"], options["touched_exit"])
    assert operations is ravelin.get_trade_stocks(market["pos_columns"], market["price_index"], 0)[1]
    for k, (row, (sid, entry, exit_)) in enumerate(zip(rows, trades)):
        assert row[0] == market["pos_columns"][sid]
        assert (row[7], row[8]) == (entry, exit_)
        assert row[5] is positions[k] or row[5] == positions[k]
    assert len(rows) == len(trades)


@given(markets(long_only=True), st.floats(0, 0.02), st.floats(0.0001, 0.02))
def test_higher_fees_never_raise_the_final_value(market, fee, more):
    cheap = run(market, fee_ratio=fee, tax_ratio=0.001)
    dear = run(market, fee_ratio=fee + more, tax_ratio=0.001)
    assert dear[-1] <= cheap[-1] * (1 + 1e-12)


@st.composite
def markets_with_flat_bars(draw, max_bars=30, max_stocks=5):
    """A market traded at its close in which some bars of some stocks repeat
    the previous close in every price (open, high, low, close): what a missing
    bar filled with the last known price looks like. Returns it with the mask
    of those flat bars."""
    bars = draw(st.integers(3, max_bars))
    stocks = draw(st.integers(1, max_stocks))
    flat = draw(arrays(np.bool_, (bars, stocks), elements=st.sampled_from([False, True])))
    flat[0] = False
    moves = draw(arrays(np.float64, (bars, stocks), elements=st.floats(-0.2, 0.2)))
    moves[flat] = 0.0  # the close repeats exactly
    close = 10 * np.exp(np.cumsum(moves, axis=0))
    ranges = {
        name: draw(arrays(np.float64, (bars, stocks), elements=st.floats(low, high)))
        for name, low, high in [("high", 1.0, 1.05), ("low", 0.95, 1.0), ("open", 0.95, 1.05)]
    }
    for factor in ranges.values():
        factor[flat] = 1.0
    rows = sorted(draw(st.sets(st.integers(0, bars - 1), min_size=1, max_size=4)))
    weights = draw(arrays(np.float64, (len(rows), stocks), elements=st.floats(-1.0, 1.0)))
    index = np.arange(bars, dtype=np.int64) * DAY
    names = np.array([f"S{i}" for i in range(stocks)], dtype=object)
    market = dict(
        price_values=close,
        close_values=close.copy(),
        high_values=close * ranges["high"],
        low_values=close * ranges["low"],
        open_values=close * ranges["open"],
        price_index=index,
        price_columns=names,
        pos_values=weights,
        pos_index=index[rows],
        pos_columns=names.copy(),
        resample=index.copy(),
    )
    return market, flat


def held_when_each_bar_began(trades, bars, stocks):
    held = np.zeros((bars, stocks), dtype=bool)
    for sid, entry, exit_ in trades:
        held[entry + 1 : bars if exit_ == -1 else exit_ + 1, sid] = True
    return held


@pytest.mark.parametrize("costs", [dict(fee_ratio=0.0, tax_ratio=0.0), dict(fee_ratio=0.001425, tax_ratio=0.003)])
@given(data=st.data())
def test_a_held_stocks_missing_price_counts_as_its_last_known_price(costs, data):
    market, flat = data.draw(markets_with_flat_bars())
    options = data.draw(OPTIONS.map(lambda drawn: {**drawn, **costs, "stop_trading_next_period": True}))
    filled = run(market, **options)
    bars, stocks = flat.shape
    chosen = data.draw(arrays(np.bool_, flat.shape, elements=st.sampled_from([False, True, True])))
    missing = flat & chosen & held_when_each_bar_began(vexal.trades, bars, stocks)
    gapped = dict(market)
    for name in ARRAYS[:5]:
        gapped[name] = np.where(missing, np.nan, market[name])
    np.testing.assert_allclose(run(gapped, **options), filled, rtol=1e-12)
