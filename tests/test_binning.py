"""Binning of raw predictors: labels, bins and where values fall."""

import numpy as np
import pandas as pd

from tessaly import _binning


def test_labels_keep_close_cut_points_apart():
    labels = _binning.interval_labels([1.00001, 1.00002, 250000.0])
    assert len(set(labels)) == 4
    assert labels[0].startswith("(-inf, ") and labels[-1].endswith(", inf)")


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
