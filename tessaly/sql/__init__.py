"""A saved card as one SQL SELECT, for scoring where the applicants already live.

``to_sql(card, dialect=..., table=..., ids=[...])`` takes a ``Card`` (``Card.load(path)``
or a fitted scorecard's ``card_``) and returns one SELECT that yields, per
applicant: the id columns as given, then per predictor ``<p>_bin`` and
``<p>_points``, then ``score`` and ``reason_1`` .. ``reason_3``, with the same
bins, points, total and reason codes as the Python scorer. ``to_monitor_sql``
builds on the same steps one aggregate query of the counts that monitoring reads.

The query does not need the column types: each value is dispatched on the type
the engine gives it (``typeof``; per row in SQLite), so one query serves a table
whose predictor columns are numbers, text, or (SQLite) both in one column.

Categories match as in Python: text that equals one of a bin's categories takes
that bin; any other value is matched by its key, so "54" matches 54, 54.0 and
"54.0", and "2020-01-05" matches a DATE, a midnight TIMESTAMP and the text
"2020-01-05T00:00:00".

What the engines can and cannot express:

* All dialects: numbers, text and NULL score exactly as in Python, text numbers
  included (surrounding ASCII whitespace " \\t\\n\\r\\f\\v" is allowed; other
  Unicode spaces, digit separators such as "1_000" and non-ASCII digits make the
  text unreadable). NaN counts as missing. Integer, DECIMAL and single-precision
  columns become doubles as Python's float() makes them. Boolean columns match
  "True"/"False" and are unreadable in a numerical predictor. Text compares byte
  for byte whatever the column's collation (Spark: default collation only).
  Columns of other types (BLOB, intervals, lists) score as Unseen.
* Dates and timestamps (DuckDB, Spark, Postgres) match categories at whole
  seconds, the fraction dropped. A timestamp with a time zone (DuckDB and
  Postgres TIMESTAMP WITH TIME ZONE, Spark TIMESTAMP) matches at its time in the
  session time zone, as the engine shows it: set TimeZone (Spark:
  spark.sql.session.timeZone) to the zone of the data the card was built on, or
  use a type without a zone. In a numerical predictor they are unreadable.
* sqlite: the card's own numbers are built exactly from integers, but SQLite's
  decimal reading (3.40 at least) can be one ulp off for long text such as
  "0.30000000000000004" in the data, so such a text value lying exactly on a
  split can land in the neighbouring bin. Values stored as REAL or INTEGER are
  exact.
* postgres: PostgreSQL 12 or newer with extra_float_digits >= 1 (the default),
  since a double column is read through its text form; text numbers may have at
  most three exponent digits after leading zeros (longer ones are unreadable);
  every output column name must fit in 63 bytes.
* spark: Spark 3.3 or newer, with spark.sql.parser.escapedStringLiterals off
  (the default); ANSI mode on or off.
"""

from .dialects import DIALECTS
from .monitoring import to_monitor_sql
from .scoring import to_sql

__all__ = ["DIALECTS", "to_monitor_sql", "to_sql"]
