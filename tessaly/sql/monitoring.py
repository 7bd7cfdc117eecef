"""The monitoring query: one aggregate over the applicants' table of the counts that monitoring reads."""

from __future__ import annotations

import pandas as pd

from .._card import Card
from .._values import canonical
from ..monitoring.counts import TRUTH, check_period
from .dialects import Dialect, check_names
from .dialects import dialect as _dialect
from .layers import DBL_MAX, Coded, Query, Units, binned, crossed, parsed, pointed, total, values
from .names import checked_card, fail, no_nul, table_parts


def _outcome(card: Card, target: str) -> Coded:
    """The target as a predictor of one bin, the card's bad value: matched by meaning, as the scorer matches."""
    if card.bad is None:
        fail("the card names no bad value: rebuild it to monitor outcomes")
    bad = canonical(pd.Series([card.bad], dtype=object))[0]
    meaning = TRUTH.get(bad, bad)
    return Coded(
        target,
        False,
        [sorted({bad, meaning, *(k for k, v in TRUTH.items() if v == meaning)})],
        [],
        [0],
        -1,
        -1,
        ["bad"],
        [0.0],
        0.0,
    )


def _flags(q: Query, j: int, p: Coded) -> list[str]:
    """The bin, whether the value was missing, and (numerical) whether it could not be read as a number."""
    m, x, big = q.col("m", j), q.col("x", j), q.d.num(DBL_MAX)
    cols = [binned(q, j, p), f"{m} AS {m}"]
    if p.numerical:
        readable = f"{x} >= -{big} AND {x} <= {big}"
        cols.append(f"CASE WHEN {m} = 1 THEN 0 WHEN {readable} THEN 0 ELSE 1 END AS {q.col('u', j)}")
    return cols


def to_monitor_sql(
    card: Card, *, dialect: str = "duckdb", table="applicants", period_column=None, period=None, target=None
) -> str:
    """One aggregate query over ``table`` that returns what `tessaly monitor CARD --counts` reads.

    Rows of ``kind`` "bin": per period, predictor and bin (the card's bin labels, then "Unseen") the
    ``applicants``, with the ``unreadable`` and ``missing`` values among them. Rows of ``kind`` "score": per
    period, total ``score`` and outcome the ``applicants``; ``bad`` is 1 for the card's bad value, 0 for any
    other and NULL where the outcome is missing (not known yet), ``outcome`` the other value as the engine
    shows it, so that a third one is caught. ``card`` is the checksum of the card the query was made from, which
    `monitor --counts` checks. ``period`` is NULL without ``period_column``; ``period``: month
    (the default), quarter or year. Bins, points and totals are the scoring query's own.

    Periods are read from DATE and TIMESTAMP columns, or from ISO text ("2025-03-14", with a time after " " or
    "T"); a zoned timestamp falls in the period of its wall clock in the session time zone. Text that reads as
    no date gives a NULL period, which `monitor --counts` refuses (PostgreSQL stops the query on it instead).
    """
    d = _dialect(dialect)
    card = checked_card(card)
    table = table_parts(table)
    period = check_period(period_column, period)
    _check_columns(card, period_column, target)
    units = Units.of(card)
    check_names(d, dialect, table, list(dict.fromkeys([*card.columns, *(c for c in (target, period_column) if c)])))
    q = Query(d, [period_column] if period_column else [], ".".join(d.ident(t) for t in table))
    _per_applicant(q, card, units, target, period_column, period)
    return _labelled(q.d, units.scored, _grouped(q.d, _unpivoted(q, units)), card.to_dict()["checksum"])


def to_bin_sums_sql(
    card: Card, *, dialect: str, table: str, by: list[str], weight: str | None = None, doubles=()
) -> str:
    """One aggregate over ``table`` grouped by the ``by`` columns and the total ``score``: its ``applicants``,
    and per predictor j the applicants in each bin c (``c{j}_{c}``; Unseen is the rest) and the missing
    (``m{j}``) and unreadable (``u{j}``) values; with ``weight``, sums of that column instead of counts, and the
    ``rows`` with their Unseen (``n{j}``) and unreadable (``r{j}``) values counted as rows. The
    counts of `to_monitor_sql` for a few groups, a column per bin rather than a row per applicant and
    predictor: the scan is not multiplied. ``doubles``: predictors whose columns are DOUBLE and hold no NaN."""
    d = _dialect(dialect)
    card = checked_card(card)
    if card.crosses:
        fail("counting bins in the engine is not done for cards with crosses: rebuild with --crosses none")
    units = Units.of(card)
    preds = units.preds
    q = Query(d, [*by, *([weight] if weight else [])], table)
    _per_applicant(q, card, units, None, None, None, doubles)
    name = d.ident
    w = name(weight) if weight else None

    def total(flag: str) -> str:
        if w is None:
            return f"count(CASE WHEN {flag} THEN 1 END)"
        return f"sum(CASE WHEN {flag} THEN {w} ELSE {d.num(0.0)} END)"

    sums = []
    for j, p in enumerate(preds):
        b, m, u = (q.col(k, j) for k in "bmu")
        sums += [f"{total(f'{b} = {c}')} AS {name(f'c{j}_{c}')}" for c in range(len(p.labels))]
        sums += [f"{total(f'{m} = 1')} AS {name(f'm{j}')}"] + [f"{total(f'{u} = 1')} AS {name(f'u{j}')}"] * p.numerical
        if w is not None:  # the applicants themselves, as the unseen values are told
            sums.append(f"count(CASE WHEN {b} = -1 THEN 1 END) AS {name(f'n{j}')}")
            sums += [f"count(CASE WHEN {u} = 1 THEN 1 END) AS {name(f'r{j}')}"] * p.numerical
    keys = [name(c) for c in by]
    score = q.col("score", 0)
    return (
        f"SELECT {', '.join(keys)}, {score} AS {name('score')}, {total('1 = 1')} AS {name('applicants')}, "
        f"count(*) AS {name('rows')}, "
        f"{', '.join(sums)}\nFROM (\n{q.sql}{d.fence}\n) AS {name('s')}\nGROUP BY {', '.join([*keys, score])}"
    )


def _check_columns(card: Card, period_column, target) -> None:
    for name, what in ((period_column, "period column"), (target, "target column")):
        if name is not None and (not isinstance(name, str) or not name):
            fail(f"the {what} must be non-empty text, not {name!r}")
        if name is not None:
            no_nul(name, what)
    if target is not None and target in card.columns:
        fail(f"target column {target!r} is a predictor of the card: name the outcome column")


def _carried(q: Query, preds: list[Coded]) -> list[str]:
    """The missing and (numerical) unreadable flags, carried up to the counts."""
    return [q.col(c, j) for j, p in enumerate(preds) for c in ("m", "u")[: 1 + p.numerical]]


def _read(q: Query, j: int, p: Coded, doubles) -> tuple[list[str], list[str]]:
    """A value's columns as read and as parsed: by its engine type, or straight for a numerical predictor held
    as a DOUBLE column without NaN (the same number and missing flag, without the text round trip)."""
    if not (p.numerical and p.name in doubles):
        return values(q, j, p), parsed(q, j, p)
    v = q.col("v", j)
    return [f"{q.d.ident(p.name)} AS {v}"], [
        f"CASE WHEN {v} IS NULL THEN 1 ELSE 0 END AS {q.col('m', j)}",
        f"{v} AS {q.col('x', j)}",
    ]


def _per_applicant(q: Query, card: Card, u: Units, target, period_column, period, doubles=()) -> None:
    """Per applicant: the period, the total, each characteristic's bin, each predictor's flags, and the outcome."""
    d, k, scored = q.d, len(u.preds), u.scored
    out = len(scored) + len(u.sides)  # the outcome's j, after every unit read
    units = u.read + ([(out, _outcome(card, target))] if target else [])
    read = {j: _read(q, j, p, doubles if j < k else ()) for j, p in units}
    q.add([c for cols, _ in read.values() for c in cols], "src")
    text = [f"{q.col('s', out)} AS {q.col('s', out)}"] if target else []  # the target as the engine shows it
    q.add([c for _, cols in read.values() for c in cols] + text, "parsed")
    q.add([c for j, p in units for c in _flags(q, j, p)] + text, "binned")
    carried = _carried(q, u.preds)
    if u.crosses:
        own = [q.col(c, out) for c in "bm"] if target else []
        q.add(crossed(q, u, [*carried, *own, *(q.col("s", out) for _ in text)]), "crossed")
    cols = [c for j, p in enumerate(scored) for c in pointed(q, j, p)] + [f"{c} AS {c}" for c in carried]
    if target:
        b, m = q.col("b", out), q.col("m", out)
        cols += [
            f"CASE WHEN {m} = 1 THEN NULL WHEN {b} = 0 THEN 1 ELSE 0 END AS {q.col('y', 0)}",
            f"CASE WHEN {m} = 0 AND {b} <> 0 THEN {q.col('s', out)} END AS {q.col('o', 0)}",
        ]
    else:
        cols += [f"CAST(NULL AS INTEGER) AS {q.col('y', 0)}", f"{d.as_text('NULL')} AS {q.col('o', 0)}"]
    q.add(cols, "pointed")
    label = d.period(d.ident(period_column), period) if period_column else d.as_text("NULL")
    q.add(
        [
            f"{label} AS {q.col('period', 0)}",
            f"{total(q, len(scored))} AS {q.col('score', 0)}",
            *(f"{c} AS {c}" for c in [q.col("b", j) for j in range(len(scored))] + carried),
            f"{q.col('y', 0)} AS {q.col('y', 0)}",
            f"{q.col('o', 0)} AS {q.col('o', 0)}",
        ],
        "scored",
    )


def _unpivoted(q: Query, u: Units) -> str:
    """One row per applicant and characteristic, and one for the score: a single pass that every engine can
    group. A cross has no missing or unreadable values of its own."""
    d, n = q.d, len(u.scored)
    name = d.ident
    s, un = name("s"), name("u")

    def per_unit(kind: str, otherwise: str) -> str:
        units = u.scored if kind == "b" else u.preds
        whens = " ".join(
            f"WHEN {j} THEN {s}.{q.col(kind, j)}" for j, p in enumerate(units) if kind != "u" or p.numerical
        )
        return f"CASE {un}.{name('j')} {whens} ELSE {otherwise} END" if whens else otherwise

    last = f"{un}.{name('j')} = {n}"
    numbers = " UNION ALL ".join(f"SELECT {j} AS {name('j')}" for j in range(n + 1))
    return (
        f"SELECT {un}.{name('j')} AS {name('j')}, {s}.{q.col('period', 0)} AS {name('period')}, "
        f"{per_unit('b', 'NULL')} AS {name('cell')}, "
        f"CASE WHEN {last} THEN {s}.{q.col('score', 0)} END AS {name('score')}, "
        f"CASE WHEN {last} THEN {s}.{q.col('y', 0)} END AS {name('bad')}, "
        f"CASE WHEN {last} THEN {s}.{q.col('o', 0)} END AS {name('outcome')}, "
        f"{per_unit('u', '0')} AS {name('u')}, {per_unit('m', '0')} AS {name('m')}\n"
        f"FROM (\n{q.sql}{d.fence}\n) AS {s} CROSS JOIN ({numbers}) AS {un}"
    )


def _grouped(d: Dialect, rows: str) -> str:
    name = d.ident
    keys = ", ".join(name(c) for c in ("j", "period", "cell", "score", "bad", "outcome"))
    return (
        f"SELECT {keys}, CAST(count(*) AS BIGINT) AS {name('applicants')}, "
        f"CAST(sum({name('u')}) AS BIGINT) AS {name('unreadable')}, "
        f"CAST(sum({name('m')}) AS BIGINT) AS {name('missing')}\n"
        f"FROM (\n{rows}{d.fence}\n) AS {name('t')}\nGROUP BY {keys}"
    )


def _labelled(d: Dialect, preds: list[Coded], grouped: str, stamp: str) -> str:
    """The counts under the card's predictor names and bin labels, each stamped with the card's checksum."""
    name, k = d.ident, len(preds)
    j, cell = name("j"), name("cell")
    names = " ".join(f"WHEN {i} THEN {d.text(p.name)}" for i, p in enumerate(preds))
    labels = " ".join(
        f"WHEN {i} THEN CASE {cell} "
        + "".join(f"WHEN {c} THEN {d.text(lab)} " for c, lab in enumerate(p.labels))
        + "ELSE 'Unseen' END"
        for i, p in enumerate(preds)
    )
    return (
        f"SELECT CASE WHEN {j} = {k} THEN 'score' ELSE 'bin' END AS {name('kind')}, {d.text(stamp)} AS {name('card')}, "
        f"{name('period')}, "
        f"CASE {j} {names} END AS {name('predictor')}, CASE {j} {labels} END AS {name('bin')}, "
        f"{', '.join(name(c) for c in ('score', 'bad', 'outcome', 'applicants', 'unreadable', 'missing'))}\n"
        f"FROM (\n{grouped}{d.fence}\n) AS {name('g')}"
    )
