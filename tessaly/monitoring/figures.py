"""From counts to monitor.json's figures: each scope (the whole window, then each period) compared with the
baseline, wherever the counts were made, so both routes share every formula.

`from_counts` reads the two count tables of a monitored population (`counts.count`, or the aggregate query
of the SQL export), measures every check per scope and hands them to `verdicts.judge`. The result is plain
JSON data. A section whose figures an empty table cannot have says "empty": true and carries no verdict.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from .._bins import MISSING, UNSEEN
from .._checks import check_columns
from .._errors import InputError
from .._json import jsonable as _jsonable
from . import statistics as stats
from .baseline import NO_BASELINE, baseline_of
from .count_tables import merged, read_counts
from .counts import BAD, GOOD, PERIOD_RULE, UNKNOWN, count
from .verdicts import judge

FORMAT, VERSION = "tessaly-monitor", 2


def _share(part, whole):
    return None if whole == 0 else float(part / whole)


def _score(base: dict, edges, keys, n) -> dict:
    pop = base["parts"][base["population"]]
    band = stats.band_of(keys, edges)
    width = len(edges) + 1
    current = np.bincount(band, weights=n, minlength=width)
    expected = np.asarray(pop["bands"]["applicants"], dtype=float)
    total, base_total = float(n.sum()), float(expected.sum())
    bounds = [None, *edges, None]
    return {
        "psi": stats.psi(expected, current),
        "p_value": stats.homogeneity(expected, current)["p_value"],
        "applicants": int(total),
        "mean": stats.mean_score(keys, n),
        "baseline_mean": pop["mean_score"],
        "herfindahl": stats.herfindahl(current),
        "baseline_herfindahl": stats.herfindahl(expected),
        "bands": [
            {
                "band": b + 1,
                "from": bounds[b],
                "to": bounds[b + 1],
                "applicants": int(current[b]),
                "share": _share(current[b], total),
                "baseline_share": _share(expected[b], base_total),
            }
            for b in range(width)
        ],
    }


def _placed_nowhere(p, unseen_cell, unreadable, missing):
    """Values the card never saw: its Unseen bin less the unreadable ones and, where the card has no Missing
    bin, the missing ones (counted once, as missing)."""
    return unseen_cell - unreadable - (0 if MISSING in p.kinds else missing)


def _predictor(p, entry: dict, now, unreadable, missing) -> dict:
    then = np.asarray(entry["applicants"], dtype=float)
    points = [*p.points, p.neutral]
    m, m0 = float(now.sum()), float(then.sum())
    unseen = _placed_nowhere(p, now[-1], unreadable, missing)
    unseen0 = _placed_nowhere(p, then[-1], entry["unreadable"], entry["missing"])

    def share_check(k, k0):
        return {"share": _share(k, m), "baseline_share": _share(k0, m0), "p_value": stats.rise(k, m, k0, m0)}

    return {
        "psi": stats.psi(then, now),
        "p_value": stats.homogeneity(then, now)["p_value"],
        "points_shift": stats.points_shift(then, now, points),
        "unseen": share_check(unseen, unseen0),
        "unreadable": {"share": _share(unreadable, m), "baseline_share": _share(entry["unreadable"], m0)},
        "missing": share_check(missing, entry["missing"]),
        "bins": [
            {
                "bin": label,
                "points": points[i],
                "applicants": int(now[i]),
                "share": _share(now[i], m),
                "baseline_share": _share(then[i], m0),
            }
            for i, label in enumerate([*p.labels, UNSEEN])
        ],
    }


def _performance(base: dict, goods, bads, unknown: int) -> dict:
    dev = base["parts"][base["outcomes"]]["performance"]
    r = stats.ranking(goods, bads)
    z, p = stats.auc_decline(r["auc"], r["auc_se"], dev["auc"], dev.get("auc_se"))
    return {
        "n": int(goods.sum() + bads.sum()),
        "bad": int(bads.sum()),
        "goods": int(goods.sum()),
        **r,
        "outcome_unknown": int(unknown),
        "auc_development": dev["auc"],
        "auc_development_ci": dev["auc_ci"],
        "auc_development_se": dev.get("auc_se"),
        "auc_decline_z": z,
        "auc_decline_p": p,
        "p_value": p,
    }


def _calibration(card, base: dict, edges, keys, goods, bads) -> dict:
    dev = base["parts"][base["outcomes"]]["bands"]
    band = stats.band_of(keys, edges)
    width = len(edges) + 1
    n = np.bincount(band, weights=goods + bads, minlength=width)
    d = np.bincount(band, weights=bads, minlength=width)
    with np.errstate(invalid="ignore", divide="ignore"):
        promised = (
            np.bincount(band, weights=(goods + bads) * stats.scaled_bad_rate(keys, card.scaling), minlength=width) / n
        )
        rate = d / n
    n0, d0 = np.asarray(dev["applicants"], dtype=float), np.asarray(dev["bads"], dtype=float)
    earlier = np.where(n0 > 0, d0 / np.maximum(n0, 1), np.nan)
    lo, hi = stats.jeffreys_interval(d, n)
    rises = stats.band_rises(d, n, d0, n0)
    adjusted = stats.holm([None if np.isnan(x) else float(x) for x in rises])
    bounds = [None, *edges, None]
    rows = [
        {
            "band": b + 1,
            "from": bounds[b],
            "to": bounds[b + 1],
            "applicants": int(n[b]),
            "bads": int(d[b]),
            "bad_rate": rate[b],
            "bad_rate_ci": [lo[b], hi[b]],
            "baseline_bad_rate": earlier[b],
            "expected_bad_rate": promised[b],
            "p_rise": rises[b],
            "p_rise_adjusted": adjusted[b],
        }
        for b in range(width)
    ]
    test = stats.bad_rate_rises(d, n, d0, n0)
    expected_bads = float(np.nansum(np.where(n > 0, n * earlier, 0.0)))
    return {
        "expected_from": "development",
        "bads": int(d.sum()),
        "expected_bads": expected_bads,
        "bad_ratio": None if expected_bads == 0 else float(d.sum()) / expected_bads,
        "bands": rows,
        "vs_development": test,
        "p_value": test["p_value"],
        "hosmer_lemeshow": stats.hosmer_lemeshow(d, n, np.nan_to_num(promised, nan=0.5)),
    }


def _empty(card, outcomes: bool) -> dict:
    """A period that holds nobody: the sections of any other, with no figures and no verdicts."""
    none = {"share": None, "baseline_share": None, "p_value": None}
    section = {
        "applicants": 0,
        "empty": True,
        "score": {"psi": None, "p_value": None, "empty": True},
        "predictors": {
            name: {"psi": None, "p_value": None, "unseen": dict(none), "missing": dict(none), "empty": True}
            for name in card.names
        },
    }
    if outcomes:
        section["performance"] = {
            "auc": None,
            "auc_ci": [None, None],
            "auc_decline_p": None,
            "p_value": None,
            "n": 0,
            "bad": 0,
            "goods": 0,
            "empty": True,
        }
        section["calibration"] = {"bands": [], "p_value": None, "empty": True}
    return section


def _section(card, base, cells, unreadable, missing, keys, table, outcomes: bool) -> dict:
    n = table.sum(axis=1).astype(float)
    if n.sum() == 0:
        return _empty(card, outcomes)
    pop = base["parts"][base["population"]]["predictors"]
    section = {
        "applicants": int(n.sum()),
        "score": _score(base, base["bands"], keys, n),
        "predictors": {
            p.name: _predictor(p, pop[p.name], cells[j].astype(float), unreadable[j], missing[j])
            for j, p in enumerate(card.characteristics)
        },
    }
    if outcomes:
        goods, bads = table[:, GOOD].astype(float), table[:, BAD].astype(float)
        section["performance"] = _performance(base, goods, bads, int(table[:, UNKNOWN].sum()))
        section["calibration"] = _calibration(card, base, base["bands"], keys, goods, bads)
    return section


def from_counts(card, bin_counts, score_counts, baseline=None, *, outcomes: bool | None = None, **about) -> dict:
    """The figures of monitor.json from count tables, however they were counted.

    `bin_counts`: columns predictor, bin (a label of the card's, or "Unseen"), applicants, optionally period,
    unreadable and missing. `score_counts`: columns score, applicants, optionally period and bad (1, 0, or
    empty where the outcome is not known). `outcomes`: whether performance is measured (by default: when
    any outcome is known). `baseline`: by default the card's own. `about`: entries added as they are (the
    data's name, the period kind...).
    """
    base = baseline_of(card, baseline)
    labels, cells, unreadable, missing, per_period = read_counts(card, bin_counts, score_counts)
    if outcomes is None:
        outcomes = any(t[:, (GOOD, BAD)].sum() > 0 for _, t in per_period)
    result = {
        "format": FORMAT,
        "version": VERSION,
        **about,
        **_section(
            card,
            base,
            [c.sum(axis=0) for c in cells],
            unreadable.sum(axis=0),
            missing.sum(axis=0),
            *merged(per_period),
            outcomes,
        ),
    }
    result["periods"] = {
        label: _section(card, base, [c[g] for c in cells], unreadable[g], missing[g], keys, table, outcomes)
        for g, (label, (keys, table)) in enumerate(zip(labels, per_period))
    }
    result["baseline"] = {
        "population": base["population"],
        "outcomes": base["outcomes"],
        "bands": base["bands"],
        **{
            k: base["parts"][base["outcomes"]]["performance"].get(k)
            for k in ("auc", "auc_ci", "auc_se", "gini", "gini_ci", "ks", "ks_ci")
        },
    }
    judge(result, card)
    return _jsonable(result)


def tables(result: dict) -> dict[str, pd.DataFrame]:
    """monitor.json's worst verdict ("verdict") and its figures as frames, one row per scope ("all", then each period): "summary" (per scope),
    "predictors" (per scope and predictor) and "bands" (per scope and score band); and "alerts", one row per
    amber or red check."""
    scopes = [("all", result), *result["periods"].items()]
    summary, predictors, bands = [], [], []
    for scope, s in scopes:
        perf, cal = s.get("performance", {}), s.get("calibration", {})
        summary.append(
            {
                "scope": scope,
                "applicants": s["applicants"],
                "score_psi": s["score"]["psi"],
                "score_verdict": s["score"].get("verdict"),
                "mean_score": s["score"].get("mean"),
                **{k: perf.get(k) for k in ("auc", "gini", "ks", "auc_decline_p")},
                "auc_low": perf.get("auc_ci", [None, None])[0],
                "auc_high": perf.get("auc_ci", [None, None])[1],
                "performance_verdict": perf.get("verdict"),
                "calibration_verdict": cal.get("verdict"),
            }
        )
        for name, p in s["predictors"].items():
            shares = {f"{k}_share": p.get(k, {}).get("share") for k in ("unseen", "unreadable", "missing")}
            predictors.append(
                {
                    "scope": scope,
                    "predictor": name,
                    "psi": p["psi"],
                    "verdict": p.get("verdict"),
                    "points_shift": p.get("points_shift"),
                    **shares,
                    "unseen_verdict": p["unseen"].get("verdict"),
                    "missing_verdict": p["missing"].get("verdict"),
                }
            )
        by_band = {b["band"]: b for b in cal.get("bands", [])}
        for b in s["score"].get("bands", []):
            c = by_band.get(b["band"], {})
            bands.append(
                {
                    "scope": scope,
                    **b,
                    **{
                        k: c.get(k)
                        for k in (
                            "bads",
                            "bad_rate",
                            "expected_bad_rate",
                            "baseline_bad_rate",
                            "p_rise",
                            "p_rise_adjusted",
                        )
                    },
                }
            )
    if not result.get("performance"):
        summary = [
            {k: v for k, v in row.items() if k in ("scope", "applicants", "score_psi", "score_verdict", "mean_score")}
            for row in summary
        ]
    return {
        "verdict": result["verdict"],
        "summary": pd.DataFrame(summary),
        "predictors": pd.DataFrame(predictors),
        "bands": pd.DataFrame(bands),
        "alerts": pd.DataFrame(result["alerts"], columns=["scope", "check", "value", "threshold", "verdict"]),
    }


def _free(name: str, taken) -> str:
    while name in taken:
        name = "_" + name
    return name


def _column(values, n: int, what: str) -> pd.Series:
    values = pd.Series(values).reset_index(drop=True)
    if len(values) != n:
        raise InputError(f"{what} has {len(values)} values for {n} applicants: give one per applicant")
    return values


def assess(
    card, X: pd.DataFrame, y=None, period=None, *, every: str = "month", baseline=None, fix: str = NO_BASELINE
) -> dict:
    """monitor.json's data for a frame of applicants: `y` the outcomes as the data holds them (missing: not
    known yet), `period` a column of X holding dates or one date per applicant, `every` month, quarter or
    year. `baseline`: by default the card's own; `fix`: what to do without one."""
    base = baseline_of(card, baseline, fix)
    check_columns(X, card.columns, "X lacks")
    frame = X[card.columns].reset_index(drop=True)
    target = period_column = None
    if period is not None:
        if isinstance(period, str) and period not in X.columns:
            raise InputError(f"period column {period!r} is not a column of X")
        # Under the user's own name where it has one, so a date that does not read is reported there.
        period_column = period if isinstance(period, str) else _free("period", frame.columns)
        dates = X[period] if isinstance(period, str) else period
        frame[period_column] = _column(dates, len(frame), "period")
    if y is not None:
        target = _free("y", [*frame.columns])
        frame[target] = _column(y, len(frame), "y")
    kind = every if period is not None else None
    bins, scores = count(card, frame, target=target, period_column=period_column, period=kind)
    return from_counts(
        card,
        bins,
        scores,
        base,
        outcomes=y is not None,
        period=kind,
        period_column=period if isinstance(period, str) else None,
        period_rule=PERIOD_RULE["file"] if kind else None,
    )
