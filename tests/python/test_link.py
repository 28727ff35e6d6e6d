# SPDX-License-Identifier: MIT
"""Link on a pseudo-terminal pair: the test plays the device on the master side."""

import fcntl
import os
import struct
import termios
import threading
import time
from typing import Iterator, List, Tuple

import pytest

import korvi_sci as sci

pytest.importorskip("serial", reason="pyserial is missing (Debian: python3-serial)")
BOUND = 10.0  # seconds anything the test waits for may take


@pytest.fixture
def pty() -> Iterator[Tuple[int, int, str]]:
    """A pseudo-terminal pair, the slave cooked at 9600 baud: master, slave, slave's path."""
    master, slave = os.openpty()
    attrs = termios.tcgetattr(slave)
    attrs[3] |= termios.ICANON | termios.ECHO
    attrs[4] = attrs[5] = termios.B9600
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    yield master, slave, os.ttyname(slave)
    os.close(slave)
    os.close(master)


def until(done) -> None:
    """Polls done() until it is true, for BOUND at most."""
    end = time.monotonic() + BOUND
    while not done() and time.monotonic() < end:
        time.sleep(0.005)


def waiting(fd: int) -> int:
    """Bytes a terminal descriptor has to read."""
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, bytes(4)))[0]


def take(fd: int, n: int) -> bytes:
    """Reads the n bytes the link wrote, waiting BOUND at most."""
    got = bytearray()

    def more() -> bool:
        if waiting(fd):
            got.extend(os.read(fd, n - len(got)))
        return len(got) >= n

    until(more)
    return bytes(got)


REQUEST = (2, 0x01, 0x1234, b"\xab\xcd")
REPLY = sci.pack(2, 0x01, 0x1234, b"\x00\x2a")


# fmt: off
@pytest.mark.parametrize("request_, options, replies, payload", [
    (REQUEST, {}, [REPLY], b"\x00\x2a"),
    (REQUEST, {}, [sci.pack(2, 0x02, 0x1234, b"x"), REPLY], b"\x00\x2a"),  # another address
    (REQUEST, {}, [sci.pack(2, 0x01, 0x1235, b"x"), REPLY], b"\x00\x2a"),  # another command
    (REQUEST, {}, [REPLY[:-1] + b"\x00", REPLY[:3], REPLY[3:]], b"\x00\x2a"),  # bad, in pieces
    (REQUEST, {}, [sci.pack(2, 0x01, 0xFFFF, b"any")], b"any"),
    (REQUEST, {"reply_addr": 7, "reply_cmd": 8}, [REPLY, sci.pack(2, 7, 8, b"v2")], b"v2"),
    ((1, 0x01, 0x1234, b""), {}, [bytes.fromhex("55AA01041234ABCDC301")], b"\xab\xcd"),
])
# fmt: on
def test_request_returns_the_reply(pty, request_, options, replies: List[bytes], payload) -> None:
    master, _, path = pty
    sent: List[bytes] = []

    def device() -> None:
        sent.append(take(master, len(sci.pack(*request_))))
        for part in replies:
            os.write(master, part)

    with sci.Link(path, 115200) as link:
        player = threading.Thread(target=device)
        player.start()
        reply = link.request(*request_, timeout=BOUND, **options)
        player.join(BOUND)
    assert sent == [sci.pack(*request_)]
    assert reply.ok and reply.payload == payload


def test_no_reply_in_time_and_none_from_before(pty) -> None:
    master, slave, path = pty
    with sci.Link(path, 115200) as link:
        os.write(master, REPLY)  # came before the request: no reply to it
        until(lambda: waiting(slave) >= len(REPLY))
        player = threading.Thread(target=take, args=(master, len(sci.pack(*REQUEST))))
        player.start()
        start = time.monotonic()
        with pytest.raises(TimeoutError):
            link.request(*REQUEST, timeout=0.3)
        assert time.monotonic() - start >= 0.3
        player.join(BOUND)


def test_the_line_is_raw_while_open_and_restored_after(pty) -> None:
    _, slave, path = pty
    before = termios.tcgetattr(slave)
    with sci.Link(path, 57600):
        raw = termios.tcgetattr(slave)
        assert raw[3] & (termios.ICANON | termios.ECHO) == 0
        assert raw[2] & (termios.CSIZE | termios.PARENB | termios.CSTOPB) == termios.CS8
        assert raw[4] == raw[5] == termios.B57600
    assert termios.tcgetattr(slave) == before


# fmt: off
@pytest.mark.parametrize("listen, busy, results", [
    (0.01, 0.2, [0]),  # the rig busy past the gap between calls: the frame is whole
    (0.3, 0.0, [-6]),  # the link heard the line pause past the gap: cut off
])
# fmt: on
def test_a_busy_rig_loses_no_frame(pty, listen, busy, results: List[int]) -> None:
    master, slave, path = pty
    frame = sci.pack(2, 0x01, 0x1234, b"\x80" * 20)
    with sci.Link(path, 115200) as link:  # a gap of 50 ms
        os.write(master, frame[:6])
        until(lambda: waiting(slave) >= 6)
        first = link.receive(listen)
        os.write(master, frame[6:])
        time.sleep(busy)  # the rig's own work, not a wait for the line
        got = [f.result for f in (first, link.receive(0.5)) if f is not None]
    assert got == results


@pytest.mark.parametrize("call", ["receive", "request"])
def test_a_vanished_line_raises_its_first_error(call: str) -> None:
    serial = pytest.importorskip("serial")
    master, slave = os.openpty()
    with pytest.raises(serial.SerialException):
        with sci.Link(os.ttyname(slave), 115200) as link:
            os.close(master)
            os.close(slave)
            link.receive(BOUND) if call == "receive" else link.request(*REQUEST, timeout=BOUND)
    assert not link.is_open
