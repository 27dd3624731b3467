"""korvex against the cost of reading the bytes: each case as a ratio to a floor measured in the same run.

    python bench/run.py [--rounds N] [--samples DIR] [--keep DIR] [CASE ...]

Cases (all by default): samples, batch, cube, traces, threads. Each round times korvex's calls and
the floor's calls back to back, in alternating order; the table gives the median time of each over
the rounds, the median of the rounds' ratios and their spread (lowest-highest). The page cache is
warm. Peak memory is the growth of a fresh process's peak resident set over one call.
"""

import argparse
import concurrent.futures
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
import korvex  # noqa: E402
from opuswriter import EXTEND_3D, MapBlock, OpusFile, block_type, info_bytes, param_block_from_dict  # noqa: E402

CUBE = ("AB", "3D", "NONE")
TRACES = ("TRC", "3D", "NONE")


def map_params(npx, npy, npt):
    return {"NPT": npt, "FXV": 4000.0, "LXV": 400.0, "AOX": 0.0, "AOY": 0.0, "DDX": 6.25, "DDY": 6.25,
            "NPX": npx, "NPY": npy, "MXY": 2.0, "MNY": 0.0}


def map_file(path, data_type, params, records, info_size, names=None):
    """A file of `records` (float32 rows) in one run, each followed by an info record."""
    info = np.frombuffer(info_bytes(info_size), np.uint8)
    rows = np.empty((len(records), records.shape[1] * 4 + info_size), np.uint8)
    rows[:, :records.shape[1] * 4] = records.astype("<f4").view(np.uint8)
    rows[:, records.shape[1] * 4:] = info
    for k, name in enumerate(names or []):
        rows[k, records.shape[1] * 4 + 152:][:len(name)] = np.frombuffer(name.encode(), np.uint8)
    block = MapBlock(info_size=info_size).entry(1, len(records)).raw(rows.tobytes())
    opus = OpusFile()
    opus.add_block(block_type(data_type=data_type, param_type=1, extend_type=EXTEND_3D), param_block_from_dict(params))
    opus.add_block(block_type(data_type=data_type, extend_type=EXTEND_3D), block.build())
    opus.write(path)


def rounds_of(ours, floor, rounds):
    """Times of `ours` and `floor` over `rounds` rounds, run back to back in alternating order."""
    spent = {ours: [], floor: []}
    for k in range(rounds):
        for call in (ours, floor) if k % 2 == 0 else (floor, ours):
            start = time.perf_counter()
            call()
            spent[call].append(time.perf_counter() - start)
    return spent[ours], spent[floor]


# The peak of this process's own memory: VmHWM on Linux. ru_maxrss would not do, as Linux carries
# it across exec from the process that spawned the child, and that one holds the generated data.
# A first call on a small file of the same kind comes before the one measured, so that the peak
# grows by what the call holds and not by the pages of code it runs for the first time (some 200 KB
# for korvex, as much as its buffers for a file of a few megabytes).
PEAK = """
import re, resource, sys
import numpy as np, korvex

def peak():
    try:
        with open("/proc/self/status") as status:
            return int(re.search(r"VmHWM:\\s*(\\d+) kB", status.read()).group(1))
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

def call(path):
    return np.fromfile(path, np.float32) if kind == "fromfile" else korvex.getOpusData(path, block)

path, small, kind, block = sys.argv[1], sys.argv[2], sys.argv[3], tuple(sys.argv[4:])
call(small)
before = peak()
result = call(path)
print(peak() - before)
"""


def peak_growth(path, small, kind, block):
    """Growth of the peak resident set, in bytes, of a fresh process over one call, after a call on `small`."""
    done = subprocess.run([sys.executable, "-c", PEAK, str(path), str(small), kind, *block], check=True,
                          capture_output=True, text=True)
    return int(done.stdout) * 1024


class Table:
    def __init__(self):
        self.rows = []

    def add(self, case, ours, floor, ratios, target, higher_is_better=False, unit="ms"):
        """One row: median times (seconds, or a plain figure with unit ""), median ratio and spread.
        A target of None makes an informative row, met by nothing."""
        ratio = statistics.median(ratios)
        met = "" if target is None else "yes" if (ratio >= target if higher_is_better else ratio <= target) else "NO"
        scale, fmt = (1e3, "{:.3f}") if unit == "ms" else (1, "{:.2f}")
        self.rows.append((case, fmt.format(statistics.median(ours) * scale), fmt.format(statistics.median(floor) * scale),
                          f"{ratio:.2f}", f"{min(ratios):.2f}-{max(ratios):.2f}",
                          "" if target is None else ("≥ " if higher_is_better else "≤ ") + f"{target}", met))
        print(f"  {case}: ratio {ratio:.2f} ({min(ratios):.2f}-{max(ratios):.2f})", file=sys.stderr)

    def print(self):
        head = ("case", "korvex", "floor", "ratio", "spread", "target", "met")
        widths = [max(len(str(row[i])) for row in [head, *self.rows]) for i in range(len(head))]
        for row in [head, tuple("-" * w for w in widths), *self.rows]:
            print("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())


def read_whole(path):
    with open(path, "rb") as file:
        file.read()


def read_magic(path):
    with open(path, "rb") as file:
        file.read(4)


def bench_samples(table, samples, rounds):
    paths = sorted(str(p) for p in samples.iterdir() if p.is_file() and korvex.isOpusFile(str(p)))
    if not paths:
        print(f"samples: no OPUS files in {samples}; case skipped", file=sys.stderr)
        return
    calls = [(path, block) for path in paths for block in korvex.listContents(path)]
    inner = 20  # calls of each kind per round, so that a round lasts milliseconds

    def each(function, items):
        def run():
            for _ in range(inner):
                for item in items:
                    function(*item)
        return run

    name = f"{len(paths)} real files"
    cases = [
        (f"{name}: getOpusData of each of {len(calls)} blocks", each(korvex.getOpusData, calls),
         each(read_whole, [(path,) for path, _ in calls]), 1.35),
        (f"{name}: listContents", each(korvex.listContents, [(p,) for p in paths]),
         each(read_whole, [(p,) for p in paths]), 1.0),
        (f"{name}: isOpusFile", each(korvex.isOpusFile, [(p,) for p in paths]),
         each(read_magic, [(p,) for p in paths]), 1.0),
    ]
    for case, ours, floor, target in cases:
        ours(), floor()  # warm up
        mine, theirs = rounds_of(ours, floor, rounds)
        count = inner * (len(calls) if "getOpusData" in case else len(paths))
        table.add(case + ", ms per call", [t / count for t in mine], [t / count for t in theirs],
                  [m / t for m, t in zip(mine, theirs)], target)


def gil_enabled():
    """Whether this interpreter runs with the GIL: threads without one are expected to do more."""
    return getattr(sys, "_is_gil_enabled", lambda: True)()


def bench_batch(table, samples, folder, rounds, copies=40, chunk=16):
    """A folder of many small files: every block of every file read on one thread and by a pool of two
    threads, against reading each file's bytes the same two ways. Each file is a copy of its own (its
    own inode and pages), as in a folder of measurements."""
    originals = sorted(p for p in samples.iterdir() if p.is_file() and korvex.isOpusFile(str(p)))
    if not originals:
        print(f"batch: no OPUS files in {samples}; case skipped", file=sys.stderr)
        return
    batch = folder / "batch"
    batch.mkdir(exist_ok=True)
    files = []
    for k in range(copies):
        for original in originals:
            copy = batch / f"{k:03d}_{original.name}"
            shutil.copyfile(original, copy)
            files.append((str(copy), korvex.listContents(str(copy))))
    chunks = [files[i:i + chunk] for i in range(0, len(files), chunk)]

    def korvex_files(part):
        for path, blocks in part:
            for block in blocks:
                korvex.getOpusData(path, block)

    def bytes_files(part):
        for path, _ in part:
            read_whole(path)

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        calls = {
            "korvex 1": lambda: korvex_files(files),
            "korvex 2": lambda: list(pool.map(korvex_files, chunks)),
            "bytes 1": lambda: bytes_files(files),
            "bytes 2": lambda: list(pool.map(bytes_files, chunks)),
        }
        for call in calls.values():
            call()  # warm up: the page cache and the pool's threads
        spent = {name: [] for name in calls}
        order = list(calls)
        for k in range(rounds):
            for name in order[k % len(order):] + order[:k % len(order)]:
                start = time.perf_counter()
                calls[name]()
                spent[name].append(time.perf_counter() - start)
    name = f"batch of {len(files)} files"
    per_second = {key: [len(files) / t for t in times] for key, times in spent.items()}
    table.add(f"{name}: getOpusData of every block, files per second, 2 threads (floor: 1 thread)",
              per_second["korvex 2"], per_second["korvex 1"],
              [t1 / t2 for t1, t2 in zip(spent["korvex 1"], spent["korvex 2"])], 1.3 if gil_enabled() else 1.8,
              higher_is_better=True, unit="")
    table.add(f"{name}: the bytes, files per second, 2 threads (floor: 1 thread)",
              per_second["bytes 2"], per_second["bytes 1"],
              [t1 / t2 for t1, t2 in zip(spent["bytes 1"], spent["bytes 2"])], None, higher_is_better=True, unit="")
    table.add(f"{name}: getOpusData of every block, ms per file (floor: the bytes), 1 thread",
              [t / len(files) for t in spent["korvex 1"]], [t / len(files) for t in spent["bytes 1"]],
              [m / t for m, t in zip(spent["korvex 1"], spent["bytes 1"])], None)


def bench_array(table, case, path, small, block, array_bytes, rounds, target, memory_target):
    korvex.getOpusData(str(path), block)  # warm the page cache
    mine, theirs = rounds_of(lambda: korvex.getOpusData(str(path), block), lambda: np.fromfile(path, np.float32),
                             rounds)
    table.add(case + ", ms", mine, theirs, [m / t for m, t in zip(mine, theirs)], target)
    ours_peak = peak_growth(path, small, "korvex", block)
    floor_peak = peak_growth(path, small, "fromfile", block)
    met = "" if memory_target is None else "yes" if ours_peak / array_bytes <= memory_target else "NO"
    table.rows.append((f"{case}: peak memory, MB (floor: the result's size)", f"{ours_peak / 1e6:.1f}",
                       f"{array_bytes / 1e6:.1f}", f"{ours_peak / array_bytes:.2f}",
                       f"np.fromfile {floor_peak / array_bytes:.2f}",
                       "" if memory_target is None else f"≤ {memory_target}", met))


def bench_threads(table, path, rounds, calls=8):
    """Cubes read per second by two threads at once, as a ratio to one thread reading alone."""
    def read(count):
        for _ in range(count):
            korvex.getOpusData(str(path), CUBE)

    def one():
        read(calls)

    def two():
        workers = [threading.Thread(target=read, args=(calls,)) for _ in range(2)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    two_times, one_times = rounds_of(two, one, rounds)
    # Two threads read twice the cubes: their throughput over one thread's is 2 * t1 / t2.
    table.add(f"2 threads reading cubes, {calls} each: cubes per second (floor: 1 thread)", [calls * 2 / t for t in two_times],
              [calls / t for t in one_times], [2 * t1 / t2 for t1, t2 in zip(one_times, two_times)], 1.7,
              higher_is_better=True, unit="")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cases", nargs="*", choices=["samples", "batch", "cube", "traces", "threads", []], default=[])
    parser.add_argument("--rounds", type=int, default=15, help="rounds of each case (default 15)")
    parser.add_argument("--samples", type=Path, default=ROOT / "tests" / "data" / "samples",
                        help="folder of real OPUS files (default tests/data/samples)")
    parser.add_argument("--keep", type=Path, help="write the generated files here and keep them")
    args = parser.parse_args()
    cases = args.cases or ["samples", "batch", "cube", "traces", "threads"]
    table = Table()
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or Path(scratch)
        folder.mkdir(parents=True, exist_ok=True)
        rng = np.random.default_rng(1)
        npx, npy, npt = 128, 128, 1600
        cube_path = folder / "cube.0"
        if "cube" in cases or "threads" in cases:
            map_file(cube_path, 4, map_params(npx, npy, npt), rng.random((npx * npy, npt), np.float32), info_size=56)
        if "samples" in cases:
            if args.samples.is_dir():
                bench_samples(table, args.samples, args.rounds)
            else:
                print(f"samples: {args.samples} is not a folder; case skipped", file=sys.stderr)
        if "batch" in cases:
            if args.samples.is_dir():
                bench_batch(table, args.samples, folder, args.rounds)
            else:
                print(f"batch: {args.samples} is not a folder; case skipped", file=sys.stderr)
        if "cube" in cases:
            small = folder / "small_cube.0"
            map_file(small, 4, map_params(4, 4, npt), rng.random((16, npt), np.float32), info_size=56)
            bench_array(table, f"map cube {npy} x {npx} x {npt}", cube_path, small, CUBE, npx * npy * npt * 4,
                        args.rounds, 1.1, 1.1)
        if "traces" in cases:
            traces = 64
            trace_path = folder / "traces.0"
            map_file(trace_path, 7, map_params(npx, npy, npx * npy), rng.random((traces, npx * npy), np.float32),
                     info_size=200, names=[f"trace {k}" for k in range(traces)])
            # Maps of more than 8 KiB, as the measured file's, take the same path.
            small = folder / "small_traces.0"
            map_file(small, 7, map_params(48, 48, 48 * 48), rng.random((2, 48 * 48), np.float32), info_size=200,
                     names=["trace 0", "trace 1"])
            bench_array(table, f"{traces} trace maps of {npy} x {npx}", trace_path, small, TRACES,
                        traces * npx * npy * 4, args.rounds, 1.5, 1.1)
        if "threads" in cases:
            bench_threads(table, cube_path, max(5, args.rounds // 3))
    print()
    table.print()


if __name__ == "__main__":
    main()
