"""The quick look as a user runs it (korvex-quicklook) on what real folders hold: repeated
measurements numbered by their extension, files too short to be OPUS files, third derivatives,
phases and Raman spectra, truncated and damaged files."""

import subprocess
from pathlib import Path

import numpy as np
import pytest

import korvex
import korvex_tools.quicklook
from tool_files import DIRECTORY_PAST_THE_END, command, spectrum_file

AB, SIFG, SPH, RAM = 4, 2, 3, 10  # data type codes
SAMPLE_SIDE = 1


def quicklook(*args, cwd):
    return subprocess.run([*command("korvex-quicklook"), *args], capture_output=True, text=True, cwd=cwd)


def pictures(done):
    return [line.split(": ", 1)[1] for line in done.stdout.splitlines() if line.startswith("    picture:")]


def test_files_that_differ_in_extension_or_folder_keep_a_picture_each(tmp_path):
    """Repeated measurements soil.0, soil.1 and a soil.0 of another folder: three pictures."""
    pytest.importorskip("matplotlib")
    (tmp_path / "other").mkdir()
    paths = [tmp_path / "soil.0", tmp_path / "soil.1", tmp_path / "other" / "soil.0"]
    for k, path in enumerate(paths):
        path.write_bytes(spectrum_file((0.5, 1.5, 1.0, 0.25 * k)))
    done = quicklook(*map(str, paths), "--out", "pics", cwd=tmp_path)
    assert done.returncode == 0, done.stdout
    names = ["soil.0_AB_2D_NONE.png", "soil.1_AB_2D_NONE.png", "soil.0_AB_2D_NONE_2.png"]
    assert pictures(done) == [str(Path("pics") / name) for name in names]
    assert sorted(p.name for p in (tmp_path / "pics").iterdir()) == sorted(names)


@pytest.mark.parametrize("content, said", [
    (b"", "empty file (0 bytes)"),
    (b"\n\n", "cut short at 2 bytes, inside the 24-byte header of an OPUS file"),
    (b"\x0a\x0a\xfe\xfe" + bytes(6), "cut short at 10 bytes, inside the 24-byte header of an OPUS file"),
], ids=["empty", "2 bytes", "10 bytes"])
def test_an_interrupted_copy_is_reported_and_the_run_goes_on(tmp_path, content, said):
    short = tmp_path / "short.0"
    short.write_bytes(content)
    good = tmp_path / "good.0"
    good.write_bytes(spectrum_file())
    done = quicklook(str(short), str(good), "--out", "pics", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (1, "")
    lines = done.stdout.splitlines()
    assert lines[:2] == [f"{short}: {said}: an interrupted copy?", f"{good}: OPUS file, {good.stat().st_size} bytes"]
    assert "  data block: ('AB', '2D', 'NONE')" in lines


def test_a_folder_stands_for_its_opus_files(tmp_path):
    for name in ("b.1", "a.0"):
        (tmp_path / name).write_bytes(spectrum_file())
    (tmp_path / "notes.txt").write_text("not a spectrum\n")
    done = quicklook(".", "--out", "pics", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert [line for line in done.stdout.splitlines() if not line.startswith(" ")][:3] == [
        ".: folder of 2 OPUS files, 1 other files skipped",
        *(f"{name}: OPUS file, {len(spectrum_file())} bytes" for name in ("a.0", "b.1"))]


def test_a_third_derivative_is_read(tmp_path):
    path = tmp_path / "d3.0"
    path.write_bytes(spectrum_file(deriv_type=3))
    assert korvex.listContents(str(path)) == [("AB", "2D", "3DER")]
    done = quicklook(str(path), "--out", "pics", cwd=tmp_path)
    assert done.returncode == 0, done.stdout
    assert done.stdout.splitlines()[1:3] == [
        "  data block: ('AB', '2D', '3DER')",
        "    4 points from 4000.00 to 1000.00 (WN), y from 0.25 to 1.5 as stored"]


def test_a_truncated_spectrum_gives_the_range_of_the_values_it_holds(tmp_path):
    path = tmp_path / "cut.0"
    path.write_bytes(spectrum_file((0.5, 1.5), npt=4))
    assert len(korvex.getOpusData(str(path), ("AB", "2D", "NONE")).y) == 2
    done = quicklook(str(path), "--out", "pics", cwd=tmp_path)
    assert done.stdout.splitlines()[2:4] == [
        "    2 points of 4 (the file ends before the rest) from 4000.00 to 3000.00 (WN), y from 0.25 to 1.5 as stored",
        "    largest value 1.5 at x = 3000.0"]


def test_the_read_reports_of_a_damaged_header_are_one_line_and_fail_the_run(tmp_path):
    damaged = tmp_path / "damaged.0"
    damaged.write_bytes(DIRECTORY_PAST_THE_END)
    done = quicklook(str(damaged), "--out", "pics", cwd=tmp_path)
    assert done.returncode == 1
    assert done.stderr == ""
    lines = done.stdout.splitlines()
    assert lines[:3] == [
        f"{damaged}: OPUS file, 24 bytes",
        "  no data blocks",
        f"{damaged}: damaged header or table: 3 reads ran past the end of the file"
        " (first: error: unpack requires a buffer of 4 bytes)"]
    assert lines[3:] == [] or lines[3].startswith("no pictures: matplotlib is not installed")


@pytest.mark.parametrize("data_type, sample_type, fxv, lxv, label, limits", [
    (SPH, SAMPLE_SIDE, 4000.0, 1000.0, "phase (sample), rad", (4000.0, 1000.0)),
    (AB, 0, 1000.0, 4000.0, "absorbance", (4000.0, 1000.0)),  # infrared: high wavenumbers left
    (RAM, 0, 100.0, 3500.0, "Raman intensity", (100.0, 3500.0)),  # Raman shift: low to high
    (RAM, 0, 3500.0, 100.0, "Raman intensity", (100.0, 3500.0)),
    (SIFG, SAMPLE_SIDE, 0.0, 3.0, "interferogram (sample)", (0.0, 3.0)),  # points: first to last
])
def test_spectrum_axes_by_kind(tmp_path, data_type, sample_type, fxv, lxv, label, limits):
    figure = pytest.importorskip("matplotlib.figure").Figure
    path = tmp_path / "s.0"
    unit = "PNT" if data_type == SIFG else "WN"
    path.write_bytes(spectrum_file(data_type=data_type, sample_type=sample_type, FXV=fxv, LXV=lxv, DXU=unit))
    (block,) = korvex.listContents(str(path))
    result = korvex.getOpusData(str(path), block)
    fig = korvex_tools.quicklook.Plotter(tmp_path, figure).spectrum_figure(result, "s.0")
    (ax,) = fig.axes
    x_label = {RAM: "Raman shift (cm⁻¹)", SIFG: "data point"}.get(data_type, "wavenumber (cm⁻¹)")
    assert (ax.get_xlabel(), ax.get_ylabel(), ax.get_xlim()) == (x_label, label, limits)
    np.testing.assert_array_equal(ax.lines[0].get_xdata(), result.x)
