"""Counting a card's applicants: a frame, or a CSV or Parquet file read batch by batch, into two count tables.

A table is never held whole. Each batch is placed in the card's bins and scored, and only counts are kept:
per period, each predictor's applicants per bin (the card's bins, then Unseen) with its unreadable and
missing values, and the goods, bads and unknown outcomes per distinct total score. An aggregate query in a
warehouse (the SQL export's monitoring query) returns the same two tables, so the figures made from them
(`figures.from_counts`) cannot tell the routes apart.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

from .._bins import MISSING, UNSEEN
from .._checks import check_columns
from .._errors import InputError
from .._tables import BATCH_ROWS, iter_batches, table_columns
from .._values import canonical

# Period labels as pandas writes them: "2024-03", "2024Q1", "2024"; the SQL export writes the same.
PERIODS = {"month": "M", "quarter": "Q", "year": "Y"}
# How a time with a zone or offset falls in a period, route by route; monitor.json records the one it used.
PERIOD_RULE = {
    "file": "the wall clock of each time's own zone or UTC offset (an ISO text's offset, a zoned "
    "column's zone); times without one as they are",
    "counts": "as the engine's query put them: zoned timestamps on the wall clock of the session time "
    "zone (DuckDB, PostgreSQL, Spark); ISO text on SQLite at its own date, offset ignored",
}
BIN_COLUMNS = ["period", "predictor", "bin", "applicants", "unreadable", "missing"]
SCORE_COLUMNS = ["period", "score", "bad", "applicants"]
GOOD, BAD, UNKNOWN = 0, 1, 2


class Tally:
    """Counts of applicants met batch by batch, per period (labels in the order first met). Weighted, each
    applicant counts its weight: whole weights count as the rows repeated."""

    def __init__(self, card, weighted: bool = False):
        self.card = card
        self.dtype = np.float64 if weighted else np.int64
        self.periods: list = []
        self._index: dict = {}
        k = len(card.characteristics)
        self.cells = [np.zeros((0, len(p.labels) + 1), dtype=self.dtype) for p in card.characteristics]
        self.unreadable = np.zeros((0, k), dtype=self.dtype)
        self.missing = np.zeros((0, k), dtype=self.dtype)
        self.scores: dict = {}  # period index -> (distinct scores, counts of good, bad, unknown)
        # Unseen values (row -1) take the last entry: the neutral points, as Card.apply gives them.
        self._points = [np.append(np.asarray(p.points, dtype=float), p.neutral) for p in card.characteristics]

    def _grow(self, table: np.ndarray) -> np.ndarray:
        return np.vstack([table, np.zeros((1, table.shape[1]), dtype=self.dtype)])

    def _period(self, label) -> int:
        if label not in self._index:
            self._index[label] = len(self.periods)
            self.periods.append(label)
            self.cells = [self._grow(c) for c in self.cells]
            self.unreadable, self.missing = self._grow(self.unreadable), self._grow(self.missing)
        return self._index[label]

    def add(
        self,
        frame: pd.DataFrame,
        period_codes: np.ndarray,
        period_labels,
        outcome: np.ndarray,
        weight: np.ndarray | None = None,
    ) -> np.ndarray:
        """Count one batch: `period_codes` index `period_labels` per applicant; `outcome` is GOOD, BAD or
        UNKNOWN per applicant. Returns the applicants' scores."""
        where = np.asarray([self._period(label) for label in period_labels], dtype=np.intp)[period_codes]
        n_periods = len(self.periods)

        def count(index, size, mask=None):
            w = weight if mask is None or weight is None else weight[mask]
            counts = np.bincount(index if mask is None else index[mask], weights=w, minlength=size)
            return counts.astype(self.dtype, copy=False)

        total = np.zeros(len(frame))
        for j, p in enumerate(self.card.characteristics):
            rows, unreadable = p.place(frame)
            width = len(p.labels) + 1
            cell = np.where(rows < 0, width - 1, rows)
            self.cells[j] += count(where * width + cell, n_periods * width).reshape(n_periods, width)
            self.unreadable[:, j] += count(where, n_periods, unreadable)
            if p.dtype != "cross":  # a cross's missing values are its predictors'
                self.missing[:, j] += count(where, n_periods, frame[p.name].isna().to_numpy())
            total += self._points[j][rows]
        keys, inverse = np.unique(total, return_inverse=True)
        k = len(keys)
        counts = count((where * k + inverse) * 3 + outcome, n_periods * k * 3).reshape(n_periods, k, 3)
        for g in np.unique(where):
            hit = counts[g].any(axis=1)
            self._merge(int(g), keys[hit], counts[g][hit])
        return total

    def _merge(self, g: int, keys: np.ndarray, counts: np.ndarray) -> None:
        if g in self.scores:
            old_keys, old_counts = self.scores[g]
            keys, inverse = np.unique(np.concatenate([old_keys, keys]), return_inverse=True)
            merged = np.zeros((len(keys), 3), dtype=self.dtype)
            np.add.at(merged, inverse, np.vstack([old_counts, counts]))
            counts = merged
        self.scores[g] = (keys, counts)

    def frames(self) -> tuple[pd.DataFrame, pd.DataFrame]:
        """The counts as the two tables `from_counts` reads (cells that hold nobody left out)."""
        parts = []
        for j, p in enumerate(self.card.characteristics):
            labels = [*p.labels, UNSEEN]
            counts = self.cells[j]
            g, i = np.nonzero(counts)
            # Unreadable values all fall in Unseen; missing ones in the Missing bin, or Unseen if there is none.
            missing_cell = p.kinds.index(MISSING) if MISSING in p.kinds else len(labels) - 1
            parts.append(
                pd.DataFrame(
                    {
                        "period": np.asarray(self.periods, dtype=object)[g],
                        "predictor": p.name,
                        "bin": np.asarray(labels, dtype=object)[i],
                        "applicants": counts[g, i],
                        "unreadable": np.where(i == len(labels) - 1, self.unreadable[g, j], 0),
                        "missing": np.where(i == missing_cell, self.missing[g, j], 0),
                    }
                )
            )
        bins = pd.concat(parts, ignore_index=True) if parts else pd.DataFrame(columns=BIN_COLUMNS)
        rows = []
        for g, (keys, counts) in sorted(self.scores.items()):
            for code in (GOOD, BAD, UNKNOWN):
                hit = counts[:, code] > 0
                rows.append(
                    pd.DataFrame(
                        {
                            "period": np.full(int(hit.sum()), self.periods[g], dtype=object),
                            "score": keys[hit],
                            "bad": pd.array(
                                np.full(int(hit.sum()), code if code != UNKNOWN else None, dtype=object), dtype="Int64"
                            ),
                            "applicants": counts[hit, code],
                        }
                    )
                )
        scores = pd.concat(rows, ignore_index=True) if rows else pd.DataFrame(columns=SCORE_COLUMNS)
        if self.periods == [None]:
            return bins.drop(columns="period"), scores.drop(columns="period")
        return bins, scores


def check_period(period_column, period) -> str | None:
    """The period kind, with the column it is read from (month by default), or a one-line reason."""
    if period_column is not None and period is None:
        period = "month"
    if period is not None and period not in PERIODS:
        raise InputError(f"period must be one of {', '.join(PERIODS)}, not {period!r}")
    if period is not None and period_column is None:
        raise InputError("a period needs the column of dates it is read from (--period-column)")
    return period


def _iso(text: str):
    return pd.to_datetime(text, format="ISO8601", errors="coerce")


def _wall_clock(texts: pd.Series) -> pd.Series:
    """ISO text as the wall clock it was written in; where the UTC offset changes between values (daylight
    saving), each value keeps its own."""
    try:
        dates = pd.Series(pd.to_datetime(texts, format="ISO8601", errors="coerce"))
    except ValueError:  # offsets that differ: pandas would convert them to one zone first
        dates = pd.Series([_iso(t) for t in texts], dtype=object)
        dates = pd.Series(
            [d.tz_localize(None) if d is not pd.NaT and d.tzinfo else d for d in dates], dtype="datetime64[ns]"
        )
    if pd.api.types.is_datetime64_any_dtype(dates) and dates.dt.tz is not None:
        dates = dates.dt.tz_localize(None)
    return dates


def period_codes(values: pd.Series, kind: str, column: str) -> tuple[np.ndarray, np.ndarray]:
    """Each applicant's period (code into the labels returned): "2024-03", "2024Q1" or "2024"."""
    codes, uniques = pd.factorize(values, use_na_sentinel=True)
    if (codes < 0).any():
        raise InputError(
            f"period column '{column}' has {int((codes < 0).sum())} applicants without a date: give every applicant one"
        )
    distinct = pd.Series(uniques)
    if pd.api.types.is_bool_dtype(distinct) or distinct.map(type, na_action="ignore").isin([bool]).any():
        raise InputError(f"period column '{column}' holds true/false values, not dates: choose the date column")
    try:
        if pd.api.types.is_datetime64_any_dtype(distinct):
            # An aware time falls in the period of its own wall clock.
            dates = distinct.dt.tz_localize(None) if distinct.dt.tz is not None else distinct
        else:
            # Dates repeat: each distinct text is parsed once.
            dates = _wall_clock(distinct.astype(str))
    except (ValueError, TypeError, OverflowError) as e:
        raise InputError(
            f"period column '{column}' does not read as dates ({str(e).splitlines()[0][:120]}): give them as YYYY-MM-DD"
        ) from None
    bad = dates.isna().to_numpy()
    if bad.any():
        shown = str(distinct[bad].iloc[0])[:60]
        raise InputError(f"period column '{column}' holds {shown!r}, which is not a date: give dates as YYYY-MM-DD")
    labels = dates.dt.to_period(PERIODS[kind]).astype(str).to_numpy(dtype=object)
    label_codes, label_uniques = pd.factorize(labels)
    return label_codes[codes], np.asarray(label_uniques, dtype=object)


def key(value) -> str:
    """A value's key, as the card compares values: 1, 1.0 and "1" are one."""
    return canonical(pd.Series([value], dtype=object))[0]


# An outcome of true or false means what 1 or 0 means: a card fitted on either reads the other.
TRUTH = {"True": "1", "False": "0"}


def outcome_keys(values) -> np.ndarray:
    """The outcomes' keys by what they mean: True and 1 are one, False and 0."""
    keys = canonical(pd.Series(np.asarray(values, dtype=object), dtype=object))
    return np.asarray([TRUTH.get(k, k) if k is not None else None for k in keys], dtype=object)


class Outcomes:
    """Outcomes as GOOD, BAD or UNKNOWN (missing: not known yet); at most one value besides the card's bad one."""

    def __init__(self, card, column: str, what: str | None = None):
        if card.bad is None:
            raise InputError("the card names no bad value: rebuild it to monitor outcomes")
        self.bad, self.what = outcome_keys([card.bad])[0], what or f"target column '{column}'"
        self.shown_bad = card.bad
        self.others: dict = {}

    def codes(self, values) -> np.ndarray:
        codes, uniques = pd.factorize(pd.Series(values), use_na_sentinel=True)
        keys = outcome_keys(uniques)
        is_bad = np.asarray([k == self.bad for k in keys], dtype=bool)  # a handful of distinct values
        self.other(keys[~is_bad], np.asarray(uniques, dtype=object)[~is_bad])
        return np.where(codes < 0, UNKNOWN, np.append(is_bad.astype(np.int64), 0)[codes]).astype(np.intp)

    def other(self, keys, shown) -> None:
        """Note values besides the bad one (their keys, and how to show them); refuse a second."""
        for k, raw in zip(keys, shown):
            self.others.setdefault(k, raw)
        if len(self.others) > 1:
            values = ", ".join(repr(v) for v in list(self.others.values())[:3])
            raise InputError(
                f"{self.what} has the values {values} besides the bad value "
                f"{self.shown_bad!r}: a card's outcomes are its bad value and one other"
            )


def _as_numbers(column):
    """A text column of numbers as floats, when every present value reads as a finite number; else unchanged.

    CSV columns arrive as text, and reading nearly unique numbers one distinct value at a time is most of
    the work. Where any value is not plainly a number (text, "1,000", "NaN", "inf"), the column goes to the
    card as text, which reads it value by value and tells unreadable values apart.
    """
    import pyarrow as pa
    import pyarrow.compute as pc

    if not pa.types.is_string(column.type) and not pa.types.is_large_string(column.type):
        return column
    try:
        numbers = pc.cast(column, pa.float64())
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        return column
    return numbers if pc.all(pc.is_finite(numbers)).as_py() else column


def _read(data, columns: list[str], numerical: set, batch_rows: int):
    """Batches of the wanted columns as pandas frames, from a frame or a CSV/Parquet file."""
    if isinstance(data, pd.DataFrame):
        data = data[columns]
        for start in range(0, len(data), batch_rows):
            yield data.iloc[start : start + batch_rows]
        return
    import pyarrow as pa

    for batch in iter_batches(Path(data), batch_rows, columns=columns):
        arrays = [c.dictionary_decode() if pa.types.is_dictionary(c.type) else c for c in batch.columns]
        arrays = [_as_numbers(c) if name in numerical else c for name, c in zip(batch.schema.names, arrays)]
        yield pa.RecordBatch.from_arrays(arrays, names=batch.schema.names).to_pandas()


def applicants_of(data) -> str:
    return "the applicants" if isinstance(data, pd.DataFrame) else f"the applicants of '{data}'"


def count(
    card, data, *, target=None, period_column=None, period=None, batch_rows: int = BATCH_ROWS
) -> tuple[pd.DataFrame, pd.DataFrame]:
    """The two count tables of a table of applicants (a frame or a CSV/Parquet file), read in batches."""
    period = check_period(period_column, period)
    columns = list(data.columns) if isinstance(data, pd.DataFrame) else table_columns(Path(data))
    check_columns(columns, card.columns, f"{applicants_of(data)} lack")
    for option, name in (("target", target), ("period", period_column)):
        if name is not None and name not in columns:
            raise InputError(f"{option} column {name!r} is not in {applicants_of(data)}")
    if target is not None and target in card.columns:
        raise InputError(f"target column {target!r} is a predictor of the card: name the outcome column")
    wanted = list(dict.fromkeys([*card.columns, *(c for c in (target, period_column) if c is not None)]))
    tally = Tally(card)
    outcomes = Outcomes(card, target) if target is not None else None
    rows = 0
    numerical = {b.name for p in card.characteristics for b in getattr(p, "sides", [p]) if b.dtype == "numerical"}
    for frame in _read(data, wanted, numerical, batch_rows):
        n = len(frame)
        if period_column is None:
            codes, labels = np.zeros(n, dtype=np.intp), np.array([None], dtype=object)
        else:
            codes, labels = period_codes(frame[period_column], period, period_column)
        outcome = outcomes.codes(frame[target]) if outcomes else np.full(n, UNKNOWN, dtype=np.intp)
        tally.add(frame, codes, labels, outcome)
        rows += n
    if rows == 0:
        raise InputError(f"{'the table' if isinstance(data, pd.DataFrame) else repr(str(data))} has no applicants")
    return tally.frames()
