"""Generated applicants for the benchmarks: mixed numerical and categorical predictors, missing values and
special codes, an outcome drawn from known log-odds; the same seed gives the same table, and every seed
draws from the same population."""

from __future__ import annotations

import os
import resource
import sys

import numpy as np
import pandas as pd

TARGET = "bad"
SPECIAL = -1  # the special code of every numerical predictor, and "XX" of the categorical ones
SPECIAL_CODES = (SPECIAL, "XX")


def single_core() -> None:
    """One thread for every numerical library; call before numpy is imported anywhere."""
    for name in (
        "OMP_NUM_THREADS",
        "MKL_NUM_THREADS",
        "OPENBLAS_NUM_THREADS",
        "NUMEXPR_NUM_THREADS",
        "VECLIB_MAXIMUM_THREADS",
    ):
        os.environ[name] = "1"


def applicants(
    n: int, n_predictors: int = 30, *, seed: int = 0, categorical_share: float = 0.35, unseen: float = 0.0
) -> tuple[pd.DataFrame, pd.Series]:
    """`n` applicants with `n_predictors` predictors (about a third categorical) and the outcome `bad` (1 = bad).

    Effects weaken from the first predictor to the last, so a few carry most of the information and the last
    ones almost none; two numerical predictors interact, which a tree model can use and an additive card cannot.
    `unseen`: share of categorical values replaced by categories the training data never had.
    """
    rng = np.random.default_rng(seed)
    n_cat = int(round(n_predictors * categorical_share))
    n_num = n_predictors - n_cat
    log_odds = np.full(n, -2.8)
    columns = {}
    # Levels and effects come from a stream of their own, the same for every seed: tables drawn with
    # different seeds are applicants of one population, so a card fitted on one can score another.
    structure = np.random.default_rng(10_000)
    for j in range(n_num):
        strength = 0.9 * 0.82**j
        kind = j % 4
        if kind == 0:
            x = rng.normal(40, 12, n).round(0)
        elif kind == 1:
            x = rng.lognormal(8, 0.7, n).round(2)
        elif kind == 2:
            x = rng.uniform(0, 1, n).round(4)
        else:
            x = rng.poisson(3, n).astype(float)
        z = (x - x.mean()) / x.std()
        shape = structure.integers(3)
        effect = {0: z, 1: -z, 2: z**2 - 1}[int(shape)]
        log_odds += strength * np.clip(effect, -3, 3)
        missing = rng.random(n) < structure.uniform(0.0, 0.08)
        special = (rng.random(n) < structure.uniform(0.0, 0.03)) & ~missing
        log_odds += np.where(missing, strength * structure.normal(0, 1), 0.0)
        log_odds += np.where(special, strength * structure.normal(0, 1.5), 0.0)
        x[missing] = np.nan
        x[special] = SPECIAL
        columns[f"n{j:02d}"] = x
    if n_num >= 2:
        a, b = columns["n00"], columns["n01"]
        both = (np.nan_to_num(a, nan=40) > 50) & (np.nan_to_num(b, nan=0) > np.nanmedian(b))
        log_odds += 0.6 * both
    for j in range(n_cat):
        strength = 0.8 * 0.8**j
        k = int(structure.integers(3, 13))
        levels = np.array([f"c{j}_{i}" for i in range(k)] + ["XX"], dtype=object)
        p = structure.dirichlet(np.full(k + 1, 2.0))
        p[-1] = 0.02
        p /= p.sum()
        idx = rng.choice(k + 1, n, p=p)
        effects = structure.normal(0, 1, k + 1)
        log_odds += strength * effects[idx]
        values = levels[idx]
        values[rng.random(n) < structure.uniform(0.0, 0.06)] = None
        if unseen:
            values[rng.random(n) < unseen] = "new"
        columns[f"c{j:02d}"] = pd.array(values, dtype="str")
    y = (rng.random(n) < 1.0 / (1.0 + np.exp(-log_odds))).astype(np.int64)
    return pd.DataFrame(columns), pd.Series(y, name=TARGET)


def peak_rss_mib(who=resource.RUSAGE_SELF) -> float:
    return resource.getrusage(who).ru_maxrss / 1024.0  # KiB on Linux


def missing_peer(name: str, why: str) -> None:
    print(f"  ({name} skipped: {why}; install it into .venv with pip to compare)", file=sys.stderr)


def portfolio(n: int, kind: str = "xor", *, seed: int = 0) -> tuple[pd.DataFrame, pd.Series]:
    """`n` applicants of six predictors and the outcome `bad` (1 = bad). "additive": each predictor moves the
    log-odds on its own; "xor": the same, except that age and utilisation matter only jointly (risk is high
    for the young of low utilisation and for the older of high utilisation), which no additive card can hold.
    Utilisation is missing for a few and -1 (no card, a special code) for others."""
    rng = np.random.default_rng(seed)
    age = rng.normal(40, 11, n).round(0)
    util = rng.uniform(0, 1.2, n).round(3)
    income = rng.lognormal(8, 0.6, n).round(0)
    tenure = rng.poisson(4, n).astype(float)
    inquiries = rng.poisson(1.5, n).astype(float)
    region = rng.choice(["north", "south", "east", "west"], n, p=[0.4, 0.3, 0.2, 0.1]).astype(object)
    log_odds = (
        -2.2
        - 0.35 * (np.log(income) - 8) / 0.6
        - 0.12 * (tenure - 4)
        + 0.25 * (inquiries - 1.5)
        + np.select([region == "south", region == "east"], [0.3, -0.2], 0.0)
    )
    if kind == "xor":
        log_odds += np.where((age < 35) ^ (util >= 0.6), 1.6, -0.4)
    else:
        log_odds += -0.03 * (age - 40) + 0.8 * (util - 0.6)
    missing, no_card = rng.random(n) < 0.03, rng.random(n) < 0.04
    util[missing] = np.nan
    util[no_card & ~missing] = SPECIAL
    X = pd.DataFrame(
        {"age": age, "utilisation": util, "income": income, "tenure": tenure, "inquiries": inquiries, "region": region}
    )
    bad = rng.random(n) < 1 / (1 + np.exp(-log_odds))
    return X, pd.Series(bad.astype(np.int64), name=TARGET)


def _plain_predictors(rng, n: int, k: int) -> dict:
    """`k` numerical predictors of the kinds applicants have: ages, amounts, shares, counts."""
    kinds = [
        lambda: rng.normal(40, 12, n).round(0),
        lambda: rng.lognormal(8, 0.7, n).round(2),
        lambda: rng.uniform(0, 1, n).round(4),
        lambda: rng.poisson(2, n).astype(float),
    ]
    return {f"x{j:02d}": kinds[j % 4]() for j in range(k)}


def _ranks(x: np.ndarray) -> np.ndarray:
    return (np.argsort(np.argsort(x, kind="stable"), kind="stable") + 0.5) / len(x)


def exclusive_or(n: int, *, seed: int = 0) -> tuple[pd.DataFrame, pd.Series]:
    """Applicants whose risk is mostly an exclusive-or of two predictors (high on exactly one of them), plus
    weak additive effects of four others: no additive card can rank them as trees can."""
    rng = np.random.default_rng(seed)
    columns = _plain_predictors(rng, n, 6)
    a, b = _ranks(columns["x00"]) > 0.5, _ranks(columns["x02"]) > 0.5
    log_odds = -2.6 + 1.8 * (a ^ b)
    for j, name in enumerate(("x01", "x03", "x04", "x05")):
        log_odds += 0.25 * (j % 2 * 2 - 1) * (_ranks(columns[name]) - 0.5) * 2
    y = (rng.random(n) < 1.0 / (1.0 + np.exp(-log_odds))).astype(np.int64)
    return pd.DataFrame(columns), pd.Series(y, name=TARGET)


def additive(n: int, *, seed: int = 0) -> tuple[pd.DataFrame, pd.Series]:
    """Applicants whose log-odds are a sum of one-predictor shapes, some of them fine (steps, a narrow risky
    band, a rare strong count): what finer bins can follow and no pair adds to."""
    rng = np.random.default_rng(seed)
    columns = _plain_predictors(rng, n, 8)
    r = {k: _ranks(v) for k, v in columns.items()}
    log_odds = (
        -2.8
        + 1.2 * np.sin(6 * r["x00"])
        + 0.9 * (r["x01"] > 0.9)
        + 1.5 * ((r["x02"] > 0.45) & (r["x02"] < 0.5))
        - 0.8 * np.floor(r["x03"] * 8) / 8
        + 0.6 * (r["x04"] - 0.5) ** 2 * 4
        + 0.3 * (r["x05"] - 0.5)
    )
    strong = rng.random(n) < 0.02
    columns["x08"] = np.where(strong, rng.integers(1, 5, n), 0).astype(float)
    log_odds += 2.5 * strong
    y = (rng.random(n) < 1.0 / (1.0 + np.exp(-log_odds))).astype(np.int64)
    return pd.DataFrame(columns), pd.Series(y, name=TARGET)
