"""Fine shapes: a numerical predictor of many applicants is classed finely and merged cheapest neighbours first,
as far as the bads and goods carry it; small tables keep the coarse search's bins."""

import numpy as np
import pandas as pd
import pytest

from tessaly import Scorecard, _binning, _classing
from tessaly._predictors import bin_all, select


def slow_merge(goods, bads, room, significance):
    """The merge written plainly: recompute every neighbour's chi-square after each merge."""
    bins = [[float(g), float(b), i] for i, (g, b) in enumerate(zip(goods, bads))]

    def chi2(a, c):
        g1, b1, g2, b2 = a[0], a[1], c[0], c[1]
        n = g1 + b1 + g2 + b2
        den = (g1 + b1) * (g2 + b2) * (g1 + g2) * (b1 + b2)
        return 0.0 if den == 0 else n * (g1 * b2 - g2 * b1) ** 2 / den

    while len(bins) > 1:
        stat = [chi2(bins[i], bins[i + 1]) for i in range(len(bins) - 1)]
        short = [i for i, (g, b, _) in enumerate(bins) if g < _classing.MIN_GOODS or b < _classing.MIN_BADS]
        if short:
            side = {i: min(stat[i - 1] if i > 0 else np.inf, stat[i] if i < len(stat) else np.inf) for i in short}
            i = min(short, key=lambda j: side[j])
            left = stat[i - 1] if i > 0 else np.inf
            pair = i - 1 if left <= (stat[i] if i < len(stat) else np.inf) else i
        elif min(stat) < significance or len(bins) > room:
            pair = int(np.argmin(stat))
        else:
            break
        bins[pair][0] += bins[pair + 1][0]
        bins[pair][1] += bins[pair + 1][1]
        del bins[pair + 1]
    return [b[2] for b in bins]


@pytest.mark.parametrize("seed", range(6))
def test_merge_agrees_with_the_plain_one(seed):
    rng = np.random.default_rng(seed)
    k = int(rng.integers(2, 60))
    n = rng.integers(5, 400, k)
    bads = rng.binomial(n, rng.choice([0.03, 0.1, 0.3], k))
    room, significance = int(rng.integers(2, 10)), float(rng.choice([0.0, 3.84, 10.8]))
    got = _classing.merged(n - bads, bads, room, significance)
    assert list(got) == slow_merge(n - bads, bads, room, significance)


def strong_count(n, seed=0):
    """Applicants of whom 2% have a delinquency count above 0 and go bad at 26%, against 2.3% at 0."""
    rng = np.random.default_rng(seed)
    above = rng.random(n) < 0.02
    X = pd.DataFrame(
        {
            "delinquencies": np.where(above, rng.integers(1, 5, n), 0).astype(float),
            "utilisation": rng.uniform(0, 0.3, n).round(3),
        }
    )
    return X, (rng.random(n) < np.where(above, 0.26, 0.023)).astype(int)


def test_a_small_strong_bin_survives():
    X, y = strong_count(10_000)
    options = {k: Scorecard().get_params()[k] for k in ("monotonic_trend", "special_codes", "max_bins", "bins")}
    binnings, dropped, _ = bin_all(X, y, None, None, **options)
    kept = select(binnings, X, dropped, min_iv=Scorecard().min_iv, max_corr=Scorecard().max_corr)
    assert "delinquencies" in [b.name for b in kept], dropped
    b = next(b for b in kept if b.name == "delinquencies")
    assert b.splits == [0.5]
    rates = b.table.set_index("Bin")["Event rate"]
    assert rates.iloc[1] > 5 * rates.iloc[0]


def band(n, seed=0):
    """A narrow band of 5% of the applicants at five times the risk: finer than the coarse search's prebins."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, 1, n).round(4)
    inside = (x > 0.45) & (x < 0.5)
    return pd.Series(x), (rng.random(n) < np.where(inside, 0.25, 0.05)).astype(int)


@pytest.mark.parametrize(("rows", "finer"), [(1_500, False), (30_000, True)])
def test_fine_bins_only_where_supported(rows, finer, monkeypatch):
    x, y = band(rows)

    def splits():
        return _binning.fit_predictor("x", x, y, monotonic_trend="auto", special_codes=None, max_bins=10).splits

    found = splits()
    monkeypatch.setattr(_classing, "FINE_FROM", np.inf)
    coarse = splits()
    if not finer:
        assert found == coarse
        return
    assert any(0.44 <= s <= 0.451 for s in found) and any(0.499 <= s <= 0.51 for s in found), found
    b = _binning._with_table("x", "numerical", found, [], x.to_numpy(), y, np.ones(len(y)), 10)
    assert (b.table["Event"] >= _classing.MIN_BADS).all() and (b.table["Non-event"] >= _classing.MIN_GOODS).all()
