"""The model families a card can come from, one registry entry each.

An entry says how the family is recognised, how it is built and trained (early
stopping, monotone constraints) and how its SHAP values reach log-odds. Adding a
family is one entry in FAMILIES; the parameter table, the command line's choices
and the docs read its keys.
"""

from __future__ import annotations

import contextlib
import io
import logging
import warnings
from dataclasses import dataclass
from typing import Callable

from ._errors import InputError

# Without early stopping a model gets a fixed 100 trees; with it, rounds stop on the validation part.
FIXED_TREES, MAX_TREES = 100, 1000
PATIENCE = 30
# On small tables a second thread costs more in synchronisation than it saves, badly so on a busy machine.
PARALLEL_ROWS = 50_000
VALIDATION_SHARE, VALIDATION_ROWS = 0.2, 10_000


def _xgb(rounds, seed, jobs, stop):
    from xgboost import XGBClassifier

    # Early stopping picks the rounds, so larger steps cost no accuracy and a third of the trees.
    return XGBClassifier(n_estimators=rounds, max_depth=3, learning_rate=0.3 if stop else 0.1, random_state=seed,
                         n_jobs=jobs)


def _xgb_early(model, fit, val, weights):
    model.set_params(early_stopping_rounds=PATIENCE, eval_metric="logloss")
    if weights[0] is not None:
        return model.fit(*fit, sample_weight=weights[0], eval_set=[val], sample_weight_eval_set=[weights[1]],
                         verbose=False)
    return model.fit(*fit, eval_set=[val], verbose=False)


def _rf(rounds, seed, jobs, stop):
    from sklearn.ensemble import RandomForestClassifier

    return RandomForestClassifier(n_estimators=rounds, max_depth=6, min_samples_leaf=5, random_state=seed,
                                  n_jobs=jobs)


def _catboost(rounds, seed, jobs, stop):
    from catboost import CatBoostClassifier

    return CatBoostClassifier(iterations=rounds, depth=4, random_seed=seed, verbose=False,
                              allow_writing_files=False, thread_count=jobs)


def _catboost_early(model, fit, val, weights):
    from catboost import Pool

    model.set_params(od_type="Iter", od_wait=PATIENCE, use_best_model=True)
    if weights[0] is not None:
        return model.fit(*fit, sample_weight=weights[0], eval_set=Pool(*val, weight=weights[1]))
    return model.fit(*fit, eval_set=val)


def _lightgbm(rounds, seed, jobs, stop):
    from lightgbm import LGBMClassifier

    return LGBMClassifier(n_estimators=rounds, num_leaves=8, learning_rate=0.1, random_state=seed, n_jobs=jobs,
                          verbose=-1)


def _lightgbm_early(model, fit, val, weights):
    import lightgbm

    stopping = [lightgbm.early_stopping(PATIENCE, verbose=False)]
    if weights[0] is not None:
        return model.fit(*fit, sample_weight=weights[0], eval_set=[val], eval_sample_weight=[weights[1]],
                         callbacks=stopping)
    return model.fit(*fit, eval_set=[val], callbacks=stopping)


def _one_hot(binnings, positions):
    """The tree families' input: one feature per bin, named as the extension expects."""
    from ._binning import one_hot

    return one_hot(binnings, None, positions.T)


def _train_tree(fam, model, binnings, positions, y, *, trees, seed, early_stopping, monotone=None,
                sample_weight=None):
    """A tree model on the one-hot bins, with early stopping on a seeded validation part of the rows."""
    import numpy as np
    from sklearn.base import clone
    from sklearn.model_selection import train_test_split

    X = _one_hot(binnings, positions)
    stop = early_stopping and fam.early is not None
    jobs = 1 if len(X) < PARALLEL_ROWS else 2
    rounds = trees if trees is not None else (MAX_TREES if stop else FIXED_TREES)
    model = fam.build(rounds, seed, jobs, stop) if isinstance(model, str) else clone(model)
    if monotone is not None:
        signs = [int(s) for s in monotone]
        model.set_params(**{fam.monotone_key: tuple(signs) if fam.monotone_tuple else signs})
    with quiet():
        if not stop:
            return model.fit(X, y) if sample_weight is None else model.fit(X, y, sample_weight=sample_weight)
        # A few thousand rows judge the loss well; more only slow every round.
        held = min(int(round(VALIDATION_SHARE * len(X))), VALIDATION_ROWS)
        fit_idx, val_idx = train_test_split(np.arange(len(X)), test_size=held, stratify=y, random_state=seed)
        w = (None, None) if sample_weight is None else (sample_weight[fit_idx], sample_weight[val_idx])
        return fam.early(model, (X.iloc[fit_idx], y[fit_idx]), (X.iloc[val_idx], y[val_idx]), w)


def _explain_tree(model, binnings, positions):
    """Per applicant and predictor, the summed tree SHAP values of its bins' features, and the base value.

    The path-dependent algorithm needs no background rows, so its cost grows with
    the rows alone; it keeps the additivity that the points rely on.
    """
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
    return np.column_stack([values[:, [columns[f] for f in b.features]].sum(axis=1) for b in binnings]), \
        float(base[0])


def _tree_proba(model, binnings, positions):
    return model.predict_proba(_one_hot(binnings, positions))[:, 1]


def _train_linear(fam, model, binnings, positions, y, *, seed, sample_weight=None, **_):
    from ._linear import WoELogistic

    from ._binning import PredictorBinning

    fitted = WoELogistic().fit(positions, [len(b.labels) for b in binnings], y, sample_weight, seed=seed)
    # The bins the model reads, kept with it: the card may leave out predictors the model still holds.
    fitted.binnings_ = [PredictorBinning(b.name, b.dtype, b.splits, b.special_codes, b.kinds, labels=list(b.labels))
                        for b in binnings]
    return fitted


def _explain_linear(model, binnings, positions):
    import numpy as np

    return np.column_stack([np.append(e, 0.0)[positions[:, j]] for j, e in enumerate(model.effects_)]), \
        model.base_


def _linear_proba(model, binnings, positions):
    return model.predict_proba(positions)[:, 1]


@dataclass(frozen=True)
class Family:
    name: str
    describe: str  # the model in the report's words
    technique: str | None  # the extension's name for its SHAP route; None: the extension's card needs a tree
    train: Callable  # (family, model, binnings, positions, y, *, trees, seed, early_stopping, monotone, weights)
    explain: Callable  # (model, binnings, positions) -> (per-predictor SHAP log-odds per applicant, base)
    proba: Callable  # (model, binnings, positions) -> probability of bad
    package: str | None = None  # the top-level module an unfitted instance comes from
    classifier: str | None = None  # the one class of that package accepted
    build: Callable | None = None  # trees: (rounds, seed, jobs, early stopping) -> an unfitted classifier
    early: Callable | None = None  # trees: (model, (X, y), (X_val, y_val), (w, w_val)) -> fitted; None: none
    monotone_key: str | None = None  # the constraint parameter's name; None: points are made monotone only
    monotone_tuple: bool = False  # the constraint wants a tuple rather than a list
    # How SHAP totals reach log-odds: "exact" (they are log-odds), "fitted" (probabilities, mapped by one logistic
    # fit on the training rows) or "model" (the model calibrated its own on held-out rows).
    scale: str = "exact"


def _tree(name, technique, package, classifier, build, early, monotone_key, **options):
    return Family(name, f"{name} trees on the one-hot bins", technique, _train_tree, _explain_tree, _tree_proba,
                  package, classifier, build, early, monotone_key, **options)


FAMILIES = {f.name: f for f in (
    # Ranks as well as the logistic cards on small tables and keeps its scale; exact SHAP, no sampling.
    Family("logistic", "a logistic regression on each predictor's WoE and one-hot bins, its L2 penalty chosen on "
           "held-out training rows", None, _train_linear, _explain_linear, _linear_proba, scale="model"),
    _tree("xgb", "xgb", "xgboost", "XGBClassifier", _xgb, _xgb_early, "monotone_constraints", monotone_tuple=True),
    _tree("rf", "rf", "sklearn", "RandomForestClassifier", _rf, None, "monotonic_cst", scale="fitted"),
    _tree("catboost", "catboost", "catboost", "CatBoostClassifier", _catboost, _catboost_early,
          "monotone_constraints"),
    # LightGBM's binary SHAP values are log-odds, as XGBoost's; the extension takes them on its general route.
    _tree("lightgbm", "lgbm", "lightgbm", "LGBMClassifier", _lightgbm, _lightgbm_early, "monotone_constraints"),
)}


def family(model) -> Family:
    """The family of a model given by name or as an unfitted classifier; anything else in one line."""
    if isinstance(model, str):
        if model not in FAMILIES:
            raise InputError(f"unknown model (--model) {model!r}: choose from {', '.join(FAMILIES)}")
        return FAMILIES[model]
    package, name = type(model).__module__.split(".")[0], type(model).__name__
    found = next((f for f in FAMILIES.values() if f.classifier and f.package == package and f.classifier == name),
                 None)
    if found is None:
        # Regressors and random-forest variants of these packages share the families' modules, not their output.
        raise InputError(f"model {name} is not supported: give one of {', '.join(FAMILIES)} or an unfitted "
                         f"{', '.join(f.classifier for f in FAMILIES.values() if f.classifier)}")
    return found


@contextlib.contextmanager
def quiet():
    """The model libraries and shap talk on stdout, stderr, warnings and logging; the command line prints progress."""
    logger = logging.getLogger("shap")
    level = logger.level
    logger.setLevel(logging.ERROR)
    try:
        with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()), \
                contextlib.redirect_stderr(io.StringIO()):
            warnings.simplefilter("ignore")
            yield
    finally:
        logger.setLevel(level)
