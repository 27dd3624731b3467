"""Damaged files through the public functions: files cut at every structural boundary, fields of
the header, the directory, the parameter records, the map block header and the store table set to
extreme and overlapping values, and bytes flipped. Every call must return or raise one of the
exceptions the module documents, at once, the same way twice, and as the model of the format
says."""

import contextlib
import io
import struct
import sys
import time
import warnings

import pytest

import korvex
from checks import DOCUMENTED_ERRORS, comparable, error_outcome
from opusmodel import TooManyRecords, fields, model_listing, model_map, model_spectrum
from opuswriter import (EXTEND_3D, MAGIC, MapBlock, OpusFile, float32_block, map_opus_file, param_block,
                        param_block_from_dict)

# Requests made of every file, besides those its listing names.
FIXED_REQUESTS = [("AB", "2D", "NONE"), ("AB", "3D", "NONE"), ("TRC", "3D", "NONE")]
# A call on a file of a few hundred kilobytes takes well under a millisecond: one that takes a
# second has met a loop that the file's size does not bound.
HANG_GUARD_SECONDS = 1.0
ORIGINAL_LINE = "Orignal mapping coordinates used\n"


# ------------------------------------------------------------------ sound files to damage

def spectrum_file():
    """An AB spectrum with every kind of parameter block, and an SSC block beside it."""
    opus = OpusFile()
    opus.add_block(0x1000, float32_block([1.0, 2.0, 3.0, 4.0, 5.0]))
    opus.add_block(0x1010, param_block_from_dict({"NPT": 5, "FXV": 10.0, "LXV": 50.0, "MXY": 5.0, "MNY": 1.0,
                                                  "DXU": "WN"}))
    opus.add_block(0x30, param_block_from_dict({"RES": 4.0, "NSS": 32}))
    opus.add_block(0x20, param_block([("INS", 2, "bench"), ("LWN", 1, 15798.0)]))
    opus.add_block(0xA0, param_block([("SNM", 3, "soil"), ("SFM", 4, "")]))
    opus.add_block(0x40, param_block_from_dict({"APF": "B3", "ZFF": 2}))
    opus.add_block(0x404, float32_block([7.0, 8.0]))
    opus.add_block(0x414, param_block_from_dict({"NPT": 2, "FXV": 1.0, "LXV": 2.0, "MXY": 8.0, "MNY": 7.0}))
    return opus.build()


GEOMETRY = {"NPT": 4, "FXV": 100.0, "LXV": 400.0, "AOX": 10.0, "AOY": -5.0, "DDX": 2.5, "DDY": 0.5,
            "NPX": 3, "NPY": 2, "MXY": 9.0, "MNY": -1.0}


def records(count, npt, start=0):
    return [[100.0 * (start + k) + i for i in range(npt)] for k in range(count)]


def cube_file():
    """A 3 x 2 map cube: two runs of records with a skip between them."""
    block = MapBlock(info_size=8).run(records(2, 4)).skip(12).run(records(3, 4, 2), first=3)
    return map_opus_file(block, GEOMETRY).build()


def trace_file():
    """Three named 4 x 2 trace maps, a skip between the second and the third."""
    block = MapBlock(info_size=160).run(records(2, 8), names=["area", "peak"]).skip(4).run(
        records(1, 8, 2), first=3, names=["ratio"])
    return map_opus_file(block, {**GEOMETRY, "NPT": 8, "NPX": 4, "NPY": 2}, 7).build()


def derived_cube_file():
    """A first-derivative map without a geometry of its own, and the underived one it falls back on."""
    block = MapBlock(info_size=0).run(records(6, 4))
    return map_opus_file(block, {**GEOMETRY, "NPX": 0}, deriv_type=1, original=GEOMETRY).build()


WRITER_FILES = {"spectrum": spectrum_file, "map cube": cube_file, "trace maps": trace_file,
                "derived map cube": derived_cube_file}


# ------------------------------------------------------------------ where a file's structures lie

class Layout:
    """The structures of a file, found by walking it as a reader would: `fields` lists the
    (offset, format) of the integers that hold counts, offsets, codes, types and sizes; `cuts`
    holds the offsets at which one structure ends and the next begins; `blocks` the block offsets;
    `plain` the offsets of bytes whose change makes no case of its own (float32 values, and the
    high bytes of NPT, NPX and NPY, which would only make the result large)."""

    def __init__(self, data):
        self.data = data
        self.fields = [(12, "<i"), (16, "<i"), (20, "<i")]
        self.plain = set()
        self.cuts = {1, 3, 4, 12, 16, 20, 24}
        directory_at, dir_size = struct.unpack_from("<i", data, 12)[0], struct.unpack_from("<i", data, 20)[0]
        entries = []
        for i in range(dir_size):
            at = directory_at + 12 * i
            if at + 12 > len(data):
                break
            self.cuts.add(at)
            self.fields += [(at, "<i"), (at + 4, "<i"), (at + 8, "<i")]
            entries.append(struct.unpack_from("<3i", data, at))
        self.cuts.add(directory_at + 12 * len(entries))
        self.blocks = sorted({offset for _, _, offset in entries if 0 <= offset < len(data)})
        parameters = {code: self._parameters(offset) for code, _, offset in entries if fields(code)[1] != 0}
        for code, words, offset in entries:
            if fields(code)[1] == 0 and 0 <= offset < len(data):
                self.cuts |= {offset, offset + 4 * words}
                if fields(code)[4] != EXTEND_3D:
                    self.plain |= set(range(offset, offset + 4 * words))
                else:
                    npt = parameters.get(code + 0x10, {}).get("NPT", 0)
                    self._map_block(offset, npt if isinstance(npt, int) else 0)
        self.cuts = sorted(cut for cut in self.cuts if 0 < cut < len(data))

    def _parameters(self, offset):
        data, block = self.data, {}
        while 0 <= offset and offset + 8 <= len(data):
            self.cuts.add(offset)
            label = data[offset:offset + 4].strip(b"\0")
            if label == b"END":
                self.cuts.add(offset + 4)
                break
            type_, size = struct.unpack_from("<2h", data, offset + 4)
            self.fields += [(offset + 4, "<h"), (offset + 6, "<h")]
            if type_ == 0 and offset + 12 <= len(data):
                block[label.decode("latin-1")] = struct.unpack_from("<i", data, offset + 8)[0]
                if label in (b"NPT", b"NPX", b"NPY"):
                    self.plain |= {offset + 9, offset + 10, offset + 11}
            self.cuts.add(offset + 8)
            offset += 8 + {0: 4, 1: 8}.get(type_, 2 * size if type_ in (2, 3, 4) and size >= 0 else -10**9)
        return block

    def _map_block(self, offset, npt):
        data = self.data
        if offset + 24 > len(data):
            return
        self.fields += [(offset + 4 * i, "<i") for i in range(6)]
        self.cuts.add(offset + 24)
        _, _, block_offset, _, info_size, number_entries = struct.unpack_from("<6i", data, offset)
        position = offset + block_offset
        for i in range(max(0, min(number_entries, (len(data) - offset - 24) // 8))):
            at = offset + 24 + 8 * i
            self.fields += [(at, "<i"), (at + 4, "<i")]
            self.cuts.add(at + 8)
            first, second = struct.unpack_from("<2i", data, at)
            if first == -1:
                position += max(second, 0)
                continue
            for _ in range(min(max(second - first + 1, 0), 64)):
                self.cuts |= {position, position + 4 * npt}
                self.plain |= set(range(position, position + 4 * npt))
                position += 4 * npt + max(info_size, 0)
        self.cuts.add(position)


def extreme_values(layout, fmt):
    """Values that damage a field most: the limits of its type, -1, 0, the file's size, and the
    offsets of the directory and of blocks that other fields point at, for overlaps."""
    if fmt == "<h":
        return [0, -1, 1, 5, 2**15 - 1, -(2**15)]
    overlapping = [24, *layout.blocks[:1], *layout.blocks[-1:]]
    return sorted({0, -1, 1, 2**31 - 1, -(2**31), len(layout.data), len(layout.data) - 2, *overlapping})


def mutations(data, flips=True):
    """(description, damaged bytes): the file cut at every structural boundary and a byte before
    it; every field set to every extreme value; with `flips`, every byte of a structure inverted."""
    layout = Layout(data)
    for cut in layout.cuts:
        yield f"cut to {cut} bytes", data[:cut]
        yield f"cut to {cut - 1} bytes", data[:cut - 1]
    for offset, fmt in layout.fields:
        for value in extreme_values(layout, fmt):
            damaged = bytearray(data)
            struct.pack_into(fmt, damaged, offset, value)
            yield f"{fmt} at {offset} set to {value}", bytes(damaged)
    if flips:
        for offset in sorted(set(range(len(data))) - layout.plain):
            damaged = bytearray(data)
            damaged[offset] ^= 0xFF
            yield f"byte {offset} inverted", bytes(damaged)


# ------------------------------------------------------------------ calls and their outcomes

class Caller:
    """Makes calls, timing each and keeping the unraisable reports and printed lines of each."""

    def __init__(self):
        self.slowest = (0.0, None)

    def __call__(self, function, *args):
        reports = []
        printed = io.StringIO()
        hook = sys.unraisablehook
        sys.unraisablehook = reports.append
        try:
            with warnings.catch_warnings(), contextlib.redirect_stdout(printed):
                warnings.simplefilter("ignore")
                start = time.perf_counter()
                try:
                    value = function(*args)
                except Exception as error:  # noqa: BLE001 - the outcome is the exception itself
                    value = error
                duration = time.perf_counter() - start
        finally:
            sys.unraisablehook = hook
        if duration > self.slowest[0]:
            self.slowest = (duration, (function.__name__, args))
        return value, len(reports), printed.getvalue()


def result_attributes(result, names):
    return {name: getattr(result, name) for name in names}


MAP_NAMES = ("mapX", "mapY", "x", "maxY", "minY")


def expected_outcomes(path, data, requests):
    """What the model says every call gives: {call: (comparable outcome, reports, printed)}."""
    expected = {}
    if len(data) < 4:
        error = struct.error("unpack requires a buffer of 4 bytes")
        expected["isOpusFile"] = (error_outcome(error), 0, "")
        expected["listContents"] = expected["isOpusFile"]
        return expected
    expected["isOpusFile"] = (repr(data[:4] == MAGIC), 0, "")
    if data[:4] != MAGIC:
        expected["listContents"] = (error_outcome(ValueError("Can't process a non-Opus file")), 0, "")
        return expected
    listing, reports = model_listing(data)
    expected["listContents"] = (error_outcome(listing) if isinstance(listing, Exception) else repr(listing),
                                reports, "")
    for request in requests:
        if request[2] == "3DER":
            continue  # refused before the file is read; compared for sameness only
        if request[1] == "2D":
            value, reports = model_spectrum(data, request)
            printed = 0
            if not isinstance(value, Exception):
                value = dict(zip(("x", "y", "maxY", "minY", "parameters"), value))
        else:
            value, reports, printed = model_map(str(path), data, request)
            if isinstance(value, TooManyRecords):
                continue
        outcome = error_outcome(value) if isinstance(value, Exception) else comparable(value)
        expected[("getOpusData", request)] = (outcome, reports, ORIGINAL_LINE * printed)
    return expected


def actual_outcomes(call, path):
    """What korvex gives for every call on the file, the listed requests and the fixed ones."""
    actual = {}

    def record(key, value, reports, printed, names=None):
        if isinstance(value, BaseException):
            outcome = error_outcome(value)
        elif names is not None:
            outcome = comparable(result_attributes(value, names))
        else:
            outcome = repr(value)
        actual[key] = (outcome, reports, printed, value)

    record("isOpusFile", *call(korvex.isOpusFile, str(path)))
    listing = call(korvex.listContents, str(path))
    record("listContents", *listing)
    requests = list(listing[0]) if isinstance(listing[0], list) else []
    for request in dict.fromkeys(requests + FIXED_REQUESTS):
        if request[1] == "2D":
            names = ("x", "y", "maxY", "minY", "parameters")
        elif request[0] == "TRC":
            names = (*MAP_NAMES, "labels", "traces", "parameters")
        else:
            names = (*MAP_NAMES, "spectra", "parameters")
        record(("getOpusData", request), *call(korvex.getOpusData, str(path), request), names=names)
    return actual, list(dict.fromkeys(requests + FIXED_REQUESTS))


def check_damaged(path, data, with_model=True):
    """The faults found in the calls on one file, as text; none when all is well."""
    path.write_bytes(data)
    call = Caller()
    first, requests = actual_outcomes(call, path)
    second, _ = actual_outcomes(call, path)
    faults = []
    for key, (outcome, reports, printed, value) in first.items():
        if isinstance(value, BaseException) and not isinstance(value, DOCUMENTED_ERRORS):
            faults.append(f"{key} raised {type(value).__name__}: {value}")
        if second.get(key, (None,))[:3] != (outcome, reports, printed):
            faults.append(f"{key} answered differently the second time")
    if call.slowest[0] > HANG_GUARD_SECONDS:
        faults.append(f"{call.slowest[1]} took {call.slowest[0]:.2f} s")
    if with_model:
        for key, (outcome, reports, printed) in expected_outcomes(path, data, requests).items():
            if first[key][:3] != (outcome, reports, printed):
                got = first[key][3]
                faults.append(f"{key} gave {type(got).__name__}: {str(got)[:200]}, not what the model gives: "
                              f"{str(outcome)[:200]}")
    return faults


def check_all(tmp_path, damaged, with_model=True):
    path = tmp_path / "damaged.opus"
    faults = []
    for description, data in damaged:
        faults += [f"{description}: {fault}" for fault in check_damaged(path, data, with_model)]
    assert not faults, f"{len(faults)} faults, the first:\n" + "\n".join(faults[:10])


# ------------------------------------------------------------------ the tests

@pytest.mark.parametrize("name", WRITER_FILES)
def test_damaged_writer_files_answer_as_the_model_does(tmp_path, name):
    data = WRITER_FILES[name]()
    assert check_damaged(tmp_path / "sound.opus", data) == []
    check_all(tmp_path, mutations(data))


def test_damaged_real_files_answer_at_once_and_the_same_way_twice(tmp_path, sample_path):
    data = sample_path.read_bytes()
    damaged = list(mutations(data, flips=False))
    # Every structure of a real file is cut and set, each call compared with the model: a sample
    # of every few mutations keeps the time down while each kind of field is still met.
    check_all(tmp_path, damaged[::len(damaged) // 40 | 1])
