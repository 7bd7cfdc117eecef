"""Reject inference against the truth: simulated through-the-door populations whose every outcome is known,
the accepts-only card against each method, and the build's time with rejects against without.

Run: ./run bench rejects [--rows N] [--seed S] [--no-time]

Populations (--rows applicants through the door, default 40,000; about 60% accepted by an earlier policy):
  selection  "random": the policy accepts on the predictors the data hold (plus noise unrelated to the
             outcome): rejects are missing at random given the predictors (true K = 1).
             "hidden":  the policy also sees a variable the data lack that drives the outcome (an
             underwriter's judgement): a reject is riskier than an accept with the same predictors.
  card       "well":  the outcome's log-odds are additive in the predictors, as a card is.
             "badly": they also hold an interaction of two predictors, which no additive card can express.
For each of the four, `Scorecard(reject_factor=K*)` is fitted with the rejects, K* the true factor (the
factor at which the accepts-only card's shifted probabilities average to the rejects' true bad rate). Its
grid gives fuzzy at K = 1, 1.5, 2, 3, 4, each method at K* and the card actually built (fuzzy at K*). Columns:
the inferred reject bad rate against the true one, and each card's AUC on the whole through-the-door
population (the applicants the card will score), against the accepts-only card's.

Time (unless --no-time): `tessaly build` (default settings, the xgb benchmark beside) of the hidden/well
population with --rejects, against the same build on the accepted rows alone, in one run; target: at most 2.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import _data  # noqa: E402

_data.single_core()

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402


def population(n: int, *, hidden: bool, badly: bool, seed: int):
    """Predictors, the unseen variable, every outcome, and who the earlier policy accepted."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 4))
    grade = rng.choice(list("ABCDE"), n, p=[0.15, 0.25, 0.3, 0.2, 0.1])
    u = rng.normal(size=n)
    seen = (
        0.9 * x[:, 0]
        - 0.7 * x[:, 1]
        + 0.5 * x[:, 2]
        + 0.3 * x[:, 3]
        + np.select([grade == g for g in "ABCDE"], [-0.8, -0.3, 0.0, 0.4, 0.9])
    )
    log_odds = -1.6 + seen + 0.9 * u + (0.9 * x[:, 0] * x[:, 1] if badly else 0.0)
    bad = (rng.random(n) < 1 / (1 + np.exp(-log_odds))).astype(int)
    judgement = u if hidden else rng.normal(size=n)  # what the policy saw beyond the data
    risk = seen + 1.2 * judgement
    accepted = risk < np.quantile(risk, 0.6)
    X = pd.DataFrame(
        {"x1": x[:, 0].round(3), "x2": x[:, 1].round(3), "x3": x[:, 2].round(3), "x4": x[:, 3].round(3), "grade": grade}
    )
    return X, pd.Series(bad, name="bad"), accepted


def true_factor(p: np.ndarray, truth: float) -> float:
    """The factor whose shifted probabilities average to the true bad rate (bisection on the log factor)."""
    from tessaly.rejects._methods import shifted

    lo, hi = -5.0, 5.0
    for _ in range(60):
        mid = (lo + hi) / 2
        lo, hi = (mid, hi) if shifted(p, np.exp(mid)).mean() < truth else (lo, mid)
    return float(np.exp((lo + hi) / 2))


def auc(y, score) -> float:
    from sklearn.metrics import roc_auc_score

    return float(roc_auc_score(y, -score))


def scenario(n: int, hidden: bool, badly: bool, seed: int) -> list[dict]:
    from tessaly import Scorecard

    X, y, acc = population(n, hidden=hidden, badly=badly, seed=seed)
    probe = Scorecard(inference="none").fit(X[acc], y[acc], rejects=X[~acc])
    k_true = true_factor(probe.rejects_.pop.p_reject, float(y[~acc].mean()))
    sc = Scorecard(reject_factor=round(k_true, 2)).fit(X[acc], y[acc], rejects=X[~acc])
    rows = []
    for g in sc.rejects_.grid:
        rows.append(
            {
                "selection": "hidden" if hidden else "random",
                "card": "badly" if badly else "well",
                "true K": k_true,
                "method": g["method"] if g["factor"] is None else f"{g['method']} K={g['factor']:g}",
                "built": (g["method"], g["factor"]) == sc.rejects_.chosen,
                "inferred": g["reject_bad_rate"],
                "true": float(y[~acc].mean()),
                "AUC through the door": auc(y, g["card"].total(X)),
            }
        )
    base = rows[0]["AUC through the door"]
    for r in rows:
        r["vs accepts-only"] = r["AUC through the door"] - base
    return rows


def timed_builds(n: int, seed: int) -> tuple[float, float]:
    from tessaly._build import build

    X, y, acc = population(n, hidden=True, badly=False, seed=seed)
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        X[acc].assign(bad=y[acc].to_numpy()).to_csv(tmp / "accepts.csv", index=False)
        X[~acc].to_csv(tmp / "rejects.csv", index=False)
        t = time.perf_counter()
        build(tmp / "accepts.csv", tmp / "plain", target="bad")
        plain = time.perf_counter() - t
        t = time.perf_counter()
        build(tmp / "accepts.csv", tmp / "inferred", target="bad", rejects=tmp / "rejects.csv")
        return plain, time.perf_counter() - t


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=40_000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--no-time", action="store_true")
    args = parser.parse_args()
    rows = []
    for hidden in (False, True):
        for badly in (False, True):
            rows += scenario(args.rows, hidden, badly, args.seed)
    table = pd.DataFrame(rows)
    print(f"{args.rows:,} applicants through the door, seed {args.seed}; * marks the card built (fuzzy at K*)\n")
    print(
        "| selection | card | true K | method | inferred reject bad rate | true | AUC through the door | vs accepts-only |"
    )
    print("|---|---|---|---|---|---|---|---|")
    for r in rows:
        print(
            f"| {r['selection']} | {r['card']} | {r['true K']:.2f} | {r['method']}{' *' if r['built'] else ''} | "
            f"{r['inferred']:.3f} | {r['true']:.3f} | {r['AUC through the door']:.4f} | {r['vs accepts-only']:+.4f} |"
        )
    table.to_csv(Path(tempfile.gettempdir()) / "tessaly-rejects-bench.csv", index=False)
    if not args.no_time:
        plain, inferred = timed_builds(args.rows, args.seed)
        print(
            f"\nbuild time (hidden/well, load {os.getloadavg()[0]:.1f}): accepts alone {plain:.1f}s, with rejects "
            f"{inferred:.1f}s, ratio {inferred / plain:.2f} (target: at most 2)"
        )


if __name__ == "__main__":
    main()
