"""The sweep and the walk-forward validation of a grid on a small market."""

import pytest
from research_markets import market, walk

import tolvane


@pytest.fixture(scope="session")
def strategies_and_close():
    return market()


@pytest.fixture(scope="session")
def swept(strategies_and_close):
    """Every strategy with three stop levels, one of them refused (its runs fail), and two calendars."""
    strategies, close = strategies_and_close
    grid = {"strategy": list(strategies), "stop_loss": [None, 0.05, -1.0], "rebalance": ["W-FRI", "ME"]}
    return tolvane.sweep(strategies, close, grid=grid, keep_returns=True, progress=False)


@pytest.fixture(scope="session")
def walked(strategies_and_close):
    """Five folds of 60 bars."""
    return walk(*strategies_and_close, 60)


@pytest.fixture(scope="session")
def walked_idle(strategies_and_close):
    """Five folds of 60 bars on strategies that hold nothing before bar 200:
    no run has a Sharpe ratio on the first two training windows, which stay
    out of the market."""
    strategies, close = strategies_and_close
    idle = {
        name: frame.mul((frame.index >= close.index[200]).astype(float), axis=0) for name, frame in strategies.items()
    }
    result = walk(idle, close, 60)
    assert result.folds["run"].isna().tolist() == [True, True, False, False, False]
    return result
