// SPDX-License-Identifier: MIT
/* SCI frame codec. Frame layouts and result codes: sci_codec.h. */
#include "sci_codec.h"

#include <string.h>

#define SCI_SYNC_V1 0x55AAu
#define SCI_SYNC_V2 0x55BBu
#define SCI_CMD_ANY 0xFFFFu

/* Bytes around the payload: sync (2), address, length, command (2), checksum (2). */
#define SCI_V2_OVERHEAD 8u
/* Version 1 as packed adds a zero byte in front of the command. */
#define SCI_V1_OVERHEAD 9u
/* Version 1 as unpacked: everything but the length byte's own count. */
#define SCI_V1_IN_OVERHEAD 6u

/* The checksum is the 16-bit wrapping sum of the bytes. sum_copy sums `n`
 * bytes at `from` and, when `to` is not NULL, copies them to `to` in the same
 * pass. The two may overlap either way: the pass runs in the direction that
 * reads every byte before anything is written over it, so each byte is read
 * once and moved at most once. With SSE2 or NEON it takes 16 bytes at a time;
 * sum_copy_portable is the reference, and the only way elsewhere. */
static uint16_t sum_copy_portable(uint8_t *to, const uint8_t *from, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < n; i++)
        sum += from[i];
    if (to != NULL && n != 0 && to != from)
        memmove(to, from, n);
    return (uint16_t)sum;
}

#if defined(__SSE2__) || defined(__ARM_NEON)
#if defined(__SSE2__)
#include <emmintrin.h>
typedef __m128i block_t;
typedef __m128i acc_t;
#define BLOCK_LOAD(p) _mm_loadu_si128((const __m128i *)(const void *)(p))
#define BLOCK_STORE(p, v) _mm_storeu_si128((__m128i *)(void *)(p), (v))
#define BLOCK_AND(a, b) _mm_and_si128((a), (b))
/* psadbw: the sums of each 8 bytes, in the two 64-bit lanes. */
#define ACC_ZERO() _mm_setzero_si128()
#define ACC_ADD(acc, v) ((acc) + _mm_sad_epu8((v), _mm_setzero_si128()))
#define ACC_MERGE(a, b) ((a) + (b))
#define ACC_TOTAL(acc) ((uint32_t)_mm_cvtsi128_si32(acc) + (uint32_t)_mm_extract_epi16((acc), 4))
#else
#include <arm_neon.h>
typedef uint8x16_t block_t;
typedef uint16x8_t acc_t;
#define BLOCK_LOAD(p) vld1q_u8(p)
#define BLOCK_STORE(p, v) vst1q_u8((p), (v))
#define BLOCK_AND(a, b) vandq_u8((a), (b))
/* vpadal.u8: pairs of bytes added into eight 16-bit lanes, which wrap as the
 * checksum does. */
#define ACC_ZERO() vdupq_n_u16(0)
#define ACC_ADD(acc, v) vpadalq_u8((acc), (v))
#define ACC_MERGE(a, b) vaddq_u16((a), (b))
#define ACC_TOTAL(acc) acc_total_neon(acc)
static inline uint32_t acc_total_neon(uint16x8_t acc)
{
    uint64x2_t s = vpaddlq_u32(vpaddlq_u16(acc));
    return (uint32_t)(vgetq_lane_u64(s, 0) + vgetq_lane_u64(s, 1));
}
#endif

/* 16 zero bytes, 16 ones, 16 zeros: at KEEP_LAST(r) a mask of a block's last
 * r bytes, at KEEP_FIRST(r) of its first r. */
static const uint8_t block_masks[48] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0};
#define KEEP_LAST(r) BLOCK_LOAD(block_masks + (r))
#define KEEP_FIRST(r) BLOCK_LOAD(block_masks + 32 - (r))

/* Whole blocks, two at a time into two sums, then the bytes left over
 * (fewer than 16) as one block that overlaps the last whole one, masked so
 * that they are summed once. That block is loaded before anything is stored
 * and stored last, and each pair of blocks is loaded before it is stored, so
 * a copy between overlapping buffers never reads a byte already written
 * over. */
static uint16_t sum_copy(uint8_t *to, const uint8_t *from, size_t n)
{
    size_t rest = n % 16;
    size_t i;
    block_t v, w, edge;
    acc_t acc = ACC_ZERO();
    acc_t acc2 = ACC_ZERO();

    if (n < 16)
        return sum_copy_portable(to, from, n);
    if (to == from)
        to = NULL;
    if (to == NULL || to < from) {
        edge = BLOCK_LOAD(from + n - 16);
        for (i = 0; i + 32 <= n; i += 32) {
            v = BLOCK_LOAD(from + i);
            w = BLOCK_LOAD(from + i + 16);
            acc = ACC_ADD(acc, v);
            acc2 = ACC_ADD(acc2, w);
            if (to != NULL) {
                BLOCK_STORE(to + i, v);
                BLOCK_STORE(to + i + 16, w);
            }
        }
        if (i + 16 <= n) {
            v = BLOCK_LOAD(from + i);
            acc = ACC_ADD(acc, v);
            if (to != NULL)
                BLOCK_STORE(to + i, v);
        }
        acc2 = ACC_ADD(acc2, BLOCK_AND(edge, KEEP_LAST(rest)));
        if (to != NULL)
            BLOCK_STORE(to + n - 16, edge);
    } else {
        edge = BLOCK_LOAD(from);
        for (i = n; i >= 32 + rest; i -= 32) {
            v = BLOCK_LOAD(from + i - 16);
            w = BLOCK_LOAD(from + i - 32);
            acc = ACC_ADD(acc, v);
            acc2 = ACC_ADD(acc2, w);
            BLOCK_STORE(to + i - 16, v);
            BLOCK_STORE(to + i - 32, w);
        }
        if (i >= 16 + rest) {
            v = BLOCK_LOAD(from + i - 16);
            acc = ACC_ADD(acc, v);
            BLOCK_STORE(to + i - 16, v);
        }
        acc2 = ACC_ADD(acc2, BLOCK_AND(edge, KEEP_FIRST(rest)));
        BLOCK_STORE(to, edge);
    }
    return (uint16_t)ACC_TOTAL(ACC_MERGE(acc, acc2));
}
#else
#define sum_copy sum_copy_portable
#endif

/* Writes the checksum after the `end` bytes of the frame and returns the
 * frame length. */
static int16_t put_checksum(uint8_t *buf, uint16_t end, uint16_t sum)
{
    buf[end] = (uint8_t)sum;
    buf[end + 1] = (uint8_t)(sum >> 8);
    return (int16_t)(end + 2u);
}

/* The payload may lie anywhere, even inside `buf` (a caller may build it in
 * place): the record is read first, then the payload is summed and moved to
 * its place in one pass (not moved when it is there already), before the
 * header can overwrite it. */
static int16_t korvi_sci_pack_ver1(const sci_pack_t *pack, uint8_t *buf, uint16_t size)
{
    uint32_t len = pack->len;
    uint8_t addr = pack->addr;
    uint16_t cmd = pack->cmd;
    uint16_t sum;

    if (len > SCI_V1_MAX_PAYLOAD || len + SCI_V1_OVERHEAD > size)
        return SCI_ERR_ARG;
    sum = (uint16_t)(addr + (len + 3u) + (cmd >> 8) + (cmd & 0xFFu) +
                     sum_copy(buf + 7, pack->data, len));
    buf[0] = (uint8_t)(SCI_SYNC_V1 >> 8);
    buf[1] = (uint8_t)SCI_SYNC_V1;
    buf[2] = addr;
    buf[3] = (uint8_t)(len + 3u);
    buf[4] = 0x00;
    buf[5] = (uint8_t)(cmd >> 8);
    buf[6] = (uint8_t)cmd;
    return put_checksum(buf, (uint16_t)(7u + len), sum);
}

static int16_t korvi_sci_pack_ver2(const sci_pack_t *pack, uint8_t *buf, uint16_t size)
{
    uint32_t len = pack->len;
    uint8_t addr = pack->addr;
    uint16_t cmd = pack->cmd;
    uint16_t sum;

    if (len > SCI_V2_MAX_PAYLOAD || len + SCI_V2_OVERHEAD > size)
        return SCI_ERR_ARG;
    sum = (uint16_t)(addr + len + (cmd >> 8) + (cmd & 0xFFu) + sum_copy(buf + 6, pack->data, len));
    buf[0] = (uint8_t)(SCI_SYNC_V2 >> 8);
    buf[1] = (uint8_t)SCI_SYNC_V2;
    buf[2] = addr;
    buf[3] = (uint8_t)len;
    buf[4] = (uint8_t)(cmd >> 8);
    buf[5] = (uint8_t)cmd;
    return put_checksum(buf, (uint16_t)(6u + len), sum);
}

extern "C" int16_t cu_korvi_sci_pack(const sci_pack_t *pack, uint8_t *buf, uint16_t size)
{
    if (pack == NULL || pack->data == NULL || buf == NULL)
        return SCI_ERR_ARG;
    switch (pack->version) {
    case 1:
        return korvi_sci_pack_ver1(pack, buf, size);
    case 2:
        return korvi_sci_pack_ver2(pack, buf, size);
    default:
        return SCI_ERR_ARG;
    }
}

/* Checks and copies a frame whose length test has passed: both versions keep
 * the command at offset 4, the payload at 6 and the checksum right after it.
 * The payload buffer may overlap the frame (a caller may unpack in place). */
static int16_t accept_frame(uint8_t addr, uint16_t cmd, sci_pack_t *pack, const uint8_t *buf,
                            uint16_t len)
{
    uint16_t frame_cmd = (uint16_t)((buf[4] << 8) | buf[5]);
    uint16_t sum;

    pack->addr = buf[2];
    pack->len = len;
    pack->cmd = frame_cmd;
    if (buf[2] != addr)
        return SCI_ERR_ADDR;
    if (frame_cmd != cmd && frame_cmd != SCI_CMD_ANY)
        return SCI_ERR_CMD;
    sum = sum_copy(NULL, buf + 2, len + 4u);
    if (buf[6 + len] != (uint8_t)sum || buf[7 + len] != (uint8_t)(sum >> 8))
        return SCI_ERR_CHECKSUM;
    /* Unpacked in place, the payload is where it belongs already. */
    if (len != 0 && pack->data != buf + 6)
        memmove(pack->data, buf + 6, len);
    return SCI_OK;
}

static int16_t korvi_sci_unpack_ver1(uint8_t addr, uint16_t cmd, sci_pack_t *pack,
                                     const uint8_t *buf, uint16_t size)
{
    uint32_t n = buf[3];

    if (n + SCI_V1_IN_OVERHEAD > size || n < 2)
        return SCI_ERR_ARG;
    return accept_frame(addr, cmd, pack, buf, (uint16_t)(n - 2u));
}

static int16_t korvi_sci_unpack_ver2(uint8_t addr, uint16_t cmd, sci_pack_t *pack,
                                     const uint8_t *buf, uint16_t size)
{
    uint32_t n = buf[3];

    if (n + SCI_V2_OVERHEAD > size)
        return SCI_ERR_ARG;
    return accept_frame(addr, cmd, pack, buf, (uint16_t)n);
}

extern "C" int16_t cu_korvi_sci_unpack(uint8_t addr, uint16_t cmd, sci_pack_t *pack,
                                       const uint8_t *buf, uint16_t size)
{
    uint16_t sync;

    if (pack == NULL || pack->data == NULL || buf == NULL || size < 2)
        return SCI_ERR_ARG;
    sync = (uint16_t)((buf[0] << 8) | buf[1]);
    if (sync == SCI_SYNC_V1)
        pack->version = 1;
    else if (sync == SCI_SYNC_V2)
        pack->version = 2;
    else
        return SCI_ERR_SYNC;
    /* The shortest frame of either version is 8 bytes. */
    if (size < SCI_V2_OVERHEAD)
        return SCI_ERR_ARG;
    if (pack->version == 1)
        return korvi_sci_unpack_ver1(addr, cmd, pack, buf, size);
    return korvi_sci_unpack_ver2(addr, cmd, pack, buf, size);
}
