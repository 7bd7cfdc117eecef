"""The cross search's view of predictors and pairs: each predictor's values as ordered codes, and the best
two-level split of a pair's table of residual sums (one predictor cut once, the other cut once within each side)."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from ._binning import LEAKAGE, REFUSED
from ._bins import MISSING, SPECIAL, special_keys
from ._values import to_number

# Thresholds tried per predictor: quantiles of its values.
GRID = 16
# Predictors paired at most, by information value.
MAX_PREDICTORS = 40
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
    return Grid(
        b.name, "categorical", code_of[rows], cuts, list(b.special_codes), MISSING in b.kinds, SPECIAL in b.kinds
    )


def grids(X: pd.DataFrame, candidates, dropped: dict, special_codes) -> list[Grid]:
    """The predictors worth pairing: every binned one (left out or not), and numerical columns the binning
    found flat on their own, which may matter only jointly; the strongest by information value first."""
    iv = {b.name: float(b.table["IV"].sum()) for b in candidates}
    out = []
    for b in sorted(candidates, key=lambda b: -iv[b.name])[:MAX_PREDICTORS]:
        g = (
            _numeric_grid(b.name, X[b.name], b.special_codes)
            if b.dtype == "numerical"
            else _category_grid(b, X[b.name])
        )
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


def _splits(g, h, n, min_n):
    """The best cut of each row of sums over one ordered predictor (last column: missing or special, which
    joins either side): the gain, the cut (0: no split) and whether missing or special goes left."""
    rows, k = g.shape[0], g.shape[1] - 1
    whole = g.sum(1) ** 2 / (h.sum(1) + RIDGE)
    if k < 2:
        return whole, np.zeros(rows, dtype=np.intp), np.zeros(rows, dtype=bool)
    cg, ch, cn = (np.cumsum(a[:, :k], axis=1)[:, :-1] for a in (g, h, n))
    tg, th, tn = g.sum(1, keepdims=True), h.sum(1, keepdims=True), n.sum(1, keepdims=True)
    gains = []
    for left_other in (0, 1):
        lg, lh, ln = (c + left_other * a[:, k:] for c, a in ((cg, g), (ch, h), (cn, n)))
        gain = lg**2 / (lh + RIDGE) + (tg - lg) ** 2 / (th - lh + RIDGE)
        gains.append(np.where((ln < min_n) | (tn - ln < min_n), -np.inf, gain))
    both = np.concatenate(gains, axis=1)  # (rows, 2 * (k - 1))
    at = np.argmax(both, axis=1)
    best = both[np.arange(rows), at]
    split = best > whole
    cut = np.where(split, at % (k - 1) + 1, 0)
    return np.where(split, best, whole), cut, split & (at >= k - 1)


def search_pair(G, H, N, min_n):
    """The best two-level structure of a pair's table (rows: first predictor): (gain over one cell, structure).
    A structure is (transposed, cut, other left, split of the left side, split of the right side)."""
    return search_pairs(G[None], H[None], N[None], min_n)[0]


def search_pairs(G, H, N, min_n) -> list[tuple]:
    """`search_pair` of each of a stack of tables of one shape (pairs, first codes, second codes), at once: the
    search is many small steps, and one step over every pair costs about what one over a single pair does."""
    base = G.sum((1, 2)) ** 2 / (H.sum((1, 2)) + RIDGE)
    best: list[tuple] = [(0.0, None)] * len(G)
    for transposed in (False, True):
        g2, h2, n2 = (a.transpose(0, 2, 1) for a in (G, H, N)) if transposed else (G, H, N)
        pairs, k, width = g2.shape[0], g2.shape[1] - 1, g2.shape[2]
        if k < 2:
            continue
        # Every first-level partition at once: cut 1..k-1, missing or special left or right.
        cuts = np.tile(np.arange(1, k), 2)
        other_left = np.repeat([False, True], k - 1)
        left = np.arange(k + 1)[None, :] < cuts[:, None]
        left[:, k] = other_left
        sides = []
        for mask in (left, ~left):
            m = mask.astype(float)
            gs, hs, ns = (np.einsum("mk,pkj->pmj", m, a).reshape(-1, width) for a in (g2, h2, n2))
            sides.append([x.reshape(pairs, len(cuts)) for x in _splits(gs, hs, ns, min_n)])
        n_left = np.einsum("mk,pk->pm", left.astype(float), n2.sum(2))
        gain = sides[0][0] + sides[1][0] - base[:, None]
        ok = (n_left >= min_n) & (n2.sum((1, 2))[:, None] - n_left >= min_n) & ((sides[0][1] > 0) | (sides[1][1] > 0))
        gain = np.where(ok, gain, -np.inf)
        for p, i in enumerate(np.argmax(gain, axis=1)):
            if gain[p, i] > best[p][0]:
                inner = tuple((int(side[1][p, i]), bool(side[2][p, i])) for side in sides)
                best[p] = (float(gain[p, i]), (transposed, int(cuts[i]), bool(other_left[i]), *inner))
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
