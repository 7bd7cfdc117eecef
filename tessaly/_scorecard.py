"""`Scorecard`: a scikit-learn estimator from a raw table of applicants to a scorecard."""

from __future__ import annotations

import json
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.utils.validation import check_is_fitted

from . import _binning, _drift, _models, _params, _points, _validation
from ._card import CARD_FILE, Card, Predictor, output_columns
from ._errors import InputError

MODEL_NAME = "model"
# Rows added to the SHAP sample for each bin it would otherwise barely see, so every bin has points of its own.
BIN_COVER = 25
# The extension's card beside an additive one is for comparison only; its SHAP step costs rows x background x trees.
COMPARISON_ROWS = 500
# Beyond this, the names fill whole screens and no file system takes them.
LONGEST_NAME = 200
# Threads for binning: the solvers release the interpreter, but small tables lose more than they gain.
PARALLEL_ROWS = _models.PARALLEL_ROWS


def encode_target(y, bad=None) -> tuple[np.ndarray, object]:
    """1 for a bad applicant, 0 for a good one, and the value that means bad.

    Values are compared by meaning (1, 1.0 and "1" are one value), as the card compares predictors.
    """
    column = pd.Series(y).reset_index(drop=True)
    name = column.name if column.name is not None else "target"
    if column.isna().any():
        raise InputError(f"target column '{name}' has {int(column.isna().sum())} missing values")
    values = list(pd.unique(column))
    if len(values) != 2:
        raise InputError(f"target column '{name}' is not binary: it has {len(values)} distinct values")
    keys = list(_binning.canonical(pd.Series(values, dtype=object)))
    if bad is not None:
        want = _binning.canonical(pd.Series([bad], dtype=object))[0]
        matches = [v for v, k in zip(values, keys) if k == want or str(v) == str(bad)]
        if not matches:
            raise InputError(f"bad value {bad!r} is not a value of '{name}' ({values[0]!r}, {values[1]!r})")
        bad_value = matches[0]
    elif set(keys) in ({"0", "1"}, {"False", "True"}):
        bad_value = values[keys.index("1" if "1" in keys else "True")]
    elif any(str(v).strip().lower() == "bad" for v in values):
        bad_value = next(v for v in values if str(v).strip().lower() == "bad")
    else:
        raise InputError(f"cannot tell which value of '{name}' means bad ({values[0]!r} or {values[1]!r}): name it "
                         "with bad= (--bad on the command line)")
    return (column == bad_value).to_numpy().astype(int), bad_value


def check_names(predictors, target) -> None:
    """Predictor and target names that the models, the card and its outputs can carry."""
    for p in [*predictors, target]:
        if not isinstance(p, str) or not p or "\0" in p or len(p) > LONGEST_NAME or any(c in p for c in "/[]<") \
                or p.endswith("_RF") or p != p.strip():
            shown = repr(p)[:60] + ("..." if len(repr(p)) > 60 else "")
            raise InputError(f"column name {shown} cannot be used (it must be text of 1-{LONGEST_NAME} characters "
                             "without '/', '[', ']', '<', NUL or outer spaces, not ending in '_RF'): rename the column")
    if len(set(predictors)) != len(predictors):
        twice = next(p for p in predictors if predictors.count(p) > 1)
        raise InputError(f"X has two columns named '{twice}': rename one")
    if target in predictors:
        raise InputError(f"the target '{target}' is also a column of X: drop it from X, or name y differently")
    outputs = set(output_columns(predictors))
    clash = [p for p in [*predictors, target] if p in outputs]
    if clash:
        raise InputError(f"column '{clash[0]}' is named like an output column (score, reason_N, <predictor>_bin, "
                         "<predictor>_points): rename it")


def _frame(X, what="X") -> pd.DataFrame:
    if not isinstance(X, pd.DataFrame):
        raise InputError(f"{what} must be a pandas DataFrame of applicants, one column per predictor, "
                         f"not {type(X).__name__}")
    return X


def _outcome(y):
    """A one-column frame is a column; anything wider is refused."""
    if isinstance(y, pd.DataFrame):
        if y.shape[1] != 1:
            raise InputError(f"y must be one column of outcomes, not a table of {y.shape[1]} columns")
        return y.iloc[:, 0]
    if isinstance(y, np.ndarray) and y.ndim > 1:
        if y.ndim != 2 or y.shape[1] != 1:
            raise InputError(f"y must be one column of outcomes, not an array of shape {y.shape}")
        return y[:, 0]
    return y


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


class Scorecard(ClassifierMixin, BaseEstimator):
    # Not a parameter: a benchmark, fitted beside the card, makes its comparison card from fewer rows.
    comparison_rows = COMPARISON_ROWS

    def __init__(self, model=_params.DEFAULTS["model"], *, trees=_params.DEFAULTS["trees"],
                 early_stopping=_params.DEFAULTS["early_stopping"], monotone=_params.DEFAULTS["monotone"],
                 max_bins=_params.DEFAULTS["max_bins"], bins=_params.DEFAULTS["bins"], monotonic_trend=_params.DEFAULTS["monotonic_trend"],
                 special_codes=_params.DEFAULTS["special_codes"], min_iv=_params.DEFAULTS["min_iv"],
                 max_corr=_params.DEFAULTS["max_corr"], points=_params.DEFAULTS["points"],
                 pdo=_params.DEFAULTS["pdo"], target_score=_params.DEFAULTS["target_score"],
                 target_odds=_params.DEFAULTS["target_odds"], resort=_params.DEFAULTS["resort"],
                 shap_rows=_params.DEFAULTS["shap_rows"], seed=_params.DEFAULTS["seed"], bad=_params.DEFAULTS["bad"]):
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
        self.bad = bad

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
            raise InputError(f"points (--points) 'module' is the extension's card, made from tree SHAP values: "
                             f"choose a tree model (--model {', '.join(f for f, m in _models.FAMILIES.items() if m.technique)})")
        return fam

    # -- fitting ------------------------------------------------------------------------------------------------

    def fit(self, X, y, *, sample_weight=None, shap_data=None, shap_weight=None, test=None, binnings=None,
            progress=None):
        """Bin every predictor of `X`, train the model on the one-hot bins and build the card.

        `sample_weight`: how many applicants each row stands for (the binning, the model and the points use it;
        whole weights give the card of the rows repeated).
        `shap_data`: applicants whose SHAP values make the card (default: a seeded sample of `X`), with their
        `shap_weight` where rows are weighted.
        `test`: (X_test, y_test) or (X_test, y_test, test_weight), a labelled test part that the monitoring
        baseline takes its outcomes from, as `set_baseline` would; it shapes nothing else.
        `binnings`: another scorecard's `binnings_`, trained on as they are, without binning or selection (a
        benchmark on the card's own bins); X needs their predictors only.
        `progress`: an object with step(text) and count(text, done, total), for the command line.
        """
        fam = self._check_params()
        X, y_bad, bad_value, target, classes = self._check_data(X, y, shap_data)
        w = _validation.weights_of(sample_weight, len(X))
        X_test, y_test, w_test = (None, None, None) if test is None else self._test_part(test, bad_value)
        step = progress.step if progress else (lambda text: None)

        if binnings is None:
            binnings, dropped = self._bin(X, y_bad, w, progress)
            binnings = self._select(binnings, X, dropped, w)
        else:
            dropped = {}
        for name, reason in dropped.items():
            step(f"left out '{name}': {reason}")

        positions = np.column_stack([b.positions(X[b.name]) for b in binnings])
        step(f"training {fam.name} on {len(X)} applicants ({sum(len(b.labels) for b in binnings)} bins)")
        model = fam.train(fam, self.model, binnings, positions, y_bad, trees=self.trees, seed=self.seed,
                          early_stopping=self.early_stopping, monotone=self._constraints(fam, binnings, y_bad, w),
                          sample_weight=w)

        rng = np.random.default_rng(self.seed)
        if shap_data is None:
            source, source_w = X, w
        else:
            source = pd.DataFrame(shap_data).reset_index(drop=True)
            source_w = _validation.weights_of(shap_weight, len(source))
        if len(source) > self.shap_rows:
            picked = np.sort(rng.choice(len(source), self.shap_rows, replace=False))
            source = source.iloc[picked]
            source_w = None if source_w is None else source_w[picked]
        shap_positions = np.column_stack([b.positions(source[b.name]) for b in binnings])
        step(f"SHAP values and scorecard on {len(source)} applicants")
        cards, artifacts, used = {}, {}, {}
        if fam.technique is not None:
            # The extension's card: from tree SHAP values only, and beside an additive card from fewer rows.
            X_module = _binning.one_hot(binnings, source)
            if self.points == "additive" and len(X_module) > self.comparison_rows:
                X_module = X_module.iloc[np.sort(rng.choice(len(X_module), self.comparison_rows, replace=False))]
            cards["module"], artifacts = self._module_card(model, fam, binnings, X, positions, y_bad, target,
                                                           bad_value, X_module)
            used["module"] = len(X_module)
        additive, unused = self._additive_card(model, fam, binnings, positions, y_bad, shap_positions, target,
                                               bad_value, rng, w, source_w)
        cards["additive"], used["additive"] = additive, len(source)
        if self.points == "additive":
            for name in unused:
                dropped[name] = "the model does not use it: every bin would get the same points"
                step(f"left out '{name}': {dropped[name]}")

        # A comparison card from fewer rows ranks worse than the same rule from all of them: the report says so.
        self.shap_rows_used_ = used
        self.binnings_ = binnings
        self.model_ = model
        self.family_ = fam.name
        self.target_ = target
        self.bad_ = bad_value
        self.classes_ = classes
        self.dropped_ = dropped
        self.artifacts_ = artifacts
        self.cards_ = cards
        self.module_card_, self.additive_card_ = cards.get("module"), additive
        self.card_ = cards[self.points]
        for card in cards.values():  # what monitoring compares with
            card.baseline = _drift.baseline(card, X, y_bad, X_test, y_test, sample_weight=w, test_weight=w_test)
        self.table_ = self._table(self.card_)
        self.train_scores_ = self.card_.total(X)
        self.train_weights_ = w
        self.n_features_in_ = X.shape[1]
        self.feature_names_in_ = np.asarray(list(X.columns), dtype=object)
        return self

    def _check_data(self, X, y, shap_data):
        X = _frame(X)
        y = _outcome(y)
        if len(X) != len(y):
            raise InputError(f"X has {len(X)} applicants but y has {len(y)} outcomes")
        y_bad, bad_value = encode_target(y, self.bad)
        target = getattr(y, "name", None)
        target = "target" if target is None else target
        predictors = list(X.columns)
        if not predictors:
            raise InputError("the table has no predictor columns besides the target")
        check_names(predictors, target)
        unknown = [p for p in (self.bins or {}) if p not in predictors]
        if unknown:
            raise InputError(f"bins (--bins) are set by hand for {', '.join(map(repr, unknown[:3]))}, which "
                             f"{'is' if len(unknown) == 1 else 'are'} no predictor of X: check the names")
        if shap_data is not None:
            missing = [p for p in predictors if p not in getattr(shap_data, "columns", [])]
            if missing:
                raise InputError(f"shap_data lacks the predictor columns {', '.join(map(repr, missing))}")
        values = list(pd.unique(pd.Series(y)))
        try:
            classes = np.array(sorted(values), dtype=object)
        except TypeError:  # values of two types: bad second, as sklearn's positive class
            classes = np.array([v for v in values if v != bad_value] + [bad_value], dtype=object)
        return X.reset_index(drop=True), y_bad, bad_value, target, classes

    def _bin(self, X, y_bad, w, progress) -> tuple[list, dict]:
        """Each predictor's bins, and the predictors that cannot have any with the reason; large tables on two
        threads, since the solvers release the interpreter."""
        from concurrent.futures import ThreadPoolExecutor

        def one(p):
            try:
                return _binning.fit_predictor(p, X[p], y_bad, monotonic_trend=self.monotonic_trend,
                                              special_codes=self.special_codes, max_bins=self.max_bins,
                                              sample_weight=w, splits=(self.bins or {}).get(p))
            except _binning.LeftOut as e:
                return str(e)

        names = list(X.columns)
        binnings, dropped = [], {}
        with _models.quiet(), ThreadPoolExecutor(1 if len(X) < PARALLEL_ROWS else 2) as pool:
            for i, (name, b) in enumerate(zip(names, pool.map(one, names))):
                if progress:
                    progress.count("binning predictors", i, len(names))
                if isinstance(b, str):
                    dropped[name] = b
                else:
                    binnings.append(b)
        if progress:
            progress.count("binning predictors", len(names), len(names))
        return binnings, dropped

    def _select(self, binnings, X, dropped: dict, w=None) -> list:
        """Drop weak predictors, one-sided ones, and the weaker of each highly correlated pair (reasons in `dropped`)."""
        iv = {b.name: float(b.table["IV"].sum()) for b in binnings}
        kept = []
        for b in binnings:
            if self.min_iv is not None and iv[b.name] < self.min_iv:
                dropped[b.name] = f"information value {iv[b.name]:.4f} below {self.min_iv:g}"
            elif (b.table["WoE"] < 0).all() or (b.table["WoE"] >= 0).all():
                # Every bin on one side of WoE 0: the module card scales it to a common magnitude as noise.
                dropped[b.name] = "no split separates good from bad"
            else:
                kept.append(b)
        if self.max_corr is not None and len(kept) > 1:
            woe = np.column_stack([np.append(b.table["WoE"].to_numpy(dtype=float), 0.0)[b.positions(X[b.name])]
                                   for b in kept])
            if w is None:
                corr = np.nan_to_num(np.corrcoef(woe, rowvar=False))
            else:
                cov = np.cov(woe, rowvar=False, aweights=w)
                sd = np.sqrt(np.diag(cov))
                with np.errstate(invalid="ignore", divide="ignore"):
                    corr = np.nan_to_num(cov / np.outer(sd, sd))
            order = sorted(range(len(kept)), key=lambda j: -iv[kept[j].name])
            chosen: list[int] = []
            for j in order:
                partner = next((c for c in chosen if abs(corr[j, c]) > self.max_corr), None)
                if partner is None:
                    chosen.append(j)
                else:
                    dropped[kept[j].name] = (f"WoE correlates {corr[j, partner]:.2f} with "
                                             f"'{kept[partner].name}', which has more information value")
            kept = [kept[j] for j in sorted(chosen)]
        if not kept:
            raise InputError("no predictor separates good from bad applicants; the reasons: "
                             + "; ".join(f"'{k}' {v}" for k, v in list(dropped.items())[:5]))
        return kept

    def _constraints(self, fam, binnings, y_bad, w=None):
        """With `monotone`, each bin's feature pushes towards bad where its event rate is above the overall rate."""
        if not self.monotone or fam.monotone_key is None:
            return None
        overall = np.average(y_bad, weights=w)
        return [1 if rate > overall else -1 for b in binnings for rate in b.table["Event rate"]]

    def _scaling(self) -> dict:
        return {"pdo": int(self.pdo), "target_score": int(self.target_score), "target_odds": int(self.target_odds),
                "resort": bool(self.resort)}

    def _module_card(self, model, fam, binnings, X, positions, y_bad, target, bad_value, X_shap):
        """The extension's card, and the files it wrote."""
        from tessaly import quillvane

        training_df = _binning.binned(binnings, X, list(positions.T))
        training_df[target] = y_bad
        scaling = self._scaling()
        with tempfile.TemporaryDirectory(prefix="tessaly-") as tmp, _models.quiet():
            root = Path(tmp)
            (root / "bins").mkdir()
            for b in binnings:
                b.table.to_pickle(root / "bins" / f"{b.name}.pkl")
            scorecard = quillvane.createQuillvane(
                model, training_df, X_shap, _binning.reference_table(binnings), str(root / "bins"),
                show_warnings="Y", show_plots="N", target_var=target, pdo_parm=scaling["pdo"],
                target_credit_score=scaling["target_score"], target_odds=scaling["target_odds"],
                model_name=MODEL_NAME, assume_higher_prob_bad_rate=0 if self.resort else 1,
                technique=fam.technique, plots_directory=str(root / "plots"),
                scorecard_directory=str(root / "scorecard"), model_directory=str(root / "model"),
            )
            artifacts = {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}
        predictors = []
        for b in binnings:
            rows = scorecard[scorecard["predictor_variables"] == b.name]
            by_bin = dict(zip(rows["Bin"], rows["CreditScore"].astype(float)))
            lost = [label for label in b.labels if label not in by_bin]
            if lost:
                raise RuntimeError(f"the scorecard has no points for bins {lost} of '{b.name}'")
            predictors.append(self._predictor(b, [by_bin[label] for label in b.labels],
                                              float(rows["Neutral_CreditScore"].iloc[0])))
        return Card(target, bad_value, fam.name, "module", scaling, predictors), artifacts

    @staticmethod
    def _predictor(b, points, neutral) -> Predictor:
        return Predictor(b.name, b.dtype, b.splits, b.special_codes, b.kinds, labels=list(b.labels),
                         points=[float(p) for p in points], neutral=float(neutral), binning=b.binning)

    def _additive_card(self, model, fam, binnings, positions, y_bad, shap_positions, target, bad_value, rng,
                       w=None, shap_w=None):
        """Each bin's points: its applicants' mean SHAP log-odds of the predictor, scaled to the requested odds;
        and the predictors left out because every bin would get the same points."""
        # Bins that the sample barely sees borrow training applicants, so that each has points of its own.
        extra = []
        for j, b in enumerate(binnings):
            pos = shap_positions[:, j]
            seen = np.bincount(pos[pos >= 0], minlength=len(b.labels))
            for d in np.flatnonzero(seen < BIN_COVER):
                rows = np.flatnonzero(positions[:, j] == d)
                extra.append(rng.choice(rows, min(len(rows), BIN_COVER - int(seen[d])), replace=False))
        borrowed = np.unique(np.concatenate(extra)) if extra else np.zeros(0, dtype=int)
        sample = np.vstack([shap_positions, positions[borrowed]])
        weights = None
        if w is not None or shap_w is not None:
            weights = np.concatenate([np.ones(len(shap_positions)) if shap_w is None else shap_w,
                                      np.ones(len(borrowed)) if w is None else w[borrowed]])
        contributions, base = fam.explain(model, binnings, sample)
        means = [_points.bin_means(contributions[:, j], sample[:, j], len(b.labels), weights)
                 for j, b in enumerate(binnings)]
        if self.monotone:
            means = [self._monotone(b, m) for b, m in zip(binnings, means)]
        if fam.scale == "exact":
            slope, intercept = 1.0, base
        elif fam.scale == "fitted":
            total = sum(np.append(m, 0.0)[positions[:, j]] for j, m in enumerate(means))
            slope, intercept = _points.log_odds_map(total, y_bad, w)
        else:  # the model's own calibration of its raw total, base included
            slope, intercept = model.slope_, model.slope_ * base + model.intercept_
        factor, offset = _points.scaling(self.pdo, self.target_score, self.target_odds)
        shares = [b.table["Count (%)"].to_numpy(dtype=float) for b in binnings]
        rule = _points.additive(means, shares, factor=factor, offset=offset, slope=slope, intercept=intercept)
        kept, rule = _points.without_unused(rule)
        predictors = [self._predictor(binnings[j], points, neutral) for j, (points, neutral) in zip(kept, rule)]
        unused = [b.name for j, b in enumerate(binnings) if j not in kept]
        return Card(target, bad_value, fam.name, "additive", self._scaling(), predictors), unused

    @staticmethod
    def _monotone(b, means: np.ndarray) -> np.ndarray:
        """A numerical predictor's regular bins in the direction of their WoE; missing and special bins stay."""
        if b.dtype != "numerical":
            return means
        regular = np.array([isinstance(k, int) for k in b.kinds])
        if regular.sum() < 2:
            return means
        out = means.copy()
        woe, share = b.table["WoE"].to_numpy(dtype=float), b.table["Count (%)"].to_numpy(dtype=float)
        out[regular] = _points.falling(means[regular], woe[regular], share[regular])
        return out

    def directions(self) -> pd.DataFrame:
        """Per numerical predictor: the rank correlation of its regular bins' points with their WoE, and whether
        the points never fall as WoE rises (what a validator checks first)."""
        check_is_fitted(self, "card_")
        rows = []
        by_name = {b.name: b for b in self.binnings_}
        for p in self.card_.predictors:
            b = by_name[p.name]
            if b.dtype != "numerical" or b.table is None:
                continue
            regular = [i for i, k in enumerate(b.kinds) if isinstance(k, int)]
            rho, follows = _points.direction(np.asarray(p.points)[regular],
                                             b.table["WoE"].to_numpy(dtype=float)[regular])
            rows.append({"predictor": b.name, "rank_correlation": rho, "follows_woe": follows})
        return pd.DataFrame(rows, columns=["predictor", "rank_correlation", "follows_woe"])

    def _table(self, card: Card) -> pd.DataFrame:
        parts = []
        by_name = {b.name: b for b in self.binnings_}
        for p in card.predictors:
            b = by_name[p.name]
            t = b.table
            parts.append(pd.DataFrame({
                "predictor": b.name, "bin": list(b.labels), "share": t["Count (%)"].to_numpy(dtype=float),
                "event_rate": t["Event rate"].to_numpy(dtype=float), "woe": t["WoE"].to_numpy(dtype=float),
                "points": p.points, "neutral": p.neutral, "binning": p.binning}))
        return pd.concat(parts, ignore_index=True)

    # -- use ----------------------------------------------------------------------------------------------------

    def table(self) -> pd.DataFrame:
        """The scorecard: predictor, bin, count share, event rate, WoE, points, neutral points."""
        check_is_fitted(self, "card_")
        return self.table_.copy()

    def transform(self, X) -> pd.DataFrame:
        """Each applicant's bin and points per predictor, the total score and three reason codes."""
        check_is_fitted(self, "card_")
        return self.card_.score(_frame(X))

    def total_score(self, X) -> np.ndarray:
        """The total score of each applicant; higher means a better applicant."""
        check_is_fitted(self, "card_")
        return self.card_.total(_frame(X))

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
        y_bad, _ = encode_target(_outcome(y), self.bad_)
        return float(roc_auc_score(y_bad, -self.total_score(X), sample_weight=sample_weight))

    def predict_proba(self, X) -> np.ndarray:
        """The tree model's probabilities on the applicants' one-hot bins, one column per `classes_`."""
        check_is_fitted(self, "card_")
        if getattr(self, "model_", None) is None:
            raise InputError("this scorecard was loaded without its model: load it with model=True")
        X = _frame(X)
        positions = np.column_stack([b.positions(X[b.name]) for b in self.binnings_])
        bad = _models.family(self.family_).proba(self.model_, self.binnings_, positions)
        return np.column_stack([bad, 1 - bad] if self.classes_[0] == self.bad_ else [1 - bad, bad])

    def charts(self) -> list[tuple[str, dict]]:
        """One plotly figure (as a dict) per predictor: points per bin, neutral points and WoE."""
        check_is_fitted(self, "card_")
        from ._report import predictor_chart

        return [(name, predictor_chart(name, rows)) for name, rows in self.table_.groupby("predictor", sort=False)]

    def to_sql(self, *, dialect="duckdb", table="applicants", ids=()) -> str:
        """One SELECT that scores the applicants' table in a database exactly as `transform` does."""
        check_is_fitted(self, "card_")
        from ._sql import to_sql

        return to_sql(self.card_, dialect=dialect, table=table, ids=ids)

    @staticmethod
    def _test_part(test, bad_value) -> tuple:
        if not isinstance(test, (tuple, list)) or len(test) not in (2, 3):
            raise InputError("test must be (X_test, y_test) or (X_test, y_test, test_weight)")
        X_test, y_test, *w = test
        X_test = _frame(X_test, "X_test")
        y_test = encode_target(_outcome(y_test), bad_value)[0]
        return X_test, y_test, _validation.weights_of(w[0] if w else None, len(X_test))

    def set_baseline(self, X_train, y_train, X_test, y_test, *, sample_weight=None, test_weight=None):
        """Keep in every card what monitoring compares with: the training part's population and the test part's
        outcomes (`fit` keeps the training rows for both, or the outcomes of its `test` part). Returns self."""
        check_is_fitted(self, "card_")
        y_train, y_test = (encode_target(_outcome(y), self.bad_)[0] for y in (y_train, y_test))
        X_train, X_test = _frame(X_train, "X_train"), _frame(X_test, "X_test")
        for card in self.cards_.values():
            card.baseline = _drift.baseline(card, X_train, y_train, X_test, y_test, sample_weight=sample_weight,
                                            test_weight=test_weight)
        return self

    def monitor(self, X, y=None, period=None, *, every="month") -> dict:
        """The card on new applicants against its baseline, as frames "summary", "predictors" and "bands", one
        row per scope ("all", then each period). `y`: outcomes, missing where not known yet; `period`: a column
        of X holding dates, or a date per applicant; `every`: month, quarter or year."""
        check_is_fitted(self, "card_")
        result = _drift.assess(self.card_, _frame(X), None if y is None else _outcome(y), period, every=every,
                               fix="call set_baseline(X_train, y_train, X_test, y_test) with the development data")
        return _drift.tables(result)

    # -- files --------------------------------------------------------------------------------------------------

    def save(self, directory) -> Path:
        """Write the card into a new or empty directory, or over a card saved earlier; never over anything else.

        The directory gets card.json (plain data: all that scoring needs), the extension's card
        (module/card.json), table.csv, params.json, the model and the extension's own files.
        """
        from ._files import staged_card

        with staged_card(directory) as stage:
            self.save_into(stage)
        return Path(directory)

    def save_into(self, directory) -> None:
        """The files of `save`, written into an existing empty directory (a build's staging folder)."""
        check_is_fitted(self, "card_")
        from ._writers import write_frame

        directory = Path(directory)
        for name, data in getattr(self, "artifacts_", {}).items():  # a loaded card has none
            (directory / name).parent.mkdir(parents=True, exist_ok=True)
            (directory / name).write_bytes(data)
        self.card_.save(directory)
        saved_model = directory / "model" / f"{MODEL_NAME}.sav"
        if getattr(self, "model_", None) is not None and not saved_model.exists():
            # The extension saves the tree families' model; the others are saved here, alike.
            import pickle

            saved_model.parent.mkdir(exist_ok=True)
            saved_model.write_bytes(pickle.dumps(self.model_))
        if getattr(self, "module_card_", None) is not None:
            (directory / "module").mkdir(exist_ok=True)
            self.module_card_.save(directory / "module")
        write_frame(self.table_, directory / "table.csv")
        # The card's scaling is the truth: parameters set after fitting were never applied.
        params = {**self.get_params(deep=False), **{k: v for k, v in self.card_.scaling.items() if k in _params.BY_NAME}}
        params["model"] = self.family_
        params["classes"] = [v.item() if isinstance(v, np.generic) else v for v in self.classes_]
        (directory / "params.json").write_text(json.dumps(params, default=str, indent=1) + "\n", encoding="utf-8")

    @classmethod
    def load(cls, directory, *, model=False) -> "Scorecard":
        """A saved scorecard, ready to score. Its model (a pickle) is read only with `model=True`: trusted files only."""
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
        self = cls(**{k: v for k, v in params.items() if k in _params.BY_NAME})
        rows = [(p.name, label, points, p.neutral, p.binning) for p in card.predictors
                for label, points in zip(p.labels, p.points)]
        if len(rows) != len(table):
            raise InputError(f"table.csv in '{directory}' does not match its card.json; save the card again")
        names = pd.DataFrame(rows, columns=["predictor", "bin", "points", "neutral", "binning"])
        table = pd.concat([names[["predictor", "bin"]], table, names[["points", "neutral", "binning"]]], axis=1)
        self.card_, self.table_, self.target_, self.bad_ = card, table, card.target, card.bad
        self.cards_ = {card.points_kind: card}
        self.family_ = card.model
        self.classes_ = _saved_classes(params.get("classes"), card.bad)
        # The model was trained on every kept predictor's bins; the module card (when saved) has them all,
        # the additive card may have left out predictors the model does not use.
        model_bins = card
        if (directory / "module" / CARD_FILE).is_file():
            model_bins = self.module_card_ = Card.load(directory / "module")
            self.cards_.setdefault("module", self.module_card_)
        self.binnings_ = [_binning.PredictorBinning(p.name, p.dtype, p.splits, p.special_codes, p.kinds,
                                                    labels=p.labels, binning=p.binning)
                          for p in model_bins.predictors]
        self.model_ = None
        if model:
            import pickle

            with open(directory / "model" / f"{MODEL_NAME}.sav", "rb") as f:
                self.model_ = pickle.load(f)
            self.binnings_ = getattr(self.model_, "binnings_", self.binnings_)
        return self

    def report(self, path, X, y, *, sample_weight=None, challenger=None,
               benchmark=_params.BENCHMARK.default) -> dict:
        """The HTML report of this card on a labelled table, with the other cards and the model beside it.

        `sample_weight`: how many applicants each row stands for; every figure is weighted.
        `challenger`: (X_train, y_train) or (X_train, y_train, w_train) to build a WoE logistic-regression card on
        the same bins for comparison, and the benchmark.
        `benchmark`: a tree family fitted on these bins and training rows, shown with its cards ("none": none).
        Returns the figures of the report (also what metrics.json holds).
        """
        check_is_fitted(self, "card_")
        from . import _benchmark, _report

        X = _frame(X)
        y_bad, _ = encode_target(_outcome(y), self.bad_)
        w = _validation.weights_of(sample_weight, len(y_bad))
        own = f"{self.card_.points_kind} card"
        scored, counts = self.card_.apply(X)
        scores = {own: scored["score"].to_numpy()}
        used = getattr(self, "shap_rows_used_", {})
        for kind, card in self.cards_.items():
            if card is not self.card_:
                rows = used.get(kind)
                name = f"{kind} card" + (f" (comparison, from {rows} SHAP rows)" if rows and rows < used[own.split()[0]]
                                         else "")
                scores[name] = card.total(X)
        if getattr(self, "model_", None) is not None:
            # Higher means better, as for the cards.
            bad = list(self.classes_).index(self.bad_)
            scores["tree model" if _models.family(self.family_).technique else f"{self.family_} model"] = \
                -self.predict_proba(X)[:, bad]
        if challenger is not None:
            challenger = (_frame(challenger[0], "X_train"), *challenger[1:])
        bench = _benchmark.prepared(self, benchmark, challenger, X, w)
        scores.update(_benchmark.scores(bench, X))
        if challenger is not None:
            X_train, y_train, *w_train = challenger
            scores["WoE logistic regression"] = _validation.woe_logistic_challenger(
                self.card_, _frame(X_train, "X_train"), encode_target(_outcome(y_train), self.bad_)[0], X,
                sample_weight=w_train[0] if w_train else None)
        s = self.card_.scaling
        assessment = _validation.assess(
            y_bad, scores, card=own, train_score=getattr(self, "train_scores_", None),
            pdo=s["pdo"], target_score=s["target_score"], target_odds=s["target_odds"], weights=w,
            train_weights=getattr(self, "train_weights_", None))
        assessment["benchmark"] = _benchmark.verdict(bench, assessment, self.target_)
        fam = _models.family(self.family_)
        penalty = getattr(getattr(self, "model_", None), "C_", None)
        model = f"{self.family_}, {fam.describe}" + (f" (C = {penalty:g})" if penalty is not None else "")
        summary = {"model": model, "target": self.target_, "bad": str(self.bad_), "scaling": dict(s),
                   "points": self.card_.points_kind}
        test_scores = pd.DataFrame({"score": scores[own], "bad": y_bad})
        values = {b.name: {"build_unreadable": int(getattr(b, "unreadable", 0)), **counts.get(b.name, {})}
                  for b in self.binnings_}
        _report.write(path, summary=summary, table=self.table_, charts=self.charts(), assessment=assessment,
                      test_scores=test_scores, dropped=getattr(self, "dropped_", {}), values=values,
                      directions=self.directions().to_dict(orient="records"))
        return assessment


Scorecard.__doc__ = f"""A credit scorecard built from a tree model's SHAP values and each bin's Weight of Evidence.

A scikit-learn binary classifier: `fit(X, y)` bins every predictor of a raw table (missing values and special
codes included), trains the model on the one-hot bins and turns its SHAP values into whole points per bin.
`total_score(X)` gives each applicant's score (higher is better); `score(X, y)` is the card's ROC AUC, so that
`cross_val_score` and `GridSearchCV` judge the card by how it ranks.

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
model_ : classifier
    The fitted tree model (None for a card loaded without it).
family_ : str
    The model family, a key of the model registry.
classes_ : ndarray
    The two outcome values, sorted; `bad_` is the one that means bad.
target_, bad_ : str, object
    The target's name and its bad value.
train_scores_, train_weights_ : ndarray, ndarray or None
    The card's totals on the training rows, and their sample weights.
shap_rows_used_ : dict of str to int
    The applicants whose SHAP values made each card.
n_features_in_, feature_names_in_ : int, ndarray
    The columns of X seen in `fit`.

Examples
--------
>>> from tessaly import Scorecard
>>> card = Scorecard(pdo=20, target_score=600, target_odds=50).fit(X, y)  # doctest: +SKIP
>>> card.total_score(X.head())  # doctest: +SKIP
"""
