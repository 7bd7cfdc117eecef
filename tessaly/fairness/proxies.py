"""Proxies: predictors that carry a protected column into the card although the column itself is never used.

Each predictor is read through the card's own bins, so categorical and numerical predictors are measured alike:
Cramér's V of the bins against the groups, with the chi-square test's p-value. A flagged predictor is then
left out and the card refitted on the same bins and training rows: what that costs in test AUC and what it
changes in each impact ratio is measured, not assumed.
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

# Cramér's V from which a predictor is named a proxy (0.1 small, 0.3 moderate, 0.5 strong association).
STRONG = 0.3
# ... and only where the association is unlikely to be chance.
SIGNIFICANT = 0.05


def cramers_v(a_codes, b_codes, w=None) -> tuple[float, float]:
    """Cramér's V of two codings of the same applicants and the chi-square test's p-value; (0, 1) where either
    takes one value only."""
    from scipy.stats import chi2

    a, b = np.asarray(a_codes), np.asarray(b_codes)
    _, a = np.unique(a, return_inverse=True)
    _, b = np.unique(b, return_inverse=True)
    r, c = int(a.max(initial=-1)) + 1, int(b.max(initial=-1)) + 1
    table = np.bincount(a * c + b, weights=w, minlength=r * c).reshape(r, c).astype(float)
    table = table[table.sum(axis=1) > 0][:, table.sum(axis=0) > 0]
    n = table.sum()
    if min(table.shape) < 2 or n <= 0:
        return 0.0, 1.0
    expected = np.outer(table.sum(axis=1), table.sum(axis=0)) / n
    statistic = float(((table - expected) ** 2 / expected).sum())
    dof = (table.shape[0] - 1) * (table.shape[1] - 1)
    v = math.sqrt(statistic / (n * (min(table.shape) - 1)))
    return min(v, 1.0), float(chi2.sf(statistic, dof))


def scan(card, X, column: str, group_codes, w=None) -> list[dict]:
    """Each of the card's predictors against one protected column, strongest first."""
    rows = []
    for p in card.predictors:
        bins = p.locate(X[p.name])[0]
        v, pvalue = cramers_v(bins, group_codes, w)
        rows.append(
            {
                "predictor": p.name,
                "protected": column,
                "cramers_v": v,
                "p_value": pvalue,
                "flagged": v >= STRONG and pvalue < SIGNIFICANT,
            }
        )
    return sorted(rows, key=lambda r: -r["cramers_v"])


def refit_without(sc, name: str, train):
    """The same card refitted without one predictor: its bins as they are, the training rows as they were."""
    from sklearn.base import clone

    X_train, y_train, *w = train
    keep = [p.name for p in sc.card_.predictors if p.name != name]
    twin = clone(sc).set_params(
        bins={k: v for k, v in sc.card_.bins().items() if k in keep},
        min_iv=None,
        max_corr=None,
        protected=None,
        reasons=None,
    )
    return twin.fit(X_train[keep], y_train, sample_weight=w[0] if w else None)


def leave_out(sc, flagged: list[dict], train, X_test, protected: pd.DataFrame, y_bad, w, cutoffs) -> None:
    """For each flagged predictor (once, whichever column flagged it): the test AUC without it minus the card's,
    and each impact ratio without it beside the card's; written into the flagged rows."""
    from .._errors import InputError
    from .._metrics import evaluate
    from .measures import approvals, groups_of

    base = evaluate(y_bad, sc.card_.total(X_test), weights=w, resamples=1)["auc"]
    done: dict[str, dict] = {}
    for row in flagged:
        name = row["predictor"]
        if name not in done:
            if len(sc.card_.names) < 2:
                done[name] = {"without": None, "note": "the card's only predictor"}
                continue
            try:
                twin = refit_without(sc, name, train)
            except InputError as e:
                done[name] = {"without": None, "note": str(e)}
                continue
            score = twin.card_.total(X_test)
            auc = evaluate(y_bad, score, weights=w, resamples=1)["auc"]
            done[name] = {
                "without": {"auc": auc, "auc_change": None if None in (auc, base) else auc - base},
                "score": score,
            }
        found = done[name]
        row["note"] = found.get("note")
        row["without"] = None if found["without"] is None else dict(found["without"])
        if found["without"] is not None:
            codes, names = groups_of(protected[row["protected"]])
            row["without"]["impact"] = [
                {
                    "cutoff": c,
                    "groups": {
                        g["group"]: g["impact_ratio"] for g in approvals(codes, names, found["score"], c, w)["groups"]
                    },
                }
                for c in cutoffs
            ]
