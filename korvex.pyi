# Type stubs of the korvex extension module.
#
# Installed twice from this one file: as korvex.pyi beside the extension (where editors and
# pyright look) and as korvex-stubs/__init__.pyi (where mypy looks for a single-module distribution).
import os
from typing import Any

import numpy as np
from numpy.typing import NDArray

# What open() takes: a path as text or bytes, a path-like object, or a file descriptor.
_OpenablePath = str | bytes | os.PathLike[str] | os.PathLike[bytes] | int

# The value of one parameter record: an integer, a float or a text.
_ParameterValue = int | float | str

class DataReturn:
    # Set from the request by the constructor; getOpusData upper-cases them.
    dataType: str
    dimension: str
    derivative: str
    description: str

    # Every result kind.
    parameters: dict[str, _ParameterValue]
    x: NDArray[np.float64]
    # MXY and MNY as stored in the data parameters; a float in every file the instruments write.
    maxY: float
    minY: float

    # Single spectrum ("2D").
    y: NDArray[np.float32]

    # Map cubes and trace maps ("3D").
    mapX: NDArray[np.float64]
    mapY: NDArray[np.float64]
    # Map cubes: shape (NPY, NPX, NPT).
    spectra: NDArray[np.float32]
    # Trace maps (type "TRC"): names, and maps of shape (NPY, NPX, len(labels)).
    labels: list[str]
    traces: NDArray[np.float32]

    def __init__(self, dataBlockType: str, dimensions: str, deriv: str) -> None: ...

def help() -> None: ...
def listContents(path: _OpenablePath, /) -> list[tuple[str, str, str]]: ...
def isOpusFile(path: _OpenablePath, /) -> bool: ...
# datablock: a triple as listContents gives it (a bare "AB" would fail with IndexError).
def getOpusData(path: str, datablock: tuple[str, str, str]) -> DataReturn: ...

paramDict: dict[str, str]
__test__: dict[str, Any]
