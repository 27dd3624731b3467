"""Writes the demo files in python/korvex_tools/data/ (shipped with the package) with the test suite's OPUS writer.

    python examples/make_demo_files.py

demo_spectrum.0: an absorbance spectrum of 1738 points from 3997 to 598 cm-1 with
bands where a polystyrene film has them, plus the usual parameter blocks.

demo_map.0: an absorbance map cube, 16 columns by 12 rows of 25 um pixels, 80 points
from 1800 to 650 cm-1 each: a weak filter background with four plastic particles on it
(two polystyrene beads, a PET fibre, a polyamide fragment), with partly covered edge
pixels, a drifting baseline and noise.

demo_traces.0: trace maps of the same field, one per band integral, as chemical imaging
computes them from the cube: each trace is named after its band.

The files are the same on every run (the noise has a fixed seed).
"""

import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

from opuswriter import (  # noqa: E402
    ACQUISITION_PARAMETERS,
    DATA_PARAMETERS,
    DATA_VALUES,
    EXTEND_3D,
    FT_PARAMETERS,
    INSTRUMENT_PARAMETERS,
    SAMPLE_PARAMETERS,
    MapBlock,
    OpusFile,
    block_type,
    float32_block,
    param_block_from_dict,
)

AB = 4   # data type code of absorbance
TRC = 7  # data type code of trace maps
TRACE_INFO_SIZE = 216  # info record of a trace: 152 bytes, then the name, NUL-padded

# (centre in cm-1, half width, height) of the bands of each material.
POLYSTYRENE = [
    (3082, 8, 0.18), (3060, 8, 0.35), (3026, 7, 0.55), (2921, 12, 0.70), (2850, 9, 0.30),
    (1601, 5, 0.30), (1583, 4, 0.12), (1493, 5, 0.65), (1452, 6, 0.60), (1028, 5, 0.22),
    (906, 4, 0.10), (757, 6, 0.95), (698, 7, 1.20), (540, 10, 0.40),
]
PET = [
    (1715, 10, 1.10), (1615, 6, 0.10), (1505, 5, 0.08), (1410, 6, 0.22), (1340, 7, 0.20),
    (1245, 14, 1.00), (1100, 12, 0.70), (1018, 7, 0.35), (872, 6, 0.20), (725, 7, 0.75),
]
POLYAMIDE = [
    (1640, 14, 1.00), (1542, 12, 0.80), (1465, 6, 0.20), (1372, 6, 0.10), (1265, 8, 0.25),
    (1200, 8, 0.20), (940, 6, 0.08), (690, 20, 0.35),
]
FILTER = [(1640, 40, 0.04), (1160, 30, 0.05), (1060, 45, 0.10)]  # a weak, broad background


def bands(x, table):
    y = np.zeros_like(x)
    for centre, width, height in table:
        y = y + height / (1 + ((x - centre) / width) ** 2)
    return y


def film_parameter_blocks(sample_name, sample_form, resolution, scans, experiment):
    """The acquisition, instrument, sample and FT parameter blocks, as (block type, bytes)."""
    return [
        (block_type(param_type=ACQUISITION_PARAMETERS),
         param_block_from_dict({"RES": resolution, "NSS": scans, "NSR": scans, "EXP": experiment})),
        (block_type(param_type=INSTRUMENT_PARAMETERS),
         param_block_from_dict({"INS": "FT-IR bench", "LWN": 15798.0, "HFW": 4000.0, "LFW": 600.0})),
        (block_type(param_type=SAMPLE_PARAMETERS),
         param_block_from_dict({"SNM": sample_name, "SFM": sample_form, "CNM": "Demo"})),
        (block_type(param_type=FT_PARAMETERS),
         param_block_from_dict({"APF": "B3", "PHZ": "ME", "ZFF": 2, "HFQ": 4000.0, "LFQ": 600.0})),
    ]


def demo_spectrum():
    npt = 1738
    fxv, lxv = 3997.4, 598.2
    x = np.linspace(fxv, lxv, npt)
    y = (0.02 + 0.00001 * (x - 600) + bands(x, POLYSTYRENE)).astype(np.float32)
    data_parameters = {
        "DPF": 1, "NPT": npt, "FXV": fxv, "LXV": lxv, "CSF": 1.0,
        "MXY": float(y.max()), "MNY": float(y.min()), "DXU": "WN",
        "DAT": "10/12/2026", "TIM": "11:20:00.000 (GMT+0)",
    }
    f = OpusFile()
    f.add_block(block_type(data_type=AB, param_type=DATA_PARAMETERS), param_block_from_dict(data_parameters))
    f.add_block(block_type(data_type=AB, param_type=DATA_VALUES), float32_block(y))
    for code, block in film_parameter_blocks("Polystyrene film", "Film", 4.0, 32, "MIR_TR.XPM"):
        f.add_block(code, block)
    return f.build()


# Map geometry: stage coordinates in um of the first pixel's centre, pixel size, columns and rows.
AOX, AOY, PIXEL, NPX, NPY = 1250.0, -830.0, 25.0, 16, 12
FXV, LXV, NPT = 1800.0, 650.0, 80


def coverage(inside, oversample=5):
    """Fraction of each pixel that ``inside(column, row)`` covers, pixel centres at integers."""
    offsets = (np.arange(oversample) + 0.5) / oversample - 0.5
    cols, rows = np.meshgrid(np.arange(NPX), np.arange(NPY))
    covered = np.zeros((NPY, NPX))
    for dy in offsets:
        for dx in offsets:
            covered += inside(cols + dx, rows + dy)
    return covered / oversample**2


def ellipse(col, row, a, b, angle_degrees=0.0):
    angle = np.radians(angle_degrees)

    def inside(c, r):
        u = (c - col) * np.cos(angle) + (r - row) * np.sin(angle)
        v = -(c - col) * np.sin(angle) + (r - row) * np.cos(angle)
        return (u / a) ** 2 + (v / b) ** 2 <= 1

    return inside


def demo_cube():
    """The cube (NPY, NPX, NPT) of absorbances, float32."""
    x = np.linspace(FXV, LXV, NPT)
    particles = [  # (where, its spectrum, thickness: the absorbance scale at full cover)
        (ellipse(3.5, 3.0, 2.3, 2.3), bands(x, POLYSTYRENE), 0.9),
        (ellipse(12.0, 8.5, 1.6, 1.6), bands(x, POLYSTYRENE), 0.6),
        (ellipse(9.5, 3.5, 6.5, 0.9, 30.0), bands(x, PET), 0.8),
        (ellipse(4.5, 8.5, 2.6, 1.7, -20.0), bands(x, POLYAMIDE), 0.8),
    ]
    rng = np.random.default_rng(2026)
    cols, rows = np.meshgrid(np.arange(NPX), np.arange(NPY))
    filter_strength = 0.8 + 0.2 * np.cos(cols / 5.0) * np.sin(rows / 4.0)
    cube = filter_strength[:, :, None] * bands(x, FILTER)
    for inside, spectrum, thickness in particles:
        cube = cube + (thickness * coverage(inside))[:, :, None] * spectrum
    tilt = 0.000005 * (1 + np.sin(cols / 3.0 + rows / 7.0))[:, :, None]  # a baseline drifting across the field
    noise = rng.normal(0.0, 0.003, cube.shape)
    baseline = 0.005 + tilt * (x - LXV)
    return (cube + baseline + noise).astype(np.float32)


def map_parameters(npt, fxv, lxv, values, dxu):
    return {
        "DPF": 1, "NPT": npt, "FXV": fxv, "LXV": lxv, "CSF": 1.0,
        "MXY": float(values.max()), "MNY": float(values.min()), "DXU": dxu,
        "AOX": AOX, "AOY": AOY, "DDX": PIXEL, "DDY": PIXEL, "NPX": NPX, "NPY": NPY,
        "DAT": "10/12/2026", "TIM": "14:05:00.000 (GMT+0)",
    }


def map_file(data_type, parameters, block):
    f = OpusFile()
    f.add_block(block_type(data_type=data_type, param_type=DATA_PARAMETERS, extend_type=EXTEND_3D),
                param_block_from_dict(parameters))
    f.add_block(block_type(data_type=data_type, param_type=DATA_VALUES, extend_type=EXTEND_3D), block.build())
    for code, params in film_parameter_blocks("Particles on filter", "Particles", 8.0, 64, "MIR_MAP.XPM"):
        f.add_block(code, params)
    return f.build()


def demo_map(cube):
    block = MapBlock().run(cube.reshape(NPY * NPX, NPT).tolist())
    return map_file(AB, map_parameters(NPT, FXV, LXV, cube, "WN"), block)


# The traces: (name, band from, band to in cm-1), each integrated above a straight baseline
# between the first and last points of the band.
TRACES = [
    ("Integral 1760-1680 PET C=O", 1760.0, 1680.0),
    ("Integral 1520-1470 PS ring", 1520.0, 1470.0),
    ("Integral 1575-1505 PA amide II", 1575.0, 1505.0),
    ("Integral 1800-650 total", 1800.0, 650.0),
]


def band_integral(cube, high, low):
    x = np.linspace(FXV, LXV, NPT)
    band = (x <= high) & (x >= low)
    xs, ys = x[band], cube[:, :, band].astype(np.float64)
    baseline = ys[:, :, :1] + (ys[:, :, -1:] - ys[:, :, :1]) * (xs - xs[0]) / (xs[-1] - xs[0])
    step = (FXV - LXV) / (NPT - 1)
    return ((ys - baseline).sum(axis=2) * step).astype(np.float32)


def demo_traces(cube):
    maps = [band_integral(cube, high, low) for _, high, low in TRACES]
    block = MapBlock(info_size=TRACE_INFO_SIZE).run([m.ravel().tolist() for m in maps],
                                                    names=[name for name, _, _ in TRACES])
    # A trace record holds one whole map: NPT is the number of pixels; x just counts them.
    npt = NPX * NPY
    return map_file(TRC, map_parameters(npt, 1.0, float(npt), np.stack(maps), "PNT"), block)


def main():
    cube = demo_cube()
    for name, data in [("demo_spectrum.0", demo_spectrum()), ("demo_map.0", demo_map(cube)),
                       ("demo_traces.0", demo_traces(cube))]:
        out = ROOT / "python" / "korvex_tools" / "data" / name
        out.write_bytes(data)
        print(f"wrote {out.relative_to(ROOT)} ({out.stat().st_size} bytes)")


if __name__ == "__main__":
    main()
