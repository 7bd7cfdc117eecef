"""Properties of the pure-bins rule: runs of one outcome at either end of a predictor's values, and categories of
one outcome, that keep a bin of their own."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaly._pure_bins import pure_categories, pure_ends


@st.composite
def predictors(draw, *, weighted=True):
    """Values with a run of goods below `a` and of bads from `b`, mixed outcomes between, and whole weights."""
    n = draw(st.integers(20, 300))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    x = rng.integers(0, draw(st.integers(2, 40)), n).astype(float)
    a, b = sorted(draw(st.lists(st.integers(-1, 41), min_size=2, max_size=2)))
    y = np.where(x < a, 0, np.where(x >= b, 1, rng.random(n) < draw(st.floats(0.05, 0.95)))).astype(float)
    if draw(st.booleans()):
        y = 1 - y  # bads at the low end as well
    w = rng.integers(1, 4, n).astype(float) if weighted else np.ones(n)
    return x, y, w


SETTINGS = settings(max_examples=60, deadline=None)


@SETTINGS
@given(predictors(), st.integers(2, 10), st.sampled_from(["auto", "ascending", "descending"]))
def test_weights_count_as_repeated_rows(data, room, trend):
    x, y, w = data
    reps = w.astype(int)
    cuts, taken = pure_ends(x, y, trend, room, w)
    cuts_rep, taken_rep = pure_ends(np.repeat(x, reps), np.repeat(y, reps), trend, room, np.ones(reps.sum()))
    assert cuts == cuts_rep
    assert (np.repeat(taken, reps) == taken_rep).all()


@SETTINGS
@given(predictors(), st.integers(2, 10))
def test_taken_rows_are_pure_runs_at_the_ends_split_by_the_cuts(data, room):
    x, y, w = data
    cuts, taken = pure_ends(x, y, "auto", room, w)
    assert len(cuts) == len(set(cuts)) <= 2 and cuts == sorted(cuts)
    if not taken.any():
        assert cuts == []
        return
    rest = x[~taken]
    # Where the runs take every value, the one cut between them tells them apart.
    low = taken & (x < (rest.min() if len(rest) else cuts[0]))
    high = taken & ~low
    assert not len(rest) or (x[high] > rest.max()).all()
    for run, side in ((low, lambda c: x < c), (high, lambda c: x >= c)):
        if run.any():
            assert len(set(y[run])) == 1
            assert any((side(c) == run).all() for c in cuts), "no cut sets the run apart"
    # Room for a bin of the other values stays, unless the runs take every value.
    assert len(cuts) <= max(room - 1, 0) or not len(rest)


@SETTINGS
@given(predictors(), st.integers(3, 10))
def test_the_rule_does_not_care_which_way_the_values_run(data, room):
    x, y, w = data
    _, taken = pure_ends(x, y, "auto", room, w)
    _, mirrored = pure_ends(-x, y, "auto", room, w)
    assert (taken == mirrored).all()


@SETTINGS
@given(predictors(), st.integers(2, 10))
def test_pure_categories_are_each_of_one_outcome_and_weights_are_rows(data, room):
    x, y, w = data
    keys = np.array([f"c{int(v)}" for v in x], dtype=object)
    good, bad, taken = pure_categories(keys, y, room, w)
    named = {c: 0 for g in good for c in g} | {c: 1 for g in bad for c in g}
    assert len(good) <= 1 and len(bad) <= 1
    assert (taken == np.isin(keys, list(named))).all()
    for category, outcome in named.items():
        assert (y[keys == category] == outcome).all()
    reps = w.astype(int)
    assert pure_categories(np.repeat(keys, reps), np.repeat(y, reps), room, np.ones(reps.sum()))[:2] == (good, bad)


@pytest.mark.parametrize("rate", [0.0, 1.0])
def test_a_predictor_of_one_outcome_has_no_pure_bins(rate):
    x = np.arange(50.0)
    cuts, taken = pure_ends(x, np.full(50, rate), "auto", 5, np.ones(50))
    assert cuts == [] and not taken.any()
