"""The whole card refitted on the training part after an edit, with the card's own rules, and scored on the test
part against the card being edited."""

from __future__ import annotations

import json

import numpy as np

from .. import _binning, _bins
from .._errors import InputError
from . import bins as B


def stack(columns: list):
    """Applicants x predictors bin positions, column by column (what the fit reads)."""
    if not columns:
        return None
    out = np.empty((len(columns[0]), len(columns)), dtype=np.int32, order="F")
    for j, c in enumerate(columns):
        out[:, j] = c
    return out


def bins_of(session, state: dict) -> tuple[list, np.ndarray, np.ndarray, dict]:
    """The included predictors' binnings with their tables, their training and test positions, and the
    predictors that cannot enter (with the reason)."""
    chosen, train_cols, test_cols, dropped = [], [], [], {}
    for name, s in state["predictors"].items():
        if not s["included"]:
            dropped[name] = s["why_out"] or "left out by hand"
            continue
        e = session.entries[name]
        counter = session.counters[name]
        k = B.n_regular(e["type"], s["splits"])
        counts = session._counts(name, s["splits"])
        train = counts["train"]
        keep = [i for i in range(k + 2) if i < k or train[i].sum() > 0]
        names = B.labels(e["type"], s["splits"]) + [_bins.SPECIAL, _bins.MISSING]
        kinds = [*range(k), _bins.SPECIAL, _bins.MISSING]
        t = _bins.woe_table([names[i] for i in keep], train[keep, 0], train[keep, 1])
        if ((t["Event"] == 0) | (t["Non-event"] == 0)).all():
            dropped[name] = _binning.LEAKAGE
            continue
        remap = np.full(k + 3, -1)
        remap[keep] = np.arange(len(keep))
        chosen.append(
            _bins.PredictorBinning(
                name,
                e["type"],
                s["splits"],
                e["special_codes"],
                [kinds[i] for i in keep],
                labels=[names[i] for i in keep],
                table=t,
                binning="optimal" if s["splits"] == e["optimal"] else "by hand",
            )
        )
        key = (name, json.dumps(s["splits"]))
        if key not in session._positions:
            if len(session._positions) > 3 * len(session.entries):  # a column per applicant each: keep few
                session._positions.clear()
            remap = remap.astype(np.int32)
            session._positions[key] = (
                remap[counter.rows(s["splits"], "train")],
                remap[counter.rows(s["splits"], "test")],
            )
        train_cols.append(session._positions[key][0])
        test_cols.append(session._positions[key][1])
    return chosen, stack(train_cols), stack(test_cols), dropped


def refit(session, state: dict) -> dict:
    """The card refitted on the training part with the card's own rules (the logistic family on the binned
    design, its penalty reused), scored on the test part against the card being edited."""
    from .. import _linear, _models, _quiet
    from .._predictors import select
    from .._scorecard import Scorecard
    from .._shap_cards import Training, additive_card

    a = session.applicants
    binnings, positions, test_positions, dropped = bins_of(session, state)
    if not binnings:
        raise B.Refused("the card would have no predictor left")
    sc = Scorecard(**{k: v for k, v in session.params.items() if k != "model"})
    order = {b.name: j for j, b in enumerate(binnings)}
    try:
        with _quiet.quiet():
            kept = select(binnings, a["train"], dropped, a["w_train"], min_iv=sc.min_iv, max_corr=sc.max_corr)
    except InputError:
        raise B.Refused("no predictor left in the card separates good from bad") from None
    columns = [order[b.name] for b in kept]
    if columns != list(range(len(binnings))):
        positions, test_positions = positions[:, columns], test_positions[:, columns]
    y, w = a["y_train"], a["w_train"]
    if session._parts is None:
        session._parts = _linear._parts(y, sc.seed)
    # A large table reuses the card's penalty; on a small one the build's own choice over folds is cheap, and
    # it is what a rebuild from the saved bins does.
    penalty = (session.fine or {}).get("penalty") if len(session._parts) == 1 else None
    layout = [(b.name, len(b.labels)) for b in kept]
    model = _linear.WoELogistic().fit(
        positions,
        [n for _, n in layout],
        y,
        w,
        seed=sc.seed,
        penalty=penalty,
        parts=session._parts,
        start=_start(session, layout) if len(session._parts) == 1 else None,
    )
    session._model = (layout, model.model_.coef_[0].copy(), model.model_.intercept_.copy())
    fam = _models.FAMILIES["logistic"]
    rng = np.random.default_rng(sc.seed)
    rows = Training(a["train"], y, w, kept, positions, session.target, session.card.bad)
    card, unused = additive_card(
        model,
        fam,
        rows,
        test_positions[: sc.shap_rows],
        rng,
        scaling=sc._scaling(),
        monotone=sc.monotone,
        shap_w=None if a["w_test"] is None else a["w_test"][: sc.shap_rows],
    )
    for name in unused:
        dropped[name] = "the model does not use it: every bin would get the same points"
    points = {p.name: p for p in card.predictors}
    total = np.zeros(len(a["y_test"]))
    for j, b in enumerate(kept):
        if b.name in points:
            p = points[b.name]
            total += np.append(np.asarray(p.points, dtype=float), p.neutral)[test_positions[:, j]]
    return {
        "points": {n: list(map(float, p.points)) for n, p in points.items()},
        "neutral": {n: float(p.neutral) for n, p in points.items()},
        "dropped": dropped,
        "metrics": compare(session, total),
        "penalty": model.C_,
    }


def _start(session, layout: list):
    """The last fit's coefficients laid out for this design: an edit changes one predictor's bins, so the
    others' columns start where they were and the solver has little left to do."""
    if session._model is None:
        return None
    from types import SimpleNamespace

    before, coef, intercept = session._model
    p, old_p = len(layout), len(before)
    old_at = {name: (j, old_p + sum(n for _, n in before[:j]), n) for j, (name, n) in enumerate(before)}
    start = np.zeros(p + sum(n for _, n in layout))
    at = p
    for j, (name, n) in enumerate(layout):
        if name in old_at:
            i, block, old_n = old_at[name]
            start[j] = coef[i]
            if old_n == n:
                start[at : at + n] = coef[block : block + n]
        at += n
    return SimpleNamespace(coef_=start[None, :], intercept_=intercept.copy())


def compare(session, total: np.ndarray) -> dict:
    from .. import _metrics as V

    y, w = session.applicants["y_test"], session.applicants["w_test"]
    auc, cov = V._delong(y, np.vstack([total, session.base]), w)
    diff = float(auc[0] - auc[1])
    var = float(cov[0, 0] + cov[1, 1] - 2 * cov[0, 1])
    lo, hi = V._interval(diff, var)
    ks = []
    for s in (total, session.base):
        good, bad = V._cells(y, s, w)
        ks.append(float(V._ks(good, bad)))
    return {
        "auc": float(auc[0]),
        "card_auc": float(auc[1]),
        "auc_diff": diff,
        "auc_diff_ci": [lo, hi],
        "gini": float(2 * auc[0] - 1),
        "card_gini": float(2 * auc[1] - 1),
        "gini_diff": 2 * diff,
        "gini_diff_ci": [None if lo is None else 2 * lo, None if hi is None else 2 * hi],
        "ks": ks[0],
        "card_ks": ks[1],
        "ks_diff": ks[0] - ks[1],
    }
