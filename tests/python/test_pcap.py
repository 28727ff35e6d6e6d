# SPDX-License-Identifier: MIT
"""pcap files: what sci scan --pcap writes reads back, and what PcapWriter writes tshark reads."""

import os
import re
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

import korvi_sci as sci
from conftest import sci_tool

HEADER = struct.pack("=IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 147)


def test_scan_capture_reads_back_as_scan_and_the_reader_see_it(tmp_path: Path) -> None:
    capture = b"".join([
        b"line noise", sci.pack(2, 0x01, 0x1234, b"\xab\xcd"),
        bytes.fromhex("55AA01041234ABCDC301"),
        sci.pack(2, 0x02, 0x0007, b"\x01\x02\x03")[:-1] + b"\x00", b"\x13\x55\x00",
        sci.pack(1, 0x01, 0x1234, b"\xab\xcd"), sci.pack(2, 0x03, 0x0042, bytes(range(255))),
        bytes.fromhex("55AA0104000701020000"), sci.pack(2, 0x05, 0x0001, b"cut off")[:9],
    ])  # fmt: skip
    (tmp_path / "capture.bin").write_bytes(capture)
    run = sci_tool("scan", "--pcap", str(tmp_path / "capture.pcap"), str(tmp_path / "capture.bin"))
    assert run.returncode == 0, run.stderr
    line = r"^(\w{8}): v(\d) addr 0x(\w\w) cmd 0x(\w{4}) len (\d+) checksum (\w+)"
    lines = [(int(m[1], 16), int(m[2]), int(m[3], 16), int(m[4], 16), int(m[5]), m[6] == "ok")
             for m in re.finditer(line, run.stdout.decode(), re.M)]  # fmt: skip
    reader = sci.StreamReader()
    frames = [f for f in reader.feed(capture, 0) + reader.end() if not f.partial]
    assert len(frames) == 6 and not all(f.ok for f in frames)
    assert lines == [(f.offset, f.version, f.addr, f.cmd, len(f.payload), f.ok) for f in frames]
    # scan stamps each record with the frame's offset, in microseconds after 1970.
    records = sci.read_pcap(tmp_path / "capture.pcap")
    assert [(round(r.timestamp * 1e6), r.data) for r in records] == [
        (f.offset, f.raw) for f in frames
    ]


@pytest.mark.skipif(shutil.which("tshark") is None, reason="tshark is missing (Debian: tshark)")
def test_tshark_reads_what_pcap_writer_writes(tmp_path: Path) -> None:
    dissector = os.environ.get("SCI_DISSECTOR") or pytest.skip("SCI_DISSECTOR is not set")
    frames = [(1700000000.125, sci.pack(2, 0x01, 0x1234, b"\xab\xcd")),
              (1700000000.5, bytes.fromhex("55AA01041234ABCDC300")),  # bad checksum
              (1700000001.0, sci.pack(2, 0x09, 0xFFFF))]  # fmt: skip
    with sci.PcapWriter(tmp_path / "written.pcap") as writer:
        for when, data in frames:
            writer.write(data, when)
    assert list(sci.read_pcap(tmp_path / "written.pcap")) == frames
    fields = ["frame.time_epoch", "sci.version", "sci.addr", "sci.cmd", "sci.checksum.status"]
    command = ["tshark", "-X", f"lua_script:{dissector}", "-r", str(tmp_path / "written.pcap")]
    command += ["-T", "fields", "-E", "separator=|"]
    command += [word for field in fields + ["sci.payload"] for word in ("-e", field)]
    run = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["1700000000.125000000|2|0x01|0x1234|1|ab cd",
                                       "1700000000.500000000|1|0x01|0x1234|0|ab cd",
                                       "1700000001.000000000|2|0x09|0xffff|1|"]  # fmt: skip


@pytest.mark.parametrize("order", ["<", ">"])
@pytest.mark.parametrize("magic, fraction", [(0xA1B2C3D4, 250_000), (0xA1B23C4D, 250_000_000)])
def test_both_byte_orders_and_precisions(
    tmp_path: Path, order: str, magic: int, fraction: int
) -> None:
    frame = sci.pack(2, 1, 2, b"x")  # 9 bytes
    header = struct.pack(order + "IHHiIII", magic, 2, 4, 0, 0, 65535, 147)
    (tmp_path / "f").write_bytes(header + struct.pack(order + "IIII", 7, fraction, 9, 9) + frame)
    assert list(sci.read_pcap(tmp_path / "f")) == [(7.25, frame)]


# fmt: off
@pytest.mark.parametrize("content, says", [
    (b"\x0a\x0d\x0d\x0a" + bytes(40), "pcapng"),
    (HEADER[:20] + struct.pack("=I", 1), "link type 1"),
    (b"55 BB 01 02 12 34 AB CD C1 01\n", "no pcap file"),
    (b"", "no pcap file"),
    (HEADER + struct.pack("=IIII", 1, 0, 10, 10) + b"\x55\xbb\x01", "cut short"),
])
# fmt: on
def test_what_is_no_sci_capture_is_refused(tmp_path: Path, content: bytes, says: str) -> None:
    (tmp_path / "f").write_bytes(content)
    with pytest.raises(ValueError, match=says):
        list(sci.read_pcap(tmp_path / "f"))
