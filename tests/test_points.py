"""The points rules, pure functions over arrays: against slow references and the promises they make."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaly import _points

SMALL = st.floats(-5, 5, allow_nan=False, width=32)


def _slow_falling(means, woe, weights):
    """Pool adjacent violators, written plainly: equal WoE pooled first, then blocks merged while one rises."""
    levels = sorted(set(woe))
    blocks = []
    for level in levels:
        at = [i for i in range(len(woe)) if woe[i] == level]
        total = sum(weights[i] for i in at)
        blocks.append([sum(means[i] * weights[i] for i in at) / total, total, at])
    merged = []
    for block in blocks:
        merged.append(block)
        while len(merged) > 1 and merged[-2][0] < merged[-1][0]:
            (m2, w2, a2), (m1, w1, a1) = merged[-2], merged[-1]
            merged[-2:] = [[(m2 * w2 + m1 * w1) / (w2 + w1), w2 + w1, a2 + a1]]
    out = np.empty(len(woe))
    for value, _, at in merged:
        out[at] = value
    return out


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(SMALL, st.integers(-3, 3), st.floats(0.1, 10)), min_size=1, max_size=12))
def test_falling_is_the_nearest_rule_that_never_rises_with_woe(rows):
    means, woe, weights = (np.array(c, dtype=float) for c in zip(*rows))
    got = _points.falling(means, woe, weights)
    np.testing.assert_allclose(got, _slow_falling(means, woe, weights), atol=1e-6)
    order = np.argsort(woe, kind="stable")
    assert np.all(np.diff(got[order]) <= 1e-9)


@pytest.mark.parametrize("weighted", [False, True])
def test_bin_means_against_a_loop(weighted):
    rng = np.random.default_rng(3)
    pos = rng.integers(-1, 5, 300)  # -1: in no bin; bin 5 of 6 never seen
    contribution = rng.normal(size=300)
    weights = rng.uniform(0, 3, 300) if weighted else None
    w = np.ones(300) if weights is None else weights
    want = [
        sum(contribution[i] * w[i] for i in range(300) if pos[i] == b) / sum(w[i] for i in range(300) if pos[i] == b)
        if (pos == b).any()
        else 0.0
        for b in range(6)
    ]
    np.testing.assert_allclose(_points.bin_means(contribution, pos, 6, weights), want)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(st.lists(SMALL, min_size=1, max_size=5), min_size=1, max_size=5),
    st.floats(0.2, 3),
    st.floats(-3, 3),
    st.integers(0, 2**32 - 1),
)
def test_additive_points_are_whole_and_sum_to_the_scaled_log_odds(means, slope, intercept, seed):
    means = [np.array(m) for m in means]
    rng = np.random.default_rng(seed)
    shares = [rng.uniform(0.1, 1, len(m)) for m in means]
    factor, offset = _points.scaling(20, 600, 50)
    rule = _points.additive(means, shares, factor=factor, offset=offset, slope=slope, intercept=intercept)
    for points, neutral in rule:
        assert np.all(points == np.round(points)) and neutral == round(neutral)
    picks = [rng.integers(0, len(m), 20) for m in means]
    total = sum(rule[j][0][picks[j]] for j in range(len(means)))
    exact = offset - factor * (slope * sum(means[j][picks[j]] for j in range(len(means))) + intercept)
    # Each predictor's points are rounded once.
    assert np.all(np.abs(total - exact) <= 0.5 * len(means) + 1e-6)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.one_of(
            st.integers(-30, 30).map(lambda v: [v, v, v]), st.lists(st.integers(-30, 30), min_size=2, max_size=4)
        ),
        min_size=1,
        max_size=6,
    ),
    st.integers(0, 2**32 - 1),
)
def test_leaving_out_flat_predictors_keeps_every_total(points, seed):
    rule = [(np.array(p, dtype=float), float(p[0])) for p in points]
    kept, slim = _points.without_unused(rule)
    if any(np.ptp(p) > 0 for p, _ in rule):
        assert all(np.ptp(rule[j][0]) > 0 for j in kept)
    picks = np.random.default_rng(seed).integers(0, 4, (50, len(rule)))
    before = sum(rule[j][0][picks[:, j] % len(rule[j][0])] for j in range(len(rule)))
    after = sum(p[picks[:, j] % len(p)] for j, (p, _) in zip(kept, slim))
    np.testing.assert_array_equal(after, before)
    assert sum(n for _, n in slim) == sum(n for _, n in rule)
