"""Credit scorecards from SHAP values and each bin's Weight of Evidence.

``Scorecard`` is the estimator for notebooks and pipelines; ``Card`` is a saved card (``card.json``) that
scores, ``to_sql`` writes it as one SQL query and ``monitor`` compares live applicants with its baseline;
``build_in`` builds a card where the applicants live (DuckDB or Spark). The extension module ``quillvane``
builds the card from SHAP values, and the command-line program lives in ``tessaly.cli``. Importing this
package imports none of them, so it stays light and the extension's own import behaviour is what users see.
"""

from __future__ import annotations

import importlib
from typing import Any

__all__ = ["Card", "Scorecard", "build_in", "monitor", "quillvane", "to_sql"]

# Each public name and the module that holds it, imported on first use.
_HOMES = {
    "Card": "tessaly._card",
    "Scorecard": "tessaly._scorecard",
    "build_in": "tessaly.engines",
    "monitor": "tessaly.monitoring.command",
    "to_sql": "tessaly.sql",
}


def __getattr__(name: str) -> Any:
    if name == "quillvane":
        return importlib.import_module("tessaly.quillvane")
    if name in _HOMES:
        return getattr(importlib.import_module(_HOMES[name]), name)
    raise AttributeError(f"module 'tessaly' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
