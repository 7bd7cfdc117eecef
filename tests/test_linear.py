"""The logistic family's pieces: WoE, its design matrix and the exact SHAP values, against slow references."""

import numpy as np
import pytest
from sklearn.linear_model import LogisticRegression

from tessaly import _linear

N_BINS = [3, 4, 2]


def _data(seed=7, n=400, unseen=True):
    rng = np.random.default_rng(seed)
    # -1: a value no bin holds
    positions = np.column_stack([rng.integers(-1 if unseen else 0, k, n) for k in N_BINS])
    logit = 0.8 * positions[:, 0] - 0.5 * (positions[:, 1] == 2) + rng.normal(size=n)
    return positions, (logit > 0.5).astype(int), rng.uniform(0.2, 3, n)


@pytest.mark.parametrize("weighted", [False, True])
def test_woe_against_counted_bins(weighted):
    positions, y, w = _data()
    w = w if weighted else None
    ones = np.ones(len(y)) if w is None else w
    for j, k in enumerate(N_BINS):
        good = np.array([ones[(positions[:, j] == b) & (y == 0)].sum() for b in range(k)]) + _linear.SMOOTHING
        bad = np.array([ones[(positions[:, j] == b) & (y == 1)].sum() for b in range(k)]) + _linear.SMOOTHING
        want = np.log(good / good.sum()) - np.log(bad / bad.sum())
        np.testing.assert_allclose(_linear.woe_of(positions, y, N_BINS, w)[j], want)


def test_design_against_a_dense_loop():
    positions, y, _ = _data()
    woe = _linear.woe_of(positions, y, N_BINS)
    want = np.zeros((len(y), len(N_BINS) + sum(N_BINS)))
    for i, row in enumerate(positions):
        start = len(N_BINS)
        for j, k in enumerate(N_BINS):
            if row[j] >= 0:
                want[i, j] = woe[j][row[j]]
                want[i, start + row[j]] = 1.0
            start += k
    np.testing.assert_array_equal(_linear.design(woe, positions, N_BINS).toarray(), want)


@pytest.mark.parametrize("weighted", [False, True])
def test_shap_values_add_up_to_the_models_log_odds_and_centre_on_the_rows(weighted):
    # Every value in a bin: an unseen one is scored as neutral, not as the model's zero row.
    positions, y, w = _data(unseen=False)
    w = w if weighted else None
    woe = _linear.woe_of(positions, y, N_BINS, w)
    F = _linear.design(woe, positions, N_BINS)
    model = LogisticRegression(C=0.3, max_iter=1000).fit(F, y, sample_weight=w)
    effects, base = _linear.effects(model, F, woe, N_BINS, w)
    np.testing.assert_allclose(_linear.raw_total(effects, base, positions), model.decision_function(F), atol=1e-9)
    # SHAP values against the rows as background average to zero over those rows.
    for j, e in enumerate(effects):
        assert np.average(e[positions[:, j]], weights=w) == pytest.approx(0.0, abs=1e-9)
