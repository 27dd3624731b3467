"""Sub-interpreters: each interpreter that imports korvex gets a module of its own, whose calls go
through its own namespace and objects, and the end of one interpreter leaves the others' modules
working.

Each case runs in a fresh process, since the order of the imports in the interpreters is what it
is about. Legacy sub-interpreters (sharing the main interpreter's GIL) are made through the private
module the running Python has. NumPy warns when a sub-interpreter imports it; some of its versions
cannot be imported in a second interpreter at all (2.4 refuses with ImportError; 2.2 fails in the main
interpreter after a sub-interpreter imported it), and there korvex, which imports NumPy at start-up,
fails to import too.
"""

import json
import subprocess
import sys
import textwrap

import pytest

import korvex

from result_files import cube_file, spectrum_file


def under_wine():
    """Whether this is a Windows interpreter run under wine (whose ntdll names its version)."""
    if sys.platform != "win32":
        return False
    import ctypes
    try:
        return hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")
    except OSError:
        return False


# Under wine the child process of the first case never finishes (not seen on a Windows system yet).
pytestmark = pytest.mark.skipif(under_wine(), reason="sub-interpreter children hang under wine")

# Run first in each process: the interpreters module, the way to make a legacy interpreter and to
# run code in one.
HARNESS = r'''
import json, sys, warnings
warnings.filterwarnings("ignore", "NumPy was imported from a Python sub-interpreter")
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters


def create(kind="legacy"):
    if interpreters.__name__ == "_interpreters":
        return interpreters.create(kind)
    if sys.version_info >= (3, 12):
        return interpreters.create(isolated=kind == "isolated")
    assert kind == "legacy"
    return interpreters.create()


def run(interpreter, code):
    """Runs `code` in `interpreter`, which reports by leaving JSON in the file OUT; returns that."""
    prologue = ("import json, warnings\n"
                "warnings.filterwarnings('ignore', 'NumPy was imported from a Python sub-interpreter')\n"
                f"OUT = {OUT!r}\nFILES = {globals().get('FILES')!r}\n")
    failed = interpreters.run_string(interpreter, prologue + code)
    if failed is not None:  # 3.13 on: what the code raised, returned
        raise RuntimeError(failed)
    with open(OUT) as report:
        return json.load(report)
'''

# The calls each case makes in an interpreter, the main one or another, given its module: the listing
# of each file, and of its first block whether the result is the namespace's DataReturn, its
# description and values (as text: NaN is among them); then each function's error for a missing file.
CALLS = '''
def outcome(call):
    try:
        return call()
    except Exception as error:
        return [type(error).__name__, str(error)]


def calls(korvex):
    report = {}
    for name in ("spectrum", "cube"):
        path = FILES[name]
        listing = [list(triple) for triple in korvex.listContents(path)]
        result = korvex.getOpusData(path, tuple(listing[0]))
        values = result.y if hasattr(result, "y") else result.spectra
        report[name] = [listing, type(result) is korvex.DataReturn, str(result), repr(values.tolist())]
    for function in (korvex.listContents, korvex.isOpusFile):
        report[function.__name__] = outcome(lambda: function(FILES["missing"]))
    report["getOpusData"] = outcome(lambda: korvex.getOpusData(FILES["missing"], ("AB", "2D", "NONE")))
    return report


def attempt():
    """calls() of this interpreter's korvex or, if it cannot be imported, how it failed and whether
    NumPy can be imported here."""
    try:
        import korvex
    except Exception as error:
        return {"refused": type(error).__name__, "numpy": outcome(lambda: __import__("numpy") and "imported")}
    return calls(korvex)
'''


def run_scenario(tmp_path, body, **names):
    """Runs HARNESS, CALLS and `body` in a new process, with `names` bound; returns the JSON it prints."""
    names = {"OUT": str(tmp_path / "out.json"), "CALLS": CALLS, **names}
    bound = "".join(f"{name} = {value!r}\n" for name, value in names.items())
    script = bound + HARNESS + CALLS + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


@pytest.fixture(autouse=True)
def subinterpreters():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            return __import__(name)
        except ImportError:
            pass
    pytest.skip("this Python has no module to make sub-interpreters with")


@pytest.fixture
def files(tmp_path):
    spectrum = tmp_path / "spectrum.0"
    spectrum.write_bytes(spectrum_file())
    cube = tmp_path / "cube.0"
    cube.write_bytes(cube_file())
    return {"spectrum": str(spectrum), "cube": str(cube), "missing": str(tmp_path / "missing.0")}


@pytest.fixture
def expected(files):
    """What calls() reports in this process, where korvex is the only module."""
    names = {"FILES": files}
    exec(CALLS, names)
    report = json.loads(json.dumps(names["calls"](korvex)))
    assert report["spectrum"][1] and report["cube"][1]
    assert [report[name][0] for name in ("listContents", "isOpusFile", "getOpusData")] == ["FileNotFoundError"] * 3
    return report


def check(report, expected):
    """An interpreter's attempt() reports what this process's calls do, or a refused import where
    NumPy itself cannot be imported."""
    if "refused" in report:
        assert report["numpy"] != "imported", report
    else:
        assert report == expected


def test_a_sub_interpreter_calls_through_its_own_module(tmp_path, files, expected):
    # The main interpreter imports first and rebinds isOpusFile and DataReturn; a sub-interpreter's
    # calls go through its own namespace, and its own rebinding of isOpusFile leaves main's alone.
    in_sub, main = run_scenario(tmp_path, """
        import korvex
        korvex.isOpusFile = lambda path: False
        korvex.DataReturn = type("Other", (), {"__init__": lambda self, *args: None})
        in_sub = run(create(), CALLS + (
            "report = attempt()\\n"
            "if 'refused' not in report:\\n"
            "    import korvex\\n"
            "    korvex.isOpusFile = lambda path: True\\n"
            "json.dump(report, open(OUT, 'w'))\\n"))
        main = [outcome(lambda: korvex.listContents(FILES["spectrum"]))]
        korvex.isOpusFile = lambda path: True
        main.append(type(korvex.getOpusData(FILES["spectrum"], ("AB", "2D", "NONE"))).__name__)
        print(json.dumps([in_sub, main]))
        """, FILES=files)
    assert main == [["ValueError", "Can't process a non-Opus file"], "Other"]
    check(in_sub, expected)


@pytest.mark.parametrize("first", ["sub", "main"])
def test_the_end_of_an_interpreter_leaves_the_others_modules_working(tmp_path, files, expected, first):
    # Two interpreters import korvex, in either order; then the sub-interpreter ends: main's calls,
    # and those of a new sub-interpreter, work as in a process of their own.
    first_sub, main, second_sub = run_scenario(tmp_path, """
        in_sub = CALLS + "json.dump(attempt(), open(OUT, 'w'))"
        sub = create()
        for importing in (FIRST, {"sub": "main", "main": "sub"}[FIRST]):
            if importing == "main":
                outcome(lambda: __import__("korvex"))  # what fails is seen again in attempt()
            else:
                first_sub = run(sub, in_sub)
        interpreters.destroy(sub)
        main = attempt()
        print(json.dumps([first_sub, main, run(create(), in_sub)]))
        """, FILES=files, FIRST=first)
    # NumPy, and so korvex, loads in one of the two at least.
    assert "refused" not in first_sub or "refused" not in main
    for report in (first_sub, main, second_sub):
        check(report, expected)


# Run in an isolated interpreter: korvex's import with a stand-in for NumPy, which may itself refuse
# to load in such an interpreter before korvex's turn.
IMPORT_WITH_STAND_IN_NUMPY = """
import sys, types
sys.modules["numpy"] = numpy = types.ModuleType("numpy")
numpy.empty = numpy.zeros = numpy.dstack = numpy.linspace = numpy.dtype = repr
json.dump(outcome(lambda: __import__("korvex") and None), open(OUT, "w"))
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters with a GIL of their own came in 3.12")
def test_an_isolated_interpreter_refuses_the_import(tmp_path, files, expected):
    # An interpreter with its own GIL refuses korvex (a module initialised in one phase) with
    # ImportError; main imports it afterwards and its calls work.
    refused, main = run_scenario(tmp_path, """
        sub = create("isolated")
        refused = run(sub, CALLS + IMPORT_WITH_STAND_IN_NUMPY)
        interpreters.destroy(sub)
        print(json.dumps([refused, attempt()]))
        """, FILES=files, IMPORT_WITH_STAND_IN_NUMPY=IMPORT_WITH_STAND_IN_NUMPY)
    assert refused[0] == "ImportError", refused
    assert main == expected
