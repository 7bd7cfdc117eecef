"""The fine classes a card's bins are grouped from: per predictor, the finest groups of values the build saw, with
their goods and bads on the training and test parts. Regrouping them needs no applicants, so a card can be
re-binned by hand long after its development table is gone.

Numerical fine classes are the distinct values where there are few, equal shares of the training applicants where
there are many, and always cut at the card's own splits; categorical ones are the categories. Missing values and
special codes are classes of their own, as they are bins of their own.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from ._binning import hand_bins
from ._errors import InputError
from ._files import atomic_path
from ._pure_bins import _between
from ._values import distinct, read_values, value_keys

FINE_FILE = "fine_classes.json"
FORMAT = "tessaly-fine-classes"
VERSION = 1
FINE_CLASSES = 50  # per numerical predictor with many values: about 2% of the applicants each
DISTINCT = 100  # up to this many distinct values, each is a class of its own


def numeric_edges(values: np.ndarray, w: np.ndarray, splits) -> list[float]:
    """Cut points of the fine classes of regular values: between distinct values, at equal weighted shares."""
    v, inverse = np.unique(values, return_inverse=True)
    if len(v) <= DISTINCT:
        at = np.arange(1, len(v))
    else:
        cum = np.cumsum(np.bincount(inverse, weights=w, minlength=len(v)))
        at = np.searchsorted(cum, cum[-1] * np.arange(1, FINE_CLASSES) / FINE_CLASSES, side="right")
        at = np.unique(at[(at > 0) & (at < len(v))])
    edges = {_between(float(v[i - 1]), float(v[i])) for i in at}
    return sorted(edges | {float(s) for s in splits})


def _read_numbers(values, codes: list):
    """(values read as the card reads them, regular, special, missing) masks of one numerical column."""
    x, unreadable = read_values(pd.Series(values).reset_index(drop=True), True)
    missing = pd.isna(x) & ~unreadable
    special = np.isin(x, codes) & ~missing
    return x, ~missing & ~special & ~unreadable, special, missing


def _category_keys(values, codes: list):
    """Codes into the distinct values (-1 where missing) and, per distinct value, its key and whether it is a
    special code or missing: keys are read once per distinct value, not once per applicant."""
    at, uniques = distinct(values)
    keys = value_keys(uniques)
    missing = pd.isna(keys)
    special = (np.isin(keys.astype(str), codes) if codes else np.zeros(len(keys), dtype=bool)) & ~missing
    return at, keys, special, missing


def _pair(y: np.ndarray, w: np.ndarray, mask: np.ndarray) -> list[float]:
    return [float(w[mask & (y == 0)].sum()), float(w[mask & (y == 1)].sum())]


def _cell_counts(index: np.ndarray, k: int, y: np.ndarray, w: np.ndarray) -> np.ndarray:
    """k x 2 goods and bads per class; index -1 counts nowhere."""
    inside = index >= 0
    bad = np.bincount(index[inside], weights=(w * y)[inside], minlength=k)
    return np.column_stack([np.bincount(index[inside], weights=w[inside], minlength=k) - bad, bad])


def _ranges(x: np.ndarray, index: np.ndarray, k: int) -> list:
    """Each numerical class's smallest and largest value, for the page and for re-binning without the data."""
    inside = index >= 0
    lo, hi = np.full(k, np.inf), np.full(k, -np.inf)
    np.minimum.at(lo, index[inside], x[inside])
    np.maximum.at(hi, index[inside], x[inside])
    # + 0.0: a class's -0.0 is written as 0.0
    return [[None, None] if a > b else [float(a) + 0.0, float(b) + 0.0] for a, b in zip(lo, hi)]


def predictor_classes(name: str, dtype: str, special_codes: list, splits, parts: dict, edges=None) -> dict:
    """One predictor's fine classes. `parts`: {"train": (values, y, w), "test": (values, y, w)}; the classes are
    the training part's, and test values outside them are counted as unseen. `edges`: a numerical predictor's
    fine classes as the build already cut them (an engine's), instead of cutting them here."""
    codes = list(special_codes)
    entry: dict[str, Any] = {"name": name, "type": dtype, "special_codes": codes}
    for part, (values, y, w) in parts.items():
        y = np.asarray(y).astype(np.int64)
        w = np.ones(len(y)) if w is None else np.asarray(w, dtype=float)
        if dtype == "numerical":
            x, regular, special, missing = _read_numbers(values, codes)
            if part == "train":
                entry["edges"] = (
                    numeric_edges(x[regular].astype(float), w[regular], splits)
                    if edges is None
                    else sorted({float(v) for v in edges} | {float(v) for v in splits})
                )
            k = len(entry["edges"]) + 1
            index = np.where(regular, np.searchsorted(entry["edges"], np.where(regular, x, 0.0), side="right"), -1)
        else:
            at, keys, special_u, missing_u = _category_keys(values, codes)
            regular_u = ~special_u & ~missing_u
            if part == "train":
                entry["categories"] = sorted({str(k) for k in keys[regular_u]} | {k for g in (splits or []) for k in g})
            k = len(entry["categories"])
            index_u = np.where(regular_u, pd.Index(entry["categories"]).get_indexer(keys.astype(str)), -1)
            index = np.append(index_u, -1)[at]
            special, missing = np.append(special_u, False)[at], np.append(missing_u, True)[at]
            regular = ~special & ~missing
        counts = _cell_counts(index, k, y, w)
        entry[part] = {
            "classes": counts.tolist(),
            "special": _pair(y, w, special),
            "missing": _pair(y, w, missing),
            "unseen": _pair(y, w, regular & (index < 0)),
        }
        if dtype == "numerical" and part == "train":
            entry["range"] = _ranges(x, index, k)
    return entry


def fine_classes(
    sc,
    train: pd.DataFrame,
    test: pd.DataFrame,
    y_train,
    y_test,
    w_train=None,
    w_test=None,
    *,
    test_size: float,
    weight: str | None,
    ids=(),
) -> dict:
    """The fine classes of every predictor a fitted Scorecard could bin, with the optimal splits and what the card
    did with each (kept, left out and why)."""

    def parts(name):
        return {"train": (train[name], y_train, w_train), "test": (test[name], y_test, w_test)}

    rows = {"train": len(train), "test": len(test)}
    return classes_of(sc, parts, rows, test_size=test_size, weight=weight, ids=ids)


def classes_of(sc, parts, rows: dict, *, test_size: float, weight: str | None, ids=(), edges=None) -> dict:
    """`fine_classes` from each predictor's values: `parts(name)` gives {"train"|"test": (values, y, w)} (an
    engine gives one row per fine class, its count as the weight); `edges`: {name: fine class edges} where the
    build cut them."""
    card = {p.name: p for p in sc.card_.predictors}
    optimal = getattr(sc, "optimal_", {})
    predictors = []
    edits = hand_bins(sc.bins)[2]
    candidates = list(getattr(sc, "candidates_", sc.binnings_))
    candidates += [b for name, b in optimal.items() if name not in {c.name for c in candidates}]
    for b in candidates:
        entry = predictor_classes(
            b.name, b.dtype, b.special_codes, b.splits, parts(b.name), edges=(edges or {}).get(b.name)
        )
        entry["splits"] = b.splits
        entry["optimal"] = optimal[b.name].splits if b.name in optimal else b.splits
        entry["binning"] = b.binning
        entry["edits"] = edits.get(b.name, [])
        entry["left_out"] = None if b.name in card else sc.dropped_.get(b.name, "left out")
        predictors.append(entry)
    penalty = getattr(getattr(sc, "model_", None), "C_", None)

    return {
        "format": FORMAT,
        "version": VERSION,
        "target": sc.target_,
        "seed": int(sc.seed),
        "test_size": float(test_size),
        "weight": weight,
        "ids": list(ids),
        "penalty": penalty,
        "model": sc.family_,
        "rows": dict(rows),
        "unbinned": {k: v for k, v in sc.dropped_.items() if k not in {p["name"] for p in predictors}},
        "predictors": predictors,
    }


def save(directory, body: dict) -> Path:
    path = Path(directory) / FINE_FILE
    with atomic_path(path) as tmp:
        tmp.write_text(json.dumps(body, allow_nan=False, ensure_ascii=False) + "\n", encoding="utf-8")
    return path


def load(directory) -> dict | None:
    """The card directory's fine classes, None where the card was built without them."""
    path = Path(directory) / FINE_FILE
    if not path.is_file():
        return None
    try:
        body = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as e:
        raise InputError(f"{path} is not readable ({e}): rebuild the card") from None
    if not isinstance(body, dict) or body.get("format") != FORMAT or body.get("version") != VERSION:
        raise InputError(f"{path} is not a fine-classes file this tessaly reads: rebuild the card")
    return body
