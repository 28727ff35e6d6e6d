/* SPDX-License-Identifier: MIT */
/* Payloads and received frames shared by the codec benchmarks. */
#ifndef BENCH_FRAMES_H
#define BENCH_FRAMES_H

#include <stdint.h>

#include "sci_codec.h"

#define BENCH_ADDR 0x01
#define BENCH_CMD 0x1234
/* Room for the longest frame of either version. */
#define BENCH_FRAME_MAX 264

/* Bytes of 0x80 and above, all different over a short run. */
static inline void bench_fill_payload(uint8_t *payload, uint16_t len)
{
    for (uint16_t i = 0; i < len; i++)
        payload[i] = (uint8_t)(0x80u + i * 37u);
}

/* Writes the frame that the unpacker accepts for `version` and the payload,
 * and returns its length, or -1 when the payload does not fit the version.
 * A version-1 frame as received has no zero byte before the command, unlike
 * the packer's, so it is laid out here; version 2 comes from the packer. */
static inline int bench_received_frame(uint8_t version, const uint8_t *payload, uint16_t len,
                                       uint8_t *buf)
{
    sci_pack_t pack;
    uint16_t sum;
    uint16_t i;

    if (version != 1) {
        pack.version = version;
        pack.addr = BENCH_ADDR;
        pack.cmd = BENCH_CMD;
        pack.len = len;
        pack.data = (uint8_t *)payload;
        return cu_korvi_sci_pack(&pack, buf, BENCH_FRAME_MAX);
    }
    if (len > 253)
        return -1;
    buf[0] = 0x55;
    buf[1] = 0xAA;
    buf[2] = BENCH_ADDR;
    buf[3] = (uint8_t)(len + 2u);
    buf[4] = (uint8_t)(BENCH_CMD >> 8);
    buf[5] = (uint8_t)BENCH_CMD;
    for (i = 0; i < len; i++)
        buf[6 + i] = payload[i];
    sum = 0;
    for (i = 2; i < len + 6u; i++)
        sum = (uint16_t)(sum + buf[i]);
    buf[len + 6] = (uint8_t)sum;
    buf[len + 7] = (uint8_t)(sum >> 8);
    return len + 8;
}

#endif /* BENCH_FRAMES_H */
