"""A saved scorecard and its application to new applicants."""

from __future__ import annotations

import pickle
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

from ._binning import PredictorBinning
from ._errors import InputError

CARD_FILE = "card.pkl"
FORMAT = 1
REASONS = 3


@dataclass
class Card:
    target: str
    bad: object
    model: str
    scaling: dict
    binnings: list[PredictorBinning]
    # One row per bin: predictor, bin, points, neutral (the predictor's population-weighted points).
    points: pd.DataFrame = field(repr=False)

    @property
    def predictors(self) -> list[str]:
        return [b.name for b in self.binnings]

    @classmethod
    def from_scorecard(cls, scorecard: pd.DataFrame, binnings, **meta) -> "Card":
        points = pd.DataFrame(
            {
                "predictor": scorecard["predictor_variables"].astype(object),
                "bin": scorecard["Bin"].astype(object),
                "points": scorecard["CreditScore"].astype(float),
                "neutral": scorecard["Neutral_CreditScore"].astype(float),
            }
        ).reset_index(drop=True)
        for b in binnings:
            have = set(points.loc[points["predictor"] == b.name, "bin"])
            lost = [label for label in b.labels if label not in have]
            if lost:
                raise RuntimeError(f"the scorecard has no points for bins {lost} of '{b.name}'")
        return cls(binnings=list(binnings), points=points, **meta)

    def save(self, directory: Path) -> Path:
        path = Path(directory) / CARD_FILE
        with open(path, "wb") as f:
            pickle.dump({"format": FORMAT, "card": self}, f, protocol=pickle.HIGHEST_PROTOCOL)
        return path

    @classmethod
    def load(cls, directory) -> "Card":
        path = Path(directory) / CARD_FILE
        try:
            with open(path, "rb") as f:
                saved = pickle.load(f)
        except FileNotFoundError:
            raise InputError(f"no scorecard in '{directory}' (missing {CARD_FILE}); run 'tessaly build' first") from None
        except (OSError, pickle.UnpicklingError, EOFError, AttributeError, ImportError) as e:
            raise InputError(f"cannot read the scorecard {path}: {e}") from None
        if not isinstance(saved, dict) or saved.get("format") != FORMAT:
            raise InputError(f"{path} is not a scorecard this version of tessaly can read")
        return saved["card"]

    def _lookup(self, predictor: str) -> tuple[list[str], np.ndarray, float]:
        rows = self.points[self.points["predictor"] == predictor]
        by_bin = dict(zip(rows["bin"], rows["points"]))
        b = next(b for b in self.binnings if b.name == predictor)
        neutral = float(rows["neutral"].iloc[0])
        return b.labels, np.array([by_bin[label] for label in b.labels], dtype=float), neutral

    def score(self, data: pd.DataFrame) -> pd.DataFrame:
        """Each applicant's bin and points per predictor, the total and the reason codes.

        A value in a bin that training never saw (a missing value when training had
        none, say) earns the predictor's neutral points: it tells nothing either way.
        """
        absent = [p for p in self.predictors if p not in data.columns]
        if absent:
            raise InputError(f"the applicants lack the predictor column{'s' * (len(absent) > 1)} {', '.join(map(repr, absent))}")
        out = {}
        shortfall = np.zeros((len(data), len(self.binnings)))
        total = np.zeros(len(data))
        for j, b in enumerate(self.binnings):
            labels, points, neutral = self._lookup(b.name)
            pos = b.positions(data[b.name])
            seen = pos >= 0
            got = np.where(seen, points[np.where(seen, pos, 0)], neutral)
            out[f"{b.name}_bin"] = np.where(seen, np.asarray(labels, dtype=object)[np.where(seen, pos, 0)], "Unseen")
            out[f"{b.name}_points"] = got
            shortfall[:, j] = got - neutral
            total += got
        result = pd.DataFrame(out, index=data.index)
        result["score"] = total
        # Reason codes: the predictors that pull the applicant furthest below neutral.
        order = np.argsort(shortfall, axis=1, kind="stable")
        names = np.asarray(self.predictors, dtype=object)
        for k in range(REASONS):
            if k < len(self.binnings):
                idx = order[:, k]
                below = shortfall[np.arange(len(data)), idx] < -1e-9
                result[f"reason_{k + 1}"] = np.where(below, names[idx], "")
            else:
                result[f"reason_{k + 1}"] = ""
        if self.target in data.columns:
            result[self.target] = data[self.target].to_numpy()
        return result
