"""Reads one data block, absorbance unless another is named, from every OPUS file of a folder with a
thread pool, and names each file that fails with why: for a file without the block, what it holds
instead.

    python examples/read_folder.py FOLDER [TYPE DIMENSIONS DERIVATIVE]

prints how many files hold the block, then a line for each file that failed; the exit status is 1
when one did.
"""

import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from korvex_tools import ReadError, find_opus_files, read_block


def main(argv=None):
    args = sys.argv[1:] if argv is None else argv
    if len(args) not in (1, 4):
        print("usage: python examples/read_folder.py FOLDER [TYPE DIMENSIONS DERIVATIVE]", file=sys.stderr)
        return 2
    block = tuple(args[1:]) if len(args) == 4 else ("AB", "2D", "NONE")
    found, _ = find_opus_files([Path(args[0])])

    def read(path):
        try:
            return read_block(path, block)
        except ReadError as error:  # says which file, and why
            return error

    with ThreadPoolExecutor() as pool:
        results = list(pool.map(read, [path for path, _ in found]))
    failed = [result for result in results if isinstance(result, ReadError)]
    print(f"{len(results) - len(failed)} of {len(results)} OPUS files hold {' '.join(block)}")
    for error in failed:
        print(f"  {error}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
