/* SPDX-License-Identifier: MIT */
/*
 * SCI stream reader: finds SCI frames in bytes that arrive in pieces of any
 * size, as they do from a serial line, and lets the codec judge each one.
 *
 * The caller owns the reader, one struct of fixed size: no heap, no globals,
 * no callbacks, no clock. It hands the reader bytes with the time they came
 * (in milliseconds, from a clock that does not go back, CLOCK_MONOTONIC say)
 * and takes frames out one at a time. A receive loop on a descriptor, which
 * feeds only the time when nothing came for longer than the gap, so that a
 * frame cut off is reported without waiting for the next byte:
 *
 *   // Feeds what fd brings to `rd` until its end (returns 0) or an error
 *   // (returns -1, errno says which); every frame goes to handle().
 *   int receive(int fd, sci_stream_t *rd, int gap_ms)
 *   {
 *       struct pollfd p = {fd, POLLIN, 0};
 *       sci_stream_frame_t f;
 *       uint8_t chunk[256];
 *       size_t n, at;
 *       ssize_t got;
 *       int status = 0;
 *
 *       for (;;) {
 *           n = 0; // nothing came in time: the reader gets the time alone
 *           if (poll(&p, 1, gap_ms > 0 ? gap_ms + 1 : -1) > 0) {
 *               got = read(fd, chunk, sizeof chunk);
 *               if (got < 0 && (errno == EINTR || errno == EAGAIN))
 *                   continue;
 *               if (got <= 0) {
 *                   status = got == 0 ? 0 : -1;
 *                   break;
 *               }
 *               n = (size_t)got;
 *           }
 *           // The reader may take fewer bytes than it is given: taking
 *           // the frames out lets it take the rest.
 *           at = 0;
 *           do {
 *               at += sci_stream_feed(rd, chunk + at, n - at, now_ms());
 *               while (sci_stream_next(rd, &f))
 *                   handle(&f);
 *           } while (at < n);
 *       }
 *       sci_stream_end(rd); // what is still incomplete stays so
 *       while (sci_stream_next(rd, &f))
 *           handle(&f);
 *       return status;
 *   }
 *
 * A frame starts at a sync header, 55 AA (version 1, read as the codec's
 * unpacker reads it) or 55 BB (version 2), and ends where its length byte
 * says. Every complete frame goes to cu_korvi_sci_unpack with its own address
 * and command, and the codec's verdict comes with it. After a good frame the
 * search goes on behind it; after a bad checksum, a cut-off frame or a
 * version-1 length byte below 2, one byte after its start, so that a good
 * frame inside a damaged one is still found. Each byte is looked at a bounded
 * number of times, so the work is linear in the bytes fed.
 *
 * A frame still incomplete when bytes come that are more than the gap younger
 * than its last byte is cut off there and reported as partial, so that a
 * stale header's length byte cannot swallow the frames that follow it. A gap
 * of 0 turns this off. sci_stream_end cuts the stream in the same way, as the
 * end of input. The frames found depend only on the bytes, their times and
 * where the input was ended: not on how the bytes were split into pieces, nor
 * on when frames were taken out or the time alone was fed.
 */
#ifndef SCI_STREAM_H
#define SCI_STREAM_H

#include <stddef.h>
#include <stdint.h>

#include <sci_codec.h>

#if defined(SCI_STREAM_BUILD) && defined(__GNUC__)
#define SCI_STREAM_API __attribute__((visibility("default")))
#else
#define SCI_STREAM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Longest frame of either version: version 2 with 255 payload bytes. */
#define SCI_STREAM_FRAME_MAX 263
/* Bytes the reader holds: at least one frame more than it waits for. */
#define SCI_STREAM_BUFFER 1024
/* A filter value that lets every address or command through. */
#define SCI_STREAM_ANY (-1)
/* A frame's result when it was cut off (by the gap or the end of input):
 * not a codec verdict, the codec never saw it. */
#define SCI_STREAM_PARTIAL (-6)

/* One frame, as sci_stream_next hands it out. The pointers lead into the
 * reader and stay valid until the next sci_stream_feed, sci_stream_put or
 * sci_stream_init. */
typedef struct sci_stream_frame_t {
    uint64_t offset;        /* where its first byte lies in the stream, from 0 */
    uint64_t time_ms;       /* when its last byte came: the time fed with it */
    const uint8_t *bytes;   /* the frame as received, `size` bytes */
    const uint8_t *payload; /* its payload, `len` bytes (complete frames) */
    uint16_t size;          /* bytes: the whole frame, or what came of a partial one */
    uint16_t total;         /* bytes its length byte announces; 0 if cut before it */
    int16_t result;         /* SCI_OK, SCI_ERR_CHECKSUM, or SCI_STREAM_PARTIAL */
    uint8_t version;        /* 1 or 2 */
    uint8_t addr;           /* the address byte, when size > 2 */
    uint16_t cmd;           /* the command, when size > 5 */
    uint16_t len;           /* payload length (complete frames), as the codec reads it */
} sci_stream_frame_t;

/* What the reader has seen, whatever the filters let through. */
typedef struct sci_stream_counters_t {
    uint64_t good;    /* frames the codec accepted */
    uint64_t bad;     /* complete frames with a bad checksum */
    uint64_t skipped; /* bytes passed over: every byte fed is in a good frame, skipped, or held */
    uint64_t dropped; /* partial frames: cut off by the gap or by the end of input */
} sci_stream_counters_t;

/* The reader. Read `counters` freely; the rest is the reader's own. */
typedef struct sci_stream_t {
    sci_stream_counters_t counters;
    uint64_t base;     /* stream offset of buf[0] */
    uint64_t now_ms;   /* the time fed with the newest bytes */
    uint64_t stale_ms; /* the time of the last byte before the stale mark */
    uint32_t gap_ms;
    int32_t want_addr;
    int32_t want_cmd;
    uint16_t pos;   /* first byte not yet passed over */
    uint16_t fill;  /* end of the bytes held */
    uint16_t stale; /* bytes before it can no longer be completed */
    uint16_t need;  /* fill the frame at pos waits for; 0: look again */
    uint16_t limit; /* fill below which a byte is taken at once; 0 while a cut waits */
    uint8_t buf[SCI_STREAM_BUFFER];
} sci_stream_t;

/* Makes `s` an empty reader at stream offset 0, with the gap in ms (0: none)
 * and no filters. */
SCI_STREAM_API void sci_stream_init(sci_stream_t *s, uint32_t gap_ms);

/* Hands out only frames with address `addr` and only frames with command
 * `cmd` or 0xFFFF (those the codec accepts expecting them); SCI_STREAM_ANY
 * lets every value through. A partial frame cut before the field passes no
 * filter on it. */
SCI_STREAM_API void sci_stream_filter(sci_stream_t *s, int32_t addr, int32_t cmd);

/* Takes bytes that came at `now_ms` and returns how many it took. It takes
 * fewer than `n`, perhaps none, only when what it holds must be taken out
 * first: its buffer is full, or bytes before a cut (the gap, or
 * sci_stream_end) are still held. Then call sci_stream_next until it returns
 * 0 and feed the rest: that feed takes some. With n = 0 it only tells the
 * reader the time, so that a partial frame is cut off once the gap has passed
 * even when nothing more comes. */
SCI_STREAM_API size_t sci_stream_feed(sci_stream_t *s, const uint8_t *bytes, size_t n,
                                      uint64_t now_ms);

/* Takes one byte that came at `now_ms`: the call for a receive loop that
 * gets a byte at a time (a UART's interrupt, a read of one byte). Returns 1
 * when sci_stream_next has something to look at, a frame complete, bad or cut
 * off (the filters may still let none of it through), and 0 when it has not:
 * then sci_stream_next would return 0. After a 1, take the frames out
 * (sci_stream_next until it returns 0) before the next put or feed; the
 * frames are then exactly those that sci_stream_feed gives of the same bytes
 * and times. It never refuses a byte, not even right after a gap or
 * sci_stream_end: the bytes before the cut are held apart, and this one goes
 * behind them. A caller that puts on without taking frames out gets them
 * later; should it leave 1024 bytes in, each byte put from then on passes
 * over the oldest one held, counted as skipped. */
SCI_STREAM_API int sci_stream_put(sci_stream_t *s, uint8_t byte, uint64_t now_ms);

/* Puts the next frame, complete or partial, that the filters let through
 * into `*frame` and returns 1; returns 0 when the bytes held give no more
 * (more must be fed). */
SCI_STREAM_API int sci_stream_next(sci_stream_t *s, sci_stream_frame_t *frame);

/* Ends the input: a frame still incomplete is partial. Feeding may go on
 * afterwards, as a new stretch of the same stream. */
SCI_STREAM_API void sci_stream_end(sci_stream_t *s);

#ifdef __cplusplus
}
#endif

#endif /* SCI_STREAM_H */
