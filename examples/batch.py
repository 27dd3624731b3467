"""The batch reader, run from a checkout: what korvex-batch does once korvex is installed.

    python examples/batch.py FOLDER... [--recursive] [--threads N] [--dask [SCHEDULER]]
"""

import sys

from korvex_tools.batch import main

if __name__ == "__main__":
    sys.exit(main())
