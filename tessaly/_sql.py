"""A saved card as one SQL SELECT, for scoring where the applicants already live.

``to_sql(card, dialect=..., table=..., ids=[...])`` takes the card as plain data
(``Card.to_dict()`` or the parsed card.json) and returns one SELECT that yields,
per applicant: the id columns as given, then per predictor ``<p>_bin`` and
``<p>_points``, then ``score`` and ``reason_1`` .. ``reason_3``, with the same
bins, points, total and reason codes as the Python scorer.

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
  seconds, the fraction dropped; time zones are not converted (a TIMESTAMP WITH
  TIME ZONE column is Unseen; Spark renders its TIMESTAMP in the session time
  zone, so use TIMESTAMP_NTZ or set spark.sql.session.timeZone). In a numerical
  predictor they are unreadable.
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

import math
import re
from decimal import Decimal, localcontext

from ._errors import InputError

DIALECTS = ("duckdb", "sqlite", "postgres", "spark")
REASONS = 3
# Tie threshold of the reason codes: a shortfall this close to zero is no reason.
BELOW = -1e-9
WHITESPACE = " \t\n\r\f\v"
# A decimal number once the surrounding whitespace is gone: what the Python scorer reads as a number.
NUMBER = r"[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][+-]?[0-9]+)?"
_NUMBER_RE = re.compile(NUMBER)
_ISO_TIME = re.compile(r"^(\d{4}-\d{2}-\d{2})T(\d{2}:\d{2}:\d{2})$")
_MIDNIGHT = re.compile(r"^(\d{4}-\d{2}-\d{2})[ T]00:00:00$")
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


class _Dialect:
    """Quoting, literals and the value dispatch of one engine."""

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
    def typeof(self, v: str) -> str: ...
    def as_text(self, v: str) -> str: ...
    def trim(self, s: str) -> str: ...
    def is_number(self, t: str) -> str: ...
    def text_to_double(self, t: str) -> str: ...
    def to_double(self, v: str, ty: str, s: str) -> str: ...
    def is_nan(self, v: str, ty: str, s: str) -> str: ...

    def midnight(self, s: str) -> str:
        return f"CASE WHEN {s} LIKE '% 00:00:00' THEN substr({s}, 1, length({s}) - 9) ELSE {s} END"


class _DuckDB(_Dialect):
    text_types = ("VARCHAR", "ENUM%")
    int_types = ("TINYINT", "SMALLINT", "INTEGER", "BIGINT", "HUGEINT",
                 "UTINYINT", "USMALLINT", "UINTEGER", "UBIGINT", "UHUGEINT")
    float_types = ("DOUBLE", "FLOAT", "DECIMAL%")
    bool_types = ("BOOLEAN",)
    date_types = ("DATE",)
    timestamp_types = ("TIMESTAMP",)

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

    def text_in(self, kt, keys):
        return f"{kt} COLLATE BINARY IN ({', '.join(self.text(k) for k in keys)})"


class _Postgres(_Dialect):
    double = "DOUBLE PRECISION"
    text_types = ("text", "character varying", "character", "name")
    int_types = ("smallint", "integer", "bigint")
    float_types = ("double precision", "real", "numeric")
    bool_types = ("boolean",)
    date_types = ("date",)
    timestamp_types = ("timestamp without time zone",)
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


_DIALECT = {"duckdb": _DuckDB(), "sqlite": _SQLite(), "postgres": _Postgres(), "spark": _Spark()}


def _fail(message: str):
    raise InputError(message)


def _check_text(value, what: str) -> str:
    if not isinstance(value, str):
        _fail(f"the card's {what} must be text, not {type(value).__name__}; re-save the card")
    if "\x00" in value:
        _fail(f"the card's {what} {value!r} holds a NUL character, which SQL text cannot carry; rename it")
    return value


def _check_float(value, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        _fail(f"the card's {what} must be a finite number, not {value!r}; re-save the card")
    return float(value)


def _predictor(p: dict) -> dict:
    """One predictor of the card, checked, with bin codes (the position in 'bins', -1 Unseen)."""
    if not isinstance(p, dict):
        _fail("each of the card's predictors must be an object; re-save the card")
    name = _check_text(p.get("name"), "predictor name")
    if not name:
        _fail("a predictor of the card has an empty name; re-save the card")
    kind = p.get("type")
    if kind not in ("numerical", "categorical"):
        _fail(f"predictor {name!r} has type {kind!r}; the card allows 'numerical' or 'categorical'")
    splits = p.get("splits")
    specials = p.get("special_codes") or []
    bins = p.get("bins")
    if not isinstance(splits, list) or not isinstance(specials, list) or not isinstance(bins, list):
        _fail(f"predictor {name!r} lacks its splits, special_codes or bins lists; re-save the card")
    if kind == "numerical":
        splits = [_check_float(s, f"split of {name!r}") for s in splits]
        if any(b <= a for a, b in zip(splits, splits[1:])):
            _fail(f"the splits of {name!r} must ascend strictly; re-save the card")
        specials = [_check_float(s, f"special code of {name!r}") for s in specials]
        regular = len(splits) + 1
    else:
        if not all(isinstance(group, list) for group in splits):
            _fail(f"the splits of categorical {name!r} must be lists of categories; re-save the card")
        splits = [[_check_text(k, f"category of {name!r}") for k in group] for group in splits]
        specials = [_check_text(k, f"special code of {name!r}") for k in specials]
        regular = len(splits)
    codes = {"special": -1, "missing": -1}
    index = [-1] * regular
    labels, points = [], []
    for code, b in enumerate(bins):
        if not isinstance(b, dict):
            _fail(f"each bin of {name!r} must be an object; re-save the card")
        labels.append(_check_text(b.get("label"), f"bin label of {name!r}"))
        points.append(_check_float(b.get("points"), f"points of a bin of {name!r}"))
        kind_b = b.get("kind")
        if kind_b == "regular":
            i = b.get("index")
            if not isinstance(i, int) or isinstance(i, bool) or not 0 <= i < regular or index[i] >= 0:
                _fail(f"bin {b.get('label')!r} of {name!r} has a bad or repeated index {i!r}; re-save the card")
            index[i] = code
        elif kind_b in codes and codes[kind_b] < 0:
            codes[kind_b] = code
        else:
            _fail(f"bin {b.get('label')!r} of {name!r} has kind {kind_b!r}; "
                  "a card has regular bins and at most one special and one missing bin")
    if min(index, default=0) < 0:
        _fail(f"predictor {name!r} lacks a bin for each of its {regular} regular groups; re-save the card")
    neutral = _check_float(p.get("neutral"), f"neutral points of {name!r}")
    return {"name": name, "type": kind, "splits": splits, "specials": specials, "index": index,
            "special": codes["special"], "missing": codes["missing"], "labels": labels,
            "points": points, "neutral": neutral}


def _text_key(text: str) -> str:
    """The key of text that is no number: ISO date-times lose the T, midnight loses its time."""
    return _MIDNIGHT.sub(r"\1", _ISO_TIME.sub(r"\1 \2", text))


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


def to_sql(card: dict, *, dialect: str = "duckdb", table="applicants", ids=()) -> str:
    """One SELECT that scores the rows of ``table`` with ``card`` (the card as plain data).

    ``dialect``: duckdb, sqlite, postgres or spark. ``table``: a table name, or a
    sequence of names for a qualified one (``("db", "applicants")``). ``ids``:
    columns passed through first. See the module's notes for what each engine
    can express.
    """
    d = _DIALECT.get(dialect)
    if d is None:
        _fail(f"unknown SQL dialect {dialect!r}; choose one of {', '.join(DIALECTS)}")
    if not isinstance(card, dict) or not isinstance(card.get("predictors"), list) or not card["predictors"]:
        _fail("to_sql takes the card as plain data (card.to_dict() or card.json), with a list of predictors")
    if isinstance(table, str):
        table = [table]
    table = [_check_text(t, "table name") for t in table]
    if not table:
        _fail("to_sql needs a table name")
    if isinstance(ids, str):
        ids = [ids]
    ids = [_check_text(i, "id column name") for i in ids]
    preds = [_predictor(p) for p in card["predictors"]]
    names = [p["name"] for p in preds]
    # Engines match column names without regard to case.
    for what, seq in (("predictor", names), ("id column", ids)):
        folded = [s.casefold() for s in seq]
        if len(set(folded)) < len(folded):
            _fail(f"{what} names repeat (ignoring case) in {seq}; SQL engines cannot tell such columns apart")
    outputs = ids + [f"{n}_{what}" for n in names for what in ("bin", "points")]
    outputs += ["score"] + [f"reason_{k + 1}" for k in range(REASONS)]
    if d.max_ident_bytes:
        long = [o for o in outputs if len(o.encode("utf-8")) > d.max_ident_bytes]
        if long:
            _fail(f"column names {long} are longer than {dialect}'s {d.max_ident_bytes} bytes; rename them")

    # Working columns get a prefix that no id column starts with.
    prefix = "_tq"
    while any(i.casefold().startswith(prefix) for i in ids):
        prefix = "_" + prefix
    col = lambda kind, j: d.ident(f"{prefix}{kind}{j}")  # noqa: E731
    keep = [d.ident(i) for i in ids]
    q = d.ident

    def layer(columns: list[str], source: str, alias: str) -> str:
        return f"SELECT {', '.join(keep + columns)}\nFROM {source} AS {q(prefix + alias)}"

    def inner(sql: str) -> str:
        return f"(\n{sql}{d.fence}\n)"

    # 1. Each value, its engine type and text form.
    cols = []
    for j, p in enumerate(preds):
        v = q(p["name"])
        cols += [f"{v} AS {col('v', j)}", f"{d.typeof(v)} AS {col('t', j)}",
                 f"{d.as_text(v)} AS {col('s', j)}", f"{d.trim(d.as_text(v))} AS {col('w', j)}"]
    sql = layer(cols, ".".join(q(t) for t in table), "src")

    # 2. Missing, the number it reads as (numbers, and text that reads as one), and its text key.
    cols = []
    for j, p in enumerate(preds):
        v, ty, s, w = col("v", j), col("t", j), col("s", j), col("w", j)
        floats, ints, texts = d.is_type(ty, d.float_types), d.is_type(ty, d.int_types), d.is_type(ty, d.text_types)
        missing = f"CASE WHEN {v} IS NULL THEN 1 WHEN {floats} AND {d.is_nan(v, ty, s)} THEN 1 ELSE 0 END"
        from_text = f"WHEN {texts} AND {d.is_number(w)} THEN {d.text_to_double(w)}"
        number = f"CASE WHEN {floats} OR {ints} THEN {d.to_double(v, ty, s)} {from_text} END"
        if p["type"] == "numerical":
            cols += [f"{missing} AS {col('m', j)}", f"{number} AS {col('x', j)}"]
            continue
        x = d.to_double(v, ty, s)
        big = d.num(_DBL_MAX)
        # The text key of a value that is no finite number.
        key = [f"WHEN {texts} THEN {s}",
               f"WHEN {floats} THEN CASE WHEN {x} > {big} THEN 'inf' WHEN {x} < -{big} THEN '-inf' END"]
        if d.bool_types:
            key.append(f"WHEN {d.is_type(ty, d.bool_types)} THEN CASE WHEN {s} = 'true' THEN 'True' ELSE 'False' END")
        if d.date_types:
            key.append(f"WHEN {d.is_type(ty, d.date_types)} THEN {s}")
        if d.timestamp_types:
            key.append(f"WHEN {d.is_type(ty, d.timestamp_types)} THEN substr({s}, 1, 19)")
        # Direct hits: text that is itself one of the card's categories.
        direct = [f"WHEN {d.text_in(s, group)} THEN {p['index'][i]}" for i, group in enumerate(p["splits"]) if group]
        direct = f"CASE WHEN {texts} THEN CASE {' '.join(direct)} ELSE -1 END ELSE -1 END" if direct else "-1"
        cols += [f"{missing} AS {col('m', j)}", f"{number} AS {col('x', j)}",
                 f"CASE {' '.join(key)} END AS {col('k', j)}", f"{direct} AS {col('h', j)}"]
    sql = layer(cols, inner(sql), "parsed")

    # 3. The bin: its position in the card's list of bins, -1 for Unseen.
    cols = []
    big = d.num(_DBL_MAX)
    for j, p in enumerate(preds):
        m, x = col("m", j), col("x", j)
        finite = f"{x} >= -{big} AND {x} <= {big}"
        if p["type"] == "numerical":
            whens = []
            if p["specials"]:
                whens.append(f"WHEN {x} IN ({', '.join(d.num(c) for c in p['specials'])}) THEN {p['special']}")
            whens += [f"WHEN {x} < {d.num(s)} THEN {p['index'][i]}" for i, s in enumerate(p["splits"])]
            whens.append(f"ELSE {p['index'][-1]}")
            seen = f"CASE {' '.join(whens)} END"
            code = f"CASE WHEN {m} = 1 THEN {p['missing']} WHEN {finite} THEN {seen} ELSE -1 END"
        else:
            groups = [(p["specials"], p["special"])] + [(g, p["index"][i]) for i, g in enumerate(p["splits"])]
            by_number, by_text = [], []
            for keys, c in groups:
                numbers, texts = _keys(keys)
                if numbers:
                    by_number.append(f"WHEN {x} IN ({', '.join(d.num(n) for n in numbers)}) THEN {c}")
                if texts:
                    by_text.append(f"WHEN {d.text_in(col('k', j), texts)} THEN {c}")
            numeric = f"CASE {' '.join(by_number)} ELSE -1 END" if by_number else "-1"
            textual = f"CASE {' '.join(by_text)} ELSE -1 END" if by_text else "-1"
            code = (f"CASE WHEN {m} = 1 THEN {p['missing']} WHEN {col('h', j)} >= 0 THEN {col('h', j)} "
                    f"WHEN {finite} THEN {numeric} ELSE {textual} END")
        cols.append(f"{code} AS {col('b', j)}")
    sql = layer(cols, inner(sql), "binned")

    # 4. Points, and the shortfall below neutral where it makes a reason (NULL otherwise).
    cols, reasons = [], []
    for j, p in enumerate(preds):
        b = col("b", j)
        pts = " ".join(f"WHEN {c} THEN {d.num(v)}" for c, v in enumerate(p["points"]))
        pts = f"CASE {b} {pts} ELSE {d.num(p['neutral'])} END" if pts else d.num(p["neutral"])
        short = [(c, v - p["neutral"]) for c, v in enumerate(p["points"])]
        short = [(c, s) for c, s in short if s < BELOW]
        cols += [f"{b} AS {b}", f"{pts} AS {col('p', j)}"]
        if short:
            whens = " ".join(f"WHEN {c} THEN {d.num(s)}" for c, s in short)
            cols.append(f"CASE {b} {whens} ELSE {d.null_double()} END AS {col('r', j)}")
            reasons.append(j)
    sql = layer(cols, inner(sql), "pointed")

    # 5. Rank among the reasons: lower shortfall first, card order on ties.
    cols = [f"{col(k, j)} AS {col(k, j)}" for j in range(len(preds)) for k in ("b", "p")]
    for j in reasons:
        cols.append(f"{col('r', j)} AS {col('r', j)}")
        r = col("r", j)
        terms = [f"CASE WHEN {col('r', i)} {'<=' if i < j else '<'} {r} THEN 1 ELSE 0 END" for i in reasons if i != j]
        cols.append(f"{' + '.join(terms) or '0'} AS {col('n', j)}")
    sql = layer(cols, inner(sql), "ranked")

    # 6. The outputs.
    cols = []
    for j, p in enumerate(preds):
        b = col("b", j)
        labels = " ".join(f"WHEN {c} THEN {d.text(lab)}" for c, lab in enumerate(p["labels"]))
        label = f"CASE {b} {labels} ELSE 'Unseen' END" if labels else "'Unseen'"
        cols += [f"{label} AS {q(p['name'] + '_bin')}", f"{col('p', j)} AS {q(p['name'] + '_points')}"]
    # Summed left to right in card order, as the Python scorer sums.
    total = " + ".join(col("p", j) for j in range(len(preds))) or "CAST(0 AS " + d.double + ")"
    cols.append(f"{total} AS {q('score')}")
    for k in range(REASONS):
        whens = " ".join(f"WHEN {col('r', j)} IS NOT NULL AND {col('n', j)} = {k} THEN {d.text(names[j])}"
                         for j in reasons)
        reason = f"CASE {whens} ELSE '' END" if whens else "''"
        cols.append(f"{reason} AS {q(f'reason_{k + 1}')}")
    return layer(cols, inner(sql), "scored")
