"""How far a card moves when the SHAP step sees a sample of the training rows instead of all of them.

Run: ./run bench shap_sample [--rows N] [--sizes 1000,2000,...] [--quick]

A generated table (bench/_data.py, fixed seed: 200,000 rows x 30 predictors by default) is split as the
command line splits (70/30, stratified, random_state=42). Scorecard("xgb") is fitted on the training part once with
shap_rows = all training rows (the reference), then once per sample size. The binning and the model do not
depend on shap_rows (same seed), so the cards share their bins and differ only in points. Per size:
the largest absolute difference in any bin's points of the additive card (whole points) and of the module
card, the Spearman rank correlation of the test applicants' totals against the reference card's, the share
of test applicants whose total moved by more than 2 points, and the fit time. The tree families sample;
the default logistic family's points are exact and need no SHAP sample.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _data  # noqa: E402
import numpy as np  # noqa: E402
from scipy.stats import spearmanr  # noqa: E402
from sklearn.model_selection import train_test_split  # noqa: E402

SIZES = (1000, 2000, 5000, 10000, 20000, 50000)


def fit(X, y, shap_rows: int, seed: int):
    from tessaly import Scorecard

    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        sc = Scorecard("xgb", shap_rows=shap_rows, seed=seed, special_codes=list(_data.SPECIAL_CODES)).fit(X, y)
    return sc, time.perf_counter() - start


def points(card) -> np.ndarray:
    return np.concatenate([p.points for p in card.predictors])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--predictors", type=int, default=30)
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)), help="comma-separated sample sizes")
    parser.add_argument("--seed", type=int, default=0, help="seed of the table")
    parser.add_argument("--quick", action="store_true", help="10,000 rows, sizes 1000 and 2000: a smoke run")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.sizes = 10_000, "1000,2000"
    sizes = [int(s) for s in args.sizes.split(",")]

    X, y = _data.applicants(args.rows, args.predictors, seed=args.seed)
    X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.3, stratify=y, random_state=42)
    n_train = len(X_train)
    print(
        f"{args.rows:,} generated applicants x {args.predictors} predictors; {n_train:,} train, "
        f"{len(X_test):,} test; default Scorecard otherwise",
        flush=True,
    )

    full, t_full = fit(X_train, y_train, n_train, 42)
    ref_total = full.card_.score(X_test)["score"].to_numpy()
    ref_module = full.module_card_.score(X_test)["score"].to_numpy()
    ref_points, ref_module_points = points(full.card_), points(full.module_card_)
    print(
        f"reference: shap_rows = all {n_train:,} training rows, fit {t_full:.1f} s, "
        f"{len(full.card_.predictors)} predictors on the card, {len(ref_points)} bins\n",
        flush=True,
    )
    header = (
        f"{'shap_rows':>9} {'max |d points|':>14} {'bins moved':>10} {'spearman':>9} {'|d total|>2':>11} "
        f"{'module max |d|':>14} {'module spearman':>15} {'fit s':>7}"
    )
    print(header, flush=True)
    for n in [*sizes, n_train]:
        if n > n_train:
            continue
        sc, seconds = (full, t_full) if n == n_train else fit(X_train, y_train, n, 42)
        same_bins = [p.labels for p in sc.card_.predictors] == [p.labels for p in full.card_.predictors]
        if not same_bins:
            print(f"{n:>9,} cards have different bins: not comparable")
            continue
        d = np.abs(points(sc.card_) - ref_points)
        total = sc.card_.score(X_test)["score"].to_numpy()
        rho = spearmanr(total, ref_total).statistic
        moved = np.mean(np.abs(total - ref_total) > 2)
        dm = np.abs(points(sc.module_card_) - ref_module_points)
        rho_m = spearmanr(sc.module_card_.score(X_test)["score"].to_numpy(), ref_module).statistic
        label = f"{n:,}" if n != n_train else "all"
        print(
            f"{label:>9} {d.max():14.0f} {np.mean(d > 0):10.1%} {rho:9.5f} {moved:11.2%} {dm.max():14.2f} "
            f"{rho_m:15.5f} {seconds:7.1f}",
            flush=True,
        )


if __name__ == "__main__":
    main()
