"""The estimator under scikit-learn's model selection, and what it refuses before any work starts."""

import re

import numpy as np
import pandas as pd
import pytest
from applicants import applicants
from sklearn.metrics import roc_auc_score
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import FunctionTransformer

from tessaly import Scorecard
from tessaly._errors import InputError

FAST = dict(trees=10, min_iv=None)


@pytest.fixture(scope="module")
def data():
    X, y = applicants(900, seed=5, xy=True)
    return X, y.map({1: "bad", 0: "good"}).rename("outcome")


SELECTION = {
    "cross_val_score roc_auc": lambda X, y: cross_val_score(Scorecard(**FAST), X, y, cv=3, scoring="roc_auc"),
    "cross_val_score default": lambda X, y: cross_val_score(Scorecard(**FAST), X, y, cv=3),
    "GridSearchCV": lambda X, y: [
        GridSearchCV(Scorecard(**FAST), {"max_bins": [3, 6]}, cv=3, scoring="roc_auc").fit(X, y).best_score_
    ],
    "Pipeline": lambda X, y: cross_val_score(
        make_pipeline(FunctionTransformer(), Scorecard(**FAST)), X, y, cv=3, scoring="roc_auc"
    ),
}


@pytest.mark.parametrize("how", SELECTION)
def test_model_selection_judges_the_card_by_its_ranking(how, data):
    X, y = data
    got = np.asarray(SELECTION[how](X, y))
    # The card ranks well on these applicants; an inverted sign or a probability of "good" would give < 0.5.
    assert (got > 0.6).all(), got
    sc = Scorecard(**FAST).fit(X.iloc[:600], y.iloc[:600])
    want = roc_auc_score(y.iloc[600:] == "bad", -sc.total_score(X.iloc[600:]))
    assert sc.score(X.iloc[600:], y.iloc[600:]) == pytest.approx(want)
    assert list(sc.classes_) == ["bad", "good"]
    assert sc.predict_proba(X.iloc[:5]).shape == (5, 2)
    assert set(sc.predict(X)) <= {"bad", "good"}


def _xgb_regressor():
    from xgboost import XGBRegressor

    return XGBRegressor()


def _xgb_rf():
    from xgboost import XGBRFClassifier

    return XGBRFClassifier()


def _lgbm_regressor():
    from lightgbm import LGBMRegressor

    return LGBMRegressor()


REFUSED = {
    "XGBRegressor": (lambda X, y: Scorecard(_xgb_regressor()).fit(X, y), "XGBRegressor is not supported"),
    "XGBRFClassifier": (lambda X, y: Scorecard(_xgb_rf()).fit(X, y), "XGBRFClassifier is not supported"),
    "LGBMRegressor": (lambda X, y: Scorecard(_lgbm_regressor()).fit(X, y), "LGBMRegressor is not supported"),
    "fractional pdo": (lambda X, y: Scorecard(pdo=20.9).fit(X, y), "pdo (--pdo) must be a whole number"),
    "odds below one": (lambda X, y: Scorecard(target_odds=0.5).fit(X, y), "target_odds (--target-odds)"),
    "target named like a predictor": (
        lambda X, y: Scorecard().fit(X.assign(outcome=1), y),
        "target 'outcome' is also a column",
    ),
    "unnamed y beside a column 'target'": (
        lambda X, y: Scorecard().fit(X.assign(target=1), y.to_numpy()),
        "target 'target' is also a column",
    ),
    "X as an array": (lambda X, y: Scorecard().fit(X.to_numpy(), y), "X must be a pandas DataFrame"),
    "y of two columns": (lambda X, y: Scorecard().fit(X, pd.concat([y, y], axis=1)), "one column of outcomes"),
    "duplicate columns": (
        lambda X, y: Scorecard().fit(pd.concat([X, X[["age"]]], axis=1), y),
        "two columns named 'age'",
    ),
    "a column of lists": (
        lambda X, y: Scorecard().fit(X.assign(tags=[["a", "b"]] * len(X)), y),
        "column 'tags' holds list values",
    ),
}


@pytest.mark.parametrize("case", REFUSED)
def test_refused_in_one_line_before_any_work(case, data, monkeypatch):
    X, y = data
    call, message = REFUSED[case]
    # Nothing may be binned or trained before the refusal.
    monkeypatch.setattr("tessaly._binning.fit_predictor", lambda *a, **k: pytest.fail("binned before refusing"))
    with pytest.raises(InputError, match=re.escape(message)) as e:
        call(X, y)
    assert "\n" not in str(e.value)


def test_one_column_frame_target_float_target_and_the_scaling_kept(data, tmp_path):
    X, y = data
    y01 = (y == "bad").astype(float).to_frame("bad")
    sc = Scorecard(bad=1, **FAST).fit(X, y01)
    assert sc.bad_ == 1.0 and sc.score(X, y01) > 0.6
    with pytest.raises(InputError, match="must be a pandas DataFrame"):
        sc.transform(X.to_numpy())
    # Whole neutral points keep a total with an unseen value whole.
    assert all(p.neutral == round(p.neutral) for p in sc.card_.predictors)
    # A scaling set after fitting was never applied: the saved card's own holds on loading.
    loaded = Scorecard.load(sc.set_params(pdo=40, target_odds=50).save(tmp_path / "card"))
    assert (
        (loaded.pdo, loaded.target_odds)
        == (20, 15)
        == (loaded.card_.scaling["pdo"], loaded.card_.scaling["target_odds"])
    )
