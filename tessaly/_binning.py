"""Fitting a raw predictor's bins: optbinning's search, finer classes where the data carry them, hand-set splits,
and the checks that leave a predictor out. The bins themselves (what a card holds and scores by) are `_bins`.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from . import _classing
from ._bins import (
    LARGEST,
    MAX_BINS,
    MISSING,
    SPECIAL,
    Bins,
    PredictorBinning,
    category_label,
    interval_labels,
    special_keys,
    woe_table,
)
from ._checks import hand_splits
from ._errors import InputError
from ._pure_bins import pure_categories, pure_ends
from ._values import _ISO_TIME, _MIDNIGHT, canonical, read_values, to_number, value_kind

__all__ = ["_ISO_TIME", "_MIDNIGHT", "canonical", "to_number", "value_kind"]


class LeftOut(InputError):
    """A predictor the build leaves out; the message is the reason, as the report lists it."""


REFUSED = {
    "dates": "holds dates: derive a number such as months since them, or drop it",
    "durations": "holds durations: turn them into a number such as days, or drop it",
}
LEAKAGE = "identical to the target in training (leakage)"


def _category_groups(keys, y, w, regular, special, options, weights) -> list[list[str]]:
    """Groups of categories as optbinning's categorical binning finds them (categories ranked by event rate, the
    ranks binned as numbers), ranked by the weighted rate, which optbinning's own ranking ignores."""
    from optbinning import OptimalBinning

    codes, names = pd.factorize(keys[regular], sort=True)
    order = np.argsort(
        np.bincount(codes, weights=(y * w)[regular]) / np.bincount(codes, weights=w[regular]), kind="stable"
    )
    rank = np.argsort(order).astype(float)  # each category's place in that order
    # Missing and special values keep their own bins, and their applicants count towards the bin sizes.
    x = np.full(len(keys), np.nan)
    x[regular] = rank[codes]
    x[special] = -1.0
    options = {**options, "dtype": "numerical", "special_codes": [-1.0] if special.any() else None}
    splits = OptimalBinning(**options).fit(x, y, sample_weight=weights).splits
    edges = np.searchsorted(rank[order], splits, side="left")
    return [[str(names[i]) for i in part] for part in np.split(order, edges) if len(part)]


def _searched_splits(name, kind, values, y, w, regular, read, codes, *, trend, room, edges=None):
    """Splits found by search: pure runs of one outcome first, then optbinning over the other values."""
    from optbinning import OptimalBinning

    numerical = kind == "numerical"
    trend = None if trend == "none" else trend
    before: list = []
    after: list = []
    pure = np.zeros(len(values), dtype=bool)
    if numerical:
        cuts, taken = pure_ends(values[regular], y[regular], trend, room, w[regular])
        n_pure = len(cuts)
    else:
        before, after, taken = pure_categories(values[regular], y[regular], room, w[regular])
        n_pure = len(before) + len(after)
    pure[regular] = taken
    rest = read & ~pure
    special = read & ~regular & ~pd.isna(values)
    others = values[rest & regular]
    if len(pd.unique(others)) >= 2:
        options = dict(name=str(name), dtype=kind, max_n_bins=max(room - n_pure, 1), monotonic_trend=trend)
        if codes:
            options["special_codes"] = list(codes)
        weights = None if (w == 1).all() else w[rest]
        if numerical:
            found = OptimalBinning(**options).fit(values[rest], y[rest], sample_weight=weights).splits
            found = list(map(float, found))
            fine = rest & regular
            if trend in (None, "auto") and w[fine].sum() >= _classing.FINE_FROM:
                found = _classing.splits(values[fine].astype(float), y[fine], w[fine], options["max_n_bins"], found)
        else:
            found = _category_groups(values[rest], y[rest], w[rest], regular[rest], special[rest], options, weights)
    else:
        found = [] if numerical or not len(others) else [[str(others[0])]]
    if not numerical:
        return before + found + after
    return (
        sorted(set(cuts) | set(found))
        if edges is None
        else _onto_edges(sorted(set(cuts) | set(found)), np.asarray(edges, float), values[regular])
    )


def _onto_edges(splits: list, edges: np.ndarray, values: np.ndarray) -> list:
    """Each split moved up to the first fine-class edge above the values below it: the same values each side."""
    v = np.unique(values)
    below = v[(at := np.searchsorted(v, splits, side="left"))[at > 0] - 1]
    return sorted({float(edges[i]) for i in np.searchsorted(edges, below, side="right") if i < len(edges)})


# A text column with a distinct value for nearly every applicant names them; a whole-number one with no
# repeat at all counts them. A measured quantity repeats (or has fractions); set its bins by hand to keep it.
IDENTIFYING_SHARE, FEWEST_TO_IDENTIFY = 0.95, 200


def _varies(regular: np.ndarray, others: bool, numerical: bool, by_hand: bool) -> None:
    """LeftOut for a predictor of a single value, or one whose values identify the rows."""
    n, distinct = len(regular), len(pd.unique(regular))
    if distinct + others < 2:
        raise LeftOut("has a single value")
    if by_hand or n < FEWEST_TO_IDENTIFY:
        return
    if (
        (distinct >= IDENTIFYING_SHARE * n)
        if not numerical
        else (distinct == n and bool(np.all(np.floor(regular) == regular)))
    ):
        raise LeftOut(
            f"identifies rows ({distinct} distinct values in {n} applicants), like an ID: set its bins "
            "by hand to keep it"
        )


def hand_bins(bins) -> tuple[dict, dict, dict]:
    """The bins set by hand, as `tessaly bins` prints them or as the editor saves them: each predictor's splits,
    the predictors left out by hand with the reason, and each predictor's recorded edits. An entry is a list of
    splits or groups, or {"splits": [...], "edits": [...]}, or {"left_out": "reason", "edits": [...]}."""
    splits, left_out, edits = {}, {}, {}
    for name, entry in (bins or {}).items():
        if isinstance(entry, dict) and "cross" in entry:
            continue  # a pair of predictors: _crosses.hand_crosses reads it
        if isinstance(entry, dict):
            if isinstance(entry.get("left_out"), str):
                left_out[name] = entry["left_out"]
            else:
                splits[name] = entry.get("splits")
            edits[name] = [e for e in entry.get("edits") or [] if isinstance(e, dict)]
        else:
            splits[name] = entry
    return splits, left_out, edits


def _read_predictor(name, x, y, special_codes, sample_weight):
    """A predictor's kind, special keys, values as scoring reads them, its unreadable, missing and special masks,
    and the outcomes and weights of the rows that stand for applicants."""
    if sample_weight is not None:
        # A row of weight 0 stands for no applicant: it shapes no bin, as it would be absent when repeated.
        counts = np.asarray(sample_weight, dtype=float) > 0
        x, y, sample_weight = pd.Series(x)[counts], np.asarray(y)[counts], np.asarray(sample_weight)[counts]
    kind = value_kind(x)  # the card's dtype
    if kind in REFUSED:
        raise LeftOut(REFUSED[kind])
    numerical = kind == "numerical"
    codes = special_keys(special_codes, numerical)
    values, unreadable = read_values(pd.Series(x).reset_index(drop=True), numerical)
    if numerical:
        present = values[~np.isnan(values)]
        if np.isinf(present).any() or (np.abs(present) > LARGEST).any():
            raise InputError(
                f"predictor '{name}' has infinite values or values beyond ±{LARGEST:g}; replace them or drop the column"
            )
        special = np.isin(values, codes)
    else:
        special = np.isin(values.astype(str), codes) if codes else np.zeros(len(values), dtype=bool)
    missing = pd.isna(values) & ~unreadable
    special &= ~missing
    y = np.asarray(y).astype(np.int64)
    w = np.ones(len(y)) if sample_weight is None else np.asarray(sample_weight, dtype=float)
    return kind, codes, values, unreadable, missing, special, y, w


def fit_predictor(
    name,
    x: pd.Series,
    y: np.ndarray,
    *,
    monotonic_trend,
    special_codes,
    max_bins,
    sample_weight=None,
    splits=None,
    fine_edges=None,
) -> PredictorBinning:
    """One predictor's bins from its training values and outcomes (1 bad, 0 good).

    The values are read as scoring reads them (see `value_kind`); unreadable ones (text in a numerical column)
    shape no bin, score as unseen and are counted in `unreadable`. `max_bins` counts every bin, Special and
    Missing included; a predictor with special and missing values has three at least. Raises LeftOut for a
    column with a single value, dates or durations, or the target in disguise.
    `sample_weight`: how many applicants each row stands for. `splits`: the bins set by hand, split points of a
    numerical predictor or groups of values of a categorical one; nothing is searched then. `fine_edges`: each
    value stands for its fine class (up to the next edge); the splits land on edges, keeping the counts exact.
    """
    kind, codes, values, unreadable, missing, special, y, w = _read_predictor(name, x, y, special_codes, sample_weight)
    numerical = kind == "numerical"
    regular = ~missing & ~special & ~unreadable
    if not regular.any():
        raise LeftOut("has no values but missing or special ones")
    _varies(values[regular], bool(missing.any() or special.any()), numerical, by_hand=splits is not None)
    read = ~unreadable
    if y[read].min() == y[read].max():
        raise LeftOut("has readable values for one outcome only")

    given = splits
    if splits is not None:
        splits = hand_splits(name, splits, numerical, values[regular])
        if len(splits) + numerical + bool(missing.any()) + bool(special.any()) > MAX_BINS:
            raise InputError(
                f"the bins set by hand for '{name}' make more than {MAX_BINS} bins with the missing and "
                "special ones: merge some"
            )
    else:
        splits = _searched_splits(
            name,
            kind,
            values,
            y,
            w,
            regular,
            read,
            codes,
            trend=monotonic_trend,
            room=max(1, min(max_bins, MAX_BINS) - bool(missing.any()) - bool(special.any())),
            edges=fine_edges,
        )
    return _with_table(
        name,
        kind,
        splits,
        codes,
        values[read],
        y[read],
        w[read],
        max_bins,
        unreadable=int(unreadable.sum()),
        binning="optimal" if given is None else "by hand",
    )


def _with_table(name, kind, splits, codes, values, y, w, max_bins, **extra) -> PredictorBinning:
    """The bins of `splits` with their binning table, from the readable training values; empty special and
    missing bins left out."""
    if kind == "numerical":
        regular_labels = interval_labels(splits)
    else:
        regular_labels = [category_label(g) for g in splits]

    kinds: list = [*range(len(regular_labels)), SPECIAL, MISSING]
    labels = [*regular_labels, SPECIAL, MISSING]
    bins = Bins(str(name), kind, splits, list(codes), kinds)
    rows = bins.locate(values)[0]
    if (rows < 0).any():
        raise RuntimeError(f"binning of '{name}' left {int((rows < 0).sum())} training values outside every bin")
    event = np.bincount(rows, weights=y * w, minlength=len(kinds))
    nonevent = np.bincount(rows, weights=w, minlength=len(kinds)) - event
    table = woe_table(labels, nonevent, event)
    # Empty special/missing rows would be features that never fire; leave them out.
    keep = [i for i in range(len(table)) if kinds[i] not in (SPECIAL, MISSING) or table.loc[i, "Count"] > 0]
    table = table.loc[keep].reset_index(drop=True)
    kinds = [kinds[i] for i in keep]
    labels = [labels[i] for i in keep]
    if ((table["Event"] == 0) | (table["Non-event"] == 0)).all():
        raise LeftOut(LEAKAGE)
    if len(set(labels)) != len(labels):
        raise RuntimeError(f"bin labels of '{name}' collide")
    if len(labels) > max(min(max_bins, MAX_BINS), 1 + (SPECIAL in kinds) + (MISSING in kinds)):
        raise RuntimeError(f"'{name}' has {len(labels)} bins, more than {max_bins}")
    return PredictorBinning(str(name), kind, splits, list(codes), kinds, labels=labels, table=table, **extra)
