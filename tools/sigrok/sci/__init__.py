# SPDX-License-Identifier: MIT
'''
SCI frames on a UART. This decoder stacks on top of the 'uart' decoder and
reads the bytes of one direction (RX or TX, an option, in either case) as
korvi's stream reader does.

A frame starts at a sync header, 55 AA (version 1) or 55 BB (version 2),
followed by the address, the length byte, the command (high byte first), the
payload and a 16-bit checksum (low byte first): the sum of the bytes from the
address to the end of the payload. Version 1's length byte counts the command
as well as the payload, so its frame is the length byte + 6 bytes long, and a
length byte below 2 makes no frame; version 2's frame is the length byte + 8.

After a good frame the search goes on behind it; after a bad checksum, a
partial frame or a frame with a UART frame or parity error in it, one byte
after its start. A frame still incomplete when no byte comes for more than
the gap (an option, in ms; by default 20 characters at the UART's rate, 50 ms
at least, as `sci monitor` has it) is dropped as partial, so that a stale
header's length byte cannot swallow the frames that follow. A frame with a
UART error in any of its bytes is shown but not judged: its bytes are not what
was sent. A value above 0xFF (the UART set to 9 data bits) is warned of, and a
frame candidate holding it dropped.

Rows: Fields (sync, address, length, command, payload, checksum), Frames (one
line per complete frame, in the words of `sci scan`) and Warnings. Where the
search goes on inside a frame shown (a bad checksum, a UART error, a partial
frame), its annotations end where the next frame shown begins, so that none
overlap in a row.
'''

from .pd import Decoder
