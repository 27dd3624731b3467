"""Fixtures shared by the korvex tests."""

import itertools
import sys

import pytest

from real_samples import REPO_COPY, gather, sample_files

# Real OPUS files written by instrument software: the repository's copy in tests/data/samples, and
# what ../shared/samples beside the project's root adds to it (see real_samples.py).
SAMPLE_FILES = sample_files()
# The single-spectrum files at the top of the folder (the maps are in maps/).
SAMPLE_NAMES = [name for name in SAMPLE_FILES if "/" not in name]


@pytest.fixture(scope="session")
def samples_dir(tmp_path_factory):
    """The folder of real OPUS files: the repository's copy, or when ../shared/samples adds files
    to it, a folder holding them all."""
    if sample_files((REPO_COPY,)) == SAMPLE_FILES:
        return REPO_COPY
    return gather(tmp_path_factory.mktemp("samples"))


@pytest.fixture(params=SAMPLE_NAMES)
def sample_path(request):
    """Each real single-spectrum OPUS file in turn."""
    return SAMPLE_FILES[request.param]


@pytest.fixture
def write_file(tmp_path):
    """write_file(data, name=None) -> Path of a new file in tmp_path holding
    ``data`` (bytes); each call gets a fresh name unless one is given."""
    counter = itertools.count()

    def write(data, name=None):
        path = tmp_path / (name or f"file{next(counter)}.opus")
        path.write_bytes(bytes(data))
        return path

    return write


@pytest.fixture
def unraisable(monkeypatch):
    """The unraisable-exception reports of the test, as (context, exception class, message)."""
    reports = []
    monkeypatch.setattr(sys, "unraisablehook",
                        lambda u: reports.append((u.object, type(u.exc_value), str(u.exc_value))))
    return reports
