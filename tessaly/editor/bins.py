"""One predictor's bins as the editor sees them: counts per bin from the fine classes or from the applicants, the
bin table, and the edits as pure functions from splits to splits (or a refusal naming what does not fit)."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from .. import _binning, _bins
from .._bins import MISSING, SPECIAL
from .._errors import InputError
from .._values import distinct

SMALL_BIN = 0.05  # a bin under this share of the applicants is flagged
UNSTABLE_PSI = 0.1  # a predictor whose bins shift more than this between training and test is flagged
TRENDS = ("auto", "ascending", "descending", "peak", "valley", "none")


class Refused(InputError):
    """An edit that does not fit the predictor or its data; the message says why."""


def n_regular(dtype: str, splits) -> int:
    return len(splits) + 1 if dtype == "numerical" else len(splits)


def labels(dtype: str, splits) -> list[str]:
    if dtype == "numerical":
        return _bins.interval_labels(splits)
    return [_bins.category_label(g) for g in splits]


class FineCounts:
    """Goods and bads per bin, summed over a predictor's fine classes: edits may only cut at their edges."""

    def __init__(self, entry: dict):
        self.entry = entry
        self.dtype = entry["type"]

    def counts(self, splits) -> dict:
        """{"train"|"test": (regular bins + special + missing) x 2 goods and bads}, and test values no bin takes."""
        e = self.entry
        k = n_regular(self.dtype, splits)
        if self.dtype == "numerical":
            lows = np.array([-np.inf, *e["edges"]])
            where = np.searchsorted(np.asarray(splits, dtype=float), lows, side="right")
        else:
            group = {c: i for i, g in enumerate(splits) for c in g}
            where = np.array([group.get(c, -1) for c in e["categories"]], dtype=np.int64)
        out = {}
        for part in ("train", "test"):
            cells = np.asarray(e[part]["classes"], dtype=float).reshape(-1, 2)
            rows = np.zeros((k + 2, 2))
            inside = where >= 0
            np.add.at(rows, where[inside], cells[inside])
            rows[k], rows[k + 1] = e[part]["special"], e[part]["missing"]
            out[part] = rows
            out[part + "_unseen"] = cells[~inside].sum(axis=0) + np.asarray(e[part]["unseen"], dtype=float)
        return out

    def check_cut(self, at: float) -> None:
        edges = self.entry["edges"]
        if at not in edges:
            near: Any = np.asarray(edges)[np.argsort(np.abs(np.asarray(edges) - at))[:2]] if edges else []
            raise Refused(
                f"{at:g} is inside a fine class; without the data the bins can be cut only between fine "
                f"classes (nearest: {', '.join(f'{v:g}' for v in sorted(near))}); open the editor with "
                "--data to cut anywhere"
            )

    def optimal(self, name: str, special_codes, trend: str, max_bins: int):
        """The search on the fine classes, each standing at its smallest value with its goods and bads as weights."""
        e = self.entry
        if self.dtype == "numerical":
            values = [r[0] for r in e["range"]]
        else:
            values = list(e["categories"])
        cells = np.asarray(e["train"]["classes"], dtype=float).reshape(-1, 2)
        x, y, w = [], [], []
        for v, (good, bad) in zip(values, cells):
            if v is None:
                continue
            for outcome, weight in ((0, good), (1, bad)):
                if weight > 0:
                    x.append(v)
                    y.append(outcome)
                    w.append(weight)
        extra = [(None, e["train"]["missing"])]
        if special_codes:
            extra.append((special_codes[0], e["train"]["special"]))
        for v, (good, bad) in extra:
            for outcome, weight in ((0, good), (1, bad)):
                if weight > 0:
                    x.append(np.nan if v is None and self.dtype == "numerical" else v)
                    y.append(outcome)
                    w.append(weight)
        column = pd.Series(x, dtype=float if self.dtype == "numerical" else object)
        return _search(name, column, np.asarray(y), np.asarray(w), special_codes, trend, max_bins)


class DataCounts:
    """Goods and bads per bin from the applicants themselves; any cut inside the values is possible."""

    def __init__(self, dtype: str, special_codes, parts: dict):
        """`parts`: {"train"|"test": (values, y, w)}."""
        self.dtype = dtype
        self.codes = list(special_codes)
        self.parts = {}
        for part, (values, y, w) in parts.items():
            values = pd.Series(values).reset_index(drop=True)
            y = np.asarray(y).astype(np.int64)
            w = np.ones(len(y)) if w is None else np.asarray(w, dtype=float)
            if (
                self.dtype == "numerical"
                and pd.api.types.is_numeric_dtype(values)
                and not pd.api.types.is_bool_dtype(values)
            ):
                self.parts[part] = ("numbers", values.to_numpy(dtype=float, na_value=np.nan), y, w)
            else:  # place each distinct value once
                codes, uniques = distinct(values)
                self.parts[part] = ("distinct", (codes, uniques), y, w)
        self._cache: dict = {}

    def rows(self, splits, part: str) -> np.ndarray:
        """Each applicant's row: regular bin, then special (k), missing (k + 1); -1 where no bin takes it."""
        key = (part, repr(splits))
        if key not in self._cache:
            k = n_regular(self.dtype, splits)
            bins = _bins.Bins("x", self.dtype, splits, self.codes, [*range(k), SPECIAL, MISSING])
            how, values, _, _ = self.parts[part]
            if how == "numbers":
                rows = bins._locate_numbers(values)[0]
            else:
                codes, uniques = values
                rows = np.append(bins._locate(uniques)[0], k + 1)[codes]
            if len(self._cache) > 8:  # a row per applicant each: keep the last few
                self._cache.clear()
            self._cache[key] = rows
        return self._cache[key]

    def counts(self, splits) -> dict:
        k = n_regular(self.dtype, splits)
        out = {}
        for part, (_, _, y, w) in self.parts.items():
            rows = self.rows(splits, part)
            inside = rows >= 0
            bad = np.bincount(rows[inside], weights=(w * y)[inside], minlength=k + 2)
            out[part] = np.column_stack([np.bincount(rows[inside], weights=w[inside], minlength=k + 2) - bad, bad])
            out[part + "_unseen"] = np.array([w[~inside & (y == 0)].sum(), w[~inside & (y == 1)].sum()])
        return out

    def check_cut(self, at: float) -> None:
        pass  # the counts of the two halves decide

    def optimal(self, name: str, special_codes, trend: str, max_bins: int):
        how, values, y, w = self.parts["train"]
        if how == "distinct":
            codes, uniques = values
            column = pd.Series(np.append(uniques.to_numpy(dtype=object), [None])[codes])
        else:
            column = pd.Series(values)
        return _search(name, column, y, w, special_codes, trend, max_bins)


def _search(name, column, y, w, special_codes, trend, max_bins):
    from .._quiet import quiet

    if trend not in TRENDS:
        raise Refused(f"unknown trend {trend!r}: choose from {', '.join(TRENDS)}")
    if not isinstance(max_bins, int) or not 2 <= max_bins <= _bins.MAX_BINS:
        raise Refused(f"the number of bins must be a whole number from 2 to {_bins.MAX_BINS}")
    try:
        with quiet():
            b = _binning.fit_predictor(
                name,
                column,
                y,
                monotonic_trend=trend,
                special_codes=special_codes or None,
                max_bins=max_bins,
                sample_weight=w,
            )
    except _binning.LeftOut as e:
        raise Refused(f"'{name}' cannot be binned: it {e}") from None
    return b.splits


def table(dtype: str, splits, counts: dict) -> list[dict]:
    """The bin table: the regular bins, then Special and Missing where the training part has them."""
    k = n_regular(dtype, splits)
    names = labels(dtype, splits) + [SPECIAL, MISSING]
    kinds = [*range(k), SPECIAL, MISSING]
    train, test = counts["train"], counts["test"]
    keep = [i for i in range(k + 2) if i < k or train[i].sum() > 0]
    t = _bins.woe_table([names[i] for i in keep], train[keep, 0], train[keep, 1])
    n_train, n_test = max(train[keep].sum(), 1e-12), max(test.sum() + counts["test_unseen"].sum(), 1e-12)
    iv_total = float(t["IV"].sum())
    rows = []
    for j, i in enumerate(keep):
        share, test_share = float(train[i].sum() / n_train), float(test[i].sum() / n_test)
        # PSI with half an applicant in an empty cell, as the WoE of an empty cell.
        e = max(train[i].sum(), 0.5) / n_train
        a = max(test[i].sum(), 0.5) / n_test
        rows.append(
            {
                "label": names[i],
                "kind": kinds[i] if isinstance(kinds[i], str) else "regular",
                "index": kinds[i] if not isinstance(kinds[i], str) else None,
                "count": float(train[i].sum()),
                "bad": float(train[i, 1]),
                "event_rate": float(t["Event rate"].iloc[j]),
                "woe": float(t["WoE"].iloc[j]),
                "iv": float(t["IV"].iloc[j]),
                "iv_share": float(t["IV"].iloc[j] / iv_total) if iv_total else 0.0,
                "share": share,
                "test_share": test_share,
                "test_event_rate": float(test[i, 1] / test[i].sum()) if test[i].sum() else None,
                "psi": float((a - e) * np.log(a / e)),
            }
        )
    return rows


def shape(dtype: str, rows: list[dict]) -> dict:
    """IV, the direction of the event rate across the regular bins, whether it is monotone, and the flags."""
    regular = [r["event_rate"] for r in rows if r["kind"] == "regular"]
    steps = np.diff(regular)
    monotone = bool((steps >= 0).all() or (steps <= 0).all())
    direction = (
        "rising"
        if regular and regular[-1] > regular[0]
        else "falling"
        if regular and regular[-1] < regular[0]
        else "flat"
    )
    if dtype != "numerical":
        monotone, direction = True, "by category"
    psi = float(sum(r["psi"] for r in rows))
    flags = []
    if not monotone:
        flags.append("not monotone")
    if psi > UNSTABLE_PSI:
        flags.append("unstable")
    if any(r["share"] < SMALL_BIN for r in rows):
        flags.append("small bin")
    return {
        "iv": float(sum(r["iv"] for r in rows)),
        "direction": direction,
        "monotone": monotone,
        "psi": psi,
        "flags": flags,
    }


# -- edits: pure, from splits to splits --------------------------------------------------------------------------


def split(dtype: str, splits, at, counter) -> tuple[list, str]:
    if dtype != "numerical":
        raise Refused("a categorical predictor is split by moving categories to a new group")
    if isinstance(at, bool):
        raise Refused(f"the split point must be a number, not {at!r}")
    try:
        at = float(at)
    except (TypeError, ValueError, OverflowError):
        raise Refused(f"the split point must be a number, not {at!r}") from None
    if not np.isfinite(at):
        raise Refused("the split point must be a finite number")
    if at in splits:
        raise Refused(f"{at:g} is already a split point")
    counter.check_cut(at)
    new = sorted([*splits, at])
    i = new.index(at)
    counts = counter.counts(new)["train"]
    if counts[i].sum() <= 0 or counts[i + 1].sum() <= 0:
        raise Refused(
            f"a split at {at:g} leaves a bin without training applicants: choose a value inside the bin's values"
        )
    old = labels(dtype, splits)[i]
    return new, f"split {old} at {at:g}"


def merge(dtype: str, splits, bins) -> tuple[list, str]:
    k = n_regular(dtype, splits)
    if not isinstance(bins, list) or not all(isinstance(b, int) and not isinstance(b, bool) for b in bins):
        raise Refused("bins to merge are given as a list of their indices")
    chosen = sorted(set(bins))
    if len(chosen) < 2 or chosen[0] < 0 or chosen[-1] >= k:
        raise Refused("choose two or more regular bins to merge (missing and special values keep their own bins)")
    names = labels(dtype, splits)
    what = "merged " + " + ".join(names[i] for i in chosen)
    if dtype == "numerical":
        if chosen != list(range(chosen[0], chosen[-1] + 1)):
            raise Refused("only neighbouring bins of a numerical predictor can be merged")
        return [s for j, s in enumerate(splits) if not chosen[0] <= j < chosen[-1]], what
    merged = [c for i in chosen for c in splits[i]]
    out = [g for i, g in enumerate(splits) if i not in chosen]
    out.insert(chosen[0], merged)
    return [list(g) for g in out], what


def move(dtype: str, splits, category, to) -> tuple[list, str]:
    if dtype != "categorical":
        raise Refused("only categories move between groups; a numerical predictor is split or merged")
    source = next((i for i, g in enumerate(splits) if category in g), None)
    if source is None:
        raise Refused(f"{category!r} is not a category of this predictor")
    new = [list(g) for g in splits]
    if to == "new":
        if len(new[source]) == 1:
            raise Refused(f"{category!r} is already a group of its own")
        new[source].remove(category)
        new.append([category])
        return new, f"moved {category!r} to a group of its own"
    try:
        if isinstance(to, (bool, float)):
            raise TypeError
        to = int(to)
    except (TypeError, ValueError, OverflowError):
        raise Refused("the group to move to is given by its index, or 'new'") from None
    if not 0 <= to < len(new) or to == source:
        raise Refused("choose another existing group, or a new one")
    target = _bins.category_label(new[to])
    new[to].append(category)
    new[source].remove(category)
    return [g for g in new if g], f"moved {category!r} to {target}"
