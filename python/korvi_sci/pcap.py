# SPDX-License-Identifier: MIT
"""Classic pcap files of link type USER0 (147), as ``sci scan`` and ``sci monitor`` write them."""

import os
import struct
import time
from types import TracebackType

from .codec import BytesLike, as_bytes
from typing import BinaryIO, Iterator, NamedTuple, Optional, Tuple, Type, Union, cast

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
# A path, or a binary file open for reading or writing, which stays the caller's to close.
Source = Union[PathLike, BinaryIO]


def _open(source: Source, mode: str) -> Tuple[BinaryIO, bool, str]:
    """The file, whether it is ours to close, and its name for messages."""
    if hasattr(source, "read" if mode == "rb" else "write"):
        f = cast(BinaryIO, source)
        return f, False, str(getattr(f, "name", repr(f)))
    path = cast(PathLike, source)
    return cast(BinaryIO, open(path, mode)), True, os.fspath(path)


class Record(NamedTuple):
    """One record: its time in seconds since 1970 (UTC), and the frame's bytes."""

    timestamp: float
    data: bytes


def _exactly(f: BinaryIO, n: int, what: str, name: str) -> bytes:
    """Reads n bytes, or raises ValueError naming what was cut short."""
    data = f.read(n)
    if len(data) != n:
        raise ValueError(f"{name}: {what} cut short: {len(data)} of {n} bytes")
    return data


def read_pcap(path: Source) -> Iterator[Record]:
    """Returns an iterator of ``(timestamp, bytes)`` over the records of a classic pcap file.

    The file must have link type USER0 (147), as ``sci scan --pcap`` and
    ``sci monitor --pcap`` write it; both byte orders and both microsecond and
    nanosecond files are read. The header is checked at once: ValueError for a
    file that is no classic pcap file (a pcapng file among them) or one of
    another link type; ValueError again, while iterating, for a file cut off
    inside a record or a record whose fraction of a second is a second or more.
    ``path`` may be a binary file open for reading instead: it is read from
    where it stands and left open.
    """
    f, ours, name = _open(path, "rb")
    try:
        header = f.read(24)
        if header[:4] == b"\x0a\x0d\x0d\x0a":
            raise ValueError(
                f"{name} is a pcapng file, not classic pcap (editcap -F pcap converts it)"
            )
        if header[:4] not in _MAGICS:
            raise ValueError(f"{name} is no pcap file (no pcap magic number)")
        if len(header) < 24:
            raise ValueError(f"{name}: pcap file header cut short: {len(header)} of 24 bytes")
        order, per_second = _MAGICS[header[:4]]
        major, _minor, _zone, _sigfigs, _snaplen, linktype = struct.unpack(
            order + "HHiIII", header[4:]
        )
        if major != 2:
            raise ValueError(f"{name}: pcap version {major} is not 2")
        if linktype & 0xFFFF != LINKTYPE_USER0:
            raise ValueError(
                f"{name} has link type {linktype & 0xFFFF}, not USER0 "
                f"({LINKTYPE_USER0}): it holds no SCI frames"
            )
    except BaseException:
        if ours:
            f.close()
        raise
    return _records(f, ours, name, order, per_second)


def _records(
    f: BinaryIO, ours: bool, name: str, order: str, per_second: int
) -> Iterator[Record]:
    """The records after the file header, up to the end of the file, which it closes if ours."""
    record = struct.Struct(order + "IIII")
    try:
        while True:
            head = f.read(record.size)
            if not head:
                return
            if len(head) < record.size:
                raise ValueError(f"{name}: record header cut short")
            seconds, fraction, captured, _original = record.unpack(head)
            if captured > _RECORD_MAX:
                raise ValueError(f"{name}: a record of {captured} bytes: damaged file")
            if fraction >= per_second:
                raise ValueError(f"{name}: a record's fraction {fraction} is a second or more")
            data = _exactly(f, captured, "record", name)
            yield Record(seconds + fraction / per_second, data)
    finally:
        if ours:
            f.close()


class PcapWriter:
    """Writes a classic pcap file of link type USER0, one record per frame, as sci does.

    Microsecond times, this machine's byte order, snap length 65535. Each
    record is on disk once ``write`` returns, so the file can be followed
    while it grows. Usable as a context manager. ``path`` may be a binary file
    open for writing instead: the file starts where it stands, and closing the
    writer leaves that file open.
    """

    def __init__(self, path: Source) -> None:
        self.path = path
        self._file: Optional[BinaryIO] = None
        self._count = 0
        f, self._ours, self._name = _open(path, "wb")
        try:
            f.write(struct.pack("=IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, SNAPLEN, LINKTYPE_USER0))
            f.flush()
        except BaseException:
            if self._ours:
                f.close()
            raise
        self._file = f

    def write(self, data: BytesLike, timestamp: Optional[float] = None) -> None:
        """Writes one record: the frame's bytes, stamped ``timestamp`` (default: now, UTC)."""
        if self._file is None:
            raise ValueError("the pcap file is closed")
        data = as_bytes(data)
        micros = round((time.time() if timestamp is None else timestamp) * 1_000_000)
        seconds, fraction = divmod(micros, 1_000_000)
        if not 0 <= seconds <= 0xFFFFFFFF:
            raise ValueError(f"a record's time must lie in 1970..2106, not {timestamp}")
        if len(data) > SNAPLEN:
            raise ValueError(f"a record holds at most {SNAPLEN} bytes, not {len(data)}")
        self._file.write(struct.pack("=IIII", seconds, fraction, len(data), len(data)) + data)
        self._file.flush()
        self._count += 1

    def close(self) -> None:
        """Closes the file (one it opened); closing again does nothing."""
        f, self._file = self._file, None
        if f is not None and self._ours:
            f.close()

    def __repr__(self) -> str:
        state = "closed" if self._file is None else "open"
        return f"<{type(self).__name__} {self._name!r} {state} records={self._count}>"

    def __enter__(self) -> "PcapWriter":
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.close()
