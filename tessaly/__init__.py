"""Credit scorecards from SHAP values and each bin's Weight of Evidence.

``Scorecard`` is the estimator for notebooks and pipelines; ``Card`` is a saved card (``card.json``) that
scores, ``to_sql`` writes it as one SQL query and ``monitor`` compares live applicants with its baseline;
``build_in`` builds a card where the applicants live (DuckDB or Spark). The extension module ``quillvane``
builds the card from SHAP values, and the command-line program lives in ``tessaly.cli``. Importing this
package imports none of them, so it stays light and the extension's own import behaviour is what users see.

The rooms, by role (arrows run downwards: a lower room never imports a higher one):

commands      cli, _options (parse and print); _build, _score, _demo (one workflow each)
estimator     _scorecard (fit is a short pipeline), _models and _linear (the families), _shap_cards (cards
              from SHAP values), _predictors (bins and selection), _persist (its directory)
binning       _binning (fitting a predictor's bins), _classing (finer classes), _pure_bins, _fine_classes
              (the classes the editor regroups)
crosses       _crosses (the search and what is kept), _cross_grid, _cross_cells
benchmark     _benchmark (the verdict), _raw_trees (trees on the raw predictors), _benchmark_process
the card      _card, _card_fields, _characteristics, _bins (a predictor's bins), _reasons, _points (pure
              points rules), _values (how a value is read), _features
judging       _assess, _metrics (pure statistics), _report, _charts, _html
rooms         monitoring/, sql/, engines/, editor/, rejects/, fairness/, document/ (each maps its own modules)
services      _params (the parameter table), _checks, _errors, _files, _tables, _writers, _signals,
              _progress, _quiet, _json
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
