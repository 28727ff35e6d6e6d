#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Frames per second through korvi_sci.StreamReader.feed, and pack/unpack calls per second.

    LD_LIBRARY_PATH=build/host/sci_codec:build/host/sci_stream PYTHONPATH=python \\
        /usr/bin/python3 benchmarks/python_stream_bench.py [FRAMES]

The stream is FRAMES version-2 frames (default 20000) with 16-byte payloads,
fed once in 64 KiB pieces and once a byte at a time (the first fifth of it:
a byte at a time is slow). Each figure is the best of three runs.
"""

import os
import sys
import time
from typing import Callable

import korvi_sci as sci


def best(run: Callable[[], int], repeat: int = 3) -> float:
    """The best rate of run(), in its units per second, over `repeat` runs."""
    rates = []
    for _ in range(repeat):
        start = time.perf_counter()
        done = run()
        rates.append(done / (time.perf_counter() - start))
    return max(rates)


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    frame = sci.pack(2, 0x01, 0x1234, bytes(range(16)))
    data = frame * count

    def pieces() -> int:
        reader = sci.StreamReader()
        found = 0
        for at in range(0, len(data), 65536):
            found += len(reader.feed(data[at : at + 65536], 0))
        assert found == count
        return found

    def bytewise() -> int:
        reader = sci.StreamReader()
        part = data[: len(data) // 5]
        found = sum(len(reader.feed(part[i : i + 1], 0)) for i in range(len(part)))
        assert found == count // 5
        return found

    def packs() -> int:
        for _ in range(count):
            sci.pack(2, 0x01, 0x1234, b"0123456789abcdef")
        return count

    def unpacks() -> int:
        for _ in range(count):
            sci.unpack(frame, 0x01, 0x1234)
        return count

    print(f"korvi_sci {sci.__version__}, Python {sys.version.split()[0]}, {os.cpu_count()} CPUs")
    print(f"{len(frame)}-byte frames, {count} of them ({len(data)} bytes)")
    rate = best(pieces)
    print(f"feed, 64 KiB pieces:  {rate:12,.0f} frames/s  {rate * len(frame) / 1e6:8.2f} MB/s")
    rate = best(bytewise)
    print(f"feed, byte by byte:   {rate:12,.0f} frames/s  {rate * len(frame) / 1e6:8.2f} MB/s")
    print(f"pack:                 {best(packs):12,.0f} calls/s")
    print(f"unpack:               {best(unpacks):12,.0f} calls/s")


if __name__ == "__main__":
    main()
