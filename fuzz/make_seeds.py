"""Writes the fuzzer's seed files into a directory: small files built with the tests' writer (spectra,
map cubes, trace maps, derived maps, files with other requests picked), and the real sample files at
the top of their folder: those in KORVEX_SAMPLES when it is set, or else the tests' (tests/data/samples,
with what ../shared/samples beside the repository adds).

    python fuzz/make_seeds.py DIRECTORY
"""

import os
import shutil
import struct
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))

import opuswriter as w  # noqa: E402
import real_samples  # noqa: E402

AB, TRC, TR, SSC = 4, 7, 5, 1


def parameters(npt, fxv=4000.0, lxv=400.0, extra=None, end=True):
    values = {"NPT": npt, "FXV": fxv, "LXV": lxv, "MXY": 1.5, "MNY": -0.5}
    values.update(extra or {})
    return w.param_block_from_dict(values, end=end)


def map_parameters(npt, npx, npy, **extra):
    return parameters(npt, extra={"AOX": 10.0, "AOY": -5.0, "DDX": 2.5, "DDY": 1.0, "NPX": npx, "NPY": npy, **extra})


def side_blocks(opus):
    """The acquisition, instrument, sample and FT blocks that the merge reads."""
    opus.add_block(w.block_type(param_type=w.ACQUISITION_PARAMETERS), w.param_block_from_dict({"RES": 4, "APT": "1 mm"}))
    opus.add_block(w.block_type(param_type=w.INSTRUMENT_PARAMETERS), w.param_block_from_dict({"HFL": 7.5}))
    opus.add_block(w.block_type(param_type=w.SAMPLE_PARAMETERS), w.param_block([("SNM", 2, b"Probe \xfc\x91")]))
    opus.add_block(w.block_type(param_type=w.FT_PARAMETERS), w.param_block_from_dict({"ZFF": 2}))


def spectrum(data_type=AB, npt=8, deriv=0, sample=0, version=w.DEFAULT_VERSION):
    opus = w.OpusFile(version_number=version)
    fields = {"data_type": data_type, "deriv_type": deriv, "sample_type": sample}
    opus.add_block(w.block_type(param_type=w.DATA_VALUES, **fields), w.float32_block(range(npt)))
    opus.add_block(w.block_type(param_type=w.DATA_PARAMETERS, **fields), parameters(npt))
    side_blocks(opus)
    return opus.build()


def map_file(data_type, block, npt, npx, npy, deriv=0, underived=None):
    """A map file whose data block comes last, so that cutting the file cuts the records."""
    opus = w.OpusFile()
    fields = {"data_type": data_type, "extend_type": w.EXTEND_3D, "deriv_type": deriv}
    opus.add_block(w.block_type(param_type=w.DATA_PARAMETERS, **fields), map_parameters(npt, npx, npy))
    side_blocks(opus)
    if underived is not None:
        opus.add_block(w.block_type(param_type=w.DATA_PARAMETERS, **{**fields, "deriv_type": 0}), underived)
    opus.add_block(w.block_type(param_type=w.DATA_VALUES, **fields), block.build())
    return opus.build()


def cube(npt, npx, npy, info=0):
    block = w.MapBlock(info_size=info)
    records = [[float(k * npt + t) for t in range(npt)] for k in range(npx * npy)]
    block.run(records[:2]).skip(6).run(records[2:])
    return map_file(AB, block, npt, npx, npy)


def traces(npx, npy, count, info=160):
    block = w.MapBlock(info_size=info)
    maps = [[float(k * 100 + p) for p in range(npx * npy)] for k in range(count)]
    names = [f"tr{k}" for k in range(count)] if info >= 152 else None
    block.run(maps, names=names)
    return map_file(TRC, block, npx * npy, npx, npy)


def seeds():
    yield "spectrum-ab", spectrum()
    yield "spectrum-tr-deriv", spectrum(TR, npt=5, deriv=1)
    yield "spectrum-ssc-sample", spectrum(SSC, npt=4, sample=1)
    # More records than a parameter list holds before it drops the repeated labels (12 bytes each).
    opus = w.OpusFile()
    opus.add_block(w.block_type(data_type=AB), w.float32_block([1.0, 2.0]))
    repeated = [(label, w.INT32, k) for k in range(1500) for label in ("AAA", "BBB", "CCC")]
    opus.add_block(w.block_type(data_type=AB, param_type=w.DATA_PARAMETERS),
                   parameters(2, end=False) + w.param_block(repeated + [("NPT", w.INT32, 2)]))
    yield "spectrum-many-parameters", opus.build()
    # versionNumber's first two bytes pick one more request: row 11 (TR), and 2 for "2D" "1DER".
    picked = struct.unpack("<d", bytes([11, 2, 0, 0, 0, 0, 0xF0, 0x3F]))[0]
    yield "single-picks-tr-1der", spectrum(TR, npt=3, deriv=1, version=picked)
    yield "cube-2x2x3", cube(3, 2, 2)
    yield "cube-info", cube(2, 3, 1, info=12)
    yield "traces-named", traces(2, 2, 3)
    yield "traces-unnamed", traces(3, 1, 2, info=0)
    underived = w.param_block_from_dict({"AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0, "NPX": 2, "NPY": 1})
    block = w.MapBlock().run([[1.0, 2.0], [3.0, 4.0]])
    yield "cube-derived-geometry", map_file(AB, block, 2, 0, 0, deriv=1, underived=underived)
    # Store tables of every kind of entry: an empty run, skips, a skip to the end, records beyond the
    # grid, records cut off by the end of the file.
    block = w.MapBlock(info_size=4).run([[1.0, 2.0]] * 3).entry(5, 4).skip(3).run([[5.0, 6.0]] * 2).entry(-1, -1)
    yield "cube-store-table", map_file(AB, block, 2, 3, 2)
    block = w.MapBlock().run([[float(k)] for k in range(7)])
    yield "cube-beyond-grid", map_file(AB, block, 1, 2, 2)
    yield "cube-cut-short", cube(4, 2, 2)[:-6]
    block = w.MapBlock(info_size=-1).run([[1.0, 2.0]])
    yield "cube-info-to-end", map_file(AB, block, 2, 1, 1)
    yield "traces-many", traces(1, 2, 20)
    block = w.MapBlock(info_size=156).run([[1.0, 2.0], [3.0, 4.0]], names=["a", "b"])
    yield "traces-derived-geometry", map_file(TRC, block, 2, 0, 1, deriv=1, underived=underived)
    # Long runs that the record walk takes in one step: one-value maps back to back, and with an
    # info record between them; a run that claims more records than the file and the grid hold.
    yield "traces-one-value-run", traces(1, 1, 300, info=0)
    yield "traces-one-value-info", traces(1, 1, 200, info=4)
    block = w.MapBlock(info_size=4).run([[float(k)] for k in range(40)]).entry(1, 2**31 - 1)
    yield "cube-long-run", map_file(AB, block, 1, 5, 6)


def main(directory):
    out = Path(directory)
    out.mkdir(parents=True, exist_ok=True)
    for name, data in seeds():
        (out / f"{name}.opus").write_bytes(data)
    given = os.environ.get("KORVEX_SAMPLES")
    samples = real_samples.sample_files((Path(given),)) if given else real_samples.sample_files()
    for name, sample in samples.items():
        if "/" not in name:
            shutil.copyfile(sample, out / name)


if __name__ == "__main__":
    main(sys.argv[1])
