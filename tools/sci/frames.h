/* SPDX-License-Identifier: MIT */
/* Frames out of what was read, and frames damaged on purpose: the fault
 * words "noise N", "bad-checksum" and "cut N". */
#ifndef SCI_FRAMES_H
#define SCI_FRAMES_H

#include "args.h"

/* One read being fed to a stream reader, frame by frame. */
struct feed {
    sci_stream_t *rd;
    const uint8_t *bytes;
    size_t n;
    size_t at;
    bool fed;
};

/* Starts feeding `n` bytes (0: only the time, which drops a stale partial
 * frame) to `rd`. */
void feed_start(struct feed *fe, sci_stream_t *rd, const uint8_t *bytes, size_t n);
/* Ends the stream: what it holds is cut off, and feed_next hands out what
 * that gives, feeding nothing more. */
void feed_end(struct feed *fe, sci_stream_t *rd);
/* The next frame out of the read: feeds more of it, stamped `now_ms`, when
 * the reader has none ready. Every byte is fed before it returns false. */
bool feed_next(struct feed *fe, uint64_t now_ms, sci_stream_frame_t *f);

/* Hands out only the frames -a and -c ask for (all when not given). */
void filter_frames(sci_stream_t *rd, const struct options *opt);

#define NOISE_MAX 4096

/* What to do to a frame before it is written; 0 for none. */
struct fault {
    long noise; /* bytes of noise, without a sync byte, before the frame */
    bool bad_checksum;
    long cut; /* bytes of the frame written */
};

/* Reads one fault word at words[0] (and its number at words[1]). Returns how
 * many words it took, 0 when words[0] is no fault word, or -1 with `why`
 * (`room` bytes) said. */
int fault_word(const char *const *words, int count, struct fault *fa, char *why, size_t room);
/* Applies the fault to the frame of `n` bytes and writes the result into
 * `out` (NOISE_MAX + FRAME_MAX bytes). Returns its length. */
size_t fault_apply(const struct fault *fa, const uint8_t *frame, size_t n, uint8_t *out);

#endif
