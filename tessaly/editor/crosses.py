"""The crosses of a card in an editing session: each kept or left out whole (its cells are the search's, not
the modeller's); a rebuild searches the pairs again, those left out aside."""

from __future__ import annotations

from . import bins as B


def first(card) -> dict:
    """The state of the card's own crosses: all in."""
    return {c.name: {"pair": c.columns, "included": True, "why_out": None, "edits": []} for c in card.crosses}


def toggled(state: dict, op: dict, when: str) -> dict:
    """The crosses with one put back or left out ({"op": "cross", "cross": name, "on": bool, "reason": ...})."""
    name = op.get("cross")
    if not isinstance(name, str) or name not in state:
        raise B.Refused(f"the card has no cross {name!r}")
    on, was = bool(op.get("on")), state[name]
    if on == was["included"]:
        raise B.Refused(f"'{name}' is already {'in' if on else 'out of'} the card")
    reason = str(op.get("reason") or "").strip()[:1000]
    what = "put in the card" if on else "left out of the card"
    new = {
        **was,
        "included": on,
        "why_out": None if on else (reason or "left out by hand"),
        "edits": [*was["edits"], {"when": when, "what": what, "reason": reason}],
    }
    return {**state, name: new}


def view(card, state: dict) -> list[dict]:
    """What the page lists per cross: its predictors, cells with their points, and whether it is in."""
    by_name = {c.name: c for c in card.crosses}
    return [
        {
            "name": name,
            "predictors": s["pair"],
            "included": s["included"],
            "why_out": s["why_out"],
            "cells": [{"label": lab, "points": p} for lab, p in zip(by_name[name].labels, by_name[name].points)],
            "edits": s["edits"],
        }
        for name, s in state.items()
    ]


def left_out(state: dict) -> dict:
    """The bins file's entries of the crosses left out: a rebuild does not try those pairs."""
    return {
        name: {"cross": s["pair"], "left_out": s["why_out"] or "left out by hand", "edits": s["edits"]}
        for name, s in state.items()
        if not s["included"]
    }
