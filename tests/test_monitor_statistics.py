"""The statistics behind monitoring's verdicts against scipy, statsmodels and scikit-learn."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import stats as sps
from sklearn.metrics import roc_auc_score
from statsmodels.stats.multitest import multipletests

from tessaly._metrics import delong
from tessaly.monitoring import statistics as stats


def _counts(rng, cells, total):
    return rng.multinomial(total, rng.dirichlet(np.ones(cells)))


def _homogeneity(rng):
    a, b = _counts(rng, 8, 3000), _counts(rng, 8, 500)
    a[2] = b[2] = 0  # a cell nobody fills on either side adds nothing
    got = stats.homogeneity(a, b)
    want = sps.chi2_contingency(np.vstack([a, b])[:, [0, 1, 3, 4, 5, 6, 7]], correction=False)
    return (got["statistic"], got["p_value"], got["df"]), (want.statistic, want.pvalue, want.dof)


def _rise(rng):
    k0, n0, n = 40, 2000, 900
    k = int(rng.integers(20, 60))
    chi = sps.chi2_contingency([[k, n - k], [k0, n0 - k0]], correction=False).statistic
    sign = 1 if k / n > k0 / n0 else -1
    return stats.rise(k, n, k0, n0), sps.norm.sf(sign * np.sqrt(chi))


def _holm(rng):
    p = rng.uniform(0, 0.05, 12) ** rng.uniform(0.5, 3, 12)
    got = stats.holm([*p[:5], None, *p[5:]])
    return got[:5] + got[6:], multipletests(p, method="holm")[1].tolist()


def _hosmer_lemeshow(rng):
    n = rng.integers(0, 400, 10)
    p = rng.uniform(0.01, 0.4, 10)
    d = rng.binomial(n, p)
    got = stats.hosmer_lemeshow(d, n, p)
    used = n > 0
    chi = float(np.sum(((d - n * p) ** 2 / (n * p * (1 - p)))[used]))
    # The rates are given in advance, none fitted to these counts: one degree of freedom per band.
    return (got["statistic"], got["p_value"]), (chi, sps.chi2(int(used.sum())).sf(chi))


def _bad_rates(rng):
    n, n0 = rng.integers(50, 500, 10), rng.integers(50, 500, 10)
    d, d0 = rng.binomial(n, 0.1), rng.binomial(n0, 0.1)
    got = stats.bad_rate_homogeneity(d, n, d0, n0)
    chi = sum(
        sps.chi2_contingency([[d[b], n[b] - d[b]], [d0[b], n0[b] - d0[b]]], correction=False).statistic
        for b in range(10)
    )
    return (got["statistic"], got["p_value"]), (chi, sps.chi2(10).sf(chi))


def _standardized_rise(rng):
    # One band: the two rates' difference over its spread were both samples at development's rate (half a
    # bad added there).
    n, n0 = int(rng.integers(200, 900)), int(rng.integers(200, 900))
    d, d0 = int(rng.binomial(n, 0.1)), int(rng.binomial(n0, 0.1))
    got = stats.bad_rate_rises([d], [n], [d0], [n0])["all_bands"]
    p0 = (d0 + 0.5) / (n0 + 1)
    return got["p_value"], sps.norm.sf((d / n - d0 / n0) / np.sqrt(p0 * (1 - p0) * (1 / n + 1 / n0)))


@pytest.mark.parametrize("case", [_homogeneity, _rise, _holm, _hosmer_lemeshow, _bad_rates, _standardized_rise])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_statistics_agree_with_scipy_and_statsmodels(case, seed):
    got, want = case(np.random.default_rng(seed))
    assert np.asarray(got, dtype=float) == pytest.approx(np.asarray(want, dtype=float), rel=1e-9, abs=1e-300)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 12), st.booleans()), min_size=2, max_size=60))
def test_the_auc_from_counts_is_scikit_learns(applicants):
    score = np.array([s for s, _ in applicants], dtype=float)
    good = np.array([g for _, g in applicants])
    keys, goods, bads = stats.cells(score, good.astype(float), (~good).astype(float))
    auc, _ = delong(goods, bads)
    if good.all() or not good.any():
        assert auc is None
    else:
        assert auc == pytest.approx(roc_auc_score(good, score), abs=1e-12)


@pytest.mark.parametrize(
    "p, size, verdict",
    [
        (0.001, 0.30, "red"),
        (0.001, 0.15, "amber"),
        (0.001, 0.05, "green"),  # significant: the size decides
        (0.03, 0.30, "amber"),
        (0.2, 8.0, "green"),  # a large shift within the noise of a thin period
        (0.001, None, "red"),
        (0.03, None, "amber"),
        (0.06, None, "green"),  # pure tests
    ],
)
def test_a_verdict_needs_both_size_and_significance(p, size, verdict):
    assert stats.verdict(p, size, None if size is None else stats.PSI_SHIFT) == verdict


def test_a_size_that_could_not_be_measured_reaches_no_threshold():
    assert stats.verdict(0.001, None, stats.PSI_SHIFT) == "green"
