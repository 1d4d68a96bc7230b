import numpy as np
import pytest

from tolvane._stops import StopTable, stop_table

PRICE_INDEX = np.arange(4, dtype=np.int64)
POS_COLUMNS = np.array(["A", "B", "C"], dtype=object)


def build(threshold):
    return stop_table(threshold, PRICE_INDEX, POS_COLUMNS)


@pytest.mark.parametrize("threshold", [0.1, 1, np.float32(0.5), np.int64(2), np.array(0.25), float("inf")])
def test_scalar_gives_one_row_for_every_bar(threshold):
    table = build(threshold)
    assert table.values.dtype == np.float64
    assert table.values.shape == (1, 3)
    assert np.all(table.values == float(threshold))
    assert table.rows.dtype == np.intp
    assert table.rows.tolist() == [0, 0, 0, 0]


@pytest.mark.parametrize("threshold", [[0.1, 0.2, 0.3], (0.1, 0.2, 0.3), np.array([0.1, 0.2, 0.3])])
def test_per_column_sequence_gives_one_row(threshold):
    table = build(threshold)
    assert table.values.tolist() == [[0.1, 0.2, 0.3]]
    assert table.rows.tolist() == [0, 0, 0, 0]


def test_matrix_gives_one_row_per_bar():
    matrix = np.arange(12, dtype=np.float64).reshape(4, 3)
    table = build(matrix)
    assert table.values is matrix
    assert table.rows.tolist() == [0, 1, 2, 3]
    for bar in range(4):
        assert table.values[table.rows[bar]].tolist() == matrix[bar].tolist()


def test_stop_table_passes_through():
    table = StopTable(np.zeros((1, 3)), np.zeros(4, dtype=np.intp))
    assert build(table) is table


@pytest.mark.parametrize(
    ("threshold", "named"),
    [(None, "NoneType"), ("0.1", "str"), (True, "bool"), ({"A": 0.1}, "dict"), (["a", "b", "c"], "list")],
)
def test_unusable_setting_is_a_type_error_naming_it(threshold, named):
    with pytest.raises(TypeError, match=named):
        build(threshold)


@pytest.mark.parametrize(
    ("threshold", "fragment"),
    [
        ([0.1, 0.2], "2 entries but there are 3 position columns"),
        (np.zeros((3, 3)), "has shape (3, 3) but the run has 4 price bars and 3 position columns"),
        (np.zeros((4, 3, 1)), "at most 2-D, got a 3-D array"),
    ],
)
def test_dimension_mismatch_is_a_value_error(threshold, fragment):
    with pytest.raises(ValueError) as error:
        build(threshold)
    assert fragment in str(error.value)


@pytest.mark.parametrize(
    ("values", "rows", "error", "fragment"),
    [
        (np.zeros(3), np.zeros(4, dtype=int), ValueError, "values must be 2-D"),
        (np.zeros((1, 3)), np.zeros((4, 1), dtype=int), ValueError, "rows must be 1-D"),
        (np.zeros((1, 3)), np.zeros(4), TypeError, "rows must be integers"),
        (np.zeros((2, 3)), np.array([0, 2]), ValueError, "must lie in 0..1"),
        (np.zeros((2, 3)), np.array([-1, 0]), ValueError, "must lie in 0..1"),
    ],
)
def test_stop_table_checks_its_parts(values, rows, error, fragment):
    with pytest.raises(error, match=fragment):
        StopTable(values, rows)
