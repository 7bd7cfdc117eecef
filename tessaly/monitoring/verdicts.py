"""Verdicts: every check of a run (one row each: the score's PSI, each predictor's PSI, unseen and missing shares,
the AUC, the calibration) judged in every scope (the whole window, then each period), and the alerts and the
matrix they make.

A check's scopes form one family: their p-values are adjusted together by Holm's method, so a healthy check
turns amber in any of its scopes with a chance of at most 5% and red of at most 1%. A check with a size (a
stability index, a rise in a share) must also reach its threshold: significance alone would flag every tiny
shift of a large portfolio, size alone every chance shift of a small one. A scope with too few applicants
(or outcomes) to judge says "too few" and counts for nothing.
"""

from __future__ import annotations

import functools
import operator
from collections.abc import Callable

from . import statistics as stats

WHOLE = "all"  # the scope of the whole window, in the matrix and the alerts


def _at(*keys: str) -> Callable[[dict], dict]:
    """The check's dict under `keys` of a scope's section."""
    return lambda section: functools.reduce(operator.getitem, keys, section)


def _checks(card, outcomes: bool) -> list[tuple[str, str, Callable[[dict], dict]]]:
    """(label, kind, the check's dict within a scope's section) per row of the matrix."""
    rows = [("score PSI", "psi", _at("score"))]
    for name in card.names:
        rows += [
            (f"{name} PSI", "psi", _at("predictors", name)),
            (f"{name} unseen share", "share", _at("predictors", name, "unseen")),
            (f"{name} missing share", "share", _at("predictors", name, "missing")),
        ]
    if outcomes:
        rows += [("AUC", "auc", _at("performance")), ("calibration", "calibration", _at("calibration"))]
    return rows


def _too_few(kind: str, section: dict) -> bool:
    if kind in ("auc", "calibration"):
        perf = section["performance"]
        return min(perf["goods"], perf["bad"]) < stats.FEWEST_OUTCOMES
    return section["applicants"] < stats.FEWEST_APPLICANTS


def _size(kind: str, cell: dict):
    """The check's size against its thresholds (None for pure tests), and those thresholds."""
    if kind == "psi":
        return cell["psi"], stats.PSI_SHIFT
    if kind == "share":
        return cell["share"] - (cell["baseline_share"] or 0.0), stats.SHARE_RISE
    return None, None


def _value(kind: str, cell: dict):
    return {
        "psi": cell.get("psi"),
        "share": cell.get("share"),
        "auc": cell.get("auc"),
        "calibration": cell.get("bad_ratio"),
    }[kind]


def _threshold(kind: str, verdict: str, cell: dict) -> str:
    """What the value passed, in the words of the alert line."""
    level = stats.VERDICTS.index(verdict) - 1
    p = f"p < {stats.P_LEVELS[level]:g} after Holm over the scopes"
    if kind == "psi":
        return f"PSI >= {stats.PSI_SHIFT[level]:g} and {p}"
    if kind == "share":
        base = cell["baseline_share"] or 0.0
        return f"{stats.SHARE_RISE[level]:.0%} above the development share {base:.2%} and {p}"
    if kind == "auc":
        return f"below the development AUC {cell['auc_development']:.4f}, {p}"
    return f"bad rates per band unlike development's, {p}"


def _judge_row(label: str, kind: str, get, scopes: list) -> tuple[dict, list]:
    """The verdict of one check in every scope, written into its dicts; its matrix row and alerts."""
    cells: dict[str, dict | None] = {}
    tested: list[str] = []
    for scope, section in scopes:
        cell = None if section.get("empty") else get(section)
        cells[scope] = cell
        if cell is not None and _too_few(kind, section):
            cell["verdict"] = stats.TOO_FEW
        elif cell is not None:
            tested.append(scope)
    # Only the scopes with a cell were tested.
    judged = {s: c for s, c in cells.items() if c is not None}
    adjusted = stats.holm([judged[s]["p_value"] for s in tested])
    row_cells: dict[str, dict | None] = {}
    row, alerts = {"check": label, "kind": kind, "cells": row_cells}, []
    for scope, p in zip(tested, adjusted):
        cell = judged[scope]
        size, thresholds = _size(kind, cell)
        cell["p_adjusted"] = p
        # No p-value: nothing could differ (one bin, one score); no sign of change.
        cell["verdict"] = stats.GREEN if p is None else stats.verdict(p, size, thresholds)
        if cell["verdict"] != stats.GREEN:
            alerts.append(
                {
                    "scope": scope,
                    "check": label,
                    "value": _value(kind, cell),
                    "threshold": _threshold(kind, cell["verdict"], cell),
                    "verdict": cell["verdict"],
                }
            )
    for scope, cell in cells.items():
        row_cells[scope] = (
            None
            if cell is None
            else {"value": _value(kind, cell), "verdict": cell["verdict"], "p_adjusted": cell.get("p_adjusted")}
        )
    return row, alerts


def judge(result: dict, card) -> None:
    """Verdicts into `result` (monitor.json's figures, every scope measured): per check and scope, the
    matrix ("checks"), the amber and red ones ("alerts"), the worst ("verdict") and the checks that set it."""
    scopes = [(WHOLE, result), *result["periods"].items()]
    matrix, alerts = [], []
    for label, kind, get in _checks(card, "performance" in result):
        row, found = _judge_row(label, kind, get, scopes)
        matrix.append(row)
        alerts += found
    verdict = stats.worst(a["verdict"] for a in alerts) or stats.GREEN
    result["checks"] = matrix
    result["alerts"] = alerts
    result["verdict"] = verdict
    result["worst"] = {
        "verdict": verdict,
        "checks": list(dict.fromkeys(a["check"] for a in alerts if a["verdict"] == verdict)),
    }
    result["thresholds"] = {
        "psi": list(stats.PSI_SHIFT),
        "p": list(stats.P_LEVELS),
        "share_rise": list(stats.SHARE_RISE),
        "adjustment": "holm over each check's scopes",
        "fewest_applicants": stats.FEWEST_APPLICANTS,
        "fewest_outcomes": stats.FEWEST_OUTCOMES,
    }
