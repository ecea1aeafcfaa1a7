"""The package's version, which is Corvane's: read here from the C++ project beside the package's
source folder; a built package (wheel, sdist, Debian package) has this file written with the
version in it."""

import os
import re


def _source_tree_version():
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "CMakeLists.txt")
    try:
        with open(path) as project:
            found = re.search(r"^project\(Corvane VERSION ([0-9.]+)", project.read(), re.MULTILINE)
    except OSError:
        found = None
    return found.group(1) if found else "0+unknown"


__version__ = _source_tree_version()
