"""The statistics of monitoring a card and the rules that turn them into verdicts, as pure functions over counts.

Everything here takes count tables, never applicants: per bin of a predictor how many applicants fell
in it, per distinct total score how many goods and bads. A file read in batches and an aggregate query
run in a warehouse give the same counts, so both get the same figures from these functions.

Scores read "higher is better". A statistic that an empty table cannot have is None, never a division
by zero. The ranking figures (AUC, Gini, KS) are the report's own, from `_metrics`.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence

import numpy as np
from numpy.typing import ArrayLike

from .._metrics import PSI_SHIFT, delong, ranking, stability

GREEN, AMBER, RED = "green", "amber", "red"
VERDICTS = (GREEN, AMBER, RED)
# Where a scope holds too few applicants (or outcomes) to judge, its checks say so instead of a colour.
TOO_FEW = "too few"
# A p-value (adjusted for the other scopes of its check) below the first is amber, below the second red.
P_LEVELS = (0.05, 0.01)
# A share of values the card cannot place, or of missing values, risen by this much: amber, red.
SHARE_RISE = (0.02, 0.05)
FEWEST_APPLICANTS = 100
FEWEST_OUTCOMES = 10  # goods and bads each, for the AUC and calibration


def worst(verdicts: Iterable[str | None]) -> str | None:
    """The most severe of the colour verdicts given (None when there are none)."""
    found = [v for v in verdicts if v in VERDICTS]
    return max(found, key=VERDICTS.index) if found else None


def verdict(p_adjusted: float, size: float | None = None, thresholds: Sequence[float] | None = None) -> str:
    """Amber or red when the change is beyond sampling noise (`p_adjusted` under P_LEVELS) and, for a check
    with a size, at least as large as its amber or red threshold: a large portfolio makes every tiny
    shift significant, a small one makes large shifts by chance."""
    significant = sum(p_adjusted < level for level in P_LEVELS)
    if thresholds is not None:
        # A size that could not be measured reaches no threshold.
        significant = min(significant, sum(size is not None and size >= t for t in thresholds))
    return VERDICTS[significant]


def holm(p_values: Sequence[float | None]) -> list:
    """Holm's step-down adjustment of a family of p-values (None entries stay None): the chance that any
    test of a family without change falls below a level stays below that level."""
    p = np.array([np.nan if v is None else v for v in p_values], dtype=float)
    used = np.flatnonzero(~np.isnan(p))
    order = used[np.argsort(p[used], kind="stable")]
    m = len(order)
    adjusted = np.minimum(1.0, np.maximum.accumulate(p[order] * (m - np.arange(m))))
    out: list = [None] * len(p)
    for i, value in zip(order, adjusted):
        out[i] = float(value)
    return out


def shares(counts: ArrayLike) -> np.ndarray | None:
    counts = np.asarray(counts, dtype=float)
    total = counts.sum()
    return counts / total if total > 0 else None


def psi(expected: ArrayLike, actual: ArrayLike) -> float | None:
    """Population stability index of two count vectors over the same cells (`_metrics.stability`)."""
    return stability(expected, actual)


def _chi2_sf(statistic: float, df: int) -> float:
    from scipy.special import chdtrc

    return float(chdtrc(df, statistic))


def homogeneity(expected: ArrayLike, actual: ArrayLike) -> dict:
    """Pearson's chi-square test that two count vectors over the same cells come from one distribution:
    whether a stability index is beyond the noise of samples this size. Cells empty on both sides add
    nothing; df = cells used - 1."""
    table = np.vstack([np.asarray(expected, dtype=float), np.asarray(actual, dtype=float)])
    table = table[:, table.sum(axis=0) > 0]
    totals = table.sum(axis=1, keepdims=True)
    df = table.shape[1] - 1
    if df < 1 or (totals == 0).any():
        return {"statistic": None, "df": max(df, 0), "p_value": None}
    fitted = totals * table.sum(axis=0) / table.sum()
    statistic = float(np.sum((table - fitted) ** 2 / fitted))
    return {"statistic": statistic, "df": df, "p_value": _chi2_sf(statistic, df)}


def _pooled_z(k: ArrayLike, n: ArrayLike, k0: ArrayLike, n0: ArrayLike) -> np.ndarray:
    """z of the rise from k0 / n0 to k / n under one pooled proportion (0 where none can differ)."""
    k, n, k0, n0 = (np.asarray(x, dtype=float) for x in (k, n, k0, n0))
    with np.errstate(invalid="ignore", divide="ignore"):
        pooled = (k + k0) / (n + n0)
        se = np.sqrt(pooled * (1 - pooled) * (1 / n + 1 / n0))
        z = np.where(se > 0, (k / n - k0 / n0) / se, 0.0)
    return z


def rise(k: float, n: float, k0: float, n0: float) -> float | None:
    """One-sided p-value that a share rose from k0 of n0 (development) to k of n, both samples' noise carried."""
    if n <= 0 or n0 <= 0:
        return None
    z = float(_pooled_z(k, n, k0, n0))
    return 0.5 * math.erfc(z / math.sqrt(2))


def band_rises(bads: ArrayLike, applicants: ArrayLike, bads0: ArrayLike, applicants0: ArrayLike) -> np.ndarray:
    """Per band, the one-sided p-value that its bad rate rose above development's (NaN where either is empty)."""
    n, n0 = np.asarray(applicants, dtype=float), np.asarray(applicants0, dtype=float)
    from scipy.special import ndtr

    p = ndtr(-_pooled_z(bads, n, bads0, n0))
    return np.where((n > 0) & (n0 > 0), p, np.nan)


def bad_rate_homogeneity(bads: ArrayLike, applicants: ArrayLike, bads0: ArrayLike, applicants0: ArrayLike) -> dict:
    """Chi-square test that every band's bad rate is the development's: per band the 2 x 2 test of the two
    samples, summed; df = bands compared, for no rate is fitted to these data."""
    d, n, d0, n0 = (np.asarray(x, dtype=float) for x in (bads, applicants, bads0, applicants0))
    pooled = np.divide(d + d0, n + n0, out=np.zeros_like(n), where=(n + n0) > 0)
    used = (n > 0) & (n0 > 0) & (pooled > 0) & (pooled < 1)
    if not used.any():
        return {"statistic": None, "df": 0, "p_value": None}
    z = _pooled_z(d[used], n[used], d0[used], n0[used])
    statistic = float(np.sum(z**2))
    df = int(used.sum())
    return {"statistic": statistic, "df": df, "p_value": _chi2_sf(statistic, df)}


def bad_rate_rises(bads: ArrayLike, applicants: ArrayLike, bads0: ArrayLike, applicants0: ArrayLike) -> dict:
    """Whether the bad rates rose from development's in the same score bands, two ways, Holm-adjusted together
    into one p-value: over all bands, and over the upper half of the bands (the better scores, where a card
    approves, whose few bads no single band can show). Each compares the bads observed with those development's
    rate in each band expects of the applicants there, so a shift of applicants between bands is no rise; both
    samples' noise is carried, at development's rate. Whether any band differs either way (`bad_rate_homogeneity`) is shown beside them."""
    d, n, d0, n0 = (np.asarray(x, dtype=float) for x in (bads, applicants, bads0, applicants0))
    usable = (n > 0) & (n0 > 0)
    rate0 = np.divide(d0, n0, out=np.zeros_like(n0), where=n0 > 0)
    # Var(observed - expected) = n p (1 - p) from the period, n^2 p (1 - p) / n0 from development's rate, p
    # being development's rate as the test assumes: pooling in the period's bads would widen the spread by
    # the very rise tested. Half a bad keeps a band where development saw none from carrying no noise.
    p0 = (d0 + 0.5) / (n0 + 1)
    variance = p0 * (1 - p0) * (n + np.divide(n * n, n0, out=np.zeros_like(n), where=n0 > 0))

    def rise(mask: np.ndarray) -> dict:
        mask = mask & usable
        spread = variance[mask].sum()
        if not mask.any() or spread <= 0:
            return {
                "observed": float(d[mask].sum()),
                "expected": float((n * rate0)[mask].sum()),
                "z": None,
                "p_value": None,
            }
        excess = d[mask].sum() - (n * rate0)[mask].sum()
        z = float(excess / math.sqrt(spread))
        return {
            "observed": float(d[mask].sum()),
            "expected": float((n * rate0)[mask].sum()),
            "z": z,
            "p_value": 0.5 * math.erfc(z / math.sqrt(2)),
        }

    tests = {"all_bands": rise(n >= 0), "upper_half": rise(np.arange(len(n)) >= len(n) // 2)}
    adjusted = [p for p in holm([t["p_value"] for t in tests.values()]) if p is not None]
    return {**tests, "any_band": bad_rate_homogeneity(d, n, d0, n0), "p_value": min(adjusted) if adjusted else None}


def hosmer_lemeshow(bads: ArrayLike, applicants: ArrayLike, expected: ArrayLike) -> dict:
    """Hosmer-Lemeshow over the non-empty bands against rates given in advance (the card's scaling): sum of
    (d - n p)^2 / (n p (1 - p)), chi-square with as many degrees of freedom as bands, since none of the
    rates was fitted to these applicants. None figures where an expected rate is 0 or 1."""
    d, n, p = (np.asarray(x, dtype=float) for x in (bads, applicants, expected))
    used = n > 0
    d, n, p = d[used], n[used], p[used]
    df = int(used.sum())
    if df < 1 or not np.all((p > 0) & (p < 1)):
        return {"statistic": None, "df": df, "p_value": None}
    statistic = float(np.sum((d - n * p) ** 2 / (n * p * (1 - p))))
    return {"statistic": statistic, "df": df, "p_value": _chi2_sf(statistic, df)}


def points_shift(expected: ArrayLike, actual: ArrayLike, points: ArrayLike) -> float | None:
    """Characteristic analysis: the points an applicant gains (or loses, below 0) on average because the
    shares of a predictor's bins moved: sum over bins of (actual share - expected share) * points."""
    e, a = shares(expected), shares(actual)
    if e is None or a is None:
        return None
    return float(np.dot(a - e, np.asarray(points, dtype=float)))


def herfindahl(counts: ArrayLike) -> float | None:
    """Concentration of applicants across cells: the sum of squared shares (1 / cells when even, 1 when all in one)."""
    s = shares(counts)
    return None if s is None else float(np.dot(s, s))


def cells(scores: ArrayLike, goods: ArrayLike, bads: ArrayLike) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Distinct scores in ascending order with the goods and bads at each (a table may repeat a score)."""
    scores = np.asarray(scores, dtype=float)
    keys, inverse = np.unique(scores, return_inverse=True)
    k = len(keys)
    return (
        keys,
        np.bincount(inverse, weights=np.asarray(goods, dtype=float), minlength=k),
        np.bincount(inverse, weights=np.asarray(bads, dtype=float), minlength=k),
    )


def mean_score(scores: ArrayLike, applicants: ArrayLike) -> float | None:
    n = np.asarray(applicants, dtype=float)
    total = n.sum()
    return float(np.dot(np.asarray(scores, dtype=float), n) / total) if total > 0 else None


def auc_decline(
    auc: float | None, se: float | None, auc_dev: float | None, se_dev: float = 0.0
) -> tuple[float | None, float | None]:
    """One-sided test that the AUC fell below its development value: z = (AUC - AUC_dev) / SE, p = P(Z <= z).

    SE combines the DeLong standard errors of both samples, which share no applicant: the development AUC
    is itself measured on a finite test part, and taking it as exact would flag healthy periods whenever
    the test part happened to rank well.
    """
    if auc is None or auc_dev is None or se is None:
        return None, None
    se = math.hypot(se, se_dev or 0.0)
    if se == 0:
        return None, 0.0 if auc < auc_dev else 1.0
    z = (auc - auc_dev) / se
    return float(z), float(0.5 * math.erfc(-z / math.sqrt(2)))


def scaled_bad_rate(scores: ArrayLike, scaling: dict) -> np.ndarray:
    """The bad rate a card's scaling promises at each score: good:bad odds of target_odds at target_score,
    doubling every pdo points."""
    from scipy.special import expit

    s = np.asarray(scores, dtype=float)
    log_odds = math.log(scaling["target_odds"]) + (s - scaling["target_score"]) * math.log(2) / scaling["pdo"]
    return expit(-log_odds)


def band_of(scores: ArrayLike, edges: ArrayLike) -> np.ndarray:
    """The band of each score: 0 below the first edge, i from edge i-1 (included) to edge i."""
    return np.searchsorted(np.asarray(edges, dtype=float), np.asarray(scores, dtype=float), side="right")


def band_edges(scores: ArrayLike, applicants: ArrayLike, bands: int) -> list[float]:
    """Edges of about equal bands of applicants (tied scores share a band, so there may be fewer)."""
    keys, n, _ = cells(scores, applicants, np.zeros(len(np.asarray(applicants))))
    if n.sum() == 0:
        return []
    cum = np.cumsum(n) / n.sum()
    at = np.searchsorted(cum, np.arange(1, bands) / bands, side="left")
    edges = np.unique(keys[np.minimum(at + 1, len(keys) - 1)])
    return [float(e) for e in edges if e > keys[0]]


def jeffreys_interval(bads: ArrayLike, applicants: ArrayLike) -> tuple[np.ndarray, np.ndarray]:
    """Equal-tailed 95% Jeffreys interval of each band's bad rate (NaN where empty)."""
    from scipy.special import betaincinv

    d, n = np.asarray(bads, dtype=float), np.asarray(applicants, dtype=float)
    with np.errstate(invalid="ignore"):
        lo = np.where(d > 0, betaincinv(d + 0.5, n - d + 0.5, 0.025), 0.0)
        hi = np.where(d < n, betaincinv(d + 0.5, n - d + 0.5, 0.975), 1.0)
    empty = n == 0
    return np.where(empty, np.nan, lo), np.where(empty, np.nan, hi)


__all__ = [
    "AMBER",
    "GREEN",
    "P_LEVELS",
    "PSI_SHIFT",
    "RED",
    "SHARE_RISE",
    "TOO_FEW",
    "VERDICTS",
    "auc_decline",
    "band_edges",
    "band_of",
    "band_rises",
    "bad_rate_homogeneity",
    "cells",
    "delong",
    "herfindahl",
    "holm",
    "homogeneity",
    "hosmer_lemeshow",
    "jeffreys_interval",
    "mean_score",
    "points_shift",
    "psi",
    "ranking",
    "rise",
    "scaled_bad_rate",
    "shares",
    "verdict",
    "worst",
]
