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
    # No sanitizers under Windows, whose compilers lack UBSan. Warnings are errors when KORVEX_WERROR
    # is ON, as CI sets it. The core and its tests need no Python: the module is left out.
    sanitize = "OFF" if sys.platform == "win32" else "ON"
    run("cmake", "-S", ROOT, "-B", build, "-DKORVEX_CORE_TESTS=ON", "-DKORVEX_MODULE=OFF",
        f"-DKORVEX_SANITIZE={sanitize}", f"-DKORVEX_WERROR={os.environ.get('KORVEX_WERROR', 'OFF')}")
    run("cmake", "--build", build, "--target", "korvex_core_tests", "--config", "Debug")
    # A generator of several configurations (Visual Studio) puts the program in a folder of its own.
    name = "korvex_core_tests.exe" if sys.platform == "win32" else "korvex_core_tests"
    program = next(path for path in (build / name, build / "Debug" / name) if path.exists())
    assert run(program, tmp_path).endswith(" passed, 0 failed\n")
