"""One editing session of a card: the predictors' splits as a state that edits replace (so undo and redo are a
list of states), the card refitted on the training part after each edit where the applicants are at hand, and
the bins file that `build --bins` reads."""

from __future__ import annotations

import copy
import datetime as dt
import json
import threading
from pathlib import Path
from typing import Any

import numpy as np

from .. import _fine_classes
from .._card import Card
from .._errors import InputError
from . import bins as B
from . import crosses, parts
from .rebuild import rebuild as rebuild_card
from .refit import refit as refit_card

UNDO_DEPTH = 200


def _now() -> str:
    return dt.datetime.now(dt.UTC).replace(microsecond=0).isoformat().replace("+00:00", "Z")


BY_HAND = "left out by hand: "  # how the build words a predictor the bins file leaves out


def _by_hand(entry: dict) -> bool:
    return (entry.get("left_out") or "").startswith(BY_HAND)


class Session:
    def __init__(self, card_dir, data=None, *, target=None, weight=None, bins_out=None):
        self.card_dir = Path(card_dir)
        # One edit at a time (the session is one modeller's state); `cancelled` is set when the editor stops, and
        # a rebuild under way ends. A rebuild opens the session again: both are kept.
        self.lock = getattr(self, "lock", None) or threading.Lock()
        self.cancelled = getattr(self, "cancelled", None) or threading.Event()
        self.card = Card.load(self.card_dir)
        self.params = self._params()
        # The fine classes the build kept, or (with the data) those made from it: a dict once this returns.
        self.fine: Any = _fine_classes.load(self.card_dir)
        self.bins_out = None if bins_out is None else Path(bins_out)
        self.data_path = data
        self.target = target or self.card.target
        self.weight = weight if weight is not None else (self.fine or {}).get("weight")
        self.applicants: Any = None
        if data is not None:
            self._load_data(data)
        elif self.fine is None:
            where = (self.card.split or {}).get("engine")
            raise InputError(
                f"'{self.card_dir}' keeps no fine classes ({_fine_classes.FINE_FILE}"
                + (f"; it was built in {where}" if where else "")
                + "): give its development table with --data to edit it"
            )
        self.entries = {e["name"]: e for e in self.fine["predictors"] if e.get("type")}
        self.unbinned = dict(self.fine.get("unbinned", {}))
        self.counters = {}
        for name, e in self.entries.items():
            if self.applicants is None:
                self.counters[name] = B.FineCounts(e)
            else:
                a = self.applicants
                self.counters[name] = B.DataCounts(
                    e["type"],
                    e["special_codes"],
                    {
                        "train": (a["train"][name], a["y_train"], a["w_train"]),
                        "test": (a["test"][name], a["y_test"], a["w_test"]),
                    },
                )
        # "included" is the modeller's word; the card's own rules may still leave a predictor out, and say why.
        first = {
            "predictors": {
                name: {
                    "splits": copy.deepcopy(e["splits"]),
                    "included": not _by_hand(e),
                    "why_out": (e.get("left_out") or "")[len(BY_HAND) :] if _by_hand(e) else None,
                    "edits": list(e.get("edits") or []),
                }
                for name, e in self.entries.items()
            },
            "crosses": crosses.first(self.card),
        }
        self._count_cache: dict = {}
        self._positions: dict = {}
        self.states, self.at = [first], 0
        self.start_iv = {name: B.shape(e["type"], self._table(name, first))["iv"] for name, e in self.entries.items()}
        self._model = None
        self._parts = None
        self.refits: list[dict | None] = [None]  # beside each state, its refitted card: undo and redo need no refit
        self.base = None
        if self.applicants is not None:
            self.base = self._card_on_test(self.card)
            self.refits = [refit_card(self, first)]

    # -- loading -------------------------------------------------------------------------------------------------

    def _params(self) -> dict:
        from .._params import BY_NAME

        try:
            params = json.loads((self.card_dir / "params.json").read_text(encoding="utf-8"))
        except (OSError, ValueError):
            params = {}
        return {k: v for k, v in params.items() if k in BY_NAME and k != "bins"} if isinstance(params, dict) else {}

    def _load_data(self, data) -> None:
        """The development table split exactly as the build split it, or refused in one line."""
        from .._build import row_weights
        from .._checks import encode_target
        from .._tables import read_table

        split = self.card.split or {}
        if split.get("by") == "row hash":
            frame, test = parts.engine_rows(data, split)
        else:
            frame, test = (read_table(data) if isinstance(data, (str, Path)) else data), None
        if self.target not in frame.columns:
            raise InputError(f"the table has no target column '{self.target}': name it with --target")
        y_bad, _ = encode_target(frame[self.target].rename(self.target), self.card.bad)
        w = row_weights(frame, self.weight)
        missing = [p for p in self.card.columns if p not in frame.columns]
        if missing:
            raise InputError(
                f"the table lacks the card's predictor columns {', '.join(map(repr, missing))}: give the "
                "card's development table"
            )
        train_idx, test_idx = parts.same_split(self, frame, y_bad, test)
        self.columns = list(frame.columns)
        self.applicants = {
            "train": frame.iloc[train_idx].reset_index(drop=True),
            "test": frame.iloc[test_idx].reset_index(drop=True),
            "y_train": y_bad[train_idx],
            "y_test": y_bad[test_idx],
            "w_train": None if w is None else w[train_idx],
            "w_test": None if w is None else w[test_idx],
        }
        if self.fine is None:
            self.fine = self._fine_from_data()
        elif not split:
            parts.check_counts(self.fine, self.applicants)

    def _fine_from_data(self) -> dict:
        """Fine classes of the card's predictors, for a card built before the build kept them."""
        a = self.applicants
        predictors = []
        for p in self.card.predictors:
            entry = _fine_classes.predictor_classes(
                p.name,
                p.dtype,
                p.special_codes,
                p.splits,
                {
                    "train": (a["train"][p.name], a["y_train"], a["w_train"]),
                    "test": (a["test"][p.name], a["y_test"], a["w_test"]),
                },
            )
            entry.update(splits=p.splits, optimal=p.splits, binning=p.binning, left_out=None, edits=[])
            predictors.append(entry)
        return {
            "predictors": predictors,
            "penalty": None,
            "seed": int(self.params.get("seed", 42)),
            "test_size": 0.3,
            "weight": self.weight,
            "unbinned": {},
        }

    # -- state ---------------------------------------------------------------------------------------------------

    @property
    def state(self) -> dict:
        return self.states[self.at]

    def _counts(self, name: str, splits) -> dict:
        """A predictor's counts per bin, kept per splits: an edit changes one predictor, the others are looked up."""
        key = (name, json.dumps(splits))
        if key not in self._count_cache:
            if len(self._count_cache) > 4096:
                self._count_cache.clear()
            self._count_cache[key] = self.counters[name].counts(splits)
        return self._count_cache[key]

    def _table(self, name: str, state: dict) -> list[dict]:
        e, s = self.entries[name], state["predictors"][name]
        key = ("table", name, json.dumps(s["splits"]))
        if key not in self._count_cache:
            self._count_cache[key] = B.table(e["type"], s["splits"], self._counts(name, s["splits"]))
        return copy.deepcopy(self._count_cache[key])

    def _predictor(self, name) -> tuple[dict, dict]:
        if not isinstance(name, str):
            raise B.Refused("name the predictor by its name, as text")
        if name not in self.entries:
            raise B.Refused(f"{name!r} is not a predictor this card can bin")
        return self.entries[name], self.state["predictors"][name]

    def preview(self, name: str, at) -> list[dict]:
        """The bin table after a split, not applied."""
        e, s = self._predictor(name)
        new, _ = B.split(e["type"], s["splits"], at, self.counters[name])
        return B.table(e["type"], new, self._counts(name, new))

    def edit(self, op: dict) -> None:
        """Apply one edit ({"op": ..., "predictor": ..., "reason": ...}); a refusal leaves the state as it was."""
        kind = op.get("op")
        if kind == "undo":
            if self.at == 0:
                raise B.Refused("nothing to undo")
            self.at -= 1
            return
        if kind == "redo":
            if self.at == len(self.states) - 1:
                raise B.Refused("nothing to redo")
            self.at += 1
            return
        if kind == "cross":
            self._push({**self.state, "crosses": crosses.toggled(self.state.get("crosses", {}), op, _now())})
            return
        from .._params import DEFAULTS

        name = op.get("predictor")
        if not isinstance(name, str):
            raise B.Refused("the edit names no predictor")
        e, s = self._predictor(name)
        dtype, splits = e["type"], s["splits"]
        new = copy.deepcopy(s)
        if kind == "split":
            new["splits"], what = B.split(dtype, splits, op.get("at"), self.counters[name])
        elif kind == "merge":
            new["splits"], what = B.merge(dtype, splits, op.get("bins") or [])
        elif kind == "move":
            new["splits"], what = B.move(dtype, splits, op.get("category"), op.get("to"))
        elif kind == "rebin":
            trend = op.get("trend") or self.params.get("monotonic_trend", "auto")
            most = self.params.get("max_bins", DEFAULTS["max_bins"])
            max_bins = op.get("max_bins") or most
            if isinstance(max_bins, int) and max_bins > most:
                raise B.Refused(f"the card allows at most {most} bins (its max_bins): choose {most} or fewer")
            new["splits"] = self.counters[name].optimal(name, e["special_codes"], trend, max_bins)
            what = f"re-binned: trend {trend}, at most {max_bins} bins"
        elif kind == "optimal":
            new["splits"] = copy.deepcopy(e["optimal"])
            new["included"], new["why_out"] = True, None
            what = "back to the optimal bins"
        elif kind == "include":
            on = bool(op.get("on"))
            if on == s["included"]:
                raise B.Refused(f"'{name}' is already {'in' if on else 'out of'} the card")
            new["included"], new["why_out"] = on, None if on else (op.get("reason") or "left out by hand")
            what = "put in the card" if on else "left out of the card"
        else:
            raise B.Refused(f"unknown edit {kind!r}")
        if new["included"]:
            self._check_bins(name, B.table(dtype, new["splits"], self._counts(name, new["splits"])))
        reason = str(op.get("reason") or "").strip()[:1000]
        new["edits"] = [*s["edits"], {"when": _now(), "what": what, "reason": reason}]
        self._push({**self.state, "predictors": {**self.state["predictors"], name: new}})

    def _push(self, state: dict) -> None:
        refit = refit_card(self, state) if self.applicants is not None else None
        self.states = self.states[: self.at + 1][-UNDO_DEPTH:] + [state]
        self.refits = self.refits[: self.at + 1][-UNDO_DEPTH:] + [refit]
        self.at = len(self.states) - 1

    def _check_bins(self, name: str, rows: list[dict]) -> None:
        """The bins a rebuild would take: at least one, and no more than the card's max_bins (as the build
        counts them, Special and Missing included)."""
        from .._bins import MAX_BINS
        from .._params import DEFAULTS

        if not rows:
            raise B.Refused("the edit leaves no bin")
        most = int(self.params.get("max_bins", DEFAULTS["max_bins"]))
        own = sum(r["kind"] != "regular" for r in rows)
        if len(rows) > max(min(most, MAX_BINS), 1 + own):
            raise B.Refused(
                f"the edit gives '{name}' {len(rows)} bins (Special and Missing included), more than the card's "
                f"max_bins of {min(most, MAX_BINS)}: merge bins first"
            )

    @property
    def refit(self) -> dict | None:
        return self.refits[self.at]

    def _card_on_test(self, card: Card) -> np.ndarray:
        return card.total(self.applicants["test"])

    # -- what the page shows ----------------------------------------------------------------------------------------

    def view(self) -> dict:
        card_points = {p.name: dict(zip(p.labels, p.points)) for p in self.card.predictors}
        predictors = []
        for name, e in self.entries.items():
            s = self.state["predictors"][name]
            rows = self._table(name, self.state)
            if self.refit is not None and name in self.refit["points"]:
                for r, pts in zip(rows, self.refit["points"][name]):
                    r["points"] = pts
            elif name in card_points and s["splits"] == self.states[0]["predictors"][name]["splits"]:
                for r in rows:
                    r["points"] = card_points[name].get(r["label"])
            shape = B.shape(e["type"], rows)
            if not s["included"]:
                out = s["why_out"] or "left out by hand"
            elif self.refit is not None:
                out = self.refit["dropped"].get(name)
            else:  # without the data, the card's own reason holds while its bins are the card's
                out = e.get("left_out") if s["splits"] == self.states[0]["predictors"][name]["splits"] else None
            state = "left out" if out else "optimal" if s["splits"] == e["optimal"] else "by hand"
            entry = {
                "name": name,
                "type": e["type"],
                "state": state,
                "why_out": out,
                "included": s["included"],
                "bins": rows,
                "iv_change": shape["iv"] - self.start_iv[name],
                "edits": s["edits"],
                **shape,
            }
            if e["type"] == "numerical":
                lo = e["range"][0][0] if e.get("range") else None
                entry["cuts"] = [c for c in e["edges"] if c not in s["splits"]] if self.applicants is None else None
                entry["lowest"] = lo
            else:
                entry["groups"] = s["splits"]
            predictors.append(entry)
        predictors += [
            {
                "name": n,
                "type": None,
                "state": "left out",
                "why_out": why,
                "included": False,
                "bins": [],
                "iv": None,
                "iv_change": None,
                "flags": [],
                "edits": [],
            }
            for n, why in self.unbinned.items()
        ]
        return {
            "card": self.card_dir.name,
            "data": self.applicants is not None,
            "predictors": predictors,
            "crosses": crosses.view(self.card, self.state.get("crosses", {})),
            "metrics": None if self.refit is None else self.refit["metrics"],
            "penalty": None if self.refit is None else self.refit["penalty"],
            "model": self.card.model,
            "undo": self.at > 0,
            "redo": self.at < len(self.states) - 1,
            "bins_out": None if self.bins_out is None else str(self.bins_out),
            "can_rebuild": self.applicants is not None
            and self.data_path is not None
            and isinstance(self.data_path, (str, Path))
            and self.bins_out is not None,
        }

    # -- saving ----------------------------------------------------------------------------------------------------

    def bins_file(self) -> dict:
        """Every predictor the modeller touched: its splits (or that it is left out) and its edits with reasons."""
        out = {}
        for name, e in self.entries.items():
            s = self.state["predictors"][name]
            if not s["included"]:
                out[name] = {"left_out": s["why_out"] or "left out by hand", "edits": s["edits"]}
            elif s["splits"] != e["optimal"] or s["edits"] or e.get("binning") == "by hand":
                out[name] = {"splits": s["splits"], "edits": s["edits"]}
        return {**out, **crosses.left_out(self.state.get("crosses", {}))}

    def save(self, rebuild: bool = False, progress=None) -> dict:
        from .._files import atomic_path

        if self.bins_out is None:
            raise B.Refused("no bins file was named: start the editor with --out FILE to save")
        body = self.bins_file()
        with atomic_path(self.bins_out) as tmp:
            tmp.write_text(json.dumps(body, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
        result: dict[str, Any] = {"bins": str(self.bins_out.resolve())}
        if rebuild:
            if not self.view()["can_rebuild"]:
                raise B.Refused("rebuilding the card needs the development table: start the editor with --data")
            built = rebuild_card(self, body, progress)
            result.update(
                card=str(self.card_dir.resolve()), metrics={k: built["metrics"][k] for k in ("auc", "gini", "ks")}
            )
            Session.__init__(
                self, self.card_dir, self.data_path, target=self.target, weight=self.weight, bins_out=self.bins_out
            )
        return result
