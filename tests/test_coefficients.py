"""SHAP coefficient extraction and the WoE merge."""

import os
import shutil
import traceback
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
import shap

from tessaly import quillvane

extract = quillvane._extract_shap_coefficients
merge = quillvane._merge_woe_data

MERGED_COLUMNS = ["feature", "coefficients", "predictor_var", "input_value", "Bin", "WoE", "Distribution", "Event_rate"]


def log_mean_exp(values):
    return np.log(np.mean(np.exp(values), axis=0))


# --- SHAP coefficients ---------------------------------------------------------


@pytest.mark.parametrize("model_fixture, technique", [("xgb_model", "xgb"), ("rf_model", "rf"),
                                                      ("catboost_model", "catboost")])
def test_coefficients_of_real_models(credit_set, request, model_fixture, technique):
    model = request.getfixturevalue(model_fixture)
    X_test = credit_set.X_test
    if technique == "catboost":
        explainer = shap.TreeExplainer(model)
    else:
        explainer = shap.Explainer(model, X_test)
    values = explainer(X_test).values
    expected_base = np.log(np.exp(explainer.expected_value))
    if technique == "rf":
        values, expected_base = values[..., 0], expected_base[0]

    result = extract(model, X_test, technique)
    assert type(result) is tuple and len(result) == 2
    table, base = result
    assert list(table.columns) == ["feature", "coefficients", "predictor_var"]
    assert table.index.equals(pd.RangeIndex(len(X_test.columns)))
    assert list(table["feature"]) == list(X_test.columns)
    assert list(table["predictor_var"]) == [name[:-2] for name in X_test.columns]
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


VALUES_2D = [[0.1, -0.2, 0.0], [0.3, 0.4, -1.0], [-0.5, 0.0, 2.0]]
X3 = pd.DataFrame(np.zeros((3, 3)), columns=["ab_1", "ab_2", "cd_0"])


@pytest.mark.parametrize(
    "technique, explainer",
    [("catboost", "TreeExplainer"), ("xgb", "Explainer"), ("CatBoost", "Explainer"), ("", "Explainer"),
     ("RF", "Explainer")],
)
def test_explainer_choice_and_general_path(monkeypatch, technique, explainer):
    fake = FakeShap(VALUES_2D, 0.75)
    monkeypatch.setattr(quillvane, "shap", fake)
    table, base = extract("model", X3, technique)
    built_with = ("model",) if explainer == "TreeExplainer" else ("model", X3)
    assert fake.calls == [(explainer, built_with, {}), ("run", (X3,), {})]
    # Case matters: "RF" takes the general path, with no element [0].
    np.testing.assert_allclose(table["coefficients"].to_numpy(dtype=float), log_mean_exp(np.array(VALUES_2D)))
    assert base == pytest.approx(0.75)


def test_rf_takes_output_zero(monkeypatch):
    values = np.stack([np.array(VALUES_2D), -np.array(VALUES_2D)], axis=2)
    monkeypatch.setattr(quillvane, "shap", FakeShap(values, np.array([0.2, 0.8])))
    table, base = extract("model", X3, "rf")
    np.testing.assert_allclose(table["coefficients"].to_numpy(dtype=float), log_mean_exp(np.array(VALUES_2D)))
    assert base == pytest.approx(0.2)


@pytest.mark.parametrize("expected_value", [0.3, np.float64(0.3)])
def test_rf_with_single_output_values_is_numpys_index_error(monkeypatch, expected_value):
    monkeypatch.setattr(quillvane, "shap", FakeShap(VALUES_2D, expected_value))
    with pytest.raises(IndexError) as e:
        extract("model", X3, "rf")
    assert "tessaly.quillvane._extract_shap_coefficients" in [f.name for f in traceback.extract_tb(e.value.__traceback__)]


@pytest.mark.parametrize("expected_value, base", [(1000.0, np.inf), (-1000.0, -np.inf), (-2.5, -2.5)])
def test_base_value_is_log_of_exp(monkeypatch, expected_value, base):
    monkeypatch.setattr(quillvane, "shap", FakeShap(VALUES_2D, expected_value))
    with np.errstate(over="ignore", divide="ignore"):
        _, got = extract("model", X3, "xgb")
    assert got == base


def test_predictor_names_drop_the_last_two_characters(monkeypatch):
    X = pd.DataFrame(np.zeros((3, 4)), columns=["age_1", "age_12", "xy", "x"])
    monkeypatch.setattr(quillvane, "shap", FakeShap(np.zeros((3, 4)), 0.0))
    table, _ = extract("model", X, "xgb")
    assert list(table["predictor_var"]) == ["age", "age_", "", ""]


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


# --- WoE merge -----------------------------------------------------------------


def coefficients(data):
    names = list(data.X_test.columns)
    return pd.DataFrame(
        {"feature": names, "coefficients": np.linspace(-0.1, 0.2, len(names)), "predictor_var": [n[:-2] for n in names]}
    )


def test_merge_joins_bins_and_woe(credit_set):
    shap_table = coefficients(credit_set)
    result = merge(credit_set.predictors + ["target"], "target", shap_table, credit_set.input_ref_df,
                   credit_set.bins_directory)
    assert list(result.columns) == MERGED_COLUMNS
    assert result.index.equals(pd.RangeIndex(len(shap_table)))
    pd.testing.assert_frame_equal(result[["feature", "coefficients", "predictor_var"]], shap_table, check_dtype=False)
    for predictor in credit_set.predictors:
        rows = result[result["predictor_var"] == predictor]
        table = credit_set.binning_tables[predictor].set_index("Bin")
        labels = table.index[:-2]
        assert list(rows["input_value"]) == list(labels) and list(rows["Bin"]) == list(labels)
        np.testing.assert_allclose(rows["WoE"], table.loc[labels, "WoE"])
        np.testing.assert_allclose(rows["Distribution"], table.loc[labels, "Count (%)"])
        np.testing.assert_allclose(rows["Event_rate"], table.loc[labels, "Event rate"])


def test_rows_follow_the_predictor_list(credit_set):
    result = merge(["tenure", "age"], "target", coefficients(credit_set), credit_set.input_ref_df,
                   credit_set.bins_directory)
    assert list(result["feature"]) == credit_set.features("tenure") + credit_set.features("age")


def test_infinite_woe_becomes_zero_and_missing_stays(make_credit_set):
    data = make_credit_set(infinite_woe=True)
    ref = data.input_ref_df.copy()
    ref.loc[1, "age"] = "[not a bin)"
    result = merge(["age"], "target", coefficients(data), ref, data.bins_directory)
    woe = data.binning_tables["age"]["WoE"]
    assert result["WoE"][0] == 0.0 and result["WoE"][3] == 0.0
    assert np.isnan(result["WoE"][1]) and pd.isna(result["Bin"][1]) and np.isnan(result["Distribution"][1])
    assert result["WoE"][2] == woe[2]


def test_reference_rows_decide_the_row_count(credit_set):
    ref = credit_set.input_ref_df.copy()
    ref.loc[0, "age_RF"] = np.nan  # age_0 loses its bin
    ref = pd.concat([ref, ref.iloc[[1, 1]]], ignore_index=True)  # age_1 appears three times
    result = merge(["age"], "target", coefficients(credit_set), ref, credit_set.bins_directory)
    assert list(result["feature"]) == ["age_0", "age_1", "age_1", "age_1", "age_2", "age_3"]
    assert result.loc[0, ["input_value", "Bin", "WoE", "Distribution", "Event_rate"]].isna().all()
    assert result["coefficients"][1] == result["coefficients"][3]


def test_predictor_without_coefficients_still_reads_its_file(credit_set):
    shap_table = coefficients(credit_set)
    result = merge(["age", "income"], "target", shap_table[shap_table.predictor_var != "income"],
                   credit_set.input_ref_df, credit_set.bins_directory)
    assert list(result["predictor_var"].unique()) == ["age"]
    os.remove(os.path.join(credit_set.bins_directory, "income.pkl"))
    with pytest.raises(FileNotFoundError):
        merge(["age", "income"], "target", shap_table[shap_table.predictor_var != "income"],
              credit_set.input_ref_df, credit_set.bins_directory)


def test_non_str_predictor_names_the_file_by_format(credit_set):
    class Alias(str):
        def __format__(self, spec):
            return "age_alias"

    shutil.move(os.path.join(credit_set.bins_directory, "age.pkl"),
                os.path.join(credit_set.bins_directory, "age_alias.pkl"))
    result = merge([Alias("age")], "target", coefficients(credit_set), credit_set.input_ref_df,
                   credit_set.bins_directory)
    assert len(result) == 4


@pytest.mark.parametrize(
    "predictors, break_it, error",
    [
        ([], None, TypeError),
        (["target"], None, TypeError),
        (["age"], "no file", FileNotFoundError),
        (["age"], "no column", KeyError),
        (["age"], "no reference", KeyError),
        ([7], None, TypeError),
    ],
)
def test_merge_failures(credit_set, predictors, break_it, error):
    ref = credit_set.input_ref_df
    path = os.path.join(credit_set.bins_directory, "age.pkl")
    if break_it == "no file":
        os.remove(path)
    elif break_it == "no column":
        credit_set.binning_tables["age"].drop(columns="Event rate").to_pickle(path)
    elif break_it == "no reference":
        ref = ref.drop(columns="age_RF")
    with pytest.raises(error) as e:
        merge(predictors, "target", coefficients(credit_set), ref, credit_set.bins_directory)
    if not predictors or predictors == ["target"]:
        assert str(e.value) == "'NoneType' object is not subscriptable"
    assert "tessaly.quillvane._merge_woe_data" in [f.name for f in traceback.extract_tb(e.value.__traceback__)]


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
    merge(["age", "target", "tenure"], "target", coefficients(credit_set), credit_set.input_ref_df,
          credit_set.bins_directory)
    names = [(name, kwargs) for name, _, kwargs in calls]
    per_predictor = [("merge", ["on", "how"]), ("read_pickle", []), ("merge", ["left_on", "right_on", "how"])]
    assert names == per_predictor + per_predictor + [("concat", ["axis", "ignore_index"])]
    assert calls[1][1] == (os.path.join(credit_set.bins_directory, "age.pkl"),)
    assert list(calls[0][1][0].columns) == ["input_value", "feature"]
    assert list(calls[2][1][0].columns) == ["Bin", "WoE", "Distribution", "Event_rate"]
