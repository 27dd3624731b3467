"""korvex-export as a user runs it: a folder of OPUS files out to NetCDF files that xarray opens and
CSV files that NumPy reads, with the same values korvex returns; what could not be read is listed
and fails the run."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import korvex
from conftest import SAMPLE_NAMES
from korvex_tools import request_for
from korvex_tools.export import csv_columns
from korvex_tools.progress import Progress
from result_files import write_kinds
from tool_files import DIRECTORY_PAST_THE_END, command, interrupted_copies, spectrum_file

AB, SIFG, RAM = 4, 2, 10  # data type codes
SAMPLE_SIDE = 1


@pytest.fixture
def folder(tmp_path):
    """The three result kinds (a NaN and a Windows-1252 text among them), a third derivative, a
    truncated Raman spectrum, a file whose block cannot be read, a text file, and a subfolder with
    a file of the same name as one above."""
    given = tmp_path / "in"
    given.mkdir()
    write_kinds(given)
    (given / "third.0").write_bytes(spectrum_file([1.0, 2.0, 3.0], deriv_type=3))
    (given / "raman.1").write_bytes(spectrum_file([5.0, 6.0], npt=4, data_type=RAM, FXV=100.0, LXV=400.0))
    (given / "no_npt.0").write_bytes(spectrum_file([1.0], NPT=None))
    (given / "notes.txt").write_text("not a spectrum\n")
    (given / "sub").mkdir()
    (given / "sub" / "spectrum.0").write_bytes(spectrum_file([7.0, 8.0], SNM="second"))
    return given


def export(*args, cwd):
    return subprocess.run([*command("korvex-export"), *map(str, args)], capture_output=True, text=True, cwd=cwd)


def blocks_of(path):
    """{variable name: (listed block, result)} of every block korvex reads from the file."""
    return {"_".join(block): (block, korvex.getOpusData(str(path), request_for(block)))
            for block in dict.fromkeys(korvex.listContents(str(path)))}


def check_netcdf(netcdf, source):
    """The file opens with xarray and holds every block of `source` with korvex's values, axes,
    parameters, source path and triple."""
    xr = pytest.importorskip("xarray")
    with xr.open_dataset(netcdf) as dataset:
        expected = blocks_of(source)
        assert sorted(dataset.data_vars) == sorted(expected)
        assert dataset.attrs["source"] == str(source.resolve())
        for name, (block, result) in expected.items():
            variable = dataset[name]
            assert variable.attrs["block"] == " ".join(block)
            assert variable.attrs["source"] == str(source.resolve())
            parameters = {label: variable.attrs[label] for label in result.parameters}
            assert parameters == result.parameters
            assert [type(value) for value in map(lambda v: v.item() if hasattr(v, "item") else v,
                                                 parameters.values())] == [type(v) for v in result.parameters.values()]
            if hasattr(result, "y"):
                data, axes = result.y, [result.x[:len(result.y)]]
            elif hasattr(result, "spectra"):
                data, axes = result.spectra, [result.mapY, result.mapX, result.x]
                assert variable.dims[:2] == ("mapY", "mapX")
                assert [dataset[d].attrs["units"] for d in variable.dims[:2]] == ["um", "um"]
            else:
                data, axes = result.traces, [result.mapY, result.mapX, np.array(result.labels)]
                assert variable.dims == ("mapY", "mapX", "trace")
            assert variable.dtype == np.float32 and variable.values.tobytes() == data.tobytes()
            for dim, values in zip(variable.dims, axes):
                coordinate = dataset[dim].values
                assert coordinate.dtype.kind == values.dtype.kind
                np.testing.assert_array_equal(coordinate, values, strict=values.dtype.kind != "U")


def check_csv(csv, source, block):
    """The file opens into its two named columns with pandas, numpy.loadtxt and numpy.genfromtxt, as
    the block's values; its comment lines hold its parameters."""
    pd = pytest.importorskip("pandas")
    result = korvex.getOpusData(str(source), request_for(block))
    x, y = result.x[:len(result.y)], result.y
    names = csv.read_text(encoding="utf-8").splitlines()[0].split(",")
    assert names == list(csv_columns(result))
    # pandas before 3 parses floats exactly only when asked (pandas 3 does by default, and deprecates the option)
    exact = {"float_precision": "round_trip"} if int(pd.__version__.split(".")[0]) < 3 else {}
    frame = pd.read_csv(csv, comment="#", **exact)
    assert list(frame.columns) == names
    loaded = np.loadtxt(csv, delimiter=",", skiprows=1, ndmin=2, encoding="utf-8")
    named = np.atleast_1d(np.genfromtxt(csv, delimiter=",", names=True, encoding="utf-8"))
    for x_read, y_read in [(frame[names[0]].to_numpy(), frame[names[1]].to_numpy()), (loaded[:, 0], loaded[:, 1]),
                           (named[named.dtype.names[0]], named[named.dtype.names[1]])]:
        # pandas reads a column of whole numbers (the points of an interferogram) as integers
        np.testing.assert_array_equal(x_read.astype(np.float64), x, strict=True)
        assert y_read.astype(np.float32).tobytes() == y.tobytes()
    comments = [line[2:] for line in csv.read_text(encoding="utf-8").splitlines() if line.startswith("# ")]
    assert comments[:2] == [f"korvex export of {source.resolve()}", f"block: {' '.join(block)}"]
    assert [line for line in comments if " = " in line] == [
        f"{label} = {value}" for label, value in result.parameters.items()]


@pytest.mark.parametrize("params, columns", [
    ({}, ("wavenumber_cm-1", "absorbance")),
    ({"data_type": RAM, "FXV": 100.0, "LXV": 400.0}, ("raman_shift_cm-1", "raman_intensity")),
    ({"data_type": SIFG, "sample_type": SAMPLE_SIDE, "DXU": "PNT"}, ("point", "interferogram_sample")),
    ({"deriv_type": 1, "DXU": "MI"}, ("wavelength_um", "absorbance_first_derivative")),
    ({"deriv_type": 3, "DXU": None}, ("x", "absorbance_third_derivative")),
])
def test_csv_column_names_say_what_and_in_which_unit(write_file, params, columns):
    path = write_file(spectrum_file(**params))
    (block,) = korvex.listContents(str(path))
    assert csv_columns(korvex.getOpusData(str(path), request_for(block))) == columns


def test_a_folder_to_netcdf(folder, tmp_path):
    pytest.importorskip("h5netcdf")
    done = export(folder, "--to", "netcdf", "--out", "nc", cwd=tmp_path)
    assert done.returncode == 1
    assert done.stdout.splitlines() == [
        "6 OPUS files, 1 other files skipped",
        "5 data blocks written to 5 netcdf files in nc",
        "1 problems in 1 files:",
        f"  {folder / 'no_npt.0'}: AB 2D NONE: KeyError: 'NPT'",
    ]
    assert done.stderr == ""  # no progress bar when standard error is no terminal
    names = ["map_cube.0", "raman.1", "spectrum.0", "third.0", "trace_maps.0"]
    assert sorted(p.name for p in (tmp_path / "nc").iterdir()) == [f"{name}.nc" for name in names]
    for name in names:
        check_netcdf(tmp_path / "nc" / f"{name}.nc", folder / name)


def test_netcdf_layout(folder, tmp_path):
    """What an xarray user sees: named axes with units, a truncated spectrum on the x values that
    have a y, trace names as a coordinate, NaN kept as a value."""
    xr = pytest.importorskip("xarray")
    pytest.importorskip("h5netcdf")
    export(folder / "raman.1", folder / "map_cube.0", folder / "trace_maps.0", folder / "spectrum.0", "--to", "netcdf", "--out", "nc",
           cwd=tmp_path)
    with xr.open_dataset(tmp_path / "nc" / "raman.1.nc") as raman:
        assert raman["RAM_2D_NONE"].dims == ("raman_shift",)
        assert raman["raman_shift"].values.tolist() == [100.0, 200.0]
        assert raman["raman_shift"].attrs == {"units": "cm-1", "long_name": "raman shift"}
    with xr.open_dataset(tmp_path / "nc" / "map_cube.0.nc") as cube:  # its file gives no x unit
        assert cube["AB_3D_NONE"].dims == ("mapY", "mapX", "x")
        assert cube["x"].attrs == {"long_name": "x"}
    with xr.open_dataset(tmp_path / "nc" / "trace_maps.0.nc") as traces:
        assert traces["trace"].values.tolist() == ["CH2", "OH"]
        assert traces["TRC_3D_NONE"].sel(trace="OH").values.tolist() == [[7.0] * 3] * 2
        assert traces["mapY"].values.tolist() == [1.0, 1.5]
    with xr.open_dataset(tmp_path / "nc" / "spectrum.0.nc") as single:
        assert np.isnan(single["AB_2D_NONE"].values[1])
        assert single["AB_2D_NONE"].attrs["SNM"] == "für"


def test_a_folder_to_csv_and_its_subfolders(folder, tmp_path):
    done = export(folder, "--to", "csv", "--out", "csv", "--recursive", "--jobs", "2", cwd=tmp_path)
    assert done.returncode == 1
    assert done.stdout.splitlines() == [
        "7 OPUS files, 1 other files skipped",
        "4 data blocks written to 4 csv files in csv",
        "2 map blocks left out: CSV holds single spectra; --to netcdf writes maps",
        "1 problems in 1 files:",
        f"  {folder / 'no_npt.0'}: AB 2D NONE: KeyError: 'NPT'",
    ]
    written = {"raman.1_RAM_2D_NONE.csv": (folder / "raman.1", ("RAM", "2D", "NONE")),
               "spectrum.0_AB_2D_NONE.csv": (folder / "spectrum.0", ("AB", "2D", "NONE")),
               "third.0_AB_2D_3DER.csv": (folder / "third.0", ("AB", "2D", "3DER")),
               "sub/spectrum.0_AB_2D_NONE.csv": (folder / "sub" / "spectrum.0", ("AB", "2D", "NONE"))}
    out = tmp_path / "csv"
    assert sorted(str(p.relative_to(out)) for p in out.rglob("*.csv")) == sorted(
        str(out / name)[len(str(out)) + 1:] for name in written)
    for name, (source, block) in written.items():
        check_csv(out / name, source, block)
    assert "# the file ends after 2 of 4 values" in (out / "raman.1_RAM_2D_NONE.csv").read_text(encoding="utf-8")


def test_files_of_the_same_name_get_outputs_of_their_own(folder, tmp_path):
    done = export(folder / "spectrum.0", folder / "sub" / "spectrum.0", "--to", "csv", "--out", "csv", cwd=tmp_path)
    assert done.returncode == 0, done.stdout
    check_csv(tmp_path / "csv" / "spectrum.0_AB_2D_NONE.csv", folder / "spectrum.0", ("AB", "2D", "NONE"))
    check_csv(tmp_path / "csv" / "spectrum.0_2_AB_2D_NONE.csv", folder / "sub" / "spectrum.0", ("AB", "2D", "NONE"))


def test_the_real_files(samples_dir, tmp_path):
    pytest.importorskip("h5netcdf")
    for to in ("netcdf", "csv"):
        done = export(samples_dir, "--to", to, "--out", to, cwd=tmp_path)
        assert done.returncode == 0, done.stdout
        assert done.stdout.splitlines()[0].startswith(f"{len(SAMPLE_NAMES)} OPUS files, ")
    for source in sorted(samples_dir.iterdir()):
        if (tmp_path / "netcdf" / f"{source.name}.nc").exists():
            check_netcdf(tmp_path / "netcdf" / f"{source.name}.nc", source)
            for name, (block, _) in blocks_of(source).items():
                check_csv(tmp_path / "csv" / f"{source.name}_{name}.csv", source, block)


def test_without_xarray_it_says_what_to_install(folder, tmp_path):
    script = ("import sys; sys.modules['xarray'] = None; from korvex_tools.export import main;"
              " sys.exit(main(sys.argv[1:]))")
    done = subprocess.run([sys.executable, "-c", script, str(folder), "--to", "netcdf"], capture_output=True,
                          text=True, cwd=tmp_path)
    assert done.returncode == 2
    assert "python -m pip install xarray h5netcdf h5py" in done.stderr
    assert list(tmp_path.iterdir()) == [folder]


class Terminal:
    """A stream that says it is a terminal and keeps what is written."""

    def __init__(self, tty=True):
        self.text, self.tty = "", tty

    def isatty(self):
        return self.tty

    def write(self, text):
        self.text += text

    def flush(self):
        pass


def test_the_progress_bar_is_drawn_on_a_terminal_only():
    terminal = Terminal()
    with Progress(3, "files", terminal) as progress:
        for _ in range(3):
            progress.advance()
        final = progress.line()
    assert final.startswith("100% |#") and " 3/3 files, " in final and "." not in final.split("|")[1]
    first, last, cleared = terminal.text.split("\r")[1:-1]
    assert first.startswith("  0% |...") and " 0/3 files, " in first
    # The bar is as wide as the rate's digits leave it, and the rate moves between two lines: a whole
    # clock tick (15.6 ms on Windows) may pass between them, or none.
    assert last.startswith("100% |###") and set(last.split("|")[1]) == {"#"} and " 3/3 files, " in last
    assert cleared.strip() == "" and len(cleared) >= len(last)
    piped = Terminal(tty=False)
    with Progress(3, "files", piped) as progress:
        progress.advance(3)
    assert piped.text == ""


@pytest.mark.parametrize("tool", ["korvex-batch", "korvex-export", "korvex-quicklook"])
def test_every_tool_fails_interrupted_copies_by_name_alike(tmp_path, tool):
    """Empty and cut files named as OPUS files are, and a file whose directory lies past its end,
    each named with what is wrong with it, in every tool; other files stay skipped; nothing goes
    to standard error (no unraisable reports)."""
    folder = tmp_path / "in"
    folder.mkdir()
    said = interrupted_copies(folder)
    (folder / "directory.0").write_bytes(DIRECTORY_PAST_THE_END)
    said["directory.0"] = "damaged header or table: "
    options = {"korvex-export": ["--to", "csv"], "korvex-quicklook": []}.get(tool, [])
    done = subprocess.run([*command(tool), str(folder), *options], capture_output=True, text=True, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (1, "")
    reported = {}
    for line in done.stdout.splitlines():
        for name, text in said.items():
            if f"{name}: {text}" in line:
                reported[name] = Path(line.strip().split(f": {text}")[0])
    assert {name: path.resolve() for name, path in reported.items()} == {
        name: (folder / name).resolve() for name in said}
    skipped = "1 other files skipped"  # empty.txt
    assert skipped in done.stdout
    if tool != "korvex-quicklook":
        assert done.stdout.startswith(f"{len(said) + 1} OPUS files, {skipped}")  # whole.0 too


@pytest.mark.parametrize("tool, options", [("korvex-export", ["--to", "csv"]), ("korvex-quicklook", [])])
@pytest.mark.parametrize("out", ["a_file", "a_file/below"])
def test_an_output_folder_that_cannot_be_written_stops_the_run_at_once(folder, tmp_path, tool, options, out):
    if tool == "korvex-quicklook":
        pytest.importorskip("matplotlib")  # without it, nothing is written
    (tmp_path / "a_file").write_text("in the way\n")
    done = subprocess.run([*command(tool), str(folder / "spectrum.0"), str(folder / "raman.1"), *options,
                           "--out", out], capture_output=True, text=True, cwd=tmp_path)
    assert (done.returncode, done.stdout) == (1, "")
    (line,) = done.stderr.splitlines()
    assert line.startswith(f"{tool}: cannot write into {Path(out)}: ")  # as the system writes the path
