"""Calls from several threads at once give exactly what the same calls give one after another: the
module reads with the GIL released (and, on a free-threaded interpreter, with no GIL at all), so
any state that calls shared would show here as a wrong array, parameter or exception."""

import collections
import errno
import os
import random
import sys
import sysconfig
import threading

import numpy as np
import pytest

import korvex
from checks import comparable, error_outcome
from conftest import SAMPLE_FILES, SAMPLE_NAMES
from opuswriter import MapBlock, OpusFile, float32_block, map_opus_file, param_block_from_dict
from test_damaged import FIXED_REQUESTS, GEOMETRY, WRITER_FILES, mutations

THREADS = 4
ROUNDS = 3
LISTINGS = 20000  # listings by descriptor against two threads reading by path


def large_cube():
    """A 24 x 16 map of 512-point spectra (about 800 kB), so that reads take long enough to overlap."""
    params = {**GEOMETRY, "NPT": 512, "NPX": 16, "NPY": 24}
    block = MapBlock(info_size=12).run([[float(k + i) for i in range(512)] for k in range(16 * 24)])
    return map_opus_file(block, params).build()


def outcome(call):
    """What one call gives, in a form that compares exactly."""
    function, path, *request = call
    try:
        value = function(path, *request)
    except Exception as error:  # noqa: BLE001 - the outcome is the exception itself
        return error_outcome(error)
    return comparable(vars(value)) if request else repr(value)


@pytest.fixture(scope="module")
def calls(tmp_path_factory):
    """Every call on a mix of files: sound and damaged spectra, map cubes and trace maps, a large
    cube, and the real files when present."""
    folder = tmp_path_factory.mktemp("threads")
    contents = {"large cube": large_cube()}
    for name, build in WRITER_FILES.items():
        data = build()
        contents[name] = data
        for k, (_, damaged) in enumerate(list(mutations(data))[::37]):
            contents[f"{name} damaged {k}"] = damaged
    paths = [folder / f"file{k}.opus" for k in range(len(contents))]
    for path, data in zip(paths, contents.values()):
        path.write_bytes(data)
    paths += [SAMPLE_FILES[name] for name in SAMPLE_NAMES]
    made = []
    for path in map(str, paths):
        made += [(korvex.isOpusFile, path), (korvex.listContents, path)]
        try:
            listed = korvex.listContents(path)
        except Exception:  # noqa: BLE001 - a file that cannot be listed still gets the fixed requests
            listed = []
        made += [(korvex.getOpusData, path, request) for request in dict.fromkeys(listed + FIXED_REQUESTS)]
    return made


@pytest.mark.filterwarnings("ignore")
def test_threads_give_what_serial_calls_give(calls, monkeypatch, capsys):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    serial = [outcome(call) for call in calls]
    assert serial == [outcome(call) for call in calls]  # the reference itself is stable

    start = threading.Barrier(THREADS)
    differing = [None] * THREADS

    def work(thread):
        order = list(range(len(calls)))
        random.Random(thread).shuffle(order)  # each thread meets the calls in its own order
        found = {}
        start.wait()
        for _ in range(ROUNDS):
            for i in order:
                got = outcome(calls[i])
                if got != serial[i]:
                    found.setdefault(i, got)
        differing[thread] = found

    threads = [threading.Thread(target=work, args=(thread,)) for thread in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for found in differing:
        assert found == {}, [(calls[i][1:], got) for i, got in list(found.items())[:3]]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED") or os.environ.get("PYTHON_GIL") == "1",
                    reason="not a free-threaded interpreter, or one told to keep the GIL")
def test_the_module_declares_that_it_needs_no_gil():
    # Importing an extension that does not declare itself safe without the GIL turns the GIL on.
    assert not sys._is_gil_enabled()


def test_listing_by_descriptor_never_reads_or_closes_another_threads_file(tmp_path):
    # The magic test closes the descriptor it is given (through open()). Were the listing to open
    # the same number again, it could meet the file that a thread reading by path has just been
    # given that number for: it would list that file and close it under the reader, whose reads
    # then fail (EBADF) or read whatever file takes the number next.
    listed = tmp_path / "listed.0"
    listed.write_bytes(large_cube())
    spectrum = tmp_path / "spectrum.0"
    opus = OpusFile()
    opus.add_block(0x1010, param_block_from_dict({"NPT": 4, "FXV": 1.0, "LXV": 4.0, "MXY": 4.0, "MNY": 1.0}))
    opus.add_block(0x1000, float32_block([1.0, 2.0, 3.0, 4.0]))
    opus.write(spectrum)
    listings = collections.Counter()
    wrong_reads = []
    listed_all = threading.Event()

    def list_by_descriptor():
        try:
            for _ in range(LISTINGS):
                descriptor = os.open(listed, os.O_RDONLY | getattr(os, "O_BINARY", 0))
                try:
                    listings[repr(korvex.listContents(descriptor))] += 1
                except OSError as error:
                    listings[error.errno] += 1
        finally:
            listed_all.set()

    def read_by_path():
        while not listed_all.is_set():
            try:
                y = korvex.getOpusData(str(spectrum), ("AB", "2D", "NONE")).y.tolist()
            except Exception as error:  # noqa: BLE001 - any exception is a wrong read
                wrong_reads.append(repr(error))
            else:
                if y != [1.0, 2.0, 3.0, 4.0]:
                    wrong_reads.append(y)

    threads = [threading.Thread(target=list_by_descriptor)] + [threading.Thread(target=read_by_path)
                                                               for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert (dict(listings), wrong_reads[:5], len(wrong_reads)) == ({errno.EBADF: LISTINGS}, [], 0)


def test_a_call_made_while_another_builds_its_result_reads_its_own_values(tmp_path):
    """A call on the same thread that starts while another call makes its objects (here a profile
    hook, run as NumPy spaces an axis whose ends are too large to space natively) gets its own
    values, and leaves the other call's alone."""
    def spectrum(path, first, values):
        opus = OpusFile()
        opus.add_block(0x1010, param_block_from_dict({"NPT": len(values), "FXV": first, "LXV": 1e300,
                                                      "MXY": max(values), "MNY": min(values)}))
        opus.add_block(0x1000, float32_block(values))
        opus.write(path)
        return str(path)

    outer = spectrum(tmp_path / "outer.0", 2e300, [1.0, 2.0, 3.0, 4.0])
    inner = spectrum(tmp_path / "inner.0", 4000.0, [5.0, 6.0, 7.0, 8.0, 9.0])
    made_inside = []

    def hook(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "linspace" and not made_inside:
            made_inside.append(korvex.getOpusData(inner, ("AB", "2D", "NONE")))

    sys.setprofile(hook)
    try:
        result = korvex.getOpusData(outer, ("AB", "2D", "NONE"))
    finally:
        sys.setprofile(None)
    assert len(made_inside) == 1
    assert result.y.tolist() == [1.0, 2.0, 3.0, 4.0]
    assert made_inside[0].y.tolist() == [5.0, 6.0, 7.0, 8.0, 9.0]
    assert result.x.tolist() == np.linspace(2e300, 1e300, 4).tolist()
