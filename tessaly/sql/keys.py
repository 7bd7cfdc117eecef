"""The card's category keys in SQL terms: the doubles and the texts whose key each one is."""

from __future__ import annotations

import math
import re

from .._tables import NUMBER
from .._values import _ISO_TIME, _MIDNIGHT
from .dialects import WHITESPACE

_NUMBER_RE = re.compile(NUMBER)
_ISO_TIME_RE = re.compile(_ISO_TIME)
_MIDNIGHT_RE = re.compile(_MIDNIGHT)


def _decimal_number(text: str) -> float | None:
    """The finite number a text reads as, or None."""
    t = text.strip(WHITESPACE)
    if not _NUMBER_RE.fullmatch(t):
        return None
    x = float(t)
    return x if math.isfinite(x) else None


def _number_key(x: float) -> str:
    """The category key of a finite number: whole numbers below 2**63 as integers, others as repr."""
    return str(int(x)) if x.is_integer() and abs(x) < 2.0**63 else repr(x)


def _text_key(text: str) -> str:
    """The key of text that is no number: ISO date-times lose the T, midnight loses its time."""
    return _MIDNIGHT_RE.sub(r"\1", _ISO_TIME_RE.sub(r"\1 \2", text))


def matching(keys: list[str]) -> tuple[list[float], list[str]]:
    """The doubles whose key is one of ``keys``, and the texts whose key is."""
    numbers, texts = [], []
    for k in keys:
        x = _decimal_number(k)
        if x is not None and _number_key(x) == k:
            numbers.append(x)
        # Date-times whose key this is; text that is a number never gets here, so extra entries cannot match.
        body, tail = (k[:-1], "\n") if k.endswith("\n") else (k, "")
        candidates = [k, f"{body} 00:00:00{tail}", f"{body}T00:00:00{tail}", body.replace(" ", "T", 1) + tail]
        texts += [t for t in dict.fromkeys(candidates) if _text_key(t) == k]
    return numbers, texts
