"""Raw tables of applicants for the tests, as a lender would hand them over.

Risk rises with the debt ratio and falls with age and tenure; renters and those housed free are riskier; tenure
is missing for some and -1 ("not employed", a special code) for others. Every column is drawn whatever the
options, so a seed gives the same applicants with or without the optional columns.
"""

import numpy as np
import pandas as pd


def applicants(n, seed=0, *, grade=(), opened=(), housing_missing=0.0, xy=False):
    """`n` applicants: age, debt_ratio, housing, months_employed and the outcome `bad` ("bad" or "good").

    grade: text codes of a column 'grade', the first the riskiest, the last the safest.
    opened: ISO dates of a column 'opened' (datetimes), the first the riskiest.
    housing_missing: the share of applicants whose housing is unknown.
    xy: return X and y (1 = bad, named 'bad') instead of one table.
    """
    rng = np.random.default_rng(seed)
    age = rng.integers(18, 75, n)
    debt = rng.gamma(2.0, 0.2, n).round(4)
    housing = rng.choice(["own", "rent", "free"], n, p=[0.5, 0.35, 0.15]).astype(object)
    months = rng.integers(1, 120, n).astype(float)
    unknown, not_employed, homeless, picks, days, draw = (rng.random(n) for _ in range(6))

    logit = (
        -1.0
        + 3.0 * (debt - 0.4)
        - 0.04 * (age - 45)
        - 0.006 * (months - 60)
        + np.select([housing == "rent", housing == "free"], [0.8, 0.4], 0.0)
    )
    months[unknown < 0.08] = np.nan
    months[not_employed < 0.05] = -1
    logit += 0.5 * np.isnan(months) + 0.8 * (months == -1)
    housing[homeless < housing_missing] = None
    columns = {"age": age, "debt_ratio": debt, "housing": housing, "months_employed": months}
    for name, values in (("grade", list(grade)), ("opened", list(opened))):
        if not values:
            continue
        at = (picks if name == "grade" else days) * len(values)
        at = np.minimum(at.astype(int), len(values) - 1)
        logit += np.linspace(0.8, -0.7, len(values))[at]
        column = np.asarray(values, dtype=object)[at]
        columns[name] = pd.to_datetime(column) if name == "opened" else column

    bad = draw < 1 / (1 + np.exp(-logit))
    X = pd.DataFrame(columns)
    if xy:
        return X, pd.Series(bad.astype(int), name="bad")
    return X.assign(bad=np.where(bad, "bad", "good"))


def portfolio(n, kind="xor", seed=0):
    """`n` applicants of five predictors and the outcome `bad` (1 = bad), as X and y. "xor": age and utilisation
    matter only jointly (the young of low utilisation and the older of high utilisation are risky), which no
    additive card can hold; "additive": every predictor moves the log-odds on its own."""
    rng = np.random.default_rng(seed)
    age = rng.normal(40, 11, n).round(0)
    util = rng.uniform(0, 1.2, n).round(3)
    income = rng.lognormal(8, 0.6, n).round(0)
    tenure = rng.poisson(4, n).astype(float)
    region = rng.choice(["north", "south", "east", "west"], n, p=[0.4, 0.3, 0.2, 0.1]).astype(object)
    logit = -2.0 - 0.35 * (np.log(income) - 8) / 0.6 - 0.12 * (tenure - 4) + 0.3 * (region == "south")
    if kind == "xor":
        logit += np.where((age < 35) ^ (util >= 0.6), 1.8, -0.4)
    else:
        logit += -0.03 * (age - 40) + 0.8 * (util - 0.6)
    util[rng.random(n) < 0.03] = np.nan
    X = pd.DataFrame({"age": age, "utilisation": util, "income": income, "tenure": tenure, "region": region})
    bad = rng.random(n) < 1 / (1 + np.exp(-logit))
    return X, pd.Series(bad.astype(int), name="bad")
