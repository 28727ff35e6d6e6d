"""pack and unpack against the sci tool, which calls the same codec from C."""

import re
from typing import Dict, Optional

import pytest

import korvi_sci as sci
from conftest import frame_of_tool, sci_tool

FULL = bytes(range(255))


@pytest.mark.parametrize(
    "version, addr, cmd, payload",
    [
        (2, 0x01, 0x1234, b"\xab\xcd"),
        (1, 0x01, 0x1234, b"\xab\xcd"),
        (2, 0x00, 0x0000, b""),
        (1, 0xFF, 0xFFFF, b""),
        (2, 0xFF, 0xFFFF, FULL),  # the longest of each version
        (1, 0x7E, 0x8001, FULL[:252]),
        (2, 0x55, 0x55BB, b"\x55\xbb\x55\xaa"),
    ],
)
def test_pack_builds_the_tools_frame(version: int, addr: int, cmd: int, payload: bytes) -> None:
    assert sci.pack(version, addr, cmd, payload) == frame_of_tool(version, addr, cmd, payload)


def tool_unpack(frame: bytes, addr: int, cmd: int) -> Dict[str, Optional[int]]:
    """What `sci unpack` says of a frame: the result and the fields it shows."""
    run = sci_tool("unpack", "-a", str(addr), "-c", str(cmd), frame.hex())
    out = run.stdout.decode()
    fields: Dict[str, Optional[int]] = {
        "result": int(re.search(r"^result\s+(-?\d+)", out, re.M)[1])
    }
    for name in ("version", "addr", "cmd", "len"):
        found = re.search(rf"^{name}\s+(\S+)", out, re.M)
        fields[name] = int(found[1], 0) if found else None
    return fields


GOOD = sci.pack(2, 0x01, 0x1234, b"\xab\xcd")


@pytest.mark.parametrize(
    "frame, addr, cmd, refusal",
    [
        (GOOD, 0x01, 0x1234, None),
        (GOOD + b"\xff\xff", 0x01, 0x1234, None),  # bytes after the frame are ignored
        (sci.pack(2, 0x01, 0xFFFF, b"\x01"), 0x01, 0x0007, None),  # a frame's FFFF matches any
        (sci.pack(1, 0x01, 0x1234, b"\xab\xcd"), 0x01, 0x0012, None),  # read as the codec reads v1
        (bytes.fromhex("55AA01041234ABCDC301"), 0x01, 0x1234, None),
        (GOOD[:-1] + b"\x00", 0x01, 0x1234, sci.ChecksumError),
        (GOOD, 0x02, 0x1234, sci.AddressError),
        (GOOD[:-1] + b"\x00", 0x02, 0x1234, sci.AddressError),  # the address is checked first
        (GOOD, 0x01, 0x1235, sci.CommandError),
        (sci.pack(2, 0x01, 0x1234, b"\xab\xcd"), 0x01, 0xFFFF, sci.CommandError),
        (b"\x55\xcc" + GOOD[2:], 0x01, 0x1234, sci.SyncError),
        (b"\x55\xcc\x01", 0x01, 0x1234, sci.SyncError),
        (b"\x55\xbb\x01", 0x01, 0x1234, sci.ArgumentError),  # version known, lengths not
        (GOOD[:-1], 0x01, 0x1234, sci.ArgumentError),
        (bytes.fromhex("55AA01011200000000"), 0x01, 0x0012, sci.ArgumentError),  # v1 length below 2
        (b"\x55", 0x01, 0x1234, sci.ArgumentError),
    ],
)
def test_unpack_agrees_with_the_tool(frame: bytes, addr: int, cmd: int, refusal: type) -> None:
    tool = tool_unpack(frame, addr, cmd)
    if refusal is None:
        msg = sci.unpack(frame, addr, cmd)
        assert tool["result"] == 0
        assert (msg.version, msg.addr, msg.cmd, len(msg.payload)) == (
            tool["version"],
            tool["addr"],
            tool["cmd"],
            tool["len"],
        )
        return
    with pytest.raises(refusal) as caught:
        sci.unpack(frame, addr, cmd)
    e = caught.value
    assert isinstance(e, sci.SciError)
    assert {
        "result": e.code,
        "version": e.version,
        "addr": e.addr,
        "cmd": e.cmd,
        "len": e.len,
    } == tool


def test_unpack_of_nothing_is_an_argument_error() -> None:
    with pytest.raises(sci.ArgumentError) as caught:
        sci.unpack(b"", 1, 1)
    assert caught.value.code == -1


@pytest.mark.parametrize(
    "call",
    [
        lambda: sci.pack(0, 1, 1),
        lambda: sci.pack(3, 1, 1),
        lambda: sci.pack(2, 256, 1),  # would wrap to address 0 in the C byte
        lambda: sci.pack(2, -1, 1),
        lambda: sci.pack(2, 1, 0x10000),  # would wrap to command 0
        lambda: sci.pack(1, 1, 1, bytes(253)),
        lambda: sci.pack(2, 1, 1, bytes(256)),
        lambda: sci.unpack(GOOD, 0x101, 0x1234),  # would match address 1
        lambda: sci.unpack(GOOD, 1, 0x11234),  # would match command 0x1234
    ],
)
def test_bad_arguments_are_refused_before_the_codec(call) -> None:
    with pytest.raises(ValueError):
        call()
