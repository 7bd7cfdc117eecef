"""The tree benchmark beside every build: its rows in the report, its files, its failures, and its verdict."""

import dataclasses
import html
import json
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from applicants import applicants
from faults import refuse
from sklearn.metrics import roc_auc_score

from tessaly import _models
from tessaly._benchmark_process import Beside
from tessaly._card import Card
from tessaly.cli import main

BENCHMARK_ROWS = ("xgb benchmark model", "additive card from the xgb benchmark", "module card from the xgb benchmark")


def build(tmp_path, data, *options):
    data.to_csv(tmp_path / "a.csv", index=False)
    out = tmp_path / "card"
    return main(["build", str(tmp_path / "a.csv"), "bad", "--out", str(out), "--quiet", *options]), out


def rows_of(metrics):
    return {r["name"]: r for r in metrics["challengers"]}


# option given, what breaks, what the build leaves: "benchmark" (rows and files), "none", "failed", "refused"
CASES = {
    "the default": ([], None, "benchmark"),
    "--benchmark none": (["--benchmark", "none"], None, "none"),
    "a benchmark that fails to train": ([], "train", "failed"),
    "a benchmark without its package": (["--benchmark", "catboost"], "catboost", "refused"),
}


@pytest.mark.parametrize("case", CASES)
def test_build_sets_the_benchmark_beside_the_card(case, tmp_path, monkeypatch, capsys):
    options, broken, outcome = CASES[case]
    if broken == "train":
        monkeypatch.setitem(_models.FAMILIES, "xgb", dataclasses.replace(_models.FAMILIES["xgb"], build=refuse))
    elif broken:
        monkeypatch.setitem(sys.modules, broken, None)
    data = applicants(2_000, seed=3)
    code, out = build(tmp_path, data, *options)
    err = capsys.readouterr().err
    if outcome == "refused":
        assert code == 1 and not out.exists()
        assert err.count("\n") == 1 and "needs the package catboost" in err and "tessaly[cli]" in err, err
        return
    assert code == 0, err
    metrics = json.loads((out / "metrics.json").read_text())
    rows, page = rows_of(metrics), (out / "report.html").read_text(encoding="utf-8")
    assert {"additive card", "WoE logistic regression"} <= set(rows)  # the card and its challenger, always
    named = {name: next((r for r in rows if r.startswith(name)), None) for name in BENCHMARK_ROWS}
    if outcome != "benchmark":
        assert not (out / "benchmark").exists() and not any(named.values())
        assert (out / "card.json").is_file()
        if outcome == "none":
            assert metrics["benchmark"] is None and 'id="benchmark"' not in page
        else:
            assert "the trees refused these rows" in metrics["benchmark"]["error"]
            assert "could not be fitted" in page
        return

    for row in rows.values():
        for key in ("auc_ci", "gini_ci", "ks_ci", "auc_vs_card_ci"):
            lo, hi = row[key]
            assert lo is not None and lo <= hi, (row["name"], key)
        assert row["auc_ci"][0] <= row["auc"] <= row["auc_ci"][1]
    # Additive applicants: the trees find nothing the card misses, and the report says so.
    assert metrics["benchmark"]["significant"] is False
    assert "does not rank significantly better" in page and html.escape(metrics["benchmark"]["sentence"]) in page

    # The extension's files, and the saved cards are the ones the report ranked.
    bench = out / "benchmark"
    module = Card.load(bench / "module")
    for p in module.predictors:
        assert (bench / "bins" / f"{p.name}.pkl").is_file()
    assert (bench / "scorecard" / "credit_scores_df.pkl").is_file() and (bench / "model" / "model.sav").is_file()
    test = pd.read_csv(out / "test_scores.csv")
    X_test = data.drop(columns="bad").iloc[test["row"]]
    for card, name in (
        (Card.load(bench), named["additive card from the xgb benchmark"]),
        (module, named["module card from the xgb benchmark"]),
    ):
        assert roc_auc_score(test["bad"], -card.total(X_test)) == pytest.approx(rows[name]["auc"], abs=1e-12)


def interacting(n, seed=0):
    """Applicants whose risk rises with either of two flags alone but falls where both are set: no points per bin
    can rank them, trees can."""
    rng = np.random.default_rng(seed)
    first, second, other = rng.uniform(size=(3, n))
    high1, high2 = first > 0.5, second > 0.5
    logit = -2.0 + 2.5 * high1 + 1.5 * high2 - 4.0 * (high1 & high2) + 1.5 * (other - 0.5)
    bad = rng.random(n) < 1 / (1 + np.exp(-logit))
    return pd.DataFrame(
        {
            "first": first.round(3),
            "second": second.round(3),
            "other": other.round(3),
            "bad": np.where(bad, "bad", "good"),
        }
    )


def test_a_benchmark_that_ranks_significantly_better_is_named(tmp_path, capsys):
    # Without crosses: with them the card takes the pair in and the trees no longer rank better.
    code, out = build(tmp_path, interacting(4_000), "--crosses", "none")
    assert code == 0, capsys.readouterr().err
    metrics = json.loads((out / "metrics.json").read_text())
    said = metrics["benchmark"]
    rows = rows_of(metrics)
    lo, _ = rows[said["raw"]["model"]]["auc_vs_card_ci"]
    assert said["significant"] is True and lo > 0
    assert "ranks significantly better" in said["sentence"]
    # The trees' own card is named only where it was measured to rank better on the test applicants.
    tree_card_lo = rows["additive card from the xgb benchmark"]["auc_vs_card_ci"][0]
    assert ("--model xgb" in said["sentence"]) == (tree_card_lo > 0)
    assert html.escape(said["sentence"]) in (out / "report.html").read_text(encoding="utf-8")


@pytest.mark.parametrize("ending", ["its process dies", "the build ends mid-call"])
def test_the_benchmark_process_leaves_no_files_and_its_death_is_told(ending):
    beside = Beside()
    try:
        # A folder of the process's own, as the trees' cards make one for the training applicants' bins.
        beside.submit(tempfile.mkdtemp, prefix="tessaly-")
        folder = Path(beside.result())
        assert folder.is_dir()
        if ending == "its process dies":
            beside.submit(os._exit, 3)
            with pytest.raises(RuntimeError, match="^its process ended with exit code 3$"):
                beside.result()
        else:
            beside.submit(time.sleep, 60)
    finally:
        beside.close()
    assert not folder.exists()


def _row(name, auc, lo, hi, card=0.70):
    return {"name": name, "auc": auc, "auc_vs_card": auc - card, "auc_vs_card_ci": [lo, hi]}


# raw trees' interval, the trees' additive card's interval, the card's crosses: the remedies named
ADVICE = {
    "additive trees card gains nothing": ((0.02, 0.04), (-0.002, 0.005), [], []),
    "the trees' additive card ranks better": ((0.02, 0.04), (0.001, 0.01), [], ["--model xgb"]),
    "a cross left out was measured": (
        (0.02, 0.04),
        (-0.002, 0.005),
        [dict(significant=True, kept=False)],
        ["--crosses"],
    ),
    "a cross tried and rejected": ((0.02, 0.04), (-0.002, 0.005), [dict(significant=False, kept=False)], []),
    "a cross kept": ((0.005, 0.02), (-0.002, 0.005), [dict(significant=True, kept=True)], []),
    "no gap": ((-0.01, 0.01), (-0.002, 0.005), [], []),
}


@pytest.mark.parametrize("case", ADVICE)
def test_the_sentence_gives_the_gap_and_only_measured_remedies(case):
    from tessaly import _benchmark

    raw_ci, card_ci, crosses, remedies = ADVICE[case]
    raw = type("Raw", (), {"depth": 3, "rounds": 120, "validation_auc": {3: 0.8}})()
    bench = _benchmark.Benchmark("xgb", rows=1000, of=1000, raw=raw)
    estimator = type("Fitted", (), {})()
    estimator.crosses_ = [{"predictors": ["age", "utilisation"], "auc_lift": 0.012, **c} for c in crosses]
    assessment = {
        "card": "additive card",
        "best": "x",
        "challengers": [
            _row("additive card", 0.70, 0.0, 0.0),
            _row(_benchmark.raw_row(bench), 0.73, *raw_ci),
            _row("xgb benchmark model", 0.72, 0.01, 0.03),
            _row("additive card from the xgb benchmark", 0.702, *card_ci),
        ],
    }
    said = _benchmark.verdict(bench, assessment, "bad", estimator)
    assert said["remedies"] == remedies
    assert said["significant"] is (raw_ci[0] > 0)
    text = said["sentence"]
    assert "tuned on the raw predictors" in text and "+0.030" in text  # the gap to the raw trees
    assert ("--model xgb" in text) == ("--model xgb" in remedies)
    assert ("--crosses" in text) == ("--crosses" in remedies)
    if said["significant"]:
        assert "67% of the gap is in pairs" in text  # (0.72 - 0.70) / (0.73 - 0.70)
        assert ("No remedy" in text) == (not remedies)
    assert ("gained +0.0120 AUC on held-out" in text) == (case == "a cross kept")
