"""`Scorecard`: a scikit-learn estimator from a raw table of applicants to a scorecard.

Fitting is a short pipeline (bins, selection, the family's model, its SHAP values, the cards); the pieces live
in `_predictors`, `_models` and `_shap_cards`, the files in `_persist` and the report in `_assess`.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.utils.validation import check_is_fitted

from . import _crosses, _models, _params, _points
from ._card import loads, output_columns
from ._checks import check_test_part, check_training, encode_target, frame, outcome, weights_of
from ._errors import InputError
from ._predictors import bin_all, select
from ._reasons import resolve as resolve_reasons
from ._shap_cards import Training, directions, make_cards, table_of
from .fairness.measures import unprotected
from .monitoring import baseline as _baseline
from .monitoring import figures as _figures

__all__ = ["Scorecard", "encode_target"]


class Scorecard(ClassifierMixin, BaseEstimator):
    _counts_baseline = True  # a card only compared with others, never monitored, goes without

    def __init__(
        self,
        model=_params.DEFAULTS["model"],
        *,
        trees=_params.DEFAULTS["trees"],
        early_stopping=_params.DEFAULTS["early_stopping"],
        monotone=_params.DEFAULTS["monotone"],
        max_bins=_params.DEFAULTS["max_bins"],
        bins=_params.DEFAULTS["bins"],
        monotonic_trend=_params.DEFAULTS["monotonic_trend"],
        special_codes=_params.DEFAULTS["special_codes"],
        min_iv=_params.DEFAULTS["min_iv"],
        max_corr=_params.DEFAULTS["max_corr"],
        points=_params.DEFAULTS["points"],
        pdo=_params.DEFAULTS["pdo"],
        target_score=_params.DEFAULTS["target_score"],
        target_odds=_params.DEFAULTS["target_odds"],
        resort=_params.DEFAULTS["resort"],
        shap_rows=_params.DEFAULTS["shap_rows"],
        seed=_params.DEFAULTS["seed"],
        reason_rule=_params.DEFAULTS["reason_rule"],
        reasons=_params.DEFAULTS["reasons"],
        protected=_params.DEFAULTS["protected"],
        cutoffs=_params.DEFAULTS["cutoffs"],
        bad=_params.DEFAULTS["bad"],
        inference=_params.DEFAULTS["inference"],
        reject_factor=_params.DEFAULTS["reject_factor"],
        reject_cutoff=_params.DEFAULTS["reject_cutoff"],
        crosses=_params.DEFAULTS["crosses"],
    ):
        self.model = model
        self.trees = trees
        self.early_stopping = early_stopping
        self.monotone = monotone
        self.max_bins = max_bins
        self.bins = bins
        self.monotonic_trend = monotonic_trend
        self.special_codes = special_codes
        self.min_iv = min_iv
        self.max_corr = max_corr
        self.points = points
        self.pdo = pdo
        self.target_score = target_score
        self.target_odds = target_odds
        self.resort = resort
        self.shap_rows = shap_rows
        self.seed = seed
        self.reason_rule = reason_rule
        self.reasons = reasons
        self.protected = protected
        self.cutoffs = cutoffs
        self.bad = bad
        self.inference, self.reject_factor, self.reject_cutoff = inference, reject_factor, reject_cutoff
        self.crosses = crosses

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.categorical = True
        tags.input_tags.string = True
        tags.input_tags.allow_nan = True
        tags.target_tags.required = True
        tags.classifier_tags.multi_class = False
        tags.classifier_tags.poor_score = True
        return tags

    def _check_params(self) -> _models.Family:
        params = self.get_params(deep=False)
        _params.check({k: v for k, v in params.items() if k != "model"})
        fam = _models.family(self.model)
        if self.points == "module" and fam.technique is None:
            raise InputError(
                f"points (--points) 'module' is the extension's card, made from tree SHAP values: "
                f"choose a tree model (--model {', '.join(f for f, m in _models.FAMILIES.items() if m.technique)})"
            )
        return fam

    # -- fitting ------------------------------------------------------------------------------------------------

    def fit(
        self, X, y, *, sample_weight=None, shap_data=None, shap_weight=None, test=None, progress=None, rejects=None
    ):
        """Bin every predictor of `X`, train the model on the one-hot bins and build the card.

        `sample_weight`: how many applicants each row stands for, used throughout (whole weights: rows repeated).
        `shap_data`: applicants whose SHAP values make the card (default: a seeded sample of `X`), with their
        `shap_weight` where rows are weighted.
        `test`: (X_test, y_test) or (X_test, y_test, test_weight), a labelled test part that the monitoring
        baseline takes its outcomes from, as `set_baseline` would; it shapes nothing else.
        `progress`: an object with step(text) and count(text, done, total), for the command line.
        `rejects`: X_rejects or (X_rejects, reject_weight, reject_outcome), the applicants an earlier policy
        rejected; the card is then built by reject inference (`tessaly.rejects`), its grid kept in `rejects_`.
        """
        if rejects is not None:
            from .rejects import fit

            return fit(self, X, y, sample_weight, shap_data, shap_weight, test, progress, rejects)
        return self._fit(X, y, sample_weight, shap_data, shap_weight, test, progress)

    def _fit(self, X, y, sample_weight=None, shap_data=None, shap_weight=None, test=None, progress=None, on_bins=None):
        """fit, and `on_bins(binnings)` as soon as the bins are chosen: a build starts its benchmark there."""
        fam = self._check_params()
        X, shap_data, test = unprotected(self.protected, X, y, shap_data, test)
        X, y_bad, bad_value, target, classes = check_training(
            X, y, outputs=output_columns, bad=self.bad, bins=self.bins, shap_data=shap_data
        )
        w = weights_of(sample_weight, len(X))
        X_test, y_test, w_test = (None, None, None) if test is None else check_test_part(test, bad_value)
        step = progress.step if progress else (lambda text: None)
        binnings, dropped = self._binnings(X, y_bad, w, progress, step)
        if on_bins is not None:
            on_bins(binnings)
        rows = Training(
            X, y_bad, w, binnings, np.column_stack([b.positions(X[b.name]) for b in binnings]), target, bad_value
        )
        step(f"training {fam.name} on {len(X)} applicants ({sum(len(b.labels) for b in binnings)} bins)")
        model = fam.train(
            self.model,
            binnings,
            rows.positions,
            y_bad,
            trees=self.trees,
            seed=self.seed,
            early_stopping=self.early_stopping,
            monotone=_models.constraints(fam, binnings, y_bad, w) if self.monotone else None,
            sample_weight=w,
        )
        cards, artifacts, used, unused = make_cards(self, fam, model, rows, shap_data, shap_weight, step)
        if self.points == "additive":
            for name in unused:
                dropped[name] = "the model does not use it: every bin would get the same points"
                step(f"left out '{name}': {dropped[name]}")
        card = cards[self.points]
        card.crosses, self.crosses_ = _crosses.for_card(self, card, X, y_bad, w, dropped, step)
        train_scores = card.total(X)
        if np.ptp(train_scores) == 0:
            raise InputError(
                f"the card gives all {len(X)} applicants the same score: the fit does not separate good from bad "
                f"({int(y_bad.sum())} bad of {len(X)}); give more bad applicants or other predictors"
            )
        for c in cards.values():  # what monitoring compares with, and how reasons rank and read
            if self._counts_baseline:
                c.baseline = _baseline.baseline(c, X, y_bad, X_test, y_test, sample_weight=w, test_weight=w_test)
            c.reason_rule, c.reasons = self.reason_rule, resolve_reasons(c, self.reasons, known=list(X.columns))
        self._set_fitted(
            card=card,
            cards=cards,
            module_card=cards.get("module"),
            table=table_of(card, binnings, X, y_bad, w),
            binnings=binnings,
            model=model,
            family=fam.name,
            target=target,
            bad=bad_value,
            classes=classes,
            dropped=dropped,
            artifacts=artifacts,
            shap_rows_used=used,
            train_scores=train_scores,
            train_weights=w,
            features=list(X.columns),
        )
        self.rejects_ = None
        return self

    def _bin(self, X, y_bad, w, progress) -> tuple:
        """bin_all's bins, predictors left out and search's bins of hand-set ones; an engine bins on its counts."""
        options = {k: getattr(self, k) for k in ("monotonic_trend", "special_codes", "max_bins", "bins")}
        return bin_all(X, y_bad, w, progress, **options)

    def _binnings(self, X, y_bad, w, progress, step) -> tuple[list, dict]:
        """Each predictor's bins, then the predictors kept; the others named with the reason."""
        binnings, dropped, self.optimal_ = self._bin(X, y_bad, w, progress)
        self.candidates_ = list(binnings)
        binnings = select(binnings, X, dropped, w, min_iv=self.min_iv, max_corr=self.max_corr)
        for name, reason in dropped.items():
            step(f"left out '{name}': {reason}")
        return binnings, dropped

    def _set_fitted(self, *, card, cards, module_card, table, binnings, model, family, target, bad, classes, **more):
        """Every fitted attribute, for a fitted scorecard and a loaded one alike; `more`: dropped, artifacts,
        shap_rows_used, train_scores, train_weights and features, where known."""
        self.card_, self.cards_, self.table_, self.binnings_ = card, cards, table, binnings
        self.module_card_, self.additive_card_ = module_card, cards.get("additive")
        self.model_, self.family_, self.target_, self.bad_, self.classes_ = model, family, target, bad, classes
        self.dropped_ = more.get("dropped") or {}
        self.crosses_ = getattr(self, "crosses_", None) or []
        self.artifacts_ = more.get("artifacts") or {}
        self.shap_rows_used_ = more.get("shap_rows_used") or {}
        self.train_scores_, self.train_weights_ = more.get("train_scores"), more.get("train_weights")
        features = more.get("features")
        if features is not None:  # a loaded card never saw X
            self.n_features_in_ = len(features)
            self.feature_names_in_ = np.asarray(features, dtype=object)

    def _scaling(self) -> dict:
        return {
            "pdo": int(self.pdo),
            "target_score": int(self.target_score),
            "target_odds": int(self.target_odds),
            "resort": bool(self.resort),
        }

    def directions(self) -> pd.DataFrame:
        """Per numerical predictor: the rank correlation of its regular bins' points with their WoE, and whether
        the points never fall as WoE rises (what a validator checks first)."""
        check_is_fitted(self, "card_")
        return directions(self.card_, self.binnings_)

    # -- use -----------------------------------------------------------------------------------------------------

    def table(self) -> pd.DataFrame:
        """The scorecard: predictor, bin, count share, event rate, WoE, points, neutral points."""
        check_is_fitted(self, "card_")
        return self.table_.copy()

    def transform(self, X) -> pd.DataFrame:
        """Each applicant's bin and points per predictor, the total score and three reason codes."""
        check_is_fitted(self, "card_")
        return self.card_.score(frame(X))

    def total_score(self, X) -> np.ndarray:
        """The total score of each applicant; higher means a better applicant."""
        check_is_fitted(self, "card_")
        return self.card_.total(frame(X))

    def decision_function(self, X) -> np.ndarray:
        """The totals signed for scikit-learn: higher means more likely `classes_[1]`."""
        total = self.total_score(X)
        return -total if self.classes_[1] == self.bad_ else total

    def predict(self, X) -> np.ndarray:
        """The more likely outcome by the card's own odds: bad below the score of even odds."""
        check_is_fitted(self, "card_")
        s = self.card_.scaling
        factor, offset = _points.scaling(s["pdo"], s["target_score"], s["target_odds"])
        good = next(c for c in self.classes_ if c != self.bad_)
        return np.where(self.total_score(X) < offset, self.bad_, good)

    def score(self, X, y, sample_weight=None) -> float:
        """The card's ROC AUC on labelled applicants: how model selection judges a scorecard.

        The totals themselves come from `total_score(X)`.
        """
        from sklearn.metrics import roc_auc_score

        check_is_fitted(self, "card_")
        y_bad, _ = encode_target(outcome(y), self.bad_)
        return float(roc_auc_score(y_bad, -self.total_score(X), sample_weight=sample_weight))

    def predict_proba(self, X) -> np.ndarray:
        """The tree model's probabilities on the applicants' one-hot bins, one column per `classes_`."""
        check_is_fitted(self, "card_")
        if self.model_ is None:
            raise InputError("this scorecard was loaded without its model: load it with model=True")
        X = frame(X)
        positions = np.column_stack([b.positions(X[b.name]) for b in self.binnings_])
        bad = _models.family(self.family_).proba(self.model_, self.binnings_, positions)
        return np.column_stack([bad, 1 - bad] if self.classes_[0] == self.bad_ else [1 - bad, bad])

    def charts(self) -> list[tuple[str, dict]]:
        """One plotly figure (as a dict) per predictor: points per bin, neutral points and WoE; per cross, its points
        as a grid of its two predictors' bins."""
        check_is_fitted(self, "card_")
        from ._charts import charts

        return charts(self.table_, self.card_.crosses)

    def to_sql(self, *, dialect="duckdb", table="applicants", ids=()) -> str:
        """One SELECT that scores the applicants' table in a database exactly as `transform` does."""
        check_is_fitted(self, "card_")
        from .sql import to_sql

        return to_sql(self.card_, dialect=dialect, table=table, ids=ids)

    def set_baseline(self, X_train, y_train, X_test, y_test, *, sample_weight=None, test_weight=None):
        """Keep in every card what monitoring compares with: the training part's population and the test part's
        outcomes (`fit` keeps the training rows for both, or the outcomes of its `test` part). Returns self."""
        check_is_fitted(self, "card_")
        y_train, y_test = (encode_target(outcome(y), self.bad_)[0] for y in (y_train, y_test))
        X_train, X_test = frame(X_train, "X_train"), frame(X_test, "X_test")
        for card in self.cards_.values():
            card.baseline = _baseline.baseline(
                card, X_train, y_train, X_test, y_test, sample_weight=sample_weight, test_weight=test_weight
            )
        return self

    def monitor(self, X, y=None, period=None, *, every="month") -> dict:
        """The card on new applicants against its baseline: the worst verdict ("verdict"), the amber and red
        checks ("alerts", one row each: scope, check, value, threshold, verdict), and frames "summary",
        "predictors" and "bands", one row per scope ("all", then each period). `y`: outcomes, missing where not
        known yet; `period`: a column of X holding dates, or a date per applicant; `every`: month, quarter or year."""
        check_is_fitted(self, "card_")
        result = _figures.assess(
            self.card_,
            frame(X),
            None if y is None else outcome(y),
            period,
            every=every,
            fix="call set_baseline(X_train, y_train, X_test, y_test) with the development data",
        )
        return _figures.tables(result)

    # -- files and the report ----------------------------------------------------------------------------------

    def save(self, directory) -> Path:
        """Write the card into a new or empty directory, or over a card saved earlier; never over anything else.

        The directory gets card.json (plain data: all that scoring needs), the extension's card
        (module/card.json), table.csv, params.json, the model and the extension's own files.
        """
        from ._files import staged_card

        with staged_card(directory, check=loads) as stage:
            self.save_into(stage)
        return Path(directory)

    def save_into(self, directory, split: dict | None = None) -> None:
        """The files of `save`, written into an existing empty directory (a build's staging folder). `split`: how
        the build chose its test part (see `_build.split_record`), kept in the card."""
        check_is_fitted(self, "card_")
        if split is not None:
            self.card_.split = split
        from ._persist import write

        write(self, directory)

    @classmethod
    def load(cls, directory, *, model=False) -> Scorecard:
        """A saved scorecard, ready to score. Its model (a pickle) is read only with `model=True`: trusted files only."""
        from ._persist import read

        params, state = read(directory, model=model)
        self = cls(**params)
        self._set_fitted(**state)
        return self

    def report(self, path, X, y, *, sample_weight=None, challenger=None, benchmark=_params.BENCHMARK.default) -> dict:
        """The HTML report of this card on a labelled table, with the other cards and the model beside it.

        `sample_weight`: how many applicants each row stands for; every figure is weighted.
        `challenger`: (X_train, y_train[, w_train]) to build a WoE logistic-regression card and the `benchmark` (a
        tree family or "none") on the same bins. Returns the figures of the report (also what metrics.json holds).
        """
        check_is_fitted(self, "card_")
        from ._assess import report

        return report(self, path, X, y, sample_weight=sample_weight, challenger=challenger, benchmark=benchmark)


Scorecard.__doc__ = f"""A credit scorecard: each predictor binned, a model fitted on the bins, and points per bin
from the model's SHAP values and each bin's Weight of Evidence.

A scikit-learn binary classifier. `fit(X, y)` bins every predictor of a raw table (numerical and categorical,
missing values and special codes included), fits the model family `model` names (by default a penalised logistic
regression on each predictor's WoE and its bins, whose SHAP values are exact; the tree families train on the
one-hot bins) and turns its SHAP values into whole points per bin, scaled by `pdo`, `target_score` and
`target_odds`. `total_score(X)` gives each applicant's score (higher is better), `transform(X)` the bins, points
and reason codes; `score(X, y)` is the card's ROC AUC, so that `cross_val_score` and `GridSearchCV` judge the
card by how it ranks.

{_params.docstring()}

Attributes
----------
card_ : Card
    The card that scores: bins, points and neutral points per predictor, its scaling, and the `baseline` that
    `monitor(X, y, period)` compares new applicants with (from the training rows; `set_baseline` adds a test part).
cards_ : dict of str to Card
    Every card built ("additive", "module"); `card_` is the one `points` names.
table_ : DataFrame
    Predictor, bin, share, event rate, WoE, points and neutral points.
binnings_ : list of PredictorBinning
    Each kept predictor's bins and binning table.
dropped_ : dict of str to str
    Predictors left out, with the reason.
model_ : object
    The fitted model of the family (None for a card loaded without it).
family_ : str
    The model family, a key of the model registry.
classes_ : ndarray
    The two outcome values, sorted; `bad_` is the one that means bad.
target_, bad_ : str, object
    The target's name and its bad value.
train_scores_, train_weights_ : ndarray, ndarray or None
    The card's totals on the training rows, and their sample weights.
crosses_ : list of dict
    Each pair of predictors measured: "lift" on held-out rows (log-likelihood per applicant), "auc_lift", "z",
    "p_value" (over all "pairs_tried"), "splits_improved" of "splits", "significant", "kept" (docs/guides/crosses.md).
shap_rows_used_ : dict of str to int
    The applicants whose SHAP values made each card.
rejects_ : Inference or None
    With rejects: the accepts-only card, the rows of the chosen method and the sensitivity grid.
n_features_in_, feature_names_in_ : int, ndarray
    The columns of X seen in `fit`.

Examples
--------
>>> import numpy as np
>>> import pandas as pd
>>> from tessaly import Scorecard
>>> rng = np.random.default_rng(0)
>>> X = pd.DataFrame({{"age": rng.integers(18, 75, 600), "housing": rng.choice(["own", "rent"], 600)}})
>>> y = pd.Series(rng.random(600) < np.where(X["age"] < 30, 0.5, 0.1), name="bad").astype(int)
>>> card = Scorecard(pdo=20, target_score=600, target_odds=50).fit(X, y)
>>> young, old = card.total_score(pd.DataFrame({{"age": [25, 60], "housing": ["own", "own"]}}))
>>> bool(young < old)  # the young applicants are the riskier ones
True
>>> bool(card.score(X, y) > 0.6)  # the card's ROC AUC
True
>>> list(card.transform(X.head(2)).columns)[-7:]  # after each predictor's bin and points
['score', 'reason_1', 'reason_2', 'reason_3', 'reason_1_text', 'reason_2_text', 'reason_3_text']
"""
