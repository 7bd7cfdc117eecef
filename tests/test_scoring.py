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
ADDED_KEEP = ["predictor_variables", "CreditScore", "coef_mean_by_WoE", "coef_woe"]
ADDED_RESORT = ["predictor_variables", "coef_mean_by_WoE", "coef_woe", "CreditScore"]


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


def run(df, names, flag=1, pdo=20, target=200, odds=15):
    return score(df, names, 0.5, pdo, target, odds, flag)


@pytest.mark.parametrize(
    "flag, columns, scores",
    [
        (1, INPUT_COLUMNS + ADDED_KEEP, [0.0, 35.300, 191.112, 306.527]),
        (0, INPUT_COLUMNS + ADDED_RESORT, [306.527, 191.112, 35.300, 0.0]),
    ],
)
def test_worked_example(flag, columns, scores):
    df = table(EXAMPLE)
    before = df.copy()
    result = run(df, ["age"], flag)
    assert list(result.columns) == columns
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
    resorted = run(df, ["age"], 0)
    assert list(resorted.predictor_var) == ["age"] * 4


def test_resort_follows_list_order():
    df = table([("b", 0.2, 0.3), ("a", -0.2, 0.3), ("b", -0.6, 0.3), ("a", 0.9, 0.3)])
    result = run(df, ["a", "b"], 0)
    assert list(result.feature) == ["a_1", "a_3", "b_0", "b_2"]
    assert list(result.WoE) == [-0.2, 0.9, 0.2, -0.6]
    for name in ("a", "b"):
        assert result[result.predictor_var == name].CreditScore.is_monotonic_decreasing


@pytest.mark.parametrize("flag", [0, 1])
def test_missing_woe(flag):
    df = table([("age", np.nan, 0.02), ("age", -0.2, 0.03), ("age", 0.4, 0.05)])
    result = run(df, ["age"], flag)
    if flag:
        row = result.iloc[0]
        assert row.coef_mean_by_WoE == 0.0
        assert math.isnan(row.coef_woe) and math.isnan(row.CreditScore)
    else:
        # the missing score is dealt to the last row
        assert math.isnan(result.CreditScore.iloc[-1])
        assert result.CreditScore.iloc[:2].notna().all()


@pytest.mark.parametrize(
    "woe, expected",
    [(0.0, OFFSET), (np.inf, np.inf), (-np.inf, 0.0)],
)
def test_zero_and_infinite_woe(woe, expected):
    df = table([("age", woe, 0.3), ("age", -0.2, 0.2), ("age", 0.2, 0.4)])
    result = run(df, ["age"], 1)
    assert result.CreditScore.iloc[0] == pytest.approx(expected)
    # a WoE of 0 or +inf is on the side of 0 or more: the 0.3 and 0.4 mean.
    if woe >= 0:
        assert result.coef_mean_by_WoE.iloc[0] == pytest.approx(3.5)


def test_repeated_name():
    df = table(EXAMPLE)
    once = run(df, ["age"], 1)
    pd.testing.assert_frame_equal(run(df, ["age", "age"], 1), once)
    twice = run(df, ["age", "age"], 0)
    assert len(twice) == 8 and list(twice.index) == list(range(8))
    np.testing.assert_allclose(twice.CreditScore[:4], twice.CreditScore[4:])


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


def test_zero_counter_is_looked_up_for_each_side(monkeypatch):
    seen = []
    real = quillvane.count_zeros_before_non_zero

    def recording(number):
        seen.append(float(number))
        return real(number)

    monkeypatch.setattr(quillvane, "count_zeros_before_non_zero", recording)
    run(table(EXAMPLE), ["age"], 1)
    assert seen == pytest.approx([0.008, 0.03])


def test_empty_list():
    df = table(EXAMPLE)
    result = run(df, [], 1)
    assert list(result.columns) == INPUT_COLUMNS + ADDED_KEEP
    np.testing.assert_allclose(result.CreditScore, [OFFSET] * 4)
    with pytest.raises(KeyError, match="CreditScore"):
        run(df, [], 0)
