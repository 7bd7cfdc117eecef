"""Save and rebuild: the card built again from the saved bins on the card's own split and with its build's
options, stopped at its next step when the editor stops."""

from __future__ import annotations

import json
import threading
from typing import Any

from .._progress import Progress
from . import bins as B


class Stopped(B.Refused):
    """The editor is stopping: a rebuild under way ends at its next step, and its staged card is removed."""


class Cancellable(Progress):
    """A rebuild's progress that ends the rebuild at its next step once `cancelled` is set."""

    def __init__(self, cancelled: threading.Event, inner: Progress | None):
        super().__init__(quiet=True)
        self.cancelled, self.inner = cancelled, inner or Progress(quiet=True)

    def _write(self, text: str, transient: bool) -> None:
        if self.cancelled.is_set():
            raise Stopped("the editor is stopping: the card was not rebuilt")
        self.inner._write(text, transient)


def rebuild(session, body: dict, progress) -> dict:
    """The card built again from the saved bins, on the card's own split and with its build's options."""
    split = session.card.split or {}
    ids = list(session.fine.get("ids") or [])
    # Protected columns stay in the table: the rebuild measures them.
    protected = session.params.get("protected") or []
    known = (
        set(session.entries) | set(session.unbinned) | {session.target, session.weight, split.get("column"), *protected}
    )
    options: dict[str, Any] = dict(
        target=session.target,
        params={**session.params, "bins": body},
        test_size=float(split.get("test_size", session.fine.get("test_size", 0.3))),
        drop=[c for c in session.columns if c not in known and c not in ids],
        ids=[c for c in ids if c in session.columns],
        weight=session.weight,
        test_column=split.get("column") if split.get("by") == "test column" else None,
        benchmark=benchmark(session.card_dir),
        progress=Cancellable(session.cancelled, progress),
    )
    if split.get("by") == "row hash":
        from ..engines import build_in

        return build_in(split["engine"], session.data_path, session.card_dir, table=split.get("table"), **options)
    from .._build import build

    return build(session.data_path, session.card_dir, **options)


def benchmark(card_dir) -> str:
    """The benchmark the card was built with, as its metrics name it (none where they name none)."""
    from .._params import BENCHMARK

    try:
        metrics = json.loads((card_dir / "metrics.json").read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return str(BENCHMARK.default)
    if not isinstance(metrics, dict):
        return str(BENCHMARK.default)
    bench = metrics.get("benchmark")  # absent where a build without one wrote nothing of it
    family = bench.get("family") if isinstance(bench, dict) else None
    return str(family) if family in BENCHMARK.choices else "none"
