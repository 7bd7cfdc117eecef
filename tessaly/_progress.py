"""Progress lines on standard error; silent under --quiet."""

from __future__ import annotations

import sys
import time


class Progress:
    def __init__(self, quiet: bool = False, stream=None):
        self.quiet = quiet
        self.stream = stream if stream is not None else sys.stderr
        self.live = not quiet and getattr(self.stream, "isatty", lambda: False)()
        self._open = False  # a counter line that the next write overwrites
        self._start = time.monotonic()

    def _write(self, text: str, transient: bool) -> None:
        if self.quiet:
            return
        if self._open:
            self.stream.write("\r\033[K" if self.live else "")
        if transient and self.live:
            self.stream.write(text)
            self._open = True
        elif transient:
            # Off a terminal, a counter is noise: keep only its last step.
            return
        else:
            self.stream.write(text + "\n")
            self._open = False
        self.stream.flush()

    def step(self, message: str) -> None:
        self._write(f"[{time.monotonic() - self._start:6.1f}s] {message}", transient=False)

    def count(self, message: str, done: int, total: int) -> None:
        text = f"[{time.monotonic() - self._start:6.1f}s] {message} {done}/{total}"
        self._write(text, transient=done < total)
        if done >= total and self.live:
            self._open = False

    def note(self, message: str) -> None:
        self._write(message, transient=False)
