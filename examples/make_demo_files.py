"""Writes the demo files in examples/data/ with the test suite's OPUS writer.

    python examples/make_demo_files.py

demo_spectrum.0: an absorbance spectrum of 1738 points from 3997 to 598 cm-1 with
bands where a polystyrene film has them, plus the usual parameter blocks.
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
    FT_PARAMETERS,
    INSTRUMENT_PARAMETERS,
    SAMPLE_PARAMETERS,
    OpusFile,
    block_type,
    float32_block,
    param_block_from_dict,
)

AB = 4  # data type code of absorbance

# (centre in cm-1, half width, height) of the bands.
BANDS = [
    (3082, 8, 0.18), (3060, 8, 0.35), (3026, 7, 0.55), (2921, 12, 0.70), (2850, 9, 0.30),
    (1601, 5, 0.30), (1583, 4, 0.12), (1493, 5, 0.65), (1452, 6, 0.60), (1028, 5, 0.22),
    (906, 4, 0.10), (757, 6, 0.95), (698, 7, 1.20), (540, 10, 0.40),
]


def absorbance(x):
    y = 0.02 + 0.00001 * (x - 600)
    for centre, width, height in BANDS:
        y = y + height / (1 + ((x - centre) / width) ** 2)
    return y.astype(np.float32)


def demo_spectrum():
    npt = 1738
    fxv, lxv = 3997.4, 598.2
    y = absorbance(np.linspace(fxv, lxv, npt))
    data_parameters = {
        "DPF": 1, "NPT": npt, "FXV": fxv, "LXV": lxv, "CSF": 1.0,
        "MXY": float(y.max()), "MNY": float(y.min()), "DXU": "WN",
        "DAT": "10/12/2026", "TIM": "11:20:00.000 (GMT+0)",
    }
    f = OpusFile()
    f.add_block(block_type(data_type=AB, param_type=DATA_PARAMETERS), param_block_from_dict(data_parameters))
    f.add_block(block_type(data_type=AB, param_type=DATA_VALUES), float32_block(y))
    f.add_block(block_type(param_type=ACQUISITION_PARAMETERS),
                param_block_from_dict({"RES": 4.0, "NSS": 32, "NSR": 32, "EXP": "MIR_TR.XPM"}))
    f.add_block(block_type(param_type=INSTRUMENT_PARAMETERS),
                param_block_from_dict({"INS": "FT-IR bench", "LWN": 15798.0, "HFW": 4000.0, "LFW": 600.0}))
    f.add_block(block_type(param_type=SAMPLE_PARAMETERS),
                param_block_from_dict({"SNM": "Polystyrene film", "SFM": "Film", "CNM": "Demo"}))
    f.add_block(block_type(param_type=FT_PARAMETERS),
                param_block_from_dict({"APF": "B3", "PHZ": "ME", "ZFF": 2, "HFQ": 4000.0, "LFQ": 600.0}))
    return f.build()


if __name__ == "__main__":
    out = ROOT / "examples" / "data" / "demo_spectrum.0"
    out.write_bytes(demo_spectrum())
    print(f"wrote {out.relative_to(ROOT)} ({out.stat().st_size} bytes)")
