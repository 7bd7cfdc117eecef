"""A card built where the applicants live: the heavy passes in the engine, the decisions in the driver.

The engine splits the rows by a seeded hash (or by a test column), profiles each predictor, counts the
training applicants per fine class and outcome exactly, and draws a seeded sample of training rows. The
driver bins every predictor on those counts with the in-memory binning itself, then fits the model and its
points on the sample. The engine then scores both parts with the card's own monitoring query: the baseline
and the test figures (AUC, Gini, KS, gains) come from its exact counts per bin and per total score.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

from .. import _assess, _binning, _quiet, _report
from .._build import _columns, check_test_column, test_flags
from .._card import describe_unseen
from .._errors import InputError
from .._files import check_card_out, staged_card
from .._progress import Progress
from .._scorecard import Scorecard, encode_target
from .._writers import write_frame
from ..monitoring import baseline as _baseline_of
from ..monitoring.counts import BAD, GOOD
from . import _passes
from ._engine import _kind, check_data, open_engine

# Training rows the model and its points are fitted on, at most (a seeded sample beyond): the logistic
# family's penalty and each bin's effect are settled long before, and the driver stays small.
FIT_ROWS = 300_000
# Test applicants whose scores are written to test_scores.csv and drawn in the report, at most.
SCORE_ROWS = 1_000_000


class _Counted(Scorecard):
    """The estimator with each predictor's bins fitted from the engine's counts; the rest of fit is its own."""

    counted_: tuple = ([], {})

    def _bin(self, X, y_bad, w, progress):
        binnings, dropped = self.counted_
        return list(binnings), dict(dropped), {}


def _outcome(engine, target) -> object:
    """The target's distinct values (three at most are read: two make it binary); missing outcomes refused."""
    values, missing = _passes.distinct(engine, target, limit=2)
    if missing:
        raise InputError(f"target column '{target}' has {missing} missing values")
    return values


def _split(engine, target, test_column, test_size, seed, hashed) -> str:
    """The SQL truth of a row being in the test part."""
    d = engine.d
    if test_column is not None:
        values, _ = _passes.distinct(engine, test_column, limit=20)
        if len(values) > 20:
            raise InputError(f"--test-column '{test_column}' holds many values: it must be true or false in every row")
        true = [v for v, t in zip(values, test_flags(pd.Series(values, dtype=object), test_column)) if t]
        if not true:
            return "FALSE"
        return f"COALESCE({d.ident(test_column)} IN ({', '.join(_passes.literal(d, v) for v in true)}), FALSE)"
    if not 0 < test_size < 1:
        raise InputError(f"--test-size must lie between 0 and 1, not {test_size}")
    return f"({engine.hash([str(seed), *hashed])} < {int(round(test_size * 1_000_000))})"


def _columns_of(engine, target, drop, ids, test_column) -> tuple[list[_passes.Column], dict, list[str]]:
    """The predictors and how each is read; dates are left out as in memory, other types refused."""
    types = dict(engine.columns())
    own = [c for c in (_passes.Y, _passes.TEST) if c in types]
    if own:
        raise InputError(f"column '{own[0]}' is named like one the build adds: rename it")
    check_test_column(list(types), test_column, target, ids, None)
    names = [p for p in _columns(pd.DataFrame(columns=list(types)), target, drop, ids) if p != test_column]
    if not names:
        raise InputError("the table has no predictor columns besides the target")
    columns, dropped = [], {}
    for name in names:
        kind = _kind(types[name])
        if kind in _binning.REFUSED:
            dropped[name] = _binning.REFUSED[kind]
        elif kind == "other":
            raise InputError(
                f"column '{name}' holds {types[name]} values, which the {engine.dialect} build cannot "
                f"bin: drop it (--drop '{name}')"
            )
        else:
            columns.append(_passes.Column(name, kind))
    if not columns:
        raise InputError(
            "the table has no predictor the build can bin: " + "; ".join(f"'{k}' {v}" for k, v in dropped.items())
        )
    return columns, dropped, names


def _bins(sc, columns, counted, progress) -> tuple[list, dict]:
    """Each predictor's bins from its counts, by the in-memory binning; left-out predictors with the reason."""
    binnings, dropped = [], {}
    hand, left_out, _ = _binning.hand_bins(sc.bins)
    for i, (col, c) in enumerate(zip(columns, counted)):
        progress.count("binning predictors", i, len(columns))
        if col.name in left_out:
            dropped[col.name] = f"left out by hand: {left_out[col.name]}"
            continue
        try:
            with _quiet.quiet():
                b = _binning.fit_predictor(
                    col.name,
                    c["value"],
                    c["y"].to_numpy(),
                    monotonic_trend=sc.monotonic_trend,
                    special_codes=sc.special_codes,
                    max_bins=sc.max_bins,
                    sample_weight=c["n"].to_numpy(),
                    splits=hand.get(col.name),
                    fine_edges=col.edges,
                )
            binnings.append(b)
        except _binning.LeftOut as e:
            dropped[col.name] = str(e)
    progress.count("binning predictors", len(columns), len(columns))
    return binnings, dropped


def _parts(card, table: pd.DataFrame, weighted: bool) -> dict:
    """Each part's counts as monitoring reads them: per predictor the applicants per bin then Unseen, the
    unreadable and missing values, and the distinct total scores with their goods, bads and unknowns."""
    dtype = float if weighted else np.int64
    out = {}
    for part, test in (("train", False), ("test", True)):
        mine = table[table[_passes.TEST].astype(bool) == test]
        n = mine["applicants"].to_numpy(dtype=dtype)
        cells, unreadable, missing = [], np.zeros(len(card.predictors), dtype), np.zeros(len(card.predictors), dtype)
        for j, p in enumerate(card.predictors):
            binned = [mine[f"c{j}_{c}"].to_numpy(dtype=dtype).sum() for c in range(len(p.labels))]
            cells.append(np.array([*binned, n.sum() - sum(binned)], dtype=dtype))
            missing[j] = mine[f"m{j}"].to_numpy(dtype=dtype).sum()
            if f"u{j}" in mine:
                unreadable[j] = mine[f"u{j}"].to_numpy(dtype=dtype).sum()
        keys, inverse = np.unique(mine["score"].to_numpy(dtype=float), return_inverse=True)
        per_score = np.zeros((len(keys), 3), dtype=dtype)
        np.add.at(per_score, (inverse, np.where(mine[_passes.Y].to_numpy(dtype=int) == 1, BAD, GOOD)), n)
        out[part] = (cells, unreadable, missing, keys, per_score)
    return out


def _baseline(card, parts: dict) -> dict:
    edges = None
    made = {}
    for part in ("train", "test"):
        made[part], edges = _baseline_of.part_from_counts(card, *parts[part], edges=edges)
    return _baseline_of._baseline_dict(edges, made, "train", "test")


def _assessment(sc, parts: dict) -> dict:
    """The test figures from the counts per total score: each distinct score stands for its applicants."""
    from .._assess import assess

    def cells(part):
        keys, table = parts[part][3], parts[part][4]
        y = np.repeat([0, 1], len(keys))
        w = np.concatenate([table[:, GOOD], table[:, BAD]]).astype(float)
        keep = w > 0
        return y[keep], np.tile(keys, 2)[keep], w[keep]

    y, s, w = cells("test")
    _, train_s, train_w = cells("train")
    own = f"{sc.card_.points_kind} card"
    scaling = sc.card_.scaling
    a = assess(
        y,
        {own: s},
        card=own,
        train_score=train_s,
        train_weights=train_w,
        weights=w,
        pdo=scaling["pdo"],
        target_score=scaling["target_score"],
        target_odds=scaling["target_odds"],
    )
    # The weights are counts of applicants: the figures of the applicants, not of the distinct scores.
    for row in [a, *a["challengers"]]:
        row["n"], row["bad"] = int(round(w.sum())), int(round(w[y == 1].sum()))
        row.pop("weight", None)
        row.pop("bad_weight", None)
    if a.get("psi"):
        a["psi"]["train"], a["psi"]["test"] = int(round(train_w.sum())), int(round(w.sum()))
    return a


def _unseen(card, parts: dict) -> dict:
    cells, unreadable = parts["test"][0], parts["test"][1]
    return {
        p.name: {"unseen": int(cells[j][-1] - unreadable[j]), "unreadable": int(unreadable[j])}
        for j, p in enumerate(card.predictors)
    }


def _test_scores(engine, sc, data_view, ids, target, n_test, seed) -> pd.DataFrame:
    """The test part's scores by the card's scoring query: all of them, or a seeded sample beyond SCORE_ROWS."""
    from ..sql import to_sql

    d = engine.d
    keep = f"{_passes.TEST}"
    if n_test > SCORE_ROWS:
        names = [d.ident(p.name) for p in sc.card_.predictors]
        keep += f" AND {engine.hash([str(seed + 2), *names, _passes.Y])} < {int(1_000_000 * SCORE_ROWS / n_test)}"
    test_view = engine.view("test", f"SELECT * FROM {data_view} WHERE {keep}")
    scored = to_sql(sc.card_, dialect=engine.dialect, table=test_view, ids=[*ids, _passes.Y])
    frame = engine.query(f"SELECT {', '.join(d.ident(c) for c in [*ids, _passes.Y, 'score'])} FROM ({scored}) AS s")
    return frame.rename(columns={_passes.Y: target})


def build_in(
    engine: str,
    data,
    out,
    *,
    target: str,
    table: str | None = None,
    test_column: str | None = None,
    params: dict | None = None,
    test_size: float = 0.3,
    drop=(),
    ids=(),
    strict: bool = False,
    session=None,
    fit_rows: int = FIT_ROWS,
    progress: Progress | None = None,
) -> dict:
    """Build a card from applicants in DuckDB or Spark and write its card directory to `out`, as
    `tessaly build` does in memory.

    `engine`: "duckdb" or "spark". `data`: a CSV or Parquet file, or a folder or glob of Parquet files; with
    `table`, the database that holds that table (DuckDB: the database file; Spark: a database of the
    catalog, or None). `test_column`: a column true for the test part; without it a seeded hash of each row
    puts a `test_size` share in the test part. `params`: the estimator's parameters (`Scorecard`'s).
    `session`: a SparkSession to run in (default: the active one, or a new one that is stopped at the end).
    `fit_rows`: training applicants the model and its points are fitted on, at most (a seeded sample beyond).
    Returns what the in-memory build returns: out, scorecard, metrics, report, unseen.
    """
    progress = progress or Progress(quiet=True)
    check_card_out(out)
    check_data(data, table)
    drop, ids = list(drop), list(ids)
    sc = _Counted(**(params or {}))
    sc._check_params()
    eng = open_engine(engine, data, table, session)
    try:
        return _build(eng, sc, out, target, test_column, test_size, drop, ids, strict, fit_rows, progress)
    finally:
        eng.close()


def _build(eng, sc, out, target, test_column, test_size, drop, ids, strict, fit_rows, progress) -> dict:
    progress.step(f"reading the applicants in {eng.dialect}")
    columns, left_out, names = _columns_of(eng, target, drop, ids, test_column)
    values = _outcome(eng, target)
    _, bad_value = encode_target(pd.Series(values, dtype=object, name=target), sc.bad)
    data_view = _data_view(eng, sc, columns, names, target, ids, test_column, test_size, bad_value)
    n_train = _bin_on_counts(eng, sc, data_view, columns, left_out, progress)
    progress.step("drawing the sample the model is fitted on")
    rows = _passes.sample(eng, data_view, columns, fit_rows, n_train, sc.seed)
    y_sample = rows[_passes.Y].to_numpy(dtype=int)
    if y_sample.min() == y_sample.max():
        raise InputError("the training part has applicants of one outcome only")
    # The sample's outcomes as the data holds them: the card keeps the target's own values.
    good = next(v for v in values if v != bad_value)
    y_named = pd.Series(np.array([good, bad_value], dtype=object)[y_sample], name=target)
    with staged_card(out) as stage:
        sc.fit(rows[[c.name for c in columns]], y_named, progress=progress)
        parts, unseen = _count_parts(eng, sc, data_view, strict, progress)
        progress.step("saving the card")
        sc.save_into(stage)
        n_test = int(parts["test"][4].sum())
        test_scores = _test_scores(eng, sc, data_view, ids, target, n_test, sc.seed)
        write_frame(test_scores, stage / "test_scores.csv")
        progress.step("writing the report")
        metrics = _assessment(sc, parts)
        note = (
            f"Built in {eng.dialect}: bins from exact counts of {n_train:,} training applicants; the model and "
            f"its points fitted on {len(rows):,} of them{' (a seeded sample)' if len(rows) < n_train else ''}; "
            f"every test figure from exact counts of all {n_test:,} test applicants"
            + (
                f"; the score distribution and test_scores.csv from a seeded sample of {len(test_scores):,}."
                if len(test_scores) < n_test
                else "."
            )
        )
        _write_report(stage, sc, metrics, test_scores.rename(columns={target: "bad"}), unseen, note)
    out = Path(out)
    return {
        "out": out,
        "scorecard": sc,
        "metrics": metrics,
        "report": out / "report.html",
        "unseen": unseen,
        "note": note,
        "test_rows": n_test,
        "train_rows": n_train,
        "fit_rows": len(rows),
    }


def _data_view(eng, sc, columns, names, target, ids, test_column, test_size, bad_value) -> str:
    """The applicants as the passes read them: clean predictors, the outcome as 1/0, and the part of each row."""
    d = eng.d
    y = f"CASE WHEN {d.ident(target)} = {_passes.literal(d, bad_value)} THEN 1 ELSE 0 END"
    test = _split(eng, target, test_column, test_size, sc.seed, [d.ident(c) for c in [*names, target]])
    kept = [_passes.clean(eng, c) for c in columns]
    others = [d.ident(c) for c in [target, *ids] if c not in {col.name for col in columns}]
    return eng.view(
        "data", f"SELECT {', '.join(kept + others)}, {y} AS {_passes.Y}, {test} AS {_passes.TEST} FROM {eng.source}"
    )


def _bin_on_counts(eng, sc, data_view, columns, left_out, progress) -> int:
    """Every predictor's bins from the engine's exact counts, kept for the estimator; the training rows."""
    progress.step("profiling the predictors")
    prof = _passes.profile(eng, data_view, columns)
    n_train = int(prof["n"])
    if n_train == 0:
        raise InputError("the training part has no applicants")
    _passes.fine_classes(columns, prof)
    progress.step(f"counting {n_train:,} training applicants per fine class")
    binnings, dropped = _bins(sc, columns, _passes.counts(eng, data_view, columns), progress)
    sc.counted_ = (binnings, {**left_out, **dropped})
    return n_train


def _count_parts(eng, sc, data_view, strict, progress) -> tuple[dict, dict]:
    """Both parts counted per bin and total score by the card's own binning and points, in one pass; the
    baseline set from them."""
    from ..sql.monitoring import to_bin_sums_sql

    progress.step(f"counting both parts by the card in {eng.dialect}")
    query = to_bin_sums_sql(sc.card_, dialect=eng.dialect, table=data_view, by=[_passes.TEST, _passes.Y])
    counts = eng.query(query)
    if not counts[_passes.TEST].astype(bool).any():
        raise InputError("the test part has no applicants")
    parts = _parts(sc.card_, counts, weighted=False)
    sc.card_.baseline = _baseline(sc.card_, parts)
    unseen = _unseen(sc.card_, parts)
    faults = describe_unseen(unseen)
    if strict and faults:
        raise InputError(f"--strict: the test split holds values the card has never seen: {', '.join(faults)}")
    return parts, unseen


def _write_report(stage, sc, metrics, test_scores, unseen, note) -> None:
    values = {b.name: {"build_unreadable": 0, **unseen.get(b.name, {})} for b in sc.binnings_}
    _assess.write_page(sc, stage / "report.html", metrics, test_scores, values, note=note)
    _report.write_metrics(stage / "metrics.json", metrics)
