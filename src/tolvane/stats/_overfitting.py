"""The statistics of backtest overfitting: how much of a backtest's Sharpe
ratio survives the number of trials it was picked from.

Sharpe ratios here are per period (per bar), not annualised: divide an annual
one by the square root of the bars per year. Returns are simple returns; NaN
marks a bar without one.
"""

from __future__ import annotations

import math
import numbers
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from itertools import combinations
from statistics import NormalDist
from typing import TYPE_CHECKING, Literal, NamedTuple, Union

import numpy as np
import numpy.typing as npt

from tolvane._types import FloatArray, IntArray
from tolvane.errors import InputError, InputTypeError

if TYPE_CHECKING:
    import pandas as pd

Returns = Union[npt.ArrayLike, "pd.Series[float]", "pd.DataFrame"]

# A sum of squares keeps its last digits only to about n * 2**-52 of its size:
# a spread below a millionth of the root mean square is rounding, not variation.
_NO_SPREAD = 1e-12
# Numbers held per chunk of combinations for each side, in sample and out (2**20: 8 MiB).
_CHUNK_NUMBERS = 2**20


def probabilistic_sharpe_from_moments(
    sharpe: float, benchmark: float, observations: int, skewness: float, kurtosis: float
) -> float:
    """The probabilistic Sharpe ratio from the moments of the returns.

    The probability that the true Sharpe ratio exceeds ``benchmark`` (Bailey
    and López de Prado, "The Sharpe Ratio Efficient Frontier", Journal of Risk
    15(2), 2012): ``Phi((SR - SR*) * sqrt(T - 1) / sqrt(1 - skewness * SR +
    (kurtosis - 1) / 4 * SR**2))``, Phi the standard normal distribution function.

    SR is ``sharpe`` and SR* ``benchmark``, both per period, and T the number
    of ``observations``. The kurtosis is not the excess one: 3 for normal
    returns. Fewer than 2 observations, or a NaN among the moments, give NaN.

    >>> round(probabilistic_sharpe_from_moments(0.1, 0.0, 251, skewness=0.0, kurtosis=3.0), 4)
    0.9426
    """
    sharpe, benchmark = _number(sharpe, "sharpe"), _number(benchmark, "benchmark")
    skewness, kurtosis = _number(skewness, "skewness"), _number(kurtosis, "kurtosis")
    observations = _count(observations, "observations")
    # Every distribution has kurtosis >= 1 + skewness**2 (the slack covers rounding); with it the
    # radicand is at least (1 - skewness * sharpe / 2)**2, so below 0 only for impossible moments.
    if kurtosis < (1 + skewness**2) * (1 - 1e-9):
        problem = f"kurtosis {kurtosis:g} is below 1 + skewness**2 = {1 + skewness**2:g}, which no returns can have"
        raise InputError(f"{problem}; give the kurtosis itself (3 for normal returns), not the excess kurtosis")
    radicand = 1 - skewness * sharpe + (kurtosis - 1) / 4 * sharpe**2
    if observations < 2 or not radicand > 0:
        return math.nan
    return NormalDist().cdf((sharpe - benchmark) * math.sqrt(observations - 1) / math.sqrt(radicand))


def expected_maximum_sharpe(trials: int, variance: float) -> float:
    """The expected best Sharpe ratio among independent trials without skill.

    ``sqrt(V) * ((1 - g) * Z(1 - 1 / N) + g * Z(1 - 1 / (N * e)))`` for N
    trials whose Sharpe ratios have variance V around a true Sharpe ratio of 0,
    Z the standard normal quantile function and g the Euler-Mascheroni
    constant. One trial's expected maximum is its mean, 0; a NaN variance gives NaN.

    >>> round(expected_maximum_sharpe(100, 0.5 / 250), 4)  # 100 trials, annual variance 0.5, 250 days a year
    0.1132
    """
    trials, variance = _count(trials, "trials"), _number(variance, "variance")
    if trials < 1:
        raise InputError(f"trials must be at least 1, the number of trials tried; got {trials}")
    if variance < 0:
        raise InputError(f"variance must not be negative; got {variance:g}")
    if trials == 1:
        return 0.0
    quantile, gamma = NormalDist().inv_cdf, float(np.euler_gamma)
    return math.sqrt(variance) * ((1 - gamma) * quantile(1 - 1 / trials) + gamma * quantile(1 - 1 / (trials * math.e)))


def deflated_sharpe_from_moments(
    sharpe: float, trials: int, variance: float, observations: int, skewness: float, kurtosis: float
) -> float:
    """The deflated Sharpe ratio from the moments of the returns: the
    probabilistic Sharpe ratio against ``expected_maximum_sharpe(trials,
    variance)`` (Bailey and López de Prado, "The Deflated Sharpe Ratio:
    Correcting for Selection Bias, Backtest Overfitting and Non-Normality",
    Journal of Portfolio Management 40(5), 2014).

    The paper's example: an annual Sharpe ratio of 2.5 over 5 years of daily
    returns, picked among 100 trials whose annual Sharpe ratios have variance 0.5:

    >>> round(deflated_sharpe_from_moments(2.5 / 250**0.5, 100, 0.5 / 250, 1250, -3.0, 10.0), 4)
    0.9004
    """
    benchmark = expected_maximum_sharpe(trials, variance)
    return probabilistic_sharpe_from_moments(sharpe, benchmark, observations, skewness, kurtosis)


def probabilistic_sharpe(returns: Returns, benchmark: float = 0.0) -> float | FloatArray | pd.Series[float]:
    """The probability that the true Sharpe ratio of returns exceeds ``benchmark``.

    See :func:`probabilistic_sharpe_from_moments`, here with the per-period
    Sharpe ratio mean / standard deviation (ddof=1), the skewness m3 / m2**1.5
    and the kurtosis m4 / m2**2 (m the central moments) of the returns; NaN
    with fewer than 2 returns or no spread.

    Parameters
    ----------
    returns : array_like, pandas.Series or pandas.DataFrame
        One series of returns, or a table of bars x trials. NaN returns are left out.
    benchmark : float
        The Sharpe ratio to beat, per period.

    Returns
    -------
    float, numpy.ndarray or pandas.Series
        A float for one series, a value per column of a table (a Series for a DataFrame).

    Examples
    --------
    >>> round(probabilistic_sharpe([0.02, 0.0, 0.02, 0.0]), 4)  # SR sqrt(3/4), skewness 0, kurtosis 1: Phi(1.5)
    0.9332
    """
    table, columns = _table(returns, "returns")
    return _per_column(table, columns, _number(benchmark, "benchmark"))


def deflated_sharpe(returns: Returns, trial_sharpes: npt.ArrayLike) -> float | FloatArray | pd.Series[float]:
    """The deflated Sharpe ratio of returns picked among trials: their
    :func:`probabilistic_sharpe` against the :func:`expected_maximum_sharpe`
    of that many trials without skill.

    Parameters
    ----------
    returns : array_like, pandas.Series or pandas.DataFrame
        As for :func:`probabilistic_sharpe`, and so is the result.
    trial_sharpes : array_like
        The per-period Sharpe ratios of all the trials tried, the chosen one
        included (NaN left out): N is their number, V their variance (ddof=1).

    Examples
    --------
    >>> chosen = np.random.default_rng(7).normal(0.001, 0.01, 1000)
    >>> bool(deflated_sharpe(chosen, [0.02, -0.01, 0.005]) < probabilistic_sharpe(chosen))
    True
    """
    table, columns = _table(returns, "returns")
    sharpes, _ = _table(trial_sharpes, "trial_sharpes")
    known = sharpes[~np.isnan(sharpes)]
    if sharpes.ndim != 1 or len(known) < 2:
        raise InputError(f"trial_sharpes must list the Sharpe ratios of at least 2 trials; got {sharpes.tolist()}")
    benchmark = expected_maximum_sharpe(len(known), float(np.var(known, ddof=1)))
    return _per_column(table, columns, benchmark)


class Degradation(NamedTuple):
    """The least-squares line ``out_of_sample ≈ slope * in_sample + intercept``."""

    slope: float
    intercept: float


@dataclass(frozen=True, eq=False)
class PBOResult:
    """What :func:`pbo` found over the combinations of in-sample blocks.

    The arrays hold one element per combination, in the order of
    ``itertools.combinations(range(splits), splits // 2)`` over the blocks that
    are in sample (block 0 holds the earliest bars).

    Attributes
    ----------
    pbo : float
        The probability of backtest overfitting: the share of logits <= 0, of
        combinations whose in-sample best trial is no better than the median out of sample.
    logits : numpy.ndarray
        ``ln(w / (1 - w))``, w the out-of-sample rank of the in-sample best
        trial over N + 1 (rank 1 the worst trial, N the best, ties averaged).
    chosen : numpy.ndarray
        The position (column) of the in-sample best trial, the first of equals.
    in_sample, out_of_sample : numpy.ndarray
        That trial's metric in sample and out of sample.
    degradation : Degradation
        The out-of-sample metric regressed on the in-sample one.
    probability_of_loss : float
        The share of combinations whose chosen trial's out-of-sample metric is below 0.
    combinations, splits, trials : int
        C(splits, splits / 2), the number of blocks and the number of trials.
    """

    pbo: float
    logits: FloatArray
    chosen: IntArray
    in_sample: FloatArray
    out_of_sample: FloatArray
    degradation: Degradation
    probability_of_loss: float
    combinations: int
    splits: int
    trials: int


def pbo(
    returns: npt.ArrayLike | pd.DataFrame, splits: int = 16, metric: Literal["sharpe", "mean", "total"] = "sharpe"
) -> PBOResult:
    """The probability of backtest overfitting of a panel of trials, as a :class:`PBOResult`.

    Combinatorially symmetric cross-validation, after Bailey, Borwein, López de
    Prado and Zhu, "The Probability of Backtest Overfitting", Journal of
    Computational Finance 20(4), 2017: the bars are cut into ``splits``
    contiguous blocks as by :func:`numpy.array_split`; each choice of half of
    them is the in-sample set once, the other half out of sample. The trial
    with the best in-sample metric is ranked among all trials out of sample.

    Parameters
    ----------
    returns : array_like or pandas.DataFrame
        Returns per bar, bars x trials (one column per trial, at least 2).
        NaN returns are left out; a trial without any is refused.
    splits : int
        The number of blocks S: even, at least 2, at most the number of bars.
        C(S, S/2) combinations are visited (12,870 for 16).
    metric : {"sharpe", "mean", "total"}
        Per-bar mean over standard deviation (ddof=1), mean return, or
        compounded return. A trial whose metric is NaN on a side (no returns
        there, or a Sharpe ratio without spread) is never chosen and ranks
        below every number out of sample; a combination where no trial has an
        in-sample metric has a NaN logit, left out of ``pbo``.

    Examples
    --------
    >>> rng = np.random.default_rng(1)
    >>> noise = rng.normal(0.0, 0.01, (1000, 20))
    >>> noise[:, 3] += 0.002  # one trial with an edge
    >>> result = pbo(noise, splits=8)
    >>> result.combinations, result.pbo, bool((result.chosen == 3).all())
    (70, 0.0, True)
    """
    table, columns = _table(returns, "returns")
    if table.ndim != 2 or table.shape[1] < 2:
        raise InputError(f"returns must be a table of bars x trials, at least 2 trials; got shape {table.shape}")
    bars, trials = table.shape
    empty = np.flatnonzero(np.isnan(table).all(axis=0))
    if len(empty):
        names = ", ".join(str(position) if columns is None else repr(columns[int(position)]) for position in empty)
        raise InputError(f"returns has only NaN in trials (columns) {names}; leave them out")
    splits = _count(splits, "splits")
    if splits < 2 or splits % 2 or splits > bars:
        raise InputError(f"splits must be even, at least 2 and at most the {bars} bars of returns; got {splits}")
    if metric not in ("sharpe", "mean", "total"):
        refusal = InputError if isinstance(metric, str) else InputTypeError
        raise refusal(f'metric must be "sharpe", "mean" or "total"; got {metric!r}')
    blocks = np.array(list(combinations(range(splits), splits // 2)))  # each combination's in-sample blocks
    in_sample = (blocks[:, :, np.newaxis] == np.arange(splits)).any(axis=1)
    block = np.repeat(np.arange(splits), bars // splits + (np.arange(splits) < bars % splits))
    ranked = (_rank(*pair) for pair in _metric_pairs(table, block, in_sample, metric))
    chosen, inside, outside, logits = (np.concatenate(part) for part in zip(*ranked))
    with np.errstate(invalid="ignore"):
        share = float(np.sum(logits <= 0) / np.sum(~np.isnan(logits)))
        loss = float(np.sum(outside < 0) / np.sum(~np.isnan(outside)))
    for array in (chosen, inside, outside, logits):
        array.setflags(write=False)
    degradation = _degradation(inside, outside)
    return PBOResult(share, logits, chosen, inside, outside, degradation, loss, len(in_sample), splits, trials)


def _metric_pairs(
    table: FloatArray, block: IntArray, in_sample: npt.NDArray[np.bool_], metric: str
) -> Iterator[tuple[FloatArray, FloatArray]]:
    """The metrics of both sides of each combination, a chunk of combinations at a time."""
    by_block = _block_sums(table, block, metric)
    flat = by_block.reshape(len(by_block), -1)
    chunk = max(1, _CHUNK_NUMBERS // flat.shape[1])
    for first in range(0, len(in_sample), chunk):
        sides = in_sample[first : first + chunk].astype(np.float64)
        shape = (len(sides), *by_block.shape[1:])
        # Out of sample by its own product, not as the whole less in sample: a
        # difference would leave rounding where a flat trial has no spread.
        inside, outside = (sides @ flat).reshape(shape), ((1 - sides) @ flat).reshape(shape)
        yield _finish(metric, inside), _finish(metric, outside)


def _block_sums(table: FloatArray, block: IntArray, metric: str) -> FloatArray:
    """Per block, the sums a metric is made of: block x sum (the count first) x trial."""
    finite = ~np.isnan(table)
    if metric == "sharpe":
        centered = table - np.nanmean(table, axis=0)  # keeps the sum of squares from swamping the spread
        parts = [finite, table, centered, centered**2]
    elif metric == "mean":
        parts = [finite, table]
    else:  # the product of the growth factors, as sign, zeros and logarithm of the size
        growth = 1 + table
        parts = [finite, np.log(np.abs(np.where(growth == 0, 1.0, growth))), growth < 0, growth == 0]
    starts = np.flatnonzero(np.diff(block, prepend=-1))
    return np.stack([np.add.reduceat(np.where(finite, part, 0.0), starts, axis=0) for part in parts], axis=1)


def _finish(metric: str, sums: FloatArray) -> FloatArray:
    count = sums[:, 0]
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        if metric == "mean":
            return sums[:, 1] / count
        if metric == "total":
            product = np.where(sums[:, 3] > 0, 0.0, np.where(sums[:, 2] % 2, -1.0, 1.0) * np.exp(sums[:, 1]))
            return np.where(count > 0, product - 1, np.nan)
        centered, squares = sums[:, 2], sums[:, 3]
        spread = squares - centered**2 / count
        spread = np.where(spread > _NO_SPREAD * squares, spread, np.nan)
        return np.asarray(sums[:, 1] / count / np.sqrt(spread / (count - 1)), dtype=np.float64)


def _rank(inside: FloatArray, outside: FloatArray) -> tuple[IntArray, FloatArray, FloatArray, FloatArray]:
    """The in-sample best trial of each combination, its metric on both sides
    and the logit of its out-of-sample rank (NaN counting as the lowest)."""
    ranked_inside = np.where(np.isnan(inside), -np.inf, inside)
    ranked_outside = np.where(np.isnan(outside), -np.inf, outside)
    rows, best = np.arange(len(inside)), np.argmax(ranked_inside, axis=1)
    score = ranked_outside[rows, best, np.newaxis]
    rank = np.sum(ranked_outside < score, axis=1) + (np.sum(ranked_outside == score, axis=1) + 1) / 2
    logit = np.log(rank / (inside.shape[1] + 1 - rank))
    logit[np.isneginf(ranked_inside[rows, best])] = np.nan
    return best, inside[rows, best], outside[rows, best], logit


def _degradation(inside: FloatArray, outside: FloatArray) -> Degradation:
    known = np.isfinite(inside) & np.isfinite(outside)
    x, y = inside[known], outside[known]
    if len(x) < 2 or np.ptp(x) == 0:
        return Degradation(math.nan, math.nan)
    return Degradation(*(float(coefficient) for coefficient in np.polyfit(x, y, 1)))


def _per_column(table: FloatArray, columns: pd.Index | None, benchmark: float) -> float | FloatArray | pd.Series[float]:
    """The probabilistic Sharpe ratio of each column (of a 1-D table, a float)."""
    if table.ndim not in (1, 2):
        raise InputError(f"returns must be one series or a table of bars x trials; got {table.ndim} dimensions")
    matrix = table[:, np.newaxis] if table.ndim == 1 else table
    finite = ~np.isnan(matrix)
    count = finite.sum(axis=0)
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = np.nansum(matrix, axis=0) / count
        deviation = np.where(finite, matrix - mean, 0.0)
        m2, m3, m4 = (np.sum(deviation**power, axis=0) / count for power in (2, 3, 4))
        m2 = np.where(m2 > _NO_SPREAD * (m2 + mean**2), m2, np.nan)
        sharpe = mean / np.sqrt(m2 * count / (count - 1))
        skewness, kurtosis = m3 / m2**1.5, m4 / m2**2
    moments = zip(sharpe.tolist(), count.tolist(), skewness.tolist(), kurtosis.tolist())
    values = np.array([probabilistic_sharpe_from_moments(ratio, benchmark, *rest) for ratio, *rest in moments])
    if table.ndim == 1:
        return float(values[0])
    if columns is not None:
        import pandas as pd  # a DataFrame was given: pandas is loaded

        return pd.Series(values, index=columns, name="probabilistic_sharpe")
    return values


def _table(values: object, name: str) -> tuple[FloatArray, pd.Index | None]:
    """``values`` as floats without infinities, and a DataFrame's columns (else None)."""
    columns = None
    if "pandas" in sys.modules:  # a pandas object exists only once pandas is loaded
        import pandas as pd

        if isinstance(values, pd.DataFrame):
            columns = values.columns
            wrong = [repr(label) for label, dtype in values.dtypes.items() if dtype.kind not in "iuf"]
            if wrong:
                raise InputTypeError(f"{name} must hold numbers; these columns do not: {', '.join(wrong)}")
    raw = np.asarray(values)
    try:
        array = raw.astype(np.float64, copy=False, casting="unsafe" if raw.dtype.kind in "iufO" else "no")
    except (TypeError, ValueError):
        raise InputTypeError(f"{name} must hold numbers; it holds {raw.dtype.name} values") from None
    if np.isinf(array).any():
        raise InputError(f"{name} holds infinite values; give NaN where a value is unknown")
    return array, columns


def _number(value: object, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise InputTypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def _count(value: object, name: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise InputTypeError(f"{name} must be a whole number, not {type(value).__name__}")
    return int(value)
