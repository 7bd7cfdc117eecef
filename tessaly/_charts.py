"""The figures of a card's characteristics, as plotly figure dicts: points per bin beside each bin's WoE for a
predictor, a small grid of points for a cross."""

from __future__ import annotations

import pandas as pd


def predictor_chart(name: str, rows: pd.DataFrame) -> dict:
    """Points per bin beside the neutral points and each bin's WoE, bins in ascending WoE (a plotly figure dict)."""
    rows = rows.sort_values("woe", kind="stable")
    bins, points = rows["bin"].tolist(), rows["points"].tolist()
    return {
        "data": [
            {
                "type": "scatter",
                "x": bins,
                "y": rows["woe"].tolist(),
                "name": "WoE",
                "mode": "lines",
                "xaxis": "x",
                "yaxis": "y2",
            },
            {
                "type": "bar",
                "x": bins,
                "y": points,
                "name": "Points",
                "text": [f"{p:g}" for p in points],
                "textposition": "outside",
                "xaxis": "x",
                "yaxis": "y",
            },
            {
                "type": "scatter",
                "x": bins,
                "y": rows["neutral"].tolist(),
                "name": "Neutral",
                "mode": "lines+markers",
                "xaxis": "x",
                "yaxis": "y",
            },
        ],
        "layout": {
            "xaxis": {"anchor": "y", "domain": [0.0, 0.94], "title": {"text": f"Bins - {name}"}},
            "yaxis": {"anchor": "x", "domain": [0.0, 1.0], "title": {"text": "Points"}},
            "yaxis2": {"anchor": "x", "overlaying": "y", "side": "right", "title": {"text": "WoE"}},
        },
    }


def charts(table: pd.DataFrame, crosses) -> list[tuple[str, dict]]:
    """One figure per predictor of the card's table, a grid per cross."""
    by_name = {c.name: c for c in crosses}
    return [
        (name, cross_chart(by_name[name]) if name in by_name else predictor_chart(name, rows))
        for name, rows in table.groupby("predictor", sort=False)
    ]


def cross_chart(cross) -> dict:
    """A cross's points as a small grid: its first predictor's bins down, its second's across (a plotly figure
    dict); a square's number is the points of the applicants in both bins."""
    from ._bins import MISSING, SPECIAL, category_label, interval_labels

    def bin_labels(side) -> list[str]:
        regular = interval_labels(side.splits) if side.dtype == "numerical" else list(map(category_label, side.splits))
        return [{MISSING: "missing", SPECIAL: "special"}.get(k) or regular[int(k)] for k in side.kinds]

    rows, columns = (bin_labels(s) for s in cross.sides)
    points = [[cross.points[c] for c in row] for row in cross.cells]
    return {
        "data": [
            {
                "type": "heatmap",
                "x": columns,
                "y": rows,
                "z": points,
                "text": [[f"{p:g}" for p in row] for row in points],
                "texttemplate": "%{text}",
                "colorscale": "RdYlGn",
                "colorbar": {"title": {"text": "Points"}},
                "hovertext": [[cross.labels[c] for c in row] for row in cross.cells],
            }
        ],
        "layout": {
            "xaxis": {"title": {"text": cross.sides[1].name}, "type": "category"},
            "yaxis": {"title": {"text": cross.sides[0].name}, "type": "category"},
            "height": 120 + 40 * len(rows),
        },
    }
