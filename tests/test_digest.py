"""The digest harness (tests/digest/digest.cpp), built with CMake and no Python, as .ci/digest builds
it to compare platforms: the comparison means something only if every difference the module can
show changes a file's digest. So each byte of a small file of each result kind is changed in turn,
and wherever the module's results change, the digest must change too."""

import os
import shutil
import struct
import subprocess
from pathlib import Path

import numpy as np
import pytest

import korvex
from checks import DOCUMENTED_ERRORS
from result_files import KINDS
from test_fuzz_inputs import ALWAYS_ASKED

ROOT = Path(__file__).resolve().parents[1]


def run(*command):
    done = subprocess.run([str(part) for part in command], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@pytest.fixture(scope="module")
def harness(tmp_path_factory):
    if shutil.which("cmake") is None:
        pytest.skip("needs cmake")
    build = tmp_path_factory.mktemp("digest-build")
    # Warnings are errors when KORVEX_WERROR is ON, as CI sets it.
    run("cmake", "-S", ROOT, "-B", build, "-DKORVEX_MODULE=OFF", "-DKORVEX_DIGEST=ON",
        f"-DKORVEX_WERROR={os.environ.get('KORVEX_WERROR', 'OFF')}")
    run("cmake", "--build", build, "--target", "korvex_digest", "--config", "Release")
    found = [path for path in build.rglob("korvex_digest*") if path.is_file() and path.suffix in ("", ".exe")]
    assert len(found) == 1, found
    return found[0]


def digests(harness, *paths):
    """{name: digest} from the harness's lines, and the names in the order printed."""
    lines = run(harness, *paths).splitlines()
    pairs = [line.split("  ", 1) for line in lines]
    return dict((name, digest) for digest, name in pairs), [name for _, name in pairs]


def exact(value):
    """A value in a form that == compares bit for bit: arrays by dtype, shape and bytes, floats by
    their bits (NaN and -0.0 included), results by their attributes in order."""
    if isinstance(value, np.ndarray):
        return "array", value.dtype.str, value.shape, value.tobytes()
    if isinstance(value, float):
        return "float", struct.pack("<d", value)
    if isinstance(value, korvex.DataReturn):
        return "DataReturn", [(name, exact(item)) for name, item in vars(value).items()]
    if isinstance(value, dict):
        return "dict", [(key, exact(item)) for key, item in value.items()]
    if isinstance(value, (list, tuple)):
        return type(value).__name__, [exact(item) for item in value]
    return type(value).__name__, repr(value)


def outcome(call, capsys, unraisable):
    """What a call returns or raises, with what it prints and reports as unraisable."""
    try:
        result = ("returned", exact(call()))
    except DOCUMENTED_ERRORS as error:
        result = (type(error), str(error))
    reports = list(unraisable)
    unraisable.clear()
    return result, capsys.readouterr().out, reports


def module_view(path, capsys, unraisable):
    """Everything the module shows of a file: the magic test, the listing, and getOpusData of each
    listed block and of the blocks every file is asked for."""
    view = [outcome(lambda: korvex.isOpusFile(str(path)), capsys, unraisable)]
    try:
        listing = korvex.listContents(str(path))
    except DOCUMENTED_ERRORS:
        listing = []
    view.append(outcome(lambda: korvex.listContents(str(path)), capsys, unraisable))
    for block in dict.fromkeys([*map(tuple, listing), *ALWAYS_ASKED]):
        view.append(outcome(lambda: korvex.getOpusData(str(path), block), capsys, unraisable))
    return view


def test_every_change_the_module_shows_changes_the_digest(harness, tmp_path, capsys, unraisable):
    copies = {}  # name relative to tmp_path -> (kind, offset, mask)
    for kind, (contents, _) in KINDS.items():
        original = contents()
        folder = tmp_path / kind.replace(" ", "_")
        folder.mkdir()
        (folder / "original").write_bytes(original)
        (folder / "same").write_bytes(original)
        for offset in range(len(original)):
            for mask in (0x01, 0x80):
                changed = bytearray(original)
                changed[offset] ^= mask
                name = f"{offset:05d}-{mask:02x}"
                (folder / name).write_bytes(changed)
                copies[f"{folder.name}/{name}"] = (kind, offset, mask)

    found, order = digests(harness, tmp_path)
    expected = sorted([*copies, *(f"{kind.replace(' ', '_')}/{name}" for kind in KINDS for name in ("original", "same"))])
    assert order == expected  # relative, '/'-separated, in byte order of the names

    missed = []
    shown = 0
    views = {}
    for name, (kind, offset, mask) in copies.items():
        folder = name.split("/")[0]
        if folder not in views:
            assert found[f"{folder}/same"] == found[f"{folder}/original"]
            views[folder] = module_view(tmp_path / folder / "original", capsys, unraisable)
        if module_view(tmp_path / name, capsys, unraisable) != views[folder]:
            shown += 1
            if found[name] == found[f"{folder}/original"]:
                missed.append((kind, offset, hex(mask)))
    assert shown > len(copies) // 4  # the changes reach the results, not only unread bytes
    assert missed == []


def test_a_missing_path_fails_the_run(harness, tmp_path):
    done = subprocess.run([str(harness), str(tmp_path / "missing")], capture_output=True, text=True)
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr.startswith("korvex_digest: ")
