"""A small, deterministic credit data set shaped like a binning library's output.

Each predictor is a continuous variable cut into bins. The training table holds
the bin labels plus the target; the model sees one-hot features named
``<predictor>_<bin index>``; the reference table maps each feature to its bin
label; and every predictor has a binning table pickled under its own name in
the bins directory, with the columns binning libraries write.

Building the tables is cached per seed, so a test that needs a fresh set only
pays for writing a handful of small pickles.
"""

from __future__ import annotations

import functools
import os
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

TARGET = "target"

# name -> (inner cut points, mean, spread, effect of one spread on the log-odds)
PREDICTORS: dict[str, tuple[tuple[float, ...], float, float, float]] = {
    "age": ((25.5, 40.0, 55.0), 42.0, 12.0, -0.9),
    "income": ((1800.0, 3500.0), 3000.0, 1200.0, -0.7),
    "debt_ratio": ((0.2, 0.35, 0.5, 0.7), 0.42, 0.18, 1.1),
    "tenure": ((2.0, 6.0), 5.0, 3.0, -0.5),
}

BINNING_COLUMNS = ["Bin", "Count", "Count (%)", "Non-event", "Event", "Event rate", "WoE", "IV", "JS"]


def bin_labels(cuts: tuple[float, ...]) -> list[str]:
    edges = [-np.inf, *cuts, np.inf]
    return [f"[{_edge(lo)}, {_edge(hi)})" for lo, hi in zip(edges[:-1], edges[1:])]


def _edge(value: float) -> str:
    return "inf" if value == np.inf else "-inf" if value == -np.inf else f"{value:.2f}"


@dataclass
class CreditSet:
    training_df: pd.DataFrame  # bin labels per predictor, then the target
    X_train: pd.DataFrame  # one-hot features the model is trained on
    y_train: pd.Series
    X_test: pd.DataFrame
    input_ref_df: pd.DataFrame
    bins_directory: str
    predictors: list[str]
    binning_tables: dict[str, pd.DataFrame] = field(default_factory=dict)
    target: str = TARGET

    def features(self, predictor: str) -> list[str]:
        return [c for c in self.X_test.columns if c[:-2] == predictor]


def binning_table(bins: pd.Series, target: pd.Series, labels: list[str]) -> pd.DataFrame:
    """The table a binning library writes: one row per bin, then Special and Missing."""
    counts = pd.crosstab(bins, target).reindex(labels, fill_value=0)
    event = counts.get(1, pd.Series(0, index=labels)).to_numpy(dtype=float)
    non_event = counts.get(0, pd.Series(0, index=labels)).to_numpy(dtype=float)
    count = event + non_event
    total_event, total_non_event = event.sum(), non_event.sum()
    with np.errstate(divide="ignore", invalid="ignore"):
        event_rate = np.where(count > 0, event / np.maximum(count, 1), 0.0)
        # Empty event or non-event bins give an infinite WoE, as the libraries report it.
        woe = np.log((non_event / total_non_event) / (event / total_event))
        iv = np.where(np.isfinite(woe), (non_event / total_non_event - event / total_event) * woe, 0.0)
    table = pd.DataFrame(
        {
            "Bin": labels + ["Special", "Missing"],
            "Count": np.append(count, [0.0, 0.0]).astype(int),
            "Count (%)": np.append(count / count.sum(), [0.0, 0.0]),
            "Non-event": np.append(non_event, [0.0, 0.0]).astype(int),
            "Event": np.append(event, [0.0, 0.0]).astype(int),
            "Event rate": np.append(event_rate, [0.0, 0.0]),
            "WoE": np.append(woe, [0.0, 0.0]),
            "IV": np.append(iv, [0.0, 0.0]),
            "JS": np.append(iv / 8.0, [0.0, 0.0]),
        }
    )
    return table[BINNING_COLUMNS]


@functools.lru_cache(maxsize=16)
def _tables(seed: int, n_train: int, n_test: int, predictors: tuple[str, ...]):
    rng = np.random.default_rng(seed)
    n = n_train + n_test
    log_odds = np.full(n, -1.0)
    binned, onehot, labels_of = {}, {}, {}
    for name in predictors:
        cuts, mean, spread, effect = PREDICTORS[name]
        raw = rng.normal(mean, spread, n)
        log_odds += effect * (raw - mean) / spread
        labels = bin_labels(cuts)
        index = np.searchsorted(np.asarray(cuts), raw, side="right")
        binned[name] = np.asarray(labels, dtype=object)[index]
        for i in range(len(labels)):
            onehot[f"{name}_{i}"] = (index == i).astype(np.int64)
        labels_of[name] = labels
    target = (rng.random(n) < 1.0 / (1.0 + np.exp(-log_odds))).astype(np.int64)

    training = pd.DataFrame({name: binned[name][:n_train] for name in predictors})
    training[TARGET] = target[:n_train]
    features = pd.DataFrame(onehot)
    y_train = pd.Series(target[:n_train], name=TARGET)

    # Predictors have different bin counts, so shorter columns are padded with NaN.
    depth = max(len(v) for v in labels_of.values())
    reference = {}
    for name in predictors:
        labels = labels_of[name]
        pad = [np.nan] * (depth - len(labels))
        reference[name] = pd.Series(labels + pad, dtype=object)
        reference[f"{name}_RF"] = pd.Series([f"{name}_{i}" for i in range(len(labels))] + pad, dtype=object)
    input_ref = pd.DataFrame(reference)

    tables = {name: binning_table(training[name], training[TARGET], labels_of[name]) for name in predictors}
    return (
        training,
        features.iloc[:n_train].reset_index(drop=True),
        y_train,
        features.iloc[n_train:].reset_index(drop=True),
        input_ref,
        tables,
    )


def make_credit_set(
    directory,
    *,
    seed: int = 0,
    n_train: int = 400,
    n_test: int = 60,
    predictors: tuple[str, ...] = tuple(PREDICTORS),
    infinite_woe: bool = False,
) -> CreditSet:
    """Writes the binning files under ``directory/bins`` and returns the set.

    ``infinite_woe`` sets the WoE of the first bin of every predictor to +inf
    and of the last to -inf, as a bin without events or non-events would have.
    """
    training, X_train, y_train, X_test, input_ref, tables = _tables(seed, n_train, n_test, tuple(predictors))
    bins_directory = os.path.join(os.fspath(directory), "bins")
    os.makedirs(bins_directory, exist_ok=True)
    written = {}
    for name, table in tables.items():
        table = table.copy()
        if infinite_woe:
            table.loc[0, "WoE"] = np.inf
            table.loc[len(table) - 3, "WoE"] = -np.inf
        table.to_pickle(os.path.join(bins_directory, f"{name}.pkl"))
        written[name] = table
    return CreditSet(
        training_df=training.copy(),
        X_train=X_train.copy(),
        y_train=y_train.copy(),
        X_test=X_test.copy(),
        input_ref_df=input_ref.copy(),
        bins_directory=bins_directory,
        predictors=list(predictors),
        binning_tables=written,
    )


def train_xgboost(data: CreditSet):
    import xgboost

    model = xgboost.XGBClassifier(n_estimators=12, max_depth=2, learning_rate=0.3, n_jobs=1, random_state=0)
    return model.fit(data.X_train, data.y_train)


def train_random_forest(data: CreditSet):
    from sklearn.ensemble import RandomForestClassifier

    model = RandomForestClassifier(n_estimators=8, max_depth=3, n_jobs=1, random_state=0)
    return model.fit(data.X_train, data.y_train)


def train_catboost(data: CreditSet):
    import catboost

    model = catboost.CatBoostClassifier(
        iterations=12, depth=2, random_seed=0, verbose=False, allow_writing_files=False, thread_count=1
    )
    return model.fit(data.X_train, data.y_train)
