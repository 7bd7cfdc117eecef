"""The public face: the names `tessaly` exports, the examples in their docstrings, the README's example and the
documentation's generated pages, each kept current with the code."""

from __future__ import annotations

import doctest
import importlib.util
import io
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tessaly

ROOT = Path(__file__).resolve().parents[1]
PUBLIC = ["Card", "Scorecard", "build_in", "monitor", "quillvane", "to_sql"]


def _reference():
    spec = importlib.util.spec_from_file_location("docs_reference", ROOT / "docs" / "reference.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_public_names_are_pinned_and_importable_lazily():
    assert sorted(tessaly.__all__) == sorted(PUBLIC)
    assert all(getattr(tessaly, name) is not None for name in PUBLIC)
    assert set(PUBLIC) <= set(dir(tessaly))
    # A fresh interpreter: importing the package loads none of the heavy modules behind its names.
    loaded = subprocess.run(
        [
            sys.executable,
            "-c",
            "import sys, tessaly; print(sorted(m for m in sys.modules if m.split('.')[0] in "
            "('pandas', 'numpy', 'sklearn', 'shap') or m.startswith('tessaly.')))",
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    assert loaded == "[]"
    with pytest.raises(AttributeError, match="no attribute 'Scorcard'"):
        tessaly.Scorcard  # noqa: B018


@pytest.mark.parametrize("name", ["Scorecard", "Card", "to_sql", "monitor"])
def test_docstring_examples_run(name):
    tests = doctest.DocTestFinder(recurse=False).find(getattr(tessaly, name), name, globs={})
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report = io.StringIO()
    for test in tests:
        runner.run(test, out=report.write)
    result = runner.summarize(verbose=False)
    assert result.attempted > 3, f"{name}'s docstring has no example"
    assert result.failed == 0, report.getvalue()


@pytest.mark.parametrize("page", ["reference/cli.md", "reference/api.md", "reference/parameters.md"])
def test_the_generated_reference_pages_are_current(page):
    made = _reference().PAGES[page]()
    assert (ROOT / "docs" / page).read_text(encoding="utf-8") == made, (
        f"docs/{page} is stale: run python docs/reference.py"
    )


def test_the_readme_is_a_front_page_whose_links_resolve():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert readme.splitlines()[2:4] == ["    ./run demo", "    ./run test"]
    assert len(readme.splitlines()) <= 150
    targets = re.findall(r"\]\(([^)#]+)\)", readme)
    assert targets and [t for t in targets if not (ROOT / t).exists()] == []


def test_the_site_builds_without_a_warning(tmp_path):
    # A broken link or a stale reference is a warning, and a warning fails the build.
    run = subprocess.run(
        [sys.executable, "-P", "-m", "sphinx", "-W", "--keep-going", "-E", "-q", "-b", "html", "docs", str(tmp_path)],
        cwd=ROOT,
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stderr
