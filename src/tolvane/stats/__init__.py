"""Statistics of backtests, as pure functions of NumPy arrays (and frames).

- Performance of one run (:mod:`tolvane.stats._performance`): periods per
  year, returns, CAGR, drawdowns, the summary that
  :meth:`tolvane.Report.stats` shows and the statistics of a window of
  returns alone (:func:`return_statistics`).
- Overfitting of many runs (:mod:`tolvane.stats._overfitting`): the
  probabilistic and the deflated Sharpe ratio, the expected maximum Sharpe
  ratio of trials without skill, and the probability of backtest overfitting
  (:func:`pbo`) by combinatorially symmetric cross-validation.
"""

from tolvane.stats._overfitting import (
    Degradation,
    PBOResult,
    deflated_sharpe,
    deflated_sharpe_from_moments,
    expected_maximum_sharpe,
    pbo,
    probabilistic_sharpe,
    probabilistic_sharpe_from_moments,
)
from tolvane.stats._performance import (
    RETURN_STATISTICS,
    cagr,
    held_bars,
    max_drawdown,
    new_position_weights,
    periods_per_year,
    return_statistics,
    simple_returns,
    summary,
)

__all__ = [
    "RETURN_STATISTICS",
    "Degradation",
    "PBOResult",
    "cagr",
    "deflated_sharpe",
    "deflated_sharpe_from_moments",
    "expected_maximum_sharpe",
    "held_bars",
    "max_drawdown",
    "new_position_weights",
    "pbo",
    "periods_per_year",
    "probabilistic_sharpe",
    "probabilistic_sharpe_from_moments",
    "return_statistics",
    "simple_returns",
    "summary",
]
