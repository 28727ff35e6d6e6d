# SPDX-License-Identifier: MIT
"""A pytest plug-in for test rigs: ``--sci-port PORT --sci-baud N`` give the fixture ``sci_link``.

Installed with pip it loads by itself (entry point ``pytest11``, named as this
module); otherwise name it: ``pytest -p korvi_sci.pytest_plugin``, or
``pytest_plugins = ["korvi_sci.pytest_plugin"]`` in a conftest. Named both
ways, or beside the entry point, it loads once. A test that asks for
``sci_link`` is skipped when no port is given.
"""

from __future__ import annotations

from typing import Iterator

import pytest

from .link import Link


def pytest_addoption(parser: pytest.Parser) -> None:
    """Adds the options that name the device's serial line."""
    group = parser.getgroup("sci", "SCI serial link (korvi_sci)")
    group.addoption("--sci-port", help="the device's serial line: a path or a pyserial URL")
    group.addoption("--sci-baud", type=int, default=115200, help="its rate (default 115200)")
    group.addoption("--sci-gap", type=int, default=None, help="the reader's gap in ms")


@pytest.fixture
def sci_link(request: pytest.FixtureRequest) -> Iterator[Link]:
    """A Link on the line named with --sci-port, closed (settings put back) after the test."""
    port = request.config.getoption("--sci-port")
    if not port:
        pytest.skip("no device: give its serial line with --sci-port")
    baud = request.config.getoption("--sci-baud")
    gap = request.config.getoption("--sci-gap")
    with Link(port, baud, gap) as link:
        yield link
