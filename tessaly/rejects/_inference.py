"""Reject inference around the estimator: the accepts-only card, the chosen method's weighted rows for the
final card, and the sensitivity grid (cards over the factor and the methods, on the accepts-only bins) with
the through-the-door figures that do not need outcomes."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from .._checks import encode_target, frame, no_containers, outcome, weights_of
from .._errors import InputError
from .._metrics import _weighted_quantile, psi
from . import _methods as m
from ._methods import FACTORS, METHODS, USES_FACTOR, Population, Rows


@dataclass
class Inference:
    """What the final card and its report know of the rejects."""

    method: str
    factor: float
    cutoff: float
    X: pd.DataFrame  # through the door: accepts, then rejects
    pop: Population
    base: Any  # the accepts-only Scorecard
    rows: Rows  # the chosen method's
    grid: list = field(default_factory=list)  # dicts: method, factor, card, figures
    notes: list = field(default_factory=list)
    holdout: np.ndarray | None = None  # per reject: 1 bad, 0 good, NaN unknown

    @property
    def chosen(self) -> tuple:
        if self.method == "none":
            return "accepts only", None
        return self.method, self.factor if self.method in USES_FACTOR else None


def check_rejects(rejects, X: pd.DataFrame, what: str = "the rejects table") -> pd.DataFrame:
    """The rejects' predictor columns, refused in one line where a predictor is absent or of a type the
    accepted applicants' bins cannot hold."""
    R = frame(rejects, "rejects")
    absent = [c for c in X.columns if c not in R.columns]
    if absent:
        raise InputError(f"{what} lacks the predictor column{'s' * (len(absent) > 1)} {', '.join(map(repr, absent))}")
    if len(R) == 0:
        raise InputError(f"{what} has no applicants: give the rejected applicants or leave out the rejects")
    R = R[list(X.columns)].reset_index(drop=True)
    no_containers(R)
    for c in X.columns:
        a, r = X[c], R[c]
        numeric = pd.api.types.is_numeric_dtype(a) and not pd.api.types.is_bool_dtype(a)
        if numeric and r.notna().any() and not pd.api.types.is_numeric_dtype(r):
            raise InputError(
                f"{what}'s column {c!r} holds {r.dtype} values where the accepted applicants hold numbers: "
                "no bin of the card can hold them; give the same type in both tables"
            )
        if pd.api.types.is_datetime64_any_dtype(r) != pd.api.types.is_datetime64_any_dtype(a):
            raise InputError(f"{what}'s column {c!r} is of another type than the accepted applicants' ({a.dtype})")
    return R


def _outcomes(values, bad_value, n: int) -> np.ndarray | None:
    """The rejects' known outcomes as 1 bad / 0 good, NaN where unknown."""
    if values is None:
        return None
    s = pd.Series(np.asarray(values, dtype=object)).reset_index(drop=True)
    if len(s) != n:
        raise InputError(f"reject_outcome has {len(s)} values for {n} rejects: give one per reject (empty: unknown)")
    known = s.notna().to_numpy()
    y = np.full(n, np.nan)
    if known.any():
        y[known] = encode_target(s[known], bad_value)[0]
    return y


def population(base, X: pd.DataFrame, y_bad, w, R: pd.DataFrame, rw) -> Population:
    """The accepts and rejects as the accepts-only card scores them, with its bad probability of each reject."""
    from .. import _models

    positions = np.column_stack([b.positions(R[b.name]) for b in base.binnings_])
    p = np.asarray(_models.family(base.family_).proba(base.model_, base.binnings_, positions), dtype=float)
    score = base.card_.total(X)
    w = np.ones(len(X)) if w is None else w
    return Population(np.asarray(y_bad, dtype=np.int8), w, rw, p, score, base.card_.total(R), m.band_edges(score, w))


def begin(sc, X, y, w, rejects, reject_weight, reject_outcome, fit_base) -> Inference:
    """The accepts-only card (`fit_base(estimator, X, y, w)` fits it as the final card would be), and the rows
    of the chosen method."""
    from sklearn.base import clone

    X = frame(X)
    R = check_rejects(rejects, X)
    rw = weights_of(reject_weight, len(R))
    rw = np.ones(len(R)) if rw is None else rw
    base = fit_base(clone(sc), X, y, w)
    y_bad, _ = encode_target(outcome(y), base.bad_)
    X = X.reset_index(drop=True)
    pop = population(base, X, y_bad, weights_of(w, len(X)), R, rw)
    cutoff = float(base.card_.scaling["target_score"] if sc.reject_cutoff is None else sc.reject_cutoff)
    inf = Inference(
        sc.inference,
        float(sc.reject_factor),
        cutoff,
        pd.concat([X, R], ignore_index=True),
        pop,
        base,
        m.rows(sc.inference, pop, float(sc.reject_factor), cutoff=cutoff, seed=sc.seed),
    )
    inf.holdout = _outcomes(reject_outcome, base.bad_, len(R))
    return inf


def training(inf: Inference, r: Rows, y) -> tuple[pd.DataFrame, pd.Series, np.ndarray]:
    """The rows a card is fitted on, the outcomes in the target's own values."""
    y = outcome(y)
    values = pd.unique(pd.Series(np.asarray(y, dtype=object)))
    bad_value = inf.base.bad_
    good = next(v for v in values if v != bad_value)
    named = pd.Series(np.where(r.bad == 1, np.array(bad_value, dtype=object), good), name=getattr(y, "name", None))
    return inf.X.iloc[r.source].reset_index(drop=True), named, r.weight


def baseline_rows(inf: Inference, y) -> tuple[pd.DataFrame, np.ndarray, np.ndarray]:
    """The population the monitoring baseline counts: the development rows, and with no inference the rejects
    beside the accepts, split by what the accepts-only card promises them."""
    r = m.fuzzy(inf.pop, 1.0) if inf.method == "none" else inf.rows
    return inf.X.iloc[r.source].reset_index(drop=True), r.bad.astype(np.intp), r.weight


def specs(method: str, factor: float) -> list[tuple]:
    """The grid: the factor's values for the chosen method (fuzzy where it takes none), then each method at
    the chosen factor; (method, factor or None) once each."""
    over = method if method in USES_FACTOR else "fuzzy"
    pairs = [(over, k) for k in FACTORS] + [(x, factor if x in USES_FACTOR else None) for x in METHODS[1:]]
    return list(dict.fromkeys(pairs))


def grid(inf: Inference, final, y, progress=None) -> None:
    """Every grid row: its card (the final card for the chosen row, the others refitted on the accepts-only
    bins) and what it says of the through-the-door population."""
    from ._cards import on_bins

    step = progress.step if progress else (lambda text: None)
    rows = [{"method": "accepts only", "factor": None, "card": inf.base.card_, "rows": m.none(inf.pop, 1.0)}]
    for method, factor in specs(inf.method, inf.factor):
        r = m.rows(method, inf.pop, factor or 1.0, cutoff=inf.cutoff, seed=inf.base.seed)
        if (method, factor) == inf.chosen:
            card = final.card_
        else:
            step(f"grid: {method}{'' if factor is None else f' at K = {factor:g}'}")
            card = on_bins(inf.base, *training(inf, r, y)).card_
        rows.append({"method": method, "factor": factor, "card": card, "rows": r})
    base_scores = inf.base.card_.total(inf.X)
    for row in rows:
        row.update(figures(inf, row["rows"], base_scores, row["card"].total(inf.X)))
    inf.grid = rows


def _accepted(score, w, share: float) -> np.ndarray:
    """Who a score accepts at the cutoff that keeps `share` of the weighted applicants."""
    cut = _weighted_quantile(score, w, np.array([1.0 - share]))[0]
    return score > cut if share < 1 else np.ones(len(score), bool)


def figures(inf: Inference, r: Rows, base_scores, scores) -> dict:
    """The inferred bad rates, the score's stability against the accepts-only card's on the through-the-door
    population and the swap set at today's acceptance rate (weighted applicants)."""
    pop = inf.pop
    w = np.concatenate([pop.weight, pop.reject_weight])
    share = float(pop.weight.sum() / w.sum())
    old, new = _accepted(base_scores, w, share), _accepted(scores, w, share)
    today = np.arange(len(w)) < pop.n_accepts
    return {
        "reject_bad_rate": m.reject_bad_rate(pop, r),
        "population_bad_rate": m.population_bad_rate(pop, r),
        "psi": psi(base_scores, scores, expected_weights=w, actual_weights=w),
        "swap_in": float(w[new & ~old].sum()),
        "swap_out": float(w[old & ~new].sum()),
        "swap_in_today": float(w[new & ~today].sum()),
        "swap_out_today": float(w[today & ~new].sum()),
    }


def fit(sc, X, y, w, shap_data, shap_weight, test, progress, rejects, on_bins=None):
    """`sc` fitted by reject inference: the accepts-only card, then the card on the chosen method's rows, its
    baseline's population through the door, and the grid. `rejects`: X_rejects or (X_rejects[, reject_weight[,
    reject_outcome]])."""
    R, rw, ro = (*rejects, None, None)[:3] if isinstance(rejects, (tuple, list)) else (rejects, None, None)
    if sc.inference == "none":  # the card is the accepts-only one
        inf = begin(
            sc, X, y, w, R, rw, ro, lambda _, *rows: sc._fit(*rows, shap_data, shap_weight, test, progress, on_bins)
        )
    else:
        inf = begin(sc, X, y, w, R, rw, ro, lambda base, *rows: base._fit(*rows, shap_data, shap_weight, test))
        sc._fit(*training(inf, inf.rows, y), shap_data, shap_weight, test, progress, on_bins=on_bins)
    if inf.method == "none" or test is None:
        _through_the_door(sc, inf, y, test)
    grid(inf, sc, y, progress)
    sc.rejects_ = inf
    return sc


def _through_the_door(sc, inf: Inference, y, test) -> None:
    """The baseline again where the card's own rows are not the population (no inference) or would give it
    outcomes the accepts never had (no test part)."""
    from .._checks import check_test_part
    from ..monitoring.baseline import baseline

    X_pop, y_pop, w_pop = baseline_rows(inf, y)
    n = inf.pop.n_accepts
    X_test, y_test, w_test = (
        (inf.X.iloc[:n], inf.pop.bad, inf.pop.weight) if test is None else check_test_part(test, sc.bad_)
    )
    for c in sc.cards_.values():
        c.baseline = baseline(c, X_pop, y_pop, X_test, y_test, sample_weight=w_pop, test_weight=w_test)
