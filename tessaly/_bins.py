"""A predictor's bins as a card holds them: the labels, the special, missing and unseen rows, where each value
falls, and the binning table of each bin's counts.

The labels and the placing of values are ours, not a binning library's display, so that a saved card applies
without re-deriving anything. Values are read as `_values` reads them.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from ._values import canonical, distinct, to_number, value_keys

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
