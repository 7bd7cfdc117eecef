"""The heavy passes of a build as SQL, one text for every engine, and their small results read back.

Each pass scans the applicants once and returns a frame the driver holds easily: the target's and the test
column's distinct values, a profile of each predictor (range, distinct values, quantiles), the exact counts
per fine class or category and outcome, and a seeded sample of rows. The monitoring query's counts and the
scoring query come from the SQL export.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from .._errors import InputError

# Numerical predictors with at most this many distinct values keep each value as its own fine class, so
# their bins are exactly those of a build in memory; the others get quantile fine classes.
EXACT_VALUES = 1000
FINE_CLASSES = 200
# Categories beyond this are not a predictor but an identifier or free text.
MAX_CATEGORIES = 100_000
# grouping_id packs one bit per grouping column into a BIGINT.
GROUPED = 60
Y, TEST, W = "tessaly_y", "tessaly_test", "tessaly_w"
MISSING_KEY, SPECIAL_KEY = -1, -2


@dataclass
class Column:
    """One predictor as the passes see it."""

    name: str
    kind: str  # numerical or categorical
    codes: list = field(default_factory=list)  # numerical special codes
    low: float = float("nan")
    edges: np.ndarray | None = None  # quantile fine classes; None: each value its own

    def key(self, x: str, num) -> str:
        """The fine class of a value: the value itself, or the count of edges at or below it (missing -1,
        the k-th special code -2 - k)."""
        if self.kind != "numerical" or self.edges is None:
            return x
        whens = "".join(f"WHEN {x} = {num(c)} THEN {SPECIAL_KEY - k} " for k, c in enumerate(self.codes))
        return f"CASE WHEN {x} IS NULL THEN {MISSING_KEY} {whens}ELSE {_search(x, self.edges, 0, len(self.edges), num)} END"

    def values(self, keys: pd.Series) -> pd.Series:
        """A value of each fine class: the class's lowest edge, the lowest value, a special code or missing."""
        if self.kind != "numerical":
            return keys.astype(object).where(keys.notna(), None)
        if self.edges is None:
            return pd.to_numeric(keys, errors="coerce").astype(float)
        k = keys.to_numpy(dtype=np.int64)
        lower = np.concatenate([[self.low], self.edges])
        out = lower[np.clip(k, 0, len(self.edges))]
        out[k == MISSING_KEY] = np.nan
        for i, c in enumerate(self.codes):
            out[k == SPECIAL_KEY - i] = c
        return pd.Series(out)


def _search(x: str, edges: np.ndarray, lo: int, hi: int, num) -> str:
    """How many edges lie at or below x, found in a few comparisons rather than one per edge."""
    if lo == hi:
        return str(lo)
    mid = (lo + hi) // 2
    return (
        f"CASE WHEN {x} < {num(edges[mid])} THEN {_search(x, edges, lo, mid, num)} "
        f"ELSE {_search(x, edges, mid + 1, hi, num)} END"
    )


def literal(d, value) -> str:
    """A value as the engine returned it, written back as SQL."""
    if isinstance(value, (bool, np.bool_)):
        return "TRUE" if value else "FALSE"
    if isinstance(value, (int, np.integer)):
        return str(int(value))
    if isinstance(value, (float, np.floating)):
        return d.num(float(value))
    return d.text(str(value))


def distinct(engine, column: str, limit: int = 10) -> tuple[list, int]:
    """Up to `limit` distinct present values of a column, and how many rows miss it."""
    d = engine.d
    c = d.ident(column)
    values = engine.query(f"SELECT DISTINCT {c} AS v FROM {engine.source} WHERE {c} IS NOT NULL LIMIT {limit + 1}")
    missing = engine.query(f"SELECT count(*) AS n FROM {engine.source} WHERE {c} IS NULL")
    return list(values["v"]), int(missing["n"].iloc[0])


def clean(engine, column: Column, alias: str | None = None) -> str:
    """A numerical column as doubles, NaN read as missing (as pandas reads it); a categorical one as it is."""
    d = engine.d
    c = d.ident(column.name)
    a = d.ident(alias or column.name)
    if column.kind != "numerical":
        return f"{c} AS {a}"
    x = f"CAST({c} AS DOUBLE)"
    return f"CASE WHEN isnan({x}) THEN NULL ELSE {x} END AS {a}"


def check_weights(engine, view: str, name: str) -> None:
    """The weights as the in-memory build takes them: every one present, finite and 0 or more, one above 0."""
    from ..sql.layers import DBL_MAX

    w = W
    row = engine.query(
        f"SELECT sum(CASE WHEN {w} IS NULL THEN 1 ELSE 0 END) AS missing, "
        f"sum(CASE WHEN {w} < 0 OR {w} > {engine.d.num(DBL_MAX)} THEN 1 ELSE 0 END) AS wrong, "
        f"sum(CASE WHEN {w} > 0 THEN 1 ELSE 0 END) AS counting FROM {view}"
    ).iloc[0]
    if row["missing"]:
        raise InputError(
            f"--weight column '{name}' has {int(row['missing'])} missing values: give every applicant a weight"
        )
    if row["wrong"]:
        raise InputError(
            f"--weight column '{name}' has negative or infinite values: weights are counts of applicants, 0 or more"
        )
    if not row["counting"]:
        raise InputError(f"--weight column '{name}' is zero for every applicant: at least one must count")


def profile(engine, view: str, columns: list[Column]) -> dict:
    """Per predictor of the training part: distinct values (approximately), and for numerical ones the range
    and the quantiles that make fine classes. One pass."""
    d = engine.d
    qs = [k / FINE_CLASSES for k in range(1, FINE_CLASSES)]
    parts = ["count(*) AS n"]
    for j, col in enumerate(columns):
        c = d.ident(col.name)
        parts.append(f"approx_count_distinct({c}) AS d{j}")
        if col.kind == "numerical":
            regular = (
                c
                if not col.codes
                else f"CASE WHEN {c} IN ({', '.join(d.num(v) for v in col.codes)}) THEN NULL ELSE {c} END"
            )
            parts += [f"min({c}) AS lo{j}", f"max({c}) AS hi{j}", f"{engine.quantiles(regular, qs)} AS q{j}"]
    row = engine.query(f"SELECT {', '.join(parts)} FROM {view} WHERE NOT {TEST}").iloc[0]
    return row.to_dict()


def fine_classes(columns: list[Column], prof: dict) -> None:
    """Each numerical predictor's fine classes from its profile; infinite values refused as in memory."""
    from .._bins import LARGEST

    for j, col in enumerate(columns):
        if col.kind != "numerical":
            if prof[f"d{j}"] > MAX_CATEGORIES:
                raise InputError(
                    f"column '{col.name}' has about {prof[f'd{j}']:,} distinct values, too many "
                    f"categories to bin: drop it (--drop '{col.name}')"
                )
            continue
        lo, hi = prof[f"lo{j}"], prof[f"hi{j}"]
        if pd.notna(lo) and (not np.isfinite([lo, hi]).all() or max(abs(lo), abs(hi)) > LARGEST):
            raise InputError(
                f"predictor '{col.name}' has infinite values or values beyond ±{LARGEST:g}; "
                "replace them or drop the column"
            )
        col.low = float(lo) if pd.notna(lo) else float("nan")
        q = prof[f"q{j}"]
        if prof[f"d{j}"] > EXACT_VALUES and q is not None and len(q):
            edges = np.unique(np.asarray([v for v in q if v is not None], dtype=float))
            col.edges = edges[np.isfinite(edges) & (edges > col.low)]


def counts(engine, view: str, columns: list[Column], weighted: bool = False, test: bool = False) -> list[pd.DataFrame]:
    """Per predictor, the training part's (or with `test`, the test part's) applicants (or their weights) per fine
    class and outcome: columns value, y, n. One pass per GROUPED predictors."""
    out = []
    for start in range(0, len(columns), GROUPED):
        out += _counts(engine, view, columns[start : start + GROUPED], weighted, test)
    return out


def _counts(engine, view: str, columns: list[Column], weighted: bool, test: bool = False) -> list[pd.DataFrame]:
    d = engine.d
    k = len(columns)
    keys = [f"k{j}" for j in range(k)]
    inner = ", ".join(f"{col.key(d.ident(col.name), d.num)} AS {keys[j]}" for j, col in enumerate(columns))
    sets = ", ".join(f"({Y}, {key})" for key in keys)
    n, w = ("sum(w)", f", {W} AS w") if weighted else ("count(*)", "")
    sql = (
        f"SELECT grouping_id({Y}, {', '.join(keys)}) AS g, {', '.join(keys)}, {Y} AS y, {n} AS n "
        f"FROM (SELECT {inner}, {Y}{w} FROM {view} WHERE {'' if test else 'NOT '}{TEST}) AS t GROUP BY GROUPING SETS ({sets})"
    )
    frame = engine.query(sql)
    g = frame["g"].to_numpy(dtype=np.int64)
    out = []
    for j, col in enumerate(columns):
        mine = frame[g == (1 << k) - 1 - (1 << (k - 1 - j))]
        out.append(
            pd.DataFrame(
                {
                    "value": col.values(mine[keys[j]].reset_index(drop=True)),
                    "y": mine["y"].to_numpy(dtype=np.int64),
                    "n": mine["n"].to_numpy(dtype=float),
                }
            )
        )
    return out


def sample(
    engine, view: str, columns: list[Column], rows: int, n_train: int, seed: int, weighted: bool = False
) -> pd.DataFrame:
    """A seeded sample of about `rows` training applicants (each outcome alike), with their outcome (and weight)."""
    d = engine.d
    names = [d.ident(c.name) for c in columns]
    keep = ""
    if rows < n_train:
        keep = f" AND {engine.hash([str(seed + 1), *names, Y])} < {int(1_000_000 * rows / n_train)}"
    return engine.query(f"SELECT {', '.join(names)}, {Y}{f', {W}' * weighted} FROM {view} WHERE NOT {TEST}{keep}")
