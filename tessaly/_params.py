"""The estimator's parameters, declared once: default, kind, bounds or choices, help.

`Scorecard.__init__` takes its defaults from here, its checks run from here, its
docstring and the command line's options are written from here. Nothing heavy is
imported, so `tessaly build --help` stays quick.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

from ._errors import InputError
from ._models import FAMILIES as _REGISTRY

MAX_BINS = 10
FAMILIES = tuple(_REGISTRY)
TRENDS = (
    "auto",
    "auto_heuristic",
    "auto_asc_desc",
    "ascending",
    "descending",
    "concave",
    "convex",
    "peak",
    "valley",
    "peak_heuristic",
    "valley_heuristic",
    "none",
)
POINTS = ("additive", "module")
REASON_RULES = ("neutral", "maximum")
INFERENCE = ("none", "fuzzy", "parcel", "hard-cutoff", "reweight")


@dataclass(frozen=True)
class Param:
    name: str
    default: object
    kind: str  # "int", "float", "bool", "choice", "text", "codes", "model", "bins", "columns", "scores", "texts"
    help: str
    low: float | None = None
    high: float | None = None
    strict: bool = False  # low itself is refused
    choices: tuple = ()
    nullable: bool = False  # None is accepted (and means what the help says)
    binning: bool = False  # only where the raw table is binned (build, not demo)
    shown: str | None = None  # the default as the help should word it

    @property
    def flag(self) -> str:
        # A list is given one item per option: --cutoff 550 --cutoff 600.
        name = self.name.removesuffix("s") if self.kind == "scores" else self.name
        return "--" + name.replace("_", "-")

    @property
    def label(self) -> str:
        """The name in both of the user's terms."""
        return f"{self.name} ({self.flag})"

    def default_text(self) -> str:
        if self.shown is not None:
            return self.shown
        if self.default is None:
            return "none"
        return str(self.default)

    def check(self, value: Any) -> None:
        if value is None and self.nullable:
            return
        if self.kind in ("int", "float"):
            ok = isinstance(value, (int, float)) and not isinstance(value, bool)
            if not ok:
                ok = type(value).__module__ == "numpy" and hasattr(value, "dtype") and value.dtype.kind in "iuf"
            ok = ok and math.isfinite(value)
            ok = ok and (self.kind == "float" or value == int(value))
            ok = ok and (self.low is None or (value > self.low if self.strict else value >= self.low))
            ok = ok and (self.high is None or value <= self.high)
            if not ok:
                bounds = []
                if self.low is not None:
                    bounds.append(f"{'above' if self.strict else 'at least'} {self.low:g}")
                if self.high is not None:
                    bounds.append(f"at most {self.high:g}")
                what = "a whole number" if self.kind == "int" else "a number"
                raise InputError(
                    f"{self.label} must be {what} {' and '.join(bounds)}, not {value!r}".replace("  ", " ")
                )
        elif self.kind == "bool":
            if not isinstance(value, bool) and not (
                type(value).__module__ == "numpy" and type(value).__name__ == "bool"
            ):
                raise InputError(f"{self.label} must be True or False, not {value!r}")
        elif self.kind == "bins":
            if not isinstance(value, dict) or not all(isinstance(k, str) and _hand_entry(v) for k, v in value.items()):
                raise InputError(
                    f"{self.label} must map predictor names to lists of splits or of groups of values, "
                    f'e.g. {{"age": [25, 35], "housing": [["own"], ["rent", "free"]]}}'
                )
        elif self.kind == "crosses":
            whole = isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)
            if not (value in ("auto", "none") or (whole and value == int(value) and 0 <= value <= self.high)):
                raise InputError(
                    f"{self.label} must be auto, none or a whole number from 0 to {self.high:g}, not {value!r}"
                )
        elif self.kind == "columns":
            if not isinstance(value, (list, tuple)) or not all(isinstance(c, str) and c for c in value):
                raise InputError(f"{self.label} must be a list of column names, not {value!r}")
        elif self.kind == "scores":
            numbers = isinstance(value, (list, tuple)) and all(
                isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) for v in value
            )
            if not numbers:
                raise InputError(f"{self.label} must be a list of finite scores, not {value!r}")
        elif self.kind == "texts":
            from ._reasons import check_texts

            check_texts(value, self.label)
        elif self.kind == "choice":
            if not isinstance(value, str) or value not in self.choices:
                raise InputError(f"unknown {self.label} {value!r}: choose from {', '.join(self.choices)}")


PARAMS = (
    Param(
        "model",
        "logistic",
        "model",
        "the model family: " + ", ".join(FAMILIES) + " (logistic: a penalised logistic "
        "regression on each predictor's WoE and bins; the others: trees on the one-hot bins), or an unfitted "
        "classifier of a tree family with your own settings",
        choices=FAMILIES,
    ),
    Param(
        "trees",
        None,
        "int",
        "rounds of the model; none: 100 without early stopping, up to 1000 with it",
        low=1,
        high=100_000,
        nullable=True,
        shown="up to 1000 with early stopping, 100 without",
    ),
    Param(
        "early_stopping",
        True,
        "bool",
        "stop adding trees when a seeded validation part of the training rows "
        "(20%) stops improving; never looks at test data",
    ),
    Param(
        "monotone",
        False,
        "bool",
        "constrain each bin's effect on the model to the direction of its event rate, "
        "and keep each numerical predictor's points from falling where its WoE rises",
    ),
    Param(
        "max_bins",
        MAX_BINS,
        "int",
        f"at most this many bins per predictor, missing and special values included "
        f"(2-{MAX_BINS}; a predictor with both has three at least); from 5,000 training applicants a numerical "
        "predictor's bins follow finer shapes where each holds 10 bads and 10 goods and differs significantly "
        "from its neighbours",
        low=2,
        high=MAX_BINS,
        binning=True,
    ),
    Param(
        "bins",
        None,
        "bins",
        "bins set by hand: predictor -> split points (numerical) or groups of values "
        "(categorical); missing values and special codes keep bins of their own; other predictors are binned as "
        "usual (the command line reads this mapping from a JSON file, as 'tessaly bins CARD' prints it)",
        nullable=True,
        binning=True,
    ),
    Param(
        "monotonic_trend",
        "auto",
        "choice",
        "event-rate trend across bins, in optbinning's names",
        choices=TRENDS,
        binning=True,
    ),
    Param("special_codes", None, "codes", "values that get a bin of their own, e.g. -999", nullable=True, binning=True),
    Param(
        "min_iv",
        None,
        "float",
        "leave out predictors with less information value (none keeps all)",
        low=0,
        nullable=True,
    ),
    Param(
        "max_corr",
        None,
        "float",
        "of two predictors whose binned WoE correlate above this, leave out the one "
        "with less information value (none keeps both)",
        low=0,
        high=1,
        strict=True,
        nullable=True,
    ),
    Param(
        "crosses",
        "auto",
        "crosses",
        "cross characteristics (pairs of predictors scored jointly, at most 4 cells each): auto adds the pairs "
        "whose lift on held-out training rows is significant over repeated splits (at most 3); none adds none; "
        "a number N adds the N pairs of largest held-out lift, significant or not",
        high=10,
    ),
    Param(
        "points",
        "additive",
        "choice",
        "additive: a bin's points are the scaled mean SHAP log-odds of its "
        "applicants; module: the extension's own card",
        choices=POINTS,
    ),
    Param("pdo", 20, "int", "points that double the odds", low=0, high=1e6, strict=True),
    Param("target_score", 200, "int", "the score at the target odds", low=-1e12, high=1e12),
    Param("target_odds", 15, "int", "good:bad odds at the target score", low=0, high=1e12, strict=True),
    Param(
        "resort",
        False,
        "bool",
        "module points only: order each predictor's points by its bins' WoE instead of "
        "assuming that a higher predicted probability means a higher bad rate",
    ),
    Param("shap_rows", 10_000, "int", "applicants the SHAP step sees at most (a seeded sample)", low=1),
    Param(
        "seed", 42, "int", "seed of the split, the validation part, the model and the samples", low=0, high=2**31 - 1
    ),
    Param(
        "reason_rule",
        "neutral",
        "choice",
        "how reason codes rank: the predictors furthest below their neutral points, or below their maximum "
        "points (the way most lenders word adverse-action reasons)",
        choices=REASON_RULES,
    ),
    Param(
        "reasons",
        None,
        "texts",
        "the words an applicant reads for each reason: predictor -> text, or predictor -> {bin label: text} "
        "(the command line reads this mapping from a JSON file); none: the predictor and the applicant's bin",
        nullable=True,
    ),
    Param(
        "protected",
        None,
        "columns",
        "protected columns (sex, age group, ...): never predictors, measured in the report's fairness chapter "
        "(the command line takes --protected once per column)",
        nullable=True,
    ),
    Param(
        "cutoffs",
        None,
        "scores",
        "the scores at which the fairness chapter measures approval (approved: score >= cutoff; the command "
        "line takes --cutoff once per score); none: the score at the target odds",
        nullable=True,
        shown="the target score",
    ),
    Param(
        "bad",
        None,
        "text",
        "the target value that means bad (none: 1, True or 'bad')",
        nullable=True,
        binning=True,
        shown="1, True or 'bad'",
    ),
    Param(
        "inference",
        "fuzzy",
        "choice",
        "with rejects: how they enter the card, as sample weights (fuzzy: each reject bad and good, weighted by its "
        "bad probability; parcel: drawn bad at its score band's rate; hard-cutoff: bad below --reject-cutoff; "
        "reweight: accepts weighted up by their band's inverse acceptance rate; none: accepts only)",
        choices=INFERENCE,
        binning=True,
    ),
    Param(
        "reject_factor",
        2.0,
        "float",
        "with rejects: the assumption, a reject's odds of bad as a multiple of an accepted applicant's with the "
        "same predictors (1: missing at random; 2: the earlier policy saw risk the data lack)",
        low=0,
        high=1e6,
        strict=True,
        binning=True,
    ),
    Param(
        "reject_cutoff",
        None,
        "float",
        "with hard-cutoff inference: rejects scoring below this on the accepts-only card count as bad (none: the "
        "target score)",
        low=-1e12,
        high=1e12,
        nullable=True,
        binning=True,
        shown="the target score",
    ),
)
# Not the estimator's: what its report (and a build) fits beside the card. A tree family, or none.
BENCHMARK = Param(
    "benchmark",
    "xgb",
    "choice",
    "a tree family fitted beside the card on the same bins and training "
    "rows (a seeded sample of them where they are many), compared with it in the report: its own "
    "predictions, its additive card and the extension's card, its files in the card's benchmark/ "
    "folder; none: no benchmark",
    choices=("none", *(name for name, f in _REGISTRY.items() if f.technique is not None)),
)
BY_NAME = {p.name: p for p in PARAMS}
DEFAULTS = {p.name: p.default for p in PARAMS}


def _hand_entry(v: object) -> bool:
    """Splits or groups, or the editor's {"splits": [...], "edits": [...]} or {"left_out": "why", "edits": [...]}."""
    if isinstance(v, dict) and "cross" in v:
        pair = v["cross"]
        return isinstance(pair, (list, tuple)) and len(pair) == 2 and all(isinstance(n, str) for n in pair)
    if isinstance(v, dict):
        edits = v.get("edits", [])
        return isinstance(edits, list) and (
            isinstance(v.get("splits"), (list, tuple)) or isinstance(v.get("left_out"), str)
        )
    return isinstance(v, (list, tuple))


def check(values: dict) -> None:
    """Every value within its kind and bounds, or one line naming the parameter in both spellings."""
    for name, value in values.items():
        BY_NAME[name].check(value)


def docstring() -> str:
    """The Parameters section of the estimator's docstring."""
    lines = ["Parameters", "----------"]
    for p in PARAMS:
        kind = {
            "int": "int",
            "float": "float",
            "bool": "bool",
            "choice": "str",
            "text": "object",
            "codes": "list",
            "model": "str or estimator",
            "bins": "dict",
            "crosses": "str or int",
            "columns": "list of str",
            "scores": "list of float",
            "texts": "dict",
        }[p.kind]
        if p.nullable:
            kind += " or None"
        lines.append(f"{p.name} : {kind}, default={p.default!r}")
        lines.append(f"    {p.help[0].upper()}{p.help[1:]}.")
    return "\n".join(lines)


def markdown() -> str:
    """The parameter table of the documentation (docs/reference/parameters.md)."""

    def shown(p: Param) -> str:
        if p.kind in ("choice", "model", "crosses") and p.default is not None:
            return f'`"{p.default}"`'
        return (
            f"`{p.default!r}`"
            if p.default is None or isinstance(p.default, bool)
            else f"{p.default:,}"
            if isinstance(p.default, int)
            else str(p.default)
        )

    rows = ["| Parameter | Command line | Default | Meaning |", "|---|---|---|---|"]
    for p in PARAMS:
        flag = f"`--no-{p.flag[2:]}`" if p.kind == "bool" and p.default else f"`{p.flag}`"
        rows.append(f"| `{p.name}` | {flag} | {shown(p)} | {p.help} |")
    return "\n".join(rows)


if __name__ == "__main__":
    print(markdown())
