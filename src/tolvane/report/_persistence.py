"""A report's record as JSON-ready data, and back.

The data is strict JSON: NaN is null, infinities are text, dates are ISO
text restored in their time zone and unit; numbers round-trip exactly.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any, Literal, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from tolvane._engine import EXIT_REASONS, OrderLog, TradeMoney
from tolvane._operations import StockOperations
from tolvane._records import ExcursionLayout
from tolvane._types import FloatArray, IntArray
from tolvane.report._record import RunRecord, TradedPrices

FORMAT = "tolvane.report"
FORMAT_VERSION = 2
#: Versions this tolvane reads: version 1 has no orders, money or prices.
READABLE_VERSIONS = (1, 2)


def to_data(record: RunRecord, stats: pd.Series) -> dict[str, Any]:
    """The record and its statistics as JSON-ready data."""
    operations = record.operations
    return {
        "format": FORMAT,
        "version": FORMAT_VERSION,
        "settings": {name: _json_value(value) for name, value in record.settings.items()},
        "stats": {name: _json_value(value) for name, value in stats.items()},
        "timezone": None if record.dates.tz is None else str(record.dates.tz),
        "date_unit": record.dates.unit,
        "date_frequency": record.dates.freqstr,
        "dates": _iso(record.dates),
        "position_dates": _iso(record.position_dates),
        "tickers": [_ticker_to_json(ticker) for ticker in record.tickers],
        "equity": _floats(record.equity),
        "capital": record.capital,
        "benchmark": None
        if record.benchmark is None
        else {"name": _json_value(record.benchmark.name), "prices": _floats(record.benchmark.to_numpy())},
        "trades": {
            "ticker": [_json_value(ticker) for ticker in record.tickers[record.trade_stock]],
            "stock": record.trade_stock.tolist(),
            "entry_bar": record.entry_bar.tolist(),
            "exit_bar": record.exit_bar.tolist(),
            "weight": _floats(record.entry_weight),
            "exit_reason": [EXIT_REASONS[code] for code in record.exit_reason.tolist()],
            "profile": [_floats(profile) for profile in record.profiles],
            **{name: _floats(getattr(record.money, name)) for name in TradeMoney.__dataclass_fields__},
        },
        "orders": {
            name: (_floats(values) if values.dtype.kind == "f" else values.tolist())
            for name, values in vars(record.orders).items()
        },
        "prices": {
            "stocks": record.prices.stocks.tolist(),
            "trade_price": [_floats(row) for row in record.prices.trade_price],
            "close": [_floats(row) for row in record.prices.close],
        },
        "operations": {
            "weights": {str(sid): _json_value(w) for sid, w in operations.weights.items()},
            "next_weights": {str(sid): _json_value(w) for sid, w in operations.next_weights.items()},
            "actions": {str(sid): a for sid, a in operations.actions.items()},
            "weight_row": operations.weight_row,
            "next_weight_row": operations.next_weight_row,
        },
    }


def from_data(data: Mapping[str, Any]) -> RunRecord:
    """The record that :func:`to_data` wrote."""
    if data.get("format") != FORMAT:
        raise ValueError("not a saved tolvane report (its 'format' is not 'tolvane.report')")
    if data.get("version") not in READABLE_VERSIONS:
        raise ValueError(
            f"saved report version {data.get('version')} is not supported "
            f"(this tolvane reads versions {', '.join(map(str, READABLE_VERSIONS))})"
        )
    timezone, unit = data["timezone"], data["date_unit"]
    decoded = [_ticker_from_json(ticker) for ticker in data["tickers"]]
    # Text tickers take pandas' text dtype, as they had; any other keeps each ticker as it is.
    kind = None if all(isinstance(ticker, str) for ticker in decoded) else object
    tickers = pd.Index(decoded, dtype=kind, tupleize_cols=False)
    trades = data["trades"]
    dates = pd.DatetimeIndex(_dates(data["dates"], timezone, unit), freq=data["date_frequency"])
    benchmark = data["benchmark"]
    operations = data["operations"]
    settings = dict(data["settings"])
    width = ExcursionLayout.of_settings(settings).width
    return RunRecord(
        dates=dates,
        tickers=tickers,
        position_dates=_dates(data["position_dates"], timezone, unit),
        equity=_array(data["equity"]),
        capital=data.get("capital"),
        trade_stock=_trade_stocks(trades, tickers),
        entry_bar=np.asarray(trades["entry_bar"], dtype=np.int64),
        exit_bar=np.asarray(trades["exit_bar"], dtype=np.int64),
        entry_weight=_array(trades["weight"]),
        exit_reason=_reason_codes(trades, len(trades["entry_bar"])),
        profiles=_array(trades["profile"]).reshape(len(trades["entry_bar"]), width),
        operations=StockOperations(
            weights={int(sid): _float(w) for sid, w in operations["weights"].items()},
            next_weights={int(sid): _float(w) for sid, w in operations["next_weights"].items()},
            actions={int(sid): str(a) for sid, a in operations["actions"].items()},
            weight_row=int(operations["weight_row"]),
            next_weight_row=int(operations["next_weight_row"]),
        ),
        money=_trade_money(trades, len(trades["entry_bar"])),
        orders=_orders(data.get("orders")),
        prices=_prices(data.get("prices"), len(dates)),
        settings=settings,
        benchmark=None
        if benchmark is None
        else pd.Series(_array(benchmark["prices"]), index=dates, name=benchmark["name"]),
    )


def _trade_money(trades: Mapping[str, Any], count: int) -> TradeMoney:
    """The trades' money; a report saved before it was kept has NaN."""
    return TradeMoney(
        **{
            name: _array(trades[name]) if name in trades else np.full(count, math.nan)
            for name in TradeMoney.__dataclass_fields__
        }
    )


_ORDER_KINDS: dict[str, Any] = {"bar": np.int64, "stock": np.int64, "side": np.int8, "reason": np.uint8}


def _orders(orders: Mapping[str, Any] | None) -> OrderLog:
    """The order log; a report saved before orders were kept has none."""
    columns = {}
    for name in OrderLog.__dataclass_fields__:
        kind = _ORDER_KINDS.get(name, np.float64)
        if orders is None:
            columns[name] = np.zeros(0, dtype=kind)
        else:
            columns[name] = _array(orders[name]) if kind is np.float64 else np.asarray(orders[name], dtype=kind)
    return OrderLog(**columns)


def _prices(prices: Mapping[str, Any] | None, bars: int) -> TradedPrices:
    if prices is None:
        return TradedPrices(np.zeros(0, dtype=np.int64), np.zeros((bars, 0)), np.zeros((bars, 0)))
    stocks = np.asarray(prices["stocks"], dtype=np.int64)
    return TradedPrices(
        stocks,
        _array(prices["trade_price"]).reshape(bars, len(stocks)),
        _array(prices["close"]).reshape(bars, len(stocks)),
    )


def _reason_codes(trades: Mapping[str, Any], count: int) -> npt.NDArray[np.uint8]:
    """Exit reasons by code; a report saved before reasons were kept gives the
    open trades "open" and the others "rebalance"."""
    if "exit_reason" in trades:
        return np.array([EXIT_REASONS.index(reason) for reason in trades["exit_reason"]], dtype=np.uint8)
    closed = np.asarray(trades["exit_bar"], dtype=np.int64).reshape(count) >= 0
    return np.where(closed, EXIT_REASONS.index("rebalance"), EXIT_REASONS.index("open")).astype(np.uint8)


def _float(value: Any) -> float:
    return math.nan if value is None else float(value)


def _floats(values: Any) -> list[float | None]:
    return [None if value != value else value for value in np.asarray(values, dtype=np.float64).tolist()]


def _array(values: Any) -> FloatArray:
    return np.array([math.nan if value is None else value for value in _flatten(values)], dtype=np.float64)


def _flatten(values: Any) -> list[Any]:
    if values and isinstance(values[0], list):
        return [item for row in values for item in row]
    return list(values)


def _json_value(value: Any) -> Any:
    """A value JSON can hold: numbers (NaN as null), text, dates as ISO text."""
    if value is None or value is pd.NaT or isinstance(value, (bool, str)):
        return None if value is pd.NaT else value
    if isinstance(value, pd.Timestamp):
        return value.isoformat()
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        number = float(value)
        return number if math.isfinite(number) else (None if number != number else str(number))
    return str(value)


def _iso(dates: pd.DatetimeIndex) -> list[str]:
    """ISO 8601 text of the dates; tz-aware ones in UTC (a zone's offset may
    hold seconds before 1900, which ISO readers refuse)."""
    utc = dates.tz_convert("UTC") if dates.tz is not None else dates
    return [stamp.isoformat() for stamp in utc]


def _trade_stocks(trades: Mapping[str, Any], tickers: pd.Index) -> IntArray:
    """Each trade's position column (a report saved before they were kept
    names the trade's ticker only)."""
    if "stock" in trades:
        return np.asarray(trades["stock"], dtype=np.int64)
    return np.asarray(tickers.get_indexer(pd.Index(trades["ticker"], dtype=tickers.dtype)), dtype=np.int64)


def _ticker_to_json(ticker: Any) -> Any:
    """A ticker as JSON keeps it: text, numbers, True/False and None as they
    are; a timestamp, a tuple or a number JSON cannot hold tagged by kind;
    anything else by its text."""
    if ticker is None or isinstance(ticker, (bool, str)):
        return ticker
    if isinstance(ticker, (int, np.integer)):
        return int(ticker)
    if isinstance(ticker, (float, np.floating)):
        number = float(ticker)
        return number if math.isfinite(number) else {"float": repr(number)}
    if isinstance(ticker, pd.Timestamp):
        return {
            "timestamp": (ticker.tz_convert("UTC") if ticker.tz is not None else ticker).isoformat(),
            "unit": ticker.unit,
            "timezone": None if ticker.tz is None else str(ticker.tz),
        }
    if isinstance(ticker, tuple):
        return {"tuple": [_ticker_to_json(part) for part in ticker]}
    return {"text": str(ticker)}


def _ticker_from_json(value: Any) -> Any:
    if not isinstance(value, dict):
        return value
    if "float" in value:
        return float(value["float"])
    if "timestamp" in value:
        stamp = pd.Timestamp(value["timestamp"])
        return (stamp.tz_convert(value["timezone"]) if value["timezone"] else stamp).as_unit(value["unit"])
    if "tuple" in value:
        return tuple(_ticker_from_json(part) for part in value["tuple"])
    return value["text"]


def _dates(values: list[str], timezone: str | None, unit: str) -> pd.DatetimeIndex:
    if timezone is None:
        dates = pd.DatetimeIndex(pd.to_datetime(values, format="ISO8601"))
    else:
        dates = pd.DatetimeIndex(pd.to_datetime(values, format="ISO8601", utc=True)).tz_convert(timezone)
    return dates.as_unit(cast(Literal["s", "ms", "us", "ns"], unit))
