"""The fuzzer's inputs through the public functions: every file that once made the fuzz target fail
(fuzz/regressions, each named by what it showed) and the committed corpus (fuzz/corpus).

Each call either returns or raises one of the exceptions a damaged file may raise, and gives the
same outcome when made again.
"""

import hashlib
import struct
from pathlib import Path

import numpy as np
import pytest

import korvex
from checks import DOCUMENTED_ERRORS

FUZZ_DIR = Path(__file__).resolve().parents[1] / "fuzz"
INPUTS = sorted(path for folder in ("regressions", "corpus") for path in (FUZZ_DIR / folder).glob("*")
                if path.is_file() and not path.name.startswith("."))

ALWAYS_ASKED = [("AB", "2D", "NONE"), ("AB", "3D", "NONE"), ("TRC", "3D", "NONE")]


def comparable(value):
    """What a returned value holds, in a form that == compares. Arrays compare by type, shape and a
    digest of their bytes: a damaged file may claim a cube of gigabytes, zeros that are never written."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, hashlib.sha256(value).hexdigest())
    if isinstance(value, korvex.DataReturn):
        return ("DataReturn", {name: comparable(item) for name, item in vars(value).items()})
    if isinstance(value, (list, tuple)):
        return type(value)(comparable(item) for item in value)
    if isinstance(value, dict):
        return {key: comparable(item) for key, item in value.items()}
    if isinstance(value, float) and value != value:
        return ("nan", struct.pack("<d", value))
    return value


def outcome(func, *args):
    """('returned', value) or (exception class, text); any other exception fails the test."""
    try:
        value = func(*args)
    except DOCUMENTED_ERRORS as error:
        return type(error), str(error)
    return "returned", comparable(value)


def same_outcome_twice(func, *args):
    first = outcome(func, *args)
    assert outcome(func, *args) == first, (func.__name__, args)
    return first


@pytest.mark.parametrize("path", INPUTS, ids=[f"{path.parent.name}/{path.name}" for path in INPUTS])
def test_fuzz_input_gives_a_documented_outcome(path, capsys, unraisable):
    is_opus = same_outcome_twice(korvex.isOpusFile, str(path))
    listing = same_outcome_twice(korvex.listContents, str(path))
    if is_opus == ("returned", False):
        assert listing == (ValueError, "Can't process a non-Opus file")
    listed = listing[1] if listing[0] == "returned" else []
    for triple in dict.fromkeys([*listed, *ALWAYS_ASKED]):
        same_outcome_twice(korvex.getOpusData, str(path), triple)
    capsys.readouterr()  # the lines that derived maps print; `unraisable` keeps the failed reads' reports
