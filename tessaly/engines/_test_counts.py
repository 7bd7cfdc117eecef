"""Both parts counted by the finished card in the engine, and what the card directory takes from those counts: the
monitoring baseline, the values the card has never seen, and the test figures from the counts per total score."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from .._card import describe_unseen
from .._errors import InputError
from ..monitoring import baseline as _baseline_of
from ..monitoring.counts import BAD, GOOD
from . import _passes


@dataclass
class Part:
    """One part's counts: per predictor the applicants per bin then Unseen, the unreadable and missing values,
    the distinct total scores with their goods and bads (and unknowns, none here); with weights these are sums
    of weights, and `rows` (goods and bads per score), `unseen_rows` and `unreadable_rows` count the rows."""

    cells: list
    unreadable: np.ndarray
    missing: np.ndarray
    keys: np.ndarray
    per_score: np.ndarray
    rows: np.ndarray
    unseen_rows: np.ndarray
    unreadable_rows: np.ndarray


def _part(card, mine: pd.DataFrame, weighted: bool) -> Part:
    dtype = float if weighted else np.int64
    k = len(card.predictors)
    n = mine["applicants"].to_numpy(dtype=dtype)

    def total(column):
        return mine[column].to_numpy(dtype=dtype).sum() if column in mine else dtype(0)

    cells = []
    for j, p in enumerate(card.predictors):
        binned = [total(f"c{j}_{c}") for c in range(len(p.labels))]
        cells.append(np.array([*binned, n.sum() - sum(binned)], dtype=dtype))
    unreadable = np.array([total(f"u{j}") for j in range(k)], dtype=dtype)
    keys, inverse = np.unique(mine["score"].to_numpy(dtype=float), return_inverse=True)
    outcome = np.where(mine[_passes.Y].to_numpy(dtype=int) == 1, BAD, GOOD)
    per_score = np.zeros((len(keys), 3), dtype=dtype)
    np.add.at(per_score, (inverse, outcome), n)
    rows = np.zeros((len(keys), 3), dtype=np.int64)
    np.add.at(rows, (inverse, outcome), mine["rows"].to_numpy(dtype=np.int64))
    if weighted:
        unseen_rows = np.array([mine[f"n{j}"].sum() for j in range(k)], dtype=np.int64)
        unreadable_rows = np.array([mine[f"r{j}"].sum() if f"r{j}" in mine else 0 for j in range(k)], dtype=np.int64)
    else:
        unseen_rows, unreadable_rows = np.array([c[-1] for c in cells], dtype=np.int64), unreadable
    missing = np.array([total(f"m{j}") for j in range(k)], dtype=dtype)
    return Part(cells, unreadable, missing, keys, per_score, rows, unseen_rows, unreadable_rows)


def count_parts(eng, card, data_view: str, weight, doubles, strict: bool, progress) -> tuple[dict, dict]:
    """Both parts counted per bin and total score by the card's own binning and points, in one pass of one
    aggregate; the baseline set on the card from them. `doubles`: the predictors the view holds as DOUBLE
    without NaN. Returns the parts and the test part's unseen values."""
    from ..sql.monitoring import to_bin_sums_sql

    progress.step(f"counting both parts by the card in {eng.dialect}")
    query = to_bin_sums_sql(
        card, dialect=eng.dialect, table=data_view, by=[_passes.TEST, _passes.Y], weight=weight, doubles=doubles
    )
    counts = eng.query(query)
    test = counts[_passes.TEST].astype(bool)
    if not test.any():
        raise InputError("the test part has no applicants")
    weighted = weight is not None
    parts = {"train": _part(card, counts[~test], weighted), "test": _part(card, counts[test], weighted)}
    edges, made = None, {}
    for name, p in parts.items():
        dtype = float if weighted else np.int64
        made[name], edges = _baseline_of.part_from_counts(
            card, p.cells, p.unreadable, p.missing, p.keys, p.per_score, edges=edges, dtype=dtype
        )
    card.baseline = _baseline_of._baseline_dict(edges, made, "train", "test")
    t = parts["test"]
    unseen = {
        p.name: {"unseen": int(t.unseen_rows[j] - t.unreadable_rows[j]), "unreadable": int(t.unreadable_rows[j])}
        for j, p in enumerate(card.predictors)
    }
    faults = describe_unseen(unseen)
    if strict and faults:
        raise InputError(f"--strict: the test split holds values the card has never seen: {', '.join(faults)}")
    return parts, unseen


def _cells(part: Part, table: np.ndarray):
    """Each distinct score and outcome as one weighted row: the outcome, the score and the weight it stands for."""
    y = np.repeat([0, 1], len(part.keys))
    w = np.concatenate([table[:, GOOD], table[:, BAD]]).astype(float)
    keep = w > 0
    return y[keep], np.tile(part.keys, 2)[keep], w[keep]


def assessment(sc, parts: dict) -> dict:
    """The test figures from the counts per total score: each distinct score stands for its applicants (or their
    weight)."""
    from .._assess import assess

    test, train = parts["test"], parts["train"]
    y, s, w = _cells(test, test.per_score)
    _, train_s, train_w = _cells(train, train.per_score)
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
    # The weights stand for rows of applicants: the figures of the applicants, not of the distinct scores.
    rows, weighted = test.rows, test.per_score.dtype.kind == "f"
    for row in [a, *a["challengers"]]:
        if not weighted:
            row.pop("weight", None)
            row.pop("bad_weight", None)
        row["n"], row["bad"] = int(rows.sum()), int(rows[:, BAD].sum())
    if a.get("psi"):
        a["psi"]["train"], a["psi"]["test"] = int(train.rows.sum()), int(rows.sum())
    return a


def add_benchmark(sc, metrics: dict, bench, test_scores: pd.DataFrame, job) -> None:
    """The benchmark's rows beside the card's, each compared with the card on the same test applicants (those
    pulled for test_scores.csv: all of them, or a seeded sample), and the sentence on it."""
    from .. import _benchmark
    from .._assess import _sentence, assess

    if bench is None:
        return
    scores = _benchmark.scores(bench, test_scores)
    if scores:
        own = metrics["card"]
        scaling = sc.card_.scaling
        paired = assess(
            test_scores[job.target].to_numpy(dtype=int),
            {own: test_scores["score"].to_numpy(dtype=float), **scores},
            card=own,
            weights=test_scores[_passes.W].to_numpy(dtype=float) if job.weight is not None else None,
            pdo=scaling["pdo"],
            target_score=scaling["target_score"],
            target_odds=scaling["target_odds"],
        )
        metrics["challengers"] += [r for r in paired["challengers"] if r["name"] != own]
        metrics["sentence"] = _sentence(own, metrics["challengers"])
        if metrics["best"] is not None:
            metrics["best"] = max(metrics["challengers"], key=lambda r: r["auc"])["name"]
    metrics["benchmark"] = _benchmark.verdict(bench, metrics, sc.target_, sc)
