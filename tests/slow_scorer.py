"""A slow scorer written straight from the scoring rules: one applicant at a time, from the card's dict.

It shares no code with tessaly: values are read, bins found and reason codes
ordered with plain Python, so that the vectorized scorer has something
independent to be compared with (tests/test_card.py, bench/score.py).
"""

from __future__ import annotations

import bisect
import datetime as dt
import math
import numbers
import re

import numpy as np
import pandas as pd

UNSEEN = "Unseen"
REASONS = 3
BELOW = -1e-9
_DECIMAL = re.compile(r"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?")


def is_missing(v) -> bool:
    if v is None:
        return True
    try:
        return bool(pd.api.types.is_scalar(v) and pd.isna(v))
    except (TypeError, ValueError):
        return False


def _is_bool(v) -> bool:
    return isinstance(v, (bool, np.bool_))


def parse_decimal(text: str):
    """The float of a decimal number written as text (spaces around allowed), else None."""
    text = text.strip()
    if not _DECIMAL.fullmatch(text):
        return None
    return float(text)


def number(v):
    """(x, readable): a finite float, or (None, False) for a value that is no number."""
    if _is_bool(v) or isinstance(v, (dt.date, dt.timedelta, np.datetime64, np.timedelta64)):
        x = None  # booleans count as text, and "True" is no number; dates and durations are no numbers either
    elif isinstance(v, numbers.Number):
        x = float(v)
    else:
        x = parse_decimal(v if isinstance(v, str) else str(v))
    if x is None or not math.isfinite(x):
        return None, False
    return x, True


def _number_key(x: float) -> str:
    return str(int(x)) if x == math.floor(x) else repr(x)


def canonical(v) -> str:
    if _is_bool(v):
        return "True" if v else "False"
    if isinstance(v, numbers.Integral):
        return str(int(v))
    if isinstance(v, numbers.Real):
        x = float(v)
        return _number_key(x) if math.isfinite(x) else repr(x)
    if isinstance(v, dt.datetime):  # pandas Timestamps too
        if (v.hour, v.minute, v.second, v.microsecond) == (0, 0, 0, 0):
            return v.strftime("%Y-%m-%d")
        return v.strftime("%Y-%m-%d %H:%M:%S")
    if isinstance(v, dt.date):
        return v.isoformat()
    if isinstance(v, np.datetime64):
        return canonical(pd.Timestamp(v))
    text = v if isinstance(v, str) else str(v)
    x = parse_decimal(text)
    if x is not None and math.isfinite(x):
        return _number_key(x)
    # Text dates read the same as the dates a typed reader gives: no "T", no midnight time.
    m = re.fullmatch(r"(\d{4}-\d{2}-\d{2})[ T](\d{2}:\d{2}:\d{2})", text)
    if m:
        return m[1] if m[2] == "00:00:00" else f"{m[1]} {m[2]}"
    return text


def locate(predictor: dict, v):
    """(bin dict or None for Unseen, unreadable) of one value."""
    bins = predictor["bins"]
    by_kind = {b["kind"]: b for b in bins if b["kind"] != "regular"}
    regular = {b["index"]: b for b in bins if b["kind"] == "regular"}
    if is_missing(v):
        return by_kind.get("missing"), False
    if predictor["type"] == "numerical":
        x, readable = number(v)
        if not readable:
            return None, True
        if x in [float(c) for c in predictor["special_codes"]]:
            return by_kind.get("special"), False
        return regular.get(bisect.bisect_right(predictor["splits"], x)), False
    key = canonical(v)
    if key in predictor["special_codes"]:
        return by_kind.get("special"), False
    for i, group in enumerate(predictor["splits"]):
        if key in group:
            return regular.get(i), False
    return None, False


def score_row(card: dict, row: dict) -> dict:
    """One applicant's bins, points, total and reason codes, and per predictor whether it was unseen/unreadable."""
    out, flags, shortfalls, words = {}, {}, [], []
    total = 0.0
    for p in card["predictors"]:
        found, unreadable = locate(p, row[p["name"]])
        points = float(p["neutral"]) if found is None else float(found["points"])
        out[p["name"] + "_bin"] = UNSEEN if found is None else found["label"]
        out[p["name"] + "_points"] = points
        total += points
        # A reason falls short of the neutral points, or of the best bin's under the "maximum" rule.
        basis = max(float(b["points"]) for b in p["bins"]) if card.get("reason_rule") == "maximum" else p["neutral"]
        shortfalls.append(0.0 if found is None else points - float(basis))
        given = card.get("reasons", {}).get(p["name"], {})
        words.append("" if found is None else given.get(found["label"], f"{p['name']}: {found['label']}"))
        flags[p["name"]] = (found is None and not unreadable, unreadable)
    out["score"] = total
    order = sorted(range(len(shortfalls)), key=lambda j: (shortfalls[j], j))
    for k in range(REASONS):
        j = order[k] if k < len(order) else None
        given = j is not None and shortfalls[j] < BELOW
        out[f"reason_{k + 1}"] = card["predictors"][j]["name"] if given else ""
        out[f"reason_{k + 1}_text"] = words[j] if given else ""
    return {"scores": out, "flags": flags}


def score(card: dict, rows) -> tuple[list[dict], dict]:
    """Scores of each row (a list of dicts, or a DataFrame) and the unseen/unreadable counts per predictor."""
    if isinstance(rows, pd.DataFrame):
        names = [p["name"] for p in card["predictors"]]
        columns = {n: rows[n].tolist() for n in names}
        rows = [{n: columns[n][i] for n in names} for i in range(len(rows))]
    results, counts = [], {p["name"]: {"unseen": 0, "unreadable": 0} for p in card["predictors"]}
    for row in rows:
        r = score_row(card, row)
        results.append(r["scores"])
        for name, (unseen, unreadable) in r["flags"].items():
            counts[name]["unseen"] += unseen
            counts[name]["unreadable"] += unreadable
    return results, counts
