# SPDX-License-Identifier: MIT
"""Builds the korvi_sci package with the version of the project it belongs to.

The version is kept in one place, the top CMakeLists.txt (``project(korvi
VERSION ...)``): it is read from there, and the package gets it as
``korvi_sci/_version.py`` in what is built.
"""

import os
import re

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))


def project_version() -> str:
    """The version in ../CMakeLists.txt."""
    top = os.path.join(HERE, "..", "CMakeLists.txt")
    try:
        with open(top, encoding="utf-8") as f:
            found = re.search(r"project\(\s*korvi\s+VERSION\s+([0-9.]+)", f.read())
    except OSError as e:
        raise SystemExit(f"korvi_sci is built from the project's tree: cannot read {top}: {e}")
    if not found:
        raise SystemExit(f"no project(korvi VERSION ...) in {top}")
    return found.group(1)


VERSION = project_version()


class BuildWithVersion(build_py):
    """build_py that also writes the version module."""

    def run(self) -> None:
        super().run()
        target = os.path.join(self.build_lib, "korvi_sci", "_version.py")
        with open(target, "w", encoding="utf-8") as f:
            f.write(f'__version__ = "{VERSION}"\n')


setup(version=VERSION, cmdclass={"build_py": BuildWithVersion})
