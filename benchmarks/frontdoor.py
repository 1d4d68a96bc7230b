"""The front door on DataFrames, for the benchmark suite's "L as DataFrames"
row: `tolvane.backtest` (trade table included), the bare engine call on the
very arrays the front door hands the engine, and the fastest fair peer setup
fed from the same DataFrames. benchmarks/worker.py serves them as the engines
"frontdoor", "frontdoor bare" and "peer frames".
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

Run = Callable[[float], Any]


def frames(workload: Any) -> dict[str, pd.DataFrame]:
    """The workload as the DataFrames a user would pass."""
    dates = pd.DatetimeIndex(workload.index.astype("datetime64[ns]"))
    tickers = pd.Index(list(workload.labels))
    return {
        "position": pd.DataFrame(workload.weights, index=dates[workload.weight_bars], columns=tickers),
        "close": pd.DataFrame(workload.close, index=dates, columns=tickers),
        "trade_price": pd.DataFrame(workload.price, index=dates, columns=tickers),
    }


def front_door(workload: Any) -> Run:
    import tolvane

    data = frames(workload)

    def run(fee: float) -> Any:
        report = tolvane.backtest(
            data["position"], data["close"], trade_price=data["trade_price"], fee_ratio=fee, tax_ratio=0.0
        )
        report.trades  # noqa: B018 -- the trade table is built on first use: time it with the run
        return report.equity.to_numpy()

    return run


def bare_engine(workload: Any) -> Run:
    from tolvane import _inputs, _options
    from tolvane.core import ravelin

    data = frames(workload)
    inputs = _inputs.prepare(data["position"], data["close"], _options.Options(trade_price=data["trade_price"]))
    arrays = inputs.engine_arrays()
    options = {name: value for name, value in inputs.engine_options.items() if name not in ("fee_ratio", "tax_ratio")}

    def run(fee: float) -> Any:
        return ravelin.backtest_(*arrays, fee_ratio=fee, tax_ratio=0.0, **options)

    return run


def peer(workload: Any) -> Run:
    import peer_setups

    data = frames(workload)
    position, close = data["position"], data["close"]
    # A target row dated on a bar is traded at the next bar.
    exec_bars = np.searchsorted(close.index.asi8, position.index.asi8, side="right")
    price, closes, weights = data["trade_price"].to_numpy(), close.to_numpy(), position.to_numpy()

    def run(fee: float) -> Any:
        return peer_setups.fastest(price, closes, weights, exec_bars, fee)

    return run


RUNNERS = {"frontdoor": front_door, "frontdoor bare": bare_engine, "peer frames": peer}
