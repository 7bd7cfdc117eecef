"""The model families a card can come from: a small protocol, two kinds, one registry entry each.

A family trains its model on the bins, explains it (each predictor's SHAP
log-odds per applicant) and maps its SHAP totals to log-odds. Trees of several
packages are one kind, built by keyword; the penalised logistic regression is
the other. Adding a family is one entry in FAMILIES; the parameter table, the
command line's choices and the docs read its keys, and the command line the
packages it needs.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Protocol

from ._errors import InputError
from ._quiet import quiet

if TYPE_CHECKING:
    import numpy as np

# Without early stopping a model gets a fixed 100 trees; with it, rounds stop on the validation part.
FIXED_TREES, MAX_TREES = 100, 1000
PATIENCE = 30
# On small tables a second thread costs more in synchronisation than it saves, badly so on a busy machine.
PARALLEL_ROWS = 50_000
VALIDATION_SHARE, VALIDATION_ROWS = 0.2, 10_000


def _xgb(rounds, seed, jobs, stop):
    from xgboost import XGBClassifier

    # Early stopping picks the rounds, so larger steps cost no accuracy and a third of the trees.
    return XGBClassifier(
        n_estimators=rounds, max_depth=3, learning_rate=0.3 if stop else 0.1, random_state=seed, n_jobs=jobs
    )


def _xgb_early(model, fit, val, weights):
    model.set_params(early_stopping_rounds=PATIENCE, eval_metric="logloss")
    if weights[0] is not None:
        return model.fit(
            *fit, sample_weight=weights[0], eval_set=[val], sample_weight_eval_set=[weights[1]], verbose=False
        )
    return model.fit(*fit, eval_set=[val], verbose=False)


def _rf(rounds, seed, jobs, stop):
    from sklearn.ensemble import RandomForestClassifier

    return RandomForestClassifier(n_estimators=rounds, max_depth=6, min_samples_leaf=5, random_state=seed, n_jobs=jobs)


def _catboost(rounds, seed, jobs, stop):
    from catboost import CatBoostClassifier

    return CatBoostClassifier(
        iterations=rounds, depth=4, random_seed=seed, verbose=False, allow_writing_files=False, thread_count=jobs
    )


def _catboost_early(model, fit, val, weights):
    from catboost import Pool

    model.set_params(od_type="Iter", od_wait=PATIENCE, use_best_model=True)
    if weights[0] is not None:
        return model.fit(*fit, sample_weight=weights[0], eval_set=Pool(*val, weight=weights[1]))
    return model.fit(*fit, eval_set=val)


def _lightgbm(rounds, seed, jobs, stop):
    from lightgbm import LGBMClassifier

    return LGBMClassifier(
        n_estimators=rounds, num_leaves=8, learning_rate=0.1, random_state=seed, n_jobs=jobs, verbose=-1
    )


def _lightgbm_early(model, fit, val, weights):
    import lightgbm

    stopping = [lightgbm.early_stopping(PATIENCE, verbose=False)]
    if weights[0] is not None:
        return model.fit(
            *fit, sample_weight=weights[0], eval_set=[val], eval_sample_weight=[weights[1]], callbacks=stopping
        )
    return model.fit(*fit, eval_set=[val], callbacks=stopping)


class Family(Protocol):
    """What the estimator asks of a model family; it holds no branch on which one it has."""

    @property
    def name(self) -> str: ...

    @property
    def describe(self) -> str:
        """The model in the report's words."""

    @property
    def technique(self) -> str | None:
        """The extension's name for its SHAP route; None: the extension's card needs a tree."""

    @property
    def monotone_key(self) -> str | None:
        """The constraint parameter's name; None: points are made monotone only."""

    @property
    def packages(self) -> tuple[str, ...]:
        """The optional packages it needs."""

    def accepts(self, model) -> bool:
        """Whether an unfitted classifier is one of this family's."""

    def train(self, model, binnings, positions, y, *, trees, seed, early_stopping, monotone=None, sample_weight=None):
        """The fitted model, from a family name (`model` a str) or an unfitted classifier."""

    def explain(self, model, binnings, positions) -> tuple[np.ndarray, float]:
        """Per applicant and predictor the SHAP log-odds of its bin, and the base value."""

    def proba(self, model, binnings, positions) -> np.ndarray:
        """The probability of bad."""

    def log_odds(self, model, base: float, means: list, positions, y, w=None) -> tuple[float, float]:
        """Slope and intercept that take a sum of per-bin mean SHAP values (without `base`) to log-odds."""

    def penalty(self, model) -> str:
        """The fitted model's chosen regularisation in words, or ""."""


def _one_hot(binnings, positions):
    """The tree families' input: one feature per bin, named as the extension expects."""
    from ._features import one_hot

    return one_hot(binnings, None, positions.T)


@dataclass(frozen=True)
class Trees:
    """Trees of one package on the one-hot bins, with early stopping on a seeded validation part of the rows."""

    name: str
    technique: str
    package: str  # the top-level module an unfitted instance comes from
    classifier: str  # the one class of that package accepted
    build: Callable  # (rounds, seed, jobs, early stopping) -> an unfitted classifier
    early: Callable | None  # (model, (X, y), (X_val, y_val), (w, w_val)) -> fitted; None: no early stopping
    monotone_key: str
    monotone_tuple: bool = False  # the constraint wants a tuple rather than a list
    # SHAP totals are log-odds already ("exact"), or probabilities mapped by one logistic fit ("fitted").
    scale: str = "exact"

    @property
    def describe(self) -> str:
        return f"{self.name} trees on the one-hot bins"

    @property
    def packages(self) -> tuple[str, ...]:
        return (self.package, "shap")

    def accepts(self, model) -> bool:
        return (type(model).__module__.split(".")[0], type(model).__name__) == (self.package, self.classifier)

    def train(self, model, binnings, positions, y, *, trees, seed, early_stopping, monotone=None, sample_weight=None):
        import numpy as np
        from sklearn.base import clone
        from sklearn.model_selection import train_test_split

        X = _one_hot(binnings, positions)
        early = self.early if early_stopping else None
        stop = early is not None
        jobs = 1 if len(X) < PARALLEL_ROWS else 2
        rounds = trees if trees is not None else (MAX_TREES if stop else FIXED_TREES)
        model = self.build(rounds, seed, jobs, stop) if isinstance(model, str) else clone(model)
        if monotone is not None:
            signs = [int(s) for s in monotone]
            model.set_params(**{self.monotone_key: tuple(signs) if self.monotone_tuple else signs})
        with quiet():
            if early is None:
                return model.fit(X, y) if sample_weight is None else model.fit(X, y, sample_weight=sample_weight)
            # A few thousand rows judge the loss well; more only slow every round.
            held = min(int(round(VALIDATION_SHARE * len(X))), VALIDATION_ROWS)
            fit_idx, val_idx = train_test_split(np.arange(len(X)), test_size=held, stratify=y, random_state=seed)
            w = (None, None) if sample_weight is None else (sample_weight[fit_idx], sample_weight[val_idx])
            return early(model, (X.iloc[fit_idx], y[fit_idx]), (X.iloc[val_idx], y[val_idx]), w)

    def explain(self, model, binnings, positions):
        """The path-dependent algorithm needs no background rows, so its cost grows with the rows alone; it keeps
        the additivity that the points rely on. A predictor's value is the sum over its bins' features."""
        import numpy as np
        import shap

        X = _one_hot(binnings, positions)
        with quiet():
            explainer = shap.TreeExplainer(model)
            values = np.asarray(explainer(X).values, dtype=float)
            base = np.asarray(explainer.expected_value, dtype=float).reshape(-1)
        if values.ndim == 3:  # one column per class: keep the bad one
            values, base = values[:, :, -1], base[-1:]
        columns = {f: i for i, f in enumerate(X.columns)}
        return np.column_stack([values[:, [columns[f] for f in b.features]].sum(axis=1) for b in binnings]), float(
            base[0]
        )

    def proba(self, model, binnings, positions):
        return model.predict_proba(_one_hot(binnings, positions))[:, 1]

    def log_odds(self, model, base, means, positions, y, w=None):
        if self.scale == "exact":
            return 1.0, base
        import numpy as np

        from ._points import log_odds_map

        total = sum(np.append(m, 0.0)[positions[:, j]] for j, m in enumerate(means))
        return log_odds_map(total, y, w)

    def penalty(self, model) -> str:
        return ""


@dataclass(frozen=True)
class Linear:
    """The penalised logistic regression on each predictor's WoE and one-hot bins (`_linear`); exact SHAP."""

    name: str = "logistic"
    describe: str = (
        "a logistic regression on each predictor's WoE and one-hot bins, its L2 penalty chosen on "
        "held-out training rows"
    )
    technique: None = None
    monotone_key: None = None
    packages: tuple[str, ...] = ("sklearn", "scipy")

    def accepts(self, model) -> bool:
        return False  # chosen by name only

    def train(self, model, binnings, positions, y, *, seed, sample_weight=None, penalty=None, **_):
        from ._bins import PredictorBinning
        from ._linear import WoELogistic

        n_bins = [len(b.labels) for b in binnings]
        fitted = WoELogistic().fit(positions, n_bins, y, sample_weight, seed=seed, penalty=penalty)
        # The bins the model reads, kept with it: the card may leave out predictors the model still holds.
        fitted.binnings_ = [
            PredictorBinning(b.name, b.dtype, b.splits, b.special_codes, b.kinds, labels=list(b.labels))
            for b in binnings
        ]
        return fitted

    def explain(self, model, binnings, positions):
        import numpy as np

        return np.column_stack([np.append(e, 0.0)[positions[:, j]] for j, e in enumerate(model.effects_)]), model.base_

    def proba(self, model, binnings, positions):
        return model.predict_proba(positions)[:, 1]

    def log_odds(self, model, base, means, positions, y, w=None):
        # The model calibrated its own raw total, base included, on held-out rows.
        return model.slope_, model.slope_ * base + model.intercept_

    def penalty(self, model) -> str:
        return f" (C = {model.C_:g})"


FAMILIES: dict[str, Family] = {
    f.name: f
    for f in (
        # Ranks as well as the logistic cards on small tables and keeps its scale; exact SHAP, no sampling.
        Linear(),
        Trees(
            name="xgb",
            technique="xgb",
            package="xgboost",
            classifier="XGBClassifier",
            build=_xgb,
            early=_xgb_early,
            monotone_key="monotone_constraints",
            monotone_tuple=True,
        ),
        Trees(
            name="rf",
            technique="rf",
            package="sklearn",
            classifier="RandomForestClassifier",
            build=_rf,
            early=None,
            monotone_key="monotonic_cst",
            scale="fitted",
        ),
        Trees(
            name="catboost",
            technique="catboost",
            package="catboost",
            classifier="CatBoostClassifier",
            build=_catboost,
            early=_catboost_early,
            monotone_key="monotone_constraints",
        ),
        # LightGBM's binary SHAP values are log-odds, as XGBoost's; the extension takes them on its general route.
        Trees(
            name="lightgbm",
            technique="lgbm",
            package="lightgbm",
            classifier="LGBMClassifier",
            build=_lightgbm,
            early=_lightgbm_early,
            monotone_key="monotone_constraints",
        ),
    )
}
TREES = [f for f in FAMILIES.values() if isinstance(f, Trees)]
# Every optional package a family needs: the command line names a missing one instead of a traceback.
PACKAGES = frozenset(p for f in FAMILIES.values() for p in f.packages)


def family(model) -> Family:
    """The family of a model given by name or as an unfitted classifier; anything else in one line."""
    if isinstance(model, str):
        if model not in FAMILIES:
            raise InputError(f"unknown model (--model) {model!r}: choose from {', '.join(FAMILIES)}")
        return FAMILIES[model]
    found = next((f for f in FAMILIES.values() if f.accepts(model)), None)
    if found is None:
        # Regressors and random-forest variants of these packages share the families' modules, not their output.
        classes = [f.classifier for f in TREES]
        raise InputError(
            f"model {type(model).__name__} is not supported: give one of {', '.join(FAMILIES)} or an "
            f"unfitted {', '.join(classes)}"
        )
    return found


def constraints(fam: Family, binnings, y_bad, w=None) -> list[int] | None:
    """Each bin's feature pushed towards bad where its event rate is above the overall rate (monotone fits)."""
    if fam.monotone_key is None:
        return None
    import numpy as np

    overall = np.average(y_bad, weights=w)
    return [1 if rate > overall else -1 for b in binnings for rate in b.table["Event rate"]]
