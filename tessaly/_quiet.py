"""Silence for the model libraries and shap, which talk on stdout, stderr, warnings and logging while the command
line prints its own progress.

The silence is the process's, since those libraries write to the process's streams, and threads may enter and
leave it in any order (the benchmark trains beside the card's saving; the editor refits per request): the first
in installs it, the last out restores what was there. What must never be swallowed, the command's own last line,
is written to the stream that was there before.
"""

from __future__ import annotations

import contextlib
import io
import logging
import sys
import threading
import warnings

_lock = threading.Lock()
_depth = 0
_saved: list = []  # (stdout, stderr, warnings context, shap's log level) while anyone is quiet


def _enter() -> None:
    global _depth
    with _lock:
        _depth += 1
        if _depth > 1:
            return
        logger = logging.getLogger("shap")
        context = warnings.catch_warnings()
        context.__enter__()
        warnings.simplefilter("ignore")
        _saved[:] = [sys.stdout, sys.stderr, context, logger.level]
        logger.setLevel(logging.ERROR)
        sys.stdout, sys.stderr = io.StringIO(), io.StringIO()


def _leave() -> None:
    global _depth
    with _lock:
        _depth -= 1
        if _depth:
            return
        sys.stdout, sys.stderr, context, level = _saved
        _saved.clear()
        logging.getLogger("shap").setLevel(level)
        context.__exit__(None, None, None)


@contextlib.contextmanager
def quiet():
    _enter()
    try:
        yield
    finally:
        _leave()


def stream(name: str):
    """sys.stdout or sys.stderr as it was before any silence: where the command's own lines go."""
    with _lock:
        if _saved:
            return _saved[0 if name == "stdout" else 1]
    return getattr(sys, name)
