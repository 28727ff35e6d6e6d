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

/* 16-bit additive checksum. A 16-bit accumulator wraps exactly as the
 * checksum does, and lets the compiler sum the bytes in 16-bit vector lanes
 * (SSE2 on the host, NEON on the device). */
static uint16_t calculate_checksum(const uint8_t *bytes, uint16_t count)
{
    uint16_t sum = 0;
    for (size_t i = 0; i < count; i++)
        sum = (uint16_t)(sum + bytes[i]);
    return sum;
}

/* Writes the checksum after the `end` bytes of the frame and returns the
 * frame length. */
static int16_t put_checksum(uint8_t *buf, uint16_t end, uint16_t sum)
{
    buf[end] = (uint8_t)sum;
    buf[end + 1] = (uint8_t)(sum >> 8);
    return (int16_t)(end + 2u);
}

/* The payload may lie anywhere, even inside `buf` (a caller may build it in
 * place): the record is read and the payload summed before anything is
 * written, and the payload is moved to its place, unless it is there
 * already, before the header can overwrite it. Summing the caller's bytes,
 * not the ones just moved, also keeps the sum from waiting on the stores of
 * the move. */
static int16_t korvi_sci_pack_ver1(const sci_pack_t *pack, uint8_t *buf, uint16_t size)
{
    uint32_t len = pack->len;
    uint8_t addr = pack->addr;
    uint16_t cmd = pack->cmd;
    uint16_t sum;

    if (len > SCI_V1_MAX_PAYLOAD || len + SCI_V1_OVERHEAD > size)
        return SCI_ERR_ARG;
    sum = (uint16_t)(addr + (len + 3u) + (cmd >> 8) + (cmd & 0xFFu) +
                     calculate_checksum(pack->data, (uint16_t)len));
    if (len != 0 && pack->data != buf + 7)
        memmove(buf + 7, pack->data, len);
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
    sum = (uint16_t)(addr + len + (cmd >> 8) + (cmd & 0xFFu) +
                     calculate_checksum(pack->data, (uint16_t)len));
    if (len != 0 && pack->data != buf + 6)
        memmove(buf + 6, pack->data, len);
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
    sum = calculate_checksum(buf + 2, (uint16_t)(len + 4u));
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
