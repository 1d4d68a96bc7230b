"""Our engine as the benchmark suite runs it, from the workload's DataFrames.

benchmarks/worker.py serves three ways of running it:

- "tolvane": the front door, `tolvane.backtest(...)` on the DataFrames with
  its trade table built (`report.trades`), what a user calls;
- "columns": `tolvane.core._columns.run`, the front door's native run, bare,
  on the very arrays the front door hands it (converted once, outside the
  timing);
- "backtest_": the engine's contract entry `ravelin.backtest_`, bare, on the
  same arrays.

The DataFrames wrap the workload's column-major arrays without a copy, so
every engine of the suite reads the same memory.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pandas as pd
from resident import release_free_memory, reset_peak, resident_kib

Run = Callable[[float], Any]

# The front door's names of the engine options that the workloads use.
FRONT_DOOR_OPTIONS = {"vexal_window": "excursion_window", "vexal_window_step": "excursion_window_step"}


def frames(workload: Any) -> dict[str, pd.DataFrame]:
    """The workload as the DataFrames a user would pass (no copy of its arrays)."""
    dates = pd.DatetimeIndex(workload.index.astype("datetime64[ns]"))
    tickers = pd.Index(list(workload.labels))

    def frame(values: Any, index: pd.DatetimeIndex = dates) -> pd.DataFrame:
        return pd.DataFrame(values, index=index, columns=tickers, copy=False)

    data = {
        "position": frame(workload.weights, dates[workload.weight_bars]),
        "close": frame(workload.close),
        "trade_price": frame(workload.price),
    }
    if workload.options.get("touched_exit"):
        data.update(open=data["trade_price"], high=frame(workload.high), low=frame(workload.low))
    return data


def front_door_arguments(workload: Any) -> tuple[pd.DataFrame, pd.DataFrame, dict[str, Any]]:
    """position, close and the keyword options of tolvane.backtest, fee and tax aside."""
    data = frames(workload)
    options = {FRONT_DOOR_OPTIONS.get(name, name): value for name, value in workload.options.items()}
    options.update({name: data[name] for name in ("trade_price", "open", "high", "low") if name in data})
    return data["position"], data["close"], options


class FrontDoor:
    """tolvane.backtest with its trade table built."""

    def __init__(self, workload: Any) -> None:
        from workloads import generate

        import tolvane

        self._backtest = tolvane.backtest
        self.position, self.close, self.options = front_door_arguments(workload)
        # One run on the tiny workload first: the imports and first-use costs
        # of the report are paid before the worker measures memory.
        tiny_position, tiny_close, tiny_options = front_door_arguments(generate("XS", workload.variant))
        self._backtest(tiny_position, tiny_close, **tiny_options).trades  # noqa: B018

    def __call__(self, fee: float) -> Any:
        report = self._backtest(self.position, self.close, fee_ratio=fee, tax_ratio=0.0, **self.options)
        report.trades  # noqa: B018 -- the trade table is built on first use: time it with the run
        return report.equity.to_numpy()

    def memory_of_run(self, fee: float) -> dict[str, int]:
        """One run's peak resident memory above what the process held before
        it (the allocator's free memory returned to the system first), in
        KiB: of tolvane.backtest, and with the trade table built; and the
        bytes it returns: the arrays of the Report's record (equity, trade
        columns, excursion profiles) and the trade table's columns."""
        release_free_memory()
        baseline = resident_kib("VmRSS")
        reset_peak()
        report = self._backtest(self.position, self.close, fee_ratio=fee, tax_ratio=0.0, **self.options)
        backtest_peak = resident_kib("VmHWM") - baseline
        trades = report.trades
        record = report._record
        returned = (
            record.equity,
            record.trade_stock,
            record.entry_bar,
            record.exit_bar,
            record.entry_weight,
            record.exit_reason,
            record.profiles,
        )
        return {
            "backtest_peak_kib": backtest_peak,
            "with_trade_table_peak_kib": resident_kib("VmHWM") - baseline,
            "returned_bytes": sum(array.nbytes for array in returned),
            "trade_table_bytes": int(trades.memory_usage(deep=False).sum()),
        }


def _prepared(workload: Any) -> Any:
    from tolvane import _inputs, _options

    position, close, options = front_door_arguments(workload)
    return _inputs.prepare(position, close, _options.Options(**options))


def _fixed_options(options: dict[str, Any]) -> dict[str, Any]:
    return {name: value for name, value in options.items() if name not in ("fee_ratio", "tax_ratio")}


def columnar_run(workload: Any) -> Run:
    from tolvane import _engine
    from tolvane.core import _columns

    inputs = _prepared(workload)
    arrays = (
        inputs.trade_price,
        inputs.close,
        inputs.high,
        inputs.low,
        inputs.open,
        inputs.price_index,
        inputs.price_column_of,
        inputs.pos_values,
        inputs.pos_index,
        inputs.pos_columns,
        inputs.resample,
    )
    options = _fixed_options(_engine._engine_options(inputs))

    def run(fee: float) -> Any:
        return _columns.run(*arrays, fee_ratio=fee, tax_ratio=0.0, **options)["equity"]

    return run


def contract_entry(workload: Any) -> Run:
    from tolvane.core import ravelin

    inputs = _prepared(workload)
    arrays = inputs.engine_arrays()
    options = _fixed_options(dict(inputs.engine_options))

    def run(fee: float) -> Any:
        return ravelin.backtest_(*arrays, fee_ratio=fee, tax_ratio=0.0, **options)

    return run


RUNNERS: dict[str, Callable[[Any], Run]] = {"tolvane": FrontDoor, "columns": columnar_run, "backtest_": contract_entry}
