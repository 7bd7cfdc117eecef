"""The bins editor's refit: how long one edit takes, from the request to the refitted card scored on the test part.

Run: ./run bench editor [--rows 100000,1000000] [--predictors 20] [--cards DIR]

For each size: generated applicants (a third of the predictors categorical, missing values and special codes),
a card built on them with the defaults (the logistic family), then an editing session on the same table: a
split, a merge, a category moved and an undo, each timed whole (counts, refit with the card's penalty, points,
test AUC, Gini and KS with DeLong's interval of the difference). Beside it, the reference: the build's own fit
of the logistic family on the same bins, which chooses the penalty afresh. Numerical libraries get one thread.
Targets: an edit within 1 s at 100,000 applicants and 5 s at 1,000,000. Each time is given as the wall clock and
as the process's CPU time (one thread: on an idle machine the two agree; on a shared one the CPU time is what the
edit costs); the load average is printed beside them. `--cards DIR` keeps the built cards there for the next run.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _data  # noqa: E402

_data.single_core()

import numpy as np  # noqa: E402

TARGETS = {100_000: 1.0, 1_000_000: 5.0}


def edits(session) -> list[dict]:
    """A split, a merge, a move and an undo on the card's first numerical and categorical predictors."""
    view = session.view()
    numerical = next(
        p
        for p in view["predictors"]
        if p["type"] == "numerical" and p["included"] and len([b for b in p["bins"] if b["kind"] == "regular"]) >= 3
    )
    categorical = next(
        (p for p in view["predictors"] if p["type"] == "categorical" and p["included"] and len(p["groups"]) >= 2), None
    )
    widest = max((b for b in numerical["bins"] if b["kind"] == "regular"), key=lambda b: b["count"])
    splits = session.state["predictors"][numerical["name"]]["splits"]
    lo = splits[widest["index"] - 1] if widest["index"] > 0 else None
    hi = splits[widest["index"]] if widest["index"] < len(splits) else None
    values = session.applicants["train"][numerical["name"]].to_numpy(dtype=float)
    inside = values[
        np.isfinite(values)
        & (values >= (lo if lo is not None else -np.inf))
        & (values < (hi if hi is not None else np.inf))
        & (values != -1)
    ]
    out = [
        {"op": "split", "predictor": numerical["name"], "at": float(np.median(inside))},
        {"op": "merge", "predictor": numerical["name"], "bins": [0, 1]},
    ]
    if categorical is not None:
        out.append({"op": "move", "predictor": categorical["name"], "category": categorical["groups"][0][0], "to": 1})
    out.append({"op": "undo"})
    return out


def reference(session) -> float:
    """The build's fit of the logistic family on the session's bins, its penalty chosen afresh."""
    from tessaly import _linear
    from tessaly.editor.refit import bins_of

    binnings, positions, _, _ = bins_of(session, session.state)
    start = time.perf_counter()
    _linear.WoELogistic().fit(
        positions,
        [len(b.labels) for b in binnings],
        session.applicants["y_train"],
        session.applicants["w_train"],
        seed=42,
    )
    return time.perf_counter() - start


def run(rows: int, predictors: int, cards: Path | None) -> dict:
    from tessaly._build import build
    from tessaly.editor.session import Session

    X, y = _data.applicants(rows, predictors, seed=0)
    frame = X.assign(**{_data.TARGET: y.to_numpy()})
    with tempfile.TemporaryDirectory(prefix="tessaly-bench-") as tmp:
        card = (Path(tmp) if cards is None else cards) / f"card-{rows}-{predictors}"
        start = time.perf_counter()
        kept = (card / "card.json").exists()
        if not kept:
            build(frame, card, target=_data.TARGET, params={"special_codes": list(_data.SPECIAL_CODES)})
        built = None if kept else time.perf_counter() - start
        start = time.perf_counter()
        session = Session(card, frame)
        opened = time.perf_counter() - start
        times = []
        for op in edits(session):
            start, cpu = time.perf_counter(), time.process_time()
            session.edit(op)
            session.view()
            times.append((op["op"], time.perf_counter() - start, time.process_time() - cpu))
        cpu = time.process_time()
        ref = reference(session)
        ref_cpu = time.process_time() - cpu
    return {"rows": rows, "build": built, "open": opened, "edits": times, "reference": ref, "reference_cpu": ref_cpu}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", default="100000,1000000", help="sizes, comma-separated")
    parser.add_argument("--predictors", type=int, default=20)
    parser.add_argument("--cards", type=Path, help="a folder to keep the built cards in, for the next run")
    args = parser.parse_args()
    print(
        f"{'applicants':>11} {'build':>8} {'open':>7} {'edit wall (median, worst)':>26} "
        f"{'edit CPU (median, worst)':>25} {'reference CPU':>14} {'ratio':>6}  target (CPU)  load"
    )
    for rows in (int(r) for r in args.rows.split(",")):
        r = run(rows, args.predictors, args.cards)
        refits = [(wall, cpu) for op, wall, cpu in r["edits"] if op != "undo"]  # an undo shows a kept refit
        wall = [w for w, _ in refits]
        cpu = [c for _, c in refits]
        target = TARGETS.get(rows)
        built = "kept" if r["build"] is None else f"{r['build']:.1f}s"
        verdict = "" if target is None else f"{'met' if max(cpu) <= target else 'MISSED'} ({target:g} s)"
        print(
            f"{rows:>11,} {built:>8} {r['open']:>6.1f}s {statistics.median(wall):>18.2f}s, "
            f"{max(wall):.2f}s {statistics.median(cpu):>17.2f}s, {max(cpu):.2f}s {r['reference_cpu']:>13.2f}s "
            f"{statistics.median(cpu) / r['reference_cpu']:>6.2f}  {verdict:<12} "
            f"{os.getloadavg()[0]:.1f}",
            flush=True,
        )
        print("            " + ", ".join(f"{op} {w:.2f}s wall {c:.2f}s CPU" for op, w, c in r["edits"]), flush=True)


if __name__ == "__main__":
    main()
