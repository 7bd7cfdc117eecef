"""The baseline a card is compared with: counted on the development data (the training part for the population,
the test part for the outcomes), it travels in card.json and is checked against the card before use."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .._bins import UNSEEN
from .._checks import check_columns, weights_of
from .._errors import InputError
from .._json import jsonable as _jsonable
from .._tables import BATCH_ROWS
from . import statistics as stats
from .counts import BAD, GOOD, UNKNOWN, Outcomes, Tally

BASELINE_FORMAT, BASELINE_VERSION = "tessaly-baseline", 1
BANDS = 10
NO_BASELINE = "give --baseline DATA, a labelled development table"


def _part(card, X, y_bad, weight=None, edges=None, bands: int = BANDS) -> tuple[dict, list]:
    """What monitoring compares against, on one labelled part of the development data."""
    X = pd.DataFrame(X)
    y = np.asarray(y_bad)
    if y.shape != (len(X),) or not np.isin(y, (0, 1)).all():
        raise InputError("baseline outcomes must be 1 (bad) or 0 (good), one per applicant")
    check_columns(X, card.columns, "the development table lacks")
    if len(X) == 0:
        raise InputError("the development table has no applicants")
    w = weights_of(weight, len(X))
    tally = Tally(card, weighted=w is not None)
    y = y.astype(np.intp)
    for start in range(0, len(X), BATCH_ROWS):
        chunk = X.iloc[start : start + BATCH_ROWS]
        tally.add(
            chunk,
            np.zeros(len(chunk), dtype=np.intp),
            [None],
            y[start : start + BATCH_ROWS],
            None if w is None else w[start : start + BATCH_ROWS],
        )
    keys, counts = tally.scores[0]
    cells = [c[0] for c in tally.cells]
    return part_from_counts(
        card, cells, tally.unreadable[0], tally.missing[0], keys, counts, edges=edges, bands=bands, dtype=tally.dtype
    )


def part_from_counts(
    card, cells, unreadable, missing, keys, counts, *, edges=None, bands: int = BANDS, dtype=np.int64
) -> tuple[dict, list]:
    """One part of the baseline from its counts, wherever they were counted: per predictor the applicants per
    bin (then Unseen) with the unreadable and missing values, and the goods and bads per distinct score."""
    n = counts.sum(axis=1)
    if edges is None:
        edges = stats.band_edges(keys, n, bands)
    band = stats.band_of(keys, edges)
    width = len(edges) + 1

    def per_band(weights):
        return np.bincount(band, weights=weights, minlength=width).astype(dtype).tolist()

    part = {
        "applicants": n.sum().item(),
        "mean_score": stats.mean_score(keys, n),
        "predictors": {
            p.name: {
                "bins": [*p.labels, UNSEEN],
                "applicants": np.asarray(cells[j]).tolist(),
                "unreadable": unreadable[j].item(),
                "missing": missing[j].item(),
            }
            for j, p in enumerate(card.characteristics)
        },
        "bands": {"applicants": per_band(n), "bads": per_band(counts[:, BAD])},
        "performance": _performance(counts[:, GOOD], counts[:, BAD]),
    }
    return part, list(edges)


def _performance(goods, bads) -> dict:
    return {"applicants": int(goods.sum() + bads.sum()), "bads": int(bads.sum()), **stats.ranking(goods, bads)}


def _band_option(bands):
    if isinstance(bands, (int, np.integer)) and not isinstance(bands, bool):
        if bands < 1:
            raise InputError(f"the number of score bands must be at least 1, not {bands}")
        return None, int(bands)
    edges = [float(e) for e in bands]
    if not all(np.isfinite(edges)) or any(a >= b for a, b in zip(edges, edges[1:])):
        raise InputError("score band edges must be ascending finite numbers")
    return edges, BANDS


def baseline(
    card, X_train, y_train_bad, X_test=None, y_test_bad=None, *, sample_weight=None, test_weight=None, bands=BANDS
) -> dict:
    """What monitoring compares a card against, as plain JSON data: on the training and the test part, each
    predictor's applicants per bin (the card's bins, then Unseen) with its unreadable and missing values, and
    the applicants and bads per score band; the test part's AUC, Gini and KS with their intervals.

    Outcomes are 1 (bad) or 0 (good). Without a test part, the training part serves for both. Weights count
    each applicant that many times. `bands`: a number of bands of about equal size on the training scores, or
    the band edges themselves. The edges are stored: every later period is counted in the same bands.
    Population figures compare with the training part; the development AUC and the bad rates per band are
    the test part's.
    """
    edges, n_bands = _band_option(bands)
    train, edges = _part(card, X_train, y_train_bad, sample_weight, edges, n_bands)
    if X_test is None:
        return _baseline_dict(edges, {"train": train}, "train", "train")
    test, _ = _part(card, X_test, y_test_bad, test_weight, edges)
    return _baseline_dict(edges, {"train": train, "test": test}, "train", "test")


def baseline_from_data(card, X, y_bad, *, bands=BANDS) -> dict:
    """The baseline of a card from one labelled development table (for a card saved without one)."""
    edges, n_bands = _band_option(bands)
    part, edges = _part(card, X, y_bad, None, edges, n_bands)
    return _baseline_dict(edges, {"development": part}, "development", "development")


def development_baseline(card, data: pd.DataFrame, where: str = "the development table") -> dict:
    """The baseline from a development table holding the card's target column, every outcome known."""
    if card.target not in data.columns:
        raise InputError(f"{where} lacks the target column '{card.target}'")
    y = Outcomes(card, card.target).codes(data[card.target])
    if (y == UNKNOWN).any():
        raise InputError(
            f"{where} has {int((y == UNKNOWN).sum())} applicants without an outcome in "
            f"'{card.target}': a baseline needs every one"
        )
    return baseline_from_data(card, data, y)


def _baseline_dict(edges, parts, population, outcomes) -> dict:
    return _jsonable(
        {
            "format": BASELINE_FORMAT,
            "version": BASELINE_VERSION,
            "bands": edges,
            "population": population,
            "outcomes": outcomes,
            "parts": parts,
        }
    )


def _check_baseline(card, base) -> None:
    """A baseline made for this card, or a one-line reason why not."""
    fix = "make it again from the development data (--baseline DATA)"
    try:
        if not isinstance(base, dict) or base.get("format") != BASELINE_FORMAT:
            raise ValueError("it is not a tessaly baseline")
        if base.get("version") != BASELINE_VERSION:
            raise ValueError(f"it has version {base.get('version')!r}, not {BASELINE_VERSION}")
        edges = base["bands"]
        if not all(isinstance(e, (int, float)) for e in edges) or any(a >= b for a, b in zip(edges, edges[1:])):
            raise ValueError("its score bands are not ascending numbers")
        for role in ("population", "outcomes"):
            part = base["parts"][base[role]]
            if len(part["bands"]["applicants"]) != len(edges) + 1 or len(part["bands"]["bads"]) != len(edges) + 1:
                raise ValueError("its band counts do not match its bands")
            if set(part["predictors"]) != set(card.names):
                raise ValueError("its predictors are not the card's")
            for p in card.characteristics:
                entry = part["predictors"][p.name]
                if entry["bins"] != [*p.labels, UNSEEN] or len(entry["applicants"]) != len(p.labels) + 1:
                    raise ValueError(f"the bins of '{p.name}' are not the card's")
            if part["applicants"] <= 0:
                raise ValueError("it holds no applicants")
        if "auc" not in base["parts"][base["outcomes"]]["performance"]:
            raise ValueError("it has no development AUC")
    except (KeyError, TypeError, ValueError, AttributeError) as e:
        what = str(e) if isinstance(e, ValueError) else f"it lacks {e}"
        raise InputError(f"the baseline does not fit this card ({what}): {fix}") from None


def baseline_of(card, given=None, fix: str = NO_BASELINE) -> dict:
    """The baseline given, else the card's own; checked against the card. `fix`: what to do without one."""
    if given is None:
        given = getattr(card, "baseline", None)
        if given is None:
            raise InputError(f"the card holds no baseline to compare with (it was built by an earlier tessaly): {fix}")
    _check_baseline(card, given)
    return given
