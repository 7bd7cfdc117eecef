"""The cards a fitted model makes: the extension's, from tree SHAP values, and the additive one, each bin's
mean SHAP log-odds scaled to points."""

from __future__ import annotations

import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from . import _points
from ._card import Card, Predictor
from ._checks import weights_of
from ._features import binned, one_hot, reference_table
from ._quiet import quiet

MODEL_NAME = "model"
# Rows added to the SHAP sample for each bin it would otherwise barely see, so every bin has points of its own.
BIN_COVER = 25
# The extension's card beside an additive one is for comparison only; its SHAP step costs rows x background x trees.
COMPARISON_ROWS = 500


@dataclass
class Training:
    """The training rows as the cards read them: each kept predictor's bin per row (`positions`)."""

    X: pd.DataFrame
    y_bad: np.ndarray
    w: np.ndarray | None
    binnings: list
    positions: np.ndarray
    target: str
    bad: object


def predictor(b, points, neutral) -> Predictor:
    return Predictor(
        b.name,
        b.dtype,
        b.splits,
        b.special_codes,
        b.kinds,
        labels=list(b.labels),
        points=[float(p) for p in points],
        neutral=float(neutral),
        binning=b.binning,
    )


def shap_source(X, w, shap_data, shap_weight, rng, most: int):
    """The applicants whose SHAP values make the card, at most `most` of them, and their weights."""
    if shap_data is None:
        source, source_w = X, w
    else:
        source = pd.DataFrame(shap_data).reset_index(drop=True)
        source_w = weights_of(shap_weight, len(source))
    if len(source) > most:
        picked = np.sort(rng.choice(len(source), most, replace=False))
        source = source.iloc[picked]
        source_w = None if source_w is None else source_w[picked]
    return source, source_w


def module_card(model, fam, rows: Training, X_shap, *, scaling: dict, resort: bool) -> tuple[Card, dict]:
    """The extension's card, and the files it wrote."""
    from tessaly import quillvane

    binnings, target = rows.binnings, rows.target
    training_df = binned(binnings, rows.X, list(rows.positions.T))
    training_df[target] = rows.y_bad
    with tempfile.TemporaryDirectory(prefix="tessaly-") as tmp, quiet():
        root = Path(tmp)
        (root / "bins").mkdir()
        for b in binnings:
            b.table.to_pickle(root / "bins" / f"{b.name}.pkl")
        scorecard = quillvane.createQuillvane(
            model,
            training_df,
            X_shap,
            reference_table(binnings),
            str(root / "bins"),
            show_warnings="Y",
            show_plots="N",
            target_var=target,
            pdo_parm=scaling["pdo"],
            target_credit_score=scaling["target_score"],
            target_odds=scaling["target_odds"],
            model_name=MODEL_NAME,
            assume_higher_prob_bad_rate=0 if resort else 1,
            technique=fam.technique,
            plots_directory=str(root / "plots"),
            scorecard_directory=str(root / "scorecard"),
            model_directory=str(root / "model"),
        )
        artifacts = {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}
    predictors = []
    for b in binnings:
        found = scorecard[scorecard["predictor_variables"] == b.name]
        by_bin = dict(zip(found["Bin"], found["CreditScore"].astype(float)))
        lost = [label for label in b.labels if label not in by_bin]
        if lost:
            raise RuntimeError(f"the scorecard has no points for bins {lost} of '{b.name}'")
        predictors.append(
            predictor(b, [by_bin[label] for label in b.labels], float(found["Neutral_CreditScore"].iloc[0]))
        )
    return Card(target, rows.bad, fam.name, "module", scaling, predictors), artifacts


def additive_card(
    model, fam, rows: Training, shap_positions, rng, *, scaling: dict, monotone: bool, shap_w=None
) -> tuple[Card, list[str]]:
    """Each bin's points: its applicants' mean SHAP log-odds of the predictor, scaled to the requested odds;
    and the predictors left out because every bin would get the same points."""
    binnings, positions = rows.binnings, rows.positions
    sample, weights = _covered_sample(binnings, positions, shap_positions, rng, rows.w, shap_w)
    contributions, base = fam.explain(model, binnings, sample)
    means = [
        _points.bin_means(contributions[:, j], sample[:, j], len(b.labels), weights) for j, b in enumerate(binnings)
    ]
    if monotone:
        means = [_monotone(b, m) for b, m in zip(binnings, means)]
    slope, intercept = fam.log_odds(model, base, means, positions, rows.y_bad, rows.w)
    factor, offset = _points.scaling(scaling["pdo"], scaling["target_score"], scaling["target_odds"])
    shares = [b.table["Count (%)"].to_numpy(dtype=float) for b in binnings]
    rule = _points.additive(means, shares, factor=factor, offset=offset, slope=slope, intercept=intercept)
    kept, rule = _points.without_unused(rule)
    predictors = [predictor(binnings[j], points, neutral) for j, (points, neutral) in zip(kept, rule)]
    unused = [b.name for j, b in enumerate(binnings) if j not in kept]
    return Card(rows.target, rows.bad, fam.name, "additive", scaling, predictors), unused


def _covered_sample(binnings, positions, shap_positions, rng, w, shap_w):
    """The SHAP sample with training applicants borrowed for the bins it barely sees, and its weights."""
    extra = []
    for j, b in enumerate(binnings):
        pos = shap_positions[:, j]
        seen = np.bincount(pos[pos >= 0], minlength=len(b.labels))
        for d in np.flatnonzero(seen < BIN_COVER):
            rows = np.flatnonzero(positions[:, j] == d)
            extra.append(rng.choice(rows, min(len(rows), BIN_COVER - int(seen[d])), replace=False))
    borrowed = np.unique(np.concatenate(extra)) if extra else np.zeros(0, dtype=int)
    sample = np.vstack([shap_positions, positions[borrowed]])
    weights = None
    if w is not None or shap_w is not None:
        weights = np.concatenate(
            [
                np.ones(len(shap_positions)) if shap_w is None else shap_w,
                np.ones(len(borrowed)) if w is None else w[borrowed],
            ]
        )
    return sample, weights


def _monotone(b, means: np.ndarray) -> np.ndarray:
    """A numerical predictor's regular bins in the direction of their WoE; missing and special bins stay."""
    if b.dtype != "numerical":
        return means
    regular = np.array([isinstance(k, int) for k in b.kinds])
    if regular.sum() < 2:
        return means
    out = means.copy()
    woe, share = b.table["WoE"].to_numpy(dtype=float), b.table["Count (%)"].to_numpy(dtype=float)
    out[regular] = _points.falling(means[regular], woe[regular], share[regular])
    return out


def cross_table(cross, X, y_bad, w=None) -> pd.DataFrame:
    """A cross's cells as a binning table: the training applicants, goods and bads of each."""
    from ._bins import woe_table

    rows = cross.place(X)[0]
    inside = rows >= 0
    weights = np.ones(len(rows)) if w is None else np.asarray(w, dtype=float)
    n = len(cross.labels)
    bad = np.bincount(rows[inside], weights=(weights * y_bad)[inside], minlength=n)
    good = np.bincount(rows[inside], weights=(weights * (1 - y_bad))[inside], minlength=n)
    return woe_table(list(cross.labels), good, bad)


def table_of(card: Card, binnings, X=None, y_bad=None, w=None) -> pd.DataFrame:
    """The card as a table: predictor, bin, share, event rate, WoE, points, neutral points and binning; a cross
    (whose cells are counted on `X`, or left blank without it) after the predictors."""
    parts = []
    by_name = {b.name: b for b in binnings}
    for p in card.predictors:
        b = by_name[p.name]
        t = b.table
        parts.append(
            pd.DataFrame(
                {
                    "predictor": b.name,
                    "bin": list(b.labels),
                    "share": t["Count (%)"].to_numpy(dtype=float),
                    "event_rate": t["Event rate"].to_numpy(dtype=float),
                    "woe": t["WoE"].to_numpy(dtype=float),
                    "points": p.points,
                    "neutral": p.neutral,
                    "binning": p.binning,
                }
            )
        )
    for c in card.crosses:
        t = cross_table(c, X, y_bad, w) if X is not None else None
        blank = np.full(len(c.labels), np.nan)
        parts.append(
            pd.DataFrame(
                {
                    "predictor": c.name,
                    "bin": list(c.labels),
                    "share": blank if t is None else t["Count (%)"].to_numpy(dtype=float),
                    "event_rate": blank if t is None else t["Event rate"].to_numpy(dtype=float),
                    "woe": blank if t is None else t["WoE"].to_numpy(dtype=float),
                    "points": c.points,
                    "neutral": c.neutral,
                    "binning": c.binning,
                }
            )
        )
    return pd.concat(parts, ignore_index=True)


def directions(card: Card, binnings) -> pd.DataFrame:
    """Per numerical predictor: the rank correlation of its regular bins' points with their WoE, and whether the
    points never fall as WoE rises."""
    rows = []
    by_name = {b.name: b for b in binnings}
    for p in card.predictors:
        b = by_name[p.name]
        if b.dtype != "numerical" or b.table is None:
            continue
        regular = [i for i, k in enumerate(b.kinds) if isinstance(k, int)]
        woe = b.table["WoE"].to_numpy(dtype=float)[regular]
        rho, follows = _points.direction(np.asarray(p.points)[regular], woe)
        rows.append({"predictor": b.name, "rank_correlation": rho, "follows_woe": follows})
    return pd.DataFrame(rows, columns=["predictor", "rank_correlation", "follows_woe"])


def make_cards(sc, fam, model, rows: Training, shap_data, shap_weight, step):
    """The cards of the estimator `sc`, the extension's files, the SHAP rows behind each card, and the predictors
    the additive card leaves out. A comparison card from fewer rows ranks worse than the same rule from all of
    them: the report says so."""
    rng = np.random.default_rng(sc.seed)
    source, source_w = shap_source(rows.X, rows.w, shap_data, shap_weight, rng, sc.shap_rows)
    step(f"SHAP values and scorecard on {len(source)} applicants")
    cards: dict[str, Any] = {}
    artifacts: dict[str, Any] = {}
    used: dict[str, int] = {}
    if fam.technique is not None:
        # The extension's card: from tree SHAP values only, and beside an additive card from fewer rows.
        X_module = one_hot(rows.binnings, source)
        if sc.points == "additive" and len(X_module) > COMPARISON_ROWS:
            X_module = X_module.iloc[np.sort(rng.choice(len(X_module), COMPARISON_ROWS, replace=False))]
        cards["module"], artifacts = module_card(model, fam, rows, X_module, scaling=sc._scaling(), resort=sc.resort)
        used["module"] = len(X_module)
    shap_positions = np.column_stack([b.positions(source[b.name]) for b in rows.binnings])
    cards["additive"], unused = additive_card(
        model, fam, rows, shap_positions, rng, scaling=sc._scaling(), monotone=sc.monotone, shap_w=source_w
    )
    used["additive"] = len(source)
    return cards, artifacts, used, unused
