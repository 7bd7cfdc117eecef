"""Builds in DuckDB and Spark: the same card as in memory, to sampling error, and their refusals."""

import json
import os
import shutil
import tempfile

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from applicants import applicants

from tessaly._build import build
from tessaly._card import Card
from tessaly._metrics import evaluate
from tessaly._scorecard import Scorecard
from tessaly.cli import main
from tessaly.engines import build_in
from tessaly.engines._build import _columns_of, _data_view, _Job
from tessaly.engines._engine import open_engine
from tessaly.engines._passes import TEST
from tessaly.monitoring.baseline import baseline

N = 100_000
# Each of these has at most a few hundred distinct values: its fine classes are its values, as in memory.
EXACT = ["age", "housing", "months_employed", "grade"]


@pytest.fixture(scope="module")
def frame():
    data = applicants(N, seed=5, grade=["E", "D", "C", "B", "A"])
    # Each outcome spread evenly over the contact classes: no information, and the card leaves it out.
    data["contact"] = np.array(["mail", "phone", "email"], dtype=object)[data.groupby("bad").cumcount() % 3]
    # Out of time: the last applicants form the test part.
    return data.assign(holdout=np.arange(N) >= int(0.7 * N))


@pytest.fixture(scope="module")
def parquet(frame, tmp_path_factory):
    path = tmp_path_factory.mktemp("engines") / "applicants.parquet"
    frame.to_parquet(path, index=False)
    return path


@pytest.fixture(scope="module")
def in_memory(frame, tmp_path_factory):
    return build(frame, tmp_path_factory.mktemp("memory") / "card", target="bad", test_column="holdout")


def _y(frame):
    return (frame["bad"] == "bad").to_numpy().astype(int)


@pytest.fixture(scope="module")
def weights(frame):
    return np.random.default_rng(3).choice([0.5, 1.0, 4.0], size=len(frame))


@pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")
# Spark in local mode takes over a minute for this build; its refusals below run in the quick suite.
@pytest.mark.parametrize("engine", ["duckdb", "duckdb weighted", pytest.param("spark", marks=pytest.mark.slow)])
def test_engine_builds_the_in_memory_card(engine, frame, parquet, in_memory, weights, tmp_path, request):
    session = request.getfixturevalue("spark") if engine == "spark" else None
    options = dict(target="bad", test_column="holdout")
    memory, w = in_memory, None
    if engine == "duckdb weighted":
        w, parquet = weights, tmp_path / "weighted.parquet"
        frame.assign(w=w).to_parquet(parquet, index=False)
        options.update(weight="w", benchmark="none")
        memory = build(frame.assign(w=w), tmp_path / "memory", **options)
    result = build_in(engine.split()[0], parquet, tmp_path / "card", session=session, **options)
    card = Card.load(tmp_path / "card")
    assert "contact" in result["scorecard"].dropped_ and "contact" not in card.names
    train, test = frame[~frame["holdout"]], frame[frame["holdout"]]
    w_train, w_test = (None, None) if w is None else (w[~frame["holdout"]], w[frame["holdout"]])

    # The engine's counts are the counts of the rows: the baseline and the test figures are exact.
    expected = baseline(card, train, _y(train), test, _y(test), sample_weight=w_train, test_weight=w_test)
    assert json.loads(json.dumps(card.baseline)) == json.loads(json.dumps(expected))
    exact = evaluate(_y(test), card.total(test), weights=w_test)
    assert result["metrics"]["auc"] == pytest.approx(exact["auc"], abs=1e-12)
    assert result["metrics"]["ks"] == pytest.approx(exact["ks"], abs=1e-12)
    assert result["metrics"]["n"] == len(test)
    scores = pd.read_csv(tmp_path / "card" / "test_scores.csv")
    assert sorted(scores["score"]) == sorted(card.total(test))
    # The benchmark trained on the model's sample and compared on the same test applicants.
    if w is None:
        rows = {r["name"]: r["n"] for r in result["metrics"]["challengers"]}
        assert rows[result["metrics"]["benchmark"]["model"]] == len(test)

    # Where the fine classes are the values themselves the bins are the in-memory ones; the card ranks alike.
    memory_card = memory["scorecard"].card_
    bins = {p.name: p.splits for p in card.predictors}
    assert {p.name: p.splits for p in memory_card.predictors if p.name in EXACT} == {k: bins[k] for k in EXACT}
    assert abs(result["metrics"]["auc"] - memory["metrics"]["auc"]) < 0.005
    assert np.corrcoef(card.total(test), memory_card.total(test))[0, 1] > 0.97


@pytest.fixture(scope="module")
def earlier(frame, tmp_path_factory):
    """A card from an earlier build, which a failed one must leave whole."""
    out = tmp_path_factory.mktemp("earlier") / "card"
    build(frame.iloc[::50], out, target="bad", test_column="holdout")
    return out


def _leftovers():
    return sorted(p for p in os.listdir(tempfile.gettempdir()) if p.startswith("tessaly-"))


@pytest.mark.parametrize("engine", ["duckdb", pytest.param("spark", marks=pytest.mark.slow)])
@pytest.mark.parametrize(
    "case, message",
    [
        ("no target", "target column 'nope' is not in the table"),
        ("unknown table", "no table 'nowhere'"),
        ("struct predictor", "column 'nested' holds"),
        ("negative weight", "--weight column 'w' has negative or infinite values"),
        ("repeated header", "has two columns named 'age'"),
        ("names differing by case", "columns 'age' and 'AGE', which SQL does not tell apart"),
        ("files of two schemas", "2.parquet' has no column 'grade', which"),
        ("interrupted", None),
    ],
)
def test_engine_refusals_leave_nothing_behind(
    engine, case, message, frame, earlier, tmp_path, tmp_path_factory, request, monkeypatch, capsys
):
    # A temporary folder of the test's own: other runs on the machine come and go in the shared one.
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path_factory.mktemp("temporary")))
    session = request.getfixturevalue("spark") if engine == "spark" else None
    data = frame.iloc[::50]
    table = pa.Table.from_pandas(data, preserve_index=False)
    if case == "struct predictor":
        table = table.append_column("nested", pa.array([{"a": i} for i in range(len(data))]))
    if case == "negative weight":
        table = table.append_column("w", pa.array(np.where(np.arange(len(data)) == 7, -1.0, 1.0)))
    path = tmp_path / "applicants.parquet"
    if case == "repeated header":
        path = tmp_path / "applicants.csv"
        data.rename(columns={"debt_ratio": "age"}).to_csv(path, index=False)
    elif case == "names differing by case":
        pq.write_table(table.append_column("AGE", table["age"]), path)
    elif case == "files of two schemas":
        path.mkdir()
        pq.write_table(table.slice(0, 1000), path / "1.parquet")
        pq.write_table(table.slice(1000).drop_columns(["grade"]), path / "2.parquet")
    else:
        pq.write_table(table, path)
    out = tmp_path / "card"
    shutil.copytree(earlier, out)
    before = {p.name: p.read_bytes() for p in out.iterdir() if p.is_file()}
    leftovers = _leftovers()
    argv = [
        "build",
        str(path),
        "nope" if case == "no target" else "bad",
        "--out",
        str(out),
        "--engine",
        engine,
        "--quiet",
    ]
    if case == "negative weight":
        argv += ["--weight", "w"]
    if case == "unknown table":
        argv[1] = "default" if engine == "spark" else str(tmp_path / "applicants.duckdb")
        if engine == "duckdb":
            import duckdb

            with duckdb.connect(argv[1]) as con:
                con.execute(f"CREATE TABLE applicants AS SELECT * FROM read_parquet('{path}')")
        argv += ["--table", "nowhere"]
    if case == "interrupted":

        def stop(*args, **kwargs):
            raise KeyboardInterrupt

        monkeypatch.setattr("tessaly.engines._passes.counts", stop)
    code = main(argv)
    err = capsys.readouterr().err
    if case == "interrupted":
        assert code == 130
    else:
        assert code == 1 and err.count("\n") == 1 and message in err, err
    # The earlier card whole, no staging folder beside it, no spill folder, no view left in the session.
    assert {p.name: p.read_bytes() for p in out.iterdir() if p.is_file()} == before
    assert sorted(p.name for p in tmp_path.iterdir() if p.suffix != ".duckdb") == [path.name, "card"]
    assert _leftovers() == leftovers
    if session is not None:
        assert [t.name for t in session.catalog.listTables() if t.name.startswith("tessaly_")] == []


@pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")
@pytest.mark.parametrize(
    "second", ["duckdb again", "duckdb, rows reordered", pytest.param("spark", marks=pytest.mark.slow)]
)
def test_the_engine_split_holds_its_share_of_the_same_rows_wherever_it_runs(second, frame, tmp_path, request):
    data = frame.drop(columns="holdout").assign(id=np.arange(N))

    def test_ids(engine, rows, name):
        """The rows the build's data view puts in the test part, by their ids."""
        rows.to_parquet(tmp_path / f"{name}.parquet", index=False)
        session = request.getfixturevalue("spark") if engine == "spark" else None
        job = _Job("bad", None, 0.3, [], ["id"], None, False, 0, None)
        eng = open_engine(engine, tmp_path / f"{name}.parquet", None, session)
        try:
            columns, _, names = _columns_of(eng, job)
            view = _data_view(eng, Scorecard(), columns, names, job, "bad")
            return set(eng.query(f"SELECT id FROM {view} WHERE {TEST}")["id"])
        finally:
            eng.close()

    first = test_ids("duckdb", data, "first")
    reordered = data.sample(frac=1, random_state=1) if second == "duckdb, rows reordered" else data
    assert test_ids(second.split(",")[0].split()[0], reordered, "second") == first
    assert abs(len(first) / N - 0.3) < 0.005
