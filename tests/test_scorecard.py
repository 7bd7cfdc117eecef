"""The Scorecard estimator: fitting, saving, loading and scoring, on applicants the tests make."""

import contextlib
import io
import math
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from applicants import applicants
from sklearn.base import clone
from sklearn.exceptions import NotFittedError

from tessaly import Scorecard, _features, quillvane


@pytest.fixture(scope="module")
def data():
    return applicants(1500, seed=3, xy=True)


@pytest.mark.parametrize("model", ["xgb", "rf", "catboost", "lightgbm"])
def test_fit_save_load_scores_the_same(model, data, tmp_path):
    X, y = data
    sc = Scorecard(model, trees=15, special_codes=[-1]).fit(X, y)
    new = X.sample(300, random_state=1)
    new.loc[new.index[:5], "housing"] = "boat"  # a category training never saw
    before = sc.transform(new)
    loaded = Scorecard.load(sc.save(tmp_path / "card"), model=True)
    pd.testing.assert_frame_equal(loaded.transform(new), before)
    np.testing.assert_array_equal(loaded.total_score(new), before["score"].to_numpy())
    np.testing.assert_allclose(loaded.predict_proba(new), sc.predict_proba(new), rtol=1e-12)  # forests sum in parallel
    pd.testing.assert_frame_equal(loaded.table(), sc.table(), check_dtype=False)
    assert (before.loc[new.index[:5], "housing_bin"] == "Unseen").all()
    # Whole points, and a riskier applicant scores lower: the card ranks as the data were made.
    assert (sc.table()["points"] % 1 == 0).all()
    assert np.corrcoef(sc.total_score(X), -sc.predict_proba(X)[:, 1])[0, 1] > 0.8


def test_parameters_round_trip_and_unfitted_use_is_refused(data):
    sc = Scorecard("lightgbm", trees=7, min_iv=None, max_corr=0.8, pdo=40, special_codes=[-1])
    twin = clone(sc)
    assert twin.get_params() == sc.get_params()
    assert twin.set_params(pdo=25).pdo == 25 and sc.pdo == 40
    with pytest.raises(NotFittedError):
        sc.transform(data[0])


def test_additive_total_is_the_models_log_odds_on_a_depth_one_model(data):
    """Depth-one trees have no interactions, so each bin's mean SHAP value is exact and the card is the model."""
    from xgboost import XGBClassifier

    X, y = data
    sc = Scorecard(
        XGBClassifier(max_depth=1, n_estimators=40, learning_rate=0.3),
        early_stopping=False,
        min_iv=None,
        pdo=20,
        target_score=600,
        target_odds=50,
    ).fit(X, y)
    margin = sc.model_.predict(_features.one_hot(sc.binnings_, X), output_margin=True)
    factor = 20 / math.log(2)
    expected = 600 - factor * math.log(50) - factor * margin
    # Points are whole numbers: each predictor may be off by half a point.
    assert np.abs(sc.total_score(X) - expected).max() <= 0.5 * len(sc.card_.predictors) + 1e-6


def test_module_points_are_the_extensions_card(data, tmp_path):
    X, y = data
    sc = Scorecard("xgb", points="module", early_stopping=False, min_iv=None, trees=20).fit(X, y)
    b = sc.binnings_
    training = _features.binned(b, X)
    training["bad"] = y.to_numpy()
    (tmp_path / "bins").mkdir()
    for p in b:
        p.table.to_pickle(tmp_path / "bins" / f"{p.name}.pkl")
    direct = quillvane.createQuillvane(
        sc.model_,
        training,
        _features.one_hot(b, X),
        _features.reference_table(b),
        str(tmp_path / "bins"),
        target_var="bad",
        show_warnings="Y",
        scorecard_directory=str(tmp_path / "s"),
        model_directory=str(tmp_path / "m"),
        plots_directory=str(tmp_path / "p"),
    )
    got = sc.table().set_index(["predictor", "bin"])["points"]
    want = direct.set_index(["predictor_variables", "Bin"])["CreditScore"].astype(float)
    pd.testing.assert_series_equal(got, want.loc[got.index], check_names=False, check_index_type=False)


def _against_event_rate(sc, X, y) -> list[str]:
    """Features whose switch moves the model's bad probability against its bin's event rate on some applicant."""
    X_model = _features.one_hot(sc.binnings_, X).iloc[:300]
    wrong = []
    for b in sc.binnings_:
        pos = b.positions(X[b.name])
        for d, feature in enumerate(b.features):
            sign = 1 if y[pos == d].mean() > y.mean() else -1
            on, off = X_model.assign(**{feature: 1}), X_model.assign(**{feature: 0})
            change = sc.model_.predict_proba(on)[:, 1] - sc.model_.predict_proba(off)[:, 1]
            if (sign * change < -1e-9).any():
                wrong.append(feature)
    return wrong


@pytest.mark.parametrize("monotone", [True, False])
@pytest.mark.parametrize("model", ["xgb", "rf", "catboost", "lightgbm"])
def test_monotone_models_follow_each_bins_event_rate(model, monotone, data):
    # Unconstrained models cross some bins' directions on these data: the check has something to find.
    X, y = data
    sc = Scorecard(model, trees=15, monotone=monotone, special_codes=[-1]).fit(X, y)
    wrong = _against_event_rate(sc, X, y.to_numpy())
    assert (not wrong) if monotone else wrong, wrong


@pytest.mark.parametrize(
    "min_iv, max_corr, dropped",
    [
        (0.02, None, {"noise": "information value"}),
        (None, 0.9, {"age_copy": "correlates"}),
        (0.02, 0.9, {"noise": "information value", "age_copy": "correlates"}),
        (None, None, {}),
    ],
)
def test_selection_drops_weak_and_redundant_predictors(data, min_iv, max_corr, dropped):
    X, y = data
    X = X.assign(noise=np.random.default_rng(9).integers(0, 2, len(X)), age_copy=X["age"] + 0.5)
    sc = Scorecard("xgb", trees=10, min_iv=min_iv, max_corr=max_corr).fit(X, y)
    # Only these two rules: a predictor the model leaves unused is dropped for a reason of its own.
    rules = {k: next((w for w in ("correlates", "information value") if w in v), None) for k, v in sc.dropped_.items()}
    reasons = {k: w for k, w in rules.items() if w}
    assert {k: v for k, v in reasons.items() if k in ("noise", "age_copy")} == dropped
    assert set(sc.card_.names) == set(X.columns) - set(sc.dropped_)


def _numbers_and_words(text: str) -> list:
    return [float(t) if re.fullmatch(r"-?\d+(\.\d+)?", t) else t for t in re.findall(r"-?\d+(?:\.\d+)?|[^\s\d]+", text)]


def test_readme_example_runs_as_written(tmp_path, monkeypatch):
    readme = (Path(__file__).parents[1] / "README.md").read_text(encoding="utf-8")
    code = re.search(r"<!-- example -->\s*```python\n(.*?)```", readme, re.S).group(1)
    shown = re.search(r"<!-- output -->\s*```text\n(.*?)```", readme, re.S).group(1)
    monkeypatch.chdir(tmp_path)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, "README.md", "exec"), {})
    got, want = _numbers_and_words(printed.getvalue()), _numbers_and_words(shown)
    # The words exactly; a point or two of drift, as a library's update may give, is no stale README.
    assert [g for g in got if isinstance(g, str)] == [w for w in want if isinstance(w, str)], printed.getvalue()
    assert [g for g in got if isinstance(g, float)] == pytest.approx([w for w in want if isinstance(w, float)], abs=2)
    assert (tmp_path / "my_card" / "card.json").is_file()
