"""monitor.html: what fired and when at the top (a verdict per check and period), the trends below, then the
details; one page that works offline."""

from __future__ import annotations

import html

from .._html import STYLE, ci_text, data_block, escaped, figure_html, html_table, num_text, plain_text, replace_page
from . import charts
from . import statistics as stats

EXTRA_STYLE = """
td.green { background: #d9f2d9; } td.amber { background: #ffe7b3; } td.red { background: #f7c6c6; }
td.too-few { background: #eee; color: #777; } td.none { color: #aaa; }
.verdict { font-weight: bold; text-transform: uppercase; }
#verdicts td, #verdicts th { font-size: 0.85em; }
.worst { font-size: 1.2em; padding: 0.4em 0.8em; display: inline-block; }
.worst.green { background: #d9f2d9; } .worst.amber { background: #ffe7b3; } .worst.red { background: #f7c6c6; }
"""


def _pct(x) -> str:
    return "" if x is None else f"{x:.1%}"


def _fixed(x, digits: int = 4) -> str:
    return "" if x is None else f"{x:.{digits}f}"


def _p(x) -> str:
    if x is None:
        return ""
    return f"{x:.2e}" if 0 < x < 1e-4 else f"{x:.4f}"


def _value(kind: str, value) -> str:
    if value is None:
        return ""
    return {"psi": f"{value:.3f}", "share": f"{value:.1%}", "auc": f"{value:.3f}", "calibration": f"{value:.2f}x"}[kind]


def _cell(kind: str, cell) -> str:
    if cell is None:
        return '<td class="none">no applicants</td>'
    verdict = cell["verdict"]
    if verdict == stats.TOO_FEW:
        return '<td class="too-few" title="too few to judge">too few</td>'
    title = f"{verdict}; p = {_p(cell['p_adjusted'])} after Holm" if cell["p_adjusted"] is not None else verdict
    return f'<td class="{verdict}" title="{html.escape(title)}">{_value(kind, cell["value"])}</td>'


def matrix(r: dict) -> str:
    """One row per check, one column per period and the whole window, each cell coloured by its verdict."""
    scopes = [*r["periods"], "all"]
    names = [*r["periods"], "whole window"]
    rows = [
        f"<tr>{escaped(row['check'])}{''.join(_cell(row['kind'], row['cells'][s]) for s in scopes)}</tr>"
        for row in r["checks"]
    ]
    return html_table("verdicts", ["Check", *map(html.escape, names)], rows)


def _worst(r: dict) -> str:
    verdict = r["verdict"]
    which = r["worst"]["checks"]
    text = f"Worst verdict: {verdict.upper()}"
    if verdict != stats.GREEN:
        where: dict[str, list[str]] = {}
        for a in r["alerts"]:
            if a["verdict"] == verdict:
                where.setdefault(a["check"], []).append("whole window" if a["scope"] == "all" else a["scope"])
        text += ", set by " + "; ".join(f"{c} ({', '.join(where[c])})" for c in which)
    return f'<p class="worst {verdict}">{html.escape(text)}.</p>'


def _rules(r: dict) -> str:
    t = r["thresholds"]
    text = (
        f"How each verdict is decided. Every check is tested in every scope (each period and the whole window); "
        f"the p-values of one check's scopes are adjusted together by Holm's method, so a check that has not "
        f"changed turns amber anywhere with a chance of at most {t['p'][0]:g} and red of at most {t['p'][1]:g}. "
        f"Stability indexes (PSI) are amber from {t['psi'][0]:g} and red from {t['psi'][1]:g}, and only when "
        f"the shift is beyond sampling noise (chi-square test of the counts against development's); shares of "
        f"unseen or missing values are amber {t['share_rise'][0]:.0%} and red {t['share_rise'][1]:.0%} above "
        f"development's, again only when significant (one-sided, both samples' noise carried). AUC: one-sided "
        f"test that it fell below the development AUC, carrying the development AUC's own sampling error. "
        f"Calibration: whether bad rates rose from development's in the same score bands (all bands, or the "
        f"upper half; both samples' noise taken at development's rates), Holm-adjusted together. A scope with fewer than {t['fewest_applicants']} "
        f"applicants, or fewer than {t['fewest_outcomes']} goods or bads for the outcome checks, is too few to "
        f"judge. Cells show the PSI, the share, the AUC, and the bads observed over those expected."
    )
    return f"<p>{html.escape(text)}</p>"


def _figure(fig: dict, div_id: str) -> str:
    # Labels come from the data (predictor names, periods): plotly must show them, not read them as markup.
    return figure_html(plain_text(fig), div_id)


def _trends(r: dict) -> str:
    periods = {k: p for k, p in r["periods"].items() if not p.get("empty")}
    if not periods:
        return ""
    parts = [
        _figure(charts.psi_trend(periods, r["thresholds"]["psi"]), "psi-periods"),
        _figure(charts.share_trend(periods, "unseen"), "unseen-periods"),
        _figure(charts.share_trend(periods, "missing"), "missing-periods"),
    ]
    if "performance" in r:
        parts += [
            _figure(charts.auc_trend(periods, r["baseline"]), "auc-periods"),
            _figure(charts.bad_ratio_trend(periods), "bads-periods"),
        ]
    return "<h2>Trends by period</h2>" + "".join(parts)


def _predictors(r: dict) -> str:
    rows = []
    for name, p in r["predictors"].items():
        shares = "".join(
            f"<td>{_pct(p[k]['share'])} ({_pct(p[k]['baseline_share'])})</td>"
            for k in ("unseen", "unreadable", "missing")
        )
        shift = "" if p["points_shift"] is None else f"{p['points_shift']:+.2f}"
        rows.append(
            f"<tr>{escaped(name)}<td>{_fixed(p['psi'])}</td><td>{_p(p['p_value'])}</td><td>{shift}</td>{shares}</tr>"
        )
    head = [
        "Predictor",
        "PSI",
        "p (shift beyond noise)",
        "Points gained on average",
        "Unseen (baseline)",
        "Unreadable (baseline)",
        "Missing (baseline)",
    ]
    return html_table("predictors", head, rows)


def _bins(r: dict) -> str:
    rows = []
    for name, p in r["predictors"].items():
        for i, b in enumerate(p["bins"]):
            first = ' class="first"' if i == 0 else ""
            rows.append(
                f"<tr{first}>{escaped(name if i == 0 else '')}{escaped(b['bin'])}<td>{num_text(b['points'])}</td>"
                f"<td>{_pct(b['baseline_share'])}</td><td>{_pct(b['share'])}</td></tr>"
            )
    return html_table("bins", ["Predictor", "Bin", "Points", "Baseline share", "Monitored share"], rows)


def _performance(r: dict) -> str:
    p, b = r["performance"], r["baseline"]
    if p.get("empty"):
        return "<p>No applicant of this table has a known outcome yet.</p>"
    rows = [
        f"<tr>{escaped(k.upper() if k != 'gini' else 'Gini')}<td>{_fixed(p[k])} {ci_text(p[k + '_ci'], '{:.4f}')}</td>"
        f"<td>{_fixed(b[k])} {ci_text(b[k + '_ci'], '{:.4f}')}</td></tr>"
        for k in ("auc", "gini", "ks")
        if p[k] is not None
    ]
    unknown = f", {p['outcome_unknown']} not known yet" if p["outcome_unknown"] else ""
    known = f"{p['n']} applicants with a known outcome, {p['bad']} bad{unknown}."
    test = ""
    if p["auc_decline_p"] is not None:
        z = "" if p["auc_decline_z"] is None else f"z = {p['auc_decline_z']:.2f}, "
        test = (
            f" One-sided test that the AUC fell below its development value (DeLong standard errors "
            f"of both samples): {z}p = {_p(p['auc_decline_p'])}."
        )
    return f"<p>{html.escape(known + test)}</p>" + html_table(
        "performance", ["Figure", "Monitored (95% CI)", "Development (95% CI)"], rows
    )


def _said(t: dict) -> str:
    if t["p_value"] is None:
        return "not computed"
    return f"chi-square {t['statistic']:.2f} on {t['df']} degrees of freedom, p = {_p(t['p_value'])}"


def _calibration(r: dict) -> str:
    c = r["calibration"]
    if c.get("empty"):
        return "<p>No applicant of this table has a known outcome yet.</p>"
    rows = [
        f"<tr>{escaped(charts.band_name(b))}<td>{b['applicants']}</td><td>{b['bads']}</td>"
        f"<td>{_pct(b['bad_rate'])} {ci_text(b['bad_rate_ci'], '{:.1%}')}</td><td>{_pct(b['baseline_bad_rate'])}</td>"
        f"<td>{_p(b['p_rise'])}</td><td>{_p(b['p_rise_adjusted'])}</td><td>{_pct(b['expected_bad_rate'])}</td></tr>"
        for b in c["bands"]
        if b["applicants"] > 0
    ]
    head = [
        "Score band",
        "Applicants",
        "Bads",
        "Bad rate (95% CI)",
        "At development",
        "p (rate rose)",
        "p after Holm over bands",
        "Promised by the scaling",
    ]
    t = c["vs_development"]

    def rise(x):
        return "not computed" if x["p_value"] is None else f"z = {x['z']:.2f}, p = {_p(x['p_value'])}"

    text = (
        f"{c['bads']} bads where development's bad rates in the same score bands expect "
        f"{c['expected_bads']:.1f}. Rise against development (the verdict): all bands {rise(t['all_bands'])}; the "
        f"upper half {rise(t['upper_half'])}. Any band different either way: {_said(t['any_band'])}. Against the "
        f"rates the card's scaling "
        f"promises (Hosmer-Lemeshow, as many degrees of freedom as bands): {_said(c['hosmer_lemeshow'])}."
    )
    return (
        _figure(charts.calibration(c), "calibration")
        + f"<p>{html.escape(text)}</p>"
        + html_table("calibration-bands", head, rows)
    )


def _fairness(r: dict) -> str:
    if not r.get("fairness"):
        return ""
    from ..fairness.chapter import monitor_section

    return monitor_section(r["fairness"])


def write(path, result: dict, card) -> None:
    """The page for one run of monitoring (`result`: monitor.json's data)."""
    from plotly.offline import get_plotlyjs

    r, s = result, card.scaling
    intro = (
        f"{r['applicants']} applicants{f' of {r["data"]}' if r.get('data') else ''}, compared with the "
        f"card's development data ({r['baseline']['population']} part for the population, "
        f"{r['baseline']['outcomes']} part for the outcomes). Scaling: {num_text(s['target_score'])} points at "
        f"good:bad odds {num_text(s['target_odds'])}:1, {num_text(s['pdo'])} points to double them."
    )
    outcome = (
        ""
        if "performance" not in r
        else (f"<h2>Performance</h2>{_performance(r)}<h2>Calibration</h2>{_calibration(r)}")
    )
    score = r["score"]
    spread = (
        f"Mean score {num_text(score['mean'])} (development {num_text(score['baseline_mean'])}); concentration "
        f"across bands (Herfindahl) {_fixed(score['herfindahl'], 3)} (development "
        f"{_fixed(score['baseline_herfindahl'], 3)}; {1 / len(score['bands']):.3f} would be even)."
    )
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Monitoring report</title>
<style>{STYLE}{EXTRA_STYLE}</style>
<script type="text/javascript">{get_plotlyjs()}</script>
</head><body>
<h1>Monitoring report</h1>
{_worst(r)}
{matrix(r)}
{_fairness(r)}
{_rules(r)}
<p>{html.escape(intro)}</p>
{_trends(r)}
<h2>Score distribution (whole window)</h2>
{_figure(charts.bands(score), "score-bands")}
<p>{html.escape(spread)}</p>
<h2>Predictors (whole window)</h2>
<p>Points gained on average: the characteristic analysis, the sum over bins of the change in share times the bin's
points. Unseen values earn the neutral points; a missing value without a Missing bin counts as missing only.</p>
{_predictors(r)}
<h3>Shares per bin</h3>
{_bins(r)}
{outcome}
{data_block(r)}
</body></html>
"""
    replace_page(path, page)
