"""monitor.html: the figures of monitor.json on one page that works offline."""

from __future__ import annotations

import html

from .._report import STYLE, _ci, _data_block, _figure_html, _num, _plain, _replace, _table, _text

EXTRA_STYLE = """
td.green { background: #d9f2d9; } td.amber { background: #ffe7b3; } td.red { background: #f7c6c6; }
.verdict { font-weight: bold; text-transform: uppercase; }
"""
PSI_COLOURS = {"amber": "#e0a000", "red": "#c0392b"}


def _pct(x) -> str:
    return "" if x is None else f"{x:.1%}"


def _fixed(x, digits: int = 4) -> str:
    return "" if x is None else f"{x:.{digits}f}"


def _p(x) -> str:
    if x is None:
        return ""
    return f"{x:.2e}" if 0 < x < 1e-4 else f"{x:.4f}"


def _verdict(v) -> str:
    if v is None:
        return "<td>no data</td>"
    return f'<td class="{v} verdict">{v}</td>'


def _band_name(row) -> str:
    lo, hi = row["from"], row["to"]
    if lo is None and hi is None:
        return "all scores"
    if lo is None:
        return f"below {_num(hi)}"
    if hi is None:
        return f"{_num(lo)} and above"
    return f"{_num(lo)} to below {_num(hi)}"


def _figure(fig, div_id: str) -> str:
    # Labels come from the data (predictor names, periods): plotly must show them, not read them as markup.
    return _figure_html(_plain(fig.to_dict()), div_id)


def _bands_chart(score: dict):
    import plotly.graph_objects as go

    names = [_band_name(b) for b in score["bands"]]
    fig = go.Figure()
    fig.add_trace(go.Bar(x=names, y=[b["baseline_share"] for b in score["bands"]], name="baseline"))
    fig.add_trace(go.Bar(x=names, y=[b["share"] for b in score["bands"]], name="monitored"))
    fig.update_layout(barmode="group", title="Score distribution against the baseline", xaxis_title="Score band",
                      yaxis_title="Share of applicants", yaxis_tickformat=".0%")
    return fig


def _calibration_chart(cal: dict):
    import plotly.graph_objects as go

    bands = [b for b in cal["bands"] if b["applicants"] > 0]
    names = [_band_name(b) for b in bands]
    rate = [b["bad_rate"] for b in bands]
    fig = go.Figure()
    fig.add_trace(go.Scatter(
        x=names, y=rate, mode="markers", name="observed (95% Jeffreys interval)", marker={"size": 9},
        error_y={"type": "data", "symmetric": False,
                 "array": [b["bad_rate_ci"][1] - r for b, r in zip(bands, rate)],
                 "arrayminus": [r - b["bad_rate_ci"][0] for b, r in zip(bands, rate)]}))
    fig.add_trace(go.Scatter(x=names, y=[b["expected_bad_rate"] for b in bands], mode="lines+markers",
                             name="expected from the card's scaling"))
    fig.add_trace(go.Scatter(x=names, y=[b["baseline_bad_rate"] for b in bands], mode="lines+markers",
                             line={"dash": "dot"}, name="observed at development"))
    fig.update_layout(title="Observed against expected bad rate per score band", xaxis_title="Score band",
                      yaxis_title="Bad rate", yaxis_tickformat=".1%")
    return fig


def _psi_chart(periods: dict, thresholds: list):
    import plotly.graph_objects as go

    labels = list(periods)
    fig = go.Figure()
    fig.add_trace(go.Scatter(x=labels, y=[periods[k].get("score", {}).get("psi") for k in labels],
                             mode="lines+markers", name="score", line={"width": 3}))
    names = next((list(p["predictors"]) for p in periods.values() if "predictors" in p), [])
    for name in names:
        fig.add_trace(go.Scatter(x=labels, y=[periods[k].get("predictors", {}).get(name, {}).get("psi")
                                              for k in labels],
                                 mode="lines", name=name, opacity=0.5, visible="legendonly"))
    for level, colour in zip(thresholds, PSI_COLOURS.values()):
        fig.add_hline(y=level, line={"dash": "dash", "color": colour}, annotation_text=f"{level:g}")
    fig.update_layout(title="Stability index per period (predictors: click the legend)", xaxis_title="Period",
                      yaxis_title="PSI", xaxis_type="category")
    return fig


def _auc_chart(periods: dict, base: dict):
    import plotly.graph_objects as go

    labels = [k for k, p in periods.items() if p.get("performance", {}).get("auc") is not None]
    perf = [periods[k]["performance"] for k in labels]
    auc = [p["auc"] for p in perf]
    fig = go.Figure()
    fig.add_trace(go.Scatter(
        x=labels, y=auc, mode="lines+markers", name="AUC (95% DeLong interval)",
        error_y={"type": "data", "symmetric": False,
                 "array": [(p["auc_ci"][1] or a) - a for p, a in zip(perf, auc)],
                 "arrayminus": [a - (p["auc_ci"][0] or a) for p, a in zip(perf, auc)]}))
    if base.get("auc") is not None:
        fig.add_hline(y=base["auc"], line={"dash": "dash", "color": "#555"}, annotation_text="development AUC")
    fig.update_layout(title="AUC per period", xaxis_title="Period", yaxis_title="AUC", xaxis_type="category")
    return fig


def _summary(r: dict) -> str:
    rows = [f"<tr>{_text('score (stability index)')}<td>{_fixed(r['score']['psi'])}</td>"
            f"{_verdict(r['score']['verdict'])}</tr>"]
    for name, p in r["predictors"].items():
        rows.append(f"<tr>{_text(f'{name} (stability index)')}<td>{_fixed(p['psi'])}</td>{_verdict(p['verdict'])}</tr>")
    if "performance" in r:
        p = r["performance"]
        rows.append(f"<tr>{_text('AUC below development (p-value)')}<td>{_p(p['auc_decline_p'])}</td>"
                    f"{_verdict(p.get('verdict'))}</tr>")
        c = r["calibration"]
        worst = min((b["jeffreys_p"] for b in c["bands"] if b["jeffreys_p"] is not None), default=None)
        rows.append(f"<tr>{_text('bad rate above expected, worst band (Jeffreys p-value)')}<td>{_p(worst)}</td>"
                    f"{_verdict(c.get('verdict'))}</tr>")
    return _table("verdicts", ["Statistic", "Value", "Verdict"], rows)


def _predictors(r: dict) -> str:
    rows = []
    for name, p in r["predictors"].items():
        shares = "".join(f"<td>{_pct(p[k]['share'])} ({_pct(p[k]['baseline_share'])})</td>"
                         for k in ("unseen", "unreadable", "missing"))
        shift = "" if p["points_shift"] is None else f"{p['points_shift']:+.2f}"
        rows.append(f"<tr>{_text(name)}<td>{_fixed(p['psi'])}</td>{_verdict(p['verdict'])}<td>{shift}</td>"
                    f"{shares}</tr>")
    head = ["Predictor", "PSI", "Verdict", "Points gained on average", "Unseen (baseline)", "Unreadable (baseline)",
            "Missing (baseline)"]
    return _table("predictors", head, rows)


def _bins(r: dict) -> str:
    rows = []
    for name, p in r["predictors"].items():
        for i, b in enumerate(p["bins"]):
            first = ' class="first"' if i == 0 else ""
            rows.append(f"<tr{first}>{_text(name if i == 0 else '')}{_text(b['bin'])}<td>{_num(b['points'])}</td>"
                        f"<td>{_pct(b['baseline_share'])}</td><td>{_pct(b['share'])}</td></tr>")
    return _table("bins", ["Predictor", "Bin", "Points", "Baseline share", "Monitored share"], rows)


def _performance(r: dict) -> str:
    p, b = r["performance"], r["baseline"]
    if p.get("empty"):
        return "<p>No applicant of this table has a known outcome yet.</p>"
    rows = [f"<tr>{_text(k.upper() if k != 'gini' else 'Gini')}<td>{_fixed(p[k])} {_ci(p[k + '_ci'], '{:.4f}')}</td>"
            f"<td>{_fixed(b[k])} {_ci(b[k + '_ci'], '{:.4f}')}</td></tr>" for k in ("auc", "gini", "ks")
            if p[k] is not None]
    unknown = f", {p['outcome_unknown']} not known yet" if p["outcome_unknown"] else ""
    known = f"{p['applicants']} applicants with a known outcome, {p['bads']} bad{unknown}."
    test = ""
    if p["auc_decline_p"] is not None:
        z = "" if p["auc_decline_z"] is None else f"z = {p['auc_decline_z']:.2f}, "
        test = (f" One-sided test that the AUC fell below its development value (DeLong standard errors "
                f"of both samples): {z}p = {_p(p['auc_decline_p'])}.")
    note = f" {p['note']}." if p.get("note") else ""
    return (f"<p>{html.escape(known + test + note)}</p>"
            + _table("performance", ["Figure", "Monitored (95% CI)", "Development (95% CI)"], rows))


def _calibration(r: dict) -> str:
    c = r["calibration"]
    if c.get("empty"):
        return "<p>No applicant of this table has a known outcome yet.</p>"
    rows = []
    for b in c["bands"]:
        if b["applicants"] == 0:
            continue
        rows.append(f"<tr>{_text(_band_name(b))}<td>{b['applicants']}</td><td>{b['bads']}</td>"
                    f"<td>{_pct(b['bad_rate'])} {_ci(b['bad_rate_ci'], '{:.1%}')}</td>"
                    f"<td>{_pct(b['expected_bad_rate'])}</td><td>{_p(b['jeffreys_p'])}</td>"
                    f"<td>{_p(b['binomial_p'])}</td>"
                    f"{_verdict(b.get('verdict'))}<td>{_pct(b['baseline_bad_rate'])}</td>"
                    f"<td>{_p(b['jeffreys_p_vs_baseline'])}</td></tr>")
    head = ["Score band", "Applicants", "Bads", "Bad rate (95% CI)", "Expected", "Jeffreys p", "Binomial p",
            "Verdict", "At development", "Jeffreys p against development"]
    hl, hl0 = c["hosmer_lemeshow"], c["hosmer_lemeshow_vs_baseline"]

    def said(t):
        if t["p_value"] is None:
            return "not computed (too few bands)"
        return f"chi-square {t['statistic']:.2f} on {t['df']} degrees of freedom, p = {_p(t['p_value'])}"

    text = (f"Expected bad rates come from the card's scaling (the odds it promises at each score); the verdict "
            f"per band is the Jeffreys test against them. Hosmer-Lemeshow over the bands: {said(hl)}; against the "
            f"bad rates at development: {said(hl0)}.")
    return (_figure(_calibration_chart(c), "calibration") + f"<p>{html.escape(text)}</p>"
            + _table("calibration-bands", head, rows))


def _periods(r: dict) -> str:
    periods = r["periods"]
    if not periods:
        return ""
    rows = []
    for label, p in periods.items():
        if p.get("empty"):
            rows.append(f"<tr>{_text(label)}<td>0</td><td colspan=5>no applicants</td></tr>")
            continue
        perf = p.get("performance", {})
        cells = [f"<td>{p['applicants']}</td>", f"<td>{_fixed(p['score']['psi'])}</td>",
                 _verdict(p["score"]["verdict"]),
                 f"<td>{_fixed(perf.get('auc'))} {_ci(perf.get('auc_ci', [None, None]), '{:.3f}')}</td>",
                 _verdict(perf.get("verdict")) if perf else "<td></td>"]
        rows.append(f"<tr>{_text(label)}{''.join(cells)}</tr>")
    charts = _figure(_psi_chart(periods, r["thresholds"]["psi"]), "psi-periods")
    if "performance" in r:
        charts += _figure(_auc_chart(periods, r["baseline"]), "auc-periods")
    head = ["Period", "Applicants", "Score PSI", "Verdict", "AUC (95% CI)", "AUC verdict"]
    return f"<h2>By period</h2>{charts}{_table('periods', head, rows)}"


def write(path, result: dict, card) -> None:
    """The page for one run of monitoring (`result`: monitor.json's data)."""
    from plotly.offline import get_plotlyjs

    r = result
    s = card.scaling
    lo, hi = r["thresholds"]["psi"]
    p_amber, p_red = r["thresholds"]["p"]
    intro = (f"{r['applicants']} applicants{f' of {r['data']}' if r.get('data') else ''}, compared with the "
             f"card's development data ({r['baseline']['population']} part for the population, "
             f"{r['baseline']['outcomes']} part for the outcomes). Scaling: {_num(s['target_score'])} points at "
             f"good:bad odds {_num(s['target_odds'])}:1, {_num(s['pdo'])} points to double them. Stability indexes "
             f"are green below {lo:g}, amber below {hi:g}, red above; tests are amber below p = {p_amber:g}, red "
             f"below p = {p_red:g}.")
    outcome = "" if "performance" not in r else (
        f"<h2>Performance</h2>{_performance(r)}<h2>Calibration</h2>{_calibration(r)}")
    score = r["score"]
    spread = (f"Mean score {_num(score['mean'])} (development {_num(score['baseline_mean'])}); concentration "
              f"across bands (Herfindahl) {_fixed(score['herfindahl'], 3)} (development "
              f"{_fixed(score['baseline_herfindahl'], 3)}; {1 / len(score['bands']):.3f} would be even).")
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Monitoring report</title>
<style>{STYLE}{EXTRA_STYLE}</style>
<script type="text/javascript">{get_plotlyjs()}</script>
</head><body>
<h1>Monitoring report</h1>
<p>{html.escape(intro)}</p>
<p class="sentence">Worst verdict: <span class="verdict">{html.escape(r['verdict'])}</span>.</p>
{_summary(r)}
<h2>Score distribution</h2>
{_figure(_bands_chart(score), "score-bands")}
<p>{html.escape(spread)}</p>
<h2>Predictors</h2>
<p>Points gained on average: the characteristic analysis, the sum over bins of the change in share times the bin's
points. Unseen values earn the neutral points.</p>
{_predictors(r)}
<h3>Shares per bin</h3>
{_bins(r)}
{outcome}
{_periods(r)}
{_data_block(r)}
</body></html>
"""
    _replace(path, page)
