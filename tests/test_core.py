"""Builds the parsing core's own unit tests (C++, no Python) with ASan and UBSan, and runs them."""

import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def run(*command):
    done = subprocess.run([str(part) for part in command], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_core_unit_tests(tmp_path):
    build = tmp_path / "build"
    # Warnings are errors when KORVEX_WERROR is ON, as CI sets it.
    run("cmake", "-S", ROOT, "-B", build, "-DKORVEX_CORE_TESTS=ON", "-DKORVEX_SANITIZE=ON",
        f"-DKORVEX_WERROR={os.environ.get('KORVEX_WERROR', 'OFF')}", f"-DPython_EXECUTABLE={sys.executable}")
    run("cmake", "--build", build, "--target", "korvex_core_tests")
    assert run(build / "korvex_core_tests", tmp_path).endswith(" passed, 0 failed\n")
