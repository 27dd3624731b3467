"""korvex on hostile files against reading the whole file: each case as a ratio to open().read().

    python bench/hostile.py [--rounds N] [--big-gib G] [CASE ...]

Files whose records are tiny and many, and which claim runs of billions of records: a call may
cost more than reading the file, but never much more. Each round times getOpusData and
open(path, "rb").read() back to back, in alternating order; the table gives the median time of
each over the rounds, the median of the rounds' ratios and their spread (lowest-highest). Large
files are sparse (made with truncate()), so they cost no disk. The page cache is warm. A call that
raises counts as done: damaged files end in an exception, and what it costs is what is measured.
"""

import argparse
import statistics
import struct
import sys
import tempfile
from pathlib import Path

from run import ROOT, TRACES, CUBE, Table, map_params, read_whole, rounds_of

import korvex

sys.path.insert(0, str(ROOT / "tests"))
from opuswriter import map_opus_file  # noqa: E402

TARGET = 10


def sparse_map_file(path, data_type, params, info_size, runs, area_bytes):
    """A map block with run entries of `runs` records each and an area of `area_bytes` zero bytes,
    left sparse: only the headers are written."""
    head = struct.pack("<6i", 1, len(runs), 24 + 8 * len(runs), 0, info_size, len(runs))
    head += b"".join(struct.pack("<2i", 1, count) for count in runs)
    data = map_opus_file(head, params, data_type=data_type).build()
    with open(path, "wb") as file:
        file.write(data)
        file.truncate(len(data) + area_bytes)


def trace_params(npx, npy, npt):
    return map_params(npx, npy, npt)


def cases_of(folder, big_gib):
    """(name, what it measures, path, request)"""
    mib = 1 << 20
    cases = []

    path = folder / "one-value-traces"
    sparse_map_file(path, 7, trace_params(1, 1, 1), 0, [1 << 20, 1 << 20], 8 * mib)
    cases.append(("1M + 1M one-value trace maps, back to back (8 MiB)", path, TRACES))

    path = folder / "one-value-traces-info"
    sparse_map_file(path, 7, trace_params(1, 1, 1), 4, [1 << 20], 8 * mib)
    cases.append(("1M one-value trace maps, 4-byte info records (8 MiB)", path, TRACES))

    path = folder / "one-byte-records"
    sparse_map_file(path, 7, trace_params(0, 0, 0), 1, [512 * mib], 512 * mib)
    cases.append(("512M empty trace maps, 1-byte info records (512 MiB, sparse)", path, TRACES))

    path = folder / "big-one-value-traces"
    big = big_gib << 30
    sparse_map_file(path, 7, trace_params(1, 1, 1), 0, [big // 4], big)
    cases.append((f"{big // 4 >> 20}M one-value trace maps ({big_gib} GiB, sparse)", path, TRACES))

    path = folder / "big-one-value-traces-info"
    sparse_map_file(path, 7, trace_params(1, 1, 1), 4, [big // 8], big)
    cases.append((f"{big // 8 >> 20}M one-value trace maps, 4-byte info ({big_gib} GiB, sparse)", path, TRACES))

    path = folder / "one-value-cube"
    sparse_map_file(path, 4, trace_params(1024, 1024, 1), 4, [1 << 20], 8 * mib)
    cases.append(("map cube of 1M one-value records, 4-byte info (8 MiB)", path, CUBE))

    path = folder / "named-traces"
    sparse_map_file(path, 7, trace_params(0, 0, 0), 152, [8 * mib // 152], 8 * mib)
    cases.append(("55K trace maps of empty names, 152-byte info (8 MiB)", path, TRACES))

    # The slowest shapes of the test suite's bounds on damaged files (tests/test_bounds.py).
    try:
        from test_bounds import CASES
    except ImportError:
        print("tests/test_bounds.py needs pytest; its cases skipped", file=sys.stderr)
        CASES = {}
    for name in ("runs of 2^32 trace maps of one value", "runs of 2^32 named trace maps",
                 "runs of 2^32 records into a small grid", "info records of the largest size",
                 "numberEntries at its maximum"):
        if name in CASES:
            data, request = CASES[name][:2]
            path = folder / name.replace(" ", "-").replace("^", "")
            path.write_bytes(data)
            cases.append((f"test_bounds: {name} ({len(data) >> 10} KiB)", path, request))
    return cases


def call(path, request):
    def run():
        try:
            korvex.getOpusData(str(path), request)
        except Exception:  # noqa: BLE001 - a damaged file's exception ends the call as a result would
            pass
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cases", nargs="*", help="only the cases whose names hold one of these words")
    parser.add_argument("--rounds", type=int, default=7, help="rounds of each case (default 7)")
    parser.add_argument("--big-gib", type=int, default=1, help="size of the big sparse files, GiB (default 1)")
    args = parser.parse_args()
    table = Table()
    with tempfile.TemporaryDirectory() as scratch:
        for name, path, request in cases_of(Path(scratch), args.big_gib):
            if args.cases and not any(word in name for word in args.cases):
                continue
            ours, floor = call(path, request), lambda: read_whole(path)
            ours(), floor()  # warm up
            mine, theirs = rounds_of(ours, floor, args.rounds)
            table.add(name + ", ms", mine, theirs, [m / t for m, t in zip(mine, theirs)], TARGET)
    print()
    table.print()


if __name__ == "__main__":
    main()
