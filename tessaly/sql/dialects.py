"""The engines a card's query is written for: quoting, literals and the value dispatch of each; a new
engine is one subclass and one entry in BY_NAME."""

from __future__ import annotations

import abc
import math
from collections import Counter
from decimal import Decimal, localcontext

from .._tables import NUMBER
from .names import fail

WHITESPACE = " \t\n\r\f\v"


class Dialect(abc.ABC):
    """Quoting, literals and the value dispatch of one engine: a new engine is one subclass."""

    double = "DOUBLE"
    text_types: tuple = ()
    int_types: tuple = ()
    float_types: tuple = ()  # read exactly as doubles (may also be NaN or infinite)
    bool_types: tuple = ()
    date_types: tuple = ()
    timestamp_types: tuple = ()
    max_ident_bytes: int | None = None
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


class _DuckDB(Dialect):
    text_types = ("VARCHAR", "ENUM%")
    int_types = (
        "TINYINT",
        "SMALLINT",
        "INTEGER",
        "BIGINT",
        "HUGEINT",
        "UTINYINT",
        "USMALLINT",
        "UINTEGER",
        "UBIGINT",
        "UHUGEINT",
    )
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
        return f"CASE WHEN {ty} IN ('DOUBLE', 'FLOAT') THEN TRY_CAST({v} AS DOUBLE) ELSE TRY_CAST({s} AS DOUBLE) END"

    def is_nan(self, v, ty, s):
        return f"isnan(TRY_CAST({v} AS DOUBLE))"

    def period(self, v, kind):
        # A zoned timestamp becomes the session's wall clock.
        t = f"TRY_CAST({v} AS TIMESTAMP)"
        year = f"strftime({t}, '%Y')"
        return {
            "month": f"strftime({t}, '%Y-%m')",
            "quarter": f"{year} || 'Q' || CAST(quarter({t}) AS VARCHAR)",
            "year": year,
        }[kind]

    def text_in(self, kt, keys):
        return f'({kt} COLLATE "binary") IN ({", ".join(self.text(k) for k in keys)})'


class _SQLite(Dialect):
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
        return (
            f"({t} NOT GLOB '*[^0-9.eE+-]*' AND {t} NOT GLOB '*[eE]*[eE]*' "
            f"AND {t} NOT GLOB '*.*.*' AND {t} NOT GLOB '*[eE]*.*' AND {t} NOT GLOB '*[^eE][+-]*' "
            f"AND CASE WHEN {t} GLOB '*[eE]*' THEN {t} GLOB '*[0-9]*[eE]*' "
            f"AND ({t} GLOB '*[eE][0-9]*' OR {t} GLOB '*[eE][+-][0-9]*') "
            f"ELSE {t} GLOB '*[0-9]*' END)"
        )

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


class _Postgres(Dialect):
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
        return (
            f"CASE WHEN abs({n}) >= {overflow:f} THEN {self.null_double()} "
            f"WHEN abs({n}) <= {underflow:f} THEN CAST(0 AS DOUBLE PRECISION) "
            f"ELSE CAST({n} AS DOUBLE PRECISION) END"
        )

    def text_to_double(self, t):
        return self._numeric_to_double(t)

    def to_double(self, v, ty, s):
        return (
            f"CASE WHEN {ty} = 'real' THEN CAST(CAST({s} AS REAL) AS DOUBLE PRECISION) "
            f"WHEN {ty} = 'numeric' THEN "
            f"CASE WHEN {s} IN ('NaN', 'Infinity', '-Infinity') THEN CAST({s} AS DOUBLE PRECISION) "
            f"ELSE {self._numeric_to_double(s)} END "
            f"ELSE CAST({s} AS DOUBLE PRECISION) END"
        )

    def is_nan(self, v, ty, s):
        return f"({s} = 'NaN')"

    def period(self, v, kind):
        # Through the text form: a zoned timestamp keeps the session's wall clock, its offset dropped.
        t = f"CAST(CAST({v} AS TEXT) AS TIMESTAMP)"
        return f"to_char({t}, {self.text({'month': 'YYYY-MM', 'quarter': 'YYYY"Q"Q', 'year': 'YYYY'}[kind])})"

    def text_in(self, kt, keys):
        return f'({kt} COLLATE "C") IN ({", ".join(self.text(k) for k in keys)})'


class _Spark(Dialect):
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
        return (
            f"CASE WHEN {ty} = 'float' THEN try_cast(try_cast({s} AS FLOAT) AS DOUBLE) ELSE try_cast({s} AS DOUBLE) END"
        )

    def is_nan(self, v, ty, s):
        return f"({s} = 'NaN')"

    def period(self, v, kind):
        t = f"try_cast({v} AS TIMESTAMP)"  # shown in the session time zone
        year = f"date_format({t}, 'yyyy')"
        quarter = f"concat({year}, 'Q', CAST(quarter({t}) AS STRING))"
        return {"month": f"date_format({t}, 'yyyy-MM')", "quarter": quarter, "year": year}[kind]


BY_NAME = {"duckdb": _DuckDB(), "sqlite": _SQLite(), "postgres": _Postgres(), "spark": _Spark()}
DIALECTS = tuple(BY_NAME)


def dialect(name: str) -> Dialect:
    d = BY_NAME.get(name)
    if d is None:
        fail(f"unknown SQL dialect {name!r}; choose one of {', '.join(DIALECTS)}")
    return d


def check_names(d: Dialect, dialect: str, table: list[str], columns: list[str]) -> None:
    """What an engine cannot tell apart or would cut short."""
    folded = Counter(c.casefold() for c in columns)
    twice = [c for c in columns if folded[c.casefold()] > 1]
    if twice:
        other = next(c for c in twice[1:] if c.casefold() == twice[0].casefold())
        fail(f"columns {twice[0]!r} and {other!r} differ only in case, which SQL engines ignore: rename one")
    if d.max_ident_bytes:
        long = [n for n in [*table, *columns] if len(n.encode("utf-8")) > d.max_ident_bytes]
        if long:
            more = f" (and {len(long) - 1} more)" if len(long) > 1 else ""
            fail(f"name {long[0]!r}{more} is longer than {dialect}'s {d.max_ident_bytes} bytes; rename it")
