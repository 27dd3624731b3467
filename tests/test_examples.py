"""The quick-look script of the README's first command, on the bundled demo file."""

import subprocess
import sys
from pathlib import Path

from opuswriter import EXTEND_3D, MapBlock, OpusFile, block_type, param_block_from_dict

ROOT = Path(__file__).resolve().parents[1]


def test_quicklook_reads_the_demo_spectrum():
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "quicklook.py")],
                          capture_output=True, text=True, check=True)
    lines = done.stdout.splitlines()
    assert lines[1:3] == [
        "  data block: ('AB', '2D', 'NONE')",
        "    1738 points from 3997.40 to 598.20 (WN), y from 0.02696 to 1.233 as stored",
    ]
    assert done.stderr == ""


def test_quicklook_describes_map_cubes_and_trace_maps(write_file):
    params = {"NPT": 2, "FXV": 4000.0, "LXV": 400.0, "AOX": 0.0, "AOY": 1.0, "DDX": 2.0, "DDY": 0.5,
              "NPX": 3, "NPY": 2, "MXY": 1.0, "MNY": 0.0}
    opus = OpusFile()  # data type 4 is AB, 7 is TRC
    for data_type, npt, block in [(4, 2, MapBlock().run([[1.0, 0.0], [0.0, 0.0], [0.0, 2.0]])),
                                  (7, 6, MapBlock(info_size=160).run([[1.0] * 6] * 2, names=["CH2", "OH"]))]:
        opus.add_block(block_type(data_type=data_type, param_type=1, extend_type=EXTEND_3D),
                       param_block_from_dict({**params, "NPT": npt}))
        opus.add_block(block_type(data_type=data_type, extend_type=EXTEND_3D), block.build())
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "quicklook.py"), str(write_file(opus.build()))],
                          capture_output=True, text=True, check=True)
    assert done.stdout.splitlines()[1:] == [
        "  data block: ('AB', '3D', 'NONE')",
        "    map of 2 rows x 3 columns from (0, 1) to (4, 1.5)",
        "    2 points per spectrum from 4000.00 to 400.00; 2 of 6 positions hold nonzero values",
        "  data block: ('TRC', '3D', 'NONE')",
        "    map of 2 rows x 3 columns from (0, 1) to (4, 1.5)",
        "    2 trace maps: 'CH2', 'OH'",
    ]
