"""The documentation site: Markdown pages (MyST), the API reference from the docstrings (numpydoc)."""

project = "tessaly"
author = "the tessaly developers"
copyright = "tessaly's developers"  # noqa: A001 (Sphinx's own name)

extensions = ["myst_parser", "sphinx.ext.autodoc", "numpydoc"]
source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["build"]

myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

# The classes' pages list their methods from the docstrings; numpydoc's own member tables would repeat them.
numpydoc_show_class_members = False
autodoc_member_order = "bysource"
autodoc_typehints = "signature"

html_theme = "furo"
html_title = "tessaly"
# numpydoc loads autosummary; the pages need none of its generated files.
autosummary_generate = False


def _skip_routing(app, what, name, obj, skip, options):
    # scikit-learn adds set_*_request methods to every estimator: its metadata routing, documented there.
    return True if name.startswith("set_") and name.endswith("_request") else skip


def setup(app):
    app.connect("autodoc-skip-member", _skip_routing)
