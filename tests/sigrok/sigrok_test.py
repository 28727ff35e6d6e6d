#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The sigrok decoder against sci scan.

One stream (frames of both versions, bad checksums, a good frame inside a bad
one, garbage, a version-1 length byte below 2, a pause within the gap, a stale
header left for longer, a frame cut off at the end, a framing and a parity
error inside frames, glitches, values above 0xFF at 9 data bits) is drawn as a
UART waveform at four rates and decoded by sigrok-cli. Its Frames, Fields and
Warnings rows, Python output (shown by the sci_words decoder) and binary output
must be what scan finds in the same bytes, but for the decoder's rules:
 - bytes before a pause longer than the gap only complete each other: the
   decoder finds what scan finds in each piece of the stream cut there, one
   piece after the other, and a frame scan completes across the pause is
   partial to it; a value above 0xFF cuts too, dropping what it cuts off;
 - a complete frame with a byte that came with a UART error is not judged;
 - no annotations overlap in a row.
Where the decoder and scan of the whole stream differ, it says why.

    sigrok_test.py DECODERS SCI [EMULATOR...]

Exits 77 (skipped) where sigrok-cli is missing.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from bisect import bisect_left
from math import ceil

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, HERE)
from uart_wave import waveform  # noqa: E402

GAP_MS = 50  # the decoder's default gap, or 20 characters where longer
# Baud rate, sample rate, parity, idle bit times between bytes, the line the
# stream is on, in the direction option's words (on TX, other frames on RX,
# which the decoder must leave), and data bits (9: bytes marked 'ninth' > 0xFF).
CASES = ((9600, 100_000, 'none', 0, 'RX', 8), (115200, 1_000_000, 'even', 1.5, 'RX', 8),
         (921600, 8_000_000, 'none', 3, 'tx', 8), (2400, 24_000, 'none', 0, 'rx', 9))
SCAN_LINE = re.compile(r'([0-9a-f]{8}): (v.*?(?:len (\d+) checksum|truncated, (\d+) ).*)$')


def sh(cmd, ok=(0,), **kw):
    """A command's standard output; exits on a status not in `ok` or on
    anything on standard error."""
    p = subprocess.run(cmd, capture_output=True, timeout=120, **kw)
    if p.returncode not in ok or p.stderr:
        sys.exit('FAIL: %s: exit %d, %s' % (' '.join(cmd), p.returncode, p.stderr.decode()))
    return p.stdout


def scan(sci, data):
    """scan's frames in the bytes: (offset, size, words, complete)."""
    found = []
    for line in sh(sci + ['scan', '-'], ok=(0, 1), input=bytes(data)).decode().splitlines():
        m = SCAN_LINE.match(line)
        size = int(m.group(3)) + 8 if m.group(3) else int(m.group(4))
        found.append((int(m.group(1), 16), size, m.group(2), m.group(3) is not None))
    return found


def capture(sci):
    """The stream, the pauses (position: ms), UART errors (position: kind)
    and glitches (positions)."""
    def pack(args):
        v, a, c, *payload = args.split()
        return bytes.fromhex(sh(sci + ['pack', '-V', v, '-a', a, '-c', c] + payload).decode())
    parts = ((b'line noise\x13\x55\x00\x55', {'glitch': 4, 'ninth': 1}),
             (pack('2 1 0x1234 ABCD'), {'glitch': 3}),
             (bytes.fromhex('55AA01041234ABCDC301'), {}),  # version 1 as unpacked
             (pack('1 1 0x1234 ABCD'), {}),                # as packed: command 0x0012
             (pack('2 0xFE 0xFFFF'), {'ninth': 4}),
             (bytes.fromhex('55BB020300070102030000'), {}),
             (bytes.fromhex('55BB050A0001') + pack('2 6 0x0606 6666') + b'\0\0', {}),
             (bytes.fromhex('55AA7F01020304'), {}),        # length byte 1: no frame
             (pack('2 7 0x0700 010203'), {'pause': (5, 30)}),
             (pack('2 4 0x0100 11223344'), {'frame': 8}),
             (pack('1 5 0x0500 AABB'), {'parity': 7}),
             # A stale header, a good frame in the bytes it claims, the gap.
             (bytes.fromhex('55BB09FF0001') + pack('2 8 0x0808 88'), {'pause': (15, 60)}),
             (pack('2 3 0x0042 ' + bytes(range(255)).hex()), {'glitch': 100}),
             (pack('2 1 0x2222'), {}),
             (pack('2 1 0x1234 0102030405')[:9], {'pause': (9, 60)}))
    data, pauses, errors, glitches = bytearray(), {}, {}, set()
    for raw, ev in parts:
        if 'pause' in ev:
            pauses[len(data) + ev['pause'][0]] = ev['pause'][1]
        errors.update({len(data) + ev[k]: k for k in ('frame', 'parity', 'ninth') if k in ev})
        glitches.update({len(data) + ev['glitch']} if 'glitch' in ev else ())
        data += raw
    return data, pauses, errors, glitches


def expect(sci, data, cuts, errors, gap=GAP_MS):
    """From scan's lines for each piece of the stream between cuts (a pause
    longer than the gap; a byte above 0xFF, which no frame holds): every
    frame in order as (first byte, last byte, words, complete), the Frames
    row, and the Fields and Warnings rows sorted, as (first, last, leading
    words). A frame that the search goes on inside ends where the next one
    begins."""
    frames, shown, rows = [], [], {'frames': [], 'fields': [], 'warnings': []}
    ends = sorted([(at, 'pause') for at in cuts] + [(len(data), 'the end')] +
                  [(at, 'ninth') for at, k in errors.items() if k == 'ninth'],
                  key=lambda end: (end[0], end[1] == 'the end'))
    for lo, (hi, why) in zip([0] + [at + (k == 'ninth') for at, k in ends], ends):
        rows['warnings'] += [(hi, hi, 'Value')] if why == 'ninth' else []
        for o, size, words, complete in scan(sci, data[lo:hi]):
            o, last, n = lo + o, lo + o + size - 1, size - 8
            bad = [i for i in range(o, last + 1) if i in errors]
            if not complete and why != 'pause':
                continue  # no gap passed: not shown
            own = []
            if not complete:
                own.append(('warnings', o, last, '%s: no byte for more than %d ms' % (words, gap)))
            elif bad:
                # The decoder goes on one byte after an unjudged frame's start,
                # scan behind a good one: the same only with no sync inside.
                assert 0x55 not in data[o + 1:last + 1], 'a sync inside the frame at %d' % o
                words = re.sub('checksum (ok|bad)', 'not judged', words)
                own += [('warnings', i, i, 'UART %s error' % errors[i]) for i in bad]
            elif 'checksum bad' in words:
                own.append(('warnings', last - 1, last, 'Checksum bad'))
            if complete:
                own += [('fields', o, o + 1, 'Sync'), ('fields', o + 2, o + 2, 'Address'),
                        ('fields', o + 3, o + 3, 'Length'), ('fields', o + 4, o + 5, 'Command'),
                        ('fields', o + 6 + n, last, 'Checksum'), ('frames', o, last, words)]
                own += [('fields', o + 6, o + 5 + n, 'Payload')] if n else []
            frames.append((o, last, words, complete))
            shown.append(own)
    for own, (cut, *_) in zip(shown, frames[1:] + [(len(data),)]):
        for r, a, b, t in own:
            rows[r] += [(a, min(b, cut - 1), t)] if a < cut else []
    return frames, rows['frames'], sorted(rows['fields']), sorted(rows['warnings'])


def decode(path, case, channels, decoders):
    """sigrok-cli's annotations of sci and sci_words as (decoder, row, first
    sample, last sample, text), and sci's binary output."""
    baud, rate, parity, _, line, bits = case
    uart = 'uart:baudrate=%d:parity=%s:data_bits=%d:rx=0' % (baud, parity, bits)
    uart += ':tx=1' if line.upper() == 'TX' else ''
    cmd = ['sigrok-cli', '-I', 'binary:numchannels=%d:samplerate=%d' % (channels, rate), '-i',
           path, '-P', uart + ',sci:direction=%s,sci_words' % line]
    env = dict(os.environ, SIGROKDECODE_DIR=decoders, PYTHONDONTWRITEBYTECODE='1')
    trace = sh(cmd + ['-A', 'sci,sci_words', '--protocol-decoder-jsontrace'], env=env)
    # Each annotation is a begin event, then its end, in microseconds; with
    # no annotation at all sigrok-cli prints nothing.
    ev = json.loads(trace)['traceEvents'] if trace.strip() else []
    anns = [(b['pid'], b['tid'], round(b['ts'] * rate / 1e6), round(e['ts'] * rate / 1e6),
             b['name']) for b, e in zip(ev[::2], ev[1::2])]
    return anns, sh(cmd + ['-B', 'sci=frames'], env=env)


def on_bytes(spans, bit, ss, es):
    """The bytes an annotation covers: it starts at its first byte's start
    bit and ends within a bit of its last byte's end (with no idle, one
    byte's end is the next one's start); -1 where it does not."""
    starts = [s for s, _ in spans]
    near = [i for i in range(bisect_left(starts, es) - 2, bisect_left(starts, es))
            if i >= 0 and abs(spans[i][1] - es) <= bit]
    return (starts.index(ss) if ss in starts else -1,
            min(near, key=lambda i: abs(spans[i][1] - es)) if near else -1)


def check(sci, case, data, pauses, errors, glitches, other, work, decoders):
    """Decodes one case and compares; returns whether all of it agrees."""
    baud, rate, parity, idle, line, bits = case
    name = '%d baud, %d%s1 on %s, %.1f samples a bit' % (baud, bits, parity[0].upper(), line,
                                                         rate / baud)
    errors = {i: k for i, k in errors.items() if k == 'frame' or k == 'ninth' and bits == 9 or
              k == 'parity' and parity != 'none'}
    gap = max(GAP_MS, ceil(20 * (bits + 2 + (parity != 'none')) * 1000 / baud))
    cuts = sorted(at for at, ms in pauses.items() if ms > gap)
    frames, complete, fields, warnings = expect(sci, data, cuts, errors, gap)

    frame_errors = {i for i, k in errors.items() if k == 'frame'}
    samples, spans = waveform(data, baud, rate, idle, parity, frame_errors,
                              {i for i, k in errors.items() if k == 'parity'}, glitches, pauses,
                              bits, {i for i, k in errors.items() if k == 'ninth'})
    if line.upper() == 'TX':
        rx = waveform(other, baud, rate, idle, parity)[0][:len(samples)].ljust(len(samples), b'\1')
        # Every sample is 0 or 1: shifted as one number, each moves to bit 1.
        samples = (int.from_bytes(samples, 'big') << 1 | int.from_bytes(rx, 'big')).to_bytes(
            len(samples), 'big')
    path = os.path.join(work, '%d.bin' % baud)
    with open(path, 'wb') as f:
        f.write(samples)
    anns, binary = decode(path, case, 2 if line.upper() == 'TX' else 1, decoders)
    ours = sorted((p, r, ss, es) for p, r, ss, es, _ in anns if p == 'sci-1')

    def row(pid, tid, text=lambda t: t):
        return [on_bytes(spans, rate / baud, ss, es) + (text(t),)
                for p, r, ss, es, t in anns if p == pid and r == tid]

    def kind(text):
        return re.sub(r'^(Checksum bad|UART \w+ error|Value)\b.*', r'\1', text)

    good = True
    for what, want, got in (
            ('frames in the Frames row', complete, row('sci-1', 'Frames')),
            ('fields in the Fields row', fields,
             sorted(row('sci-1', 'Fields', lambda t: t.split()[0]))),
            ('warnings in the Warnings row', warnings, sorted(row('sci-1', 'Warnings', kind))),
            ('frames in the Python output', [w for *_, w, _ in frames],
             [t for *_, t in row('sci_words-1', 'frame')]),
            ('bytes of binary output', b''.join(data[o:last + 1] for o, last, _, c in frames if c),
             binary),
            ('overlaps in a row', [], [(a, b) for a, b in zip(ours, ours[1:])
                                       if a[:2] == b[:2] and b[2] < a[3]])):
        print('%s: %s: %d %s' % ('ok' if want == got else 'FAIL', name, len(want), what))
        if want != got:
            good = False
            print(''.join('  - %r\n' % (x,) for x in want if x not in got) +
                  ''.join('  + %r\n' % (x,) for x in got if x not in want) or '  order differs')
    return good


def why(sci, data, pauses, errors):
    """Where the decoder and scan of the whole stream differ, and why."""
    cuts = sorted(at for at, ms in pauses.items() if ms > GAP_MS)
    shown = {o: w for o, _, w, _ in expect(sci, data, cuts, errors)[0]}
    for o, size, words, _ in scan(sci, data):
        cut = [at for at in cuts if o < at < o + size]
        bad = [i for i in range(o, o + size) if errors.get(i) in ('frame', 'parity')]
        if cut:
            print('note: byte %d: scan has %.60s..., the decoder %s: no byte came for %d ms '
                  'before byte %d, longer than the gap, and the bytes after it cannot complete '
                  'the frame; scan has no gap' % (o, words, shown[o], pauses[cut[0]], cut[0]))
        elif bad:
            print('note: byte %d: scan has %s, the decoder does not judge it: byte %d came '
                  'with a UART %s error%s' % (o, words, bad[0], errors[bad[0]],
                                              ' (at 8E1)' if errors[bad[0]] == 'parity' else ''))


def main():
    """Checks every case; exits 0, 1, or 77 without sigrok-cli."""
    if not shutil.which('sigrok-cli'):
        print('SKIP: no sigrok-cli (Debian package sigrok-cli; scripts/deps.sh test installs it)')
        sys.exit(77)
    sci = sys.argv[3:] + [sys.argv[2]]
    data, pauses, errors, glitches = capture(sci)
    other = bytes.fromhex(sh(sci + ['pack', '-V', '2', '-a', '9', '-c', '9', '99']).decode())
    with tempfile.TemporaryDirectory() as work:
        decoders = os.path.join(work, 'decoders')
        os.mkdir(decoders)
        os.symlink(os.path.join(os.path.abspath(sys.argv[1]), 'sci'), decoders + '/sci')
        os.symlink(os.path.join(HERE, 'decoders', 'sci_words'), decoders + '/sci_words')
        good = all([check(sci, case, data, pauses, errors, glitches, other * 40, work, decoders)
                    for case in CASES])
        refused = subprocess.run(
            ['sigrok-cli', '-I', 'binary:samplerate=100000', '-i', os.path.join(work, '9600.bin'),
             '-P', 'uart:rx=0,sci:direction=both'], capture_output=True, timeout=120,
            env=dict(os.environ, SIGROKDECODE_DIR=decoders, PYTHONDONTWRITEBYTECODE='1'))
        refused = refused.returncode != 0 and b'direction is RX or TX' in refused.stderr
        print('%s: direction=both refused with a message' % ('ok' if refused else 'FAIL'))
    why(sci, data, pauses, errors)
    sys.exit(0 if good and refused else 1)


if __name__ == '__main__':
    main()
