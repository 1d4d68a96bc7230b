"""Hostile inputs for the engine, one case per function.

Each case runs in a fresh interpreter (tests/test_hostile_inputs.py starts
`python -c "import hostile; hostile.main(NAME)"`): it makes a bad call and
checks its outcome itself (an exception with its message, or a defined
result), then prints the fingerprint of a valid reference run. The test
compares that fingerprint with one taken in a fresh process, so state left
behind by the bad call would show.
"""

from __future__ import annotations

import contextlib
import re
import sys

import numpy as np
from markets import ARRAYS, DAY, base_arguments

from tolvane._stops import StopTable
from tolvane.core import ravelin, vexal

FLOAT_MATRICES = ["price_values", "close_values", "high_values", "low_values", "open_values", "pos_values"]
INT_VECTORS = ["price_index", "pos_index", "resample"]
LABELS = ["price_columns", "pos_columns"]
BUFFER_INDEX = "Out of bounds on buffer access (axis {})"

CASES: dict[str, callable] = {}


def call(**changes):
    arguments = base_arguments()
    arguments.update(changes)
    return ravelin.backtest_(*[arguments.pop(name) for name in ARRAYS], **arguments)


def raises(error, message, function=call, **changes):
    try:
        function(**changes)
    except error as raised:
        text = str(raised)
        ok = message.fullmatch(text) if isinstance(message, re.Pattern) else text == message
        assert ok, f"{type(raised).__name__}: {text!r} does not match {message!r}"
    else:
        raise AssertionError(f"expected {error.__name__}, got no error")


def same_as_base(**changes):
    expected = call()
    np.testing.assert_array_equal(call(**changes), expected)


@contextlib.contextmanager
def replaced(name, value):
    """ravelin.<name> replaced by `value` for the duration of the block."""
    original = getattr(ravelin, name)
    setattr(ravelin, name, value)
    try:
        yield
    finally:
        setattr(ravelin, name, original)


def case(name):
    def register(function):
        CASES[name] = function
        return function

    return register


def fingerprint():
    """Everything a valid run leaves behind, as text."""
    arguments = base_arguments()
    creturn = call(stop_loss=0.05, trail_stop=0.1, vexal_window=4, vexal_window_step=2)
    rows, operations = ravelin.get_trade_stocks(arguments["pos_columns"], arguments["price_index"], False)
    return repr(
        (
            creturn.tobytes().hex(),
            rows,
            operations,
            vexal.trades,
            vexal.trade_positions,
            [p.tobytes().hex() for p in vexal.vexal],
            ravelin.RESAMPLE,
            ravelin.RETAIN_COST_WHEN_REBALANCE,
        )
    )


def main(name):
    CASES[name]()
    print(fingerprint())


# --- every array parameter: wrong kinds ------------------------------------


def incorrect_type(name, given):
    return f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {given})"


def dtype_mismatch(expected, found):
    return f"Buffer dtype mismatch, expected '{expected}' but got '{found}'"


for _name in ARRAYS:
    CASES[f"{_name}-none"] = lambda n=_name: raises(TypeError, incorrect_type(n, "NoneType"), **{n: None})
    CASES[f"{_name}-list"] = lambda n=_name: raises(
        TypeError, incorrect_type(n, "list"), **{n: base_arguments()[n].tolist()}
    )
    CASES[f"{_name}-scalar"] = lambda n=_name: raises(TypeError, incorrect_type(n, "float"), **{n: 1.0})

for _name in FLOAT_MATRICES:
    for _dtype, _found in [
        (np.float32, "float"),
        (np.int32, "int"),
        (object, "Python object"),
        (">f8", "big-endian double"),
        (np.complex128, "complex double"),
    ]:
        CASES[f"{_name}-dtype-{np.dtype(_dtype).str}"] = lambda n=_name, d=_dtype, f=_found: raises(
            ValueError, dtype_mismatch("float64_t", f), **{n: base_arguments()[n].astype(d)}
        )
    CASES[f"{_name}-1d"] = lambda n=_name: raises(
        ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)", **{n: base_arguments()[n][0]}
    )
    CASES[f"{_name}-3d"] = lambda n=_name: raises(
        ValueError, "Buffer has wrong number of dimensions (expected 2, got 3)", **{n: base_arguments()[n][None]}
    )

for _name in INT_VECTORS:
    for _dtype, _found in [
        (np.float64, "double"),
        (np.int32, "int"),
        (np.uint64, "unsigned long"),
        (object, "Python object"),
        (">i8", "big-endian long long"),
        ("datetime64[ns]", "datetime64[ns]"),
    ]:
        CASES[f"{_name}-dtype-{np.dtype(_dtype).str}"] = lambda n=_name, d=_dtype, f=_found: raises(
            ValueError, dtype_mismatch("int64_t", f), **{n: base_arguments()[n].astype(d)}
        )
    CASES[f"{_name}-2d"] = lambda n=_name: raises(
        ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)", **{n: base_arguments()[n][None]}
    )

for _name in LABELS:
    CASES[f"{_name}-dtype-str"] = lambda n=_name: raises(
        ValueError, dtype_mismatch("unicode object", "unicode string"), **{n: base_arguments()[n].astype(str)}
    )
    CASES[f"{_name}-dtype-float"] = lambda n=_name: raises(
        ValueError, dtype_mismatch("unicode object", "double"), **{n: np.zeros(3)}
    )
    CASES[f"{_name}-2d"] = lambda n=_name: raises(
        ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)", **{n: base_arguments()[n][None]}
    )


# --- layouts that must give the same result -------------------------------


@case("layouts-strided-reversed-readonly-fortran")
def _():
    base = base_arguments()

    def odd(array):
        wide = np.empty((array.shape[0], array.shape[1] * 2)) if array.ndim == 2 else None
        if wide is None:
            out = np.repeat(array, 2)[::2]
        else:
            wide[:, ::2] = array
            out = wide[:, ::2]
        out = np.asfortranarray(out) if out.ndim == 2 and out is not wide else out
        out.flags.writeable = False
        return out

    reversed_rows = np.ascontiguousarray(base["pos_values"][::-1])[::-1]
    same_as_base(
        price_values=odd(base["price_values"]),
        close_values=np.asfortranarray(base["close_values"]),
        pos_values=reversed_rows,
        price_index=odd(base["price_index"]),
        pos_columns=odd(base["pos_columns"]),
    )


@case("unused-intrabar-matrices-may-be-empty")
def _():
    empty = np.zeros((0, 0))
    same_as_base(high_values=empty, low_values=empty, open_values=empty)


# --- zero-size arrays --------------------------------------------------------


@case("price_values-no-bars")
def _():
    raises(IndexError, BUFFER_INDEX.format(0), price_values=np.zeros((0, 3)))


@case("price_values-no-columns")
def _():
    raises(IndexError, BUFFER_INDEX.format(1), price_values=np.zeros((8, 0)))


@case("close_values-no-bars")
def _():
    raises(IndexError, BUFFER_INDEX.format(0), close_values=np.zeros((0, 3)))


@case("pos_values-no-rows")
def _():
    raises(IndexError, BUFFER_INDEX.format(0), pos_values=np.zeros((0, 3)))


@case("pos_values-no-columns")
def _():
    raises(ValueError, "Position values do not match position columns", pos_values=np.zeros((2, 0)))


@case("price_index-empty")
def _():
    raises(IndexError, BUFFER_INDEX.format(0), price_index=np.zeros(0, np.int64))


@case("price_index-and-resample-empty")
def _():
    result = call(price_index=np.zeros(0, np.int64), resample=np.zeros(0, np.int64))
    assert result.shape == (0,) and ravelin.get_stock_operations()["weight_time"] == -1


@case("pos_index-empty")
def _():
    raises(IndexError, BUFFER_INDEX.format(0), pos_index=np.zeros(0, np.int64))


@case("price_columns-empty")
def _():
    raises(ValueError, "Position column 'S0' has no matching price column", price_columns=np.zeros(0, object))


@case("pos_columns-empty")
def _():
    raises(ValueError, "Position values do not match position columns", pos_columns=np.zeros(0, object))


@case("resample-empty")
def _():
    result = call(resample=np.zeros(0, np.int64))
    assert (result == 1.0).all() and vexal.trades == []


# --- shapes that disagree ----------------------------------------------------


@case("close-shorter-than-prices")
def _():
    raises(IndexError, BUFFER_INDEX.format(0), close_values=base_arguments()["close_values"][:5])


@case("close-narrower-than-prices")
def _():
    raises(IndexError, BUFFER_INDEX.format(1), close_values=base_arguments()["close_values"][:, :1])


@case("intrabar-narrower-with-touched-exits")
def _():
    for name in ["high_values", "low_values", "open_values"]:
        raises(IndexError, BUFFER_INDEX.format(1), touched_exit=True, **{name: base_arguments()[name][:, :1]})


@case("intrabar-shorter-with-touched-exits")
def _():
    raises(IndexError, BUFFER_INDEX.format(0), touched_exit=True, low_values=base_arguments()["low_values"][:3])


@case("prices-shorter-than-price_index")
def _():
    raises(IndexError, BUFFER_INDEX.format(0), price_values=base_arguments()["price_values"][:6])


@case("price_columns-longer-than-prices")
def _():
    base = base_arguments()
    names = np.array(["X", "S0", "S1", "S2"], dtype=object)  # S2 maps to a missing column 3
    raises(IndexError, BUFFER_INDEX.format(1), price_columns=names, pos_columns=base["pos_columns"])


# --- dates --------------------------------------------------------------------


@case("price_index-unsorted")
def _():
    index = base_arguments()["price_index"].copy()
    index[[2, 3]] = index[[3, 2]]
    raises(
        ValueError, "price_index must be in ascending order, but element 3 is earlier than element 2", price_index=index
    )


@case("pos_index-unsorted")
def _():
    raises(
        ValueError,
        "pos_index must be in ascending order, but element 1 is earlier than element 0",
        pos_index=np.array([4, 0]) * DAY,
    )


@case("resample-unsorted-is-defined")
def _():
    # the calendar never moves back: an earlier date marks the current bar
    call(resample=np.array([5, 1, 6]) * DAY)


# --- delisting bars ------------------------------------------------------------


@case("delisting_bars-shorter-than-position-columns")
def _():
    raises(IndexError, BUFFER_INDEX.format(0), delisting_bars=np.array([3], dtype=np.int64))


@case("delisting_bars-float")
def _():
    raises(ValueError, dtype_mismatch("int64_t", "double"), delisting_bars=np.array([3.0, -1, -1]))


@case("delisting_bars-2d")
def _():
    raises(
        ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)", delisting_bars=np.array([[3, -1, -1]])
    )


@case("delisting_bars-list")
def _():
    raises(TypeError, "a bytes-like object is required, not 'list'", delisting_bars=[3, -1, -1])


# --- stop tables ------------------------------------------------------------------

STOP_MISMATCH = "Stop thresholds do not match the price bars and position columns"


def table(values=((0.1, 0.1, 0.1),), rows=(0,) * 8):
    return StopTable(np.array(values, dtype=np.float64), np.array(rows))


@case("stop-rows-out-of-range")
def _():
    for rows in ([-1] + [0] * 7, [0] * 7 + [1]):
        bad = table()
        bad.rows = np.array(rows, dtype=np.intp)
        raises(ValueError, STOP_MISMATCH, stop_loss=bad)


@case("stop-wrong-lengths")
def _():
    raises(ValueError, STOP_MISMATCH, take_profit=table(rows=(0,) * 7))
    raises(ValueError, STOP_MISMATCH, take_profit=table(values=((0.1, 0.1),)))
    raises(
        ValueError, "per-column stop thresholds have 2 entries but there are 3 position columns", stop_loss=[0.1, 0.2]
    )


@case("stop-wrong-dtypes")
def _():
    bad = table()
    bad.rows = np.zeros(8)
    raises(ValueError, dtype_mismatch("Py_ssize_t", "double"), stop_loss=bad)
    bad = table()
    bad.values = np.zeros((1, 3), dtype=np.int64)
    raises(ValueError, dtype_mismatch("float64_t", "long"), stop_loss=bad)


@case("stop-values-not-2d")
def _():
    bad = table()
    bad.values = np.zeros(3)
    raises(IndexError, "tuple index out of range", stop_loss=bad)


@case("stop_table-returns-garbage")
def _():
    with replaced("stop_table", lambda threshold, price_index, pos_columns: None):
        raises(AttributeError, "'NoneType' object has no attribute 'rows'")


@case("stop_table-raises")
def _():
    def failing(threshold, price_index, pos_columns):
        raise KeyError("no table")

    with replaced("stop_table", failing):
        raises(KeyError, "'no table'")


@case("stop-setting-of-wrong-type")
def _():
    raises(TypeError, re.compile("stop threshold must be .*, got str"), stop_loss="0.1")


# --- labels --------------------------------------------------------------------------


@case("labels-without-encode")
def _():
    raises(AttributeError, "'int' object has no attribute 'encode'", price_columns=np.array([1, 2, 3], dtype=object))


@case("labels-encoding-to-text")
def _():
    class Label(str):
        def encode(self, encoding):
            return str(self)

    raises(TypeError, "expected bytes, str found", pos_columns=np.array([Label("S0"), "S1", "S2"], dtype=object))


@case("labels-whose-encode-raises")
def _():
    raises(
        UnicodeEncodeError,
        re.compile(".*surrogates not allowed"),
        pos_columns=np.array(["\udc80", "S1", "S2"], dtype=object),
    )


# --- prices -----------------------------------------------------------------------------


def invalid_price(text, bar=3, stock="S1"):
    return (
        f"Invalid trading price for {stock} at price row {bar}: {text}. "
        "Expected a positive finite price; check the trading-price dataset."
    )


@case("prices-bad-values-of-a-held-stock")
def _():
    for value, text in [(0.0, "0.0"), (-2.5, "-2.5"), (np.inf, "inf"), (-np.inf, "-inf")]:
        prices = base_arguments()["price_values"].copy()
        prices[3, 1] = value
        raises(ValueError, invalid_price(text), price_values=prices)


@case("prices-bad-values-of-a-stock-never-held")
def _():
    prices = base_arguments()["price_values"].copy()
    prices[:, 2] = -1.0
    weights = base_arguments()["pos_values"].copy()
    weights[:, 2] = 0
    call(price_values=prices, pos_values=weights)


@case("prices-nan-everywhere-is-flat")
def _():
    nan = np.full((8, 3), np.nan)
    # without costs, positions never move from their book value
    result = call(price_values=nan, close_values=nan, fee_ratio=0.0, tax_ratio=0.0)
    assert (result == 1.0).all() and len(vexal.trades) > 0


# --- weights -------------------------------------------------------------------------------


@case("weights-nan")
def _():
    weights = base_arguments()["pos_values"].copy()
    weights[0, 1] = np.nan
    result = call(pos_values=weights)
    assert (result[:1] == 1.0).all() and np.isnan(result[1:]).all()
    assert ravelin.get_stock_operations()["actions"] == {}


@case("weights-huge")
def _():
    weights = base_arguments()["pos_values"] * 1e300
    np.testing.assert_allclose(call(pos_values=weights), call(), rtol=1e-12)


@case("weights-infinite")
def _():
    weights = base_arguments()["pos_values"].copy()
    weights[0, 0] = np.inf
    assert np.isnan(call(pos_values=weights)[-1])


# --- options --------------------------------------------------------------------------------


@case("vexal_window-negative")
def _():
    raises(ValueError, "negative dimensions are not allowed", vexal_window=-5)
    raises(IndexError, BUFFER_INDEX.format(0), vexal_window=-1)


@case("vexal_window-enormous")
def _():
    raises(MemoryError, re.compile(".*"), vexal_window=2**31 - 1)
    raises(OverflowError, "value too large to convert to int", vexal_window=2**31)


@case("vexal_window_step-zero")
def _():
    raises(ZeroDivisionError, "integer division or modulo by zero", vexal_window=5, vexal_window_step=0)


@case("vexal_window_step-negative")
def _():
    call(vexal_window=0, vexal_window_step=-1)
    assert all(profile.shape == (18,) for profile in vexal.vexal)
    raises(ValueError, "negative dimensions are not allowed", vexal_window=5, vexal_window_step=-1)


@case("position_limit-zero-is-flat")
def _():
    assert (call(position_limit=0.0) == 1.0).all() and vexal.trades == []


@case("position_limit-negative-or-nan")
def _():
    raises(ValueError, "position_limit must be a number >= 0, got -0.5", position_limit=-0.5)
    raises(ValueError, "position_limit must be a number >= 0, got nan", position_limit=float("nan"))


@case("options-of-wrong-types")
def _():
    raises(TypeError, re.compile("must be real number, not str|.*str.*"), fee_ratio="0.1")
    raises(TypeError, "an integer is required", vexal_window="3")
    raises(ValueError, "cannot convert float NaN to integer", vexal_window=float("nan"))


@case("truth-value-that-raises")
def _():
    class Undecided:
        def __bool__(self):
            raise RuntimeError("no truth value")

    raises(RuntimeError, "no truth value", touched_exit=Undecided())
    raises(RuntimeError, "no truth value", stop_trading_next_period=Undecided())


# --- callbacks ---------------------------------------------------------------------------------


@case("normalize_weight-raises")
def _():
    def failing(weights, position_limit):
        raise ArithmeticError("bad weights")

    with replaced("normalize_weight", failing):
        raises(ArithmeticError, "bad weights")


@case("callback-starts-a-nested-run")
def _():
    real = ravelin.stop_table

    def nested(threshold, price_index, pos_columns):
        call()
        return real(threshold, price_index, pos_columns)

    with replaced("stop_table", nested):
        raises(RuntimeError, "backtest_ is already running: a callback cannot start another run")


@case("callback-reallocates-an-input")
def _():
    arguments = base_arguments()
    prices = arguments["price_values"].copy()
    real = ravelin.stop_table

    def resizing(threshold, price_index, pos_columns):
        prices.resize((2000, 3), refcheck=False)
        return real(threshold, price_index, pos_columns)

    with replaced("stop_table", resizing):
        raises(
            RuntimeError,
            re.compile("an input array was reallocated while backtest_ was using it.*"),
            price_values=prices,
        )


@case("flag-replaced-by-a-reallocating-object")
def _():
    arguments = base_arguments()
    closes = arguments["close_values"].copy()
    real = ravelin.stop_table

    class Resizing:
        def __bool__(self):
            closes.resize((4000, 3), refcheck=False)
            return True

    def replacing(threshold, price_index, pos_columns):
        ravelin.RESAMPLE = Resizing()
        return real(threshold, price_index, pos_columns)

    with replaced("stop_table", replacing):
        raises(RuntimeError, re.compile("an input array was reallocated.*"), close_values=closes)


# --- get_trade_stocks ------------------------------------------------------------------------


def trade_stocks(**changes):
    arguments = dict(
        pos_columns=base_arguments()["pos_columns"], price_index=base_arguments()["price_index"], touched_exit=False
    )
    arguments.update(changes)
    return ravelin.get_trade_stocks(**arguments)


@case("get_trade_stocks-bad-arguments")
def _():
    call()
    raises(TypeError, "'NoneType' object is not subscriptable", trade_stocks, pos_columns=None)
    raises(TypeError, incorrect_type("pos_columns", "list"), trade_stocks, pos_columns=["S0"])
    raises(ValueError, dtype_mismatch("int64_t", "double"), trade_stocks, price_index=np.zeros(8))
    raises(
        ValueError,
        "Buffer has wrong number of dimensions (expected 1, got 2)",
        trade_stocks,
        pos_columns=base_arguments()["pos_columns"][None],
    )
    raises(
        IndexError,
        re.compile("index \\d+ is out of bounds for axis 0 with size 2"),
        trade_stocks,
        price_index=base_arguments()["price_index"][:2],
    )
    raises(
        IndexError,
        re.compile("index \\d+ is out of bounds for axis 0 with size 0"),
        trade_stocks,
        pos_columns=np.zeros(0, object),
    )


if __name__ == "__main__":
    main(sys.argv[1])
