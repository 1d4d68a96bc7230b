"""A sweep's grid: the parameter sets it runs, checked and put in the grid's
order before anything runs."""

from __future__ import annotations

import difflib
import itertools
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Union

import numpy as np
import pandas as pd

from tolvane._inputs import prepare
from tolvane._options import DEFAULTS, Options
from tolvane.errors import InputError, InputTypeError, TolvaneError
from tolvane.sweep._worker import STRATEGY, SharedInputs

#: A grid: a dict of value lists (or of mappings name -> value, for values
#: that are not numbers or text), whose Cartesian product is swept; or a list
#: of dicts, each one parameter set.
Grid = Union[Mapping[str, Union[Iterable[Any], Mapping[str, Any]]], Sequence[Mapping[str, Any]]]


@dataclass(frozen=True)
class PlannedRun:
    number: int  # its place in the grid's order
    parameters: Mapping[str, Any]  # values, or names for strategies and named variants


@dataclass(frozen=True)
class SweepPlan:
    shared: SharedInputs
    names: tuple[str, ...]  # the swept parameters, in order
    runs: tuple[PlannedRun, ...]


def shown(value: Any) -> str:
    if isinstance(value, (pd.DataFrame, pd.Series, pd.Index, np.ndarray)):
        return f"a {type(value).__name__}"
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def option_name(name: object, where: str) -> str:
    if isinstance(name, str) and name in DEFAULTS:
        return name
    close = difflib.get_close_matches(str(name), list(DEFAULTS), n=1)
    hint = f" (did you mean {close[0]!r}?)" if close else ""
    raise InputTypeError(f"{where} {name!r} is not an option of tolvane.backtest{hint}")


def _scalar(name: str, value: Any) -> Any:
    """A swept value as the table, the store and the heatmap keep it."""
    if value is None or type(value) in (bool, int, float, str):
        return value
    if isinstance(value, (np.bool_, np.integer, np.floating, np.str_)):
        return value.item()
    raise InputTypeError(
        f"grid: {name}={shown(value)} cannot be swept as a value (values are numbers, text, "
        f"True/False or None); name such values instead: grid={{{name!r}: {{'a name': value, ...}}}}"
    )


def _strategy(name: Any, strategies: Mapping[str, pd.DataFrame] | None, where: str) -> str:
    if strategies is None:
        raise InputError(
            f"{where}: 'strategy' picks a position frame by name; give position as a mapping "
            "name -> DataFrame to sweep strategies"
        )
    if name not in strategies:
        raise InputError(
            f"{where}: strategy {name!r} is not in the position mapping (it has {', '.join(map(repr, strategies))})"
        )
    return str(name)


def _from_mapping(
    grid: Mapping[str, Any], strategies: Mapping[str, pd.DataFrame] | None
) -> tuple[list[str], list[dict[str, Any]], dict[str, dict[str, Any]]]:
    names: list[str] = []
    axes: list[list[Any]] = []
    variants: dict[str, dict[str, Any]] = {}
    for name, values in grid.items():
        if name != STRATEGY:
            option_name(name, "grid: parameter")
        if isinstance(values, Mapping) and name != STRATEGY:
            if not all(isinstance(label, str) for label in values):
                raise InputTypeError(f"grid: the named values of {name} must be named by text")
            variants[name] = dict(values)
            axis = list(values)
        elif isinstance(values, (str, bytes, Mapping, pd.DataFrame)) or not isinstance(values, Iterable):
            raise InputTypeError(
                f"grid: {name} must be a list of values"
                f"{'' if name == STRATEGY else ' or a mapping name -> value'}, got {shown(values)}"
            )
        elif name == STRATEGY:
            axis = [_strategy(label, strategies, "grid") for label in values]
        else:
            axis = [_scalar(name, value) for value in values]
        if not axis:
            raise InputError(f"grid: {name} has no values, so the sweep would run nothing")
        names.append(name)
        axes.append(axis)
    return names, [dict(zip(names, values)) for values in itertools.product(*axes)], variants


def _from_sequence(
    grid: Sequence[Mapping[str, Any]], strategies: Mapping[str, pd.DataFrame] | None
) -> tuple[list[str], list[dict[str, Any]]]:
    if not grid:
        raise InputError("grid is an empty list, so the sweep would run nothing")
    sets: list[dict[str, Any]] = []
    for k, given in enumerate(grid):
        if not isinstance(given, Mapping):
            raise InputTypeError(f"grid[{k}] must be a dict of tolvane.backtest keyword arguments, got {shown(given)}")
        sets.append(
            {
                name: _strategy(value, strategies, f"grid[{k}]")
                if name == STRATEGY
                else _scalar(option_name(name, f"grid[{k}]: parameter"), value)
                for name, value in given.items()
            }
        )
    names = list(dict.fromkeys(name for parameter_set in sets for name in parameter_set))
    if STRATEGY in names and not all(STRATEGY in parameter_set for parameter_set in sets):
        raise InputError(
            "grid: some parameter sets name a strategy and others do not; name it in all of them, "
            "or in none to run every parameter set with every strategy"
        )
    # A parameter a set leaves out takes tolvane.backtest's default.
    return names, [{name: parameter_set.get(name, DEFAULTS.get(name)) for name in names} for parameter_set in sets]


def plan_sweep(
    position: pd.DataFrame | Mapping[str, pd.DataFrame],
    close: pd.DataFrame,
    grid: Grid,
    common: Mapping[str, Any],
    *,
    keep_returns: bool = False,
) -> SweepPlan:
    for name in common:
        option_name(name, "fixed option")
    strategies: Mapping[str, pd.DataFrame] | None = None
    if isinstance(position, Mapping):
        if not position:
            raise InputError("position is an empty mapping: give at least one strategy (name -> DataFrame)")
        for name, frame in position.items():
            if not isinstance(name, str) or not isinstance(frame, pd.DataFrame):
                raise InputTypeError(
                    f"position must map strategy names (text) to DataFrames, got {name!r}: {shown(frame)}"
                )
        strategies = dict(position)
    try:
        if isinstance(grid, Mapping):
            names, sets, variants = _from_mapping(grid, strategies)
        elif isinstance(grid, Sequence) and not isinstance(grid, (str, bytes)):
            (names, sets), variants = _from_sequence(grid, strategies), {}
        else:
            raise InputTypeError(f"grid must be a dict of value lists or a list of dicts, got {shown(grid)}")
    except TolvaneError as problem:
        problem.argument = problem.argument or "grid"
        raise
    if strategies is not None and STRATEGY not in names:
        names = [STRATEGY, *names]
        sets = [{STRATEGY: name, **parameter_set} for name in strategies for parameter_set in sets]
    both = [name for name in names if name in common]
    if both:
        raise InputError(
            f"{', '.join(both)} is both swept (in grid) and fixed (a keyword argument): give each option in one place"
        )
    shared = SharedInputs(
        position=position if strategies is None else strategies,
        close=close,
        common=dict(common),
        variants=variants,
        keep_returns=keep_returns,
    )
    return SweepPlan(
        shared, tuple(names), tuple(PlannedRun(number, parameter_set) for number, parameter_set in enumerate(sets))
    )


def check_shared_inputs(shared: SharedInputs, first: PlannedRun) -> None:
    """Refuse at once a market that no run can use (frames, fixed options)
    instead of recording the same failure for every run."""
    strategies = shared.position.items() if isinstance(shared.position, Mapping) else [(None, shared.position)]
    swept = shared.arguments(first.parameters)[1]
    for name, position in strategies:
        try:
            prepare(position, shared.close, Options(**shared.common))
        except (ValueError, TypeError) as error:
            try:  # the defaults of the swept options may be what does not fit
                prepare(position, shared.close, Options(**swept))
            except (ValueError, TypeError):
                if name is None:
                    raise error from None
                kind = InputTypeError if isinstance(error, TypeError) else InputError
                raise kind(f"strategy {name!r}: {error}", argument="position") from None
