"""The validation report: one HTML page that works offline."""

from __future__ import annotations

import html
import json

import pandas as pd

STYLE = """
body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 1100px; color: #222; }
h1 { margin-bottom: 0.2em; } h2 { margin-top: 2em; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; font-size: 0.9em; }
th, td { border: 1px solid #ddd; padding: 3px 8px; text-align: right; }
th { background: #f3f3f3; } td.text { text-align: left; }
tr.first td { border-top: 2px solid #888; }
.metrics td { font-size: 1.2em; font-weight: bold; }
.chart { margin: 1em 0; }
"""


def _figure_html(fig, div_id: str) -> str:
    import plotly.io as pio

    return f'<div class="chart">{pio.to_html(fig, include_plotlyjs=False, full_html=False, div_id=div_id)}</div>'


def _distribution(test_scores: pd.DataFrame, target: str):
    import plotly.graph_objects as go

    fig = go.Figure()
    for flag, name in ((0, "good"), (1, "bad")):
        fig.add_trace(
            go.Histogram(x=test_scores.loc[test_scores[target] == flag, "score"], name=name,
                         opacity=0.6, histnorm="percent", nbinsx=30)
        )
    fig.update_layout(barmode="overlay", xaxis_title="Total score", yaxis_title="% of group",
                      title="Score distribution on the test split")
    return fig


def _scorecard_table(card, scorecard: pd.DataFrame) -> str:
    head = ["Predictor", "Bin", "Share", "Event rate", "WoE", "Points", "Neutral"]
    rows = []
    for b in card.binnings:
        part = scorecard[scorecard["predictor_variables"] == b.name].set_index("Bin")
        for i, label in enumerate(b.labels):
            r = part.loc[label]
            cells = [
                f'<td class="text">{html.escape(b.name) if i == 0 else ""}</td>',
                f'<td class="text">{html.escape(str(label))}</td>',
                f"<td>{r['Distribution']:.1%}</td>",
                f"<td>{r['Event_rate']:.1%}</td>",
                f"<td>{r['WoE']:.3f}</td>",
                f"<td>{r['CreditScore']:.2f}</td>",
                f"<td>{r['Neutral_CreditScore']:.2f}</td>",
            ]
            rows.append(f'<tr{" class=first" if i == 0 else ""}>{"".join(cells)}</tr>')
    header = "".join(f"<th>{h}</th>" for h in head)
    return f'<table id="scorecard"><thead><tr>{header}</tr></thead><tbody>{"".join(rows)}</tbody></table>'


def _chart_predictor(fig_dict: dict) -> str | None:
    title = fig_dict.get("layout", {}).get("xaxis", {}).get("title", {})
    text = title.get("text") if isinstance(title, dict) else None
    prefix = "Bins - "
    return text[len(prefix):] if isinstance(text, str) and text.startswith(prefix) else None


def write(path, card, scorecard, figures, metrics, test_scores, options) -> None:
    import plotly.graph_objects as go
    from plotly.offline import get_plotlyjs

    s = card.scaling
    summary = (
        f"Model: {html.escape(card.model)}. Target: {html.escape(card.target)} "
        f"(bad = {html.escape(str(card.bad))}). Scaling: {s['target_score']} points at odds {s['target_odds']}:1, "
        f"{s['pdo']} points to double the odds. Test split: {metrics['n']} applicants, {metrics['bad']} bad."
    )
    metric_table = (
        '<table class="metrics" id="metrics"><tr><th>AUC</th><th>Gini</th><th>KS</th></tr>'
        f"<tr><td>{metrics['auc']:.4f}</td><td>{metrics['gini']:.4f}</td><td>{metrics['ks']:.4f}</td></tr></table>"
    )
    charts = []
    for i, fig_dict in enumerate(figures):
        name = _chart_predictor(fig_dict) or f"chart {i + 1}"
        charts.append(f"<h3>{html.escape(name)}</h3>" + _figure_html(go.Figure(fig_dict), f"predictor-{i}"))
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Scorecard report</title>
<style>{STYLE}</style>
<script type="text/javascript">{get_plotlyjs()}</script>
</head><body>
<h1>Scorecard report</h1>
<p>{summary}</p>
<h2>Validation on the test split</h2>
{metric_table}
{_figure_html(_distribution(test_scores, card.target), "score-distribution")}
<h2>Scorecard</h2>
<p>Points per bin; an applicant's score is the sum over predictors. Neutral is the points an average applicant gets
from the predictor; reason codes name the predictors furthest below it.</p>
{_scorecard_table(card, scorecard)}
<h2>Predictors</h2>
{"".join(charts)}
<script type="application/json" id="report-data">{json.dumps({"charts": len(figures), **metrics})}</script>
</body></html>
"""
    with open(path, "w", encoding="utf-8") as f:
        f.write(page)
