"""backtest_'s call contract: parameters, defaults, conversions and the
errors of the set-up steps (column mapping, price checks, stop tables)."""

import inspect
import traceback

import numpy as np
import pytest
from markets import ARRAYS, backtest, valid_arguments

from tolvane._stops import StopTable
from tolvane.core import ravelin, vexal

DEFAULTS = {
    "fee_ratio": 0.001425,
    "tax_ratio": 0.003,
    "stop_loss": 1.0,
    "take_profit": float("inf"),
    "trail_stop": float("inf"),
    "trail_stop_activation": 0.0,
    "touched_exit": False,
    "position_limit": 1.0,
    "retain_cost_when_rebalance": False,
    "stop_trading_next_period": True,
    "vexal_window": 0,
    "vexal_window_step": 1,
    "periodically_rebalance": True,
    "delisting_bars": None,
}


def formatted(error):
    return "".join(traceback.format_exception(error))


def test_signature_lists_every_parameter_with_its_default():
    parameters = inspect.signature(ravelin.backtest_).parameters
    assert list(parameters) == ARRAYS + list(DEFAULTS)
    assert all(parameters[name].default is inspect.Parameter.empty for name in ARRAYS)
    assert {name: parameters[name].default for name in DEFAULTS} == DEFAULTS
    assert DEFAULTS["fee_ratio"] == 1.425 / 1000


def test_module_attributes():
    own = [k for k in vars(ravelin) if not (k.startswith("__") and k.endswith("__"))]
    assert own == [
        "org_np",
        "vexal",
        "StopTable",
        "stop_table",
        "datetime",
        "RETAIN_COST_WHEN_REBALANCE",
        "RESAMPLE",
        "get_stock_operations",
        "normalize_weight",
        "ioft",
        "backtest_",
        "get_trade_stocks",
    ]
    assert ravelin.org_np is np and ravelin.vexal is vexal
    import datetime

    from tolvane import _stops

    assert ravelin.datetime is datetime
    assert ravelin.StopTable is _stops.StopTable and ravelin.stop_table is _stops.stop_table


def test_fresh_module_state(python_subprocess):
    result = python_subprocess(
        """
        from tolvane.core import ravelin
        print(ravelin.RETAIN_COST_WHEN_REBALANCE, ravelin.RESAMPLE, ravelin.get_stock_operations())
        """
    )
    assert result.stdout.strip() == "False None {}", result.stderr


def test_defaults_match_explicit_arguments():
    arguments = valid_arguments()
    implicit = ravelin.backtest_(*arguments)
    explicit = ravelin.backtest_(*arguments, **DEFAULTS)
    by_keyword = ravelin.backtest_(**dict(zip(ARRAYS, arguments)))
    np.testing.assert_array_equal(implicit, explicit)
    np.testing.assert_array_equal(implicit, by_keyword)


def call_error(args=(), kwargs=None, error=TypeError):
    with pytest.raises(error) as raised:
        ravelin.backtest_(*args, **(kwargs or {}))
    assert "in tolvane.core.ravelin.backtest_" in formatted(raised.value)
    return str(raised.value)


def test_positional_counts():
    arguments = valid_arguments()
    assert call_error(arguments[:10]) == "backtest_() takes at least 11 positional arguments (10 given)"
    assert call_error(arguments + list(DEFAULTS.values()) + [None]) == (
        "backtest_() takes at most 25 positional arguments (26 given)"
    )
    # a required argument missing among keywords: the count is its position minus one
    # (open_values, the fifth parameter, is missing)
    assert call_error(arguments[:3], {"low_values": arguments[3]}) == (
        "backtest_() takes at least 11 positional arguments (4 given)"
    )


def test_keyword_errors():
    arguments = valid_arguments()
    assert call_error(arguments, {"fee": 0.1}) == "backtest_() got an unexpected keyword argument 'fee'"
    assert call_error(arguments, {"close_values": arguments[1]}) == (
        "backtest_() got multiple values for keyword argument 'close_values'"
    )
    assert call_error(arguments, {1: 2}) == "backtest_() keywords must be strings"


@pytest.mark.parametrize(
    ("position", "value", "error", "message"),
    [
        (0, [[1.0]], TypeError, "Argument 'price_values' has incorrect type (expected numpy.ndarray, got list)"),
        (5, None, TypeError, "Argument 'price_index' has incorrect type (expected numpy.ndarray, got NoneType)"),
        (0, np.zeros(3), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (1, np.zeros((3, 2), np.float32), ValueError, "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
        (5, np.zeros(3, np.int32), ValueError, "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
        (6, np.zeros(2), ValueError, "Buffer dtype mismatch, expected 'unicode object' but got 'double'"),
        (
            7,
            np.zeros((1, 2), ">f8"),
            ValueError,
            "Buffer dtype mismatch, expected 'float64_t' but got 'big-endian double'",
        ),
    ],
)
def test_array_argument_errors(position, value, error, message):
    arguments = valid_arguments()
    arguments[position] = value
    assert call_error(arguments, error=error) == message


@pytest.mark.parametrize(
    ("option", "value", "error", "message"),
    [
        ("vexal_window", 2**31, OverflowError, "value too large to convert to int"),
        ("vexal_window_step", -(2**31) - 1, OverflowError, "value too large to convert to int"),
        ("vexal_window", "3", TypeError, "an integer is required"),
        ("delisting_bars", np.zeros(2), ValueError, "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
    ],
)
def test_option_conversion_errors(option, value, error, message):
    assert call_error(valid_arguments(), {option: value}, error) == message


@pytest.mark.parametrize("option", ["fee_ratio", "tax_ratio", "trail_stop", "trail_stop_activation", "position_limit"])
def test_double_options_use_float_conversion(option):
    with pytest.raises(TypeError) as ours:
        ravelin.backtest_(*valid_arguments(), **{option: "0.1"})
    assert "str" in str(ours.value)


def test_first_failing_conversion_wins():
    arguments = valid_arguments()
    arguments[0] = None
    message = call_error(arguments, {"tax_ratio": "x", "vexal_window": "y"})
    assert "str" in message and "integer" not in message


@pytest.mark.parametrize(("value", "window"), [(2.9, 2), (-0.5, 0), (np.int64(3), 3), (True, 1)])
def test_window_takes_the_integer_conversion(value, window):
    backtest([[10.0]] * 3, [[1.0]], vexal_window=value)
    assert vexal.vexal[0].shape == (6 * ((window - 1) // 1) + 12,)


def test_position_values_must_match_position_columns():
    arguments = valid_arguments()
    arguments[7] = np.array([[0.3, 0.3, 0.4]])
    assert call_error(arguments, error=ValueError) == "Position values do not match position columns"


@pytest.mark.parametrize(
    ("value", "text"), [(0.0, "0.0"), (-1.5, "-1.5"), (float("inf"), "inf"), (-float("inf"), "-inf")]
)
def test_invalid_trade_price_message(value, text):
    prices = np.array([[10.0], [10.0], [10.0], [value]])
    with pytest.raises(ValueError) as error:
        backtest(prices, [[1.0]], price_labels=["X"])
    assert str(error.value) == (
        f"Invalid trading price for X at price row 3: {text}. "
        "Expected a positive finite price; check the trading-price dataset."
    )
    assert "in tolvane.core.ravelin.validate_trade_price" in formatted(error.value)


def test_the_invalid_trade_price_error_names_its_stock_bar_and_price():
    prices = np.array([[10.0, 10.0], [10.0, 10.0], [10.0, -2.5], [10.0, 10.0]])
    with pytest.raises(ValueError) as error:
        backtest(prices, [[0.5, 0.5]])
    assert (type(error.value), error.value.stock, error.value.bar, error.value.price) == (ValueError, 1, 2, -2.5)


def test_smallest_positive_price_passes():
    tiny = 5e-324
    creturn = backtest([[tiny], [tiny], [tiny]], [[1.0]])
    np.testing.assert_array_equal(creturn, [1.0, 1.0, 1.0])


def test_non_text_symbol_uses_its_string_form():
    class Label(str):
        def __str__(self):
            return "label-object"

    arguments = valid_arguments()
    arguments[0] = arguments[0].copy()
    arguments[0][2, 0] = 0.0
    arguments[9] = np.array([Label("A"), "B"], dtype=object)
    message = call_error(arguments, error=ValueError)
    assert message.startswith("Invalid trading price for label-object at price row 2: 0.0.")


@pytest.mark.parametrize(
    ("names", "error", "message"),
    [
        ([1, 2], AttributeError, "'int' object has no attribute 'encode'"),
        (["A", b"B"], AttributeError, "'bytes' object has no attribute 'encode'"),
    ],
)
def test_labels_must_encode(names, error, message):
    arguments = valid_arguments()
    arguments[6] = np.array(names, dtype=object)
    with pytest.raises(error) as raised:
        ravelin.backtest_(*arguments)
    assert str(raised.value) == message
    assert "in tolvane.core.ravelin.map_columns" in formatted(raised.value)


def test_encode_must_return_bytes():
    class Label(str):
        def encode(self, encoding):
            return "not bytes"

    arguments = valid_arguments()
    arguments[9] = np.array([Label("A"), "B"], dtype=object)
    assert call_error(arguments) == "expected bytes, str found"


def test_index_errors_of_the_run():
    arguments = valid_arguments()
    arguments[8] = np.array([], dtype=np.int64)  # no target rows
    assert call_error(arguments, error=IndexError) == "Out of bounds on buffer access (axis 0)"
    arguments = valid_arguments()
    arguments[7] = np.zeros((0, 2))
    assert call_error(arguments, error=IndexError) == "Out of bounds on buffer access (axis 0)"
    arguments = valid_arguments()
    arguments[1] = arguments[1][:, :1].copy()  # closes narrower than the trade prices
    assert call_error(arguments, error=IndexError) == "Out of bounds on buffer access (axis 1)"


def test_entry_with_a_zero_portfolio_value_raises_division_error():
    # a 100% fee leaves nothing; the next row's NaN weight makes the scaling ratio 1
    with pytest.raises(ZeroDivisionError) as native:
        0.5 / 0.0
    with pytest.raises(ZeroDivisionError) as ours:
        backtest([[10.0, 10.0]] * 4, [[1.0, 0.0], [0.5, float("nan")]], weight_bars=[0, 1], fee_ratio=1.0)
    assert str(ours.value) == str(native.value)
    text = formatted(ours.value)
    assert text.index("ravelin.backtest_") < text.index("ravelin.rebalance") < text.index("ravelin.set_position")


class TestStopThresholds:
    def table(self, values, rows):
        return StopTable(np.asarray(values, dtype=np.float64), np.asarray(rows))

    def test_stop_table_is_built_for_settings_that_are_not_tables(self, monkeypatch):
        calls = []
        real = ravelin.stop_table

        def recording(threshold, price_index, pos_columns):
            calls.append((threshold, price_index, pos_columns))
            return real(threshold, price_index, pos_columns)

        monkeypatch.setattr(ravelin, "stop_table", recording)
        arguments = valid_arguments()
        table = self.table([[0.5, 0.5]], [0, 0, 0])
        ravelin.backtest_(*arguments, stop_loss=table)
        assert len(calls) == 1  # only take_profit (the default +inf) needed building
        threshold, price_index, pos_columns = calls[0]
        assert threshold == float("inf") and price_index is arguments[5] and pos_columns is arguments[9]

    @pytest.mark.parametrize(
        ("values", "rows"),
        [
            ([[0.1, 0.1, 0.1]], [0, 0, 0]),  # a column too many
            ([[0.1]], [0, 0, 0]),  # a column too few
            ([[0.1, 0.1]], [0, 0]),  # one row index short of the bars
        ],
    )
    def test_table_must_fit_the_run(self, values, rows):
        message = call_error(valid_arguments(), {"take_profit": self.table(values, rows)}, ValueError)
        assert message == "Stop thresholds do not match the price bars and position columns"

    @pytest.mark.parametrize("rows", [[-1, 0, 0], [0, 2, 0]])
    def test_row_indices_must_name_rows_of_values(self, rows):
        table = self.table([[0.1, 0.1], [0.2, 0.2]], [0, 0, 0])
        table.rows = np.asarray(rows, dtype=np.intp)
        message = call_error(valid_arguments(), {"stop_loss": table}, ValueError)
        assert message == "Stop thresholds do not match the price bars and position columns"
        assert "in tolvane.core.ravelin.stop_thresholds" in formatted(
            pytest.raises(ValueError, ravelin.backtest_, *valid_arguments(), stop_loss=table).value
        )

    def test_last_row_index_is_valid(self):
        table = self.table([[1.0, 1.0], [1.0, 1.0]], [0, 1, 1])
        ravelin.backtest_(*valid_arguments(), stop_loss=table)

    def test_missing_global_is_a_name_error(self, monkeypatch):
        monkeypatch.delattr(ravelin, "StopTable")
        assert call_error(valid_arguments(), error=NameError) == "name 'StopTable' is not defined"

    def test_rows_must_be_integers(self):
        table = self.table([[1.0, 1.0]], [0, 0, 0])
        table.rows = np.zeros(3)
        message = call_error(valid_arguments(), {"stop_loss": table}, ValueError)
        assert message == "Buffer dtype mismatch, expected 'Py_ssize_t' but got 'double'"


def test_import_fails_when_vexal_lacks_an_export(python_subprocess):
    result = python_subprocess(
        """
        import sys, types
        from tolvane.core import vexal
        fake = types.ModuleType("tolvane.core.vexal")
        fake.__capi__ = {k: v for k, v in vexal.__capi__.items() if k != "end_analysis"}
        sys.modules["tolvane.core.vexal"] = fake
        try:
            import tolvane.core.ravelin
        except ImportError as error:
            print(error)
        """
    )
    assert result.stdout.strip() == "tolvane.core.vexal does not export expected C function end_analysis", result.stderr
