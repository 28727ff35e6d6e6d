# SPDX-License-Identifier: MIT
"""Finding frames in bytes that come in pieces, with the stream reader library."""

import ctypes
import operator
import threading
import time
from dataclasses import dataclass
from typing import List, NamedTuple, Optional

from . import _lib
from .codec import BytesLike, as_bytes


def monotonic_ms() -> int:
    """Milliseconds from a clock that does not go back: the reader's default time."""
    return time.monotonic_ns() // 1_000_000


@dataclass(frozen=True)
class Frame:
    """One frame the reader found, complete or cut off, copied out of the reader.

    ``result`` is the codec's verdict (0 good, -5 bad checksum) or -6 for a
    frame cut off by the gap or the end of input. ``addr`` is None when the
    frame was cut before its address byte, ``cmd`` when cut before its
    command; ``payload`` is empty for a cut-off frame. ``raw`` holds the bytes
    as they came, from the sync header on, and ``total`` the bytes the length
    byte announces (0 when cut before it).
    """

    offset: int
    time_ms: int
    result: int
    version: int
    addr: Optional[int]
    cmd: Optional[int]
    payload: bytes
    raw: bytes
    total: int

    @property
    def ok(self) -> bool:
        """Whether the codec accepted the frame."""
        return self.result == _lib.SCI_OK

    @property
    def partial(self) -> bool:
        """Whether the frame was cut off before its end came."""
        return self.result == _lib.SCI_STREAM_PARTIAL


class Counters(NamedTuple):
    """What the reader has seen, whatever its filters let through."""

    good: int
    bad: int
    skipped: int
    dropped: int


def _copy(f: _lib.StreamFrame) -> Frame:
    """Copies a frame out of the reader: its pointers are valid until the next feed only."""
    complete = f.result != _lib.SCI_STREAM_PARTIAL
    return Frame(
        offset=f.offset,
        time_ms=f.time_ms,
        result=f.result,
        version=f.version,
        addr=f.addr if f.size > 2 else None,
        cmd=f.cmd if f.size > 5 else None,
        payload=ctypes.string_at(f.payload, f.len) if complete and f.len else b"",
        raw=ctypes.string_at(f.bytes, f.size) if f.size else b"",
        total=f.total,
    )


class StreamReader:
    """The C stream reader: feed it bytes as they come, take the frames it completes.

    ``gap_ms`` drops a frame left incomplete when bytes come more than that
    long after its last byte (0: never). ``addr`` and ``cmd`` hand out only
    frames with that address, and only frames with that command or 0xFFFF;
    the counters count every frame whatever the filters let through.

    One reader may be shared by threads: each call holds the reader's lock
    (ctypes lets go of the interpreter's lock in C), so each frame goes to
    exactly one caller, the one whose feed or end completed it.
    """

    def __init__(self, gap_ms: int = 0, addr: Optional[int] = None, cmd: Optional[int] = None):
        self.gap_ms = operator.index(gap_ms)
        if not 0 <= self.gap_ms <= 0xFFFFFFFF:
            raise ValueError(f"gap_ms takes 0 to {0xFFFFFFFF}, not {gap_ms}")
        if addr is not None and not 0 <= operator.index(addr) <= 0xFF:
            raise ValueError(f"addr takes 0 to 0xff, not {addr}")
        if cmd is not None and not 0 <= operator.index(cmd) <= 0xFFFF:
            raise ValueError(f"cmd takes 0 to 0xffff, not {cmd}")
        self.addr = addr
        self.cmd = cmd
        self._state = _lib.StreamState()
        self._frame = _lib.StreamFrame()
        self._ref = ctypes.byref(self._state)
        self._lock = threading.Lock()
        _lib.stream.sci_stream_init(self._ref, self.gap_ms)
        _lib.stream.sci_stream_filter(
            self._ref,
            _lib.SCI_STREAM_ANY if addr is None else addr,
            _lib.SCI_STREAM_ANY if cmd is None else cmd,
        )

    def _drain(self, into: List[Frame]) -> int:
        """Takes every frame the reader has out, copied; returns how many."""
        n = 0
        frame = ctypes.byref(self._frame)
        while _lib.stream.sci_stream_next(self._ref, frame):
            into.append(_copy(self._frame))
            n += 1
        return n

    def feed(self, data: BytesLike, now_ms: Optional[int] = None) -> List[Frame]:
        """Feeds all of ``data``, come at ``now_ms``, and returns the frames it completed.

        ``now_ms`` defaults to the monotonic clock in milliseconds. Empty data
        only tells the reader the time, so that a frame left stale by the gap
        comes out.
        """
        now = monotonic_ms() if now_ms is None else operator.index(now_ms)
        if not 0 <= now < 1 << 64:
            raise ValueError(f"now_ms takes 0 to 2**64 - 1, not {now_ms}")
        chunk = as_bytes(data)
        with self._lock:
            return self._feed(chunk, now)

    def _feed(self, chunk: bytes, now: int) -> List[Frame]:
        """Feeds the bytes with the lock held."""
        n = len(chunk)
        buf = ctypes.create_string_buffer(chunk, n)
        base = ctypes.addressof(buf)
        frames: List[Frame] = []
        at = 0
        stalled = 0
        while True:
            # The reader may take fewer bytes than offered: take its frames
            # out, then offer the rest.
            took = _lib.stream.sci_stream_feed(self._ref, base + at, n - at, now)
            at += took
            came = self._drain(frames)
            if at >= n:
                return frames
            stalled = stalled + 1 if took == 0 and came == 0 else 0
            if stalled > 1:
                raise RuntimeError(f"the stream reader takes no more bytes ({n - at} left)")

    def end(self) -> List[Frame]:
        """Ends the input and returns the frame it cuts off, if any; feeding may go on."""
        frames: List[Frame] = []
        with self._lock:
            _lib.stream.sci_stream_end(self._ref)
            self._drain(frames)
        return frames

    @property
    def counters(self) -> Counters:
        """A snapshot of the counters: good, bad, skipped, dropped."""
        with self._lock:
            c = self._state.counters
            return Counters(c.good, c.bad, c.skipped, c.dropped)

    def __repr__(self) -> str:
        shown = [f"gap_ms={self.gap_ms}"]
        shown += [f"{name}={value:#x}" for name, value in (("addr", self.addr), ("cmd", self.cmd))
                  if value is not None]  # fmt: skip
        return f"<{type(self).__name__} {' '.join(shown)} {self.counters}>"
