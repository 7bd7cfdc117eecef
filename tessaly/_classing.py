"""Fine and coarse classing of a numerical predictor where the training rows are many: fine classes of a few
dozen applicants each, merged cheapest neighbours first until every bin holds enough bads and goods and differs
significantly from the bins beside it. A shape follows the data as far as they carry it and no further, so a
small group of very different risk keeps a bin of its own where a search over 5% prebins would merge it away.
"""

from __future__ import annotations

import numpy as np

# From this many applicants (weighted) a predictor is classed this way; fewer keep the optimal search's coarse bins.
FINE_FROM = 5_000
# Fine classes: distinct values, or equal shares of the applicants of at least FINE_ROWS each, at most FINE_CLASSES.
FINE_ROWS, FINE_CLASSES = 50, 200
# A bin holds at least this many bads and goods, and differs from its neighbours at this level, shared among
# all the neighbouring pairs of fine classes tested (a fixed level per pair keeps chance bins on a flat predictor).
MIN_BADS = MIN_GOODS = 10
ALPHA = 0.05


def fine_cuts(x: np.ndarray, w: np.ndarray) -> np.ndarray:
    """Cut points of the fine classes of `x` (weights `w`): between distinct values, at equal weighted shares."""
    v, inverse = np.unique(x, return_inverse=True)
    k = int(min(FINE_CLASSES, max(w.sum() // FINE_ROWS, 1)))
    if len(v) <= k:
        at = np.arange(1, len(v))
    else:
        cum = np.cumsum(np.bincount(inverse, weights=w, minlength=len(v)))
        at = np.unique(np.searchsorted(cum, cum[-1] * np.arange(1, k) / k, side="right"))
        at = at[(at > 0) & (at < len(v))]
    return v[at - 1] + (v[at] - v[at - 1]) / 2


def _chi2(goods: np.ndarray, bads: np.ndarray) -> np.ndarray:
    """Pearson's chi-square of each pair of neighbouring classes' 2 x 2 table of goods and bads."""
    g1, g2, b1, b2 = goods[:-1], goods[1:], bads[:-1], bads[1:]
    n = g1 + g2 + b1 + b2
    with np.errstate(invalid="ignore", divide="ignore"):
        stat = n * (g1 * b2 - g2 * b1) ** 2 / ((g1 + b1) * (g2 + b2) * (g1 + g2) * (b1 + b2))
    return np.nan_to_num(stat, nan=0.0)


def merged(goods: np.ndarray, bads: np.ndarray, room: int, significance: float) -> np.ndarray:
    """Which classes start a bin after merging, cheapest neighbours first: a class short of bads or goods merges
    into the neighbour it differs least from, then the least different neighbours merge until every pair
    differs at `significance` (chi-square) and there are at most `room` bins."""
    starts = np.arange(len(goods))
    goods, bads = goods.astype(float), bads.astype(float)
    while len(goods) > 1:
        stat = _chi2(goods, bads)
        short = np.flatnonzero((goods < MIN_GOODS) | (bads < MIN_BADS))
        if len(short):
            i = short[np.argmin(np.minimum(_at(stat, short - 1), _at(stat, short)))]
            pair = i - 1 if _at(stat, [i - 1])[0] <= _at(stat, [i])[0] else i
        elif stat.min() < significance or len(goods) > room:
            pair = int(np.argmin(stat))
        else:
            break
        goods[pair] += goods[pair + 1]
        bads[pair] += bads[pair + 1]
        goods, bads, starts = np.delete(goods, pair + 1), np.delete(bads, pair + 1), np.delete(starts, pair + 1)
    return starts


def _at(stat: np.ndarray, where) -> np.ndarray:
    """`stat` at pair positions, infinite where there is no such pair (before the first class, after the last)."""
    where = np.asarray(where)
    inside = (where >= 0) & (where < len(stat))
    return np.where(inside, stat[np.clip(where, 0, max(len(stat) - 1, 0))] if len(stat) else np.inf, np.inf)


def _counts(cuts: np.ndarray, x, y, w) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Goods and bads of the non-empty classes between `cuts`, and the cut below each of those classes."""
    index = np.searchsorted(cuts, x, side="right")
    k = len(cuts) + 1
    bads = np.bincount(index, weights=w * y, minlength=k)
    goods = np.bincount(index, weights=w, minlength=k) - bads
    used = (goods + bads) > 0
    below = np.append(-np.inf, cuts)[used]  # an empty class adds no cut of its own
    return goods[used], bads[used], below


def splits(x: np.ndarray, y: np.ndarray, w: np.ndarray, room: int, searched=()) -> list[float]:
    """Split points of `x` (regular values; outcomes `y`, 1 bad; weights `w`) into at most `room` bins: the
    significant fine shape, with the `searched` splits of a coarse search kept where room allows (a weak steady
    trend has no neighbours that differ significantly, yet a search under a trend finds its steps)."""
    from scipy.stats import chi2

    goods, bads, below = _counts(fine_cuts(x, w), x, y, w)
    shape = below[merged(goods, bads, room, float(chi2.isf(ALPHA / max(len(goods) - 1, 1), 1)))][1:]
    goods, bads, below = _counts(np.union1d(shape, np.asarray(searched, dtype=float)), x, y, w)
    return [float(c) for c in below[merged(goods, bads, room, significance=0.0)][1:]]
