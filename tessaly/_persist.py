"""A scorecard's directory: what `save` writes beside card.json, and what `load` reads back."""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np
import pandas as pd

from . import _bins, _params
from ._card import CARD_FILE, Card
from ._errors import InputError
from ._files import atomic_path
from ._json import jsonable
from ._shap_cards import MODEL_NAME


def write(sc, directory) -> None:
    """The files of a fitted scorecard, into an existing empty directory (a build's staging folder)."""
    from ._writers import write_frame

    directory = Path(directory)
    for name, data in sc.artifacts_.items():  # a loaded card has none
        (directory / name).parent.mkdir(parents=True, exist_ok=True)
        (directory / name).write_bytes(data)
    sc.card_.save(directory)
    saved_model = directory / "model" / f"{MODEL_NAME}.sav"
    if sc.model_ is not None and not saved_model.exists():
        # The extension saves the tree families' model; the others are saved here, alike.
        import pickle

        saved_model.parent.mkdir(exist_ok=True)
        saved_model.write_bytes(pickle.dumps(sc.model_))
    if sc.module_card_ is not None:
        (directory / "module").mkdir(exist_ok=True)
        sc.module_card_.save(directory / "module")
    write_frame(sc.table_, directory / "table.csv")
    # The card's scaling is the truth: parameters set after fitting were never applied.
    params = {**sc.get_params(deep=False), **{k: v for k, v in sc.card_.scaling.items() if k in _params.BY_NAME}}
    params["model"] = sc.family_
    params["classes"] = jsonable(list(sc.classes_))
    (directory / "params.json").write_text(json.dumps(params, default=str, indent=1) + "\n", encoding="utf-8")


def read(directory, *, model=False) -> tuple[dict, dict]:
    """The parameters and the fitted state of a saved scorecard; its model (a pickle) only with `model=True`."""
    directory = Path(directory)
    card = Card.load(directory)
    try:
        params = json.loads((directory / "params.json").read_text(encoding="utf-8"))
        # Names and labels come from the card: the CSV's text cells are neutralised for spreadsheets.
        table = pd.read_csv(directory / "table.csv", usecols=["share", "event_rate", "woe"])
    except (OSError, ValueError) as e:
        raise InputError(f"'{directory}' lacks a readable params.json or table.csv ({e}); save it again") from None
    if not isinstance(params, dict):
        raise InputError(f"params.json in '{directory}' is not an object; save the card again")
    # params.json carries no checksum: the card's own scaling wins over it.
    params.update({k: v for k, v in card.scaling.items() if k in _params.BY_NAME})
    cards = {card.points_kind: card}
    # The model was trained on every kept predictor's bins; the module card (when saved) has them all,
    # the additive card may have left out predictors the model does not use.
    model_bins = card
    if (directory / "module" / CARD_FILE).is_file():
        model_bins = Card.load(directory / "module")
        cards.setdefault("module", model_bins)
    binnings = [
        _bins.PredictorBinning(p.name, p.dtype, p.splits, p.special_codes, p.kinds, labels=p.labels, binning=p.binning)
        for p in model_bins.predictors
    ]
    fitted = None
    if model:
        import pickle

        with open(directory / "model" / f"{MODEL_NAME}.sav", "rb") as f:
            fitted = pickle.load(f)
        binnings = getattr(fitted, "binnings_", binnings)
    state = {
        "card": card,
        "cards": cards,
        "module_card": model_bins if model_bins is not card else None,
        "table": _table(card, table, directory),
        "binnings": binnings,
        "model": fitted,
        "family": card.model,
        "target": card.target,
        "bad": card.bad,
        "classes": _saved_classes(params.get("classes"), card.bad),
    }
    return {k: v for k, v in params.items() if k in _params.BY_NAME}, state


def _table(card: Card, saved: pd.DataFrame, directory) -> pd.DataFrame:
    rows = [
        (p.name, label, points, p.neutral, p.binning)
        for p in card.characteristics
        for label, points in zip(p.labels, p.points)
    ]
    if len(rows) != len(saved):
        raise InputError(f"table.csv in '{directory}' does not match its card.json; save the card again")
    names = pd.DataFrame(rows, columns=["predictor", "bin", "points", "neutral", "binning"])
    return pd.concat([names[["predictor", "bin"]], saved, names[["points", "neutral", "binning"]]], axis=1)


def _saved_classes(saved, bad) -> np.ndarray:
    """The outcome values a saved card was fitted on; cards saved before they were kept had 0/1 or False/True."""
    if isinstance(saved, list) and len(saved) == 2 and bad in saved:
        return np.array(saved, dtype=object)
    if isinstance(bad, bool):
        return np.array([False, True], dtype=object)
    if bad == 1:
        return np.array([0, 1], dtype=object)
    # Unknown: scoring works, and only the sklearn outcome methods need the other value.
    return np.array(["not " + str(bad), bad], dtype=object)


def set_reasons(card_dir, path) -> Path:
    """Give an existing card the texts of a reasons file: card.json rewritten whole, with its checksum."""
    from ._reasons import read_texts, resolve

    directory = Path(card_dir) if Path(card_dir).is_dir() else Path(card_dir).parent
    card = Card.load(directory)
    texts = read_texts(path)
    card.reasons = resolve(card, texts)
    saved = card.save(directory)
    _keep_params(directory, texts)
    return saved


def _keep_params(directory: Path, texts: dict) -> None:
    """params.json follows the card, so that a refit of the loaded estimator words its reasons the same."""
    path = directory / "params.json"
    try:
        params = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return  # a card saved without its estimator's parameters
    if isinstance(params, dict):
        with atomic_path(path) as tmp:
            tmp.write_text(json.dumps({**params, "reasons": texts}, default=str, indent=1) + "\n", encoding="utf-8")
