#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Draws bytes as the waveform a logic analyser samples on a UART line.

The line idles high; each byte is a start bit, eight data bits least
significant first, a parity bit if asked for, and a stop bit. A byte may come
with a framing error (stop bit low, the line high again a bit later) or a
parity error (parity bit flipped), after a pause, or after a glitch: a
one-sample low pulse, which a receiver takes for a start bit and drops.
The output has one byte per sample, the line in bit 0, as sigrok-cli reads
with `-I binary:numchannels=1:samplerate=RATE`.

    uart_wave.py BAUD SAMPLERATE IDLE_BITS < BYTES > SAMPLES
"""

import sys


def waveform(data, baud, rate, idle_bits=1.0, parity='none', frame_errors=(),
             parity_errors=(), glitches=(), pauses=None, data_bits=8, ninth=()):
    """Returns the samples for `data`, and each byte's first sample and the
    sample after its stop bit. Events are sets of byte positions; `pauses`
    maps a position to ms of idle before that byte (at len(data): after the
    last). Ten bit times of idle come before the first byte and after the
    last, `idle_bits` between bytes."""
    pauses = pauses or {}
    bit = rate / baud
    out = bytearray()
    at = 0.0
    spans = []

    def level(high, samples):
        # Edges fall on the nearest sample: a bit width that is no whole
        # number of samples does not drift.
        nonlocal at
        at += samples
        out.extend((b'\1' if high else b'\0') * (round(at) - len(out)))

    level(1, 10 * bit)
    for i, value in enumerate(data):
        level(1, (idle_bits if i else 0) * bit + pauses.get(i, 0) * rate / 1000)
        if i in glitches:
            level(0, 1)
            level(1, 3 * bit)
        value |= 0x100 if i in ninth else 0
        bits = [0] + [value >> n & 1 for n in range(data_bits)]
        if parity != 'none':
            bits.append((bin(value).count('1') + (parity == 'odd') + (i in parity_errors)) & 1)
        bits.append(i not in frame_errors)
        start = len(out)
        for b in bits:
            level(b, bit)
        spans.append((start, len(out)))
        if i in frame_errors:
            level(1, bit)  # a falling edge must start the next byte
    level(1, pauses.get(len(data), 0) * rate / 1000 + 10 * bit)
    return bytes(out), spans


if __name__ == '__main__':
    baud, rate, idle = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    sys.stdout.buffer.write(waveform(sys.stdin.buffer.read(), baud, rate, idle)[0])
