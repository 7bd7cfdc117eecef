"""Cross characteristics: pairs of predictors whose joint effect an additive card misses.

Each pair is searched on the card's residual by a two-level split (one predictor split once, the other split
once within each side: at most four cells), and a pair is kept only where the lift of that search, repeated on
held-out training rows over several splits, is significant after allowing for every pair tried and above a
floor. The kept pair becomes one characteristic of the card, its cells worth points like any bin.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace

import numpy as np

from ._card import Cross
from ._cross_cells import characteristic
from ._cross_grid import RIDGE, Grid, cell_table, grids, search_pair, search_pairs

# Pairs whose held-out lift is measured at most, in each round.
MEASURED = 8
RESCREENED = 50  # pairs searched again after a cross is kept, at most
AUTO = 3  # crosses kept at most when their number is left to the data
# Applicants the search and its held-out measurement see at most (a seeded sample): a pair worth a
# characteristic shows long before; the points of a pair kept are fitted on every applicant.
SEARCH_ROWS = 60_000
FOLDS, REPEATS = 5, 2
ALPHA = 0.05  # over all pairs tried (Bonferroni)
# Held-out lift below this many nats of log-likelihood per applicant is not worth a characteristic.
FLOOR = 5e-4


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
    """Each pair's best structure and gain on all rows: which pairs earn the held-out measurement. Pairs of one
    shape are searched together."""
    g, h, w = r.parts()
    tables: dict = {}
    for i, (a, b) in enumerate(pairs):
        code = _code(a, b)
        ok = code >= 0
        sums = _pair_sums(code[ok], (g[ok], h[ok], w[ok]), (a.k + 1) * (b.k + 1))
        tables.setdefault((a.k, b.k), []).append((i, [s.reshape(a.k + 1, b.k + 1) for s in sums]))
    out: list = [None] * len(pairs)
    for group in tables.values():
        G, H, N = (np.stack([t[j] for _, t in group]) for j in range(3))
        for (i, _), found in zip(group, search_pairs(G, H, N, _min_cell(w.sum()))):
            out[i] = found
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
        sums = [
            s.reshape(FOLDS, size) for s in _pair_sums(fold[ok] * size + code[ok], (g[ok], h[ok], w[ok]), FOLDS * size)
        ]
        totals = [s.sum(0) for s in sums]
        for k in range(FOLDS):
            G, H, N = ((t - s[k]).reshape(a.k + 1, b.k + 1) for t, s in zip(totals, sums))
            _, structure = search_pair(G, H, N, _min_cell(N.sum()))
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
    # The ranking lift costs a sort per split: worth it only where the likelihood rose beyond the floor.
    auc_lifts = [
        _auc(r.y[held], r.f[held] + shift, r.w[held]) - _auc(r.y[held], r.f[held], r.w[held])
        for held, shift in (held_outs if lift > FLOOR else [])
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


# -- the whole search --------------------------------------------------------------------------------------------


def for_card(sc, card, X, y_bad, w, dropped, step) -> tuple[list[Cross], list[dict]]:
    """The crosses a fitted scorecard's card gains, and every pair measured: its `crosses` and `bins` (pairs set
    or left out by hand) say which; the predictors are its candidates and the numerical columns left out."""
    wanted, left_out = hand_crosses(sc.bins)
    if sc.crosses == "none" and not wanted:
        return [], []
    step("searching pairs of predictors for cross characteristics")
    weights = np.ones(len(y_bad)) if w is None else np.asarray(w, dtype=float)
    total, y = card.total(X), np.asarray(y_bad, dtype=float)
    many = len(y) > SEARCH_ROWS
    at = np.random.default_rng(sc.seed).choice(len(y), SEARCH_ROWS, replace=False) if many else slice(None)
    slope, intercept = _calibration(total[at], y[at], weights[at])
    r = Residual(y, weights, intercept + slope * total)
    kept, considered = search(
        r,
        grids(X, sc.candidates_, dropped, sc.special_codes),
        limit=0 if sc.crosses == "none" else sc.crosses,
        seed=sc.seed,
        slope=slope,
        wanted=wanted,
        left_out=left_out,
    )
    for c in kept:
        step(f"cross '{c.name}': {len(c.labels)} cells")
    return kept, considered


def _calibration(total, y, w, steps: int = 25) -> tuple[float, float]:
    """Slope and intercept of the logistic fit of bad on the card's total, by Newton steps (two numbers: no
    solver needed, and none that costs seconds on a large table)."""
    x = (total - total.mean()) / (total.std() or 1.0)
    beta = np.array([math.log(max(np.average(y, weights=w), 1e-9) / max(1 - np.average(y, weights=w), 1e-9)), 0.0])
    for _ in range(steps):
        p = 1 / (1 + np.exp(-(beta[0] + beta[1] * x)))
        g = np.array([np.dot(w, y - p), np.dot(w, (y - p) * x)])
        h = w * p * (1 - p)
        step = np.linalg.solve(
            np.array([[h.sum(), np.dot(h, x)], [np.dot(h, x), np.dot(h, x * x)]]) + 1e-9 * np.eye(2), g
        )
        beta += step
        if np.abs(step).max() < 1e-10:
            break
    slope = beta[1] / (total.std() or 1.0)
    return float(slope), float(beta[0] - slope * total.mean())


def _saturated(r: Residual, grid_list: list[Grid], sweeps: int = 2) -> Residual:
    """The card's log-odds with every predictor's own shape fitted on its fine codes: what is left is what no
    additive card holds, so a coarse bin or a shrunk point is not taken for a pair."""
    f = r.f.copy()
    for _ in range(sweeps):
        for g in grid_list:
            codes = np.where(g.codes >= 0, g.codes, -1)
            f += np.append(_effects(Residual(r.y, r.w, f), codes, g.k + 1), 0.0)[codes]
    return Residual(r.y, r.w, f)


def search(r: Residual, grid_list: list[Grid], *, limit, seed, slope, wanted=(), left_out=()):
    """The crosses worth adding to a card whose log-odds of bad are `r.f`, and what was considered: a plain
    dict per pair measured.

    `limit`: "auto" (the significant ones, at most AUTO), or a whole number (that many of the best pairs by
    held-out lift, wherever the lift is positive). `slope`: log-odds of bad per point. `wanted`: pairs set by
    hand, kept whatever their lift; `left_out`: pairs never tried. Pairs are searched and measured beyond every
    predictor's own fine shape, on a seeded sample of at most SEARCH_ROWS applicants; the points of a pair kept
    are fitted on all of them, on the card as it is."""
    rng = np.random.default_rng(seed)
    picked = np.sort(rng.choice(len(r.y), SEARCH_ROWS, replace=False)) if len(r.y) > SEARCH_ROWS else None
    sampled = grid_list if picked is None else [replace(g, codes=g.codes[picked]) for g in grid_list]
    full = {g.name: g for g in grid_list}
    by_name = {g.name: g for g in sampled}
    considered: list[dict] = []
    kept: list[Cross] = []
    used = {frozenset(p) for p in left_out}
    beyond = _saturated(r if picked is None else Residual(r.y[picked], r.w[picked], r.f[picked]), sampled)

    def keep(a, b, structure):
        nonlocal r, beyond
        cross, shift, cell = _fit(r, full[a.name], full[b.name], structure, slope)
        kept.append(cross)
        used.add(frozenset((a.name, b.name)))
        r = Residual(r.y, r.w, r.f + shift)
        cell = cell if picked is None else cell[picked]
        beyond = Residual(beyond.y, beyond.w, beyond.f + np.append(_effects(beyond, cell, 4, steps=2), 0.0)[cell])
        return cross

    for pair in wanted:
        a, b = (by_name.get(n) for n in pair)
        if a is None or b is None:
            continue  # a predictor of too few values to split: nothing to cross
        ((_, structure),) = _screen(beyond, [(a, b)])
        if structure is not None:
            cross = keep(a, b, structure)
            considered.append({"predictors": list(pair), "round": 0, "by_hand": True, "kept": True, "name": cross.name})
    rounds = (AUTO if limit == "auto" else int(limit)) - len(kept) * (limit == "auto")
    gains: dict = {}
    for round_ in range(max(rounds, 0)):
        pairs = [(a, b) for i, a in enumerate(sampled) for b in sampled[i + 1 :] if {a.name, b.name} not in used]
        if not pairs:
            break
        tried = len(pairs)
        # After a cross is kept, only the pairs that gained most before can gain enough now: a pair's gain moves
        # little when another pair's cells are added.
        if len(gains) > RESCREENED:
            floor = sorted(gains.values(), reverse=True)[RESCREENED - 1]
            pairs = [p for p in pairs if gains.get(frozenset((p[0].name, p[1].name)), np.inf) >= floor]
        screened = _screen(beyond, pairs)
        gains = {frozenset((a.name, b.name)): g for (a, b), (g, _) in zip(pairs, screened)}
        order = [i for i in sorted(range(len(pairs)), key=lambda i: -screened[i][0]) if screened[i][1] is not None]
        rows = [_row(beyond, *pairs[i], rng, round_ + 1, tried) for i in order[:MEASURED]]
        considered += rows
        if not rows:
            break
        best = max(range(len(rows)), key=lambda i: rows[i]["z"])
        if not (rows[best]["significant"] if limit == "auto" else rows[best]["lift"] > 0):
            break
        cross = keep(*pairs[order[best]], screened[order[best]][1])
        rows[best].update(kept=True, name=cross.name, cells=list(cross.labels))
    return kept, considered


def _row(r: Residual, a: Grid, b: Grid, rng, round_: int, tried: int) -> dict:
    """What considering one pair found: its held-out lift and whether that is significant over `tried` pairs."""
    m = _measure(r, a, b, rng)
    significant = m["z"] > _z_of(ALPHA / tried) and m["lift"] > FLOOR and m["splits_improved"] >= 0.8 * m["splits"]
    return {
        "predictors": [a.name, b.name],
        "round": round_,
        **m,
        "p_value": min(1.0, _p_value(m["z"]) * tried),
        "pairs_tried": tried,
        "significant": bool(significant),
        "kept": False,
    }


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
    return cross, shift, cell


def _z_of(p: float) -> float:
    from scipy.stats import norm

    return float(norm.isf(p))


def hand_crosses(bins) -> tuple[list[tuple[str, str]], list[tuple[str, str]]]:
    """The crosses of a bins file: pairs set by hand ({"cross": [a, b]}), and pairs left out by hand
    ({"cross": [a, b], "left_out": "reason"})."""
    wanted: list[tuple[str, str]] = []
    left_out: list[tuple[str, str]] = []
    for entry in (bins or {}).values():
        if isinstance(entry, dict) and "cross" in entry:
            pair = tuple(entry["cross"])
            (left_out if isinstance(entry.get("left_out"), str) else wanted).append(pair)
    return wanted, left_out
