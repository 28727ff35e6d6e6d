# SPDX-License-Identifier: MIT
"""Packing and unpacking single SCI frames with the codec library."""

import ctypes
import operator
from typing import Any, Dict, NamedTuple, Optional, Tuple, Type, Union

from . import _lib

BytesLike = Union[bytes, bytearray, memoryview]


def as_bytes(data: BytesLike, name: str = "data") -> bytes:
    """The bytes of a bytes-like object, all of them (a memoryview's nbytes, not its length).

    Anything else, an int or a str among them, is a TypeError: ``bytes(5)``
    would make five zero bytes of a number.
    """
    if type(data) is bytes:
        return data
    try:
        view = memoryview(data)  # refuses what holds no buffer
    except TypeError:
        raise TypeError(f"{name} must be bytes-like, not {type(data).__name__}") from None
    with view:
        return view.tobytes()

# The longest frame: version 1 with 252 payload bytes, or version 2 with 255.
FRAME_MAX = _lib.SCI_STREAM_FRAME_MAX


class Message(NamedTuple):
    """A frame's content: what pack takes and what unpack returns."""

    version: int
    addr: int
    cmd: int
    payload: bytes


class SciError(Exception):
    """The codec refused a frame.

    ``code`` is the codec's result. ``version`` is set once the sync header was
    recognised; ``addr``, ``cmd`` and ``len`` once the frame's lengths passed,
    as the codec fills its record before refusing. Fields it did not reach are
    None.
    """

    code = 0
    reason = "refused"

    def __init__(
        self,
        version: Optional[int] = None,
        addr: Optional[int] = None,
        cmd: Optional[int] = None,
        length: Optional[int] = None,
        code: Optional[int] = None,
    ) -> None:
        if code is not None:
            self.code = code
        self.version = version
        self.addr = addr
        self.cmd = cmd
        self.len = length
        shown = (
            ("version", version, "d"),
            ("addr", addr, "#04x"),
            ("cmd", cmd, "#06x"),
            ("len", length, "d"),
        )
        known = ", ".join(
            f"{name} {value:{form}}" for name, value, form in shown if value is not None
        )
        super().__init__(f"{self.reason} (result {self.code}{', ' + known if known else ''})")

    def __reduce__(self) -> Tuple[Any, ...]:
        # Rebuilt from its fields, not its message: pickling (a process pool's
        # result) and copy.copy go through this.
        fields = (self.version, self.addr, self.cmd, self.len, self.__dict__.get("code"))
        return (type(self), fields, self.__dict__)


class ArgumentError(SciError):
    """Result -1: a frame too short, shorter than it announces, or a version-1 length below 2."""

    code = _lib.SCI_ERR_ARG
    reason = "bad argument or length"


class SyncError(SciError):
    """Result -2: the sync header is neither 55 AA nor 55 BB."""

    code = _lib.SCI_ERR_SYNC
    reason = "no sync header"


class AddressError(SciError):
    """Result -3: the frame's address is not the one expected."""

    code = _lib.SCI_ERR_ADDR
    reason = "address differs"


class CommandError(SciError):
    """Result -4: the frame's command is neither the one expected nor 0xFFFF."""

    code = _lib.SCI_ERR_CMD
    reason = "command differs"


class ChecksumError(SciError):
    """Result -5: the checksum does not match the frame."""

    code = _lib.SCI_ERR_CHECKSUM
    reason = "checksum mismatch"


ERRORS: Dict[int, Type[SciError]] = {
    e.code: e for e in (ArgumentError, SyncError, AddressError, CommandError, ChecksumError)
}


def _number(name: str, value: int, top: int) -> int:
    """Checks that an argument is an integer in 0..top and returns it."""
    number = operator.index(value)
    if not 0 <= number <= top:
        raise ValueError(f"{name} takes 0 to {top:#x}, not {number}")
    return number


def max_payload(version: int) -> int:
    """The longest payload a version's length byte carries: 252 (version 1) or 255 (version 2)."""
    if operator.index(version) not in (1, 2):
        raise ValueError(f"version is 1 or 2, not {version}")
    return _lib.SCI_V1_MAX_PAYLOAD if version == 1 else _lib.SCI_V2_MAX_PAYLOAD


def pack(version: int, addr: int, cmd: int, payload: BytesLike = b"") -> bytes:
    """Returns the frame the codec builds, byte for byte as ``sci pack`` prints it.

    Version 1 frames carry a zero byte before the command, as the codec packs
    them. Raises ValueError for a version other than 1 or 2, an address outside
    0..255, a command outside 0..0xFFFF or a payload too long for the version
    (252 bytes in version 1, 255 in version 2), before the codec is called.
    """
    limit = max_payload(version)
    addr = _number("addr", addr, 0xFF)
    cmd = _number("cmd", cmd, 0xFFFF)
    data = as_bytes(payload, "payload")
    if len(data) > limit:
        raise ValueError(
            f"a version-{version} payload takes at most {limit} bytes, not {len(data)}"
        )
    source = (ctypes.c_uint8 * max(len(data), 1)).from_buffer_copy(data or b"\0")
    out = (ctypes.c_uint8 * FRAME_MAX)()
    record = _lib.PackRecord(version, addr, cmd, len(data), source)
    n = _lib.codec.cu_korvi_sci_pack(ctypes.byref(record), out, FRAME_MAX)
    if n < 0:
        raise ERRORS.get(n, SciError)(code=n)
    return bytes(out[:n])


def unpack(frame: BytesLike, addr: int, cmd: int) -> Message:
    """Checks the frame at the start of ``frame`` as the codec does and returns its content.

    The frame must carry address ``addr`` and command ``cmd`` (a frame command
    of 0xFFFF matches any); bytes after the frame are ignored. A version-1 frame
    is read as the codec reads it, so one built by ``pack`` shows its zero byte
    as the command's high byte. Raises ValueError for an address or command out
    of range (before the codec is called) and a SciError subclass when the
    codec refuses the frame.
    """
    addr = _number("addr", addr, 0xFF)
    cmd = _number("cmd", cmd, 0xFFFF)
    data = as_bytes(frame, "frame")[:0xFFFF]  # what follows a frame is ignored anyway
    source = (ctypes.c_uint8 * max(len(data), 1)).from_buffer_copy(data or b"\0")
    payload = (ctypes.c_uint8 * _lib.SCI_V2_MAX_PAYLOAD)()
    record = _lib.PackRecord(0, 0, 0, 0, payload)
    code = _lib.codec.cu_korvi_sci_unpack(addr, cmd, ctypes.byref(record), source, len(data))
    if code == _lib.SCI_OK:
        return Message(record.version, record.addr, record.cmd, bytes(payload[: record.len]))
    # The record as far as the codec filled it in: the version once the sync
    # header is known (it is never 0 then), the rest once the lengths passed.
    version = record.version or None
    if code in (_lib.SCI_ERR_ADDR, _lib.SCI_ERR_CMD, _lib.SCI_ERR_CHECKSUM):
        raise ERRORS[code](version, record.addr, record.cmd, record.len)
    error = ERRORS.get(code, SciError)
    raise error(version if code != _lib.SCI_ERR_SYNC else None, code=code)
