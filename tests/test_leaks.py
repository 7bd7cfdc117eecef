"""Repeated calls keep memory and the reference counts of their inputs flat."""

import gc
import sys
import tracemalloc

import pandas as pd
import pytest
import synthetic

from tessaly import quillvane

# Bytes of Python-level memory that many repeated calls may leave behind (caches
# that settle, interned keyword names); a leak of one object per call exceeds it.
GROWTH_BOUND = 96 * 1024
# Calls through pandas leave more: copy-on-write keeps a list of weak references to
# every view of a table, pruned only every few hundred entries, so repeated calls on
# one input table rise and fall by up to ~150 KiB. A leaked intermediate table per
# call (kilobytes each, hundreds of calls) still exceeds this.
LIBRARY_GROWTH_BOUND = 512 * 1024


def refcounts(objects):
    # Garbage from earlier tests (a kept traceback, say) may still hold the inputs.
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


def growth(call, times, warm_up=10):
    """Python memory left behind by `times` calls, after a warm-up.

    The warm-up runs under tracing too: caches that replace their contents would
    otherwise count their new blocks but not the freed untraced ones.
    """
    tracemalloc.start()
    try:
        for _ in range(warm_up):
            call()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(times):
            call()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


def expect_error(call, exc_type):
    def run():
        try:
            call()
        except exc_type:
            return
        raise AssertionError("no error")

    return run


class Hostile:
    def __float__(self):
        raise ZeroDivisionError("no float here")


DF = pd.DataFrame({"a": [1.0]})
ITEMS = [DF, [], "text", 20, 0.5, Hostile(), object()]


def binding_errors():
    df, lst, text, num, real, hostile, anything = ITEMS
    q = quillvane
    return [
        (lambda: q.count_zeros_before_non_zero(), TypeError),
        (lambda: q.count_zeros_before_non_zero(hostile), ZeroDivisionError),
        (lambda: q.count_zeros_before_non_zero(text), TypeError),
        (lambda: q._validate_inputs(anything, df, df, text), TypeError),
        (lambda: q._validate_inputs(anything, df, df, text, target=text), TypeError),
        (lambda: q._validate_inputs(anything, df, df, BINS_DIRECTORY=num, target_var=text), TypeError),
        (lambda: q._extract_shap_coefficients(anything, df, technique=lst), TypeError),
        (lambda: q._merge_woe_data(lst, text, df, df, text, lst), TypeError),
        (lambda: q._merge_woe_data(tuple(lst), text, df, df, text), TypeError),
        (lambda: q._calculate_credit_scores(df, lst, hostile, num, num, num, num), ZeroDivisionError),
        (lambda: q._calculate_credit_scores(df, lst, real, num, num, num, True), TypeError),
        (lambda: q._save_artifacts(df, anything, text, text, model_name=num), TypeError),
        (lambda: q._generate_plots(df, lst, text, text, show_plots=None), TypeError),
        (lambda: q.createQuillvane(anything, df, df, df, text, model=anything), TypeError),
        (lambda: q.createQuillvane(anything, df, df, df, BINS_DIRECTORY=lst, pdo_parm=num), TypeError),
    ]


# Every function binds its arguments the same way: a missing argument, a hostile one, an unknown keyword and one
# given twice stand for the rest in the quick run.
QUICK_BINDINGS = (0, 1, 4, 13)


@pytest.mark.parametrize(
    "index",
    [i if i in QUICK_BINDINGS else pytest.param(i, marks=pytest.mark.slow) for i in range(len(binding_errors()))],
)
def test_binding_error_paths(index):
    call, exc_type = binding_errors()[index]
    before = refcounts(ITEMS)
    assert growth(expect_error(call, exc_type), 3000) < GROWTH_BOUND
    assert refcounts(ITEMS) == before


@pytest.fixture(scope="module")
def small_set(tmp_path_factory):
    data = synthetic.make_credit_set(tmp_path_factory.mktemp("leaks"), n_train=300, n_test=40)
    return data, synthetic.train_xgboost(data)


def body_calls(data, model, out):
    """One successful call of every function, on a small real credit set."""
    q = quillvane
    bins, preds = data.bins_directory, data.predictors
    coefficients, base = q._extract_shap_coefficients(model, data.X_test, "xgb")
    merged = q._merge_woe_data(preds, "target", coefficients, data.input_ref_df, bins)
    scores = q._calculate_credit_scores(merged, preds, base, 20, 200, 15, 1)
    scores["Distribution_X_Score"] = scores["Distribution"] * scores["CreditScore"]
    scores["Neutral_CreditScore"] = 1.0
    return [
        lambda: q.count_zeros_before_non_zero(0.00123),
        lambda: q._validate_inputs(model, data.training_df, data.X_test, bins, "target"),
        lambda: q._extract_shap_coefficients(model, data.X_test, "xgb"),
        lambda: q._merge_woe_data(preds, "target", coefficients, data.input_ref_df, bins),
        lambda: q._calculate_credit_scores(merged, preds, base, 20, 200, 15, 0),
        lambda: q._save_artifacts(scores, model, f"{out}/card/", f"{out}/model/", "m"),
        lambda: q._generate_plots(scores, preds, "target", f"{out}/plots/", "N"),
        lambda: q.createQuillvane(
            model,
            data.training_df,
            data.X_test,
            data.input_ref_df,
            bins,
            show_warnings="Y",
            plots_directory=f"{out}/p",
            scorecard_directory=f"{out}/s",
            model_directory=f"{out}/m",
        ),
    ], [model, data.training_df, data.X_test, data.input_ref_df, bins, coefficients, merged, scores, preds]


# The bodies that take a model cost seconds per hundred calls: a leak there is looked for in the slow run;
# the binding paths above and the light bodies here stand in for them in the quick one.
SUCCESS_CALLS = [
    (0, 20000),
    (1, 2000),
    (5, 100),
    *(pytest.param(i, n, marks=pytest.mark.slow) for i, n in [(2, 100), (3, 200), (4, 100), (6, 100), (7, 300)]),
]


@pytest.mark.parametrize("index, times", SUCCESS_CALLS)
def test_success_paths(small_set, tmp_path, capsys, index, times):
    data, model = small_set
    calls, inputs = body_calls(data, model, tmp_path)
    before = refcounts(inputs)
    assert growth(calls[index], times) < (GROWTH_BOUND if index == 0 else LIBRARY_GROWTH_BOUND)
    capsys.readouterr()
    assert refcounts(inputs) == before


@pytest.mark.slow
def test_body_error_paths_release_what_they_hold(small_set, tmp_path):
    data, model = small_set
    q = quillvane
    missing = str(tmp_path / "missing")
    no_rows = data.input_ref_df.drop(columns=[f"{data.predictors[0]}_RF"])
    errors = [
        (lambda: q._validate_inputs(model, data.training_df, data.X_test, missing, "target"), ValueError),
        (lambda: q._validate_inputs(None, data.training_df, data.X_test, data.bins_directory, "target"), ValueError),
        (lambda: q._extract_shap_coefficients(model, data.X_test, "rf"), IndexError),
        (lambda: q._merge_woe_data(data.predictors, "target", data.X_test, no_rows, data.bins_directory), KeyError),
        (lambda: q._merge_woe_data([], "target", data.X_test, no_rows, data.bins_directory), TypeError),
        (lambda: q._calculate_credit_scores(pd.DataFrame({"x": [1]}), ["a"], 0.1, 20, 200, 15, 1), KeyError),
        (lambda: q._generate_plots(pd.DataFrame(), ["a"], "t", str(tmp_path / "p"), "N"), AttributeError),
    ]
    inputs = [model, data.training_df, data.X_test, data.input_ref_df, no_rows]
    before = refcounts(inputs)
    for call, exc_type in errors:
        assert growth(expect_error(call, exc_type), 1000) < LIBRARY_GROWTH_BOUND
    assert refcounts(inputs) == before
