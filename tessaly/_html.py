"""The pieces the validation report and the monitoring page share: the style, figures written as plain dicts,
numbers and intervals as text, data shown as text never as markup, and the page replaced in one step."""

from __future__ import annotations

import functools
import html
import json
import math
from pathlib import Path

import numpy as np

from ._files import atomic_path
from ._json import jsonable as _jsonable

STYLE = """
body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 1100px; color: #222; }
h1 { margin-bottom: 0.2em; } h2 { margin-top: 2em; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; font-size: 0.9em; }
th, td { border: 1px solid #ddd; padding: 3px 8px; text-align: right; }
th { background: #f3f3f3; } td.text { text-align: left; }
tr.first td { border-top: 2px solid #888; }
tr.card td { font-weight: bold; }
.metrics td { font-size: 1.2em; font-weight: bold; } .metrics td.ci { font-size: 0.8em; font-weight: normal; }
.sentence { font-size: 1.1em; }
.chart { margin: 1em 0; }
"""


def plain_text(value):
    """A copy of a figure (or part of one) whose strings plotly shows as they are.

    plotly reads a subset of HTML in labels, titles and hover text, so a category named `<a href=...>` would
    become a link. Escaped, it is shown literally: plotly decodes the entities only after it has parsed the
    tags. Keys ending in "template" hold markup written by code (hovertemplate), not data, and stay.
    """
    if isinstance(value, dict):
        return {k: v if str(k).endswith("template") else plain_text(v) for k, v in value.items()}
    if isinstance(value, str):
        return html.escape(value, quote=False)
    if isinstance(value, (list, tuple)):
        return [plain_text(v) for v in value]
    if isinstance(value, np.ndarray) and value.dtype.kind in "OUS":
        return np.array([plain_text(v) for v in value.ravel().tolist()], dtype=object).reshape(value.shape)
    return value


def figure_html(fig, div_id: str) -> str:
    """A plotly figure, or a plain figure dict, as a div; dicts are written as they are (plotly's checks of
    every property cost more than the rest of a report) in plotly's default look."""
    import plotly.io as pio

    if isinstance(fig, dict):
        layout = fig.get("layout") or {}
        fig = {**fig, "layout": layout if "template" in layout else {**layout, "template": _default_template()}}
    body = pio.to_html(fig, include_plotlyjs=False, full_html=False, div_id=div_id, validate=False)
    return f'<div class="chart">{body}</div>'


@functools.cache
def _default_template() -> dict:
    import plotly.io as pio

    return pio.templates[pio.templates.default].to_plotly_json()


def num_text(x, digits: int = 2) -> str:
    if x is None or (isinstance(x, float) and not math.isfinite(x)):
        return ""
    return str(int(round(x))) if abs(x - round(x)) < 1e-9 else f"{x:.{digits}f}"


def ci_text(pair, fmt: str = "{:.3f}") -> str:
    lo, hi = pair
    if lo is None or hi is None:
        return ""
    return f"({fmt.format(lo)} to {fmt.format(hi)})"


def html_table(table_id: str | None, head: list[str], rows: list[str], cls: str = "") -> str:
    ident = f' id="{table_id}"' if table_id else ""
    klass = f' class="{cls}"' if cls else ""
    header = "".join(f"<th>{h}</th>" for h in head)
    return f"<table{ident}{klass}><thead><tr>{header}</tr></thead><tbody>{''.join(rows)}</tbody></table>"


def escaped(value) -> str:
    return f'<td class="text">{html.escape(str(value))}</td>'


def data_block(data: dict) -> str:
    # Inside <script>, "</script>" in a name would end the block: JSON lets < > & be written as escapes.
    text = json.dumps(_jsonable(data), allow_nan=False, ensure_ascii=False)
    text = text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
    return f'<script type="application/json" id="report-data">{text}</script>'


def replace_page(path, text: str) -> None:
    """Write `text` to `path` whole or not at all: a reader sees the old file or the new one, never part."""
    with atomic_path(Path(path)) as tmp:
        tmp.write_text(text, encoding="utf-8")
