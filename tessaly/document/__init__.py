"""The model development document a validator reviews and signs, from a card directory alone, by role:

sources   the card directory's files and the team's --about file, read and checked
content   the sections as paragraphs, tables and figures, independent of the format
figures   the score distribution, the gains and each predictor's WoE as PNG images (no browser)
word      the .docx writer
page      the .html writer
"""

from __future__ import annotations

from pathlib import Path

from .._errors import InputError

FORMATS = (".docx", ".html", ".htm")
# Written into a card directory they are the build's derivatives, as scores are.
NAMES = ("model.docx", "model.html")


def write_document(card_dir, out, *, about=None) -> Path:
    """The document of the card in `card_dir`, as .docx or .html by the name of `out`, written whole."""
    from .._files import atomic_path, check_output
    from . import content, sources

    suffix = Path(str(out)).suffix.lower()
    if suffix not in FORMATS:
        raise InputError(f"--out '{out}' must end in .docx or .html: the document is a Word file or a page")
    inputs = [about] if about else []
    path = check_output(out, inputs=inputs, card_dir=sources.card_dir(card_dir), allowed_in_card=NAMES)
    found = sources.read(card_dir, about)
    sections = content.sections(found)
    if suffix == ".docx":
        from .word import write
    else:
        from .page import write
    with atomic_path(path) as tmp:
        write(sections, tmp, title=content.title(found))
    return path
