"""Monitoring a live card: count the applicants of a table batch by batch, then compare with the baseline.

A table is never held whole. Each batch is placed in the card's bins and scored, and only counts are
kept: per period, each predictor's applicants per bin (the card's bins, then Unseen) with its unreadable
and missing values, and the goods, bads and unknown outcomes per distinct total score. `from_counts`
turns such counts into the figures, wherever they were counted (this module, or an aggregate query in a
warehouse), so both routes share every formula.

The result is plain JSON data (monitor.json). A section whose figures an empty table cannot have says
"empty": true and carries no verdict; every verdict present is "green", "amber" or "red".
"""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np
import pandas as pd

from . import _monitor_report
from . import _monitoring as stats
from ._binning import MISSING, UNSEEN, canonical
from ._card import Card
from ._errors import InputError
from ._files import atomic_path, check_output
from ._tables import BATCH_ROWS, iter_batches, read_table, table_columns
from ._validation import _jsonable

FORMAT, VERSION = "tessaly-monitor", 1
BASELINE_FORMAT, BASELINE_VERSION = "tessaly-baseline", 1
PERIODS = {"month": "M", "quarter": "Q", "year": "Y"}
BANDS = 10
# The exit code of a run whose worst verdict reaches --fail-on; 1 stays for errors.
ALERT_EXIT = 3
FAIL_ON = ("amber", "red")
JSON_NAME, HTML_NAME = "monitor.json", "monitor.html"
BIN_COLUMNS = ["period", "predictor", "bin", "applicants", "unreadable", "missing"]
SCORE_COLUMNS = ["period", "score", "bad", "applicants"]
GOOD, BAD, UNKNOWN = 0, 1, 2


# ---------------------------------------------------------------------------------------------
# Counting


class _Tally:
    """Counts of applicants met batch by batch, per period (labels in the order first met)."""

    def __init__(self, card):
        self.card = card
        self.periods: list = []
        self._index: dict = {}
        k = len(card.predictors)
        self.cells = [np.zeros((0, len(p.labels) + 1), dtype=np.int64) for p in card.predictors]
        self.unreadable = np.zeros((0, k), dtype=np.int64)
        self.missing = np.zeros((0, k), dtype=np.int64)
        self.scores: dict = {}  # period index -> (distinct scores, counts of good, bad, unknown)
        # Unseen values (row -1) take the last entry: the neutral points, as Card.apply gives them.
        self._points = [np.append(np.asarray(p.points, dtype=float), p.neutral) for p in card.predictors]

    def _period(self, label) -> int:
        if label not in self._index:
            self._index[label] = len(self.periods)
            self.periods.append(label)
            self.cells = [np.vstack([c, np.zeros((1, c.shape[1]), dtype=np.int64)]) for c in self.cells]
            self.unreadable = np.vstack([self.unreadable, np.zeros((1, self.unreadable.shape[1]), dtype=np.int64)])
            self.missing = np.vstack([self.missing, np.zeros((1, self.missing.shape[1]), dtype=np.int64)])
        return self._index[label]

    def add(self, frame: pd.DataFrame, period_codes: np.ndarray, period_labels, outcome: np.ndarray) -> np.ndarray:
        """Count one batch: `period_codes` index `period_labels` per applicant; `outcome` is GOOD, BAD or
        UNKNOWN per applicant. Returns the applicants' scores."""
        where = np.asarray([self._period(label) for label in period_labels], dtype=np.intp)[period_codes]
        n_periods = len(self.periods)
        total = np.zeros(len(frame))
        for j, p in enumerate(self.card.predictors):
            column = frame[p.name]
            rows, unreadable = p.locate(column)
            width = len(p.labels) + 1
            cell = np.where(rows < 0, width - 1, rows)
            self.cells[j] += np.bincount(where * width + cell, minlength=n_periods * width).reshape(n_periods, width)
            self.unreadable[:, j] += np.bincount(where[unreadable], minlength=n_periods)
            self.missing[:, j] += np.bincount(where[column.isna().to_numpy()], minlength=n_periods)
            total += self._points[j][rows]
        keys, inverse = np.unique(total, return_inverse=True)
        k = len(keys)
        counts = np.bincount((where * k + inverse) * 3 + outcome, minlength=n_periods * k * 3).reshape(n_periods, k, 3)
        for g in np.unique(where):
            hit = counts[g].any(axis=1)
            self._merge(int(g), keys[hit], counts[g][hit])
        return total

    def _merge(self, g: int, keys: np.ndarray, counts: np.ndarray) -> None:
        if g in self.scores:
            old_keys, old_counts = self.scores[g]
            keys, inverse = np.unique(np.concatenate([old_keys, keys]), return_inverse=True)
            merged = np.zeros((len(keys), 3), dtype=np.int64)
            np.add.at(merged, inverse, np.vstack([old_counts, counts]))
            counts = merged
        self.scores[g] = (keys, counts)

    def frames(self) -> tuple[pd.DataFrame, pd.DataFrame]:
        """The counts as the two tables `from_counts` reads (cells that hold nobody left out)."""
        parts = []
        for j, p in enumerate(self.card.predictors):
            labels = [*p.labels, UNSEEN]
            counts = self.cells[j]
            g, i = np.nonzero(counts)
            # Unreadable values all fall in Unseen; missing ones in the Missing bin, or Unseen if there is none.
            missing_cell = p.kinds.index(MISSING) if MISSING in p.kinds else len(labels) - 1
            parts.append(pd.DataFrame({
                "period": np.asarray(self.periods, dtype=object)[g], "predictor": p.name,
                "bin": np.asarray(labels, dtype=object)[i], "applicants": counts[g, i],
                "unreadable": np.where(i == len(labels) - 1, self.unreadable[g, j], 0),
                "missing": np.where(i == missing_cell, self.missing[g, j], 0)}))
        bins = pd.concat(parts, ignore_index=True) if parts else pd.DataFrame(columns=BIN_COLUMNS)
        rows = []
        for g, (keys, counts) in sorted(self.scores.items()):
            for code in (GOOD, BAD, UNKNOWN):
                hit = counts[:, code] > 0
                rows.append(pd.DataFrame({
                    "period": np.full(int(hit.sum()), self.periods[g], dtype=object), "score": keys[hit],
                    "bad": pd.array(np.full(int(hit.sum()), code if code != UNKNOWN else None, dtype=object),
                                    dtype="Int64"),
                    "applicants": counts[hit, code]}))
        scores = pd.concat(rows, ignore_index=True) if rows else pd.DataFrame(columns=SCORE_COLUMNS)
        if self.periods == [None]:
            return bins.drop(columns="period"), scores.drop(columns="period")
        return bins, scores


def _period_codes(values: pd.Series, kind: str, column: str) -> tuple[np.ndarray, np.ndarray]:
    """Each applicant's period (code into the labels returned): "2024-03", "2024Q1" or "2024"."""
    codes, uniques = pd.factorize(values, use_na_sentinel=True)
    if (codes < 0).any():
        raise InputError(f"period column '{column}' has {int((codes < 0).sum())} applicants without a date: "
                         "give every applicant one")
    distinct = pd.Series(uniques)
    if pd.api.types.is_bool_dtype(distinct) or distinct.map(type, na_action="ignore").isin([bool]).any():
        raise InputError(f"period column '{column}' holds true/false values, not dates: choose the date column")
    try:
        if pd.api.types.is_datetime64_any_dtype(distinct):
            # An aware time falls in the period of its own wall clock.
            dates = distinct.dt.tz_localize(None) if distinct.dt.tz is not None else distinct
        else:
            # Dates repeat: each distinct text is parsed once.
            dates = pd.Series(pd.to_datetime(distinct.astype(str), format="ISO8601", errors="coerce"))
    except (ValueError, TypeError, OverflowError) as e:
        raise InputError(f"period column '{column}' does not read as dates ({str(e).splitlines()[0][:120]}): "
                         "give them as YYYY-MM-DD") from None
    bad = dates.isna().to_numpy()
    if bad.any():
        shown = str(distinct[bad].iloc[0])[:60]
        raise InputError(f"period column '{column}' holds {shown!r}, which is not a date: give dates as YYYY-MM-DD")
    labels = dates.dt.to_period(PERIODS[kind]).astype(str).to_numpy(dtype=object)
    label_codes, label_uniques = pd.factorize(labels)
    return label_codes[codes], np.asarray(label_uniques, dtype=object)


def _key(value) -> str:
    return canonical(pd.Series([value], dtype=object))[0]


class _Outcomes:
    """Outcomes as GOOD, BAD or UNKNOWN (missing: not known yet); at most one value besides the card's bad one."""

    def __init__(self, card, column: str):
        if card.bad is None:
            raise InputError("the card names no bad value: rebuild it to monitor outcomes")
        self.bad, self.column = _key(card.bad), column
        self.others: dict = {}

    def codes(self, values) -> np.ndarray:
        codes, uniques = pd.factorize(pd.Series(values), use_na_sentinel=True)
        keys = canonical(pd.Series(np.asarray(uniques, dtype=object), dtype=object))
        is_bad = np.asarray([k == self.bad for k in keys], dtype=bool)  # a handful of distinct values
        for k, raw in zip(keys[~is_bad], np.asarray(uniques, dtype=object)[~is_bad]):
            self.others.setdefault(k, raw)
        if len(self.others) > 1:
            shown = ", ".join(repr(v) for v in list(self.others.values())[:3])
            raise InputError(f"target column '{self.column}' has the values {shown} besides the bad value "
                             f"{self.bad!r}: a card's outcomes are its bad value and one other")
        return np.where(codes < 0, UNKNOWN, np.append(is_bad.astype(np.int64), 0)[codes]).astype(np.intp)


def _chunks(frame: pd.DataFrame, batch_rows: int):
    for start in range(0, len(frame), batch_rows):
        yield frame.iloc[start:start + batch_rows]


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
        yield from _chunks(data[columns], batch_rows)
        return
    import pyarrow as pa

    for batch in iter_batches(Path(data), batch_rows, columns=columns):
        arrays = [c.dictionary_decode() if pa.types.is_dictionary(c.type) else c for c in batch.columns]
        arrays = [_as_numbers(c) if name in numerical else c for name, c in zip(batch.schema.names, arrays)]
        yield pa.RecordBatch.from_arrays(arrays, names=batch.schema.names).to_pandas()


def _columns_of(data) -> list:
    return list(data.columns) if isinstance(data, pd.DataFrame) else table_columns(Path(data))


def _where(data) -> str:
    return "the applicants" if isinstance(data, pd.DataFrame) else f"the applicants of '{data}'"


def count(card, data, *, target=None, period_column=None, period=None,
          batch_rows: int = BATCH_ROWS) -> tuple[pd.DataFrame, pd.DataFrame]:
    """The two count tables of a table of applicants (a frame or a CSV/Parquet file), read in batches."""
    if period_column is not None and period is None:
        period = "month"
    if period is not None and period not in PERIODS:
        raise InputError(f"period must be one of {', '.join(PERIODS)}, not {period!r}")
    if period is not None and period_column is None:
        raise InputError("a period needs the column of dates it is read from (--period-column)")
    columns = _columns_of(data)
    absent = [p for p in card.names if p not in columns]
    if absent:
        raise InputError(f"{_where(data)} lack the predictor column{'s' * (len(absent) > 1)} "
                         f"{', '.join(map(repr, absent))}")
    for option, name in (("target", target), ("period", period_column)):
        if name is not None and name not in columns:
            raise InputError(f"{option} column {name!r} is not in {_where(data)}")
    if target is not None and target in card.names:
        raise InputError(f"target column {target!r} is a predictor of the card: name the outcome column")
    wanted = list(dict.fromkeys([*card.names, *(c for c in (target, period_column) if c is not None)]))
    tally = _Tally(card)
    outcomes = _Outcomes(card, target) if target is not None else None
    rows = 0
    numerical = {p.name for p in card.predictors if p.dtype == "numerical"}
    for frame in _read(data, wanted, numerical, batch_rows):
        n = len(frame)
        if period_column is None:
            codes, labels = np.zeros(n, dtype=np.intp), [None]
        else:
            codes, labels = _period_codes(frame[period_column], period, period_column)
        outcome = outcomes.codes(frame[target]) if outcomes else np.full(n, UNKNOWN, dtype=np.intp)
        tally.add(frame, codes, labels, outcome)
        rows += n
    if rows == 0:
        raise InputError(f"{'the table' if isinstance(data, pd.DataFrame) else repr(str(data))} has no applicants")
    return tally.frames()


# ---------------------------------------------------------------------------------------------
# The baseline


def _part(card, X: pd.DataFrame, y_bad, edges=None, bands: int = BANDS) -> tuple[dict, list]:
    """What monitoring compares against, on one labelled part of the development data."""
    X = pd.DataFrame(X)
    y = np.asarray(y_bad)
    if y.shape != (len(X),) or not np.isin(y, (0, 1)).all():
        raise InputError("baseline outcomes must be 1 (bad) or 0 (good), one per applicant")
    absent = [p for p in card.names if p not in X.columns]
    if absent:
        raise InputError(f"the development table lacks the predictor column{'s' * (len(absent) > 1)} "
                         f"{', '.join(map(repr, absent))}")
    if len(X) == 0:
        raise InputError("the development table has no applicants")
    tally = _Tally(card)
    y = y.astype(np.intp)
    for start in range(0, len(X), BATCH_ROWS):
        chunk = X.iloc[start:start + BATCH_ROWS]
        tally.add(chunk, np.zeros(len(chunk), dtype=np.intp), [None], y[start:start + BATCH_ROWS])
    keys, counts = tally.scores[0]
    n = counts.sum(axis=1)
    if edges is None:
        edges = stats.band_edges(keys, n, bands)
    band = stats.band_of(keys, edges)
    width = len(edges) + 1
    part = {
        "applicants": int(n.sum()),
        "mean_score": stats.mean_score(keys, n),
        "predictors": {p.name: {"bins": [*p.labels, UNSEEN], "applicants": tally.cells[j][0].tolist(),
                                "unreadable": int(tally.unreadable[0, j]), "missing": int(tally.missing[0, j])}
                       for j, p in enumerate(card.predictors)},
        "bands": {"applicants": np.bincount(band, weights=n, minlength=width).astype(np.int64).tolist(),
                  "bads": np.bincount(band, weights=counts[:, BAD], minlength=width).astype(np.int64).tolist()},
        "performance": stats.ranking(counts[:, GOOD], counts[:, BAD]),
    }
    return part, list(edges)


def _band_option(bands):
    if isinstance(bands, (int, np.integer)) and not isinstance(bands, bool):
        if bands < 1:
            raise InputError(f"the number of score bands must be at least 1, not {bands}")
        return None, int(bands)
    edges = [float(e) for e in bands]
    if not all(np.isfinite(edges)) or any(a >= b for a, b in zip(edges, edges[1:])):
        raise InputError("score band edges must be ascending finite numbers")
    return edges, BANDS


def baseline(card, X_train, y_train_bad, X_test, y_test_bad, *, bands=BANDS) -> dict:
    """What monitoring compares a card against, as plain JSON data: on the training and the test part, each
    predictor's applicants per bin (the card's bins, then Unseen) with its unreadable and missing values, and
    the applicants and bads per score band; the test part's AUC, Gini and KS with their intervals.

    `bands`: a number of bands of about equal size on the training scores, or the band edges themselves.
    The edges are stored: every later period is counted in the same bands. Population figures compare with
    the training part; the development AUC and the bad rates per band are the test part's.
    """
    edges, n_bands = _band_option(bands)
    train, edges = _part(card, X_train, y_train_bad, edges, n_bands)
    test, _ = _part(card, X_test, y_test_bad, edges)
    return _baseline_dict(card, edges, {"train": train, "test": test}, "train", "test")


def baseline_from_data(card, X, y_bad, *, bands=BANDS) -> dict:
    """The baseline of a card from one labelled development table (for a card saved without one)."""
    edges, n_bands = _band_option(bands)
    part, edges = _part(card, X, y_bad, edges, n_bands)
    return _baseline_dict(card, edges, {"development": part}, "development", "development")


def _baseline_dict(card, edges, parts, population, outcomes) -> dict:
    return _jsonable({"format": BASELINE_FORMAT, "version": BASELINE_VERSION, "bands": edges,
                      "population": population, "outcomes": outcomes, "parts": parts})


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
            for p in card.predictors:
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


def _baseline_of(card, given) -> dict:
    if given is None:
        given = getattr(card, "baseline", None)
        if given is None:
            raise InputError("the card holds no baseline to compare with (it was built by an earlier tessaly): "
                             "give --baseline DATA, a labelled development table")
    if isinstance(given, (str, Path)):
        data = read_table(given)
        if card.target not in data.columns:
            raise InputError(f"the development table '{given}' lacks the target column '{card.target}'")
        y = _Outcomes(card, card.target).codes(data[card.target])
        if (y == UNKNOWN).any():
            raise InputError(f"the development table '{given}' has {int((y == UNKNOWN).sum())} applicants "
                             f"without an outcome in '{card.target}': a baseline needs every one")
        given = baseline_from_data(card, data, y)
    _check_baseline(card, given)
    return given


# ---------------------------------------------------------------------------------------------
# From counts to figures


def _whole(values, what: str) -> np.ndarray:
    x = pd.to_numeric(pd.Series(values), errors="coerce").to_numpy(dtype=float, na_value=np.nan)
    if not (np.isfinite(x) & (x >= 0) & (np.floor(x) == x)).all():
        raise InputError(f"the counts' {what} must be whole numbers of at least 0")
    return x.astype(np.int64)


def _labels(values) -> np.ndarray:
    s = pd.Series(values, dtype=object)
    if s.isna().any():
        raise InputError("a count has no period: label every row or leave the period column out")
    return s.astype(str).to_numpy(dtype=object)


def _order(labels: list) -> list:
    """Periods in time order, with the periods between them that hold nobody (labels of one kind only)."""
    try:
        parsed = [pd.Period(label) for label in labels]
    except (ValueError, TypeError):
        return sorted(labels)
    kinds = {p.freqstr for p in parsed}
    # Only the labels monitoring writes ("2024-03", "2024Q1", "2024"): a day is no period of ours.
    if len(kinds) != 1 or kinds.pop()[0] not in "MQY" or any(str(p) != label for p, label in zip(parsed, labels)):
        return sorted(labels)
    span = pd.period_range(min(parsed), max(parsed), freq=parsed[0].freq)
    return [str(p) for p in span]


def _read_counts(card, bin_counts, score_counts):
    """The count tables as arrays per period, checked against the card."""
    bins, scores = pd.DataFrame(bin_counts).copy(), pd.DataFrame(score_counts).copy()
    for table, need, what in ((bins, ("predictor", "bin", "applicants"), "bin counts"),
                              (scores, ("score", "applicants"), "score counts")):
        absent = [c for c in need if c not in table.columns]
        if absent:
            raise InputError(f"the {what} lack the column{'s' * (len(absent) > 1)} {', '.join(map(repr, absent))}")
    if ("period" in bins.columns) != ("period" in scores.columns):
        raise InputError("only one of the count tables has a period column: give it in both or in neither")
    periodic = "period" in bins.columns
    for table in (bins, scores):
        table["period"] = _labels(table["period"]) if periodic else ""
    for column in ("unreadable", "missing"):
        bins[column] = _whole(bins[column], column) if column in bins.columns else 0
    bins["applicants"] = _whole(bins["applicants"], "applicants")
    scores["applicants"] = _whole(scores["applicants"], "applicants")
    if scores["applicants"].sum() == 0:
        raise InputError("the counts hold no applicants")

    names = {p.name: j for j, p in enumerate(card.predictors)}
    predictor = bins["predictor"].map(names)
    if predictor.isna().any():
        shown = str(bins.loc[predictor.isna(), "predictor"].iloc[0])[:80]
        raise InputError(f"the counts name the predictor {shown!r}, which is not on the card: they do not belong to it")
    lookup = pd.DataFrame([(p.name, label, i) for p in card.predictors for i, label in enumerate([*p.labels, UNSEEN])],
                          columns=["predictor", "bin", "cell"])
    bins["predictor"] = bins["predictor"].astype(object)
    bins["bin"] = bins["bin"].astype(object).where(bins["bin"].notna(), None)
    placed = bins.merge(lookup, on=["predictor", "bin"], how="left", validate="many_to_one")
    if placed["cell"].isna().any():
        row = placed[placed["cell"].isna()].iloc[0]
        raise InputError(f"the counts have a bin {str(row['bin'])[:80]!r} of '{row['predictor']}' that the card "
                         "does not have: they do not belong to it")

    score = pd.to_numeric(scores["score"], errors="coerce").to_numpy(dtype=float, na_value=np.nan)
    if not np.isfinite(score).all():
        raise InputError("the score counts have a score that is not a number")
    lowest = sum(min(*p.points, p.neutral) for p in card.predictors)
    highest = sum(max(*p.points, p.neutral) for p in card.predictors)
    slack = 1e-9 * max(1.0, abs(lowest), abs(highest))
    beyond = (score < lowest - slack) | (score > highest + slack)
    if beyond.any():
        raise InputError(f"the score counts hold the score {score[beyond][0]:g}, beyond what the card gives "
                         f"({lowest:g} to {highest:g}): they do not belong to it")
    if "bad" in scores.columns:
        flag = pd.to_numeric(scores["bad"], errors="coerce")
        if (flag.notna() & ~flag.isin([0, 1])).any() or (flag.isna() & scores["bad"].notna()).any():
            raise InputError("the score counts' bad column must be 1 (bad), 0 (good) or empty (not known)")
        outcome = np.where(flag.isna().to_numpy(), UNKNOWN, flag.fillna(0).to_numpy(dtype=float)).astype(np.intp)
    else:
        outcome = np.full(len(scores), UNKNOWN, dtype=np.intp)

    labels = _order(sorted(set(bins["period"]) | set(scores["period"]))) if periodic else [""]
    index = {label: g for g, label in enumerate(labels)}
    n_periods = len(labels)
    cells = []
    unreadable = np.zeros((n_periods, len(card.predictors)), dtype=np.int64)
    missing = np.zeros_like(unreadable)
    g_bins = placed["period"].map(index).to_numpy()
    j_bins = placed["predictor"].map(names).to_numpy()
    cell = placed["cell"].to_numpy(dtype=np.int64)
    for j, p in enumerate(card.predictors):
        mine = j_bins == j
        counts = np.zeros((n_periods, len(p.labels) + 1), dtype=np.int64)
        np.add.at(counts, (g_bins[mine], cell[mine]), placed["applicants"].to_numpy()[mine])
        cells.append(counts)
        np.add.at(unreadable[:, j], g_bins[mine], placed["unreadable"].to_numpy()[mine])
        np.add.at(missing[:, j], g_bins[mine], placed["missing"].to_numpy()[mine])
    g_scores = scores["period"].map(index).to_numpy()
    per_period = []
    for g in range(n_periods):
        mine = g_scores == g
        keys, inverse = np.unique(score[mine], return_inverse=True)
        table = np.zeros((len(keys), 3), dtype=np.int64)
        np.add.at(table, (inverse, outcome[mine]), scores["applicants"].to_numpy()[mine])
        per_period.append((keys, table))
        total = table.sum()
        for j, p in enumerate(card.predictors):
            if cells[j][g].sum() != total:
                raise InputError(f"the counts of '{p.name}'{f' in {labels[g]}' if periodic else ''} sum to "
                                 f"{cells[j][g].sum()}, the score counts to {total}: they are not counts of one table")
            if unreadable[g, j] > cells[j][g, -1] or missing[g, j] > total:
                raise InputError(f"the counts of '{p.name}' have more unreadable or missing values than applicants")
    return labels if periodic else [], cells, unreadable, missing, per_period


def _share(part, whole):
    return None if whole == 0 else part / whole


def _population(card, base: dict, edges, cells, unreadable, missing, keys, n) -> tuple[dict, dict]:
    pop = base["parts"][base["population"]]
    band = stats.band_of(keys, edges)
    width = len(edges) + 1
    current = np.bincount(band, weights=n, minlength=width)
    expected = np.asarray(pop["bands"]["applicants"], dtype=float)
    value = stats.psi(expected, current)
    total, base_total = float(n.sum()), float(expected.sum())
    bounds = [None, *edges, None]
    score = {
        "psi": value, "verdict": stats.psi_verdict(value), "applicants": int(total),
        "mean": stats.mean_score(keys, n), "baseline_mean": pop["mean_score"],
        "herfindahl": stats.herfindahl(current), "baseline_herfindahl": stats.herfindahl(expected),
        "bands": [{"band": b + 1, "from": bounds[b], "to": bounds[b + 1], "applicants": int(current[b]),
                   "share": _share(current[b], total), "baseline_share": _share(expected[b], base_total)}
                  for b in range(width)],
    }
    predictors = {}
    for j, p in enumerate(card.predictors):
        entry = pop["predictors"][p.name]
        now, then = cells[j].astype(float), np.asarray(entry["applicants"], dtype=float)
        points = [*p.points, p.neutral]
        value = stats.psi(then, now)
        m, m0 = now.sum(), then.sum()
        predictors[p.name] = {
            "psi": value, "verdict": stats.psi_verdict(value),
            "points_shift": stats.points_shift(then, now, points),
            "unseen": {"share": _share(now[-1] - unreadable[j], m),
                       "baseline_share": _share(then[-1] - entry["unreadable"], m0)},
            "unreadable": {"share": _share(unreadable[j], m), "baseline_share": _share(entry["unreadable"], m0)},
            "missing": {"share": _share(missing[j], m), "baseline_share": _share(entry["missing"], m0)},
            "bins": [{"bin": label, "points": points[i], "applicants": int(now[i]), "share": _share(now[i], m),
                      "baseline_share": _share(then[i], m0)} for i, label in enumerate([*p.labels, UNSEEN])],
        }
    return score, predictors


def _performance(base: dict, goods, bads, unknown: int) -> dict:
    dev = base["parts"][base["outcomes"]]["performance"]
    r = stats.ranking(goods, bads)
    z, p = stats.auc_decline(r["auc"], r["auc_se"], dev["auc"], dev.get("auc_se"))
    out = {**r, "outcome_unknown": int(unknown), "auc_development": dev["auc"],
           "auc_development_ci": dev["auc_ci"], "auc_decline_z": z, "auc_decline_p": p}
    verdict = stats.p_verdict(p)
    if verdict is not None:
        out["verdict"] = verdict
    elif r["applicants"] == 0:
        out["empty"] = True
    else:
        out["note"] = "the AUC test needs at least two good and two bad applicants"
    return out


def _calibration(card, base: dict, edges, keys, goods, bads) -> dict:
    dev = base["parts"][base["outcomes"]]["bands"]
    band = stats.band_of(keys, edges)
    width = len(edges) + 1
    n = np.bincount(band, weights=goods + bads, minlength=width)
    d = np.bincount(band, weights=bads, minlength=width)
    with np.errstate(invalid="ignore", divide="ignore"):
        promised = np.bincount(band, weights=(goods + bads) * stats.scaled_bad_rate(keys, card.scaling),
                               minlength=width) / n
        rate = d / n
    n0, d0 = np.asarray(dev["applicants"], dtype=float), np.asarray(dev["bads"], dtype=float)
    # Jeffreys' posterior mean: a development band without bads still expects some.
    earlier = np.where(n0 > 0, (d0 + 0.5) / (n0 + 1.0), np.nan)
    lo, hi = stats.jeffreys_interval(d, n)
    j_scaled, b_scaled = stats.jeffreys(d, n, promised), stats.binomial(d, n, promised)
    usable = n0 > 0
    j_dev = np.full(width, np.nan)
    b_dev = np.full(width, np.nan)
    j_dev[usable] = stats.jeffreys(d[usable], n[usable], earlier[usable])
    b_dev[usable] = stats.binomial(d[usable], n[usable], earlier[usable])
    bounds = [None, *edges, None]
    rows = []
    for b in range(width):
        row = {"band": b + 1, "from": bounds[b], "to": bounds[b + 1], "applicants": int(n[b]), "bads": int(d[b]),
               "bad_rate": rate[b], "bad_rate_ci": [lo[b], hi[b]], "expected_bad_rate": promised[b],
               "baseline_bad_rate": earlier[b], "jeffreys_p": j_scaled[b], "binomial_p": b_scaled[b],
               "jeffreys_p_vs_baseline": j_dev[b], "binomial_p_vs_baseline": b_dev[b]}
        verdict = stats.p_verdict(None if np.isnan(j_scaled[b]) else float(j_scaled[b]))
        if verdict is not None:
            row["verdict"] = verdict
        rows.append(row)
    out = {"expected_from": "scaling", "bands": rows,
           "hosmer_lemeshow": stats.hosmer_lemeshow(d, n, np.nan_to_num(promised, nan=0.5)),
           "hosmer_lemeshow_vs_baseline": stats.hosmer_lemeshow(d[usable], n[usable], earlier[usable])}
    verdict = stats.worst(r.get("verdict") for r in rows)
    if verdict is None:
        out["empty"] = True
    else:
        out["verdict"] = verdict
    return out


def _empty(card, outcomes: bool) -> dict:
    """A period that holds nobody: the sections of any other, with no figures and no verdicts."""
    section = {"applicants": 0, "empty": True, "score": {"psi": None, "empty": True},
               "predictors": {name: {"psi": None, "empty": True} for name in card.names}}
    if outcomes:
        section["performance"] = {"auc": None, "auc_ci": [None, None], "auc_decline_p": None, "empty": True}
        section["calibration"] = {"bands": [], "empty": True}
    return section


def _section(card, base, edges, cells, unreadable, missing, keys, table, outcomes: bool) -> dict:
    n = table.sum(axis=1).astype(float)
    if n.sum() == 0:
        return _empty(card, outcomes)
    score, predictors = _population(card, base, edges, cells, unreadable, missing, keys, n)
    section = {"applicants": int(n.sum()), "score": score, "predictors": predictors}
    if outcomes:
        goods, bads = table[:, GOOD].astype(float), table[:, BAD].astype(float)
        section["performance"] = _performance(base, goods, bads, int(table[:, UNKNOWN].sum()))
        section["calibration"] = _calibration(card, base, edges, keys, goods, bads)
    return section


def _verdicts(value):
    if isinstance(value, dict):
        for k, v in value.items():
            if k == "verdict" and v is not None:
                yield v
            elif isinstance(v, (dict, list)):
                yield from _verdicts(v)
    elif isinstance(value, list):
        for v in value:
            yield from _verdicts(v)


def from_counts(card, bin_counts, score_counts, baseline, *, outcomes: bool | None = None, **about) -> dict:
    """The figures of monitor.json from count tables, however they were counted.

    `bin_counts`: columns predictor, bin (a label of the card's, or "Unseen"), applicants, optionally period,
    unreadable and missing. `score_counts`: columns score, applicants, optionally period and bad (1, 0, or
    empty where the outcome is not known). `outcomes`: whether performance is measured (by default: when
    any outcome is known). `about`: entries added as they are (the data's name, the period kind...).
    """
    base = _baseline_of(card, baseline)
    labels, cells, unreadable, missing, per_period = _read_counts(card, bin_counts, score_counts)
    if outcomes is None:
        outcomes = any(t[:, (GOOD, BAD)].sum() > 0 for _, t in per_period)
    edges = base["bands"]
    totals = _merged(per_period)
    result = {"format": FORMAT, "version": VERSION, **about,
              **_section(card, base, edges, [c.sum(axis=0) for c in cells], unreadable.sum(axis=0),
                         missing.sum(axis=0), *totals, outcomes)}
    result["periods"] = {label: _section(card, base, edges, [c[g] for c in cells], unreadable[g], missing[g],
                                         *per_period[g], outcomes) for g, label in enumerate(labels)}
    result["baseline"] = {"population": base["population"], "outcomes": base["outcomes"], "bands": edges,
                          **{k: base["parts"][base["outcomes"]]["performance"][k]
                             for k in ("auc", "auc_ci", "gini", "gini_ci", "ks", "ks_ci")}}
    result["thresholds"] = {"psi": list(stats.PSI_SHIFT), "p": list(stats.P_LEVELS)}
    result["verdict"] = stats.worst(_verdicts(result)) or stats.GREEN
    return _jsonable(result)


def _merged(per_period):
    keys, inverse = np.unique(np.concatenate([k for k, _ in per_period]), return_inverse=True)
    table = np.zeros((len(keys), 3), dtype=np.int64)
    np.add.at(table, inverse, np.vstack([t for _, t in per_period]))
    return keys, table


def tables(result: dict) -> dict[str, pd.DataFrame]:
    """monitor.json's figures as three frames, one row per scope ("all", then each period):
    "summary" (per scope), "predictors" (per scope and predictor) and "bands" (per scope and score band)."""
    scopes = [("all", result), *result["periods"].items()]
    summary, predictors, bands = [], [], []
    for scope, s in scopes:
        perf, cal = s.get("performance", {}), s.get("calibration", {})
        summary.append({
            "scope": scope, "applicants": s["applicants"], "score_psi": s["score"]["psi"],
            "score_verdict": s["score"].get("verdict"), "mean_score": s["score"].get("mean"),
            **{k: perf.get(k) for k in ("auc", "gini", "ks", "auc_decline_p")},
            "auc_low": perf.get("auc_ci", [None, None])[0], "auc_high": perf.get("auc_ci", [None, None])[1],
            "performance_verdict": perf.get("verdict"), "calibration_verdict": cal.get("verdict")})
        for name, p in s["predictors"].items():
            shares = {f"{k}_share": p.get(k, {}).get("share") for k in ("unseen", "unreadable", "missing")}
            predictors.append({"scope": scope, "predictor": name, "psi": p["psi"], "verdict": p.get("verdict"),
                               "points_shift": p.get("points_shift"), **shares})
        by_band = {b["band"]: b for b in cal.get("bands", [])}
        for b in s["score"].get("bands", []):
            c = by_band.get(b["band"], {})
            bands.append({"scope": scope, **b, **{k: c.get(k) for k in (
                "bads", "bad_rate", "expected_bad_rate", "baseline_bad_rate", "jeffreys_p", "binomial_p", "verdict")}})
    if not result.get("performance"):
        summary = [{k: v for k, v in row.items() if k in ("scope", "applicants", "score_psi", "score_verdict",
                                                            "mean_score")} for row in summary]
    return {"summary": pd.DataFrame(summary), "predictors": pd.DataFrame(predictors), "bands": pd.DataFrame(bands)}


# ---------------------------------------------------------------------------------------------
# The workflow


def check_fail_on(fail_on) -> None:
    if fail_on is not None and fail_on not in FAIL_ON:
        raise InputError(f"--fail-on must be {' or '.join(FAIL_ON)}, not {fail_on!r}")


def exit_code(result: dict, fail_on) -> int:
    """ALERT_EXIT when the worst verdict reaches `fail_on` (amber or red), else 0."""
    check_fail_on(fail_on)
    if fail_on is None:
        return 0
    return ALERT_EXIT if stats.VERDICTS.index(result["verdict"]) >= stats.VERDICTS.index(fail_on) else 0


def _card_of(card):
    if isinstance(card, Card):
        return card, None
    return Card.load(card), Path(card) if Path(card).is_dir() else Path(card).parent


def monitor(card, data, *, baseline=None, target=None, period_column=None, period=None, out=None, fail_on=None,
            batch_rows: int = BATCH_ROWS, progress=None) -> dict:
    """Monitor a card on a table of applicants (a pandas frame, or a CSV or Parquet file read in batches).

    `card`: a Card or its directory. `baseline`: the baseline dict (`baseline()`), or a labelled development
    table's path; by default the card's own. `target`: the outcome column, when outcomes are known (missing
    outcomes count as not known yet). `period_column` and `period` (month, quarter or year): figures per
    period as well. `out`: a directory that gets monitor.json and monitor.html. Returns monitor.json's data,
    with "exit_code": ALERT_EXIT when the worst verdict reaches `fail_on` (amber or red).
    """
    check_fail_on(fail_on)
    card, card_dir = _card_of(card)
    base = _baseline_of(card, baseline)
    targets = _check_out(out, data, card_dir) if out is not None else None
    if progress:
        progress.step(f"counting {_where(data)}")
    bins, scores = count(card, data, target=target, period_column=period_column, period=period,
                         batch_rows=batch_rows)
    if period_column is not None and period is None:
        period = "month"
    about = {"data": None if isinstance(data, pd.DataFrame) else str(data), "target": target,
             "period_column": period_column, "period": period}
    result = from_counts(card, bins, scores, base, outcomes=target is not None, **about)
    result["fail_on"] = fail_on
    result["exit_code"] = exit_code(result, fail_on)
    if targets is not None:
        if progress:
            progress.step(f"writing {targets[0]} and {targets[1]}")
        write(result, card, *targets)
    return result


def _check_out(out, data, card_dir) -> tuple[Path, Path]:
    folder = Path(out)
    if folder.exists() and not folder.is_dir():
        raise InputError(f"--out '{out}' is a file: name a directory for {JSON_NAME} and {HTML_NAME}")
    if card_dir is not None:
        inside, card = folder.resolve(), card_dir.resolve()
        if inside == card or card in inside.parents:
            raise InputError(f"--out '{out}' lies inside the card '{card_dir}': write the monitoring elsewhere")
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise InputError(f"cannot create '{out}': {e.strerror}") from None
    inputs = [] if isinstance(data, pd.DataFrame) else [data]
    return tuple(check_output(folder / name, inputs=inputs, card_dir=card_dir) for name in (JSON_NAME, HTML_NAME))


def write(result: dict, card, json_path, html_path) -> None:
    """monitor.json (strict JSON) and monitor.html, each written whole and moved into place."""
    with atomic_path(Path(json_path)) as tmp:
        tmp.write_text(json.dumps(result, allow_nan=False, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
    _monitor_report.write(html_path, result, card)
