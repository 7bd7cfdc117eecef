"""Monitoring: drift and decline are found where they happen, the figures agree with computations on the
applicants themselves, and bad input ends in one line."""

import json
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from scipy import stats as sps
from sklearn.metrics import roc_auc_score

from tessaly import Scorecard, _monitor, _monitoring
from tessaly._errors import InputError
from tessaly._validation import _ks_interval

HOSTILE = "<img src=x onerror=alert(1)>"


def population(n, seed, *, shift=0.0):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame({
        "age": rng.integers(18, 75, n),
        "debt_ratio": (rng.gamma(2.0, 0.2, n) + shift).round(3),
        "income": rng.lognormal(8, 0.5, n).round(0),
        "housing": rng.choice(["own", "rent", HOSTILE], n, p=[0.5, 0.3, 0.2]),
    })
    log_odds = (-1 + 3 * X["debt_ratio"] - 0.04 * (X["age"] - 45) - 0.5 * (np.log(X["income"]) - 8)
                + 0.6 * (X["housing"] == "rent"))
    y = (rng.random(n) < 1 / (1 + np.exp(-log_odds))).astype(int)
    return X, pd.Series(y, name="bad")


@pytest.fixture(scope="module")
def fitted():
    X, y = population(4000, 0)
    card = Scorecard(min_iv=None, pdo=20, target_score=600, target_odds=50, shap_rows=1000).fit(
        X[:3000], y[:3000]).card_
    base = _monitor.baseline(card, X[:3000], y[:3000].to_numpy(), X[3000:], y[3000:].to_numpy())
    return card, base


def test_a_shifted_predictor_is_red_and_the_others_green(fitted, tmp_path):
    card, base = fitted
    assert {"debt_ratio", "housing"} <= set(card.names) and len(card.names) >= 3
    X, _ = population(20_000, 1, shift=0.4)
    X.loc[:9, "housing"] = "boat"  # never seen: neutral points, counted apart
    result = _monitor.monitor(card, X, baseline=base, out=tmp_path)
    assert result["predictors"]["housing"]["unseen"] == {"share": 10 / 20_000, "baseline_share": 0.0}
    verdicts = {name: p["verdict"] for name, p in result["predictors"].items()}
    assert verdicts == {name: "red" if name == "debt_ratio" else "green" for name in card.names}
    # Higher debt earns fewer points: the shift costs points on average.
    assert result["predictors"]["debt_ratio"]["points_shift"] < -1
    assert result["score"]["verdict"] == "red" and result["verdict"] == "red"
    assert json.loads((tmp_path / "monitor.json").read_text(encoding="utf-8")) == result
    assert HOSTILE not in (tmp_path / "monitor.html").read_text(encoding="utf-8")


def test_a_broken_period_shows_a_significant_decline_there(fitted, tmp_path):
    card, base = fitted
    months = ["2024-01-15", "2024-02-10", "2024-04-20"]  # March holds nobody
    X, y = population(15_000, 2)
    X["applied"] = np.repeat(months, 5000)
    broken = X["applied"] == months[1]
    y = y.to_numpy().copy()
    y[broken] = np.random.default_rng(3).permutation(y[broken])  # outcomes unrelated to the score
    X["bad"] = pd.array(y, dtype="Int64")
    X.loc[X.index[-100:], "bad"] = pd.NA  # not known yet
    path = tmp_path / "applicants.csv"
    X.to_csv(path, index=False)

    result = _monitor.monitor(card, path, baseline=base, target="bad", period_column="applied", fail_on="red")
    periods = result["periods"]
    assert list(periods) == ["2024-01", "2024-02", "2024-03", "2024-04"]
    assert periods["2024-03"]["empty"] and periods["2024-03"]["score"]["psi"] is None
    assert periods["2024-02"]["performance"]["auc_decline_p"] < 0.01
    assert periods["2024-02"]["performance"]["verdict"] == "red"
    for month in ("2024-01", "2024-04"):
        assert periods[month]["performance"]["auc_decline_p"] > 0.01
    assert result["exit_code"] == _monitor.ALERT_EXIT and _monitor.exit_code(result, None) == 0
    json.dumps(result, allow_nan=False)

    # The file, read as text in batches, gives what the typed frame gives; the AUC is the card's own scores'.
    same = _monitor.monitor(card, X, baseline=base, target="bad", period_column="applied", fail_on="red",
                            batch_rows=4096)
    assert {k: v for k, v in same.items() if k != "data"} == {k: v for k, v in result.items() if k != "data"}
    scores = card.apply(X)[0]["score"].to_numpy()
    assert result["performance"]["outcome_unknown"] == 100
    known = slice(0, -100)
    assert result["performance"]["auc"] == pytest.approx(roc_auc_score(1 - y[known], scores[known]), abs=1e-12)
    assert result["score"]["mean"] == pytest.approx(scores.mean(), abs=1e-9)


def brute_delong_variance(good, bad):
    """DeLong's variance from the full pairwise comparison of every good with every bad."""
    kernel = (good[:, None] > bad[None, :]) + 0.5 * (good[:, None] == bad[None, :])
    return np.var(kernel.mean(axis=1), ddof=1) / len(good) + np.var(kernel.mean(axis=0), ddof=1) / len(bad)


@pytest.mark.parametrize("seed, distinct", [(0, 3), (1, 40), (2, 400), (3, 30_000)])
def test_figures_from_counts_agree_with_the_applicants(seed, distinct):
    rng = np.random.default_rng(seed)
    n = 3000
    score = 500 + rng.integers(0, distinct, n) * (100 / distinct)
    scaling = {"pdo": 20, "target_score": 540, "target_odds": 10}
    truth = 1 / (1 + scaling["target_odds"] * 2 ** ((score - scaling["target_score"]) / scaling["pdo"]))
    y = (rng.random(n) < truth * rng.uniform(0.8, 1.4)).astype(int)

    keys, goods, bads = _monitoring.cells(score, 1 - y, y)
    r = _monitoring.ranking(goods, bads)
    assert r["auc"] == pytest.approx(roc_auc_score(1 - y, score), abs=1e-12)
    assert r["auc_se"] ** 2 == pytest.approx(brute_delong_variance(score[y == 0], score[y == 1]), rel=1e-9)
    ks = sps.ks_2samp(score[y == 1], score[y == 0], alternative="greater", method="asymp").statistic
    assert r["ks"] == pytest.approx(ks)
    # Many distinct scores are pooled for the bootstrap; the interval stays where resampling every one puts it.
    assert r["ks_ci"] == pytest.approx(_ks_interval(goods, bads, 1000, 0), abs=0.01)

    edges = _monitoring.band_edges(keys, goods + bads, 10)
    base = {"outcomes": "dev", "parts": {"dev": {"bands": {"applicants": [1] * (len(edges) + 1),
                                                           "bads": [0] * (len(edges) + 1)}}}}
    cal = _monitor._calibration(SimpleNamespace(scaling=scaling), base, edges, keys, goods, bads)
    band = np.searchsorted(edges, score, side="right")
    chi = 0.0
    for b, row in enumerate(cal["bands"]):
        inside = band == b
        m, d = int(inside.sum()), int(y[inside].sum())
        assert (row["applicants"], row["bads"]) == (m, d)
        if m == 0:
            continue
        expected = truth[inside].mean()
        assert row["jeffreys_p"] == pytest.approx(sps.beta(d + 0.5, m - d + 0.5).cdf(expected), rel=1e-9)
        assert row["binomial_p"] == pytest.approx(
            sps.binomtest(d, m, expected, alternative="greater").pvalue, rel=1e-9)
        chi += (d - m * expected) ** 2 / (m * expected * (1 - expected))
    hl = cal["hosmer_lemeshow"]
    used = sum(row["applicants"] > 0 for row in cal["bands"])
    if used >= 3:
        assert hl["statistic"] == pytest.approx(chi, rel=1e-9)
        assert hl["p_value"] == pytest.approx(sps.chi2(used - 2).sf(chi), rel=1e-9)
    else:
        assert hl["p_value"] is None


def _counts(card, X):
    return _monitor.count(card, X)


BAD_INPUT = {
    "predictor missing": (lambda card, base, X, tmp: _monitor.monitor(card, X.drop(columns=card.names[0]),
                                                                       baseline=base), "lack the predictor"),
    "target of three values": (lambda card, base, X, tmp: _monitor.monitor(
        card, X.assign(bad=np.arange(len(X)) % 3), baseline=base, target="bad"), "besides the bad value"),
    "period not a date": (lambda card, base, X, tmp: _monitor.monitor(
        card, X.assign(when=["2024-01-01"] * (len(X) - 1) + ["last Tuesday"]), baseline=base,
        period_column="when"), "not a date"),
    "empty file": (lambda card, base, X, tmp: _monitor.monitor(
        card, _header_only(X, tmp), baseline=base), "no applicants"),
    "bin not on the card": (lambda card, base, X, tmp: _monitor.from_counts(
        card, _counts(card, X)[0].assign(bin="[999, 1000)"), _counts(card, X)[1], base), "does not have"),
    "counts of another table": (lambda card, base, X, tmp: _monitor.from_counts(
        card, _counts(card, X.head(50))[0], _counts(card, X)[1], base), "not counts of one table"),
    "baseline of another card": (lambda card, base, X, tmp: _monitor.monitor(
        card, X, baseline=_other_bins(base, card)), "does not fit this card"),
    "fail-on level": (lambda card, base, X, tmp: _monitor.monitor(card, X, baseline=base, fail_on="orange"),
                      "--fail-on"),
}


def _header_only(X, tmp):
    path = tmp / "empty.csv"
    X.head(0).to_csv(path, index=False)
    return path


def _other_bins(base, card):
    other = json.loads(json.dumps(base))
    other["parts"]["train"]["predictors"][card.names[0]]["bins"][0] = "elsewhere"
    return other


@pytest.mark.parametrize("case", list(BAD_INPUT))
def test_bad_input_is_refused_in_one_line(fitted, tmp_path, case):
    card, base = fitted
    X, _ = population(200, 4)
    run, words = BAD_INPUT[case]
    with pytest.raises(InputError, match=words) as caught:
        run(card, base, X, tmp_path)
    assert "\n" not in str(caught.value)
