"""Monitoring's verdicts: how often a healthy portfolio raises an alarm, and how often a planted change is caught.

Run: ./run bench monitor_verdicts [--healthy 200] [--planted 40] [--periods 6] [--per-period 3000] [--seed 0]

The card: tessaly's Scorecard on 20,000 generated applicants (12 predictors, a third categorical, missing values
and special codes), its baseline from a 70/30 split of them. A portfolio is `--periods` monthly periods of
`--per-period` applicants each, drawn from the very process the card was developed on, with their outcomes.

Healthy portfolios are left alone: the false-alarm rates are the share of runs whose worst verdict is red, and
amber or worse (targets: at most 1 in 20 and 1 in 4). Each planted change touches one period of a portfolio
(the fourth) and counts as caught when that period's own verdict is red:
  shift     the strongest numerical predictor moved by 0.7 standard deviations (its PSI is printed)
  unseen    a category the card never saw in a tenth of the applicants
  missing   a fifth of one predictor's values gone missing
  ranking   outcomes shuffled: they no longer follow the score
  upper     bad rates doubled in the upper half of the score bands

Beside the upper change, the share a test would catch that knew the process's own bad rate in each band (pooled
over the healthy runs) instead of estimating it from the development part: the same one-sided test of the upper
half's bads at the same level after the same adjustment, with no development noise to carry. No test that must
estimate those rates can do better, so it bounds what the calibration check can reach.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _data  # noqa: E402

_data.single_core()

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from tessaly.monitoring import monitor  # noqa: E402

N_PREDICTORS = 12
FIT_ROWS = 20_000
CHANGES = ("shift", "unseen", "missing", "ranking", "upper")
ORDER = ("green", "amber", "red")
PLANTED_AT = 3
P_RED = 0.01


def fit():
    from tessaly import Scorecard

    X, y = _data.applicants(FIT_ROWS, N_PREDICTORS, seed=0)
    cut = int(0.7 * len(X))
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        sc = (
            Scorecard(min_iv=None, special_codes=list(_data.SPECIAL_CODES), seed=0, shap_rows=2000)
            .fit(X[:cut], y[:cut])
            .set_baseline(X[:cut], y[:cut], X[cut:], y[cut:])
        )
    return sc.card_


def worst(value) -> str | None:
    """The most severe verdict anywhere under `value` (monitor.json's sections carry "verdict" keys)."""
    found = []

    def walk(v):
        if isinstance(v, dict):
            for k, x in v.items():
                if k == "verdict" and x in ORDER:
                    found.append(x)
                elif isinstance(x, (dict, list)):
                    walk(x)
        elif isinstance(v, list):
            for x in v:
                walk(x)

    walk(value)
    return max(found, key=ORDER.index) if found else None


def portfolio(card, seed: int, periods: int, per_period: int, change: str | None):
    X, y = _data.applicants(periods * per_period, N_PREDICTORS, seed=1000 + seed)
    y = y.to_numpy().copy()
    months = pd.period_range("2024-01", periods=periods, freq="M").to_timestamp()
    X["applied"] = np.repeat(months.to_numpy(), per_period)
    rng = np.random.default_rng(seed)
    at = np.arange(PLANTED_AT * per_period, (PLANTED_AT + 1) * per_period)
    if change == "shift":
        column = X["n00"].to_numpy().copy()
        regular = ~np.isnan(column[at]) & (column[at] != _data.SPECIAL)
        column[at[regular]] += 0.7 * 12
        X["n00"] = column
    elif change == "unseen":
        column = X["c00"].astype(object).to_numpy().copy()
        column[at[rng.random(len(at)) < 0.1]] = "new"
        X["c00"] = pd.array(column, dtype="str")
    elif change == "missing":
        column = X["n01"].to_numpy().copy()
        column[at[rng.random(len(at)) < 0.2]] = np.nan
        X["n01"] = column
    elif change == "ranking":
        y[at] = rng.permutation(y[at])
    elif change == "upper":
        base = card.baseline
        part = base["parts"][base["outcomes"]]["bands"]
        rate = np.asarray(part["bads"], float) / np.maximum(np.asarray(part["applicants"], float), 1)
        scores = card.apply(X.iloc[at])[0]["score"].to_numpy()
        band = np.searchsorted(np.asarray(base["bands"], float), scores, side="right")
        upper = band >= (len(rate) + 1) // 2
        flip = upper & (y[at] == 0) & (rng.random(len(at)) < rate[band] / (1 - rate[band]))
        y[at[flip]] = 1
    X["bad"] = y
    return X


def run(card, seed, args, change):
    X = portfolio(card, seed, args.periods, args.per_period, change)
    result = monitor(card, X, target="bad", period_column="applied", period="month")
    label = list(result["periods"])[PLANTED_AT]
    shifted = result["periods"][label]["predictors"]["n00"]["psi"] if change == "shift" else None
    return result["verdict"], worst(result["periods"][label]), shifted, bands(result), bands(result["periods"][label])


def bands(section) -> np.ndarray:
    """Applicants and bads per score band of a scope, as two rows."""
    rows = section["calibration"]["bands"]
    return np.array([[b["applicants"] for b in rows], [b["bads"] for b in rows]], dtype=float)


def known_rates_red(counts, rates, scopes: int) -> bool:
    """Whether the upper half's bads in `counts` rose beyond the process's own `rates`, red after the check's
    adjustment (two tests in a scope, Holm over the scopes: at most that many times the p-value)."""
    from scipy.special import ndtr

    n, d = counts
    upper = np.arange(len(n)) >= len(n) // 2
    expected = (n * rates)[upper].sum()
    spread = np.sqrt((n * rates * (1 - rates))[upper].sum())
    p = ndtr(-(d[upper].sum() - expected) / spread)
    return bool(2 * scopes * p < P_RED)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--healthy", type=int, default=200)
    parser.add_argument("--planted", type=int, default=40, help="portfolios per planted change")
    parser.add_argument("--periods", type=int, default=6)
    parser.add_argument("--per-period", type=int, default=3000)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()

    start = time.perf_counter()
    card = fit()
    print(
        f"card: {len(card.predictors)} predictors ({', '.join(card.names)}); "
        f"{len(card.baseline['bands']) + 1} score bands; fitted in {time.perf_counter() - start:.0f} s"
    )
    start = time.perf_counter()
    healthy = [run(card, args.seed + i, args, None) for i in range(args.healthy)]
    verdicts = [v for v, *_ in healthy]
    pooled = sum((whole for *_, whole, _ in healthy), np.zeros((2, len(card.baseline["bands"]) + 1)))
    rates = pooled[1] / np.maximum(pooled[0], 1)
    red = sum(v == "red" for v in verdicts)
    amber = sum(v in ("amber", "red") for v in verdicts)
    print(
        f"\nhealthy portfolios: {args.healthy} of {args.periods} periods x {args.per_period:,} applicants "
        f"({time.perf_counter() - start:.0f} s)"
    )
    print(f"  worst verdict red:            {red:4d}  ({red / args.healthy:.1%}; target at most 5%)")
    print(f"  worst verdict amber or red:   {amber:4d}  ({amber / args.healthy:.1%}; target at most 25%)")
    print(f"\nplanted changes, in period {PLANTED_AT + 1}: {args.planted} portfolios each")
    print(f"  {'change':<10} {'period red':>11} {'run red':>8}  note")
    for k, change in enumerate(CHANGES):
        runs = [run(card, args.seed + 100_000 * (k + 1) + i, args, change) for i in range(args.planted)]
        caught = sum(p == "red" for _, p, *_ in runs)
        alarmed = sum(v == "red" for v, *_ in runs)
        psi = [s for _, _, s, *_ in runs if s is not None]
        note = f"predictor PSI in that period: median {np.median(psi):.2f}, least {min(psi):.2f}" if psi else ""
        if change == "upper" and args.healthy:
            known = sum(known_rates_red(planted, rates, args.periods + 1) for *_, planted in runs)
            note = f"knowing the process's bad rates (no development noise): {known / args.planted:.1%}"
        print(f"  {change:<10} {caught / args.planted:>10.1%} {alarmed / args.planted:>8.1%}  {note}")


if __name__ == "__main__":
    main()
