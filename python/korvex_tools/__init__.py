"""Command-line tools around korvex: the quick look, the batch reader and the export to CSV and
NetCDF, with what they share: finding OPUS files, requesting every listed block, and collecting
the read reports of damaged files."""

from __future__ import annotations

import struct
import sys
import threading
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path

import korvex

__all__ = ["Block", "DEMO_FILES", "ReadReports", "find_opus_files", "is_opus_file", "kind_of", "read_blocks",
           "request_for"]

Block = tuple[str, str, str]

DEMO_DIR = Path(__file__).resolve().parent / "data"
DEMO_FILES = [DEMO_DIR / name for name in ("demo_spectrum.0", "demo_map.0", "demo_traces.0")]


def request_for(block: Block) -> Block:
    """The request for a listed block: the listing calls the third derivative "3DER", a request
    "NDER"."""
    return (block[0], block[1], "NDER") if block[2] == "3DER" else block


def kind_of(result: korvex.DataReturn) -> str:
    """"spectrum", "map cube" or "trace maps": the kind of result, by the data attribute it has."""
    if hasattr(result, "spectra"):
        return "map cube"
    if hasattr(result, "traces"):
        return "trace maps"
    return "spectrum"


def read_blocks(path: str) -> tuple[list[tuple[Block, korvex.DataReturn]], list[tuple[Block | None, str]]]:
    """Every data block of one OPUS file, and what could not be read: (block, or None for the
    file, "ExceptionName: message"). A failed block does not stop the others. A triple listed
    twice names one block, the last of its kind, so it is read once."""
    try:
        listed = korvex.listContents(path)
    except (OSError, ValueError) as error:
        return [], [(None, f"{type(error).__name__}: {error}")]
    blocks: list[tuple[Block, korvex.DataReturn]] = []
    errors: list[tuple[Block | None, str]] = []
    for block in dict.fromkeys(listed):
        try:
            blocks.append((block, korvex.getOpusData(path, request_for(block))))
        except Exception as error:  # a damaged block: note it, go on with the others
            errors.append((block, f"{type(error).__name__}: {error}"))
    return blocks, errors


def is_opus_file(path: Path | str) -> bool:
    """isOpusFile, False for a file too short to hold the magic number (korvex raises
    struct.error there, which is no ValueError) or one that cannot be opened."""
    try:
        return korvex.isOpusFile(str(path))
    except (OSError, struct.error):
        return False


def find_opus_files(inputs: Iterable[Path], recursive: bool = False) -> tuple[list[tuple[Path, Path]], int]:
    """The OPUS files among `inputs` (files, and the files of folders, of their subfolders too
    with `recursive`) as (path, path relative to the folder it was found in), in name order, and
    how many other files were skipped."""
    found: list[tuple[Path, Path]] = []
    others = 0
    for given in inputs:
        if given.is_dir():
            candidates = sorted(p for p in (given.rglob("*") if recursive else given.iterdir()) if p.is_file())
            pairs = [(p, p.relative_to(given)) for p in candidates]
        else:
            pairs = [(given, Path(given.name))]
        for path, relative in pairs:
            if is_opus_file(path):
                found.append((path, relative))
            else:
                others += 1
    return found, others


class ReadReports:
    """Collects the unraisable reports that korvex's readers give for a damaged header or table
    (one per failed read, often dozens a file), by the file each thread is reading, in place of
    the default hook that prints a traceback for each."""

    def __init__(self) -> None:
        self._current = threading.local()
        self._lock = threading.Lock()
        self._reports: dict[str, list[str]] = {}

    @contextmanager
    def installed(self) -> Iterator[ReadReports]:
        previous = sys.unraisablehook
        sys.unraisablehook = self._hook
        try:
            yield self
        finally:
            sys.unraisablehook = previous

    @contextmanager
    def reading(self, path: str) -> Iterator[None]:
        self._current.path = path
        try:
            yield
        finally:
            self._current.path = None

    def _hook(self, unraisable: sys.UnraisableHookArgs) -> None:
        path = getattr(self._current, "path", None) or "?"
        with self._lock:
            self._reports.setdefault(path, []).append(f"{type(unraisable.exc_value).__name__}: {unraisable.exc_value}")

    def summary(self, path: str) -> str | None:
        """One line for the reports of `path`, None when there were none."""
        with self._lock:
            reports = self._reports.pop(path, [])
        if not reports:
            return None
        return (f"damaged header or table: {len(reports)} reads ran past the end of the file"
                f" (first: {reports[0]})")
