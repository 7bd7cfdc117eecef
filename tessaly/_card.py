"""A saved scorecard: plain data that any validator can read, and its application to applicants.

The card file is JSON with a format version and a checksum. Loading never runs
code: a damaged or altered file is refused in one line, and a card that passes
the checksum is still checked for consistency before it scores anyone.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, cast

import numpy as np
import pandas as pd

from ._binning import MISSING, REGULAR, SPECIAL, UNSEEN, Bins, canonical
from ._checks import check_columns
from ._errors import InputError
from ._files import atomic_path
from ._json import jsonable

CARD_FILE = "card.json"
LEGACY_FILE = "card.pkl"
FORMAT, VERSION = "tessaly-card", 3
# Version 2 cards (no binning origin, no monitoring baseline) still load and score.
READABLE = (2, 3)
BINNINGS = ("optimal", "by hand")
REASONS = 3
# Shortfalls closer to neutral than this are rounding noise, not a reason.
BELOW = -1e-9
_KIND_NAMES = {SPECIAL: "special", MISSING: "missing"}
_KINDS = {v: k for k, v in _KIND_NAMES.items()}


def output_columns(names: Iterable[str]) -> list[str]:
    """What scoring adds per applicant, in order: each predictor's bin and points, the score, the reasons."""
    return [
        *(f"{p}_{part}" for p in names for part in ("bin", "points")),
        "score",
        *(f"reason_{k + 1}" for k in range(REASONS)),
    ]


def describe_unseen(counts: dict) -> list[str]:
    """The counts of `Card.apply` in words, one entry per predictor that met values it could not place."""
    parts = []
    for p, c in counts.items():
        if c["unseen"] or c["unreadable"]:
            what = [f"{c['unreadable']} unreadable"] * bool(c["unreadable"]) + [f"{c['unseen']} unseen"] * bool(
                c["unseen"]
            )
            parts.append(f"'{p}' {' and '.join(what)}")
    return parts


def checksum(body: dict) -> str:
    text = json.dumps(body, sort_keys=True, separators=(",", ":"), ensure_ascii=False, allow_nan=False)
    return "sha256:" + hashlib.sha256(text.encode("utf-8")).hexdigest()


def _plain(value: object) -> bool | int | float | str:
    """A JSON scalar for a target value as the data held it."""
    plain = jsonable(value)
    return plain if isinstance(plain, (bool, int, float)) else str(value)


@dataclass
class Predictor(Bins):
    """One predictor of a card: its bins, their labels and points, and the points of an unseen value."""

    labels: list[str] = field(default_factory=list)
    points: list[float] = field(default_factory=list)
    neutral: float = 0.0
    binning: str = "optimal"  # where the splits came from: the binning, or the modeller

    def to_dict(self) -> dict:
        bins = []
        for label, kind, points in zip(self.labels, self.kinds, self.points):
            entry: dict[str, object] = {"label": label, "kind": _KIND_NAMES.get(kind, REGULAR)}
            if entry["kind"] == REGULAR:
                entry["index"] = int(kind)
            entry["points"] = float(points)
            bins.append(entry)
        return {
            "name": self.name,
            "type": self.dtype,
            "binning": self.binning,
            "splits": self.splits,
            "special_codes": self.special_codes,
            "bins": bins,
            "neutral": float(self.neutral),
        }


class _Invalid(Exception):
    pass


def _need(condition: object, what: str) -> None:
    if not condition:
        raise _Invalid(what)


def _finite(x: object) -> bool:
    # A JSON integer may exceed any float; such a number is no usable point or split.
    return (
        isinstance(x, (int, float))
        and not isinstance(x, bool)
        and abs(x) <= 1.7976931348623157e308
        and math.isfinite(x)
    )


def _predictor(d: Any) -> Predictor:
    _need(isinstance(d, dict), "a predictor is not an object")
    name = d.get("name")
    _need(isinstance(name, str) and name, "a predictor has no name")
    dtype, splits, codes, bins = d.get("type"), d.get("splits"), d.get("special_codes"), d.get("bins")
    _need(dtype in ("numerical", "categorical"), f"'{name}' has an unknown type")
    _need(
        isinstance(splits, list) and isinstance(codes, list) and isinstance(bins, list) and bins,
        f"'{name}' lacks splits, special codes or bins",
    )
    if dtype == "numerical":
        _need(
            all(_finite(s) for s in splits) and all(a < b for a, b in zip(splits, splits[1:])),
            f"the splits of '{name}' are not ascending finite numbers",
        )
        _need(all(_finite(c) for c in codes), f"the special codes of '{name}' are not numbers")
        n_regular = len(splits) + 1
    else:
        _need(
            all(isinstance(g, list) and g and all(isinstance(c, str) for c in g) for g in splits),
            f"the categories of '{name}' are not lists of text",
        )
        flat = [c for g in splits for c in g]
        _need(len(set(flat)) == len(flat), f"a category of '{name}' is in two bins")
        _need(all(isinstance(c, str) for c in codes), f"the special codes of '{name}' are not text")
        n_regular = len(splits)
    labels, kinds, points = [], [], []
    for b in bins:
        _need(
            isinstance(b, dict) and isinstance(b.get("label"), str) and _finite(b.get("points")),
            f"a bin of '{name}' lacks a label or finite points",
        )
        kind = b.get("kind")
        if kind == REGULAR:
            index = b.get("index")
            _need(
                isinstance(index, int) and not isinstance(index, bool) and 0 <= index < n_regular,
                f"a bin of '{name}' has no valid index",
            )
            kinds.append(index)
        else:
            _need(kind in _KINDS, f"a bin of '{name}' has an unknown kind")
            kinds.append(_KINDS[kind])
        labels.append(b["label"])
        points.append(float(b["points"]))
    _need(len(set(labels)) == len(labels) and UNSEEN not in labels, f"bin labels of '{name}' repeat")
    _need(len(set(map(str, kinds))) == len(kinds), f"'{name}' has a bin twice")
    _need(
        sorted(k for k in kinds if isinstance(k, int)) == list(range(n_regular)),
        f"'{name}' lacks a bin for some of its values",
    )
    _need(_finite(d.get("neutral")), f"'{name}' has no finite neutral points")
    binning = d.get("binning", "optimal")
    _need(binning in BINNINGS, f"'{name}' has an unknown binning origin")
    return Predictor(
        name, dtype, splits, codes, kinds, labels=labels, points=points, neutral=float(d["neutral"]), binning=binning
    )


@dataclass
class Card:
    """A saved scorecard: plain, checksummed data that scores, exports to SQL and monitors.

    What `card.json` holds, and all that scoring reads: the target and its bad value, the model family and points
    rule it came from, the scaling, and per predictor its bins, their points and its neutral points; with the
    monitoring baseline where it was kept. Nothing in it is pickled.

    Parameters
    ----------
    target : str
        The outcome column the card was built on.
    bad : object
        The outcome value that means bad.
    model : str
        The model family the points came from.
    points_kind : str
        The points rule: "additive" or "module".
    scaling : dict
        ``pdo``, ``target_score`` and ``target_odds``.
    predictors : list of Predictor
        Each predictor's bins and points, in card order.
    baseline : dict or None
        What monitoring compares live applicants with (shares, score bands, test figures).

    Examples
    --------
    >>> import numpy as np
    >>> import pandas as pd
    >>> from tessaly import Scorecard
    >>> rng = np.random.default_rng(0)
    >>> X = pd.DataFrame({"age": rng.integers(18, 75, 600), "housing": rng.choice(["own", "rent"], 600)})
    >>> y = pd.Series(rng.random(600) < np.where(X["age"] < 30, 0.5, 0.1), name="bad").astype(int)
    >>> import tempfile
    >>> from tessaly import Card
    >>> folder = tempfile.mkdtemp()
    >>> _ = Scorecard().fit(X, y).save(folder)
    >>> card = Card.load(folder)
    >>> card.target, card.bad
    ('bad', 1)
    >>> list(card.score(X.head(2)).columns)[-4:]
    ['score', 'reason_1', 'reason_2', 'reason_3']
    >>> bool(card.total(X.head(2)).dtype.kind == "f")
    True
    """

    target: str
    bad: object
    model: str
    points_kind: str
    scaling: dict
    predictors: list[Predictor]
    # What monitoring compares a live population against (shares, score bands, test figures); plain JSON.
    baseline: dict | None = None

    @property
    def names(self) -> list[str]:
        return [p.name for p in self.predictors]

    def bins(self) -> dict:
        """Each predictor's splits (numerical) or groups of values (categorical): what `bins=` takes back."""
        return {p.name: p.splits for p in self.predictors}

    def to_dict(self) -> dict:
        body = {
            "format": FORMAT,
            "version": VERSION,
            "target": self.target,
            "bad": _plain(self.bad),
            "model": self.model,
            "points": self.points_kind,
            "scaling": dict(self.scaling),
            "predictors": [p.to_dict() for p in self.predictors],
        }
        if self.baseline is not None:
            body["baseline"] = self.baseline
        return {**body, "checksum": checksum(body)}

    @classmethod
    def from_dict(cls, d: dict, source: str = "the card") -> Card:
        try:
            _need(isinstance(d, dict) and d.get("format") == FORMAT, "it is not a tessaly card")
            version = d.get("version")
            if version not in READABLE or not isinstance(version, int) or isinstance(version, bool):
                held = "no card format version" if version is None else f"card format version {version!r}"
                if isinstance(version, str):
                    held += " (text)"  # '2' beside "reads version 2" would read as a contradiction
                raise InputError(
                    f"{source} has {held}; this tessaly reads version {VERSION}: upgrade tessaly or rebuild the card"
                )
            body = {k: v for k, v in d.items() if k != "checksum"}
            try:
                expected = checksum(body)
            except ValueError:
                raise _Invalid("it holds a value that is not plain JSON") from None
            _need(d.get("checksum") == expected, "its checksum does not match (the file was altered or damaged)")
            _need(
                isinstance(d.get("target"), str)
                and isinstance(d.get("model"), str)
                and isinstance(d.get("points"), str),
                "target, model or points kind missing",
            )
            _need(d.get("bad") is None or isinstance(d.get("bad"), (str, int, float, bool)), "bad value malformed")
            scaling = d.get("scaling")
            _need(
                isinstance(scaling, dict)
                and all(_finite(scaling.get(k)) and scaling[k] > 0 for k in ("pdo", "target_odds")),
                "scaling malformed",
            )
            raw = d.get("predictors")
            _need(isinstance(raw, list) and raw, "it has no predictors")
            predictors = [_predictor(p) for p in cast(list, raw)]
            names = [p.name for p in predictors]
            _need(len(set(names)) == len(names), "a predictor appears twice")
            baseline = d.get("baseline")
            _need(baseline is None or isinstance(baseline, dict), "its monitoring baseline is not an object")
        except _Invalid as e:
            raise InputError(f"{source} is not a usable card: {e}; rebuild it with 'tessaly build'") from None
        return cls(d["target"], d.get("bad"), d["model"], d["points"], cast(dict, scaling), predictors, baseline)

    def save(self, directory: str | os.PathLike) -> Path:
        """Write ``card.json`` into `directory`, whole or not at all; returns its path."""
        path = Path(directory) / CARD_FILE
        with atomic_path(path) as tmp:
            tmp.write_text(
                json.dumps(self.to_dict(), indent=1, ensure_ascii=False, allow_nan=False) + "\n", encoding="utf-8"
            )
        return path

    @classmethod
    def load(cls, location: str | os.PathLike) -> Card:
        """The card in a directory (its ``card.json``) or in a card file; one line naming the fault where it is
        missing, damaged or not a card."""
        location = Path(location)
        path = location / CARD_FILE if location.is_dir() else location
        if location.is_dir() and not path.exists() and (location / LEGACY_FILE).exists():
            raise InputError(
                f"'{location}' holds a card of an older tessaly ({LEGACY_FILE}); convert it once "
                f"with 'tessaly convert {location}' if it comes from a trusted source"
            )
        try:
            if path.stat().st_size > 64 << 20:
                raise InputError(f"{path} is too large to be a card")
            with open(path, encoding="utf-8") as f:
                d = json.load(f)
        except FileNotFoundError:
            raise InputError(f"no scorecard in '{location}' (missing {CARD_FILE}); run 'tessaly build' first") from None
        except (UnicodeDecodeError, json.JSONDecodeError, RecursionError) as e:
            reason = str(e).splitlines()[0] if str(e) else type(e).__name__
            raise InputError(f"{path} is not a usable card: it is not valid JSON ({reason})") from None
        except OSError as e:
            raise InputError(f"cannot read the card {path}: {e.strerror}") from None
        return cls.from_dict(d, str(path))

    @classmethod
    def from_legacy(cls, path: str | os.PathLike) -> Card:
        """A card of the pickled format. Reading it runs whatever the file says: trusted files only."""
        import pickle

        class Old:
            pass

        class Loader(pickle.Unpickler):
            def find_class(self, module: str, name: str) -> Any:
                if module.startswith("tessaly."):
                    return Old
                return super().find_class(module, name)

        try:
            with open(path, "rb") as f:
                saved = Loader(f).load()
            old = saved["card"]
            predictors = []
            for b in old.binnings:
                numerical = b.dtype == "numerical"
                rows = old.points[old.points["predictor"] == b.name]
                by_bin = dict(zip(rows["bin"], rows["points"]))
                splits: list = (
                    b.splits if numerical else [list(canonical(pd.Series(g, dtype=object))) for g in b.splits]
                )
                codes = b.special_codes if numerical else list(canonical(pd.Series(b.special_codes, dtype=object)))
                predictors.append(
                    Predictor(
                        b.name,
                        b.dtype,
                        [float(s) for s in splits] if numerical else splits,
                        [float(c) for c in codes] if numerical else codes,
                        list(b.kinds),
                        labels=list(b.labels),
                        points=[float(by_bin[label]) for label in b.labels],
                        neutral=float(rows["neutral"].iloc[0]),
                    )
                )
            card = cls(old.target, _plain(old.bad), old.model, "module", dict(old.scaling), predictors)
        except (
            OSError,
            pickle.UnpicklingError,
            EOFError,
            AttributeError,
            KeyError,
            TypeError,
            ValueError,
            IndexError,
            ImportError,
        ) as e:
            raise InputError(f"cannot convert {path}: {e}") from None
        return cls.from_dict(card.to_dict(), str(path))

    def apply(self, data: pd.DataFrame) -> tuple[pd.DataFrame, dict]:
        """Each applicant's bin and points per predictor, the total and the reason codes; and, per predictor,
        how many values were unseen and how many could not be read.

        An unseen value (a missing value when training had none, say) earns the
        predictor's neutral points: it tells nothing either way.
        """
        self.check_columns(data)
        n, k = len(data), len(self.predictors)
        out, counts = {}, {}
        shortfall = np.empty((k, n))  # predictor-major: the reason scan walks whole rows
        total = np.zeros(n)
        for j, p in enumerate(self.predictors):
            rows, unreadable = p.locate(data[p.name])
            unseen = rows < 0
            got = np.append(np.asarray(p.points, dtype=float), p.neutral)[rows]
            out[f"{p.name}_bin"] = pd.Categorical.from_codes(
                np.where(unseen, len(p.labels), rows), categories=[*p.labels, UNSEEN], validate=False
            )
            out[f"{p.name}_points"] = got
            np.subtract(got, p.neutral, out=shortfall[j])
            total += got
            counts[p.name] = {"unseen": int(unseen.sum() - unreadable.sum()), "unreadable": int(unreadable.sum())}
        result = pd.DataFrame(out, index=data.index, copy=False)
        result["score"] = total
        # Reason codes: the predictors furthest below neutral. The scan keeps the first of equals, so card
        # order breaks ties; a taken predictor is set to +inf for the next round.
        at = np.arange(n)
        for r in range(REASONS):
            best, idx = shortfall[0].copy(), np.zeros(n, dtype=np.intp)
            for j in range(1, k):
                better = shortfall[j] < best
                np.copyto(best, shortfall[j], where=better)
                idx[better] = j
            result[f"reason_{r + 1}"] = pd.Categorical.from_codes(
                np.where(best < BELOW, idx, k), categories=[*self.names, ""], validate=False
            )
            shortfall[idx, at] = np.inf
        if self.target in data.columns:
            result[self.target] = data[self.target].to_numpy()
        return result, counts

    def score(self, data: pd.DataFrame) -> pd.DataFrame:
        """Per applicant: each predictor's bin and points, the total score and three reason codes."""
        return self.apply(data)[0]

    def total(self, data: pd.DataFrame) -> np.ndarray:
        """Each applicant's total alone, as `apply` adds it up: what ranking needs, without bins or reasons."""
        self.check_columns(data)
        total = np.zeros(len(data))
        for p in self.predictors:
            total += np.append(np.asarray(p.points, dtype=float), p.neutral)[p.locate(data[p.name])[0]]
        return total

    def check_columns(self, data: pd.DataFrame) -> None:
        """A one-line refusal of applicants that lack a predictor column of the card."""
        check_columns(data, self.names)


def loads(directory: str | os.PathLike) -> None:
    """A card just written, read back as score, monitor and bins will read it: one line where it does not load."""
    try:
        Card.load(directory)
    except InputError as e:
        raise InputError(f"the card built does not load ({str(e).split(': ', 1)[-1]}); nothing was replaced") from None
