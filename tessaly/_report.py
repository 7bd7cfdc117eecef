"""The validation report: one HTML page that works offline, and metrics.json beside it."""

from __future__ import annotations

import html
import json
import math

import pandas as pd

from ._html import STYLE, ci_text, data_block, escaped, figure_html, html_table, num_text, plain_text, replace_page
from ._json import jsonable as _jsonable


def _distribution(test_scores: pd.DataFrame):
    import plotly.graph_objects as go

    fig = go.Figure()
    bad = test_scores["bad"].to_numpy().astype(int)
    for flag, name in ((0, "good"), (1, "bad")):
        fig.add_trace(
            go.Histogram(
                x=test_scores["score"].to_numpy()[bad == flag], name=name, opacity=0.6, histnorm="percent", nbinsx=30
            )
        )
    fig.update_layout(
        barmode="overlay",
        xaxis_title="Total score",
        yaxis_title="% of group",
        title="Score distribution on the test split",
    )
    return fig


def _metrics_table(a: dict) -> str:
    values = "".join(f"<td>{a[k]:.4f}</td>" for k in ("auc", "gini", "ks"))
    cis = "".join(f'<td class="ci">{ci_text(a[k + "_ci"], "{:.4f}")}</td>' for k in ("auc", "gini", "ks"))
    return (
        f'<table class="metrics" id="metrics"><tr><th>AUC</th><th>Gini</th><th>KS</th></tr>'
        f"<tr>{values}</tr><tr>{cis}</tr></table>"
    )


def _challengers(a: dict) -> str:
    rows = []
    for r in a["challengers"]:
        card = r["name"] == a["card"]
        vs = "" if card else f"{r['auc_vs_card']:+.3f} {ci_text(r['auc_vs_card_ci'], '{:+.3f}')}"
        cells = [escaped(r["name"])] + [f"<td>{r[k]:.3f} {ci_text(r[k + '_ci'])}</td>" for k in ("auc", "gini", "ks")]
        rows.append(f"<tr{' class=card' if card else ''}>{''.join(cells)}<td>{vs}</td></tr>")
    head = ["Scorer", "AUC (95% CI)", "Gini (95% CI)", "KS (95% CI)", f"AUC minus the {html.escape(a['card'])}'s"]
    return (
        f'<section id="challengers"><h2>Challengers</h2><p class="sentence">{html.escape(a["sentence"])}</p>'
        f"{_benchmark(a.get('benchmark'))}"
        f"<p>Every scorer ranks the same test applicants. Intervals: DeLong for AUC and Gini (and for the "
        f"difference, which accounts for the scorers sharing applicants), a bootstrap for KS.</p>"
        f"{html_table(None, head, rows)}</section>"
    )


def _benchmark(b: dict | None) -> str:
    """Whether the benchmark ranks significantly better than the card, and how it was trained."""
    if not b:
        return ""
    note = f"<p>{html.escape(b['note'])}</p>" if b.get("note") else ""
    return f'<p class="sentence" id="benchmark">{html.escape(b["sentence"])}</p>{note}'


def _gains(a: dict) -> str:
    rows = []
    for g in a["gains"]:
        odds = "no bads" if g["odds"] is None else f"{g['odds']:.2f}"
        cells = [
            f"<td>{g['band']}</td>",
            f"<td>{num_text(g['score_min'])} to {num_text(g['score_max'])}</td>",
            f"<td>{g['applicants']}</td>",
            f"<td>{g['bads']}</td>",
            f"<td>{g['bad_rate']:.1%}</td>",
            f"<td>{g['cum_applicant_share']:.1%}</td>",
            f"<td>{g['cum_bad_share']:.1%}</td>",
            f"<td>{odds}</td>",
        ]
        rows.append(f"<tr>{''.join(cells)}</tr>")
    head = [
        "Band",
        "Score range",
        "Applicants",
        "Bads",
        "Bad rate",
        "Cumulative applicants",
        "Cumulative bads",
        "Good:bad odds",
    ]
    return (
        f"<h2>Gains by score band</h2><p>The {html.escape(a['card'])}'s test scores in {len(rows)} bands of "
        f"about equal size, lowest scores (worst) first; tied scores share a band, so there may be fewer "
        f"than ten.</p>{html_table('gains', head, rows)}"
    )


def _calibration(a: dict) -> str:
    import plotly.graph_objects as go

    cal = a["calibration"]
    req, fit = cal["requested"], cal["fitted"]
    bands = [b for b in cal["bands"] if b["log_odds"] is not None]
    lo = min([b["score_min"] for b in cal["bands"]] + [req["target_score"]])
    hi = max([b["score_max"] for b in cal["bands"]] + [req["target_score"]])
    xs = [lo, hi]
    fig = go.Figure()
    fig.add_trace(
        go.Scatter(
            x=[b["score"] for b in bands],
            y=[b["log_odds"] for b in bands],
            mode="markers",
            name="observed (score band)",
            text=[f"{b['applicants']} applicants, {b['bads']} bad" for b in bands],
            marker={"size": 9},
        )
    )
    fig.add_trace(
        go.Scatter(
            x=xs,
            y=[req["intercept"] + req["slope"] * x for x in xs],
            mode="lines",
            name=f"requested: {num_text(req['pdo'])} points double the odds",
        )
    )
    if fit["slope"] is not None:
        label = f"fitted: {fit['pdo']:.1f} points double the odds" if fit["pdo"] is not None else "fitted"
        fig.add_trace(
            go.Scatter(
                x=xs,
                y=[fit["intercept"] + fit["slope"] * x for x in xs],
                mode="lines",
                line={"dash": "dash"},
                name=label,
            )
        )
    fig.add_trace(
        go.Scatter(
            x=[req["target_score"]],
            y=[math.log(req["target_odds"])],
            mode="markers",
            marker={"symbol": "x", "size": 11},
            name="target odds at target score",
        )
    )
    fig.update_layout(title="Observed log-odds against score", xaxis_title="Score", yaxis_title="ln(good:bad odds)")
    wanted = (
        f"Requested: odds {num_text(req['target_odds'])}:1 at {num_text(req['target_score'])} points, "
        f"doubling every {num_text(req['pdo'])} points."
    )
    if fit["pdo"] is None:
        shown = (
            "A logistic fit of the outcome on the score has no finite solution here (the score does not vary, "
            "or separates good from bad completely), so no scaling is fitted."
        )
    else:
        shown = (
            f"Fitted on the test split (logistic regression of good/bad on the score): the odds double every "
            f"{fit['pdo']:.1f} points {ci_text(fit['pdo_ci'], '{:.1f}')} and reach {num_text(req['target_odds'])}:1 "
            f"at {fit['score_at_target_odds']:.0f} points."
        )
        if fit["pdo"] < 0:
            shown += " A negative value means higher scores go with worse odds."
    return f"<h2>Calibration</h2>{figure_html(fig, 'calibration')}<p>{html.escape(wanted)} {html.escape(shown)}</p>"


def _stability(a: dict) -> str:
    p = a.get("psi")
    if p is None:
        text = "No training scores were given, so the stability of the score is not measured."
    else:
        text = (
            f"Population stability index of the {a['card']}'s score, training split ({p['train']} applicants) "
            f"against test split ({p['test']}): {p['value']:.4f}, {p['reading']} (below 0.1 is usually read "
            f"as stable, above 0.25 as shifted)."
        )
    return f'<section id="psi"><h2>Stability</h2><p>{html.escape(text)}</p></section>'


_ORIGIN = {"by hand": "bins by hand", "cross": "cross: cells of two predictors"}


def _scorecard_table(table: pd.DataFrame) -> str:
    first = table["predictor"].ne(table["predictor"].shift()).to_numpy()
    rows = []
    for is_first, r in zip(first, table.itertuples(index=False)):
        cells = [
            escaped(
                (
                    f"{r.predictor} ({_ORIGIN[r.binning]})"
                    if getattr(r, "binning", "optimal") in _ORIGIN
                    else r.predictor
                )
                if is_first
                else ""
            ),
            escaped(r.bin),
            f"<td>{'' if pd.isna(r.share) else f'{r.share:.1%}'}</td>",
            f"<td>{'' if pd.isna(r.event_rate) else f'{r.event_rate:.1%}'}</td>",
            f"<td>{'' if pd.isna(r.woe) else f'{r.woe:.3f}'}</td>",
            f"<td>{num_text(r.points)}</td>",
            f"<td>{num_text(r.neutral)}</td>",
        ]
        rows.append(f"<tr{' class=first' if is_first else ''}>{''.join(cells)}</tr>")
    return html_table("scorecard", ["Predictor", "Bin", "Share", "Event rate", "WoE", "Points", "Neutral"], rows)


def _dropped(dropped: dict) -> str:
    if dropped:
        rows = [f"<tr>{escaped(name)}{escaped(reason)}</tr>" for name, reason in dropped.items()]
        body = html_table(None, ["Predictor", "Reason"], rows)
    else:
        body = "<p>Every predictor is on the card.</p>"
    return f'<section id="dropped"><h2>Predictors left out</h2>{body}</section>'


def _by_hand(rows: list) -> str:
    """Predictors binned by hand: their bins beside the optimal ones, and the edits with the reasons given."""
    if not rows:
        return ""
    esc = lambda v: html.escape(str(v))  # noqa: E731
    parts = ["<h2>Bins set by hand</h2>"]
    for r in rows:
        iv = "" if r["iv"] is None else f" (IV {r['iv']:.4f}; optimal {num_text(r['optimal_iv'], 4)})"
        parts.append(f"<h3>{esc(r['predictor'])}{esc(iv)}</h3>")
        if r["left_out"]:
            parts.append(f"<p>{esc(r['left_out'])}</p>")
        depth = max(len(r["bins"]), len(r["optimal"]))
        cells = [
            f"<tr><td>{esc(a)}</td><td>{esc(b)}</td></tr>"
            for a, b in zip(
                r["bins"] + [""] * (depth - len(r["bins"])), r["optimal"] + [""] * (depth - len(r["optimal"]))
            )
        ]
        if cells:
            parts.append(html_table(None, ["bins set by hand", "optimal bins"], cells))
        edits = [
            f"<tr><td>{esc(e.get('when', ''))}</td><td>{esc(e.get('what', ''))}</td>"
            f"<td>{esc(e.get('reason', ''))}</td></tr>"
            for e in r["edits"]
        ]
        if edits:
            parts.append(html_table(None, ["when", "edit", "reason"], edits, "hand-edits"))
    return "\n".join(parts)


def _values(values: dict) -> str:
    """Values the card could not place: unreadable ones at build, unseen and unreadable ones in the test split."""
    rows = [
        f"<tr>{escaped(name)}{escaped(c.get('build_unreadable', 0))}{escaped(c.get('unseen', 0))}"
        f"{escaped(c.get('unreadable', 0))}</tr>"
        for name, c in values.items()
        if any(c.values())
    ]
    if not rows:
        body = "<p>Every value of the training and test applicants was read and placed in a bin.</p>"
    else:
        body = (
            "<p>Unreadable values (text in a numerical predictor, say) and values the card never saw score the "
            "predictor's neutral points.</p>"
            + html_table("values", ["Predictor", "Unreadable at build", "Unseen in test", "Unreadable in test"], rows)
        )
    return f'<section id="values-not-placed"><h2>Values not placed</h2>{body}</section>'


def _directions(rows: list) -> str:
    """Whether each numerical predictor's points rise with its WoE, as a validator expects of a card."""
    if not rows:
        return ""
    cells = [
        f"<tr>{escaped(r['predictor'])}<td>{num_text(r['rank_correlation'])}</td>"
        f"{escaped('rise with WoE' if r['follows_woe'] else 'AGAINST WoE: check this predictor')}</tr>"
        for r in rows
    ]
    against = sum(not r["follows_woe"] for r in rows)
    lead = (
        "The points of every numerical predictor rise with its WoE (fewer bads, more points)."
        if not against
        else f"{against} numerical predictor{'s' * (against > 1)} have points that fall somewhere as WoE rises: "
        "the model saw an effect the bins' event rates do not show (monotone=True removes it)."
    )
    return (
        f'<section id="directions"><h2>Direction of points</h2><p>{html.escape(lead)}</p>'
        + html_table(None, ["Predictor", "Rank correlation of points with WoE", "Direction"], cells)
        + "</section>"
    )


def write(
    path,
    *,
    summary: dict,
    table: pd.DataFrame,
    charts: list,
    assessment: dict,
    test_scores: pd.DataFrame,
    dropped: dict,
    values: dict | None = None,
    directions: list | None = None,
    hand: list | None = None,
    note: str | None = None,
    fairness: dict | None = None,
    rejects: dict | None = None,
) -> None:
    """The report page. `charts` are (predictor, plotly figure dict) pairs; `assessment` is _assess.assess();
    `values` per predictor the counts of values not placed (build_unreadable, unseen, unreadable)."""
    from plotly.offline import get_plotlyjs

    a = assessment
    s = summary["scaling"]
    resort = "; bins re-sorted" if s.get("resort") else ""
    intro = (
        f"Model: {summary['model']}. Points: {summary['points']}. Target: {summary['target']} "
        f"(bad = {summary['bad']}). Scaling: {num_text(s['target_score'])} points at odds {num_text(s['target_odds'])}:1, "
        f"{num_text(s['pdo'])} points to double the odds{resort}. Test split: {a['n']} applicants, {a['bad']} bad."
    )
    figures = [
        f"<h3>{html.escape(str(name))}</h3>" + figure_html(plain_text(fig_dict), f"predictor-{i}")
        for i, (name, fig_dict) in enumerate(charts)
    ]
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Scorecard report</title>
<style>{STYLE}</style>
<script type="text/javascript">{get_plotlyjs()}</script>
</head><body>
<h1>Scorecard report</h1>
<p>{html.escape(intro)}</p>
{f"<p>{html.escape(note)}</p>" if note else ""}
<h2>Validation on the test split</h2>
<p>The {html.escape(a["card"])}, with 95% confidence intervals below each figure.</p>
{_metrics_table(a)}
{figure_html(_distribution(test_scores), "score-distribution")}
{_challengers(a)}
{_gains(a)}
{_calibration(a)}
{_stability(a)}
{_rejects(rejects)}
<h2>Scorecard</h2>
<p>Points per bin; an applicant's score is the sum over predictors. Neutral is the points an average applicant gets
from the predictor; reason codes name the predictors furthest below their {summary.get("reason_rule", "neutral")}
points.</p>
{_scorecard_table(table)}
{_directions(directions or [])}
<h2>Predictors</h2>
{"".join(figures)}
{_dropped(dropped)}
{_by_hand(hand or [])}
{_values(values or {})}
{_fairness_chapter(fairness)}
{data_block({"charts": len(charts), **a, "dropped": dropped, "values": values or {}, "directions": directions or []})}
</body></html>
"""
    replace_page(path, page)


def _fairness_chapter(fairness: dict | None) -> str:
    if not fairness:
        return ""
    from .fairness.chapter import section

    return section(fairness)


def _rejects(r: dict | None) -> str:
    if r is None:
        return ""
    from .rejects.chapter import page

    return page(r)


def write_metrics(path, assessment: dict) -> None:
    """metrics.json: the assessment as strict JSON, replaced in one step."""
    replace_page(path, json.dumps(_jsonable(assessment), allow_nan=False, indent=2) + "\n")
