"""Small OPUS files of each result kind (a spectrum, a map cube, trace maps), written to a folder,
and a comparison of results."""

import math

import numpy as np

import korvex

from opuswriter import MapBlock, OpusFile, float32_block, map_opus_file, param_block, param_block_from_dict

SPECTRUM = ("AB", "2D", "NONE")
CUBE = ("AB", "3D", "NONE")
TRACES = ("TRC", "3D", "NONE")

_MAP = {"FXV": 4000.0, "LXV": 400.0, "AOX": 0.0, "AOY": 1.0, "DDX": 2.0, "DDY": 0.5, "NPX": 3, "NPY": 2,
        "MXY": 1.0, "MNY": 0.0}


def spectrum_file():
    """A 4-point spectrum with a NaN among its values and an int, float and text parameter each."""
    opus = OpusFile()
    opus.add_block(0x1000, float32_block([1.5, math.nan, -2.0, 3.25]))
    opus.add_block(0x1010, param_block_from_dict({"NPT": 4, "FXV": 10.0, "LXV": 40.0, "MXY": 3.25, "MNY": -2.0},
                                                 end=False) + param_block([("SNM", 2, "f\xfcr".encode("cp1252"))]))
    return opus.build()


def cube_file():
    """A 2 x 3 map cube of 2-point spectra, four positions stored."""
    return map_opus_file(MapBlock().run([[1.0, 0.5], [0.0, 2.0], [3.0, 4.0], [5.0, -1.0]]), {**_MAP, "NPT": 2}).build()


def trace_file():
    """Two named 2 x 3 trace maps."""
    return map_opus_file(MapBlock(info_size=160).run([[float(i) for i in range(6)], [7.0] * 6], names=["CH2", "OH"]),
                         {**_MAP, "NPT": 6}, 7).build()


# name -> (file contents, the block to read)
KINDS = {
    "spectrum": (spectrum_file, SPECTRUM),
    "map cube": (cube_file, CUBE),
    "trace maps": (trace_file, TRACES),
}


def write_kinds(folder):
    """Writes one file of each kind into `folder`; returns {kind: (path, block)}."""
    written = {}
    for kind, (contents, block) in KINDS.items():
        path = folder / f"{kind.replace(' ', '_')}.0"
        path.write_bytes(contents())
        written[kind] = (path, block)
    return written


def assert_same_result(copied, original, own_memory=True):
    """Every attribute, in order, with its type; arrays bit for bit (NaN included) with their dtype
    and shape, in memory of their own unless told otherwise; the same str() and repr()."""
    assert type(copied) is korvex.DataReturn
    assert list(vars(copied)) == list(vars(original))
    for name, value in vars(original).items():
        other = getattr(copied, name)
        assert type(other) is type(value), name
        if isinstance(value, np.ndarray):
            assert (other.dtype, other.shape) == (value.dtype, value.shape), name
            assert other.tobytes() == value.tobytes(), name
            assert np.shares_memory(other, value) != own_memory, name
        elif isinstance(value, dict):
            assert [(k, type(v), v) for k, v in other.items()] == [(k, type(v), v) for k, v in value.items()]
        else:
            assert other == value, name
    assert str(copied) == str(original) and repr(copied) == repr(original)
