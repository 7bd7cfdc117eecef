"""The scorecard driver and input validation."""

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


@pytest.mark.parametrize(
    "bins, target, model, message",
    [
        # All three wrong: the directory is reported first.
        ("missing", "nope", None, "BINS_DIRECTORY does not exist: {tmp}/missing"),
        ("", "target", object(), "BINS_DIRECTORY does not exist: "),
        ("dir", "Target", None, "Target variable 'Target' not found in training_df"),
        ("dir", "target", None, "model_instance cannot be None"),
        # Only None is refused as a model, and a plain file passes as the directory.
        ("dir/", "target", 0, None),
        ("file.txt", "target", False, None),
    ],
)
def test_validation_reports_first_failing_check(tmp_path, bins, target, model, message):
    (tmp_path / "dir").mkdir()
    (tmp_path / "file.txt").write_text("")
    args = (model, pd.DataFrame({"target": [0]}), None, bins and f"{tmp_path}/{bins}", target)
    if message is None:
        assert quillvane._validate_inputs(*args) is None
    else:
        with pytest.raises(ValueError) as e:
            quillvane._validate_inputs(*args)
        assert e.value.args == (message.format(tmp=tmp_path),)


class Steps:
    """Rebinds the private steps with recorders; validation runs as built."""

    def __init__(self, monkeypatch, shap_result=None):
        self.calls = []
        self.shap_result = shap_result
        for name in STEPS:
            real = name == "_validate_inputs"
            function = getattr(quillvane, name) if real else getattr(self, name.lstrip("_"))
            monkeypatch.setattr(quillvane, name, self._record(name, function))

    def _record(self, name, function):
        def step(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return function(*args, **kwargs)

        return step

    def args(self, name):
        (args,) = [a for n, a, _ in self.calls if n == name]
        return args

    def extract_shap_coefficients(self, model, X_test, technique):
        if self.shap_result is not None:
            return self.shap_result
        names = list(X_test.columns)
        return pd.DataFrame({"feature": names, "coefficients": 0.1, "predictor_var": [n[:-2] for n in names]}), 0.5

    def merge_woe_data(self, predictors, target_var, shap_coefficients_df, *args):
        return shap_coefficients_df.assign(WoE=1.0, Distribution=0.25)

    def calculate_credit_scores(self, df, *args):
        return df.assign(predictor_variables=df["predictor_var"], CreditScore=np.arange(len(df), dtype=float))

    def save_artifacts(self, *args):
        return None

    generate_plots = save_artifacts


def build(data, bins=None, **options):
    return quillvane.createQuillvane(
        "model", data.training_df, data.X_test, data.input_ref_df, bins or data.bins_directory, **options
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
        "model",
        credit_set.training_df,
        credit_set.X_test,
        credit_set.bins_directory,
        "target",
    )
    assert steps.args("_extract_shap_coefficients") == ("model", credit_set.X_test, "xgb")
    merge = steps.args("_merge_woe_data")
    assert merge[1] == "target" and merge[3] is credit_set.input_ref_df and merge[4] == credit_set.bins_directory
    assert steps.args("_calculate_credit_scores")[1:] == (predictors, 0.5, 20, 200, 15, 1)
    scorecard, model, *saving = steps.args("_save_artifacts")
    assert (model, saving) == ("model", ["QUILLVANE/", "MODEL_SHAP/", "Tavelin_model"])
    plotted, plot_vars, *plotting = steps.args("_generate_plots")
    assert plotting == ["target", "CREDITSCORE_PLOTS_SHAP/", "N"]
    # One list travels through the steps, and one scorecard to the outputs and back.
    assert steps.args("_calculate_credit_scores")[1] is predictors and plot_vars is predictors
    assert plotted is scorecard and result is scorecard

    assert warnings.filters[0][:4] == ("ignore", None, Warning, None)
    assert capsys.readouterr().out == BANNER


@pytest.mark.parametrize(
    "options, shap, scores, save, plot",
    [
        (
            dict(
                show_plots="Y",
                target_var="target",
                pdo_parm=40,
                target_credit_score=600,
                target_odds=50,
                model_name="m1",
                assume_higher_prob_bad_rate=0,
                technique="rf",
                plots_directory="p",
                scorecard_directory="s/",
                model_directory="m",
                pdo=99,
                unrelated="ignored",
            ),
            "rf",
            (40, 600, 50, 0),
            ("s/", "m/", "m1"),
            ("target", "p/", "Y"),
        ),
        # A present key wins even when it holds None.
        (
            dict(model_name=None, pdo_parm=None, show_plots=None),
            "xgb",
            (None, 200, 15, 1),
            ("QUILLVANE/", "MODEL_SHAP/", None),
            ("target", "CREDITSCORE_PLOTS_SHAP/", None),
        ),
    ],
)
def test_options_reach_the_steps(credit_set, monkeypatch, options, shap, scores, save, plot):
    steps = Steps(monkeypatch)
    build(credit_set, **options)
    assert steps.args("_extract_shap_coefficients")[2] == shap
    assert steps.args("_calculate_credit_scores")[3:] == scores
    assert steps.args("_save_artifacts")[2:] == save
    assert steps.args("_generate_plots")[2:] == plot


@pytest.mark.parametrize("given, passed", [("out/", "out/"), ("out", "out/"), ("out\\", "out\\/"), ("", "/")])
def test_output_directories_get_one_trailing_slash(credit_set, monkeypatch, given, passed):
    steps = Steps(monkeypatch)
    # The bins directory, by contrast, is passed as given.
    bins = credit_set.bins_directory + "/"
    build(credit_set, bins, plots_directory=given, scorecard_directory=given, model_directory=given)
    assert steps.args("_save_artifacts")[2:4] == (passed, passed)
    assert steps.args("_generate_plots")[3] == passed
    assert steps.args("_validate_inputs")[3] == bins and steps.args("_merge_woe_data")[4] == bins


@pytest.mark.parametrize("value, silenced", [("Y", False), ("y", True), (True, True)])
def test_show_warnings(credit_set, monkeypatch, value, silenced):
    Steps(monkeypatch)
    warnings.simplefilter("default")
    before = list(warnings.filters)
    build(credit_set, show_warnings=value)
    if silenced:
        assert warnings.filters[0][:4] == ("ignore", None, Warning, None) and warnings.filters[1:] == before
    else:
        assert warnings.filters == before


def gen(n):
    yield from range(n)


TABLE = pd.DataFrame({"feature": ["age_0"], "coefficients": [0.1], "predictor_var": ["age"]})


@pytest.mark.parametrize(
    "result, message",
    [
        ((), "need more than 0 values to unpack"),
        ([1], "need more than 1 value to unpack"),
        ((1, 2, 3), r"too many values to unpack \(expected 2\)"),
        (gen(1), "need more than 1 value to unpack"),
        (gen(3), r"too many values to unpack \(expected 2\)"),
        (iter([TABLE, 0.25]), None),  # any two-item iterable unpacks
        (pd.Series([TABLE, 0.25]), None),
    ],
)
def test_shap_result_must_unpack_into_two(credit_set, monkeypatch, result, message):
    steps = Steps(monkeypatch, shap_result=result)
    if message is None:
        build(credit_set)
        assert steps.args("_merge_woe_data")[2] is TABLE and steps.args("_calculate_credit_scores")[2] == 0.25
        return
    with pytest.raises(ValueError, match=f"^{message}$"):
        build(credit_set)
    assert "_merge_woe_data" not in [name for name, _, _ in steps.calls]


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
    merges = []

    class Pandas:
        def __getattr__(self, name):
            return getattr(pd, name)

        def merge(self, *args, **kwargs):
            merges.append((len(args), list(kwargs.items())))
            return pd.merge(*args, **kwargs)

    monkeypatch.setattr(quillvane, "pd", Pandas())
    result = build(credit_set)
    assert merges == [(2, [("on", "predictor_variables"), ("how", "left")])]
    # The driver's column lands on the step's own table too.
    assert list(scores["Distribution_X_Score"]) == [10.0, 60.0, 5.0, 5.0, 15.0]
    assert list(result.columns) == [*scores.columns, "Neutral_CreditScore"]
    assert list(result["keep"]) == [1, 2, 3, 4, 5]
    np.testing.assert_array_equal(result["Neutral_CreditScore"], [70.0, 70.0, 20.0, np.nan, 20.0])
    assert steps.args("_save_artifacts")[0] is result


def test_end_to_end_with_xgboost(credit_set, xgb_model, tmp_path, capsys):
    scorecard = quillvane.createQuillvane(
        xgb_model,
        credit_set.training_df,
        credit_set.X_test,
        credit_set.input_ref_df,
        credit_set.bins_directory,
        plots_directory=str(tmp_path / "plots"),
        scorecard_directory=str(tmp_path / "cards"),
        model_directory=str(tmp_path / "models"),
        model_name="xgb_card",
    )
    out = capsys.readouterr().out
    assert out.endswith(BANNER)
    assert f"Scorecard saved to: {tmp_path}/cards/" in out
    assert [f"Plot for {p} generated" in out for p in credit_set.predictors] == [True] * 4

    assert len(scorecard) == len(credit_set.X_test.columns)
    assert list(scorecard.columns[-2:]) == ["Distribution_X_Score", "Neutral_CreditScore"]
    pd.testing.assert_frame_equal(pd.read_pickle(tmp_path / "cards" / "credit_scores_df.pkl"), scorecard)
    assert (tmp_path / "models" / "xgb_card.sav").exists()
    neutral = (scorecard["Distribution"] * scorecard["CreditScore"]).groupby(scorecard["predictor_variables"]).sum()
    assert np.allclose(scorecard["Neutral_CreditScore"], scorecard["predictor_variables"].map(neutral))
