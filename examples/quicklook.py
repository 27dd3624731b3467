"""A quick look at an OPUS file: what korvex can tell about it.

    python examples/quicklook.py [FILE]

Without FILE it reads the bundled demo file, examples/data/demo_spectrum.0.
"""

import sys
from pathlib import Path

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
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
