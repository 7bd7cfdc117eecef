"""Protected groups measured and never used, reasons in words on every route, and the model document."""

import json
import sqlite3

import docx
import duckdb
import numpy as np
import pandas as pd
import pytest

from tessaly import Scorecard
from tessaly._build import build
from tessaly._card import Card
from tessaly.cli import main
from tessaly.document.content import SECTIONS
from tessaly.fairness.measures import approvals, groups_of, ratio_interval
from tessaly.fairness.proxies import cramers_v
from tessaly.sql import to_sql

CUTOFFS = [190.0, 205.0]


def run(*args):
    return main([str(a) for a in args])


def applicants(n=1600, seed=3) -> pd.DataFrame:
    """A protected group that predicts the outcome, a postcode that stands in for it, and an age that does not."""
    rng = np.random.default_rng(seed)
    group = rng.choice(["a", "b"], n)
    near = rng.random(n) < 0.9
    postcode = np.where((group == "a") == near, rng.choice(["p1", "p2", "p3"], n), rng.choice(["p4", "p5", "p6"], n))
    income = rng.lognormal(8, 0.6, n).round(0)
    age = rng.integers(18, 80, n)
    logit = -1.2 + 1.3 * (group == "b") - 0.6 * (np.log(income) - 8) / 0.6 - 0.02 * (age - 45)
    bad = (rng.random(n) < 1 / (1 + np.exp(-logit))).astype(int)
    return pd.DataFrame({"group": group, "postcode": postcode, "income": income, "age": age, "bad": bad})


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    data = applicants()
    out = tmp_path_factory.mktemp("fair") / "card"
    params = {"protected": ["group"], "cutoffs": CUTOFFS, "reason_rule": "maximum"}
    result = build(data, out, target="bad", params=params, benchmark="none")
    return data, out, result


# -- the measures ---------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("weighted", [False, True])
def test_approvals_are_those_of_the_rows_repeated(weighted):
    rng = np.random.default_rng(1)
    groups = rng.choice(["x", "y", "z"], 300, p=[0.5, 0.3, 0.2])
    score = rng.normal(200, 20, 300).round()
    w = rng.integers(1, 4, 300) if weighted else np.ones(300, dtype=int)
    codes, names = groups_of(groups)
    got = approvals(codes, names, score, 200, w if weighted else None)
    # The slow way: every row repeated as often as it weighs, each group counted by hand.
    rows = [(g, s) for g, s, k in zip(groups, score, w) for _ in range(k)]
    rates = {g: np.mean([s >= 200 for h, s in rows if h == g]) for g in names}
    best = max(rates, key=rates.get)
    assert got["reference"] == best
    for r in got["groups"]:
        assert r["approval_rate"] == pytest.approx(rates[r["group"]])
        assert r["impact_ratio"] == pytest.approx(rates[r["group"]] / rates[best])
        assert r["flagged"] == (rates[r["group"]] / rates[best] < 0.8)


@pytest.mark.parametrize("p, q, n, m", [(0.5, 0.4, 200, 300), (0.8, 0.6, 80, 400), (0.3, 0.3, 150, 150)])
def test_impact_ratio_interval_covers_the_true_ratio_as_stated(p, q, n, m):
    rng = np.random.default_rng(5)
    a, b = rng.binomial(n, q, 4000), rng.binomial(m, p, 4000)
    intervals = np.array([ratio_interval(x, n, y, m) for x, y in zip(a, b)], dtype=float)
    covered = (intervals[:, 0] <= q / p) & (q / p <= intervals[:, 1])
    assert 0.93 <= covered.mean() <= 0.97


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_cramers_v_and_its_p_value_are_scipys(seed):
    from scipy.stats import chi2_contingency
    from scipy.stats.contingency import association

    rng = np.random.default_rng(seed)
    a = rng.integers(0, 4, 500)
    b = (a + rng.integers(0, 3, 500) * seed) % 3
    table = pd.crosstab(a, b).to_numpy()
    v, p = cramers_v(a, b)
    assert v == pytest.approx(association(table, method="cramer"))
    assert p == pytest.approx(chi2_contingency(table, correction=False).pvalue)


# -- a build with a protected column --------------------------------------------------------------------------------


def test_a_protected_column_never_enters_the_card_and_its_figures_are_the_test_scores(built):
    data, out, result = built
    card = Card.load(out)
    assert "group" not in card.names and "group" not in pd.read_csv(out / "table.csv")["predictor"].tolist()
    assert "group" not in result["scorecard"].feature_names_in_
    metrics = json.loads((out / "metrics.json").read_text())
    fair = metrics["fairness"]
    assert fair["cutoffs"] == CUTOFFS
    # Recomputed from the test scores the build wrote, joined to the input rows by hand.
    scores = pd.read_csv(out / "test_scores.csv")
    scores["group"] = data["group"].to_numpy()[scores["row"]]
    by_group = {g["group"]: g for g in fair["groups"]["group"]["groups"]}
    for name, rows in scores.groupby("group"):
        got = by_group[name]
        assert got["applicants"] == len(rows)
        assert got["bad_rate"] == pytest.approx(rows["bad"].mean())
        assert got["mean_score"] == pytest.approx(rows["score"].mean())
    for at in fair["groups"]["group"]["cutoffs"]:
        rates = scores.assign(ok=scores["score"] >= at["cutoff"]).groupby("group")["ok"].mean()
        for g in at["groups"]:
            assert g["approval_rate"] == pytest.approx(rates[g["group"]])
            assert g["impact_ratio"] == pytest.approx(rates[g["group"]] / rates.max())
    assert 'id="fairness"' in (out / "report.html").read_text(encoding="utf-8")


@pytest.mark.slow
def test_the_estimator_keeps_the_protected_column_out_and_asks_for_it_to_report(tmp_path):
    from tessaly._errors import InputError

    data = applicants(900, seed=8)
    X, y = data.drop(columns="bad"), data["bad"]
    sc = Scorecard(protected=["group"], cutoffs=[200]).fit(X[:600], y[:600])
    assert "group" not in sc.card_.names and "group" not in sc.feature_names_in_
    with pytest.raises(InputError, match="lack the protected column 'group'"):
        sc.report(tmp_path / "r.html", X[600:].drop(columns="group"), y[600:], benchmark="none")
    fair = sc.report(tmp_path / "r.html", X[600:], y[600:], benchmark="none")["fairness"]
    assert [g["group"] for g in fair["groups"]["group"]["groups"]] == ["a", "b"]
    assert all("without" not in p for p in fair["proxies"])  # no training rows given: nothing refitted


def test_a_planted_proxy_is_flagged_and_costed_and_an_independent_predictor_is_not(built):
    _, out, _ = built
    fair = json.loads((out / "metrics.json").read_text())["fairness"]
    flagged = {p["predictor"]: p for p in fair["proxies"]}
    assert set(flagged) == {"postcode"}
    postcode = flagged["postcode"]
    assert postcode["cramers_v"] > 0.5 and postcode["p_value"] < 1e-6
    assert postcode["without"]["auc_change"] is not None
    assert [c["cutoff"] for c in postcode["without"]["impact"]] == CUTOFFS
    age = next(a for a in fair["associations"] if a["predictor"] == "age")
    assert not age["flagged"] and age["cramers_v"] < 0.3


def test_monitoring_adds_each_periods_approvals_as_counted_by_hand(built, tmp_path):
    from tessaly.monitoring.command import monitor

    data, out, _ = built
    live = data.assign(applied=np.where(np.arange(len(data)) % 3, "2024-01-20", "2024-02-03"))
    result = monitor(out, live, protected=["group"], period_column="applied", batch_rows=500)
    fair = result["fairness"]
    assert fair["cutoffs"] == CUTOFFS  # the build's
    live["score"] = Card.load(out).total(live)
    live["month"] = live["applied"].str[:7]
    seen = set()
    for entry in fair["columns"]["group"]:
        rows = live if entry["scope"] == "all" else live[live["month"] == entry["scope"]]
        rates = (rows["score"] >= entry["cutoff"]).groupby(rows["group"]).mean()
        for g in entry["groups"]:
            assert g["approval_rate"] == pytest.approx(rates[g["group"]])
            assert g["impact_ratio"] == pytest.approx(rates[g["group"]] / rates.max())
        seen.add((entry["scope"], entry["cutoff"]))
    assert seen == {(s, c) for s in ("all", "2024-01", "2024-02") for c in CUTOFFS}


# -- reasons in words -----------------------------------------------------------------------------------------------


def test_reason_texts_are_the_same_on_every_route_after_a_rewrite(built, tmp_path):
    import shutil

    data, out, _ = built
    card_dir = tmp_path / "card"
    shutil.copytree(out, card_dir)
    label = Card.load(card_dir).predictors[0].labels[0]
    first = Card.load(card_dir).names[0]
    texts = tmp_path / "texts.json"
    texts.write_text(json.dumps({first: {label: 'It\'s the "first" bin – ünusual'}, "income": "Income is low"}))
    assert run("reasons", card_dir, texts) == 0
    card = Card.load(card_dir)  # the checksum verifies
    assert card.reasons[first] == {label: 'It\'s the "first" bin – ünusual'} and card.reason_rule == "maximum"

    applicants_file = tmp_path / "applicants.csv"
    data.drop(columns="bad").to_csv(applicants_file, index=False)
    assert run("score", card_dir, applicants_file, "--out", tmp_path / "scores.csv", "--quiet") == 0
    routes = {
        "score": pd.read_csv(tmp_path / "scores.csv", keep_default_na=False),
        "transform": Scorecard.load(card_dir).transform(data),
    }
    con = duckdb.connect()
    con.register("applicants", data)
    routes["duckdb"] = con.execute(to_sql(card, dialect="duckdb")).df()
    with sqlite3.connect(":memory:") as db:
        data.to_sql("applicants", db, index=False)
        routes["sqlite"] = pd.read_sql(to_sql(card, dialect="sqlite"), db)
    columns = [f"reason_{k}_text" for k in (1, 2, 3)]
    want = routes.pop("score")[columns].astype(str)
    assert "Income is low" in set(want.to_numpy().ravel())
    for name, got in routes.items():
        pd.testing.assert_frame_equal(got[columns].astype(str).reset_index(drop=True), want, obj=name)


def test_a_refused_rewrite_leaves_the_card_as_it_was(built, tmp_path, capsys):
    _, out, _ = built
    before = (out / "card.json").read_bytes()
    texts = tmp_path / "texts.json"
    texts.write_text(json.dumps({"income": {"no such bin": "x"}}))
    assert run("reasons", out, texts) == 1
    assert "no such bin" in capsys.readouterr().err
    assert (out / "card.json").read_bytes() == before
    assert sorted(p.name for p in out.iterdir() if p.name.startswith(".card.json")) == []


# -- the document ---------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("suffix", [".docx", ".html"])
def test_the_document_opens_and_holds_its_sections(built, tmp_path, suffix):
    _, out, _ = built
    about = tmp_path / "about.yaml"
    about.write_text("purpose: Unsecured loans up to 10,000\nchanges:\n  - first version\n", encoding="utf-8")
    path = tmp_path / f"model{suffix}"
    assert run("document", out, "--out", path, "--about", about, "--quiet") == 0
    if suffix == ".docx":
        doc = docx.Document(str(path))
        headings = [p.text for p in doc.paragraphs if p.style.name == "Heading 1"]
        text = "\n".join(p.text for p in doc.paragraphs) + "".join(
            c.text for t in doc.tables for r in t.rows for c in r.cells
        )
        assert len(doc.inline_shapes) >= 2 + len(Card.load(out).names)  # distribution, gains, each WoE
    else:
        text = path.read_text(encoding="utf-8")
        headings = [s for s in SECTIONS if f"<h2>{s}</h2>" in text]
        assert text.count("<img ") >= 2 + len(Card.load(out).names)
    assert headings == list(SECTIONS)
    assert "Unsecured loans up to 10,000" in text and "first version" in text
    assert "postcode" in text and Card.load(out).to_dict()["checksum"] in text


# -- bad input ------------------------------------------------------------------------------------------------------


def _bad_cases(tmp_path, out):
    data = tmp_path / "data.csv"
    applicants(300).to_csv(data, index=False)
    new = tmp_path / "new"
    listing = tmp_path / "list.json"
    listing.write_text('["a"]')
    unknown = tmp_path / "unknown.json"
    unknown.write_text('{"nobody": "x"}')
    empty = tmp_path / "empty.json"
    empty.write_text('{"income": ""}')
    bare = tmp_path / "bare"
    bare.mkdir()
    (bare / "card.json").write_bytes((out / "card.json").read_bytes())
    build_ = ["build", data, "bad", "--out", new, "--benchmark", "none"]
    return {
        "unknown protected": ([*build_, "--protected", "sex"], "'sex' is not in the table"),
        "target protected": ([*build_, "--protected", "bad"], "is the target"),
        "values, not groups": ([*build_, "--protected", "income"], "distinct values"),
        "protected in an engine": ([*build_, "--protected", "group", "--engine", "duckdb"], "builds in memory"),
        "dropped protected": ([*build_, "--protected", "age", "--drop", "age"], "--drop"),
        "id protected": ([*build_, "--protected", "age", "--id", "age"], "--id"),
        "reasons not a mapping": ([*build_, "--reasons", listing], "JSON object of texts"),
        "reasons of nobody": (["reasons", out, unknown], "'nobody', which is no predictor"),
        "empty reason": (["reasons", out, empty], "non-empty text"),
        "document without metrics": (["document", bare, "--out", tmp_path / "m.docx"], "metrics.json"),
        "document as pdf": (["document", out, "--out", tmp_path / "m.pdf"], ".docx or .html"),
        "monitor counts protected": (["monitor", out, "--counts", data, "--protected", "group"], "--protected"),
    }


CASES = [
    "unknown protected",
    "target protected",
    "values, not groups",
    "protected in an engine",
    "dropped protected",
    "id protected",
    "reasons not a mapping",
    "reasons of nobody",
    "empty reason",
    "document without metrics",
    "document as pdf",
    "monitor counts protected",
]


@pytest.mark.parametrize("case", CASES)
def test_bad_input_is_one_line_and_exit_1(built, tmp_path, capsys, case):
    argv, words = _bad_cases(tmp_path, built[1])[case]
    capsys.readouterr()
    assert run(*argv, "--quiet") == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("tessaly: error:") and words in err, err
    assert not (tmp_path / "new").exists()
