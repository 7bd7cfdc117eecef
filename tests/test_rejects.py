"""Reject inference: each method's rows against a plain reference, the factor's effect, the estimator, the
build's chapter and baseline, and the refusals."""

import json
import math

import numpy as np
import pandas as pd
import pytest
from applicants import applicants

from tessaly import Scorecard
from tessaly.cli import main
from tessaly.rejects import _methods as m

METHODS = m.METHODS


def _population(n_a=40, n_r=25, seed=0):
    rng = np.random.default_rng(seed)
    score = rng.normal(600, 40, n_a).round()
    return m.Population(
        bad=(rng.random(n_a) < 0.3).astype(np.int8),
        weight=rng.integers(1, 4, n_a).astype(float),
        reject_weight=rng.integers(1, 3, n_r).astype(float),
        p_reject=rng.uniform(0.05, 0.9, n_r),
        score=score,
        reject_score=rng.normal(560, 40, n_r).round(),
        edges=m.band_edges(score, np.ones(n_a), 4),
    )


def _reference(method, pop, factor, cutoff):
    """Each method written out applicant by applicant: rows of (source, bad, weight) and each reject's bad."""

    def band(s):
        return sum(1 for e in pop.edges if s >= e)

    def shifted(p):
        return factor * p / (1 - p + factor * p)

    k = len(pop.edges) + 1
    acc_n, acc_bad, rej_n = [0.0] * k, [0.0] * k, [0.0] * k
    for s, b, w in zip(pop.score, pop.bad, pop.weight):
        acc_n[band(s)] += w
        acc_bad[band(s)] += w * b
    for s, w in zip(pop.reject_score, pop.reject_weight):
        rej_n[band(s)] += w
    rows = [(i, int(b), float(w)) for i, (b, w) in enumerate(zip(pop.bad, pop.weight))]
    n_a, rejects = len(pop.bad), []
    for j, (p, s, w) in enumerate(zip(pop.p_reject, pop.reject_score, pop.reject_weight)):
        rate = acc_bad[band(s)] / acc_n[band(s)]
        if method == "none":
            rejects.append(p)
        elif method == "fuzzy":
            rows += [(n_a + j, 1, w * shifted(p)), (n_a + j, 0, w * (1 - shifted(p)))]
            rejects.append(shifted(p))
        elif method == "hard-cutoff":
            rows.append((n_a + j, int(s < cutoff), w))
            rejects.append(float(s < cutoff))
        elif method == "reweight":
            rejects.append(rate)
        else:  # parcel: the draw is the rule's, its probability is checked apart
            rejects.append(None)
    if method == "reweight":
        rows = [(i, b, w * (acc_n[band(s)] + rej_n[band(s)]) / acc_n[band(s)]) for (i, b, w), s in zip(rows, pop.score)]
    return sorted(rows), rejects


@pytest.mark.parametrize("factor", [1.0, 2.5])
@pytest.mark.parametrize("method", METHODS)
def test_each_method_matches_the_reference_and_the_weights_add_up(method, factor):
    pop = _population()
    r = m.rows(method, pop, factor, cutoff=560.0, seed=3)
    rows, rejects = _reference(method, pop, factor, 560.0)
    through = pop.weight.sum() + pop.reject_weight.sum()
    if method == "parcel":
        drawn = r.bad[pop.n_accepts :]
        assert set(r.source[pop.n_accepts :]) == set(pop.n_accepts + np.arange(len(drawn)))
        assert np.array_equal(r.reject_bad, drawn) and np.array_equal(r.weight[pop.n_accepts :], pop.reject_weight)
        assert np.array_equal(m.rows(method, pop, factor, cutoff=0, seed=3).bad, r.bad)  # seeded
        return
    got = sorted(zip(r.source.tolist(), r.bad.astype(int).tolist(), r.weight.tolist()))
    assert [(i, b) for i, b, _ in got] == [(i, b) for i, b, _ in rows]
    np.testing.assert_allclose([w for *_, w in got], [w for *_, w in rows], rtol=1e-12)
    np.testing.assert_allclose(r.reject_bad, rejects, rtol=1e-12)
    total = r.weight.sum()
    expected = pop.weight.sum() if method == "none" else through
    assert math.isclose(total, expected, rel_tol=1e-12)
    if method == "fuzzy" and factor == 1.0:  # missing at random: each reject gets the accepts-only probability
        np.testing.assert_allclose(r.reject_bad, pop.p_reject, rtol=1e-12)


def test_parcel_draws_at_the_shifted_band_rate():
    pop = _population(n_a=400, n_r=20_000, seed=1)
    r = m.parcel(pop, 3.0, seed=0)
    rate = m.shifted(m.band_rates(pop), 3.0)[m.band_of(pop.reject_score, pop.edges)]
    assert abs(r.reject_bad.mean() - np.average(rate)) < 0.01


@pytest.mark.parametrize("method", ["fuzzy", "parcel"])
def test_the_inferred_reject_bad_rate_rises_with_the_factor(method):
    pop = _population(n_a=300, n_r=5000, seed=2)
    rates = [m.reject_bad_rate(pop, m.rows(method, pop, k, cutoff=0, seed=0)) for k in m.FACTORS]
    assert all(a < b for a, b in zip(rates, rates[1:])), rates
    pop_rates = [m.population_bad_rate(pop, m.rows(method, pop, k, cutoff=0, seed=0)) for k in m.FACTORS]
    assert all(a < b for a, b in zip(pop_rates, pop_rates[1:]))


def _through_the_door(n=2500, seed=5):
    """Applicants an earlier policy chose on debt and on something the data lack."""
    X, y = applicants(n, seed=seed, xy=True)
    hidden = np.random.default_rng(seed).normal(size=n)
    accepted = (-2 * (X["debt_ratio"] - 0.4) + hidden + 0.3 - 0.8 * y) > 0
    return X[accepted], y[accepted], X[~accepted]


@pytest.fixture(scope="module")
def fitted():  # the slow tests' only
    X, y, R = _through_the_door()
    return Scorecard(reject_factor=2.0).fit(X, y, rejects=R), X, y, R


@pytest.mark.slow
def test_the_estimator_keeps_the_grid_and_a_through_the_door_baseline(fitted):
    sc, X, y, R = fitted
    inf = sc.rejects_
    assert [(g["method"], g["factor"]) for g in inf.grid][:6] == [("accepts only", None)] + [
        ("fuzzy", k) for k in m.FACTORS
    ]
    assert {g["method"] for g in inf.grid} == {"accepts only", *METHODS[1:]}
    rates = [g["reject_bad_rate"] for g in inf.grid[1:6]]
    assert all(a < b for a, b in zip(rates, rates[1:]))
    # the population counts accepts and rejects as development saw them; outcomes stay the accepts'
    parts = sc.card_.baseline["parts"]
    assert math.isclose(parts["train"]["applicants"], len(X) + len(R), rel_tol=1e-9)
    assert parts["test"]["applicants"] == len(X)
    # a new sample through the door of the same process keeps the score stable against this baseline
    X_new, _, R_new = _through_the_door(2500, seed=6)
    summary = sc.monitor(pd.concat([X_new, R_new]))["summary"]
    assert summary.loc[0, "score_verdict"] == "green", summary.loc[0, "score_psi"]
    accepts_only = sc.rejects_.base.monitor(pd.concat([X_new, R_new]))["summary"]  # its baseline lacks the rejects
    assert summary.loc[0, "score_psi"] < accepts_only.loc[0, "score_psi"] / 2
    # no rejects, no inference: refitting clears the grid
    assert Scorecard().fit(X, y).rejects_ is None


def _tables(tmp_path):
    X, y, R = _through_the_door(2000, seed=7)
    accepts = X.assign(bad=y.to_numpy())
    rejects = R.assign(bad=1, known=np.where(np.arange(len(R)) % 4 == 0, 1 - (R["debt_ratio"] < 0.3), None))
    accepts.to_csv(tmp_path / "accepts.csv", index=False)
    rejects.to_csv(tmp_path / "rejects.csv", index=False)
    return tmp_path / "accepts.csv", tmp_path / "rejects.csv"


@pytest.mark.slow
def test_the_build_writes_the_chapter_and_its_figures(tmp_path, capsys):
    accepts, rejects = _tables(tmp_path)
    out = tmp_path / "card"
    args = [accepts, "bad", "--out", out, "--rejects", rejects, "--reject-outcome", "known", "--benchmark", "none"]
    assert main(["build", *[str(a) for a in args], "--quiet"]) == 0
    r = json.loads((out / "metrics.json").read_text())["rejects"]
    assert {"assumption", "counts", "bands", "grid", "holdout", "notes", "scores"} <= set(r)
    assert "2 times" in r["assumption"] and any("'bad'" in n and "ignored" in n for n in r["notes"])
    assert len(r["grid"]) == 9 and sum(g["chosen"] for g in r["grid"]) == 1
    assert all(g["auc_ci"][0] <= g["auc"] <= g["auc_ci"][1] for g in r["grid"])
    assert r["holdout"]["best_factor"] in m.FACTORS and r["holdout"]["bands"]
    assert 'id="rejects"' in (out / "report.html").read_text()
    baseline = json.loads((out / "card.json").read_text())["baseline"]
    assert "train" in json.dumps(baseline)


@pytest.fixture(scope="module")
def bad_inputs(tmp_path_factory):
    """Tables to refuse, and a card of an earlier build that a refused build must leave whole."""
    tmp_path = tmp_path_factory.mktemp("rejects")
    accepts, rejects = _tables(tmp_path)
    X, y, _ = _through_the_door(600, seed=8)
    Scorecard().fit(X, y).save(tmp_path / "card")
    R = pd.read_csv(rejects)
    R.drop(columns="age").to_csv(tmp_path / "short.csv", index=False)
    R.assign(age="old").to_csv(tmp_path / "text.csv", index=False)
    A = pd.read_csv(accepts)
    pd.concat([A.assign(rej="no"), R.drop(columns="known").assign(bad=None, rej="maybe")]).to_csv(
        tmp_path / "all.csv", index=False
    )
    return tmp_path


@pytest.mark.parametrize(
    "extra, words",
    [
        (["--rejects", "short.csv"], "lacks the predictor column 'age'"),
        (["--rejects", "rejects.csv", "--reject-factor", "0"], "reject_factor (--reject-factor) must be"),
        (["--rejects", "rejects.csv", "--inference", "guess"], "unknown inference (--inference) 'guess'"),
        (["--rejects", "text.csv"], "column 'age' holds"),
        (["--rejected", "rej", "DATA=all.csv"], "--rejected 'rej' holds 'maybe'"),
        (["--rejects", "rejects.csv", "--rejected", "rej"], "either as a table"),
        (["--reject-outcome", "known"], "give --rejects or --rejected too"),
    ],
)
def test_bad_rejects_end_in_one_line_and_keep_the_card(bad_inputs, capsys, extra, words):
    tmp_path = bad_inputs
    out = tmp_path / "card"
    before = (out / "card.json").read_text()
    data = next((e.split("=")[1] for e in extra if e.startswith("DATA=")), "accepts.csv")
    extra = [e if not e.endswith(".csv") else str(tmp_path / e) for e in extra if not e.startswith("DATA=")]
    code = main(["build", str(tmp_path / data), "bad", "--out", str(out), *extra, "--quiet"])
    err = capsys.readouterr().err.strip()
    assert code == 1 and len(err.splitlines()) == 1 and words in err, err
    assert (out / "card.json").read_text() == before


@pytest.mark.slow
@pytest.mark.parametrize("engine", ["duckdb", "spark"])
def test_an_engine_reads_the_rejects_as_a_second_table(tmp_path, engine):
    accepts, rejects = _tables(tmp_path)
    out = tmp_path / "card"
    args = [accepts, "bad", "--out", out, "--engine", engine, "--rejects", rejects, "--benchmark", "none"]
    assert main(["build", *map(str, args), "--quiet"]) == 0
    r = json.loads((out / "metrics.json").read_text())["rejects"]
    assert len(r["grid"]) == 9 and any("ignored" in n for n in r["notes"])
    train = json.loads((out / "card.json").read_text())["baseline"]["parts"]["train"]
    assert train["applicants"] > r["counts"]["accepted_goods"] + r["counts"]["accepted_bads"]
