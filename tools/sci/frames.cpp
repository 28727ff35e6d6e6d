// SPDX-License-Identifier: MIT
/* Frames out of what was read, for every mode, and frames damaged on
 * purpose. */
#include "frames.h"

#include <stdio.h>
#include <string.h>

void feed_start(struct feed *fe, sci_stream_t *rd, const uint8_t *bytes, size_t n)
{
    fe->rd = rd;
    fe->bytes = bytes;
    fe->n = n;
    fe->at = 0;
    fe->fed = false;
}

void feed_end(struct feed *fe, sci_stream_t *rd)
{
    sci_stream_end(rd);
    feed_start(fe, rd, NULL, 0);
    fe->fed = true;
}

/* However much one read brought, all of it is fed, and every frame taken out
 * as the reader finds it: the counts then hold every byte read. */
bool feed_next(struct feed *fe, uint64_t now_ms, sci_stream_frame_t *f)
{
    for (;;) {
        if (sci_stream_next(fe->rd, f))
            return true;
        if (fe->fed && fe->at >= fe->n)
            return false;
        fe->at += sci_stream_feed(fe->rd, fe->bytes + fe->at, fe->n - fe->at, now_ms);
        fe->fed = true;
    }
}

void filter_frames(sci_stream_t *rd, const struct options *opt)
{
    sci_stream_filter(rd, opt->addr == NO_VALUE ? SCI_STREAM_ANY : (int32_t)opt->addr,
                      opt->cmd == NO_VALUE ? SCI_STREAM_ANY : (int32_t)opt->cmd);
}

int fault_word(const char *const *words, int count, struct fault *fa, char *why, size_t room)
{
    const char *word = words[0];
    long max = strcmp(word, "noise") == 0 ? NOISE_MAX : FRAME_MAX - 1;
    long value;

    if (strcmp(word, "bad-checksum") == 0) {
        fa->bad_checksum = true;
        return 1;
    }
    if (strcmp(word, "noise") != 0 && strcmp(word, "cut") != 0)
        return 0;
    if (count < 2) {
        (void)snprintf(why, room, "%s needs a number", word);
        return -1;
    }
    value = parse_number(words[1], max);
    if (value < 1) {
        (void)snprintf(why, room, "%s takes a number from 1 to %ld, not '%s'", word, max, words[1]);
        return -1;
    }
    if (strcmp(word, "noise") == 0)
        fa->noise = value;
    else
        fa->cut = value;
    return 2;
}

size_t fault_apply(const struct fault *fa, const uint8_t *frame, size_t n, uint8_t *out)
{
    /* The same noise every time, so that a run can be repeated. */
    uint32_t seed = 0x2545F491u;
    size_t k = 0;

    for (; k < (size_t)fa->noise; k++) {
        seed = seed * 1103515245u + 12345u;
        out[k] = (uint8_t)(seed >> 16);
        if (out[k] == 0x55)
            out[k] = 0xAA;
    }
    memcpy(out + k, frame, n);
    /* The checksum is the frame's last two bytes. */
    if (fa->bad_checksum)
        out[k + n - 2] ^= 0xFF;
    if (fa->cut != 0 && (size_t)fa->cut < n)
        n = (size_t)fa->cut;
    return k + n;
}
