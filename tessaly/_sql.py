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

from __future__ import annotations

import abc
import math
import re
from collections import Counter
from dataclasses import dataclass
from decimal import Decimal, localcontext

from ._binning import _ISO_TIME, _MIDNIGHT, MISSING, SPECIAL
from ._card import BELOW, REASONS, Card, Predictor, check_ids, output_columns
from ._errors import InputError, reason
from ._tables import NUMBER

DIALECTS = ("duckdb", "sqlite", "postgres", "spark")
WHITESPACE = " \t\n\r\f\v"
_NUMBER_RE = re.compile(NUMBER)
_ISO_TIME_RE = re.compile(_ISO_TIME)
_MIDNIGHT_RE = re.compile(_MIDNIGHT)
_DBL_MAX = 1.7976931348623157e308


def _decimal_number(text: str) -> float | None:
    """The finite number a text reads as, or None."""
    t = text.strip(WHITESPACE)
    if not _NUMBER_RE.fullmatch(t):
        return None
    x = float(t)
    return x if math.isfinite(x) else None


def _number_key(x: float) -> str:
    """The category key of a finite number: whole numbers below 2**63 as integers, others as repr."""
    return str(int(x)) if x.is_integer() and abs(x) < 2.0**63 else repr(x)


class _Dialect(abc.ABC):
    """Quoting, literals and the value dispatch of one engine: a new engine is one subclass."""

    double = "DOUBLE"
    text_types: tuple = ()
    int_types: tuple = ()
    float_types: tuple = ()  # read exactly as doubles (may also be NaN or infinite)
    bool_types: tuple = ()
    date_types: tuple = ()
    timestamp_types: tuple = ()
    max_ident_bytes = None
    # Closes each inner SELECT where the planner would otherwise paste its expressions into every use.
    fence = ""

    def ident(self, name: str) -> str:
        return '"' + name.replace('"', '""') + '"'

    def text(self, s: str) -> str:
        return "'" + s.replace("'", "''") + "'"

    def num(self, x: float) -> str:
        r = repr(float(x))
        if "e" not in r:
            r += "e0"  # a plain 0.5 would be DECIMAL in several engines
        return f"({r})" if r.startswith("-") else r

    def null_double(self) -> str:
        return f"CAST(NULL AS {self.double})"

    def is_type(self, ty: str, names: tuple) -> str:
        exact = [n for n in names if not n.endswith("%")]
        prefix = [n for n in names if n.endswith("%")]
        parts = []
        if exact:
            parts.append(f"{ty} IN ({', '.join(self.text(n) for n in exact)})")
        parts += [f"{ty} LIKE {self.text(p)}" for p in prefix]
        return "(" + " OR ".join(parts) + ")" if parts else "(1 = 0)"

    def text_in(self, kt: str, keys: list[str]) -> str:
        return f"{kt} IN ({', '.join(self.text(k) for k in keys)})"

    # Per dialect: the type of a value, its text form, the trimmed text and the conversions.
    @abc.abstractmethod
    def typeof(self, v: str) -> str: ...

    @abc.abstractmethod
    def as_text(self, v: str) -> str: ...

    @abc.abstractmethod
    def trim(self, s: str) -> str: ...

    @abc.abstractmethod
    def is_number(self, t: str) -> str: ...

    @abc.abstractmethod
    def text_to_double(self, t: str) -> str: ...

    @abc.abstractmethod
    def to_double(self, v: str, ty: str, s: str) -> str: ...

    @abc.abstractmethod
    def is_nan(self, v: str, ty: str, s: str) -> str: ...

    # The period of a date, timestamp or ISO text as monitoring labels it ("2024-03", "2024Q1", "2024"); NULL
    # where the engine reads no date.
    @abc.abstractmethod
    def period(self, v: str, kind: str) -> str: ...


class _DuckDB(_Dialect):
    text_types = ("VARCHAR", "ENUM%")
    int_types = ("TINYINT", "SMALLINT", "INTEGER", "BIGINT", "HUGEINT",
                 "UTINYINT", "USMALLINT", "UINTEGER", "UBIGINT", "UHUGEINT")
    float_types = ("DOUBLE", "FLOAT", "DECIMAL%")
    bool_types = ("BOOLEAN",)
    date_types = ("DATE",)
    timestamp_types = ("TIMESTAMP", "TIMESTAMP_S", "TIMESTAMP_MS", "TIMESTAMP_NS", "TIMESTAMP WITH TIME ZONE")

    def typeof(self, v):
        return f"typeof({v})"

    def as_text(self, v):
        return f"CAST({v} AS VARCHAR)"

    def trim(self, s):
        return f"trim({s}, {self.text(WHITESPACE)})"

    def is_number(self, t):
        return f"regexp_full_match({t}, {self.text(NUMBER)})"

    def text_to_double(self, t):
        return f"TRY_CAST({t} AS DOUBLE)"

    def to_double(self, v, ty, s):
        # Through text for DECIMAL and integers: one correctly rounded step, as float() takes.
        return (f"CASE WHEN {ty} IN ('DOUBLE', 'FLOAT') THEN TRY_CAST({v} AS DOUBLE) "
                f"ELSE TRY_CAST({s} AS DOUBLE) END")

    def is_nan(self, v, ty, s):
        return f"isnan(TRY_CAST({v} AS DOUBLE))"

    def period(self, v, kind):
        # A zoned timestamp becomes the session's wall clock.
        t = f"TRY_CAST({v} AS TIMESTAMP)"
        year = f"strftime({t}, '%Y')"
        return {"month": f"strftime({t}, '%Y-%m')", "quarter": f"{year} || 'Q' || CAST(quarter({t}) AS VARCHAR)",
                "year": year}[kind]

    def text_in(self, kt, keys):
        return f'({kt} COLLATE "binary") IN ({", ".join(self.text(k) for k in keys)})'


class _SQLite(_Dialect):
    double = "REAL"
    fence = " LIMIT -1 OFFSET 0"
    text_types = ("text",)
    int_types = ("integer",)
    float_types = ("real",)

    def num(self, x):
        # SQLite's own decimal reading can be an ulp off, so build the double from integers exactly.
        x = float(x)
        if x == 0:
            return "(-0.0)" if math.copysign(1, x) < 0 else "0.0"
        n, d = x.as_integer_ratio()
        shift = 0
        while n % 2 == 0:
            n //= 2
            shift += 1
        shift -= d.bit_length() - 1
        expr = f"CAST({n} AS REAL)"
        op = " * " if shift > 0 else " / "
        shift = abs(shift)
        while shift:
            step = min(shift, 62)
            expr += op + str(2**step)
            shift -= step
        return f"({expr})"

    def typeof(self, v):
        return f"typeof({v})"

    def as_text(self, v):
        return f"CAST({v} AS TEXT)"

    def trim(self, s):
        return f"trim({s}, {self.text(WHITESPACE)})"

    def is_number(self, t):
        # No regular expressions in SQLite: the same grammar as NUMBER, in GLOB patterns.
        return (f"({t} NOT GLOB '*[^0-9.eE+-]*' AND {t} NOT GLOB '*[eE]*[eE]*' "
                f"AND {t} NOT GLOB '*.*.*' AND {t} NOT GLOB '*[eE]*.*' AND {t} NOT GLOB '*[^eE][+-]*' "
                f"AND CASE WHEN {t} GLOB '*[eE]*' THEN {t} GLOB '*[0-9]*[eE]*' "
                f"AND ({t} GLOB '*[eE][0-9]*' OR {t} GLOB '*[eE][+-][0-9]*') "
                f"ELSE {t} GLOB '*[0-9]*' END)")

    def text_to_double(self, t):
        return f"CAST({t} AS REAL)"

    def to_double(self, v, ty, s):
        return f"CAST({v} AS REAL)"

    def is_nan(self, v, ty, s):
        return "(1 = 0)"  # SQLite stores NaN as NULL

    def period(self, v, kind):
        # Dates are ISO text in SQLite; strftime reads "YYYY-MM-DD", with " " or "T" and a time after it.
        year = f"strftime('%Y', {v})"
        quarter = f"{year} || 'Q' || ((CAST(strftime('%m', {v}) AS INTEGER) + 2) / 3)"
        return {"month": f"strftime('%Y-%m', {v})", "quarter": quarter, "year": year}[kind]

    def text_in(self, kt, keys):
        return f"{kt} COLLATE BINARY IN ({', '.join(self.text(k) for k in keys)})"


class _Postgres(_Dialect):
    double = "DOUBLE PRECISION"
    text_types = ("text", "character varying", "character", "name")
    int_types = ("smallint", "integer", "bigint")
    float_types = ("double precision", "real", "numeric")
    bool_types = ("boolean",)
    date_types = ("date",)
    timestamp_types = ("timestamp without time zone", "timestamp with time zone")
    max_ident_bytes = 63
    fence = " OFFSET 0"
    # Exponents of at most three digits keep every text number inside NUMERIC's range.
    number = r"^[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][+-]?0*[0-9]{1,3})?$"

    def text(self, s):
        # E'' reads the same whatever standard_conforming_strings says.
        return "E'" + s.replace("\\", "\\\\").replace("'", "''") + "'"

    def num(self, x):
        return f"CAST('{float(x)!r}' AS DOUBLE PRECISION)"

    def typeof(self, v):
        return f"pg_typeof({v})::text"

    def as_text(self, v):
        return f"CAST({v} AS TEXT)"

    def trim(self, s):
        return f"btrim({s}, {self.text(WHITESPACE)})"

    def is_number(self, t):
        return f"({t} ~ {self.text(self.number)})"

    def _numeric_to_double(self, t):
        # float8 input rejects overflow and underflow, which float() turns into inf and 0.
        with localcontext() as ctx:
            ctx.prec = 2000
            overflow = Decimal(2) ** 1024 - Decimal(2) ** 970
            underflow = Decimal(2) ** -1075
        n = f"CAST({t} AS NUMERIC)"
        return (f"CASE WHEN abs({n}) >= {overflow:f} THEN {self.null_double()} "
                f"WHEN abs({n}) <= {underflow:f} THEN CAST(0 AS DOUBLE PRECISION) "
                f"ELSE CAST({n} AS DOUBLE PRECISION) END")

    def text_to_double(self, t):
        return self._numeric_to_double(t)

    def to_double(self, v, ty, s):
        return (f"CASE WHEN {ty} = 'real' THEN CAST(CAST({s} AS REAL) AS DOUBLE PRECISION) "
                f"WHEN {ty} = 'numeric' THEN "
                f"CASE WHEN {s} IN ('NaN', 'Infinity', '-Infinity') THEN CAST({s} AS DOUBLE PRECISION) "
                f"ELSE {self._numeric_to_double(s)} END "
                f"ELSE CAST({s} AS DOUBLE PRECISION) END")

    def is_nan(self, v, ty, s):
        return f"({s} = 'NaN')"

    def period(self, v, kind):
        # Through the text form: a zoned timestamp keeps the session's wall clock, its offset dropped.
        t = f"CAST(CAST({v} AS TEXT) AS TIMESTAMP)"
        return f"to_char({t}, {self.text({'month': 'YYYY-MM', 'quarter': 'YYYY"Q"Q', 'year': 'YYYY'}[kind])})"

    def text_in(self, kt, keys):
        return f'({kt} COLLATE "C") IN ({", ".join(self.text(k) for k in keys)})'


class _Spark(_Dialect):
    text_types = ("string%", "varchar%", "char%")
    int_types = ("tinyint", "smallint", "int", "bigint")
    float_types = ("double", "float", "decimal%")
    bool_types = ("boolean",)
    date_types = ("date",)
    timestamp_types = ("timestamp", "timestamp_ntz")

    def ident(self, name):
        return "`" + name.replace("`", "``") + "`"

    def text(self, s):
        # Spark reads backslash escapes in literals; two quotes in a row would end one literal and start another.
        out = []
        for ch in s:
            if ch == "\\":
                out.append("\\\\")
            elif ch == "'":
                out.append("\\'")
            elif ord(ch) < 0x20 or ch == "\x7f":
                out.append(f"\\u{ord(ch):04x}")
            else:
                out.append(ch)
        return "'" + "".join(out) + "'"

    def typeof(self, v):
        return f"typeof({v})"

    def as_text(self, v):
        return f"CAST({v} AS STRING)"

    def trim(self, s):
        return f"trim(BOTH {self.text(WHITESPACE)} FROM {s})"

    def is_number(self, t):
        # Java's $ would also match before a final line break.
        return f"({t} RLIKE {self.text('^(?:' + NUMBER + ')\\z')})"

    def text_to_double(self, t):
        return f"try_cast({t} AS DOUBLE)"

    def to_double(self, v, ty, s):
        # Every column type can be cast to text, not every one to DOUBLE: go through the text form.
        return (f"CASE WHEN {ty} = 'float' THEN try_cast(try_cast({s} AS FLOAT) AS DOUBLE) "
                f"ELSE try_cast({s} AS DOUBLE) END")

    def is_nan(self, v, ty, s):
        return f"({s} = 'NaN')"

    def period(self, v, kind):
        t = f"try_cast({v} AS TIMESTAMP)"  # shown in the session time zone
        year = f"date_format({t}, 'yyyy')"
        quarter = f"concat({year}, 'Q', CAST(quarter({t}) AS STRING))"
        return {"month": f"date_format({t}, 'yyyy-MM')", "quarter": quarter, "year": year}[kind]


_DIALECT = {"duckdb": _DuckDB(), "sqlite": _SQLite(), "postgres": _Postgres(), "spark": _Spark()}


def _fail(message: str):
    raise InputError(message)


def _no_nul(value: str, what: str) -> str:
    if "\x00" in value:
        _fail(f"{what} {value[:80]!r} holds a NUL character, which SQL text cannot carry; rename it")
    return value


def _checked(card) -> Card:
    """The card with the checks of a loaded one: a card made or changed in Python passes them too."""
    if not isinstance(card, Card):
        _fail(f"to_sql takes a Card (Card.load(path) or a fitted Scorecard's card_), not {type(card).__name__}")
    try:
        data = card.to_dict()
    except (TypeError, ValueError) as e:
        _fail(f"the card holds a value that is not plain JSON ({reason(e)}); rebuild it with 'tessaly build'")
    return Card.from_dict(data)


def _table_parts(table) -> list[str]:
    """A table name, its parts (schema, table) split at the dots, or a sequence of parts as they are."""
    parts = table.split(".") if isinstance(table, str) else list(table) if isinstance(table, (list, tuple)) else [None]
    if not all(isinstance(t, str) for t in parts):
        _fail(f"the table name must be text, not {table!r}")
    if not parts or not all(parts):
        _fail(f"table name {'.'.join(parts)!r} has an empty part: name it as table or schema.table")
    return [_no_nul(t, "table name") for t in parts]


def _id_columns(ids, names) -> list[str]:
    try:
        ids = [ids] if isinstance(ids, str) else list(ids)
    except TypeError:
        ids = [ids]
    for i in ids:
        if not isinstance(i, str) or not i:
            _fail(f"an id column name must be non-empty text, not {i!r}")
        _no_nul(i, "id column")
    return check_ids(ids, names)


def _check_names(d: _Dialect, dialect: str, table: list[str], columns: list[str]) -> None:
    """What an engine cannot tell apart or would cut short."""
    folded = Counter(c.casefold() for c in columns)
    twice = [c for c in columns if folded[c.casefold()] > 1]
    if twice:
        other = next(c for c in twice[1:] if c.casefold() == twice[0].casefold())
        _fail(f"columns {twice[0]!r} and {other!r} differ only in case, which SQL engines ignore: rename one")
    if d.max_ident_bytes:
        long = [n for n in [*table, *columns] if len(n.encode("utf-8")) > d.max_ident_bytes]
        if long:
            more = f" (and {len(long) - 1} more)" if len(long) > 1 else ""
            _fail(f"name {long[0]!r}{more} is longer than {dialect}'s {d.max_ident_bytes} bytes; rename it")


def _text_key(text: str) -> str:
    """The key of text that is no number: ISO date-times lose the T, midnight loses its time."""
    return _MIDNIGHT_RE.sub(r"\1", _ISO_TIME_RE.sub(r"\1 \2", text))


def _keys(keys: list[str]) -> tuple[list[float], list[str]]:
    """The doubles whose key is one of ``keys``, and the texts whose key is."""
    numbers, texts = [], []
    for k in keys:
        x = _decimal_number(k)
        if x is not None and _number_key(x) == k:
            numbers.append(x)
        # Date-times whose key this is; text that is a number never gets here, so extra entries cannot match.
        body, tail = (k[:-1], "\n") if k.endswith("\n") else (k, "")
        candidates = [k, f"{body} 00:00:00{tail}", f"{body}T00:00:00{tail}", body.replace(" ", "T", 1) + tail]
        texts += [t for t in dict.fromkeys(candidates) if _text_key(t) == k]
    return numbers, texts


@dataclass
class _Predictor:
    """One predictor as the query codes it: a bin is its position in the card's list of bins, -1 Unseen."""

    name: str
    numerical: bool
    splits: list
    specials: list
    index: list[int]  # the bin of each regular group
    special: int
    missing: int
    labels: list[str]
    points: list[float]
    neutral: float

    @classmethod
    def of(cls, p: Predictor) -> "_Predictor":
        numerical = p.dtype == "numerical"
        texts = [(p.name, "predictor"), *((label, f"bin label of {p.name!r}") for label in p.labels)]
        if not numerical:
            texts += [(c, f"category of {p.name!r}") for c in [*p.special_codes, *(c for g in p.splits for c in g)]]
        for text, what in texts:
            _no_nul(text, f"the card's {what}")
        row = {kind: r for r, kind in enumerate(p.kinds)}
        regular = len(p.splits) + 1 if numerical else len(p.splits)
        return cls(p.name, numerical, list(p.splits), list(p.special_codes), [row[i] for i in range(regular)],
                   row.get(SPECIAL, -1), row.get(MISSING, -1), list(p.labels), list(p.points), p.neutral)

    @property
    def shortfalls(self) -> list[tuple[int, float]]:
        """The bins below neutral by enough to make a reason, with how far below."""
        return [(c, v - self.neutral) for c, v in enumerate(self.points) if v - self.neutral < BELOW]


class _Query:
    """The query as layers, each a SELECT over the one before that carries the id columns through."""

    def __init__(self, d: _Dialect, ids: list[str], source: str):
        self.d = d
        # Working columns get a prefix that no id column starts with.
        prefix = "_tq"
        while any(i.casefold().startswith(prefix) for i in ids):
            prefix = "_" + prefix
        self.prefix = prefix
        self.keep = [d.ident(i) for i in ids]
        self.sql, self.source = None, source

    def col(self, kind: str, j: int) -> str:
        return self.d.ident(f"{self.prefix}{kind}{j}")

    def add(self, columns: list[str], alias: str) -> None:
        source = self.source if self.sql is None else f"(\n{self.sql}{self.d.fence}\n)"
        self.sql = f"SELECT {', '.join(self.keep + columns)}\nFROM {source} AS {self.d.ident(self.prefix + alias)}"


def _values(q: _Query, j: int, p: _Predictor) -> list[str]:
    """Each value, its engine type, its text form and that text trimmed."""
    d, v = q.d, q.d.ident(p.name)
    return [f"{v} AS {q.col('v', j)}", f"{d.typeof(v)} AS {q.col('t', j)}",
            f"{d.as_text(v)} AS {q.col('s', j)}", f"{d.trim(d.as_text(v))} AS {q.col('w', j)}"]


def _parsed(q: _Query, j: int, p: _Predictor) -> list[str]:
    """Missing or not, the number a value reads as (numbers, and text that reads as one); for categories
    also its text key and the bin of text that is itself one of the card's categories."""
    d = q.d
    v, ty, s, w = (q.col(k, j) for k in "vtsw")
    floats, ints, texts = d.is_type(ty, d.float_types), d.is_type(ty, d.int_types), d.is_type(ty, d.text_types)
    missing = f"CASE WHEN {v} IS NULL THEN 1 WHEN {floats} AND {d.is_nan(v, ty, s)} THEN 1 ELSE 0 END"
    from_text = f"WHEN {texts} AND {d.is_number(w)} THEN {d.text_to_double(w)}"
    number = f"CASE WHEN {floats} OR {ints} THEN {d.to_double(v, ty, s)} {from_text} END"
    cols = [f"{missing} AS {q.col('m', j)}", f"{number} AS {q.col('x', j)}"]
    if p.numerical:
        return cols
    x, big = d.to_double(v, ty, s), d.num(_DBL_MAX)
    # The text key of a value that is no finite number.
    key = [f"WHEN {texts} THEN {s}",
           f"WHEN {floats} THEN CASE WHEN {x} > {big} THEN 'inf' WHEN {x} < -{big} THEN '-inf' END"]
    if d.bool_types:
        key.append(f"WHEN {d.is_type(ty, d.bool_types)} THEN CASE WHEN {s} = 'true' THEN 'True' ELSE 'False' END")
    if d.date_types:
        key.append(f"WHEN {d.is_type(ty, d.date_types)} THEN {s}")
    if d.timestamp_types:
        key.append(f"WHEN {d.is_type(ty, d.timestamp_types)} THEN substr({s}, 1, 19)")
    direct = [f"WHEN {d.text_in(s, group)} THEN {p.index[i]}" for i, group in enumerate(p.splits) if group]
    direct = f"CASE WHEN {texts} THEN CASE {' '.join(direct)} ELSE -1 END ELSE -1 END" if direct else "-1"
    return cols + [f"CASE {' '.join(key)} END AS {q.col('k', j)}", f"{direct} AS {q.col('h', j)}"]


def _binned(q: _Query, j: int, p: _Predictor) -> str:
    """The bin: its position in the card's list of bins, -1 for Unseen."""
    d, m, x = q.d, q.col("m", j), q.col("x", j)
    big = d.num(_DBL_MAX)
    finite = f"{x} >= -{big} AND {x} <= {big}"
    if p.numerical:
        whens = []
        if p.specials:
            whens.append(f"WHEN {x} IN ({', '.join(d.num(c) for c in p.specials)}) THEN {p.special}")
        whens += [f"WHEN {x} < {d.num(s)} THEN {p.index[i]}" for i, s in enumerate(p.splits)]
        whens.append(f"ELSE {p.index[-1]}")
        code = f"CASE WHEN {m} = 1 THEN {p.missing} WHEN {finite} THEN CASE {' '.join(whens)} END ELSE -1 END"
        return f"{code} AS {q.col('b', j)}"
    groups = [(p.specials, p.special)] + [(g, p.index[i]) for i, g in enumerate(p.splits)]
    by_number, by_text = [], []
    for keys, c in groups:
        numbers, texts = _keys(keys)
        if numbers:
            by_number.append(f"WHEN {x} IN ({', '.join(d.num(n) for n in numbers)}) THEN {c}")
        if texts:
            by_text.append(f"WHEN {d.text_in(q.col('k', j), texts)} THEN {c}")
    numeric = f"CASE {' '.join(by_number)} ELSE -1 END" if by_number else "-1"
    textual = f"CASE {' '.join(by_text)} ELSE -1 END" if by_text else "-1"
    hit = q.col("h", j)
    code = (f"CASE WHEN {m} = 1 THEN {p.missing} WHEN {hit} >= 0 THEN {hit} "
            f"WHEN {finite} THEN {numeric} ELSE {textual} END")
    return f"{code} AS {q.col('b', j)}"


def _pointed(q: _Query, j: int, p: _Predictor) -> list[str]:
    """The points, and the shortfall below neutral where it makes a reason (NULL otherwise)."""
    d, b = q.d, q.col("b", j)
    pts = " ".join(f"WHEN {c} THEN {d.num(v)}" for c, v in enumerate(p.points))
    pts = f"CASE {b} {pts} ELSE {d.num(p.neutral)} END" if pts else d.num(p.neutral)
    cols = [f"{b} AS {b}", f"{pts} AS {q.col('p', j)}"]
    if p.shortfalls:
        whens = " ".join(f"WHEN {c} THEN {d.num(s)}" for c, s in p.shortfalls)
        cols.append(f"CASE {b} {whens} ELSE {d.null_double()} END AS {q.col('r', j)}")
    return cols


def _ranked(q: _Query, count: int, reasons: list[int]) -> list[str]:
    """Each reason's rank among the applicant's reasons: lower shortfall first, card order on ties."""
    cols = [f"{q.col(k, j)} AS {q.col(k, j)}" for j in range(count) for k in ("b", "p")]
    for j in reasons:
        r = q.col("r", j)
        terms = [f"CASE WHEN {q.col('r', i)} {'<=' if i < j else '<'} {r} THEN 1 ELSE 0 END" for i in reasons if i != j]
        cols += [f"{r} AS {r}", f"{' + '.join(terms) or '0'} AS {q.col('n', j)}"]
    return cols


def _total(q: _Query, count: int) -> str:
    # Summed left to right in card order, as the Python scorer sums.
    return " + ".join(q.col("p", j) for j in range(count)) or f"CAST(0 AS {q.d.double})"


def _outputs(q: _Query, preds: list[_Predictor], reasons: list[int]) -> list[str]:
    """The bin labels, points, score and reasons, under the names the Python scorer gives them."""
    d, values = q.d, []
    for j, p in enumerate(preds):
        labels = " ".join(f"WHEN {c} THEN {d.text(lab)}" for c, lab in enumerate(p.labels))
        values += [f"CASE {q.col('b', j)} {labels} ELSE 'Unseen' END" if labels else "'Unseen'", q.col("p", j)]
    values.append(_total(q, len(preds)))
    names = output_columns([p.name for p in preds])
    for k in range(REASONS):
        whens = " ".join(f"WHEN {q.col('r', j)} IS NOT NULL AND {q.col('n', j)} = {k} THEN {d.text(preds[j].name)}"
                         for j in reasons)
        values.append(f"CASE {whens} ELSE '' END" if whens else "''")
    return [f"{value} AS {d.ident(name)}" for value, name in zip(values, names, strict=True)]


def to_sql(card: Card, *, dialect: str = "duckdb", table="applicants", ids=()) -> str:
    """One SELECT that scores the rows of ``table`` with ``card``.

    ``dialect``: duckdb, sqlite, postgres or spark. ``table``: a table name, with
    dots between the parts of a qualified one (``"db.applicants"``), or a sequence
    of parts taken as they are (``("db", "my.applicants")``). ``ids``: columns
    passed through first. See the module's notes for what each engine can express.
    """
    d = _DIALECT.get(dialect)
    if d is None:
        _fail(f"unknown SQL dialect {dialect!r}; choose one of {', '.join(DIALECTS)}")
    card = _checked(card)
    table = _table_parts(table)
    ids = _id_columns(ids, card.names)
    preds = [_Predictor.of(p) for p in card.predictors]
    _check_names(d, dialect, table, ids + output_columns(card.names))

    q = _Query(d, ids, ".".join(d.ident(t) for t in table))
    q.add([c for j, p in enumerate(preds) for c in _values(q, j, p)], "src")
    q.add([c for j, p in enumerate(preds) for c in _parsed(q, j, p)], "parsed")
    q.add([_binned(q, j, p) for j, p in enumerate(preds)], "binned")
    q.add([c for j, p in enumerate(preds) for c in _pointed(q, j, p)], "pointed")
    reasons = [j for j, p in enumerate(preds) if p.shortfalls]
    q.add(_ranked(q, len(preds), reasons), "ranked")
    q.add(_outputs(q, preds, reasons), "scored")
    return q.sql


# ---------------------------------------------------------------------------------------------
# Monitoring: the counts, not the applicants


def _outcome(card: Card, target: str) -> _Predictor:
    """The target as a predictor of one bin, the card's bad value: matched by meaning, as the scorer matches."""
    from .monitoring.counts import key

    if card.bad is None:
        _fail("the card names no bad value: rebuild it to monitor outcomes")
    return _Predictor(target, False, [[key(card.bad)]], [], [0], -1, -1, ["bad"], [0.0], 0.0)


def _flags(q: _Query, j: int, p: _Predictor) -> list[str]:
    """The bin, whether the value was missing, and (numerical) whether it could not be read as a number."""
    m, x, big = q.col("m", j), q.col("x", j), q.d.num(_DBL_MAX)
    cols = [_binned(q, j, p), f"{m} AS {m}"]
    if p.numerical:
        readable = f"{x} >= -{big} AND {x} <= {big}"
        cols.append(f"CASE WHEN {m} = 1 THEN 0 WHEN {readable} THEN 0 ELSE 1 END AS {q.col('u', j)}")
    return cols


def to_monitor_sql(card: Card, *, dialect: str = "duckdb", table="applicants", period_column=None, period=None,
                   target=None) -> str:
    """One aggregate query over ``table`` that returns what `tessaly monitor CARD --counts` reads.

    Rows of ``kind`` "bin": per period, predictor and bin (the card's bin labels, then "Unseen") the
    ``applicants``, with the ``unreadable`` and ``missing`` values among them. Rows of ``kind`` "score": per
    period, total ``score`` and outcome the ``applicants``; ``bad`` is 1 for the card's bad value, 0 for any
    other and NULL where the outcome is missing (not known yet), ``outcome`` the other value as the engine
    shows it, so that a third one is caught. ``period`` is NULL without ``period_column``; ``period``: month
    (the default), quarter or year. Bins, points and totals are the scoring query's own.

    Periods are read from DATE and TIMESTAMP columns, or from ISO text ("2025-03-14", with a time after " " or
    "T"); a zoned timestamp falls in the period of its wall clock in the session time zone. Text that reads as
    no date gives a NULL period, which `monitor --counts` refuses (PostgreSQL stops the query on it instead).
    """
    from .monitoring.counts import check_period

    d = _DIALECT.get(dialect)
    if d is None:
        _fail(f"unknown SQL dialect {dialect!r}; choose one of {', '.join(DIALECTS)}")
    card = _checked(card)
    table = _table_parts(table)
    period = check_period(period_column, period)
    for name, what in ((period_column, "period column"), (target, "target column")):
        if name is not None and (not isinstance(name, str) or not name):
            _fail(f"the {what} must be non-empty text, not {name!r}")
        if name is not None:
            _no_nul(name, what)
    if target is not None and target in card.names:
        _fail(f"target column {target!r} is a predictor of the card: name the outcome column")
    preds = [_Predictor.of(p) for p in card.predictors]
    _check_names(d, dialect, table, list(dict.fromkeys([*card.names, *(c for c in (target, period_column) if c)])))

    k = len(preds)
    q = _Query(d, [period_column] if period_column else [], ".".join(d.ident(t) for t in table))
    units = preds + ([_outcome(card, target)] if target else [])
    q.add([c for j, p in enumerate(units) for c in _values(q, j, p)], "src")
    text = [f"{q.col('s', k)} AS {q.col('s', k)}"] if target else []  # the target as the engine shows it
    q.add([c for j, p in enumerate(units) for c in _parsed(q, j, p)] + text, "parsed")
    q.add([c for j, p in enumerate(units) for c in _flags(q, j, p)] + text, "binned")
    carried = [q.col(c, j) for j, p in enumerate(preds) for c in ("m", "u")[:1 + p.numerical]]
    pointed = [c for j, p in enumerate(preds) for c in _pointed(q, j, p)] + [f"{c} AS {c}" for c in carried]
    if target:
        b, m = q.col("b", k), q.col("m", k)
        pointed += [f"CASE WHEN {m} = 1 THEN NULL WHEN {b} = 0 THEN 1 ELSE 0 END AS {q.col('y', 0)}",
                    f"CASE WHEN {m} = 0 AND {b} <> 0 THEN {q.col('s', k)} END AS {q.col('o', 0)}"]
    else:
        pointed += [f"CAST(NULL AS INTEGER) AS {q.col('y', 0)}", f"{d.as_text('NULL')} AS {q.col('o', 0)}"]
    q.add(pointed, "pointed")
    label = d.period(d.ident(period_column), period) if period_column else d.as_text("NULL")
    q.add([f"{label} AS {q.col('period', 0)}", f"{_total(q, k)} AS {q.col('score', 0)}",
           *(f"{c} AS {c}" for c in [q.col("b", j) for j in range(k)] + carried),
           f"{q.col('y', 0)} AS {q.col('y', 0)}", f"{q.col('o', 0)} AS {q.col('o', 0)}"], "scored")

    # One row per applicant and predictor, and one for the score: a single pass that every engine can group.
    name = d.ident
    s, u = name("s"), name("u")

    def per_unit(kind: str, otherwise: str) -> str:
        whens = " ".join(f"WHEN {j} THEN {s}.{q.col(kind, j)}" for j, p in enumerate(preds)
                         if kind != "u" or p.numerical)
        return f"CASE {u}.{name('j')} {whens} ELSE {otherwise} END" if whens else otherwise

    last = f"{u}.{name('j')} = {k}"
    numbers = " UNION ALL ".join(f"SELECT {j} AS {name('j')}" for j in range(k + 1))
    rows = (f"SELECT {u}.{name('j')} AS {name('j')}, {s}.{q.col('period', 0)} AS {name('period')}, "
            f"{per_unit('b', 'NULL')} AS {name('cell')}, "
            f"CASE WHEN {last} THEN {s}.{q.col('score', 0)} END AS {name('score')}, "
            f"CASE WHEN {last} THEN {s}.{q.col('y', 0)} END AS {name('bad')}, "
            f"CASE WHEN {last} THEN {s}.{q.col('o', 0)} END AS {name('outcome')}, "
            f"{per_unit('u', '0')} AS {name('u')}, {per_unit('m', '0')} AS {name('m')}\n"
            f"FROM (\n{q.sql}{d.fence}\n) AS {s} CROSS JOIN ({numbers}) AS {u}")
    keys = ", ".join(name(c) for c in ("j", "period", "cell", "score", "bad", "outcome"))
    grouped = (f"SELECT {keys}, CAST(count(*) AS BIGINT) AS {name('applicants')}, "
               f"CAST(sum({name('u')}) AS BIGINT) AS {name('unreadable')}, "
               f"CAST(sum({name('m')}) AS BIGINT) AS {name('missing')}\n"
               f"FROM (\n{rows}{d.fence}\n) AS {name('t')}\nGROUP BY {keys}")
    j, cell = name("j"), name("cell")
    names = " ".join(f"WHEN {i} THEN {d.text(p.name)}" for i, p in enumerate(preds))
    labels = " ".join(f"WHEN {i} THEN CASE {cell} "
                      + "".join(f"WHEN {c} THEN {d.text(lab)} " for c, lab in enumerate(p.labels))
                      + "ELSE 'Unseen' END" for i, p in enumerate(preds))
    return (f"SELECT CASE WHEN {j} = {k} THEN 'score' ELSE 'bin' END AS {name('kind')}, {name('period')}, "
            f"CASE {j} {names} END AS {name('predictor')}, CASE {j} {labels} END AS {name('bin')}, "
            f"{', '.join(name(c) for c in ('score', 'bad', 'outcome', 'applicants', 'unreadable', 'missing'))}\n"
            f"FROM (\n{grouped}{d.fence}\n) AS {name('g')}")
