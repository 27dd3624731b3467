"""What the tests of the command-line tools share: the installed commands, found beside the running
interpreter as a user's shell finds them in an activated environment, and small spectrum files."""

import shutil
import struct
import sysconfig
from pathlib import Path

from opuswriter import OpusFile, block_type, float32_block, param_block_from_dict

AB = 4  # data type code


def command(name):
    """[path] of the installed console script `name`."""
    found = shutil.which(name, path=sysconfig.get_path("scripts"))
    assert found, f"{name} is not installed in {sysconfig.get_path('scripts')}"
    return [str(Path(found))]


def add_spectrum(opus, values, npt=None, data_type=AB, sample_type=0, deriv_type=0, **params):
    """Adds a single spectrum, its values and its data parameters, to `opus`: NPT from the values
    unless given, x from 4000 to 1000 cm-1, MXY 1.5, MNY 0.25; `params` adds or replaces parameters,
    None leaves one out."""
    fields = {"data_type": data_type, "sample_type": sample_type, "deriv_type": deriv_type}
    merged = {"NPT": len(values) if npt is None else npt, "FXV": 4000.0, "LXV": 1000.0, "MXY": 1.5, "MNY": 0.25,
              "DXU": "WN", **params}
    opus.add_block(block_type(param_type=1, **fields),
                   param_block_from_dict({label: value for label, value in merged.items() if value is not None}))
    opus.add_block(block_type(**fields), float32_block(values))
    return opus


def spectrum_file(values=(0.5, 1.5, 1.0, 0.25), **kwargs):
    """The bytes of a file of one single spectrum; the arguments as add_spectrum takes them."""
    return add_spectrum(OpusFile(), values, **kwargs).build()


MAGIC = b"\x0a\x0a\xfe\xfe"
# A whole header whose directory lies past the end of the file: its reads run past the end.
DIRECTORY_PAST_THE_END = MAGIC + struct.pack("<diii", 920622.0, 1000, 10, 2)


def interrupted_copies(folder):
    """Files that an interrupted copy leaves, named as OPUS files are: {name: what the tools say of
    it}; besides them an empty file of another name, which is no OPUS file, and a whole spectrum."""
    cut = {"empty.0": b"", "magic_part.001": MAGIC[:2], "magic_only.1": MAGIC, "in_header.2": MAGIC + bytes(6)}
    for name, content in cut.items():
        (folder / name).write_bytes(content)
    (folder / "empty.txt").write_bytes(b"")
    (folder / "whole.0").write_bytes(spectrum_file())
    said = {name: f"cut short at {len(content)} bytes, inside the 24-byte header of an OPUS file: an interrupted copy?"
            for name, content in cut.items()}
    said["empty.0"] = "empty file (0 bytes): an interrupted copy?"
    return said
