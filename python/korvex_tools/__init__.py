"""Command-line tools around korvex: the quick look, the batch reader and the export to CSV and
NetCDF, with what they share: finding OPUS files, requesting every listed block, and collecting
the read reports of damaged files."""

from __future__ import annotations

import os
import re
import struct
import sys
import tempfile
import threading
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path

import korvex

__all__ = ["Block", "DEMO_FILES", "ReadError", "ReadReports", "describe_error", "find_opus_files",
           "interrupted_copy", "is_opus_file", "kind_of", "read_block", "read_blocks", "request_for",
           "unwritable_folder"]

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


def listing_text(listed: Iterable[Block]) -> str:
    """A file's listing as text: "AB 2D NONE, SSC 2D NONE", or "no data blocks"."""
    return ", ".join(" ".join(block) for block in dict.fromkeys(listed)) or "no data blocks"


def describe_error(error: BaseException, listed: Iterable[Block] | None = None) -> str:
    """"ExceptionName: message" of a failed read; when the requested block is not in the file and
    its listing is known, what the file holds instead."""
    text = f"{type(error).__name__}: {error}"
    if listed is not None and isinstance(error, ValueError) and "data block exists in the file for" in str(error):
        text += f" (the file holds: {listing_text(listed)})"
    return text


class ReadError(Exception):
    """A block that could not be read, with the file it was read from: `path`, the `block`
    requested, the file's `listing` where it could be listed (else None), and, as __cause__, the
    error korvex raised (none for an interrupted copy, which is not read)."""

    def __init__(self, path: str, block: Block, error: BaseException, listing: list[Block] | None) -> None:
        self.path, self.block, self.listing = path, block, listing
        super().__init__(f"{path}: {describe_error(error, listing)}")


def read_block(path: os.PathLike[str] | str, block: Block) -> korvex.DataReturn:
    """korvex.getOpusData(path, block) for a block as listed ("3DER" included), with an error that
    names the file: a ReadError saying which file failed and why (an interrupted copy, cut inside
    its header, is not read), and, when the block is not in it, what the file holds instead."""
    name = os.fspath(path)
    cut = interrupted_copy(name)
    if cut:
        raise ReadError(name, block, ValueError(cut), None)
    try:
        return korvex.getOpusData(name, request_for(block))
    except Exception as error:
        try:
            listing: list[Block] | None = korvex.listContents(name)
        except Exception:  # the file cannot be listed either: the first error says why
            listing = None
        raise ReadError(name, block, error, listing) from error


def read_blocks(path: str) -> tuple[list[tuple[Block, korvex.DataReturn]], list[tuple[Block | None, str]]]:
    """Every data block of one OPUS file, and what could not be read: (block, or None for the
    file, "ExceptionName: message"). A failed block does not stop the others. A triple listed
    twice names one block, the last of its kind, so it is read once. A file cut inside its
    header (an interrupted copy) is a failure without being read; the reads that run past the end
    of a damaged file are a failure too, summed up in one line."""
    cut = interrupted_copy(path)
    if cut:
        return [], [(None, cut)]
    blocks: list[tuple[Block, korvex.DataReturn]] = []
    errors: list[tuple[Block | None, str]] = []
    with READ_REPORTS.reading(path):
        try:
            listed = korvex.listContents(path)
        except (OSError, ValueError) as error:
            listed = []
            errors.append((None, describe_error(error)))
        for block in dict.fromkeys(listed):
            try:
                blocks.append((block, korvex.getOpusData(path, request_for(block))))
            except Exception as error:  # a damaged block: note it, go on with the others
                errors.append((block, describe_error(error, listed)))
    damage = READ_REPORTS.summary(path)
    if damage:
        errors.append((None, damage))
    return blocks, errors


MAGIC = b"\x0a\x0a\xfe\xfe"
HEADER_SIZE = 24  # the magic, the version and three counts
OPUS_NAME = re.compile(r"\.[0-9]+\Z")  # instruments number their files sample.0, sample.1 ... sample.001


def looks_like_opus_name(path: Path | str) -> bool:
    """Whether the name ends in a numeric extension, as the names of OPUS files do."""
    return OPUS_NAME.search(Path(path).name) is not None


def interrupted_copy(path: Path | str) -> str | None:
    """Why a file is an OPUS file cut inside its 24-byte header, as an interrupted copy leaves it,
    or None. That is a file shorter than the header that begins with the magic number, or, when
    its name looks like an OPUS file's (a numeric extension), one too short to hold the whole
    magic number that begins with as much of it as it holds: an empty file too."""
    try:
        size = os.stat(path).st_size
        if size >= HEADER_SIZE:
            return None
        with open(path, "rb") as file:
            start = file.read(len(MAGIC))
    except OSError:  # reading it will say why
        return None
    if start != MAGIC and not (len(start) < len(MAGIC) and MAGIC.startswith(start) and looks_like_opus_name(path)):
        return None
    if size == 0:
        return "empty file (0 bytes): an interrupted copy?"
    return f"cut short at {size} bytes, inside the {HEADER_SIZE}-byte header of an OPUS file: an interrupted copy?"


def unwritable_folder(folder: Path) -> str | None:
    """Why files cannot be written into `folder`, or None when they can: the folder is made when
    missing, and a file is written there and removed (permissions alone do not tell, for the
    superuser or on a read-only mount)."""
    try:
        folder.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        return f"cannot write into {folder}: {type(error).__name__}: {error}"
    return None


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
    how many other files were skipped. Interrupted copies count as OPUS files, so that reading
    them reports them."""
    found: list[tuple[Path, Path]] = []
    others = 0
    for given in inputs:
        if given.is_dir():
            candidates = sorted(p for p in (given.rglob("*") if recursive else given.iterdir()) if p.is_file())
            pairs = [(p, p.relative_to(given)) for p in candidates]
        else:
            pairs = [(given, Path(given.name))]
        for path, relative in pairs:
            if is_opus_file(path) or interrupted_copy(path):
                found.append((path, relative))
            else:
                others += 1
    return found, others


class ReadReports:
    """Collects the unraisable reports that korvex's readers give for a damaged header or table
    (one per failed read, often dozens a file), by the file each thread is reading, in place of
    the default hook that prints a traceback for each. The hook is in place while any thread
    reads through `reading` (threads of a pool, or the tasks of a Dask worker), and hands the
    reports of other threads to the hook it replaced."""

    def __init__(self) -> None:
        self._current = threading.local()
        self._lock = threading.Lock()
        self._reports: dict[str, list[str]] = {}
        self._readers = 0
        self._previous = sys.unraisablehook

    @contextmanager
    def reading(self, path: str) -> Iterator[None]:
        with self._lock:
            if self._readers == 0:
                self._previous = sys.unraisablehook
                sys.unraisablehook = self._hook
            self._readers += 1
        self._current.path = path
        try:
            yield
        finally:
            self._current.path = None
            with self._lock:
                self._readers -= 1
                if self._readers == 0:
                    sys.unraisablehook = self._previous

    def _hook(self, unraisable: sys.UnraisableHookArgs) -> None:
        path = getattr(self._current, "path", None)
        if path is None:
            self._previous(unraisable)
            return
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


READ_REPORTS = ReadReports()
