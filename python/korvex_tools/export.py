"""Export every data block of OPUS files to open formats.

    korvex-export FOLDER_OR_FILE... --to {csv,netcdf} [--out DIR] [--recursive] [--jobs N]

- csv: one file per single spectrum, FILE_TYPE_DIMENSIONS_DERIVATIVE.csv: a row of the two
  column names with their units in words (wavenumber_cm-1,absorbance), the block's parameters as
  "#" lines, then the x and y values, so that pandas.read_csv(path, comment="#"),
  numpy.loadtxt(path, delimiter=",", skiprows=1) and numpy.genfromtxt(path, delimiter=",",
  names=True) read it back, with the same values (pandas before 3.0 with
  float_precision="round_trip": its default parser can be one unit in the last place off).
  Map cubes and trace maps have no CSV form and are counted as left out.
- netcdf: one file per OPUS file, FILE.nc, that xarray.open_dataset opens: each data block is a
  variable named TYPE_DIMENSIONS_DERIVATIVE; a spectrum's x axis is its coordinate, map cubes
  have the coordinates mapY, mapX (µm) and the spectral axis, trace maps mapY, mapX and trace
  (their names). The block's parameters are the variable's attributes, with the source file and
  the block's triple. The values are those korvex returns: float32 data, float64 axes.

Files found in subfolders (--recursive) keep their relative folder under DIR; a DIR that cannot
be written into stops the run before any file is read. A progress bar
shows on a terminal; a summary ends the run, and the exit status is 1 when a file or a block
could not be read or written (each is listed, with why).
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import threading
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

import korvex
from korvex_tools import Block, find_opus_files, kind_of, read_blocks, unwritable_folder
from korvex_tools.progress import Progress

NO_NETCDF = ("--to netcdf needs xarray, h5netcdf and h5py ({error}). Install them with\n"
             "    python -m pip install xarray h5netcdf h5py\n"
             "(or install korvex with its export extra: python -m pip install \"korvex-opus[export]\")")
X_AXES = {"WN": ("wavenumber", "cm-1"), "MI": ("wavelength", "um"), "NM": ("wavelength", "nm"),
          "PNT": ("point", "1"), "MIN": ("time", "min")}
Y_COLUMNS = {"AB": "absorbance", "TR": "transmittance", "REFL": "reflectance", "KM": "kubelka_munk",
             "ATR": "atr_absorbance", "RAM": "raman_intensity", "EMIS": "emission", "PAS": "photoacoustic",
             "SSC": "single_channel_sample", "RSC": "single_channel_reference", "SIFG": "interferogram_sample",
             "RIFG": "interferogram_reference", "SPH": "phase_sample", "RPH": "phase_reference",
             "SPOW": "power_spectrum_sample", "RPOW": "power_spectrum_reference", "LREFL": "log_reflectance",
             "TRARI": "transmittance_ari", "ABARI": "absorbance_ari"}
DERIVATIVES = {"1DER": "first_derivative", "2DER": "second_derivative", "3DER": "third_derivative",
               "NDER": "third_derivative"}
NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")  # what a NetCDF attribute name may be, kept simple


@dataclass
class FileOutcome:
    """What one OPUS file gave: the files written, the blocks left out, what failed and why."""
    source: str
    written: list[Path] = field(default_factory=list)
    blocks: int = 0
    left_out: int = 0
    errors: list[str] = field(default_factory=list)


def variable_name(block: Block) -> str:
    return "_".join(block)


# ---------------------------------------------------------------- CSV

def write_csv(source: str, blocks: list[tuple[Block, korvex.DataReturn]], target: Path, outcome: FileOutcome) -> None:
    """One CSV file per single spectrum, at TARGET_TYPE_DIMENSIONS_DERIVATIVE.csv: a row of column
    names, the block's parameters as "#" lines, then the values."""
    for block, result in blocks:
        if kind_of(result) != "spectrum":
            outcome.left_out += 1
            continue
        path = target.with_name(f"{target.name}_{variable_name(block)}.csv")
        path.parent.mkdir(parents=True, exist_ok=True)
        y = result.y
        header = [f"korvex export of {source}", f"block: {' '.join(block)}"]
        if len(y) < len(result.x):
            header.append(f"the file ends after {len(y)} of {len(result.x)} values")
        header += [f"{label} = {_one_line(value)}" for label, value in result.parameters.items()]
        with open(path, "w", encoding="utf-8", newline="\n") as file:
            file.write(",".join(csv_columns(result)) + "\n")
            file.writelines(f"# {line}\n" for line in header)
            # float64 x with 17 significant digits and float32 y with 9 read back to the same values.
            np.savetxt(file, np.column_stack([result.x[:len(y)], y.astype(np.float64)]), fmt=("%.17g", "%.9g"),
                       delimiter=",")
        outcome.written.append(path)
        outcome.blocks += 1


def csv_columns(result: korvex.DataReturn) -> tuple[str, str]:
    """The names of a spectrum's two columns, with units in words: ("wavenumber_cm-1",
    "absorbance"), ("point", "interferogram_sample"), ("raman_shift_cm-1", "raman_intensity")."""
    unit = result.parameters.get("DXU")
    name, units = X_AXES.get(str(unit), ("x", ""))
    if result.dataType == "RAM" and unit == "WN":
        name = "raman_shift"
    x = f"{name}_{units}" if units and units != "1" else name
    y = Y_COLUMNS.get(result.dataType, result.dataType.lower())
    if result.derivative in DERIVATIVES:
        y += f"_{DERIVATIVES[result.derivative]}"
    return x, y


def _one_line(value: Any) -> str:
    return str(value).replace("\r", "\\r").replace("\n", "\\n")


# ---------------------------------------------------------------- NetCDF

def netcdf_dataset(source: str, blocks: list[tuple[Block, korvex.DataReturn]]) -> Any:
    """An xarray Dataset of the blocks of one file."""
    import xarray as xr

    coords: dict[str, tuple[str, np.ndarray, dict[str, str]]] = {}

    def axis(base: str, values: np.ndarray, attrs: dict[str, str]) -> str:
        """The name of a coordinate with these values: an equal one already made, or a new one,
        base, base_2 ..."""
        name, count = base, 1
        while name in coords:
            if np.array_equal(coords[name][1], values) and coords[name][1].dtype == values.dtype:
                return name
            count += 1
            name = f"{base}_{count}"
        coords[name] = (name, values, attrs)
        return name

    variables: dict[str, tuple[tuple[str, ...], np.ndarray, dict[str, Any]]] = {}
    for block, result in blocks:
        unit = result.parameters.get("DXU")
        x_name, x_units = X_AXES.get(str(unit), ("x", str(unit or "")))
        if result.dataType == "RAM" and unit == "WN":
            x_name = "raman_shift"
        attrs = {"source": source, "block": " ".join(block), "dataType": result.dataType,
                 "dimension": result.dimension, "derivative": result.derivative,
                 **{label: value for label, value in result.parameters.items() if NAME.match(label)}}
        x_attrs = {"units": x_units, "long_name": x_name.replace("_", " ")} if x_units else {"long_name": "x"}
        kind = kind_of(result)
        if kind == "spectrum":
            x = axis(x_name, result.x[:len(result.y)], x_attrs)
            variables[variable_name(block)] = ((x,), result.y, attrs)
            continue
        rows = axis("mapY", result.mapY, {"units": "um", "long_name": "map y"})
        columns = axis("mapX", result.mapX, {"units": "um", "long_name": "map x"})
        if kind == "map cube":
            x = axis(x_name, result.x, x_attrs)
            variables[variable_name(block)] = ((rows, columns, x), result.spectra, attrs)
        else:
            count = result.traces.shape[2]
            names = result.labels if len(result.labels) == count else [f"trace {k}" for k in range(count)]
            trace = axis("trace", np.array(names, dtype=object), {"long_name": "trace name"})
            variables[variable_name(block)] = ((rows, columns, trace), result.traces, attrs)
    dataset = xr.Dataset(
        {name: xr.Variable(dims, values, attrs) for name, (dims, values, attrs) in variables.items()},
        coords={name: xr.Variable((name,), values, attrs) for name, values, attrs in coords.values()},
        attrs={"source": source, "created_by": "korvex-export"})
    return dataset


def write_netcdf(source: str, blocks: list[tuple[Block, korvex.DataReturn]], target: Path, outcome: FileOutcome) -> None:
    if not blocks:
        return
    dataset = netcdf_dataset(source, blocks)
    path = target.with_name(f"{target.name}.nc")
    path.parent.mkdir(parents=True, exist_ok=True)
    # No fill value: every stored value, NaN included, is data.
    encoding = {name: {"_FillValue": None} for name in [*dataset.data_vars, *dataset.coords]
                if dataset[name].dtype.kind == "f"}
    with _netcdf_lock:  # HDF5 writes one file at a time in a process
        dataset.to_netcdf(path, engine="h5netcdf", encoding=encoding)
    outcome.written.append(path)
    outcome.blocks += len(blocks)


_netcdf_lock = threading.Lock()
WRITERS: dict[str, Callable[[str, list[tuple[Block, korvex.DataReturn]], Path, FileOutcome], None]] = {
    "csv": write_csv, "netcdf": write_netcdf}


# ---------------------------------------------------------------- the command

def export_file(path: Path, target: Path, to: str) -> FileOutcome:
    outcome = FileOutcome(str(path.resolve()))
    blocks, errors = read_blocks(str(path))
    outcome.errors += [f"{' '.join(block)}: {message}" if block else message for block, message in errors]
    try:
        WRITERS[to](outcome.source, blocks, target, outcome)
    except Exception as error:  # a full disk, a folder in the way: say so, go on with the next file
        outcome.errors.append(f"cannot write: {type(error).__name__}: {error}")
    return outcome


def targets(found: list[tuple[Path, Path]], out: Path) -> list[Path]:
    """The output path (without its suffix) of each file: its path relative to the folder it was
    found in, under `out`; a number is added when two files would have the same one."""
    used: set[Path] = set()
    paths = []
    for _, relative in found:
        target, count = out / relative, 1
        while target in used:
            count += 1
            target = out / relative.parent / f"{relative.name}_{count}"
        used.add(target)
        paths.append(target)
    return paths


def summarize(outcomes: list[FileOutcome], others: int, to: str, out: Path) -> list[str]:
    blocks = sum(o.blocks for o in outcomes)
    written = sum(len(o.written) for o in outcomes)
    lines = [f"{len(outcomes)} OPUS files, {others} other files skipped",
             f"{blocks} data blocks written to {written} {to} files in {out}"]
    left_out = sum(o.left_out for o in outcomes)
    if left_out:
        lines.append(f"{left_out} map blocks left out: CSV holds single spectra; --to netcdf writes maps")
    failed = [o for o in outcomes if o.errors]
    if failed:
        lines.append(f"{sum(len(o.errors) for o in failed)} problems in {len(failed)} files:")
        lines += [f"  {o.source}: {error}" for o in failed for error in o.errors]
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="korvex-export",
                                     description="Export every data block of OPUS files to CSV or NetCDF.")
    parser.add_argument("inputs", type=Path, nargs="+", metavar="FOLDER_OR_FILE")
    parser.add_argument("--to", required=True, choices=sorted(WRITERS), help="the format to write")
    parser.add_argument("--out", "-o", type=Path, default=Path("korvex-export"), metavar="DIR",
                        help="folder to write into (default: korvex-export)")
    parser.add_argument("--recursive", "-r", action="store_true", help="read the subfolders of folders too")
    parser.add_argument("--jobs", "-j", type=int, default=min(4, os.cpu_count() or 1),
                        help="files read at once (default: %(default)s)")
    args = parser.parse_args(argv)
    if args.jobs < 1:
        parser.error("--jobs must be 1 or more")
    for given in args.inputs:
        if not given.exists():
            parser.error(f"{given} does not exist")
    if args.to == "netcdf":
        try:
            import h5netcdf  # type: ignore[import-untyped]  # noqa: F401
            import h5py  # type: ignore[import-untyped]  # noqa: F401
            import xarray  # noqa: F401
        except ImportError as error:
            print(NO_NETCDF.format(error=error), file=sys.stderr)
            return 2
    problem = unwritable_folder(args.out)
    if problem:
        print(f"korvex-export: {problem}", file=sys.stderr)
        return 1
    found, others = find_opus_files(args.inputs, args.recursive)
    outcomes: list[FileOutcome | None] = [None] * len(found)
    with Progress(len(found), "files") as progress, ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = {pool.submit(export_file, path, target, args.to): k
                   for k, ((path, _), target) in enumerate(zip(found, targets(found, args.out)))}
        for future in as_completed(futures):
            outcomes[futures[future]] = future.result()
            progress.advance()
    done = [o for o in outcomes if o is not None]
    for line in summarize(done, others, args.to, args.out):
        print(line)
    return 1 if any(o.errors for o in done) else 0


def run() -> None:
    """The korvex-export command."""
    sys.exit(main())


if __name__ == "__main__":
    run()
