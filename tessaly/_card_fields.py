"""The fields of a card's JSON, each checked before the card scores anyone: a predictor's bins, a cross's two
predictors and cells, the texts of reasons. A field that does not hold raises `Invalid` with what is wrong."""

from __future__ import annotations

import math
from typing import cast

from ._bins import REGULAR, UNSEEN, Bins
from ._characteristics import KINDS, Cross, Predictor

BINNINGS = ("optimal", "by hand")


class Invalid(Exception):
    pass


def need(condition, what: str) -> None:
    if not condition:
        raise Invalid(what)


def finite(x) -> bool:
    # A JSON integer may exceed any float; such a number is no usable point or split.
    return (
        isinstance(x, (int, float))
        and not isinstance(x, bool)
        and abs(x) <= 1.7976931348623157e308
        and math.isfinite(x)
    )


def predictor(d) -> Predictor:
    need(isinstance(d, dict), "a predictor is not an object")
    name = d.get("name")
    need(isinstance(name, str) and name, "a predictor has no name")
    dtype, splits, codes, bins = d.get("type"), d.get("splits"), d.get("special_codes"), d.get("bins")
    need(dtype in ("numerical", "categorical"), f"'{name}' has an unknown type")
    need(
        isinstance(splits, list) and isinstance(codes, list) and isinstance(bins, list) and bins,
        f"'{name}' lacks splits, special codes or bins",
    )
    if dtype == "numerical":
        need(
            all(finite(s) for s in splits) and all(a < b for a, b in zip(splits, splits[1:])),
            f"the splits of '{name}' are not ascending finite numbers",
        )
        need(all(finite(c) for c in codes), f"the special codes of '{name}' are not numbers")
        n_regular = len(splits) + 1
    else:
        need(
            all(isinstance(g, list) and g and all(isinstance(c, str) for c in g) for g in splits),
            f"the categories of '{name}' are not lists of text",
        )
        flat = [c for g in splits for c in g]
        need(len(set(flat)) == len(flat), f"a category of '{name}' is in two bins")
        need(all(isinstance(c, str) for c in codes), f"the special codes of '{name}' are not text")
        n_regular = len(splits)
    labels, kinds, points = [], [], []
    for b in bins:
        need(
            isinstance(b, dict) and isinstance(b.get("label"), str) and finite(b.get("points")),
            f"a bin of '{name}' lacks a label or finite points",
        )
        kind = b.get("kind")
        if kind == REGULAR:
            index = b.get("index")
            need(
                isinstance(index, int) and not isinstance(index, bool) and 0 <= index < n_regular,
                f"a bin of '{name}' has no valid index",
            )
            kinds.append(index)
        else:
            need(kind in KINDS, f"a bin of '{name}' has an unknown kind")
            kinds.append(KINDS[kind])
        labels.append(b["label"])
        points.append(float(b["points"]))
    need(len(set(labels)) == len(labels) and UNSEEN not in labels, f"bin labels of '{name}' repeat")
    need(len(set(map(str, kinds))) == len(kinds), f"'{name}' has a bin twice")
    need(
        sorted(k for k in kinds if isinstance(k, int)) == list(range(n_regular)),
        f"'{name}' lacks a bin for some of its values",
    )
    need(finite(d.get("neutral")), f"'{name}' has no finite neutral points")
    binning = d.get("binning", "optimal")
    need(binning in BINNINGS, f"'{name}' has an unknown binning origin")
    return Predictor(
        name, dtype, splits, codes, kinds, labels=labels, points=points, neutral=float(d["neutral"]), binning=binning
    )


def side(d, cross: str) -> Bins:
    """One predictor of a cross, checked as a predictor's bins are."""
    need(isinstance(d, dict) and isinstance(d.get("bins"), list), f"a predictor of the cross '{cross}' is malformed")
    bins = [
        {"label": str(i), "points": 0.0, **({"kind": REGULAR, "index": k} if isinstance(k, int) else {"kind": k})}
        for i, k in enumerate(d["bins"])
    ]
    p = predictor({**{k: d.get(k) for k in ("name", "type", "splits", "special_codes")}, "bins": bins, "neutral": 0})
    return Bins(p.name, p.dtype, p.splits, p.special_codes, p.kinds)


def cross(d, names: list[str]) -> Cross:
    need(isinstance(d, dict) and isinstance(d.get("name"), str) and d["name"], "a cross has no name")
    name = d["name"]
    raw = d.get("predictors")
    need(isinstance(raw, list) and len(raw) == 2, f"the cross '{name}' does not name two predictors")
    sides = [side(s, name) for s in cast(list, raw)]
    need(sides[0].name != sides[1].name, f"the cross '{name}' pairs a predictor with itself")
    bins = d.get("bins")
    need(isinstance(bins, list) and bins, f"the cross '{name}' has no cells")
    for b in cast(list, bins):
        need(
            isinstance(b, dict) and isinstance(b.get("label"), str) and finite(b.get("points")),
            f"a cell of '{name}' lacks a label or finite points",
        )
    labels = [b["label"] for b in cast(list, bins)]
    need(len(set(labels)) == len(labels) and UNSEEN not in labels, f"cell labels of '{name}' repeat")
    cells = d.get("cells")
    need(
        isinstance(cells, list)
        and len(cells) == len(sides[0].kinds)
        and all(
            isinstance(row, list)
            and len(row) == len(sides[1].kinds)
            and all(isinstance(c, int) and not isinstance(c, bool) and 0 <= c < len(labels) for c in row)
            for row in cells
        ),
        f"the cells of '{name}' do not cover its predictors' bins",
    )
    need(finite(d.get("neutral")), f"'{name}' has no finite neutral points")
    need(name not in names, f"'{name}' is both a predictor and a cross")
    return Cross(
        name,
        sides,
        cast(list, cells),
        labels=labels,
        points=[float(b["points"]) for b in cast(list, bins)],
        neutral=float(d["neutral"]),
    )


def reason_texts(reasons, predictors: list[Predictor | Cross]) -> bool:
    """Texts of the card's own predictors and bins, each non-empty text."""
    if not isinstance(reasons, dict):
        return False
    labels = {p.name: set(p.labels) for p in predictors}
    return all(
        name in labels
        and isinstance(entry, dict)
        and all(label in labels[name] and isinstance(t, str) and t for label, t in entry.items())
        for name, entry in reasons.items()
    )
