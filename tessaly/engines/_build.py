"""A card built where the applicants live: the heavy passes in the engine, the decisions in the driver.

The engine splits the rows by a seeded hash of each row's values, the same in every engine and whatever the rows'
order (or by a test column), profiles each predictor, counts the
training applicants per fine class and outcome exactly, and draws a seeded sample of training rows. The
driver bins every predictor on those counts with the in-memory binning itself, then fits the model and its
points on the sample (with the weights, where a weight column is given). The engine then counts both parts
by the card's own bins and points in one aggregate (`_test_counts`): the baseline and the test figures (AUC, Gini,
KS, gains) come from its exact counts per bin and per total score. The tree benchmark learns from the model's
sample and is compared with the card on a sample of the test applicants.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from .. import _assess, _benchmark, _binning, _quiet, _report
from .._build import check_test_column, predictor_columns, split_record, test_flags
from .._crosses import hand_crosses
from .._errors import InputError
from .._files import check_card_out, staged_card
from .._params import BENCHMARK
from .._progress import Progress
from .._scorecard import Scorecard, encode_target
from .._writers import write_frame
from ..rejects import engine as _rejects
from . import _passes, _test_counts
from ._engine import _kind, check_data, open_engine

# Training rows the model and its points are fitted on, at most (a seeded sample beyond): the logistic
# family's penalty and each bin's effect are settled long before, and the driver stays small.
FIT_ROWS = 300_000
# Test applicants whose scores are written to test_scores.csv and drawn in the report, at most.
SCORE_ROWS = 1_000_000
# Test applicants the benchmark is compared with the card on, at most: their predictors are held in the driver,
# and the difference of two AUCs is settled to about 0.002 long before.
BENCHMARK_ROWS = 200_000


class _Counted(Scorecard):
    """The estimator with each predictor's bins fitted from the engine's counts; the rest of fit is its own."""

    counted_: tuple = ([], {})

    optimal_counted_: dict = {}

    def _bin(self, X, y_bad, w, progress):
        binnings, dropped = self.counted_
        return list(binnings), dict(dropped), dict(self.optimal_counted_)

    def __sklearn_clone__(self):  # the accepts-only card of reject inference bins on the same counts
        twin = super().__sklearn_clone__()
        twin.counted_ = self.counted_
        return twin


def _outcome(engine, target) -> list:
    """The target's distinct values (three at most are read: two make it binary); missing outcomes refused."""
    values, missing = _passes.distinct(engine, target, limit=2)
    if missing:
        raise InputError(f"target column '{target}' has {missing} missing values")
    return values


# The row hash the split is drawn by, as the card records it: one every engine computes alike. A card without it
# was split by the engine's own hash function, which only that engine reproduces.
ROW_HASH = "md5 of values"


def test_flag_sql(engine, test_column, test_size, seed, hashed, row_hash=ROW_HASH) -> str:
    """The SQL truth of a row being in the test part; `hashed`: the (name, SQL type) of the columns whose values
    place a row, without a test column; `row_hash`: the hash as a card records it (None: the engine's own)."""
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
    if row_hash == ROW_HASH:
        hash_of = engine.row_hash(hashed, str(seed))
    elif row_hash is None:
        hash_of = engine.hash([str(seed), *(d.ident(name) for name, _ in hashed)])
    else:
        raise InputError(
            f"the card records a split by a hash this tessaly does not know ({row_hash!r}): upgrade tessaly"
        )
    return f"({hash_of} < {int(round(test_size * 1_000_000))})"


def _split_kept(engine, sc, job, names) -> dict:
    """How `test_flag_sql` chose the test part, as the card keeps it."""
    record = split_record(
        test_column=job.test_column,
        seed=sc.seed,
        test_size=job.test_size,
        engine=engine.dialect,
        table=job.table,
        parts=[*names, job.target],
    )
    return record if job.test_column is not None else {**record, "hash": ROW_HASH}


def _columns_of(engine, job) -> tuple[list[_passes.Column], dict, list[str]]:
    """The predictors and how each is read; dates are left out as in memory, other types refused."""
    types = dict(engine.columns())
    own = [c for c in (_passes.Y, _passes.TEST, _passes.W) if c in types]
    if own:
        raise InputError(f"column '{own[0]}' is named like one the build adds: rename it")
    check_test_column(list(types), job.test_column, job.target, job.ids, job.weight)
    frame = pd.DataFrame(columns=list(types))
    names = [p for p in predictor_columns(frame, job.target, job.drop, job.ids, job.weight) if p != job.test_column]
    if job.weight is not None and _kind(types[job.weight]) != "numerical":
        raise InputError(
            f"--weight column '{job.weight}' holds {types[job.weight]} values, not numbers: choose a column of numbers"
        )
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


def _bins(sc, columns, counted, progress) -> tuple[list, dict, dict]:
    """Each predictor's bins from its counts, by the in-memory binning; left-out predictors with the reason; and
    the optimal bins of those binned by hand (what the editor goes back to)."""
    binnings, dropped, optimal = [], {}, {}
    hand, left_out, _ = _binning.hand_bins(sc.bins)
    for i, (col, c) in enumerate(zip(columns, counted)):
        progress.count("binning predictors", i, len(columns))
        if col.name in left_out:
            dropped[col.name] = f"left out by hand: {left_out[col.name]}"
            continue
        try:
            for splits in [hand.get(col.name), None][: 1 + (col.name in hand)]:
                with _quiet.quiet():
                    b = _binning.fit_predictor(
                        col.name,
                        c["value"],
                        c["y"].to_numpy(),
                        monotonic_trend=sc.monotonic_trend,
                        special_codes=sc.special_codes,
                        max_bins=sc.max_bins,
                        sample_weight=c["n"].to_numpy(),
                        splits=splits,
                        fine_edges=col.edges,
                    )
                if splits is None and col.name in hand:
                    optimal[col.name] = b
                else:
                    binnings.append(b)
        except _binning.LeftOut as e:
            dropped[col.name] = str(e)
    progress.count("binning predictors", len(columns), len(columns))
    return binnings, dropped, optimal


def _seeded(engine, sc, rows: int, n_test: int) -> str:
    """The SQL truth of a test row being in a seeded sample of about `rows` of the `n_test` (every one if fewer);
    a smaller sample lies inside a larger one."""
    if n_test <= rows:
        return _passes.TEST
    hashed = [engine.d.ident(p.name) for p in sc.card_.predictors]
    return (
        f"{_passes.TEST} AND {engine.hash([str(sc.seed + 2), *hashed, _passes.Y])} < {int(1_000_000 * rows / n_test)}"
    )


def _test_scores(engine, sc, data_view, job, n_test) -> pd.DataFrame:
    """The test part's scores by the card's scoring query: all of them, or a seeded sample beyond SCORE_ROWS."""
    from ..sql import to_sql

    d = engine.d
    test_view = engine.view("test", f"SELECT * FROM {data_view} WHERE {_seeded(engine, sc, SCORE_ROWS, n_test)}")
    scored = to_sql(sc.card_, dialect=engine.dialect, table=test_view, ids=[*job.ids, _passes.Y])
    frame = engine.query(f"SELECT {', '.join(d.ident(c) for c in [*job.ids, _passes.Y, 'score'])} FROM ({scored}) AS s")
    return frame.rename(columns={_passes.Y: job.target})


def _test_rows(engine, sc, data_view, job, n_test, names=None) -> pd.DataFrame:
    """The predictors `names` (default: the card's), outcomes (and weights) of at most BENCHMARK_ROWS test
    applicants, scored by the card: the rows the benchmark is compared with the card on, a sample inside that of
    test_scores.csv."""
    names = names if names is not None else [p.name for p in sc.card_.predictors]
    pulled = [_passes.Y, *names, *([_passes.W] if job.weight else [])]
    frame = engine.query(
        f"SELECT {', '.join(engine.d.ident(c) for c in pulled)} FROM {data_view} "
        f"WHERE {_seeded(engine, sc, BENCHMARK_ROWS, n_test)}"
    )
    frame["score"] = sc.card_.total(frame[[p.name for p in sc.card_.predictors]])
    return frame.rename(columns={_passes.Y: job.target})


def _benchmark_of(eng, sc, data_view, job, fit, n_train, n_test, progress):
    """The benchmark trained on the model's own sample of training rows (capped as in memory), its SHAP rows
    from the test applicants it is compared on; with those rows. (None, None) without one."""
    if job.family is None:
        return None, None
    X, y, w = fit
    # The test rows hold every predictor the sample holds: the benchmark also learns from those the card leaves out.
    names = list(X.columns)
    test_scores = _test_rows(eng, sc, data_view, job, n_test, names)
    test_w = test_scores[_passes.W].to_numpy(dtype=float) if job.weight is not None else None
    bench = _benchmark.train(
        sc, job.family, X, y, w, shap_data=test_scores[names], shap_weight=test_w, progress=progress
    )
    bench.of = n_train  # the sample's rows are drawn from all of them
    return bench, test_scores


@dataclass
class _Job:
    """What the build was asked for, beyond the engine and the estimator."""

    target: str
    test_column: str | None
    test_size: float
    drop: list
    ids: list
    weight: str | None
    strict: bool
    fit_rows: int
    family: str | None  # the benchmark's
    table: str | None = None
    notes: tuple = ()  # what the report says of the rejects as read
    rejects: tuple = (None, None)  # the rejects' table and the column of their known outcomes


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
    weight: str | None = None,
    strict: bool = False,
    benchmark: str = str(BENCHMARK.default),
    session=None,
    fit_rows: int = FIT_ROWS,
    rejects=None,
    rejected: str | None = None,
    reject_outcome: str | None = None,
    progress: Progress | None = None,
) -> dict:
    """Build a card from applicants in DuckDB or Spark and write its card directory to `out`, as
    `tessaly build` does in memory.

    `engine`: "duckdb" or "spark". `data`: a CSV or Parquet file, or a folder or glob of Parquet files; with
    `table`, the database that holds that table (DuckDB: the database file; Spark: a database of the
    catalog, or None). `test_column`: a column true for the test part; without it a seeded hash of each row
    puts a `test_size` share in the test part. `params`: the estimator's parameters (`Scorecard`'s).
    `weight`: a column of sample weights (how many applicants each row stands for), summed in every count.
    `benchmark`: the tree family fitted beside the card on its sample ("none": none).
    `session`: a SparkSession to run in (default: the active one, or a new one that is stopped at the end).
    `fit_rows`: training applicants the model and its points are fitted on, at most (a seeded sample beyond).
    `rejects`: a second table of rejected applicants, read by the same engine, for reject inference.
    Returns what the in-memory build returns: out, scorecard, metrics, report, unseen.
    """
    progress = progress or Progress(quiet=True)
    check_card_out(out)
    check_data(data, table)
    job = _Job(target, test_column, test_size, list(drop), list(ids), weight, strict, fit_rows, None, table)
    job.family = _benchmark.check(benchmark)
    job.rejects = (rejects, reject_outcome)
    _rejects.check_given(rejected)
    params = dict(params or {})
    if params.get("crosses", "none") != "none" or hand_crosses(params.get("bins"))[0]:
        raise InputError(
            "cross characteristics (--crosses) are not built with --engine yet: leave the option out, "
            "or build in memory"
        )
    sc = _Counted(**{**params, "crosses": "none"})
    sc._check_params()
    if sc.protected:
        raise InputError(
            "--protected is measured by builds in memory: build without --engine, or measure the live "
            "applicants with 'tessaly monitor CARD DATA --protected COLUMN'"
        )
    eng = open_engine(engine, data, table, session)
    try:
        return _build(eng, sc, out, job, progress)
    finally:
        eng.close()


def _build(eng, sc, out, job: _Job, progress) -> dict:
    progress.step(f"reading the applicants in {eng.dialect}")
    columns, left_out, names = _columns_of(eng, job)
    values = _outcome(eng, job.target)
    _, bad_value = encode_target(pd.Series(values, dtype=object, name=job.target), sc.bad)
    data_view = _data_view(eng, sc, columns, names, job, bad_value)
    n_train, counted = _bin_on_counts(eng, sc, data_view, columns, left_out, job, progress)
    progress.step("drawing the sample the model is fitted on")
    rows = _passes.sample(eng, data_view, columns, job.fit_rows, n_train, sc.seed, weighted=job.weight is not None)
    y_sample = rows[_passes.Y].to_numpy(dtype=int)
    if y_sample.min() == y_sample.max():
        raise InputError("the training part has applicants of one outcome only")
    # The sample's outcomes as the data holds them: the card keeps the target's own values.
    good = next(v for v in values if v != bad_value)
    y_named = pd.Series(np.array([good, bad_value], dtype=object)[y_sample], name=job.target)
    w_fit = rows[_passes.W].to_numpy(dtype=float) if job.weight is not None else None
    X_fit = rows[[c.name for c in columns]]
    with staged_card(out) as stage:
        rejects = None if job.rejects[0] is None else _rejects.sample(eng, sc, job, columns, len(rows) / n_train)
        sc.fit(X_fit, y_named, sample_weight=w_fit, progress=progress, rejects=rejects)
        weight = _passes.W if job.weight is not None else None
        doubles = {c.name for c in columns if c.kind == "numerical"}  # cleaned so by the view
        parts, unseen = _test_counts.count_parts(eng, sc.card_, data_view, weight, doubles, job.strict, progress)
        if rejects is not None:
            _rejects.through_the_door(sc.card_, sc.rejects_, y_named)
        progress.step("saving the card")
        sc.save_into(stage, split=_split_kept(eng, sc, job, names))
        n_test = int(parts["test"].rows.sum())
        progress.step("counting the test applicants per fine class")
        _save_fine(eng, stage, sc, data_view, columns, counted, job, {"train": n_train, "test": n_test})
        test_scores = _test_scores(eng, sc, data_view, job, n_test)
        write_frame(test_scores, stage / "test_scores.csv")
        bench, test_rows = _benchmark_of(eng, sc, data_view, job, (X_fit, y_named, w_fit), n_train, n_test, progress)
        _benchmark.save(bench, stage)
        progress.step("writing the report")
        metrics = _test_counts.assessment(sc, parts)
        _test_counts.add_benchmark(sc, metrics, bench, test_rows, job)
        if rejects is not None:
            pulled = (
                test_rows
                if test_rows is not None
                else _test_rows(eng, sc, data_view, job, n_test, [p.name for p in sc.card_.predictors])
            )
            metrics["rejects"] = _rejects.chapter_of(sc, pulled, job)
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
        shown = test_scores[["score", job.target]].rename(columns={job.target: "bad"})
        if test_rows is not None and len(test_rows) < n_test:
            note = note[:-1] + f"; the benchmark compared with the card on a seeded sample of {len(test_rows):,}."
        _write_report(stage, sc, metrics, shown, unseen, note)
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


def _data_view(eng, sc, columns, names, job, bad_value) -> str:
    """The applicants as the passes read them: clean predictors, the outcome as 1/0, the part of each row and
    the weight; the weights checked as the in-memory build checks them."""
    d = eng.d
    y = f"CASE WHEN {d.ident(job.target)} = {_passes.literal(d, bad_value)} THEN 1 ELSE 0 END"
    types = dict(eng.columns())
    test = test_flag_sql(eng, job.test_column, job.test_size, sc.seed, [(c, types[c]) for c in [*names, job.target]])
    kept = [_passes.clean(eng, c) for c in columns]
    others = [d.ident(c) for c in [job.target, *job.ids] if c not in {col.name for col in columns}]
    if job.weight is not None:
        others.append(_passes.clean(eng, _passes.Column(job.weight, "numerical"), _passes.W))
    view = eng.view(
        "data",
        f"SELECT {', '.join(kept + others)}, {y} AS {_passes.Y}, {test} AS {_passes.TEST} FROM {eng.source}",
    )
    if job.weight is not None:
        _passes.check_weights(eng, view, job.weight)
    return view


def _bin_on_counts(eng, sc, data_view, columns, left_out, job, progress) -> tuple[int, list]:
    """Every predictor's bins from the engine's exact counts, kept for the estimator; the training rows and the
    counts."""
    progress.step("profiling the predictors")
    prof = _passes.profile(eng, data_view, columns)
    n_train = int(prof["n"])
    if n_train == 0:
        raise InputError("the training part has no applicants")
    _passes.fine_classes(columns, prof)
    progress.step(f"counting {n_train:,} training applicants per fine class")
    counted = _passes.counts(eng, data_view, columns, weighted=job.weight is not None)
    binnings, dropped, sc.optimal_counted_ = _bins(sc, columns, counted, progress)
    sc.counted_ = (binnings, {**left_out, **dropped})
    return n_train, counted


def _save_fine(eng, stage, sc, data_view, columns, counted, job, rows) -> None:
    """fine_classes.json: the engine's fine classes of each predictor, counted on both parts (one more pass, over
    the test part), so the editor opens the card without its applicants."""
    from .. import _fine_classes

    tested = _passes.counts(eng, data_view, columns, weighted=job.weight is not None, test=True)
    by_name = {c.name: (c, train, test) for c, train, test in zip(columns, counted, tested)}

    def parts(name):
        _, train, test = by_name[name]
        return {p: (f["value"], f["y"].to_numpy(), f["n"].to_numpy()) for p, f in (("train", train), ("test", test))}

    edges = {c.name: c.edges for c in columns if c.edges is not None}
    body = _fine_classes.classes_of(
        sc, parts, rows, test_size=job.test_size, weight=job.weight, ids=job.ids, edges=edges
    )
    _fine_classes.save(stage, body)


def _write_report(stage, sc, metrics, test_scores, unseen, note) -> None:
    values = {b.name: {"build_unreadable": 0, **unseen.get(b.name, {})} for b in sc.binnings_}
    extra = {"rejects": metrics["rejects"]} if "rejects" in metrics else {}
    _assess.write_page(sc, stage / "report.html", metrics, test_scores, values, note=note, **extra)
    _report.write_metrics(stage / "metrics.json", metrics)
