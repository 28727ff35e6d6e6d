# SPDX-License-Identifier: MIT
"""The PC's end of the device's SCI line, through korvi_sci.

pc_side.py LINE version   prints the payload of the reply to the version request
pc_side.py LINE burst N   writes N echo requests in one write, then checks the N replies
"""
import os
import sys

from korvi_sci import Link, pack

line, what = sys.argv[1], sys.argv[2]
# No gap: the emulated device's replies may pause within a frame.
with Link(line, 115200, gap_ms=0) as link:
    if what == "version":
        print(link.request(2, 1, 0x0001, timeout=5).payload.decode())
        sys.exit(0)
    payloads = [i.to_bytes(2, "big") * (1 + i % 8) for i in range(int(sys.argv[3]))]
    fd = os.open(line, os.O_WRONLY | os.O_NOCTTY)
    os.write(fd, b"".join(pack(2, 1, 0x0002, p) for p in payloads))
    os.close(fd)
    for i, want in enumerate(payloads):
        got = link.receive(30)
        if got is None or (got.ok, got.addr, got.cmd, got.payload) != (True, 1, 0x0002, want):
            sys.exit(f"echo {i} of {len(payloads)}: {got}, not the request's payload {want.hex()}")
    print(f"{len(payloads)} echoes answered")
