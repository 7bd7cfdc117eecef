"""The document as one HTML page that works offline: the same sections, tables and figures as the Word file."""

from __future__ import annotations

import base64
import datetime
import html

from .._html import STYLE
from .content import Figure, Section, Table


def _table(t: Table) -> str:
    head = "".join(f"<th>{html.escape(h)}</th>" for h in t.head)
    rows = "".join(
        "<tr>" + "".join(f'<td class="text">{html.escape(str(c))}</td>' for c in r) + "</tr>" for r in t.rows
    )
    caption = f"<caption>{html.escape(t.caption)}</caption>" if t.caption else ""
    return f"<table>{caption}<thead><tr>{head}</tr></thead><tbody>{rows}</tbody></table>"


def _block(block) -> str:
    if isinstance(block, Table):
        return _table(block)
    if isinstance(block, Figure):
        data = base64.b64encode(block.png).decode("ascii")
        alt = html.escape(block.caption)
        return f'<figure><img src="data:image/png;base64,{data}" alt="{alt}"><figcaption>{alt}</figcaption></figure>'
    if isinstance(block, tuple):
        return f"<h3>{html.escape(block[1])}</h3>"
    return f"<p>{html.escape(block)}</p>" if block else ""


def _section(s: Section) -> str:
    ident = s.title.lower().replace(" ", "-")
    return (
        f'<section id="{html.escape(ident)}"><h2>{html.escape(s.title)}</h2>{"".join(map(_block, s.blocks))}</section>'
    )


def write(sections: list[Section], path, *, title: str) -> None:
    written = f"Written by tessaly on {datetime.date.today().isoformat()} from the card directory."
    page = (
        f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>'
        f"<style>{STYLE} figure {{ margin: 1em 0; }} img {{ max-width: 100%; }}</style></head><body>"
        f"<h1>{html.escape(title)}</h1><p>{written}</p>{''.join(map(_section, sections))}</body></html>\n"
    )
    path.write_text(page, encoding="utf-8")
