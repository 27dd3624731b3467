"""A one-line progress bar on a terminal: nothing when the stream is not one (a log file, a pipe)."""

from __future__ import annotations

import shutil
import sys
import time
from typing import TextIO


class Progress:
    """`with Progress(total, "files") as bar: ... bar.advance()` redraws at most ten times a
    second, on standard error by default, and clears its line at the end."""

    def __init__(self, total: int, unit: str, stream: TextIO | None = None) -> None:
        self.total, self.unit, self.done = total, unit, 0
        self.stream = stream if stream is not None else sys.stderr
        self.shown = self.stream.isatty() and total > 0
        self._start = self._drawn = time.monotonic()

    def __enter__(self) -> Progress:
        self._draw()
        return self

    def __exit__(self, *exc: object) -> None:
        if self.shown:
            self.stream.write("\r" + " " * self._width() + "\r")
            self.stream.flush()

    def advance(self, count: int = 1) -> None:
        self.done += count
        now = time.monotonic()
        if now - self._drawn >= 0.1 or self.done == self.total:
            self._drawn = now
            self._draw()

    def line(self) -> str:
        """The bar as text: fraction, a bar to the terminal's width, count and rate."""
        elapsed = max(time.monotonic() - self._start, 1e-9)
        tail = f" {self.done}/{self.total} {self.unit}, {self.done / elapsed:.0f}/s"
        width = max(self._width() - len(tail) - 7, 10)
        filled = width * self.done // self.total if self.total else width
        return f"{100 * self.done // max(self.total, 1):3d}% |{'#' * filled}{'.' * (width - filled)}|{tail}"

    def _width(self) -> int:
        return shutil.get_terminal_size((80, 24)).columns - 1

    def _draw(self) -> None:
        if self.shown:
            self.stream.write("\r" + self.line())
            self.stream.flush()
