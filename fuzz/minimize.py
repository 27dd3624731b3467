"""Picks the committed corpus: a few small inputs that together reach every edge of the fuzz target
that the inputs of at most 4 KB given reach (larger ones are mostly cut from the sample files, which
are not ours to commit).

    python fuzz/minimize.py FUZZ_TARGET OUT_DIR INPUT_DIR...

libFuzzer's merge runs the inputs smallest first and notes, for each, the edges that no input before
it reached; the inputs of at most 4 KB that reached any are kept, unless the module's functions (run
with the Python that runs this script, which must import korvex) need more than 2 GB for them: a few
bytes may claim axes and cubes of gigabytes, which the tests would spend minutes on.
"""

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

MOST_BYTES = 4096
MOST_MEMORY = 2 << 30

# The calls the tests make of each input, with the address space limited: a claim of more memory
# than the limit raises MemoryError, and then the script exits with 1.
CALLS = """
import resource, sys
resource.setrlimit(resource.RLIMIT_AS, ({limit}, {limit}))
import korvex
path = sys.argv[1]
asked = [("AB", "2D", "NONE"), ("AB", "3D", "NONE"), ("TRC", "3D", "NONE")]
try:
    asked = korvex.listContents(path) + asked
except Exception:
    pass
for triple in asked:
    try:
        korvex.getOpusData(path, triple)
    except MemoryError:
        sys.exit(1)
    except Exception:
        pass
"""


def new_edges_of_inputs(target, directories):
    """Each input's edges that no smaller input reached, in the order the merge ran them."""
    with tempfile.TemporaryDirectory() as scratch:
        control = Path(scratch) / "control"
        merged = Path(scratch) / "merged"
        merged.mkdir()
        subprocess.run([target, "-merge=1", f"-merge_control_file={control}", "-rss_limit_mb=2048",
                        "-malloc_limit_mb=1024", "-timeout=10", str(merged), *map(str, directories)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        lines = control.read_text().splitlines()
    count = int(lines[0])
    paths = [Path(line) for line in lines[2:2 + count]]
    edges = {}
    for line in lines[2 + count:]:
        kind, index, *values = line.split()
        if kind == "COV":
            edges[paths[int(index)]] = set(values)
    return edges


def within_memory(path):
    done = subprocess.run([sys.executable, "-c", CALLS.format(limit=MOST_MEMORY), str(path)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return done.returncode == 0


def main(target, out, *directories):
    edges = new_edges_of_inputs(target, directories)
    picked = [path for path, new in edges.items()
              if new and path.stat().st_size <= MOST_BYTES and within_memory(path)]
    reached = set().union(*(edges[path] for path in picked))
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    for old in out.iterdir():
        old.unlink()
    for path in picked:
        shutil.copyfile(path, out / path.name)
    everything = set().union(*edges.values())
    print(f"{len(picked)} of {len(edges)} inputs, {sum(p.stat().st_size for p in picked)} bytes, "
          f"reach {len(reached)} of the {len(everything)} edges that all of them reach")


if __name__ == "__main__":
    main(*sys.argv[1:])
