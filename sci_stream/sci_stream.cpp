// SPDX-License-Identifier: MIT
/* SCI stream reader. How frames are found and judged: sci_stream.h.
 *
 * The bytes held are buf[pos, fill): pos is where the search stands, at the
 * start of the frame being put together. Bytes before `stale` were followed
 * by a cut (the gap, or the end of input): a frame that starts there can only
 * be completed by them. Once the frame at pos has been looked at, `need` is
 * the fill it waits for, so that feeding a byte and asking for a frame that
 * cannot be complete yet costs a few comparisons; 0 means "look again".
 * sci_stream_put, and sci_stream_feed of one byte, store no byte they pass
 * over while the search waits with nothing held (or with a 55 held, for
 * another 55): `base` moves on instead, so that base + pos stays the stream
 * offset of the byte at pos. */
#include "sci_stream.h"

#include <string.h>

#define SYNC 0x55
/* The byte after the sync byte: AA for version 1, BB for version 2. */
#define VERSION(b) ((b) == 0xAA || (b) == 0xBB)
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
static void cut(sci_stream_t *s)
{
    s->stale = s->fill;
    s->stale_ms = s->now_ms;
    s->need = 0;
    s->limit = 0;
}

/* Moves what is still held to the front, to make room behind it. */
static void move_to_front(sci_stream_t *s)
{
    memmove(s->buf, s->buf + s->pos, (size_t)(s->fill - s->pos));
    s->base += s->pos;
    s->fill = (uint16_t)(s->fill - s->pos);
    s->stale = s->stale > s->pos ? (uint16_t)(s->stale - s->pos) : 0;
    s->need = s->need > s->pos ? (uint16_t)(s->need - s->pos) : 0;
    s->pos = 0;
}

/* Every feed but a byte taken at once. */
static __attribute__((noinline)) size_t feed_bytes(sci_stream_t *s, const uint8_t *bytes, size_t n,
                                                   uint64_t now_ms)
{
    size_t room;

    /* No byte goes behind a cut before what it cut off is taken out: a
     * second cut (the end of input, the gap again) would move it. */
    if (s->pos < s->stale)
        return 0;
    s->limit = SCI_STREAM_BUFFER;
    if (s->gap_ms != 0 && now_ms > s->now_ms && now_ms - s->now_ms > s->gap_ms &&
        s->fill > s->pos) {
        cut(s);
        return 0;
    }
    if (n == 0)
        return 0;
    room = SCI_STREAM_BUFFER - s->fill;
    if (room < n && s->pos != 0) {
        /* At most one frame waits for its end, when the caller takes frames
         * out as it goes. */
        move_to_front(s);
        room = SCI_STREAM_BUFFER - s->fill;
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

/* Copies 2 to 16 bytes without a call: the pieces a UART read gives in raw
 * mode. The two copies of each pair may overlap. */
static inline void copy_short(uint8_t *to, const uint8_t *from, size_t n)
{
    if (n >= 8) {
        memcpy(to, from, 8);
        memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
        memcpy(to, from, 4);
        memcpy(to + n - 4, from + n - 4, 4);
    } else {
        memcpy(to, from, 2);
        to[n - 1] = from[n - 1];
    }
}

/* Whether bytes at `now_ms` surely follow the newest held within the gap; a
 * time that went back or past the gap is for feed_bytes to judge. */
static inline bool within_gap(const sci_stream_t *s, uint64_t now_ms)
{
    return s->gap_ms == 0 || now_ms - s->now_ms <= s->gap_ms;
}

/* While the search waits for a byte, with nothing held, one that is not 55
 * is passed over; with a 55 held, another 55 is passed over in its stead.
 * Neither is stored: the stream moves on past the bytes held. A gap changes
 * neither, as a 55 alone makes no frame. Says whether it passed `byte` over. */
static inline bool passes_over(sci_stream_t *s, uint8_t byte, uint64_t now_ms)
{
    if (s->need != s->fill + 1 || s->fill - s->pos != (byte == SYNC))
        return false;
    s->base++;
    s->counters.skipped++;
    s->now_ms = now_ms;
    return true;
}

extern "C" size_t sci_stream_feed(sci_stream_t *s, const uint8_t *bytes, size_t n, uint64_t now_ms)
{
    /* Bytes read a few at a time, as a UART often gives them: no cut waits,
     * there is room, and the gap has not passed. */
    if (n == 1 && (s->fill + 1 >= s->need && passes_over(s, bytes[0], now_ms)))
        return 1;
    if (n == 1 && s->fill < s->limit && within_gap(s, now_ms)) {
        s->buf[s->fill++] = bytes[0];
        s->now_ms = now_ms;
        return 1;
    }
    if (n - 2 < 15 && s->fill + n <= s->limit && within_gap(s, now_ms)) {
        copy_short(s->buf + s->fill, bytes, n);
        s->fill = (uint16_t)(s->fill + n);
        s->now_ms = now_ms;
        return n;
    }
    return feed_bytes(s, bytes, n, now_ms);
}

extern "C" void sci_stream_end(sci_stream_t *s)
{
    cut(s);
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

/* The frame at pos can be judged once the bytes held reach pos + count. */
static int wait_for(sci_stream_t *s, size_t count)
{
    s->need = (uint16_t)(s->pos + count);
    return 0;
}

/* A machine word, and one of 55 in every byte. */
typedef unsigned long word_t;
#define WORD sizeof(word_t)
#define RUN ((word_t)-1 / 0xFF * SYNC)

/* The first of the WORD bytes at p that is not 55, or WORD. */
static inline size_t first_other(const uint8_t *p)
{
    word_t w;
    size_t i = 0;

    memcpy(&w, p, WORD);
    if (w == RUN)
        return WORD;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    /* The lowest byte that differs comes first in memory. */
    i = (size_t)__builtin_ctzl(w ^ RUN) / 8;
#else
    while (p[i] == SYNC)
        i++;
#endif
    return i;
}

/* The last byte of the run of 55 that starts at p[k], of `held` bytes: four
 * words at a time, then one, each compared with a word of 55, and the last
 * few as the held bytes' last word when that lies in the run. */
static size_t run_end(const uint8_t *p, size_t k, size_t held)
{
    word_t a, b, c, d;
    size_t from = k;
    size_t i;

    while (k + 4 * WORD < held) {
        memcpy(&a, p + k + 1, WORD);
        memcpy(&b, p + k + 1 + WORD, WORD);
        memcpy(&c, p + k + 1 + 2 * WORD, WORD);
        memcpy(&d, p + k + 1 + 3 * WORD, WORD);
        if (((a ^ RUN) | (b ^ RUN) | (c ^ RUN) | (d ^ RUN)) != 0)
            break;
        k += 4 * WORD;
    }
    while (k + WORD < held) {
        i = first_other(p + k + 1);
        k += i;
        if (i < WORD)
            return k;
    }
    if (k + 1 < held && held >= from + WORD) {
        i = first_other(p + held - WORD);
        return held - WORD + i - 1;
    }
    while (k + 1 < held && p[k + 1] == SYNC)
        k++;
    return k;
}

/* Where the first of `held` bytes from `p` on lies that may start a frame: a
 * 55 followed by AA or BB, or a 55 as the last byte; `held` if none. A run of
 * 55 costs no more than other bytes: memchr finds the first 55 after other
 * bytes, and a run is passed over 16 bytes at a time to its last 55, the only
 * one of it that may start a frame. */
static size_t to_sync(const uint8_t *p, size_t held)
{
    const uint8_t *at;
    size_t k = 0;

    for (;;) {
        if (p[k] != SYNC) {
            at = (const uint8_t *)memchr(p + k, SYNC, held - k);
            if (at == NULL)
                return held;
            k = (size_t)(at - p);
        }
        if (k + 1 < held && p[k + 1] == SYNC)
            k = run_end(p, k + 1, held);
        if (k + 1 == held || VERSION(p[k + 1]))
            return k;
        k += 2; /* the byte after the run is neither 55 nor a version */
        if (k >= held)
            return held;
    }
}

/* Looks at the bytes held from pos on, as far as a frame to hand out. */
static __attribute__((noinline)) int find_frame(sci_stream_t *s, sci_stream_frame_t *f)
{
    for (;;) {
        const uint8_t *p = s->buf + s->pos;
        size_t held = (size_t)(s->fill - s->pos);
        bool final;
        size_t have;
        uint16_t total;
        sci_pack_t rec;

        if (held == 0)
            return wait_for(s, 1);
        if (p[0] != SYNC || (held > 1 && !VERSION(p[1]))) {
            skip(s, to_sync(p, held));
            continue;
        }
        /* Bytes before the cut can only be completed by each other. */
        final = s->pos < s->stale;
        have = final ? (size_t)(s->stale - s->pos) : held;
        if (have < 2) {
            if (!final)
                return wait_for(s, 2); /* a 55 alone: the next byte tells */
            skip(s, 1);                /* a lone 55: no version, no frame */
            continue;
        }
        if (have > 3 && p[1] == 0xAA && p[3] < 2) {
            skip(s, 1); /* no frame has that length */
            continue;
        }
        /* The length byte counts the command in version 1, not in 2. */
        total = have > 3 ? (uint16_t)(p[3] + (p[1] == 0xAA ? 6 : 8)) : 0;
        if (!final && (total == 0 || have < total))
            return wait_for(s, total != 0 ? total : 4);

        f->offset = s->base + s->pos;
        f->time_ms = final ? s->stale_ms : s->now_ms;
        f->bytes = p;
        f->payload = NULL;
        f->total = total;
        f->version = p[1] == 0xAA ? 1 : 2;
        f->addr = (uint8_t)(have > 2 ? p[2] : 0);
        f->cmd = (uint16_t)(have > 5 ? p[4] << 8 | p[5] : 0);
        f->len = 0;
        if (total == 0 || have < total) {
            f->size = (uint16_t)have;
            f->result = SCI_STREAM_PARTIAL;
            s->counters.dropped++;
            skip(s, 1);
        } else {
            /* The codec judges the frame against its own address and command;
             * unpacked in place, the payload stays where it is. */
            f->size = total;
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

/* The byte that the frame at pos waited for has come (fill == need): settles
 * what a few comparisons can, and says whether it did. With one or two bytes
 * held the search for a sync header goes on: a byte that is not 55 is passed
 * over, and so is a 55 before it unless the byte is a version byte. At the
 * length byte the frame's end is known. Otherwise, or when it takes a
 * frame's end, find_frame must look. */
static inline __attribute__((always_inline)) bool step(sci_stream_t *s, unsigned fill, uint8_t byte)
{
    unsigned held = fill - s->pos;

    if (held - 1 < 2) {
        if (byte == SYNC) {
            s->counters.skipped += held - 1;
            s->pos = (uint16_t)(fill - 1);
        } else if (held == 2 && VERSION(byte)) {
            s->need = (uint16_t)(fill + 2);
            return true;
        } else {
            s->counters.skipped += held;
            s->pos = (uint16_t)fill;
        }
        s->need = (uint16_t)(fill + 1);
        return true;
    }
    if (held == 4 && (s->buf[fill - 3] == 0xBB || byte >= 2)) {
        s->need = (uint16_t)(s->pos + byte + (s->buf[fill - 3] == 0xAA ? 6 : 8));
        return true;
    }
    return false;
}

extern "C" int sci_stream_next(sci_stream_t *s, sci_stream_frame_t *f)
{
    /* The frame at pos still waits for its end, and no cut is due. */
    if (s->fill < s->need)
        return 0;
    if (s->fill == s->need && s->pos < s->fill) {
        /* With nothing held, one byte came, and it starts no frame. */
        if (s->buf[s->pos] != SYNC) {
            skip(s, 1);
            s->need++;
            return 0;
        }
        if (step(s, s->fill, s->buf[s->fill - 1]))
            return 0;
    }
    /* Every byte held has been passed over or handed out. */
    if (s->pos == s->fill) {
        s->need = (uint16_t)(s->fill + 1);
        return 0;
    }
    s->need = 0;
    return find_frame(s, f);
}

/* Every put but a byte inside a frame, or one passed over, with nothing to
 * look at. Unlike a feed, a put never waits for frames to be taken out
 * first: the bytes a cut leaves final are held before it, and this byte goes
 * behind them. */
static __attribute__((noinline)) int put_look(sci_stream_t *s, uint8_t byte, uint64_t now_ms)
{
    bool ready;

    if (s->fill >= s->limit || !within_gap(s, now_ms)) {
        if (s->pos >= s->stale) {
            s->limit = SCI_STREAM_BUFFER;
            if (s->gap_ms != 0 && now_ms > s->now_ms && now_ms - s->now_ms > s->gap_ms &&
                s->fill > s->pos)
                cut(s);
        }
        if (s->fill == SCI_STREAM_BUFFER) {
            /* Full only when frames were left in: the oldest byte makes room. */
            if (s->pos == 0) {
                skip(s, 1);
                s->need = 0;
            }
            move_to_front(s);
        }
    }
    ready = s->pos < s->stale || s->need == 0 || s->fill >= s->need;
    s->buf[s->fill++] = byte;
    s->now_ms = now_ms;
    if (ready || s->fill < s->need)
        return ready;
    return !step(s, s->fill, byte);
}

extern "C" int sci_stream_put(sci_stream_t *s, uint8_t byte, uint64_t now_ms)
{
    uint16_t fill = s->fill;
    uint16_t need = s->need;

    /* Most bytes lie inside a frame that is not complete yet. */
    if (__builtin_expect(fill + 1 < need, 1) && fill < s->limit && within_gap(s, now_ms)) {
        s->buf[fill] = byte;
        s->now_ms = now_ms;
        s->fill = (uint16_t)(fill + 1);
        return 0;
    }
    if (need == fill + 1 && fill - s->pos == (byte == SYNC)) {
        s->base++;
        s->counters.skipped++;
        s->now_ms = now_ms;
        return 0;
    }
    return put_look(s, byte, now_ms);
}
