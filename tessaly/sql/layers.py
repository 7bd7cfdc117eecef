"""The query as layers, each a SELECT over the one before: the values read, parsed, binned and pointed,
the reasons ranked and the outputs named. The scoring and the monitoring query both stack them."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field

from .._bins import MISSING, SPECIAL, Bins
from .._card import BELOW, REASONS, Card, Cross, Predictor, output_columns
from .._reasons import bin_texts
from .dialects import Dialect
from .keys import matching
from .names import no_nul

DBL_MAX = 1.7976931348623157e308


@dataclass
class Coded:
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
    basis: float | None = None  # what a bin falls short of to make a reason; None: neutral
    texts: list[str] = field(default_factory=list)  # each bin's reason in words

    @classmethod
    def of(cls, p: Predictor, card: Card | None = None) -> Coded:
        numerical = p.dtype == "numerical"
        texts = [(p.name, "predictor"), *((label, f"bin label of {p.name!r}") for label in p.labels)]
        if not numerical:
            texts += [(c, f"category of {p.name!r}") for c in [*p.special_codes, *(c for g in p.splits for c in g)]]
        words = [] if card is None else bin_texts(card, p)
        texts += [(t, f"reason text of {p.name!r}") for t in words]
        for text, what in texts:
            no_nul(text, f"the card's {what}")
        row = {kind: r for r, kind in enumerate(p.kinds)}
        regular = len(p.splits) + 1 if numerical else len(p.splits)
        return cls(
            p.name,
            numerical,
            list(p.splits),
            list(p.special_codes),
            [row[i] for i in range(regular)],
            row.get(SPECIAL, -1),
            row.get(MISSING, -1),
            list(p.labels),
            list(p.points),
            p.neutral,
            None if card is None else card.reason_basis(p),
            words,
        )

    @property
    def shortfalls(self) -> list[tuple[int, float]]:
        """The bins below neutral by enough to make a reason, with how far below."""
        basis = self.neutral if self.basis is None else self.basis
        return [(c, v - basis) for c, v in enumerate(self.points) if v - basis < BELOW]


@dataclass
class Units:
    """What the query reads and scores: the card's predictors, its crosses (scored like predictors, after them)
    and the two predictors of each cross (read and binned, never scored). A unit's j is its place here."""

    preds: list[Coded]
    crosses: list[Coded]
    cells: list[list[list[int]]]  # per cross: per bin of its first predictor, per bin of its second, the cell
    sides: list[Coded]

    @classmethod
    def of(cls, card: Card) -> Units:
        crosses = [_cross_coded(c, card) for c in card.crosses]
        sides = [_side_coded(s) for c in card.crosses for s in c.sides]
        return cls([Coded.of(p, card) for p in card.predictors], crosses, [c.cells for c in card.crosses], sides)

    @property
    def scored(self) -> list[Coded]:
        return self.preds + self.crosses

    @property
    def read(self) -> list[tuple[int, Coded]]:
        """The units whose columns are read, with their j: the predictors and the crosses' predictors."""
        first = len(self.preds) + len(self.crosses)
        return [*enumerate(self.preds), *((first + i, s) for i, s in enumerate(self.sides))]


def _side_coded(side: Bins) -> Coded:
    n = len(side.kinds)
    return Coded.of(
        Predictor(
            side.name,
            side.dtype,
            side.splits,
            side.special_codes,
            side.kinds,
            labels=[str(i) for i in range(n)],
            points=[0.0] * n,
        )
    )


def _cross_coded(c: Cross, card: Card) -> Coded:
    words = bin_texts(card, c)
    for text in [c.name, *c.labels, *words]:
        no_nul(text, f"the card's cross {c.name!r}")
    return Coded(
        c.name, False, [], [], [], -1, -1, list(c.labels), list(c.points), c.neutral, card.reason_basis(c), words
    )


def crossed(q: Query, u: Units, carry: Sequence[str] = ()) -> list[str]:
    """The bins carried up (and the columns `carry`), and each cross's cell from the bins of its two
    predictors (-1 where either is Unseen)."""
    k, first = len(u.preds), len(u.preds) + len(u.crosses)
    cols = [f"{c} AS {c}" for c in [*(q.col("b", j) for j in range(k)), *carry]]
    for i, cells in enumerate(u.cells):
        a, b = q.col("b", first + 2 * i), q.col("b", first + 2 * i + 1)
        rows = " ".join(
            f"WHEN {r} THEN CASE {b} {' '.join(f'WHEN {c} THEN {cell}' for c, cell in enumerate(row))} ELSE -1 END"
            for r, row in enumerate(cells)
        )
        cols.append(f"CASE {a} {rows} ELSE -1 END AS {q.col('b', k + i)}")
    return cols


class Query:
    """The query as layers, each a SELECT over the one before that carries the id columns through."""

    def __init__(self, d: Dialect, ids: list[str], source: str):
        self.d = d
        # Working columns get a prefix that no id column starts with.
        prefix = "_tq"
        while any(i.casefold().startswith(prefix) for i in ids):
            prefix = "_" + prefix
        self.prefix = prefix
        self.keep = [d.ident(i) for i in ids]
        self.sql: str | None = None
        self.source = source

    def col(self, kind: str, j: int) -> str:
        return self.d.ident(f"{self.prefix}{kind}{j}")

    def add(self, columns: list[str], alias: str) -> str:
        """One more layer; returns the query so far."""
        source = self.source if self.sql is None else f"(\n{self.sql}{self.d.fence}\n)"
        self.sql = f"SELECT {', '.join(self.keep + columns)}\nFROM {source} AS {self.d.ident(self.prefix + alias)}"
        return self.sql


def values(q: Query, j: int, p: Coded) -> list[str]:
    """Each value, its engine type, its text form and that text trimmed."""
    d, v = q.d, q.d.ident(p.name)
    return [
        f"{v} AS {q.col('v', j)}",
        f"{d.typeof(v)} AS {q.col('t', j)}",
        f"{d.as_text(v)} AS {q.col('s', j)}",
        f"{d.trim(d.as_text(v))} AS {q.col('w', j)}",
    ]


def parsed(q: Query, j: int, p: Coded) -> list[str]:
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
    x, big = d.to_double(v, ty, s), d.num(DBL_MAX)
    # The text key of a value that is no finite number.
    key = [
        f"WHEN {texts} THEN {s}",
        f"WHEN {floats} THEN CASE WHEN {x} > {big} THEN 'inf' WHEN {x} < -{big} THEN '-inf' END",
    ]
    if d.bool_types:
        key.append(f"WHEN {d.is_type(ty, d.bool_types)} THEN CASE WHEN {s} = 'true' THEN 'True' ELSE 'False' END")
    if d.date_types:
        key.append(f"WHEN {d.is_type(ty, d.date_types)} THEN {s}")
    if d.timestamp_types:
        key.append(f"WHEN {d.is_type(ty, d.timestamp_types)} THEN substr({s}, 1, 19)")
    whens = [f"WHEN {d.text_in(s, group)} THEN {p.index[i]}" for i, group in enumerate(p.splits) if group]
    direct = f"CASE WHEN {texts} THEN CASE {' '.join(whens)} ELSE -1 END ELSE -1 END" if whens else "-1"
    return cols + [f"CASE {' '.join(key)} END AS {q.col('k', j)}", f"{direct} AS {q.col('h', j)}"]


def binned(q: Query, j: int, p: Coded) -> str:
    """The bin: its position in the card's list of bins, -1 for Unseen."""
    d, m, x = q.d, q.col("m", j), q.col("x", j)
    big = d.num(DBL_MAX)
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
        numbers, texts = matching(keys)
        if numbers:
            by_number.append(f"WHEN {x} IN ({', '.join(d.num(n) for n in numbers)}) THEN {c}")
        if texts:
            by_text.append(f"WHEN {d.text_in(q.col('k', j), texts)} THEN {c}")
    numeric = f"CASE {' '.join(by_number)} ELSE -1 END" if by_number else "-1"
    textual = f"CASE {' '.join(by_text)} ELSE -1 END" if by_text else "-1"
    hit = q.col("h", j)
    code = (
        f"CASE WHEN {m} = 1 THEN {p.missing} WHEN {hit} >= 0 THEN {hit} WHEN {finite} THEN {numeric} ELSE {textual} END"
    )
    return f"{code} AS {q.col('b', j)}"


def pointed(q: Query, j: int, p: Coded) -> list[str]:
    """The points, and the shortfall below neutral where it makes a reason (NULL otherwise)."""
    d, b = q.d, q.col("b", j)
    pts = " ".join(f"WHEN {c} THEN {d.num(v)}" for c, v in enumerate(p.points))
    pts = f"CASE {b} {pts} ELSE {d.num(p.neutral)} END" if pts else d.num(p.neutral)
    cols = [f"{b} AS {b}", f"{pts} AS {q.col('p', j)}"]
    if p.shortfalls:
        whens = " ".join(f"WHEN {c} THEN {d.num(s)}" for c, s in p.shortfalls)
        cols.append(f"CASE {b} {whens} ELSE {d.null_double()} END AS {q.col('r', j)}")
    return cols


def ranked(q: Query, count: int, reasons: list[int]) -> list[str]:
    """Each reason's rank among the applicant's reasons: lower shortfall first, card order on ties."""
    cols = [f"{q.col(k, j)} AS {q.col(k, j)}" for j in range(count) for k in ("b", "p")]
    for j in reasons:
        r = q.col("r", j)
        terms = [f"CASE WHEN {q.col('r', i)} {'<=' if i < j else '<'} {r} THEN 1 ELSE 0 END" for i in reasons if i != j]
        cols += [f"{r} AS {r}", f"{' + '.join(terms) or '0'} AS {q.col('n', j)}"]
    return cols


def total(q: Query, count: int) -> str:
    # Summed left to right in card order, as the Python scorer sums.
    return " + ".join(q.col("p", j) for j in range(count)) or f"CAST(0 AS {q.d.double})"


def _said(q: Query, j: int, p: Coded) -> str:
    """The words of predictor j's reason, by the applicant's bin (only bins below the basis can be reasons)."""
    whens = " ".join(f"WHEN {c} THEN {q.d.text(p.texts[c])}" for c, _ in p.shortfalls)
    return f"CASE {q.col('b', j)} {whens} ELSE '' END"


def outputs(q: Query, preds: list[Coded], reasons: list[int]) -> list[str]:
    """The bin labels, points, score and reasons, under the names the Python scorer gives them."""
    d, values = q.d, []
    for j, p in enumerate(preds):
        labels = " ".join(f"WHEN {c} THEN {d.text(lab)}" for c, lab in enumerate(p.labels))
        values += [f"CASE {q.col('b', j)} {labels} ELSE 'Unseen' END" if labels else "'Unseen'", q.col("p", j)]
    values.append(total(q, len(preds)))
    names = output_columns([p.name for p in preds])
    for k in range(REASONS):
        whens = " ".join(
            f"WHEN {q.col('r', j)} IS NOT NULL AND {q.col('n', j)} = {k} THEN {d.text(preds[j].name)}" for j in reasons
        )
        values.append(f"CASE {whens} ELSE '' END" if whens else "''")
    for k in range(REASONS):
        whens = " ".join(
            f"WHEN {q.col('r', j)} IS NOT NULL AND {q.col('n', j)} = {k} THEN {_said(q, j, preds[j])}" for j in reasons
        )
        values.append(f"CASE {whens} ELSE '' END" if whens else "''")
    return [f"{value} AS {d.ident(name)}" for value, name in zip(values, names, strict=True)]
