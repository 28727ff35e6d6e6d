# SPDX-License-Identifier: MIT
"""pack and unpack against the sci tool, which calls the same codec from C."""

import re
from typing import Dict, Optional

import pytest

import korvi_sci as sci
from conftest import frame_of_tool, sci_tool

GOOD = sci.pack(2, 0x01, 0x1234, b"\xab\xcd")


# fmt: off
@pytest.mark.parametrize("version, addr, cmd, payload", [
    (2, 0x01, 0x1234, b"\xab\xcd"), (1, 0x01, 0x1234, b"\xab\xcd"), (2, 0, 0, b""),
    (1, 0xFF, 0xFFFF, b""), (2, 0xFF, 0xFFFF, bytes(range(255))), (1, 0x7E, 0x8001, bytes(252)),
])
# fmt: on
def test_pack_builds_the_tools_frame(version: int, addr: int, cmd: int, payload: bytes) -> None:
    assert sci.pack(version, addr, cmd, payload) == frame_of_tool(version, addr, cmd, payload)


def tool_unpack(frame: bytes, addr: int, cmd: int) -> Dict[str, Optional[int]]:
    """What `sci unpack` says of a frame: its result and the fields it shows (None: not shown)."""
    out = sci_tool("unpack", "-a", str(addr), "-c", str(cmd), frame.hex()).stdout.decode()
    fields = {
        n: re.search(rf"^{n}\s+(\S+)", out, re.M)
        for n in ("result", "version", "addr", "cmd", "len")
    }
    return {n: int(m[1], 0) if m else None for n, m in fields.items()}


# fmt: off
@pytest.mark.parametrize("frame, addr, cmd, refusal", [
    (GOOD, 0x01, 0x1234, None),
    (GOOD + b"\xff\xff", 0x01, 0x1234, None),                     # what follows is ignored
    (sci.pack(2, 0x01, 0xFFFF, b"\x01"), 0x01, 0x0007, None),      # a frame's FFFF matches any
    (sci.pack(1, 0x01, 0x1234, b"\xab\xcd"), 0x01, 0x0012, None),  # v1 read without its zero
    (GOOD[:-1] + b"\x00", 0x01, 0x1234, sci.ChecksumError),
    (GOOD[:-1] + b"\x00", 0x02, 0x1234, sci.AddressError),         # the address comes first
    (GOOD, 0x01, 0x1235, sci.CommandError),
    (GOOD, 0x01, 0xFFFF, sci.CommandError),                        # an expected FFFF is none
    (b"\x55\xcc\x01", 0x01, 0x1234, sci.SyncError),
    (b"\x55\xbb\x01", 0x01, 0x1234, sci.ArgumentError),            # version known, lengths not
    (GOOD[:-1], 0x01, 0x1234, sci.ArgumentError),
    (bytes.fromhex("55AA01011200000000"), 0x01, 0x0012, sci.ArgumentError),  # v1 length below 2
    (b"\x55", 0x01, 0x1234, sci.ArgumentError),
])
# fmt: on
def test_unpack_agrees_with_the_tool(frame: bytes, addr: int, cmd: int, refusal: type) -> None:
    tool = tool_unpack(frame, addr, cmd)
    if refusal is None:
        msg = sci.unpack(frame, addr, cmd)
        found = {"result": 0, "version": msg.version, "addr": msg.addr, "cmd": msg.cmd}
        assert {**found, "len": len(msg.payload)} == tool
        return
    with pytest.raises(refusal) as caught:
        sci.unpack(frame, addr, cmd)
    e = caught.value
    assert {
        "result": e.code,
        "version": e.version,
        "addr": e.addr,
        "cmd": e.cmd,
        "len": e.len,
    } == tool


# fmt: off
@pytest.mark.parametrize("call", [
    lambda: sci.pack(0, 1, 1), lambda: sci.pack(3, 1, 1),
    lambda: sci.pack(2, 256, 1), lambda: sci.pack(2, -1, 1),    # a C byte would wrap 256 to 0
    lambda: sci.pack(2, 1, 0x10000),
    lambda: sci.pack(1, 1, 1, bytes(253)), lambda: sci.pack(2, 1, 1, bytes(256)),
    lambda: sci.unpack(GOOD, 0x101, 0x1234), lambda: sci.unpack(GOOD, 1, 0x11234),
])
# fmt: on
def test_bad_arguments_are_refused_before_the_codec(call) -> None:
    with pytest.raises(ValueError):
        call()
