"""A saved scorecard: plain data that any validator can read, and its application to applicants.

The card file is JSON with a format version and a checksum. Loading never runs
code: a damaged or altered file is refused in one line, and a card that passes
the checksum is still checked for consistency before it scores anyone.
"""

from __future__ import annotations

import hashlib
import json
import os
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, cast

import numpy as np
import pandas as pd

from ._bins import UNSEEN
from ._card_fields import Invalid, cross, finite, need, predictor, reason_texts
from ._characteristics import Cross, Predictor
from ._checks import check_columns
from ._errors import InputError
from ._files import atomic_path
from ._json import jsonable
from ._reasons import bin_texts, word_codes
from ._values import canonical

CARD_FILE = "card.json"
LEGACY_FILE = "card.pkl"
FORMAT, VERSION = "tessaly-card", 4
# Version 2 cards (no binning origin, no monitoring baseline) and version 3 ones (no crosses) still load and score.
READABLE = (2, 3, 4)
REASONS = 3
REASON_RULES = ("neutral", "maximum")
# Shortfalls closer to neutral than this are rounding noise, not a reason.
BELOW = -1e-9


def output_columns(names: Iterable[str]) -> list[str]:
    """What scoring adds per applicant, in order: each predictor's bin and points, the score, the reasons."""
    return [
        *(f"{p}_{part}" for p in names for part in ("bin", "points")),
        "score",
        *(f"reason_{k + 1}" for k in range(REASONS)),
        *(f"reason_{k + 1}_text" for k in range(REASONS)),
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
class Card:
    """A saved scorecard: plain, checksummed data that scores, exports to SQL and monitors.

    What `card.json` holds, and all that scoring reads: the target and its bad value, the model family and points
    rule it came from, the scaling, and per predictor (and cross of two predictors) its bins, their points and its
    neutral points; with the monitoring baseline where it was kept. Nothing in it is pickled.

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
    reasons : dict or None
        The words of reasons: predictor -> {bin label: text}.
    reason_rule : str
        What a reason falls short of: "neutral" or "maximum" points.
    split : dict or None
        How the build chose its test part.
    crosses : list of Cross
        Pairs of predictors scored jointly, after the predictors.

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
    >>> scores = card.score(X.head(2))
    >>> list(scores.columns[:2]), "score" in scores.columns
    (['age_bin', 'age_points'], True)
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
    # The words of reasons given by the team: predictor -> {bin label: text}; other bins read by default.
    reasons: dict | None = None
    # What a reason falls short of: the predictor's neutral points, or its maximum points.
    reason_rule: str = "neutral"
    # How the build chose its test part, so the editor can take the same applicants again; plain JSON.
    split: dict | None = None
    # Pairs of predictors scored jointly, after the predictors.
    crosses: list[Cross] = field(default_factory=list)

    @property
    def characteristics(self) -> list:
        """What earns points, in card order: the predictors, then the crosses."""
        return [*self.predictors, *self.crosses]

    @property
    def names(self) -> list[str]:
        """The characteristics' names: what scoring writes a bin, points and reasons for."""
        return [c.name for c in self.characteristics]

    @property
    def columns(self) -> list[str]:
        """The applicants' columns that scoring reads."""
        return list(dict.fromkeys(c for p in self.characteristics for c in p.columns))

    def reason_basis(self, p: Predictor | Cross) -> float:
        """The points a predictor's bins fall short of to make a reason, under the card's rule."""
        return max(p.points) if self.reason_rule == "maximum" else p.neutral

    def bins(self) -> dict:
        """Each predictor's splits (numerical) or groups of values (categorical), and each cross's two predictors:
        what `bins=` takes back."""
        return {
            **{p.name: p.splits for p in self.predictors},
            **{c.name: {"cross": c.columns} for c in self.crosses},
        }

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
        if self.crosses:
            body["crosses"] = [c.to_dict() for c in self.crosses]
        if self.baseline is not None:
            body["baseline"] = self.baseline
        # Written only where set, so a card without them reads (and checks) as before.
        if self.reasons:
            body["reasons"] = self.reasons
        if self.reason_rule != "neutral":
            body["reason_rule"] = self.reason_rule
        if self.split is not None:
            body["split"] = self.split
        return {**body, "checksum": checksum(body)}

    @classmethod
    def from_dict(cls, d: dict, source: str = "the card") -> Card:
        try:
            need(isinstance(d, dict) and d.get("format") == FORMAT, "it is not a tessaly card")
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
                raise Invalid("it holds a value that is not plain JSON") from None
            need(d.get("checksum") == expected, "its checksum does not match (the file was altered or damaged)")
            need(
                isinstance(d.get("target"), str)
                and isinstance(d.get("model"), str)
                and isinstance(d.get("points"), str),
                "target, model or points kind missing",
            )
            need(d.get("bad") is None or isinstance(d.get("bad"), (str, int, float, bool)), "bad value malformed")
            scaling = d.get("scaling")
            need(
                isinstance(scaling, dict)
                and all(finite(scaling.get(k)) and scaling[k] > 0 for k in ("pdo", "target_odds")),
                "scaling malformed",
            )
            raw = d.get("predictors")
            need(isinstance(raw, list) and raw, "it has no predictors")
            predictors = [predictor(p) for p in cast(list, raw)]
            names = [p.name for p in predictors]
            need(len(set(names)) == len(names), "a predictor appears twice")
            raw_crosses = d.get("crosses", [])
            need(version >= 4 or not raw_crosses, "crosses came with card format version 4")
            need(isinstance(raw_crosses, list), "its crosses are not a list")
            crosses = [cross(c, names) for c in cast(list, raw_crosses)]
            need(len({c.name for c in crosses}) == len(crosses), "a cross appears twice")
            baseline = d.get("baseline")
            need(baseline is None or isinstance(baseline, dict), "its monitoring baseline is not an object")
            reasons, rule = d.get("reasons"), d.get("reason_rule", "neutral")
            need(rule in REASON_RULES, "its reason rule is unknown")
            need(
                reasons is None or reason_texts(reasons, [*predictors, *crosses]),
                "its reason texts do not fit its bins",
            )
            split = d.get("split")
            need(split is None or isinstance(split, dict), "its record of the split is not an object")
        except Invalid as e:
            raise InputError(f"{source} is not a usable card: {e}; rebuild it with 'tessaly build'") from None
        return cls(
            d["target"],
            d.get("bad"),
            d["model"],
            d["points"],
            cast(dict, scaling),
            predictors,
            baseline,
            reasons,
            cast(str, rule),
            split=split,
            crosses=crosses,
        )

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
        n, k = len(data), len(self.characteristics)
        out, counts = {}, {}
        shortfall = np.empty((k, n))  # predictor-major: the reason scan walks whole rows
        placed = np.empty((k, n), dtype=np.intp)  # each applicant's bin per predictor, for the reasons' words
        total = np.zeros(n)
        for j, p in enumerate(self.characteristics):
            rows, unreadable = p.place(data)
            unseen = rows < 0
            got = np.append(np.asarray(p.points, dtype=float), p.neutral)[rows]
            out[f"{p.name}_bin"] = pd.Categorical.from_codes(
                np.where(unseen, len(p.labels), rows), categories=[*p.labels, UNSEEN], validate=False
            )
            out[f"{p.name}_points"] = got
            np.subtract(got, self.reason_basis(p), out=shortfall[j])
            shortfall[j][unseen] = 0.0  # an unseen value tells nothing either way: never a reason
            placed[j] = np.where(unseen, len(p.labels), rows)
            total += got
            if isinstance(p, Predictor):
                counts[p.name] = {"unseen": int(unseen.sum() - unreadable.sum()), "unreadable": int(unreadable.sum())}
        result = pd.DataFrame(out, index=data.index, copy=False)
        result["score"] = total
        # Reason codes: the predictors furthest below neutral. The scan keeps the first of equals, so card
        # order breaks ties; a taken predictor is set to +inf for the next round.
        at = np.arange(n)
        words, codes, offsets = word_codes([bin_texts(self, p) for p in self.characteristics])
        texts = {}  # after the codes, as output_columns orders them
        for r in range(REASONS):
            best, idx = shortfall[0].copy(), np.zeros(n, dtype=np.intp)
            for j in range(1, k):
                better = shortfall[j] < best
                np.copyto(best, shortfall[j], where=better)
                idx[better] = j
            given = best < BELOW
            result[f"reason_{r + 1}"] = pd.Categorical.from_codes(
                np.where(given, idx, k), categories=[*self.names, ""], validate=False
            )
            said = codes[offsets[idx] + placed[idx, at]]
            texts[f"reason_{r + 1}_text"] = pd.Categorical.from_codes(
                np.where(given, said, len(words) - 1), categories=words, validate=False
            )
            shortfall[idx, at] = np.inf
        for name, column in texts.items():
            result[name] = column
        if self.target in data.columns:
            result[self.target] = data[self.target].to_numpy()
        return result, counts

    def score(self, data: pd.DataFrame) -> pd.DataFrame:
        """Per applicant: each predictor's bin and points, the total score and the reason codes."""
        return self.apply(data)[0]

    def total(self, data: pd.DataFrame) -> np.ndarray:
        """Each applicant's total alone, as `apply` adds it up: what ranking needs, without bins or reasons."""
        self.check_columns(data)
        total = np.zeros(len(data))
        for p in self.characteristics:
            total += np.append(np.asarray(p.points, dtype=float), p.neutral)[p.place(data)[0]]
        return total

    def check_columns(self, data: pd.DataFrame) -> None:
        """A one-line refusal of applicants that lack a predictor column of the card."""
        check_columns(data, self.columns)


def loads(directory: str | os.PathLike) -> None:
    """A card just written, read back as score, monitor and bins will read it: one line where it does not load."""
    try:
        Card.load(directory)
    except InputError as e:
        raise InputError(f"the card built does not load ({str(e).split(': ', 1)[-1]}); nothing was replaced") from None
