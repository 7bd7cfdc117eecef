"""A structure the cross search found, as a card's cross: each predictor's bins, the cell of every pair of them,
and the cells' labels in words ("age below 31 and utilisation at least 0.82")."""

from __future__ import annotations

from ._bins import MISSING, SPECIAL, Bins
from ._card import Cross
from ._cross_grid import Grid, cell_table


def _number(x: float) -> str:
    return f"{x:.6g}"


def _side_label(g: Grid, cut: int, upper: bool, other: bool) -> str:
    """The words of one side of a cut: 'age below 31', 'age at least 31 or missing', 'housing rent or free'."""
    if g.dtype == "numerical":
        text = f"{g.name} {'at least' if upper else 'below'} {_number(g.cuts[cut - 1])}"
    else:
        groups = g.cuts[cut:] if upper else g.cuts[:cut]
        cats = [c for group in groups for c in group]
        shown = ", ".join(cats[:4]) + (f" and {len(cats) - 4} more" if len(cats) > 4 else "")
        text = f"{g.name} {shown}"
    if other and (g.has_missing or g.has_special):
        text += " or " + " or ".join(w for w, has in (("missing", g.has_missing), ("special", g.has_special)) if has)
    return text


def _side_bins(g: Grid, cuts: list[int]) -> Bins:
    """The bins of one predictor of a cross: the cuts the structure uses, then missing and special."""
    cuts = sorted(set(c for c in cuts if c))
    if g.dtype == "numerical":
        splits: list = [g.cuts[c - 1] for c in cuts]
        n_regular = len(splits) + 1
    else:
        edges = [0, *cuts, len(g.cuts)]
        splits = [[c for group in g.cuts[lo:hi] for c in group] for lo, hi in zip(edges, edges[1:])]
        n_regular = len(splits)
    kinds: list = list(range(n_regular)) + [MISSING] * g.has_missing + [SPECIAL] * g.has_special
    return Bins(g.name, g.dtype, splits, list(g.special_codes) if g.has_special else [], kinds)


def characteristic(a: Grid, b: Grid, structure, points, neutral) -> Cross:
    """The cross of a structure: its two predictors' bins, each pair of bins' cell, the cells' labels and points."""
    transposed, cut, left_other, left, right = structure
    first, second = (b, a) if transposed else (a, b)
    fb, sb = _side_bins(first, [cut]), _side_bins(second, [left[0], right[0]])
    inner_cuts = sorted(set(c for c in (left[0], right[0]) if c))

    def code_of(g: Grid, bins: Bins, used: list[int]) -> list[int]:
        """Each bin's code on the grid (the first code it covers)."""
        out = []
        for kind in bins.kinds:
            out.append(g.k if kind in (MISSING, SPECIAL) else ([0, *used][int(kind)]))
        return out

    cells = cell_table((False, cut, left_other, left, right), first.k, second.k)
    matrix = [[int(cells[i, j]) for j in code_of(second, sb, inner_cuts)] for i in code_of(first, fb, [cut])]
    labels = []
    for side, (cut2, other_left) in enumerate((left, right)):
        head = _side_label(first, cut, bool(side), other=left_other != bool(side))
        if not cut2:
            labels.append(head)
            continue
        for upper in (False, True):
            labels.append(f"{head} and {_side_label(second, cut2, upper, other=other_left != upper)}")
    # The cells in use, numbered as the labels run.
    names = {0: 0, 1: 1, 2: 2, 3: 3}
    if not left[0]:
        names = {0: 0, 2: 1, 3: 2}
    elif not right[0]:
        names = {0: 0, 1: 1, 2: 2}
    matrix = [[names[c] for c in row] for row in matrix]
    return Cross(
        f"{first.name} x {second.name}",
        [fb, sb],
        matrix,
        labels=labels,
        points=[float(points[c]) for c in names],  # names run in the order of their cells
        neutral=float(neutral),
    )
