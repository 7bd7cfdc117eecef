"""The package's shape: imports point one way (function-level ones counted), modules and functions stay small."""

import ast
from pathlib import Path

import pytest

import tessaly

PACKAGE = Path(tessaly.__file__).parent
SOURCES = sorted(p for p in PACKAGE.rglob("*.py"))
MAX_MODULE_LINES, MAX_FUNCTION_LINES = 450, 80
# Modules allowed past the limits while a rework splits them.
OVERSIZED: set[str] = set()


def _module(path: Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _imports(path: Path, known: set[str]) -> set[str]:
    """The package's modules that `path` imports anywhere in it, relative imports resolved."""
    here = _module(path)
    package = here if path.name == "__init__.py" else here.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            found.update(a.name for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = package
            for _ in range(node.level - 1):
                base = base.rpartition(".")[0]
            base = f"{base}.{node.module}" if node.level and node.module else (base if node.level else node.module)
            # `from . import _x` names a module; `from ._x import y` names a module's contents.
            modules = {f"{base}.{a.name}" for a in node.names} & known
            found.update(modules or {base})
    return {m for m in found if m in known and m != here}


def _graph() -> dict[str, set[str]]:
    known = {_module(p) for p in SOURCES}
    return {_module(p): _imports(p, known) for p in SOURCES}


def _cycle(graph: dict[str, set[str]]) -> list[str] | None:
    state: dict[str, int] = {}
    path: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for nxt in sorted(graph[node]):
            if state.get(nxt) == 1:
                return path[path.index(nxt) :] + [nxt]
            if nxt not in state and (found := visit(nxt)):
                return found
        state[node] = 2
        path.pop()
        return None

    for node in sorted(graph):
        if node not in state and (found := visit(node)):
            return found
    return None


@pytest.mark.parametrize(
    "graph, cyclic",
    [
        ({"a": {"b"}, "b": {"c"}, "c": set()}, False),
        ({"a": {"b"}, "b": {"c"}, "c": {"a"}}, True),
        ({"a": {"a.b"}, "a.b": {"c"}, "c": {"a.b"}}, True),
    ],
)
def test_cycle_finder(graph, cyclic):
    assert (_cycle(graph) is not None) == cyclic


def test_no_import_cycle_counting_function_level_imports():
    graph = _graph()
    assert "tessaly._scorecard" in graph and "tessaly.sql.scoring" in graph["tessaly.sql"]
    assert _cycle(graph) is None, " -> ".join(_cycle(graph))


def _reach(graph: dict[str, set[str]], start: str) -> set[str]:
    seen, todo = set(), [start]
    while todo:
        for nxt in graph[todo.pop()] - seen:
            seen.add(nxt)
            todo.append(nxt)
    return seen


# Arrows run downwards: the card knows no estimator, command or page; files and tables know no card.
@pytest.mark.parametrize(
    "low, high",
    [
        ("_card", {"_scorecard", "cli", "_build", "_report", "sql", "_binning"}),
        ("_bins", {"_binning", "_card", "_scorecard", "_models"}),
        ("_binning", {"_card", "_scorecard", "_models"}),
        ("_points", {"_card", "_binning", "_scorecard"}),
        ("_files", {"_card", "_binning", "_tables"}),
        ("_tables", {"_card", "_binning"}),
        ("_checks", {"_card", "_binning", "_scorecard"}),
        ("sql", {"_scorecard", "cli", "_report"}),
        # Monitoring reads the card; the statistics read nothing of tessaly's above them.
        ("monitoring.figures", {"_scorecard", "cli", "_build", "_report", "editor.server", "engines._build"}),
        ("monitoring.baseline", {"_scorecard", "cli", "_build", "_report", "monitoring.command"}),
        ("monitoring.statistics", {"_card", "_scorecard", "cli", "_report", "sql", "monitoring.figures"}),
        ("_metrics", {"_card", "_scorecard", "cli", "_report", "_assess", "monitoring.figures"}),
        ("_points", {"_card", "_models", "_assess", "_scorecard"}),
    ],
)
def test_lower_rooms_never_reach_higher_ones(low, high):
    reached = {m.removeprefix("tessaly.") for m in _reach(_graph(), f"tessaly.{low}")}
    assert not reached & high


@pytest.mark.parametrize(
    "path", [p for p in SOURCES if p.name not in OVERSIZED], ids=lambda p: str(p.relative_to(PACKAGE))
)
def test_modules_and_functions_stay_small(path):
    text = path.read_text(encoding="utf-8")
    assert len(text.splitlines()) <= MAX_MODULE_LINES
    long = [
        (f.name, f.end_lineno - f.lineno + 1)
        for f in ast.walk(ast.parse(text))
        if isinstance(f, (ast.FunctionDef, ast.AsyncFunctionDef)) and f.end_lineno - f.lineno >= MAX_FUNCTION_LINES
    ]
    assert not long
