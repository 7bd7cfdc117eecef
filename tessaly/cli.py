"""The tessaly command line: build, score and demo."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

from ._errors import InputError


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, like every other input error of the program.
        sys.stderr.write(f"{self.prog}: error: {message}\n")
        sys.exit(2)


def _special(text: str) -> list:
    return [c.strip() for c in text.split(",") if c.strip()]


def _add_build_options(p: argparse.ArgumentParser, *, demo: bool = False) -> None:
    p.add_argument("--model", default="xgb", help="xgb (default), rf or catboost")
    p.add_argument("--trees", type=int, default=100, help="trees of the model (default 100)")
    p.add_argument("--test-size", type=float, default=0.3, help="share of applicants held out for validation (0.3)")
    p.add_argument("--seed", type=int, default=42, help="seed of the split and the model (42)")
    p.add_argument("--pdo", type=int, default=20, help="points that double the odds (20)")
    p.add_argument("--target-score", type=int, default=200, help="score at the target odds (200)")
    p.add_argument("--target-odds", type=int, default=15, help="good:bad odds at the target score (15)")
    p.add_argument("--resort", action="store_true", help="re-sort each predictor's points by WoE")
    if demo:
        return
    p.add_argument("--max-bins", type=int, default=10, help="at most this many bins per predictor (2-10, default 10)")
    p.add_argument("--monotonic-trend", default="auto",
                   help="event-rate trend across bins: auto (default), auto_asc_desc, ascending, descending, peak, valley, none")
    p.add_argument("--special-codes", type=_special, default=[], metavar="V1,V2",
                   help="values that get a bin of their own (e.g. -999)")
    p.add_argument("--bad", help="the target value that means bad (default: 1, True or 'bad')")
    p.add_argument("--drop", action="append", default=[], metavar="COLUMN", help="a column that is no predictor (repeatable)")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="tessaly", description="Credit scorecards from SHAP values and Weight of Evidence.")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    b = sub.add_parser("build", help="bin, train and build a scorecard with its report")
    b.add_argument("data", help="CSV or Parquet table of applicants")
    b.add_argument("target", help="name of the binary target column")
    b.add_argument("--out", required=True, help="output directory")
    _add_build_options(b)
    b.add_argument("--quiet", action="store_true", help="no progress output")

    s = sub.add_parser("score", help="score new applicants with a built card")
    s.add_argument("card", help="output directory of 'tessaly build'")
    s.add_argument("data", help="CSV or Parquet table of applicants")
    s.add_argument("--out", help="CSV to write (default: <card>/scores.csv)")
    s.add_argument("--quiet", action="store_true", help="no progress output")

    d = sub.add_parser("demo", help="build and apply a scorecard on the German credit data")
    d.add_argument("--out", help="output directory (default: tessaly-demo in the temporary directory)")
    _add_build_options(d, demo=True)
    d.add_argument("--quiet", action="store_true", help="no progress output")
    return parser


def _options(args, target: str):
    from ._build import BuildOptions

    return BuildOptions(
        target=target, model=args.model, test_size=args.test_size, seed=args.seed, trees=args.trees,
        max_bins=getattr(args, "max_bins", 10), monotonic_trend=getattr(args, "monotonic_trend", "auto"),
        special_codes=getattr(args, "special_codes", []), drop=getattr(args, "drop", []), bad=getattr(args, "bad", None),
        pdo=args.pdo, target_score=args.target_score, target_odds=args.target_odds, resort=args.resort,
    )


def _metrics_line(m: dict) -> str:
    return f"test split: AUC {m['auc']:.4f}  Gini {m['gini']:.4f}  KS {m['ks']:.4f}"


def _build(args, progress) -> None:
    from ._build import build

    result = build(args.data, args.out, _options(args, args.target), progress)
    progress.note(_metrics_line(result["metrics"]))
    print(f"card:   {Path(result['out']).resolve()}")
    print(f"report: {Path(result['report']).resolve()}")


def score_file(card_dir, data_path, out_path=None, progress=None) -> Path:
    from ._build import read_table
    from ._card import Card

    card_dir = Path(card_dir)
    if not card_dir.is_dir():
        raise InputError(f"'{card_dir}' is not a card directory")
    card = Card.load(card_dir)
    data = read_table(data_path)
    out_path = Path(out_path) if out_path else card_dir / "scores.csv"
    if out_path.is_dir():
        raise InputError(f"output '{out_path}' is a directory")
    if progress:
        progress.step(f"scoring {len(data)} applicants")
    scored = card.score(data)
    tmp = out_path.with_name(f".{out_path.name}.tmp")
    try:
        scored.to_csv(tmp, index=False)
        tmp.replace(out_path)
    except OSError as e:
        tmp.unlink(missing_ok=True)
        raise InputError(f"cannot write '{out_path}': {e.strerror}") from None
    return out_path


def _score(args, progress) -> None:
    path = score_file(args.card, args.data, args.out, progress)
    print(f"scores: {path.resolve()}")


def _demo(args, progress) -> None:
    from . import _demo

    _demo.run(args, _options, progress)


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    from ._progress import Progress

    progress = Progress(quiet=args.quiet)
    started = time.monotonic()
    try:
        {"build": _build, "score": _score, "demo": _demo}[args.command](args, progress)
    except InputError as e:
        sys.stderr.write(f"tessaly: error: {e}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("tessaly: interrupted\n")
        return 130
    progress.note(f"done in {time.monotonic() - started:.1f}s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
