"""The one-pass scan of a price matrix: each column's smallest and largest
value, NaN left out, whatever the matrix's memory layout."""

import warnings

import numpy as np
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from tolvane.core import _columns

VALUES = st.sampled_from([np.nan, np.inf, -np.inf, 0.0, -1.0, 5e-324, 1e300]) | st.floats(0.5, 2.0)


@given(
    arrays(np.float64, st.tuples(st.integers(1, 40), st.integers(1, 12)), elements=VALUES),
    st.sampled_from(["C", "F", "every other row"]),
)
def test_each_columns_extremes_are_numpys_nanmin_and_nanmax(matrix, layout):
    laid_out = {
        "C": np.ascontiguousarray,
        "F": np.asfortranarray,
        "every other row": lambda m: np.repeat(m, 2, axis=0)[::2],
    }[layout](matrix)
    lowest, highest = _columns.price_extremes(laid_out)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN columns
        np.testing.assert_array_equal(lowest, np.nanmin(matrix, axis=0))
        np.testing.assert_array_equal(highest, np.nanmax(matrix, axis=0))
