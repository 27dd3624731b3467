"""A C++ allocation that fails while the GIL is held raises MemoryError and leaves the interpreter
working, instead of ending the process through std::terminate. Each case runs in a fresh interpreter
whose address space is capped (RLIMIT_AS) a fixed margin above what it uses just before the call, so
that the allocation the call makes with the GIL held is the one that fails."""

import os
import subprocess
import sys
import textwrap

import pytest

from checks import UNDER_ADDRESS_SANITIZER
from opuswriter import MapBlock, OpusFile, float32_block, map_opus_file, param_block_from_dict

resource = pytest.importorskip("resource", reason="needs resource limits")
if not hasattr(resource, "RLIMIT_AS"):
    pytest.skip("needs RLIMIT_AS", allow_module_level=True)
if UNDER_ADDRESS_SANITIZER:
    # The sanitizer's operator new reports a failed allocation and ends the process instead of
    # throwing std::bad_alloc, and its shadow memory counts against the limit.
    pytest.skip("a failed operator new does not throw under AddressSanitizer", allow_module_level=True)

MIB = 1 << 20
INT32_MAX = 2**31 - 1
SPECTRUM = {"NPT": 4, "FXV": 1.0, "LXV": 4.0, "MXY": 4.0, "MNY": 1.0}
TRACE_GEOMETRY = {"NPT": 1, "FXV": 1.0, "LXV": 4.0, "AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0, "NPX": 1,
                  "NPY": 1, "MXY": 1.0, "MNY": 0.0}

# Finds the address space the interpreter uses (the lowest cap under which a 1 MiB mapping still
# fits), caps it `margin` above that, makes the call, then checks that sound calls work.
CHILD = textwrap.dedent("""
    import mmap, resource, sys
    import korvex

    case, path, sound, margin = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    probe = 1 << 20

    def fits(limit):
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
        try:
            mmap.mmap(-1, probe).close()
            return True
        except (OSError, MemoryError):
            return False
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    argument = "a" * (64 << 20) if case == "path" else path
    low, high = probe, 1 << 46
    if hard != resource.RLIM_INFINITY:
        high = hard
    if fits(low) or not fits(high):
        print("limit not enforced")
        sys.exit(0)
    while high - low > probe:
        middle = (low + high) // 2
        low, high = (low, middle) if fits(middle) else (middle, high)
    resource.setrlimit(resource.RLIMIT_AS, (high + margin, hard))
    try:
        if case == "path":
            korvex.isOpusFile(argument)
        else:
            korvex.getOpusData(argument, ("TRC", "3D", "NONE"))
        print("no error")
    except MemoryError:
        print("MemoryError")
    del argument
    print(korvex.listContents(sound), korvex.getOpusData(sound, ("AB", "2D", "NONE")).y.tolist())
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(korvex.isOpusFile(sound))
""")


def trace_name_to_end_of_file(path, name_bytes):
    """A trace map of one 1 x 1 map whose info record claims 2^31 - 1 bytes: after the 152 bytes the
    name is not read from, `name_bytes` bytes of 0xE9 without a NUL, to the end of the file. The name
    is not ASCII, so building its str takes a buffer of twice its length with the GIL held."""
    block = MapBlock().run([[1.0]]).raw(bytes(152))
    block.info_size = INT32_MAX
    with open(path, "wb") as file:
        file.write(map_opus_file(block, TRACE_GEOMETRY, 7).build())
        for _ in range(name_bytes // MIB):
            file.write(b"\xe9" * MIB)
    return path


@pytest.mark.parametrize("case, margin", [
    # The 64 MiB str is encoded into bytes (fits), then copied into the native path (does not).
    ("path", 96 * MIB),
    # The 64 MiB name is read with the GIL released (fits), then widened to two bytes a character
    # with the GIL held (does not).
    ("trace name", 128 * MIB),
])
def test_failed_allocation_with_the_gil_held_raises_memory_error(tmp_path, case, margin):
    sound = tmp_path / "sound.0"
    opus = OpusFile()
    opus.add_block(0x1010, param_block_from_dict(SPECTRUM))
    opus.add_block(0x1000, float32_block([1.0, 2.0, 3.0, 4.0]))
    opus.write(sound)
    big = tmp_path / "trace.0"
    if case == "trace name":
        trace_name_to_end_of_file(big, 64 * MIB)
    try:
        run = subprocess.run([sys.executable, "-c", CHILD, case, str(big), str(sound), str(margin)],
                             capture_output=True, text=True, timeout=300)
    finally:
        if big.exists():
            os.remove(big)
    if run.stdout.startswith("limit not enforced"):
        pytest.skip("RLIMIT_AS is not enforced here")
    assert (run.returncode, run.stderr) == (0, "")
    assert run.stdout.splitlines() == [
        "MemoryError",
        "[('AB', '2D', 'NONE')] [1.0, 2.0, 3.0, 4.0]",
        "True",
    ]
