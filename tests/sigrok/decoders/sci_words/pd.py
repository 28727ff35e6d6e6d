# SPDX-License-Identifier: MIT
"""Shows each frame the sci decoder hands out as Python output in the words
of `sci scan`, from its fields alone, for the sigrok test to compare."""

import sigrokdecode as srd


class Decoder(srd.Decoder):
    api_version = 3
    id = 'sci_words'
    name = 'SCI words'
    longname = 'SCI frames in the words of sci scan'
    desc = 'The sci decoder\'s Python output as text.'
    license = 'mit'
    inputs = ['sci']
    outputs = []
    tags = ['Embedded/industrial']
    annotations = (('frame', 'Frame'),)

    def reset(self):
        """No state."""

    def start(self):
        """Registers the annotations."""
        self.out_ann = self.register(srd.OUTPUT_ANN)

    def decode(self, ss, es, data):
        """One annotation a frame; a partial one as `truncated, N of M bytes`."""
        ptype, f = data
        text = 'v%d' % f['version']
        text += ' addr 0x%02X' % f['addr'] if f['addr'] is not None else ''
        text += ' cmd 0x%04X' % f['cmd'] if f['cmd'] is not None else ''
        if ptype == 'PARTIAL':
            text += ' truncated, %d' % len(f['bytes'])
            text += ' of %d bytes' % f['total'] if f['total'] else ' bytes'
        else:
            verdict = 'checksum ' * (f['status'] != 'not judged') + f['status']
            text += ' len %d %s' % (f['len'], verdict) + ''.join(' %02X' % b for b in f['payload'])
        self.put(ss, es, self.out_ann, [0, [text]])
