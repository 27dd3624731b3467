"""The quick-look script of the README's first command, on the bundled demo file."""

import subprocess
import sys
from pathlib import Path

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
