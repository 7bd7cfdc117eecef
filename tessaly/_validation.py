"""How well a score ranks applicants and how it holds up: the numbers behind the report and metrics.json.

Every score here reads "higher is better": a good applicant should score above a bad one. Outcomes are
`y_bad`, 1 for a bad applicant and 0 for a good one.
"""

from __future__ import annotations

import math
import warnings

import numpy as np
import pandas as pd

from ._checks import weights_of
from ._errors import InputError
from ._json import jsonable as _jsonable

Z95 = 1.959963984540054
KS_RESAMPLES = 1000
SEED = 0
PSI_FLOOR = 1e-4  # share given to an empty cell so that one empty decile does not make the index infinite
# Below this many goods or bads an AUC's interval spans most of its range: no winner is named.
FEWEST_TO_JUDGE = 10
PSI_SHIFT = (0.1, 0.25)  # the usual reading: below 0.1 stable, above 0.25 shifted
# Resampled KS draws one count per distinct score and resample; this bounds one batch of them.
_BATCH_CELLS = 4_000_000
# KS intervals resample at most this many cells of neighbouring scores: a report of many scorers or periods
# pays for each bootstrap, and the pooling's effect on the observed KS moves the interval back.
KS_CELLS = 500


def _outcomes(y_bad, score, what: str = "scores") -> tuple[np.ndarray, np.ndarray]:
    y = np.asarray(y_bad)
    s = np.asarray(score, dtype=float)
    if y.ndim != 1 or s.shape != y.shape:
        raise InputError(f"outcomes and {what} differ in shape ({y.shape} and {s.shape}): give one score per applicant")
    if y.dtype == bool:
        y = y.astype(int)
    if not np.isin(y, (0, 1)).all():
        raise InputError("outcomes must be 1 for a bad applicant and 0 for a good one")
    y = y.astype(int)
    if not np.isfinite(s).all():
        raise InputError(f"{int((~np.isfinite(s)).sum())} {what} are missing or infinite: score every applicant")
    bads = int(y.sum())
    if bads == 0 or bads == len(y):
        kind = "good" if bads == 0 else "bad"
        raise InputError(f"validation needs good and bad applicants; the {len(y)} given are all {kind}")
    return y, s


def _weighted_quantile(x: np.ndarray, w: np.ndarray, q: np.ndarray) -> np.ndarray:
    """The quantiles of x when each value stands w times (as np.quantile of the repeated values, 'inverted_cdf')."""
    order = np.argsort(x, kind="stable")
    cum = np.cumsum(w[order])
    at = np.searchsorted(cum, q * cum[-1], side="left")
    return x[order][np.minimum(at, len(x) - 1)]


def _delong_weighted(y: np.ndarray, scores: np.ndarray, w: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """As _delong, each applicant standing w times: the figures of the rows repeated, without repeating them."""
    good, bad = y == 0, y == 1
    m, n = w[good].sum(), w[bad].sum()
    v_good, v_bad = [], []
    for s in scores:
        _, cell = np.unique(s, return_inverse=True)
        k = int(cell.max()) + 1
        g = np.bincount(cell, weights=w * good, minlength=k)
        b = np.bincount(cell, weights=w * bad, minlength=k)
        bad_below = np.cumsum(b) - b + b / 2  # bads scoring below each cell, ties half
        good_below = np.cumsum(g) - g + g / 2
        v_good.append(bad_below[cell[good]] / n)
        v_bad.append(1.0 - good_below[cell[bad]] / m)
    v_good, v_bad = np.array(v_good), np.array(v_bad)
    auc = v_good @ w[good] / m
    with np.errstate(invalid="ignore", divide="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        cov = _weighted_cov(v_good, w[good]) / m + _weighted_cov(v_bad, w[bad]) / n
    return auc, cov


def _weighted_cov(v: np.ndarray, w: np.ndarray) -> np.ndarray:
    """Covariance of the rows of v over columns standing w times each (divisor: total weight - 1)."""
    mean = v @ w / w.sum()
    d = v - mean[:, None]
    return np.atleast_2d((d * w) @ d.T / (w.sum() - 1))


def _delong(y: np.ndarray, scores: np.ndarray, w=None) -> tuple[np.ndarray, np.ndarray]:
    """AUCs of several scores (rows) on the same applicants and DeLong's covariance matrix of them."""
    from scipy.stats import rankdata

    if w is not None:
        return _delong_weighted(y, scores, w)

    good, bad = scores[:, y == 0], scores[:, y == 1]
    m, n = good.shape[1], bad.shape[1]
    rank_all = rankdata(np.hstack([good, bad]), axis=1)  # midranks count ties as half
    above = rank_all[:, :m] - rankdata(good, axis=1)  # per good: bads scoring below (ties half)
    below = rank_all[:, m:] - rankdata(bad, axis=1)  # per bad: goods scoring below it
    auc = above.sum(axis=1) / (m * n)
    v_good = above / n
    v_bad = 1.0 - below / m
    # With a single good or bad there is no variance to estimate: the interval is left open (NaN -> None).
    with np.errstate(invalid="ignore", divide="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        cov = np.atleast_2d(np.cov(v_good)) / m + np.atleast_2d(np.cov(v_bad)) / n
    return auc, cov


def _cells(y: np.ndarray, s: np.ndarray, w=None) -> tuple[np.ndarray, np.ndarray]:
    """Goods and bads at each distinct score (weighted, where weights are given), lowest score first."""
    _, inverse = np.unique(s, return_inverse=True)
    k = int(inverse.max()) + 1
    bad = np.bincount(inverse, weights=y if w is None else y * w, minlength=k)
    return np.bincount(inverse, weights=w, minlength=k) - bad, bad


def _ks(good: np.ndarray, bad: np.ndarray) -> np.ndarray:
    """KS over the last axis: the widest gap between the bads' and the goods' score distributions."""
    share_bad = np.cumsum(bad, axis=-1) / bad.sum(axis=-1, keepdims=True)
    gap = share_bad - np.cumsum(good, axis=-1) / good.sum(axis=-1, keepdims=True)
    return np.maximum(gap.max(axis=-1), 0.0)


def ks_interval(good: np.ndarray, bad: np.ndarray, resamples: int = KS_RESAMPLES, seed: int = SEED) -> list[float]:
    """A seeded bootstrap 95% interval of KS from the goods and bads per distinct score, ascending."""
    # Goods and bads are resampled apart so every resample has both; a resample is a multinomial draw
    # over the distinct scores, which is the same as drawing applicants but costs nothing per applicant.
    # Past KS_CELLS distinct scores, neighbouring scores are pooled for the draws and the interval is
    # moved by the pooling's effect on the observed KS (at most one pooled cell's share).
    shift = 0.0
    if len(good) > KS_CELLS:
        quantiles = np.linspace(0, good.sum() + bad.sum(), KS_CELLS, endpoint=False)
        starts = np.unique(np.searchsorted(np.cumsum(good + bad), quantiles, side="right"))
        full = float(_ks(good, bad))
        good, bad = np.add.reduceat(good, starts), np.add.reduceat(bad, starts)
        shift = full - float(_ks(good, bad))
    rng = np.random.default_rng(seed)
    # Weighted counts draw as many applicants as they stand for.
    g, b = max(1, int(round(good.sum()))), max(1, int(round(bad.sum())))
    batch = max(1, _BATCH_CELLS // len(good))
    stats = []
    for start in range(0, resamples, batch):
        size = min(batch, resamples - start)
        stats.append(_ks(rng.multinomial(g, good / good.sum(), size=size),
                         rng.multinomial(b, bad / bad.sum(), size=size)))
    lo, hi = np.quantile(np.concatenate(stats), [0.025, 0.975]) + shift
    return [float(max(lo, 0.0)), float(min(hi, 1.0))]


def _interval(value: float, variance: float, lo=-math.inf, hi=math.inf) -> list:
    if not np.isfinite(variance):
        return [None, None]
    half = Z95 * math.sqrt(max(variance, 0.0))
    return [float(max(lo, value - half)), float(min(hi, value + half))]


def _summary(y, s, auc, variance, *, resamples=KS_RESAMPLES, seed=SEED, w=None) -> dict:
    good, bad = _cells(y, s, w)
    auc_ci = _interval(auc, variance, 0.0, 1.0)
    weighted = {} if w is None else {"weight": float(w.sum()), "bad_weight": float(w[y == 1].sum())}
    return {
        "n": int(len(y)),
        "bad": int(y.sum()),
        **weighted,
        "auc": float(auc),
        "auc_ci": auc_ci,
        "gini": float(2 * auc - 1),
        "gini_ci": [None if c is None else 2 * c - 1 for c in auc_ci],
        "ks": float(_ks(good, bad)),
        "ks_ci": ks_interval(good, bad, resamples, seed),
    }


def evaluate(y_bad, score, *, resamples: int = KS_RESAMPLES, seed: int = SEED, weights=None) -> dict:
    """AUC, Gini and KS with 95% intervals (DeLong for AUC and Gini, a seeded bootstrap for KS), n and bad."""
    y, s = _outcomes(y_bad, score)
    w = weights_of(weights, len(y))
    auc, cov = _delong(y, s[None, :], w)
    return _summary(y, s, auc[0], cov[0, 0], resamples=resamples, seed=seed, w=w)


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
        t = pd.DataFrame({"score": s, "bad": y}).groupby(band, sort=True).agg(
            score_min=("score", "min"), score_max=("score", "max"), score_mean=("score", "mean"),
            applicants=("score", "size"), bads=("bad", "sum"),
        )
        return t.reset_index(drop=True).assign(band=lambda f: np.arange(1, len(f) + 1))
    # Applicants and bads as the weight they carry.
    t = pd.DataFrame({"score": s, "ws": s * w, "w": w, "wbad": y * w}).groupby(band, sort=True).agg(
        score_min=("score", "min"), score_max=("score", "max"), ws=("ws", "sum"), applicants=("w", "sum"),
        bads=("wbad", "sum"))
    t["score_mean"] = np.divide(t["ws"], t["applicants"], out=t["score_min"].to_numpy(dtype=float).copy(),
                                where=t["applicants"].to_numpy() > 0)
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
    bands = pd.DataFrame({"score": t["score_mean"], "score_min": t["score_min"], "score_max": t["score_max"],
                          "applicants": t["applicants"], "bads": t["bads"], "log_odds": log_odds})
    fitted = {"pdo": None, "pdo_ci": [None, None], "score_at_target_odds": None, "intercept": None, "slope": None}
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
    return _jsonable({
        "bands": bands.to_dict(orient="records"),
        "requested": {"pdo": float(pdo), "target_score": float(target_score), "target_odds": float(target_odds),
                      "slope": math.log(2) / pdo,
                      "intercept": math.log(target_odds) - target_score * math.log(2) / pdo},
        "fitted": fitted,
    })


def psi(expected, actual, bins: int = 10, *, expected_weights=None, actual_weights=None) -> float:
    """Population stability index of a score, on the deciles (or `bins` quantiles) of the expected one."""
    e = np.asarray(expected, dtype=float)
    a = np.asarray(actual, dtype=float)
    we = np.ones(len(e)) if expected_weights is None else np.asarray(expected_weights, dtype=float)
    wa = np.ones(len(a)) if actual_weights is None else np.asarray(actual_weights, dtype=float)
    we, wa = we[np.isfinite(e)], wa[np.isfinite(a)]
    e, a = e[np.isfinite(e)], a[np.isfinite(a)]
    if len(e) == 0 or len(a) == 0:
        raise InputError("the stability index needs scores on both samples")
    q = np.linspace(0, 1, bins + 1)[1:-1]
    edges = np.unique(np.quantile(e, q) if expected_weights is None else _weighted_quantile(e, we, q))
    k = len(edges) + 1
    pe = np.maximum(np.bincount(np.searchsorted(edges, e, side="left"), weights=we, minlength=k) / we.sum(),
                    PSI_FLOOR)
    pa = np.maximum(np.bincount(np.searchsorted(edges, a, side="left"), weights=wa, minlength=k) / wa.sum(),
                    PSI_FLOOR)
    return float(np.sum((pa - pe) * np.log(pa / pe)))


def woe_logistic_challenger(card, X_train, y_bad, X_test, *, sample_weight=None) -> np.ndarray:
    """Test scores of the WoE logistic-regression card on `card`'s own bins, on its scale; higher is better.

    The card a credit team would build the usual way: each bin's WoE on the training rows (weighted), one
    logistic regression on the predictors' WoE, its log-odds scaled as the card's points are. It differs from
    `card` only in how the same bins become points. A value the card never saw scores WoE 0.
    """
    from sklearn.linear_model import LogisticRegression

    from ._binning import woe_table
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
        return (f"The test split holds {best['n']} applicants, {best['bad']} of them bad: too few to tell the "
                "scores apart; judge the cards on a larger split.")
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


def assess(y_test, scores: dict, *, card: str = "additive card", train_score=None, pdo, target_score, target_odds,
           groups: int = 10, resamples: int = KS_RESAMPLES, seed: int = SEED, weights=None,
           train_weights=None) -> dict:
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
        row = {"name": name, **_summary(y, matrix[i], auc[i], cov[i, i], resamples=resamples, seed=seed, w=w)}
        if i != c:
            diff = float(auc[i] - auc[c])
            row["auc_vs_card"] = diff
            row["auc_vs_card_ci"] = _interval(diff, cov[i, i] + cov[c, c] - 2 * cov[i, c])
        else:
            row["auc_vs_card"], row["auc_vs_card_ci"] = 0.0, [0.0, 0.0]
        rows.append(row)
    card_row = rows[c]
    stability = None
    if train_score is not None:
        value = psi(train_score, matrix[c], expected_weights=train_weights, actual_weights=w)
        reading = "stable" if value < PSI_SHIFT[0] else "some shift" if value < PSI_SHIFT[1] else "shifted"
        stability = {"value": value, "reading": reading, "train": int(len(np.asarray(train_score))),
                     "test": int(len(y))}
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
