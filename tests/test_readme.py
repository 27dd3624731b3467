"""Every Python example of the README runs, in order, in one namespace, against files written under
the names it uses (sample.0, map.0, the folder measurements/, the export of map.0), and gives what
the text beside it says; the links of the README and of docs/ lead to files and headings that exist."""

import re
import subprocess
import textwrap
from datetime import datetime
from pathlib import Path

import numpy as np
import pytest

from opuswriter import MapBlock, OpusFile, block_type, map_opus_file, param_block_from_dict
from tool_files import add_spectrum, command

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
AB, SIFG, TRC, SINGLE_CHANNEL = 4, 2, 7, 1
SAMPLE_SIDE, REFERENCE_SIDE = 1, 2
ACQUISITION = 3  # parameter type


def python_blocks():
    """The README's ```python blocks, those indented in a list item included, dedented."""
    return [textwrap.dedent(code) for code in
            re.findall(r"^( *)```python\n(.*?)^\1```$", README.read_text(encoding="utf-8"), re.M | re.S)
            for code in [code[1]]]


def sample_file():
    """An absorbance stored twice, its third derivative, an interferogram with its scaling factor,
    and the sample side's acquisition block followed by the reference side's, as instruments write
    them."""
    opus = OpusFile()
    add_spectrum(opus, [9.0, 9.0, 9.0])  # the first of two equal triples: never returned
    add_spectrum(opus, [0.1, 0.5, 0.25], DAT="05/02/2021", TIM="11:44:26.088 (GMT+1)")
    add_spectrum(opus, [0.0, 1.0, 0.0], deriv_type=3)
    add_spectrum(opus, [100.0, -50.0, 25.0], data_type=SIFG, sample_type=SAMPLE_SIDE, CSF=0.5, DXU="PNT")
    opus.add_block(block_type(param_type=ACQUISITION, sample_type=0), param_block_from_dict({"NSS": 32, "RES": 4.0}))
    opus.add_block(block_type(param_type=ACQUISITION, sample_type=REFERENCE_SIDE),
                   param_block_from_dict({"NSR": 16, "RES": 4.0}))
    return opus.build()


def map_file():
    geometry = {"FXV": 4000.0, "LXV": 3000.0, "AOX": 0.0, "AOY": 0.0, "DDX": 5.0, "DDY": 5.0, "NPX": 2, "NPY": 2,
                "MXY": 1.0, "MNY": 0.0, "DXU": "WN"}
    opus = map_opus_file(MapBlock().run([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0], [7.0, 8.0]]), {**geometry, "NPT": 2}, AB)
    map_opus_file(MapBlock(info_size=160).run([[1.0, 2.0, 3.0, 4.0]], names=["CH2"]), {**geometry, "NPT": 4}, TRC,
                  opus=opus)
    return opus.build()


def test_the_readme_examples_run(tmp_path, monkeypatch, capsys):
    pytest.importorskip("xarray")
    pytest.importorskip("h5netcdf")
    (tmp_path / "sample.0").write_bytes(sample_file())
    (tmp_path / "map.0").write_bytes(map_file())
    (tmp_path / "measurements").mkdir()
    for name in ("a.0", "b.0"):
        (tmp_path / "measurements" / name).write_bytes(sample_file())
    # The README's export commands, whose files the CSV and xarray examples then open.
    for name, kind in (("map.0", "netcdf"), ("sample.0", "csv")):
        subprocess.run([*command("korvex-export"), name, "--to", kind], cwd=tmp_path, check=True,
                       capture_output=True)
    monkeypatch.chdir(tmp_path)
    blocks = python_blocks()
    assert len(blocks) == README.read_text(encoding="utf-8").count("```python") >= 8  # indented ones too
    namespace: dict = {}
    for code in blocks:
        exec(compile(code, str(README), "exec"), namespace)
    capsys.readouterr()

    # What the text beside the examples says of them.
    assert namespace["repeated"] == {("AB", "2D", "NONE")}
    np.testing.assert_array_equal(namespace["spectrum"].y, np.float32([0.1, 0.5, 0.25]))
    assert namespace["measured"] == datetime(2021, 2, 5, 11, 44, 26, 88000)
    np.testing.assert_array_equal(namespace["scaled"], [50.0, -25.0, 12.5])
    # The trap the acquisition example answers: the merge took the reference side's block.
    assert "NSS" not in namespace["spectrum"].parameters and namespace["spectrum"].parameters["NSR"] == 16
    assert namespace["acquisition_side"] == "reference"
    assert namespace["integrated"].values.tolist() == [[3.0, 7.0], [11.0, 15.0]]
    np.testing.assert_array_equal(namespace["image"], [[3.0, 7.0], [11.0, 15.0]])
    assert namespace["named"]["Number of Data Points"] == 3
    # The export's CSV, read three ways, gives the spectrum's values (y as float32) under the header's names.
    spectrum = namespace["spectrum"]
    assert list(namespace["table"].columns) == ["wavenumber_cm-1", "absorbance"]
    for x, y in ((namespace["table"]["wavenumber_cm-1"].to_numpy(), namespace["table"]["absorbance"].to_numpy()),
                 namespace["rows"].T, (namespace["columns"]["wavenumber_cm1"], namespace["columns"]["absorbance"])):
        np.testing.assert_array_equal(x, spectrum.x)
        np.testing.assert_array_equal(y.astype(np.float32), spectrum.y)
    assert [result.y.tolist() for result in namespace["spectra"]] == [[np.float32(0.1), 0.5, 0.25]] * 2

    # The thread-pool example's error names the file and what it holds instead.
    single_channels = Path("measurements", "c.0")
    single_channels.write_bytes(add_spectrum(add_spectrum(OpusFile(), [1.0, 2.0], data_type=SINGLE_CHANNEL,
                                                          sample_type=SAMPLE_SIDE),
                                             [3.0, 4.0], data_type=SINGLE_CHANNEL, sample_type=REFERENCE_SIDE).build())
    with pytest.raises(RuntimeError) as failure:
        namespace["absorbance"](single_channels)
    assert str(failure.value) == (f"{single_channels}: ValueError: No data block exists in the file for: AB 2D NONE;"
                                  " the file holds [('SSC', '2D', 'NONE'), ('RSC', '2D', 'NONE')]")


def prose(page):
    """The text of a Markdown page without its unindented code blocks, whose "#" lines are comments."""
    return re.sub(r"^```.*?^```$", "", page.read_text(encoding="utf-8"), flags=re.M | re.S)


def anchors(page):
    """The fragments that the headings of a page get on the project's site: lower case, punctuation
    dropped, spaces as hyphens."""
    return {re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
            for heading in re.findall(r"^#+ (.*)$", prose(page), re.M)}


def test_links_lead_somewhere():
    """A section moved between the README and docs/ leaves no link to where it was."""
    pages = [README, *sorted((ROOT / "docs").glob("*.md"))]
    broken = []
    for page in pages:
        for target in re.findall(r"\]\(([^)\s]+)\)", prose(page)):
            if "://" in target:
                continue
            file, _, fragment = target.partition("#")
            linked = (page.parent / file).resolve() if file else page
            if not linked.exists():
                broken.append(f"{page.name}: {target} (no such file)")
            elif fragment and fragment not in anchors(linked):
                broken.append(f"{page.name}: {target} (no such heading)")
    assert len(pages) > 1 and not broken, broken
