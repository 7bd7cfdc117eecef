"""The statistics of monitoring a card, as pure functions over counts.

Everything here takes count tables, never applicants: per bin of a predictor how many applicants fell
in it, per distinct total score how many goods and bads. A file read in batches and an aggregate query
run in a warehouse give the same counts, so both get the same figures from these functions.

Scores read "higher is better". A statistic that an empty table cannot have is None, never a division
by zero. Verdicts are "green", "amber" or "red".
"""

from __future__ import annotations

import math

import numpy as np

from ._validation import KS_RESAMPLES, PSI_FLOOR, PSI_SHIFT, SEED, Z95, _ks, ks_interval

GREEN, AMBER, RED = "green", "amber", "red"
VERDICTS = (GREEN, AMBER, RED)
# A p-value below the first is amber, below the second red.
P_LEVELS = (0.05, 0.01)


def worst(verdicts) -> str | None:
    """The most severe of the verdicts given (None when there are none)."""
    found = [v for v in verdicts if v is not None]
    return max(found, key=VERDICTS.index) if found else None


def psi_verdict(value) -> str | None:
    if value is None:
        return None
    return GREEN if value < PSI_SHIFT[0] else AMBER if value < PSI_SHIFT[1] else RED


def p_verdict(p) -> str | None:
    if p is None:
        return None
    return RED if p < P_LEVELS[1] else AMBER if p < P_LEVELS[0] else GREEN


def shares(counts) -> np.ndarray | None:
    counts = np.asarray(counts, dtype=float)
    total = counts.sum()
    return counts / total if total > 0 else None


def psi(expected, actual) -> float | None:
    """Population stability index of two count vectors over the same cells.

    A cell that one side never fills would make the index infinite, so every share is taken as at least
    PSI_FLOOR (0.0001), the convention of the build report; both empty, a cell adds nothing.
    """
    e, a = shares(expected), shares(actual)
    if e is None or a is None:
        return None
    e, a = np.maximum(e, PSI_FLOOR), np.maximum(a, PSI_FLOOR)
    return float(np.sum((a - e) * np.log(a / e)))


def points_shift(expected, actual, points) -> float | None:
    """Characteristic analysis: the points an applicant gains (or loses, below 0) on average because the
    shares of a predictor's bins moved: sum over bins of (actual share - expected share) * points."""
    e, a = shares(expected), shares(actual)
    if e is None or a is None:
        return None
    return float(np.dot(a - e, np.asarray(points, dtype=float)))


def herfindahl(counts) -> float | None:
    """Concentration of applicants across cells: the sum of squared shares (1 / cells when even, 1 when all in one)."""
    s = shares(counts)
    return None if s is None else float(np.dot(s, s))


def cells(scores, goods, bads):
    """Distinct scores in ascending order with the goods and bads at each (a table may repeat a score)."""
    scores = np.asarray(scores, dtype=float)
    keys, inverse = np.unique(scores, return_inverse=True)
    k = len(keys)
    return (keys, np.bincount(inverse, weights=np.asarray(goods, dtype=float), minlength=k),
            np.bincount(inverse, weights=np.asarray(bads, dtype=float), minlength=k))


def mean_score(scores, applicants) -> float | None:
    n = np.asarray(applicants, dtype=float)
    total = n.sum()
    return float(np.dot(np.asarray(scores, dtype=float), n) / total) if total > 0 else None


def delong(goods, bads) -> tuple[float | None, float]:
    """AUC (goods above bads, ties half) and DeLong's variance of it, from the goods and bads per distinct
    score in ascending order. Each applicant's structural component depends only on its score, so the
    per-applicant sums of DeLong's method become sums over scores weighted by the counts."""
    g, b = np.asarray(goods, dtype=float), np.asarray(bads, dtype=float)
    n_good, n_bad = g.sum(), b.sum()
    if n_good == 0 or n_bad == 0:
        return None, math.nan
    bads_below = np.cumsum(b) - b
    goods_above = n_good - np.cumsum(g)
    v_good = (bads_below + 0.5 * b) / n_bad  # per good: the share of bads it outranks
    v_bad = (goods_above + 0.5 * g) / n_good  # per bad: the share of goods that outrank it
    auc = float(np.dot(g, v_good) / n_good)
    if n_good < 2 or n_bad < 2:
        return auc, math.nan
    s_good = np.dot(g, (v_good - auc) ** 2) / (n_good - 1)
    s_bad = np.dot(b, (v_bad - auc) ** 2) / (n_bad - 1)
    return auc, float(s_good / n_good + s_bad / n_bad)


def _interval(value, variance, lo, hi) -> list:
    if value is None or not math.isfinite(variance):
        return [None, None]
    half = Z95 * math.sqrt(max(variance, 0.0))
    return [max(lo, value - half), min(hi, value + half)]


def ranking(goods, bads, *, resamples: int = KS_RESAMPLES, seed: int = SEED) -> dict:
    """AUC, Gini and KS with 95% intervals (DeLong for AUC and Gini, a seeded bootstrap of the counts for
    KS), from the goods and bads per distinct score in ascending order."""
    g, b = np.asarray(goods, dtype=float), np.asarray(bads, dtype=float)
    auc, variance = delong(g, b)
    auc_ci = _interval(auc, variance, 0.0, 1.0)
    both = g.sum() > 0 and b.sum() > 0
    return {
        "applicants": int(g.sum() + b.sum()),
        "bads": int(b.sum()),
        "auc": auc,
        "auc_ci": auc_ci,
        "auc_se": math.sqrt(variance) if math.isfinite(variance) else None,
        "gini": None if auc is None else 2 * auc - 1,
        "gini_ci": [None if c is None else 2 * c - 1 for c in auc_ci],
        "ks": float(_ks(g, b)) if both else None,
        "ks_ci": ks_interval(g, b, resamples, seed) if both else [None, None],
    }


def auc_decline(auc, se, auc_dev, se_dev=0.0) -> tuple[float | None, float | None]:
    """One-sided test that the AUC fell below its development value: z = (AUC - AUC_dev) / SE, p = P(Z <= z).

    SE combines the DeLong standard errors of both samples, which share no applicant: the development AUC
    is itself measured on a finite test part, and taking it as exact would flag healthy periods of a large
    portfolio whenever the test part happened to rank well.
    """
    if auc is None or auc_dev is None or se is None:
        return None, None
    se = math.hypot(se, se_dev or 0.0)
    if se == 0:
        return None, 0.0 if auc < auc_dev else 1.0
    z = (auc - auc_dev) / se
    return float(z), float(0.5 * math.erfc(-z / math.sqrt(2)))


def scaled_bad_rate(scores, scaling: dict) -> np.ndarray:
    """The bad rate a card's scaling promises at each score: good:bad odds of target_odds at target_score,
    doubling every pdo points."""
    from scipy.special import expit

    s = np.asarray(scores, dtype=float)
    log_odds = math.log(scaling["target_odds"]) + (s - scaling["target_score"]) * math.log(2) / scaling["pdo"]
    return expit(-log_odds)


def band_of(scores, edges) -> np.ndarray:
    """The band of each score: 0 below the first edge, i from edge i-1 (included) to edge i."""
    return np.searchsorted(np.asarray(edges, dtype=float), np.asarray(scores, dtype=float), side="right")


def band_edges(scores, applicants, bands: int) -> list[float]:
    """Edges of about equal bands of applicants (tied scores share a band, so there may be fewer)."""
    keys, n, _ = cells(scores, applicants, np.zeros(len(applicants)))
    if n.sum() == 0:
        return []
    cum = np.cumsum(n) / n.sum()
    at = np.searchsorted(cum, np.arange(1, bands) / bands, side="left")
    edges = np.unique(keys[np.minimum(at + 1, len(keys) - 1)])
    return [float(e) for e in edges if e > keys[0]]


def jeffreys(bads, applicants, expected) -> np.ndarray:
    """Per band, the Jeffreys posterior Beta(d + 1/2, n - d + 1/2) probability that the true bad rate is at
    most the expected one: small values say the rate exceeds it. NaN where a band is empty."""
    from scipy.special import betainc

    d, n = np.asarray(bads, dtype=float), np.asarray(applicants, dtype=float)
    with np.errstate(invalid="ignore"):
        p = betainc(d + 0.5, n - d + 0.5, np.asarray(expected, dtype=float))
    return np.where(n > 0, p, np.nan)


def binomial(bads, applicants, expected) -> np.ndarray:
    """Per band, the one-sided binomial p-value P(X >= d) for X ~ Bin(n, expected). NaN where empty."""
    from scipy.special import betainc

    d, n = np.asarray(bads, dtype=float), np.asarray(applicants, dtype=float)
    # P(X >= d) is the regularized incomplete beta I_p(d, n - d + 1) for d >= 1 (scipy.special loads in a
    # fraction of the time scipy.stats takes).
    with np.errstate(invalid="ignore"):
        p = np.where(d > 0, betainc(np.maximum(d, 1), n - d + 1, np.asarray(expected, dtype=float)), 1.0)
    return np.where(n > 0, p, np.nan)


def hosmer_lemeshow(bads, applicants, expected) -> dict:
    """Hosmer-Lemeshow over the non-empty bands: sum of (d - n p)^2 / (n p (1 - p)), chi-square with
    bands - 2 degrees of freedom. None figures with fewer than three bands or an expected rate of 0 or 1."""
    from scipy.special import chdtrc

    d, n, p = (np.asarray(x, dtype=float) for x in (bads, applicants, expected))
    used = n > 0
    d, n, p = d[used], n[used], p[used]
    df = int(used.sum()) - 2
    if df < 1 or not np.all((p > 0) & (p < 1)):
        return {"statistic": None, "df": max(df, 0), "p_value": None}
    statistic = float(np.sum((d - n * p) ** 2 / (n * p * (1 - p))))
    return {"statistic": statistic, "df": df, "p_value": float(chdtrc(df, statistic))}


def jeffreys_interval(bads, applicants) -> tuple[np.ndarray, np.ndarray]:
    """Equal-tailed 95% Jeffreys interval of each band's bad rate (NaN where empty)."""
    from scipy.special import betaincinv

    d, n = np.asarray(bads, dtype=float), np.asarray(applicants, dtype=float)
    with np.errstate(invalid="ignore"):
        lo = np.where(d > 0, betaincinv(d + 0.5, n - d + 0.5, 0.025), 0.0)
        hi = np.where(d < n, betaincinv(d + 0.5, n - d + 0.5, 0.975), 1.0)
    empty = n == 0
    return np.where(empty, np.nan, lo), np.where(empty, np.nan, hi)
