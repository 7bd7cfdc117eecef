"""What earns points on a card: a predictor's bins, or a cross of two predictors' bins; each with its labels,
points and neutral points, and its plain-JSON form."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from ._bins import MISSING, REGULAR, SPECIAL, Bins

KIND_NAMES = {SPECIAL: "special", MISSING: "missing"}
KINDS = {v: k for k, v in KIND_NAMES.items()}


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
            entry: dict[str, object] = {"label": label, "kind": KIND_NAMES.get(kind, REGULAR)}
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

    def place(self, data: pd.DataFrame) -> tuple[np.ndarray, np.ndarray]:
        """Each applicant's bin (-1 Unseen), and where the value could not be read."""
        return self.locate(data[self.name])

    @property
    def columns(self) -> list[str]:
        return [self.name]


@dataclass
class Cross:
    """Two predictors' joint effect as one characteristic: each predictor's own bins, the cell of every pair of
    them, and each cell's label and points. A value of either predictor that falls in no bin earns the neutral
    points, as an unseen value does."""

    name: str
    sides: list[Bins]
    cells: list[list[int]]  # per bin of the first predictor, per bin of the second: the cell
    labels: list[str] = field(default_factory=list)
    points: list[float] = field(default_factory=list)
    neutral: float = 0.0
    binning: str = "cross"
    dtype = "cross"
    special_codes: list = field(default_factory=list)

    @property
    def kinds(self) -> list:
        return list(range(len(self.labels)))

    @property
    def columns(self) -> list[str]:
        return [s.name for s in self.sides]

    def place(self, data: pd.DataFrame) -> tuple[np.ndarray, np.ndarray]:
        (ra, ua), (rb, ub) = (s.locate(data[s.name]) for s in self.sides)
        table = np.asarray(self.cells, dtype=np.intp)
        cell = table[np.maximum(ra, 0), np.maximum(rb, 0)]
        return np.where((ra < 0) | (rb < 0), -1, cell), ua | ub

    def to_dict(self) -> dict:
        sides = []
        for s in self.sides:
            kinds = [KIND_NAMES.get(k, k) for k in s.kinds]
            sides.append(
                {"name": s.name, "type": s.dtype, "splits": s.splits, "special_codes": s.special_codes, "bins": kinds}
            )
        return {
            "name": self.name,
            "predictors": sides,
            "cells": [list(map(int, row)) for row in self.cells],
            "bins": [{"label": lab, "points": float(p)} for lab, p in zip(self.labels, self.points)],
            "neutral": float(self.neutral),
        }
