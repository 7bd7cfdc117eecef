"""A fitted scorecard judged on labelled applicants: every card's and model's scores side by side, their figures,
and the validation page that shows them."""

from __future__ import annotations

import pandas as pd

from . import _models, _validation
from ._checks import encode_target, frame, outcome, weights_of


def report(sc, path, X, y, *, sample_weight=None, challenger=None) -> dict:
    """The HTML report of `sc`'s card on a labelled table, with the other cards and the model beside it; returns
    its figures (also what metrics.json holds)."""
    from . import _report

    X = frame(X)
    y_bad, _ = encode_target(outcome(y), sc.bad_)
    w = weights_of(sample_weight, len(y_bad))
    own = f"{sc.card_.points_kind} card"
    scored, counts = sc.card_.apply(X)
    scores = {own: scored["score"].to_numpy(), **_others(sc, X, own)}
    if challenger is not None:
        X_train, y_train, *w_train = challenger
        scores["WoE logistic regression"] = _validation.woe_logistic_challenger(
            sc.card_,
            frame(X_train, "X_train"),
            encode_target(outcome(y_train), sc.bad_)[0],
            X,
            sample_weight=w_train[0] if w_train else None,
        )
    s = sc.card_.scaling
    assessment = _validation.assess(
        y_bad,
        scores,
        card=own,
        train_score=sc.train_scores_,
        pdo=s["pdo"],
        target_score=s["target_score"],
        target_odds=s["target_odds"],
        weights=w,
        train_weights=sc.train_weights_,
    )
    fam = _models.family(sc.family_)
    penalty = fam.penalty(sc.model_) if sc.model_ is not None else ""
    summary = {
        "model": f"{sc.family_}, {fam.describe}{penalty}",
        "target": sc.target_,
        "bad": str(sc.bad_),
        "scaling": dict(s),
        "points": sc.card_.points_kind,
    }
    test_scores = pd.DataFrame({"score": scores[own], "bad": y_bad})
    values = {b.name: {"build_unreadable": int(b.unreadable), **counts.get(b.name, {})} for b in sc.binnings_}
    _report.write(
        path,
        summary=summary,
        table=sc.table_,
        charts=sc.charts(),
        assessment=assessment,
        test_scores=test_scores,
        dropped=sc.dropped_,
        values=values,
        directions=sc.directions().to_dict(orient="records"),
        hand=by_hand(sc),
    )
    return assessment


def by_hand(sc) -> list[dict]:
    """Each predictor set by hand: its bins and information value beside the optimal ones, and its edits."""
    fitted = {b.name: b for b in getattr(sc, "candidates_", [])}
    optimal, edits_of = getattr(sc, "optimal_", {}), getattr(sc, "edits_", {})
    rows = []
    for name in dict.fromkeys([*optimal, *edits_of]):
        mine, best = fitted.get(name), optimal.get(name)
        rows.append(
            {
                "predictor": name,
                "left_out": sc.dropped_.get(name),
                "bins": [] if mine is None else list(mine.labels),
                "iv": None if mine is None else float(mine.table["IV"].sum()),
                "optimal": [] if best is None else list(best.labels),
                "optimal_iv": None if best is None else float(best.table["IV"].sum()),
                "edits": edits_of.get(name, []),
            }
        )
    return rows


def _others(sc, X, own: str) -> dict:
    """The other cards' totals and the model's, each named as the report shows it; higher means better."""
    scores = {}
    used = sc.shap_rows_used_
    for kind, card in sc.cards_.items():
        if card is not sc.card_:
            rows = used.get(kind)
            smaller = rows and rows < used[own.split()[0]]
            scores[f"{kind} card" + (f" (comparison, from {rows} SHAP rows)" if smaller else "")] = card.total(X)
    if sc.model_ is not None:
        bad = list(sc.classes_).index(sc.bad_)
        name = "tree model" if _models.family(sc.family_).technique else f"{sc.family_} model"
        scores[name] = -sc.predict_proba(X)[:, bad]
    return scores
