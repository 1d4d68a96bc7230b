"""Hostile calls of tolvane.backtest and hostile runs of the tolvane command,
drawn by hypothesis as small programs.

A case is a mostly valid market (a few bars and tickers of made-up prices
and target weights) with a few hostile twists: an odd dtype, value, index,
ticker or file, or an option of the wrong type or out of range. Each case
renders as the Python code that builds its inputs, which is both what a
worker process runs (see hostile_harness.py) and the reproduction a failure
report shows. Its `simpler()` candidates (a twist or option less, fewer bars
and tickers, plainer dates) let the harness shrink a failing case.
"""

from __future__ import annotations

import re
import shlex
from collections.abc import Iterator
from dataclasses import dataclass, field, replace
from typing import Any

from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import seed as fixed_seed
from hypothesis import strategies as st

IMPORTS = "import datetime, decimal, fractions, os, gzip, zipfile\nimport numpy as np, pandas as pd, tolvane"
PARQUET_IMPORTS = "import pyarrow as pa, pyarrow.parquet as pq"

# --------------------------------------------------------------------- twists
# A twist is a statement on one input, "$" standing for the input's name. They
# are applied in the order of their kind: values, then dtypes (a value may not
# fit a dtype), then tickers, then dates, then the kind of object itself.
# (The catalogs of source text are laid out as tables, unformatted.)
VALUE, DTYPE, COLUMNS, INDEX, OBJECT = range(5)

FRAME, DATED_SERIES, TICKER_SERIES = "frame", "dated series", "ticker series"

# fmt: off
ODD_NUMBERS = [
    "np.nan", "np.inf", "-np.inf", "0.0", "-0.0", "-1.0", "5e-324", "1e-300", "1e300", "-1e300",
    "1.7976931348623157e308", "2.0**53 + 1",
]
_CELLS = {FRAME: ["$.iloc[0, 0]", "$.iloc[-1, -1]", "$.iloc[:, 0]", "$.iloc[:, :]"]}
_CELLS[DATED_SERIES] = _CELLS[TICKER_SERIES] = ["$.iloc[0]", "$.iloc[-1]", "$.iloc[:]"]
_SCALED = ["$ = $ * 1e300", "$ = $ * 1e-300", "$ = -$", "$ = $ * 0"]

DTYPES = [
    "float32", "float16", "int64", "int8", "uint8", "uint64", "bool", "complex128", "object", "str", "string",
    "Float64", "category", "datetime64[ns]", "timedelta64[ns]", "Sparse[float64]",
]
# fmt: on


_DTYPE_TWISTS = [f"$ = $.astype({dtype!r})" for dtype in DTYPES] + [
    "$ = $.round().astype('Int64')",
    "$ = $.astype(bool).astype('boolean')",
]
_COLUMN_DTYPE_TWISTS = [f"$.isetitem(0, $.iloc[:, 0].astype({dtype!r}))" for dtype in DTYPES]

_COLUMN_TWISTS = [
    "$ = pd.concat([$, $.iloc[:, :1]], axis=1)",
    "$ = $.iloc[:, 1:]",
    "$ = $.iloc[:, :0]",
    "$ = $.iloc[:, ::-1]",
    "$.columns = [str(ticker) for ticker in $.columns]",
    "$.columns = pd.MultiIndex.from_product([['x'], range($.shape[1])])",
    "$ = pd.concat([$, $.iloc[:, :1].set_axis(['EXTRA'], axis=1)], axis=1)",
    "$ = $.T",
    "$.columns = pd.CategoricalIndex($.columns)",
]

_INDEX_TWISTS = [
    "$ = pd.concat([$.iloc[1:], $.iloc[:1]])",
    "$ = pd.concat([$, $.iloc[-1:]])",
    "$ = $.iloc[::-1]",
    "$.index = $.index.where($.index != $.index[-1])",
    "$ = $.reset_index(drop=True)",
    "$.index = $.index.strftime('%Y-%m-%d')",
    "$.index = $.index.date",
    "$.index = $.index.to_period('D')",
    "$.index = pd.MultiIndex.from_arrays([$.index, range(len($))])",
    "$.index = $.index.asi8",
    "$.index = $.index.asi8 / 1e9",
    "$.index = $.index + pd.Timedelta('1h')",
    "$.index = $.index + pd.Timedelta(days=3650)",
    "$.index = $.index - pd.Timedelta(days=3650)",
    "$.index = $.index.as_unit('s')",
    "$.index = $.index.as_unit('ns')",
    "$ = $.iloc[:0]",
    "$ = $.iloc[:1]",
    "$.index = $.index.normalize()",
    "$.index = $.index.astype(object)",
]
_NAIVE_INDEX_TWISTS = [
    "$.index = $.index.tz_localize('UTC')",
    "$.index = $.index.tz_localize('America/New_York')",
    "$.index = pd.Index([d.tz_localize('UTC') if k % 2 else d for k, d in enumerate($.index)], dtype=object)",
]
_AWARE_INDEX_TWISTS = [
    "$.index = $.index.tz_localize(None)",
    "$.index = $.index.tz_convert('Asia/Tokyo')",
    "$.index = $.index.tz_convert(None)",
    "$.index = pd.Index([d.tz_convert('Asia/Tokyo') if k % 2 else d for k, d in enumerate($.index)], dtype=object)",
]

_OBJECT_TWISTS = {
    FRAME: [
        "$ = $.to_numpy()",
        "$ = $.iloc[:, 0]",
        "$ = $.to_dict()",
        "$ = $.values.tolist()",
        "$ = None",
        "$ = 1.0",
        "$ = $.stack()",
        "$ = $.reset_index()",
        "$ = $.melt(ignore_index=False)",
        "$ = $.rename_axis('date').reset_index().melt(id_vars='date')",
    ],
    DATED_SERIES: ["$ = $.to_numpy()", "$ = $.tolist()", "$ = $.to_frame()", "$ = $.to_dict()", "$ = None"],
}
_OBJECT_TWISTS[TICKER_SERIES] = _OBJECT_TWISTS[DATED_SERIES]


@dataclass(frozen=True)
class Twist:
    """A statement on the input named `target` ("$" in `template`)."""

    target: str
    kind: int
    template: str

    def statement(self) -> str:
        return self.template.replace("$", self.target)


def twist_templates(shape: str, aware: bool) -> dict[int, list[str]]:
    """The twists of an input of `shape`, by kind."""
    templates = {
        VALUE: [f"{cell} = {number}" for cell in _CELLS[shape] for number in ODD_NUMBERS] + _SCALED,
        DTYPE: _DTYPE_TWISTS + (_COLUMN_DTYPE_TWISTS if shape == FRAME else []),
        OBJECT: _OBJECT_TWISTS[shape],
    }
    if shape == FRAME:
        templates[COLUMNS] = _COLUMN_TWISTS
    if shape != TICKER_SERIES:
        templates[INDEX] = _INDEX_TWISTS + (_AWARE_INDEX_TWISTS if aware else _NAIVE_INDEX_TWISTS)
    return templates


def twists(target: str, shape: str, aware: bool) -> st.SearchStrategy[Twist]:
    templates = twist_templates(shape, aware)
    # values and dtypes most often: they reach furthest into a run
    kinds = [kind for kind in (VALUE, VALUE, DTYPE, DTYPE, INDEX, COLUMNS, OBJECT) if kind in templates]
    return st.sampled_from(kinds).flatmap(
        lambda kind: st.sampled_from(templates[kind]).map(lambda template: Twist(target, kind, template))
    )


# --------------------------------------------------------------------- market
NAMES = ("'AAA'", "'BBB'", "'CCC'", "'DDD'", "'EEE'")
# fmt: off
ODD_TICKERS = [
    "1", "'1'", "1.0", "1.5", "float('nan')", "None", "''", "'\\ud800'", "'x' * 5000", "('A', 1)", "True", "-1",
    "2**70", "b'AAA'", "pd.Timestamp('2024-01-01')", "' AAA'", "'AAA\\n'", "'a,b'", "'日本'", "'\\x00'", "'AAA'",
]
# start, unit: dates near and beyond what int64 nanoseconds hold (1677..2262)
# are given a unit that holds them
STARTS = [
    ("2024-01-01", None), ("2024-01-01", None), ("2024-03-09", None), ("2024-02-29", None), ("1970-01-01", None),
    ("1969-12-31 23:00", None), ("1677-09-22", None), ("2262-04-01", None), ("2262-04-11 20:00", None),
    ("2024-01-01", "s"), ("2024-01-01", "ns"), ("2300-01-01", "s"), ("1500-01-01", "ms"),
]
# fmt: on
FREQUENCIES = ["D", "D", "B", "B", "h", "min", "15min", "s", "ns", "W-FRI", "ME", "QE"]
TIMEZONES = [None, None, None, "UTC", "Asia/Taipei", "America/New_York"]
WEIGHTS = [0.0, 0.25, 0.5, 1.0, 0.1, 0.3, -0.5, 2.0]


@dataclass(frozen=True)
class Market:
    """Dates, prices and target weights: a valid run unless its own fields are odd.

    Prices swing around 10 (`swing` 0: flat); a target row every `step`
    bars, the rows of `weights` taken in turn.
    """

    bars: int = 3
    tickers: tuple[str, ...] = ("'AAA'",)  # source text of each label
    start: str = "2024-01-01"
    unit: str | None = None
    freq: str = "D"
    tz: str | None = None
    swing: float = 0.0
    step: int = 1
    weights: tuple[tuple[Any, ...], ...] = ((1.0,),)

    @property
    def aware(self) -> bool:
        return self.tz is not None

    def lines(self) -> list[str]:
        zone = f", tz={self.tz!r}" if self.tz else ""
        unit = f", unit={self.unit!r}" if self.unit else ""
        columns = "[" + ", ".join(self.tickers) + "]"
        if any("\\ud800" in ticker for ticker in self.tickers):
            columns = f"pd.Index({columns}, dtype=object)"  # pandas' own text arrays refuse a lone surrogate
        count = len(self.tickers)
        prices = (
            f"10 * (1 + {self.swing} * np.sin(np.arange({self.bars * count}).reshape({self.bars}, {count})))"
            if self.swing
            else "10.0"
        )
        rows = len(range(0, self.bars, self.step))
        patterns = [list(row) for row in self.weights]
        if rows <= 6:
            weights = repr([patterns[k % len(patterns)] for k in range(rows)])
        else:
            weights = f"({patterns!r} * {rows // len(patterns) + 1})[:{rows}]"
        dates = "dates" if self.step == 1 else f"dates[::{self.step}]"
        return [
            f"dates = pd.date_range({self.start!r}, periods={self.bars}, freq={self.freq!r}{zone}{unit})",
            f"close = pd.DataFrame({prices}, index=dates, columns={columns})",
            f"position = pd.DataFrame({weights}, index={dates}, columns={columns})",
        ]

    def simpler(self) -> Iterator[Market]:
        plain = Market()
        if self.bars > 1:
            for bars in sorted({1, 2, self.bars // 2, self.bars - 1}):
                if 0 < bars < self.bars:
                    yield replace(self, bars=bars)
        if len(self.tickers) > 2:
            half = len(self.tickers) // 2
            yield replace(self, tickers=self.tickers[:half], weights=tuple(row[:half] for row in self.weights))
        if len(self.tickers) > 1:
            for drop in range(len(self.tickers)):
                yield replace(
                    self,
                    tickers=self.tickers[:drop] + self.tickers[drop + 1 :],
                    weights=tuple(row[:drop] + row[drop + 1 :] for row in self.weights),
                )
        if len(self.weights) > 1:
            yield replace(self, weights=self.weights[:1])
        for name in ("step", "swing", "tz", "freq"):
            if getattr(self, name) != getattr(plain, name):
                yield replace(self, **{name: getattr(plain, name)})
        if (self.start, self.unit) != (plain.start, plain.unit):
            yield replace(self, start=plain.start, unit=plain.unit)
        names = NAMES[: len(self.tickers)]
        if self.tickers != names and len(self.tickers) <= len(NAMES):
            yield replace(self, tickers=names)
        plain_weights = tuple(tuple(True if isinstance(w, bool) else 1 / len(row) for w in row) for row in self.weights)
        if self.weights != plain_weights:
            yield replace(self, weights=plain_weights)


@st.composite
def markets(draw: st.DrawFn, written: bool = False) -> Market:
    """A market; with `written`, one whose tickers a file can hold (text
    files hold no lone surrogate)."""
    count = draw(st.sampled_from([1, 1, 2, 2, 3, 4, 30]))
    odd = [ticker for ticker in ODD_TICKERS if not (written and "\\ud800" in ticker)]
    labels = st.sampled_from(odd) if draw(st.integers(0, 3)) == 0 else st.sampled_from(NAMES)
    if count > len(NAMES):
        tickers = tuple(f"'T{k}'" for k in range(count))
    else:
        tickers = tuple(draw(st.lists(labels, min_size=count, max_size=count, unique=draw(st.booleans()))))
        if len(set(tickers)) < count and draw(st.booleans()):
            tickers = NAMES[:count]
    start, unit = draw(st.sampled_from(STARTS))
    unit = unit or draw(st.sampled_from([None, None, None, "s", "ns"]))
    frequency = draw(st.sampled_from(FREQUENCIES))
    if unit in ("s", "ms") and frequency == "ns":
        frequency = "s"
    boolean = draw(st.integers(0, 4)) == 0
    cell = st.booleans() if boolean else st.sampled_from(WEIGHTS)
    row = st.lists(cell, min_size=count, max_size=count).map(tuple)
    return Market(
        bars=draw(st.sampled_from([1, 2, 3, 4, 5, 8, 13, 40, 300])),
        tickers=tickers,
        start=start,
        unit=unit,
        freq=frequency,
        tz=draw(st.sampled_from(TIMEZONES)),
        swing=draw(st.sampled_from([0.1, 0.3, 0.05, 0.0, 0.9])),
        step=draw(st.sampled_from([1, 2, 3, 5, 21])),
        weights=tuple(draw(st.lists(row, min_size=1, max_size=3))),
    )


# -------------------------------------------------------------------- options
@dataclass(frozen=True)
class Option:
    """A keyword option of tolvane.backtest, as source text.

    An option with a `shape` is a pandas object bound to a name of its own,
    so that twists can apply to it. `misread` names a value of a type the
    option does not take whose meaning a run would silently change ("False"
    read as true): such a value must be refused.
    """

    name: str
    source: str
    shape: str | None = None
    misread: str | None = None

    @property
    def variable(self) -> str:
        return "open_" if self.name == "open" else self.name

    @property
    def bound(self) -> bool:
        """Given by its name: a pandas object, or a value made from the market,
        which is made before the twists change the market."""
        return self.shape is not None or re.search(r"\b(close|dates|position)\b", self.source) is not None


def _values(name: str, sources: list[Any]) -> list[Option]:
    """Options from sources, each a text or (text, shape) or (text, shape, misread)."""
    made = []
    for source in sources:
        text, shape, misread = (source, None, None) if isinstance(source, str) else (*source, None)[:3]
        made.append(Option(name, text, shape, misread))
    return made


# fmt: off
ODD_VALUES = [
    "-0.1", "-0.0", "float('nan')", "float('inf')", "-float('inf')", "1e300", "5e-324", "2", "10", "100", "10**400",
    "True", "False", "None", "'0.1'", "'False'", "b'0.1'", "[0.1]", "(0.1,)", "np.array([0.1])", "np.array(0.1)",
    "np.float32(0.1)", "np.float16(65504)", "np.int64(1)", "np.uint64(2**64 - 1)", "2**64", "-(2**63)",
    "np.longdouble('1e4000')", "fractions.Fraction(1, 10)", "decimal.Decimal('0.1')", "decimal.Decimal('sNaN')",
    "complex(0.1, 0)", "np.complex128(0.1)", "pd.NA", "pd.NaT", "np.datetime64('2024-01-01')", "pd.Timedelta(1)",
    "close", "close.iloc[:, 0]", "{}", "'ME'", "object()",
]
_TEXT_FOR_A_SWITCH = "text for a true/false option"
ODD_SWITCHES = [
    *[(text, None, _TEXT_FOR_A_SWITCH) for text in ("'False'", "'True'", "'no'", "''", "b''", "b'False'")], "0", "1",
    "2", "None", "np.bool_(True)", "[]", "[False]", "np.array([True, False])", "pd.NA", "float('nan')",
]
_NUMBERS_AS_DATES = "numbers for a rebalance calendar of dates"
VALID: dict[str, list[Any]] = {
    "open": [("close * 0.995", FRAME)],
    "high": [("close * 1.02", FRAME)],
    "low": [("close * 0.97", FRAME)],
    "trade_price": ["'close'", "None", "'open'", ("close * 1.001", FRAME)],
    "rebalance": [
        "'ME'", "'W-FRI'", "'BME'", "'QE'", "'D'", "'h'", "'2D'", "'YE'", "list(dates[::2])", "dates[::3]",
        "[str(d) for d in dates[::2]]",
    ],
    "fee_ratio": ["0", "0.0", "0.001425", "0.01", "0.5", "1"],
    "tax_ratio": ["0", "0.003", "0.01", "1"],
    "stop_loss": [
        "0.05", "0.1", "0.5", "0", "1", ("pd.Series(0.05, index=close.columns)", TICKER_SERIES),
        ("pd.DataFrame(0.05, index=dates[::2], columns=close.columns)", FRAME),
    ],
    "trail_stop": ["0.02", "0.05", "0.1", "0", "1"],
    "trail_stop_activation": ["0.0", "0.02", "0.1"],
    "touched_exit": ["True", "False"],
    "position_limit": ["1.0", "0.5", "0.2", "0", "2.0"],
    "retain_cost_when_rebalance": ["True", "False"],
    "stop_trading_next_period": ["True", "False"],
    "split_trades_at_rebalance": ["True", "False"],
    "delisting": [
        "{close.columns[0]: dates[-1]}", "pd.Series({close.columns[0]: dates[-1]})",
        "{close.columns[-1]: str(dates[0])}", "[(close.columns[0], dates[0])]",
    ],
    "excursion_window": ["0", "1", "3", "5", "20"],
    "excursion_window_step": ["1", "2", "5"],
    "benchmark": [
        ("close.iloc[:, 0]", DATED_SERIES), ("close.iloc[:, 0].pct_change().fillna(0)", DATED_SERIES),
        ("pd.Series(100.0, index=dates)", DATED_SERIES), ("close.iloc[::2, 0]", DATED_SERIES),
    ],
}
VALID["take_profit"] = VALID["stop_loss"]
VALID |= {
    "capital": ["1.0", "10_000", "1e6"],
    "lot_size": ["1", "100", "0.5", ("pd.Series(10.0, index=close.columns)", TICKER_SERIES)],
    "fee_min": ["0", "1", "20"],
    "fee_fixed": ["0", "0.5"],
    "slippage": ["0", "0.001", ("pd.Series(0.01, index=close.columns)", TICKER_SERIES)],
    "borrow_rate": ["0", "0.05"],
    "cash_rate": ["0", "0.03"],
}
_BAR_PRICES = [
    "close.to_numpy()", "close.iloc[:, 0]", "'open'", "1.0", ("close.iloc[:-1]", FRAME),
    ("close.iloc[:, ::-1]", FRAME), ("close * -1", FRAME), ("close * np.nan", FRAME),
]
_STOPS = [
    *ODD_VALUES, ("pd.Series(0.05, index=['ZZZ'])", TICKER_SERIES),
    ("pd.Series(-0.05, index=close.columns)", TICKER_SERIES),
    ("pd.Series('0.1', index=close.columns)", TICKER_SERIES),
    ("pd.DataFrame(0.05, index=dates, columns=['ZZZ'])", FRAME), ("close / 100", FRAME),
    ("pd.DataFrame(-1.0, index=dates[:1], columns=close.columns)", FRAME), "[0.1, 0.2]", "15",
]
HOSTILE: dict[str, list[Any]] = {
    "open": _BAR_PRICES,
    "high": _BAR_PRICES,
    "low": _BAR_PRICES,
    "trade_price": [
        "'OPEN'", "'Close'", "b'open'", "''", "'high'", "['open']", "close.to_numpy()", "1.0", "close.iloc[:, 0]",
        ("close * 0", FRAME), ("close.where(close > 10)", FRAME), ("-close", FRAME), ("close.iloc[:-1]", FRAME),
    ],
    "rebalance": [
        *[repr(alias) for alias in (
            "0D", "-1D", "1ns", "1us", "1ms", "1s", "M", "A", "Y", "BM", "T", "H", "Q", "ME ", " ", "", "foo", "W-XYZ",
            "1000000D", "99999999999D", "D1", "1.5D", "C", "BH", "cbh", "2024-01-05",
        )],
        "5", "1.5", "True", "['ME']", "[]", "[None]", "[pd.NaT]", "['2024-13-45']", "['2300-01-01']",
        "[datetime.date(2024, 1, 5)]", "pd.Series(dates)", "close", "close.index", "{'a': 1}", "dates[::-1]",
        "list(dates) + list(dates)", "[pd.Timestamp.max]", "[pd.Timestamp.min]", "[datetime.datetime(3000, 1, 1)]",
        "pd.period_range('2024-01', periods=3, freq='M')", "iter(dates)", "np.array(dates)",
        "[d.tz_localize(None) if d.tz else d.tz_localize('UTC') for d in dates]",
        ("b'ME'", None, "bytes for a rebalance alias"),
        *[(text, None, _NUMBERS_AS_DATES) for text in ("[1, 2]", "[20240101]", "np.array([0, 1])", "np.arange(3)")],
    ],
    "fee_ratio": [*ODD_VALUES, ("pd.Series(0.001, index=['ZZZ'])", TICKER_SERIES)],
    "tax_ratio": ODD_VALUES,
    "capital": ODD_VALUES,
    "lot_size": [*ODD_VALUES, ("pd.Series(0.0, index=close.columns)", TICKER_SERIES)],
    "fee_min": ODD_VALUES,
    "fee_fixed": ODD_VALUES,
    "slippage": ODD_VALUES,
    "borrow_rate": ODD_VALUES,
    "cash_rate": ODD_VALUES,
    "stop_loss": _STOPS,
    "take_profit": _STOPS,
    "trail_stop": ODD_VALUES,
    "trail_stop_activation": ODD_VALUES,
    "touched_exit": ODD_SWITCHES,
    "position_limit": ODD_VALUES,
    "retain_cost_when_rebalance": ODD_SWITCHES,
    "stop_trading_next_period": ODD_SWITCHES,
    "split_trades_at_rebalance": ODD_SWITCHES,
    "delisting": [
        "[close.columns[0]]", "close.columns[0]", "{'ZZZ': dates[0]}",
        "{close.columns[0]: dates[0] - pd.Timedelta(days=30)}", "{close.columns[0]: None}",
        "{close.columns[0]: pd.NaT}", "{close.columns[0]: 'yesterday'}", "{close.columns[0]: 5}",
        "{close.columns[0]: 1.5}", "{close.columns[0]: True}",
        "{close.columns[0]: dates[-1] + pd.Timedelta(days=400)}", "{close.columns[0]: datetime.date(2024, 1, 3)}",
        "{close.columns[0]: pd.Timestamp('2024-01-03', tz='UTC')}", "{close.columns[0]: pd.Timestamp('2300-01-01')}",
        "{close.columns[0]: [dates[0]]}", "{close.columns[0]: dates}",
        "{close.columns[0]: str(dates[0]), str(close.columns[0]): str(dates[-1])}",
        "pd.Series([dates[0]] * 2, index=[close.columns[0]] * 2)", "pd.Series(dtype=object)", "{}", "close", "dates",
        "5",
    ],
    "excursion_window": [
        "-1", "10**6", "2**31 - 1", "2**31", "2**63 - 1", "2**63", "10**30", "1.5", "2.0", "'3'", "True",
        "np.int64(3)", "np.uint64(2**64 - 1)", "None", "float('nan')", "np.int8(-1)", "[3]",
    ],
    "excursion_window_step": ["0", "-1", "10**9", "2**63", "1.5", "'1'", "True", "None", "np.uint64(2**64 - 1)"],
    "benchmark": [
        "close.iloc[:, 0].tolist()", "close.iloc[:, 0].to_numpy()", "close", "close.iloc[:, :1]", "5.0", "'SPY'",
        "pd.Series(dtype=float)",
        *[(text, DATED_SERIES) for text in (
            "pd.Series(np.nan, index=dates)", "pd.Series('x', index=dates)", "pd.Series(True, index=dates)",
            "close.iloc[:, 0] * 0", "-close.iloc[:, 0]", "pd.Series(np.inf, index=dates)",
            "pd.Series(1e308, index=dates)", "pd.Series(-0.5, index=dates)", "pd.Series(-1.0, index=dates)",
            "pd.Series(-2.0, index=dates)", "close.iloc[:, 0].reset_index(drop=True)",
            "pd.Series(1.0, index=dates + pd.Timedelta(days=10000))", "close.iloc[:, 0].rename(('a', 1))",
            "close.iloc[:, 0].rename(123)", "close.iloc[:, 0].rename(b'x')",
        )],
    ],
}
# fmt: on
OPTION_NAMES = tuple(VALID)


@st.composite
def valid_options(draw: st.DrawFn) -> dict[str, Option]:
    """Options with valid values, by name."""
    names = draw(st.lists(st.sampled_from(OPTION_NAMES), max_size=5, unique=True))
    chosen = {name: draw(st.sampled_from(_values(name, VALID[name]))) for name in names}
    if draw(st.integers(0, 3)) == 0:  # the bars of touched exits
        for name in ("open", "high", "low"):
            chosen.setdefault(name, _values(name, VALID[name])[0])
    if {"lot_size", "fee_min", "fee_fixed"} & set(chosen):  # amounts of money need one to start from
        chosen.setdefault("capital", _values("capital", VALID["capital"])[1])
    return chosen


def hostile_options() -> st.SearchStrategy[Option]:
    return st.sampled_from(OPTION_NAMES).flatmap(lambda name: st.sampled_from(_values(name, HOSTILE[name])))


# ----------------------------------------------------------------- API cases
@dataclass(frozen=True)
class ApiCase:
    """One call of tolvane.backtest."""

    market: Market = field(default_factory=Market)
    options: tuple[Option, ...] = ()
    twists: tuple[Twist, ...] = ()

    @property
    def shapes(self) -> dict[str, str]:
        """The inputs twists may apply to, by name."""
        shapes = {"position": FRAME, "close": FRAME}
        shapes.update({option.variable: option.shape for option in self.options if option.shape})
        return shapes

    @property
    def misread(self) -> str | None:
        return next((option.misread for option in self.options if option.misread), None)

    def setup(self) -> str:
        lines = [IMPORTS, *self.market.lines()]
        lines += [f"{option.variable} = {option.source}" for option in self.options if option.bound]
        present = self.shapes
        lines += [twist.statement() for twist in sorted(self.twists, key=lambda t: t.kind) if twist.target in present]
        return "\n".join(lines)

    def call(self) -> str:
        given = [f"{option.name}={option.variable if option.bound else option.source}" for option in self.options]
        return f"tolvane.backtest({', '.join(['position', 'close', *given])})"

    def source(self) -> str:
        return f"{self.setup()}\nreport = {self.call()}"

    def payload(self) -> dict[str, Any]:
        return {"kind": "api", "setup": self.setup(), "call": self.call(), "misread": self.misread}

    def simpler(self) -> Iterator[ApiCase]:
        for k in range(len(self.twists)):
            yield replace(self, twists=self.twists[:k] + self.twists[k + 1 :])
        for k in range(len(self.options)):
            yield replace(self, options=self.options[:k] + self.options[k + 1 :])
        for market in self.market.simpler():
            yield replace(self, market=market)


@st.composite
def api_cases(draw: st.DrawFn) -> ApiCase:
    """A call of tolvane.backtest on a small market with valid options and up
    to three hostile options or twists (few, so that most calls go deep)."""
    market = draw(markets())
    options = draw(valid_options())
    count = draw(st.sampled_from([1, 2, 0, 1, 2, 3]))  # hypothesis draws the first most often
    hostile = draw(st.lists(st.booleans(), min_size=count, max_size=count))  # each an option (True) or a twist
    for _ in range(sum(hostile)):
        option = draw(hostile_options())
        options[option.name] = option
    case = ApiCase(market, tuple(options.values()))
    shapes = case.shapes
    targets = st.sampled_from(sorted(shapes)).flatmap(lambda name: twists(name, shapes[name], market.aware))
    count -= sum(hostile)
    return replace(
        case, twists=tuple(draw(st.lists(targets, min_size=count, max_size=count, unique_by=_one_object_twist)))
    )


def _one_object_twist(twist: Twist) -> Any:
    """Twists are unique, and an input is turned into another object once."""
    return (twist.target, OBJECT) if twist.kind == OBJECT else twist


# -------------------------------------------------------------- command cases
@dataclass(frozen=True)
class File:
    """A table file the command reads: a frame written by pandas (`frame`, with
    twists and writer arguments), or a file made by one statement (`made`) in
    the frame's place."""

    name: str
    frame: str = "close"
    twists: tuple[str, ...] = ()  # templates, "$" standing for the table
    writer: tuple[tuple[str, str], ...] = ()  # keyword arguments of to_csv / to_parquet, as source
    made: str | None = None

    def lines(self) -> list[str]:
        if self.made is not None:
            return [self.made.replace("NAME", repr(self.name))]
        method = "to_parquet" if self.name.lower().endswith((".parquet", ".pq")) else "to_csv"
        arguments = "".join(f", {key}={value}" for key, value in self.writer)
        copied = ".copy()" if self.frame.isidentifier() else ""
        return [
            f"table = {self.frame}{copied}",
            *[twist.replace("$", "table") for twist in self.twists],
            f"table.{method}({self.name!r}{arguments})",
        ]

    def simpler(self) -> Iterator[File]:
        plain = self.name.split(".")[0].strip(" -") + ".csv"
        if self.name != plain:
            yield replace(self, name=plain, writer=tuple(item for item in self.writer if item[0] != "compression"))
        if self.made is not None:
            yield replace(self, made=None)  # its frame, written by pandas
            return
        for k in range(len(self.twists)):
            yield replace(self, twists=self.twists[:k] + self.twists[k + 1 :])
        for k in range(len(self.writer)):
            yield replace(self, writer=self.writer[:k] + self.writer[k + 1 :])


@dataclass(frozen=True)
class Argument:
    """An argument of the command: a flag, its value, the file it names."""

    flag: str
    value: str | None = None
    file: File | None = None

    def words(self) -> list[str]:
        return [self.flag] if self.value is None else [self.flag, self.value]


@dataclass(frozen=True)
class CommandCase:
    """One run of ``python -m tolvane backtest``: its files and arguments."""

    market: Market = field(default_factory=Market)
    close: File = field(default_factory=lambda: File("close.csv"))
    position: File = field(default_factory=lambda: File("position.csv", "position"))
    arguments: tuple[Argument, ...] = ()

    def files(self) -> list[File]:
        named = [argument.file for argument in self.arguments if argument.file is not None]
        return [self.close, self.position, *named]

    def setup(self) -> str:
        needs_arrow = any("pa." in line or "pq." in line for file in self.files() for line in file.lines())
        lines = [IMPORTS, *([PARQUET_IMPORTS] if needs_arrow else []), *self.market.lines()]
        for file in self.files():
            lines += file.lines()
        return "\n".join(lines)

    def argv(self) -> list[str]:
        words = ["backtest", "--close", self.close.name, "--position", self.position.name]
        for argument in self.arguments:
            words += argument.words()
        return words

    def source(self) -> str:
        return f"{self.setup()}\n# then, in the same folder:\n# python3 -m tolvane {shlex.join(self.argv())}"

    def payload(self) -> dict[str, Any]:
        return {"kind": "command", "setup": self.setup(), "argv": self.argv()}

    def simpler(self) -> Iterator[CommandCase]:
        for k in range(len(self.arguments)):
            yield replace(self, arguments=self.arguments[:k] + self.arguments[k + 1 :])
        for name in ("close", "position"):
            for file in getattr(self, name).simpler():
                yield replace(self, **{name: file})
        for k, argument in enumerate(self.arguments):
            if argument.file is not None:
                for file in argument.file.simpler():
                    changed = replace(argument, value=file.name, file=file)
                    yield replace(self, arguments=self.arguments[:k] + (changed,) + self.arguments[k + 1 :])
        for market in self.market.simpler():
            yield replace(self, market=market)


CSV_NAMES = ["{}.csv"] * 6 + ["{}.csv.gz", "{}.csv.bz2", "{}.csv.xz", "{}.csv.zip", "{}.txt", "{}.CSV"]
PARQUET_NAMES = ["{}.parquet", "{}.pq"]
ODD_NAMES = ["{}", "{}.xlsx", "{} .csv", "-{}.csv", "{}.csv.csv", "{}.CSV.GZ"]
# fmt: off
CSV_WRITERS = [
    ("sep", "';'"), ("sep", "'\\t'"), ("sep", "'|'"),
    *[("na_rep", repr(text)) for text in ("NA", "n/a", "null", "-", "None", "#N/A", "nan", "inf", "")],
    ("lineterminator", "'\\r\\n'"), ("lineterminator", "'\\r'"),
    *[("date_format", repr(text)) for text in ("%d/%m/%Y", "%Y%m%d", "%Y-%m-%dT%H:%M:%S%z", "%m/%d/%Y %I:%M %p")],
    ("decimal", "','"), ("header", "False"), ("index", "False"),
    *[("index_label", repr(text)) for text in ("Date", " date ", "timestamp", "", "ticker", "AAA")],
    ("float_format", "'%.2e'"), ("float_format", "'%.0f'"), ("float_format", "'%.3f%%'"),
    ("encoding", "'utf-8-sig'"), ("encoding", "'utf-16'"), ("encoding", "'latin-1'"), ("quoting", "1"),
    ("quoting", "2"), ("compression", "'gzip'"),
]
# fmt: on
PARQUET_WRITERS = [("index", "False"), ("compression", "None")]
# Files made by hand: the text and bytes no writer makes.
MADE_CSV = [
    "open(NAME, 'w').write('')",
    "open(NAME, 'w').write('date,AAA\\n')",
    "open(NAME, 'wb').write(bytes(range(256)))",
    "open(NAME, 'wb').write(b'\\xff\\xfe\\x00d\\x00a')",
    "open(NAME, 'w').write('date;AAA\\n2024-01-01;1,5\\n2024-01-02;1,6\\n')",
    "open(NAME, 'w').write('date,AAA\\n2024-01-01,10\\n2024-01-02\\n')",
    "open(NAME, 'w').write('date,AAA\\n2024-01-01,10,11\\n2024-01-02,12\\n')",
    "open(NAME, 'w').write('# prices\\ndate,AAA\\n2024-01-01,10\\n')",
    "open(NAME, 'w').write('date,AAA\\n2024-01-01,5%\\n2024-01-02,6%\\n')",
    "open(NAME, 'w').write('date,AAA,AAA\\n2024-01-01,1,2\\n')",
    "open(NAME, 'w').write('date,,\\n2024-01-01,1,2\\n')",
    "open(NAME, 'w').write('\\n\\ndate,AAA\\n\\n2024-01-01,1\\n\\n')",
    "open(NAME, 'w').write('date,AAA\\n2024-01-01,1e999\\n2024-01-02,-1e999\\n')",
    "open(NAME, 'w').write('date,AAA\\n2024-01-01 25:00,1\\n')",
    "open(NAME, 'w').write('date,AAA\\n2024-01-01,\"1,000\"\\n')",
    "open(NAME, 'w').write('date,AAA\\n01/02/2024,1\\n01/03/2024,2\\n')",
    "open(NAME, 'w').write('date,AAA\\n2024-01-01T00:00+08:00,1\\n2024-01-02T00:00+09:00,2\\n')",
    "open(NAME, 'w').write('date,AAA\\n2024-01-01T00:00+08:00,1\\n2024-01-02,2\\n')",
    "open(NAME, 'w').write('date,AAA\\n20240101,1\\n20240102,2\\n')",
    "open(NAME, 'w').write('date,AAA\\n1704067200,1\\n1704153600,2\\n')",
    "open(NAME, 'w').write('date,AAA\\nNaT,1\\n')",
    "open(NAME, 'w').write('date,AAA\\n2024-01-01,TRUE\\n2024-01-02,FALSE\\n')",
    "open(NAME, 'w').write('date,AAA\\n2024-01-01,1\\x00\\n')",
    "open(NAME, 'w').write('date\\n2024-01-01\\n')",
    "open(NAME, 'w').write('date,AAA\\n2300-01-01,1\\n2300-01-02,2\\n')",
    "open(NAME, 'w').write('date,AAA\\n1500-01-01,1\\n')",
    "open(NAME, 'w').write('date,AAA\\n2024-01-01,0x10\\n')",
    "open(NAME, 'w', errors='surrogatepass').write('date,\\ud800\\n2024-01-01,1\\n')",
    "open(NAME, 'w').write('date,AAA\\n' + '2024-01-01,' + '9' * 400 + '\\n')",
    "open(NAME, 'w').write('date,AAA\\n2024-01-01,1\\n2024-01-01,2\\n')",
    "open(NAME, 'w').write('date,AAA\\n2024-01-02,1\\n2024-01-01,2\\n')",
    "open(NAME, 'w').write('ticker,date,value\\nAAA,2024-01-01,1\\nBBB,2024-01-01,2\\n')",
    "open(NAME, 'wb').write(gzip.compress(b'date,AAA\\n2024-01-01,1\\n'))",
    "zipfile.ZipFile(NAME, 'w').close()",
    "os.mkdir(NAME)",
]
MADE_PARQUET = [
    "open(NAME, 'wb').write(b'PAR1garbagePAR1')",
    "open(NAME, 'w').write('date,AAA\\n2024-01-01,1\\n')",
    "pq.write_table(pa.table({'date': pa.array([datetime.date(2024, 1, 1), datetime.date(2024, 1, 2)]), "
    "'AAA': [10.0, 11.0]}), NAME)",
    "pq.write_table(pa.table({'date': ['2024-01-01', '2024-01-02'], 'AAA': pa.array([10, 11], pa.int8())}), NAME)",
    "pq.write_table(pa.table([pa.array(['2024-01-01']), pa.array([1.0]), pa.array([2.0])], "
    "names=['date', 'AAA', 'AAA']), NAME)",
    "pq.write_table(pa.table({'date': pa.array([0, 1], pa.timestamp('ns', tz='Asia/Tokyo')), "
    "'AAA': [1.0, 2.0]}), NAME)",
    "pq.write_table(pa.table({'date': ['2024-01-01'], 'AAA': pa.array([[1.0]])}), NAME)",
    "pq.write_table(pa.table({'date': ['2024-01-01'], 'AAA': pa.array(['a']).dictionary_encode()}), NAME)",
    "pq.write_table(pa.table({'date': pa.array([], pa.string()), 'AAA': pa.array([], pa.float64())}), NAME)",
    "pq.write_table(pa.table({'AAA': [1.0, 2.0]}), NAME)",
    "pq.write_table(pa.table({'date': ['2024-01-01', '2024-01-02'], 'AAA': pa.array([None, None], pa.null())}), NAME)",
    "pq.write_table(pa.table({'date': ['2024-01-01'], 'AAA': pa.array([decimal.Decimal('1.5')])}), NAME)",
    "pq.write_table(pa.table({'date': pa.array([2**62], pa.timestamp('ms')), 'AAA': [1.0]}), NAME)",
    "pq.write_table(pa.table({'date': pa.array([1, 2], pa.uint64()), 'AAA': [1.0, 2.0]}), NAME)",
    "pq.write_table(pa.table({'date': ['2024-01-01'], 'AAA': pa.array([1.5], pa.float16())}), NAME)",
    "pq.write_table(pa.table({'date': ['2024-01-01'], 'AAA': pa.array([{'x': 1.0}])}), NAME)",
]


@st.composite
def files(draw: st.DrawFn, stem: str, frame: str, market: Market, parquet: bool) -> File:
    """A table file of `frame`: a good one two times in three."""
    kinds = [CSV_NAMES] * 3 + [PARQUET_NAMES] * (2 if parquet else 0)
    if draw(st.integers(0, 2)):
        name = draw(st.sampled_from(draw(st.sampled_from(kinds)))).format(stem)
        return File(name, frame, writer=(("compression", "'gzip'"),) if name.endswith(".gz") else ())
    name = draw(st.sampled_from(draw(st.sampled_from([*kinds, ODD_NAMES])))).format(stem)
    is_parquet = name.lower().endswith((".parquet", ".pq"))
    if draw(st.integers(0, 3)) == 0:
        return File(name, frame, made=draw(st.sampled_from(MADE_PARQUET if is_parquet else MADE_CSV)))
    templates = twist_templates(FRAME, market.aware)
    twist = st.sampled_from([VALUE, VALUE, DTYPE, INDEX, COLUMNS]).flatmap(
        lambda kind: st.sampled_from(templates[kind])
    )
    writer = st.sampled_from(PARQUET_WRITERS if is_parquet else CSV_WRITERS)
    return File(
        name,
        frame,
        tuple(draw(st.lists(twist, max_size=2, unique=True))),
        tuple(dict(draw(st.lists(writer, max_size=2))).items()),
    )


GOOD_NUMBER_TEXTS = ["0", "0.001", "0.1", "5%", "1", "0.02"]
# fmt: off
ODD_NUMBER_TEXTS = [
    "-0.1", "nan", "inf", "-inf", "1e999", "1e-400", "", " ", "abc", "0x10", "1_000", "\uff15", "½", "10%%", "%",
    "1e300", "-5%", "NaN%", " 0.1 ", "+0.1", "10", "-1",
]
GOOD_WHOLE_TEXTS = ["0", "1", "3", "5"]
ODD_WHOLE_TEXTS = [
    "-1", "1.5", "99999999999", "2147483648", "9223372036854775808", "", "x", "1e3", " 3", "٣", "0x10",
]
# fmt: on
GOOD_ALIAS_TEXTS = ["ME", "W-FRI", "BME", "QE", "D"]
ODD_ALIAS_TEXTS = ["0D", "-1D", "1ns", "M", "A", "", " ", "foo", "2024-01-05", "ME "]


def texts(good: list[str], odd: list[str]) -> st.SearchStrategy[str]:
    """A good text two times in three."""
    return st.one_of(st.sampled_from(good), st.sampled_from(good), st.sampled_from(odd))


SWITCHES = ["--touched-exit", "--retain-cost-when-rebalance", "--no-stop-trading-next-period", "--no-split-trades"]
GOOD_OUTPUTS = [("--trades", "out.csv"), ("--json", "run.json"), ("--rows", "3"), ("--risk-free", "0.02")]
# fmt: off
ODD_OUTPUTS = [
    ("--trades", "out.parquet"), ("--trades", "out.xlsx"), ("--trades", "nowhere/out.csv"), ("--trades", "."),
    ("--json", "nowhere/run.json"), ("--json", "."), ("--report", "nowhere/report.html"), ("--rows", "-1"),
    ("--rows", "0"), ("--rows", "x"), ("--risk-free", "nan"), ("--risk-free", "x"), ("--unknown", "x"),
    ("--close", "again.csv"),
]
# fmt: on
TABLE_FRAMES = {
    "--open": "close * 0.995",
    "--high": "close * 1.02",
    "--low": "close * 0.97",
    "--trade-price": "close * 1.001",
    "--stop-loss": "pd.DataFrame(0.05, index=dates[::2], columns=close.columns)",
    "--take-profit": "pd.DataFrame(0.1, index=dates[::2], columns=close.columns)",
    "--delisting": "pd.DataFrame({'ticker': close.columns[:1]}, index=dates[-1:].rename('date'))",
    "--benchmark": "close.iloc[:, :1]",
}


@st.composite
def arguments(draw: st.DrawFn, market: Market, parquet: bool) -> Argument:
    kind = draw(st.sampled_from(["number", "whole", "alias", "switch", "table", "table", "output", "level"]))
    if kind == "number":
        flag = draw(st.sampled_from(["--fee-ratio", "--tax-ratio", "--trail-stop", "--trail-stop-activation"]))
        return Argument(flag, draw(texts(GOOD_NUMBER_TEXTS, ODD_NUMBER_TEXTS)))
    if kind == "whole":
        flag = draw(st.sampled_from(["--excursion-window", "--excursion-window-step"]))
        return Argument(flag, draw(texts(GOOD_WHOLE_TEXTS, ODD_WHOLE_TEXTS)))
    if kind == "alias":
        return Argument("--rebalance", draw(texts(GOOD_ALIAS_TEXTS, ODD_ALIAS_TEXTS)))
    if kind == "switch":
        return Argument(draw(st.sampled_from(SWITCHES)))
    if kind == "output":
        return Argument(*draw(st.sampled_from(draw(st.sampled_from([GOOD_OUTPUTS, GOOD_OUTPUTS, ODD_OUTPUTS])))))
    if kind == "level":
        flag = draw(st.sampled_from(["--stop-loss", "--take-profit", "--position-limit"]))
        return Argument(flag, draw(texts(GOOD_NUMBER_TEXTS, [*ODD_NUMBER_TEXTS, "missing.csv", "levels.xlsx"])))
    flag = draw(st.sampled_from(sorted(TABLE_FRAMES)))
    if draw(st.integers(0, 9)) == 0:
        return Argument(flag, draw(st.sampled_from(["missing.csv", "open", "close", "OPEN", ""])))
    file = draw(files(flag.strip("-"), TABLE_FRAMES[flag], market, parquet))
    return Argument(flag, file.name, file)


@st.composite
def command_cases(draw: st.DrawFn, parquet: bool = False) -> CommandCase:
    """A run of the command on files of a small market, with hostile twists;
    Parquet files too when `parquet`."""
    market = draw(markets(written=True))
    chosen = draw(st.lists(arguments(market, parquet), max_size=4))
    if draw(st.integers(0, 4)) == 0:  # the bars of touched exits, all given
        chosen += [Argument("--touched-exit")] + [
            Argument(flag, f"{flag.strip('-')}.csv", File(f"{flag.strip('-')}.csv", TABLE_FRAMES[flag]))
            for flag in ("--open", "--high", "--low")
        ]
    return CommandCase(
        market,
        draw(files("close", "close", market, parquet)),
        draw(files("position", "position", market, parquet)),
        tuple(chosen),
    )


# ----------------------------------------------------------------- generation
def generate(strategy: st.SearchStrategy[Any], count: int, seed: int | None = None) -> list[Any]:
    """`count` examples of `strategy`, drawn by hypothesis (derandomized under
    the CI profile; from `seed` when given)."""
    drawn: list[Any] = []

    @settings(
        max_examples=count,
        phases=[Phase.generate],
        database=None,
        deadline=None,
        suppress_health_check=list(HealthCheck),
    )
    @given(strategy)
    def collect(example: Any) -> None:
        drawn.append(example)

    (fixed_seed(seed)(collect) if seed is not None else collect)()
    return drawn
