"""Builds the parsing core's own unit tests (C++, no Python) with ASan and UBSan, and runs them."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def run(*command):
    done = subprocess.run([str(part) for part in command], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


# The C++ compiler's check as CMake makes it, with the sanitizers' options when they are asked for:
# a system may have CMake but no compiler, or a compiler without their runtimes (musl's).
PROBE = """cmake_minimum_required(VERSION 3.18)
project(probe LANGUAGES CXX)
if(SANITIZE)
  set(CMAKE_REQUIRED_FLAGS -fsanitize=address,undefined)
  set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=address,undefined)
  include(CheckCXXSourceCompiles)
  check_cxx_source_compiles("int main() { return 0; }" SANITIZERS_LINK)
  if(NOT SANITIZERS_LINK)
    message(FATAL_ERROR "no sanitizer runtimes")
  endif()
endif()
"""


def missing_tools(folder, sanitize):
    """Why the core tests cannot be built here, or None."""
    if shutil.which("cmake") is None:
        return "needs cmake"
    folder.mkdir()
    (folder / "CMakeLists.txt").write_text(PROBE)
    done = subprocess.run(["cmake", "-S", str(folder), "-B", str(folder / "build"), f"-DSANITIZE={sanitize}"],
                          capture_output=True, text=True)
    if done.returncode != 0:
        return "CMake finds no C++ compiler" + (" that links ASan and UBSan" if sanitize == "ON" else "")
    return None


def test_core_unit_tests(tmp_path):
    build = tmp_path / "build"
    # No sanitizers under Windows, whose compilers lack UBSan. Warnings are errors when KORVEX_WERROR
    # is ON, as CI sets it. The core and its tests need no Python: the module is left out.
    sanitize = "OFF" if sys.platform == "win32" else "ON"
    missing = missing_tools(tmp_path / "probe", sanitize)
    if missing:
        pytest.skip(missing)
    run("cmake", "-S", ROOT, "-B", build, "-DKORVEX_CORE_TESTS=ON", "-DKORVEX_MODULE=OFF",
        f"-DKORVEX_SANITIZE={sanitize}", f"-DKORVEX_WERROR={os.environ.get('KORVEX_WERROR', 'OFF')}")
    run("cmake", "--build", build, "--target", "korvex_core_tests", "--config", "Debug")
    # A generator of several configurations (Visual Studio) puts the program in a folder of its own.
    name = "korvex_core_tests.exe" if sys.platform == "win32" else "korvex_core_tests"
    program = next(path for path in (build / name, build / "Debug" / name) if path.exists())
    assert run(program, tmp_path).endswith(" passed, 0 failed\n")
