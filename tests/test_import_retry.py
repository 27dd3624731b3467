"""An import of korvex that fails keeps nothing half-made: the import tried again works in full.

Each case runs in a fresh interpreter, since a module that has once been imported is not started
again. The interpreter breaks the first import, tries again, and makes every call of `calls`; their
outcomes must be those of the module this process imported normally."""

import contextlib
import io
import pickle
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import korvex
from opuswriter import MapBlock, OpusFile, int32, map_opus_file
from result_files import assert_same_result, write_kinds

TESTS = Path(__file__).resolve().parent

# The map of a derived block whose geometry is taken from the underived data, printing a line.
DERIVED_MAP = {"NPT": 2, "FXV": 1.0, "LXV": 2.0, "AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0,
               "NPX": 0, "NPY": 1, "MXY": 1.0, "MNY": 0.0}


def calls(folder):
    """Calls that between them reach every object the module makes at import: each result kind, the
    listing, each message of a refused request, a derived map's printed line, the reports of a file
    cut inside its directory, a fresh DataReturn. Writes the files into `folder`."""
    made = []
    for path, block in write_kinds(folder).values():
        made += [("getOpusData", str(path), block), ("listContents", str(path))]
    spectrum = made[0][1]
    made += [("getOpusData", spectrum, block)
             for block in [("ab", "4d", "none"), ("XX", "2D", "NONE"), ("ab", "2d", "zder"), ("TR", "2D", "NONE")]]
    derived = folder / "derived.0"
    map_opus_file(MapBlock().run([[5.0, 6.0]]), DERIVED_MAP, data_type=4, deriv_type=1,
                  original={**DERIVED_MAP, "NPX": 1}).write(derived)
    cut = folder / "cut.0"
    cut.write_bytes(OpusFile(dir_size=3).build() + int32(0x1000))
    made += [("getOpusData", str(derived), ("AB", "3D", "1DER")), ("listContents", str(cut)),
             ("getOpusData", str(cut), ("AB", "2D", "NONE")), ("DataReturn", "AB", "2D", "NONE")]
    return made


def outcomes(module, made):
    """For each call: its result or its exception, what it printed and what it reported as
    unraisable; in a form that pickles."""
    seen = []
    for function, *args in made:
        reports = []
        printed = io.StringIO()
        hook, sys.unraisablehook = sys.unraisablehook, reports.append
        try:
            with contextlib.redirect_stdout(printed):
                value = ("result", getattr(module, function)(*args))
        except Exception as error:
            value = ("error", type(error), error.args)
        finally:
            sys.unraisablehook = hook
        seen.append((value, printed.getvalue(), [(r.object, type(r.exc_value), str(r.exc_value)) for r in reports]))
    return seen


# Run in the fresh interpreter: BREAK, then the import tried again and the calls.
CHILD = """
import pickle, sys
sys.path.insert(0, {tests!r})
{breaking}
import korvex
from test_import_retry import calls, outcomes
from pathlib import Path
with open({out!r}, "wb") as out:
    pickle.dump((attempts, outcomes(korvex, calls(Path({folder!r})))), out)
"""

NUMPY_UNIMPORTABLE = """
sys.modules["numpy"] = None
try:
    import korvex
except ImportError as error:
    assert "numpy" in str(error), error
else:
    raise AssertionError("korvex imported without numpy")
assert "korvex" not in sys.modules
del sys.modules["numpy"]
attempts = 1
"""

# Every allocation from the n-th of the module's start-up on fails, for n = 0, 1, 2 ... until the
# start-up gets through: so it fails at each allocation it makes, each time after all the failures
# before it. The module's own start-up is called (as an import does), not the import machinery,
# whose module locks are not built to survive an allocation failing inside them; and what the module
# imports is imported first, so that the allocations are korvex's own.
OUT_OF_MEMORY_FROM_EACH_ALLOCATION = """
import _imp, array, importlib.util, itertools, struct
import numpy
import _testcapi
korvex_found = importlib.util.find_spec("korvex")
for attempts in itertools.count():
    _testcapi.set_nomemory(attempts, 0)
    try:
        _imp.create_dynamic(korvex_found)
    except BaseException:
        pass
    else:
        break
    finally:
        _testcapi.remove_mem_hooks()
    if "korvex" in sys.modules:
        break  # started, and failed in the interpreter's own work after the start-up
"""


def allocation_failures_unavailable():
    """Why the out-of-memory case cannot run here, or None."""
    # 3.13's extension import (import_run_extension) crashes when an allocation fails in its own
    # work after a module's start-up has returned.
    if sys.version_info >= (3, 13):
        return "the interpreter's extension import crashes under failing allocations"
    try:
        import _testcapi
    except ImportError:
        return "needs _testcapi"
    return None if hasattr(_testcapi, "set_nomemory") else "needs _testcapi.set_nomemory"


@pytest.mark.parametrize("breaking", [
    pytest.param(NUMPY_UNIMPORTABLE, id="numpy unimportable"),
    pytest.param(OUT_OF_MEMORY_FROM_EACH_ALLOCATION, id="out of memory", marks=pytest.mark.skipif(
        allocation_failures_unavailable() is not None, reason=str(allocation_failures_unavailable()))),
])
def test_an_import_tried_again_after_a_failed_one_works_in_full(tmp_path, breaking):
    out = tmp_path / "outcomes.pickle"
    child = CHILD.format(tests=str(TESTS), breaking=textwrap.dedent(breaking), out=str(out), folder=str(tmp_path))
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    attempts, seen = pickle.loads(out.read_bytes())
    # The start-up makes well over a hundred objects; each allocation of it failed once.
    assert attempts >= (1 if breaking is NUMPY_UNIMPORTABLE else 100)
    expected = outcomes(korvex, calls(tmp_path))
    assert len(seen) == len(expected)
    for (value, printed, reports), (expected_value, expected_printed, expected_reports) in zip(seen, expected):
        assert (printed, reports) == (expected_printed, expected_reports)
        assert value[0] == expected_value[0]
        if value[0] == "result" and isinstance(value[1], korvex.DataReturn):
            assert_same_result(value[1], expected_value[1])
        elif value[0] == "result":
            assert value[1] == expected_value[1]
        else:
            assert value[1:] == expected_value[1:]
