"""The bins as model inputs: one feature per bin, named as the extension expects, and the frames it reads."""

from __future__ import annotations

import numpy as np
import pandas as pd

from ._bins import UNSEEN, PredictorBinning


def one_hot(binnings: list[PredictorBinning], data: pd.DataFrame | None, positions=None) -> pd.DataFrame:
    """Features "<predictor>_<digit>", one per bin, 1 where the applicant falls in that bin.

    `positions`: each predictor's bins of the applicants (a sequence, or the columns of an applicants x
    predictors array), where the caller has them already; then `data` only lends its index, if given.
    """
    if positions is None:
        if data is None:
            raise TypeError("one_hot needs the applicants or their bins")
        positions = [b.positions(data[b.name]) for b in binnings]
    blocks = {}
    for b, pos in zip(binnings, positions):
        for d, feature in enumerate(b.features):
            blocks[feature] = (pos == d).astype(np.int8)
    return pd.DataFrame(blocks, index=None if data is None else data.index)


def binned(binnings: list[PredictorBinning], data: pd.DataFrame, positions=None) -> pd.DataFrame:
    """Each applicant's bin label per predictor (`positions` as for one_hot)."""
    if positions is None:
        positions = [b.positions(data[b.name]) for b in binnings]
    return pd.DataFrame(
        {b.name: np.asarray([*b.labels, UNSEEN], dtype=object)[pos] for b, pos in zip(binnings, positions)},
        index=data.index,
        dtype=object,
    )


def reference_table(binnings: list[PredictorBinning]) -> pd.DataFrame:
    """For each predictor, its bin labels beside the features standing for them."""
    depth = max(len(b.labels) for b in binnings)
    columns = {}
    for b in binnings:
        pad = [None] * (depth - len(b.labels))
        columns[b.name] = pd.Series(b.labels + pad, dtype=object)
        columns[b.name + "_RF"] = pd.Series(b.features + pad, dtype=object)
    return pd.DataFrame(columns)
