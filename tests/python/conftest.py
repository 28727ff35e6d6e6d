# SPDX-License-Identifier: MIT
"""What the korvi_sci tests take from the build that runs them (tests/CMakeLists.txt).

SCI_TOOL and SCI_ABI_PROBE are commands (an emulator's words first in a cross
build), KORVI_VERSION the project's version, KORVI_BUILD_DIR the build, and
the libraries are found through LD_LIBRARY_PATH. KORVI_PYTHON is the command
that runs this Python again, in a cross build under the emulator.
"""

import os
import shlex
import subprocess
import sys
from typing import List

import pytest

# This Python, to run in a process of its own.
PYTHON = shlex.split(os.environ.get("KORVI_PYTHON", "")) or [sys.executable]


def command(variable: str) -> List[str]:
    """The words of a command the build names in the environment."""
    words = shlex.split(os.environ.get(variable, ""))
    if not words:
        pytest.skip(f"{variable} is not set: run these tests through CTest")
    return words


def sci_tool(*args: str, stdin: bytes = b"") -> subprocess.CompletedProcess:
    """Runs the build's sci tool; its output as text."""
    return subprocess.run(
        command("SCI_TOOL") + list(args), input=stdin, capture_output=True, timeout=60
    )


def frame_of_tool(version: int, addr: int, cmd: int, payload: bytes) -> bytes:
    """The frame `sci pack` prints, as bytes."""
    hexes = [payload.hex()] if payload else []
    run = sci_tool("pack", "-V", str(version), "-a", str(addr), "-c", str(cmd), *hexes)
    assert run.returncode == 0, run.stderr
    return bytes.fromhex(run.stdout.decode())
