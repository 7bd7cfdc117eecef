"""SHAP coefficient extraction and the WoE merge."""

import os
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
import shap

from tessaly import quillvane

extract = quillvane._extract_shap_coefficients
merge = quillvane._merge_woe_data


def log_mean_exp(values):
    return np.log(np.mean(np.exp(values), axis=0))


@pytest.mark.parametrize(
    "model_fixture, technique", [("xgb_model", "xgb"), ("rf_model", "rf"), ("catboost_model", "catboost")]
)
def test_coefficients_of_real_models(credit_set, request, model_fixture, technique):
    model = request.getfixturevalue(model_fixture)
    X_test = credit_set.X_test
    explainer = shap.TreeExplainer(model) if technique == "catboost" else shap.Explainer(model, X_test)
    values, expected_base = explainer(X_test).values, explainer.expected_value
    if technique == "rf":
        values, expected_base = values[..., 0], expected_base[0]

    result = extract(model, X_test, technique)
    assert type(result) is tuple and len(result) == 2
    table, base = result
    assert list(table.columns) == ["feature", "coefficients", "predictor_var"]
    assert table.index.equals(pd.RangeIndex(len(X_test.columns)))
    assert list(table["feature"]) == list(X_test.columns)
    np.testing.assert_allclose(table["coefficients"].to_numpy(dtype=float), log_mean_exp(values), rtol=1e-6)
    np.testing.assert_allclose(base, expected_base, rtol=1e-6)


class FakeShap:
    """Records which explainer is built with what, and answers with fixed values."""

    def __init__(self, values, expected_value):
        self.calls = []
        self.values, self.expected_value = np.asarray(values, dtype=float), expected_value

    def __getattr__(self, kind):
        if kind not in ("TreeExplainer", "Explainer"):
            raise AttributeError(kind)

        def build(*args, **kwargs):
            self.calls.append((kind, args, kwargs))
            return Explainer(self)

        return build


class Explainer:
    def __init__(self, fake):
        self.fake, self.expected_value = fake, fake.expected_value

    def __call__(self, *args, **kwargs):
        self.fake.calls.append(("run", args, kwargs))
        return SimpleNamespace(values=self.fake.values)


VALUES_2D = np.array([[0.1, -0.2, 0.0], [0.3, 0.4, -1.0], [-0.5, 0.0, 2.0]])
X3 = pd.DataFrame(np.zeros((3, 3)), columns=["ab_1", "age_12", "x"])


@pytest.mark.parametrize(
    "technique, explainer, values, expected_value, base",
    [
        ("catboost", "TreeExplainer", VALUES_2D, 0.75, 0.75),
        ("xgb", "Explainer", VALUES_2D, 0.75, 0.75),
        # Case matters: "CatBoost" and "RF" take the general path, with no element [0].
        ("CatBoost", "Explainer", VALUES_2D, 0.75, 0.75),
        ("RF", "Explainer", VALUES_2D, 0.75, 0.75),
        ("rf", "Explainer", np.stack([VALUES_2D, -VALUES_2D], axis=2), np.array([0.2, 0.8]), 0.2),
        ("xgb", "Explainer", VALUES_2D, 1000.0, np.inf),  # the base is log(exp(value))
    ],
)
def test_explainer_choice_and_outputs(monkeypatch, technique, explainer, values, expected_value, base):
    fake = FakeShap(values, expected_value)
    monkeypatch.setattr(quillvane, "shap", fake)
    with np.errstate(over="ignore"):
        table, got = extract("model", X3, technique)
    built_with = ("model",) if explainer == "TreeExplainer" else ("model", X3)
    assert fake.calls == [(explainer, built_with, {}), ("run", (X3,), {})]
    np.testing.assert_allclose(table["coefficients"].to_numpy(dtype=float), log_mean_exp(VALUES_2D))
    assert got == pytest.approx(base)
    # The predictor is the feature name without its last two characters.
    assert list(table["predictor_var"]) == ["ab", "age_", ""]


def test_numpy_is_looked_up_at_each_use(monkeypatch):
    monkeypatch.setattr(quillvane, "shap", FakeShap(VALUES_2D, 0.5))
    fetched = []

    class Numpy:
        def __getattr__(self, name):
            fetched.append(name)
            if name == "mean":
                return lambda a, **kw: fetched.append(kw) or np.mean(a, **kw)
            return getattr(np, name)

    monkeypatch.setattr(quillvane, "np", Numpy())
    extract("model", X3, "xgb")
    assert fetched == ["log", "mean", "exp", {"axis": 0}, "log", "exp"]


def coefficients(data):
    names = list(data.X_test.columns)
    return pd.DataFrame(
        {"feature": names, "coefficients": np.linspace(-0.1, 0.2, len(names)), "predictor_var": [n[:-2] for n in names]}
    )


def test_merge_joins_bins_and_woe_in_list_order(credit_set):
    shap_table = coefficients(credit_set)
    # The target is skipped wherever it sits in the list.
    predictors = ["tenure", "target", "age", "debt_ratio", "income"]
    result = merge(predictors, "target", shap_table, credit_set.input_ref_df, credit_set.bins_directory)
    assert list(result.columns) == [
        "feature",
        "coefficients",
        "predictor_var",
        "input_value",
        "Bin",
        "WoE",
        "Distribution",
        "Event_rate",
    ]
    assert result.index.equals(pd.RangeIndex(len(shap_table)))
    assert list(result["feature"]) == [f for p in predictors if p != "target" for f in credit_set.features(p)]
    for predictor in credit_set.predictors:
        rows = result[result["predictor_var"] == predictor]
        table = credit_set.binning_tables[predictor].set_index("Bin")
        labels = table.index[:-2]
        assert list(rows["input_value"]) == list(labels) and list(rows["Bin"]) == list(labels)
        given = shap_table.set_index("feature").loc[rows["feature"], "coefficients"]
        np.testing.assert_allclose(rows["coefficients"], given)
        np.testing.assert_allclose(rows["WoE"], table.loc[labels, "WoE"])
        np.testing.assert_allclose(rows["Distribution"], table.loc[labels, "Count (%)"])
        np.testing.assert_allclose(rows["Event_rate"], table.loc[labels, "Event rate"])


def test_infinite_woe_missing_bins_and_row_count(make_credit_set):
    data = make_credit_set(infinite_woe=True)
    ref = data.input_ref_df.copy()
    ref.loc[1, "debt_ratio"] = "[not a bin)"
    ref.loc[3, "debt_ratio_RF"] = np.nan
    ref = pd.concat([ref, ref.iloc[[2, 2]]], ignore_index=True)  # the reference rows decide the row count
    result = merge(["debt_ratio"], "target", coefficients(data), ref, data.bins_directory)
    assert [f[-1] for f in result["feature"]] == list("0122234")
    finite = data.binning_tables["debt_ratio"]["WoE"][2]
    np.testing.assert_array_equal(result["WoE"], [0.0, np.nan, finite, finite, finite, np.nan, 0.0])
    assert pd.isna(result["Bin"][1]) and np.isnan(result["Distribution"][1])
    assert result.loc[5, ["input_value", "Bin", "WoE", "Distribution", "Event_rate"]].isna().all()
    assert result["coefficients"][2] == result["coefficients"][4]


@pytest.mark.parametrize(
    "predictors, break_it, error",
    [(["target"], None, TypeError), (["age"], "no file", FileNotFoundError), (["age"], "no column", KeyError)],
)
def test_merge_failures(credit_set, predictors, break_it, error):
    path = os.path.join(credit_set.bins_directory, "age.pkl")
    if break_it == "no file":
        os.remove(path)
    elif break_it == "no column":
        credit_set.binning_tables["age"].drop(columns="Event rate").to_pickle(path)
    with pytest.raises(error) as e:
        merge(predictors, "target", coefficients(credit_set), credit_set.input_ref_df, credit_set.bins_directory)
    if error is TypeError:
        assert str(e.value) == "'NoneType' object is not subscriptable"


def test_merge_call_sequence(credit_set, monkeypatch):
    calls = []

    class Pandas:
        def __getattr__(self, name):
            attr = getattr(pd, name)
            if name in ("merge", "concat", "read_pickle"):

                def record(*args, **kwargs):
                    calls.append((name, args[1:] if name == "merge" else args, list(kwargs)))
                    return attr(*args, **kwargs)

                return record
            return attr

    monkeypatch.setattr(quillvane, "pd", Pandas())
    merge(
        ["age", "target", "tenure"],
        "target",
        coefficients(credit_set),
        credit_set.input_ref_df,
        credit_set.bins_directory,
    )
    names = [(name, kwargs) for name, _, kwargs in calls]
    per_predictor = [("merge", ["on", "how"]), ("read_pickle", []), ("merge", ["left_on", "right_on", "how"])]
    assert names == per_predictor + per_predictor + [("concat", ["axis", "ignore_index"])]
    assert calls[1][1] == (os.path.join(credit_set.bins_directory, "age.pkl"),)
    assert list(calls[0][1][0].columns) == ["input_value", "feature"]
    assert list(calls[2][1][0].columns) == ["Bin", "WoE", "Distribution", "Event_rate"]
