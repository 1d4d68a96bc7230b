"""The trade and excursion tables of a run, from its record's columns."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from tolvane._dates import dates_at
from tolvane._engine import EXIT_REASONS
from tolvane._records import EXCURSION_FIELDS
from tolvane.report._record import RunRecord


def trade_table(record: RunRecord) -> pd.DataFrame:
    """The trades of `record` as :attr:`tolvane.Report.trades` gives them."""
    dates = record.dates
    entry, exit_ = record.entry_bar, record.exit_bar
    open_ = exit_ < 0
    touched = bool(record.settings.get("touched_exit", False))
    exit_block = record.layout.exit_blocks(record.profiles)
    columns: dict[str, Any] = {
        "ticker": record.tickers.take(record.trade_stock),  # the Index keeps its dtype: None stays None
        "entry_date": dates_at(dates, entry),
        "exit_date": dates_at(dates, np.where(open_, -1, exit_)),
        "signal_date": dates_at(dates, entry - 1),
        "exit_signal_date": dates_at(dates, np.where(open_, -1, exit_ if touched else exit_ - 1)),
        "exit_reason": pd.Categorical.from_codes(
            record.exit_reason.astype(np.int64), categories=pd.Index(EXIT_REASONS)
        ),
        "weight": record.entry_weight,
        "entry_price": record.money.entry_price,
        "exit_price": record.money.exit_price,
        "quantity": record.money.quantity,
        "profit": record.money.profit,
        "costs": record.money.costs,
        "bars_held": np.where(open_, len(dates) - entry, exit_ - entry),
    }
    block = dict(zip(EXCURSION_FIELDS, exit_block.T))
    columns["return"] = block.pop("return")
    columns.update(block)
    columns["profit_bars"] = columns["profit_bars"].astype(np.int64)
    columns["entry_bar"], columns["exit_bar"] = entry, exit_
    frame = pd.DataFrame(columns, copy=False)
    frame.index.name = "trade"
    return frame


def excursion_table(record: RunRecord) -> pd.DataFrame:
    """The sampled excursion profiles of `record`'s trades as
    :attr:`tolvane.Report.excursions` gives them."""
    layout = record.layout
    names = ["trade", "offset", *EXCURSION_FIELDS]
    if layout.window <= 0 or not len(record.profiles):
        return pd.DataFrame(
            {
                name: pd.Series(dtype=np.int64 if name in ("trade", "offset", "profit_bars") else np.float64)
                for name in names
            }
        )
    blocks = layout.sampled_blocks(record.profiles)
    # Unsampled blocks hold -1 everywhere.
    trade, sample = np.nonzero(blocks[:, :, layout.field("profit_bars")] >= 0)
    values = blocks[trade, sample]
    frame = pd.DataFrame({"trade": trade.astype(np.int64), "offset": (sample * layout.step).astype(np.int64)})
    for k, name in enumerate(EXCURSION_FIELDS):
        frame[name] = values[:, k]
    frame["profit_bars"] = frame["profit_bars"].astype(np.int64)
    return frame
