"""Cross characteristics: the search, what it keeps and leaves, and a cross scored alike everywhere a card is read."""

import itertools
import json
import sqlite3
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from applicants import applicants, portfolio
from test_sql import ODD_CATEGORY, PREDICTORS, _applicants, _run, postgres  # noqa: F401 (a fixture)

from tessaly import Scorecard
from tessaly._card import Card, checksum
from tessaly._cross_grid import RIDGE, cell_table, search_pair
from tessaly._errors import InputError
from tessaly.cli import main
from tessaly.monitoring.counts import count
from tessaly.sql import to_monitor_sql, to_sql

CARDS = Path(__file__).parent / "cards"


def _brute_force(G, H, N, min_n):
    """The best gain over every structure, each written out as its cells."""
    base = G.sum() ** 2 / (H.sum() + RIDGE)
    best = 0.0
    for transposed in (False, True):
        k1, k2 = (G.shape[1] - 1, G.shape[0] - 1) if transposed else (G.shape[0] - 1, G.shape[1] - 1)
        inner = [(0, False)] + [(c, o) for c in range(1, k2) for o in (False, True)]
        for cut, other, left, right in itertools.product(range(1, k1), (False, True), inner, inner):
            if left[0] == 0 and right[0] == 0:
                continue
            ka, kb = G.shape[0] - 1, G.shape[1] - 1
            cells = cell_table((transposed, cut, other, left, right), ka, kb)
            used = np.unique(cells)
            n = np.array([N[cells == c].sum() for c in used])
            sides = [N[(cells // 2) == s].sum() for s in (0, 1)]
            if (n < min_n).any() or min(sides) < min_n:
                continue
            gain = sum(G[cells == c].sum() ** 2 / (H[cells == c].sum() + RIDGE) for c in used) - base
            best = max(best, gain)
    return best


@pytest.mark.parametrize("seed", range(6))
def test_the_search_finds_the_best_structure_of_a_table(seed):
    rng = np.random.default_rng(seed)
    ka, kb = rng.integers(2, 6, 2)
    N = rng.integers(0, 60, (ka + 1, kb + 1)).astype(float)
    H = N * rng.uniform(0.05, 0.25, N.shape)
    G = rng.normal(0, 1, N.shape) * np.sqrt(H) * 3
    min_n = float(rng.choice([1.0, 40.0]))
    gain, structure = search_pair(G, H, N, min_n)
    assert gain == pytest.approx(_brute_force(G, H, N, min_n), rel=1e-9, abs=1e-12)
    if structure is not None:
        cells = cell_table(structure, ka, kb)
        used = np.unique(cells)
        assert 2 <= len(used) <= 4 and all(N[cells == c].sum() >= min_n for c in used)


@pytest.fixture(scope="module")
def xor(tmp_path_factory):
    X, y = portfolio(5000, "xor", seed=1)
    sc = Scorecard().fit(X, y)
    out = tmp_path_factory.mktemp("xor") / "card"
    sc.save(out)
    return sc, out


@pytest.mark.slow
def test_an_exclusive_or_gets_a_cross_that_ranks_near_the_trees(xor):
    from sklearn.metrics import roc_auc_score
    from xgboost import XGBClassifier

    sc, _ = xor
    X, y = portfolio(5000, "xor", seed=1)
    X_test, y_test = portfolio(5000, "xor", seed=2)
    (cross,) = sc.card_.crosses
    assert set(cross.columns) == {"age", "utilisation"} and len(cross.labels) <= 4
    assert any("age below" in label and "utilisation" in label for label in cross.labels)
    kept = [c for c in sc.crosses_ if c["kept"]]
    assert len(kept) == 1 and kept[0]["significant"] and kept[0]["auc_lift"] > 0.05
    as_codes = {"region": "category"}
    trees = XGBClassifier(max_depth=3, n_estimators=150, learning_rate=0.1, enable_categorical=True, n_jobs=1)
    trees.fit(X.astype(as_codes), y)
    tree_auc = roc_auc_score(y_test, trees.predict_proba(X_test.astype(as_codes))[:, 1])
    additive = Scorecard(crosses="none").fit(X, y)
    card_auc = roc_auc_score(y_test, -sc.total_score(X_test))
    assert card_auc > roc_auc_score(y_test, -additive.total_score(X_test)) + 0.08
    assert card_auc > tree_auc - 0.02


def test_a_cross_scores_alike_in_python_sql_a_reloaded_card_and_monitoring(xor):
    import duckdb

    sc, out = xor
    (cross,) = sc.card_.crosses
    assert set(cross.columns) == {"age", "utilisation"} and len(cross.labels) <= 4
    assert [c["significant"] for c in sc.crosses_ if c["kept"]] == [True]
    X_test, _ = portfolio(3000, "xor", seed=3)
    want = sc.transform(X_test)
    name = sc.card_.crosses[0].name
    assert (want[f"{name}_points"] != sc.card_.crosses[0].neutral).any()
    assert (want[["reason_1", "reason_2", "reason_3"]] == name).any().any(), "the cross is never a reason"
    np.testing.assert_array_equal(Card.load(out).total(X_test), want["score"])
    np.testing.assert_array_equal(Scorecard.load(out).transform(X_test)["score"], want["score"])
    con = duckdb.connect()
    con.register("applicants", X_test)
    lite = sqlite3.connect(":memory:")
    X_test.to_sql("applicants", lite, index=False)
    for got in (
        con.execute(to_sql(sc.card_, dialect="duckdb")).df(),
        pd.read_sql(to_sql(sc.card_, dialect="sqlite"), lite),
    ):
        np.testing.assert_array_equal(got["score"].astype(float), want["score"])
        for column in (f"{name}_bin", "reason_1", "reason_2", "reason_3"):
            np.testing.assert_array_equal(got[column].astype(str), want[column].astype(str))
    counted = con.execute(to_monitor_sql(sc.card_, dialect="duckdb")).df()
    cells = counted[counted["predictor"] == name].set_index("bin")["applicants"].sort_index()
    python = count(sc.card_, X_test)[0]
    expected = python[python["predictor"] == name].set_index("bin")["applicants"].sort_index()
    pd.testing.assert_series_equal(cells.astype(int), expected.astype(int), check_names=False)
    assert set(sc.card_.baseline["parts"]["train"]["predictors"]) == set(sc.card_.names)


def test_an_additive_portfolio_gets_no_cross():
    X, y = portfolio(5000, "additive", seed=0)
    sc = Scorecard().fit(X, y)
    assert sc.card_.crosses == [] and sc.crosses_ and not any(c["significant"] for c in sc.crosses_)


def test_a_card_of_the_previous_format_loads_and_scores_as_it_did():
    card = Card.load(CARDS / "version3.json")
    applicants_ = pd.read_csv(CARDS / "version3_applicants.csv")
    got = card.score(applicants_.drop(columns=["expected_score", "expected_reason_1"]))
    np.testing.assert_array_equal(got["score"], applicants_["expected_score"])
    np.testing.assert_array_equal(got["reason_1"].astype(str), applicants_["expected_reason_1"].fillna(""))
    assert Card.from_dict(card.to_dict()).to_dict()["version"] == 4


# -- a hand-made card with crosses, on every SQL engine --------------------------------------------------------------

CROSSES = [
    {
        "name": "age x housing",
        "predictors": [
            {
                "name": "age",
                "type": "numerical",
                "splits": [35.0],
                "special_codes": [-1.0],
                "bins": [0, 1, "missing", "special"],
            },
            {
                "name": "housing",
                "type": "categorical",
                "splits": [["own"], ["free", "rent", ODD_CATEGORY]],
                "special_codes": ["N/A"],
                "bins": [0, 1, "missing", "special"],
            },
        ],
        "cells": [[0, 1, 1, 1], [2, 3, 3, 3], [0, 1, 1, 1], [2, 3, 2, 3]],
        "bins": [{"label": f"cell {i}", "points": p} for i, p in enumerate([-12.0, 7.0, 4.5, -3.0])],
        "neutral": 0.0,
    },
    {
        "name": "income x code",
        "predictors": [
            {"name": "income", "type": "numerical", "splits": [2000.0, 5000.0], "special_codes": [], "bins": [0, 1, 2]},
            {
                "name": "code",
                "type": "categorical",
                "splits": [["54", "7"], ["-3", "1.5", "100", "007"]],
                "special_codes": ["0"],
                "bins": [0, 1, "special"],
            },
        ],
        "cells": [[0, 1, 1], [1, 0, 2], [2, 2, 0]],
        "bins": [{"label": lab, "points": p} for lab, p in [("low", -9.0), ("mid", 2.0), ("high", 11.0)]],
        "neutral": 1.0,
    },
]

ENGINES = [
    ("duckdb", "typed"),
    ("sqlite", "mixed"),
    pytest.param("spark", "text", marks=pytest.mark.slow),
    pytest.param("postgres", "typed", marks=pytest.mark.slow),
]


@pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")
@pytest.mark.parametrize("engine,shape", ENGINES)
def test_sql_scores_crosses_as_python(engine, shape, request, tmp_path):
    body = {
        "format": "tessaly-card",
        "version": 4,
        "target": "bad",
        "bad": 1,
        "model": "xgb",
        "points": "module",
        "scaling": {"pdo": 20, "target_score": 200, "target_odds": 15, "resort": False},
        "predictors": PREDICTORS,
        "crosses": CROSSES,
    }
    card = Card.from_dict({**body, "checksum": checksum(body)})
    frame = _applicants(shape).head(20_000)
    seen, got = _run(engine, frame, to_sql(card, dialect=engine, ids=["id"]), request, tmp_path)
    got = got.assign(id=got["id"].astype(np.int64)).sort_values("id").reset_index(drop=True)
    want = card.score(seen.drop(columns="id"))
    for name in ("age x housing", "income x code"):
        assert want[f"{name}_bin"].nunique() >= 3, f"the data exercise too few cells of {name}"
        np.testing.assert_array_equal(got[f"{name}_bin"].astype(str), want[f"{name}_bin"].astype(str))
    np.testing.assert_allclose(got["score"].astype(float), want["score"], rtol=0, atol=1e-9)
    for k in (1, 2, 3):
        np.testing.assert_array_equal(got[f"reason_{k}"].astype(str), want[f"reason_{k}"].astype(str))


# -- bad input ---------------------------------------------------------------------------------------------------------


def _bins_file(tmp_path, entry):
    path = tmp_path / "bins.json"
    path.write_text(json.dumps(entry))
    return ["--bins", path]


BAD = {
    "negative crosses": (lambda d: ["--crosses", "-1"], "crosses (--crosses) must be auto, none or a whole number"),
    "fractional crosses": (lambda d: ["--crosses", "1.5"], "crosses (--crosses) must be auto, none or a whole number"),
    "a word": (lambda d: ["--crosses", "many"], "crosses (--crosses) must be auto, none or a whole number"),
    "a cross of unknown predictors": (
        lambda d: _bins_file(d, {"age x salary": {"cross": ["age", "salary"]}}),
        "name the cross 'age x salary' of 'salary', which is no predictor of X",
    ),
}


@pytest.mark.parametrize("case", BAD, ids=list(BAD))
def test_bad_cross_input_is_one_line_and_exit_1(case, tmp_path, capsys):
    options, message = BAD[case]
    data = tmp_path / "a.csv"
    applicants(300, seed=1).to_csv(data, index=False)
    capsys.readouterr()
    try:
        code = main(
            ["build", str(data), "bad", "--out", str(tmp_path / "card"), "--quiet", *map(str, options(tmp_path))]
        )
    except SystemExit as e:
        code = e.code
    err = capsys.readouterr().err
    assert code == 1 and err.count("\n") == 1 and message in err, err


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda c: c["crosses"][0]["cells"].pop(), "do not cover its predictors' bins"),
        (lambda c: c["crosses"][0]["cells"][0].__setitem__(0, 7), "do not cover its predictors' bins"),
        (lambda c: c["crosses"][0]["predictors"].pop(), "does not name two predictors"),
        (lambda c: c["crosses"][0]["predictors"][0]["splits"].append(-5.0), "not ascending finite numbers"),
        (lambda c: c.update(version=3), "crosses came with card format version 4"),
    ],
)
def test_a_damaged_cross_is_refused_in_one_line(change, message):
    body = {
        "format": "tessaly-card",
        "version": 4,
        "target": "bad",
        "bad": 1,
        "model": "xgb",
        "points": "module",
        "scaling": {"pdo": 20, "target_score": 200, "target_odds": 15, "resort": False},
        "predictors": PREDICTORS,
        "crosses": json.loads(json.dumps(CROSSES)),
    }
    change(body)
    with pytest.raises(InputError, match=message):
        Card.from_dict({**body, "checksum": checksum(body)})


def test_a_cross_left_out_in_the_editor_is_not_tried_again(xor):
    from tessaly.editor import crosses

    sc, _ = xor
    name = sc.card_.crosses[0].name
    state = crosses.toggled(crosses.first(sc.card_), {"cross": name, "on": False, "reason": "not explainable"}, "now")
    assert [c["included"] for c in crosses.view(sc.card_, state)] == [False]
    with pytest.raises(Exception, match="already out of the card"):
        crosses.toggled(state, {"cross": name, "on": False}, "now")
    bins = json.loads(json.dumps(crosses.left_out(state)))  # as the bins file holds it
    assert bins[name]["left_out"] == "not explainable"
    X, y = portfolio(5000, "xor", seed=1)
    again = Scorecard(bins=bins).fit(X, y)
    assert all({"age", "utilisation"} != set(c.columns) for c in again.card_.crosses)
    assert all({"age", "utilisation"} != set(c["predictors"]) for c in again.crosses_)
