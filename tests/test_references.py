"""Repeated calls, on success and on every error path, keep references, memory and open file
descriptors flat."""

import gc
import os
import pickle
import sys
import tracemalloc

import pytest

import korvex
from checks import UNDER_ADDRESS_SANITIZER, open_descriptors
from opuswriter import (MAGIC, MapBlock, OpusFile, float32_block, map_opus_file, param_block, param_block_from_dict,
                        param_record)
CALLS = 2000


def _repeat(call):
    for _ in range(CALLS):
        try:
            call()
        except Exception:
            pass


BLOCK = ("AB", "2D", "NONE")
CUBE = ("AB", "3D", "NONE")
DERIVED_CUBE = ("AB", "3D", "1DER")
TRACES = ("TRC", "3D", "NONE")

# name -> (function, arguments), given the paths of the `files` fixture.
CASES = {
    "magic": lambda f: (korvex.isOpusFile, [str(f["good"])]),
    "magic from bytes path": lambda f: (korvex.isOpusFile, [os.fsencode(f["good"])]),
    "magic from path object": lambda f: (korvex.isOpusFile, [f["good"]]),
    "short file": lambda f: (korvex.isOpusFile, [str(f["short"])]),
    "missing file": lambda f: (korvex.isOpusFile, [str(f["missing"])]),
    "directory": lambda f: (korvex.isOpusFile, [str(f["directory"])]),
    "not a path": lambda f: (korvex.isOpusFile, [1.5]),
    "listing": lambda f: (korvex.listContents, [str(f["listed"])]),
    "listing from path object": lambda f: (korvex.listContents, [f["listed"]]),
    "listing with failed reads": lambda f: (korvex.listContents, [str(f["truncated"])]),
    "listing a non-OPUS file": lambda f: (korvex.listContents, [str(f["other"])]),
    "listing with a negative offset": lambda f: (korvex.listContents, [str(f["negative"])]),
    "listing a missing file": lambda f: (korvex.listContents, [str(f["missing"])]),
    "too few arguments": lambda f: (lambda a: korvex.getOpusData(a), [str(f["good"])]),
    "unexpected keyword": lambda f: (lambda a, t: korvex.getOpusData(a, t, x=t), [str(f["good"]), BLOCK]),
    "wrong path type": lambda f: (korvex.getOpusData, [os.fsencode(f["good"]), BLOCK]),
    "spectrum": lambda f: (korvex.getOpusData, [str(f["spectrum"]), BLOCK]),
    "spectrum by a list in lower case": lambda f: (korvex.getOpusData, [str(f["spectrum"]), ["ab", "2d", "none"]]),
    "spectrum with NumPy's linspace": lambda f: (korvex.getOpusData, [str(f["huge"]), BLOCK]),
    "invalid request": lambda f: (korvex.getOpusData, [str(f["spectrum"]), ("AB", "2D", "3DER")]),
    "triple of two": lambda f: (korvex.getOpusData, [str(f["spectrum"]), ("AB", "2D")]),
    "non-OPUS spectrum": lambda f: (korvex.getOpusData, [str(f["other"]), BLOCK]),
    "missing spectrum": lambda f: (korvex.getOpusData, [str(f["missing"]), BLOCK]),
    "no data block": lambda f: (korvex.getOpusData, [str(f["listed"]), BLOCK]),
    "unknown record type": lambda f: (korvex.getOpusData, [str(f["bad type"]), BLOCK]),
    "label not UTF-8": lambda f: (korvex.getOpusData, [str(f["bad label"]), BLOCK]),
    "unterminated parameters": lambda f: (korvex.getOpusData, [str(f["unterminated"]), BLOCK]),
    "missing label": lambda f: (korvex.getOpusData, [str(f["no NPT"]), BLOCK]),
    "NumPy's error": lambda f: (korvex.getOpusData, [str(f["text NPT"]), BLOCK]),
    "map cube": lambda f: (korvex.getOpusData, [str(f["cube"]), CUBE]),
    "map cube with the underived geometry": lambda f: (korvex.getOpusData, [str(f["derived cube"]), DERIVED_CUBE]),
    "map cube without an underived block": lambda f: (korvex.getOpusData, [str(f["orphan cube"]), DERIVED_CUBE]),
    "record cut short": lambda f: (korvex.getOpusData, [str(f["cut cube"]), CUBE]),
    "record beyond the grid": lambda f: (korvex.getOpusData, [str(f["overfull cube"]), CUBE]),
    "map without columns": lambda f: (korvex.getOpusData, [str(f["no columns"]), CUBE]),
    "store table past the end": lambda f: (korvex.getOpusData, [str(f["long table"]), CUBE]),
    "trace maps": lambda f: (korvex.getOpusData, [str(f["traces"]), TRACES]),
    "trace name in Windows-1252": lambda f: (korvex.getOpusData, [str(f["1252 name"]), TRACES]),
    "trace map of the wrong size": lambda f: (korvex.getOpusData, [str(f["wrong map"]), TRACES]),
    "no trace map": lambda f: (korvex.getOpusData, [str(f["no trace"]), TRACES]),
    "dirSize at its maximum": lambda f: (korvex.listContents, [str(f["endless directory"])]),
    "text size at its maximum": lambda f: (korvex.getOpusData, [str(f["long text"]), BLOCK]),
    "runs of 2^32 records": lambda f: (korvex.getOpusData, [str(f["endless runs"]), CUBE]),
    "skip past the end": lambda f: (korvex.getOpusData, [str(f["long skip"]), CUBE]),
    "trace names to the end of the file": lambda f: (korvex.getOpusData, [str(f["endless names"]), TRACES]),
    "inverted map header": lambda f: (korvex.getOpusData, [str(f["inverted header"]), CUBE]),
    "constructor": lambda f: (korvex.DataReturn, list(BLOCK)),
    "constructor by keyword": lambda f: (
        lambda a, b, c: korvex.DataReturn(dataBlockType=a, dimensions=b, deriv=c),
        list(BLOCK),
    ),
    "description": lambda f: (lambda a: str(korvex.DataReturn(a, a, a)), ["x"]),
    # Trace maps hold every kind of attribute value: texts, a dict, a list and arrays.
    "pickled trace maps": lambda f: (lambda r: pickle.loads(pickle.dumps(r, protocol=pickle.HIGHEST_PROTOCOL)),
                                     [korvex.getOpusData(str(f["traces"]), TRACES)]),
}


class Discard:
    """A stdout that keeps nothing of what is printed."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def inverted_field(block, offset):
    """The map block's bytes with the four-byte header field at `offset` inverted."""
    data = block.build()
    return data[:offset] + bytes(b ^ 0xFF for b in data[offset:offset + 4]) + data[offset + 4:]


def map_files():
    geometry = {"NPT": 2, "FXV": 1.0, "LXV": 2.0, "AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0, "NPX": 2,
                "NPY": 2, "MXY": 1.0, "MNY": 0.0}
    traces = {**geometry, "NPT": 4}
    cube = MapBlock(info_size=4).run([[1.0, 2.0]] * 3)
    named = MapBlock(info_size=160).run([[1.0] * 4, [2.0] * 4], names=["a", "b"])
    endless_names = MapBlock().run([[1.0] * 4]).raw(b"name")
    endless_names.info_size = 2**31 - 1  # the name runs to the end of the file
    return {
        "cube": map_opus_file(cube, geometry).build(),
        "derived cube": map_opus_file(cube, {**geometry, "NPX": 0}, deriv_type=1, original=geometry).build(),
        "orphan cube": map_opus_file(cube, {**geometry, "NPX": 0}, deriv_type=1).build(),
        "cut cube": map_opus_file(cube, geometry).build()[:-5],
        "overfull cube": map_opus_file(MapBlock().run([[1.0, 2.0]] * 5), geometry).build(),
        "no columns": map_opus_file(cube, {**geometry, "NPX": 0}).build(),
        "long table": map_opus_file(MapBlock(number_entries=99), geometry).build(),
        "traces": map_opus_file(named, traces, 7).build(),
        "1252 name": map_opus_file(MapBlock(info_size=160).run([[1.0] * 4], names=[b"\xff"]), traces, 7).build(),
        "wrong map": map_opus_file(named, geometry, 7).build(),
        "no trace": map_opus_file(MapBlock(), traces, 7).build(),
        "endless runs": map_opus_file(MapBlock().entry(-(2**31), 2**31 - 1).raw(bytes(64)), geometry).build(),
        "long skip": map_opus_file(MapBlock().entry(-1, 2**31 - 1).entry(1, 1), geometry).build(),
        "endless names": map_opus_file(endless_names, traces, 7).build(),
        "inverted header": map_opus_file(inverted_field(MapBlock(info_size=4).run([[1.0, 2.0]] * 3), 8),
                                         geometry).build(),
    }


@pytest.fixture(params=list(CASES))
def case(request, tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    monkeypatch.setattr(sys, "stdout", Discard())
    listed = OpusFile()
    listed.add_entry(0x1010)  # the parameter block of AB
    listed.add_entry(0x415)   # the parameter block of SSC
    contents = {
        "good": MAGIC + bytes(20),
        "short": MAGIC[:2],
        "other": bytes(24),
        "listed": listed.build(),
        # dirSize 5, and the file ends after the first entry's blockType.
        "truncated": OpusFile(dir_size=5).build() + listed.build()[24:28],
        "negative": OpusFile(offset_to_directory=-1).build(),
    }
    spectrum = {"NPT": 3, "FXV": 1.0, "LXV": 3.0, "MXY": 1.0, "MNY": 0.0}

    def spectrum_file(params):
        opus = OpusFile()
        opus.add_block(0x1000, float32_block([1.0, 2.0, 3.0]))
        opus.add_block(0x1010, params if isinstance(params, bytes) else param_block_from_dict(params))
        return opus.build()

    contents.update({
        "spectrum": spectrum_file(param_block_from_dict(spectrum, end=False)
                                  + param_block([("SNM", 2, b"f\xfcr")])),
        "huge": spectrum_file({**spectrum, "LXV": 1e305}),
        "bad type": spectrum_file(param_block([("BAD", 7, b"")])),
        "bad label": spectrum_file(param_block([(b"\xff\0\0\0", 0, 1)])),
        "unterminated": spectrum_file(param_record("NPT", 0, 3)),
        "no NPT": spectrum_file({"FXV": 1.0}),
        "long text": spectrum_file(param_block_from_dict(spectrum, end=False) + param_record("TXT", 2, "a", 2**15 - 1)),
        "endless directory": OpusFile(dir_size=2**31 - 1).build() + listed.build()[24:],
        "text NPT": spectrum_file({**spectrum, "NPT": "3"}),
        **map_files(),
    })
    files = {"missing": tmp_path / "missing.0", "directory": tmp_path}
    for name, data in contents.items():
        files[name] = tmp_path / f"{name}.0"
        files[name].write_bytes(data)
    function, arguments = CASES[request.param](files)
    return (lambda: function(*arguments)), arguments


def test_arguments_keep_their_reference_counts(case):
    call, arguments = case
    _repeat(call)  # warm caches (interned strings, exception types)
    gc.collect()
    before = [sys.getrefcount(a) for a in arguments]
    _repeat(call)
    gc.collect()
    assert [sys.getrefcount(a) for a in arguments] == before


def process_figures():
    """The process's resident size in bytes and its count of open descriptors, where /proc tells
    them: Linux's, and wine's to a Windows interpreter run under it, whose process it is. None
    elsewhere, where tracemalloc's figures stand alone."""
    if not (os.path.isdir("/proc/self/fd") and os.path.isfile("/proc/self/status")):
        return None
    with open("/proc/self/status") as status:
        resident = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS:"))
    return resident, open_descriptors()


def test_memory_and_descriptors_stay_flat(case):
    call, _ = case
    _repeat(call)
    gc.collect()
    tracemalloc.start()
    try:
        _repeat(call)
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        first_process = process_figures()
        _repeat(call)
        _repeat(call)
        gc.collect()
        second, _ = tracemalloc.get_traced_memory()
        second_process = process_figures()
    finally:
        tracemalloc.stop()
    # A leak of one small object a call (32 bytes or more) would add over 128 KiB over 2 x 2000
    # calls; the interpreter's own caches move by a few KiB from run to run (4.7 KiB seen once for
    # the pickled trace maps under 3.10).
    assert second - first < 16 * 1024
    if first_process is not None:
        # tracemalloc sees Python's and NumPy's memory; the resident size also sees the core's. A
        # leaked read-ahead window, parameter list or store table would add megabytes.
        if not UNDER_ADDRESS_SANITIZER:
            assert second_process[0] - first_process[0] < 256 * 1024
        assert second_process[1] == first_process[1]
