"""Comparisons shared by the test modules."""

import os
import struct
import sys

import numpy as np
import pytest


# Under AddressSanitizer (its runtime preloaded, as the sanitizer build is run) freed memory waits in
# quarantine and shadow memory is mapped as it is first touched, so the resident size says nothing
# of what a call keeps; there the sanitizer's own checks stand in for it.
UNDER_ADDRESS_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")

# Unraisable reports of failed primitive reads, as the `unraisable` fixture records them.
INT_REPORT = ("korvex.readInt", struct.error, "unpack requires a buffer of 4 bytes")
SHORT_REPORT = ("korvex.readShort", struct.error, "unpack requires a buffer of 2 bytes")
DOUBLE_REPORT = ("korvex.readDouble", struct.error, "unpack requires a buffer of 8 bytes")


class CustomPath:
    """A path object of the caller's own, known to open() via __fspath__."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


# Every kind of path open() takes, made from a pathlib.Path.
PATH_KINDS = {
    "str": str,
    "bytes": lambda p: os.fsencode(str(p)),
    "Path": lambda p: p,
    "PathLike": lambda p: CustomPath(str(p)),
}


def raised_by(func, *args, **kwargs):
    """The exception that func(*args, **kwargs) raises."""
    with pytest.raises(Exception) as info:
        func(*args, **kwargs)
    return info.value


def assert_same_error(actual, expected):
    """The two exceptions agree in class, arguments, text and, for OSError, errno and file names."""
    assert type(actual) is type(expected)
    assert actual.args == expected.args
    assert str(actual) == str(expected)
    if isinstance(expected, OSError):
        assert actual.errno == expected.errno
        assert actual.filename == expected.filename
        assert actual.filename2 == expected.filename2


# What open() raises for a directory: Windows refuses to open one for reading (EACCES).
DIRECTORY_ERROR = PermissionError if sys.platform == "win32" else IsADirectoryError


def open_descriptors():
    """How many file descriptors the process holds."""
    return len(os.listdir("/proc/self/fd"))


# What a call may raise on any file, however damaged: the module's own ValueError and MemoryError,
# and what the interpreter, struct and NumPy raise on the values a damaged file holds.
DOCUMENTED_ERRORS = (ValueError, KeyError, IndexError, ZeroDivisionError, TypeError, OSError, struct.error,
                     UnicodeDecodeError, MemoryError)


# Linux's /proc/self/fd. A Windows interpreter under wine sees wine's, which holds one descriptor for
# each file handle the interpreter has open, so it counts there too.
needs_proc_fd = pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc/self/fd")


def comparable(value):
    """A value in a form that compares exactly, NaN included: arrays by dtype, shape and bytes,
    floats by their bits, the rest by repr."""
    if isinstance(value, np.ndarray):
        return value.dtype.str, value.shape, value.tobytes()
    if isinstance(value, float):
        return "float", struct.pack("<d", value)
    if isinstance(value, dict):
        return [(key, comparable(item)) for key, item in value.items()]
    if isinstance(value, list):
        return [comparable(item) for item in value]
    return repr(value)


def error_outcome(error):
    """An exception in a form that compares exactly: its class and text, and errno and file name."""
    extra = (error.errno, error.filename) if isinstance(error, OSError) else ()
    return ("raised", type(error), str(error), *extra)
