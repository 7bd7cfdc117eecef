"""The exported SQL scores exactly like the Python scorer, run on real engines."""

import csv
import glob
import io
import os
import shutil
import sqlite3
import subprocess
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from tessaly._card import Card, checksum
from tessaly._errors import InputError
from tessaly.sql import to_sql

N = 100_000
ODD = 'debt "ratio" \\ é`'  # quotes, a backslash, a backtick, non-ASCII
ODD_CATEGORY = 'it\'s "x" \\ n\u00e9\U0001f600\n\tend'


def _predictor(name, kind, splits, points, neutral, special_codes=(), special=None, missing=None, labels=None):
    labels = labels or [str(s) for s in (splits if kind == "categorical" else range(len(points)))]
    bins = [
        {"label": lab, "kind": "regular", "index": i, "points": p} for i, (lab, p) in enumerate(zip(labels, points))
    ]
    if special is not None:
        bins.append({"label": "Special", "kind": "special", "points": special})
    if missing is not None:
        bins.insert(1, {"label": "Missing", "kind": "missing", "points": missing})  # bins need not be in index order
    return {
        "name": name,
        "type": kind,
        "splits": splits,
        "special_codes": list(special_codes),
        "bins": bins,
        "neutral": neutral,
    }


PREDICTORS = [
    _predictor(
        "age",
        "numerical",
        [25.5, 40.0, 61.0],
        [10.0, 18.0, 27.0, 35.0],
        20.0,
        special_codes=[-1.0],
        special=5.0,
        missing=12.0,
        labels=["(-inf, 25.5)", "[25.5, 40)", "[40, 61)", "[61, inf)"],
    ),
    # Module-card points: any float; no missing bin, so a missing income is Unseen.
    _predictor(
        "income",
        "numerical",
        [1500.25, 3000.0, 7500.5],
        [3.141592653589793, 11.5, 19.000000000000004, 26.25],
        14.7,
        special_codes=[-999.0, 0.1],
        special=1.1,
    ),
    _predictor(ODD, "numerical", [0.1, 0.35], [30.0, 15.0, 2.0], 15.0, missing=7.0),
    _predictor(
        "housing",
        "categorical",
        [["own"], ["free", "rent"], [ODD_CATEGORY]],
        [25.0, 12.0, 4.0],
        15.0,
        special_codes=["N/A"],
        special=9.0,
        missing=11.0,
        labels=["own", "free or rent", ODD_CATEGORY],
    ),
    # Hand-made keys that are not canonical: text equal to a key takes that key's bin before canonical matching.
    _predictor(
        "code",
        "categorical",
        [["54", "7"], ["-3", "1.5"], ["100", "007"]],
        [8.5, 2.25, 17.0],
        8.5,
        special_codes=["0"],
        special=6.0,
        labels=["54|7", "-3|1.5", "100"],
    ),
    _predictor(
        "select",
        "categorical",
        [["a", "b"], ["c"], ["True"], ["2020-01-05"]],
        [10.0, 0.0, 20.0, 5.0],
        10.0,
        missing=3.0,
        labels=["a|b", "c", "True", "day"],
    ),
    _predictor(
        "loans",
        "categorical",
        [["0"], ["1", "2"], ["3", " 5"]],
        [14.0, 9.0, 1.0],
        9.0,
        special_codes=["5"],
        special=0.0,
        labels=["none", "few", "many"],
    ),
]


# Texts that each engine must quote as it is; the other bins read by default.
REASON_TEXTS = {
    "housing": {
        "free or rent": 'Renting, or housed for free: it\'s \\ 50% of "why"',
        ODD_CATEGORY: "Ünusual – housing",
    },
    "loans": {"many": "Many loans already"},
}


def _card(predictors=PREDICTORS, **extra):
    body = {
        "format": "tessaly-card",
        "version": 2,
        "target": "bad",
        "bad": 1,
        "model": "xgb",
        "points": "module",
        "scaling": {"pdo": 20, "target_score": 200, "target_odds": 15, "resort": False},
        "predictors": predictors,
        **extra,
    }
    return {**body, "checksum": checksum(body)}


def _pick(rng, choices):
    return np.asarray(choices, dtype=object)[rng.integers(0, len(choices), N)]


def _applicants(shape: str) -> pd.DataFrame:
    """Applicants with missing, special, unseen and unreadable values, as the engine will type them."""
    rng = np.random.default_rng(7)
    up, down = np.nextafter(25.5, np.inf), np.nextafter(3000.0, -np.inf)
    age = np.round(rng.uniform(16, 80, N), 1)
    edges = {
        "age": [25.5, 40.0, 61.0, up, -1.0, np.nan, np.inf, -0.0],
        "income": [1500.25, down, 3000.0, 0.1, -999.0, np.nan, -np.inf],
        ODD: [0.1, 0.35, np.nextafter(0.1, 1.0), np.nan],
    }
    numbers = {"age": age, "income": np.round(rng.lognormal(8, 1, N), 2), ODD: rng.uniform(0, 0.6, N)}
    for name, special in edges.items():
        at = rng.random(N) < 0.25
        numbers[name][at] = _pick(rng, special)[at].astype(float)
    texts = {
        "age": [
            "30",
            " 41.5 ",
            "5e1",
            "\t62\n",
            "-1",
            "-1.0",
            " -1e0",
            "1,000",
            "abc",
            "nan",
            "inf",
            "",
            "1e400",
            "25.5",
            "+25.5",
            ".5",
            "61.",
            repr(up),
        ],
        "income": ["1e-400", "0.1", "0.10", "-999", "3000", "2999.9999999999995", "$5", "7500.5"],
        ODD: ["0.1", "0.35", "1e-1", "x", None],
    }
    categories = {
        "housing": ["own", "free", "rent", ODD_CATEGORY, "N/A", "Own", "own ", "other", None],
        "select": [
            "a",
            "b",
            "c",
            "True",
            "2020-01-05",
            "2020-01-05 00:00:00",
            "2020-01-05T00:00:00",
            "2020-01-05T10:00:00",
            "d",
            "",
            None,
        ],
    }
    if shape == "typed":
        code = _pick(rng, [54.0, 7.0, -3.0, 1.5, 100.0, 0.0, -0.0, 2.5, np.inf, np.nan]).astype(float)
        loans = rng.integers(0, 7, N)
    else:
        code = _pick(
            rng,
            [
                "54",
                "54.0",
                " 7 ",
                "7e0",
                "-3",
                "1.50",
                "100",
                "0",
                "0.0",
                "-0",
                "007",
                "x",
                "1e400",
                "inf",
                "1.5",
                "2.5",
                None,
            ],
        )
        loans = _pick(rng, ["0", "1", "2.0", "3", "5", " 5", "6", "five", None])
    data = {"id": np.arange(N)}
    for name, x in numbers.items():
        if shape == "typed":
            data[name] = x
        else:
            as_text = np.asarray([None if np.isnan(v) else repr(float(v)) for v in x], dtype=object)
            swap = rng.random(N) < 0.5
            as_text[swap] = _pick(rng, texts[name])[swap]
            if shape == "mixed":  # SQLite holds numbers and text in one column
                keep = rng.random(N) < 0.5
                as_text[keep] = x[keep]
            data[name] = as_text
    data["housing"] = _pick(rng, categories["housing"])
    data["code"] = code
    data["select"] = _pick(rng, categories["select"])
    data["loans"] = loans
    if shape == "mixed":
        data["code"] = np.where(rng.random(N) < 0.5, _pick(rng, [54, 7, -3, 1.5, 0, 54.0, 2.5]), code)
        data["loans"] = np.where(rng.random(N) < 0.5, rng.integers(0, 7, N).astype(object), loans)
    return pd.DataFrame(data)


def _duckdb(frame, sql):
    duckdb = pytest.importorskip("duckdb")
    con = duckdb.connect()
    con.register("frame", frame)
    con.execute("CREATE TABLE applicants AS SELECT * FROM frame")
    seen = con.execute("SELECT * FROM applicants ORDER BY id").df()
    return seen, con.execute(sql).df()


def _sqlite(frame, sql):
    con = sqlite3.connect(":memory:")
    q = lambda n: '"' + n.replace('"', '""') + '"'  # noqa: E731
    # Untyped columns: SQLite keeps each value as it was given, a number or text.
    con.execute(f"CREATE TABLE applicants ({', '.join(map(q, frame.columns))})")
    rows = [
        [None if isinstance(v, float) and np.isnan(v) else v for v in row]
        for row in frame.astype(object).itertuples(index=False)
    ]
    con.executemany(f"INSERT INTO applicants VALUES ({', '.join('?' * frame.shape[1])})", rows)

    def query(text):
        cur = con.execute(text)
        return pd.DataFrame(cur.fetchall(), columns=[c[0] for c in cur.description], dtype=object)

    return query("SELECT * FROM applicants ORDER BY id"), query(sql)


def _spark(session, frame, sql, path):
    import pyarrow as pa
    import pyarrow.parquet as pq

    table = pa.Table.from_pandas(frame, preserve_index=False)
    pq.write_table(table, path)
    session.read.parquet(str(path)).createOrReplaceTempView("applicants")
    return table.to_pandas(), session.sql(sql).toArrow().to_pandas()


@pytest.fixture(scope="module")
def postgres():
    """psql against a throwaway PostgreSQL server on a Unix socket (./run test installs the server programs)."""
    # Debian keeps the server programs off PATH.
    path = os.pathsep.join([os.environ.get("PATH", ""), *sorted(glob.glob("/usr/lib/postgresql/*/bin"), reverse=True)])
    tools = {t: shutil.which(t, path=path) for t in ("initdb", "pg_ctl", "psql")}
    if not all(tools.values()):
        pytest.fail("no PostgreSQL server programs (initdb, pg_ctl, psql): ./run test installs them")
    # Outside pytest's folders: the server's own user must reach it.
    home = Path(tempfile.mkdtemp(prefix="tessaly-pg-"))
    as_owner = []
    if os.geteuid() == 0:  # the server refuses to run as root
        if not shutil.which("runuser"):
            pytest.fail("running as root without runuser, which starts the server as its own user")
        shutil.chown(home, "postgres")
        as_owner = ["runuser", "-u", "postgres", "--"]
    quiet = {"check": True, "capture_output": True}
    try:
        subprocess.run(
            [
                *as_owner,
                tools["initdb"],
                "-D",
                str(home / "data"),
                "-A",
                "trust",
                "-U",
                "postgres",
                "-E",
                "UTF8",
                "--no-sync",
            ],
            **quiet,
        )
        subprocess.run(
            [
                *as_owner,
                tools["pg_ctl"],
                "-D",
                str(home / "data"),
                "-w",
                "-l",
                str(home / "log"),
                "-o",
                f"-k {home} -c listen_addresses='' -c fsync=off",
                "start",
            ],
            **quiet,
        )
    except subprocess.CalledProcessError as e:
        shutil.rmtree(home, ignore_errors=True)
        pytest.fail(f"cannot start PostgreSQL: {e.stderr.decode(errors='replace')[-500:]}")

    def psql(script: str, stdin: str = "") -> str:
        done = subprocess.run(
            [tools["psql"], "-h", str(home), "-U", "postgres", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-f", "-"],
            input=script + stdin,
            capture_output=True,
            text=True,
            encoding="utf-8",
        )
        assert done.returncode == 0, done.stderr[-2000:]
        return done.stdout

    try:
        yield psql
    finally:
        subprocess.run([*as_owner, tools["pg_ctl"], "-D", str(home / "data"), "-m", "immediate", "stop"], **quiet)
        shutil.rmtree(home, ignore_errors=True)


def _postgres(psql, frame, sql):
    q = lambda n: '"' + n.replace('"', '""') + '"'  # noqa: E731
    types = {object: "text", np.dtype(float): "double precision", np.dtype(np.int64): "bigint"}
    columns = ", ".join(f"{q(c)} {types.get(frame[c].dtype, 'text')}" for c in frame.columns)
    rows = io.StringIO()
    # Quoted text, bare numbers and an empty field for NULL: COPY tells "" from NULL.
    text = [types.get(frame[c].dtype, "text") == "text" for c in frame.columns]
    csv.writer(rows, quoting=csv.QUOTE_STRINGS, lineterminator="\n").writerows(
        [None if pd.isna(v) and is_text else repr(v) if isinstance(v, float) else v for v, is_text in zip(row, text)]
        for row in frame.astype(object).itertuples(index=False)
    )
    psql(
        f"DROP TABLE IF EXISTS applicants; CREATE TABLE applicants ({columns});\n"
        "COPY applicants FROM STDIN WITH (FORMAT csv);\n",
        rows.getvalue() + "\\.\n",
    )
    out = psql(f"COPY ({sql}) TO STDOUT WITH (FORMAT csv, HEADER true);\n")
    got = pd.read_csv(io.StringIO(out), dtype=str, keep_default_na=False, na_filter=False)
    return frame, got


CASES = [
    ("duckdb", "typed"),
    ("duckdb", "text"),
    ("sqlite", "typed"),
    ("sqlite", "text"),
    ("sqlite", "mixed"),
    # Spark starts a JVM: its cases run with the slow tests.
    pytest.param("spark", "typed", marks=pytest.mark.slow),
    pytest.param("spark", "text", marks=pytest.mark.slow),
    ("postgres", "typed"),
    ("postgres", "text"),
]


def _run(engine, frame, sql, request, tmp_path):
    """The applicants as the engine holds them, and the query's result on them."""
    if engine == "spark":
        return _spark(request.getfixturevalue("spark"), frame, sql, tmp_path / "applicants.parquet")
    if engine == "postgres":
        return _postgres(request.getfixturevalue("postgres"), frame, sql)
    return (_duckdb if engine == "duckdb" else _sqlite)(frame, sql)


@pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")
@pytest.mark.parametrize("engine,shape", CASES, ids=[f"{e}-{s}" for e, s in (getattr(c, "values", c) for c in CASES)])
def test_sql_scores_as_python(engine, shape, request, tmp_path):
    # Both reason rules on every engine: the maximum rule where the values come typed.
    rule = "maximum" if shape == "typed" else "neutral"
    card = Card.from_dict(_card(reasons=REASON_TEXTS, reason_rule=rule))
    frame = _applicants(shape)
    sql = to_sql(card, dialect=engine, ids=["id"])
    seen, got = _run(engine, frame, sql, request, tmp_path)
    got = got.assign(id=got["id"].astype(np.int64)).sort_values("id").reset_index(drop=True)
    # The Python scorer reads the values as the engine holds them.
    want = card.score(seen.drop(columns="id"))
    names = [p["name"] for p in PREDICTORS]
    assert list(got.columns) == [
        "id",
        *[f"{n}_{k}" for n in names for k in ("bin", "points")],
        "score",
        "reason_1",
        "reason_2",
        "reason_3",
        "reason_1_text",
        "reason_2_text",
        "reason_3_text",
    ]
    assert (got["id"].to_numpy() == seen["id"].astype(np.int64).to_numpy()).all()
    assert (want["reason_3"].astype(str) != "").any(), "the data never fill three reasons"
    for name in names:
        bins = want[f"{name}_bin"].astype(str).to_numpy()
        assert len(set(bins)) >= 4, f"the data exercise too few bins of {name}"
        wrong = np.flatnonzero(got[f"{name}_bin"].astype(str).to_numpy() != bins)[:5]
        assert wrong.size == 0, (
            name,
            seen[name][wrong].tolist(),
            got[f"{name}_bin"][wrong].tolist(),
            bins[wrong].tolist(),
        )
        np.testing.assert_array_equal(got[f"{name}_points"].astype(float), want[f"{name}_points"])
    np.testing.assert_allclose(got["score"].astype(float), want["score"], rtol=0, atol=1e-9)
    for k in (1, 2, 3):
        np.testing.assert_array_equal(got[f"reason_{k}"].astype(str), want[f"reason_{k}"].astype(str))
        np.testing.assert_array_equal(got[f"reason_{k}_text"].astype(str), want[f"reason_{k}_text"].astype(str))
    texts = {t for k in (1, 2, 3) for t in want[f"reason_{k}_text"].astype(str)}
    assert {"Many loans already", REASON_TEXTS["housing"]["free or rent"]} <= texts, "the data never give a set text"


def _altered(change):
    card = Card.from_dict(_card())
    change(card)
    return card


REFUSED = {
    # case: (card, options, words of the one-line message)
    "id named score": (None, {"ids": ["score"]}, "named like an output column"),
    "id named like a bin column": (None, {"ids": ["age_bin"]}, "named like an output column"),
    "id named reason_1": (None, {"ids": ["id", "reason_1"]}, "named like an output column"),
    "id given twice": (None, {"ids": ["id", "id"]}, "given twice"),
    "id differing from an output in case only": (None, {"ids": ["Score"]}, "differ only in case"),
    "the card as plain data": (_card(), {}, "takes a Card"),
    "a card made inconsistent in Python": (_altered(lambda c: c.predictors[0].kinds.__setitem__(0, 99)), {}, "index"),
    "a NUL in a category": (
        Card.from_dict(
            _card([*PREDICTORS[:-1], _predictor("loans", "categorical", [["0"], ["1\0"]], [1.0, 2.0], 1.0)])
        ),
        {},
        "NUL",
    ),
    "a table name with an empty part": (None, {"table": "main..applicants"}, "empty part"),
    "a name too long for postgres": (None, {"ids": ["x" * 64], "dialect": "postgres"}, "63 bytes"),
    "an unknown dialect": (None, {"dialect": "oracle"}, "unknown SQL dialect"),
}


@pytest.mark.parametrize("case", REFUSED)
def test_what_sql_cannot_express_is_refused_in_one_line(case):
    card, options, words = REFUSED[case]
    with pytest.raises(InputError) as refused:
        to_sql(card if card is not None else Card.from_dict(_card()), **options)
    assert words in str(refused.value) and "\n" not in str(refused.value), str(refused.value)


TABLES = {
    "a schema-qualified name": ("s.applicants", 3),
    "parts taken as they are": (("s", "odd.name"), 3),
    "a name that tries to end the query": ('applicants"; DROP TABLE applicants; --', None),
}


@pytest.mark.parametrize("case", TABLES)
def test_tables_are_named_part_by_part(case):
    duckdb = pytest.importorskip("duckdb")
    table, rows = TABLES[case]
    con = duckdb.connect()
    con.register("frame", _applicants("typed").head(3))
    for name in ("applicants", "s.applicants", 's."odd.name"'):
        con.execute(f"CREATE SCHEMA IF NOT EXISTS s; CREATE TABLE {name} AS SELECT * FROM frame")
    sql = to_sql(Card.from_dict(_card()), table=table, ids=["id"])
    if rows is None:
        with pytest.raises(duckdb.CatalogException):
            con.execute(sql)
    else:
        assert len(con.execute(sql).fetchall()) == rows
    assert con.execute("SELECT count(*) FROM applicants").fetchone() == (3,)


def test_timestamps_match_their_categories_as_python():
    duckdb = pytest.importorskip("duckdb")
    stamps = pd.Series(
        pd.to_datetime(
            ["2020-01-05", "2020-01-05 00:00:00.25", "2020-01-05 10:00:00", "2021-06-30", "2022-02-02", None],
            format="ISO8601",
        )
    )
    # One column per way an engine may hold a timestamp; the zoned one is read in the session's zone.
    frame = pd.DataFrame(
        {
            "id": range(len(stamps)),
            **{unit: stamps.astype(f"datetime64[{unit}]") for unit in ("s", "ms", "us", "ns")},
            "zoned": stamps.dt.tz_localize("America/New_York"),
        }
    )
    splits = [["2020-01-05"], ["2020-01-05 10:00:00"], ["2021-06-30"]]
    predictors = [
        _predictor(c, "categorical", splits, [1.0, 2.0, 3.0], 0.0, labels=["day", "ten", "june"])
        for c in frame.columns[1:]
    ]
    card = Card.from_dict(_card(predictors))
    con = duckdb.connect()
    con.execute("SET TimeZone = 'America/New_York'")
    con.register("frame", frame)
    con.execute("CREATE TABLE applicants AS SELECT * FROM frame")
    seen = con.execute("SELECT * FROM applicants ORDER BY id").df()
    got = con.execute(to_sql(card, ids=["id"]) + " ORDER BY id").df()
    want = card.score(seen.drop(columns="id"))
    for name in frame.columns[1:]:
        assert list(want[f"{name}_bin"]) == ["day", "day", "ten", "june", "Unseen", "Unseen"], name
        assert list(got[f"{name}_bin"]) == list(want[f"{name}_bin"]), name


MONITORED = [
    ("duckdb", "typed", "month"),
    ("sqlite", "mixed", "quarter"),
    pytest.param("spark", "typed", "year", marks=pytest.mark.slow),
    ("postgres", "text", "month"),
]


@pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")
@pytest.mark.parametrize(
    "engine,shape,every", MONITORED, ids=[f"{e}-{s}-{p}" for e, s, p in (getattr(c, "values", c) for c in MONITORED)]
)
def test_monitoring_counts_from_sql_give_the_figures_of_the_file(engine, shape, every, request, tmp_path):
    """The aggregate query's counts, saved and read back by `monitor --counts`, give every figure that
    counting the applicants in Python gives, per period and with outcomes (some not known yet)."""
    from tessaly.monitoring import baseline
    from tessaly.monitoring import command as _monitor
    from tessaly.sql import to_monitor_sql

    card = Card.from_dict(_card())
    rng = np.random.default_rng(5)
    frame = _applicants(shape).head(30_000)
    n = len(frame)
    stamps = pd.Timestamp("2023-11-20") + pd.to_timedelta(rng.integers(0, 450 * 86400, n), unit="s")
    outcome = np.where(rng.random(n) < 0.05, None, (rng.random(n) < 0.15 + 0.1 * frame["age"].isna()).astype(int))
    typed = shape == "typed"
    # Timestamps where the engine has them; ISO text (with a "T" or a space) where it keeps text.
    frame["applied"] = (
        stamps.astype("datetime64[us]")
        if typed
        else np.where(rng.random(n) < 0.5, stamps.strftime("%Y-%m-%dT%H:%M:%S"), stamps.strftime("%Y-%m-%d %H:%M:%S"))
    )
    frame["bad"] = pd.array(outcome, dtype="Int64") if typed else outcome.astype(object)
    sql = to_monitor_sql(card, dialect=engine, period_column="applied", period=every, target="bad")
    seen, got = _run(engine, frame, sql, request, tmp_path)
    got.to_csv(tmp_path / "counts.csv", index=False)

    names = card.names
    known = seen["bad"].notna().to_numpy()
    base = baseline.baseline_from_data(
        card, seen.loc[known, names].head(8000), seen.loc[known, "bad"].astype(int).to_numpy()[:8000]
    )
    want = _monitor.monitor(card, seen, baseline=base, target="bad", period_column="applied", period=every)
    result = _monitor.monitor(card, counts=tmp_path / "counts.csv", baseline=base)
    assert len(want["periods"]) >= 2 and want["performance"]["auc"] is not None
    assert result["period"] == every and list(result["periods"]) == list(want["periods"])
    about = {"data", "counts", "target", "period_column", "period_rule"}
    _same_figures(
        {k: v for k, v in result.items() if k not in about}, {k: v for k, v in want.items() if k not in about}
    )


def _same_figures(got, want, at="monitor.json"):
    if isinstance(want, dict):
        assert set(got) == set(want), (at, set(got) ^ set(want))
        for k in want:
            _same_figures(got[k], want[k], f"{at}.{k}")
    elif isinstance(want, list):
        assert len(got) == len(want), at
        for i, (g, w) in enumerate(zip(got, want)):
            _same_figures(g, w, f"{at}[{i}]")
    elif isinstance(want, float) and isinstance(got, (int, float)):
        assert abs(got - want) <= 1e-9, (at, got, want)
    else:
        assert got == want, (at, got, want)
