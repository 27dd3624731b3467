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
        result = korvex.getOpusData(str(path), block)
        if hasattr(result, "spectra"):
            describe_cube(result)
        elif hasattr(result, "traces"):
            describe_traces(result)
        else:
            describe_spectrum(result)
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


def describe_map(result):
    x, y = result.mapX, result.mapY
    extent = f" from ({x[0]:.4g}, {y[0]:.4g}) to ({x[-1]:.4g}, {y[-1]:.4g})" if len(x) and len(y) else ""
    print(f"    map of {len(y)} rows x {len(x)} columns{extent}")


def describe_cube(result):
    describe_map(result)
    spectra, x = result.spectra, result.x
    rows, columns, points = spectra.shape
    filled = int(np.count_nonzero(spectra.any(axis=2))) if spectra.size else 0
    span = f" from {x[0]:.2f} to {x[-1]:.2f}" if points else ""
    print(f"    {points} points per spectrum{span}; {filled} of {rows * columns} positions hold nonzero values")


def describe_traces(result):
    describe_map(result)
    traces = result.traces
    print(f"    {traces.shape[2]} trace maps" + (": " + ", ".join(repr(name) for name in result.labels[:5])
                                                if result.labels else ""))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
