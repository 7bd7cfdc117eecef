"""From counts to the figures of monitoring: the baseline a card is compared with, and monitor.json's data.

The baseline is counted on the development data (the training part for the population, the test part for
the outcomes) and travels in card.json. `from_counts` compares the two count tables of a monitored
population (`_counts`, or the aggregate query of `_sql.to_monitor_sql`) with it, wherever they were counted,
so both routes share every formula. The statistics themselves are in `_monitoring`.

The result is plain JSON data. A section whose figures an empty table cannot have says "empty": true and
carries no verdict; every verdict present is "green", "amber" or "red".
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from . import _monitoring as stats
from ._binning import UNSEEN, canonical
from ._checks import weights_of
from ._counts import BAD, GOOD, PERIODS, UNKNOWN, Outcomes, Tally, count
from ._errors import InputError
from ._json import jsonable as _jsonable
from ._tables import BATCH_ROWS

FORMAT, VERSION = "tessaly-monitor", 1
BASELINE_FORMAT, BASELINE_VERSION = "tessaly-baseline", 1
BANDS = 10
# The one table the aggregate query returns: rows of kind "bin" and of kind "score".
QUERY_COLUMNS = ["kind", "period", "predictor", "bin", "score", "bad", "outcome", "applicants", "unreadable", "missing"]
NO_BASELINE = "give --baseline DATA, a labelled development table"


# ---------------------------------------------------------------------------------------------
# The baseline


def _part(card, X, y_bad, weight=None, edges=None, bands: int = BANDS) -> tuple[dict, list]:
    """What monitoring compares against, on one labelled part of the development data."""
    X = pd.DataFrame(X)
    y = np.asarray(y_bad)
    if y.shape != (len(X),) or not np.isin(y, (0, 1)).all():
        raise InputError("baseline outcomes must be 1 (bad) or 0 (good), one per applicant")
    absent = [p for p in card.names if p not in X.columns]
    if absent:
        raise InputError(f"the development table lacks the predictor column{'s' * (len(absent) > 1)} "
                         f"{', '.join(map(repr, absent))}")
    if len(X) == 0:
        raise InputError("the development table has no applicants")
    w = weights_of(weight, len(X))
    tally = Tally(card, weighted=w is not None)
    y = y.astype(np.intp)
    for start in range(0, len(X), BATCH_ROWS):
        chunk = X.iloc[start:start + BATCH_ROWS]
        tally.add(chunk, np.zeros(len(chunk), dtype=np.intp), [None], y[start:start + BATCH_ROWS],
                  None if w is None else w[start:start + BATCH_ROWS])
    keys, counts = tally.scores[0]
    n = counts.sum(axis=1)
    if edges is None:
        edges = stats.band_edges(keys, n, bands)
    band = stats.band_of(keys, edges)
    width = len(edges) + 1

    def per_band(weights):
        return np.bincount(band, weights=weights, minlength=width).astype(tally.dtype).tolist()

    part = {
        "applicants": n.sum().item(),
        "mean_score": stats.mean_score(keys, n),
        "predictors": {p.name: {"bins": [*p.labels, UNSEEN], "applicants": tally.cells[j][0].tolist(),
                                "unreadable": tally.unreadable[0, j].item(), "missing": tally.missing[0, j].item()}
                       for j, p in enumerate(card.predictors)},
        "bands": {"applicants": per_band(n), "bads": per_band(counts[:, BAD])},
        "performance": stats.ranking(counts[:, GOOD], counts[:, BAD]),
    }
    return part, list(edges)


def _band_option(bands):
    if isinstance(bands, (int, np.integer)) and not isinstance(bands, bool):
        if bands < 1:
            raise InputError(f"the number of score bands must be at least 1, not {bands}")
        return None, int(bands)
    edges = [float(e) for e in bands]
    if not all(np.isfinite(edges)) or any(a >= b for a, b in zip(edges, edges[1:])):
        raise InputError("score band edges must be ascending finite numbers")
    return edges, BANDS


def baseline(card, X_train, y_train_bad, X_test=None, y_test_bad=None, *, sample_weight=None, test_weight=None,
             bands=BANDS) -> dict:
    """What monitoring compares a card against, as plain JSON data: on the training and the test part, each
    predictor's applicants per bin (the card's bins, then Unseen) with its unreadable and missing values, and
    the applicants and bads per score band; the test part's AUC, Gini and KS with their intervals.

    Outcomes are 1 (bad) or 0 (good). Without a test part, the training part serves for both. Weights count
    each applicant that many times. `bands`: a number of bands of about equal size on the training scores, or
    the band edges themselves. The edges are stored: every later period is counted in the same bands.
    Population figures compare with the training part; the development AUC and the bad rates per band are
    the test part's.
    """
    edges, n_bands = _band_option(bands)
    train, edges = _part(card, X_train, y_train_bad, sample_weight, edges, n_bands)
    if X_test is None:
        return _baseline_dict(edges, {"train": train}, "train", "train")
    test, _ = _part(card, X_test, y_test_bad, test_weight, edges)
    return _baseline_dict(edges, {"train": train, "test": test}, "train", "test")


def baseline_from_data(card, X, y_bad, *, bands=BANDS) -> dict:
    """The baseline of a card from one labelled development table (for a card saved without one)."""
    edges, n_bands = _band_option(bands)
    part, edges = _part(card, X, y_bad, None, edges, n_bands)
    return _baseline_dict(edges, {"development": part}, "development", "development")


def development_baseline(card, data: pd.DataFrame, where: str = "the development table") -> dict:
    """The baseline from a development table holding the card's target column, every outcome known."""
    if card.target not in data.columns:
        raise InputError(f"{where} lacks the target column '{card.target}'")
    y = Outcomes(card, card.target).codes(data[card.target])
    if (y == UNKNOWN).any():
        raise InputError(f"{where} has {int((y == UNKNOWN).sum())} applicants without an outcome in "
                         f"'{card.target}': a baseline needs every one")
    return baseline_from_data(card, data, y)


def _baseline_dict(edges, parts, population, outcomes) -> dict:
    return _jsonable({"format": BASELINE_FORMAT, "version": BASELINE_VERSION, "bands": edges,
                      "population": population, "outcomes": outcomes, "parts": parts})


def _check_baseline(card, base) -> None:
    """A baseline made for this card, or a one-line reason why not."""
    fix = "make it again from the development data (--baseline DATA)"
    try:
        if not isinstance(base, dict) or base.get("format") != BASELINE_FORMAT:
            raise ValueError("it is not a tessaly baseline")
        if base.get("version") != BASELINE_VERSION:
            raise ValueError(f"it has version {base.get('version')!r}, not {BASELINE_VERSION}")
        edges = base["bands"]
        if not all(isinstance(e, (int, float)) for e in edges) or any(a >= b for a, b in zip(edges, edges[1:])):
            raise ValueError("its score bands are not ascending numbers")
        for role in ("population", "outcomes"):
            part = base["parts"][base[role]]
            if len(part["bands"]["applicants"]) != len(edges) + 1 or len(part["bands"]["bads"]) != len(edges) + 1:
                raise ValueError("its band counts do not match its bands")
            if set(part["predictors"]) != set(card.names):
                raise ValueError("its predictors are not the card's")
            for p in card.predictors:
                entry = part["predictors"][p.name]
                if entry["bins"] != [*p.labels, UNSEEN] or len(entry["applicants"]) != len(p.labels) + 1:
                    raise ValueError(f"the bins of '{p.name}' are not the card's")
            if part["applicants"] <= 0:
                raise ValueError("it holds no applicants")
        if "auc" not in base["parts"][base["outcomes"]]["performance"]:
            raise ValueError("it has no development AUC")
    except (KeyError, TypeError, ValueError, AttributeError) as e:
        what = str(e) if isinstance(e, ValueError) else f"it lacks {e}"
        raise InputError(f"the baseline does not fit this card ({what}): {fix}") from None


def baseline_of(card, given=None, fix: str = NO_BASELINE) -> dict:
    """The baseline given, else the card's own; checked against the card. `fix`: what to do without one."""
    if given is None:
        given = getattr(card, "baseline", None)
        if given is None:
            raise InputError(f"the card holds no baseline to compare with (it was built by an earlier tessaly): {fix}")
    _check_baseline(card, given)
    return given


# ---------------------------------------------------------------------------------------------
# From counts to figures


def _whole(values, what: str) -> np.ndarray:
    x = pd.to_numeric(pd.Series(values), errors="coerce").to_numpy(dtype=float, na_value=np.nan)
    if not (np.isfinite(x) & (x >= 0) & (np.floor(x) == x)).all():
        raise InputError(f"the counts' {what} must be whole numbers of at least 0")
    return x.astype(np.int64)


def _labels(values) -> np.ndarray:
    s = pd.Series(values, dtype=object)
    if s.isna().any():
        raise InputError("a count has no period (from a query: an applicant whose date did not read): label every "
                         "row, or leave the period column out")
    return s.astype(str).to_numpy(dtype=object)


def _periods(labels) -> list | None:
    """The labels as periods of one kind that monitoring writes ("2024-03", "2024Q1", "2024"), else None."""
    try:
        parsed = [pd.Period(label) for label in labels]
    except (ValueError, TypeError):
        return None
    kinds = {p.freqstr[0] for p in parsed}
    # A day is no period of ours.
    if len(kinds) != 1 or kinds.pop() not in "MQY" or any(str(p) != label for p, label in zip(parsed, labels)):
        return None
    return parsed


def period_kind(labels) -> str | None:
    """month, quarter or year, as the labels say (None for labels of no one kind)."""
    parsed = _periods(sorted(set(labels)))
    if not parsed:
        return None
    return {code[0]: kind for kind, code in PERIODS.items()}[parsed[0].freqstr[0]]


def _order(labels: list) -> list:
    """Periods in time order, with the periods between them that hold nobody (labels of one kind only)."""
    parsed = _periods(labels)
    if parsed is None:
        return sorted(labels)
    span = pd.period_range(min(parsed), max(parsed), freq=parsed[0].freq)
    return [str(p) for p in span]


def _read_counts(card, bin_counts, score_counts):
    """The count tables as arrays per period, checked against the card."""
    bins, scores = pd.DataFrame(bin_counts).copy(), pd.DataFrame(score_counts).copy()
    for table, need, what in ((bins, ("predictor", "bin", "applicants"), "bin counts"),
                              (scores, ("score", "applicants"), "score counts")):
        absent = [c for c in need if c not in table.columns]
        if absent:
            raise InputError(f"the {what} lack the column{'s' * (len(absent) > 1)} {', '.join(map(repr, absent))}")
    if ("period" in bins.columns) != ("period" in scores.columns):
        raise InputError("only one of the count tables has a period column: give it in both or in neither")
    periodic = "period" in bins.columns
    for table in (bins, scores):
        table["period"] = _labels(table["period"]) if periodic else ""
    for column in ("unreadable", "missing"):
        bins[column] = _whole(bins[column], column) if column in bins.columns else 0
    bins["applicants"] = _whole(bins["applicants"], "applicants")
    scores["applicants"] = _whole(scores["applicants"], "applicants")
    if scores["applicants"].sum() == 0:
        raise InputError("the counts hold no applicants")

    names = {p.name: j for j, p in enumerate(card.predictors)}
    predictor = bins["predictor"].map(names)
    if predictor.isna().any():
        shown = str(bins.loc[predictor.isna(), "predictor"].iloc[0])[:80]
        raise InputError(f"the counts name the predictor {shown!r}, which is not on the card: they do not belong to it")
    lookup = pd.DataFrame([(p.name, label, i) for p in card.predictors for i, label in enumerate([*p.labels, UNSEEN])],
                          columns=["predictor", "bin", "cell"])
    bins["predictor"] = bins["predictor"].astype(object)
    bins["bin"] = bins["bin"].astype(object).where(bins["bin"].notna(), None)
    placed = bins.merge(lookup, on=["predictor", "bin"], how="left", validate="many_to_one")
    if placed["cell"].isna().any():
        row = placed[placed["cell"].isna()].iloc[0]
        raise InputError(f"the counts have a bin {str(row['bin'])[:80]!r} of '{row['predictor']}' that the card "
                         "does not have: they do not belong to it")

    score = pd.to_numeric(scores["score"], errors="coerce").to_numpy(dtype=float, na_value=np.nan)
    if not np.isfinite(score).all():
        raise InputError("the score counts have a score that is not a number")
    lowest = sum(min(*p.points, p.neutral) for p in card.predictors)
    highest = sum(max(*p.points, p.neutral) for p in card.predictors)
    slack = 1e-9 * max(1.0, abs(lowest), abs(highest))
    beyond = (score < lowest - slack) | (score > highest + slack)
    if beyond.any():
        raise InputError(f"the score counts hold the score {score[beyond][0]:g}, beyond what the card gives "
                         f"({lowest:g} to {highest:g}): they do not belong to it")
    if "bad" in scores.columns:
        flag = pd.to_numeric(scores["bad"], errors="coerce")
        if (flag.notna() & ~flag.isin([0, 1])).any() or (flag.isna() & scores["bad"].notna()).any():
            raise InputError("the score counts' bad column must be 1 (bad), 0 (good) or empty (not known)")
        outcome = np.where(flag.isna().to_numpy(), UNKNOWN, flag.fillna(0).to_numpy(dtype=float)).astype(np.intp)
    else:
        outcome = np.full(len(scores), UNKNOWN, dtype=np.intp)

    labels = _order(sorted(set(bins["period"]) | set(scores["period"]))) if periodic else [""]
    index = {label: g for g, label in enumerate(labels)}
    n_periods = len(labels)
    cells = []
    unreadable = np.zeros((n_periods, len(card.predictors)), dtype=np.int64)
    missing = np.zeros_like(unreadable)
    g_bins = placed["period"].map(index).to_numpy()
    j_bins = placed["predictor"].map(names).to_numpy()
    cell = placed["cell"].to_numpy(dtype=np.int64)
    for j, p in enumerate(card.predictors):
        mine = j_bins == j
        counts = np.zeros((n_periods, len(p.labels) + 1), dtype=np.int64)
        np.add.at(counts, (g_bins[mine], cell[mine]), placed["applicants"].to_numpy()[mine])
        cells.append(counts)
        np.add.at(unreadable[:, j], g_bins[mine], placed["unreadable"].to_numpy()[mine])
        np.add.at(missing[:, j], g_bins[mine], placed["missing"].to_numpy()[mine])
    g_scores = scores["period"].map(index).to_numpy()
    per_period = []
    for g in range(n_periods):
        mine = g_scores == g
        keys, inverse = np.unique(score[mine], return_inverse=True)
        table = np.zeros((len(keys), 3), dtype=np.int64)
        np.add.at(table, (inverse, outcome[mine]), scores["applicants"].to_numpy()[mine])
        per_period.append((keys, table))
        total = table.sum()
        for j, p in enumerate(card.predictors):
            if cells[j][g].sum() != total:
                raise InputError(f"the counts of '{p.name}'{f' in {labels[g]}' if periodic else ''} sum to "
                                 f"{cells[j][g].sum()}, the score counts to {total}: they are not counts of one table")
            if unreadable[g, j] > cells[j][g, -1] or missing[g, j] > total:
                raise InputError(f"the counts of '{p.name}' have more unreadable or missing values than applicants")
    return labels if periodic else [], cells, unreadable, missing, per_period


def _share(part, whole):
    return None if whole == 0 else part / whole


def _population(card, base: dict, edges, cells, unreadable, missing, keys, n) -> tuple[dict, dict]:
    pop = base["parts"][base["population"]]
    band = stats.band_of(keys, edges)
    width = len(edges) + 1
    current = np.bincount(band, weights=n, minlength=width)
    expected = np.asarray(pop["bands"]["applicants"], dtype=float)
    value = stats.psi(expected, current)
    total, base_total = float(n.sum()), float(expected.sum())
    bounds = [None, *edges, None]
    score = {
        "psi": value, "verdict": stats.psi_verdict(value), "applicants": int(total),
        "mean": stats.mean_score(keys, n), "baseline_mean": pop["mean_score"],
        "herfindahl": stats.herfindahl(current), "baseline_herfindahl": stats.herfindahl(expected),
        "bands": [{"band": b + 1, "from": bounds[b], "to": bounds[b + 1], "applicants": int(current[b]),
                   "share": _share(current[b], total), "baseline_share": _share(expected[b], base_total)}
                  for b in range(width)],
    }
    predictors = {}
    for j, p in enumerate(card.predictors):
        entry = pop["predictors"][p.name]
        now, then = cells[j].astype(float), np.asarray(entry["applicants"], dtype=float)
        points = [*p.points, p.neutral]
        value = stats.psi(then, now)
        m, m0 = now.sum(), then.sum()
        predictors[p.name] = {
            "psi": value, "verdict": stats.psi_verdict(value),
            "points_shift": stats.points_shift(then, now, points),
            "unseen": {"share": _share(now[-1] - unreadable[j], m),
                       "baseline_share": _share(then[-1] - entry["unreadable"], m0)},
            "unreadable": {"share": _share(unreadable[j], m), "baseline_share": _share(entry["unreadable"], m0)},
            "missing": {"share": _share(missing[j], m), "baseline_share": _share(entry["missing"], m0)},
            "bins": [{"bin": label, "points": points[i], "applicants": int(now[i]), "share": _share(now[i], m),
                      "baseline_share": _share(then[i], m0)} for i, label in enumerate([*p.labels, UNSEEN])],
        }
    return score, predictors


def _performance(base: dict, goods, bads, unknown: int) -> dict:
    dev = base["parts"][base["outcomes"]]["performance"]
    r = stats.ranking(goods, bads)
    z, p = stats.auc_decline(r["auc"], r["auc_se"], dev["auc"], dev.get("auc_se"))
    out = {**r, "outcome_unknown": int(unknown), "auc_development": dev["auc"],
           "auc_development_ci": dev["auc_ci"], "auc_decline_z": z, "auc_decline_p": p}
    verdict = stats.p_verdict(p)
    if verdict is not None:
        out["verdict"] = verdict
    elif r["applicants"] == 0:
        out["empty"] = True
    else:
        out["note"] = "the AUC test needs at least two good and two bad applicants"
    return out


def _calibration(card, base: dict, edges, keys, goods, bads) -> dict:
    dev = base["parts"][base["outcomes"]]["bands"]
    band = stats.band_of(keys, edges)
    width = len(edges) + 1
    n = np.bincount(band, weights=goods + bads, minlength=width)
    d = np.bincount(band, weights=bads, minlength=width)
    with np.errstate(invalid="ignore", divide="ignore"):
        promised = np.bincount(band, weights=(goods + bads) * stats.scaled_bad_rate(keys, card.scaling),
                               minlength=width) / n
        rate = d / n
    n0, d0 = np.asarray(dev["applicants"], dtype=float), np.asarray(dev["bads"], dtype=float)
    # Jeffreys' posterior mean: a development band without bads still expects some.
    earlier = np.where(n0 > 0, (d0 + 0.5) / (n0 + 1.0), np.nan)
    lo, hi = stats.jeffreys_interval(d, n)
    j_scaled, b_scaled = stats.jeffreys(d, n, promised), stats.binomial(d, n, promised)
    usable = n0 > 0
    j_dev = np.full(width, np.nan)
    b_dev = np.full(width, np.nan)
    j_dev[usable] = stats.jeffreys(d[usable], n[usable], earlier[usable])
    b_dev[usable] = stats.binomial(d[usable], n[usable], earlier[usable])
    bounds = [None, *edges, None]
    rows = []
    for b in range(width):
        row = {"band": b + 1, "from": bounds[b], "to": bounds[b + 1], "applicants": int(n[b]), "bads": int(d[b]),
               "bad_rate": rate[b], "bad_rate_ci": [lo[b], hi[b]], "expected_bad_rate": promised[b],
               "baseline_bad_rate": earlier[b], "jeffreys_p": j_scaled[b], "binomial_p": b_scaled[b],
               "jeffreys_p_vs_baseline": j_dev[b], "binomial_p_vs_baseline": b_dev[b]}
        verdict = stats.p_verdict(None if np.isnan(j_scaled[b]) else float(j_scaled[b]))
        if verdict is not None:
            row["verdict"] = verdict
        rows.append(row)
    out = {"expected_from": "scaling", "bands": rows,
           "hosmer_lemeshow": stats.hosmer_lemeshow(d, n, np.nan_to_num(promised, nan=0.5)),
           "hosmer_lemeshow_vs_baseline": stats.hosmer_lemeshow(d[usable], n[usable], earlier[usable])}
    verdict = stats.worst(r.get("verdict") for r in rows)
    if verdict is None:
        out["empty"] = True
    else:
        out["verdict"] = verdict
    return out


def _empty(card, outcomes: bool) -> dict:
    """A period that holds nobody: the sections of any other, with no figures and no verdicts."""
    section = {"applicants": 0, "empty": True, "score": {"psi": None, "empty": True},
               "predictors": {name: {"psi": None, "empty": True} for name in card.names}}
    if outcomes:
        section["performance"] = {"auc": None, "auc_ci": [None, None], "auc_decline_p": None, "empty": True}
        section["calibration"] = {"bands": [], "empty": True}
    return section


def _section(card, base, edges, cells, unreadable, missing, keys, table, outcomes: bool) -> dict:
    n = table.sum(axis=1).astype(float)
    if n.sum() == 0:
        return _empty(card, outcomes)
    score, predictors = _population(card, base, edges, cells, unreadable, missing, keys, n)
    section = {"applicants": int(n.sum()), "score": score, "predictors": predictors}
    if outcomes:
        goods, bads = table[:, GOOD].astype(float), table[:, BAD].astype(float)
        section["performance"] = _performance(base, goods, bads, int(table[:, UNKNOWN].sum()))
        section["calibration"] = _calibration(card, base, edges, keys, goods, bads)
    return section


def _verdicts(value):
    if isinstance(value, dict):
        for k, v in value.items():
            if k == "verdict" and v is not None:
                yield v
            elif isinstance(v, (dict, list)):
                yield from _verdicts(v)
    elif isinstance(value, list):
        for v in value:
            yield from _verdicts(v)


def from_counts(card, bin_counts, score_counts, baseline=None, *, outcomes: bool | None = None, **about) -> dict:
    """The figures of monitor.json from count tables, however they were counted.

    `bin_counts`: columns predictor, bin (a label of the card's, or "Unseen"), applicants, optionally period,
    unreadable and missing. `score_counts`: columns score, applicants, optionally period and bad (1, 0, or
    empty where the outcome is not known). `outcomes`: whether performance is measured (by default: when
    any outcome is known). `baseline`: by default the card's own. `about`: entries added as they are (the
    data's name, the period kind...).
    """
    base = baseline_of(card, baseline)
    labels, cells, unreadable, missing, per_period = _read_counts(card, bin_counts, score_counts)
    if outcomes is None:
        outcomes = any(t[:, (GOOD, BAD)].sum() > 0 for _, t in per_period)
    edges = base["bands"]
    totals = _merged(per_period)
    result = {"format": FORMAT, "version": VERSION, **about,
              **_section(card, base, edges, [c.sum(axis=0) for c in cells], unreadable.sum(axis=0),
                         missing.sum(axis=0), *totals, outcomes)}
    result["periods"] = {label: _section(card, base, edges, [c[g] for c in cells], unreadable[g], missing[g],
                                         *per_period[g], outcomes) for g, label in enumerate(labels)}
    result["baseline"] = {"population": base["population"], "outcomes": base["outcomes"], "bands": edges,
                          **{k: base["parts"][base["outcomes"]]["performance"][k]
                             for k in ("auc", "auc_ci", "gini", "gini_ci", "ks", "ks_ci")}}
    result["thresholds"] = {"psi": list(stats.PSI_SHIFT), "p": list(stats.P_LEVELS)}
    result["verdict"] = stats.worst(_verdicts(result)) or stats.GREEN
    return _jsonable(result)


def _merged(per_period):
    keys, inverse = np.unique(np.concatenate([k for k, _ in per_period]), return_inverse=True)
    table = np.zeros((len(keys), 3), dtype=np.int64)
    np.add.at(table, inverse, np.vstack([t for _, t in per_period]))
    return keys, table


def tables(result: dict) -> dict[str, pd.DataFrame]:
    """monitor.json's figures as three frames, one row per scope ("all", then each period):
    "summary" (per scope), "predictors" (per scope and predictor) and "bands" (per scope and score band)."""
    scopes = [("all", result), *result["periods"].items()]
    summary, predictors, bands = [], [], []
    for scope, s in scopes:
        perf, cal = s.get("performance", {}), s.get("calibration", {})
        summary.append({
            "scope": scope, "applicants": s["applicants"], "score_psi": s["score"]["psi"],
            "score_verdict": s["score"].get("verdict"), "mean_score": s["score"].get("mean"),
            **{k: perf.get(k) for k in ("auc", "gini", "ks", "auc_decline_p")},
            "auc_low": perf.get("auc_ci", [None, None])[0], "auc_high": perf.get("auc_ci", [None, None])[1],
            "performance_verdict": perf.get("verdict"), "calibration_verdict": cal.get("verdict")})
        for name, p in s["predictors"].items():
            shares = {f"{k}_share": p.get(k, {}).get("share") for k in ("unseen", "unreadable", "missing")}
            predictors.append({"scope": scope, "predictor": name, "psi": p["psi"], "verdict": p.get("verdict"),
                               "points_shift": p.get("points_shift"), **shares})
        by_band = {b["band"]: b for b in cal.get("bands", [])}
        for b in s["score"].get("bands", []):
            c = by_band.get(b["band"], {})
            bands.append({"scope": scope, **b, **{k: c.get(k) for k in (
                "bads", "bad_rate", "expected_bad_rate", "baseline_bad_rate", "jeffreys_p", "binomial_p", "verdict")}})
    if not result.get("performance"):
        summary = [{k: v for k, v in row.items() if k in ("scope", "applicants", "score_psi", "score_verdict",
                                                            "mean_score")} for row in summary]
    return {"summary": pd.DataFrame(summary), "predictors": pd.DataFrame(predictors), "bands": pd.DataFrame(bands)}


# ---------------------------------------------------------------------------------------------
# The routes in


def split_counts(table: pd.DataFrame, card) -> tuple[pd.DataFrame, pd.DataFrame]:
    """The aggregate query's one table (`QUERY_COLUMNS`) as the two count tables `from_counts` reads."""
    table = pd.DataFrame(table)
    absent = [c for c in ("kind", "applicants") if c not in table.columns]
    if absent:
        raise InputError(f"the counts lack the column{'s' * (len(absent) > 1)} {', '.join(map(repr, absent))}: "
                         "give the result of 'tessaly export CARD --sql --monitor'")
    kind = table["kind"].astype(str)
    strange = sorted(set(kind) - {"bin", "score"})
    if strange:
        raise InputError(f"the counts have rows of kind {strange[0][:40]!r}: only 'bin' and 'score' rows belong")
    if "period" in table.columns and table["period"].isna().all():
        table = table.drop(columns="period")  # a query without periods
    bins = table.loc[kind == "bin", [c for c in ("period", "predictor", "bin", "applicants", "unreadable", "missing")
                                     if c in table.columns]]
    scores = table.loc[kind == "score", [c for c in ("period", "score", "bad", "applicants") if c in table.columns]]
    if "outcome" in table.columns and "bad" in table.columns:
        # The query counts every value but the bad one as good: a third one shows here.
        others = table.loc[(kind == "score") & (pd.to_numeric(table["bad"], errors="coerce") == 0), "outcome"]
        others = pd.Series(others.dropna().unique(), dtype=object)
        Outcomes(card, "", "the counts' outcome").other(canonical(others), others.to_numpy())
    for column in ("predictor", "bin"):  # labels, even where a reader took them for numbers
        if column in bins.columns:
            bins[column] = bins[column].astype(object).where(bins[column].isna(), bins[column].astype(str))
    return bins, scores


def _free(name: str, taken) -> str:
    while name in taken:
        name = "_" + name
    return name


def _column(values, n: int, what: str) -> pd.Series:
    values = pd.Series(values).reset_index(drop=True)
    if len(values) != n:
        raise InputError(f"{what} has {len(values)} values for {n} applicants: give one per applicant")
    return values


def assess(card, X: pd.DataFrame, y=None, period=None, *, every: str = "month", baseline=None,
           fix: str = NO_BASELINE) -> dict:
    """monitor.json's data for a frame of applicants: `y` the outcomes as the data holds them (missing: not
    known yet), `period` a column of X holding dates or one date per applicant, `every` month, quarter or
    year. `baseline`: by default the card's own; `fix`: what to do without one."""
    base = baseline_of(card, baseline, fix)
    absent = [p for p in card.names if p not in X.columns]
    if absent:
        raise InputError(f"X lacks the predictor column{'s' * (len(absent) > 1)} {', '.join(map(repr, absent))}")
    frame = X[card.names].reset_index(drop=True)
    target = period_column = None
    if y is not None:
        target = _free("y", frame.columns)
        frame[target] = _column(y, len(frame), "y")
    if period is not None:
        if isinstance(period, str) and period not in X.columns:
            raise InputError(f"period column {period!r} is not a column of X")
        dates = X[period] if isinstance(period, str) else period
        period_column = _free("period", frame.columns)
        frame[period_column] = _column(dates, len(frame), "period")
    kind = every if period is not None else None
    bins, scores = count(card, frame, target=target, period_column=period_column, period=kind)
    return from_counts(card, bins, scores, base, outcomes=y is not None, period=kind,
                       period_column=period if isinstance(period, str) else None)
