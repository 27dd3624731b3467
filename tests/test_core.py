"""Builds the parsing core's own unit tests (C++, no Python) and runs them."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
COMPILER = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")


@pytest.mark.skipif(COMPILER is None, reason="needs a C++ compiler")
def test_core_unit_tests(tmp_path):
    sources = sorted(str(p) for p in (ROOT / "src" / "format").glob("*.cpp"))
    program = tmp_path / "core_tests"
    subprocess.run(
        [COMPILER, "-std=c++20", "-Wall", "-Wextra", "-Werror", "-fsanitize=address,undefined",
         "-fno-sanitize-recover=undefined", "-I", str(ROOT / "src"), *sources,
         str(ROOT / "tests" / "core" / "core_tests.cpp"), "-o", str(program)],
        check=True,
    )
    run = subprocess.run([str(program), str(tmp_path)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.endswith(" passed, 0 failed\n")
