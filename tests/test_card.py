"""The card: the vectorized scorer against a slow per-row reference, and the refusal of damaged card files."""

import copy
import csv
import datetime as dt
import hashlib
import json
import math
import pickle
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.csv as pcsv
import pytest
import slow_scorer
from applicants import applicants

from tessaly import Scorecard
from tessaly._card import Card, checksum
from tessaly._errors import InputError

SPECIAL_CODES = (-1, "XX")


@pytest.fixture(scope="module")
def fitted():
    # Text codes with a special one, and missing values in a category: every kind of value a card bins.
    X, y = applicants(3000, seed=7, grade=["54", "12", "7", "3", "XX"], housing_missing=0.06, xy=True)
    return Scorecard("xgb", trees=10, min_iv=None, special_codes=SPECIAL_CODES).fit(X, y)


def _sealed(d: dict) -> dict:
    body = {k: v for k, v in d.items() if k != "checksum"}
    return {**body, "checksum": checksum(body)}


def _bare(d: dict) -> dict:
    """The card without special and missing bins: such values become unseen."""
    d = copy.deepcopy(d)
    for p in d["predictors"]:
        p["bins"] = [b for b in p["bins"] if b["kind"] == "regular"]
    return _sealed(d)


# -- values at the edges ------------------------------------------------------------------------------------------

MISSING = [None, np.nan, pd.NA, pd.NaT, ""]
BOOLEANS = [True, False, np.True_, "True", "false"]
GARBAGE = [
    "abc",
    "1,000,000",
    "$50000",
    "inf",
    "-inf",
    math.inf,
    -math.inf,
    "nan",
    "1e999",
    "0x10",
    "1_000",
    "\u0663",
    " 54 ",
    "5e3",
    "+5",
    ".5",
    "\t7\n",
    1e300,
    -1e300,
    0,
    -0.0,
    np.int64(12),
    np.float32(2.5),
]
UNSEEN = ["zzz", 1e20, 54.5, "54.50", "5.4e1", -0.0, "inf", math.inf, "-1.0"]


def _number_forms(x: float) -> list:
    forms = [x, repr(x), f" {x!r} ", np.float64(x)]
    if x == int(x):
        forms += [int(x), str(int(x)), f"{int(x)}.0", np.int64(int(x))]
    return forms


def _keys(p: dict) -> list:
    return [k for group in p["splits"] for k in group]


def _key_forms(key: str) -> list:
    forms = [key, f" {key}", f"{key} ", key.upper(), key + "x"]
    try:
        x = float(key)
    except ValueError:
        return forms
    return forms + [int(x), x, f"{x!r}", f" {key} ", f"{key}.0", f"{x:e}", np.int64(int(x)), np.float64(x)]


def _date_forms(key: str, as_text: bool) -> list:
    try:
        day = dt.date.fromisoformat(key)
    except ValueError:
        return []
    if as_text:
        return [f"{key} 00:00:00", f"{key}T00:00:00", f"{key}T10:30:00"]
    stamp = pd.Timestamp(day)
    return [
        stamp,
        day,
        dt.datetime(day.year, day.month, day.day),
        np.datetime64(key),
        stamp + pd.Timedelta("10h30min"),
        f"{key} 10:30:00",
        key,
    ]


def _boundaries(p):
    values = []
    for s in p["splits"]:
        values += [s, repr(s), float(np.nextafter(s, -np.inf)), float(np.nextafter(s, np.inf)), s - 0.5, s + 0.5]
        values += _number_forms(float(round(s)))
    return values


STAMPS = [pd.Timestamp("2020-01-05"), pd.Timestamp("2020-01-05 10:30"), dt.date(2020, 1, 5)]
# Per group: the values of a numerical predictor, those of a categorical one.
GROUPS = {
    "missing": (lambda p: MISSING, lambda p: MISSING),
    "special": (
        lambda p: [f for c in p["special_codes"] for f in _number_forms(float(c))],
        lambda p: [f for c in p["special_codes"] for f in _key_forms(c)],
    ),
    "boundaries": (_boundaries, lambda p: [f for k in _keys(p) for f in _key_forms(k)]),
    "garbage and unseen": (lambda p: GARBAGE, lambda p: UNSEEN),
    "dates": (lambda p: STAMPS + ["2020-01-05"], lambda p: [f for k in _keys(p) for f in _date_forms(k, False)]),
    "dates as other text": (
        lambda p: ["2020-01-05 00:00:00"],
        lambda p: [f for k in _keys(p) for f in _date_forms(k, True)],
    ),
    "booleans": (lambda p: BOOLEANS, lambda p: BOOLEANS),
}
GROUPS["mixed"] = tuple(
    lambda p, i=i: [v for name, g in GROUPS.items() if name != "mixed" for v in g[i](p)] for i in (0, 1)
)


def _typed(values: list, numerical: bool) -> pd.Series:
    """The column as a reader that guessed its type would hold it: only the values that type can carry."""
    present = [v for v in values if not slow_scorer.is_missing(v)]
    if numerical:
        kept = [float(v) for v in present if isinstance(v, (int, float, np.number)) and not isinstance(v, bool)]
        return pd.Series(kept + [np.nan], dtype=float)
    stamps = [v for v in present if isinstance(v, (pd.Timestamp, np.datetime64))]
    if stamps:
        return pd.Series([pd.Timestamp(v) for v in stamps] + [pd.NaT])
    return pd.Series([v for v in present if isinstance(v, str)] + [np.nan], dtype="str")


def _frame(card: dict, group: str, container: str, seed=3) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    columns = {}
    for p in card["predictors"]:
        numerical = p["type"] == "numerical"
        values = GROUPS[group][0 if numerical else 1](p)
        # A predictor the group has nothing for takes ordinary values, so that its points still vary.
        values = values or (_boundaries(p) if numerical else _keys(p))
        columns[p["name"]] = _typed(values, numerical) if container == "typed" else pd.Series(values, dtype=object)
    n = 3 * max(len(c) for c in columns.values())
    # Every value meets many others, so reason codes see all kinds of ties.
    return pd.DataFrame(
        {name: c.iloc[rng.permutation(np.arange(n) % len(c))].reset_index(drop=True) for name, c in columns.items()}
    )


def _text(v) -> str:
    """A value as a CSV writer puts it: nothing for missing, dates as pandas writes them."""
    if slow_scorer.is_missing(v):
        return ""
    if isinstance(v, (dt.date, np.datetime64)):
        return slow_scorer.canonical(v)
    return str(v)


def _through_csv(frame: pd.DataFrame, path) -> tuple[pd.DataFrame, list[dict]]:
    """The frame written as text and read back as a batch reader does (empty text is null), and the rows as text."""
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(frame.columns)
        for row in frame.itertuples(index=False):
            w.writerow([_text(v) for v in row])
    names = list(frame.columns)
    read = pcsv.read_csv(
        path,
        convert_options=pcsv.ConvertOptions(
            column_types={n: pa.string() for n in names},
            null_values=[""],
            strings_can_be_null=True,
            quoted_strings_can_be_null=True,
        ),
    ).to_pandas()
    with open(path, newline="", encoding="utf-8") as f:
        rows = [{k: (v if v != "" else None) for k, v in r.items()} for r in csv.DictReader(f)]
    return read, rows


@pytest.mark.parametrize("group, container", [(g, c) for g in GROUPS for c in ("object", "typed", "csv")])
@pytest.mark.parametrize("which", ["additive", "module", "bare", "worded"])
def test_vectorized_scores_equal_the_slow_reference(fitted, which, group, container, tmp_path):
    d = fitted.card_.to_dict() if which != "module" else fitted.module_card_.to_dict()
    if which == "bare":
        d = _bare(d)
    if which == "worded":  # texts for some bins, the rest by default, ranked below the maximum points
        first = d["predictors"][0]
        d = {
            **d,
            "reason_rule": "maximum",
            "reasons": {first["name"]: {first["bins"][0]["label"]: "Too short a history"}},
        }
        d = Card.from_dict({**d, "checksum": checksum({k: v for k, v in d.items() if k != "checksum"})}).to_dict()
    card = Card.from_dict(d)
    frame = _frame(d, group, container)
    if container == "csv":
        frame, rows = _through_csv(frame, tmp_path / "applicants.csv")
    else:
        rows = frame
    got, counts = card.apply(frame)
    want, want_counts = slow_scorer.score(d, rows)

    names = [p["name"] for p in d["predictors"]]
    assert list(got.columns) == [
        *(f"{p}_{s}" for p in names for s in ("bin", "points")),
        "score",
        "reason_1",
        "reason_2",
        "reason_3",
        "reason_1_text",
        "reason_2_text",
        "reason_3_text",
    ]
    inputs = frame.to_dict("records")
    wrong = []
    for i, w in enumerate(want):
        for column, expected in w.items():
            actual = got[column].iloc[i]
            same = abs(actual - expected) <= 1e-9 if column == "score" else actual == expected
            if not same:
                p = column.rsplit("_", 1)[0]
                shown = repr(inputs[i].get(p)) if p in names else ""
                wrong.append(f"{column} of {shown}: {actual!r}, expected {expected!r}")
    assert not wrong, f"{len(wrong)} differences:\n" + "\n".join(sorted(set(wrong))[:40])
    assert counts == want_counts
    assert np.array_equal(card.total(frame), got["score"].to_numpy())


# -- damaged card files ---------------------------------------------------------------------------------------------


def _edit(change):
    def damage(text: bytes) -> bytes:
        d = json.loads(text)
        change(d)
        return json.dumps(_sealed(d), indent=1).encode()

    return damage


def _raw(change):
    """Edits written with a checksum over content that JSON cannot hold (NaN), or written as Python sees it."""

    def damage(text: bytes) -> bytes:
        d = json.loads(text)
        change(d)
        body = {k: v for k, v in d.items() if k != "checksum"}
        sealed = json.dumps(body, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
        d["checksum"] = "sha256:" + hashlib.sha256(sealed.encode()).hexdigest()
        return json.dumps(d).encode()

    return damage


def _first(kind):
    return lambda d: next(p for p in d["predictors"] if p["type"] == kind)


_num, _cat = _first("numerical"), _first("categorical")


def _set(path_of, value):
    def change(d):
        target, key = path_of(d)
        target[key] = value

    return change


RAN = Path(tempfile.gettempdir()) / "tessaly-test-card-pickle-ran"


class _Evil:
    def __reduce__(self):
        return (open, (str(RAN), "w"))


def _flip(at: float):
    def damage(text: bytes) -> bytes:
        i = min(int(at * len(text)), len(text) - 1)
        return text[:i] + bytes([text[i] ^ 0x04]) + text[i + 1 :]

    return damage


DAMAGE = {
    **{f"byte flipped at {at:.0%}": _flip(at) for at in np.linspace(0, 1, 23)},
    **{
        f"truncated to {keep:.0%}": (lambda keep: lambda t: t[: int(keep * len(t))])(keep)  # noqa: B023
        for keep in (0, 0.001, 0.3, 0.5, 0.9, 0.999)
    },
    "last byte dropped": lambda t: t[:-1],
    "last two bytes dropped": lambda t: t[:-2],
    "re-indented": lambda t: json.dumps(json.loads(t), indent=4).encode(),
    "keys reordered": lambda t: json.dumps(dict(reversed(list(json.loads(t).items())))).encode(),
    "trailing spaces": lambda t: t + b"  \n\n",
    "version 1": _edit(_set(lambda d: (d, "version"), 1)),
    "version 4": _edit(_set(lambda d: (d, "version"), 4)),
    "version as text": _edit(_set(lambda d: (d, "version"), "2")),
    "no version": _edit(lambda d: d.pop("version")),
    "not a card": _edit(_set(lambda d: (d, "format"), "something-else")),
    "checksum removed": lambda t: json.dumps({k: v for k, v in json.loads(t).items() if k != "checksum"}).encode(),
    "points edited, checksum kept": lambda t: json.dumps(
        _set(lambda d: (_num(d)["bins"][0], "points"), 1.0)(d := json.loads(t)) or d
    ).encode(),
    "a regular bin missing": _edit(lambda d: _num(d)["bins"].pop(0)),
    "a category bin missing": _edit(lambda d: _cat(d)["bins"].pop(0)),
    "splits not ascending": _edit(lambda d: _num(d)["splits"].reverse()),
    "splits repeated": _edit(lambda d: _num(d)["splits"].append(_num(d)["splits"][-1])),
    "split as text": _edit(_set(lambda d: (_num(d)["splits"], 0), "1")),
    "split beyond float": _edit(_set(lambda d: (_num(d)["splits"], 0), 10**400)),
    "points beyond float": _edit(_set(lambda d: (_num(d)["bins"][0], "points"), 10**400)),
    "neutral beyond float": _edit(_set(lambda d: (_num(d), "neutral"), -(10**400))),
    "NaN points": _raw(_set(lambda d: (_num(d)["bins"][0], "points"), math.nan)),
    "infinite neutral": _raw(_set(lambda d: (_num(d), "neutral"), math.inf)),
    "points as text": _edit(_set(lambda d: (_num(d)["bins"][0], "points"), "12")),
    "points as boolean": _edit(_set(lambda d: (_num(d)["bins"][0], "points"), True)),
    "no neutral": _edit(lambda d: _num(d).pop("neutral")),
    "duplicate predictor": _edit(lambda d: d["predictors"].append(copy.deepcopy(d["predictors"][0]))),
    "no predictors": _edit(_set(lambda d: (d, "predictors"), [])),
    "predictor without name": _edit(_set(lambda d: (_num(d), "name"), "")),
    "unknown type": _edit(_set(lambda d: (_num(d), "type"), "ordinal")),
    "unknown bin kind": _edit(_set(lambda d: (_num(d)["bins"][0], "kind"), "other")),
    "index out of range": _edit(_set(lambda d: (_num(d)["bins"][0], "index"), 99)),
    "index as float": _edit(_set(lambda d: (_num(d)["bins"][0], "index"), 0.0)),
    "bin given twice": _edit(lambda d: _num(d)["bins"].append(dict(_num(d)["bins"][0], label="again"))),
    "a bin labelled Unseen": _edit(_set(lambda d: (_num(d)["bins"][0], "label"), "Unseen")),
    "category in two bins": _edit(lambda d: _cat(d)["splits"][1].append(_cat(d)["splits"][0][0])),
    "category as number": _edit(_set(lambda d: (_cat(d)["splits"][0], 0), 54)),
    "special code as text in a numerical predictor": _edit(_set(lambda d: (_num(d), "special_codes"), ["-1"])),
    "scaling without pdo": _edit(lambda d: d["scaling"].pop("pdo")),
    "pdo zero": _edit(_set(lambda d: (d["scaling"], "pdo"), 0)),
    "bad value a list": _edit(_set(lambda d: (d, "bad"), [1])),
    "lone surrogate": lambda t: t.replace(b'"target": "', b'"target": "\\ud800', 1),
    "not JSON": lambda t: b"this is no card\n",
    "empty": lambda t: b"",
    "binary noise": lambda t: bytes(np.random.default_rng(1).integers(0, 256, 4096, dtype=np.uint8)),
    "a JSON list": lambda t: b"[1, 2, 3]",
    "deeply nested": lambda t: b"[" * 100_000 + b"]" * 100_000,
    "a pickle of the card": lambda t: pickle.dumps(json.loads(t)),
    "a pickle that runs code": lambda t: pickle.dumps(_Evil()),
}


@pytest.mark.parametrize("damage", [pytest.param(f, id=name) for name, f in DAMAGE.items()])
def test_damaged_card_file_is_refused_in_one_line_or_scores_the_same(fitted, damage, tmp_path):
    card = fitted.card_
    original = card.save(tmp_path).read_bytes()
    (tmp_path / "card.json").write_bytes(damage(original))
    applicants = _frame(card.to_dict(), "mixed", "object")
    try:
        loaded = Card.load(tmp_path)
    except InputError as e:
        message = str(e)
        assert message and "\n" not in message, message
    else:
        pd.testing.assert_frame_equal(loaded.score(applicants), card.score(applicants))
        assert loaded.to_dict() == card.to_dict()
    assert not RAN.exists()
