"""The two count tables of a monitored population, read and checked against the card, whichever route made
them: `counts.count` over a table of applicants, or the aggregate query of the SQL export run in a warehouse."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .._bins import UNSEEN
from .._errors import InputError
from .counts import PERIODS, UNKNOWN, Outcomes, outcome_keys

# The one table the aggregate query returns: rows of kind "bin" and of kind "score".
QUERY_COLUMNS = [
    "kind",
    "card",
    "period",
    "predictor",
    "bin",
    "score",
    "bad",
    "outcome",
    "applicants",
    "unreadable",
    "missing",
]


# Counts beyond this are no longer exact as the floats the figures are computed in.
LARGEST_COUNT = 2**53


def _whole(values, what: str) -> np.ndarray:
    x = pd.to_numeric(pd.Series(values), errors="coerce").to_numpy(dtype=float, na_value=np.nan)
    if not (np.isfinite(x) & (x >= 0) & (np.floor(x) == x)).all():
        raise InputError(f"the counts' {what} must be whole numbers of at least 0")
    _not_too_large(x.max(initial=0), what)
    return x.astype(np.int64)


def _not_too_large(total, what: str) -> None:
    if total > LARGEST_COUNT:
        raise InputError(
            f"the counts' {what} reach more than {LARGEST_COUNT:,}: figures of that many applicants "
            "cannot be exact; count a sample or fewer periods at a time"
        )


def _labels(values) -> np.ndarray:
    s = pd.Series(values, dtype=object)
    if s.isna().any():
        raise InputError(
            "a count has no period (from a query: an applicant whose date did not read): label every "
            "row, or leave the period column out"
        )
    return s.astype(str).to_numpy(dtype=object)


def _periods(labels) -> list | None:
    """The labels as periods of one kind that monitoring writes ("2024-03", "2024Q1", "2024"), else None."""
    try:
        parsed = [pd.Period(label) for label in labels]
    except (ValueError, TypeError, OverflowError):
        return None
    kinds = {p.freqstr[0] for p in parsed}
    # A day is no period of ours, nor a name that pandas reads as one ("February").
    if len(kinds) != 1 or kinds.pop() not in "MQY" or any(str(p) != label for p, label in zip(parsed, labels)):
        return None
    return parsed


def period_kind(labels) -> str | None:
    """month, quarter or year, as the labels say (None for labels of no one kind)."""
    parsed = _periods(sorted(set(labels)))
    if not parsed:
        return None
    return {code[0]: kind for kind, code in PERIODS.items()}[parsed[0].freqstr[0]]


def _order(labels: list) -> list:
    """Periods in time order, with the periods between them that hold nobody; labels that are no periods of one
    kind are refused, for a trend over them would be read in the wrong order."""
    parsed = _periods(labels)
    if parsed is None:
        shown = ", ".join(repr(str(label)[:20]) for label in labels[:3])
        raise InputError(
            f"the counts' periods ({shown}...) are not months, quarters or years of one kind: label "
            "them as the monitoring query does (2024-03, 2024Q1 or 2024)"
        )
    span = pd.period_range(min(parsed), max(parsed), freq=parsed[0].freq)
    return [str(p) for p in span]


def _required(table, need, what) -> None:
    absent = [c for c in need if c not in table.columns]
    if absent:
        raise InputError(f"the {what} lack the column{'s' * (len(absent) > 1)} {', '.join(map(repr, absent))}")


def _frames(bin_counts, score_counts) -> tuple[pd.DataFrame, pd.DataFrame, bool]:
    """Both tables with their columns checked and their counts whole; whether they are counted per period."""
    bins, scores = pd.DataFrame(bin_counts).copy(), pd.DataFrame(score_counts).copy()
    _required(bins, ("predictor", "bin", "applicants"), "bin counts")
    _required(scores, ("score", "applicants"), "score counts")
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
    _not_too_large(float(scores["applicants"].astype(float).sum()), "applicants")
    return bins, scores, periodic


def _placed(card, bins: pd.DataFrame) -> pd.DataFrame:
    """The bin counts with each row's cell: the index of its bin among the card's bins of its predictor."""
    names = {p.name: j for j, p in enumerate(card.characteristics)}
    predictor = bins["predictor"].map(names)
    if predictor.isna().any():
        shown = str(bins.loc[predictor.isna(), "predictor"].iloc[0])[:80]
        raise InputError(f"the counts name the predictor {shown!r}, which is not on the card: they do not belong to it")
    lookup = pd.DataFrame(
        [(p.name, label, i) for p in card.characteristics for i, label in enumerate([*p.labels, UNSEEN])],
        columns=["predictor", "bin", "cell"],
    )
    bins["predictor"] = bins["predictor"].astype(object)
    bins["bin"] = bins["bin"].astype(object).where(bins["bin"].notna(), None)
    placed = bins.merge(lookup, on=["predictor", "bin"], how="left", validate="many_to_one")
    if placed["cell"].isna().any():
        row = placed[placed["cell"].isna()].iloc[0]
        raise InputError(
            f"the counts have a bin {str(row['bin'])[:80]!r} of '{row['predictor']}' that the card "
            "does not have: they do not belong to it"
        )
    placed["j"] = placed["predictor"].map(names)
    return placed


def _scores(card, scores: pd.DataFrame) -> tuple[np.ndarray, np.ndarray]:
    """Each score row's score, checked against what the card can give, and its outcome (GOOD, BAD, UNKNOWN)."""
    score = pd.to_numeric(scores["score"], errors="coerce").to_numpy(dtype=float, na_value=np.nan)
    if not np.isfinite(score).all():
        raise InputError("the score counts have a score that is not a number")
    lowest = sum(min(*p.points, p.neutral) for p in card.characteristics)
    highest = sum(max(*p.points, p.neutral) for p in card.characteristics)
    slack = 1e-9 * max(1.0, abs(lowest), abs(highest))
    beyond = (score < lowest - slack) | (score > highest + slack)
    if beyond.any():
        raise InputError(
            f"the score counts hold the score {score[beyond][0]:g}, beyond what the card gives "
            f"({lowest:g} to {highest:g}): they do not belong to it"
        )
    if "bad" not in scores.columns:
        return score, np.full(len(scores), UNKNOWN, dtype=np.intp)
    flag = pd.to_numeric(scores["bad"], errors="coerce")
    if (flag.notna() & ~flag.isin([0, 1])).any() or (flag.isna() & scores["bad"].notna()).any():
        raise InputError("the score counts' bad column must be 1 (bad), 0 (good) or empty (not known)")
    outcome = np.where(flag.isna().to_numpy(), UNKNOWN, flag.fillna(0).to_numpy(dtype=float)).astype(np.intp)
    return score, outcome


def read_counts(card, bin_counts, score_counts):
    """The count tables as arrays per period, checked against the card: the period labels (none without
    periods), per predictor a (periods x cells) table, the unreadable and missing values (periods x
    predictors), and per period the distinct scores with their goods, bads and unknown outcomes."""
    bins, scores, periodic = _frames(bin_counts, score_counts)
    placed = _placed(card, bins)
    score, outcome = _scores(card, scores)
    labels = _order(sorted(set(bins["period"]) | set(scores["period"]))) if periodic else [""]
    index = {label: g for g, label in enumerate(labels)}
    n_periods = len(labels)
    unreadable = np.zeros((n_periods, len(card.characteristics)), dtype=np.int64)
    missing = np.zeros_like(unreadable)
    g_bins, j_bins = placed["period"].map(index).to_numpy(), placed["j"].to_numpy()
    cell, applicants = placed["cell"].to_numpy(dtype=np.int64), placed["applicants"].to_numpy()
    cells = []
    for j, p in enumerate(card.characteristics):
        mine = j_bins == j
        counts = np.zeros((n_periods, len(p.labels) + 1), dtype=np.int64)
        np.add.at(counts, (g_bins[mine], cell[mine]), applicants[mine])
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
        _agree(card, labels[g] if periodic else None, [c[g] for c in cells], unreadable[g], missing[g], table.sum())
    return labels if periodic else [], cells, unreadable, missing, per_period


def _agree(card, label, cells, unreadable, missing, total) -> None:
    """Every predictor counts the applicants the scores count, and no more unreadable or missing values."""
    for j, p in enumerate(card.characteristics):
        if cells[j].sum() != total:
            raise InputError(
                f"the counts of '{p.name}'{f' in {label}' if label else ''} sum to "
                f"{cells[j].sum()}, the score counts to {total}: they are not counts of one table"
            )
        if unreadable[j] > cells[j][-1] or missing[j] > total:
            raise InputError(f"the counts of '{p.name}' have more unreadable or missing values than applicants")


def merged(per_period) -> tuple[np.ndarray, np.ndarray]:
    """The score counts of every period as one table: distinct scores and their goods, bads and unknowns."""
    keys, inverse = np.unique(np.concatenate([k for k, _ in per_period]), return_inverse=True)
    table = np.zeros((len(keys), 3), dtype=np.int64)
    np.add.at(table, inverse, np.vstack([t for _, t in per_period]))
    return keys, table


def check_stamp(table: pd.DataFrame, card, source) -> None:
    """The counts were made by the monitoring query of this very card: its checksum in every row's ``card``.
    Counts of another card with the same bins would pass every other check and give wrong verdicts."""
    again = "export this card's query (tessaly export CARD --sql --monitor) and run it again"
    if "card" not in table.columns:
        raise InputError(f"{source} do not say which card they were made for (an earlier tessaly's query): {again}")
    mine = card.to_dict()["checksum"]
    other = next((s for s in pd.unique(table["card"].astype(object)) if s != mine), None)
    if other is not None:
        shown = str(other)[:20] if isinstance(other, str) else repr(other)[:20]
        raise InputError(f"{source} were made for another card ({shown}..., this one {mine[:20]}...): {again}")


def split_counts(table: pd.DataFrame, card) -> tuple[pd.DataFrame, pd.DataFrame]:
    """The aggregate query's one table (`QUERY_COLUMNS`) as the two count tables `from_counts` reads."""
    table = pd.DataFrame(table)
    absent = [c for c in ("kind", "applicants") if c not in table.columns]
    if absent:
        raise InputError(
            f"the counts lack the column{'s' * (len(absent) > 1)} {', '.join(map(repr, absent))}: "
            "give the result of 'tessaly export CARD --sql --monitor'"
        )
    kind = table["kind"].astype(str)
    strange = sorted(set(kind) - {"bin", "score"})
    if strange:
        raise InputError(f"the counts have rows of kind {strange[0][:40]!r}: only 'bin' and 'score' rows belong")
    if "period" in table.columns and table["period"].isna().all():
        table = table.drop(columns="period")  # a query without periods
    bins = table.loc[
        kind == "bin",
        [c for c in ("period", "predictor", "bin", "applicants", "unreadable", "missing") if c in table.columns],
    ]
    scores = table.loc[kind == "score", [c for c in ("period", "score", "bad", "applicants") if c in table.columns]]
    if "outcome" in table.columns and "bad" in table.columns:
        # The query counts every value but the bad one as good: a third one shows here.
        others = table.loc[(kind == "score") & (pd.to_numeric(table["bad"], errors="coerce") == 0), "outcome"]
        others = pd.Series(others.dropna().unique(), dtype=object)
        Outcomes(card, "", "the counts' outcome").other(outcome_keys(others), others.to_numpy())
    for column in ("predictor", "bin"):  # labels, even where a reader took them for numbers
        if column in bins.columns:
            bins[column] = bins[column].astype(object).where(bins[column].isna(), bins[column].astype(str))
    return bins, scores
