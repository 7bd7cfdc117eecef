"""What the document is written from: the card directory's files, each checked, and the team's --about file."""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from pathlib import Path

import pandas as pd

from .._card import Card
from .._errors import InputError, reason

# What a team writes once about a card; every other word of the document comes from the card directory.
ABOUT = {
    "title": "the document's title",
    "purpose": "what the card decides",
    "intended_use": "who uses it, on which applicants, for which products",
    "owner": "the model owner",
    "developer": "who built it",
    "data_source": "where the development data came from",
    "periods": "the application periods the data covers",
    "target_definition": "what 'bad' means (e.g. 90 days past due within 12 months)",
    "exclusions": "applicants left out of the development data, and why",
    "rejects": "how rejected applicants were treated",
    "limitations": "limitations the team knows of, beyond those the build found",
    "monitoring": "who monitors the card, how often, and what they do on an alert",
    "changes": "the card's history of changes",
}
PLACEHOLDER = "[to be completed by the model owner: {what}]"


@dataclass
class Sources:
    directory: Path
    card: Card
    metrics: dict
    params: dict
    table: pd.DataFrame
    test_scores: pd.DataFrame
    report: dict  # the report page's own data: predictors left out, values not placed, directions
    build: dict  # the build's settings and the applicants of each part, where it recorded them (fine classes)
    about: dict

    def said(self, key: str) -> str:
        """The team's text for `key`, or a placeholder saying what belongs there."""
        value = self.about.get(key)
        if value is None:
            return PLACEHOLDER.format(what=ABOUT[key])
        return "; ".join(value) if isinstance(value, list) else value


def card_dir(location) -> Path:
    location = Path(location)
    return location if location.is_dir() or not location.exists() else location.parent


def _need(directory: Path, name: str, section: str) -> Path:
    path = directory / name
    if not path.is_file():
        raise InputError(
            f"the card '{directory}' lacks {name}, which the {section} section needs: rebuild it with 'tessaly build'"
        )
    return path


def _json(path: Path, section: str) -> dict:
    try:
        value = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as e:
        raise InputError(f"cannot read {path} for the {section} section: {reason(e)}") from None
    if not isinstance(value, dict):
        raise InputError(f"{path} is not a JSON object: the {section} section cannot use it")
    return value


def _csv(path: Path, section: str, columns: list[str]) -> pd.DataFrame:
    try:
        frame = pd.read_csv(path)
    except (OSError, ValueError) as e:
        raise InputError(f"cannot read {path} for the {section} section: {reason(e)}") from None
    absent = [c for c in columns if c not in frame.columns]
    if absent:
        raise InputError(f"{path} lacks the column '{absent[0]}' that the {section} section needs: rebuild the card")
    return frame


def _report_data(path: Path) -> dict:
    text = path.read_text(encoding="utf-8", errors="replace")
    found = re.search(r'<script type="application/json" id="report-data">(.*?)</script>', text, re.S)
    if not found:
        raise InputError(f"{path} holds no report data, which the limitations section needs: rebuild the card")
    try:
        return json.loads(found.group(1))
    except ValueError:
        raise InputError(f"the report data in {path} is damaged: rebuild the card") from None


def read_about(path) -> dict:
    """The team's texts, from YAML or JSON: each a text or a list of texts, under a known name."""
    if path is None:
        return {}
    try:
        text = Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as e:
        raise InputError(f"cannot read the --about file '{path}': {reason(e)}") from None
    try:
        if str(path).lower().endswith(".json"):
            about = json.loads(text)
        else:
            import yaml

            about = yaml.safe_load(text)
    except Exception as e:  # each parser raises its own kinds
        raise InputError(f"the --about file '{path}' cannot be read ({reason(e)}): fix it") from None
    about = {} if about is None else about
    if not isinstance(about, dict):
        raise InputError(f"the --about file '{path}' must map names to texts, e.g. purpose: ...")
    for key, value in about.items():
        if key not in ABOUT:
            raise InputError(f"the --about file names {str(key)[:60]!r}, which is none of: {', '.join(ABOUT)}")
        texts = value if isinstance(value, list) else [value]
        if not all(isinstance(t, (str, int, float)) and not isinstance(t, bool) for t in texts):
            raise InputError(f"the --about file's {key!r} must be a text or a list of texts")
        about[key] = [str(t) for t in value] if isinstance(value, list) else str(value)
    return about


def read(location, about=None) -> Sources:
    about_texts = read_about(about)
    directory = card_dir(location)
    if not directory.is_dir():
        raise InputError(f"'{location}' is not a card directory")
    card = Card.load(directory)
    metrics = _json(_need(directory, "metrics.json", "performance"), "performance")
    for key in ("auc", "auc_ci", "gini", "gini_ci", "ks", "ks_ci", "gains", "challengers"):
        if key not in metrics:
            raise InputError(f"metrics.json of '{directory}' lacks '{key}', which the performance section needs")
    params = _json(_need(directory, "params.json", "method"), "method")
    table = _csv(_need(directory, "table.csv", "method"), "method", ["predictor", "bin", "woe", "points"])
    scores = _csv(_need(directory, "test_scores.csv", "performance"), "performance", ["score", card.target])
    report = _report_data(_need(directory, "report.html", "limitations"))
    fine = directory / "fine_classes.json"
    build = {k: v for k, v in _json(fine, "data").items() if k != "predictors"} if fine.is_file() else {}
    return Sources(directory, card, metrics, params, table, scores, report, build, about_texts)
