# SPDX-License-Identifier: MIT
"""The stream reader as the package drives it: all of a feed taken, frames copied out."""

import random
import subprocess
from typing import List, Tuple

import korvi_sci as sci
from conftest import PYTHON


def stream(seed: int) -> Tuple[bytes, int]:
    """Good frames of both versions, bad checksums and noise, longer than the reader's buffer,
    and a frame cut off at the end; and how many frames are good."""
    rnd = random.Random(seed)
    out, good = bytearray(), 0
    for _ in range(120):
        version = rnd.choice((1, 2))
        payload = rnd.randbytes(rnd.randrange(sci.max_payload(version) + 1))
        frame = sci.pack(version, rnd.randrange(256), rnd.randrange(0x10000), payload)
        bad = rnd.random() < 0.15
        out += (
            frame[:-1]
            + bytes([frame[-1] ^ bad])
            + rnd.randbytes(rnd.randrange(4)).replace(b"U", b"T")
        )
        good += not bad
    return bytes(out + sci.pack(2, 9, 9, bytes(20))[:12]), good


def run(data: bytes, cuts: List[int]) -> Tuple[List[sci.Frame], sci.Counters]:
    """Feeds data split at the cuts, all at one time, then ends it."""
    reader = sci.StreamReader()
    frames = [f for a, b in zip([0] + cuts, cuts + [len(data)]) for f in reader.feed(data[a:b], 1)]
    return frames + reader.end(), reader.counters


def test_any_split_gives_the_same_frames() -> None:
    seed = 1
    data, good = stream(seed)
    frames, counters = whole = run(data, [])
    # Fed whole, the reader takes it in several goes: all of it must count.
    assert counters.good == good == sum(f.ok for f in frames)
    assert frames[-1].partial and frames[-1].raw == data[-12:]
    assert counters.skipped + sum(len(f.raw) for f in frames if f.ok) == len(data)
    assert run(data, sorted(random.Random(seed).sample(range(1, len(data)), 400))) == whole
    assert run(data, list(range(1, len(data)))) == whole


def test_a_frame_outlives_the_feed_that_found_it() -> None:
    reader = sci.StreamReader()
    first = reader.feed(sci.pack(2, 1, 2, b"one"), now_ms=5)
    reader.feed(sci.pack(2, 3, 4, b"two") * 100, now_ms=6)  # reuses the reader's buffer
    assert [(f.addr, f.cmd, f.payload, f.time_ms) for f in first] == [(1, 2, b"one", 5)]


def test_the_gap_cuts_a_stale_frame() -> None:
    stale = b"\x55\xbb\x09\xff\x00\x01"  # announces 255 bytes that never come
    reader = sci.StreamReader(gap_ms=50)
    assert reader.feed(stale, now_ms=1000) + reader.feed(b"", now_ms=1050) == []
    cut = reader.feed(b"", now_ms=1051)  # the time alone, past the gap
    assert [(f.partial, f.offset, f.time_ms, f.raw, f.total) for f in cut] == [
        (True, 0, 1000, stale, 263)
    ]
    assert [f.ok for f in reader.feed(sci.pack(2, 1, 2), now_ms=1100)] == [True]


def test_filters_hide_frames_but_count_them() -> None:
    data = b"".join(sci.pack(2, a, c) for a, c in [(1, 0x10), (2, 0x10), (1, 0xFFFF), (2, 0x20)])
    reader = sci.StreamReader(addr=2, cmd=0x10)
    assert [(f.addr, f.cmd) for f in reader.feed(data, 0)] == [(2, 0x10)]
    assert reader.counters == (4, 0, 0, 0)


# Two threads feed one reader whole frames while a third ends the input.
THREADS = """import threading, korvi_sci as sci
reader, chunk, got = sci.StreamReader(), sci.pack(2, 1, 0x1234, bytes(200)) * 20, []
def feed():
    for _ in range(300):
        got.extend(reader.feed(chunk, 1))
def end():
    for _ in range(3000):
        got.extend(reader.end())
threads = [threading.Thread(target=t) for t in (feed, feed, end)]
[t.start() for t in threads]
[t.join() for t in threads]
print(len(got), *reader.counters)"""


def test_threads_sharing_a_reader_each_get_their_own_frames() -> None:
    run = subprocess.run([*PYTHON, "-c", THREADS], capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout.split()) == (0, ["12000", "12000", "0", "0", "0"]), run
