"""Values placed by what they mean when a card is built, whatever type a reader gave the column."""

import datetime as dt
import decimal
import functools

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import slow_scorer

from tessaly import Scorecard, _binning

N = 3000


@pytest.fixture(scope="module")
def data():
    """Risk rises with the debt ratio; a rare flag is always bad."""
    rng = np.random.default_rng(4)
    debt = rng.gamma(2.0, 0.2, N).round(3)
    flag = (rng.random(N) < 0.04).astype(int)
    y = ((rng.random(N) < 1 / (1 + np.exp(1 - 3 * debt))) | (flag == 1)).astype(int)
    return pd.DataFrame({"debt": debt, "flag": flag}), y


def _fit(x, y, **options):
    return _binning.fit_predictor(
        "x",
        pd.Series(x).reset_index(drop=True),
        y,
        **{"monotonic_trend": "auto", "special_codes": None, "max_bins": 10, **options},
    )


def _decimals(x):
    return pd.Series([decimal.Decimal(f"{v:.3f}") for v in x], dtype=object)


def _parquet_decimals(x, tmp_path):
    path = tmp_path / "d.parquet"
    pq.write_table(pa.table({"x": pa.array(_decimals(x), pa.decimal128(12, 3))}), path)
    return pd.read_parquet(path)["x"]


def _stray(x):
    s = pd.Series(x, dtype=object)
    s[[5, 77]] = ["n/a", "?"]
    return s


def _missing(x):
    s = pd.Series(x, dtype=float)
    s[:100] = np.nan
    s[100:200] = -1.0
    return s


def _days(d):
    return pd.Timestamp("2020-01-01") + pd.to_timedelta(d["debt"] * 1000, unit="D")


def _pure_flag(b):
    t = b.table
    return len(t) == 2 and t["Event rate"].iloc[1] == 1.0 and -10 < t["WoE"].iloc[1] < -3 and 0.1 < t["IV"].sum()


CODED = {"max_bins": 2, "special_codes": [-1]}
# Per case: the column made from the data, the binning options, and what the build must make of it: the bins of
# the float column without the rows given, the reason it is left out, or a check of the bins.
CASES = {
    "Decimal objects": (lambda d, tmp: _decimals(d["debt"]), {}, "as floats", []),
    "Parquet DECIMAL": (lambda d, tmp: _parquet_decimals(d["debt"], tmp), {}, "as floats", []),
    "text numbers, two stray cells": (lambda d, tmp: _stray(d["debt"].astype(str)), {}, "as floats", [5, 77]),
    "dates": (lambda d, tmp: _days(d), {}, "left out", "holds dates"),
    "dates as text": (lambda d, tmp: _days(d).dt.strftime("%Y-%m-%d").astype(object), {}, "left out", "holds dates"),
    "durations": (lambda d, tmp: _days(d) - _days(d).min(), {}, "left out", "holds durations"),
    "a constant": (lambda d, tmp: pd.Series(["A"] * N), {}, "left out", "single value"),
    "an ID as text": (lambda d, tmp: pd.Series([f"A{i:06d}" for i in range(N)]), {}, "left out", "identifies rows"),
    "an ID as numbers": (
        lambda d, tmp: pd.Series(np.random.default_rng(0).permutation(N) + 10_000),
        {},
        "left out",
        "identifies rows",
    ),
    "a copy of the target": (lambda d, tmp: d["y"].map({0: "good", 1: "bad"}), {}, "left out", "leakage"),
    "a flag always bad": (lambda d, tmp: d["flag"], {}, "check", _pure_flag),
    "max_bins 2 with missing values": (
        lambda d, tmp: _missing(d["debt"]).where(lambda s: s != -1),
        CODED,
        "check",
        lambda b: b.labels == ["(-inf, inf)", "Missing"],
    ),
    "max_bins 2 with missing and special values": (
        lambda d, tmp: _missing(d["debt"]),
        CODED,
        "check",
        lambda b: b.labels == ["(-inf, inf)", "Special", "Missing"],
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_the_build_places_values_by_meaning(case, data, tmp_path):
    X, y = data
    make, options, expect, detail = CASES[case]
    x = make(X.assign(y=y), tmp_path)
    if expect == "left out":
        with pytest.raises(_binning.LeftOut, match=detail):
            _fit(x, y, **options)
        return
    b = _fit(x, y, **options)
    if expect == "check":
        assert detail(b), b.table
        return
    keep = ~np.isin(np.arange(N), detail)
    want = _fit(X["debt"][keep], y[keep])
    assert (b.dtype, b.splits) == ("numerical", want.splits)
    pd.testing.assert_frame_equal(b.table, want.table)
    assert b.unreadable == len(detail)
    # Unreadable at build, unreadable when scored.
    rows, unreadable = b.locate(x)
    assert list(np.flatnonzero(unreadable)) == detail and (rows[unreadable] == -1).all()


def test_a_troubled_table_builds_with_every_reason(data):
    X, y = data
    X = X.assign(
        debt=_decimals(X["debt"]),
        opened=pd.Timestamp("2021-03-01") + pd.to_timedelta(X.index, unit="h"),
        copy=np.where(y == 1, "bad", "good"),
        **{f"same{i}": 5 for i in range(3)},
    )
    sc = Scorecard(trees=10).fit(X, pd.Series(y, name="bad"))
    reasons = {name: reason.split(":")[0] for name, reason in sc.dropped_.items()}
    assert reasons == {
        "opened": "holds dates",
        "copy": _binning.LEAKAGE,
        "same0": "has a single value",
        "same1": "has a single value",
        "same2": "has a single value",
    }
    assert [(p.name, p.dtype) for p in sc.card_.predictors] == [("debt", "numerical"), ("flag", "numerical")]


STAMP = pd.Timestamp("2020-01-05 10:30")
# Dates and durations as readers type them: none is a number in a numerical predictor, however it is stored.
TYPED = {
    "datetime64": pd.Series([STAMP, pd.NaT]),
    "datetime64 with a time zone": pd.Series([STAMP.tz_localize("UTC"), pd.NaT]),
    "timedelta64": pd.Series([pd.Timedelta("3D"), pd.NaT]),
    "period": pd.Series(pd.period_range("2020-01", periods=2, freq="M")),
    "objects": pd.Series(
        [STAMP, dt.date(2020, 1, 5), np.datetime64("2020-01-05"), np.timedelta64(3, "D"), dt.timedelta(days=3), None],
        dtype=object,
    ),
}


@pytest.mark.parametrize("form", TYPED)
def test_dates_and_durations_are_unreadable_in_a_numerical_predictor(form, data):
    X, y = data
    b = _fit(X["debt"], y)
    values = TYPED[form]
    rows, unreadable = b.locate(values)
    present = values.notna().to_numpy()
    assert list(unreadable) == list(present) and (rows[present] == -1).all()
    card = {
        "type": "numerical",
        "splits": b.splits,
        "special_codes": [],
        "bins": [{"kind": "regular", "index": k} if isinstance(k, int) else {"kind": k.lower()} for k in b.kinds],
    }
    assert [slow_scorer.locate(card, v)[1] for v in values] == list(present)


SHAP_ROWS_OPTIONS = dict(seed=1, min_iv=None, trees=40)


@functools.cache
def _clean_shap_rows_card():
    """The card from the SHAP rows every case leaves alone: the same for each, so fitted once."""
    X, y = applicants_xy()
    shap = X.iloc[1400:]
    return Scorecard(**SHAP_ROWS_OPTIONS).fit(
        X.iloc[:1400], y.iloc[:1400], shap_data=shap[np.arange(len(shap)) % 3 != 0]
    )


@pytest.mark.parametrize("unplaceable", ["missing", "new category"])
def test_shap_rows_the_card_cannot_place_shape_no_bin(unplaceable):
    X, y = applicants_xy()
    shap = X.iloc[1400:].copy()
    hit = np.arange(len(shap)) % 3 == 0
    if unplaceable == "missing":
        shap.loc[hit, "age"] = np.nan  # training had no missing age
    else:
        shap.loc[hit, "housing"] = "boat"
    polluted = Scorecard(**SHAP_ROWS_OPTIONS).fit(X.iloc[:1400], y.iloc[:1400], shap_data=shap)
    clean = _clean_shap_rows_card()
    # A bin's points come from the applicants in that bin only; rows in none of its bins count nowhere.
    name = "age" if unplaceable == "missing" else "housing"  # noqa: F841 (read by query's @name)
    got = polluted.table().query("predictor == @name")["points"].to_numpy()
    want = clean.table().query("predictor == @name")["points"].to_numpy()
    assert np.abs((got - got.min()) - (want - want.min())).max() <= 1


def applicants_xy():
    from applicants import applicants

    return applicants(2000, seed=1, xy=True)
