"""Read every OPUS file of folders in parallel and print a short summary.

    korvex-batch FOLDER... [--recursive] [--threads N]
    korvex-batch FOLDER... --dask [SCHEDULER]

By default a pool of threads reads the files: korvex releases the GIL while it reads, so the
threads read side by side. With --dask the same work runs as a dask.bag (Dask must be installed)
on SCHEDULER: "processes" (the default), "threads", "synchronous", "local:N" for a cluster of N
worker processes on this machine, started for the run and stopped after it (needs
dask.distributed), or the address of a Dask cluster's scheduler such as tcp://10.0.0.5:8786
(needs dask.distributed, korvex on the workers and the folder on storage they share, at the same
path: the files are sent as absolute paths). Either way every data block comes back as a
DataReturn; from other processes it travels pickled. A progress bar shows on a terminal; the exit
status is 1 when a file or a block could not be read.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, TypedDict

import korvex
from korvex_tools import Block, find_opus_files, kind_of, read_blocks
from korvex_tools.progress import Progress


class FileReport(TypedDict):
    path: str
    blocks: list[tuple[Block, korvex.DataReturn]]
    errors: list[tuple[Block | None, str]]


def opus_files(folders: list[Path], recursive: bool = False) -> tuple[list[str], int]:
    """The OPUS files of `folders` in name order, as absolute paths (the workers of a cluster do
    not share this process's current folder), and how many other files they hold."""
    found, others = find_opus_files(folders, recursive)
    return [str(path.absolute()) for path, _ in found], others


def read_file(path: str) -> FileReport:
    """Every data block of one OPUS file; what cannot be read is reported, not raised."""
    blocks, errors = read_blocks(path)
    return {"path": path, "blocks": blocks, "errors": errors}


def read_with_threads(paths: list[str], workers: int) -> list[FileReport]:
    with ThreadPoolExecutor(max_workers=workers) as pool, Progress(len(paths), "files") as progress:
        reports = []
        for report in pool.map(read_file, paths):
            reports.append(report)
            progress.advance()
        return reports


def read_with_dask(paths: list[str], scheduler: str = "processes") -> list[FileReport]:
    """The reports of read_file, computed as a dask.bag on `scheduler`: a scheduler name,
    "local:N" for a cluster of N worker processes started for the call, or the address of a
    cluster."""
    import cloudpickle  # type: ignore[import-untyped]
    import dask.bag

    # Imported as a module, this file's functions would be sent by reference, and the workers of a
    # cluster may not have it: send them by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    bag = dask.bag.from_sequence(paths).map(read_file)
    if scheduler.startswith("local:"):
        from dask.distributed import Client

        with local_cluster(local_workers(scheduler)) as cluster, Client(cluster):
            reports: list[FileReport] = bag.compute()
            return reports
    if "://" in scheduler:
        from dask.distributed import Client

        with Client(scheduler):
            reports = bag.compute()
            return reports
    reports = bag.compute(scheduler=scheduler)
    return reports


def local_workers(scheduler: str) -> int:
    """N of "local:N", a whole number of 1 or more; ValueError otherwise."""
    count = scheduler.removeprefix("local:")
    if not count.isdigit() or int(count) < 1:
        raise ValueError(f"{scheduler!r}: local:N takes a number of worker processes, 1 or more")
    return int(count)


def local_cluster(workers: int) -> Any:
    """A dask.distributed LocalCluster of `workers` processes of one thread each, on this machine's
    loopback address, without a dashboard."""
    from dask.distributed import LocalCluster

    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                        dashboard_address=None)


def missing_dask_hint(error: ImportError) -> str:
    """What to install for --dask: Dask, or for a cluster's address its distributed scheduler,
    which dask.distributed says it lacks with an error of its own."""
    first_line = str(error).splitlines()[0] if str(error) else type(error).__name__
    if (error.name or "").startswith("distributed") or "distributed" in first_line:
        return f'--dask with a cluster needs dask.distributed ({first_line}): python -m pip install "dask[distributed]"'
    return f"--dask needs Dask ({first_line}): python -m pip install dask"


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
        name = report["path"]
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


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="korvex-batch", description="Read every OPUS file of folders in parallel.")
    parser.add_argument("folders", type=Path, nargs="+", metavar="FOLDER")
    parser.add_argument("--recursive", "-r", action="store_true", help="read the subfolders too")
    parser.add_argument("--threads", type=int, default=min(32, (os.cpu_count() or 1) + 4),
                        help="threads of the pool (default: %(default)s)")
    parser.add_argument("--dask", nargs="?", const="processes", metavar="SCHEDULER",
                        help="read with dask.bag on this scheduler: processes (the default), threads, synchronous,"
                             " local:N (a cluster of N worker processes here) or a cluster's address")
    args = parser.parse_args(argv)
    if args.dask is not None and args.dask.startswith("local:"):
        try:
            local_workers(args.dask)
        except ValueError as error:
            parser.error(str(error))
    for folder in args.folders:
        if not folder.is_dir():
            parser.error(f"{folder} is not a folder")
    paths, others = opus_files(args.folders, args.recursive)
    start = time.perf_counter()
    if args.dask is None:
        reports = read_with_threads(paths, args.threads)
        how = f"{args.threads} threads"
    else:
        try:
            reports = read_with_dask(paths, args.dask)
        except ImportError as error:
            print(missing_dask_hint(error), file=sys.stderr)
            return 2
        how = f"dask ({args.dask})"
    elapsed = time.perf_counter() - start
    for line in summarize(reports, others):
        print(line)
    print(f"read in {elapsed:.2f} s with {how}")
    return 1 if any(report["errors"] for report in reports) else 0


def run() -> None:
    """The korvex-batch command."""
    sys.exit(main())


if __name__ == "__main__":
    run()
