# SPDX-License-Identifier: MIT
"""Classic pcap files of link type USER0 (147), as ``sci scan`` and ``sci monitor`` write them."""

import os
import struct
import time
from types import TracebackType
from typing import BinaryIO, Iterator, NamedTuple, Optional, Type, Union

LINKTYPE_USER0 = 147
SNAPLEN = 65535
# The magic number as written in the writer's byte order, and the fraction
# of a second its record times count.
_MAGICS = {
    b"\xd4\xc3\xb2\xa1": ("<", 1_000_000),
    b"\xa1\xb2\xc3\xd4": (">", 1_000_000),
    b"\x4d\x3c\xb2\xa1": ("<", 1_000_000_000),
    b"\xa1\xb2\x3c\x4d": (">", 1_000_000_000),
}
# No record of an SCI capture comes near this; a larger one is a damaged file.
_RECORD_MAX = 1 << 18

PathLike = Union[str, "os.PathLike[str]"]


class Record(NamedTuple):
    """One record: its time in seconds since 1970 (UTC), and the frame's bytes."""

    timestamp: float
    data: bytes


def _exactly(f: BinaryIO, n: int, what: str, path: PathLike) -> bytes:
    """Reads n bytes, or raises ValueError naming what was cut short."""
    data = f.read(n)
    if len(data) != n:
        raise ValueError(f"{os.fspath(path)}: {what} cut short: {len(data)} of {n} bytes")
    return data


def read_pcap(path: PathLike) -> Iterator[Record]:
    """Returns an iterator of ``(timestamp, bytes)`` over the records of a classic pcap file.

    The file must have link type USER0 (147), as ``sci scan --pcap`` and
    ``sci monitor --pcap`` write it; both byte orders and both microsecond and
    nanosecond files are read. The header is checked at once: ValueError for a
    file that is no classic pcap file (a pcapng file among them) or one of
    another link type; ValueError again, while iterating, for a file cut off
    inside a record.
    """
    f = open(path, "rb")
    try:
        header = f.read(24)
        if header[:4] == b"\x0a\x0d\x0d\x0a":
            raise ValueError(
                f"{os.fspath(path)} is a pcapng file, not classic pcap "
                "(editcap -F pcap converts it)"
            )
        if len(header) < 24 or header[:4] not in _MAGICS:
            raise ValueError(f"{os.fspath(path)} is no pcap file (no pcap magic number)")
        order, per_second = _MAGICS[header[:4]]
        major, _minor, _zone, _sigfigs, _snaplen, linktype = struct.unpack(
            order + "HHiIII", header[4:]
        )
        if major != 2:
            raise ValueError(f"{os.fspath(path)}: pcap version {major} is not 2")
        if linktype & 0xFFFF != LINKTYPE_USER0:
            raise ValueError(
                f"{os.fspath(path)} has link type {linktype & 0xFFFF}, not USER0 "
                f"({LINKTYPE_USER0}): it holds no SCI frames"
            )
    except BaseException:
        f.close()
        raise
    return _records(f, path, order, per_second)


def _records(f: BinaryIO, path: PathLike, order: str, per_second: int) -> Iterator[Record]:
    """The records after the file header, up to the end of the file, which it closes."""
    record = struct.Struct(order + "IIII")
    with f:
        while True:
            head = f.read(record.size)
            if not head:
                return
            if len(head) < record.size:
                raise ValueError(f"{os.fspath(path)}: record header cut short")
            seconds, fraction, captured, _original = record.unpack(head)
            if captured > _RECORD_MAX:
                raise ValueError(f"{os.fspath(path)}: a record of {captured} bytes: damaged file")
            data = _exactly(f, captured, "record", path)
            yield Record(seconds + fraction / per_second, data)


class PcapWriter:
    """Writes a classic pcap file of link type USER0, one record per frame, as sci does.

    Microsecond times, this machine's byte order, snap length 65535. Each
    record is on disk once ``write`` returns, so the file can be followed
    while it grows. Usable as a context manager.
    """

    def __init__(self, path: PathLike) -> None:
        self.path = path
        self._file: Optional[BinaryIO] = open(path, "wb")
        self._file.write(struct.pack("=IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, SNAPLEN, LINKTYPE_USER0))
        self._file.flush()

    def write(self, data: bytes, timestamp: Optional[float] = None) -> None:
        """Writes one record: the frame's bytes, stamped ``timestamp`` (default: now, UTC)."""
        if self._file is None:
            raise ValueError("the pcap file is closed")
        micros = round((time.time() if timestamp is None else timestamp) * 1_000_000)
        seconds, fraction = divmod(micros, 1_000_000)
        if not 0 <= seconds <= 0xFFFFFFFF:
            raise ValueError(f"a record's time must lie in 1970..2106, not {timestamp}")
        if len(data) > SNAPLEN:
            raise ValueError(f"a record holds at most {SNAPLEN} bytes, not {len(data)}")
        self._file.write(struct.pack("=IIII", seconds, fraction, len(data), len(data)) + data)
        self._file.flush()

    def close(self) -> None:
        """Closes the file; closing again does nothing."""
        if self._file is not None:
            self._file.close()
            self._file = None

    def __enter__(self) -> "PcapWriter":
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.close()
