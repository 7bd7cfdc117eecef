"""The scoring query: one SELECT that scores a table of applicants as the Python scorer does."""

from __future__ import annotations

from .._card import Card, output_columns
from .dialects import check_names
from .dialects import dialect as _dialect
from .layers import Query, Units, binned, crossed, outputs, parsed, pointed, ranked, values
from .names import checked_card, id_columns, table_parts


def to_sql(card: Card, *, dialect: str = "duckdb", table="applicants", ids=()) -> str:
    """One SELECT that scores the rows of ``table`` with ``card``.

    ``dialect``: duckdb, sqlite, postgres or spark. ``table``: a table name, with
    dots between the parts of a qualified one (``"db.applicants"``), or a sequence
    of parts taken as they are (``("db", "my.applicants")``). ``ids``: columns
    passed through first. See the module's notes for what each engine can express.
    """
    d = _dialect(dialect)
    card = checked_card(card)
    table = table_parts(table)
    ids = id_columns(ids, card.names)
    units = Units.of(card)
    preds = units.scored
    check_names(d, dialect, table, ids + output_columns(card.names))

    q = Query(d, ids, ".".join(d.ident(t) for t in table))
    q.add([c for j, p in units.read for c in values(q, j, p)], "src")
    q.add([c for j, p in units.read for c in parsed(q, j, p)], "parsed")
    q.add([binned(q, j, p) for j, p in units.read], "binned")
    if units.crosses:
        q.add(crossed(q, units), "crossed")
    q.add([c for j, p in enumerate(preds) for c in pointed(q, j, p)], "pointed")
    reasons = [j for j, p in enumerate(preds) if p.shortfalls]
    q.add(ranked(q, len(preds), reasons), "ranked")
    return q.add(outputs(q, preds, reasons), "scored")
