"""The installed command-line tools, found beside the running interpreter as a user's shell would
find them in an activated environment."""

import shutil
import sysconfig
from pathlib import Path


def command(name):
    """[path] of the installed console script `name`."""
    found = shutil.which(name, path=sysconfig.get_path("scripts"))
    assert found, f"{name} is not installed in {sysconfig.get_path('scripts')}"
    return [str(Path(found))]
