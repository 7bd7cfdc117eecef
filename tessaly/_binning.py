"""Binning of raw predictors, and the assignment of values to bins.

optbinning finds the bins; the labels, the assignment of values to bins and
the feature names are ours, so that a saved card applies without re-deriving
anything from optbinning's display formatting.

Values are matched by what they mean, not by how a reader typed the column:
text "54.0", the integer 54 and the float 54.0 are one category, a date is
the same from Parquet and from CSV, and text in a numerical column is
unreadable rather than a number.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from ._errors import InputError

# Feature names end in "_<digit>": the scorecard module strips two characters.
MAX_BINS = 10
TABLE_COLUMNS = ["Bin", "Count", "Count (%)", "Non-event", "Event", "Event rate", "WoE", "IV", "JS"]
SPECIAL, MISSING, UNSEEN = "Special", "Missing", "Unseen"
REGULAR = "regular"
# Beyond float32's range the model libraries overflow; such values are data errors, not applicants.
LARGEST = 1e38
_MIDNIGHT = r"^(\d{4}-\d{2}-\d{2})[ T]00:00:00$"
_ISO_TIME = r"^(\d{4}-\d{2}-\d{2})T(\d{2}:\d{2}:\d{2})$"


def _number_keys(x: np.ndarray) -> np.ndarray:
    """Canonical text of finite floats: whole numbers without a decimal point, others as repr."""
    keys = x.astype(str).astype(object)
    whole = (np.floor(x) == x) & (np.abs(x) < 2.0**63)
    if whole.any():
        keys[whole] = x[whole].astype(np.int64).astype(str)
    return keys


def _bools_as_text(s: pd.Series) -> pd.Series:
    """A mixed column with its booleans as text: hashing and number parsing take True for 1 and False for 0."""
    if s.dtype == object and pd.api.types.infer_dtype(s, skipna=True).startswith("mixed"):
        is_bool = s.map(type, na_action="ignore").isin([bool, np.bool_])
        if is_bool.any():
            return s.where(~is_bool, s.astype(str))
    return s


def distinct(values) -> tuple[np.ndarray, pd.Series]:
    """Codes into the distinct values (-1 where missing), and those values with their own type."""
    s = _bools_as_text(pd.Series(values).reset_index(drop=True))
    codes, uniques = pd.factorize(s, use_na_sentinel=True)
    uniques = pd.Series(uniques)
    if isinstance(uniques.dtype, pd.CategoricalDtype):
        uniques = pd.Series(np.asarray(uniques))
    return codes, uniques


def canonical(values) -> np.ndarray:
    """Each value's category key (object array, None where missing)."""
    codes, uniques = distinct(values)
    return np.append(_keys(uniques), None)[codes]


def _keys(s: pd.Series) -> np.ndarray:
    missing = s.isna().to_numpy()
    keys = np.empty(len(s), dtype=object)
    if pd.api.types.is_bool_dtype(s):
        keys[:] = np.where(s.to_numpy(dtype=bool, na_value=False), "True", "False")
    elif pd.api.types.is_numeric_dtype(s):
        x = s.to_numpy(dtype=float, na_value=np.nan)
        finite = np.isfinite(x)
        keys[finite] = _number_keys(x[finite])
        keys[~finite] = x[~finite].astype(str)
    elif pd.api.types.is_datetime64_any_dtype(s):
        keys[:] = s.dt.strftime("%Y-%m-%d %H:%M:%S").str.replace(_MIDNIGHT, r"\1", regex=True).to_numpy(dtype=object)
    else:
        if pd.api.types.infer_dtype(s, skipna=True) == "boolean":
            keys[:] = s.astype(str).to_numpy(dtype=object)
        else:
            text = s.astype(str)
            # Timestamps held in an object column print with their time; text dates get the same form.
            text = text.str.replace(_ISO_TIME, r"\1 \2", regex=True).str.replace(_MIDNIGHT, r"\1", regex=True)
            keys[:] = text.to_numpy(dtype=object)
            x = pd.to_numeric(s, errors="coerce").to_numpy(dtype=float, na_value=np.nan)
            numeric = np.isfinite(x)
            if numeric.any():
                keys[numeric] = _number_keys(x[numeric])
    keys[missing] = None
    return keys


def to_number(values) -> tuple[np.ndarray, np.ndarray]:
    """Floats of a numerical predictor's values, and where a present value could not be read as a finite number."""
    s = pd.Series(values).reset_index(drop=True)
    if pd.api.types.is_numeric_dtype(s) and not pd.api.types.is_bool_dtype(s):
        x = s.to_numpy(dtype=float, na_value=np.nan)
    elif pd.api.types.is_bool_dtype(s) or pd.api.types.infer_dtype(s, skipna=True) == "boolean":
        x = np.full(len(s), np.nan)
    else:
        x = pd.to_numeric(s, errors="coerce").to_numpy(dtype=float, na_value=np.nan, copy=True)
        if s.dtype == object:
            # True and False are text here, not 1 and 0 (a scan, but callers pass distinct values only).
            x[np.array([isinstance(v, (bool, np.bool_)) for v in s], dtype=bool)] = np.nan
    unreadable = ~np.isfinite(x) & ~s.isna().to_numpy()
    return x, unreadable


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
            keys[slow] = _keys(s[slow])
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

    @property
    def features(self) -> list[str]:
        return [f"{self.name}_{d}" for d in range(len(self.labels))]

    def positions(self, values) -> np.ndarray:
        return self.locate(values)[0]

def is_numerical(x: pd.Series) -> bool:
    return pd.api.types.is_numeric_dtype(x) and not pd.api.types.is_bool_dtype(x)


def fit_predictor(name, x: pd.Series, y: np.ndarray, *, monotonic_trend, special_codes, max_bins) -> PredictorBinning:
    from optbinning import OptimalBinning

    numerical = is_numerical(x)
    codes = special_keys(special_codes, numerical)
    if numerical:
        values = x.to_numpy(dtype=float, na_value=np.nan)
        present = values[~np.isnan(values)]
        if not np.isfinite(present).all() or (np.abs(present) > LARGEST).any():
            raise InputError(f"predictor '{name}' has infinite values or values beyond ±{LARGEST:g}; "
                             "replace them or drop the column")
        missing = np.isnan(values)
        special = np.isin(values, codes)
    else:
        values = canonical(x)
        missing = pd.isna(values)
        special = np.isin(values.astype(str), codes) & ~missing if codes else np.zeros(len(values), dtype=bool)
        values = np.where(missing, np.nan, values).astype(object)
    if pd.Series(values[~missing & ~special]).nunique() < 2:
        raise InputError(f"predictor '{name}' has a single value; drop it from the table")
    dtype = "numerical" if numerical else "categorical"
    has_missing, has_special = bool(missing.any()), bool(special.any())
    regular_cap = max(2, min(max_bins, MAX_BINS) - has_missing - has_special)
    trend = None if monotonic_trend == "none" else monotonic_trend
    options = dict(name=str(name), dtype=dtype, max_n_bins=regular_cap, monotonic_trend=trend)
    if codes:
        options["special_codes"] = list(codes)
    ob = OptimalBinning(**options).fit(values, y)

    table = ob.binning_table.build().drop(index="Totals").reset_index(drop=True)
    table["WoE"] = pd.to_numeric(table["WoE"]).astype(float)
    n_regular = len(table) - 2
    splits = list(map(float, ob.splits)) if numerical else [[str(c) for c in group] for group in ob.splits]
    if numerical:
        regular_labels = interval_labels(splits)
    else:
        regular_labels = [category_label(g) for g in splits]
    if len(regular_labels) != n_regular:
        raise RuntimeError(f"binning of '{name}' gave {n_regular} bins for {len(regular_labels)} labels")

    kinds: list = list(range(n_regular)) + [SPECIAL, MISSING]
    labels = regular_labels + [SPECIAL, MISSING]
    # Empty special/missing rows would be features that never fire; leave them out.
    keep = [i for i in range(len(table)) if i < n_regular or table.loc[i, "Count"] > 0]
    table = table.loc[keep].reset_index(drop=True)
    kinds = [kinds[i] for i in keep]
    labels = [labels[i] for i in keep]
    if len(set(labels)) != len(labels):
        raise RuntimeError(f"bin labels of '{name}' collide")
    if len(labels) > MAX_BINS:
        raise RuntimeError(f"'{name}' has {len(labels)} bins, more than {MAX_BINS}")
    table["Bin"] = pd.Series(labels, dtype=object)
    table = table[TABLE_COLUMNS]
    return PredictorBinning(str(name), dtype, splits, list(codes), kinds, labels=labels, table=table)


def one_hot(binnings: list[PredictorBinning], data: pd.DataFrame, positions=None) -> pd.DataFrame:
    """Features "<predictor>_<digit>", one per bin, 1 where the applicant falls in that bin.

    `positions`: each predictor's bins of the applicants, where the caller has them already.
    """
    blocks = {}
    for j, b in enumerate(binnings):
        pos = b.positions(data[b.name]) if positions is None else positions[j]
        for d, feature in enumerate(b.features):
            blocks[feature] = (pos == d).astype(np.int8)
    return pd.DataFrame(blocks, index=data.index)


def binned(binnings: list[PredictorBinning], data: pd.DataFrame, positions=None) -> pd.DataFrame:
    """Each applicant's bin label per predictor (`positions` as for one_hot)."""
    if positions is None:
        positions = [b.positions(data[b.name]) for b in binnings]
    return pd.DataFrame({b.name: np.asarray([*b.labels, UNSEEN], dtype=object)[pos]
                         for b, pos in zip(binnings, positions)}, index=data.index, dtype=object)


def reference_table(binnings: list[PredictorBinning]) -> pd.DataFrame:
    """For each predictor, its bin labels beside the features standing for them."""
    depth = max(len(b.labels) for b in binnings)
    columns = {}
    for b in binnings:
        pad = [None] * (depth - len(b.labels))
        columns[b.name] = pd.Series(b.labels + pad, dtype=object)
        columns[b.name + "_RF"] = pd.Series(b.features + pad, dtype=object)
    return pd.DataFrame(columns)
