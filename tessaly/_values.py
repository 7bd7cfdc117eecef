"""How the card reads a value, whatever type a reader gave its column.

Values are matched by what they mean: text "54.0", the integer 54 and the float 54.0 have one category key, a
date has the same key from Parquet and from CSV, and text in a numerical column is unreadable rather than a
number. The build reads a column's kind the same way: Decimal amounts or text numbers with a stray cell are
numerical, and dates are no predictor.
"""

from __future__ import annotations

import datetime as dt

import numpy as np
import pandas as pd
from numpy.typing import ArrayLike

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


def distinct(values: ArrayLike) -> tuple[np.ndarray, pd.Series]:
    """Codes into the distinct values (-1 where missing), and those values with their own type."""
    s = _bools_as_text(pd.Series(values).reset_index(drop=True))
    codes, uniques = pd.factorize(s, use_na_sentinel=True)
    uniques = pd.Series(uniques)
    if isinstance(uniques.dtype, pd.CategoricalDtype):
        uniques = pd.Series(np.asarray(uniques))
    return codes, uniques


def canonical(values: ArrayLike) -> np.ndarray:
    """Each value's category key (object array, None where missing)."""
    codes, uniques = distinct(values)
    return np.append(value_keys(uniques), np.array([None], dtype=object))[codes]


def value_keys(s: pd.Series) -> np.ndarray:
    """The category key of each value of `s` (None where missing)."""
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
            x, unreadable = to_number(s)
            numeric = ~unreadable & ~missing
            if numeric.any():
                keys[numeric] = _number_keys(x[numeric])
    keys[missing] = None
    return keys


# Dates, durations and periods are stored as integers, and booleans as 0 and 1; none of them is a number.
_NOT_NUMBERS = (bool, np.bool_, dt.date, dt.timedelta, np.datetime64, np.timedelta64, pd.Period)


def to_number(values: ArrayLike) -> tuple[np.ndarray, np.ndarray]:
    """Floats of a numerical predictor's values, and where a present value could not be read as a finite number."""
    s = pd.Series(values).reset_index(drop=True)
    if isinstance(s.dtype, pd.CategoricalDtype):
        s = pd.Series(np.asarray(s, dtype=object))
    if pd.api.types.is_numeric_dtype(s) and not pd.api.types.is_bool_dtype(s):
        x = s.to_numpy(dtype=float, na_value=np.nan)
    elif (s.dtype == object or pd.api.types.is_string_dtype(s)) and pd.api.types.infer_dtype(
        s, skipna=True
    ) != "boolean":
        x = pd.to_numeric(s, errors="coerce").to_numpy(dtype=float, na_value=np.nan, copy=True)
        if s.dtype == object:
            # A scan, but callers pass distinct values only.
            x[s.map(lambda v: isinstance(v, _NOT_NUMBERS)).to_numpy(dtype=bool)] = np.nan
    else:
        x = np.full(len(s), np.nan)
    unreadable = ~np.isfinite(x) & ~s.isna().to_numpy()
    return x, unreadable


# A column is read as numbers (or dates) when at most these shares of its distinct present values, or of its
# present cells, are something else: two stray "n/a" cells must not turn amounts into a thousand categories.
STRAY_VALUES, STRAY_CELLS = 0.01, 0.001
_ISO_DATE = r"^\d{4}-\d{2}-\d{2}(?:[ T]\d{2}:\d{2}(?::\d{2}(?:\.\d+)?)?(?:Z|[+-]\d{2}:?\d{2})?)?$"


def value_kind(values: ArrayLike) -> str:
    """How the build reads a column: "numerical", "categorical", "dates" or "durations".

    By what its values mean, as scoring reads them, not by the type a reader
    gave the column: Decimal amounts and text numbers are numerical, text
    dates are dates, and a few stray cells change nothing. Booleans and a
    column typed as categories are categorical.
    """
    s = pd.Series(values)
    if pd.api.types.is_bool_dtype(s) or isinstance(s.dtype, pd.CategoricalDtype):
        return "categorical"
    if pd.api.types.is_datetime64_any_dtype(s) or isinstance(s.dtype, pd.PeriodDtype):
        return "dates"
    if pd.api.types.is_timedelta64_dtype(s):
        return "durations"
    if pd.api.types.is_numeric_dtype(s) or _decimals(s):
        return "numerical"
    codes, uniques = distinct(s)
    if not len(uniques) or pd.api.types.infer_dtype(uniques, skipna=True) == "boolean":
        return "categorical"
    counts = np.bincount(codes[codes >= 0], minlength=len(uniques))

    def nearly_all(hit: np.ndarray) -> bool:
        return bool(hit.any()) and (
            (~hit).sum() <= STRAY_VALUES * len(hit) or counts[~hit].sum() <= STRAY_CELLS * counts.sum()
        )

    def of_type(types: type | tuple[type, ...]) -> np.ndarray:
        return np.array(uniques.map(lambda v: isinstance(v, types)), dtype=bool)

    text = of_type(str)
    dates = of_type((dt.date, np.datetime64, pd.Period))
    dates[text] = uniques[text].astype(str).str.match(_ISO_DATE).to_numpy(dtype=bool)
    if nearly_all(dates):
        return "dates"
    if nearly_all(of_type((dt.timedelta, np.timedelta64))):
        return "durations"
    if nearly_all(~to_number(uniques)[1]):
        return "numerical"
    return "categorical"


def _decimals(s: pd.Series) -> bool:
    """Whether the column holds Decimal objects only (a database's DECIMAL): floats without hashing each."""
    return s.dtype == object and pd.api.types.infer_dtype(s, skipna=True) == "decimal"


def read_values(x: pd.Series, numerical: bool) -> tuple[np.ndarray, np.ndarray]:
    """The values as the card reads them (floats, or category keys; NaN where missing), and where a present
    value is unreadable."""
    if not numerical:
        keys = canonical(x)
        return np.where(pd.isna(keys), np.nan, keys).astype(object), np.zeros(len(keys), dtype=bool)
    if pd.api.types.is_numeric_dtype(x) and not pd.api.types.is_bool_dtype(x):
        values = x.to_numpy(dtype=float, na_value=np.nan)
        return values, np.zeros(len(values), dtype=bool)
    if _decimals(x):
        return np.array(x.where(x.notna(), np.nan), dtype=float), np.zeros(len(x), dtype=bool)
    codes, uniques = distinct(x)
    numbers, unreadable = to_number(uniques)
    return np.append(numbers, np.nan)[codes], np.append(unreadable, False)[codes]
