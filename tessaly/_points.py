"""Points rules: pure functions from arrays (SHAP contributions, bins, shares) to points per bin.

Nothing here fits a model or reads a file, so each rule can be checked on numbers
worked out by hand.
"""

from __future__ import annotations

import math

import numpy as np


def scaling(pdo: float, target_score: float, target_odds: float) -> tuple[float, float]:
    """Factor and offset: score = offset + factor * ln(good:bad odds)."""
    factor = pdo / math.log(2)
    return factor, target_score - factor * math.log(target_odds)


def bin_means(contribution: np.ndarray, pos: np.ndarray, n_bins: int, weights: np.ndarray | None = None) -> np.ndarray:
    """Mean contribution of the rows in each bin (0 for a bin without rows); rows outside every bin count nowhere."""
    inside = pos >= 0
    w = None if weights is None else np.asarray(weights, dtype=float)[inside]
    counts = np.bincount(pos[inside], weights=w, minlength=n_bins)
    sums = np.bincount(
        pos[inside], weights=contribution[inside] if w is None else contribution[inside] * w, minlength=n_bins
    )
    return np.divide(sums, counts, out=np.zeros(n_bins), where=counts > 0)


def log_odds_map(total: np.ndarray, y_bad: np.ndarray, weights: np.ndarray | None = None) -> tuple[float, float]:
    """Slope and intercept of one logistic fit that maps summed contributions onto log-odds of bad."""
    from sklearn.linear_model import LogisticRegression

    fit = LogisticRegression(C=1e6, max_iter=1000).fit(total.reshape(-1, 1), y_bad, sample_weight=weights)
    return float(fit.coef_[0, 0]), float(fit.intercept_[0])


def additive(
    means: list[np.ndarray], shares: list[np.ndarray], *, factor: float, offset: float, slope: float, intercept: float
) -> list[tuple[np.ndarray, float]]:
    """Whole points per bin and the neutral points of each predictor.

    A bin's points are its mean log-odds contribution, scaled; each predictor's
    lowest bin sits at 0 and the rest of the score is shared evenly, so points
    stay positive where they can. Neutral points are the share-weighted mean.
    """
    raw = [-factor * slope * m for m in means]
    rest = offset - factor * intercept + sum(r.min() for r in raw)
    out = []
    for r, share in zip(raw, shares):
        points = np.round(r - r.min() + rest / len(raw))
        # Whole like the bins' points, so that an unseen value keeps the total whole.
        out.append((points, float(np.round(np.dot(share / share.sum(), points)))))
    return out


def without_unused(rule: list[tuple[np.ndarray, float]]) -> tuple[list[int], list[tuple[np.ndarray, float]]]:
    """The predictors whose bins do not all get the same points, and their points and neutral points.

    A predictor with one whole number of points for everyone moves no one's rank; that number is spread over
    the predictors kept, in whole points, so every applicant's total stays exactly what it was.
    """
    flat = [j for j, (points, _) in enumerate(rule) if np.ptp(points) == 0]
    if not flat or len(flat) == len(rule):
        return list(range(len(rule))), rule
    kept = [j for j in range(len(rule)) if j not in flat]
    each, extra = divmod(int(sum(rule[j][0][0] for j in flat)), len(kept))
    return kept, [(rule[j][0] + each + (i < extra), rule[j][1] + each + (i < extra)) for i, j in enumerate(kept)]


def falling(means: np.ndarray, woe: np.ndarray, weights: np.ndarray) -> np.ndarray:
    """The nearest bin means (weighted least squares) that never rise as WoE rises: points that never fall."""
    from sklearn.isotonic import IsotonicRegression

    return IsotonicRegression(increasing=False).fit(woe, means, sample_weight=weights).predict(woe)


def direction(points: np.ndarray, woe: np.ndarray) -> tuple[float, bool]:
    """Spearman correlation of points with WoE, and whether the points never fall as WoE rises."""
    from scipy.stats import spearmanr

    order = np.argsort(woe, kind="stable")
    p = np.asarray(points, dtype=float)[order]
    follows = bool(np.all(np.diff(p) >= 0))
    if len(p) < 2 or np.ptp(p) == 0 or np.ptp(woe) == 0:
        return (1.0 if follows else 0.0), follows
    return float(spearmanr(woe, points).statistic), follows
