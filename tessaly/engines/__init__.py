"""Builds whose heavy passes run where the applicants live: DuckDB (embedded, for files larger than memory)
or Spark (for a cluster). Each engine is a connection that answers SQL (`_engine`); the passes are one SQL
text for both (`_passes`); the build itself (`_build.build_in`) keeps only counts and a sample in the driver.
"""

from __future__ import annotations

ENGINES = ("duckdb", "spark")


def build_in(engine, data, out, **options) -> dict:
    """Build a card from applicants in DuckDB ("duckdb") or Spark ("spark"): see `tessaly.engines._build.build_in`
    for the options (target, table, test_column, params, test_size, drop, ids, strict, session, progress)."""
    from ._build import build_in as run

    return run(engine, data, out, **options)
