"""The document's figures as PNG images drawn by matplotlib's Agg renderer: no window, no browser."""

from __future__ import annotations

import io

import numpy as np
import pandas as pd

WIDTH, DPI = 6.5, 110


def _png(fig) -> bytes:
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=DPI, bbox_inches="tight")
    return buf.getvalue()


def _figure(height: float):
    from matplotlib.figure import Figure

    fig = Figure(figsize=(WIDTH, height))
    return fig, fig.add_subplot()


def score_distribution(scores: pd.Series, bad: pd.Series) -> bytes:
    """The test applicants' scores, goods and bads apart, each as a share of its own."""
    fig, ax = _figure(3.0)
    s, y = np.asarray(scores, dtype=float), np.asarray(bad).astype(int)
    edges = np.histogram_bin_edges(s, bins=30)
    for flag, name, colour in ((0, "good", "#4c72b0"), (1, "bad", "#dd8452")):
        part = s[y == flag]
        if len(part):
            ax.hist(part, bins=edges, weights=np.full(len(part), 100 / len(part)), alpha=0.6, label=name, color=colour)
    ax.set_xlabel("Total score")
    ax.set_ylabel("% of group")
    ax.legend()
    return _png(fig)


def gains(rows: list[dict]) -> bytes:
    """The share of bads found against the share of applicants taken, worst scores first."""
    fig, ax = _figure(3.0)
    x = [0.0, *(r["cum_applicant_share"] for r in rows)]
    y = [0.0, *(r["cum_bad_share"] for r in rows)]
    ax.plot(x, y, marker="o", label="card")
    ax.plot([0, 1], [0, 1], linestyle="--", color="grey", label="random")
    ax.set_xlabel("Share of applicants, lowest scores first")
    ax.set_ylabel("Share of bads")
    ax.legend()
    return _png(fig)


def woe(predictor: str, rows: pd.DataFrame) -> bytes:
    """A predictor's bins with their WoE, in the card's order of bins."""
    fig, ax = _figure(2.4)
    labels = [str(b) if len(str(b)) <= 28 else str(b)[:27] + "…" for b in rows["bin"]]
    values = rows["woe"].to_numpy(dtype=float)
    ax.bar(range(len(values)), values, color=np.where(values >= 0, "#4c72b0", "#c44e52"))
    ax.set_xticks(range(len(values)), labels, rotation=30, ha="right", fontsize=7)
    ax.axhline(0, color="black", linewidth=0.6)
    ax.set_ylabel("WoE")
    ax.set_title(predictor, fontsize=9)
    return _png(fig)
