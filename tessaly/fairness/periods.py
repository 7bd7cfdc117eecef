"""Approval and impact ratio per protected group in every monitoring scope: the whole window, then each period."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

from .._errors import InputError
from .._tables import BATCH_ROWS, table_columns
from .measures import MAX_GROUPS, MISSING_GROUP, check_protected, impact

WHOLE = "all"


def cutoffs_for(card, card_dir, given) -> list[float]:
    """The cutoffs asked for, else those the card was built with (params.json), else its target score."""
    if given:
        return [float(c) for c in given]
    import json

    try:
        saved = json.loads((Path(card_dir) / "params.json").read_text(encoding="utf-8")).get("cutoffs")
    except (OSError, ValueError, TypeError, AttributeError):
        saved = None
    if isinstance(saved, list) and saved and all(isinstance(c, (int, float)) for c in saved):
        return [float(c) for c in saved]
    return [float(card.scaling["target_score"])]


def by_period(card, data, protected, cutoffs, *, period_column=None, period=None, batch_rows=BATCH_ROWS) -> dict:
    """Per protected column, scope and cutoff: each group's applicants, approval rate and impact ratio."""
    from ..monitoring.counts import _read, check_period, period_codes

    protected = list(protected)
    columns = list(data.columns) if isinstance(data, pd.DataFrame) else table_columns(Path(data))
    check_protected(protected, columns, target=card.target)
    clash = [c for c in protected if c in card.names or c == period_column]
    if clash:
        raise InputError(f"--protected column '{clash[0]}' is a predictor of the card or the period column")
    kind = check_period(period_column, period)
    wanted = list(dict.fromkeys([*card.names, *protected, *([period_column] if period_column else [])]))
    numerical = {p.name for p in card.predictors if p.dtype == "numerical"}
    # (column, scope, group) -> applicants, and approved per cutoff
    tally: dict[tuple, np.ndarray] = {}
    scopes: list = []
    for frame in _read(data, wanted, numerical, batch_rows):
        score = card.total(frame)
        passed = np.column_stack([score >= c for c in cutoffs]).astype(float)
        if period_column is None:
            labels = np.full(len(frame), WHOLE, dtype=object)
        else:
            codes, names = period_codes(frame[period_column], kind or "month", period_column)
            labels = names[codes]
        for column in protected:
            groups = frame[column].astype(object).where(frame[column].notna(), MISSING_GROUP).astype(str)
            keys = pd.MultiIndex.from_arrays([labels, groups.to_numpy()])
            sums = pd.DataFrame(np.column_stack([np.ones(len(frame)), passed]), index=keys).groupby(level=[0, 1]).sum()
            for (scope, group), row in zip(sums.index, sums.to_numpy()):
                tally[(column, scope, group)] = tally.get((column, scope, group), 0) + row
                if scope not in scopes:
                    scopes.append(scope)
    out: dict = {}
    for column in protected:
        keys = [k for k in tally if k[0] == column]
        groups = sorted({k[2] for k in keys})
        if len(groups) > MAX_GROUPS:
            raise InputError(f"--protected column '{column}' holds {len(groups)} distinct values: give it as groups")
        rows = []
        for scope in [WHOLE] if period_column is None else [WHOLE, *sorted(scopes)]:
            counts = np.array(
                [
                    sum((v for k, v in tally.items() if k[0] == column and k[2] == g), np.zeros(1 + len(cutoffs)))
                    if scope == WHOLE
                    else tally.get((column, scope, g), np.zeros(1 + len(cutoffs)))
                    for g in groups
                ]
            )
            for j, c in enumerate(cutoffs):
                rows.append({"scope": scope, "cutoff": c, **impact(groups, counts[:, 0], counts[:, 1 + j])})
        out[column] = rows
    return {"cutoffs": list(cutoffs), "columns": out}
