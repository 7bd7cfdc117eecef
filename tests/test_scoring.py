"""Credit scores: points per bin from SHAP coefficients and WoE."""

import math

import numpy as np
import pandas as pd
import pytest

from tessaly import quillvane

score = quillvane._calculate_credit_scores

FACTOR = 20 / math.log(2)
OFFSET = 200 - FACTOR * math.log(15)

INPUT_COLUMNS = ["feature", "coefficients", "predictor_var", "input_value", "Bin", "WoE", "Distribution", "Event_rate"]


def table(rows):
    """A WoE-merged table from (predictor, WoE, coefficient) triples."""
    n = len(rows)
    return pd.DataFrame(
        {
            "feature": [f"{p}_{i}" for i, (p, _, _) in enumerate(rows)],
            "coefficients": [c for _, _, c in rows],
            "predictor_var": [p for p, _, _ in rows],
            "input_value": list(range(n)),
            "Bin": [f"bin{i}" for i in range(n)],
            "WoE": [w for _, w, _ in rows],
            "Distribution": [1.0 / n] * n,
            "Event_rate": [0.1] * n,
        }
    )


EXAMPLE = [("age", -0.5, 0.02), ("age", -0.1, 0.04), ("age", 0.3, -0.006), ("age", 0.8, -0.01)]


def run(df, names, flag=1):
    return score(df, names, 0.5, 20, 200, 15, flag)


@pytest.mark.parametrize(
    "flag, added, scores",
    [
        (1, ["predictor_variables", "CreditScore", "coef_mean_by_WoE", "coef_woe"], [0.0, 35.300, 191.112, 306.527]),
        (0, ["predictor_variables", "coef_mean_by_WoE", "coef_woe", "CreditScore"], [306.527, 191.112, 35.300, 0.0]),
    ],
)
def test_worked_example(flag, added, scores):
    df = table(EXAMPLE)
    before = df.copy()
    result = run(df, ["age"], flag)
    assert list(result.columns) == INPUT_COLUMNS + added
    assert list(result.index) == [0, 1, 2, 3]
    np.testing.assert_allclose(result["coef_mean_by_WoE"], [30, 30, 8, 8])
    np.testing.assert_allclose(result["coef_woe"], [-15, -3, 2.4, 6.4])
    np.testing.assert_allclose(result["CreditScore"], scores, atol=5e-4)
    assert list(result["Bin"]) == list(df["Bin"])
    pd.testing.assert_frame_equal(df, before)


def test_unlisted_predictor_keeps_offset_and_is_dropped_by_resort():
    df = table(EXAMPLE + [("income", 0.4, 0.5), ("income", -0.4, 0.5)])
    kept = run(df, ["age"], 1)
    other = kept[kept.predictor_var == "income"]
    assert list(other.index) == [4, 5]
    assert (other["coef_mean_by_WoE"] == 0.0).all() and (other["coef_woe"] == 0.0).all()
    np.testing.assert_allclose(other["CreditScore"], [OFFSET, OFFSET])
    assert list(run(df, ["age"], 0).predictor_var) == ["age"] * 4


def test_resort_follows_list_order():
    df = table([("b", 0.2, 0.3), ("a", -0.2, 0.3), ("b", -0.6, 0.3), ("a", 0.9, 0.3)])
    result = run(df, ["a", "b"], 0)
    assert list(result.feature) == ["a_1", "a_3", "b_0", "b_2"]
    assert list(result.WoE) == [-0.2, 0.9, 0.2, -0.6]
    for name in ("a", "b"):
        assert result[result.predictor_var == name].CreditScore.is_monotonic_decreasing


@pytest.mark.parametrize("woe, expected", [(0.0, OFFSET), (np.inf, np.inf), (-np.inf, 0.0), (np.nan, np.nan)])
def test_zero_infinite_and_missing_woe(woe, expected):
    df = table([("age", woe, 0.3), ("age", -0.2, 0.2), ("age", 0.2, 0.4)])
    result = run(df, ["age"], 1)
    np.testing.assert_allclose(result.CreditScore.iloc[0], expected)
    # 0 and +inf sit on the side of 0 or more (the 0.3 and 0.4 mean); a missing WoE on neither.
    if not woe < 0:
        assert result.coef_mean_by_WoE.iloc[0] == (3.5 if woe >= 0 else 0.0)
    # Resorted, a missing score is dealt to the last row.
    assert math.isnan(run(df, ["age"], 0).CreditScore.iloc[-1]) == math.isnan(woe)


# A side without rows counts as an absolute mean of 0.0 instead of failing.
@pytest.mark.parametrize(
    "rows, mean_by_woe",
    [
        ([("age", 0.0, 0.004)], [4.0]),  # single bin with WoE 0: no negative side
        ([("age", -0.3, 0.04), ("age", -0.1, 0.02)], [3.0, 3.0]),  # no side of 0 or more
        ([("age", np.nan, 0.04)], [0.0]),  # WoE missing everywhere: neither side
        ([], []),  # listed, but no rows at all
    ],
)
@pytest.mark.parametrize("flag", [0, 1])
def test_one_sided_predictor(rows, mean_by_woe, flag):
    df = table(rows + [("income", -0.4, 0.05), ("income", 0.4, 0.005)])
    result = run(df, ["age", "income"], flag)
    age = result[result.predictor_var == "age"]
    np.testing.assert_allclose(age.coef_mean_by_WoE, mean_by_woe)
    # the other predictor scores exactly as it does alone
    income = result[result.predictor_var == "income"].reset_index(drop=True)
    alone = run(df, ["income"], flag)
    alone = alone[alone.predictor_var == "income"].reset_index(drop=True)
    pd.testing.assert_frame_equal(income, alone)
