"""The results a run leaves behind: stock_operations and the trade rows."""

import numpy as np
import pytest
from hooks import require_hook
from markets import DAY, backtest, dates, labels, shared_operations

from tolvane.core import ravelin, vexal

_probe = require_hook()


def operations():
    return ravelin.get_stock_operations()


class TestStockOperations:
    def test_keys_and_types(self):
        backtest([[10.0, 10.0]] * 3, [[0.6, 0.4]])
        result = operations()
        assert list(result) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
        assert result["weights"] == {0: 0.6, 1: 0.4}
        assert all(type(k) is int and type(v) is np.float64 for k, v in result["weights"].items())
        assert (result["weight_time"], result["next_weight_time"]) == (0, 0)

    def test_rebalance_due_after_the_last_bar(self):
        rows = [[0.5, 0.5, 0.0], [0.5, 0.0, 0.5]]
        backtest([[10.0] * 3] * 4, rows, weight_bars=[0, 3])
        result = operations()
        # row 1, dated on the last bar, is in force at its end: a rebalance is pending
        assert result["actions"] == {0: "hold", 1: "exit", 2: "enter"}
        assert result["weights"] == {0: 0.5, 1: 0.5}
        assert result["next_weights"] == {0: 0.5, 2: 0.5}
        assert (result["weight_time"], result["next_weight_time"]) == (0, 1)

    def test_nan_target_weight_counts_as_non_zero(self):
        backtest([[10.0] * 2] * 3, [[0.5, 0.0], [0.5, np.nan]], weight_bars=[0, 2])
        assert operations()["actions"] == {0: "hold", 1: "enter"}

    def test_run_that_never_rebalances(self):
        backtest([[10.0] * 2] * 3, [[1.0, 0.5]], resample=np.array([], dtype=np.int64))
        result = operations()
        assert result["actions"] == {} and result["weights"] == {}
        assert result["weight_time"] == -1 and result["next_weight_time"] == 0
        # the weights of the row in force, divided by their absolute sum 1.5
        assert result["next_weights"] == {0: 1.0 / 1.5, 1: 0.5 / 1.5}

    def test_next_weights_summing_to_one_are_not_divided(self):
        backtest([[10.0] * 2] * 3, [[0.25, 0.5]], resample=np.array([], dtype=np.int64))
        assert operations()["next_weights"] == {0: 0.25, 1: 0.5}

    def test_stock_exited_after_the_rebalance_keeps_a_zero_weight(self):
        prices = [[10.0, 10.0]] * 4
        backtest(prices, [[0.6, 0.6]], close=[[10.0] * 2, [10.0] * 2, [10.0, 9.0], [10.0] * 2], stop_loss=0.05)
        result = operations()
        # stock 1 was sold at bar 3: weight 0, yet 0.6 still counts in the sum 1.2
        assert result["weights"] == {0: 0.6 / 1.2, 1: 0}
        assert result["actions"] == {1: "sl_"}
        assert result["next_weights"] == {0: 0.6 / 1.2}  # stopped stock sits out

    def test_queued_exit_of_a_stock_held_in_the_next_target(self):
        prices = [[10.0]] * 4
        closes = [[10.0], [10.0], [10.0], [9.0]]
        # the last target row is dated before the last bar: plain "sl"
        backtest(prices, [[1.0]], close=closes, stop_loss=0.05, stop_trading_next_period=False)
        assert operations()["actions"] == {0: "sl"}
        # dated on the last bar: sold and bought back, "sl_enter" over "hold"
        backtest(
            prices, [[1.0], [1.0]], weight_bars=[0, 3], close=closes, stop_loss=0.05, stop_trading_next_period=False
        )
        assert operations()["actions"] == {0: "sl_enter"}
        closes[3] = [11.0]
        backtest(
            prices, [[1.0], [1.0]], weight_bars=[0, 3], close=closes, take_profit=0.05, stop_trading_next_period=False
        )
        assert operations()["actions"] == {0: "tp_enter"}

    def test_stopped_stock_label_wins_over_the_rebalance_label(self):
        prices = [[10.0]] * 4
        backtest(prices, [[1.0], [1.0]], weight_bars=[0, 3], close=[[10.0], [10.0], [10.0], [9.0]], stop_loss=0.05)
        assert operations()["actions"] == {0: "sl"}
        assert operations()["next_weights"] == {}

    def test_normalize_weight_is_looked_up_at_use(self, monkeypatch):
        calls = []

        def recording(weights, position_limit):
            calls.append((dict(weights), position_limit))
            return {key: value * 2 for key, value in weights.items()}

        monkeypatch.setattr(ravelin, "normalize_weight", recording)
        backtest([[10.0] * 2] * 3, [[0.3, 0.2]], position_limit=0.25)
        assert calls == [({0: 0.3, 1: 0.2}, 0.25), ({0: 0.3, 1: 0.2}, 0.25)]
        assert operations()["weights"] == {0: 0.6, 1: 0.4}

    def test_normalize_weight_is_applied(self):
        backtest([[10.0] * 2] * 3, [[0.3, 0.2]], position_limit=0.25)
        assert operations()["weights"] == {0: 0.25, 1: 0.2}

    def test_failure_while_filling_leaves_a_partial_dict(self, monkeypatch):
        def failing(weights, position_limit):
            raise RuntimeError("normalisation failed")

        monkeypatch.setattr(ravelin, "normalize_weight", failing)
        with pytest.raises(RuntimeError, match="normalisation failed"):
            backtest([[10.0] * 2] * 3, [[0.3, 0.2]])
        assert set(operations()) == {"actions", "weights", "next_weights", "weight_time", "next_weight_time"}

    def test_failure_before_the_end_keeps_the_previous_dict(self):
        backtest([[10.0]] * 3, [[1.0]])
        before = shared_operations()
        with pytest.raises(ValueError):
            backtest([[10.0], [10.0], [0.0]], [[1.0]])
        assert ravelin.get_trade_stocks(None, None, False)[1] is before  # no trades listed

    def test_copy_semantics(self):
        backtest([[10.0]] * 3, [[1.0]])
        first = ravelin.get_stock_operations()
        first["weights"] = "changed"
        first["extra"] = 1
        again = ravelin.get_stock_operations()
        assert again["weights"] == {0: 1.0} and "extra" not in again
        shared = shared_operations()
        assert again["actions"] is shared["actions"]  # shallow copy: same value objects
        shared["weight_time"] = 99
        assert ravelin.get_stock_operations()["weight_time"] == 99


class TestTradeRows:
    INDEX = dates(10, start=100)
    NAMES = labels([f"S{i}" for i in range(4)])

    def rows(self, touched_exit):
        return ravelin.get_trade_stocks(self.NAMES, self.INDEX, touched_exit)[0]

    def record(self, *trades_):
        """Record trades directly: (sid, entry bar, exit bar or None, position)."""
        price = np.ones((10, 4))
        _probe.start_analysis(price, price, {s: s for s in range(4)}, 4, 0.0, 0.0, 0, 1)
        book = {}
        for sid, entry, exit_, position in trades_:
            _probe.record_date(entry)
            _probe.record_entry(sid, position, 1)
            if exit_ is None:
                book[sid] = position
            else:
                _probe.record_date(exit_)
                _probe.record_exit(sid, 1)
        _probe.record_date(9)
        _probe.end_analysis(book)

    @pytest.mark.parametrize("touched_exit", [False, True])
    def test_closed_and_open_trades(self, touched_exit):
        self.record((2, 3, 5, 0.4), (1, 3, None, -0.25))
        i = self.INDEX
        closed, still_open = self.rows(touched_exit)
        assert closed == ["S2", i[3], i[5], i[2], i[5] if touched_exit else i[4], 0.4, 2, 3, 5]
        assert still_open == ["S1", i[3], -1, i[2], -1, -0.25, 7, 3, -1]
        assert type(closed[1]) is np.int64 and type(still_open[2]) is int
        assert type(closed[5]) is np.float64

    def test_trade_entered_at_bar_zero_reads_the_last_timestamp(self):
        self.record((0, 0, 4, 1.0))
        assert self.rows(False)[0][3] == self.INDEX[-1]

    def test_rows_follow_the_engine_run(self):
        backtest([[10.0, 10.0]] * 5, [[1.0, 0.0], [0.0, 1.0]], weight_bars=[0, 2])
        i = dates(5)
        rows, result = ravelin.get_trade_stocks(labels(["S0", "S1"]), i, False)
        assert rows == [["S0", i[1], i[3], i[0], i[2], 1.0, 2, 1, 3], ["S1", i[3], -1, i[2], -1, 1.0, 2, 3, -1]]
        again, same = ravelin.get_trade_stocks(labels(["S0", "S1"]), i, False)
        assert again == rows and same is result

    def test_no_trades(self):
        backtest([[10.0]] * 3, [[0.0]])
        rows, result = ravelin.get_trade_stocks(self.NAMES, self.INDEX, True)
        assert rows == [] and result is ravelin.get_trade_stocks(None, None, 0)[1]

    def test_float_minus_one_counts_as_open(self, monkeypatch):
        monkeypatch.setattr(vexal, "trades", [[1, 3, -1.0]])
        monkeypatch.setattr(vexal, "trade_positions", [0.5])
        row = self.rows(False)[0]
        assert row[2] == -1 and row[4] == -1 and row[6] == 10 - 3

    @pytest.mark.parametrize(
        ("trades_", "positions", "error"),
        [([[1, 3]], [0.5], IndexError), ([[1, 3, 4]], [], IndexError), ([[9, 3, 4]], [0.5], IndexError)],
    )
    def test_malformed_trade_lists(self, monkeypatch, trades_, positions, error):
        monkeypatch.setattr(vexal, "trades", trades_)
        monkeypatch.setattr(vexal, "trade_positions", positions)
        with pytest.raises(error):
            self.rows(False)

    def test_argument_errors(self):
        with pytest.raises(TypeError) as error:
            ravelin.get_trade_stocks(self.NAMES, list(self.INDEX), False)
        assert str(error.value) == "Argument 'price_index' has incorrect type (expected numpy.ndarray, got list)"
        with pytest.raises(ValueError, match="expected 'int64_t' but got 'double'"):
            ravelin.get_trade_stocks(self.NAMES, self.INDEX * 1.0, False)
        with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(2 given\)"):
            ravelin.get_trade_stocks(self.NAMES, self.INDEX)
        with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
            ravelin.get_stock_operations(1)
        with pytest.raises(TypeError, match="takes no keyword arguments"):
            ravelin.get_stock_operations(x=1)


def test_last_target_row_is_in_force_at_the_end():
    index = dates(3)
    names = labels(["A"])
    prices = np.full((3, 1), 10.0)
    ravelin.backtest_(
        prices,
        prices,
        prices,
        prices,
        prices,
        index,
        names,
        np.array([[1.0], [0.5]]),
        np.array([0, 50 * DAY]),
        names,
        index,
    )
    assert operations()["next_weight_time"] == 1
