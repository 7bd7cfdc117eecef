"""Monitoring speed and memory: `monitor` on a Parquet and a CSV file against pyarrow reading the same file,
and its figures beside optbinning's ScorecardMonitoring on the same drifted applicants.

Run: ./run bench monitor [--rows N] [--times 1,10] [--quick] [--no-peer]

The card: tessaly's Scorecard on 20,000 generated applicants (30 predictors, a third categorical, missing
values and special codes), its baseline from a 70/30 split of them. The monitored applicants: drawn from
the same population with the values of the strongest predictor (n00, not its special code) shifted by half
a standard deviation, 0.5% of the categories unseen, the outcome `bad` and a date over twelve months. The
large file is the 1x table written N times.

Each run is a child process (started by bench/_child.py, so its peak RSS is its own): `monitor` with the
outcome and monthly periods, writing monitor.json and monitor.html; and pyarrow reading the whole file with
its defaults (pyarrow.parquet.read_table, pyarrow.csv.read_csv), the cost of the bytes alone. Numerical
libraries get one thread; pyarrow keeps its own pool in both. Target: monitor within 3x pyarrow's read,
peak memory flat from 1x to 10x.

The peer (skipped with --no-peer): optbinning's ScorecardMonitoring needs a scorecard of its own and the
data in memory. Its card here is a WoE logistic regression on tessaly's card's bins (the challenger of the
build report), so the predictors' stability indexes share their bins; the score and the Gini are each
card's own. The peer sees a 200,000-row sample of the monitored file and the card's training part.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import sys
import tempfile
import time
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _child import Launcher  # noqa: E402

# Started while this process is small: children it starts report their own peak RSS, not ours.
LAUNCHER = Launcher()

import _data  # noqa: E402

_data.single_core()

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

N_PREDICTORS = 30
FIT_ROWS = 20_000
PEER_ROWS = 200_000
SHIFT = 6.0  # n00 is drawn N(40, 12): half a standard deviation
TARGET_RATIO = 3.0

MONITOR = """
import json, sys
from tessaly.monitoring import command as _monitor
card, data, out = sys.argv[1:4]
r = _monitor.monitor(card, data, target="bad", period_column="applied", period="month", out=out)
print(json.dumps({"verdict": r["verdict"], "applicants": r["applicants"], "psi": r["score"]["psi"]}))
"""
READ = """
import sys
path = sys.argv[1]
if path.endswith(".parquet"):
    import pyarrow.parquet as pq
    t = pq.read_table(path)
else:
    import pyarrow.csv as pcsv
    t = pcsv.read_csv(path)
print(t.num_rows)
"""


def drifted(n: int, seed: int) -> pd.DataFrame:
    X, y = _data.applicants(n, N_PREDICTORS, seed=seed, unseen=0.005)
    regular = X["n00"].notna() & (X["n00"] != _data.SPECIAL)
    X.loc[regular, "n00"] += SHIFT
    X["bad"] = y.to_numpy()
    start = np.datetime64("2024-01-01")
    X["applied"] = start + (np.arange(n) * 365 // n).astype("timedelta64[D]")
    return X


def fit(root: Path):
    from tessaly import Scorecard

    X, y = _data.applicants(FIT_ROWS, N_PREDICTORS, seed=0)
    cut = int(0.7 * len(X))
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        sc = (
            Scorecard(min_iv=None, special_codes=list(_data.SPECIAL_CODES), seed=0, shap_rows=2000)
            .fit(X[:cut], y[:cut])
            .set_baseline(X[:cut], y[:cut], X[cut:], y[cut:])
        )
    card = sc.card_
    base = card.baseline
    print(
        f"card: {len(card.predictors)} predictors, fitted on {cut:,} applicants in "
        f"{time.perf_counter() - start:.1f} s; {len(base['bands']) + 1} score bands"
    )
    card_dir = root / "card"
    card_dir.mkdir()
    card.save(card_dir)  # the baseline travels in card.json
    return card, base, (X[:cut], y[:cut].to_numpy())


def write(table, path: Path, times: int) -> None:
    import pyarrow.csv as pcsv
    import pyarrow.parquet as pq

    if path.suffix == ".parquet":
        with pq.ParquetWriter(path, table.schema) as w:
            for _ in range(times):
                w.write_table(table, row_group_size=128 * 1024)
    else:
        with pcsv.CSVWriter(path, table.schema) as w:
            for _ in range(times):
                w.write_table(table)


def speed(args, X: pd.DataFrame, root: Path) -> None:
    import pyarrow as pa

    py = sys.executable
    env = dict(os.environ)
    table = pa.Table.from_pandas(X, preserve_index=False)
    print(
        f"\n{'file':<8} {'rows':>11} {'MiB':>6} {'read s':>7} {'read MiB':>9} {'monitor s':>10} "
        f"{'monitor MiB':>12} {'ratio':>6}  verdict"
    )
    for kind in ("parquet", "csv"):
        peaks = {}
        for times in args.times:
            path = root / f"applicants{times}.{kind}"
            out = root / f"out{times}"
            write(table, path, times)
            read = LAUNCHER.run([py, "-c", READ, str(path)], env=env)
            ran = LAUNCHER.run([py, "-c", MONITOR, str(root / "card"), str(path), str(out)], env=env)
            n = len(X) * times
            if ran["code"] != 0 or read["code"] != 0:
                lines = (ran["stderr"].strip() or read["stderr"].strip() or "no message").splitlines()
                print(f"{kind:<8} {n:>11,} failed: {lines[-1]}")
                path.unlink()
                continue
            got = json.loads(ran["stdout"].strip().splitlines()[-1])
            ratio = ran["seconds"] / read["seconds"]
            peaks[times] = ran["peak_mib"]
            print(
                f"{kind:<8} {n:>11,} {path.stat().st_size / 2**20:>6.0f} {read['seconds']:>7.2f} "
                f"{read['peak_mib']:>9.0f} {ran['seconds']:>10.2f} {ran['peak_mib']:>12.0f} {ratio:>5.1f}x  "
                f"{got['verdict']} (score PSI {got['psi']:.3f})"
                + ("" if got["applicants"] == n else f"  COUNTED {got['applicants']:,}!")
                + ("" if ratio <= TARGET_RATIO or n < 1_000_000 else "  over the 3x target")
            )
            path.unlink()
        if len(peaks) > 1:
            low, high = min(peaks), max(peaks)
            growth = peaks[high] / peaks[low]
            print(
                f"{'':<8} peak RSS {high}x / {low}x: {growth:.2f} -> memory "
                f"{'flat' if growth < 1.3 else 'GROWS with the file'}"
            )


def peer(card, base, train, X: pd.DataFrame) -> None:
    from tessaly.monitoring import command as _monitor
    from tessaly.monitoring import statistics as _monitoring

    try:
        from optbinning.scorecard import ScorecardMonitoring
    except ImportError as e:
        _data.missing_peer("optbinning", str(e))
        return
    X_train, y_train = train
    sample = X.sample(min(PEER_ROWS, len(X)), random_state=0).reset_index(drop=True)
    names = card.names
    print(
        f"\nbeside optbinning's ScorecardMonitoring: {len(sample):,} drifted applicants against the "
        f"{len(X_train):,} training applicants"
    )
    start = time.perf_counter()
    ours = _monitor.monitor(card, sample, baseline=base, target="bad")
    t_ours = time.perf_counter() - start

    predictors = card.to_dict()["predictors"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ob_card = optbinning_card(X_train[names], y_train, predictors, dict(card.scaling))
        frame = card_frame
        start = time.perf_counter()
        mon = ScorecardMonitoring(scorecard=ob_card, psi_method="cart", psi_n_bins=10, verbose=False).fit(
            frame(sample, predictors), sample["bad"].to_numpy(), frame(X_train, predictors), y_train
        )
        t_peer = time.perf_counter() - start
        ob_scores = np.asarray(ob_card.score(frame(sample, predictors)), dtype=float)
    perf = mon._df_performance
    print(
        f"  time: tessaly {t_ours:.2f} s (scores, counts, every statistic and the KS bootstrap); "
        f"optbinning {t_peer:.2f} s"
    )
    peer_psi = mon.psi_table().loc["Totals", "PSI"]
    print(
        f"  score PSI: tessaly {ours['score']['psi']:.4f} ({ours['score']['verdict']}, "
        f"{len(ours['score']['bands'])} fixed bands on its own card's score); optbinning {peer_psi:.4f} "
        f"({len(mon.psi_table()) - 1} CART bands on its own card's score)"
    )
    # The same statistic on the same scores: the peer's card's scores through tessaly's count-based AUC.
    y = sample["bad"].to_numpy()
    keys, goods, bads = _monitoring.cells(-ob_scores if _higher_is_worse(ob_scores, y) else ob_scores, 1 - y, y)
    gini_same = _monitoring.ranking(goods, bads, resamples=10)["gini"]
    print(
        f"  Gini: tessaly card {ours['performance']['gini']:.4f} {_ci(ours['performance']['gini_ci'])} "
        f"(development {ours['baseline']['gini']:.4f}); optbinning card, by optbinning "
        f"{_peer_gini(perf)}; the same scores through tessaly's counts {gini_same:.4f}"
    )
    table = mon.psi_variable_table(style="summary").set_index("Variable")["PSI"]
    print(f"  {'predictor':<10} {'tessaly PSI':>12} {'verdict':>8} {'optbinning PSI':>15} {'difference':>11}")
    for name in names:
        ours_psi = ours["predictors"][name]["psi"]
        theirs = float(table.get(name, np.nan))
        print(
            f"  {name:<10} {ours_psi:>12.4f} {ours['predictors'][name]['verdict']:>8} {theirs:>15.4f} "
            f"{ours_psi - theirs:>+11.4f}"
        )
    print(
        "  the predictors' indexes differ where the two count differently: optbinning's transform gives special "
        "and missing values bin index 0, so they count in the first bin; tessaly keeps them, and unseen "
        "categories, in cells of their own (an unseen share over an empty baseline cell is floored at 0.0001)"
    )
    print(
        "  optbinning offers no intervals, no calibration test and no periods; tessaly's AUC test: "
        f"p = {ours['performance']['auc_decline_p']:.3g} ({ours['performance'].get('verdict')}), "
        f"calibration {ours['calibration'].get('verdict')}, worst verdict {ours['verdict']}"
    )


def card_frame(X: pd.DataFrame, predictors: list[dict]) -> pd.DataFrame:
    """The card's predictors as the card reads them: category keys, and numbers with unreadable values missing."""
    from tessaly._values import canonical, to_number

    columns = {}
    for p in predictors:
        name = p["name"]
        if name not in X.columns:
            raise KeyError(f"predictor '{name}' of the card is not in the table")
        if p["type"] == "numerical":
            x, _ = to_number(X[name])
            columns[name] = np.where(np.isfinite(x), x, np.nan)
        else:
            columns[name] = canonical(X[name])
    return pd.DataFrame(columns)


def optbinning_card(X_train, y_train, predictors: list[dict], scaling: dict, sample_weight=None):
    """optbinning's WoE logistic-regression card on the bins of a tessaly card, for its monitoring."""
    # The card's splits go to optbinning as fixed user splits, so the challenger differs from the card only
    # in how it turns the same bins into points. A bin holding only goods or only bads on the training rows
    # has no finite WoE; optbinning refuses to fix it, and then merges it into a neighbour.
    from optbinning import BinningProcess, OptimalBinning
    from optbinning import Scorecard as WoEScorecard
    from sklearn.linear_model import LogisticRegression

    y = np.asarray(y_train).astype(int)
    train = card_frame(X_train, predictors)
    params = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for p in predictors:
            categorical = p["type"] == "categorical"
            splits = [list(map(str, g)) for g in p["splits"]] if categorical else [float(v) for v in p["splits"]]
            codes = [str(c) if categorical else float(c) for c in p["special_codes"]]
            fit = {"dtype": p["type"], "user_splits": splits, "monotonic_trend": None, "special_codes": codes or None}
            if splits:
                try:
                    OptimalBinning(name=p["name"], **fit, user_splits_fixed=[True] * len(splits)).fit(
                        train[p["name"]].to_numpy(), y
                    )
                    fit["user_splits_fixed"] = [True] * len(splits)
                except ValueError:
                    pass
            params[p["name"]] = fit
        process = BinningProcess(
            [p["name"] for p in predictors],
            categorical_variables=[p["name"] for p in predictors if p["type"] == "categorical"],
            binning_fit_params=params,
        )
        card = WoEScorecard(
            process,
            LogisticRegression(max_iter=1000),
            scaling_method="pdo_odds",
            scaling_method_params={
                "pdo": scaling.get("pdo", 20),
                "odds": scaling.get("target_odds", 15),
                "scorecard_points": scaling.get("target_score", 200),
            },
        )
        # The card gives special and missing values their own points; so does the challenger.
        return card.fit(train, y, sample_weight=sample_weight, metric_special="empirical", metric_missing="empirical")


def _higher_is_worse(scores, y) -> bool:
    return np.mean(scores[y == 1]) > np.mean(scores[y == 0])


def _ci(pair) -> str:
    return "" if pair[0] is None else f"({pair[0]:.4f} to {pair[1]:.4f})"


def _peer_gini(perf: pd.DataFrame) -> str:
    try:
        row = perf.set_index(perf.columns[0]).loc["Gini"]
        return f"{float(row.iloc[0]):.4f} (development {float(row.iloc[1]):.4f})"
    except (KeyError, IndexError, ValueError):
        return perf.to_string().replace("\n", "; ")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--times", default="1,10", help="file sizes as multiples of --rows (default 1,10)")
    parser.add_argument("--quick", action="store_true", help="100,000 rows, 1x and 2x: a smoke run")
    parser.add_argument("--no-peer", action="store_true", help="skip the comparison with optbinning")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.times = 100_000, "1,2"
    args.times = [int(t) for t in args.times.split(",")]

    with tempfile.TemporaryDirectory(prefix="tessaly-bench-") as tmp:
        root = Path(tmp)
        card, base, train = fit(root)
        X = drifted(args.rows, seed=1)
        speed(args, X, root)
        if not args.no_peer:
            peer(card, base, train, X)


if __name__ == "__main__":
    main()
