"""Trade excursion analysis, driven through vexal's exported C functions.

`tolvane.core._probe` binds the export table exactly as the engine does and
exposes the bound functions to Python.
"""

import ctypes
import sys
import traceback
import types

import numpy as np
import pytest
from hooks import require_hook

from tolvane.core import vexal

bound = require_hook()

NAN = float("nan")


def column(*values):
    return np.array(values, dtype=np.float64)[:, None]


# The bars of the worked examples: trade prices and closes of one stock.
PRICES = column(10, 11, 9, 12.5, 12)
CLOSES = column(10, 11, 9, 12, 12)


def analyse(
    price,
    close,
    entry,
    exit_,
    position=1.0,
    window=0,
    step=1,
    fee=0.001,
    tax=0.003,
    entry_flag=1,
    exit_flag=1,
    sid=0,
    columns=None,
):
    """One trade entered at bar `entry` and closed at bar `exit_`; returns its profile."""
    bound.start_analysis(price, close, {sid: 0} if columns is None else columns, sid + 1, fee, tax, window, step)
    bound.record_date(entry)
    bound.record_entry(sid, position, entry_flag)
    bound.record_date(exit_)
    bound.record_exit(sid, exit_flag)
    assert len(vexal.vexal) == 1
    return vexal.vexal[0]


def statistics(ratios):
    """The six profile statistics at every point of a path of value ratios
    (no NaN, no exit adjustment), from the rules: running extremes start at
    the 1.0 level, bmfe is the running maximum where the minimum was last set
    (the point before the new minimum), mdd is the worst drop from the peak."""
    first = ratios[0]
    cmax = first if first >= 1.0 else 1.0
    cmin = 1.0 if first > 1.0 else first
    max_at_min, mdd, profit = cmax, min(first - 1, 0.0), float(first > 1)
    points = [[cmin - 1, cmax - 1, max_at_min - 1, mdd, profit, first - 1]]
    for r in ratios[1:]:
        previous_max = cmax
        cmax = max(cmax, r)
        if r < cmin:
            cmin, max_at_min = r, previous_max
        mdd = min(mdd, r / cmax - 1)
        profit += r > 1
        points.append([cmin - 1, cmax - 1, max_at_min - 1, mdd, profit, r - 1])
    return points


def block(ratios, w):
    return statistics(ratios)[w]


class TestWorkedExamples:
    def test_long_window_two(self):
        fee, tax = 0.001, 0.003
        r0 = 10 / 10 * (1 - fee)
        r1 = r0 * (11 / 10)
        r2 = r1 * (9 / 11)
        r3 = r2 * (12 / 9)
        exit_return = r3 * (12.5 / 12) * (1 - fee - tax)
        expected = [
            r0 - 1,
            0.0,
            0.0,
            r0 - 1,
            0.0,
            r0 - 1,  # point 0
            r0 - 1,
            r1 - 1,
            0.0,
            r0 - 1,
            1.0,
            r1 - 1,  # point 1
            r2 - 1,
            r3 - 1,
            r1 - 1,
            r2 / r1 - 1,
            2.0,
            exit_return - 1,  # exit, point 3
        ]
        profile = analyse(PRICES, CLOSES, 0, 3, window=2, step=1, fee=fee, tax=tax)
        assert profile.dtype == np.float64
        np.testing.assert_allclose(profile, expected, rtol=1e-13, atol=1e-15)
        assert f"{profile[-1]:.6f}" == "0.243755"
        assert f"{profile[-3]:.6f}" == "-0.181818"

    def test_short_window_zero_without_costs(self):
        ratios = [2 - 10 / 10]
        for previous, close in [(10, 11), (11, 9), (9, 12)]:
            ratios.append(2 - (2 - ratios[-1]) * (close / previous))
        np.testing.assert_allclose(ratios, [1.0, 0.9, 1.1, 0.8], rtol=1e-13)
        profile = analyse(PRICES, CLOSES, 0, 3, position=-1.0, window=0, entry_flag=0, exit_flag=0)
        peak = ratios[2]
        expected = [min(ratios) - 1, peak - 1, peak - 1, ratios[3] / peak - 1, 1.0, ratios[3] - 1]
        np.testing.assert_allclose(profile, expected, rtol=1e-13, atol=1e-15)
        assert f"{profile[3]:.6f}" == "-0.272727"


@pytest.mark.parametrize(
    ("window", "step", "length", "sampled"),
    [(0, 1, 6, []), (1, 1, 12, [0]), (5, 2, 24, [0, 2, 4]), (20, 5, 30, [0, 5, 10, 15])],
)
def test_profile_length_and_sample_offsets(window, step, length, sampled):
    n = 30
    closes = column(*np.linspace(10.0, 12.9, n))
    profile = analyse(closes, closes, 0, n - 1, window=window, step=step, entry_flag=0, exit_flag=0)
    assert profile.shape == (length,)
    ratios = [c / 10.0 for c in closes[:, 0]]
    for k, w in enumerate(sampled):
        np.testing.assert_allclose(profile[6 * k : 6 * k + 6], block(ratios, w), rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(profile[-6:], block(ratios, n - 1), rtol=1e-12, atol=1e-15)


def test_trade_shorter_than_the_window_follows_the_path_past_the_exit():
    closes = column(10, 11, 12, 13, 14, 15)
    fee = 0.001
    profile = analyse(closes, closes, 0, 1, window=4, step=1, fee=fee, tax=0.003)
    ratios = [(1 - fee) * c / 10 for c in closes[:, 0]]
    # samples at offsets 0..3 (past the exit at offset 1, without exit costs there)
    for w in range(4):
        np.testing.assert_allclose(profile[6 * w : 6 * w + 6], block(ratios, w), rtol=1e-12, atol=1e-15)
    # the exit block is the exit bar's close-based ratio: entry fee, no exit adjustment
    np.testing.assert_allclose(profile[-6:], block(ratios, 1), rtol=1e-12, atol=1e-15)


def test_data_ending_before_the_window_leaves_blocks_at_minus_one():
    closes = column(10, 11, 12)
    profile = analyse(closes, closes, 0, 2, window=5, step=1, entry_flag=0, exit_flag=0)
    assert profile.shape == (36,)
    ratios = [c / 10 for c in closes[:, 0]]
    for w in range(3):
        np.testing.assert_allclose(profile[6 * w : 6 * w + 6], block(ratios, w), rtol=1e-12, atol=1e-15)
    assert (profile[18:30] == -1).all()
    np.testing.assert_allclose(profile[-6:], block(ratios, 2), rtol=1e-12, atol=1e-15)


def test_nan_close_repeats_the_ratio_and_is_no_profit_bar():
    closes = column(10, 12, NAN, 15)
    profile = analyse(closes, closes, 0, 3, window=4, step=1, entry_flag=0, exit_flag=0)
    assert profile[6 * 2 + 5] == pytest.approx(12 / 10 - 1)  # return at the NaN bar
    assert profile[6 * 1 + 4] == 1 and profile[6 * 2 + 4] == 1  # no profit count for the NaN bar
    # the next close divides by the last valid close (12), not by NaN
    assert profile[-1] == pytest.approx(12 / 10 * 15 / 12 - 1)
    assert profile[-2] == 2


def test_same_bar_entry_and_exit():
    fee, tax = 0.001, 0.003
    profile = analyse(PRICES, CLOSES, 1, 1, window=0, fee=fee, tax=tax)
    start = 11 / 11 * (1 - fee)
    assert profile.shape == (6,)
    assert profile[5] == pytest.approx(start * (1 - fee - tax) - 1, rel=1e-14)
    assert profile[0] == pytest.approx(start - 1, rel=1e-14)  # cummin from the unadjusted ratio


def test_sid_never_entered_uses_zero_arrays():
    bound.start_analysis(PRICES, CLOSES, {0: 0, 1: 0}, 2, 0.0, 0.0, 0, 1)
    bound.record_date(2)
    bound.record_exit(1, 0)
    sid, entry, exit_ = vexal.trades[0]
    assert (sid, int(entry), exit_) == (1, 0, 2)
    assert vexal.trade_positions[0] == 0.0
    # position 0.0 is not long: the short mirror over closes 10, 11, 9
    short = [1.0, 2 - 11 / 10, 2 - (2 - (2 - 11 / 10)) * (9 / 11)]
    assert vexal.vexal[0][-1] == pytest.approx(short[-1] - 1)


def test_sid_missing_from_the_column_map_reads_price_column_zero():
    price = np.column_stack([CLOSES[:, 0], CLOSES[:, 0] * 2])
    profile = analyse(price, price, 0, 3, sid=5, columns={5: 1}, entry_flag=0, exit_flag=0)
    bound.start_analysis(price, price, {}, 6, 0.0, 0.0, 0, 1)
    bound.record_date(0)
    bound.record_entry(3, 1.0, 0)
    bound.record_date(3)
    bound.record_exit(3, 0)
    assert vexal.vexal[0][-1] == pytest.approx(12 / 10 - 1)  # column 0's closes
    assert profile[-1] == pytest.approx(24 / 20 - 1)


def test_end_analysis_skips_zero_and_analyses_nan_book_values():
    closes = column(10, 11, 12, 13)
    price = np.repeat(closes, 4, axis=1)
    bound.start_analysis(price, price, {s: s for s in range(4)}, 4, 0.0, 0.0, 0, 1)
    bound.record_date(0)
    for sid in range(4):
        bound.record_entry(sid, 1.0, 1)
    bound.record_date(1)
    bound.record_exit(2, 1)
    bound.record_date(3)
    assert bound.end_analysis({3: NAN, 0: 0.0, 1: 0.5}) is None
    assert [(s, int(e), x) for s, e, x in vexal.trades] == [(2, 0, 1), (1, 0, -1), (3, 0, -1)]
    # an open trade runs to the last reported bar, without exit adjustment
    assert vexal.vexal[1][-1] == pytest.approx(13 / 10 - 1)
    assert len(vexal.trades) == len(vexal.trade_positions) == len(vexal.vexal) == 3


def test_end_analysis_with_an_empty_book():
    bound.start_analysis(PRICES, CLOSES, {}, 1, 0.0, 0.0, 0, 1)
    assert bound.end_analysis({}) is None
    assert vexal.trades == [] and vexal.vexal == []


def test_result_element_types():
    analyse(PRICES, CLOSES, 0, 3)
    sid, entry, exit_ = vexal.trades[0]
    assert type(sid) is int and type(exit_) is int
    # the scalars that reading the recorded arrays from Python gives
    assert type(entry) is type(np.zeros(1, dtype=np.intp)[0]) and entry == 0
    assert type(vexal.trade_positions[0]) is np.float64


def test_second_entry_restarts_the_trade():
    bound.start_analysis(PRICES, CLOSES, {0: 0}, 1, 0.0, 0.0, 0, 1)
    bound.record_date(0)
    bound.record_entry(0, 1.0, 0)
    bound.record_date(1)
    bound.record_entry(0, 2.0, 0)
    bound.record_date(3)
    bound.record_exit(0, 0)
    assert int(vexal.trades[0][1]) == 1
    assert vexal.trade_positions[0] == 2.0
    assert vexal.vexal[0][-1] == pytest.approx(12 / 11 - 1)


def test_start_analysis_resets_lists_in_place_and_keeps_date():
    lists = (vexal.trades, vexal.trade_positions, vexal.vexal)
    analyse(PRICES, CLOSES, 0, 3)
    bound.start_analysis(PRICES, CLOSES, {0: 0}, 3, 0.0, 0.0, 0, 1)
    assert (vexal.trades, vexal.trade_positions, vexal.vexal) == ([], [], [])
    assert all(a is b for a, b in zip(lists, (vexal.trades, vexal.trade_positions, vexal.vexal)))
    entry, position = bound.exported_arrays()
    assert entry.tolist() == [0, 0, 0] and entry.dtype.kind == "i"
    assert position.tolist() == [0.0, 0.0, 0.0] and position.dtype == np.float64
    bound.record_exit(0, 0)  # no record_date in this run: the previous run's bar 3
    assert vexal.trades[0][2] == 3


@pytest.mark.parametrize(
    ("price", "message"),
    [
        (np.zeros((3, 1), dtype=np.float32), "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
        (np.zeros((3, 1), dtype=np.int64), "Buffer dtype mismatch, expected 'float64_t' but got 'long'"),
        (np.zeros(3), "Buffer has wrong number of dimensions (expected 2, got 1)"),
    ],
)
def test_start_analysis_checks_the_matrices(price, message):
    with pytest.raises(ValueError) as error:
        bound.start_analysis(price, CLOSES, {}, 1, 0.0, 0.0, 0, 1)
    assert str(error.value) == message
    assert "tolvane.core.vexal.start_analysis" in "".join(traceback.format_exception(error.value))


def test_non_contiguous_matrices_are_read_through_their_strides():
    wide = np.column_stack([PRICES[:, 0], np.full(5, 99.0)]).T.copy().T  # Fortran order
    profile = analyse(wide[::1, ::-1], wide[:, ::-1], 0, 3, sid=0, columns={0: 1}, window=0, entry_flag=0, exit_flag=0)
    assert profile[-1] == pytest.approx(12.5 / 10 - 1)


def test_record_entry_index_rules():
    bound.start_analysis(PRICES, CLOSES, {}, 2, 0.0, 0.0, 0, 1)
    bound.record_date(4)
    bound.record_entry(-1, 3.0, 1)  # counts from the end, like array indexing
    entry, position = bound.exported_arrays()
    assert entry.tolist() == [0, 4] and position.tolist() == [0.0, 3.0]
    with pytest.raises(IndexError) as error:
        bound.record_entry(2, 1.0, 1)
    assert str(error.value) == "index 2 is out of bounds for axis 0 with size 2"


def entered(price, close, window=0, step=1, entry=0, exit_at=None):
    bound.start_analysis(price, close, {0: 0}, 1, 0.001, 0.003, window, step)
    bound.record_date(entry)
    bound.record_entry(0, 1.0, 1)
    if exit_at is not None:
        bound.record_date(exit_at)


@pytest.mark.parametrize(
    ("prices", "closes", "window", "step", "exit_at", "error", "message"),
    [
        (column(0, 1), column(1, 1), 0, 1, 1, ZeroDivisionError, "float division"),
        (column(1, 1, 1), column(1, 0, 2), 0, 1, 2, ZeroDivisionError, "float division"),
        (column(1, 1), column(1, 0), 0, 1, 1, ZeroDivisionError, "float division"),
        (column(1, 1), column(1, 1), 0, 0, 1, ZeroDivisionError, "integer division or modulo by zero"),
        (column(1, 1), column(1, 1), 5, -1, 1, ValueError, "negative dimensions are not allowed"),
        (column(1, 1, 1), column(1, 1, 1), -1, 2, 2, IndexError, "Out of bounds on buffer access (axis 0)"),
    ],
)
def test_analysis_failures(prices, closes, window, step, exit_at, error, message):
    entered(prices, closes, window=window, step=step, exit_at=exit_at)
    with pytest.raises(error) as raised:
        bound.record_exit(0, 1)
    assert str(raised.value) == message
    formatted = "".join(traceback.format_exception(raised.value))
    assert "in tolvane.core.vexal.record_exit" in formatted
    assert "in tolvane.core.vexal.vexal_analysis" in formatted
    # the trade was listed before its analysis failed
    assert (len(vexal.trades), len(vexal.trade_positions), len(vexal.vexal)) == (1, 1, 0)


def test_entry_beyond_the_data():
    entered(PRICES, CLOSES, entry=5)  # entry bar == number of rows
    with pytest.raises(IndexError, match="index 5 is out of bounds for axis 0 with size 5"):
        bound.record_exit(0, 1)
    entered(PRICES, CLOSES, entry=7)  # the path length is negative
    with pytest.raises(OverflowError, match="can't convert negative value to size_t"):
        bound.record_exit(0, 1)


def test_price_column_outside_the_matrix():
    bound.start_analysis(PRICES, CLOSES, {0: 3}, 1, 0.0, 0.0, 0, 1)
    bound.record_date(0)
    bound.record_entry(0, 1.0, 1)
    with pytest.raises(IndexError, match="index 3 is out of bounds for axis 0 with size 1"):
        bound.record_exit(0, 1)


def test_negative_step_takes_no_samples():
    profile = analyse(PRICES, CLOSES, 0, 3, window=0, step=-1, entry_flag=0, exit_flag=0)
    # 6 * floor(-1 / -1) + 12 elements; only the exit block is written
    assert profile.shape == (18,)
    assert (profile[:12] == -1).all()
    assert profile[-1] == pytest.approx(12 / 10 - 1)


@pytest.mark.parametrize("name", ["trades", "trade_positions", "vexal"])
def test_removed_result_list_is_a_name_error(monkeypatch, name):
    monkeypatch.delattr(vexal, name)
    with pytest.raises(NameError) as error:
        bound.start_analysis(PRICES, CLOSES, {0: 0}, 1, 0.0, 0.0, 0, 1)
    assert str(error.value) == f"name '{name}' is not defined"


def test_namespace(python_subprocess):
    own = {k for k in vars(vexal) if not (k.startswith("__") and k.endswith("__"))}
    assert own == {"org_np", "trades", "trade_positions", "vexal"}
    assert vexal.__test__ == {} and vexal.org_np is np
    assert list(vexal.__capi__) == [
        "entry",
        "position",
        "start_analysis",
        "record_date",
        "record_entry",
        "record_exit",
        "end_analysis",
    ]
    result = python_subprocess(
        """
        from tolvane.core import vexal, _probe
        entry, position = _probe.exported_arrays()
        print(entry.shape, entry.dtype.kind, position.shape, position.dtype, vexal.trades)
        """
    )
    assert result.stdout.strip() == "(0,) i (0,) float64 []", result.stderr


SIGNATURES = {
    "entry": "PyArrayObject *",
    "position": "PyArrayObject *",
    "start_analysis": "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)",
    "record_date": "void (int)",
    "record_entry": "void (int, double, int)",
    "record_exit": "void (int, int)",
    "end_analysis": "PyObject *(std::map<int,double>  &)",
}


def test_export_signatures_byte_for_byte():
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    assert {k: get_name(v).decode() for k, v in vexal.__capi__.items()} == SIGNATURES


class TestBinder:
    @pytest.fixture
    def fake(self, monkeypatch):
        module = types.ModuleType("fake_vexal")
        module.__capi__ = dict(vexal.__capi__)
        monkeypatch.setitem(sys.modules, "fake_vexal", module)
        return module.__capi__

    @staticmethod
    def capsule(name: bytes):
        new = ctypes.pythonapi.PyCapsule_New
        new.restype = ctypes.py_object
        new.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
        keep = ctypes.create_string_buffer(name)
        TestBinder.kept.append(keep)
        return new(ctypes.addressof(keep), ctypes.addressof(keep), None)

    kept = []

    def test_complete_table_binds(self, fake):
        assert bound.bind_vexal("fake_vexal") is None

    @pytest.mark.parametrize(
        ("missing", "message"),
        [
            ("end_analysis", "fake_vexal does not export expected C function end_analysis"),
            ("position", "fake_vexal does not export expected C variable position"),
        ],
    )
    def test_missing_entry(self, fake, missing, message):
        del fake[missing]
        with pytest.raises(ImportError) as error:
            bound.bind_vexal("fake_vexal")
        assert str(error.value) == message

    @pytest.mark.parametrize(
        ("name", "message"),
        [
            (
                "record_date",
                "C function fake_vexal.record_date has wrong signature (expected void (int), got void (long))",
            ),
            ("entry", "C variable fake_vexal.entry has wrong signature (expected PyArrayObject *, got void (long))"),
        ],
    )
    def test_wrong_signature(self, fake, name, message):
        fake[name] = self.capsule(b"void (long)")
        with pytest.raises(TypeError) as error:
            bound.bind_vexal("fake_vexal")
        assert str(error.value) == message

    def test_missing_module(self):
        with pytest.raises(ModuleNotFoundError):
            bound.bind_vexal("no_such_vexal_module")
