"""export, convert and the help of build, through the command line, against the estimator that made the card."""

import contextlib
import io
import pickle
import re
from dataclasses import dataclass

import duckdb
import numpy as np
import pandas as pd
import pytest
from applicants import applicants

import tessaly._binning
import tessaly._card
import tessaly._params as _params
from tessaly import Scorecard
from tessaly._card import Card
from tessaly.cli import main

GRADES = ["54", "12", "7", "3", "XX"]


def run(*args):
    return main([str(a) for a in args])


@pytest.fixture(scope="module")
def card(tmp_path_factory):
    """A saved card with numbers, text codes and special codes, and applicants with unseen values."""
    X, y = applicants(800, seed=11, grade=GRADES, housing_missing=0.05, xy=True)
    sc = Scorecard("xgb", trees=10, min_iv=None, special_codes=[-1, "XX"]).fit(X, y)
    folder = sc.save(tmp_path_factory.mktemp("commands") / "card")
    new = applicants(300, seed=12, grade=GRADES, housing_missing=0.05, xy=True)[0]
    new.loc[:4, "housing"] = "boat"
    new.loc[5:8, "grade"] = "99"
    return sc, new, folder


@pytest.mark.parametrize("source, destination", [("directory", "--out"), ("card.json", "stdout")])
def test_exported_sql_scores_in_duckdb_as_python(card, source, destination, tmp_path, capsys):
    sc, new, folder = card
    sql_file = tmp_path / "score.sql"
    capsys.readouterr()
    assert (
        run(
            "export",
            folder if source == "directory" else folder / "card.json",
            "--sql",
            "--table",
            "people",
            "--id",
            "id",
            *(["--out", sql_file] if destination == "--out" else []),
        )
        == 0
    )
    printed = capsys.readouterr().out
    sql = sql_file.read_text(encoding="utf-8") if destination == "--out" else printed

    con = duckdb.connect()
    con.register("frame", new.assign(id=np.arange(len(new))))
    con.execute("CREATE TABLE people AS SELECT * FROM frame")
    got = con.execute(sql).df().sort_values("id").reset_index(drop=True)
    want = sc.transform(new)
    assert list(got.columns) == ["id", *want.columns]
    assert (want["housing_bin"] == "Unseen").sum() >= 5 and (want["reason_3"].astype(str) != "").any()
    for column in want:
        if column.endswith("_points") or column == "score":
            np.testing.assert_allclose(got[column].astype(float), want[column], rtol=0, atol=1e-9, err_msg=column)
        else:
            assert list(got[column].astype(str)) == list(want[column].astype(str)), column


@pytest.mark.parametrize("dialect", ["duckdb", "sqlite", "postgres", "spark"])
def test_to_sql_is_the_export_of_the_saved_card(card, dialect, capsys):
    sc, _, folder = card
    capsys.readouterr()
    assert run("export", folder, "--sql", "--dialect", dialect, "--table", "people", "--id", "id") == 0
    exported = capsys.readouterr().out.rstrip("\n")
    assert sc.to_sql(dialect=dialect, table="people", ids=["id"]) == exported
    assert Scorecard.load(folder).to_sql(dialect=dialect, table="people", ids=["id"]) == exported


# -- the pickled card of earlier releases ----------------------------------------------------------------------


# Named where earlier releases kept their classes, as the file names them.
@dataclass
class _OldCard:
    __module__, __qualname__ = "tessaly._card", "Card"
    target: str
    bad: object
    model: str
    scaling: dict
    binnings: list
    points: pd.DataFrame  # one row per bin: predictor, bin, points, neutral


@dataclass
class _OldBinning:
    __module__, __qualname__ = "tessaly._binning", "PredictorBinning"
    name: str
    dtype: str
    splits: list  # categorical: the categories as the training table held them
    special_codes: list
    labels: list
    kinds: list
    table: pd.DataFrame = None


def _raw(key: str):
    """A category key as a table read from CSV held it: codes as numbers."""
    return int(key) if re.fullmatch(r"-?\d+", key) else key


def _write_legacy(card: Card, path, monkeypatch) -> None:
    binnings, rows = [], []
    for p in card.predictors:
        numerical = p.dtype == "numerical"
        binnings.append(
            _OldBinning(
                p.name,
                p.dtype,
                list(p.splits) if numerical else [[_raw(k) for k in g] for g in p.splits],
                [int(c) if numerical and c == int(c) else c for c in p.special_codes],
                list(p.labels),
                list(p.kinds),
            )
        )
        rows += [(p.name, label, points, p.neutral) for label, points in zip(p.labels, p.points)]
    old = _OldCard(
        card.target,
        np.int64(card.bad),
        card.model,
        dict(card.scaling),
        binnings,
        pd.DataFrame(rows, columns=["predictor", "bin", "points", "neutral"]),
    )
    with monkeypatch.context() as m:
        m.setattr(tessaly._card, "Card", _OldCard)
        m.setattr(tessaly._binning, "PredictorBinning", _OldBinning)
        path.write_bytes(pickle.dumps({"format": 1, "card": old}, protocol=pickle.HIGHEST_PROTOCOL))


@pytest.mark.parametrize(
    "folder, error",
    [
        ("card.pkl", None),
        ("no card.pkl", "holds no card.pkl"),
        ("truncated card.pkl", "cannot convert"),
    ],
)
def test_convert_a_pickled_card_or_refuse_in_one_line(card, folder, error, tmp_path, monkeypatch, capsys):
    sc, new, _ = card
    old = tmp_path / "old"
    old.mkdir()
    if folder != "no card.pkl":
        _write_legacy(sc.module_card_, old / "card.pkl", monkeypatch)
    if folder.startswith("truncated"):
        (old / "card.pkl").write_bytes((old / "card.pkl").read_bytes()[:-40])
    before = sorted(p.name for p in old.iterdir())
    capsys.readouterr()
    code = run("convert", old, "--quiet")
    err = capsys.readouterr().err
    if error:
        assert code == 1 and err.splitlines()[-1].startswith("tessaly: error:") and error in err, err
        assert "Traceback" not in err and sorted(p.name for p in old.iterdir()) == before
        if folder == "no card.pkl":
            assert err.count("\n") == 1
        return
    assert code == 0, err
    converted = Card.load(old)
    assert converted.points_kind == "module"
    pd.testing.assert_frame_equal(converted.score(new), sc.module_card_.score(new))


# -- help ----------------------------------------------------------------------------------------------------------


def _build_help() -> dict:
    """Each option of `tessaly build --help` and its help, whitespace collapsed."""
    text = io.StringIO()
    with contextlib.redirect_stdout(text), pytest.raises(SystemExit):
        main(["build", "--help"])
    blocks, current = {}, None
    for line in text.getvalue().splitlines():
        start = re.match(r"  (--[\w-]+)", line)
        if start:
            current = start.group(1)
            blocks[current] = line
        elif current and line.startswith("      "):
            blocks[current] += line
        else:
            current = None
    return {option: " ".join(block.split()) for option, block in blocks.items()}


def _shown(text: str):
    """The value a default as worded in the help stands for; text that describes one stays text."""
    if text == "none":
        return None
    for kind in (int, float):
        with contextlib.suppress(ValueError):
            return kind(text)
    return text


PARAMS = Scorecard().get_params()


@pytest.mark.parametrize("name", PARAMS)
def test_help_shows_the_estimators_defaults(name):
    blocks = _build_help()
    default = PARAMS[name]
    option = _params.BY_NAME[name].flag
    if isinstance(default, bool):
        # A switch: its default is the state without it.
        switch = option if not default else "--no-" + option[2:]
        assert switch in blocks, f"no {switch} in build --help"
        assert re.match(rf"{switch} [a-z]", blocks[switch]), blocks[switch]  # takes no value
        return
    assert option in blocks, f"no {option} in build --help"
    found = re.search(r"\(default:? (.*)\)$", blocks[option])
    assert found, f"{option} shows no default: {blocks[option]}"
    shown = _shown(found.group(1))
    if default is None:
        # None may be worded by what it means ("up to 1000 with early stopping"), never as another value.
        assert shown is None or isinstance(shown, str), blocks[option]
    else:
        assert shown == default and type(shown) is type(default), blocks[option]


def test_the_documented_parameter_table_is_the_estimators():
    from pathlib import Path

    from tessaly._params import markdown

    page = Path(__file__).resolve().parents[1] / "docs" / "reference" / "parameters.md"
    block = page.read_text(encoding="utf-8").split("<!-- parameters -->\n", 1)[1].split("\n<!-- /parameters -->", 1)[0]
    assert block == markdown(), f"{page.name}'s parameter table is stale: run python docs/reference.py"
