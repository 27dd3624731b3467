"""The quick look, run from a checkout: what korvex-quicklook does once korvex is installed.

    python examples/quicklook.py [FILE ...] [--out FOLDER]
"""

import sys

from korvex_tools.quicklook import main

if __name__ == "__main__":
    sys.exit(main())
