"""How well a score ranks applicants and how it holds up: AUC, Gini and KS with their intervals, the stability
index, gains and calibration; the numbers behind the report, metrics.json and monitoring.

Every score here reads "higher is better": a good applicant should score above a bad one. Outcomes are
`y_bad`, 1 for a bad applicant and 0 for a good one. The ranking figures are computed once, from the goods
and bads at each distinct score (`ranking`), whether the applicants are at hand or only their counts.
"""

from __future__ import annotations

import math
import warnings

import numpy as np
from numpy.typing import ArrayLike

from ._checks import weights_of
from ._errors import InputError

Z95 = 1.959963984540054
KS_RESAMPLES = 1000
SEED = 0
PSI_FLOOR = 1e-4  # share given to an empty cell so that one empty decile does not make the index infinite
PSI_SHIFT = (0.1, 0.25)  # the usual reading: below 0.1 stable, above 0.25 shifted
# Resampled KS draws one count per distinct score and resample; this bounds one batch of them.
_BATCH_CELLS = 4_000_000
# KS intervals resample at most this many cells of neighbouring scores: a report of many scorers or periods
# pays for each bootstrap, and the pooling's effect on the observed KS moves the interval back.
KS_CELLS = 500


def _outcomes(y_bad: ArrayLike, score: ArrayLike, what: str = "scores") -> tuple[np.ndarray, np.ndarray]:
    y = np.asarray(y_bad)
    s = np.asarray(score, dtype=float)
    if y.ndim != 1 or s.shape != y.shape:
        raise InputError(f"outcomes and {what} differ in shape ({y.shape} and {s.shape}): give one score per applicant")
    if y.dtype == bool:
        y = y.astype(int)
    if not np.isin(y, (0, 1)).all():
        raise InputError("outcomes must be 1 for a bad applicant and 0 for a good one")
    y = y.astype(int)
    if not np.isfinite(s).all():
        raise InputError(f"{int((~np.isfinite(s)).sum())} {what} are missing or infinite: score every applicant")
    bads = int(y.sum())
    if bads == 0 or bads == len(y):
        kind = "good" if bads == 0 else "bad"
        raise InputError(f"validation needs good and bad applicants; the {len(y)} given are all {kind}")
    return y, s


def _weighted_quantile(x: np.ndarray, w: np.ndarray, q: np.ndarray) -> np.ndarray:
    """The quantiles of x when each value stands w times (as np.quantile of the repeated values, 'inverted_cdf')."""
    order = np.argsort(x, kind="stable")
    cum = np.cumsum(w[order])
    at = np.searchsorted(cum, q * cum[-1], side="left")
    return x[order][np.minimum(at, len(x) - 1)]


def _delong_weighted(y: np.ndarray, scores: np.ndarray, w: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """As _delong, each applicant standing w times: the figures of the rows repeated, without repeating them."""
    good, bad = y == 0, y == 1
    m, n = w[good].sum(), w[bad].sum()
    goods_v: list[np.ndarray] = []
    bads_v: list[np.ndarray] = []
    for s in scores:
        _, cell = np.unique(s, return_inverse=True)
        k = int(cell.max()) + 1
        g = np.bincount(cell, weights=w * good, minlength=k)
        b = np.bincount(cell, weights=w * bad, minlength=k)
        bad_below = np.cumsum(b) - b + b / 2  # bads scoring below each cell, ties half
        good_below = np.cumsum(g) - g + g / 2
        goods_v.append(bad_below[cell[good]] / n)
        bads_v.append(1.0 - good_below[cell[bad]] / m)
    v_good, v_bad = np.array(goods_v), np.array(bads_v)
    auc = v_good @ w[good] / m
    with np.errstate(invalid="ignore", divide="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        cov = _weighted_cov(v_good, w[good]) / m + _weighted_cov(v_bad, w[bad]) / n
    return auc, cov


def _weighted_cov(v: np.ndarray, w: np.ndarray) -> np.ndarray:
    """Covariance of the rows of v over columns standing w times each (divisor: total weight - 1)."""
    mean = v @ w / w.sum()
    d = v - mean[:, None]
    return np.atleast_2d((d * w) @ d.T / (w.sum() - 1))


def _delong(y: np.ndarray, scores: np.ndarray, w: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """AUCs of several scores (rows) on the same applicants and DeLong's covariance matrix of them: what the
    difference between a challenger's AUC and the card's needs, beyond each one's own `ranking`."""
    from scipy.stats import rankdata

    if w is not None:
        return _delong_weighted(y, scores, w)

    good, bad = scores[:, y == 0], scores[:, y == 1]
    m, n = good.shape[1], bad.shape[1]
    rank_all = rankdata(np.hstack([good, bad]), axis=1)  # midranks count ties as half
    above = rank_all[:, :m] - rankdata(good, axis=1)  # per good: bads scoring below (ties half)
    below = rank_all[:, m:] - rankdata(bad, axis=1)  # per bad: goods scoring below it
    auc = above.sum(axis=1) / (m * n)
    v_good = above / n
    v_bad = 1.0 - below / m
    # With a single good or bad there is no variance to estimate: the interval is left open (NaN -> None).
    with np.errstate(invalid="ignore", divide="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        cov = np.atleast_2d(np.cov(v_good)) / m + np.atleast_2d(np.cov(v_bad)) / n
    return auc, cov


def _cells(y: np.ndarray, s: np.ndarray, w: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """Goods and bads at each distinct score (weighted, where weights are given), lowest score first."""
    _, inverse = np.unique(s, return_inverse=True)
    k = int(inverse.max()) + 1
    bad = np.bincount(inverse, weights=y if w is None else y * w, minlength=k)
    return np.bincount(inverse, weights=w, minlength=k) - bad, bad


def _ks(good: np.ndarray, bad: np.ndarray) -> np.ndarray:
    """KS over the last axis: the widest gap between the bads' and the goods' score distributions."""
    share_bad = np.cumsum(bad, axis=-1) / bad.sum(axis=-1, keepdims=True)
    gap = share_bad - np.cumsum(good, axis=-1) / good.sum(axis=-1, keepdims=True)
    return np.maximum(gap.max(axis=-1), 0.0)


def ks_interval(good: np.ndarray, bad: np.ndarray, resamples: int = KS_RESAMPLES, seed: int = SEED) -> list[float]:
    """A seeded bootstrap 95% interval of KS from the goods and bads per distinct score, ascending."""
    # Goods and bads are resampled apart so every resample has both; a resample is a multinomial draw
    # over the distinct scores, which is the same as drawing applicants but costs nothing per applicant.
    # Past KS_CELLS distinct scores, neighbouring scores are pooled for the draws and the interval is
    # moved by the pooling's effect on the observed KS (at most one pooled cell's share).
    shift = 0.0
    if len(good) > KS_CELLS:
        quantiles = np.linspace(0, good.sum() + bad.sum(), KS_CELLS, endpoint=False)
        starts = np.unique(np.searchsorted(np.cumsum(good + bad), quantiles, side="right"))
        full = float(_ks(good, bad))
        good, bad = np.add.reduceat(good, starts), np.add.reduceat(bad, starts)
        shift = full - float(_ks(good, bad))
    rng = np.random.default_rng(seed)
    # Weighted counts draw as many applicants as they stand for.
    g, b = max(1, int(round(good.sum()))), max(1, int(round(bad.sum())))
    batch = max(1, _BATCH_CELLS // len(good))
    stats = []
    for start in range(0, resamples, batch):
        size = min(batch, resamples - start)
        stats.append(
            _ks(rng.multinomial(g, good / good.sum(), size=size), rng.multinomial(b, bad / bad.sum(), size=size))
        )
    lo, hi = np.quantile(np.concatenate(stats), [0.025, 0.975]) + shift
    return [float(max(lo, 0.0)), float(min(hi, 1.0))]


def _interval(value: float, variance: float, lo: float = -math.inf, hi: float = math.inf) -> list:
    if not math.isfinite(variance):
        return [None, None]
    half = Z95 * math.sqrt(max(variance, 0.0))
    return [float(max(lo, value - half)), float(min(hi, value + half))]


def delong(goods: ArrayLike, bads: ArrayLike) -> tuple[float | None, float]:
    """AUC (goods above bads, ties half) and DeLong's variance of it, from the goods and bads per distinct
    score in ascending order. Each applicant's structural component depends only on its score, so the
    per-applicant sums of DeLong's method become sums over scores weighted by the counts (or weights)."""
    g, b = np.asarray(goods, dtype=float), np.asarray(bads, dtype=float)
    n_good, n_bad = g.sum(), b.sum()
    if n_good == 0 or n_bad == 0:
        return None, math.nan
    bads_below = np.cumsum(b) - b
    goods_above = n_good - np.cumsum(g)
    v_good = (bads_below + 0.5 * b) / n_bad  # per good: the share of bads it outranks
    v_bad = (goods_above + 0.5 * g) / n_good  # per bad: the share of goods that outrank it
    auc = float(np.dot(g, v_good) / n_good)
    if n_good <= 1 or n_bad <= 1:
        return auc, math.nan
    s_good = np.dot(g, (v_good - auc) ** 2) / (n_good - 1)
    s_bad = np.dot(b, (v_bad - auc) ** 2) / (n_bad - 1)
    return auc, float(s_good / n_good + s_bad / n_bad)


def ranking(goods: ArrayLike, bads: ArrayLike, *, resamples: int = KS_RESAMPLES, seed: int = SEED) -> dict:
    """AUC, Gini and KS with 95% intervals (DeLong for AUC and Gini, a seeded bootstrap of the counts for KS),
    from the goods and bads per distinct score in ascending order; None where a figure cannot be had."""
    g, b = np.asarray(goods, dtype=float), np.asarray(bads, dtype=float)
    auc, variance = delong(g, b)
    auc_ci = [None, None] if auc is None else _interval(auc, variance, 0.0, 1.0)
    both = g.sum() > 0 and b.sum() > 0
    return {
        "auc": auc,
        "auc_ci": auc_ci,
        "auc_se": math.sqrt(variance) if math.isfinite(variance) else None,
        "gini": None if auc is None else 2 * auc - 1,
        "gini_ci": [None if c is None else 2 * c - 1 for c in auc_ci],
        "ks": float(_ks(g, b)) if both else None,
        "ks_ci": ks_interval(g, b, resamples, seed) if both else [None, None],
    }


def _summary(
    y: np.ndarray, s: np.ndarray, *, resamples: int = KS_RESAMPLES, seed: int = SEED, w: np.ndarray | None = None
) -> dict:
    good, bad = _cells(y, s, w)
    r = ranking(good, bad, resamples=resamples, seed=seed)
    weighted = {} if w is None else {"weight": float(w.sum()), "bad_weight": float(w[y == 1].sum())}
    return {
        "n": int(len(y)),
        "bad": int(y.sum()),
        **weighted,
        **{k: r[k] for k in ("auc", "auc_ci", "gini", "gini_ci", "ks", "ks_ci")},
    }


def evaluate(
    y_bad: ArrayLike,
    score: ArrayLike,
    *,
    resamples: int = KS_RESAMPLES,
    seed: int = SEED,
    weights: ArrayLike | None = None,
) -> dict:
    """AUC, Gini and KS with 95% intervals (DeLong for AUC and Gini, a seeded bootstrap for KS), n and bad."""
    y, s = _outcomes(y_bad, score)
    return _summary(y, s, resamples=resamples, seed=seed, w=weights_of(weights, len(y)))


def psi(
    expected: ArrayLike,
    actual: ArrayLike,
    bins: int = 10,
    *,
    expected_weights: ArrayLike | None = None,
    actual_weights: ArrayLike | None = None,
) -> float | None:
    """Population stability index of a score, on the deciles (or `bins` quantiles) of the expected one; None
    where one side's weights are all zero."""
    e = np.asarray(expected, dtype=float)
    a = np.asarray(actual, dtype=float)
    we = np.ones(len(e)) if expected_weights is None else np.asarray(expected_weights, dtype=float)
    wa = np.ones(len(a)) if actual_weights is None else np.asarray(actual_weights, dtype=float)
    we, wa = we[np.isfinite(e)], wa[np.isfinite(a)]
    e, a = e[np.isfinite(e)], a[np.isfinite(a)]
    if len(e) == 0 or len(a) == 0:
        raise InputError("the stability index needs scores on both samples")
    q = np.linspace(0, 1, bins + 1)[1:-1]
    edges = np.unique(np.quantile(e, q) if expected_weights is None else _weighted_quantile(e, we, q))
    k = len(edges) + 1
    return stability(
        np.bincount(np.searchsorted(edges, e, side="left"), weights=we, minlength=k),
        np.bincount(np.searchsorted(edges, a, side="left"), weights=wa, minlength=k),
    )


def stability(expected: ArrayLike, actual: ArrayLike) -> float | None:
    """Population stability index of two count vectors over the same cells (None where either is empty).

    A cell that one side never fills would make the index infinite, so every share is taken as at least
    PSI_FLOOR.
    """
    e, a = np.asarray(expected, dtype=float), np.asarray(actual, dtype=float)
    if e.sum() <= 0 or a.sum() <= 0:
        return None
    e, a = np.maximum(e / e.sum(), PSI_FLOOR), np.maximum(a / a.sum(), PSI_FLOOR)
    return float(np.sum((a - e) * np.log(a / e)))
