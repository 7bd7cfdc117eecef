"""The report's chapter on the rejects: the through-the-door counts and scores, known beside inferred bad rates
per band, the grid over the factor and the methods with each card's AUC on accepted test applicants, and the
known holdout where some rejects have outcomes; as plain figures for metrics.json and as HTML."""

from __future__ import annotations

import html
import math

import numpy as np

from .._html import ci_text, escaped, figure_html, html_table
from .._metrics import _delong, _interval
from . import _methods as m
from ._inference import Inference

FEWEST_IN_BAND = 1


def assumption(inf: Inference) -> str:
    """The assumption in one sentence."""
    if inf.method == "hard-cutoff":
        return (
            f"Assumed: every reject scoring below {inf.cutoff:g} on the accepts-only card would have gone bad and "
            "every other reject good; no outcome in the data can test this, so the grid shows what other choices "
            "would change."
        )
    if inf.method in ("none", "reweight"):
        return (
            "Assumed: rejects go bad as accepted applicants with the same "
            f"{'predictors' if inf.method == 'none' else 'accepts-only score'} do (missing at random, K = 1); no "
            "outcome in the data can test this, so the grid shows what a factor above 1 would change."
        )
    mar = " (missing at random)" if inf.factor == 1 else ""
    return (
        f"Assumed: a rejected applicant's odds of going bad are {inf.factor:g} times those of an accepted applicant "
        f"with the same predictors{mar}, because the earlier policy also judged on what the data do not hold; no "
        "outcome in the data can test this, so the grid shows what each factor would change."
    )


def _counts(inf: Inference) -> dict:
    pop = inf.pop
    bads = float(np.dot(pop.weight, pop.bad))
    rejects = float(pop.reject_weight.sum())
    accepts = float(pop.weight.sum())
    return {
        "accepted_goods": accepts - bads,
        "accepted_bads": bads,
        "rejects": rejects,
        "acceptance_rate": accepts / (accepts + rejects),
    }


def _bands(inf: Inference) -> list[dict]:
    """Per score band of the accepts-only card: accepts, their known bad rate, rejects and their inferred one."""
    pop = inf.pop
    k = len(pop.edges) + 1
    band, reject_band = m.band_of(pop.score, pop.edges), m.band_of(pop.reject_score, pop.edges)
    n_a = np.bincount(band, weights=pop.weight, minlength=k)
    n_r = np.bincount(reject_band, weights=pop.reject_weight, minlength=k)
    bad_r = np.bincount(reject_band, weights=pop.reject_weight * inf.rows.reject_bad, minlength=k)
    lows = [-math.inf, *pop.edges]
    rates = m.band_rates(pop)
    return [
        {
            "from": None if not math.isfinite(lows[i]) else float(lows[i]),
            "accepts": float(n_a[i]),
            "known_bad_rate": float(rates[i]),
            "rejects": float(n_r[i]),
            "inferred_bad_rate": float(bad_r[i] / n_r[i]) if n_r[i] > 0 else None,
        }
        for i in range(k)
    ]


def _grid(inf: Inference, X_test, y_test, w_test) -> list[dict]:
    """Each grid row's figures, with its card's AUC on the accepted test applicants against the accepts-only
    card's (DeLong, paired: the cards rank the same applicants)."""
    matrix = np.vstack([row["card"].total(X_test) for row in inf.grid])
    auc, cov = _delong(np.asarray(y_test, dtype=int), matrix, w_test)
    rows = []
    for i, row in enumerate(inf.grid):
        diff = float(auc[i] - auc[0])
        rows.append(
            {
                "method": row["method"],
                "factor": row["factor"],
                "chosen": (row["method"], row["factor"]) == inf.chosen,
                **{k: v for k, v in row.items() if k not in ("method", "factor", "card", "rows")},
                "auc": float(auc[i]),
                "auc_ci": _interval(float(auc[i]), cov[i, i], 0.0, 1.0),
                "auc_vs_accepts_only": diff,
                "auc_vs_accepts_only_ci": [0.0, 0.0]
                if i == 0
                else _interval(diff, cov[i, i] + cov[0, 0] - 2 * cov[i, 0]),
            }
        )
    return rows


def holdout(inf: Inference) -> dict | None:
    """Rejects whose outcome became known: per band the realised bad rate with its Jeffreys interval beside the
    inferred one, and per factor how well the fuzzy probabilities fit them."""
    if inf.holdout is None or not np.isfinite(inf.holdout).any():
        return None
    from ..monitoring.statistics import jeffreys_interval

    pop = inf.pop
    known = np.isfinite(inf.holdout)
    y, w = inf.holdout[known], pop.reject_weight[known]
    k = len(pop.edges) + 1
    band = m.band_of(pop.reject_score[known], pop.edges)
    n = np.bincount(band, weights=w, minlength=k)
    bads = np.bincount(band, weights=w * y, minlength=k)
    inferred = np.bincount(band, weights=w * inf.rows.reject_bad[known], minlength=k)
    lo, hi = jeffreys_interval(bads, n)
    bands = []
    for i in np.flatnonzero(n >= FEWEST_IN_BAND):
        rate = float(inferred[i] / n[i])
        bands.append(
            {
                "band": int(i),
                "rejects": float(n[i]),
                "realised_bad_rate": float(bads[i] / n[i]),
                "interval": [float(lo[i]), float(hi[i])],
                "inferred_bad_rate": rate,
                "within": bool(lo[i] <= rate <= hi[i]),
            }
        )
    by_factor = []
    for factor in m.FACTORS:
        p = np.clip(m.shifted(pop.p_reject[known], factor), 1e-12, 1 - 1e-12)
        band_rate = np.bincount(band, weights=w * p, minlength=k) / np.where(n > 0, n, 1)
        by_factor.append(
            {
                "factor": factor,
                "inferred_bad_rate": float(np.average(p, weights=w)),
                "log_likelihood": float(np.dot(w, y * np.log(p) + (1 - y) * np.log(1 - p))),
                "bands_outside": int(((band_rate < lo) | (band_rate > hi))[n >= FEWEST_IN_BAND].sum()),
            }
        )
    best = max(by_factor, key=lambda r: r["log_likelihood"])
    realised = float(np.average(y, weights=w))
    return {
        "rejects": float(w.sum()),
        "realised_bad_rate": realised,
        "bands": bands,
        "by_factor": by_factor,
        "best_factor": best["factor"],
        "sentence": (
            f"{w.sum():g} rejects have known outcomes, {realised:.1%} of them bad; of the factors tried, K = "
            f"{best['factor']:g} fits them best (inferred {best['inferred_bad_rate']:.1%}, "
            f"{best['bands_outside']} band(s) outside the 95% Jeffreys interval)."
        ),
    }


def figures(inf: Inference, X_test, y_test, w_test=None) -> dict:
    """Everything the chapter shows, as plain JSON values (metrics.json's "rejects")."""
    return {
        "method": inf.method,
        "factor": inf.factor if inf.method in m.USES_FACTOR else None,
        "cutoff": inf.cutoff if inf.method == "hard-cutoff" else None,
        "assumption": assumption(inf),
        "notes": list(inf.notes),
        "counts": _counts(inf),
        "bands": _bands(inf),
        "grid": _grid(inf, X_test, y_test, w_test),
        "holdout": holdout(inf),
        "scores": _histogram(inf.pop),
    }


def _histogram(pop) -> dict:
    """The weighted score counts of accepts and rejects on shared bins."""
    edges = np.histogram_bin_edges(np.concatenate([pop.score, pop.reject_score]), bins=30)
    return {
        "edges": edges.tolist(),
        "accepts": np.histogram(pop.score, edges, weights=pop.weight)[0].tolist(),
        "rejects": np.histogram(pop.reject_score, edges, weights=pop.reject_weight)[0].tolist(),
    }


def _pct(x) -> str:
    return "" if x is None else f"{x:.1%}"


def _distribution(scores: dict) -> dict:
    edges = np.asarray(scores["edges"])
    mids = ((edges[:-1] + edges[1:]) / 2).tolist()
    traces = []
    for k in ("accepts", "rejects"):
        counts = np.asarray(scores[k], dtype=float)
        share = (100 * counts / max(counts.sum(), 1e-12)).tolist()
        traces.append({"type": "bar", "x": mids, "y": share, "name": k, "opacity": 0.6})
    layout = {
        "barmode": "overlay",
        "title": {"text": "Accepts-only card: scores of accepts and rejects"},
        "xaxis": {"title": {"text": "Total score"}},
        "yaxis": {"title": {"text": "% of group"}},
    }
    return {"data": traces, "layout": layout}


def _label(row: dict) -> str:
    return row["method"] + ("" if row["factor"] is None else f", K = {row['factor']:g}")


def page(r: dict) -> str:
    """The chapter as HTML."""
    c = r["counts"]
    counts = html_table(
        "rejects-counts",
        ["Accepted goods", "Accepted bads", "Rejects", "Acceptance rate"],
        [
            f"<tr><td>{c['accepted_goods']:,.0f}</td><td>{c['accepted_bads']:,.0f}</td><td>{c['rejects']:,.0f}</td>"
            f"<td>{c['acceptance_rate']:.1%}</td></tr>"
        ],
    )
    bands = html_table(
        "rejects-bands",
        ["Score from", "Accepts", "Known bad rate", "Rejects", "Inferred bad rate"],
        [
            f"<tr><td>{'' if b['from'] is None else format(b['from'], 'g')}</td>"
            f"<td>{b['accepts']:,.0f}</td><td>{_pct(b['known_bad_rate'])}</td><td>{b['rejects']:,.0f}</td>"
            f"<td>{_pct(b['inferred_bad_rate'])}</td></tr>"
            for b in r["bands"]
        ],
    )
    grid = html_table(
        "rejects-grid",
        [
            "Card",
            "Reject bad rate",
            "Population bad rate",
            "AUC (95% CI)",
            "AUC minus accepts-only (95% CI)",
            "Score PSI",
            "Newly accepted",
            "Newly rejected",
            "Newly accepted vs today",
            "Newly rejected vs today",
        ],
        [
            f"<tr{' class=card' if g['chosen'] else ''}>{escaped(_label(g))}<td>{_pct(g['reject_bad_rate'])}</td>"
            f"<td>{_pct(g['population_bad_rate'])}</td><td>{g['auc']:.3f} {ci_text(g['auc_ci'])}</td>"
            f"<td>{g['auc_vs_accepts_only']:+.3f} {ci_text(g['auc_vs_accepts_only_ci'], '{:+.3f}')}</td>"
            f"<td>{g['psi']:.3f}</td><td>{g['swap_in']:,.0f}</td><td>{g['swap_out']:,.0f}</td>"
            f"<td>{g['swap_in_today']:,.0f}</td><td>{g['swap_out_today']:,.0f}</td></tr>"
            for g in r["grid"]
        ],
    )
    notes = "".join(f"<p>{html.escape(n)}</p>" for n in r["notes"])
    return (
        f'<section id="rejects"><h2>Reject inference</h2><p class="sentence">{html.escape(r["assumption"])}</p>'
        f"{notes}<h3>Through the door</h3>{counts}"
        f"{figure_html(_distribution(r['scores']), 'rejects-distribution')}"
        f"<h3>Known and inferred bad rates per score band of the accepts-only card</h3>{bands}"
        "<h3>Sensitivity</h3><p>Each card on the same accepted test applicants (AUC, DeLong intervals, paired "
        "against the accepts-only card); the score PSI and the swap sets on the whole through-the-door population, "
        "at the cutoff that keeps today's acceptance rate: newly accepted and newly rejected against the "
        "accepts-only card, then against today's decisions. The grid's cards keep the accepts-only bins; the "
        f"chosen card is the one built.</p>{grid}{_holdout(r['holdout'])}</section>"
    )


def _holdout(h: dict | None) -> str:
    if h is None:
        return ""
    bands = html_table(
        "rejects-holdout",
        ["Band", "Rejects", "Realised bad rate (95% Jeffreys)", "Inferred", "Within"],
        [
            f"<tr><td>{b['band'] + 1}</td><td>{b['rejects']:,.0f}</td><td>{_pct(b['realised_bad_rate'])} "
            f"{ci_text(b['interval'], '{:.1%}')}</td><td>{_pct(b['inferred_bad_rate'])}</td>"
            f"<td>{'yes' if b['within'] else 'no'}</td></tr>"
            for b in h["bands"]
        ],
    )
    return f'<h3>Rejects with known outcomes</h3><p class="sentence">{html.escape(h["sentence"])}</p>{bands}'
