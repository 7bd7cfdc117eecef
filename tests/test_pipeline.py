"""The scorecard driver and input validation."""

import os
import pathlib
import traceback
import warnings

import numpy as np
import pandas as pd
import pytest

from tessaly import quillvane

STEPS = [
    "_validate_inputs",
    "_extract_shap_coefficients",
    "_merge_woe_data",
    "_calculate_credit_scores",
    "_save_artifacts",
    "_generate_plots",
]
BANNER = "\n Scorecard Build Complete! \n\n"


def entry_names(exc_info):
    return [frame.name for frame in traceback.extract_tb(exc_info.value.__traceback__)]


# --- validation ----------------------------------------------------------------


@pytest.mark.parametrize(
    "bins, target, model, message",
    [
        # All three wrong: the directory is reported first.
        ("missing", "nope", None, "BINS_DIRECTORY does not exist: {tmp}/missing"),
        ("", "target", object(), "BINS_DIRECTORY does not exist: "),
        ("dir", "Target", None, "Target variable 'Target' not found in training_df"),
        ("dir", "target", None, "model_instance cannot be None"),
    ],
)
def test_validation_reports_first_failing_check(tmp_path, bins, target, model, message):
    (tmp_path / "dir").mkdir()
    bins_directory = "" if bins == "" else f"{tmp_path}/{bins}"
    training_df = pd.DataFrame({"age": [1], "target": [0]})
    with pytest.raises(ValueError) as e:
        quillvane._validate_inputs(model, training_df, None, bins_directory, target)
    assert e.value.args == (message.format(tmp=tmp_path),)
    assert type(e.value) is ValueError
    assert "tessaly.quillvane._validate_inputs" in entry_names(e)


@pytest.mark.parametrize("model", [0, [], False, "m"])
@pytest.mark.parametrize("bins", ["dir", "dir/", "file.txt"])
def test_validation_passes_falsy_models_files_and_any_x_test(tmp_path, model, bins):
    (tmp_path / "dir").mkdir()
    (tmp_path / "file.txt").write_text("")
    training_df = pd.DataFrame({"target": [0]})
    assert quillvane._validate_inputs(model, training_df, None, f"{tmp_path}/{bins}", "target") is None


def test_validation_looks_os_up_at_use_and_lets_its_errors_through(tmp_path, monkeypatch):
    class Path:
        def exists(self, p):
            raise PermissionError(p)

    class FakeOs:
        path = Path()

    monkeypatch.setattr(quillvane, "os", FakeOs())
    with pytest.raises(PermissionError) as e:
        quillvane._validate_inputs(1, pd.DataFrame({"target": [0]}), None, str(tmp_path), "target")
    assert e.value.args == (str(tmp_path),)


# --- driver: steps rebound with recorders ----------------------------------------


class Steps:
    """Rebinds the private steps with recorders; `real` names steps that run as built."""

    def __init__(self, monkeypatch, real=("_validate_inputs",), shap_result=None):
        self.calls = []
        self.shap_result = shap_result
        for name in STEPS:
            original = getattr(quillvane, name)
            fake = getattr(self, name.lstrip("_"))
            monkeypatch.setattr(quillvane, name, self._record(name, original if name in real else fake))

    def _record(self, name, function):
        def step(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return function(*args, **kwargs)

        return step

    def args(self, name):
        (args,) = [a for n, a, _ in self.calls if n == name]
        return args

    def validate_inputs(self, *args):
        return None

    def extract_shap_coefficients(self, model, X_test, technique):
        if self.shap_result is not None:
            return self.shap_result
        names = list(X_test.columns)
        table = pd.DataFrame({"feature": names, "coefficients": 0.1, "predictor_var": [n[:-2] for n in names]})
        return table, 0.5

    def merge_woe_data(self, LIST_BIN_VARS, target_var, shap_coefficients_df, input_ref_df, BINS_DIRECTORY):
        return shap_coefficients_df.assign(WoE=1.0, Distribution=0.25)

    def calculate_credit_scores(self, final_coefficients_df, *args):
        return final_coefficients_df.assign(
            predictor_variables=final_coefficients_df["predictor_var"],
            CreditScore=np.arange(len(final_coefficients_df), dtype=float),
        )

    def save_artifacts(self, *args):
        return None

    def generate_plots(self, *args):
        return None


def build(data, **options):
    return quillvane.createQuillvane(
        "model", data.training_df, data.X_test, data.input_ref_df, data.bins_directory, **options
    )


def test_defaults_order_and_positional_arguments(credit_set, monkeypatch, capsys):
    steps = Steps(monkeypatch)
    warnings.simplefilter("default")
    result = build(credit_set)

    assert [name for name, _, _ in steps.calls] == STEPS
    assert all(kwargs == {} for _, _, kwargs in steps.calls)
    predictors = steps.args("_merge_woe_data")[0]
    assert predictors == ["age", "income", "debt_ratio", "tenure"]
    assert steps.args("_validate_inputs") == (
        "model", credit_set.training_df, credit_set.X_test, credit_set.bins_directory, "target")
    assert steps.args("_extract_shap_coefficients") == ("model", credit_set.X_test, "xgb")
    merge = steps.args("_merge_woe_data")
    assert merge[1] == "target" and merge[3] is credit_set.input_ref_df and merge[4] == credit_set.bins_directory
    assert steps.args("_calculate_credit_scores")[1:] == (predictors, 0.5, 20, 200, 15, 1)
    scorecard, model, *saving = steps.args("_save_artifacts")
    assert (model, saving) == ("model", ["QUILLVANE/", "MODEL_SHAP/", "Tavelin_model"])
    plotted, plot_vars, *plotting = steps.args("_generate_plots")
    assert plotting == ["target", "CREDITSCORE_PLOTS_SHAP/", "N"]
    # One list object travels through the steps, and one scorecard to the outputs and back.
    assert steps.args("_calculate_credit_scores")[1] is predictors and plot_vars is predictors
    assert plotted is scorecard and result is scorecard

    assert warnings.filters[0][0] == "ignore" and warnings.filters[0][2] is Warning
    assert capsys.readouterr().out == BANNER


def test_options_reach_the_steps(credit_set, monkeypatch, tmp_path):
    steps = Steps(monkeypatch)
    options = dict(
        show_plots="Y", target_var="target", pdo_parm=40, target_credit_score=600, target_odds=50,
        model_name="m1", assume_higher_prob_bad_rate=0, technique="rf",
        plots_directory=f"{tmp_path}/p", scorecard_directory=f"{tmp_path}/s/", model_directory=f"{tmp_path}/m",
        pdo=99, unrelated="ignored",
    )
    build(credit_set, **options)
    assert steps.args("_extract_shap_coefficients")[2] == "rf"
    assert steps.args("_calculate_credit_scores")[3:] == (40, 600, 50, 0)
    assert steps.args("_save_artifacts")[2:] == (f"{tmp_path}/s/", f"{tmp_path}/m/", "m1")
    assert steps.args("_generate_plots")[2:] == ("target", f"{tmp_path}/p/", "Y")


def test_a_present_key_overrides_even_with_none(credit_set, monkeypatch):
    steps = Steps(monkeypatch)
    build(credit_set, model_name=None, pdo_parm=None, show_plots=None)
    assert steps.args("_save_artifacts")[4] is None
    assert steps.args("_calculate_credit_scores")[3] is None
    assert steps.args("_generate_plots")[4] is None


@pytest.mark.parametrize(
    "given, passed",
    [("out/", "out/"), ("out", "out/"), ("out\\", "out\\/"), ("", "/"), ("a/b", "a/b/")],
)
def test_output_directories_get_one_trailing_slash(credit_set, monkeypatch, given, passed):
    steps = Steps(monkeypatch)
    build(credit_set, plots_directory=given, scorecard_directory=given, model_directory=given)
    assert steps.args("_save_artifacts")[2:4] == (passed, passed)
    assert steps.args("_generate_plots")[3] == passed


@pytest.mark.parametrize("bins", ["{tmp}/bins", "{tmp}/bins/"])
def test_bins_directory_is_passed_unchanged(credit_set, monkeypatch, tmp_path, bins):
    steps = Steps(monkeypatch)
    bins = bins.format(tmp=os.path.dirname(credit_set.bins_directory))
    quillvane.createQuillvane("model", credit_set.training_df, credit_set.X_test, credit_set.input_ref_df, bins)
    assert steps.args("_validate_inputs")[3] == bins and steps.args("_merge_woe_data")[4] == bins


def test_path_objects(credit_set, monkeypatch):
    steps = Steps(monkeypatch)
    path = pathlib.Path(credit_set.bins_directory)
    with pytest.raises(TypeError, match="BINS_DIRECTORY"):
        quillvane.createQuillvane("model", credit_set.training_df, credit_set.X_test, credit_set.input_ref_df, path)
    with pytest.raises(AttributeError, match="endswith"):
        build(credit_set, plots_directory=path)
    assert steps.calls == []


@pytest.mark.parametrize("value, silenced", [("Y", False), ("y", True), ("yes", True), (True, True), ("N", True)])
def test_show_warnings(credit_set, monkeypatch, value, silenced):
    Steps(monkeypatch)
    warnings.simplefilter("default")
    before = list(warnings.filters)
    build(credit_set, show_warnings=value)
    if silenced:
        assert warnings.filters[0][:4] == ("ignore", None, Warning, None)
        assert warnings.filters[1:] == before
    else:
        assert warnings.filters == before


def test_predictor_list_of_a_target_only_table(monkeypatch, tmp_path):
    steps = Steps(monkeypatch)
    training_df = pd.DataFrame({"target": [0, 1]})
    quillvane.createQuillvane("model", training_df, pd.DataFrame({"ab_1": [1, 0]}), None, str(tmp_path))
    assert steps.args("_merge_woe_data")[0] == []


def test_unknown_target_stops_at_validation(credit_set, monkeypatch):
    steps = Steps(monkeypatch)
    with pytest.raises(ValueError, match="^Target variable 'bad' not found in training_df$") as e:
        build(credit_set, target_var="bad")
    assert [name for name, _, _ in steps.calls] == ["_validate_inputs"]
    names = entry_names(e)
    assert names.index("tessaly.quillvane.createQuillvane") < names.index("tessaly.quillvane._validate_inputs")


def gen(n):
    yield from range(n)


@pytest.mark.parametrize(
    "result, message",
    [
        ((), "need more than 0 values to unpack"),
        ((1,), "need more than 1 value to unpack"),
        ([1], "need more than 1 value to unpack"),
        ((1, 2, 3), r"too many values to unpack \(expected 2\)"),
        ([1, 2, 3, 4], r"too many values to unpack \(expected 2\)"),
        (gen(0), "need more than 0 values to unpack"),
        (gen(1), "need more than 1 value to unpack"),
        (gen(3), r"too many values to unpack \(expected 2\)"),
        ("abc", r"too many values to unpack \(expected 2\)"),
    ],
)
def test_shap_result_must_unpack_into_two(credit_set, monkeypatch, result, message):
    steps = Steps(monkeypatch, shap_result=result)
    with pytest.raises(ValueError, match=f"^{message}$") as e:
        build(credit_set)
    assert "tessaly.quillvane.createQuillvane" in entry_names(e)
    assert "_merge_woe_data" not in [name for name, _, _ in steps.calls]


@pytest.mark.parametrize("kind", [list, iter, pd.Series])
def test_any_two_item_iterable_unpacks(credit_set, monkeypatch, kind):
    table = pd.DataFrame({"feature": ["age_0"], "coefficients": [0.1], "predictor_var": ["age"]})
    steps = Steps(monkeypatch, shap_result=kind([table, 0.25]))
    build(credit_set)
    assert steps.args("_merge_woe_data")[2] is table
    assert steps.args("_calculate_credit_scores")[2] == 0.25


def test_rebound_step_is_the_one_called(credit_set, monkeypatch):
    steps = Steps(monkeypatch)
    marker = pd.DataFrame({"predictor_var": ["x", "x", "y"], "WoE": 0.0, "Distribution": [0.5, 0.5, 1.0]})
    monkeypatch.setattr(quillvane, "_merge_woe_data", lambda *args: marker)
    build(credit_set)
    assert steps.args("_calculate_credit_scores")[0] is marker


def test_missing_step_is_a_name_error(credit_set, monkeypatch):
    steps = Steps(monkeypatch)
    monkeypatch.delattr(quillvane, "_save_artifacts")
    with pytest.raises(NameError, match="^name '_save_artifacts' is not defined$"):
        build(credit_set)
    assert steps.calls[-1][0] == "_calculate_credit_scores"


def test_neutral_score_is_the_population_weighted_score(credit_set, monkeypatch):
    steps = Steps(monkeypatch)
    scores = pd.DataFrame(
        {
            "predictor_variables": ["b", "b", "a", np.nan, "a"],
            "Distribution": [0.25, 0.75, 0.5, 1.0, 0.5],
            "CreditScore": [40.0, 80.0, 10.0, 5.0, 30.0],
            "keep": [1, 2, 3, 4, 5],
        }
    )
    monkeypatch.setattr(quillvane, "_calculate_credit_scores", lambda *args: scores)
    result = build(credit_set)
    # The driver's column lands on the step's own table too.
    assert list(scores["Distribution_X_Score"]) == [10.0, 60.0, 5.0, 5.0, 15.0]
    assert list(result.columns) == [*scores.columns, "Neutral_CreditScore"]
    assert list(result["keep"]) == [1, 2, 3, 4, 5]
    assert result["Neutral_CreditScore"].tolist()[:3] == [70.0, 70.0, 20.0]
    assert np.isnan(result["Neutral_CreditScore"][3]) and result["Neutral_CreditScore"][4] == 20.0
    assert steps.args("_save_artifacts")[0] is result


def test_merge_is_called_through_pd(credit_set, monkeypatch):
    Steps(monkeypatch)
    merges = []

    class Pandas:
        def __getattr__(self, name):
            return getattr(pd, name)

        def merge(self, *args, **kwargs):
            merges.append((len(args), list(kwargs.items())))
            return pd.merge(*args, **kwargs)

    monkeypatch.setattr(quillvane, "pd", Pandas())
    build(credit_set)
    assert merges == [(2, [("on", "predictor_variables"), ("how", "left")])]


@pytest.mark.parametrize(
    "option, value, message",
    [
        ("pdo_parm", 20.0, r"Argument 'pdo' has incorrect type \(expected int, got float\)"),
        ("assume_higher_prob_bad_rate", True,
         r"Argument 'assume_higher_prob_bad_rate' has incorrect type \(expected int, got bool\)"),
    ],
)
def test_bad_option_fails_at_the_step_that_receives_it(credit_set, xgb_model, monkeypatch, option, value, message):
    steps = Steps(monkeypatch, real=STEPS[:4])
    with pytest.raises(TypeError, match=message):
        quillvane.createQuillvane(xgb_model, credit_set.training_df, credit_set.X_test, credit_set.input_ref_df,
                                  credit_set.bins_directory, **{option: value})
    assert [name for name, _, _ in steps.calls] == STEPS[:4]


# --- end to end ----------------------------------------------------------------


def test_end_to_end_with_xgboost(credit_set, xgb_model, tmp_path, capsys):
    scorecard = quillvane.createQuillvane(
        xgb_model, credit_set.training_df, credit_set.X_test, credit_set.input_ref_df, credit_set.bins_directory,
        plots_directory=str(tmp_path / "plots"), scorecard_directory=str(tmp_path / "cards"),
        model_directory=str(tmp_path / "models"), model_name="xgb_card",
    )
    out = capsys.readouterr().out
    assert out.endswith(BANNER)
    assert f"Scorecard saved to: {tmp_path}/cards/" in out
    assert [f"Plot for {p} generated" in out for p in credit_set.predictors] == [True] * 4

    assert isinstance(scorecard, pd.DataFrame)
    assert len(scorecard) == len(credit_set.X_test.columns)
    assert list(scorecard.columns[-2:]) == ["Distribution_X_Score", "Neutral_CreditScore"]
    pd.testing.assert_frame_equal(pd.read_pickle(tmp_path / "cards" / "credit_scores_df.pkl"), scorecard)
    assert (tmp_path / "cards" / "credit_scores_df.csv").exists()
    assert (tmp_path / "models" / "xgb_card.sav").exists()
    neutral = (scorecard["Distribution"] * scorecard["CreditScore"]).groupby(scorecard["predictor_variables"]).sum()
    assert np.allclose(scorecard["Neutral_CreditScore"], scorecard["predictor_variables"].map(neutral))
