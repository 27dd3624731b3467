"""A quick look at an OPUS file: what korvex can tell about it.

    python examples/quicklook.py [FILE]

Without FILE it reads the bundled demo file, examples/data/demo_spectrum.0.
"""

import sys
from pathlib import Path

import numpy as np

import korvex

DEMO_FILE = Path(__file__).resolve().parent / "data" / "demo_spectrum.0"


def main(argv):
    path = Path(argv[1]) if len(argv) > 1 else DEMO_FILE
    if not korvex.isOpusFile(path):
        print(f"{path}: not an OPUS file")
        return 1
    print(f"{path}: OPUS file, {path.stat().st_size} bytes")
    blocks = korvex.listContents(path)
    if not blocks:
        print("  no data blocks")
    for block in blocks:
        print("  data block:", block)
        if block[1] == "2D":
            describe_spectrum(korvex.getOpusData(str(path), block))
    return 0


def describe_spectrum(result):
    params = result.parameters
    x, y = result.x, result.y
    print(f"    {len(y)} points from {x[0]:.2f} to {x[-1]:.2f} ({params.get('DXU', 'no unit')}),"
          f" y from {result.minY:.4g} to {result.maxY:.4g} as stored")
    if len(y):
        print(f"    largest value {y.max():.4g} at x = {x[int(np.argmax(y))]:.1f}")
    named = [f"{korvex.paramDict[label]}: {params[label]}" for label in korvex.paramDict if label in params]
    print(f"    {len(params)} parameters, among them:")
    for line in named[:8]:
        print("     ", line)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
