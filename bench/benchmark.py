"""The report's comparison of the default card with its tree benchmark, over splits of each data set.

Run: ./run bench benchmark [--data german,uci,generated] [--splits N] [--generated-splits N] [--rows N]
                           [--benchmark xgb]

Each split is made as `tessaly build` makes it (stratified, 30% held out, seeds 0, 1, ...), the default
Scorecard is fitted on the training part with the test part as its SHAP rows, and its report is written with
the training part as challenger and the benchmark: the figures are the report's own (metrics.json). Per data set
the table gives each scorer's mean test AUC, and in how many splits the benchmark model ranks significantly
better or worse than the card (DeLong 95% interval of the difference). Data as in bench/quality.py.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import re
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import numpy as np  # noqa: E402
import quality  # noqa: E402
from sklearn.model_selection import train_test_split  # noqa: E402


def _row(name: str, family: str) -> str:
    """A scorer's name without the sample size the report adds to it."""
    return re.sub(r" \(\d+ SHAP rows\)$", "", name).replace(f"{family} benchmark", "benchmark")


def one_split(X, y, y_bad, seed: int, family: str, folder: Path) -> tuple[dict, dict, float]:
    from tessaly import Scorecard

    train, test = train_test_split(np.arange(len(X)), test_size=quality.TEST_SIZE, stratify=y_bad, random_state=seed)
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        sc = Scorecard().fit(X.iloc[train], y.iloc[train], shap_data=X.iloc[test])
        metrics = sc.report(
            folder / f"report{seed}.html",
            X.iloc[test],
            y.iloc[test],
            challenger=(X.iloc[train], y.iloc[train]),
            benchmark=family,
        )
    seconds = time.perf_counter() - start
    return {_row(r["name"], family): r for r in metrics["challengers"]}, metrics["benchmark"], seconds


def evaluate(name, loaded, splits: int, family: str) -> dict:
    X, y, y_bad = loaded
    aucs, verdicts = {}, []
    with tempfile.TemporaryDirectory(prefix="tessaly-benchmark-") as tmp:
        for seed in range(splits):
            rows, said, seconds = one_split(X, y, y_bad, seed, family, Path(tmp))
            if said.get("error"):
                print(f"  {name} split {seed}: the benchmark failed: {said['error']}", file=sys.stderr)
            for row, r in rows.items():
                aucs.setdefault(row, []).append(r["auc"])
            model = rows.get("benchmark model")
            lo, hi = model["auc_vs_card_ci"] if model else (None, None)
            verdicts.append("better" if lo is not None and lo > 0 else "worse" if hi is not None and hi < 0 else "same")
            print(
                f"  {name} split {seed}: "
                + ", ".join(f"{k} {v['auc']:.4f}" for k, v in rows.items())
                + f" ({seconds:.1f} s; trained on {said['rows']:,} of {said['training_rows']:,})",
                file=sys.stderr,
                flush=True,
            )
    return {
        "data": name,
        "splits": splits,
        "auc": {k: float(np.mean(v)) for k, v in aucs.items()},
        "better": verdicts.count("better"),
        "worse": verdicts.count("worse"),
    }


def report(results, family: str) -> None:
    columns = list(dict.fromkeys(k for r in results for k in r["auc"]))
    print(f"\nmean test AUC over splits (benchmark: {family}; the module card from its SHAP sample of at most 500)")
    print("| data | splits | " + " | ".join(columns) + " | benchmark significantly better / worse |")
    print("|---|---|" + "---|" * len(columns) + "---|")
    for r in results:
        cells = [f"{r['auc'][c]:.4f}" if c in r["auc"] else "-" for c in columns]
        print(f"| {r['data']} | {r['splits']} | " + " | ".join(cells) + f" | {r['better']} / {r['worse']} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", default="german,uci,generated")
    parser.add_argument("--splits", type=int, default=10, help="splits (seeds 0, 1, ...) of german and uci")
    parser.add_argument("--generated-splits", type=int, default=1)
    parser.add_argument("--rows", type=int, default=200_000, help="rows of the generated set")
    parser.add_argument("--benchmark", default="xgb", help="the tree family (default xgb)")
    args = parser.parse_args()
    print(
        f"load average at the start {'/'.join(f'{v:.2f}' for v in os.getloadavg())} ({os.cpu_count()} cores)",
        file=sys.stderr,
    )
    loaders = {"german": quality.german, "uci": quality.uci, "generated": lambda: quality.generated(args.rows)}
    results = []
    for name in filter(None, args.data.split(",")):
        loaded = loaders[name]()
        if loaded is None:
            print(f"  {name}: its data file is not installed, skipped", file=sys.stderr)
            continue
        splits = args.generated_splits if name == "generated" else args.splits
        results.append(evaluate(name, loaded, splits, args.benchmark))
    report(results, args.benchmark)


if __name__ == "__main__":
    main()
