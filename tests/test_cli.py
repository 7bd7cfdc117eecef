"""build and score from the command line, on applicants the tests make."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from applicants import applicants

from tessaly import _bins
from tessaly.cli import main


def run(*args):
    try:
        return main([str(a) for a in args])
    except SystemExit as e:  # the parser's own refusals
        return e.code


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    root = tmp_path_factory.mktemp("cli")
    data = applicants(600, seed=1)
    csv = root / "applicants.csv"
    data.to_csv(csv, index=False)
    out = root / "card"
    assert (
        run(
            "build",
            csv,
            "bad",
            "--out",
            out,
            "--model",
            "xgb",
            "--trees",
            "20",
            "--special-codes",
            "-1",
            "--points",
            "module",
            "--min-iv",
            "0",
            "--quiet",
        )
        == 0
    )
    return data, csv, out


def test_build_writes_the_card_bins_and_module_outputs(built):
    data, _, out = built
    predictors = ["age", "debt_ratio", "housing", "months_employed"]
    for p in predictors:
        table = pd.read_pickle(out / "bins" / f"{p}.pkl")
        assert list(table.columns) == _bins.TABLE_COLUMNS
        assert "Totals" not in table.index and table["Bin"].is_unique
        assert table["Count"].sum() == 420  # the training split: 70 % of 600
        assert len(table) <= 10
    housing = pd.read_pickle(out / "bins" / "housing.pkl")["Bin"]
    assert all(b.startswith("[") and "<" not in b for b in housing)
    assert {c for b in housing for c in b.strip("[]").split(", ")} == {"own", "rent", "free"}
    tenure = set(pd.read_pickle(out / "bins" / "months_employed.pkl")["Bin"])
    assert {"Missing", "Special"} <= tenure
    assert (out / "scorecard" / "credit_scores_df.csv").is_file()
    assert (out / "model" / "model.sav").is_file()
    assert (out / "card.json").is_file() and (out / "report.html").is_file()
    assert not [p for p in out.parent.iterdir() if p.name.startswith(".card.")]


def test_scoring_the_test_split_reproduces_the_build(built, tmp_path):
    data, csv, out = built
    build_scores = pd.read_csv(out / "test_scores.csv")
    holdout = tmp_path / "holdout.csv"
    data.iloc[build_scores["row"]].to_csv(holdout, index=False)
    # A fresh interpreter: nothing survives from the build but what it saved.
    result = subprocess.run(
        [sys.executable, "-m", "tessaly", "score", out, holdout, "--out", tmp_path / "s.csv", "--quiet"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    scored = pd.read_csv(tmp_path / "s.csv", keep_default_na=False)
    np.testing.assert_allclose(scored["score"], build_scores["score"], rtol=0, atol=1e-9)

    # Points come from the module's own scorecard, and add up to the score.
    card = pd.read_csv(out / "scorecard" / "credit_scores_df.csv")
    card["Bin"] = card["Bin"].astype(str)
    total = np.zeros(len(scored))
    for p in ["age", "debt_ratio", "housing", "months_employed"]:
        lookup = card[card["predictor_variables"] == p].set_index("Bin")
        np.testing.assert_allclose(scored[f"{p}_points"], lookup.loc[scored[f"{p}_bin"], "CreditScore"].to_numpy())
        total += scored[f"{p}_points"]
    np.testing.assert_allclose(scored["score"], total)

    # Good applicants score higher than bad ones.
    from sklearn.metrics import roc_auc_score

    assert roc_auc_score(scored["bad"] == "good", scored["score"]) > 0.7


def test_reason_codes_are_the_predictors_furthest_below_neutral(built, tmp_path):
    data, csv, out = built
    assert run("score", out, csv, "--out", tmp_path / "all.csv", "--quiet") == 0
    scored = pd.read_csv(tmp_path / "all.csv", keep_default_na=False)
    card = pd.read_csv(out / "scorecard" / "credit_scores_df.csv")
    neutral = card.groupby("predictor_variables")["Neutral_CreditScore"].first()
    predictors = list(neutral.index)
    below = pd.DataFrame({p: scored[f"{p}_points"] - neutral[p] for p in predictors})
    for i in range(len(scored)):
        gaps = below.iloc[i].sort_values(kind="stable")
        expected = [p for p in gaps.index[:3] if gaps[p] < -1e-9]
        got = [r for r in scored.loc[i, ["reason_1", "reason_2", "reason_3"]] if r]
        assert got == expected


def test_unseen_bins_score_neutral(built, tmp_path):
    data, _, out = built
    new = data.head(3).copy()
    new["housing"] = ["castle", "own", None]
    path = tmp_path / "new.parquet"
    new.to_parquet(path)
    assert run("score", out, path, "--out", tmp_path / "new.csv", "--quiet") == 0
    scored = pd.read_csv(tmp_path / "new.csv", keep_default_na=False)
    card = pd.read_csv(out / "scorecard" / "credit_scores_df.csv")
    neutral = card.loc[card["predictor_variables"] == "housing", "Neutral_CreditScore"].iloc[0]
    assert list(scored["housing_bin"]) == ["Unseen", scored.loc[1, "housing_bin"], "Unseen"]
    assert scored.loc[1, "housing_bin"] != "Unseen"
    np.testing.assert_allclose(scored.loc[[0, 2], "housing_points"], neutral)


def test_console_script_and_module_entry(tmp_path):
    script = Path(sys.executable).with_name("tessaly")
    for command in ([script], [sys.executable, "-m", "tessaly"]):
        result = subprocess.run([*command, "score", tmp_path, tmp_path / "x.csv"], capture_output=True, text=True)
        assert result.returncode == 1
        assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr
        assert "no scorecard" in result.stderr


def _write(path, frame):
    frame.to_csv(path, index=False)
    return path


BAD_INPUTS = {
    "missing file": (lambda d: d / "nope.csv", "bad", [], "no such file"),
    "not a table": (
        lambda d: (d / "x.parquet").write_bytes(b"\x00\x01garbage") and d / "x.parquet",
        "bad",
        [],
        "cannot read",
    ),
    "missing target": (lambda d: _write(d / "a.csv", applicants(200)), "default", [], "'default' is not in the table"),
    "non-binary target": (
        lambda d: _write(d / "a.csv", applicants(200).assign(bad=np.arange(200) % 3)),
        "bad",
        [],
        "not binary",
    ),
    "unknown model": (lambda d: _write(d / "a.csv", applicants(200)), "bad", ["--model", "lgbm"], "'lgbm'"),
    "single-valued predictors": (
        lambda d: _write(
            d / "a.csv", applicants(200).assign(age=30, debt_ratio=0.5, housing="own", months_employed=12)
        ),
        "bad",
        ["--quiet"],
        "'age' has a single value",
    ),
    "two bads in 3,000": (lambda d: _write(d / "a.csv", _bads(2)), "bad", ["--quiet"], "too few of one kind"),
    "a fit that gives one score": (lambda d: _write(d / "a.csv", _bads(3)), "bad", ["--quiet"], "the same score"),
}


def _bads(k):
    data = applicants(3000).assign(bad=0)
    data.loc[data.index[:k], "bad"] = 1
    return data


@pytest.mark.parametrize("case", BAD_INPUTS, ids=list(BAD_INPUTS))
def test_bad_input_is_one_line_and_keeps_earlier_output(case, built, tmp_path, capsys):
    make, target, extra, message = BAD_INPUTS[case]
    out = tmp_path / "card"
    shutil.copytree(built[2], out)
    earlier = sorted(os.listdir(out))
    source = make(tmp_path)
    capsys.readouterr()
    assert run("build", source, target, "--out", out, "--trees", "5", *extra) != 0
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err
    assert sorted(os.listdir(out)) == earlier
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []


def test_output_that_is_a_file(built, tmp_path, capsys):
    _, csv, _ = built
    out = tmp_path / "card"
    out.write_text("not a directory")
    assert run("build", csv, "bad", "--out", out) != 0
    assert "is a file" in capsys.readouterr().err
    assert out.read_text() == "not a directory"


def test_a_build_that_fails_late_leaves_the_earlier_card(built, tmp_path, monkeypatch):
    data, csv, out = built
    copy = tmp_path / "card"
    shutil.copytree(out, copy)
    before = {p.name: p.stat().st_mtime_ns for p in copy.rglob("*")}
    from tessaly import quillvane

    def fail(*args, **kwargs):
        raise MemoryError("forced")

    monkeypatch.setattr(quillvane, "createQuillvane", fail)
    with pytest.raises(MemoryError):
        run("build", csv, "bad", "--out", copy, "--model", "xgb", "--trees", "5", "--quiet")
    assert {p.name: p.stat().st_mtime_ns for p in copy.rglob("*")} == before
    assert [p.name for p in tmp_path.iterdir()] == ["card"]


def test_silence_left_in_any_order_restores_the_streams():
    import threading

    from tessaly._quiet import quiet, stream

    before = sys.stdout, sys.stderr
    inside, leave_first = threading.Event(), threading.Event()

    def other():
        with quiet():
            inside.set()
            leave_first.wait(5)

    worker = threading.Thread(target=other)
    worker.start()
    inside.wait(5)
    with quiet():  # entered second, left last: the streams must not stay hushed
        assert stream("stderr") is before[1]
        leave_first.set()
        worker.join()
    assert (sys.stdout, sys.stderr) == before
