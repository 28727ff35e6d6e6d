# SPDX-License-Identifier: MIT
"""korvi_sci: SCI frames from Python, on the project's C libraries through ctypes.

    import korvi_sci as sci
    frame = sci.pack(2, 0x01, 0x1234, b"\\xab\\xcd")   # bytes, as `sci pack` prints them
    msg = sci.unpack(frame, 0x01, 0x1234)             # sci.Message(version, addr, cmd, payload)

``StreamReader`` finds frames in bytes that come in pieces, ``Link`` talks to
a device on a serial line (pyserial), ``read_pcap`` and ``PcapWriter`` read and
write the capture files of ``sci scan --pcap`` and ``sci monitor --pcap``.
Importing the package loads ``libsci_codec.so.1`` and ``libsci_stream.so.1``,
or raises ImportError naming where it looked.
"""

from .codec import (
    AddressError,
    ArgumentError,
    ChecksumError,
    CommandError,
    Message,
    SciError,
    SyncError,
    max_payload,
    pack,
    unpack,
)
from .link import Link, default_gap_ms
from .pcap import PcapWriter, Record, read_pcap
from .stream import Counters, Frame, StreamReader, monotonic_ms


def _source_version() -> str:
    """The project's version where the package runs from the source tree."""
    import os
    import re

    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")
    try:
        with open(top, encoding="utf-8") as f:
            found = re.search(r"project\(\s*korvi\s+VERSION\s+([0-9.]+)", f.read())
    except OSError:
        found = None
    return found.group(1) if found else "0+unknown"


try:
    from ._version import __version__  # type: ignore[import]  # written when installed
except ImportError:
    __version__ = _source_version()

__all__ = [
    "AddressError",
    "ArgumentError",
    "ChecksumError",
    "CommandError",
    "Counters",
    "Frame",
    "Link",
    "Message",
    "PcapWriter",
    "Record",
    "SciError",
    "StreamReader",
    "SyncError",
    "__version__",
    "default_gap_ms",
    "max_payload",
    "monotonic_ms",
    "pack",
    "read_pcap",
    "unpack",
]
