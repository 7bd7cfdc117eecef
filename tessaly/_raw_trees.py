"""Gradient-boosted trees tuned on the raw predictors: how well the applicants can be ranked at all, with no bins
in the way. The card is measured against them; the trees on the card's own bins tell what its binning allows.

The depth (2 to 6, deeper only while it ranks better) is chosen, and the rounds stopped, on a seeded validation
part of the training rows: the test applicants never tune anything. Numbers stay numbers (special codes and all, which trees split off by
themselves); any other column is a category, and one with nearly a level per applicant is left out, as IDs are.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

DEPTHS = (2, 3, 4, 5, 6)
LEARNING_RATE, MAX_ROUNDS, PATIENCE = 0.1, 2000, 50
VALIDATION = 0.2
# A category with more levels than this share of the applicants names them.
MOST_LEVELS = 0.5


@dataclass
class RawTrees:
    columns: list  # the raw predictors the trees read, in order
    levels: dict  # categorical column -> its training levels, so test values map to the same codes
    depth: int = 0
    rounds: int = 0
    validation_auc: dict = field(default_factory=dict)  # per depth tried
    model: Any = field(default=None, repr=False)

    def frame(self, X: pd.DataFrame) -> pd.DataFrame:
        """The trees' view of `X`: numbers as floats, the rest as categories of the training levels."""
        out = {}
        for c in self.columns:
            s = X[c]
            if c in self.levels:
                text = s.astype(object).where(s.notna(), None).map(lambda v: None if v is None else str(v))
                out[c] = pd.Categorical(text, categories=self.levels[c])
            else:
                out[c] = pd.to_numeric(s, errors="coerce").astype(float)
        return pd.DataFrame(out, index=X.index)

    def predict(self, X: pd.DataFrame) -> np.ndarray:
        """Each applicant's chance of being bad."""
        return self.model.predict_proba(self.frame(X), iteration_range=(0, self.rounds))[:, 1]


def _layout(X: pd.DataFrame) -> tuple[list, dict]:
    columns, levels = [], {}
    for c in X.columns:
        s = X[c]
        if pd.api.types.is_bool_dtype(s) or pd.api.types.is_numeric_dtype(s):
            columns.append(c)
        elif not pd.api.types.is_datetime64_any_dtype(s) and not pd.api.types.is_timedelta64_dtype(s):
            found = sorted({str(v) for v in s.dropna().unique()})
            if 0 < len(found) <= max(MOST_LEVELS * len(s), 2):
                columns.append(c)
                levels[c] = found
    return columns, levels


def fit(X: pd.DataFrame, y_bad, w=None, *, seed: int = 0) -> RawTrees:
    """The trees of the depth that ranks best on a validation part of the rows, stopped where it stops
    improving. `y_bad`: 1 bad, 0 good; `w`: applicants per row."""
    import xgboost as xgb
    from sklearn.metrics import roc_auc_score
    from sklearn.model_selection import train_test_split

    y = np.asarray(y_bad, dtype=np.int64)
    w = np.ones(len(y)) if w is None else np.asarray(w, dtype=float)
    columns, levels = _layout(X)
    if not columns:
        raise ValueError("no raw predictor the trees can read")
    trees = RawTrees(columns, levels)
    data = trees.frame(X)
    fit_at, check_at = train_test_split(np.arange(len(y)), test_size=VALIDATION, stratify=y, random_state=seed)
    best: tuple | None = None
    for depth in DEPTHS:
        model = xgb.XGBClassifier(
            max_depth=depth,
            n_estimators=MAX_ROUNDS,
            learning_rate=LEARNING_RATE,
            early_stopping_rounds=PATIENCE,
            eval_metric="logloss",
            tree_method="hist",
            enable_categorical=True,
            max_cat_to_onehot=1,
            subsample=0.8,
            colsample_bytree=0.8,
            random_state=seed,
            n_jobs=1,
        )
        model.fit(
            data.iloc[fit_at],
            y[fit_at],
            sample_weight=w[fit_at],
            eval_set=[(data.iloc[check_at], y[check_at])],
            sample_weight_eval_set=[w[check_at]],
            verbose=False,
        )
        rounds = int(model.best_iteration) + 1
        p = model.predict_proba(data.iloc[check_at], iteration_range=(0, rounds))[:, 1]
        auc = float(roc_auc_score(y[check_at], p, sample_weight=w[check_at]))
        trees.validation_auc[depth] = auc
        if best is not None and auc <= best[0]:
            break  # deeper trees only overfit further: the rest of the depths would cost the most
        best = (auc, depth, rounds, model)
    assert best is not None  # DEPTHS is not empty
    _, trees.depth, trees.rounds, trees.model = best
    return trees
