"""A fitted scorecard judged on labelled applicants: every card's and model's scores side by side, their figures,
and the validation page that shows them."""

from __future__ import annotations

import pandas as pd

from . import _models, _validation
from ._checks import encode_target, frame, outcome, weights_of


def report(sc, path, X, y, *, sample_weight=None, challenger=None, benchmark=None) -> dict:
    """The HTML report of `sc`'s card on a labelled table, with the other cards, the model and the benchmark
    (a family name or `_benchmark.Benchmark`) beside it; returns its figures (also what metrics.json holds)."""
    from . import _benchmark, _report

    X = frame(X)
    y_bad, _ = encode_target(outcome(y), sc.bad_)
    w = weights_of(sample_weight, len(y_bad))
    own = f"{sc.card_.points_kind} card"
    scored, counts = sc.card_.apply(X)
    scores = {own: scored["score"].to_numpy(), **_others(sc, X, own)}
    if challenger is not None:
        challenger = (frame(challenger[0], "X_train"), *challenger[1:])
    bench = _benchmark.prepared(sc, benchmark, challenger, X, w)
    scores.update(_benchmark.scores(bench, X))
    if challenger is not None:
        X_train, y_train, *w_train = challenger
        scores["WoE logistic regression"] = _validation.woe_logistic_challenger(
            sc.card_,
            X_train,
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
    assessment["benchmark"] = _benchmark.verdict(bench, assessment, sc.target_)
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
    )
    return assessment


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
