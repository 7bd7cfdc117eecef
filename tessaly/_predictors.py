"""Each predictor's bins, and the predictors a card keeps: enough information value, a split that separates
good from bad, and no strong correlation with a stronger one."""

from __future__ import annotations

import numpy as np

from . import _binning
from ._errors import InputError
from ._models import PARALLEL_ROWS
from ._quiet import quiet


def bin_all(X, y_bad, w, progress, *, monotonic_trend, special_codes, max_bins, bins) -> tuple[list, dict, dict]:
    """Each predictor's bins, the predictors that cannot have any with the reason, and for each predictor set or
    left out by hand the bins the search would have made (for the report and the editor); large tables on two
    threads, since the solvers release the interpreter. `bins`: as `_binning.hand_bins` reads them."""
    from concurrent.futures import ThreadPoolExecutor

    hand, left_out, _ = _binning.hand_bins(bins)
    optimal: dict = {}

    def fit(p, splits=None):
        return _binning.fit_predictor(
            p,
            X[p],
            y_bad,
            monotonic_trend=monotonic_trend,
            special_codes=special_codes,
            max_bins=max_bins,
            sample_weight=w,
            splits=splits,
        )

    def one(p):
        try:
            if p in left_out:  # its bins are kept for the editor, which may put it back
                optimal[p] = fit(p)
                return f"left out by hand: {left_out[p]}"
            if p not in hand:
                return fit(p)
            b = fit(p, hand[p])
            optimal[p] = fit(p)
            return b
        except _binning.LeftOut as e:
            return str(e)

    names = list(X.columns)
    binnings, dropped = [], {}
    with quiet(), ThreadPoolExecutor(1 if len(X) < PARALLEL_ROWS else 2) as pool:
        for i, (name, b) in enumerate(zip(names, pool.map(one, names))):
            if progress:
                progress.count("binning predictors", i, len(names))
            if isinstance(b, str):
                dropped[name] = b
            else:
                binnings.append(b)
    if progress:
        progress.count("binning predictors", len(names), len(names))
    return binnings, dropped, optimal


def select(binnings, X, dropped: dict, w=None, *, min_iv=None, max_corr=None) -> list:
    """Drop weak predictors, one-sided ones, and the weaker of each highly correlated pair (reasons in `dropped`)."""
    iv = {b.name: float(b.table["IV"].sum()) for b in binnings}
    kept = []
    for b in binnings:
        if min_iv is not None and iv[b.name] < min_iv:
            dropped[b.name] = f"information value {iv[b.name]:.4f} below {min_iv:g}"
        elif (b.table["WoE"] < 0).all() or (b.table["WoE"] >= 0).all():
            # Every bin on one side of WoE 0: the module card scales it to a common magnitude as noise.
            dropped[b.name] = "no split separates good from bad"
        else:
            kept.append(b)
    if max_corr is not None and len(kept) > 1:
        kept = _uncorrelated(kept, X, dropped, w, iv, max_corr)
    if not kept:
        raise InputError(
            "no predictor separates good from bad applicants; the reasons: "
            + "; ".join(f"'{k}' {v}" for k, v in list(dropped.items())[:5])
        )
    return kept


def _uncorrelated(kept, X, dropped: dict, w, iv: dict, max_corr: float) -> list:
    """The predictors by information value, each kept unless its WoE correlates beyond `max_corr` with one kept."""
    woe = np.column_stack([np.append(b.table["WoE"].to_numpy(dtype=float), 0.0)[b.positions(X[b.name])] for b in kept])
    if w is None:
        corr = np.nan_to_num(np.corrcoef(woe, rowvar=False))
    else:
        cov = np.cov(woe, rowvar=False, aweights=w)
        sd = np.sqrt(np.diag(cov))
        with np.errstate(invalid="ignore", divide="ignore"):
            corr = np.nan_to_num(cov / np.outer(sd, sd))
    order = sorted(range(len(kept)), key=lambda j: -iv[kept[j].name])
    chosen: list[int] = []
    for j in order:
        partner = next((c for c in chosen if abs(corr[j, c]) > max_corr), None)
        if partner is None:
            chosen.append(j)
        else:
            dropped[kept[j].name] = (
                f"WoE correlates {corr[j, partner]:.2f} with '{kept[partner].name}', which has more information value"
            )
    return [kept[j] for j in sorted(chosen)]
