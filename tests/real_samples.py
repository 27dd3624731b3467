"""The real OPUS files written by instrument software that the tests read: the repository's copy in
tests/data/samples (with its PROVENANCE.md and licences), and the files that a folder
../shared/samples beside the project's root holds besides, when there is one.

    python tests/real_samples.py DIRECTORY

copies every one of them into DIRECTORY, by its relative path, for the scripts that read one folder.
"""

import shutil
import sys
from pathlib import Path

REPO_COPY = Path(__file__).resolve().parent / "data" / "samples"
BESIDE = Path(__file__).resolve().parents[1].parent / "shared" / "samples"
# The notes and licence texts kept beside the files.
NOT_SAMPLES = {"LICENSE", "PROVENANCE.md"}


def sample_files(folders=(REPO_COPY, BESIDE)):
    """{relative path with "/": Path} of the files in each of `folders` and their subfolders, other
    than the notes and licences, in path order; a relative path found in several folders is taken
    from the first."""
    found = {}
    for folder in folders:
        if folder.is_dir():
            for path in sorted(folder.rglob("*")):
                if path.is_file() and path.name not in NOT_SAMPLES:
                    found.setdefault(path.relative_to(folder).as_posix(), path)
    return dict(sorted(found.items()))


def gather(directory, files=None):
    """Copies `files` (by default every sample file) into `directory` by their relative paths, and
    returns `directory` as a Path."""
    directory = Path(directory)
    for relative, path in (sample_files() if files is None else files).items():
        (directory / relative).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(path, directory / relative)
    return directory


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    gather(sys.argv[1])
