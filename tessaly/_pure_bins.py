"""Runs of values of one outcome only that keep a bin of their own: at either end of a numerical predictor's
values, or single categories. optbinning merges every pure bin into a neighbour, which loses a flag whose one
value is always bad.
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

# A run of values of one outcome only keeps a bin of its own when it holds this share of the applicants and would
# be this unlikely to be pure at the bad rate of the applicants beside it.
PURE_SHARE, PURE_CHANCE = 0.01, 1e-3


def _significant(n: float, bad: bool, rate: float, rows: float) -> bool:
    """Whether `n` applicants all bad (all good) are a bin: enough of them, and unlikely so at `rate` by chance.
    `n` and `rows` are sums of weights: a weighted row stands for as many applicants as its weight says."""
    p = rate if bad else 1.0 - rate
    return n >= PURE_SHARE * rows and (p <= 0.0 or (p < 1.0 and n * math.log(p) < math.log(PURE_CHANCE)))


def _fit_in(groups: list, sizes: list, covers_all: bool, room: int) -> list:
    """The largest pure groups that leave room for a bin of the other values (none needed if they cover all)."""
    if covers_all and len(groups) <= room:
        return groups
    keep = sorted(range(len(groups)), key=lambda i: -sizes[i])[: max(room - 1, 0)]
    return [groups[i] for i in sorted(keep)]


def pure_ends(
    x: np.ndarray, y: np.ndarray, trend: str | None, room: int, w: np.ndarray
) -> tuple[list[float], np.ndarray]:
    """Cut points that give a run of one outcome at either end of the values a bin of its own, and the rows
    those bins take. `x`, `y`, `w`: the regular values, their outcomes and weights."""
    v, inverse = np.unique(x, return_inverse=True)
    n = np.bincount(inverse, weights=w, minlength=len(v))
    bad = np.bincount(inverse, weights=y * w, minlength=len(v))
    outcome = np.where(bad == 0, 0, np.where(bad == n, 1, -1))  # all good, all bad, both
    rate = float(np.average(y, weights=w))
    if rate in (0.0, 1.0):
        return [], np.zeros(len(x), dtype=bool)

    def run(order: np.ndarray) -> int:
        same = outcome[order] == outcome[order[0]]
        return 0 if outcome[order[0]] < 0 else len(v) if same.all() else int(np.argmin(same))

    low, high = run(np.arange(len(v))), run(np.arange(len(v))[::-1])
    high = 0 if low == len(v) else high
    # An explicit trend holds: all good at its low end, all bad at its high end.
    against: tuple[int | None, int | None] = {"ascending": (1, 0), "descending": (0, 1)}.get(trend or "", (None, None))
    runs, sizes = [], []
    for end, k, order in (("low", low, np.arange(len(v))), ("high", high, np.arange(len(v))[::-1])):
        size = float(n[order[:k]].sum())
        # Beside the run: as many applicants as it holds, or all the others where there are fewer.
        beside = order[k:][: int(np.searchsorted(np.cumsum(n[order[k:]]), size)) + 1]
        local = float(bad[beside].sum() / n[beside].sum()) if len(beside) else rate
        if (
            k
            and outcome[order[0]] != against[end == "high"]
            and _significant(size, outcome[order[0]] == 1, local, float(w.sum()))
        ):
            runs.append((end, k))
            sizes.append(size)
    runs = _fit_in(runs, sizes, sum(k for _, k in runs) == len(v), room)
    cuts, taken = set(), np.zeros(len(x), dtype=bool)
    for end, k in runs:
        if end == "low":
            taken |= x <= v[k - 1]
            if k < len(v):
                cuts.add(_between(v[k - 1], v[k]))
        else:
            taken |= x >= v[len(v) - k]
            cuts.add(_between(v[len(v) - k - 1], v[len(v) - k]))
    return sorted(cuts), taken


def _between(a: float, b: float) -> float:
    """A cut point that puts `a` below it and `b` on or above it."""
    mid = a + (b - a) / 2
    return float(mid if a < mid <= b else b)


def pure_categories(keys: np.ndarray, y: np.ndarray, room: int, w: np.ndarray) -> tuple[list, list, np.ndarray]:
    """The categories of one outcome only, in a bin of the all-good ones and one of the all-bad ones, and the
    rows those bins take. Each category must be a bin by itself: pooling small pure categories would pick
    noise by its outcome."""
    inverse, cats = pd.factorize(keys, sort=True)  # keys are text: sorted as np.unique would, far faster
    n = np.bincount(inverse, weights=w, minlength=len(cats))
    bad = np.bincount(inverse, weights=y * w, minlength=len(cats))
    total = float(w.sum())
    groups, sizes = [], []
    for outcome, pure in ((0, bad == 0), (1, bad == n)):
        # Beside a category: all the others.
        chosen = [
            i
            for i in np.flatnonzero(pure)
            if n[i] < total and _significant(float(n[i]), outcome == 1, (bad.sum() - bad[i]) / (total - n[i]), total)
        ]
        if chosen:
            groups.append((outcome, chosen))
            sizes.append(float(n[chosen].sum()))
    groups = _fit_in(groups, sizes, sum(len(g) for _, g in groups) == len(cats), room)
    taken = np.isin(inverse, [i for _, g in groups for i in g])
    named = {outcome: [str(cats[i]) for i in g] for outcome, g in groups}
    # All good first and all bad last, as optbinning orders its bins by event rate.
    return [named[0]] if 0 in named else [], [named[1]] if 1 in named else [], taken
