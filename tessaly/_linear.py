"""The logistic family: a penalised logistic regression on each predictor's WoE and its one-hot bins.

Each predictor enters as one WoE column and one column per bin, under one L2
penalty, so a bin keeps close to its predictor's WoE line unless the data
justify more. The penalty is chosen on held-out training rows (folds on small
tables, one validation part on large ones), never on test data. Its SHAP values
are exact and need no sampling: a bin's log-odds contribution is the same for
every applicant in it.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ._errors import InputError

# Inverse L2 strengths tried, strongest penalty first; on WoE columns (about unit scale) 1 is mild.
C_GRID = (0.001, 0.003, 0.01, 0.03, 0.1, 0.3, 1.0)
# Below this many training rows one validation part is too noisy to choose by: k folds instead.
FOLD_ROWS, FOLDS = 20_000, 5
VALIDATION_SHARE, VALIDATION_ROWS = 0.2, 20_000
# Rows the penalty path fits on, at most: beyond it the held-out loss curve barely moves and each fit costs more.
PATH_ROWS = 40_000
# Half an applicant in each cell keeps the WoE of a bin without goods or bads finite.
SMOOTHING = 0.5


def woe_of(positions: np.ndarray, y: np.ndarray, n_bins: list[int], w=None) -> list[np.ndarray]:
    """Per predictor, ln(good share / bad share) of each bin over the given rows (unseen values, -1, apart)."""
    w = np.ones(len(y)) if w is None else w
    good_w, bad_w = w * (y == 0), w * (y == 1)
    out = []
    for j, k in enumerate(n_bins):
        pos = np.where(positions[:, j] < 0, k, positions[:, j])
        good = np.bincount(pos, weights=good_w, minlength=k + 1)[:k] + SMOOTHING
        bad = np.bincount(pos, weights=bad_w, minlength=k + 1)[:k] + SMOOTHING
        out.append(np.log((good / good.sum()) / (bad / bad.sum())))
    return out


def design(woe: list[np.ndarray], positions: np.ndarray, n_bins: list[int]):
    """Sparse n x (p + bins): each predictor's WoE column, then every predictor's one-hot bins. An unseen value
    (position -1) has WoE 0 and no bin: it adds nothing either way."""
    from scipy import sparse

    n, p = positions.shape
    starts = np.concatenate([[0], np.cumsum(n_bins)[:-1]]).astype(np.int32)
    seen = positions >= 0
    safe = np.where(seen, positions, 0).astype(np.int32, copy=False) + starts
    # Two entries per predictor in every row, so the rows can be laid out directly: no sort, no duplicates.
    columns = np.empty((n, 2 * p), dtype=np.int32)
    values = np.empty((n, 2 * p))
    columns[:, :p] = np.arange(p)
    columns[:, p:] = safe + p
    # One gather from every predictor's WoE laid end to end; an unseen value has WoE 0.
    np.multiply(np.concatenate(woe)[safe], seen, out=values[:, :p])
    values[:, p:] = seen
    index = np.int32 if 2 * p * n < 2**31 else np.int64
    return sparse.csr_matrix(
        (values.ravel(), columns.ravel(), np.arange(0, 2 * p * n + 1, 2 * p, dtype=index)),
        shape=(n, p + int(sum(n_bins))),
    )


def _fit(F, y, C, w=None, start=None):
    from sklearn.linear_model import LogisticRegression

    model = LogisticRegression(C=C, max_iter=1000, warm_start=start is not None)
    if start is not None:
        model.coef_, model.intercept_ = start.coef_.copy(), start.intercept_.copy()
    return model.fit(F, y, sample_weight=w)


def effects(model, F, woe: list[np.ndarray], n_bins: list[int], w=None) -> tuple[list[np.ndarray], float]:
    """Each bin's SHAP log-odds for its predictor, and the base (the mean log-odds over the rows of F).

    For a linear model with the rows of F as background, the SHAP value of a column is coef * (x - mean x);
    a predictor's is the sum over its columns, the same for every applicant of a bin.
    """
    coef = model.coef_[0].astype(float)
    weights = np.ones(F.shape[0]) if w is None else w
    mean = np.asarray(F.T @ (weights / weights.sum()), dtype=float).reshape(-1)
    out, start = [], len(n_bins)
    for j, k in enumerate(n_bins):
        gamma = coef[start : start + k]
        out.append(coef[j] * (woe[j] - mean[j]) + gamma - gamma @ mean[start : start + k])
        start += k
    return out, float(model.intercept_[0] + coef @ mean)


def raw_total(bin_effects: list[np.ndarray], base: float, positions: np.ndarray) -> np.ndarray:
    """base + each predictor's bin effect (0 for an unseen value)."""
    total = np.full(len(positions), base)
    for j, e in enumerate(bin_effects):
        total += np.append(e, 0.0)[positions[:, j]]
    return total


def _log_loss(y, logit) -> np.ndarray:
    return np.logaddexp(0.0, logit) - y * logit


def _parts(y: np.ndarray, seed: int) -> list[tuple[np.ndarray, np.ndarray]]:
    from sklearn.model_selection import StratifiedKFold, train_test_split

    n = len(y)
    if n < FOLD_ROWS:
        return list(StratifiedKFold(FOLDS, shuffle=True, random_state=seed).split(np.zeros(n), y))
    held = min(int(round(VALIDATION_SHARE * n)), VALIDATION_ROWS)
    fit_idx, val_idx = train_test_split(np.arange(n), test_size=held, stratify=y, random_state=seed)
    if len(fit_idx) > PATH_ROWS:
        # C is a prior on the coefficients, so what a capped part picks carries over to the refit on all rows.
        fit_idx = np.sort(train_test_split(fit_idx, train_size=PATH_ROWS, stratify=y[fit_idx], random_state=seed)[0])
    return [(fit_idx, np.sort(val_idx))]


def _path(positions, y, n_bins, parts, w, whole, grid=C_GRID) -> tuple[np.ndarray, dict]:
    """Each row's held-out raw total per C (NaN where never held out or not tried), and the last part's model
    per C. C runs from the strongest penalty up, each fit starting from the last, and stops once the held-out
    loss has risen twice past its best."""
    totals = np.full((len(y), len(grid)), np.nan)
    prepared = []
    for fit_idx, val_idx in parts:
        w_fit = None if w is None else w[fit_idx]
        if len(parts) == 1:
            # On a table this large the validation rows' share in their own WoE is negligible.
            woe, F = whole
            F_fit = F[fit_idx]
        else:
            woe = woe_of(positions[fit_idx], y[fit_idx], n_bins, w_fit)
            F_fit = design(woe, positions[fit_idx], n_bins)
        prepared.append((fit_idx, val_idx, w_fit, woe, F_fit))
    held = np.concatenate([val for _, val in parts])
    models: dict[float, Any] = {}
    last: list[Any] = [None] * len(parts)
    best, rises = np.inf, 0
    for column, C in enumerate(grid):
        for i, (fit_idx, val_idx, w_fit, woe, F_fit) in enumerate(prepared):
            last[i] = _fit(F_fit, y[fit_idx], C, w_fit, start=last[i])
            bin_effects, base = effects(last[i], F_fit, woe, n_bins, w_fit)
            totals[val_idx, column] = raw_total(bin_effects, base, positions[val_idx])
        models[C] = last[-1]
        loss = np.average(_log_loss(y[held], totals[held, column]), weights=None if w is None else w[held])
        rises = rises + 1 if loss > best else 0
        best = min(best, loss)
        if rises == 2:
            break
    return totals, models


def _one_standard_error(y, totals, w=None) -> int:
    """The strongest penalty whose held-out log-loss is within one standard error of the best one's (the error
    of the paired per-row difference, so a curve measured on many rows is read at its own precision)."""
    seen = ~np.isnan(totals).all(axis=1)
    tried = [c for c in range(totals.shape[1]) if not np.isnan(totals[seen, c]).any()]
    rows = _log_loss(y[seen, None], totals[np.ix_(seen, tried)])
    weights = np.ones(int(seen.sum())) if w is None else w[seen]
    mean = np.average(rows, axis=0, weights=weights)
    best = int(np.argmin(mean))
    diff = rows - rows[:, [best]]
    se = np.sqrt(
        np.average((diff - np.average(diff, axis=0, weights=weights)) ** 2, axis=0, weights=weights) / len(weights)
    )
    return next(tried[i] for i in range(len(tried)) if mean[i] <= mean[best] + se[i])


class WoELogistic:
    """The fitted logistic family: WoE per bin, the regression, each bin's exact SHAP log-odds, and the
    calibration of the raw total on held-out rows (a penalised fit ranks right but is shrunk in scale)."""

    def fit(
        self,
        positions: np.ndarray,
        n_bins: list[int],
        y: np.ndarray,
        w=None,
        *,
        seed: int = 0,
        penalty: float | None = None,
        parts=None,
        start=None,
    ):
        """`penalty`: a C chosen before (the path is skipped where one validation part calibrates); `parts`: the
        seeded validation split of these rows, where the caller keeps it; `start`: a fitted model of the same
        design to start from."""
        from ._points import log_odds_map

        y = np.asarray(y).astype(int)
        self.n_bins_ = list(n_bins)
        self.woe_ = woe_of(positions, y, n_bins, w)
        F = design(self.woe_, positions, n_bins)
        parts = _parts(y, seed) if parts is None else parts
        if any(np.ptp(y[fit_idx]) == 0 for fit_idx, _ in parts):
            raise InputError(
                f"the training part holds {int(y.sum())} bad and {int(len(y) - y.sum())} good "
                "applicants: too few of one kind to fit a card that separates them; give more"
            )
        if start is not None and start.coef_.shape[1] != F.shape[1]:
            start = None
        if penalty is not None and len(parts) == 1:
            self.C_, models = penalty, {penalty: start}
        else:
            totals, models = _path(
                positions, y, n_bins, parts, w, (self.woe_, F), grid=C_GRID if penalty is None else (penalty,)
            )
            column = _one_standard_error(y, totals, w)
            self.C_ = C_GRID[column] if penalty is None else penalty
        self.model_ = _fit(F, y, self.C_, w, start=models[self.C_] if len(parts) == 1 else start)
        self.effects_, self.base_ = effects(self.model_, F, self.woe_, n_bins, w)
        if len(parts) == 1:
            val = parts[0][1]
            total, y_cal, w_cal = (
                raw_total(self.effects_, self.base_, positions[val]),
                y[val],
                None if w is None else w[val],
            )
        else:
            total, y_cal, w_cal = totals[:, column], y, w
        self.slope_, self.intercept_ = log_odds_map(total, y_cal, w_cal)
        return self

    def log_odds(self, positions: np.ndarray) -> np.ndarray:
        """Calibrated log-odds of bad."""
        return self.slope_ * raw_total(self.effects_, self.base_, positions) + self.intercept_

    def predict_proba(self, positions: np.ndarray) -> np.ndarray:
        bad = 1.0 / (1.0 + np.exp(-self.log_odds(positions)))
        return np.column_stack([1 - bad, bad])
