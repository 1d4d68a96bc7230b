import datetime
import math
import traceback

import numpy as np
import pytest

from tolvane.core import ravelin

normalize_weight = ravelin.normalize_weight


class TestNormalizeWeight:
    def test_empty_mapping_is_returned_unchanged(self):
        weights = {}
        assert normalize_weight(weights, 0.1) is weights and weights == {}

    def test_scaling_multiplies_by_the_reciprocal(self):
        weights = normalize_weight({"a": 0.6, "b": -0.6}, 1.0)
        factor = 1 / (0.6 + 0.6)
        assert weights == {"a": 0.6 * factor, "b": -0.6 * factor}

    def test_reciprocal_not_division_to_the_last_bit(self):
        # 0.7 and 0.9: total 1.6; w * (1 / 1.6) and w / 1.6 differ for 0.7
        assert 0.7 * (1 / 1.6) != 0.7 / 1.6
        assert normalize_weight({"a": 0.7, "b": 0.9}, 1.0)["a"] == 0.7 * (1 / 1.6)

    def test_sum_of_exactly_one_is_not_scaled(self):
        assert normalize_weight({"a": 0.5, "b": 0.5}, 1.0) == {"a": 0.5, "b": 0.5}

    def test_clipping_up_stores_the_limit_object_itself(self):
        limit = 0.5
        weights = normalize_weight({"a": 0.8, "b": 0.1}, limit)
        assert weights == {"a": 0.5, "b": 0.1} and weights["a"] is limit

    def test_clipping_down_uses_the_negated_limit(self):
        assert normalize_weight({"a": -0.9}, 0.3) == {"a": -0.3}

    def test_nan_weight(self):
        weights = normalize_weight({"a": float("nan"), "b": 2.0}, 1.0)
        assert math.isnan(weights["a"]) and weights["b"] == 1.0  # no scaling; b clipped

    def test_infinite_weight(self):
        weights = normalize_weight({"a": float("inf"), "b": 0.5, "c": -0.5}, 1.0)
        assert math.isnan(weights["a"])
        assert weights["b"] == 0.0 and math.copysign(1, weights["c"]) == -1 and weights["c"] == 0.0

    def test_integer_weights(self):
        weights = normalize_weight({"a": 2, "b": 2}, 1.0)
        assert weights == {"a": 0.5, "b": 0.5} and all(type(w) is float for w in weights.values())

    def test_numpy_scalars(self):
        weights = normalize_weight({1: np.float64(0.8), 2: np.float64(0.4)}, 1.0)
        assert weights == {1: 0.8 * (1 / 1.2000000000000002), 2: 0.4 * (1 / 1.2000000000000002)}

    def test_keyword_arguments(self):
        assert normalize_weight(weights={"a": 0.2}, position_limit=0.1) == {"a": 0.1}

    def test_none_weights(self):
        with pytest.raises(AttributeError) as error:
            normalize_weight(None, 1.0)
        assert str(error.value) == "'NoneType' object has no attribute 'items'"
        assert "in tolvane.core.ravelin.normalize_weight" in "".join(traceback.format_exception(error.value))

    @pytest.mark.parametrize(
        ("item", "message"),
        [
            (("a", 1, 2), "too many values to unpack (expected 2)"),
            (("a",), "need more than 1 value to unpack"),
            ((), "need more than 0 values to unpack"),
            (["a", 1, 2], "too many values to unpack (expected 2)"),
            (["a"], "need more than 1 value to unpack"),
        ],
    )
    def test_items_must_be_pairs(self, item, message):
        class Pairs(dict):
            def items(self):
                return [item]

        with pytest.raises(ValueError) as error:
            normalize_weight(Pairs(a=1), 1.0)
        assert str(error.value) == message

    def test_dictionary_changing_size(self):
        class Growing:
            def __init__(self):
                self.data = {"a": 1.0}

            def items(self):
                return self.data.items()

            def __getitem__(self, key):
                self.data[key + "x"] = 0.0
                return self.data[key]

        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            normalize_weight(Growing(), 1.0)

    def test_comparison_errors_propagate_and_keep_earlier_changes(self):
        weights = {"a": 3.0, "b": "x"}
        with pytest.raises(TypeError):
            normalize_weight(weights, 1.0)
        assert weights == {"a": 3.0, "b": "x"}  # the sum already failed


class TestIoft:
    def test_epoch(self):
        assert ravelin.ioft(0) == datetime.datetime.fromtimestamp(0)

    def test_fractions_of_a_second(self):
        assert ravelin.ioft(1_500_000_000) == datetime.datetime.fromtimestamp(1.5)
        assert ravelin.ioft(1_500_000_000).microsecond == 500_000

    def test_float_and_numpy_integer(self):
        assert ravelin.ioft(2.5e9) == datetime.datetime.fromtimestamp(2.5)
        assert ravelin.ioft(np.int64(86_400 * 10**9)) == datetime.datetime.fromtimestamp(86_400)

    def test_errors_propagate(self, monkeypatch):
        with pytest.raises(TypeError):
            ravelin.ioft("0")
        with pytest.raises((OverflowError, ValueError, OSError)):
            ravelin.ioft(10**30)
        monkeypatch.delattr(ravelin, "datetime")
        with pytest.raises(NameError, match="name 'datetime' is not defined"):
            ravelin.ioft(0)
