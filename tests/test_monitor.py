"""Monitoring: drift and decline are found where they happen, the figures agree with computations on the
applicants themselves, and bad input ends in one line."""

import copy
import json
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from scipy import stats as sps
from sklearn.metrics import roc_auc_score

from tessaly import Scorecard, _metrics
from tessaly._card import CARD_FILE, checksum
from tessaly._errors import InputError
from tessaly.monitoring import baseline as _baseline
from tessaly.monitoring import command as _monitor
from tessaly.monitoring import count_tables, figures
from tessaly.monitoring import counts as _counts
from tessaly.monitoring import statistics as _monitoring

HOSTILE = "<img src=x onerror=alert(1)>"


def population(n, seed, *, shift=0.0):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame(
        {
            "age": rng.integers(18, 75, n),
            "debt_ratio": (rng.gamma(2.0, 0.2, n) + shift).round(3),
            "income": rng.lognormal(8, 0.5, n).round(0),
            "housing": rng.choice(["own", "rent", HOSTILE], n, p=[0.5, 0.3, 0.2]),
        }
    )
    log_odds = (
        -1
        + 3 * X["debt_ratio"]
        - 0.04 * (X["age"] - 45)
        - 0.5 * (np.log(X["income"]) - 8)
        + 0.6 * (X["housing"] == "rent")
    )
    y = (rng.random(n) < 1 / (1 + np.exp(-log_odds))).astype(int)
    return X, pd.Series(y, name="bad")


@pytest.fixture(scope="module")
def estimator():
    X, y = population(4000, 0)
    return Scorecard(min_iv=None, pdo=20, target_score=600, target_odds=50, shap_rows=1000).fit(
        X[:3000], y[:3000], test=(X[3000:], y[3000:])
    )


def test_the_baseline_of_fits_test_part_is_the_one_set_baseline_makes(estimator):
    X, y = population(4000, 0)
    made = estimator.card_.baseline
    assert made["outcomes"] == "test"
    assert copy.deepcopy(estimator).set_baseline(X[:3000], y[:3000], X[3000:], y[3000:]).card_.baseline == made


@pytest.fixture(scope="module")
def fitted(estimator):
    return estimator.card_, estimator.card_.baseline


def test_a_shifted_predictor_is_red_and_the_others_green(fitted, tmp_path):
    card, base = fitted
    assert {"debt_ratio", "housing"} <= set(card.names) and len(card.names) >= 3
    X, _ = population(20_000, 1, shift=0.4)
    X.loc[:9, "housing"] = "boat"  # never seen: neutral points, counted apart
    X.loc[10:14, "age"] = np.nan  # no Missing bin on the card: counted as missing, not also as unseen
    assert "Missing" not in next(p for p in card.predictors if p.name == "age").labels
    result = _monitor.monitor(card, X, baseline=base, out=tmp_path)
    unseen = result["predictors"]["housing"]["unseen"]
    assert (unseen["share"], unseen["baseline_share"], unseen["verdict"]) == (10 / 20_000, 0.0, "green")
    age = result["predictors"]["age"]
    assert (age["missing"]["share"], age["unseen"]["share"]) == (5 / 20_000, 0.0)
    verdicts = {name: p["verdict"] for name, p in result["predictors"].items()}
    assert verdicts == {name: "red" if name == "debt_ratio" else "green" for name in card.names}
    # Higher debt earns fewer points: the shift costs points on average.
    assert result["predictors"]["debt_ratio"]["points_shift"] < -1
    assert result["score"]["verdict"] == "red" and result["verdict"] == "red"
    assert json.loads((tmp_path / "monitor.json").read_text(encoding="utf-8")) == result
    assert HOSTILE not in (tmp_path / "monitor.html").read_text(encoding="utf-8")


def test_a_broken_period_shows_a_significant_decline_there(estimator, fitted, tmp_path):
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
    same = _monitor.monitor(
        card, X, baseline=base, target="bad", period_column="applied", fail_on="red", batch_rows=4096
    )
    assert {k: v for k, v in same.items() if k != "data"} == {k: v for k, v in result.items() if k != "data"}
    scores = card.apply(X)[0]["score"].to_numpy()
    assert result["performance"]["outcome_unknown"] == 100
    known = slice(0, -100)
    assert result["performance"]["auc"] == pytest.approx(roc_auc_score(1 - y[known], scores[known]), abs=1e-12)
    assert result["score"]["mean"] == pytest.approx(scores.mean(), abs=1e-9)

    # The estimator gives the same figures as tables, from its own baseline.
    tables = estimator.monitor(X.drop(columns="bad"), X["bad"], period="applied")
    summary = tables["summary"].set_index("scope")
    assert list(summary.index) == ["all", *periods]
    assert summary.loc["2024-02", "auc_decline_p"] == periods["2024-02"]["performance"]["auc_decline_p"]
    psi = tables["predictors"].set_index(["scope", "predictor"])["psi"]
    assert psi["all", "debt_ratio"] == result["predictors"]["debt_ratio"]["psi"]


@pytest.mark.parametrize("change, verdict", [(None, "green"), ("stray", "green"), ("shift", "red")])
def test_a_healthy_portfolio_stays_green_and_a_shifted_period_turns_red(estimator, change, verdict):
    X, y = population(6 * 1500, 11)
    X["applied"] = np.repeat(pd.period_range("2024-01", periods=6, freq="M").to_timestamp(), 1500)
    if change == "shift":
        X.loc[X.index[3 * 1500 : 4 * 1500], "debt_ratio"] += 0.4
    if change == "stray":  # one applicant in a month of its own: too few to judge, not a PSI of 8
        X.loc[X.index[-1], "applied"] = pd.Timestamp("2024-08-01")
    tables = estimator.monitor(X, y, period="applied")
    assert tables["verdict"] == verdict
    fired = {(a.scope, a.check) for a in tables["alerts"].itertuples()}
    # Red where the shift is, and nowhere else but the whole window that holds it.
    assert {scope for scope, _ in fired} <= {"2024-04", "all"}
    assert (("2024-04", "debt_ratio PSI") in fired) == (change == "shift")
    if change == "stray":
        assert tables["summary"].set_index("scope").loc["2024-08", "score_verdict"] == "too few"


@pytest.mark.parametrize(
    "dates, labels",
    [
        # The offset changes at daylight saving: each time falls in the month of its own wall clock.
        (
            ["2024-03-31T23:30:00+01:00", "2024-03-31T23:30:00+02:00", "2024-04-01T00:30:00+02:00"],
            ["2024-03", "2024-03", "2024-04"],
        ),
        (
            pd.Series(pd.to_datetime(["2024-03-31 22:30", "2024-04-30 22:30"], utc=True)).dt.tz_convert("Europe/Paris"),
            ["2024-04", "2024-05"],
        ),
        (["2024-03-31", "2024-04-01 00:00:00"], ["2024-03", "2024-04"]),
    ],
)
def test_times_fall_in_the_period_of_their_own_wall_clock(dates, labels):
    codes, found = _counts.period_codes(pd.Series(dates), "month", "applied")
    assert list(found[codes]) == labels


def test_the_command_line_monitors_a_file_and_the_counts_of_a_warehouse(estimator, tmp_path, capsys):
    duckdb = pytest.importorskip("duckdb")
    from tessaly.cli import main

    card = estimator.save(tmp_path / "card")
    X, y = population(6000, 5, shift=0.4)
    X["bad"], X["applied"] = y, np.repeat(["2024-01-15", "2024-02-03", "2024-04-30"], 2000)
    data = tmp_path / "applicants.csv"
    X.to_csv(data, index=False)
    period = ["--target", "bad", "--period-column", "applied"]
    # Red on the shifted predictor: the alert code, and the files beside the card by default.
    capsys.readouterr()
    assert main(["monitor", str(card), str(data), *period, "--fail-on", "red", "--quiet"]) == _monitor.ALERT_EXIT
    from_file = json.loads((tmp_path / "card-monitor" / "monitor.json").read_text(encoding="utf-8"))
    # What fired, one line each, even when quiet.
    said = capsys.readouterr().out.splitlines()
    assert said[: len(from_file["alerts"])] == _monitor.alert_lines(from_file)
    assert any(line.startswith("RED: whole window: debt_ratio PSI ") for line in said)
    assert main(["monitor", str(card), str(data), "--fail-on", "orange", "--quiet"]) == 1
    assert capsys.readouterr().err.count("\n") == 1

    query = tmp_path / "monitor.sql"
    assert main(["export", str(card), "--sql", "--monitor", *period, "--out", str(query), "--quiet"]) == 0
    con = duckdb.connect()
    con.execute(f"CREATE TABLE applicants AS SELECT * FROM read_csv_auto('{data}')")
    con.execute(query.read_text(encoding="utf-8")).df().to_parquet(tmp_path / "counts.parquet")
    assert (
        main(
            [
                "monitor",
                str(card),
                "--counts",
                str(tmp_path / "counts.parquet"),
                "--out",
                str(tmp_path / "sql"),
                "--quiet",
            ]
        )
        == 0
    )
    from_counts = json.loads((tmp_path / "sql" / "monitor.json").read_text(encoding="utf-8"))
    about = {"data", "counts", "target", "period_column", "period_rule", "fail_on", "exit_code"}
    assert {k: v for k, v in from_counts.items() if k not in about} == {
        k: v for k, v in from_file.items() if k not in about
    }

    # A card of the previous format has no baseline: one line, then the development table serves.
    body = {
        k: v
        for k, v in json.loads((card / CARD_FILE).read_text(encoding="utf-8")).items()
        if k not in ("baseline", "checksum")
    }
    (tmp_path / "old").mkdir()
    (tmp_path / "old" / CARD_FILE).write_text(
        json.dumps({**body, "version": 2, "checksum": checksum({**body, "version": 2})}), encoding="utf-8"
    )
    capsys.readouterr()
    assert main(["monitor", str(tmp_path / "old"), str(data), "--quiet"]) == 1
    assert "--baseline DATA" in capsys.readouterr().err
    dev, y_dev = population(2000, 6)
    dev.assign(bad=y_dev).to_csv(tmp_path / "development.csv", index=False)
    assert (
        main(["monitor", str(tmp_path / "old"), str(data), "--baseline", str(tmp_path / "development.csv"), "--quiet"])
        == 0
    )
    assert (tmp_path / "old-monitor" / "monitor.html").is_file()


def test_a_weighted_baseline_counts_each_row_as_often_as_its_weight(fitted):
    card, _ = fitted
    X, y = population(600, 7)
    w = np.random.default_rng(8).integers(0, 4, len(X))
    weighted = _baseline.baseline(card, X[:400], y[:400], X[400:], y[400:], sample_weight=w[:400], test_weight=w[400:])
    repeated = _baseline.baseline(
        card,
        X[:400].loc[X.index[:400].repeat(w[:400])],
        np.repeat(y[:400], w[:400]),
        X[400:].loc[X.index[400:].repeat(w[400:])],
        np.repeat(y[400:], w[400:]),
    )
    assert _rounded(weighted) == _rounded(repeated)


def _rounded(value):
    """Figures to 12 digits: sums in another order differ in the last bit."""
    if isinstance(value, dict):
        return {k: _rounded(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_rounded(v) for v in value]
    return float(f"{value:.12g}") if isinstance(value, float) else value


def brute_delong_variance(good, bad):
    """DeLong's variance from the full pairwise comparison of every good with every bad."""
    kernel = (good[:, None] > bad[None, :]) + 0.5 * (good[:, None] == bad[None, :])
    return np.var(kernel.mean(axis=1), ddof=1) / len(good) + np.var(kernel.mean(axis=0), ddof=1) / len(bad)


@pytest.mark.parametrize("seed, distinct", [(0, 3), (1, 40), (2, 400), (3, 30_000)])
def test_figures_from_counts_agree_with_the_applicants(seed, distinct, monkeypatch):
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
    monkeypatch.setattr(_metrics, "KS_CELLS", len(goods))
    assert r["ks_ci"] == pytest.approx(_metrics.ks_interval(goods, bads, 1000, 0), abs=0.01)

    edges = _monitoring.band_edges(keys, goods + bads, 10)
    n0 = rng.integers(0, 400, len(edges) + 1)
    d0 = rng.binomial(n0, 0.2)
    base = {"outcomes": "dev", "parts": {"dev": {"bands": {"applicants": n0.tolist(), "bads": d0.tolist()}}}}
    cal = figures._calibration(SimpleNamespace(scaling=scaling), base, edges, keys, goods, bads)
    band = np.searchsorted(edges, score, side="right")
    hl = homogeneity = 0.0
    for b, row in enumerate(cal["bands"]):
        inside = band == b
        m, d = int(inside.sum()), int(y[inside].sum())
        assert (row["applicants"], row["bads"]) == (m, d)
        if m == 0:
            continue
        expected = truth[inside].mean()
        hl += (d - m * expected) ** 2 / (m * expected * (1 - expected))
        if n0[b] == 0 or d + d0[b] in (0, m + n0[b]):
            continue
        # The rise of a band's bad rate is the one-sided reading of the 2 x 2 chi-square test.
        chi = sps.chi2_contingency([[d, m - d], [d0[b], n0[b] - d0[b]]], correction=False).statistic
        rose = d / m > d0[b] / n0[b]
        assert row["p_rise"] == pytest.approx(sps.norm.sf(np.sqrt(chi) * (1 if rose else -1)), rel=1e-9)
        homogeneity += chi
    used = sum(row["applicants"] > 0 for row in cal["bands"])
    # The card's scaling fixes the expected rates in advance: as many degrees of freedom as bands.
    assert cal["hosmer_lemeshow"]["statistic"] == pytest.approx(hl, rel=1e-9)
    assert cal["hosmer_lemeshow"]["p_value"] == pytest.approx(sps.chi2(used).sf(hl), rel=1e-9)
    any_band = cal["vs_development"]["any_band"]
    assert any_band["statistic"] == pytest.approx(homogeneity, rel=1e-9)
    assert any_band["p_value"] == pytest.approx(sps.chi2(any_band["df"]).sf(homogeneity), rel=1e-9)


def _count(card, X):
    return _counts.count(card, X)


def _third_outcome(card, base, X):
    """A query's result where the target held two values besides the bad one."""
    bins, scores = _count(card, X)
    rows = pd.concat([bins.assign(kind="bin"), scores.assign(kind="score", bad=0, outcome="0")], ignore_index=True)
    rows.loc[rows.index[-1], "outcome"] = "2"
    return count_tables.split_counts(rows, card)


BAD_INPUT = {
    "predictor missing": (
        lambda card, base, X, tmp: _monitor.monitor(card, X.drop(columns=card.names[0]), baseline=base),
        "lack the predictor",
    ),
    "target of three values": (
        lambda card, base, X, tmp: _monitor.monitor(
            card, X.assign(bad=np.arange(len(X)) % 3), baseline=base, target="bad"
        ),
        "besides the bad value",
    ),
    "period not a date": (
        lambda card, base, X, tmp: _monitor.monitor(
            card, X.assign(when=["2024-01-01"] * (len(X) - 1) + ["last Tuesday"]), baseline=base, period_column="when"
        ),
        "not a date",
    ),
    "empty file": (
        lambda card, base, X, tmp: _monitor.monitor(card, _header_only(X, tmp), baseline=base),
        "no applicants",
    ),
    "bin not on the card": (
        lambda card, base, X, tmp: figures.from_counts(
            card, _count(card, X)[0].assign(bin="[999, 1000)"), _count(card, X)[1], base
        ),
        "does not have",
    ),
    "counts of another table": (
        lambda card, base, X, tmp: figures.from_counts(card, _count(card, X.head(50))[0], _count(card, X)[1], base),
        "not counts of one table",
    ),
    "baseline of another card": (
        lambda card, base, X, tmp: _monitor.monitor(card, X, baseline=_other_bins(base, card)),
        "does not fit this card",
    ),
    "fail-on level": (
        lambda card, base, X, tmp: _monitor.monitor(card, X, baseline=base, fail_on="orange"),
        "--fail-on",
    ),
    "counts with a third outcome": (lambda card, base, X, tmp: _third_outcome(card, base, X), "besides the bad value"),
    "a date that is none, under the user's column": (
        lambda card, base, X, tmp: figures.assess(
            card, X.assign(when=["2024-01-01"] * (len(X) - 1) + ["soon"]), period="when", baseline=base
        ),
        "period column 'when' holds 'soon'",
    ),
    "counts over periods that are none": (
        lambda card, base, X, tmp: figures.from_counts(card, *_periods(card, X, ["February", "March"]), base),
        "not months, quarters or years",
    ),
    "counts over months and quarters": (
        lambda card, base, X, tmp: figures.from_counts(card, *_periods(card, X, ["2024-01", "2024Q2"]), base),
        "not months, quarters or years",
    ),
    "counts over days": (
        lambda card, base, X, tmp: figures.from_counts(card, *_periods(card, X, ["2024-01-03", "2024-01-04"]), base),
        "not months, quarters or years",
    ),
    "counts too large": (
        lambda card, base, X, tmp: figures.from_counts(
            card, *(t.assign(applicants=t["applicants"] * 1e17) for t in _count(card, X)), base
        ),
        "more than",
    ),
}


def _periods(card, X, labels):
    """Count tables whose rows are split over the period labels given."""
    bins, scores = _count(card, X)
    return (
        pd.concat([bins.assign(period=label) for label in labels], ignore_index=True),
        pd.concat([scores.assign(period=label) for label in labels], ignore_index=True),
    )


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


def _changed(card, **fields):
    """The card with some of its fields changed, as another build would give it."""
    body = {k: v for k, v in card.to_dict().items() if k != "checksum"}
    body.update(fields)
    return type(card).from_dict({**body, "checksum": checksum(body)})


def _query_counts(card, X, path, **options):
    """The monitoring query of `card` run on DuckDB over `X`, saved as the warehouse's result would be."""
    duckdb = pytest.importorskip("duckdb")
    from tessaly.sql import to_monitor_sql

    con = duckdb.connect()
    con.register("applicants", X)
    con.execute(to_monitor_sql(card, **options)).df().to_parquet(path)
    return path


@pytest.mark.parametrize(
    "made_by, refused",
    [
        ("this card", None),
        # Same bins and points under another scaling: every other check passes.
        ("another card", "made for another card"),
        ("an earlier query", "do not say which card"),
    ],
)
def test_counts_are_read_only_by_the_card_they_were_made_for(fitted, made_by, refused, tmp_path):
    card, base = fitted
    X, _ = population(3000, 6)
    maker = card
    if made_by == "another card":
        maker = _changed(card, scaling={**card.scaling, "pdo": 23})
    path = _query_counts(maker, X, tmp_path / "counts.parquet")
    if made_by == "an earlier query":
        pd.read_parquet(path).drop(columns="card").to_parquet(path)
    if refused is None:
        got = _monitor.monitor(card, counts=path, baseline=base)
        assert got["verdict"] == _monitor.monitor(card, X, baseline=base)["verdict"]
        return
    with pytest.raises(InputError, match=refused) as caught:
        _monitor.monitor(card, counts=path, baseline=base)
    assert "\n" not in str(caught.value) and "tessaly export CARD --sql --monitor" in str(caught.value)


@pytest.mark.parametrize("route", ["file", "counts"])
@pytest.mark.parametrize("card_bad, given", [(1, "true/false"), (True, "1/0")])
def test_outcomes_are_read_by_what_they_mean(fitted, card_bad, given, route, tmp_path):
    card, base = fitted
    card = _changed(card, bad=card_bad)
    X, y = population(3000, 7)
    want = _monitor.monitor(card, X.assign(bad=y), baseline=base, target="bad")
    outcomes = y.astype(bool) if given == "true/false" else y.astype(int)
    assert outcomes.dtype != type(card_bad)  # the other way of saying it
    if route == "file":
        got = _monitor.monitor(card, X.assign(bad=outcomes), baseline=base, target="bad")
    else:
        path = _query_counts(card, X.assign(bad=outcomes), tmp_path / "counts.parquet", target="bad")
        got = _monitor.monitor(card, counts=path, baseline=base)
    assert got["performance"] == want["performance"] and got["performance"]["auc"] is not None
