"""The command line as a careless or hostile user meets it: no lost data, no silent mis-scores, one-line errors."""

import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from applicants import applicants

from tessaly import _files
from tessaly._score import load_card
from tessaly.cli import main

FAST = ["--model", "xgb", "--trees", "10", "--min-iv", "0", "--quiet"]


def run(capsys, *args):
    capsys.readouterr()
    code = main([str(a) for a in args])
    return code, capsys.readouterr().err


def one_line(err, *words):
    assert err.count("\n") == 1 and "Traceback" not in err, err
    for w in words:
        assert w in err, err


def hidden(folder):
    return sorted(p.name for p in folder.iterdir() if p.name.startswith("."))


@pytest.fixture(scope="module")
def card(tmp_path_factory):
    """A card trained from Parquet on text codes and dates, as CSV and Parquet scoring will meet them."""
    root = tmp_path_factory.mktemp("safety")
    data = applicants(500, seed=3, grade=["54", "12", "7"], opened=["2020-01-05", "2021-06-30"])
    data.insert(0, "customer", [f"{i:05d}" for i in range(500)])
    source = root / "train.parquet"
    data.to_parquet(source)
    out = root / "card"
    assert (
        main(["build", str(source), "bad", "--out", str(out), "--id", "customer", "--special-codes", "-1", *FAST]) == 0
    )
    return data, source, out


CARD_OUT = {
    "a project folder": lambda tmp, card: (tmp / "proj", {"notes.txt": "mine"}),
    "the current directory": lambda tmp, card: (".", {"main.py": "print()"}),
    "a card with a file of the user's": lambda tmp, card: (tmp / "card", {"notes.txt": "mine", "copy": card}),
    "an empty folder": lambda tmp, card: (tmp / "empty", {}),
    "an earlier card": lambda tmp, card: (tmp / "card", {"copy": card}),
    "an earlier card, no atomic exchange": lambda tmp, card: (tmp / "card", {"copy": card, "no exchange": True}),
}


@pytest.mark.parametrize("case", CARD_OUT)
def test_build_replaces_only_an_earlier_card(case, card, tmp_path, monkeypatch, capsys):
    data, source, earlier = card
    out, setup = CARD_OUT[case](tmp_path, earlier)
    folder = tmp_path / "here" if out == "." else out
    if "copy" in setup:
        shutil.copytree(setup["copy"], folder)
    folder.mkdir(exist_ok=True)
    for name, text in setup.items():
        if name not in ("copy", "no exchange"):
            (folder / name).write_text(text)
    if "no exchange" in setup:
        monkeypatch.setattr(_files, "_exchange", lambda a, b: False)
    before = {p.relative_to(folder): p.read_bytes() for p in folder.rglob("*") if p.is_file()}
    monkeypatch.chdir(folder if out == "." else tmp_path)
    code, err = run(capsys, "build", source, "bad", "--out", out, "--seed", "7", *FAST)
    mine = [n for n in setup if n not in ("copy", "no exchange")]
    if mine:
        assert code == 1
        one_line(err, "choose")
        assert {p.relative_to(folder): p.read_bytes() for p in folder.rglob("*") if p.is_file()} == before
    else:
        assert code == 0, err
        assert (folder / "card.json").read_bytes() != before.get(Path("card.json"))
        assert load_card(folder).target == "bad"
    assert hidden(folder.parent) == [] and hidden(tmp_path) == []


def _as_csv(data, path):
    data.to_csv(path, index=False)


FORMS = {
    # The same applicants in other clothes: the scores must not move.
    "CSV, everything as text": lambda d: d,
    "Parquet, codes as floats and a blank elsewhere": lambda d: d.assign(
        grade=pd.to_numeric(d["grade"]).where(d.index != 0), opened=d["opened"].dt.strftime("%Y-%m-%d")
    ),
    "CSV, spaces around numbers": lambda d: d.assign(age=" " + d["age"].astype(str) + " "),
    "CSV, unreadable numbers": lambda d: d.assign(age=["abc", "1,000,000", "$50000"] + list(d["age"].iloc[3:])),
    "CSV, unreadable numbers, --strict": lambda d: d.assign(age=["abc", "inf"] + list(d["age"].iloc[2:])),
}


@pytest.mark.parametrize("form", FORMS)
def test_values_score_by_meaning_not_by_inferred_type(form, card, tmp_path, capsys):
    data, source, out = card
    assert main(["score", str(out), str(source), "--out", str(tmp_path / "ref.parquet"), "--quiet"]) == 0
    reference = pd.read_parquet(tmp_path / "ref.parquet")
    changed = FORMS[form](data.copy())
    path = tmp_path / ("in.parquet" if form.startswith("Parquet") else "in.csv")
    changed.to_parquet(path) if path.suffix == ".parquet" else _as_csv(changed, path)
    strict = ["--strict"] if "--strict" in form else []
    code, err = run(capsys, "score", out, path, "--out", tmp_path / "s.csv", "--quiet", *strict)
    if strict:
        assert code == 1 and not (tmp_path / "s.csv").exists()
        one_line(err, "'age' 2 unreadable")
        return
    assert code == 0, err
    scored = pd.read_csv(tmp_path / "s.csv", keep_default_na=False)
    keep = np.arange(len(data)) >= (3 if "unreadable" in form else 1 if "blank" in form else 0)
    for column in ["score", "grade_bin", "reason_1"]:  # dates are no predictor: 'opened' is left out
        assert list(scored[column][keep]) == list(reference[column][keep]), column
    if "unreadable" in form:
        assert list(scored["age_bin"][:3]) == ["Unseen"] * 3
        one_line(err, "'age' 3 unreadable")
    elif "blank" in form:
        one_line(err, "'grade' 1 unseen")  # training saw no missing grade
    else:
        assert err == ""


NAME_CLASHES = {
    "predictor 'score'": ({"age": "score"}, "bad", "named like an output column"),
    "predictor 'reason_1'": ({"housing": "reason_1"}, "bad", "named like an output column"),
    "predictor 'row'": ({"age": "row"}, "bad", "named like an output column"),
    "predictor '<p>_bin'": ({"months_employed": "age_bin"}, "bad", "named like an output column"),
    "predictor '<p>_points'": ({"months_employed": "debt_ratio_points"}, "bad", "named like an output column"),
    "target 'score'": ({"bad": "score"}, "score", "named like an output column"),
    "--id 'score' when scoring": (None, "score", "named like an output column"),
    "--id kept as it is, first": (None, "customer", None),
}


@pytest.mark.parametrize("case", NAME_CLASHES)
def test_outputs_never_collide_with_inputs(case, card, tmp_path, capsys):
    rename, name, message = NAME_CLASHES[case]
    if rename is not None:
        path = tmp_path / "a.csv"
        applicants(300).rename(columns=rename).to_csv(path, index=False)
        code, err = run(capsys, "build", path, name, "--out", tmp_path / "c", *FAST)
        assert code == 1 and not (tmp_path / "c").exists()
        one_line(err, message)
        return
    data, _, out = card
    path = tmp_path / "a.csv"
    data.assign(score=data["age"]).to_csv(path, index=False)
    code, err = run(capsys, "score", out, path, "--id", name, "--out", tmp_path / "s.csv", "--quiet")
    if message:
        assert code == 1
        one_line(err, message)
    else:
        assert code == 0, err
        scored = pd.read_csv(tmp_path / "s.csv", dtype=str)
        assert scored.columns[0] == "customer" and list(scored["customer"]) == list(data["customer"])


SCALING = {
    "--pdo 0": (["--pdo", "0"], None, "pdo"),
    "--pdo -20": (["--pdo", "-20"], None, "pdo"),
    "--target-odds 0": (["--target-odds", "0"], None, "target-odds"),
    "--target-odds -2": (["--target-odds", "-2"], None, "target-odds"),
    "--trees 0": (["--trees", "0"], None, "trees"),
    "infinite value": ([], np.inf, "infinite values"),
    "value beyond the models' range": ([], 1e305, "beyond"),
}


@pytest.mark.parametrize("case", SCALING)
def test_scaling_and_values_the_models_cannot_take(case, tmp_path, capsys):
    options, value, message = SCALING[case]
    data = applicants(300)
    if value is not None:
        data.loc[7, "debt_ratio"] = value
    data.to_csv(tmp_path / "a.csv", index=False)
    code, err = run(capsys, "build", tmp_path / "a.csv", "bad", "--out", tmp_path / "c", *FAST, *options)
    assert code == 1 and sorted(p.name for p in tmp_path.iterdir()) == ["a.csv"]
    one_line(err, message)


OVERLAPS = {
    "--out is the input": (lambda d, card: d / "in.csv", "is the input file"),
    "--out is a hard link of the input": (
        lambda d, card: os.link(d / "in.csv", d / "link.csv") or d / "link.csv",
        "is the input file",
    ),
    "--out is the card file": (lambda d, card: card / "card.json", "inside the card"),
    "--out inside the card": (lambda d, card: card / "bins" / "x.csv", "inside the card"),
    "two runs, one --out": (lambda d, card: d / "same.csv", None),
}


@pytest.mark.parametrize("case", OVERLAPS)
def test_overlapping_writes(case, card, tmp_path, capsys):
    data, _, earlier = card
    out_card = tmp_path / "card"
    shutil.copytree(earlier, out_card)
    big = pd.concat([data] * 40, ignore_index=True)
    big.to_csv(tmp_path / "in.csv", index=False)
    make, message = OVERLAPS[case]
    target = make(tmp_path, out_card)
    if message:
        before = {p: p.read_bytes() for p in [tmp_path / "in.csv", out_card / "card.json"]}
        code, err = run(capsys, "score", out_card, tmp_path / "in.csv", "--out", target, "--quiet")
        assert code == 1
        one_line(err, message)
        assert {p: p.read_bytes() for p in before} == before
        return
    data.head(5).to_csv(tmp_path / "few.csv", index=False)
    runs = [
        subprocess.Popen(
            [
                sys.executable,
                "-m",
                "tessaly",
                "score",
                str(out_card),
                str(tmp_path / name),
                "--out",
                str(target),
                "--quiet",
            ],
            stderr=subprocess.PIPE,
            text=True,
            cwd=tmp_path,
        )
        for name in ("in.csv", "few.csv")
    ]
    assert [p.wait() for p in runs] == [0, 0], [p.stderr.read() for p in runs]
    assert len(pd.read_csv(target)) in (5, len(big))
    assert hidden(tmp_path) == []


INTERRUPTS = {
    "Ctrl-C during a build": ("build", signal.SIGINT, "binning predictors"),
    "SIGTERM during a build": ("build", signal.SIGTERM, "training"),
    "SIGTERM while the benchmark trains beside the saving": ("build", signal.SIGTERM, "benchmark:"),
    "Ctrl-C while scoring": ("score", signal.SIGINT, "scoring the applicants"),
}


@pytest.mark.parametrize("case", INTERRUPTS)
def test_interrupted_runs_clean_up(case, card, tmp_path):
    command, sig, cue = INTERRUPTS[case]
    data, _, earlier = card
    work = tmp_path / "work"
    work.mkdir()
    table = applicants(6_000, seed=5) if command == "build" else pd.concat([data] * 600, ignore_index=True)
    table.to_csv(work / "in.csv", index=False)
    args = (
        ["build", str(work / "in.csv"), "bad", "--out", str(work / "card"), "--trees", "300", "--no-early-stopping"]
        if command == "build"
        else ["score", str(earlier), str(work / "in.csv"), "--out", str(work / "s.csv")]
    )
    p = subprocess.Popen([sys.executable, "-m", "tessaly", *args], stderr=subprocess.PIPE, text=True, cwd=work)
    seen = ""
    while cue not in seen:
        line = p.stderr.readline()
        assert line, seen
        seen += line
    time.sleep(0.2)  # into the step: the native libraries have had their way with the handlers
    p.send_signal(sig)
    rest = p.stderr.read()
    assert p.wait(timeout=120) == 130, seen + rest
    assert rest.endswith("tessaly: interrupted\n"), rest
    assert sorted(os.listdir(work)) == ["in.csv"]


def _flip(path, at):
    raw = bytearray(path.read_bytes())
    raw[int(at * (len(raw) - 1))] ^= 0x04
    path.write_bytes(bytes(raw))


BAD_INPUTS = {
    "a column name of 300 characters": ("build", lambda d, c: {"age": "a" * 300}, "cannot be used"),
    "a column name with NUL (build)": ("build", lambda d, c: {"age": "a\0b"}, "control character"),
    "a column name with NUL (score)": ("score", lambda d, c: {"housing": "x\0"}, "control character"),
    "--out under a file (build)": ("build", lambda d, c: ["--out", d / "a.csv" / "card"], "is a file"),
    "--out under a file (score)": ("score", lambda d, c: ["--out", d / "a.csv" / "s.csv"], "is a file"),
    "--out under an unwritable folder": ("score", lambda d, c: ["--out", d / "locked" / "s.csv"], "permission"),
    "empty --out (build)": ("build", lambda d, c: ["--out", ""], "--out is empty"),
    "empty --out (score)": ("score", lambda d, c: ["--out", ""], "--out is empty"),
    "a card byte flipped (structure)": ("score", lambda d, c: _flip(c / "card.json", 0.01), "card"),
    "a card byte flipped (points)": ("score", lambda d, c: _flip(c / "card.json", 0.5), "card"),
    "a card byte flipped (checksum)": ("score", lambda d, c: _flip(c / "card.json", 0.99), "card"),
    "a card.pkl of an earlier tessaly": (
        "score",
        lambda d, c: (c / "card.json").rename(c / "card.pkl"),
        "tessaly convert",
    ),
    "no [cli] extra": ("build", lambda d, c: "no optbinning", "pip install 'tessaly[cli]'"),
}


@pytest.mark.parametrize("case", BAD_INPUTS)
def test_bad_input_is_one_line(case, card, tmp_path, monkeypatch, capsys):
    command, make, message = BAD_INPUTS[case]
    data, _, earlier = card
    out_card = tmp_path / "card"
    shutil.copytree(earlier, out_card)
    if case == "--out under an unwritable folder":
        if os.geteuid() == 0:
            pytest.skip("root writes anywhere")
        (tmp_path / "locked").mkdir(mode=0o500)
    table = applicants(300) if command == "build" else data
    change = make(tmp_path, out_card)
    if isinstance(change, dict):
        table = table.rename(columns=change)
    table.to_csv(tmp_path / "a.csv", index=False)
    if change == "no optbinning":
        monkeypatch.setitem(sys.modules, "optbinning", None)
    extra = change if isinstance(change, list) else []
    if command == "build":
        args = ["build", tmp_path / "a.csv", "bad", *(extra or ["--out", tmp_path / "new"]), *FAST]
    else:
        args = ["score", out_card, tmp_path / "a.csv", *(extra or ["--out", tmp_path / "s.csv"]), "--quiet"]
    code, err = run(capsys, *args)
    assert code == 1
    one_line(err, message)
    assert hidden(tmp_path) == []


def test_formulas_are_neutral_in_csv_and_raw_in_parquet(tmp_path, capsys):
    data = applicants(400, seed=4).rename(columns={"housing": '=HYPERLINK("x")', "age": "@age"})
    data['=HYPERLINK("x")'] = data['=HYPERLINK("x")'].map({"own": "=1+1", "rent": "+rent", "free": "-free"})
    data.insert(0, "id", [f"=cmd|{i}" if i % 2 else f"-{i}" for i in range(len(data))])
    data.to_csv(tmp_path / "a.csv", index=False)
    assert main(["build", str(tmp_path / "a.csv"), "bad", "--out", str(tmp_path / "card"), "--id", "id", *FAST]) == 0
    for name in ("s.csv", "s.parquet"):
        code, err = run(capsys, "score", tmp_path / "card", tmp_path / "a.csv", "--id", "id", "--out", tmp_path / name)
        assert code == 0, err
    raw = pd.read_parquet(tmp_path / "s.parquet")
    assert list(raw["id"]) == list(data["id"]) and "@age_bin" in raw.columns
    for path in (tmp_path / "s.csv", tmp_path / "card" / "test_scores.csv"):
        cells = pd.read_csv(path, dtype=str, keep_default_na=False)
        text = [*cells.columns, *cells.to_numpy().ravel()]
        risky = [t for t in text if t[:1] in ("=", "+", "-", "@") and not t.lstrip("+-").replace(".", "").isdigit()]
        assert risky == [], risky[:5]
    scored = pd.read_csv(tmp_path / "s.csv", dtype=str, keep_default_na=False)
    assert list(scored["id"][:2]) == ["-0", "'=cmd|1"] and "'@age_bin" in scored.columns
    assert '\'=HYPERLINK("x")' in set(scored[["reason_1", "reason_2", "reason_3"]].to_numpy().ravel())


def _parquet(path, data, **columns):
    """The applicants as Parquet, with columns replaced or added as Arrow arrays of other types."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    table = pa.Table.from_pandas(data, preserve_index=False)
    for name, values in columns.items():
        at = table.schema.get_field_index(name)
        table = table.set_column(at, name, pa.array(values)) if at >= 0 else table.append_column(name, pa.array(values))
    pq.write_table(table, path)


AWKWARD_FILES = {
    # case: (write the input from the card's applicants, command, the column a refusal names)
    "a struct column to build from": (
        lambda d, p: _parquet(p, d, meta=[{"a": i} for i in range(len(d))]),
        "build",
        "meta",
    ),
    "a list predictor to score": (lambda d, p: _parquet(p, d, housing=[[h] for h in d["housing"]]), "score", "housing"),
    "a binary --id to score": (
        lambda d, p: _parquet(p, d, customer=[c.encode() for c in d["customer"]]),
        "score",
        "customer",
    ),
    "a CSV cell of 9 MB to score": (
        lambda d, p: d.assign(customer=d["customer"].where(d.index != 3, "c" * (9 << 20))).to_csv(p, index=False),
        "score",
        None,
    ),
}


@pytest.mark.parametrize("case", AWKWARD_FILES)
def test_awkward_files_score_or_fail_in_one_line(case, card, tmp_path, capsys):
    data, _, out = card
    write, command, column = AWKWARD_FILES[case]
    path = tmp_path / ("in.csv" if "CSV" in case else "in.parquet")
    write(data, path)
    if command == "build":
        code, err = run(capsys, "build", path, "bad", "--out", tmp_path / "c", *FAST)
    else:
        code, err = run(capsys, "score", out, path, "--id", "customer", "--out", tmp_path / "s.csv", "--quiet")
    if column:
        assert code == 1
        one_line(err, repr(column), "drop the column")
    else:
        assert code == 0, err
        scored = pd.read_csv(tmp_path / "s.csv", dtype=str, keep_default_na=False)
        assert list(scored["customer"]) == list(pd.read_csv(path, dtype=str)["customer"])
    assert hidden(tmp_path) == []


@pytest.mark.parametrize("case", ["build through a link to a card", "score onto a read-only file"])
def test_what_stands_at_out_is_respected(case, card, tmp_path, capsys):
    data, source, earlier = card
    if case.startswith("build"):
        (tmp_path / "real").mkdir()
        shutil.copytree(earlier, tmp_path / "real" / "card")
        (tmp_path / "link").symlink_to(tmp_path / "real" / "card")
        before = (earlier / "card.json").read_bytes()
        code, err = run(capsys, "build", source, "bad", "--out", tmp_path / "link", "--seed", "9", *FAST)
        assert code == 0, err
        assert (tmp_path / "link").is_symlink() and (tmp_path / "real" / "card" / "card.json").read_bytes() != before
        assert hidden(tmp_path) == hidden(tmp_path / "real") == []
    else:
        (tmp_path / "s.csv").write_text("kept\n")
        (tmp_path / "s.csv").chmod(0o444)
        code, err = run(capsys, "score", earlier, source, "--out", tmp_path / "s.csv", "--quiet")
        assert code == 1 and (tmp_path / "s.csv").read_text() == "kept\n"
        one_line(err, "read-only")
