"""The quick look of the README's first command (korvex-quicklook, and examples/quicklook.py that
runs it from a checkout): its text, its pictures, and its output without matplotlib."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import korvex
import korvex_tools.quicklook
from korvex_tools import DEMO_FILES
from opuswriter import MapBlock, OpusFile, block_type, float32_block, map_opus_file, param_block_from_dict

ROOT = Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "examples" / "quicklook.py"
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
AB, TRC = 4, 7  # data type codes
GEOMETRY = {"FXV": 4000.0, "LXV": 3000.0, "AOX": 10.0, "AOY": 1.0, "DDX": 2.0, "DDY": -0.5,
            "NPX": 3, "NPY": 2, "MXY": 1.0, "MNY": 0.0, "DXU": "WN"}


def run(*args, cwd, block_matplotlib=False):
    """Run the script as a program; with block_matplotlib, as if matplotlib were not installed."""
    if block_matplotlib:
        command = [sys.executable, "-c",
                   "import runpy, sys; sys.modules['matplotlib'] = None; sys.argv[0] = sys.argv[1];"
                   " del sys.argv[1]; runpy.run_path(sys.argv[0], run_name='__main__')", str(SCRIPT), *args]
    else:
        command = [sys.executable, str(SCRIPT), *args]
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd)


def spectrum_file(npt=4, values=(0.5, 1.5, 1.0, 0.25), extra=None):
    opus = OpusFile()
    params = {"NPT": npt, "FXV": 4000.0, "LXV": 1000.0, "MXY": 1.5, "MNY": 0.25, "DXU": "WN", **(extra or {})}
    opus.add_block(block_type(data_type=AB, param_type=1), param_block_from_dict(params))
    opus.add_block(block_type(data_type=AB), float32_block(values))
    return opus


def test_quicklook_reads_the_demo_files(tmp_path):
    done = run("-o", str(tmp_path / "out"), cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == ""
    lines = done.stdout.splitlines()
    blocks = [i for i, line in enumerate(lines) if line.startswith("  data block:")]
    described = [lines[i:i + 3] for i in blocks]
    assert described == [
        ["  data block: ('AB', '2D', 'NONE')",
         "    1738 points from 3997.40 to 598.20 (WN), y from 0.02696 to 1.233 as stored",
         "    largest value 1.233 at x = 698.0"],
        ["  data block: ('AB', '3D', 'NONE')",
         "    map of 12 rows x 16 columns from (1250, -830) to (1625, -555)",
         "    80 points per spectrum from 1800.00 to 650.00; 192 of 192 positions hold nonzero values"],
        ["  data block: ('TRC', '3D', 'NONE')",
         "    map of 12 rows x 16 columns from (1250, -830) to (1625, -555)",
         "    4 trace maps: 'Integral 1760-1680 PET C=O', 'Integral 1520-1470 PS ring',"
         " 'Integral 1575-1505 PA amide II', 'Integral 1800-650 total'"],
    ]
    # A line for each file, naming it (a Windows path has a colon of its own), and without matplotlib
    # the text that says how to get the pictures.
    files = [f"{path}: OPUS file, {path.stat().st_size} bytes" for path in DEMO_FILES]
    advice = korvex_tools.quicklook.NO_MATPLOTLIB.splitlines() if importlib.util.find_spec("matplotlib") is None else []
    assert [line for line in lines if not line.startswith(" ")] == files + [line for line in advice if line[0] != " "]
    # Each block lists the parameters that paramDict names, label, name and value.
    assert "    26 parameters, 24 with a name in paramDict:" in lines
    assert "      SNM  Sample Name                  Polystyrene film" in lines
    assert "      SNM  Sample Name                  Particles on filter" in lines


def test_quicklook_describes_map_cubes_and_trace_maps(write_file, tmp_path):
    pytest.importorskip("matplotlib")  # it draws the blocks too
    opus = map_opus_file(MapBlock().run([[1.0, 0.0], [0.0, 0.0], [0.0, 2.0]]), {**GEOMETRY, "NPT": 2}, AB)
    map_opus_file(MapBlock(info_size=160).run([[1.0] * 6] * 2, names=["CH2", "OH"]), {**GEOMETRY, "NPT": 6}, TRC,
                  opus=opus)
    done = run(str(write_file(opus.build())), "-o", str(tmp_path / "out"), cwd=tmp_path)
    lines = [line for line in done.stdout.splitlines() if not line.startswith("    picture:")]
    assert lines[1:] == [
        "  data block: ('AB', '3D', 'NONE')",
        "    map of 2 rows x 3 columns from (10, 1) to (14, 0.5)",
        "    2 points per spectrum from 4000.00 to 3000.00; 2 of 6 positions hold nonzero values",
        "    12 parameters, 6 with a name in paramDict:",
        "      NPT  Number of Data Points  2",
        "      FXV  First X Value          4000.0",
        "      LXV  Last X Value           3000.0",
        "      MNY  Minimum Y Value        0.0",
        "      MXY  Maximum Y Value        1.0",
        "      DXU  X Units                WN",
        "  data block: ('TRC', '3D', 'NONE')",
        "    map of 2 rows x 3 columns from (10, 1) to (14, 0.5)",
        "    2 trace maps: 'CH2', 'OH'",
        "    12 parameters; named ones that differ from the block above:",
        "      NPT  Number of Data Points  6",
    ]
    assert done.returncode == 0


def test_quicklook_goes_on_past_what_it_cannot_read(write_file, tmp_path):
    """A non-OPUS file, a missing file and a block that cannot be read are reported; the other
    blocks are still shown, and the exit status says something failed."""
    opus = spectrum_file()
    broken = {"NPT": 4, "FXV": 1.0, "LXV": 2.0, "MXY": 1.0}  # no MNY
    opus.add_block(block_type(data_type=5, param_type=1), param_block_from_dict(broken))
    opus.add_block(block_type(data_type=5), float32_block([1.0] * 4))
    good = write_file(opus.build(), "good.0")
    not_opus = write_file(b"plain text\n", "notes.txt")
    done = run(str(not_opus), str(good), "-o", str(tmp_path / "out"), cwd=tmp_path)
    assert done.returncode == 1
    lines = done.stdout.splitlines()
    assert lines[0] == f"{not_opus}: not an OPUS file"
    at = lines.index("  data block: ('TR', '2D', 'NONE')")
    assert lines[at + 1] == "    cannot read: KeyError: 'MNY'"
    assert "  data block: ('AB', '2D', 'NONE')" in lines[at + 2:]
    missing = run(str(tmp_path / "absent.0"), cwd=tmp_path)
    assert missing.returncode == 1
    assert missing.stdout.startswith(f"{tmp_path / 'absent.0'}: cannot read: FileNotFoundError: ")


def test_quicklook_without_matplotlib_prints_and_says_how_to_get_pictures(tmp_path):
    done = run(cwd=tmp_path, block_matplotlib=True)
    assert done.returncode == 0 and done.stderr == ""
    assert "    picture:" not in done.stdout
    assert done.stdout.endswith(
        "no pictures: matplotlib is not installed. Install it with\n"
        "    python -m pip install matplotlib\n"
        "(or install korvex with its plot extra: python -m pip install \"korvex-opus[plot]\")\n")
    assert done.stdout.count("  data block:") == 3
    assert list(tmp_path.iterdir()) == []


# ---------------------------------------------------------------- pictures

@pytest.fixture
def plotter(tmp_path):
    figure = pytest.importorskip("matplotlib.figure").Figure
    return korvex_tools.quicklook.Plotter(tmp_path / "out", figure)


def test_quicklook_writes_a_picture_of_each_demo_block(tmp_path):
    pytest.importorskip("matplotlib")
    done = run(cwd=tmp_path)  # into the default folder, quicklook-out in the current one
    assert done.returncode == 0 and done.stderr == ""
    names = ["demo_spectrum.0_AB_2D_NONE.png", "demo_map.0_AB_3D_NONE.png", "demo_traces.0_TRC_3D_NONE.png"]
    assert [line for line in done.stdout.splitlines() if line.startswith("    picture:")] == [
        f"    picture: {Path('quicklook-out') / name}" for name in names]
    assert sorted(p.name for p in (tmp_path / "quicklook-out").iterdir()) == sorted(names)
    for name in names:
        assert (tmp_path / "quicklook-out" / name).read_bytes().startswith(PNG_MAGIC)


def test_equal_triples_get_pictures_of_their_own(write_file, tmp_path):
    pytest.importorskip("matplotlib")
    opus = spectrum_file()
    opus.add_block(block_type(data_type=AB, param_type=1),
                   param_block_from_dict({"NPT": 1, "FXV": 1.0, "LXV": 1.0, "MXY": 1.0, "MNY": 1.0}))
    opus.add_block(block_type(data_type=AB), float32_block([1.0]))
    path = write_file(opus.build(), "twice.0")
    assert korvex.listContents(path) == [("AB", "2D", "NONE")] * 2
    done = run(str(path), "-o", "pics", cwd=tmp_path)
    assert [line for line in done.stdout.splitlines() if line.startswith("    picture:")] == [
        f"    picture: {Path('pics') / 'twice.0_AB_2D_NONE.png'}",
        f"    picture: {Path('pics') / 'twice.0_AB_2D_NONE_2.png'}",
    ]
    assert done.returncode == 0


def mesh_values(ax, shape):
    """The values a pcolormesh drew, in its grid's shape, and the edges of its cells."""
    mesh = ax.collections[0]
    corners = mesh.get_coordinates()
    return np.ma.asarray(mesh.get_array()).reshape(shape), corners[0, :, 0], corners[:, 0, 1]


@pytest.mark.parametrize("values, npt", [([0.5, 1.5, 1.0, 0.25], 4), ([0.5, 1.5], 4)],
                         ids=["whole", "file ends inside the values"])
def test_a_spectrum_is_drawn_against_its_axis(write_file, plotter, values, npt):
    path = write_file(spectrum_file(npt, values, {"SNM": "film"}).build())
    result = korvex.getOpusData(str(path), ("AB", "2D", "NONE"))
    fig = plotter.spectrum_figure(result, "f.0: AB 2D NONE")
    (ax,) = fig.axes
    (line,) = ax.lines
    np.testing.assert_array_equal(line.get_xydata(), np.column_stack([result.x[:len(values)], values]))
    assert (ax.get_xlabel(), ax.get_ylabel(), ax.get_title()) == (
        "wavenumber (cm⁻¹)", "absorbance", "f.0: AB 2D NONE\nfilm")
    assert ax.get_xlim() == (4000.0, 1000.0)  # high wavenumbers on the left


def test_a_map_cube_is_drawn_in_map_coordinates(write_file, plotter):
    """The image holds each pixel's integral where mapX and mapY put it (a descending y included);
    a position with no record stays blank; the mean spectrum leaves it out."""
    records = [[1.0, 2.0, 4.0], [0.0, 1.0, 0.0], [3.0, 3.0, 3.0], [2.0, 0.0, 1.0], [0.5, 0.5, 9.0]]
    path = write_file(map_opus_file(MapBlock().run(records), {**GEOMETRY, "NPT": 3}, AB).build())
    result = korvex.getOpusData(str(path), ("AB", "3D", "NONE"))
    fig = plotter.cube_figure(result, "m.0: AB 3D NONE")
    map_ax, spectrum_ax = fig.axes[:2]
    image, x_edges, y_edges = mesh_values(map_ax, (2, 3))
    step = 500.0  # 4000 to 3000 cm-1 in 3 points
    integrals = [sum((a + b) / 2 * step for a, b in zip(r, r[1:])) for r in records]
    np.testing.assert_allclose(image.compressed(), integrals)
    assert image.mask.tolist() == [[False] * 3, [False, False, True]]
    np.testing.assert_array_equal(x_edges, [9.0, 11.0, 13.0, 15.0])
    np.testing.assert_array_equal(y_edges, [1.25, 0.75, 0.25])
    assert (map_ax.get_xlabel(), map_ax.get_ylabel()) == ("map x (µm)", "map y (µm)")
    assert fig.axes[2].get_ylabel() == "absorbance × cm⁻¹"  # the colorbar
    brightest = int(np.argmax(integrals))
    assert map_ax.lines[0].get_xydata().tolist() == [[result.mapX[brightest % 3], result.mapY[brightest // 3]]]
    mean, bright = spectrum_ax.lines
    np.testing.assert_allclose(mean.get_ydata(), np.mean(records, axis=0), rtol=1e-6)
    np.testing.assert_array_equal(bright.get_ydata(), records[brightest])
    assert (spectrum_ax.get_xlabel(), spectrum_ax.get_ylabel()) == ("wavenumber (cm⁻¹)", "absorbance")


@pytest.mark.parametrize("info_size, names, titles", [
    (160, ["CH2", "OH", "C=O"], ["CH2", "OH", "C=O"]),
    (0, None, ["trace 0", "trace 1", "trace 2"]),
])
def test_trace_maps_are_drawn_one_per_trace_with_its_name(write_file, plotter, info_size, names, titles):
    maps = [[float(10 * k + i) for i in range(6)] for k in range(3)]
    path = write_file(map_opus_file(MapBlock(info_size=info_size).run(maps, names=names), {**GEOMETRY, "NPT": 6},
                                    TRC).build())
    result = korvex.getOpusData(str(path), ("TRC", "3D", "NONE"))
    fig = plotter.traces_figure(result, "t.0: TRC 3D NONE")
    drawn = [ax for ax in fig.axes if ax.collections and ax.get_label() != "<colorbar>"]
    assert [ax.get_title() for ax in drawn] == titles
    for k, ax in enumerate(drawn):
        image, x_edges, y_edges = mesh_values(ax, (2, 3))
        np.testing.assert_array_equal(image, np.reshape(maps[k], (2, 3)))
        np.testing.assert_array_equal(x_edges, [9.0, 11.0, 13.0, 15.0])
        assert (ax.get_xlabel(), ax.get_ylabel()) == ("map x (µm)", "map y (µm)")


@pytest.mark.parametrize("opus, block", [
    (spectrum_file(0, []), ("AB", "2D", "NONE")),
    (map_opus_file(MapBlock(), {**GEOMETRY, "NPT": 3}, AB), ("AB", "3D", "NONE")),
    (map_opus_file(MapBlock().run([[0.0] * 3] * 2), {**GEOMETRY, "NPT": 3}, AB), ("AB", "3D", "NONE")),
], ids=["no points", "no stored record", "records of zeros"])
def test_a_block_without_values_gets_no_picture(write_file, plotter, opus, block):
    result = korvex.getOpusData(str(write_file(opus.build())), block)
    assert plotter.draw(result, "empty", "empty") is None
    assert not plotter.folder.exists()
