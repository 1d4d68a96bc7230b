"""Keys of a sweep's runs in its store, and the fingerprint of what every run
depends on besides its parameters."""

from __future__ import annotations

import hashlib
import json
from collections.abc import Mapping
from typing import Any

import pandas as pd

from tolvane._options import DEFAULTS
from tolvane._version import __version__
from tolvane.sweep._grid import SweepPlan
from tolvane.sweep._worker import STRATEGY, SharedInputs


def digest(*values: Any) -> str:
    hasher = hashlib.blake2b(digest_size=16)
    for value in values:
        _feed(hasher, value)
    return hasher.hexdigest()


def _feed(hasher: hashlib.blake2b, value: Any) -> None:
    hasher.update(type(value).__qualname__.encode() + b"(")
    if isinstance(value, (pd.DataFrame, pd.Series, pd.Index)):
        if isinstance(value, pd.DataFrame):
            layout = repr((list(value.columns), [str(kind) for kind in value.dtypes], str(value.index.dtype)))
        elif isinstance(value, pd.Series):
            layout = repr((value.name, str(value.dtype), str(value.index.dtype)))
        else:
            layout = repr((value.name, str(value.dtype)))
        hasher.update(layout.encode())
        hasher.update(pd.util.hash_pandas_object(value).to_numpy().tobytes())
    elif isinstance(value, Mapping):
        for key, item in value.items():
            _feed(hasher, key)
            _feed(hasher, item)
    elif isinstance(value, (list, tuple)):
        for item in value:
            _feed(hasher, item)
    else:
        hasher.update(repr(value).encode())
    hasher.update(b")")


def fingerprint(shared: SharedInputs) -> str:
    """What every run depends on besides its parameters."""
    single = shared.position if isinstance(shared.position, pd.DataFrame) else None
    return digest("tolvane", __version__, shared.close, single, dict(sorted(shared.common.items())))


def run_keys(plan: SweepPlan) -> dict[int, str]:
    """Each run's key in a store: its parameters, canonically. A parameter at
    tolvane.backtest's default is left out (so adding a swept option to a grid
    keeps the runs already stored), and a strategy or a named value is keyed
    by its name and a digest of its content (so a changed frame is run again)."""
    digests: dict[str, dict[str, str]] = {
        name: {label: digest(value) for label, value in values.items()} for name, values in plan.shared.variants.items()
    }
    if isinstance(plan.shared.position, Mapping):
        digests[STRATEGY] = {label: digest(frame) for label, frame in plan.shared.position.items()}
    keys = {}
    for planned in plan.runs:
        canonical: dict[str, Any] = {}
        for name, value in planned.parameters.items():
            default = DEFAULTS.get(name)
            if name in digests:
                canonical[name] = [value, digests[name][value]]
            elif not (value == default and isinstance(value, bool) == isinstance(default, bool)):
                canonical[name] = value
        keys[planned.number] = json.dumps(canonical, sort_keys=True)
    return keys
