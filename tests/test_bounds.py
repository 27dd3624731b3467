"""The cost of a call is bounded by the file, whatever its counts claim: on a file of S bytes a call
reads O(S) bytes and allocates O(S) besides its result (the NPT-long x axis, the cube, the stack).
Each case claims a count at its maximum in a file of a quarter megabyte, and is measured in a
fresh interpreter: the bytes it reads (/proc/self/io), the Python and NumPy memory it allocates
(tracemalloc) and how far its peak resident size rises above the size before it (the peak is reset
through /proc/self/clear_refs first), which shows the core's own allocations too."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import korvex
from checks import UNDER_ADDRESS_SANITIZER
from opusmodel import model_listing, model_map, model_spectrum
from opuswriter import (EXTEND_3D, MapBlock, OpusFile, block_type, float32_block, map_opus_file, param_block,
                        param_block_from_dict, param_record)

pytestmark = pytest.mark.skipif(not os.path.exists("/proc/self/io") or not os.path.exists("/proc/self/clear_refs"),
                                reason="needs /proc/self/io and /proc/self/clear_refs")

INT32_MAX = 2**31 - 1
INT32_MIN = -(2**31)
PADDING = 256 * 1024  # bytes of filler that make each file a quarter megabyte

SPECTRUM = {"NPT": 4, "FXV": 1.0, "LXV": 4.0, "MXY": 4.0, "MNY": 1.0}
GEOMETRY = {"NPT": 4, "FXV": 1.0, "LXV": 4.0, "AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0, "NPX": 3,
            "NPY": 2, "MXY": 1.0, "MNY": 0.0}
CUBE = ("AB", "3D", "NONE")
TRC = ("TRC", "3D", "NONE")
SPECTRUM_REQUEST = ("AB", "2D", "NONE")


def spectrum(params, *, dir_size=None, data=float32_block([1.0, 2.0, 3.0, 4.0])):
    opus = OpusFile(dir_size=dir_size)
    opus.add_block(0x1010, params if isinstance(params, bytes) else param_block_from_dict(params))
    opus.add_block(0x1000, data)
    return opus.build()


def longest_runs(params, data_type=4, info_size=0):
    """A map block whose store table fills half the file, every entry a run of 2^32 records, and
    whose record area fills the other half."""
    block = MapBlock(info_size=info_size)
    for _ in range(PADDING // 16):
        block.entry(INT32_MIN, INT32_MAX)
    return map_opus_file(block.raw(bytes(PADDING // 2)), params, data_type).build()


def text_records_of_largest_size():
    """Text records that each claim 32767 two-byte units, in a block that the claims run past."""
    records = [param_record(label, 2, "abc", size=2**15 - 1) for label in ("TXA", "TXB", "TXC", "TXD")]
    return spectrum(param_block_from_dict(SPECTRUM, end=False) + b"".join(records) + bytes(PADDING))


def letters(number):
    """A label of four capital letters, a different one for each number below 26^4."""
    return bytes(65 + number // 26**k % 26 for k in range(4))


def largest_info():
    """A trace record whose info record claims 2^31 - 1 bytes: its name runs to the end of the file."""
    block = MapBlock().run([[1.0] * 8]).raw(b"x" * PADDING)
    block.info_size = INT32_MAX
    return block.build()


# name -> (file contents, request or None for listContents[, the outcome, where the model would
# take the counts at their word])
CASES = {
    "dirSize at its maximum, listed": (spectrum(SPECTRUM, dir_size=INT32_MAX, data=bytes(PADDING)), None),
    "dirSize at its maximum, read": (spectrum(SPECTRUM, dir_size=INT32_MAX, data=bytes(PADDING)),
                                     SPECTRUM_REQUEST),
    "numberEntries at its maximum": (map_opus_file(MapBlock(number_entries=INT32_MAX).raw(bytes(PADDING)),
                                                   GEOMETRY).build(), CUBE),
    "runs of 2^32 records into a small grid": (longest_runs(GEOMETRY), CUBE),
    "runs of 2^32 records that read nothing": (longest_runs({**GEOMETRY, "NPT": 0}), CUBE),
    "runs of 2^32 trace maps of one value": (longest_runs({**GEOMETRY, "NPT": 1, "NPX": 1, "NPY": 1}, 7), TRC),
    "runs of 2^32 named trace maps": (longest_runs({**GEOMETRY, "NPT": 0, "NPX": 0, "NPY": 0}, 7, 200), TRC),
    "skip of the largest length": (map_opus_file(MapBlock().skip(0).entry(-1, INT32_MAX).entry(1, 1)
                                                 .raw(bytes(PADDING)), GEOMETRY).build(), CUBE),
    "info records of the largest size": (map_opus_file(largest_info(), {**GEOMETRY, "NPT": 8, "NPX": 4}, 7).build(),
                                         TRC, ["result", {"traces": [2, 4, 1], "labels": 1}]),
    "text Size at its maximum": (text_records_of_largest_size(), SPECTRUM_REQUEST),
    "parameter block without END": (spectrum(param_block_from_dict(SPECTRUM, end=False) + bytes(PADDING)),
                                    SPECTRUM_REQUEST),
    "parameter block of distinct labels without END": (
        spectrum(param_block_from_dict(SPECTRUM, end=False)
                 + b"".join(param_record(letters(i), 0, i) for i in range(PADDING // 12))),
        SPECTRUM_REQUEST),
}

# Runs one call in a fresh interpreter, after a warm-up of sound and failing calls, and prints
# what it gave and cost.
MEASURE = textwrap.dedent("""
    import json, sys, tracemalloc, warnings
    import numpy as np
    import korvex
    path, warm, request = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    sys.unraisablehook = lambda unraisable: None
    warnings.simplefilter("ignore")

    def call():
        try:
            if request is None:
                return korvex.listContents(path)
            return korvex.getOpusData(path, tuple(request))
        except Exception as error:
            return error

    def status(field):
        with open("/proc/self/status") as status:
            return int(next(line for line in status if line.startswith(field)).split()[1]) * 1024

    def read_bytes():
        with open("/proc/self/io") as io:
            return int(next(line for line in io if line.startswith("rchar:")).split()[1])

    for _ in range(3):
        korvex.listContents(warm)
        for block in (("AB", "2D", "NONE"), ("AB", "3D", "NONE"), ("TRC", "3D", "NONE"), ("AB", "2D", "1DER")):
            try:
                korvex.getOpusData(warm, block)
            except Exception as error:
                str(error)
    tracemalloc.start()
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the peak resident size starts again from the size now
    rss = status("VmRSS:")
    before = read_bytes()
    value = call()
    read = read_bytes() - before
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    grown = status("VmHWM:") - rss
    if isinstance(value, Exception):
        outcome = [type(value).__name__, str(value)]
        result_bytes = 0
    else:
        arrays = [v for v in vars(value).values() if isinstance(v, np.ndarray)] if request else []
        summary = lambda v: list(v.shape) if isinstance(v, np.ndarray) else len(v) if isinstance(v, list) else repr(v)
        outcome = ["result", {k: summary(v) for k, v in vars(value).items()} if request else {"listing": repr(value)}]
        result_bytes = sum(a.nbytes for a in arrays)
    print(json.dumps({"outcome": outcome, "read": read, "peak": peak, "grown": grown,
                      "result": result_bytes}))
""")


def measure(path, warm, request):
    done = subprocess.run([sys.executable, "-c", MEASURE, str(path), str(warm), json.dumps(request)],
                          capture_output=True, text=True, timeout=60, check=True)
    return json.loads(done.stdout)


def model_outcome(path, data, request):
    """The outcome the model gives, in the form MEASURE prints; None where the model gives up."""
    if request is None:
        value, _ = model_listing(data)
        return ["result", {"listing": repr(value)}]
    if request[1] == "2D":
        value, _ = model_spectrum(data, request)
        if isinstance(value, Exception):
            return [type(value).__name__, str(value)]
        return ["result", {"x": [len(value[0])], "y": [len(value[1])]}]
    value, _, _ = model_map(str(path), data, request)
    if isinstance(value, Exception):
        return None if type(value).__name__ == "TooManyRecords" else [type(value).__name__, str(value)]
    return ["result", {k: list(v.shape) for k, v in value.items() if hasattr(v, "shape")}]


@pytest.fixture(scope="module")
def warm_file(tmp_path_factory):
    """A sound file of each kind of block, for the warm-up."""
    opus = OpusFile()
    opus.add_block(0x1010, param_block_from_dict(SPECTRUM))
    opus.add_block(0x1000, float32_block([1.0, 2.0, 3.0, 4.0]))
    map_opus_file(MapBlock(info_size=4).run([[1.0] * 4] * 6), GEOMETRY, opus=opus)
    map_opus_file(MapBlock(info_size=160).run([[1.0] * 6] * 2, names=["a", "b"]), {**GEOMETRY, "NPT": 6}, 7,
                  opus=opus)
    opus.add_block(block_type(data_type=4, param_type=1, extend_type=EXTEND_3D, deriv_type=1),
                   param_block([("NPT", 0, 4)]))
    path = tmp_path_factory.mktemp("warm") / "warm.opus"
    path.write_bytes(opus.build())
    return path


@pytest.mark.parametrize("name", CASES)
def test_a_call_costs_what_the_file_holds(tmp_path, warm_file, name):
    data, request, *expected = CASES[name]
    path = tmp_path / "worst.opus"
    path.write_bytes(data)
    size = len(data)
    cost = measure(path, warm_file, request)

    # The call answers as the format says, not with a MemoryError of a count taken at its word.
    expected = expected[0] if expected else model_outcome(path, data, request)
    if expected is not None and expected[0] == "result" and cost["outcome"][0] == "result":
        assert {k: cost["outcome"][1][k] for k in expected[1]} == expected[1]
    elif expected is not None:
        assert cost["outcome"] == expected
    assert cost["outcome"][0] != "MemoryError"
    # Each byte is read a few times at most (the directory once per call, each parameter block once
    # per request that names it), plus a read-ahead window or two.
    assert cost["read"] <= 6 * size + 64 * 1024, cost
    # Python objects and NumPy arrays besides the result: what the bytes read can make.
    assert cost["peak"] - cost["result"] <= 2 * size + 256 * 1024, cost
    # The core's own memory (and everything else): what the file and the result can account for.
    if not UNDER_ADDRESS_SANITIZER:
        assert cost["grown"] <= 4 * size + cost["result"] + 4 * 1024 * 1024, cost


def read_calls():
    with open("/proc/self/io") as io:
        return int(next(line for line in io if line.startswith("syscr:")).split()[1])


@pytest.mark.parametrize("info_size", [0, 4])
def test_a_million_one_value_trace_maps_take_few_reads(tmp_path, info_size):
    """Maps of a few bytes are read many to a system call, not one call each."""
    traces = 2**20
    values = np.arange(traces, dtype="<f4")
    rows = np.zeros((traces, 4 + info_size), np.uint8)
    rows[:, :4] = values.view(np.uint8).reshape(traces, 4)
    block = MapBlock(info_size=info_size).entry(1, traces).raw(rows.tobytes())
    path = tmp_path / "traces.opus"
    map_opus_file(block, {**GEOMETRY, "NPT": 1, "NPX": 1, "NPY": 1}, 7).write(path)
    korvex.getOpusData(str(path), TRC)  # the first call's imports and caches are not counted
    before = read_calls()
    result = korvex.getOpusData(str(path), TRC)
    calls = read_calls() - before
    assert result.traces.shape == (1, 1, traces) and np.array_equal(result.traces[0, 0], values)
    assert calls < 1000, calls
