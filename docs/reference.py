"""Writes the generated reference pages: the command line from its parser, the API from the public names, the
parameters from the estimator's table. `python docs/reference.py` rewrites them; a test keeps them current."""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
HEADER = "<!-- written by `python docs/reference.py`: edit that, not this -->\n"


def _help(parser: argparse.ArgumentParser) -> str:
    # argparse wraps at the terminal's width: a fixed one keeps the page the same on every machine.
    old = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = "102"
    try:
        return parser.format_help().rstrip()
    finally:
        if old is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = old


def cli() -> str:
    from tessaly._options import parser

    top = parser()
    sub = next(a for a in top._actions if isinstance(a, argparse._SubParsersAction))
    said = {a.dest: a.help for a in sub._choices_actions}
    parts = [HEADER, "# Command line\n", "`tessaly` (also `python -m tessaly`); every command also takes `--quiet`.\n"]
    parts += ["```text", _help(top), "```\n"]
    for name, command in sub.choices.items():
        parts += [
            f"## tessaly {name}\n",
            f"{said[name][0].upper()}{said[name][1:]}.\n",
            "```text",
            _help(command),
            "```\n",
        ]
    return "\n".join(parts)


def api() -> str:
    import inspect

    import tessaly

    parts = [
        HEADER,
        "# API\n",
        "Everything here is importable from `tessaly` itself: `from tessaly import Card, Scorecard`.\n",
    ]
    for name in sorted(tessaly.__all__, key=str.lower):
        thing = getattr(tessaly, name)
        kind = "module" if inspect.ismodule(thing) else "class" if inspect.isclass(thing) else "function"
        options = "\n   :members:" if kind != "function" else ""
        parts += [f"## `{name}`\n", "```{eval-rst}", f".. auto{kind}:: tessaly.{name}{options}", "```\n"]
    return "\n".join(parts)


def parameters() -> str:
    from tessaly._params import markdown

    return "\n".join(
        [
            HEADER,
            "# Parameters\n",
            "`Scorecard`'s parameters; the command line's `build` and `demo` take the same, with the same defaults.\n",
            "<!-- parameters -->",
            markdown(),
            "<!-- /parameters -->\n",
        ]
    )


PAGES = {"reference/cli.md": cli, "reference/api.md": api, "reference/parameters.md": parameters}


if __name__ == "__main__":
    for page, make in PAGES.items():
        (HERE / page).write_text(make(), encoding="utf-8")
        print(f"wrote docs/{page}", file=sys.stderr)
