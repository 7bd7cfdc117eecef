"""What a modeller steers: bins by hand, sample weights, the direction of points, predictors without effect."""

import json
import shutil

import numpy as np
import pandas as pd
import pytest
from applicants import applicants

from tessaly import Scorecard
from tessaly.cli import main


def run(capsys, *args):
    code = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


def test_bins_printed_edited_and_built_again(tmp_path, capsys):
    applicants(1500, seed=2).to_csv(tmp_path / "a.csv", index=False)
    # The benchmark beside each build is not what this checks.
    fast = ["--trees", "20", "--min-iv", "0", "--special-codes", "-1", "--benchmark", "none", "--quiet"]
    assert run(capsys, "build", tmp_path / "a.csv", "bad", "--out", tmp_path / "c1", *fast)[0] == 0
    code, printed, _ = run(capsys, "bins", tmp_path / "c1")
    assert code == 0
    (tmp_path / "b.json").write_text(printed)
    # Unedited, the round trip gives the same bins, now marked as set by hand.
    assert (
        run(capsys, "build", tmp_path / "a.csv", "bad", "--out", tmp_path / "c2", "--bins", tmp_path / "b.json", *fast)[
            0
        ]
        == 0
    )
    first, second = (json.loads((tmp_path / c / "card.json").read_text()) for c in ("c1", "c2"))
    assert [p["splits"] for p in first["predictors"]] == [p["splits"] for p in second["predictors"]]
    assert {p["binning"] for p in first["predictors"]} == {"optimal"}
    assert {p["binning"] for p in second["predictors"]} == {"by hand"}
    # Edited: the modeller's splits and groups are the card's, the rest binned as usual.
    edited = {"age": [30, 50], "housing": [["own"], ["rent", "free"]]}
    (tmp_path / "e.json").write_text(json.dumps(edited))
    assert (
        run(capsys, "build", tmp_path / "a.csv", "bad", "--out", tmp_path / "c3", "--bins", tmp_path / "e.json", *fast)[
            0
        ]
        == 0
    )
    third = {p["name"]: p for p in json.loads((tmp_path / "c3" / "card.json").read_text())["predictors"]}
    assert third["age"]["splits"] == [30, 50] and third["housing"]["splits"] == [["own"], ["rent", "free"]]
    assert third["debt_ratio"]["binning"] == "optimal"


@pytest.fixture(scope="module")
def earlier(tmp_path_factory):
    """A working card that a refused build must leave as it was."""
    folder = tmp_path_factory.mktemp("earlier")
    applicants(600, seed=2).to_csv(folder / "a.csv", index=False)
    assert main(["build", str(folder / "a.csv"), "bad", "--out", str(folder / "c"), "--trees", "5", "--quiet"]) == 0
    return folder


def _card_that_does_not_load(monkeypatch):
    from tessaly import _card

    def broken(directory, **kw):
        raise _card.InputError(f"{directory}/card.json is not a usable card: forced")

    monkeypatch.setattr(_card.Card, "load", broken)


@pytest.mark.parametrize(
    "bins, message",
    [
        ({"salary": [1, 2]}, "no predictor of X"),
        ({"age": [50, 30]}, "ascending without repeats"),
        ({"age": [30, 30]}, "ascending without repeats"),
        ({"age": [["own"]]}, "is numerical"),
        ({"housing": [["own", "rent"], ["rent", "free"]]}, "in two groups"),
        ({"housing": [["own"], ["rent"]]}, "in no group"),
        ({"housing": [1, 2]}, "is categorical"),
        ({"housing": [["own", "rent", "free"], [None]]}, "holds null"),
        ({"housing": [["own", ["rent"]], ["free"]]}, "list or object"),
        ({"housing": [["own", {"a": 1}], ["rent", "free"]]}, "list or object"),
        ('{"age": [30], "age": [40]}', "names 'age' twice"),
        ('{"housing": [["own", 123456789012345678901234567890], ["rent", "free"]]}', "too large"),
        ('{"age": [30, 1' + "0" * 400 + "]}", "finite numbers"),
        (_card_that_does_not_load, "does not load"),
    ],
)
def test_bins_that_do_not_fit_are_refused_in_one_line(bins, message, earlier, tmp_path, capsys, monkeypatch):
    shutil.copytree(earlier / "c", tmp_path / "c")
    before = (tmp_path / "c" / "card.json").read_bytes()
    if callable(bins):
        bins(monkeypatch)
        bins = {}
    (tmp_path / "b.json").write_text(bins if isinstance(bins, str) else json.dumps(bins))
    code, _, err = run(
        capsys,
        "build",
        earlier / "a.csv",
        "bad",
        "--out",
        tmp_path / "c",
        "--bins",
        tmp_path / "b.json",
        "--trees",
        "5",
        "--quiet",
    )
    assert code == 1 and message in err and err.count("\n") == 1
    assert (tmp_path / "c" / "card.json").read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["b.json", "c"]  # no stage left behind


def test_integer_weights_give_the_card_and_figures_of_repeated_rows(tmp_path):
    X, y = applicants(1500, seed=4, xy=True)
    w = np.random.default_rng(0).integers(0, 4, len(X))
    rep = np.repeat(np.arange(len(X)), w)
    options = dict(model="xgb", trees=30, early_stopping=False, min_iv=None, special_codes=[-1])
    weighted = Scorecard(**options).fit(X, y, sample_weight=w)
    repeated = Scorecard(**options).fit(X.iloc[rep], y.iloc[rep])
    assert weighted.card_.to_dict()["predictors"] == repeated.card_.to_dict()["predictors"]
    test, yt = applicants(800, seed=5, xy=True)
    wt = np.random.default_rng(1).integers(1, 4, len(test))
    a = weighted.report(tmp_path / "a.html", test, yt, sample_weight=wt)
    b = repeated.report(
        tmp_path / "b.html",
        test.iloc[np.repeat(np.arange(len(test)), wt)],
        yt.iloc[np.repeat(np.arange(len(test)), wt)],
    )
    for key in ("auc", "auc_ci", "gini", "ks", "ks_ci"):
        np.testing.assert_allclose(a[key], b[key], rtol=1e-9, err_msg=key)
    pd.testing.assert_frame_equal(pd.DataFrame(a["gains"]), pd.DataFrame(b["gains"]), check_dtype=False)
    for key in ("pdo", "score_at_target_odds"):
        assert a["calibration"]["fitted"][key] == pytest.approx(b["calibration"]["fitted"][key], rel=1e-6)


@pytest.mark.parametrize("seed", [0, 2])
def test_monotone_points_follow_the_woe_and_unused_predictors_leave(seed):
    X, y = applicants(2000, seed=seed, xy=True)
    X = X.assign(noise=np.random.default_rng(seed).normal(size=len(X)), age_again=X["age"])
    free = Scorecard("xgb", min_iv=None, seed=seed).fit(X, y)
    steered = Scorecard("xgb", min_iv=None, seed=seed, monotone=True).fit(X, y)
    # On these applicants the unconstrained card runs against the WoE somewhere; the monotone one nowhere.
    assert not free.directions()["follows_woe"].all()
    assert steered.directions()["follows_woe"].all()
    # The model splits on one of two identical columns only: the other leaves the card, with the reason.
    for sc in (free, steered):
        assert "age_again" not in sc.card_.names
        assert "does not use it" in sc.dropped_["age_again"]
