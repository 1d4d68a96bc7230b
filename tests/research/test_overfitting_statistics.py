"""Probabilistic and deflated Sharpe ratios against their formulas and the paper's example; the
probability of backtest overfitting against direct computation and the rules it obeys."""

import doctest
import itertools
import math
import re
import statistics
from statistics import NormalDist

import numpy as np
import pandas as pd
import pytest

import tolvane.stats._overfitting as overfitting
from tolvane.errors import InputError, InputTypeError
from tolvane.stats._overfitting import (
    deflated_sharpe,
    deflated_sharpe_from_moments,
    expected_maximum_sharpe,
    pbo,
    probabilistic_sharpe,
    probabilistic_sharpe_from_moments,
)

PHI = NormalDist().cdf


def noise(seed, bars, trials):
    return np.random.default_rng(seed).normal(0.0, 0.01, (bars, trials))


def test_docstring_examples_run():
    result = doctest.testmod(overfitting, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0 and result.attempted > 0


class TestSharpeRatios:
    def test_returns_follow_the_formula_with_their_sample_moments(self):
        # Mean 0.01 and sample deviation 0.01 * sqrt(4/3): SR = sqrt(3/4). Skewness 0 and kurtosis 1
        # leave a radicand of 1, so z = SR * sqrt(T - 1) = sqrt(3/4) * sqrt(3) = 1.5.
        assert probabilistic_sharpe([0.02, 0.0, 0.02, 0.0]) == pytest.approx(PHI(1.5), rel=1e-12)
        returns = np.random.default_rng(4).exponential(0.01, 300) - 0.009
        m2, m3, m4 = (np.mean((returns - returns.mean()) ** power) for power in (2, 3, 4))
        sharpe, skewness, kurtosis = returns.mean() / returns.std(ddof=1), m3 / m2**1.5, m4 / m2**2
        z = (sharpe - 0.02) * math.sqrt(299) / math.sqrt(1 - skewness * sharpe + (kurtosis - 1) / 4 * sharpe**2)
        assert probabilistic_sharpe(returns, benchmark=0.02) == pytest.approx(PHI(z), rel=1e-9)
        assert probabilistic_sharpe(returns, benchmark=sharpe) == pytest.approx(0.5)

    def test_a_frame_gives_each_column_with_its_own_nan_left_out(self):
        frame = pd.DataFrame(noise(1, 50, 2) + 0.002, columns=["a", "b"])
        frame.iloc[::7, 1] = np.nan
        result = probabilistic_sharpe(frame)
        assert list(result.index) == ["a", "b"]
        assert result["b"] == pytest.approx(probabilistic_sharpe(frame["b"].dropna()), rel=1e-12)
        assert np.allclose(probabilistic_sharpe(frame.to_numpy()), result.to_numpy(), rtol=1e-12)

    @pytest.mark.filterwarnings("error")
    @pytest.mark.parametrize("returns", [[], [0.01], [np.nan, 0.01, np.nan], [0.1] * 7, [0.0, 0.0]])
    def test_too_few_returns_or_no_spread_give_nan_quietly(self, returns):
        assert math.isnan(probabilistic_sharpe(returns)) and math.isnan(deflated_sharpe(returns, [0.1, 0.2]))

    def test_the_papers_worked_example(self):
        # 100 trials; 1,250 daily returns (5 years of 250 days) with annual Sharpe ratio 2.5, skewness -3
        # and kurtosis 10; the trials' annual Sharpe ratios have variance 0.5. Per day: the Sharpe ratio
        # over sqrt(250), its variance over 250.
        sharpe, variance = 2.5 / math.sqrt(250), 0.5 / 250
        assert expected_maximum_sharpe(100, variance) == pytest.approx(0.1132, rel=1e-3)
        assert deflated_sharpe_from_moments(sharpe, 100, variance, 1250, -3.0, 10.0) == pytest.approx(0.9004, rel=1e-3)

    def test_deflated_is_probabilistic_against_the_expected_maximum_of_the_trials(self):
        returns, trial_sharpes = noise(2, 500, 1)[:, 0] + 0.001, [0.05, -0.02, 0.01, 0.09]
        benchmark = expected_maximum_sharpe(4, statistics.variance(trial_sharpes))
        result = deflated_sharpe(returns, [*trial_sharpes, np.nan])
        assert result == pytest.approx(probabilistic_sharpe(returns, benchmark), rel=1e-12)


REFERENCE_METRICS = {
    "sharpe": lambda rows: np.nanmean(rows, axis=0) / np.nanstd(rows, axis=0, ddof=1),
    "mean": lambda rows: np.nanmean(rows, axis=0),
    "total": lambda rows: np.nanprod(1 + rows, axis=0) - 1,
}


class TestProbabilityOfBacktestOverfitting:
    @pytest.mark.parametrize(("splits", "metric"), [(4, "sharpe"), (6, "mean"), (8, "total"), (8, "sharpe")])
    def test_each_half_of_the_blocks_is_in_sample_once_in_order(self, splits, metric):
        returns = noise(splits, 103, 7)
        returns[::5, 2] = np.nan
        blocks, rows = np.array_split(returns, splits), []
        for inside in itertools.combinations(range(splits), splits // 2):
            sides = [[blocks[b] for b in range(splits) if (b in inside) == wanted] for wanted in (True, False)]
            metric_in, metric_out = (REFERENCE_METRICS[metric](np.concatenate(side)) for side in sides)
            best = int(np.argmax(metric_in))
            rank = 1 + np.sum(metric_out < metric_out[best])  # continuous returns: no ties
            rows.append((best, metric_in[best], metric_out[best], math.log(rank / (7 + 1 - rank))))
        chosen, inside, outside, logits = map(np.array, zip(*rows))
        result = pbo(returns, splits=splits, metric=metric)
        assert result.combinations == len(result.logits) == math.comb(splits, splits // 2) == len(rows)
        assert np.array_equal(result.chosen, chosen)
        assert np.allclose([result.in_sample, result.out_of_sample, result.logits], [inside, outside, logits])
        assert result.pbo == np.mean(logits <= 0) and result.probability_of_loss == np.mean(outside < 0)
        slope = np.cov(inside, outside)[0, 1] / np.var(inside, ddof=1)
        assert np.allclose(result.degradation, [slope, outside.mean() - slope * inside.mean()])

    def test_pure_noise_gives_one_half_within_the_spread_over_seeds(self):
        # Without skill the in-sample choice says nothing of the out-of-sample ranks: the chosen trial's
        # rank is uniform on 1..50, so P(logit <= 0) = 25/50 = 1/2 exactly. One panel's logits share its
        # bars (its PBO spreads far wider than a binomial of 12,870 draws), so the bound comes from
        # independent panels: their mean within t(0.9995, 9 dof) = 4.781 standard errors of 1/2.
        values = [pbo(noise(seed, 1000, 50)).pbo for seed in range(10)]
        assert abs(statistics.mean(values) - 0.5) < 4.781 * statistics.stdev(values) / math.sqrt(10)

    @pytest.mark.parametrize("seed", [0, 1, 2])
    def test_a_trial_with_a_real_edge_is_not_overfit(self, seed):
        # A half of 2,500 bars measures a Sharpe ratio to +-0.02: an edge of 0.1 per bar stands 5 standard
        # errors clear of noise, is chosen nearly always and then ranks first out of sample.
        returns = np.random.default_rng(seed).normal(0.0, 1.0, (5000, 20))
        returns[:, 7] += 0.1
        result = pbo(returns)
        assert result.pbo < 0.05 and np.mean(result.chosen == 7) > 0.9

    def test_the_order_of_the_trials_does_not_matter(self):
        returns, order = noise(3, 600, 30), np.random.default_rng(3).permutation(30)
        result, permuted = pbo(returns), pbo(returns[:, order])
        assert result.pbo == permuted.pbo and np.array_equal(result.logits, permuted.logits)
        assert np.array_equal(order[permuted.chosen], result.chosen)

    @pytest.mark.parametrize("splits", [4, 8])
    @pytest.mark.parametrize("dominant", [True, False])
    def test_two_trials_logits_have_the_sign_of_the_rule(self, splits, dominant):
        # The second trial is the first plus a constant per block: it wins a side whose shifts sum above 0,
        # and the in-sample winner ranks 2 of 2 out of sample (logit ln(2/3 / 1/3) = ln 2) or 1 of 2 (-ln 2).
        shifts = np.random.default_rng(3).normal(0.0, 1e-4, splits)
        shifts = np.abs(shifts) if dominant else shifts  # better in every block: every logit ln 2
        base = noise(9, 40 * splits, 1)[:, 0]
        result = pbo(np.column_stack([base, base + np.repeat(shifts, 40)]), splits=splits, metric="mean")
        gains_inside = [shifts[list(inside)].sum() for inside in itertools.combinations(range(splits), splits // 2)]
        expected = [math.log(2) if (gain > 0) == (shifts.sum() - gain > 0) else -math.log(2) for gain in gains_inside]
        assert np.allclose(result.logits, expected) and (min(expected) > 0) == dominant


@pytest.mark.parametrize(
    ("call", "error", "words"),
    [
        (lambda: pbo(noise(0, 100, 4), splits=5), InputError, "splits must be even"),
        (lambda: pbo(noise(0, 10, 4), splits=12), InputError, "at most the 10 bars"),
        (lambda: pbo(noise(0, 100, 1)), InputError, "at least 2 trials"),
        (lambda: pbo(pd.DataFrame({"a": ["x"] * 9, "b": 0.0})), InputTypeError, "do not: 'a'"),
        (lambda: pbo(pd.DataFrame({"a": 0.0, "dead": [np.nan] * 9})), InputError, "NaN in trials (columns) 'dead'"),
        (lambda: pbo(noise(0, 100, 4), metric="sortino"), InputError, 'metric must be "sharpe"'),
        (lambda: probabilistic_sharpe(["0.1", "0.2"]), InputTypeError, "must hold numbers"),
        (lambda: probabilistic_sharpe([0.01, np.inf]), InputError, "infinite"),
        (lambda: probabilistic_sharpe_from_moments(0.1, 0.0, 99, skewness=0.0, kurtosis=0.0), InputError, "excess"),
        (lambda: expected_maximum_sharpe(0, 0.1), InputError, "at least 1"),
        (lambda: deflated_sharpe([0.01, 0.0], [0.1, np.nan]), InputError, "at least 2 trials"),
    ],
)
def test_bad_input_is_refused_in_the_users_terms(call, error, words):
    with pytest.raises(error, match=re.escape(words)):
        call()
