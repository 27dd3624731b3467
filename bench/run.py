"""Reading a map cube and a trace map file, against np.fromfile of the whole file.

Generates the files in a temporary folder, then measures in one run, with a warm page cache:
- time: the median of repeated calls of getOpusData and of np.fromfile(path, np.float32), run
  alternately, and their ratio;
- peak memory: the growth of the peak resident set of a fresh process over one call, as a ratio
  to the size of the array the call returns and to that of np.fromfile.

    python bench/maps.py [--repeat N] [--keep DIR]
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
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


def median_times(calls, repeat):
    """Median seconds of each call, the calls run in turn `repeat` times."""
    times = [[] for _ in calls]
    for _ in range(repeat):
        for spent, call in zip(times, calls):
            start = time.perf_counter()
            call()
            spent.append(time.perf_counter() - start)
    return [statistics.median(spent) for spent in times], [(min(s), max(s)) for s in times]


# The peak of this process's own memory: VmHWM on Linux. ru_maxrss would not do, as Linux carries
# it across exec from the process that spawned the child, and that one holds the generated data.
PEAK = """
import re, resource, sys
import numpy as np, korvex

def peak():
    try:
        with open("/proc/self/status") as status:
            return int(re.search(r"VmHWM:\\s*(\\d+) kB", status.read()).group(1))
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

path, kind, block = sys.argv[1], sys.argv[2], tuple(sys.argv[3:])
before = peak()
result = np.fromfile(path, np.float32) if kind == "fromfile" else korvex.getOpusData(path, block)
print(peak() - before)
"""


def peak_growth(path, kind, block):
    """Growth of the peak resident set, in bytes, of a fresh process over one call."""
    done = subprocess.run([sys.executable, "-c", PEAK, str(path), kind, *block], check=True,
                          capture_output=True, text=True)
    return int(done.stdout) * 1024


def measure(name, path, block, array_bytes, repeat, time_target, memory_target):
    korvex.getOpusData(str(path), block)  # warm the page cache
    (ours, floor), spreads = median_times(
        [lambda: korvex.getOpusData(str(path), block), lambda: np.fromfile(path, np.float32)], repeat)
    ours_peak = peak_growth(path, "korvex", block)
    floor_peak = peak_growth(path, "fromfile", block)
    print(f"{name}: file {path.stat().st_size / 1e6:.1f} MB, result {array_bytes / 1e6:.1f} MB")
    print(f"  time    getOpusData {ours * 1e3:7.1f} ms ({spreads[0][0] * 1e3:.1f}-{spreads[0][1] * 1e3:.1f})"
          f"   np.fromfile {floor * 1e3:7.1f} ms ({spreads[1][0] * 1e3:.1f}-{spreads[1][1] * 1e3:.1f})"
          f"   ratio {ours / floor:.2f}" + (f" (target <= {time_target})" if time_target else ""))
    print(f"  memory  getOpusData {ours_peak / 1e6:7.1f} MB   np.fromfile {floor_peak / 1e6:7.1f} MB"
          f"   ratio to the result {ours_peak / array_bytes:.2f} (target <= {memory_target})"
          f"   to np.fromfile {ours_peak / floor_peak:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15, help="calls of each kind (default 15)")
    parser.add_argument("--keep", type=Path, help="write the files here and keep them")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or Path(scratch)
        folder.mkdir(parents=True, exist_ok=True)
        rng = np.random.default_rng(1)

        npx, npy, npt = 128, 128, 1600
        cube_path = folder / "cube.0"
        map_file(cube_path, 4, map_params(npx, npy, npt), rng.random((npx * npy, npt), np.float32), info_size=56)
        measure(f"map cube {npy} x {npx} x {npt}", cube_path, CUBE, npx * npy * npt * 4, args.repeat, 1.1, 1.1)

        traces = 64
        trace_path = folder / "traces.0"
        map_file(trace_path, 7, map_params(npx, npy, npx * npy), rng.random((traces, npx * npy), np.float32),
                 info_size=200, names=[f"trace {k}" for k in range(traces)])
        # No time target: each map is spread across the stack, which a plain read of the file never does.
        measure(f"trace maps {traces} of {npy} x {npx}", trace_path, TRACES, traces * npx * npy * 4, args.repeat,
                None, 1.1)


if __name__ == "__main__":
    main()
