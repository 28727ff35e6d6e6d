# SPDX-License-Identifier: MIT
"""A serial link to a device, on pyserial, speaking SCI through the C libraries."""

import collections
import math
import os
import termios
import time
from types import TracebackType
from typing import Any, Deque, List, Optional, Type

from .codec import BytesLike, pack
from .stream import Frame, StreamReader, monotonic_ms

# The sci tool's default gap: the time of 20 characters of 10 bits at the
# rate, and at least 50 ms, above a USB serial adapter's latency timer.
GAP_CHARACTERS = 20
GAP_MIN_MS = 50


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
    """

    def __init__(self, port: str, baudrate: int, gap_ms: Optional[int] = None) -> None:
        import serial  # type: ignore[import]  # pyserial, needed by the link only

        self.port = port
        self.baudrate = baudrate
        self.gap_ms = default_gap_ms(baudrate) if gap_ms is None else gap_ms
        self._reader = StreamReader(self.gap_ms)
        self._pending: Deque[Frame] = collections.deque()
        self._saved_fd = -1
        self._saved: Optional[List[Any]] = None
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
        """Restores a terminal's saved settings and lets go of its descriptor."""
        if self._saved_fd < 0:
            return
        try:
            if self._saved is not None:
                termios.tcsetattr(self._saved_fd, termios.TCSANOW, self._saved)
        finally:
            os.close(self._saved_fd)
            self._saved_fd = -1

    def close(self) -> None:
        """Closes the line, its settings put back as they were first."""
        try:
            self._put_back()
        finally:
            if self._serial.is_open:
                self._serial.close()

    def __enter__(self) -> "Link":
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.close()

    def send(self, version: int, addr: int, cmd: int, payload: BytesLike = b"") -> bytes:
        """Writes the frame for the message, all of it, waits until it has left, and returns it."""
        frame = pack(version, addr, cmd, payload)
        self._serial.write(frame)
        self._serial.flush()
        return frame

    def _read(self, wait_s: float) -> None:
        """Waits up to ``wait_s`` for bytes and feeds what came, or only the time."""
        self._serial.timeout = max(wait_s, 0.0)
        data = self._serial.read(1)
        if data:
            self._serial.timeout = 0
            waiting = self._serial.in_waiting
            if waiting:
                data += self._serial.read(waiting)
        self._pending.extend(self._reader.feed(data, monotonic_ms()))

    def receive(self, timeout: float) -> Optional[Frame]:
        """Returns the next frame found on the line (good, bad or cut off), or None in time.

        While waiting it wakes at least once per gap, so a frame left stale
        comes out though nothing more arrives.
        """
        deadline = time.monotonic() + timeout
        while not self._pending:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self._read(min(left, self.gap_ms / 1000) if self.gap_ms else left)
        return self._pending.popleft()

    def request(
        self,
        version: int,
        addr: int,
        cmd: int,
        payload: BytesLike = b"",
        timeout: float = 1.0,
        reply_addr: Optional[int] = None,
        reply_cmd: Optional[int] = None,
    ) -> Frame:
        """Sends a frame and returns the first good reply, as ``sci send -r`` does.

        What the line received before is dropped. The reply is the first frame
        the codec accepts with address ``reply_addr`` and command ``reply_cmd``
        (by default those sent; a frame command of 0xFFFF matches any); other
        frames are passed over. Raises TimeoutError when none comes within
        ``timeout`` seconds.
        """
        frame = pack(version, addr, cmd, payload)  # refuses bad arguments before the line
        want_addr = addr if reply_addr is None else reply_addr
        want_cmd = cmd if reply_cmd is None else reply_cmd
        self._serial.reset_input_buffer()
        self._pending.clear()
        self._reader = StreamReader(self.gap_ms)
        self._serial.write(frame)
        self._serial.flush()
        deadline = time.monotonic() + timeout
        while True:
            got = self.receive(max(deadline - time.monotonic(), 0.0))
            if got is None:
                raise TimeoutError(f"no reply within {timeout * 1000:.0f} ms")
            if got.ok and got.addr == want_addr and got.cmd in (want_cmd, 0xFFFF):
                return got
