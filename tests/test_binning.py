"""Binning of raw predictors: labels, bins and where values fall."""

import bisect
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from tessaly import _binning, _bins

CUTS = st.lists(st.floats(-1e12, 1e12, allow_nan=False), min_size=0, max_size=8, unique=True).map(sorted)


@settings(max_examples=80, deadline=None)
@given(CUTS)
@example([1.00001, 1.00002, 250000.0])
def test_labels_keep_close_cut_points_apart(splits):
    labels = _bins.interval_labels(splits)
    assert len(set(labels)) == len(splits) + 1
    assert labels[0].startswith("(-inf, ") and labels[-1].endswith(", inf)")


@settings(max_examples=80, deadline=None)
@given(
    CUTS,
    st.lists(st.one_of(st.floats(-1e13, 1e13), st.sampled_from([-99.0, math.nan, math.inf])), max_size=30),
    st.booleans(),
)
def test_numbers_fall_in_their_interval(splits, values, with_special):
    specials = [-99.0] if with_special and -99.0 not in splits else []
    kinds = [*range(len(splits) + 1), _bins.SPECIAL, _bins.MISSING]
    bins = _bins.Bins("x", "numerical", splits, specials, kinds)
    rows, unreadable = bins.locate(pd.Series(values, dtype=float))
    for v, row, bad in zip(values, rows, unreadable):
        if math.isnan(v):
            want = kinds.index(_bins.MISSING)
        elif math.isinf(v):
            want = -1
        elif v in specials:
            want = kinds.index(_bins.SPECIAL)
        else:
            want = bisect.bisect_right(splits, v)  # [a, b): a cut point opens the bin above it
        assert (row, bad) == (want, math.isinf(v))


@pytest.mark.parametrize("trend", ["ascending", "descending"])
@pytest.mark.parametrize("weighted", [False, True])
def test_a_trend_orders_the_event_rates_and_the_table_counts_every_value(trend, weighted):
    rng = np.random.default_rng(11)
    x = pd.Series(np.round(rng.normal(size=3000), 2))
    y = (rng.random(3000) < 1 / (1 + np.exp(-(x + rng.normal(size=3000))))).astype(int)
    x[:100] = np.nan
    w = rng.integers(0, 4, 3000).astype(float) if weighted else np.ones(3000)
    b = _binning.fit_predictor(
        "x", x, y, monotonic_trend=trend, special_codes=[], max_bins=8, sample_weight=w if weighted else None
    )
    regular = [i for i, k in enumerate(b.kinds) if isinstance(k, int)]
    rates = np.diff(b.table["Event rate"].to_numpy()[regular])
    assert np.all(rates >= -1e-12) if trend == "ascending" else np.all(rates <= 1e-12)
    rows = b.positions(x)
    event = np.bincount(rows, weights=w * y, minlength=len(b.labels))
    np.testing.assert_allclose(b.table["Event"], event)
    np.testing.assert_allclose(b.table["Count"], np.bincount(rows, weights=w, minlength=len(b.labels)))


def test_at_most_ten_bins_with_special_and_missing_values():
    rng = np.random.default_rng(5)
    x = pd.Series(rng.normal(size=5000))
    y = (rng.random(5000) < 1 / (1 + np.exp(-2 * x))).astype(int)
    x[:200] = np.nan
    x[200:400] = -99.0
    b = _binning.fit_predictor("x", x, y, monotonic_trend="auto", special_codes=["-99"], max_bins=10)
    assert len(b.labels) <= 10 and b.labels[-2:] == ["Special", "Missing"]
    assert all(len(f) == len("x_0") for f in b.features)
    pos = b.positions(pd.Series([np.nan, -99.0, 3.0, -3.0]))
    assert [b.labels[p] for p in pos[:2]] == ["Missing", "Special"]
    assert b.labels[pos[2]].endswith(", inf)") and b.labels[pos[3]].startswith("(-inf")
