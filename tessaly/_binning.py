"""Binning of raw predictors and their one-hot encoding.

optbinning finds the bins; the labels, the assignment of values to bins and
the feature names are ours, so that a saved card applies without re-deriving
anything from optbinning's display formatting.
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


def _number(x: float, digits: int) -> str:
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return f"{x:.{digits}g}"


def interval_labels(splits) -> list[str]:
    """Labels "(-inf, a)", "[a, b)", ..., "[z, inf)" with as many digits as it takes to tell them apart."""
    edges = [-math.inf, *map(float, splits), math.inf]
    for digits in (4, 6, 8, 10, 12, 17):
        text = [_number(e, digits) for e in edges]
        if len(set(text)) == len(text):
            break
    labels = []
    for i in range(len(edges) - 1):
        opening = "(" if i == 0 else "["
        labels.append(f"{opening}{text[i]}, {text[i + 1]})")
    return labels


def category_label(categories) -> str:
    return "[" + ", ".join(str(c) for c in categories) + "]"


@dataclass
class PredictorBinning:
    """One predictor's bins: how values fall into them and the rows of its binning table."""

    name: str
    dtype: str  # "numerical" or "categorical"
    splits: list  # numerical: cut points; categorical: list of category lists
    special_codes: list
    labels: list[str]  # one per kept row of the table, in table order
    kinds: list  # per kept row: regular bin index, SPECIAL or MISSING
    table: pd.DataFrame = field(repr=False)

    @property
    def features(self) -> list[str]:
        return [f"{self.name}_{d}" for d in range(len(self.labels))]

    def _regular_index(self, values: pd.Series) -> np.ndarray:
        if self.dtype == "numerical":
            x = pd.to_numeric(values, errors="coerce").to_numpy(dtype=float, na_value=np.nan)
            return np.searchsorted(np.asarray(self.splits, dtype=float), x, side="right")
        lookup = {str(c): i for i, group in enumerate(self.splits) for c in group}
        return np.array([lookup.get(str(v), -1) for v in values], dtype=int)

    def positions(self, values: pd.Series) -> np.ndarray:
        """Row of the table each value falls in; -1 for a bin that training never saw."""
        values = pd.Series(values).reset_index(drop=True)
        missing = values.isna().to_numpy()
        special = np.zeros(len(values), dtype=bool)
        if self.special_codes:
            special = values.isin(self.special_codes).to_numpy() & ~missing
        regular = self._regular_index(values.where(~missing & ~special))
        where = {kind: row for row, kind in enumerate(self.kinds)}
        out = np.full(len(values), -1, dtype=int)
        for i in range(len(values)):
            kind = MISSING if missing[i] else SPECIAL if special[i] else int(regular[i])
            out[i] = where.get(kind, -1)
        return out

    def bin_labels(self, values: pd.Series) -> list[str]:
        return [self.labels[p] if p >= 0 else UNSEEN for p in self.positions(values)]


def _codes_for(codes, numerical: bool) -> list:
    """The special codes that can occur in a column of this kind."""
    out = []
    for c in codes or []:
        if not numerical:
            out.append(str(c))
            continue
        try:
            out.append(float(c))
        except (TypeError, ValueError):
            pass
    return out


def fit_predictor(name, x: pd.Series, y: np.ndarray, *, monotonic_trend, special_codes, max_bins) -> PredictorBinning:
    from optbinning import OptimalBinning

    numerical = pd.api.types.is_numeric_dtype(x) and not pd.api.types.is_bool_dtype(x)
    special_codes = _codes_for(special_codes, numerical)
    observed = x.dropna()
    if special_codes:
        observed = observed[~observed.isin(special_codes)]
    if observed.nunique() < 2:
        raise InputError(f"predictor '{name}' has a single value; drop it from the table")
    dtype = "numerical" if numerical else "categorical"
    if numerical:
        values = x.to_numpy(dtype=float, na_value=np.nan)
    else:
        values = np.array([str(v) if pd.notna(v) else np.nan for v in x], dtype=object)
    has_missing = bool(x.isna().any())
    has_special = bool(special_codes) and bool(x.isin(special_codes).any())
    regular_cap = max(2, min(max_bins, MAX_BINS) - has_missing - has_special)
    trend = None if monotonic_trend == "none" else monotonic_trend
    options = dict(name=str(name), dtype=dtype, max_n_bins=regular_cap, monotonic_trend=trend)
    if special_codes:
        options["special_codes"] = list(special_codes)
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
    return PredictorBinning(str(name), dtype, splits, list(special_codes or []), labels, kinds, table)


def one_hot(binnings: list[PredictorBinning], data: pd.DataFrame) -> pd.DataFrame:
    """Features "<predictor>_<digit>", one per bin, 1 where the applicant falls in that bin."""
    blocks = {}
    for b in binnings:
        pos = b.positions(data[b.name])
        for d, feature in enumerate(b.features):
            blocks[feature] = (pos == d).astype(np.int8)
    return pd.DataFrame(blocks, index=data.index)


def binned(binnings: list[PredictorBinning], data: pd.DataFrame) -> pd.DataFrame:
    return pd.DataFrame({b.name: b.bin_labels(data[b.name]) for b in binnings}, index=data.index, dtype=object)


def reference_table(binnings: list[PredictorBinning]) -> pd.DataFrame:
    """For each predictor, its bin labels beside the features standing for them."""
    depth = max(len(b.labels) for b in binnings)
    columns = {}
    for b in binnings:
        pad = [None] * (depth - len(b.labels))
        columns[b.name] = pd.Series(b.labels + pad, dtype=object)
        columns[b.name + "_RF"] = pd.Series(b.features + pad, dtype=object)
    return pd.DataFrame(columns)
