"""Read every OPUS file of a folder in parallel and print a short summary.

    python examples/batch.py FOLDER [--threads N]
    python examples/batch.py FOLDER --dask [SCHEDULER]

By default a pool of threads reads the files: korvex releases the GIL while it reads, so the
threads read side by side. With --dask the same work runs as a dask.bag (Dask must be installed)
on SCHEDULER: "processes" (the default), "threads", "synchronous", or the address of a Dask
cluster's scheduler such as tcp://10.0.0.5:8786 (needs dask.distributed, korvex on the workers and
the folder on storage they share). Either way every data block comes back as a DataReturn; from
other processes it travels pickled.
"""

from __future__ import annotations

import argparse
import os
import struct
import sys
import time
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import TypedDict

import korvex

Block = tuple[str, str, str]


class FileReport(TypedDict):
    path: str
    blocks: list[tuple[Block, korvex.DataReturn]]
    errors: list[tuple[Block | None, str]]


def opus_files(folder: Path) -> tuple[list[str], int]:
    """The OPUS files of `folder` in name order, and how many other files it holds."""
    found: list[str] = []
    others = 0
    for path in sorted(folder.iterdir()):
        if not path.is_file():
            continue
        try:
            is_opus = korvex.isOpusFile(str(path))
        except (OSError, struct.error):  # unreadable, or shorter than the magic number
            is_opus = False
        if is_opus:
            found.append(str(path))
        else:
            others += 1
    return found, others


def read_file(path: str) -> FileReport:
    """Every data block of one OPUS file; what cannot be read is reported, not raised."""
    report: FileReport = {"path": path, "blocks": [], "errors": []}
    try:
        listed = korvex.listContents(path)
    except (OSError, ValueError) as error:
        report["errors"].append((None, f"{type(error).__name__}: {error}"))
        return report
    # A triple listed twice names one block: getOpusData reads the last of its kind.
    for block in dict.fromkeys(listed):
        # The listing calls the third derivative "3DER", a request "NDER".
        request = (block[0], block[1], "NDER") if block[2] == "3DER" else block
        try:
            report["blocks"].append((block, korvex.getOpusData(path, request)))
        except Exception as error:  # a damaged block: report it and go on with the others
            report["errors"].append((block, f"{type(error).__name__}: {error}"))
    return report


def read_with_threads(paths: list[str], workers: int) -> list[FileReport]:
    with ThreadPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(read_file, paths))


def read_with_dask(paths: list[str], scheduler: str = "processes") -> list[FileReport]:
    """The reports of read_file, computed as a dask.bag on `scheduler`, a scheduler name or the
    address of a cluster."""
    import cloudpickle  # type: ignore[import-untyped]
    import dask.bag

    # Imported as a module, this file's functions would be sent by reference, and the workers of a
    # cluster may not have it: send them by value, as when it runs as a script.
    if __name__ != "__main__":
        cloudpickle.register_pickle_by_value(sys.modules[__name__])
    bag = dask.bag.from_sequence(paths).map(read_file)
    if "://" in scheduler:
        from dask.distributed import Client

        with Client(scheduler):
            reports: list[FileReport] = bag.compute()
            return reports
    reports = bag.compute(scheduler=scheduler)
    return reports


def kind_of(result: korvex.DataReturn) -> str:
    if hasattr(result, "spectra"):
        return "map cube"
    if hasattr(result, "traces"):
        return "trace maps"
    return "spectrum"


def values_of(result: korvex.DataReturn) -> int:
    """How many values the data block held."""
    kind = kind_of(result)
    data = result.spectra if kind == "map cube" else result.traces if kind == "trace maps" else result.y
    return int(data.size)


def summarize(reports: list[FileReport], others: int) -> list[str]:
    kinds: Counter[str] = Counter()
    values = 0
    errors: list[str] = []
    for report in reports:
        for _, result in report["blocks"]:
            kinds[kind_of(result)] += 1
            values += values_of(result)
        name = Path(report["path"]).name
        errors += [f"  {name}{' ' + ' '.join(block) if block else ''}: {message}" for block, message in report["errors"]]
    lines = [
        f"{len(reports)} OPUS files, {others} other files skipped",
        f"{sum(kinds.values())} data blocks: {kinds['spectrum']} spectra, {kinds['map cube']} map cubes,"
        f" {kinds['trace maps']} sets of trace maps",
        f"{values} values ({values * 4 / 1e6:.1f} MB as float32)",
    ]
    if errors:
        lines += [f"{len(errors)} could not be read:", *errors]
    return lines


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description="Read every OPUS file of a folder in parallel.")
    parser.add_argument("folder", type=Path)
    parser.add_argument("--threads", type=int, default=min(32, (os.cpu_count() or 1) + 4),
                        help="threads of the pool (default: %(default)s)")
    parser.add_argument("--dask", nargs="?", const="processes", metavar="SCHEDULER",
                        help="read with dask.bag on this scheduler (default: processes)")
    args = parser.parse_args(argv[1:])
    if not args.folder.is_dir():
        parser.error(f"{args.folder} is not a folder")
    paths, others = opus_files(args.folder)
    start = time.perf_counter()
    if args.dask is None:
        reports = read_with_threads(paths, args.threads)
        how = f"{args.threads} threads"
    else:
        try:
            reports = read_with_dask(paths, args.dask)
        except ImportError as error:
            print(f"--dask needs Dask ({error}): python -m pip install dask", file=sys.stderr)
            return 2
        how = f"dask ({args.dask})"
    elapsed = time.perf_counter() - start
    for line in summarize(reports, others):
        print(line)
    print(f"read in {elapsed:.2f} s with {how}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
