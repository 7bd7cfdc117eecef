"""Binning of raw predictors, and the assignment of values to bins.

optbinning finds the bins; the labels, the assignment of values to bins and
the feature names are ours, so that a saved card applies without re-deriving
anything from optbinning's display formatting. Values are read as `_values`
reads them.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from . import _classing
from ._checks import hand_splits
from ._errors import InputError
from ._pure_bins import pure_categories, pure_ends
from ._values import _ISO_TIME, _MIDNIGHT, canonical, distinct, read_values, to_number, value_keys, value_kind

__all__ = ["_ISO_TIME", "_MIDNIGHT", "canonical", "to_number", "value_kind"]

# Feature names end in "_<digit>": the scorecard module strips two characters.
MAX_BINS = 10
TABLE_COLUMNS = ["Bin", "Count", "Count (%)", "Non-event", "Event", "Event rate", "WoE", "IV", "JS"]
SPECIAL, MISSING, UNSEEN = "Special", "Missing", "Unseen"
REGULAR = "regular"
# Beyond float32's range the model libraries overflow; such values are data errors, not applicants.
LARGEST = 1e38


def _format(x: float, digits: int) -> str:
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return f"{x:.{digits}g}"


def interval_labels(splits) -> list[str]:
    """Labels "(-inf, a)", "[a, b)", ..., "[z, inf)" with as many digits as it takes to tell them apart."""
    edges = [-math.inf, *map(float, splits), math.inf]
    for digits in (4, 6, 8, 10, 12, 17):
        text = [_format(e, digits) for e in edges]
        if len(set(text)) == len(text):
            break
    labels = []
    for i in range(len(edges) - 1):
        opening = "(" if i == 0 else "["
        labels.append(f"{opening}{text[i]}, {text[i + 1]})")
    return labels


def category_label(categories) -> str:
    return "[" + ", ".join(str(c) for c in categories) + "]"


def special_keys(codes, numerical: bool) -> list:
    """The special codes as a column of this kind holds them: floats, or category keys."""
    if not codes:
        return []
    if numerical:
        x = pd.to_numeric(pd.Series(list(codes), dtype=object), errors="coerce").to_numpy(dtype=float)
        return [float(v) for v in x[np.isfinite(x)]]
    return [k for k in canonical(pd.Series([str(c) for c in codes], dtype=object)) if k is not None]


@dataclass
class Bins:
    """How one predictor's values fall into its bins: all that scoring needs."""

    name: str
    dtype: str  # "numerical" or "categorical"
    splits: list  # numerical: cut points; categorical: lists of category keys
    special_codes: list
    kinds: list  # per bin, in table order: regular bin index, SPECIAL or MISSING

    def __post_init__(self):
        n_regular = len(self.splits) + 1 if self.dtype == "numerical" else len(self.splits)
        self._regular_row = np.full(n_regular + 1, -1, dtype=np.int64)  # last slot: not a regular value
        self._special_row = self._missing_row = -1
        for row, kind in enumerate(self.kinds):
            if kind == SPECIAL:
                self._special_row = row
            elif kind == MISSING:
                self._missing_row = row
            else:
                self._regular_row[int(kind)] = row
        if self.dtype == "numerical":
            self._edges = np.asarray(self.splits, dtype=float)
        else:
            keys = [k for group in self.splits for k in group]
            self._categories = pd.Index(keys, dtype=object)
            self._category_bin = np.repeat(np.arange(len(self.splits)), [len(g) for g in self.splits])

    def locate(self, values) -> tuple[np.ndarray, np.ndarray]:
        """The bin (row of the table) of each value, -1 for Unseen; and where a value was unreadable."""
        s = pd.Series(values).reset_index(drop=True)
        if self.dtype == "numerical" and pd.api.types.is_numeric_dtype(s) and not pd.api.types.is_bool_dtype(s):
            return self._locate_numbers(s.to_numpy(dtype=float, na_value=np.nan))
        # Text, categories and mixed columns repeat few distinct values: place each once.
        codes, uniques = distinct(s)
        rows, unreadable = self._locate(uniques)
        return np.append(rows, self._missing_row)[codes], np.append(unreadable, False)[codes]

    def _locate_numbers(self, x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        # A handful of splits: one comparison each beats a binary search per value.
        regular = np.zeros(len(x), dtype=np.intp)
        for edge in self._edges:
            regular += x >= edge
        missing = np.isnan(x)
        unreadable = ~np.isfinite(x) & ~missing
        special = np.isin(x, self.special_codes) if self.special_codes else np.zeros(len(x), dtype=bool)
        regular[unreadable | special] = len(self._regular_row) - 1
        rows = self._regular_row[regular]
        rows[special] = self._special_row
        rows[missing] = self._missing_row
        return rows, unreadable

    def _locate(self, s: pd.Series) -> tuple[np.ndarray, np.ndarray]:
        if self.dtype == "numerical":
            x, unreadable = to_number(s)
            return self._locate_numbers(np.where(unreadable, np.inf, x))  # unreadable stays apart from missing
        missing = s.isna().to_numpy()
        # Most values are already keys; only the rest pay for canonical().
        hit = self._categories.get_indexer(s.astype(object)) if len(self._categories) else np.full(len(s), -1)
        keys = np.empty(len(s), dtype=object)
        slow = (hit < 0) & ~missing
        if slow.any():
            keys[slow] = value_keys(s[slow])
            hit[slow] = self._categories.get_indexer(pd.Index(keys[slow], dtype=object))
        # Special codes never fall in a regular bin, so only values that missed one can be special.
        special = np.zeros(len(s), dtype=bool)
        if self.special_codes:
            special[slow] = np.isin(keys[slow].astype(str), self.special_codes)
        regular = np.where(hit >= 0, self._category_bin[np.maximum(hit, 0)], len(self._regular_row) - 1)
        rows = self._regular_row[regular]
        rows[special] = self._special_row
        rows[missing] = self._missing_row
        return rows, np.zeros(len(s), dtype=bool)


@dataclass
class PredictorBinning(Bins):
    """One predictor's bins with their labels and the rows of its binning table."""

    labels: list[str] = field(default_factory=list)  # one per kept row of the table, in table order
    table: pd.DataFrame = field(default=None, repr=False)
    unreadable: int = 0  # training values that could not be read, left out of the bins
    binning: str = "optimal"  # or "by hand": the splits were given

    @property
    def features(self) -> list[str]:
        return [f"{self.name}_{d}" for d in range(len(self.labels))]

    def positions(self, values) -> np.ndarray:
        return self.locate(values)[0]


class LeftOut(InputError):
    """A predictor the build leaves out; the message is the reason, as the report lists it."""


REFUSED = {
    "dates": "holds dates: derive a number such as months since them, or drop it",
    "durations": "holds durations: turn them into a number such as days, or drop it",
}
LEAKAGE = "identical to the target in training (leakage)"


def woe_table(labels: list, nonevent: np.ndarray, event: np.ndarray) -> pd.DataFrame:
    """optbinning's binning table from each bin's counts (weighted, where rows carry weights), except that a bin
    of one outcome only gets half an applicant in its empty cell, as is usual in the field, so that its WoE and
    IV are finite and true, not 0."""
    if (nonevent % 1 == 0).all() and (event % 1 == 0).all():
        nonevent, event = nonevent.astype(np.int64), event.astype(np.int64)
    count = nonevent + event
    used = count > 0
    p_nonevent = np.where(used & (nonevent == 0), 0.5, nonevent)[used] / nonevent.sum()
    p_event = np.where(used & (event == 0), 0.5, event)[used] / event.sum()
    middle = (p_nonevent + p_event) / 2
    woe, iv, js, rate = (np.zeros(len(count)) for _ in range(4))
    woe[used] = np.log(p_nonevent / p_event)
    iv[used] = (p_nonevent - p_event) * woe[used]
    js[used] = 0.5 * (p_event * np.log(p_event / middle) + p_nonevent * np.log(p_nonevent / middle))
    rate[used] = event[used] / count[used]
    return pd.DataFrame(
        {
            "Bin": pd.Series(labels, dtype=object),
            "Count": count,
            "Count (%)": count / count.sum(),
            "Non-event": nonevent,
            "Event": event,
            "Event rate": rate,
            "WoE": woe,
            "IV": iv,
            "JS": js,
        }
    )[TABLE_COLUMNS]


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
