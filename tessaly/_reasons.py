"""Reasons in words: the text an applicant reads for each reason code, kept in the card.

A team maps a predictor, or one of its bins, to a sentence; a bin without one reads as the predictor and the
bin it fell in. The mapping is checked against the card's own names and labels, so a text can never be
attached to something that does not score.
"""

from __future__ import annotations

import json

from ._errors import InputError

SHAPE = 'predictor -> text, or predictor -> {bin label: text}, e.g. {"age": "Age of the applicant"}'
# A sentence, not a document: an adverse-action notice prints a few of them.
LONGEST = 500


def default_text(predictor: str, label: str) -> str:
    return f"{predictor}: {label}"


def _text_ok(t) -> bool:
    return isinstance(t, str) and t.strip() != "" and len(t) <= LONGEST and "\x00" not in t


def check_texts(value, label: str = "reasons (--reasons)") -> None:
    """A mapping of texts, each non-empty and short, or one line saying what it should be."""
    if not isinstance(value, dict) or not all(isinstance(k, str) for k in value):
        raise InputError(f"{label} must be a JSON object of texts: {SHAPE}")
    for name, entry in value.items():
        entries = entry.values() if isinstance(entry, dict) else [entry]
        if isinstance(entry, dict) and not all(isinstance(k, str) for k in entry):
            raise InputError(f"{label}: the bins of {name[:80]!r} must be named by their labels")
        if not entries or not all(_text_ok(t) for t in entries):
            raise InputError(
                f"{label}: the text of {name[:80]!r} must be non-empty text of at most {LONGEST} characters ({SHAPE})"
            )


def read_texts(path) -> dict:
    """The mapping of a --reasons file, refused in one line where it is no mapping of texts."""
    try:
        with open(path, encoding="utf-8") as f:
            texts = json.load(f)
    except OSError as e:
        raise InputError(f"cannot read the reasons file '{path}': {e.strerror}") from None
    except (ValueError, RecursionError) as e:
        raise InputError(f"the reasons file '{path}' is not valid JSON ({str(e).splitlines()[0]}): fix it") from None
    check_texts(texts, f"the reasons file '{path}'")
    return texts


def resolve(card, texts: dict | None, *, known=()) -> dict:
    """The texts as the card keeps them: predictor -> {bin label: text}, for its own predictors and labels.

    `known`: other names that are predictors of the table but not of the card (left out in the build); their
    texts are dropped, as they can name no reason.
    """
    if not texts:
        return {}
    check_texts(texts)
    by_name = {p.name: p for p in card.characteristics}
    kept = {}
    for name, entry in texts.items():
        p = by_name.get(name)
        if p is None:
            if name in known:
                continue
            raise InputError(
                f"reasons are given for {name[:80]!r}, which is no predictor of the card: "
                f"choose from {', '.join(map(repr, card.names[:8]))}{' ...' if len(card.names) > 8 else ''}"
            )
        if isinstance(entry, str):
            kept[name] = dict.fromkeys(p.labels, entry)
            continue
        unknown = [label for label in entry if label not in p.labels]
        if unknown:
            raise InputError(
                f"reasons name the bin {unknown[0][:80]!r} of '{name}', which the card does not have: "
                f"its bins are {', '.join(map(repr, p.labels))}"
            )
        kept[name] = {label: entry[label] for label in p.labels if label in entry}
    return kept


def bin_texts(card, p) -> list[str]:
    """The text of each of `p`'s bins, in the card's order of bins."""
    given = (card.reasons or {}).get(p.name, {})
    return [given.get(label) or default_text(p.name, label) for label in p.labels]


def word_codes(per: list[list[str]]):
    """From each predictor's bin texts: the distinct texts ("" last), every bin's text code laid end to end with
    an unseen slot after each predictor's (coded ""), and where each predictor's run starts."""
    import numpy as np

    words = list(dict.fromkeys(t for texts in per for t in texts))
    index = {t: i for i, t in enumerate(words)}
    words.append("")
    codes = np.array([c for texts in per for c in [*(index[t] for t in texts), len(words) - 1]], dtype=np.intp)
    offsets = np.cumsum([0, *(len(t) + 1 for t in per[:-1])]).astype(np.intp)
    return words, codes, offsets
