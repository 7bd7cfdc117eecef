"""`Scorecard`: a scikit-learn estimator from a raw table of applicants to a scorecard."""

from __future__ import annotations

import contextlib
import io
import json
import logging
import math
import tempfile
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
from sklearn.base import BaseEstimator
from sklearn.utils.validation import check_is_fitted

from . import _binning
from ._card import REASONS, Card, Predictor
from ._errors import InputError

# Model family -> the extension's SHAP technique (LightGBM's binary SHAP values are log-odds, as XGBoost's).
TECHNIQUES = {"xgb": "xgb", "rf": "rf", "catboost": "catboost", "lightgbm": "lgbm"}
TRENDS = ("auto", "auto_heuristic", "auto_asc_desc", "ascending", "descending", "concave", "convex",
          "peak", "valley", "peak_heuristic", "valley_heuristic", "none")
POINTS = ("additive", "module")
MODEL_NAME = "model"
# Without early stopping a model gets a fixed 100 trees; with it, rounds stop on the validation part.
FIXED_TREES, MAX_TREES = 100, 1000
PATIENCE = 30
PARALLEL_ROWS = 50_000
VALIDATION_SHARE, VALIDATION_ROWS = 0.2, 10_000
# Rows added to the SHAP sample for each bin it would otherwise barely see, so every bin has points of its own.
BIN_COVER = 25
# The extension's card beside an additive one is for comparison only; its SHAP step costs rows x background x trees.
COMPARISON_ROWS = 500
# Beyond this, the names fill whole screens and no file system takes them.
LONGEST_NAME = 200


def family(model) -> str:
    """The family of a model given by name or as an unfitted estimator."""
    if isinstance(model, str):
        if model not in TECHNIQUES:
            raise InputError(f"unknown model '{model}' (choose from {', '.join(TECHNIQUES)})")
        return model
    module = type(model).__module__.split(".")[0]
    found = {"xgboost": "xgb", "sklearn": "rf", "catboost": "catboost", "lightgbm": "lightgbm"}.get(module)
    if found is None or (found == "rf" and type(model).__name__ != "RandomForestClassifier"):
        raise InputError(f"model {type(model).__name__} is not an XGBoost, random forest, CatBoost or LightGBM "
                         "classifier")
    return found


def encode_target(y, bad=None) -> tuple[np.ndarray, object]:
    """1 for a bad applicant, 0 for a good one, and the value that means bad."""
    column = pd.Series(y).reset_index(drop=True)
    name = column.name if column.name is not None else "target"
    if column.isna().any():
        raise InputError(f"target column '{name}' has {int(column.isna().sum())} missing values")
    values = list(pd.unique(column))
    if len(values) != 2:
        raise InputError(f"target column '{name}' is not binary: it has {len(values)} distinct values")
    if bad is not None:
        matches = [v for v in values if str(v) == str(bad)]
        if not matches:
            raise InputError(f"bad value {bad!r} is not a value of '{name}' ({values[0]!r}, {values[1]!r})")
        bad_value = matches[0]
    elif all(isinstance(v, (bool, np.bool_)) for v in values) or {str(v) for v in values} in ({"0", "1"}, {"0.0", "1.0"}):
        bad_value = next(v for v in values if str(v) in ("1", "1.0", "True"))
    elif any(str(v).strip().lower() == "bad" for v in values):
        bad_value = next(v for v in values if str(v).strip().lower() == "bad")
    else:
        raise InputError(f"cannot tell which value of '{name}' means bad ({values[0]!r} or {values[1]!r}): name it "
                         "with bad= (--bad on the command line)")
    return (column == bad_value).to_numpy().astype(int), bad_value


def output_names(predictors, target) -> list[str]:
    return [*(f"{p}_{s}" for p in predictors for s in ("bin", "points")), "score",
            *(f"reason_{k + 1}" for k in range(REASONS)), target]


def check_names(predictors, target) -> None:
    """Predictor names the models and the outputs can carry."""
    for p in [*predictors, target]:
        if not isinstance(p, str) or not p or "\0" in p or len(p) > LONGEST_NAME or any(c in p for c in "/[]<") \
                or p.endswith("_RF") or p != p.strip():
            shown = repr(p)[:60] + ("..." if len(repr(p)) > 60 else "")
            raise InputError(f"column name {shown} cannot be used (it must be text of 1-{LONGEST_NAME} characters "
                             "without '/', '[', ']', '<', NUL or outer spaces, not ending in '_RF'): rename the column")
    outputs = set(output_names(predictors, target)[:-1])
    clash = [p for p in [*predictors, target] if p in outputs]
    if clash:
        raise InputError(f"column '{clash[0]}' is named like an output column (score, reason_N, <predictor>_bin, "
                         "<predictor>_points): rename it")


def _train(kind: str, model, X: pd.DataFrame, y: np.ndarray, *, trees, seed, early_stopping, monotone):
    """The model fitted on the one-hot bins, with early stopping on a seeded validation part of X."""
    from sklearn.base import clone
    from sklearn.model_selection import train_test_split

    stop = early_stopping and kind != "rf"
    # On small tables a second thread costs more in synchronisation than it saves, badly so on a busy machine.
    jobs = 1 if len(X) < PARALLEL_ROWS else 2
    rounds = trees if trees is not None else (MAX_TREES if stop else FIXED_TREES)
    if isinstance(model, str):
        if kind == "xgb":
            from xgboost import XGBClassifier

            # Early stopping picks the rounds, so larger steps cost no accuracy and a third of the trees.
            model = XGBClassifier(n_estimators=rounds, max_depth=3, learning_rate=0.3 if stop else 0.1,
                                  random_state=seed, n_jobs=jobs)
        elif kind == "rf":
            from sklearn.ensemble import RandomForestClassifier

            model = RandomForestClassifier(n_estimators=rounds, max_depth=6, min_samples_leaf=5, random_state=seed,
                                           n_jobs=jobs)
        elif kind == "catboost":
            from catboost import CatBoostClassifier

            model = CatBoostClassifier(iterations=rounds, depth=4, random_seed=seed, verbose=False,
                                       allow_writing_files=False, thread_count=jobs)
        else:
            from lightgbm import LGBMClassifier

            model = LGBMClassifier(n_estimators=rounds, num_leaves=8, learning_rate=0.1, random_state=seed,
                                   n_jobs=jobs, verbose=-1)
    else:
        model = clone(model)
    if monotone is not None:
        signs = [int(s) for s in monotone]
        key = {"xgb": "monotone_constraints", "lightgbm": "monotone_constraints", "catboost": "monotone_constraints",
               "rf": "monotonic_cst"}[kind]
        model.set_params(**{key: tuple(signs) if kind == "xgb" else signs})
    if not stop:
        return model.fit(X, y)
    # A few thousand rows judge the loss well; more only slow every round.
    held = min(int(round(VALIDATION_SHARE * len(X))), VALIDATION_ROWS)
    fit_idx, val_idx = train_test_split(np.arange(len(X)), test_size=held, stratify=y, random_state=seed)
    X_fit, y_fit, X_val, y_val = X.iloc[fit_idx], y[fit_idx], X.iloc[val_idx], y[val_idx]
    if kind == "xgb":
        model.set_params(early_stopping_rounds=PATIENCE, eval_metric="logloss")
        model.fit(X_fit, y_fit, eval_set=[(X_val, y_val)], verbose=False)
    elif kind == "catboost":
        model.set_params(od_type="Iter", od_wait=PATIENCE, use_best_model=True)
        model.fit(X_fit, y_fit, eval_set=(X_val, y_val))
    else:
        import lightgbm

        model.fit(X_fit, y_fit, eval_set=[(X_val, y_val)],
                  callbacks=[lightgbm.early_stopping(PATIENCE, verbose=False)])
    return model


def _shap_values(model, X: pd.DataFrame) -> tuple[np.ndarray, float]:
    """Tree SHAP values of the bad class, and the base value.

    The path-dependent algorithm needs no background rows, so its cost grows with
    the rows alone; it keeps the additivity that the points rely on.
    """
    import shap

    explainer = shap.TreeExplainer(model)
    values = np.asarray(explainer(X).values, dtype=float)
    base = np.asarray(explainer.expected_value, dtype=float).reshape(-1)
    if values.ndim == 3:  # one column per class: keep the bad one
        values, base = values[:, :, -1], base[-1:]
    return values, float(base[0])


@contextlib.contextmanager
def _quiet():
    # shap logs its background subsampling as a warning on every build; the module prints progress.
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


def _chart(name: str, rows: pd.DataFrame) -> dict:
    """Points per bin beside the neutral points and each bin's WoE, bins in ascending WoE."""
    import plotly.graph_objects as go
    from plotly.subplots import make_subplots

    rows = rows.sort_values("woe", kind="stable")
    fig = make_subplots(specs=[[{"secondary_y": True}]])
    fig.add_trace(go.Scatter(x=rows["bin"], y=rows["woe"], name="WoE", mode="lines"), secondary_y=True)
    fig.add_trace(go.Bar(x=rows["bin"], y=rows["points"], name="Points", text=[f"{p:g}" for p in rows["points"]],
                         textposition="outside"), secondary_y=False)
    fig.add_trace(go.Scatter(x=rows["bin"], y=rows["neutral"], name="Neutral", mode="lines+markers"),
                  secondary_y=False)
    fig.update_xaxes(title_text=f"Bins - {name}")
    fig.update_yaxes(title_text="Points", secondary_y=False)
    fig.update_yaxes(title_text="WoE", secondary_y=True)
    return fig.to_dict()


class Scorecard(BaseEstimator):
    """A credit scorecard built from a tree model's SHAP values and each bin's Weight of Evidence.

    Parameters
    ----------
    model : "xgb", "rf", "catboost", "lightgbm", or an unfitted classifier of one of those families.
    trees : rounds of the model; None for 100 without early stopping and up to 1000 with it.
    early_stopping : stop adding trees when a validation part of the training rows stops improving.
    monotone : constrain each bin's effect to the direction of its event rate.
    max_bins, monotonic_trend, special_codes : the binning (optbinning's trend names).
    min_iv : drop predictors whose information value is below this (None keeps all).
    max_corr : of two predictors whose binned WoE correlate above this, drop the weaker (None keeps both).
    points : "additive" (mean SHAP log-odds of each bin, scaled) or "module" (the extension's own card).
    pdo, target_score, target_odds : points that double the odds; the score at the target good:bad odds.
    resort : module points only; re-sort each predictor's points by WoE instead of assuming that a higher
        predicted probability means a higher bad rate.
    shap_rows : rows the SHAP step sees; larger data are sampled with `seed`.
    bad : the target value that means bad (default 1, True or "bad").
    """

    def __init__(self, model="xgb", *, trees=None, early_stopping=True, monotone=False, max_bins=_binning.MAX_BINS,
                 monotonic_trend="auto", special_codes=None, min_iv=0.02, max_corr=None, points="additive",
                 pdo=20, target_score=200, target_odds=15, resort=False, shap_rows=10_000, seed=42, bad=None):
        self.model = model
        self.trees = trees
        self.early_stopping = early_stopping
        self.monotone = monotone
        self.max_bins = max_bins
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

    # -- parameters ---------------------------------------------------------------------------------------------

    def _check_params(self) -> str:
        kind = family(self.model)

        def number(name, low, *, whole=False, strict=True, high=None):
            v = getattr(self, name)
            ok = isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, bool) and math.isfinite(v)
            ok = ok and (v > low if strict else v >= low) and (high is None or v <= high) and (not whole or v == int(v))
            if not ok:
                bound = f"{'above' if strict else 'at least'} {low:g}" + (f" and at most {high:g}" if high else "")
                raise InputError(f"{name.replace('_', '-')} must be a {'whole ' if whole else ''}number {bound}, "
                                 f"not {v!r}")

        number("pdo", 0)
        number("target_odds", 0)
        number("target_score", -1e12, high=1e12)
        number("max_bins", 2, whole=True, strict=False, high=_binning.MAX_BINS)
        number("seed", 0, whole=True, strict=False, high=2**31 - 1)
        number("shap_rows", 1, whole=True, strict=False)
        if self.trees is not None:
            number("trees", 1, whole=True, strict=False, high=100_000)
        if self.min_iv is not None:
            number("min_iv", 0, strict=False)
        if self.max_corr is not None:
            number("max_corr", 0, high=1)
        if self.monotonic_trend not in TRENDS:
            raise InputError(f"unknown monotonic trend '{self.monotonic_trend}' (choose from {', '.join(TRENDS)})")
        if self.points not in POINTS:
            raise InputError(f"unknown points '{self.points}' (choose from {', '.join(POINTS)})")
        return kind

    # -- fitting ------------------------------------------------------------------------------------------------

    def fit(self, X, y, *, shap_data=None, progress=None):
        """Bin every predictor of `X`, train the model on the one-hot bins and build the card.

        `shap_data`: applicants whose SHAP values make the card (default: a seeded sample of `X`).
        `progress`: an object with step(text) and count(text, done, total), for the command line.
        """
        kind = self._check_params()
        if not isinstance(X, pd.DataFrame):
            raise InputError("X must be a pandas DataFrame of applicants, one column per predictor")
        if len(X) != len(y):
            raise InputError(f"X has {len(X)} applicants but y has {len(y)} outcomes")
        y_bad, bad_value = encode_target(y, self.bad)
        target = getattr(y, "name", None)
        target = "target" if target is None else target
        predictors = list(X.columns)
        if not predictors:
            raise InputError("the table has no predictor columns besides the target")
        check_names(predictors, target)
        if shap_data is not None:
            missing = [p for p in predictors if p not in getattr(shap_data, "columns", [])]
            if missing:
                raise InputError(f"shap_data lacks the predictor columns {', '.join(map(repr, missing))}")
        step = progress.step if progress else (lambda text: None)
        X = X.reset_index(drop=True)

        with _quiet():
            binnings = self._bin(X, y_bad, progress)
        self.dropped_ = {}
        binnings = self._select(binnings, X)
        for name, reason in self.dropped_.items():
            step(f"left out '{name}': {reason}")

        pos_train = [b.positions(X[b.name]) for b in binnings]
        X_train = _binning.one_hot(binnings, X, pos_train)
        monotone = None
        if self.monotone:
            overall = y_bad.mean()
            monotone = [1 if rate > overall else -1 for b in binnings for rate in b.table["Event rate"]]
        step(f"training {kind} on {len(X)} applicants ({X_train.shape[1]} features)")
        with _quiet():
            model = _train(kind, self.model, X_train, y_bad, trees=self.trees, seed=self.seed,
                           early_stopping=self.early_stopping, monotone=monotone)

        rng = np.random.default_rng(self.seed)
        source = X if shap_data is None else pd.DataFrame(shap_data).reset_index(drop=True)
        if len(source) > self.shap_rows:
            source = source.iloc[np.sort(rng.choice(len(source), self.shap_rows, replace=False))]
        X_shap = _binning.one_hot(binnings, source)

        step(f"SHAP values and scorecard on {len(X_shap)} applicants")
        X_module = X_shap
        if self.points == "additive" and len(X_shap) > COMPARISON_ROWS:
            X_module = X_shap.iloc[np.sort(rng.choice(len(X_shap), COMPARISON_ROWS, replace=False))]
        module = self._module_card(model, kind, binnings, X, pos_train, y_bad, target, bad_value, X_module)
        additive = self._additive_card(model, kind, binnings, pos_train, X_train, y_bad, X_shap, target, bad_value,
                                       rng)

        self.binnings_ = binnings
        self.model_ = model
        self.family_ = kind
        self.target_ = target
        self.bad_ = bad_value
        self.module_card_ = module
        self.additive_card_ = additive
        self.card_ = additive if self.points == "additive" else module
        self.table_ = self._table(self.card_)
        self.train_scores_ = self.card_.score(X)["score"].to_numpy()
        self.n_features_in_ = len(predictors)
        self.feature_names_in_ = np.asarray(predictors, dtype=object)
        return self

    def _bin(self, X, y_bad, progress) -> list:
        """Each predictor's bins; large tables on two threads, since the solvers release the interpreter."""
        from concurrent.futures import ThreadPoolExecutor

        def one(p):
            return _binning.fit_predictor(p, X[p], y_bad, monotonic_trend=self.monotonic_trend,
                                          special_codes=self.special_codes, max_bins=self.max_bins)

        names = list(X.columns)
        binnings = []
        with ThreadPoolExecutor(1 if len(X) < PARALLEL_ROWS else 2) as pool:
            for i, b in enumerate(pool.map(one, names)):
                if progress:
                    progress.count("binning predictors", i, len(names))
                binnings.append(b)
        if progress:
            progress.count("binning predictors", len(names), len(names))
        return binnings

    def _select(self, binnings, X) -> list:
        """Drop weak predictors, one-sided ones, and the weaker of each highly correlated pair."""
        iv = {b.name: float(b.table["IV"].sum()) for b in binnings}
        kept = []
        for b in binnings:
            if self.min_iv is not None and iv[b.name] < self.min_iv:
                self.dropped_[b.name] = f"information value {iv[b.name]:.4f} below {self.min_iv:g}"
            elif (b.table["WoE"] < 0).all() or (b.table["WoE"] >= 0).all():
                # Every bin on one side of WoE 0: the module card scales it to a common magnitude as noise.
                self.dropped_[b.name] = "no split separates good from bad"
            else:
                kept.append(b)
        if self.max_corr is not None and len(kept) > 1:
            woe = np.column_stack([np.append(b.table["WoE"].to_numpy(dtype=float), 0.0)[b.positions(X[b.name])]
                                   for b in kept])
            corr = np.nan_to_num(np.corrcoef(woe, rowvar=False))
            order = sorted(range(len(kept)), key=lambda j: -iv[kept[j].name])
            chosen: list[int] = []
            for j in order:
                partner = next((c for c in chosen if abs(corr[j, c]) > self.max_corr), None)
                if partner is None:
                    chosen.append(j)
                else:
                    self.dropped_[kept[j].name] = (f"WoE correlates {corr[j, partner]:.2f} with "
                                                   f"'{kept[partner].name}', which has more information value")
            kept = [kept[j] for j in sorted(chosen)]
        if not kept:
            raise InputError("no predictor separates good from bad applicants (see the information value threshold)")
        return kept

    def _scaling(self) -> dict:
        return {"pdo": self.pdo, "target_score": self.target_score, "target_odds": self.target_odds,
                "resort": bool(self.resort)}

    def _module_card(self, model, kind, binnings, X, pos_train, y_bad, target, bad_value, X_shap) -> Card:
        from tessaly import quillvane

        training_df = _binning.binned(binnings, X, pos_train)
        training_df[target] = y_bad
        with tempfile.TemporaryDirectory(prefix="tessaly-") as tmp, _quiet():
            root = Path(tmp)
            (root / "bins").mkdir()
            for b in binnings:
                b.table.to_pickle(root / "bins" / f"{b.name}.pkl")
            scorecard = quillvane.createQuillvane(
                model, training_df, X_shap, _binning.reference_table(binnings), str(root / "bins"),
                show_warnings="Y", show_plots="N", target_var=target, pdo_parm=int(self.pdo),
                target_credit_score=int(self.target_score), target_odds=int(self.target_odds), model_name=MODEL_NAME,
                assume_higher_prob_bad_rate=0 if self.resort else 1, technique=TECHNIQUES[kind],
                plots_directory=str(root / "plots"), scorecard_directory=str(root / "scorecard"),
                model_directory=str(root / "model"),
            )
            self.artifacts_ = {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}
        predictors = []
        for b in binnings:
            rows = scorecard[scorecard["predictor_variables"] == b.name]
            by_bin = dict(zip(rows["Bin"], rows["CreditScore"].astype(float)))
            lost = [label for label in b.labels if label not in by_bin]
            if lost:
                raise RuntimeError(f"the scorecard has no points for bins {lost} of '{b.name}'")
            predictors.append(self._predictor(b, [by_bin[label] for label in b.labels],
                                              float(rows["Neutral_CreditScore"].iloc[0])))
        return Card(target, bad_value, kind, "module", self._scaling(), predictors)

    @staticmethod
    def _predictor(b, points, neutral) -> Predictor:
        return Predictor(b.name, b.dtype, b.splits, b.special_codes, b.kinds, labels=list(b.labels),
                         points=[float(p) for p in points], neutral=float(neutral))

    def _additive_card(self, model, kind, binnings, pos_train, X_train, y_bad, X_shap, target, bad_value, rng) -> Card:
        """Each bin's points: its applicants' mean SHAP log-odds of the predictor, scaled to the requested odds."""
        # Bins that the sample barely sees borrow training applicants, so that each has points of its own.
        extra = []
        for b, pos in zip(binnings, pos_train):
            seen = X_shap[b.features].sum(axis=0).to_numpy()
            for d in np.flatnonzero(seen < BIN_COVER):
                rows = np.flatnonzero(pos == d)
                extra.append(rng.choice(rows, min(len(rows), BIN_COVER - int(seen[d])), replace=False))
        sample = pd.concat([X_shap, X_train.iloc[np.unique(np.concatenate(extra))]]) if extra else X_shap
        with _quiet():
            values, base = _shap_values(model, sample)
        columns = {f: i for i, f in enumerate(sample.columns)}
        factor = self.pdo / math.log(2)
        offset = self.target_score - factor * math.log(self.target_odds)
        means = []
        for b in binnings:
            contribution = values[:, [columns[f] for f in b.features]].sum(axis=1)
            pos = sample[b.features].to_numpy().argmax(axis=1)
            counts = np.bincount(pos, minlength=len(b.labels))
            sums = np.bincount(pos, weights=contribution, minlength=len(b.labels))
            means.append(np.divide(sums, counts, out=np.zeros(len(b.labels)), where=counts > 0))
        slope, intercept = 1.0, base
        if kind == "rf":
            # A forest's SHAP values are probabilities: map their sum onto log-odds with one logistic fit.
            from sklearn.linear_model import LogisticRegression

            total = sum(np.append(m, 0.0)[pos] for m, pos in zip(means, pos_train))
            fit = LogisticRegression(C=1e6).fit(total.reshape(-1, 1), y_bad)
            slope, intercept = float(fit.coef_[0, 0]), float(fit.intercept_[0])
        raw = [-factor * slope * m for m in means]
        # Each predictor's lowest bin at 0, the rest of the score shared evenly: points stay positive where they can.
        rest = offset - factor * intercept + sum(r.min() for r in raw)
        predictors = []
        for b, r in zip(binnings, raw):
            points = np.round(r - r.min() + rest / len(binnings))
            share = b.table["Count (%)"].to_numpy(dtype=float)
            predictors.append(self._predictor(b, points, float(np.dot(share / share.sum(), points))))
        return Card(target, bad_value, kind, "additive", self._scaling(), predictors)

    def _table(self, card: Card) -> pd.DataFrame:
        parts = []
        for b, p in zip(self.binnings_, card.predictors):
            t = b.table
            parts.append(pd.DataFrame({
                "predictor": b.name, "bin": list(b.labels), "share": t["Count (%)"].to_numpy(dtype=float),
                "event_rate": t["Event rate"].to_numpy(dtype=float), "woe": t["WoE"].to_numpy(dtype=float),
                "points": p.points, "neutral": p.neutral}))
        return pd.concat(parts, ignore_index=True)

    # -- use ----------------------------------------------------------------------------------------------------

    def table(self) -> pd.DataFrame:
        """The scorecard: predictor, bin, count share, event rate, WoE, points, neutral points."""
        check_is_fitted(self, "card_")
        return self.table_.copy()

    def transform(self, X) -> pd.DataFrame:
        """Each applicant's bin and points per predictor, the total score and three reason codes."""
        check_is_fitted(self, "card_")
        return self.card_.score(X)

    def score(self, X) -> np.ndarray:
        """The total score of each applicant; higher means a better applicant."""
        return self.transform(X)["score"].to_numpy()

    def predict_proba(self, X) -> np.ndarray:
        """The tree model's probabilities (good, bad) on the applicants' one-hot bins."""
        check_is_fitted(self, "card_")
        if getattr(self, "model_", None) is None:
            raise InputError("this scorecard was loaded without its model: load it with model=True")
        return self.model_.predict_proba(_binning.one_hot(self.binnings_, X))

    def charts(self) -> list[tuple[str, dict]]:
        """One plotly figure (as a dict) per predictor: points per bin, neutral points and WoE."""
        check_is_fitted(self, "card_")
        return [(name, _chart(name, rows)) for name, rows in self.table_.groupby("predictor", sort=False)]

    def to_sql(self, *, dialect="duckdb", table="applicants", ids=()) -> str:
        """One SELECT that scores the applicants' table in a database exactly as `transform` does."""
        check_is_fitted(self, "card_")
        from ._sql import to_sql

        return to_sql(self.card_.to_dict(), dialect=dialect, table=table, ids=list(ids))

    # -- files --------------------------------------------------------------------------------------------------

    def save(self, directory) -> Path:
        """Write the card into a new or empty directory, or over a card saved earlier; never over anything else.

        The directory gets card.json (plain data: all that scoring needs), the extension's card
        (module/card.json), table.csv, params.json, the model and the extension's own files.
        """
        from ._io import staged_card

        with staged_card(directory) as stage:
            self.save_into(stage)
        return Path(directory)

    def save_into(self, directory) -> None:
        """The files of `save`, written into an existing empty directory (a build's staging folder)."""
        check_is_fitted(self, "card_")
        from ._io import write_frame

        directory = Path(directory)
        for name, data in getattr(self, "artifacts_", {}).items():  # a loaded card has none
            (directory / name).parent.mkdir(parents=True, exist_ok=True)
            (directory / name).write_bytes(data)
        self.card_.save(directory)
        if getattr(self, "module_card_", None) is not None:
            (directory / "module").mkdir(exist_ok=True)
            self.module_card_.save(directory / "module")
        write_frame(self.table_, directory / "table.csv")
        params = self.get_params()
        params["model"] = self.family_
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
        known = cls().get_params()
        self = cls(**{k: v for k, v in params.items() if k in known})
        rows = [(p.name, label, points, p.neutral) for p in card.predictors for label, points in zip(p.labels, p.points)]
        if len(rows) != len(table):
            raise InputError(f"table.csv in '{directory}' does not match its card.json; save the card again")
        names = pd.DataFrame(rows, columns=["predictor", "bin", "points", "neutral"])
        table = pd.concat([names[["predictor", "bin"]], table, names[["points", "neutral"]]], axis=1)
        self.card_, self.table_, self.target_, self.bad_ = card, table, card.target, card.bad
        self.family_ = card.model
        self.binnings_ = [_binning.PredictorBinning(p.name, p.dtype, p.splits, p.special_codes, p.kinds,
                                                    labels=p.labels) for p in card.predictors]
        self.model_ = None
        if model:
            import pickle

            with open(directory / "model" / f"{MODEL_NAME}.sav", "rb") as f:
                self.model_ = pickle.load(f)
        return self

    def report(self, path, X, y, *, challenger=None) -> dict:
        """The HTML report of this card on a labelled table, with the model and the module card beside it.

        `challenger`: (X_train, y_train) to build a WoE logistic-regression card on the same bins for comparison.
        Returns the figures of the report (also what metrics.json holds).
        """
        check_is_fitted(self, "card_")
        from . import _report, _validation

        y_bad, _ = encode_target(y, self.bad_)
        scores = {f"{self.card_.points_kind} card": self.score(X)}
        other = getattr(self, "module_card_" if self.points == "additive" else "additive_card_", None)
        if other is not None:
            scores[f"{other.points_kind} card"] = other.score(X)["score"].to_numpy()
        if getattr(self, "model_", None) is not None:
            # Higher means better, as for the cards.
            scores["tree model"] = -self.predict_proba(X)[:, 1]
        if challenger is not None:
            X_train, y_train = challenger
            scores["WoE logistic regression"] = _validation.woe_logistic_challenger(
                X_train, encode_target(y_train, self.bad_)[0], X, self.card_.to_dict()["predictors"])
        assessment = _validation.assess(
            y_bad, scores, card=f"{self.card_.points_kind} card", train_score=getattr(self, "train_scores_", None),
            pdo=self.pdo, target_score=self.target_score, target_odds=self.target_odds)
        summary = {"model": self.family_, "target": self.target_, "bad": str(self.bad_),
                   "scaling": self._scaling(), "points": self.card_.points_kind}
        test_scores = pd.DataFrame({"score": scores[f"{self.card_.points_kind} card"], "bad": y_bad})
        _report.write(path, summary=summary, table=self.table_, charts=self.charts(), assessment=assessment,
                      test_scores=test_scores, dropped=getattr(self, "dropped_", {}))
        return assessment
