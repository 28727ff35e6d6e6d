# SPDX-License-Identifier: MIT
"""A serial link to a device, on pyserial, speaking SCI through the C libraries."""

import collections
import dataclasses
import errno
import math
import numbers
import os
import termios
import threading
import time
import warnings
from types import TracebackType
from typing import Any, Deque, List, Optional, Type

from .codec import BytesLike, pack
from .stream import Counters, Frame, StreamReader, monotonic_ms

# The sci tool's default gap: the time of 20 characters of 10 bits at the
# rate, and at least 50 ms, above a USB serial adapter's latency timer.
GAP_CHARACTERS = 20
GAP_MIN_MS = 50
# The longest a link waits in one go without a gap: a bound for pyserial's
# timeout, and how soon a waiting receive lets close() in.
WAKE_S = 1.0
# What a terminal's calls fail with once its other end has gone.
_LINE_GONE = (errno.EIO, errno.ENXIO, errno.ENODEV, errno.EBADF)


def _seconds(timeout: Optional[float]) -> float:
    """A timeout in seconds, None as for ever; NaN and negative values refused."""
    if timeout is None:
        return math.inf
    if not isinstance(timeout, numbers.Real):
        raise TypeError(f"timeout is a number of seconds or None, not {type(timeout).__name__}")
    seconds = float(timeout)
    if math.isnan(seconds) or seconds < 0:
        raise ValueError(f"timeout must be 0 or more seconds, or None, not {timeout}")
    return seconds


def _gone(e: BaseException) -> bool:
    """Whether an error says the line is no longer there."""
    code = e.args[0] if isinstance(e, termios.error) and e.args else getattr(e, "errno", None)
    return code in _LINE_GONE


def default_gap_ms(baudrate: int) -> int:
    """The gap the sci tool uses for a rate: max(50, ceil(20 * 10 * 1000 / baud)) ms."""
    return max(GAP_MIN_MS, math.ceil(GAP_CHARACTERS * 10 * 1000 / baudrate))


class Link:
    """One serial line to a device, raw 8N1, as a context manager.

    ``port`` is a device path (a UART, a USB serial adapter, a
    pseudo-terminal) or any URL ``serial.serial_for_url`` takes (``loop://``,
    ``socket://host:port``). The settings a terminal device had before are put
    back when the link is closed. Frames are found by a StreamReader with the
    gap ``gap_ms`` (by default the sci tool's for the rate).

    The gap is measured on a clock that runs only while the link listens:
    bytes already waiting when a call begins count as come straight after
    the bytes before them, so whatever the caller does between calls, a frame
    that arrived whole is found whole; a pause the link sees while it waits
    still cuts a frame. Frames keep the time the link read them. Threads may
    share a link: each call holds its lock, and each frame goes to exactly
    one caller.
    """

    def __init__(self, port: str, baudrate: int, gap_ms: Optional[int] = None) -> None:
        import serial  # type: ignore[import]  # pyserial, needed by the link only

        self._serial: Any = None
        self._error: Type[Exception] = serial.SerialException
        self._saved_fd = -1
        self._saved: Optional[List[Any]] = None
        if not baudrate > 0:
            raise ValueError(f"baudrate must be above 0, not {baudrate}")
        self.port = port
        self.baudrate = baudrate
        self.gap_ms = default_gap_ms(baudrate) if gap_ms is None else gap_ms
        self._reader = StreamReader(self.gap_ms)
        self._pending: Deque[Frame] = collections.deque()
        self._lock = threading.Lock()  # the reader, the pending frames, the clock
        self._write_lock = threading.Lock()
        self._closing = False
        # The clock the reader is fed: the time of opening plus the time spent listening.
        self._clock_ns = time.monotonic_ns()
        if "://" not in port:
            # The line's settings as they were, read before pyserial changes
            # them. The descriptor stays open until they are back.
            try:
                fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
            except OSError as e:
                raise serial.SerialException(f"could not open port {port}: {e}") from e
            try:
                self._saved = termios.tcgetattr(fd)
            except termios.error:
                os.close(fd)
                raise serial.SerialException(f"{port} is no terminal") from None
            self._saved_fd = fd
        try:
            self._serial = serial.serial_for_url(
                port,
                baudrate=baudrate,
                bytesize=serial.EIGHTBITS,
                parity=serial.PARITY_NONE,
                stopbits=serial.STOPBITS_ONE,
                xonxoff=False,
                rtscts=False,
                dsrdtr=False,
                timeout=0,
            )
        except BaseException:
            self._put_back()
            raise

    def _put_back(self) -> None:
        """Restores a terminal's saved settings and lets go of its descriptor.

        A line whose other end has gone has no settings to restore: that
        error is no news, the one that found the line gone said it.
        """
        if self._saved_fd < 0:
            return
        try:
            if self._saved is not None:
                termios.tcsetattr(self._saved_fd, termios.TCSANOW, self._saved)
        except termios.error as e:
            if not _gone(e):
                raise
        finally:
            os.close(self._saved_fd)
            self._saved_fd = -1

    def _close(self) -> None:
        try:
            self._put_back()
        finally:
            if self._serial is not None and self._serial.is_open:
                try:
                    self._serial.close()
                except OSError as e:
                    if not _gone(e):
                        raise

    def close(self) -> None:
        """Closes the line, its settings put back as they were first; closing again does nothing.

        After the line has gone (the other end of a pseudo-terminal closed, an
        adapter pulled) it raises nothing of its own.
        """
        self._closing = True  # a waiting call gives the lock up at its next wake
        with self._lock:
            self._close()

    def __del__(self) -> None:
        # As a file does: an unclosed link warns, and is closed, its settings put back.
        line = getattr(self, "_serial", None)  # None when __init__ failed early
        if line is not None and line.is_open or getattr(self, "_saved_fd", -1) >= 0:
            warnings.warn(f"unclosed {self!r}", ResourceWarning, source=self)
            try:
                self._close()
            except Exception:
                pass

    def __enter__(self) -> "Link":
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self.is_open else "closed"
        return (
            f"<{type(self).__name__} port={self.port!r} baudrate={self.baudrate} "
            f"gap_ms={self.gap_ms} {state} in_waiting={len(self._pending)} {self.counters}>"
        )

    @property
    def is_open(self) -> bool:
        """Whether the line is open."""
        return self._serial is not None and bool(self._serial.is_open)

    @property
    def in_waiting(self) -> int:
        """Frames found and not yet taken, after taking what the line holds (not bytes)."""
        if self._lock.acquire(blocking=False):  # a waiting receive holds it: count what is found
            try:
                self._take()
            finally:
                self._lock.release()
        return len(self._pending)

    @property
    def counters(self) -> Counters:
        """The reader's counters since the link was opened, requests included."""
        return self._reader.counters

    def send(self, version: int, addr: int, cmd: int, payload: BytesLike = b"") -> bytes:
        """Writes the frame for the message, all of it, waits until it has left, and returns it."""
        frame = pack(version, addr, cmd, payload)
        with self._write_lock:
            self._serial.write(frame)
            self._serial.flush()
        return frame

    def _feed(self, data: bytes) -> None:
        """Feeds bytes, or only the time, at the link's clock; frames keep the time of reading."""
        now_ms = self._clock_ns // 1_000_000
        frames = self._reader.feed(data, now_ms)
        if frames:
            shift = monotonic_ms() - now_ms
            self._pending.extend(dataclasses.replace(f, time_ms=f.time_ms + shift) for f in frames)

    def _waiting(self) -> int:
        """The bytes the line holds; a line gone is a SerialException, as from a read."""
        try:
            return int(self._serial.in_waiting)
        except OSError as e:
            raise self._error(f"read failed: {e}") from e

    def _take(self) -> None:
        """Feeds what the line holds already, without waiting: the clock stands still."""
        waiting = self._waiting()
        if waiting:
            self._serial.timeout = 0
            self._feed(self._serial.read(waiting))

    def _listen(self, wait_s: float) -> None:
        """Waits up to ``wait_s`` for bytes, the clock running, and feeds what came or the time."""
        self._serial.timeout = wait_s
        start = time.monotonic_ns()
        data = self._serial.read(1)
        self._clock_ns += time.monotonic_ns() - start
        if data:
            self._serial.timeout = 0
            waiting = self._waiting()
            if waiting:
                data += self._serial.read(waiting)
        self._feed(data)

    def _next(self, deadline: float) -> Optional[Frame]:
        """The next frame found by the monotonic ``deadline``, or None.

        What the line holds is taken first, so a deadline already past still
        returns a frame that waits. The lock is let go between waits, so that
        other threads and close() get their turn.
        """
        wake = self.gap_ms / 1000 if self.gap_ms else WAKE_S
        while True:
            with self._lock:
                if self._closing or not self.is_open:  # perhaps by another thread
                    raise self._error("the link is closed")
                if not self._pending:
                    self._take()
                if self._pending:
                    return self._pending.popleft()
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._listen(min(left, wake, WAKE_S))

    def receive(self, timeout: Optional[float]) -> Optional[Frame]:
        """Returns the next frame found on the line (good, bad or cut off), or None in time.

        ``timeout`` is in seconds: 0 takes what the line holds already and
        returns, None waits until a frame comes. NaN and negative values are
        a ValueError. While waiting it wakes at least once per gap, so a frame
        left stale comes out though nothing more arrives.
        """
        return self._next(time.monotonic() + _seconds(timeout))

    def request(
        self,
        version: int,
        addr: int,
        cmd: int,
        payload: BytesLike = b"",
        timeout: Optional[float] = 1.0,
        reply_addr: Optional[int] = None,
        reply_cmd: Optional[int] = None,
    ) -> Frame:
        """Sends a frame and returns the first good reply, as ``sci send -r`` does.

        What the line received before is dropped (the counters count it). The
        reply is the first frame the codec accepts with address ``reply_addr``
        and command ``reply_cmd`` (by default those sent; a frame command of
        0xFFFF matches any); other frames are passed over. Raises TimeoutError
        when none comes within ``timeout`` seconds (0: only a reply there at
        once; None: no limit); a bad timeout raises ValueError before anything
        is sent.

        Version 1: the codec packs a zero byte before the command and reads a
        frame without it, so a reply's command reads back as the codec reads
        it, the frame's two bytes after its length. A reply in version 1 must
        carry the command that way to match. A frame that repeats the request
        byte for byte (its own echo on ``loop://`` or a half-duplex line) is
        never taken as its reply.
        """
        wait = _seconds(timeout)
        frame = pack(version, addr, cmd, payload)  # refuses bad arguments before the line
        want_addr = addr if reply_addr is None else reply_addr
        want_cmd = cmd if reply_cmd is None else reply_cmd
        with self._lock:
            self._take()
            self._reader.end()  # a frame begun before the request is cut off
            self._pending.clear()
        self.send(version, addr, cmd, payload)
        deadline = time.monotonic() + wait
        while True:
            got = self._next(deadline)
            if got is None:
                raise TimeoutError(f"no reply within {wait * 1000:.0f} ms")
            if version == 1 and got.raw == frame:
                continue
            if got.ok and got.addr == want_addr and got.cmd in (want_cmd, 0xFFFF):
                return got
