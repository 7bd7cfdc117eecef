"""Credit scorecards from SHAP values and each bin's Weight of Evidence.

``tessaly.Scorecard`` is the estimator for notebooks and pipelines, ``tessaly.build_in`` builds a card
where the applicants live (DuckDB or Spark); the
extension module ``tessaly.quillvane`` builds the card from SHAP values; the
command-line program lives in ``tessaly.cli``. Importing this package imports
none of them, so it stays light and the extension's own import behaviour is
what users see.
"""

__all__ = ["Scorecard", "build_in", "quillvane"]


def __getattr__(name):
    import importlib

    if name == "quillvane":
        return importlib.import_module("tessaly.quillvane")
    if name == "Scorecard":
        return importlib.import_module("tessaly._scorecard").Scorecard
    if name == "build_in":
        return importlib.import_module("tessaly.engines").build_in
    raise AttributeError(f"module 'tessaly' has no attribute {name!r}")
