"""The command line's options: each command's arguments, the estimator's generated from the parameter table,
and the bins file read into the parameter it stands for."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ._errors import InputError

TEST_SIZE = 0.3  # the split is the command line's own: the estimator never sees the test part


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, like every other input error of the program.
        sys.stderr.write(f"{self.prog}: error: {message}\n")
        sys.exit(2)


def _special(text: str) -> list:
    return [c.strip() for c in text.split(",") if c.strip()]


def _option(p: argparse.ArgumentParser, param) -> None:
    """One estimator option, written from its row of the parameter table; absent unless the user gives it."""
    S = argparse.SUPPRESS
    choices = f": {', '.join(param.choices)}" if param.kind == "choice" else ""
    text = f"{param.help}{choices} (default {param.default_text()})".replace("%", "%%")
    if param.kind == "bool":
        if param.default:
            p.add_argument(
                "--no-" + param.flag[2:],
                dest=param.name,
                action="store_false",
                default=S,
                help=f"turn off: {param.help}".replace("%", "%%"),
            )
        else:
            p.add_argument(param.flag, action="store_true", default=S, help=text)
        return
    kinds = {
        "int": int,
        "float": float,
        "codes": _special,
        "text": str,
        "choice": str,
        "model": str,
        "bins": str,
        "crosses": _count_or_word,
        "texts": str,
        "columns": str,
        "scores": float,
    }
    # Choices are checked by the estimator, which names the option in both spellings and exits 1.
    extra: dict[str, Any] = {}
    if param.kind == "codes":
        extra["metavar"] = "V1,V2"
    if param.kind in ("bins", "texts"):
        extra["metavar"] = "FILE.json"
    if param.kind in ("columns", "scores"):
        extra.update(action="append", metavar="COLUMN" if param.kind == "columns" else "SCORE")
    if param.kind == "int":
        # Whole numbers only, as the estimator wants them; 20.0 reads as 20, 20.5 is refused by the estimator.
        extra["type"] = _whole
    options: dict[str, Any] = {"type": kinds[param.kind], "default": S, "help": text, "dest": param.name, **extra}
    p.add_argument(param.flag, **options)


def _count_or_word(text: str):
    """auto, none, or a number (the estimator refuses one that is not whole)."""
    try:
        return _whole(text)
    except ValueError:
        return text


def _whole(text: str):
    value = float(text)
    return int(value) if value.is_integer() else value


def _add_estimator_options(p: argparse.ArgumentParser, *, binning: bool = True) -> None:
    from ._params import BENCHMARK, PARAMS

    p.add_argument(
        "--test-size",
        type=float,
        default=TEST_SIZE,
        help=f"share of applicants held out for validation (default {TEST_SIZE})",
    )
    for param in PARAMS:
        if binning or not param.binning:
            _option(p, param)
    _option(p, BENCHMARK)
    p.add_argument(
        "--strict", action="store_true", help="fail when the test split holds values the card has never seen"
    )
    if not binning:
        return
    p.add_argument(
        "--drop", action="append", default=[], metavar="COLUMN", help="a column that is no predictor (repeatable)"
    )
    p.add_argument(
        "--weight",
        metavar="COLUMN",
        help="a column of sample weights: how many applicants each row stands for (no predictor)",
    )
    p.add_argument(
        "--id",
        dest="ids",
        action="append",
        default=[],
        metavar="COLUMN",
        help="an identity column: no predictor, written first in test_scores.csv (repeatable)",
    )


def _add_engine_options(b: argparse.ArgumentParser) -> None:
    """Where the test part comes from, and where the heavy passes run."""
    b.add_argument(
        "--test-column",
        metavar="COLUMN",
        help="a column true for the test part (e.g. rows after a cut-off date), instead of --test-size",
    )
    b.add_argument(
        "--engine",
        choices=("duckdb", "spark"),
        help="run the heavy passes in DuckDB or Spark: for tables larger than memory",
    )
    b.add_argument(
        "--table",
        metavar="NAME",
        help="with --engine: a table the engine knows (DATA is then the DuckDB database file or the Spark database)",
    )


def _build_command(sub) -> None:
    b = sub.add_parser("build", help="bin, train and build a scorecard with its report")
    b.add_argument("data", help="CSV or Parquet table of applicants (--engine: or Parquet folder, glob, database)")
    b.add_argument("target", help="name of the binary target column")
    b.add_argument(
        "--out",
        required=True,
        help="card directory: new, empty, or a card of an earlier build (nothing else is replaced)",
    )
    _add_estimator_options(b)
    _add_engine_options(b)
    _add_reject_options(b)


def _add_reject_options(b: argparse.ArgumentParser) -> None:
    """The applicants the earlier policy turned away, for reject inference (--inference, --reject-factor)."""
    b.add_argument(
        "--rejects",
        metavar="REJECTS",
        help="CSV or Parquet table of rejected applicants: the same predictors, no outcome (with --engine: a "
        "second table the engine reads)",
    )
    b.add_argument("--rejected", metavar="COLUMN", help="a column true for the rows of DATA that were rejected")
    b.add_argument(
        "--reject-outcome",
        metavar="COLUMN",
        help="a column of the rejects holding the outcomes known after all (empty: unknown), to test the inference",
    )


def _score_command(sub) -> None:
    s = sub.add_parser("score", help="score new applicants with a built card")
    s.add_argument("card", help="output directory of 'tessaly build'")
    s.add_argument("data", help="CSV or Parquet table of applicants")
    s.add_argument("--out", help="file to write, .csv or .parquet (default: <card>/scores.csv)")
    s.add_argument(
        "--id",
        dest="ids",
        action="append",
        default=[],
        metavar="COLUMN",
        help="a column written first, as it is, to join the scores back (repeatable)",
    )
    s.add_argument(
        "--strict",
        action="store_true",
        help="fail, writing nothing, when a value is one the card has never seen or cannot read",
    )


def _convert_command(sub) -> None:
    c = sub.add_parser(
        "convert",
        help="convert a card.pkl of an earlier tessaly to card.json, once",
        description="Convert the card.pkl of an earlier tessaly into card.json. Reading card.pkl "
        "runs code stored in it: convert only cards from a trusted source.",
    )
    c.add_argument("card", help="card directory holding card.pkl")


def _export_command(sub) -> None:
    e = sub.add_parser("export", help="write the card as one SQL SELECT that scores a table in a database")
    e.add_argument("card", help="card directory (or its card.json)")
    e.add_argument("--sql", action="store_true", required=True, help="export as SQL (the one format so far)")
    e.add_argument(
        "--dialect",
        default="duckdb",
        choices=("duckdb", "sqlite", "postgres", "spark"),
        help="SQL dialect (default duckdb)",
    )
    e.add_argument("--table", default="applicants", help="the applicants' table (default applicants)")
    e.add_argument(
        "--id",
        dest="ids",
        action="append",
        default=[],
        metavar="COLUMN",
        help="a column selected first, as it is, to join the scores back (repeatable)",
    )
    e.add_argument("--out", help="file to write (default: standard output)")
    e.add_argument(
        "--monitor",
        action="store_true",
        help="instead: one aggregate query of the counts that 'tessaly monitor CARD --counts' reads",
    )
    _add_period_options(e)


def _monitor_command(sub) -> None:
    m = sub.add_parser("monitor", help="compare live applicants with the card's baseline: monitor.json and .html")
    m.add_argument("card", help="card directory (or its card.json)")
    m.add_argument("data", nargs="?", help="CSV or Parquet table of applicants (or give --counts)")
    m.add_argument(
        "--counts",
        metavar="FILE",
        help="the saved result (CSV or Parquet) of the query of 'tessaly export CARD --sql --monitor'",
    )
    _add_period_options(m)
    m.add_argument(
        "--baseline",
        metavar="DATA",
        help="a labelled development table to compare with (for a card built without a baseline)",
    )
    m.add_argument(
        "--out", help="directory for monitor.json and monitor.html (default: <card>-monitor, beside the card)"
    )
    m.add_argument(
        "--protected",
        action="append",
        default=[],
        metavar="COLUMN",
        help="a protected column of the applicants: approval rate and impact ratio per group and period (repeatable)",
    )
    m.add_argument(
        "--cutoff",
        dest="cutoffs",
        action="append",
        default=[],
        type=float,
        metavar="SCORE",
        help="approved means score >= SCORE (repeatable; default: the build's cutoffs, or the target score)",
    )
    # Checked by the command, so a wrong level ends in one line like any other error.
    m.add_argument(
        "--fail-on",
        metavar="{amber,red}",
        help="exit with code 3 when the worst verdict reaches this level (1 stays for errors)",
    )


def _bins_command(sub) -> None:
    bn = sub.add_parser("bins", help="print a card's bins as the JSON that --bins reads, to edit and build again")
    bn.add_argument("card", help="card directory (or its card.json)")
    bn.add_argument("--out", help="file to write (default: standard output)")


def _edit_command(sub) -> None:
    ed = sub.add_parser(
        "edit",
        help="steer a card's bins in the browser, the card refitted as you edit",
        description="Open a page on 127.0.0.1 to split, merge and regroup a card's bins. With --data "
        "the card is refitted on its training part after each edit; Save writes the bins "
        "file that 'tessaly build --bins' reads, with every edit and its reason.",
    )
    ed.add_argument("card", help="card directory of 'tessaly build'")
    ed.add_argument("--data", help="the card's development table (CSV or Parquet): refit the card after each edit")
    ed.add_argument("--target", metavar="COLUMN", help="the target column of --data (default: the card's)")
    ed.add_argument("--weight", metavar="COLUMN", help="the sample weight column of --data (default: the build's)")
    ed.add_argument("--out", metavar="BINS.json", help="the bins file Save writes (without it, nothing is saved)")
    ed.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: a free one)")
    ed.add_argument("--no-browser", action="store_true", help="print the address only, open no browser")


def _reasons_command(sub) -> None:
    r = sub.add_parser(
        "reasons",
        help="set the words of a card's reasons without rebuilding it",
        description="Keep in card.json the text an applicant reads for each reason: a JSON object mapping a "
        "predictor to a text, or to an object of bin label -> text. The card is rewritten whole with its "
        "checksum; bins without a text read as the predictor and the bin.",
    )
    r.add_argument("card", help="card directory (or its card.json)")
    r.add_argument("texts", metavar="FILE.json", help="the reasons file")


def _document_command(sub) -> None:
    d = sub.add_parser(
        "document",
        help="write the model development document (.docx or .html) from a card directory",
        description="Write the document validators review and sign: purpose, data, method, performance, "
        "stability, fairness, limitations, monitoring and reproducibility, from the card directory alone.",
    )
    d.add_argument("card", help="card directory of 'tessaly build'")
    d.add_argument("--out", required=True, help="the document to write: .docx (Word) or .html")
    d.add_argument(
        "--about",
        metavar="FILE",
        help="a short YAML or JSON file of what the card is for: purpose, intended_use, owner, data_source, "
        "exclusions, ... (placeholders where absent)",
    )


def _demo_command(sub) -> None:
    d = sub.add_parser("demo", help="build and apply a scorecard on the German credit data")
    d.add_argument("--out", help="output directory (default: tessaly-demo in the temporary directory)")
    _add_estimator_options(d, binning=False)


def parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="tessaly", description="Credit scorecards from SHAP values and Weight of Evidence.")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    _build_command(sub)
    _score_command(sub)
    _convert_command(sub)
    _export_command(sub)
    _monitor_command(sub)
    _bins_command(sub)
    _edit_command(sub)
    _reasons_command(sub)
    _document_command(sub)
    _demo_command(sub)
    for command in sub.choices.values():
        command.add_argument("--quiet", action="store_true", help="no progress output")
    return parser


def _add_period_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--target", metavar="COLUMN", help="the outcome column, where outcomes are known (empty: not yet)")
    p.add_argument("--period-column", metavar="COLUMN", help="a column of dates: figures per period as well")
    p.add_argument("--period", choices=("month", "quarter", "year"), help="the period (default month)")


def estimator_params(args) -> dict:
    """The estimator's parameters the user set; everything else keeps the estimator's default."""
    from ._params import PARAMS

    params = {p.name: getattr(args, p.name) for p in PARAMS if hasattr(args, p.name)}
    if "bins" in params:
        params["bins"] = _bins_file(params["bins"])
    if "reasons" in params:
        from ._reasons import read_texts

        params["reasons"] = read_texts(params["reasons"])
    return params


def _once_each(pairs) -> dict:
    """A JSON object whose every name is given once: a predictor named twice would keep only its last bins."""
    seen = set()
    for key, _ in pairs:
        if key in seen:
            raise InputError(f"the --bins file names {key[:80]!r} twice: keep one entry for it")
        seen.add(key)
    return dict(pairs)


def _bins_file(path) -> dict:
    """The bins set by hand, from the JSON file that 'tessaly bins' prints."""
    import json

    try:
        with open(path, encoding="utf-8") as f:
            bins = json.load(f, object_pairs_hook=_once_each)
    except OSError as e:
        raise InputError(f"cannot read --bins file '{path}': {e.strerror}") from None
    except InputError:
        raise
    except (ValueError, RecursionError) as e:
        raise InputError(f"--bins file '{path}' is not valid JSON ({str(e).splitlines()[0]}): fix it") from None
    if not isinstance(bins, dict):
        raise InputError(f"--bins file '{path}' must hold one JSON object: predictor -> splits or groups")
    return bins
