"""tolvane.backtest: pandas inputs are converted to exactly the engine's
arrays, refused in the user's terms when they cannot be run, and runs from
several threads do not mix."""

import threading
import warnings

import numpy as np
import pandas as pd
import pytest
from contract_path import bare_run, prepare

import tolvane
from tolvane import _options
from tolvane._stops import StopTable


def market(bars=60, tickers=("AAA", "BBB", "CCC", "DDD"), seed=0, tz=None):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-01", periods=bars, tz=tz)
    prices = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, (bars, len(tickers))), axis=0))
    frame = pd.DataFrame(prices, index=dates, columns=list(tickers))
    bar = dict(close=frame, open=frame * rng.uniform(0.98, 1.02, frame.shape))
    bar["high"] = np.maximum(bar["close"], bar["open"]) * 1.01
    bar["low"] = np.minimum(bar["close"], bar["open"]) * 0.99
    weights = rng.uniform(-0.3, 0.5, (bars // 5, len(tickers)))
    position = pd.DataFrame(weights, index=dates[::5][: bars // 5], columns=list(tickers))
    return position, bar


OPTIONS = [
    {},
    dict(
        trade_price="open",
        rebalance="W-FRI",
        stop_loss=0.05,
        take_profit=0.1,
        trail_stop=0.03,
        trail_stop_activation=0.02,
        excursion_window=6,
        excursion_window_step=2,
    ),
    dict(
        touched_exit=True,
        stop_loss=pd.Series({"AAA": 0.02, "CCC": 0.04}),
        position_limit=0.3,
        retain_cost_when_rebalance=True,
        stop_trading_next_period=False,
        split_trades_at_rebalance=False,
    ),
    dict(
        rebalance="ME",
        delisting={"BBB": "2024-02-14"},
        fee_ratio=0.0,
        tax_ratio=0.0,
        take_profit=pd.DataFrame(
            {"AAA": [0.05, np.nan], "DDD": [0.1, 0.01]}, index=pd.to_datetime(["2024-01-10", "2024-02-01"])
        ),
    ),
]


@pytest.mark.parametrize("options", OPTIONS)
def test_the_front_door_changes_no_number_of_the_engine(options):
    position, bar = market()
    report = tolvane.backtest(position, **bar, **options)
    if "delisting" in options:
        # The front door does not buy a stock on or after its delisting bar:
        # the contract's run without BBB's weights in the rows traded after
        # it (February's rows, traded at the first bar of March).
        position = position.assign(BBB=position["BBB"].where(position.index < "2024-02-01", 0.0))
    inputs = prepare(position, **bar, **options)
    creturn, rows, profiles = bare_run(inputs)
    np.testing.assert_array_equal(report.equity.to_numpy(), creturn)
    trades = report.trades
    assert len(trades) == len(rows) > 0
    dates = bar["close"].index
    for row, profile, (_, trade) in zip(rows, profiles, trades.iterrows()):
        assert trade["ticker"] == row[0]
        assert trade["entry_date"] == dates[row[7]] and trade["entry_bar"] == row[7]
        assert (trade["exit_bar"], trade["bars_held"], trade["weight"]) == (row[8], row[6], row[5])
        stamps = [trade["exit_date"], trade["signal_date"], trade["exit_signal_date"]]
        assert [np.int64(-1) if pd.isna(s) else s.as_unit("ns").value for s in stamps] == [row[2], row[3], row[4]]
        # The front door takes a trade's return at the price the book sold
        # at; the contract at the last point of its path (past the exit when
        # an excursion window runs past it, at the bar's trade price rather
        # than a touched exit's level).
        moved = options.get("excursion_window") or options.get("touched_exit")
        fields = ["mae", "gmfe", "bmfe", "mdd", "profit_bars", "return"][: 5 if moved else 6]
        np.testing.assert_array_equal(trade[fields].to_numpy(dtype=float), profile[-6:][: len(fields)])


def test_conversions_reach_the_engine_as_documented():
    position, bar = market(bars=30)
    stops = pd.DataFrame({"AAA": [0.1, np.nan, 0.3]}, index=bar["close"].index[[0, 10, 20]] + pd.Timedelta(hours=1))
    inputs = prepare(
        position.astype(np.float32),
        bar["close"].astype(np.float64),
        stop_loss=stops,
        take_profit=pd.Series({"BBB": 0.2}),
        delisting=pd.Series({"CCC": pd.Timestamp("2024-01-10")}),
    )
    assert inputs.pos_values.dtype == np.float64 and list(inputs.pos_columns) == ["AAA", "BBB", "CCC", "DDD"]
    # a level is in force from its date on, forward-filled; no level means no stop
    table = inputs.engine_options["stop_loss"]
    assert isinstance(table, StopTable)
    levels = table.values[table.rows]
    np.testing.assert_array_equal(levels[:, 0], [np.inf] + [0.1] * 10 + [0.1] * 10 + [0.3] * 9)
    assert np.isinf(levels[:, 1:]).all()
    np.testing.assert_array_equal(inputs.engine_options["take_profit"], [np.inf, 0.2, np.inf, np.inf])
    # the delisting date's bar: 2024-01-10 is the 8th business day
    np.testing.assert_array_equal(inputs.engine_options["delisting_bars"], [-1, -1, 7, -1])
    assert inputs.engine_options["stop_trading_next_period"] is True


def test_float64_prices_are_not_copied_and_weights_are_cleaned():
    position, bar = market(bars=20)
    position.iloc[0, 0] = np.nan
    close = bar["close"]
    inputs = prepare(position, close, open=bar["open"], trade_price="open")
    assert np.shares_memory(inputs.close, close.to_numpy()) and inputs.trade_price is not inputs.close
    assert inputs.pos_values[0, 0] == 0.0  # a missing weight holds nothing
    boolean = prepare(position > 0, close)
    chosen = (position > 0).to_numpy()
    np.testing.assert_array_equal(
        boolean.pos_values, np.where(chosen, 1 / np.maximum(chosen.sum(1, keepdims=True), 1), 0)
    )


@pytest.mark.parametrize("tz", ["UTC", "America/New_York", "Asia/Tokyo"])
def test_tz_aware_dates_become_utc_nanoseconds(tz):
    position, bar = market(bars=20, tz=tz)
    aware = tolvane.backtest(position, **bar)
    naive = tolvane.backtest(
        position.tz_convert("UTC").tz_localize(None),
        **{k: v.tz_convert("UTC").tz_localize(None) for k, v in bar.items()},
    )
    np.testing.assert_array_equal(aware.equity.to_numpy(), naive.equity.to_numpy())
    assert aware.equity.index.tz is not None and str(aware.equity.index.tz) == tz
    stamp = pd.Timestamp("2024-01-01", tz=tz)
    assert prepare(position, bar["close"]).price_index[0] == stamp.value


def test_calendar_aliases_mark_the_last_bar_of_each_period_holidays_included():
    days = pd.bdate_range("2024-03-18", "2024-05-10").drop(pd.to_datetime(["2024-03-29", "2024-04-26"]))
    close = pd.DataFrame({"AAA": np.linspace(10, 20, len(days))}, index=days)
    position = pd.DataFrame({"AAA": [1.0]}, index=days[:1])

    def marked(alias):
        calendar = prepare(position, close, rebalance=alias).resample
        return [
            f"{days[bar]:%m-%d}" for bar in np.searchsorted(close.index.as_unit("ns").asi8, calendar, side="right") - 1
        ]

    # Good Friday (03-29) is a holiday: the month and its week end on Thursday
    assert marked("ME") == ["03-28", "04-30"]
    assert marked("W-FRI") == ["03-22", "03-28", "04-05", "04-12", "04-19", "04-25", "05-03", "05-10"]
    assert marked(["2024-04-26", pd.Timestamp("2024-04-03")]) == ["04-03", "04-25"]


BAD_INPUTS = [
    (
        lambda p, c: (p, c.iloc[::-1]),
        ValueError,
        "close's dates are not in ascending order: 2024-03-21 comes after 2024-03-22",
    ),
    (lambda p, c: (p, pd.concat([c.iloc[:3], c.iloc[2:]])), ValueError, "close has duplicated dates: 2024-01-03"),
    (lambda p, c: (p, c.rename(columns={"BBB": "AAA"})), ValueError, "close has duplicated tickers: 'AAA'"),
    (
        lambda p, c: (p.rename(columns={"CCC": "ZZZ", "DDD": "YYY"}), c),
        ValueError,
        "position has tickers without prices in close: 'ZZZ', 'YYY'",
    ),
    (lambda p, c: (p, c.assign(BBB="x")), TypeError, "close has non-numeric columns: 'BBB'"),
    (
        lambda p, c: (p.set_axis(p.index + pd.Timedelta(days=400)), c),
        ValueError,
        "after the last price bar (2024-03-22)",
    ),
    (
        lambda p, c: (p.tz_localize("UTC"), c),
        ValueError,
        "timezone mismatch: position's dates are tz-aware (UTC) but close's are naive",
    ),
    (
        lambda p, c: (p, c.reset_index(drop=True)),
        TypeError,
        "close must be indexed by dates (a DatetimeIndex), got a RangeIndex",
    ),
    (lambda p, c: (p.to_numpy(), c), TypeError, "position must be a pandas DataFrame"),
    (lambda p, c: (p.assign(AAA=np.inf), c), ValueError, "position has an infinite weight for 'AAA' on 2024-01-01"),
    (
        lambda p, c: (p, c.assign(BBB=np.nan)),
        ValueError,
        "position gives weight to tickers without a single price in close: 'BBB'",
    ),
    (
        lambda p, c: (p.stack().rename_axis(["date", "ticker"]).rename("weight").reset_index(level="ticker"), c),
        ValueError,
        "position looks like a long table (a row per date and ticker, the tickers in column 'ticker'): give it as "
        "dates x tickers, for example position.pivot(columns='ticker', values='weight')",
    ),
    (
        lambda p, c: (p, c.stack().rename_axis(["date", "ticker"]).rename("close").reset_index()),
        ValueError,
        "close.pivot(index='date', columns='ticker', values='close')",
    ),
]


@pytest.mark.parametrize("mutate, error, message", BAD_INPUTS)
def test_bad_inputs_are_refused_in_the_users_terms(mutate, error, message):
    position, bar = market()
    with pytest.raises(error) as raised:
        tolvane.backtest(*mutate(position, bar["close"]))
    assert message in str(raised.value)


@pytest.mark.parametrize(
    "options, message",
    [
        (dict(touched_exit=True), "touched_exit=True tests each bar's open, high and low: give open, high, low"),
        (
            dict(high="high", low="low", open="close-shifted"),
            "open must have the same dates as close (missing 2024-01-01",
        ),
        (dict(trade_price="open"), "trade_price='open' needs the open prices"),
        (dict(rebalance="fortnightly"), "rebalance='fortnightly' is not a pandas frequency alias"),
        (dict(rebalance="M"), "rebalance='M' is not a pandas frequency alias (did you mean 'ME'?)"),
        (dict(rebalance="2Q"), "rebalance='2Q' is not a pandas frequency alias (did you mean '2QE'?)"),
        (dict(rebalance="A-DEC"), "rebalance='A-DEC' is not a pandas frequency alias (did you mean 'YE-DEC'?)"),
        (dict(stop_loss=pd.Series({"AAA": -0.1})), "stop_loss must be >= 0, got -0.1 for 'AAA'"),
        (dict(delisting={"NOPE": "2024-02-01"}), "delisting names tickers that close does not have: 'NOPE'"),
        (dict(delisting={"AAA": "2023-02-01"}), "delisting dates before the first price bar: AAA on 2023-02-01"),
        (dict(excursion_window=-1), "excursion_window must be an integer >= 0, got -1"),
    ],
)
def test_bad_options_are_refused_in_the_users_terms(options, message):
    position, bar = market()
    frames = {"high": bar["high"], "low": bar["low"], "close-shifted": bar["close"].shift(1, freq="B")}
    options = {name: frames.get(value, value) if isinstance(value, str) else value for name, value in options.items()}
    with pytest.raises(ValueError) as raised:
        tolvane.backtest(position, bar["close"], **options)
    assert message in str(raised.value)


def test_an_invalid_trade_price_is_reported_with_its_date():
    position, bar = market()
    close = bar["close"].copy()
    close.iloc[7, 0] = -1.0
    with pytest.raises(ValueError, match=r"the trade price of 'AAA' on 2024-01-10 is -1.0"):
        tolvane.backtest(position, close)


def test_an_invalid_trade_price_carries_its_ticker_date_and_price():
    position, bar = market()
    close = bar["close"].copy()
    close.iloc[7, 0] = -1.0
    with pytest.raises(tolvane.InvalidPriceError) as raised:
        tolvane.backtest(position, close)
    assert (raised.value.ticker, raised.value.date, raised.value.price) == ("AAA", close.index[7], -1.0)


def test_runs_from_several_threads_are_serialised_and_independent():
    cases = [market(seed=seed) for seed in range(4)]
    expected = [tolvane.backtest(position, **bar, stop_loss=0.05) for position, bar in cases]
    reports = [None] * 4

    def run(k):
        position, bar = cases[k]
        for _ in range(5):
            reports[k] = tolvane.backtest(position, **bar, stop_loss=0.05)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for got, want in zip(reports, expected):
        pd.testing.assert_series_equal(got.equity, want.equity)
        pd.testing.assert_frame_equal(got.trades, want.trades)


def test_the_signature_shows_the_defaults_the_run_uses():
    import dataclasses
    import inspect

    parameters = inspect.signature(tolvane.backtest).parameters
    defaults = {field.name: field.default for field in dataclasses.fields(_options.Options)}
    assert {name: p.default for name, p in parameters.items() if name not in ("position", "close")} == defaults


def test_importing_the_engine_does_not_import_pandas(python_subprocess):
    result = python_subprocess("""
        import sys
        import tolvane.core.ravelin
        assert "pandas" not in sys.modules, "pandas imported"
        import tolvane
        assert "pandas" not in sys.modules, "pandas imported by the package"
        tolvane.backtest
        assert "pandas" in sys.modules
    """)
    assert result.returncode == 0, result.stderr


def test_a_purchase_on_a_bar_without_a_trade_price_is_warned_with_ticker_and_date():
    position, bar = market()
    close = bar["close"].copy()
    close.iloc[1, 1] = np.nan  # the first target row is bought at bar 1
    with pytest.warns(UserWarning, match=r"bought on bars without a trade price.*: BBB on 2024-01-02"):
        tolvane.backtest(position, close)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        tolvane.backtest(position, bar["close"])


@pytest.mark.parametrize(
    ("option", "value", "warned"),
    [
        ("stop_loss", 15, True),
        ("stop_loss", 0.15, False),
        ("take_profit", 20.0, True),
        ("trail_stop", 10, True),
        ("take_profit", 1.5, False),
        ("stop_loss", "per ticker", True),
    ],
)
def test_exit_levels_that_look_like_percentages_are_warned(option, value, warned):
    position, bar = market()
    if value == "per ticker":
        value = pd.Series({"AAA": 0.1, "BBB": 5.0})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tolvane.backtest(position, bar["close"], **{option: value})
    messages = [str(warning.message) for warning in caught if "of the entry price" in str(warning.message)]
    assert bool(messages) == warned
    assert all(message.startswith(f"{option}=") and "levels are fractions" in message for message in messages)


def test_a_book_that_overflows_is_refused_with_the_ticker_and_the_date():
    position, bar = market()
    close = bar["close"].copy()
    close.iloc[30:, 2] *= 1e300  # CCC: value x close overflows a double from bar 30
    with pytest.raises(tolvane.InputError) as raised:
        tolvane.backtest(position, close)
    assert "not a finite number from 2024-02-12 on: holding 'CCC'" in str(raised.value)


def test_statistics_of_a_huge_but_finite_book_are_numbers_or_nan_without_warnings():
    position, bar = market()
    close = bar["close"].copy()
    close.iloc[30:, 0] *= 1e120
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        stats = tolvane.backtest(position.clip(lower=0), close).stats()
    numbers = stats.drop(
        ["start", "end", "max_drawdown_peak", "max_drawdown_trough", "max_drawdown_recovery", "profit_factor"]
    ).astype(float)
    assert not np.isinf(numbers).any(), numbers[np.isinf(numbers)]
