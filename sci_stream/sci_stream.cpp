/* SCI stream reader. How frames are found and judged: sci_stream.h. */
#include "sci_stream.h"

#include <string.h>

#define SYNC 0x55
/* Sync, address, length byte and command: what comes before the payload. */
#define HEADER 6

extern "C" void sci_stream_init(sci_stream_t *s, uint32_t gap_ms)
{
    memset(s, 0, sizeof *s);
    s->gap_ms = gap_ms;
    s->want_addr = SCI_STREAM_ANY;
    s->want_cmd = SCI_STREAM_ANY;
}

extern "C" void sci_stream_filter(sci_stream_t *s, int32_t addr, int32_t cmd)
{
    s->want_addr = addr;
    s->want_cmd = cmd;
}

/* Everything held is final: what is incomplete now stays so. */
static void mark_stale(sci_stream_t *s)
{
    s->stale = s->fill;
    s->stale_ms = s->now_ms;
}

extern "C" size_t sci_stream_feed(sci_stream_t *s, const uint8_t *bytes, size_t n, uint64_t now_ms)
{
    size_t room;

    if (s->gap_ms != 0 && s->fill > s->pos && now_ms > s->now_ms && now_ms - s->now_ms > s->gap_ms)
        mark_stale(s);
    if (n == 0)
        return 0;
    room = sizeof s->buf - s->fill;
    if (room < n && s->pos != 0) {
        /* What is still held moves to the front: at most one frame waiting
         * for its end, when the caller takes frames out as it goes. */
        memmove(s->buf, s->buf + s->pos, (size_t)(s->fill - s->pos));
        s->base += s->pos;
        s->fill = (uint16_t)(s->fill - s->pos);
        s->stale = s->stale > s->pos ? (uint16_t)(s->stale - s->pos) : 0;
        s->pos = 0;
        room = sizeof s->buf - s->fill;
    }
    if (n > room)
        n = room;
    if (n != 0) {
        memcpy(s->buf + s->fill, bytes, n);
        s->fill = (uint16_t)(s->fill + n);
        s->now_ms = now_ms;
    }
    return n;
}

extern "C" void sci_stream_end(sci_stream_t *s)
{
    mark_stale(s);
}

/* Whether the filters let the frame through. A field the bytes do not hold
 * passes no filter on it. */
static bool wanted(const sci_stream_t *s, const sci_stream_frame_t *f)
{
    return (s->want_addr == SCI_STREAM_ANY || (f->size > 2 && f->addr == s->want_addr)) &&
           (s->want_cmd == SCI_STREAM_ANY ||
            (f->size > 5 && (f->cmd == s->want_cmd || f->cmd == 0xFFFF)));
}

/* Passes over `count` bytes at pos: no frame starts in them. */
static void skip(sci_stream_t *s, size_t count)
{
    s->pos = (uint16_t)(s->pos + count);
    s->counters.skipped += count;
}

extern "C" int sci_stream_next(sci_stream_t *s, sci_stream_frame_t *f)
{
    for (;;) {
        const uint8_t *p = s->buf + s->pos;
        size_t held = (size_t)(s->fill - s->pos);
        const uint8_t *sync;
        bool final;
        size_t have;
        sci_pack_t rec;

        if (held == 0)
            return 0;
        if (p[0] != SYNC) {
            sync = (const uint8_t *)memchr(p, SYNC, held);
            skip(s, sync != NULL ? (size_t)(sync - p) : held);
            continue;
        }
        /* Bytes before the stale mark can only be completed by each other. */
        final = s->pos < s->stale;
        have = final ? (size_t)(s->stale - s->pos) : held;
        if (have < 2) {
            if (!final)
                return 0;
            skip(s, 1); /* a lone 55: no version, no frame */
            continue;
        }
        if (p[1] != 0xAA && p[1] != 0xBB) {
            skip(s, 1);
            continue;
        }
        memset(f, 0, sizeof *f);
        f->offset = s->base + s->pos;
        f->bytes = p;
        f->version = p[1] == 0xAA ? 1 : 2;
        f->time_ms = final ? s->stale_ms : s->now_ms;
        if (have > 2)
            f->addr = p[2];
        if (have > 3) {
            if (f->version == 1 && p[3] < 2) {
                skip(s, 1); /* no frame has that length */
                continue;
            }
            /* The length byte counts the command in version 1, not in 2. */
            f->total = (uint16_t)(p[3] + (f->version == 1 ? 6 : 8));
        }
        if (have > 5)
            f->cmd = (uint16_t)(p[4] << 8 | p[5]);
        if (f->total == 0 || have < f->total) {
            if (!final)
                return 0;
            f->size = (uint16_t)have;
            f->result = SCI_STREAM_PARTIAL;
            s->counters.dropped++;
            skip(s, 1);
        } else {
            /* The codec judges the frame against its own address and command,
             * and copies the payload onto itself. */
            f->size = f->total;
            rec.len = 0;
            rec.data = s->buf + s->pos + HEADER;
            f->result = cu_korvi_sci_unpack(f->addr, f->cmd, &rec, p, f->size);
            f->len = rec.len;
            f->payload = p + HEADER;
            if (f->result == SCI_OK) {
                s->counters.good++;
                s->pos = (uint16_t)(s->pos + f->size);
            } else {
                s->counters.bad++;
                skip(s, 1);
            }
        }
        if (wanted(s, f))
            return 1;
    }
}
