"""Figures per protected group on labelled applicants: who they are, how the card ranks and calibrates for them,
and at each cutoff how often each group is approved against the most-approved group.

A weight means an applicant stands for that many: every figure is the one of the rows repeated.
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

from .._errors import InputError
from .._metrics import Z95, _cells, ranking

# The four-fifths rule: a group approved at less than this share of the most-approved group's rate.
AIR_FLAG = 0.8
MISSING_GROUP = "(missing)"
# More groups than this are values, not groups (an age, an identifier): each would be too small to read.
MAX_GROUPS = 20
# Calibration per group is read on a few wide score bands: a group is often a small share of the applicants.
BANDS = 5
# The KS interval is not shown per group; a short bootstrap keeps the chapter quick.
RESAMPLES = 200
# Below this many goods or bads in a group its AUC is shown without an interval.
FEWEST = 10


def check_protected(protected, columns, *, target=None, drop=(), ids=(), weight=None, test_column=None) -> None:
    """Each protected column present and no other role's, or one line naming it and the fix."""
    protected = list(protected)
    if len(set(protected)) != len(protected):
        raise InputError("--protected names a column twice")
    for c in protected:
        roles = [
            ("the target", c == target),
            ("a --drop column (a protected column is kept to be measured: leave out --drop)", c in drop),
            ("an --id column", c in ids),
            ("the --weight column", c == weight),
            ("the --test-column", c == test_column),
        ]
        for role, hit in roles:
            if hit:
                raise InputError(f"--protected column '{c}' is {role}")
        if c not in columns:
            raise InputError(f"--protected column '{c}' is not in the table: check the name")


def unprotected(protected, X, y, shap_data, test):
    """X, the SHAP rows and the test part without the protected columns: measured, never a predictor. A protected
    column absent from X is fine for fitting; the report asks for it."""
    if not protected:
        return X, shap_data, test
    from .._checks import frame, outcome

    X = frame(X)
    present = [c for c in protected if c in X.columns]
    check_protected(present, X.columns, target=getattr(outcome(y), "name", None))
    drop = {"columns": list(protected), "errors": "ignore"}
    shap_data = None if shap_data is None else frame(shap_data, "shap_data").drop(**drop)
    if isinstance(test, (tuple, list)) and test:
        test = (frame(test[0], "X_test").drop(**drop), *test[1:])
    return X.drop(**drop), shap_data, test


def protected_part(sc, X: pd.DataFrame, need: bool = True) -> tuple[pd.DataFrame, pd.DataFrame | None]:
    """The applicants without the protected columns, and those columns (None where the card protects none).
    `need`: the columns must be there (the test part, which measures them)."""
    protected = list(getattr(sc, "protected", ()) or ())
    if not protected:
        return X, None
    absent = [c for c in protected if c not in X.columns]
    if absent and need:
        raise InputError(
            f"the applicants lack the protected column '{absent[0]}': give it beside the predictors to measure fairness"
        )
    present = [c for c in protected if c in X.columns]
    return X.drop(columns=present), X[present].reset_index(drop=True)


def groups_of(values, column: str = "") -> tuple[np.ndarray, list[str]]:
    """Each applicant's group code and the groups' names, sorted; a missing value is a group of its own."""
    s = pd.Series(values).reset_index(drop=True)
    text = s.astype(object).where(s.notna(), MISSING_GROUP).astype(str)
    codes, names = pd.factorize(text, sort=True)
    if len(names) > MAX_GROUPS:
        raise InputError(
            f"--protected column '{column}' holds {len(names)} distinct values: give it as groups "
            f"(at most {MAX_GROUPS}, e.g. age bands rather than ages)"
        )
    return codes.astype(np.intp), [str(n) for n in names]


def ratio_interval(approved: float, n: float, ref_approved: float, ref_n: float) -> list:
    """A 95% interval of the ratio of two approval rates, from independent groups (Katz's log method).
    [None, None] where either group has no approvals, or every applicant of both is approved."""
    if min(approved, n, ref_approved, ref_n) <= 0:
        return [None, None]
    variance = 1 / approved - 1 / n + 1 / ref_approved - 1 / ref_n
    ratio = (approved / n) / (ref_approved / ref_n)
    if variance <= 0:
        return [ratio, ratio]
    half = Z95 * math.sqrt(variance)
    return [ratio * math.exp(-half), ratio * math.exp(half)]


def approvals(codes, names, score, cutoff: float, w=None) -> dict:
    """At one cutoff (approved: score >= cutoff), each group's approval rate and impact ratio with its interval
    against the most-approved group; a ratio below AIR_FLAG is flagged."""
    k = len(names)
    weight = np.ones(len(codes)) if w is None else np.asarray(w, dtype=float)
    n = np.bincount(codes, weights=weight, minlength=k)
    approved = np.bincount(codes, weights=weight * (np.asarray(score) >= cutoff), minlength=k)
    return {"cutoff": float(cutoff), **impact(names, n, approved)}


def impact(names, n, approved) -> dict:
    """From each group's applicants and approvals: the most-approved group, and per group the approval rate and
    the impact ratio against it with its interval, flagged below AIR_FLAG. A group without applicants is left out."""
    n, approved = np.asarray(n, dtype=float), np.asarray(approved, dtype=float)
    rate = np.divide(approved, n, out=np.zeros(len(n)), where=n > 0)
    ref = int(np.argmax(rate))
    rows = []
    for g in np.flatnonzero(n > 0):
        ratio = None if rate[ref] == 0 else float(rate[g] / rate[ref])
        rows.append(
            {
                "group": names[g],
                "applicants": float(n[g]),
                "approved": float(approved[g]),
                "approval_rate": float(rate[g]),
                "impact_ratio": ratio,
                "impact_ratio_ci": [None, None]
                if g == ref
                else ratio_interval(approved[g], n[g], approved[ref], n[ref]),
                "flagged": ratio is not None and ratio < AIR_FLAG,
            }
        )
    return {"reference": names[ref], "groups": rows}


def promised_bad_rate(score, scaling: dict) -> np.ndarray:
    """The bad rate the scaling promises at each score: odds of target_odds at target_score, doubling every pdo."""
    odds = scaling["target_odds"] * np.exp2((np.asarray(score, dtype=float) - scaling["target_score"]) / scaling["pdo"])
    return 1 / (1 + odds)


def band_edges(score, bands: int = BANDS) -> np.ndarray:
    """Score bands on all applicants, so that every group is read on the same bands."""
    return np.unique(np.quantile(np.asarray(score, dtype=float), np.linspace(0, 1, bands + 1)[1:-1]))


def group_figures(codes, names, y_bad, score, scaling: dict, w=None) -> list[dict]:
    """Per group: applicants, bads, bad rate, mean score, AUC with its interval, and per score band the observed
    bad rate beside the one the scaling promises (mean over the band's applicants of the group)."""
    y = np.asarray(y_bad, dtype=float)
    s = np.asarray(score, dtype=float)
    weight = np.ones(len(y)) if w is None else np.asarray(w, dtype=float)
    edges = band_edges(s)
    band = np.searchsorted(edges, s, side="right")
    promised = promised_bad_rate(s, scaling)
    out = []
    for g, name in enumerate(names):
        mine = codes == g
        yg, sg, wg = y[mine], s[mine], weight[mine]
        total = wg.sum()
        r = ranking(*_cells(yg.astype(int), sg, wg), resamples=RESAMPLES) if total > 0 else {}
        if r and min(total - np.dot(yg, wg), np.dot(yg, wg)) < FEWEST:
            r["auc_ci"] = [None, None]  # DeLong's interval collapses on a handful of goods or bads
        rows = []
        for b in range(len(edges) + 1):
            inside = band[mine] == b
            wb = wg[inside].sum()
            if wb == 0:
                continue
            lo = -math.inf if b == 0 else float(edges[b - 1])
            hi = math.inf if b == len(edges) else float(edges[b])
            rows.append(
                {
                    "band": b + 1,
                    "score_from": None if b == 0 else lo,
                    "score_to": None if b == len(edges) else hi,
                    "applicants": float(wb),
                    "bad_rate": float(np.dot(yg[inside], wg[inside]) / wb),
                    "promised_bad_rate": float(np.dot(promised[mine][inside], wg[inside]) / wb),
                }
            )
        out.append(
            {
                "group": name,
                "applicants": float(total),
                "bads": float(np.dot(yg, wg)),
                "bad_rate": float(np.dot(yg, wg) / total) if total else None,
                "mean_score": float(np.dot(sg, wg) / total) if total else None,
                "auc": r.get("auc"),
                "auc_ci": r.get("auc_ci", [None, None]),
                "calibration": rows,
            }
        )
    return out
