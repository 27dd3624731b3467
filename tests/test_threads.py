"""Calls from several threads at once give exactly what the same calls give one after another: the
module reads with the GIL released (and, on a free-threaded interpreter, with no GIL at all), so
any state that calls shared would show here as a wrong array, parameter or exception."""

import os
import random
import sys
import sysconfig
import threading

import pytest

import korvex
from checks import comparable, error_outcome
from conftest import SAMPLE_NAMES, SAMPLES_DIR
from opuswriter import MapBlock, map_opus_file
from test_damaged import FIXED_REQUESTS, GEOMETRY, WRITER_FILES, mutations

THREADS = 4
ROUNDS = 3


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
    paths += [SAMPLES_DIR / name for name in SAMPLE_NAMES if (SAMPLES_DIR / name).is_file()]
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
