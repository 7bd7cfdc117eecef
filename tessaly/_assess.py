"""A fitted scorecard judged on labelled applicants: every card's and model's scores side by side, their figures
(ranking beside the challengers', gains, the calibration of the scaling) and the validation page that shows them."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

from . import _models
from ._binning import hand_bins
from ._checks import encode_target, frame, outcome, weights_of
from ._errors import InputError
from ._json import jsonable as _jsonable
from ._metrics import (
    KS_RESAMPLES,
    PSI_SHIFT,
    SEED,
    Z95,
    _delong,
    _interval,
    _outcomes,
    _summary,
    _weighted_quantile,
    psi,
)
from .fairness.measures import protected_part

# Below this many goods or bads an AUC's interval spans most of its range: no winner is named.
FEWEST_TO_JUDGE = 10


def _bands(score: np.ndarray, groups: int, w=None) -> np.ndarray:
    """Band of each applicant by score quantile, 0 = lowest scores; tied scores share a band."""
    if groups < 1:
        raise InputError(f"the number of score bands must be at least 1, not {groups}")
    q = np.linspace(0, 1, groups + 1)[1:-1]
    edges = np.unique(np.quantile(score, q) if w is None else _weighted_quantile(score, w, q))
    _, band = np.unique(np.searchsorted(edges, score, side="left"), return_inverse=True)
    return band


def _band_counts(y: np.ndarray, s: np.ndarray, groups: int, w=None) -> pd.DataFrame:
    band = _bands(s, groups, w)
    if w is None:
        t = (
            pd.DataFrame({"score": s, "bad": y})
            .groupby(band, sort=True)
            .agg(
                score_min=("score", "min"),
                score_max=("score", "max"),
                score_mean=("score", "mean"),
                applicants=("score", "size"),
                bads=("bad", "sum"),
            )
        )
        return t.reset_index(drop=True).assign(band=lambda f: np.arange(1, len(f) + 1))
    # Applicants and bads as the weight they carry.
    t = (
        pd.DataFrame({"score": s, "ws": s * w, "w": w, "wbad": y * w})
        .groupby(band, sort=True)
        .agg(
            score_min=("score", "min"),
            score_max=("score", "max"),
            ws=("ws", "sum"),
            applicants=("w", "sum"),
            bads=("wbad", "sum"),
        )
    )
    t["score_mean"] = np.divide(
        t["ws"], t["applicants"], out=t["score_min"].to_numpy(dtype=float).copy(), where=t["applicants"].to_numpy() > 0
    )
    return t.drop(columns="ws").reset_index(drop=True).assign(band=lambda f: np.arange(1, len(f) + 1))


def gains_table(y_bad, score, groups: int = 10, weights=None) -> pd.DataFrame:
    """Applicants by score band, worst first: how many, how many bad, and how the bads pile up."""
    y, s = _outcomes(y_bad, score)
    w = weights_of(weights, len(y))
    t = _band_counts(y, s, groups, w)
    goods = t["applicants"] - t["bads"]
    with np.errstate(divide="ignore", invalid="ignore"):
        odds = np.where(t["bads"] > 0, goods / t["bads"], np.inf)
    return pd.DataFrame(
        {
            "band": t["band"],
            "score_min": t["score_min"],
            "score_max": t["score_max"],
            "applicants": t["applicants"],
            "bads": t["bads"],
            "bad_rate": t["bads"] / t["applicants"],
            "cum_applicant_share": t["applicants"].cumsum() / t["applicants"].sum(),
            "cum_bad_share": t["bads"].cumsum() / t["bads"].sum(),
            "odds": odds,
        }
    )


def _logistic(x: np.ndarray, good: np.ndarray, w=None):
    """Intercept, slope and the slope's standard error of logit P(good) = a + b x; None if the fit diverges.
    `w`: each applicant standing for that many."""
    if w is None:
        mu, sd = float(x.mean()), float(x.std())
    else:
        keep = w > 0
        x, good, w = x[keep], good[keep], w[keep]
        mu = float(np.average(x, weights=w))
        sd = float(np.sqrt(np.average((x - mu) ** 2, weights=w)))
    if sd == 0:
        return None
    design = np.column_stack([np.ones_like(x), (x - mu) / sd])
    beta = np.zeros(2)
    for _ in range(100):
        p = 1.0 / (1.0 + np.exp(-(design @ beta)))
        curvature, residual = p * (1 - p), good - p
        if w is not None:
            curvature, residual = w * curvature, w * residual
        hessian = (design * curvature[:, None]).T @ design
        try:
            step = np.linalg.solve(hessian, design.T @ residual)
        except np.linalg.LinAlgError:
            return None
        beta = beta + step
        if np.abs(beta).max() > 50:  # the score separates good from bad: no finite fit
            return None
        if np.abs(step).max() < 1e-10:
            break
    else:
        return None
    se = math.sqrt(np.linalg.inv(hessian)[1, 1]) / sd
    slope = beta[1] / sd
    return beta[0] - slope * mu, slope, se


def calibration(y_bad, score, pdo, target_score, target_odds, *, groups: int = 10, weights=None) -> dict:
    """Observed log-odds (good:bad) by score band beside the scaling the card was asked for and the one it shows.

    The fitted scaling comes from a logistic fit of good/bad on the score: ln(odds) = a + b * score, so the
    points that double the odds are ln 2 / b and the odds reach target_odds at (ln target_odds - a) / b.
    """
    y, s = _outcomes(y_bad, score)
    w = weights_of(weights, len(y))
    t = _band_counts(y, s, groups, w)
    goods = (t["applicants"] - t["bads"]).to_numpy()
    bads = t["bads"].to_numpy()
    with np.errstate(divide="ignore"):
        log_odds = np.where((goods > 0) & (bads > 0), np.log(np.maximum(goods, 1) / np.maximum(bads, 1)), np.nan)
    bands = pd.DataFrame(
        {
            "score": t["score_mean"],
            "score_min": t["score_min"],
            "score_max": t["score_max"],
            "applicants": t["applicants"],
            "bads": t["bads"],
            "log_odds": log_odds,
        }
    )
    fitted: dict[str, Any] = {
        "pdo": None,
        "pdo_ci": [None, None],
        "score_at_target_odds": None,
        "intercept": None,
        "slope": None,
    }
    fit = _logistic(s, 1.0 - y, w)
    if fit is not None:
        a, b, se = fit
        fitted["intercept"], fitted["slope"] = float(a), float(b)
        if b != 0:
            fitted["pdo"] = math.log(2) / b
            fitted["score_at_target_odds"] = (math.log(target_odds) - a) / b
            lo, hi = b - Z95 * se, b + Z95 * se
            # A slope interval that reaches zero leaves the doubling distance unbounded on that side.
            fitted["pdo_ci"] = [math.log(2) / hi if hi > 0 else None, math.log(2) / lo if lo > 0 else None]
    return _jsonable(
        {
            "bands": bands.to_dict(orient="records"),
            "requested": {
                "pdo": float(pdo),
                "target_score": float(target_score),
                "target_odds": float(target_odds),
                "slope": math.log(2) / pdo,
                "intercept": math.log(target_odds) - target_score * math.log(2) / pdo,
            },
            "fitted": fitted,
        }
    )


def woe_logistic_challenger(card, X_train, y_bad, X_test, *, sample_weight=None) -> np.ndarray:
    """Test scores of the WoE logistic-regression card on `card`'s own bins, on its scale; higher is better.

    The card a credit team would build the usual way: each bin's WoE on the training rows (weighted), one
    logistic regression on the predictors' WoE, its log-odds scaled as the card's points are. It differs from
    `card` only in how the same bins become points. A value the card never saw scores WoE 0.
    """
    from sklearn.linear_model import LogisticRegression

    from ._bins import woe_table
    from ._points import scaling

    y = np.asarray(y_bad).astype(int)
    w = np.ones(len(y)) if sample_weight is None else np.asarray(sample_weight, dtype=float)

    card.check_columns(X_train)
    card.check_columns(X_test)
    woes, train = [], []
    for p in card.predictors:
        rows = p.locate(X_train[p.name])[0]
        seen = rows >= 0
        n = len(p.kinds)
        bad = np.bincount(rows[seen], weights=(w * y)[seen], minlength=n)
        good = np.bincount(rows[seen], weights=(w * (1 - y))[seen], minlength=n)
        woe = np.append(woe_table(p.labels, good, bad)["WoE"].to_numpy(), 0.0)  # last: unseen
        woes.append(woe)
        train.append(woe[rows])
    # Newton steps on a few dense columns reach the optimum in a handful of passes over the rows.
    model = LogisticRegression(solver="newton-cholesky", tol=1e-8, max_iter=1000)
    model.fit(np.column_stack(train), y, sample_weight=sample_weight)
    test = np.column_stack([woe[p.locate(X_test[p.name])[0]] for p, woe in zip(card.predictors, woes)])
    s = card.scaling
    factor, offset = scaling(s["pdo"], s["target_score"], s["target_odds"])
    return offset - factor * model.decision_function(test)


def _records(frame: pd.DataFrame) -> list[dict]:
    return _jsonable(frame.to_dict(orient="records"))


def _sentence(card: str, rows: list[dict]) -> str:
    by_auc = sorted(rows, key=lambda r: -r["auc"])  # stable: a tie goes to the earlier entry
    best = by_auc[0]
    if len(rows) > 1 and min(best["bad"], best["n"] - best["bad"]) < FEWEST_TO_JUDGE:
        return (
            f"The test split holds {best['n']} applicants, {best['bad']} of them bad: too few to tell the "
            "scores apart; judge the cards on a larger split."
        )
    if len(rows) == 1:
        lo, hi = best["auc_ci"]
        ci = f" (95% CI {lo:.3f} to {hi:.3f})" if lo is not None else ""
        return f"The {card} has AUC {best['auc']:.3f}{ci}."
    if best["name"] == card:
        other = by_auc[1]
        gap = best["auc"] - other["auc"]
        lo, hi = other["auc_vs_card_ci"]
        ci = f" (95% CI {-hi:.3f} to {-lo:.3f})" if lo is not None else ""
        text = f"The {card} ranks best: AUC {best['auc']:.3f}, {gap:.3f} above the next best, the {other['name']}{ci}."
        spans_zero = lo is not None and lo <= 0 <= hi
    else:
        lo, hi = best["auc_vs_card_ci"]
        ci = f" (95% CI {lo:.3f} to {hi:.3f})" if lo is not None else ""
        text = f"The {best['name']} ranks best: AUC {best['auc']:.3f}, {best['auc_vs_card']:.3f} above the {card}{ci}."
        spans_zero = lo is not None and lo <= 0 <= hi
    if spans_zero:
        text += " The difference is within sampling error."
    return text


def assess(
    y_test,
    scores: dict,
    *,
    card: str = "additive card",
    train_score=None,
    pdo,
    target_score,
    target_odds,
    groups: int = 10,
    resamples: int = KS_RESAMPLES,
    seed: int = SEED,
    weights=None,
    train_weights=None,
) -> dict:
    """Everything the report and metrics.json show about the card and its challengers, as plain JSON values.

    `scores` maps a name (read after "the" in a sentence: "additive card", "tree model") to each applicant's
    score, higher is better, in the order of `y_test`; it must hold the card's own under `card`. For a model
    that predicts the probability of bad, pass 1 - probability. `train_score` is the card's score on the
    training rows, for the stability index. `weights` (and `train_weights`): each applicant stands for that
    many; every figure is then that of the rows repeated.
    """
    if card not in scores:
        raise InputError(f"the scores given have no entry for the card '{card}'")
    names = list(scores)
    checked = [_outcomes(y_test, scores[name], f"scores of the {name}") for name in names]
    y = checked[0][0]
    matrix = np.vstack([s for _, s in checked])
    w = weights_of(weights, len(y))
    auc, cov = _delong(y, matrix, w)
    c = names.index(card)
    rows = []
    for i, name in enumerate(names):  # one pass per scorer, a handful at most
        row = {"name": name, **_summary(y, matrix[i], resamples=resamples, seed=seed, w=w)}
        if i != c:
            diff = float(auc[i] - auc[c])
            row["auc_vs_card"] = diff
            row["auc_vs_card_ci"] = _interval(diff, cov[i, i] + cov[c, c] - 2 * cov[i, c])
        else:
            row["auc_vs_card"], row["auc_vs_card_ci"] = 0.0, [0.0, 0.0]
        rows.append(row)
    card_row = rows[c]
    stability = None
    value = (
        None if train_score is None else psi(train_score, matrix[c], expected_weights=train_weights, actual_weights=w)
    )
    if value is not None:
        reading = "stable" if value < PSI_SHIFT[0] else "some shift" if value < PSI_SHIFT[1] else "shifted"
        stability = {
            "value": value,
            "reading": reading,
            "train": int(len(np.asarray(train_score))),
            "test": int(len(y)),
        }
    best = max(rows, key=lambda r: r["auc"])
    judged = min(card_row["bad"], card_row["n"] - card_row["bad"]) >= FEWEST_TO_JUDGE
    result = {
        "card": card,
        **{k: card_row[k] for k in ("n", "bad", "auc", "auc_ci", "gini", "gini_ci", "ks", "ks_ci")},
        "challengers": rows,
        "best": best["name"] if judged else None,
        "sentence": _sentence(card, rows),
        "gains": _records(gains_table(y, matrix[c], groups, weights=w)),
        "calibration": calibration(y, matrix[c], pdo, target_score, target_odds, groups=groups, weights=w),
        "psi": stability,
    }
    return _jsonable(result)


def report(sc, path, X, y, *, sample_weight=None, challenger=None, benchmark=None) -> dict:
    """The HTML report of `sc`'s card on a labelled table, with the other cards, the model and the benchmark
    (a family name or `_benchmark.Benchmark`) beside it; returns its figures (also what metrics.json holds)."""
    from . import _benchmark

    X, protected = protected_part(sc, frame(X))
    y_bad, _ = encode_target(outcome(y), sc.bad_)
    w = weights_of(sample_weight, len(y_bad))
    own = f"{sc.card_.points_kind} card"
    scored, counts = sc.card_.apply(X)
    scores = {own: scored["score"].to_numpy(), **_others(sc, X, own)}
    if challenger is not None:
        challenger = (protected_part(sc, frame(challenger[0], "X_train"), need=False)[0], *challenger[1:])
    bench = _benchmark.prepared(sc, benchmark, challenger, X, w)
    scores.update(_benchmark.scores(bench, X))
    if challenger is not None:
        X_train, y_train, *w_train = challenger
        scores["WoE logistic regression"] = woe_logistic_challenger(
            sc.card_,
            X_train,
            encode_target(outcome(y_train), sc.bad_)[0],
            X,
            sample_weight=w_train[0] if w_train else None,
        )
    s = sc.card_.scaling
    assessment = assess(
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
    assessment["benchmark"] = _benchmark.verdict(bench, assessment, sc.target_, sc)
    assessment["crosses"] = list(getattr(sc, "crosses_", []))
    if protected is not None:
        from .fairness import measure

        assessment["fairness"] = _jsonable(measure(sc, protected, y_bad, scores[own], w, X_test=X, train=challenger))
    test_scores = pd.DataFrame({"score": scores[own], "bad": y_bad})
    values = {b.name: {"build_unreadable": int(b.unreadable), **counts.get(b.name, {})} for b in sc.binnings_}
    chapters = {}
    if getattr(sc, "rejects_", None) is not None:
        from .rejects import chapter

        chapters["rejects"] = assessment["rejects"] = chapter.figures(sc.rejects_, X, y_bad, w)
    write_page(
        sc, path, assessment, test_scores, values, hand=by_hand(sc), fairness=assessment.get("fairness"), **chapters
    )
    return assessment


def write_page(sc, path, assessment: dict, test_scores, values: dict, **extra) -> None:
    """The report page of `sc`'s card from its assessment: what the card is, its table, charts and figures.
    `extra`: the page's optional parts (bins set by hand, a note on how the figures were obtained)."""
    from . import _report

    fam = _models.family(sc.family_)
    penalty = fam.penalty(sc.model_) if sc.model_ is not None else ""
    summary = {
        "model": f"{sc.family_}, {fam.describe}{penalty}",
        "target": sc.target_,
        "bad": str(sc.bad_),
        "scaling": dict(sc.card_.scaling),
        "points": sc.card_.points_kind,
        "reason_rule": sc.card_.reason_rule,
    }
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
        **extra,
    )


def by_hand(sc) -> list[dict]:
    """Each predictor set by hand: its bins and information value beside the optimal ones, and its edits."""
    fitted = {b.name: b for b in getattr(sc, "candidates_", [])}
    optimal, edits_of = getattr(sc, "optimal_", {}), hand_bins(sc.bins)[2]
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
