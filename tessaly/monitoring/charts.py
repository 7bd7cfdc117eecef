"""The charts of monitor.html as plain plotly figure dicts: trends per period with their thresholds, and the
whole window's score bands and calibration."""

from __future__ import annotations

from .._html import num_text

AMBER_LINE, RED_LINE, GREY = "#e0a000", "#c0392b", "#555"


def band_name(row) -> str:
    lo, hi = row["from"], row["to"]
    if lo is None and hi is None:
        return "all scores"
    if lo is None:
        return f"below {num_text(hi)}"
    if hi is None:
        return f"{num_text(lo)} and above"
    return f"{num_text(lo)} to below {num_text(hi)}"


def _line(y, colour, text, dash="dash") -> dict:
    """A horizontal line across the plot, labelled at its right end."""
    return {
        "shape": {
            "type": "line",
            "xref": "paper",
            "x0": 0,
            "x1": 1,
            "y0": y,
            "y1": y,
            "line": {"dash": dash, "color": colour},
        },
        "note": {
            "xref": "paper",
            "x": 1,
            "y": y,
            "text": text,
            "showarrow": False,
            "xanchor": "right",
            "yanchor": "bottom",
            "font": {"color": colour},
        },
    }


def _figure(traces, title, y_title, lines=(), y_format=None, **layout) -> dict:
    axis = {"title": {"text": y_title}, **({"tickformat": y_format} if y_format else {})}
    return {
        "data": traces,
        "layout": {
            "title": {"text": title},
            "xaxis": {"title": {"text": "Period"}, "type": "category"},
            "yaxis": axis,
            "shapes": [x["shape"] for x in lines],
            "annotations": [x["note"] for x in lines],
            **layout,
        },
    }


def psi_trend(periods: dict, thresholds: list) -> dict:
    """Every predictor's stability index per period beside the score's, with the amber and red lines."""
    labels = list(periods)
    traces = [
        {
            "type": "scatter",
            "x": labels,
            "y": [periods[k]["score"].get("psi") for k in labels],
            "mode": "lines+markers",
            "name": "score",
            "line": {"width": 4, "color": "#222"},
        }
    ]
    names = next((list(p["predictors"]) for p in periods.values()), [])
    for name in names:
        traces.append(
            {
                "type": "scatter",
                "x": labels,
                "y": [periods[k]["predictors"][name].get("psi") for k in labels],
                "mode": "lines+markers",
                "name": name,
                "line": {"width": 1.5},
                "marker": {"size": 5},
            }
        )
    lines = [
        _line(thresholds[0], AMBER_LINE, f"amber {thresholds[0]:g}"),
        _line(thresholds[1], RED_LINE, f"red {thresholds[1]:g}"),
    ]
    return _figure(traces, "Stability index per period: the score (bold) and every predictor", "PSI", lines)


def share_trend(periods: dict, kind: str) -> dict:
    """Each predictor's share of unseen (or missing) values per period, dotted at its development share."""
    labels = list(periods)
    names = next((list(p["predictors"]) for p in periods.values()), [])
    traces = []
    for name in names:
        shares = [periods[k]["predictors"][name][kind].get("share") for k in labels]
        base = next(
            (
                periods[k]["predictors"][name][kind].get("baseline_share")
                for k in labels
                if periods[k]["predictors"][name][kind].get("baseline_share") is not None
            ),
            None,
        )
        if not any(shares) and not base:
            continue  # a predictor without any: a flat line at 0 says nothing
        traces.append({"type": "scatter", "x": labels, "y": shares, "mode": "lines+markers", "name": name})
        traces.append(
            {
                "type": "scatter",
                "x": labels,
                "y": [base] * len(labels),
                "mode": "lines",
                "name": "",
                "showlegend": False,
                "line": {"dash": "dot", "width": 1},
                "hoverinfo": "skip",
            }
        )
    title = {"unseen": "Share of values the card never saw", "missing": "Share of missing values"}[kind]
    return _figure(traces, f"{title} per period (dotted: at development)", "Share", y_format=".1%")


def auc_trend(periods: dict, base: dict) -> dict:
    """AUC per period with its 95% DeLong interval, beside the development AUC and its interval."""
    labels = [k for k, p in periods.items() if p.get("performance", {}).get("auc") is not None]
    perf = [periods[k]["performance"] for k in labels]
    auc = [p["auc"] for p in perf]
    traces = [
        {
            "type": "scatter",
            "x": labels,
            "y": auc,
            "mode": "lines+markers",
            "name": "AUC (95% interval)",
            "error_y": {
                "type": "data",
                "symmetric": False,
                "array": [(p["auc_ci"][1] or a) - a for p, a in zip(perf, auc)],
                "arrayminus": [a - (p["auc_ci"][0] or a) for p, a in zip(perf, auc)],
            },
        }
    ]
    lines = []
    if base.get("auc") is not None:
        lines.append(_line(base["auc"], GREY, f"development {base['auc']:.3f}"))
        lo, hi = base.get("auc_ci") or (None, None)
        if lo is not None:
            lines += [_line(lo, GREY, "", dash="dot"), _line(hi, GREY, "development 95% interval", dash="dot")]
    return _figure(traces, "AUC per period against development", "AUC", lines)


def bad_ratio_trend(periods: dict) -> dict:
    """Bads observed over those the development bad rates of the same score bands expect, per period."""
    labels = [k for k, p in periods.items() if p.get("calibration", {}).get("bad_ratio") is not None]
    traces = [
        {
            "type": "scatter",
            "x": labels,
            "y": [periods[k]["calibration"]["bad_ratio"] for k in labels],
            "mode": "lines+markers",
            "name": "observed / expected bads",
        }
    ]
    return _figure(
        traces,
        "Bads observed over those expected from development's bad rate per score band",
        "Ratio",
        [_line(1.0, GREY, "as at development")],
    )


def bands(score: dict) -> dict:
    names = [band_name(b) for b in score["bands"]]
    return {
        "data": [
            {"type": "bar", "x": names, "y": [b["baseline_share"] for b in score["bands"]], "name": "baseline"},
            {"type": "bar", "x": names, "y": [b["share"] for b in score["bands"]], "name": "monitored"},
        ],
        "layout": {
            "barmode": "group",
            "title": {"text": "Score distribution against the baseline"},
            "xaxis": {"title": {"text": "Score band"}},
            "yaxis": {"title": {"text": "Share of applicants"}, "tickformat": ".0%"},
        },
    }


def calibration(cal: dict) -> dict:
    rows = [b for b in cal["bands"] if b["applicants"] > 0]
    names = [band_name(b) for b in rows]
    rate = [b["bad_rate"] for b in rows]
    return {
        "data": [
            {
                "type": "scatter",
                "x": names,
                "y": rate,
                "mode": "markers",
                "name": "observed (95% Jeffreys interval)",
                "marker": {"size": 9},
                "error_y": {
                    "type": "data",
                    "symmetric": False,
                    "array": [b["bad_rate_ci"][1] - r for b, r in zip(rows, rate)],
                    "arrayminus": [r - b["bad_rate_ci"][0] for b, r in zip(rows, rate)],
                },
            },
            {
                "type": "scatter",
                "x": names,
                "y": [b["baseline_bad_rate"] for b in rows],
                "mode": "lines+markers",
                "name": "at development",
            },
            {
                "type": "scatter",
                "x": names,
                "y": [b["expected_bad_rate"] for b in rows],
                "mode": "lines",
                "line": {"dash": "dot"},
                "name": "promised by the card's scaling",
            },
        ],
        "layout": {
            "title": {"text": "Bad rate per score band"},
            "xaxis": {"title": {"text": "Score band"}},
            "yaxis": {"title": {"text": "Bad rate"}, "tickformat": ".1%"},
        },
    }
