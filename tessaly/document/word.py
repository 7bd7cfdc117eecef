"""The document as a Word file a validator can edit and sign: headings, real tables and embedded figures."""

from __future__ import annotations

import datetime
import io

from .content import Figure, Section, Table


def _table(doc, t: Table) -> None:
    table = doc.add_table(rows=1, cols=len(t.head))
    table.style = "Table Grid"
    for cell, text in zip(table.rows[0].cells, t.head):
        cell.text = text
        for run in cell.paragraphs[0].runs:
            run.bold = True
    for row in t.rows:
        for cell, text in zip(table.add_row().cells, row):
            cell.text = str(text)
    if t.caption:
        doc.add_paragraph(t.caption, style="Caption")


def write(sections: list[Section], path, *, title: str) -> None:
    from docx import Document
    from docx.shared import Inches

    doc = Document()
    doc.core_properties.title = title
    doc.add_heading(title, level=0)
    doc.add_paragraph(f"Written by tessaly on {datetime.date.today().isoformat()} from the card directory.")
    for section in sections:
        doc.add_heading(section.title, level=1)
        for block in section.blocks:
            if isinstance(block, Table):
                _table(doc, block)
            elif isinstance(block, Figure):
                doc.add_picture(io.BytesIO(block.png), width=Inches(6))
                doc.add_paragraph(block.caption, style="Caption")
            elif isinstance(block, tuple):
                doc.add_heading(block[1], level=2)
            elif block:
                doc.add_paragraph(block)
    doc.save(str(path))
