"""The fairness figures of a fitted card on labelled test applicants, as the report and metrics.json hold them."""

from __future__ import annotations

import pandas as pd

from . import proxies as _proxies
from .measures import AIR_FLAG, approvals, group_figures, groups_of


def cutoffs_of(sc) -> list[float]:
    """The cutoffs asked for, or the score at the target odds."""
    return [float(c) for c in sc.cutoffs or ()] or [float(sc.card_.scaling["target_score"])]


def measure(sc, protected: pd.DataFrame, y_bad, score, w=None, *, X_test=None, train=None) -> dict:
    """The fairness figures of `sc`'s card on labelled test applicants, per protected column: `groups` (each
    group's figures and, per cutoff, approvals), and `proxies` (predictors associated with a protected column,
    with what leaving each out costs, where the training part `train` = (X, y, w) is given)."""
    cutoffs = cutoffs_of(sc)
    scaling = sc.card_.scaling
    columns, scanned, flagged = {}, [], []
    for column in protected.columns:
        codes, names = groups_of(protected[column], column)
        columns[column] = {
            "groups": group_figures(codes, names, y_bad, score, scaling, w),
            "cutoffs": [approvals(codes, names, score, c, w) for c in cutoffs],
        }
        if X_test is not None:
            found = _proxies.scan(sc.card_, X_test, column, codes, w)
            scanned += found
            flagged += [p for p in found if p["flagged"]]
    if flagged and X_test is not None and train is not None:
        _proxies.leave_out(sc, flagged, train, X_test, protected, y_bad, w, cutoffs)
    return {
        "cutoffs": cutoffs,
        "air_flag": AIR_FLAG,
        "proxy_threshold": _proxies.STRONG,
        "proxy_significance": _proxies.SIGNIFICANT,
        "reason_rule": sc.card_.reason_rule,
        "groups": columns,
        "proxies": flagged,
        "associations": scanned,
    }
