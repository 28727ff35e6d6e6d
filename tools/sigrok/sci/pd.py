# SPDX-License-Identifier: MIT
"""The SCI decoder: finds frames in a UART's bytes as korvi's stream reader does.

OUTPUT_PYTHON format:

Packet:
[<ptype>, <frame>]

<ptype> is 'FRAME' for a complete frame and 'PARTIAL' for one dropped after
the gap. <frame> is a dict:
 - 'version': 1 or 2
 - 'addr': the address byte (None when a partial frame ended before it)
 - 'cmd': the command (None when a partial frame ended before it)
 - 'len': the payload length (None in a partial frame)
 - 'payload': the payload, as bytes (None in a partial frame)
 - 'checksum': the checksum as sent (None in a partial frame)
 - 'sum': the 16-bit sum of the bytes it covers (None in a partial frame)
 - 'status': 'ok', 'bad' (the checksum), 'not judged' (a UART error in one
   of its bytes) or 'partial'
 - 'total': the frame's size as its length byte says (0 when a partial
   frame ended before it)
 - 'bytes': the frame's bytes as received; of a partial frame, what came
 - 'samples': each byte's first and last sample, as (ss, es) pairs (the
   UART's es less one, which may be the next byte's first sample)
 - 'errors': each byte's UART error: None, 'frame', 'parity' or
   'parity and frame'
"""

from math import ceil

import sigrokdecode as srd

SYNC = 0x55
# The second sync byte gives the version.
VERSIONS = {0xAA: 1, 0xBB: 2}
# A frame's size besides what its length byte counts: version 1's length byte
# counts the command as well as the payload.
OVERHEAD = {1: 6, 2: 8}
# Sync, address, length byte and command come before the payload; the
# checksum's two bytes after it.
HEADER = 6
TRAILER = 2
# The default gap, as sci monitor's: 20 characters, 50 ms at least. A
# character is measured on the line, start bit to stop bit.
GAP_MIN_MS = 50
GAP_CHARACTERS = 20
DIRECTIONS = ('RX', 'TX')

(A_SYNC, A_ADDR, A_LEN, A_CMD, A_PAYLOAD, A_CHECKSUM, A_GOOD, A_BAD, A_UNJUDGED,
 A_WARNING) = range(10)


class Byte:
    """One byte the UART received: its value, its first and last sample, and
    the UART's complaint about it (None, 'frame', 'parity' or both)."""

    __slots__ = ('value', 'ss', 'es', 'error')

    def __init__(self, value, ss, es, error):
        self.value, self.ss, self.es, self.error = value, ss, es, error


def shorter(texts):
    """An annotation's texts, each shorter than the one before, as PulseView
    picks the first that fits."""
    kept = texts[:1]
    for t in texts[1:]:
        if len(t) < len(kept[-1]):
            kept.append(t)
    return kept


def hex_bytes(values):
    """Bytes as two hex digits each, blank between: `AB CD`."""
    return ' '.join('%02X' % v for v in values)


def frame_words(version, addr, cmd, payload, verdict):
    """A complete frame in the words of `sci scan`."""
    words = 'v%d addr 0x%02X cmd 0x%04X len %d %s' % (version, addr, cmd, len(payload), verdict)
    return words + ' ' + hex_bytes(payload) if payload else words


def partial_words(version, values, total):
    """A partial frame in the words of `sci monitor`."""
    words = 'v%d' % version
    if len(values) > 2:
        words += ' addr 0x%02X' % values[2]
    if len(values) > 5:
        words += ' cmd 0x%04X' % (values[4] << 8 | values[5])
    if total:
        return words + ' truncated, %d of %d bytes' % (len(values), total)
    return words + ' truncated, %d bytes' % len(values)


class Decoder(srd.Decoder):
    api_version = 3
    id = 'sci'
    name = 'SCI'
    longname = 'SCI frames'
    desc = 'SCI frames on a UART: sync, address, length, command, payload, checksum.'
    license = 'mit'
    inputs = ['uart']
    outputs = ['sci']
    tags = ['Embedded/industrial']
    options = (
        {'id': 'direction', 'desc': 'UART direction to read', 'default': 'RX',
         'values': DIRECTIONS},
        {'id': 'gap', 'default': -1,
         'desc': 'Gap that drops a partial frame (ms; 0: none; -1: 20 characters, 50 ms at least)'},
    )
    annotations = (
        ('sync', 'Sync header'),
        ('addr', 'Address'),
        ('len', 'Length byte'),
        ('cmd', 'Command'),
        ('payload', 'Payload'),
        ('checksum', 'Checksum'),
        ('frame-ok', 'Frame, checksum ok'),
        ('frame-bad', 'Frame, checksum bad'),
        ('frame-unjudged', 'Frame with a UART error, not judged'),
        ('warning', 'Warning'),
    )
    annotation_rows = (
        ('fields', 'Fields', (A_SYNC, A_ADDR, A_LEN, A_CMD, A_PAYLOAD, A_CHECKSUM)),
        ('frames', 'Frames', (A_GOOD, A_BAD, A_UNJUDGED)),
        ('warnings', 'Warnings', (A_WARNING,)),
    )
    binary = (
        ('frames', 'Complete frames'),
    )

    def __init__(self):
        self.reset()

    def reset(self):
        """Forgets every byte: a new capture starts."""
        self.samplerate = None
        self.held = []      # bytes received and not yet passed over
        self.stale = 0      # the first `stale` held can only complete each other
        self.newest = 0     # the last sample of the newest byte received
        self.value = None   # the byte the UART is receiving, once its data bits came
        self.error = None
        self.gap_ms = None  # the gap; by default unknown until a byte has come
        self.pending = None  # a shown frame whose annotations wait for the next frame

    def start(self):
        """Registers the outputs and reads the options."""
        self.out_ann = self.register(srd.OUTPUT_ANN)
        self.out_python = self.register(srd.OUTPUT_PYTHON)
        self.out_binary = self.register(srd.OUTPUT_BINARY)
        direction = str(self.options['direction'])
        if direction.upper() not in DIRECTIONS:
            raise ValueError('the direction is RX or TX, in either case, not %r' % direction)
        self.rxtx = DIRECTIONS.index(direction.upper())
        if self.options['gap'] < -1:
            raise ValueError('the gap is 0 (none) or more ms, or -1 (the default), not %d'
                             % self.options['gap'])
        if self.options['gap'] >= 0:
            self.gap_ms = self.options['gap']

    def metadata(self, key, value):
        """Takes the sample rate: the gap is measured in samples."""
        if key == srd.SRD_CONF_SAMPLERATE:
            self.samplerate = value

    def decode(self, ss, es, data):
        """Takes the UART decoder's packets of the chosen direction: a byte
        is its DATA, with the parity and stop bits' complaints, complete at
        its FRAME. Every packet tells the time, so that a frame is dropped
        once the gap has passed, even when no byte follows."""
        ptype, rxtx, pdata = data
        if rxtx != self.rxtx:
            return
        self.tick(es)
        if ptype == 'DATA':
            self.value, self.error = pdata[0], None
        elif ptype == 'PARITY ERROR':
            self.error = 'parity'
        elif ptype == 'INVALID STOPBIT':
            self.error = 'parity and frame' if self.error else 'frame'
        elif ptype == 'FRAME' and self.value is not None:
            # A FRAME with no DATA before it was a false start bit: no byte.
            if self.gap_ms is None and self.samplerate:
                chars = GAP_CHARACTERS * (es - ss) * 1000 / self.samplerate
                self.gap_ms = max(GAP_MIN_MS, ceil(chars))
            # The UART's stop bit may end a sample into the next start bit.
            b = Byte(self.value, ss, es - 1, self.error)
            if b.value > 0xFF:
                self.put_ann(b, b, A_WARNING, [
                    'Value 0x%X above 0xFF (more than 8 data bits?): no SCI byte, a frame '
                    'holding it is dropped' % b.value,
                    'Value 0x%X above 0xFF' % b.value, '0x%X > 0xFF' % b.value, '> 0xFF'])
            self.held.append(b)
            self.newest = es
            self.value = None
            self.search()

    def tick(self, now):
        """Makes every byte held final once `now` is more than the gap after
        the newest: bytes still to come can no longer complete them."""
        gap = self.gap_ms
        if (gap and self.samplerate and self.held and
                now - self.newest > gap * self.samplerate / 1000):
            self.stale = len(self.held)
            self.search()

    def skip(self, count):
        """Passes over `count` bytes: no frame starts in them."""
        del self.held[:count]
        self.stale = max(0, self.stale - count)

    def search(self):
        """Hands out every frame the bytes held give, as the stream reader
        finds them, and stops where a frame waits for bytes yet to come. A
        candidate holding a value above 0xFF is no frame."""
        held = self.held
        while held:
            if held[0].value != SYNC:
                self.skip(next((i for i, b in enumerate(held) if b.value == SYNC), len(held)))
                continue
            final = self.stale > 0
            have = self.stale if final else len(held)
            if have < 2:
                if not final:
                    break
                self.skip(1)  # a lone 55: no version, no frame
                continue
            version = VERSIONS.get(held[1].value)
            if version is None:
                self.skip(1)
                continue
            total = 0
            if have > 3:
                if version == 1 and held[3].value < 2:
                    self.skip(1)  # no frame has that length
                    continue
                total = held[3].value + OVERHEAD[version]
            span = have if total == 0 or have < total else total
            if any(b.value > 0xFF for b in held[:span]):
                self.skip(1)  # no frame: its warning is on the value
            elif total == 0 or have < total:
                if not final:
                    break
                self.partial(version, held[:have], total)
                self.skip(1)
            elif self.complete(version, held[:total]):
                self.skip(total)
            else:
                self.skip(1)
        self.show()

    def put_ann(self, first, last, cls, texts):
        """Annotates the samples of bytes `first` to `last`."""
        self.put(first.ss, last.es, self.out_ann, [cls, shorter(texts)])

    def show(self, frame=None, anns=(), final=True):
        """Shows the annotations of `frame`: at once when `final`, or once
        the next frame is known, since the search goes on inside this one.
        A frame waiting to be shown ends where this one begins; it is shown
        whole once no frame can begin inside it any more."""
        if self.pending:
            bytes_, waiting = self.pending
            cut = frame[0] if frame else None
            if cut is None and self.held and self.held[0].ss <= bytes_[-1].ss:
                return
            end = bytes_[-1] if cut is None or cut.ss > bytes_[-1].ss else \
                bytes_[[b.ss < cut.ss for b in bytes_].index(False) - 1]
            for first, last, cls, texts in waiting:
                if first.ss <= end.ss:
                    self.put_ann(first, last if last.ss <= end.ss else end, cls, texts)
            self.pending = None
        if final:
            for ann in anns:
                self.put_ann(*ann)
        elif frame:
            self.pending = (frame, anns)

    def complete(self, version, frame):
        """Shows a complete frame and judges it, unless a byte of it came with
        a UART error. Returns whether it is good."""
        values = [b.value for b in frame]
        payload = bytes(values[HEADER:-TRAILER])
        addr, cmd = values[2], values[4] << 8 | values[5]
        sent = values[-2] | values[-1] << 8
        total = sum(values[2:-TRAILER]) & 0xFFFF
        errors = [b.error for b in frame]
        if any(errors):
            status, cls = 'not judged', A_UNJUDGED
        elif sent == total:
            status, cls = 'ok', A_GOOD
        else:
            status, cls = 'bad', A_BAD

        n = len(payload)
        short = {'ok': 'ok', 'bad': 'bad', 'not judged': '?'}[status]
        anns = [(frame[0], frame[1], A_SYNC,
                 ['Sync %s, version %d' % (hex_bytes(values[:2]), version),
                  'Sync v%d' % version, 'v%d' % version, 'S']),
                (frame[2], frame[2], A_ADDR,
                 ['Address 0x%02X' % addr, 'Addr 0x%02X' % addr, '%02X' % addr, 'A'])]
        if version == 1:
            length = 'Length %d: command and %d payload bytes' % (values[3], n)
        else:
            length = 'Length %d' % values[3]
        anns += [(frame[3], frame[3], A_LEN, [length, 'Len %d' % values[3], '%d' % values[3], 'L']),
                 (frame[4], frame[5], A_CMD,
                  ['Command 0x%04X' % cmd, 'Cmd 0x%04X' % cmd, '%04X' % cmd, 'C'])]
        if n:
            anns.append((frame[HEADER], frame[-TRAILER - 1], A_PAYLOAD,
                         ['Payload ' + hex_bytes(payload), 'Payload, %d bytes' % n,
                          '%d bytes' % n if n > 1 else '1 byte', 'P']))
        anns.append((frame[-2], frame[-1], A_CHECKSUM,
                     ['Checksum 0x%04X %s' % (sent, status), 'Sum %s' % status, short]))

        verdict = status if cls == A_UNJUDGED else 'checksum ' + status
        words = frame_words(version, addr, cmd, payload, verdict)
        anns.append((frame[0], frame[-1], cls,
                     [words, 'v%d 0x%02X 0x%04X %s' % (version, addr, cmd, status),
                      'v%d %s' % (version, status), short]))
        if cls == A_BAD:
            anns.append((frame[-2], frame[-1], A_WARNING,
                         ['Checksum bad: sent 0x%04X, should be 0x%04X' % (sent, total),
                          'Checksum should be 0x%04X' % total, 'Bad checksum', 'Bad']))
        for i, b in enumerate(frame):
            if b.error:
                anns.append((b, b, A_WARNING,
                             ['UART %s error in byte %d of the frame (the sync is 0): not judged'
                              % (b.error, i), 'UART %s error' % b.error, 'UART error', 'E']))
        self.show(frame, anns, cls == A_GOOD)

        self.put(frame[0].ss, frame[-1].es, self.out_binary, [0, bytes(values)])
        self.put(frame[0].ss, frame[-1].es, self.out_python, ['FRAME', {
            'version': version, 'addr': addr, 'cmd': cmd, 'len': n, 'payload': payload,
            'checksum': sent, 'sum': total, 'status': status, 'total': len(frame),
            'bytes': bytes(values), 'samples': [(b.ss, b.es) for b in frame],
            'errors': errors}])
        return cls == A_GOOD

    def partial(self, version, frame, total):
        """Shows a frame cut off by the gap, and hands it out as partial."""
        values = [b.value for b in frame]
        words = partial_words(version, values, total)
        self.show(frame, [(frame[0], frame[-1], A_WARNING,
                           ['%s: no byte for more than %d ms' % (words, self.gap_ms),
                            'Partial frame dropped', 'Partial', 'P'])], False)
        self.put(frame[0].ss, frame[-1].es, self.out_python, ['PARTIAL', {
            'version': version,
            'addr': values[2] if len(values) > 2 else None,
            'cmd': values[4] << 8 | values[5] if len(values) > 5 else None,
            'len': None, 'payload': None, 'checksum': None, 'sum': None,
            'status': 'partial', 'total': total, 'bytes': bytes(values),
            'samples': [(b.ss, b.es) for b in frame], 'errors': [b.error for b in frame]}])
