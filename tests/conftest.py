"""Fixtures shared by the korvex tests."""

import itertools
import sys
from pathlib import Path

import pytest

# Real OPUS files written by instrument software, kept beside the repository
# (../shared/samples from its root); tests that read them skip when absent.
SAMPLES_DIR = Path(__file__).resolve().parents[1].parent / "shared" / "samples"
SAMPLE_NAMES = [
    "617262_1TP_C-1_A5.0",
    "629266_1TP_A-1_C1.0",
    "BF_lo_01_soil_cal.1",
    "MMP_2107_Test1.001",
    "test_spectra.0",
    "issue81_A1.1.0",
    "issue82_Opus_test.0",
    "issue94_RT_01_1_23-02-21_13-23-54.0",
]


@pytest.fixture(scope="session")
def samples_dir():
    """The folder of real OPUS files."""
    if not SAMPLES_DIR.is_dir():
        pytest.skip(f"no sample files at {SAMPLES_DIR}")
    return SAMPLES_DIR


@pytest.fixture(params=SAMPLE_NAMES)
def sample_path(request, samples_dir):
    """Each real OPUS file in turn."""
    path = samples_dir / request.param
    if not path.is_file():
        pytest.skip(f"sample file {path} is missing")
    return path


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
