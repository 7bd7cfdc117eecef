"""Builds whose heavy passes run where the applicants live: DuckDB (embedded, for files larger than memory)
or Spark (for a cluster). Each engine is a connection that answers SQL (`_engine`); the passes are one SQL
text for both (`_passes`); the build itself (`_build.build_in`) keeps only counts and a sample in the driver.
"""

from __future__ import annotations

from typing import Any

ENGINES = ("duckdb", "spark")


def build_in(engine: str, data: Any, out: Any, **options: Any) -> dict:
    """Build a card where the applicants live, DuckDB or Spark, and write its card directory, as ``tessaly
    build --engine`` does: the engine makes every pass over the rows, the driver keeps counts and a sample.

    Parameters
    ----------
    engine : {"duckdb", "spark"}
        Where the passes run. DuckDB is embedded; Spark runs in `session` or a session of its own.
    data : str or path
        A CSV or Parquet file, a folder or glob of Parquet files; with ``table=``, the database holding it.
    out : str or path
        The card directory: new, empty, or a card of an earlier build (replaced whole or not at all).
    **options
        ``target`` (required), ``table``, ``test_column``, ``test_size``, ``params`` (the estimator's
        parameters), ``drop``, ``ids``, ``weight``, ``strict``, ``benchmark``, ``session``, ``fit_rows``,
        ``rejects``, ``rejected``, ``reject_outcome``, ``progress``: as the command line's options.

    Returns
    -------
    dict
        What the in-memory build returns: ``out``, ``scorecard``, ``metrics``, ``report``, ``unseen``.

    Examples
    --------
    >>> from tessaly import build_in
    >>> result = build_in("duckdb", "applicants/", "card", target="bad", params={"pdo": 20})  # doctest: +SKIP
    """
    from ._build import build_in as run

    return run(engine, data, out, **options)
