"""Credit scorecards from SHAP values and each bin's Weight of Evidence.

The scorecard builder is the extension module ``tessaly.quillvane``; the
command-line program lives in ``tessaly.cli``. Importing this package imports
neither, so the extension's own import behaviour is what users see.
"""

__all__ = ["quillvane"]


def __getattr__(name):
    if name == "quillvane":
        import importlib

        return importlib.import_module("tessaly.quillvane")
    raise AttributeError(f"module 'tessaly' has no attribute {name!r}")
