"""The scoring query: one SELECT that scores a table of applicants as the Python scorer does."""

from __future__ import annotations

from collections.abc import Sequence

from .._card import Card, output_columns
from .dialects import check_names
from .dialects import dialect as _dialect
from .layers import Query, Units, binned, crossed, outputs, parsed, pointed, ranked, values
from .names import checked_card, id_columns, table_parts


def to_sql(
    card: Card, *, dialect: str = "duckdb", table: str | Sequence[str] = "applicants", ids: Sequence[str] = ()
) -> str:
    """One SELECT that scores the rows of ``table`` with ``card``: per applicant the ``ids``, each predictor's
    ``<p>_bin`` and ``<p>_points``, the ``score`` and ``reason_1`` to ``reason_3``, as ``Card.score`` gives them.

    Parameters
    ----------
    card : Card
        ``Card.load(path)``, or a fitted scorecard's ``card_``.
    dialect : str, default="duckdb"
        duckdb, sqlite, postgres or spark. See the module's notes for what each engine can express.
    table : str or sequence of str, default="applicants"
        A table name, with dots between the parts of a qualified one (``"db.applicants"``), or a sequence of
        parts taken as they are (``("db", "my.applicants")``).
    ids : sequence of str, default=()
        Columns passed through first.

    Returns
    -------
    str
        The query; identifiers and literals are quoted, so any column name or category is safe.

    Examples
    --------
    >>> import numpy as np
    >>> import pandas as pd
    >>> from tessaly import Scorecard
    >>> rng = np.random.default_rng(0)
    >>> X = pd.DataFrame({"age": rng.integers(18, 75, 600), "housing": rng.choice(["own", "rent"], 600)})
    >>> y = pd.Series(rng.random(600) < np.where(X["age"] < 30, 0.5, 0.1), name="bad").astype(int)
    >>> import duckdb
    >>> from tessaly import to_sql
    >>> card = Scorecard().fit(X, y).card_
    >>> applicants = X.head(3)
    >>> in_sql = duckdb.sql(to_sql(card, dialect="duckdb", table="applicants")).df()
    >>> bool((in_sql["score"].to_numpy() == card.total(applicants)).all())
    True
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
