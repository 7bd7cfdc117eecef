"""Cross characteristics: how often an additive portfolio gets a cross it should not, how an exclusive-or
portfolio's card ranks against tuned trees, and what the cross search costs in a build against optbinning.

Run: ./run bench crosses [--seeds N] [--rows N] [--xor-rows N] [--build-rows N] [--repeats N] [--no-build]
                         [--build-only]

False crosses: `Scorecard()` (crosses auto) on --seeds generated additive portfolios (bench/_data.portfolio,
--rows applicants each, seeds 0, 1, ...); the count of those that get any cross (goal: at most 1 of 20).
Exclusive-or: one portfolio of --xor-rows applicants whose risk is an exclusive-or of age and utilisation, split
70/30 (stratified, seed 42); the test AUC of the default card, of the card without crosses, and of XGBoost tuned
on the raw predictors (depth 2-6 chosen by early stopping on a validation part of the training rows) with the
card's gap to it and the share of the additive card's gap the cross closed.
Build time: the whole `tessaly build gen.parquet bad --benchmark none --quiet` (crosses auto) and the same with
`--crosses none`, against optbinning's whole process (quality.py's), on bench/_data.applicants' --build-rows x
30 generated rows, --repeats alternating runs; the median ratio to optbinning (goal: at most 1.5).
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _data  # noqa: E402
import numpy as np  # noqa: E402
from sklearn.metrics import roc_auc_score  # noqa: E402
from sklearn.model_selection import train_test_split  # noqa: E402

from tessaly import Scorecard  # noqa: E402

GOAL_FALSE, GOAL_RATIO = 1, 1.5


def false_crosses(seeds: int, rows: int) -> list[dict]:
    out = []
    for seed in range(seeds):
        X, y = _data.portfolio(rows, "additive", seed=seed)
        start = time.perf_counter()
        sc = Scorecard(special_codes=[_data.SPECIAL]).fit(X, y)
        best = max(sc.crosses_, key=lambda c: c.get("z", -np.inf), default={})
        out.append(
            {
                "seed": seed,
                "crosses": [c.name for c in sc.card_.crosses],
                "best_z": best.get("z"),
                "seconds": time.perf_counter() - start,
            }
        )
        print(
            f"  additive seed {seed}: crosses {out[-1]['crosses']}, best z {best.get('z', float('nan')):.2f}",
            flush=True,
        )
    return out


def tuned_trees(X_train, y_train, X_test) -> tuple[np.ndarray, dict]:
    """XGBoost on the raw predictors: depth 2-6, each with early stopping on a seeded fifth of the training rows;
    the depth that does best there, refitted on all training rows for its best number of rounds. Returns the
    test applicants' probabilities of bad and the depth and rounds chosen."""
    from xgboost import XGBClassifier

    X_train, X_test = (x.astype({"region": "category"}) for x in (X_train, X_test))
    fit, valid = train_test_split(np.arange(len(X_train)), test_size=0.2, stratify=y_train, random_state=0)
    best = (-1.0, None, None)
    for depth in range(2, 7):
        m = XGBClassifier(
            max_depth=depth,
            n_estimators=2000,
            learning_rate=0.05,
            early_stopping_rounds=50,
            enable_categorical=True,
            eval_metric="auc",
        )
        m.fit(X_train.iloc[fit], y_train[fit], eval_set=[(X_train.iloc[valid], y_train[valid])], verbose=False)
        if m.best_score > best[0]:
            best = (m.best_score, depth, m.best_iteration + 1)
    _, depth, rounds = best
    m = XGBClassifier(max_depth=depth, n_estimators=rounds, learning_rate=0.05, enable_categorical=True)
    m.fit(X_train, y_train)
    return m.predict_proba(X_test)[:, 1], {"depth": depth, "rounds": rounds}


def exclusive_or(rows: int) -> dict:
    X, y = _data.portfolio(rows, "xor", seed=0)
    y = y.to_numpy()
    train, test = train_test_split(np.arange(rows), test_size=0.3, stratify=y, random_state=42)
    X_train, X_test = X.iloc[train], X.iloc[test]
    aucs = {}
    for name, params in (("card", {}), ("card, crosses none", {"crosses": "none"})):
        sc = Scorecard(special_codes=[_data.SPECIAL], **params).fit(X_train, y[train])
        aucs[name] = roc_auc_score(y[test], -sc.total_score(X_test))
        if not params:
            kept = sc.card_.crosses
    p, tuned = tuned_trees(X_train, y[train], X_test)
    aucs["tuned xgboost"] = roc_auc_score(y[test], p)
    gap_before = aucs["tuned xgboost"] - aucs["card, crosses none"]
    gap_after = aucs["tuned xgboost"] - aucs["card"]
    return {
        "aucs": aucs,
        "crosses": [c.name for c in kept],
        "tuned": tuned,
        "closed": 1 - gap_after / gap_before if gap_before > 0 else float("nan"),
        "gap": gap_after,
    }


def build_times(rows: int, repeats: int) -> dict | None:
    import _child
    import pyarrow as pa
    import pyarrow.parquet as pq
    import quality

    X, y = _data.applicants(rows, 30, seed=0)
    tmp = Path(tempfile.mkdtemp(prefix="tessaly-crosses-"))
    launcher = _child.Launcher()
    source = tmp / "gen.parquet"
    pq.write_table(pa.Table.from_pandas(X.assign(bad=y.to_numpy()), preserve_index=False), source)
    base = [str(quality.TESSALY), "build", str(source), "bad", "--benchmark", "none", "--quiet"]
    commands = {
        "tessaly (crosses auto)": lambda i: [*base, "--out", str(tmp / f"auto{i}")],
        "tessaly --crosses none": lambda i: [*base, "--out", str(tmp / f"none{i}"), "--crosses", "none"],
        "optbinning": lambda i: [
            sys.executable,
            str(Path(quality.__file__).resolve()),
            "--optbinning-process",
            str(source),
            "bad",
            str(tmp / f"optbinning{i}.csv"),
        ],
    }
    times: dict = {k: [] for k in commands}
    try:
        for i in range(repeats):
            for name in list(commands) if i % 2 == 0 else list(commands)[::-1]:
                done = launcher.run(commands[name](i), env=dict(os.environ))
                if done["code"] != 0:
                    print(f"  {name} failed: {done['stderr'][-1500:]}", file=sys.stderr)
                    return None
                times[name].append(done["seconds"])
                print(f"  run {i}: {name} {done['seconds']:.1f} s (load {os.getloadavg()[0]:.1f})", flush=True)
    finally:
        launcher.close()
        shutil.rmtree(tmp, ignore_errors=True)
    ratio = {
        k: float(np.median([t / o for t, o in zip(v, times["optbinning"])]))
        for k, v in times.items()
        if k != "optbinning"
    }
    return {"seconds": {k: float(np.median(v)) for k, v in times.items()}, "ratio": ratio}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", type=int, default=20)
    parser.add_argument("--rows", type=int, default=20_000)
    parser.add_argument("--xor-rows", type=int, default=50_000)
    parser.add_argument("--build-rows", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--build-only", action="store_true", help="only the build-time comparison")
    args = parser.parse_args()
    if args.build_only:
        return report_build(args)
    print(f"false crosses: {args.seeds} additive portfolios of {args.rows:,} applicants")
    runs = false_crosses(args.seeds, args.rows)
    crossed = sum(bool(r["crosses"]) for r in runs)
    xor = exclusive_or(args.xor_rows)
    print(f"\nadditive portfolios with any cross: {crossed} of {len(runs)} (goal <= {GOAL_FALSE})")
    print(
        f"exclusive-or, {args.xor_rows:,} applicants, test AUC (crosses kept: {', '.join(xor['crosses']) or 'none'}):"
    )
    for name, auc in xor["aucs"].items():
        print(f"  {name:22s} {auc:.4f}")
    print(
        f"  gap to tuned trees (depth {xor['tuned']['depth']}, {xor['tuned']['rounds']} rounds): {xor['gap']:+.4f}; "
        f"the cross closed {xor['closed']:.0%} of the additive card's gap"
    )
    failed = crossed > GOAL_FALSE
    return max(int(failed), 0 if args.no_build else report_build(args))


def report_build(args) -> int:
    print(f"\nbuild time: {args.build_rows:,} x 30 generated rows, {args.repeats} alternating runs", flush=True)
    build = build_times(args.build_rows, args.repeats)
    if build is None:
        return 1
    for name, seconds in build["seconds"].items():
        ratio = build["ratio"].get(name)
        print(f"  {name:24s} {seconds:7.1f} s" + (f"  {ratio:.2f}x optbinning" if ratio else ""))
    return 0 if build["ratio"]["tessaly (crosses auto)"] <= GOAL_RATIO else 1


if __name__ == "__main__":
    sys.exit(main())
