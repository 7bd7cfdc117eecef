"""Cross characteristics: pairs of predictors whose joint effect an additive card misses.

Each pair is searched on the card's residual by a two-level split (one predictor split once, the other split
once within each side: at most four cells), and a pair is kept only where the lift of that search, repeated on
held-out training rows over several splits, is significant after allowing for every pair tried and above a
floor. The kept pair becomes one characteristic of the card, its cells worth points like any bin.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import pandas as pd

from ._binning import LEAKAGE, MISSING, REFUSED, SPECIAL, Bins, special_keys
from ._card import Cross
from ._values import to_number

# Thresholds tried per predictor: quantiles of its values.
GRID = 16
# Predictors paired at most (by information value), and pairs whose held-out lift is measured at most.
MAX_PREDICTORS, MEASURED = 40, 12
AUTO = 3  # crosses kept at most when their number is left to the data
FOLDS, REPEATS = 5, 2
ALPHA = 0.05  # over all pairs tried (Bonferroni)
# Held-out lift below this many nats of log-likelihood per applicant is not worth a characteristic.
FLOOR = 5e-4
# Shrinks each cell's effect towards none: a cell of few applicants moves little.
RIDGE = 5.0


@dataclass
class Grid:
    """One predictor as the search sees it: ordered codes 0..k-1, k for missing or special, -1 unreadable."""

    name: str
    dtype: str
    codes: np.ndarray
    cuts: list  # numerical: k-1 thresholds; categorical: k groups of categories, riskiest last
    special_codes: list
    has_missing: bool
    has_special: bool

    @property
    def k(self) -> int:
        return len(self.cuts) + 1 if self.dtype == "numerical" else len(self.cuts)


def _numeric_grid(name, values, special_codes) -> Grid | None:
    x, unreadable = to_number(values)
    codes_special = special_keys(special_codes or [], True)
    special = np.isin(x, codes_special) if codes_special else np.zeros(len(x), dtype=bool)
    regular = np.isfinite(x) & ~special
    if regular.sum() < 2:
        return None
    levels = np.quantile(x[regular], np.arange(1, GRID) / GRID)
    cuts = sorted({float(f"{c:.3g}") for c in levels if np.isfinite(c)} - {float(x[regular].min())})
    if not cuts:
        return None
    codes = np.searchsorted(np.asarray(cuts), x, side="right").astype(np.intp)
    other = np.isnan(x) & ~unreadable | special
    codes[other] = len(cuts) + 1
    codes[unreadable | (~np.isfinite(x) & ~np.isnan(x) & ~special)] = -1
    return Grid(name, "numerical", codes, cuts, codes_special, bool(np.isnan(x).any()), bool(special.any()))


def _category_grid(b, values) -> Grid | None:
    """A categorical predictor's bins from the binning, ordered by event rate."""
    rows = b.positions(values)
    regular = [r for r, kind in enumerate(b.kinds) if isinstance(kind, int)]
    if len(regular) < 2:
        return None
    rate = b.table["Event rate"].to_numpy(dtype=float)
    order = sorted(regular, key=lambda r: rate[r])
    code_of = np.full(len(b.kinds) + 1, -1, dtype=np.intp)
    code_of[order] = np.arange(len(order))
    for r, kind in enumerate(b.kinds):
        if kind in (MISSING, SPECIAL):
            code_of[r] = len(order)
    cuts = [list(b.splits[b.kinds[r]]) for r in order]
    return Grid(b.name, "categorical", code_of[rows], cuts, list(b.special_codes), MISSING in b.kinds, SPECIAL in b.kinds)


def grids(X: pd.DataFrame, candidates, dropped: dict, special_codes) -> list[Grid]:
    """The predictors worth pairing: every binned one (left out or not), and numerical columns the binning
    found flat on their own, which may matter only jointly; the strongest by information value first."""
    iv = {b.name: float(b.table["IV"].sum()) for b in candidates}
    out = []
    for b in sorted(candidates, key=lambda b: -iv[b.name])[:MAX_PREDICTORS]:
        g = _numeric_grid(b.name, X[b.name], b.special_codes) if b.dtype == "numerical" else _category_grid(b, X[b.name])
        if g is not None:
            out.append(g)
    refused = (LEAKAGE, *REFUSED.values(), "left out by hand")
    for name, reason in dropped.items():
        if name in iv or len(out) >= MAX_PREDICTORS or any(r in reason for r in refused):
            continue
        if pd.api.types.is_numeric_dtype(X[name]) and not pd.api.types.is_bool_dtype(X[name]):
            g = _numeric_grid(name, X[name], special_codes)
            if g is not None:
                out.append(g)
    return out


# -- the search on a pair's table of residual sums -------------------------------------------------------------


def _split(g, h, n, min_n):
    """The best cut of one ordered predictor (last entry: missing or special, which joins either side), as
    (gain, cut, other goes left); cut 0 means no split."""
    whole = g.sum() ** 2 / (h.sum() + RIDGE)
    best = (whole, 0, False)
    k = len(g) - 1
    if k < 2:
        return best
    cg, ch, cn = np.cumsum(g[:k])[:-1], np.cumsum(h[:k])[:-1], np.cumsum(n[:k])[:-1]
    tg, th, tn = g[:k].sum(), h[:k].sum(), n[:k].sum()
    for left_other in (False, True):
        lg, lh, ln = cg + left_other * g[k], ch + left_other * h[k], cn + left_other * n[k]
        rg, rh, rn = tg + g[k] - lg, th + h[k] - lh, tn + n[k] - ln
        gain = lg**2 / (lh + RIDGE) + rg**2 / (rh + RIDGE)
        gain[(ln < min_n) | (rn < min_n)] = -np.inf
        t = int(np.argmax(gain))
        if gain[t] > best[0]:
            best = (float(gain[t]), t + 1, left_other)
    return best


def _search(G, H, N, min_n):
    """The best two-level structure of a pair's table (rows: first predictor): (gain over one cell, structure).
    A structure is (transposed, cut, other left, split of the left side, split of the right side)."""
    base = G.sum() ** 2 / (H.sum() + RIDGE)
    best: tuple = (0.0, None)
    for transposed in (False, True):
        g2, h2, n2 = (G.T, H.T, N.T) if transposed else (G, H, N)
        k = g2.shape[0] - 1
        for cut in range(1, k):
            for left_other in (False, True):
                left = np.arange(k + 1) < cut
                left[k] = left_other
                if n2[left].sum() < min_n or n2[~left].sum() < min_n:
                    continue
                sides = [_split(g2[m].sum(0), h2[m].sum(0), n2[m].sum(0), min_n) for m in (left, ~left)]
                if sides[0][1] == 0 and sides[1][1] == 0:
                    continue  # one predictor split once is additive: the card has it
                gain = sides[0][0] + sides[1][0] - base
                if gain > best[0]:
                    best = (gain, (transposed, cut, left_other, sides[0][1:], sides[1][1:]))
    return best


def cell_table(structure, ka: int, kb: int) -> np.ndarray:
    """Each (first code, second code) pair's cell, 0-3; codes run 0..k with k for missing or special."""
    transposed, cut, left_other, *inner = structure
    k1, k2 = (kb, ka) if transposed else (ka, kb)
    first = np.arange(k1 + 1) >= cut
    first[k1] = not left_other
    cells = np.zeros((k1 + 1, k2 + 1), dtype=np.intp)
    for side, (cut2, other_left) in enumerate(inner):
        second = np.arange(k2 + 1) >= cut2 if cut2 else np.zeros(k2 + 1, dtype=bool)
        if cut2:
            second[k2] = not other_left
        cells[first == side] = 2 * side + second
    return cells.T if transposed else cells


def _pair_sums(code, weights_gh, size):
    return [np.bincount(code, weights=w, minlength=size) for w in weights_gh]


@dataclass
class Residual:
    """The card's log-odds of bad per training applicant, and what the search sums."""

    y: np.ndarray
    w: np.ndarray
    f: np.ndarray

    def parts(self):
        p = 1 / (1 + np.exp(-self.f))
        return self.w * (self.y - p), self.w * p * (1 - p), self.w


def _softplus(z):
    return np.logaddexp(0.0, z)


def _gains(r: Residual, delta: np.ndarray) -> np.ndarray:
    """Each applicant's gain in log-likelihood from adding `delta` to their log-odds of bad."""
    return r.w * (r.y * delta - _softplus(r.f + delta) + _softplus(r.f))


def _code(a: Grid, b: Grid):
    """Each applicant's cell of the pair's full table, -1 where either value is unreadable."""
    code = a.codes * (b.k + 1) + b.codes
    return np.where((a.codes < 0) | (b.codes < 0), -1, code)


def _effects(r: Residual, cell: np.ndarray, n_cells: int, steps: int = 1) -> np.ndarray:
    """Each cell's shift of log-odds, by Newton steps on the rows given (cell -1: no shift)."""
    delta = np.zeros(n_cells)
    inside = cell >= 0
    for _ in range(steps):
        f = r.f[inside] + delta[cell[inside]]
        p = 1 / (1 + np.exp(-f))
        w = r.w[inside]
        g = np.bincount(cell[inside], weights=w * (r.y[inside] - p), minlength=n_cells)
        h = np.bincount(cell[inside], weights=w * p * (1 - p), minlength=n_cells)
        delta += g / (h + RIDGE)
    return delta


def _min_cell(n: float) -> float:
    return max(30.0, 0.01 * n)


def _screen(r: Residual, pairs) -> list[tuple[float, tuple]]:
    """Each pair's best structure and gain on all rows: which pairs earn the held-out measurement."""
    g, h, w = r.parts()
    out = []
    for a, b in pairs:
        code = _code(a, b)
        ok = code >= 0
        size = (a.k + 1) * (b.k + 1)
        G, H, N = (s.reshape(a.k + 1, b.k + 1) for s in _pair_sums(code[ok], (g[ok], h[ok], w[ok]), size))
        gain, structure = _search(G, H, N, _min_cell(w.sum()))
        out.append((gain, structure))
    return out


def _measure(r: Residual, a: Grid, b: Grid, rng) -> dict:
    """The pair's lift on held-out rows: searched on the other folds, applied to each fold in turn, repeated."""
    n = len(r.y)
    code = _code(a, b)
    ok = code >= 0
    size = (a.k + 1) * (b.k + 1)
    g, h, w = r.parts()
    gains = np.zeros(n)
    per_split, held_outs = [], []
    for _ in range(REPEATS):
        fold = rng.permutation(np.arange(n) % FOLDS)
        sums = [s.reshape(FOLDS, size) for s in _pair_sums(fold[ok] * size + code[ok], (g[ok], h[ok], w[ok]), FOLDS * size)]
        totals = [s.sum(0) for s in sums]
        for k in range(FOLDS):
            G, H, N = ((t - s[k]).reshape(a.k + 1, b.k + 1) for t, s in zip(totals, sums))
            _, structure = _search(G, H, N, _min_cell(N.sum()))
            held = fold == k
            if structure is None:
                per_split.append(0.0)
                continue
            cells = cell_table(structure, a.k, b.k).ravel()
            train_cell = np.where(ok & ~held, cells[np.maximum(code, 0)], -1)
            delta = np.append(_effects(r, train_cell, 4), 0.0)
            held_cell = np.where(ok[held], cells[np.maximum(code[held], 0)], 4)
            d = _gains(Residual(r.y[held], r.w[held], r.f[held]), delta[held_cell])
            gains[held] += d / REPEATS
            per_split.append(float(d.sum()))
            held_outs.append((held, delta[held_cell]))
    sd = float(np.std(gains, ddof=1)) if n > 1 else 0.0
    lift = float(gains.sum() / r.w.sum())
    z = float(gains.sum() / (sd * math.sqrt(n))) if sd > 0 else 0.0
    # The ranking lift costs a sort per split: worth it only where the likelihood rose.
    auc_lifts = [
        _auc(r.y[held], r.f[held] + shift, r.w[held]) - _auc(r.y[held], r.f[held], r.w[held])
        for held, shift in (held_outs if lift > 0 else [])
    ]
    return {
        "lift": lift,
        "z": z,
        "auc_lift": float(np.mean(auc_lifts)) if auc_lifts else None,
        "splits_improved": sum(s > 0 for s in per_split),
        "splits": len(per_split),
    }


def _auc(y, score, w) -> float:
    from sklearn.metrics import roc_auc_score

    return float(roc_auc_score(y, score, sample_weight=w)) if 0 < y.sum() < len(y) else 0.5


def _p_value(z: float) -> float:
    return 0.5 * math.erfc(z / math.sqrt(2))


# -- the characteristic ------------------------------------------------------------------------------------------


def _number(x: float) -> str:
    return f"{x:.6g}"


def _side_label(g: Grid, cut: int, upper: bool, other: bool) -> str:
    """The words of one side of a cut: 'age below 31', 'age at least 31 or missing', 'housing rent or free'."""
    if g.dtype == "numerical":
        text = f"{g.name} {'at least' if upper else 'below'} {_number(g.cuts[cut - 1])}"
    else:
        groups = g.cuts[cut:] if upper else g.cuts[:cut]
        cats = [c for group in groups for c in group]
        shown = ", ".join(cats[:4]) + (f" and {len(cats) - 4} more" if len(cats) > 4 else "")
        text = f"{g.name} {shown}"
    if other and (g.has_missing or g.has_special):
        text += " or " + " or ".join(w for w, has in (("missing", g.has_missing), ("special", g.has_special)) if has)
    return text


def _side_bins(g: Grid, cuts: list[int]) -> Bins:
    """The bins of one predictor of a cross: the cuts the structure uses, then missing and special."""
    cuts = sorted(set(c for c in cuts if c))
    if g.dtype == "numerical":
        splits: list = [g.cuts[c - 1] for c in cuts]
        n_regular = len(splits) + 1
    else:
        edges = [0, *cuts, len(g.cuts)]
        splits = [[c for group in g.cuts[lo:hi] for c in group] for lo, hi in zip(edges, edges[1:])]
        n_regular = len(splits)
    kinds: list = list(range(n_regular)) + [MISSING] * g.has_missing + [SPECIAL] * g.has_special
    return Bins(g.name, g.dtype, splits, list(g.special_codes) if g.has_special else [], kinds)


def characteristic(a: Grid, b: Grid, structure, points, neutral) -> Cross:
    """The cross of a structure: its two predictors' bins, each pair of bins' cell, the cells' labels and points."""
    transposed, cut, left_other, left, right = structure
    first, second = (b, a) if transposed else (a, b)
    fb, sb = _side_bins(first, [cut]), _side_bins(second, [left[0], right[0]])
    inner_cuts = sorted(set(c for c in (left[0], right[0]) if c))

    def code_of(g: Grid, bins: Bins, used: list[int]) -> list[int]:
        """Each bin's code on the grid (the first code it covers)."""
        out = []
        for kind in bins.kinds:
            out.append(g.k if kind in (MISSING, SPECIAL) else ([0, *used][int(kind)]))
        return out

    cells = cell_table((False, cut, left_other, left, right), first.k, second.k)
    matrix = [[int(cells[i, j]) for j in code_of(second, sb, inner_cuts)] for i in code_of(first, fb, [cut])]
    labels = []
    for side, (cut2, other_left) in enumerate((left, right)):
        head = _side_label(first, cut, bool(side), other=left_other != bool(side))
        if not cut2:
            labels.append(head)
            continue
        for upper in (False, True):
            labels.append(f"{head} and {_side_label(second, cut2, upper, other=other_left != upper)}")
    # The cells in use, numbered as the labels run.
    names = {0: 0, 1: 1, 2: 2, 3: 3}
    if not left[0]:
        names = {0: 0, 2: 1, 3: 2}
    elif not right[0]:
        names = {0: 0, 1: 1, 2: 2}
    matrix = [[names[c] for c in row] for row in matrix]
    return Cross(
        f"{first.name} x {second.name}",
        [fb, sb],
        matrix,
        labels=labels,
        points=[float(points[c]) for c in sorted(names, key=names.get)],
        neutral=float(neutral),
    )


# -- the whole search --------------------------------------------------------------------------------------------


def search(card, X, y_bad, w, grid_list: list[Grid], *, limit, seed, slope, intercept, wanted=(), left_out=()):
    """The crosses worth adding to `card` and what was considered: a plain dict per pair measured.

    `limit`: "auto" (the significant ones, at most AUTO), or a whole number (that many of the best pairs by
    held-out lift, wherever the lift is positive). `slope`, `intercept`: the card's total onto log-odds of bad.
    `wanted`: pairs set by hand, kept whatever their lift; `left_out`: pairs never tried."""
    rng = np.random.default_rng(seed)
    weights = np.ones(len(y_bad)) if w is None else np.asarray(w, dtype=float)
    r = Residual(np.asarray(y_bad, dtype=float), weights, intercept + slope * card.total(X))
    by_name = {g.name: g for g in grid_list}
    considered: list[dict] = []
    kept: list[Cross] = []
    used = {frozenset(p) for p in left_out}
    for pair in wanted:
        a, b = (by_name.get(n) for n in pair)
        if a is None or b is None:
            continue  # a predictor of too few values to split: nothing to cross
        ((_, structure),) = _screen(r, [(a, b)])
        if structure is None:
            continue
        cross, delta = _fit(r, a, b, structure, slope)
        kept.append(cross)
        considered.append({"predictors": list(pair), "round": 0, "by_hand": True, "kept": True, "name": cross.name})
        used.add(frozenset(pair))
        r = Residual(r.y, r.w, r.f + delta)
    rounds = (AUTO if limit == "auto" else int(limit)) - len(kept) * (limit == "auto")
    for round_ in range(max(rounds, 0)):
        pairs = [(a, b) for i, a in enumerate(grid_list) for b in grid_list[i + 1 :] if {a.name, b.name} not in used]
        if not pairs:
            break
        screened = _screen(r, pairs)
        order = sorted(range(len(pairs)), key=lambda i: -screened[i][0])[:MEASURED]
        order = [i for i in order if screened[i][1] is not None]
        if not order:
            break
        z_needed = _z_of(ALPHA / len(pairs))
        rows = []
        for i in order:
            a, b = pairs[i]
            m = _measure(r, a, b, rng)
            significant = m["z"] > z_needed and m["lift"] > FLOOR and m["splits_improved"] >= 0.8 * m["splits"]
            rows.append(
                {
                    "predictors": [a.name, b.name],
                    "round": round_ + 1,
                    **m,
                    "p_value": min(1.0, _p_value(m["z"]) * len(pairs)),
                    "pairs_tried": len(pairs),
                    "significant": bool(significant),
                    "kept": False,
                }
            )
        considered += rows
        best = max(range(len(rows)), key=lambda i: rows[i]["z"])
        take = rows[best]["significant"] if limit == "auto" else rows[best]["lift"] > 0
        if not take:
            break
        a, b = pairs[order[best]]
        cross, delta = _fit(r, a, b, screened[order[best]][1], slope)
        rows[best].update(kept=True, name=cross.name, cells=list(cross.labels))
        kept.append(cross)
        used.add(frozenset((a.name, b.name)))
        r = Residual(r.y, r.w, r.f + delta)
    return kept, considered


def _fit(r: Residual, a: Grid, b: Grid, structure, slope: float):
    """The cross of a structure searched on all rows, its cells' points and the shift of log-odds it makes."""
    code = _code(a, b)
    cells = cell_table(structure, a.k, b.k).ravel()
    cell = np.where(code >= 0, cells[np.maximum(code, 0)], -1)
    delta = _effects(r, cell, 4, steps=4)
    points = np.round(delta / slope)
    inside = cell >= 0
    share = np.bincount(cell[inside], weights=r.w[inside], minlength=4)
    neutral = float(np.round(np.dot(share, points) / max(share.sum(), 1e-12)))
    cross = characteristic(a, b, structure, points, neutral)
    # The shift as the card will score it: whole points, and the neutral points for unplaceable values.
    shift = np.append(points, neutral)[np.where(inside, cell, 4)] * slope
    return cross, shift


def _z_of(p: float) -> float:
    from scipy.stats import norm

    return float(norm.isf(p))
