/* SPDX-License-Identifier: MIT */
/*
 * SCI frame codec: builds and parses SCI frames.
 *
 * Frame versions, told apart by the sync header (offsets in bytes):
 *
 *   version 1, as packed:   55 AA addr len+3 00 cmdH cmdL payload[len] sumL sumH
 *   version 1, as unpacked: 55 AA addr n cmdH cmdL payload[n-2] sumL sumH   (n >= 2)
 *   version 2, both ways:   55 BB addr len cmdH cmdL payload[len] sumL sumH
 *
 * The checksum is the 16-bit wrapping sum of every byte from the address up to
 * the last payload byte, sent low byte first.
 *
 * Both calls work only on their arguments: no state, no allocation, no locks.
 * The unpacker never reads past `size` bytes of `buf` and writes at most the
 * payload that the frame announces (at most 255 bytes) into `pack->data`.
 */
#ifndef SCI_CODEC_H
#define SCI_CODEC_H

#include <stddef.h>
#include <stdint.h>

#if defined(SCI_CODEC_BUILD) && defined(__GNUC__)
#define SCI_CODEC_API __attribute__((visibility("default")))
#else
#define SCI_CODEC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Message record. Packed: the fields follow one another with no padding, so
 * `data` is not aligned. Read and write the fields by value, never through a
 * pointer to a field. */
#pragma pack(push, 1)
typedef struct sci_pack_t {
    uint8_t version; /* 1 or 2 */
    uint8_t addr;
    uint16_t cmd;  /* sent high byte first */
    uint16_t len;  /* payload length in bytes */
    uint8_t *data; /* payload buffer, never null; 255 bytes for unpacking */
} sci_pack_t;
#pragma pack(pop)

/* Compile-time layout checks that also work in C99. */
#define SCI_CODEC_CHECK(name, cond) typedef char sci_codec_check_##name[(cond) ? 1 : -1]
SCI_CODEC_CHECK(pointer_width, sizeof(void *) == 4 || sizeof(void *) == 8);
SCI_CODEC_CHECK(size, sizeof(sci_pack_t) == 6 + sizeof(void *));
SCI_CODEC_CHECK(version_at_0, offsetof(sci_pack_t, version) == 0);
SCI_CODEC_CHECK(addr_at_1, offsetof(sci_pack_t, addr) == 1);
SCI_CODEC_CHECK(cmd_at_2, offsetof(sci_pack_t, cmd) == 2);
SCI_CODEC_CHECK(len_at_4, offsetof(sci_pack_t, len) == 4);
SCI_CODEC_CHECK(data_at_6, offsetof(sci_pack_t, data) == 6);
#undef SCI_CODEC_CHECK

/* Result codes. Packing returns the frame length (> 0) or SCI_ERR_ARG;
 * unpacking returns SCI_OK or one of the negative codes. */
#define SCI_OK 0
#define SCI_ERR_ARG (-1)      /* bad argument, short buffer, bad length */
#define SCI_ERR_SYNC (-2)     /* sync header is neither 55 AA nor 55 BB */
#define SCI_ERR_ADDR (-3)     /* address differs from the expected one */
#define SCI_ERR_CMD (-4)      /* command differs and is not FFFF */
#define SCI_ERR_CHECKSUM (-5) /* checksum mismatch */

/* Longest payload each version can carry in its 8-bit length byte. */
#define SCI_V1_MAX_PAYLOAD 252
#define SCI_V2_MAX_PAYLOAD 255

/* Builds the frame for `pack` into `buf` (capacity `size`). Returns the frame
 * length, or SCI_ERR_ARG with nothing written: null argument, version other
 * than 1 or 2, payload too long for the version, or `buf` too small (a frame
 * takes len + 9 bytes in version 1, len + 8 in version 2). The payload may
 * overlap `buf`; it may even be built in place, at its offset in the frame
 * (7 in version 1, 6 in version 2). */
SCI_CODEC_API int16_t cu_korvi_sci_pack(const sci_pack_t *pack, uint8_t *buf, uint16_t size);

/* Parses the frame at the start of `buf` (`size` bytes received; bytes past
 * the frame's end are ignored). `pack->data` must point at room for 255 bytes.
 * Checks run in this order, and the first that fails gives the result: a null
 * argument or fewer than 2 bytes (SCI_ERR_ARG); the sync header
 * (SCI_ERR_SYNC); the lengths (SCI_ERR_ARG: fewer than 8 bytes, fewer than the
 * frame announces, or a version-1 length byte below 2); the address
 * (SCI_ERR_ADDR); the command (SCI_ERR_CMD; a frame command of 0xFFFF matches
 * any expected command); the checksum (SCI_ERR_CHECKSUM). Once the sync header
 * is recognised `version` is set; once the lengths pass `addr`, `cmd` and
 * `len` are set too. The payload is copied only when the frame is accepted. */
SCI_CODEC_API int16_t cu_korvi_sci_unpack(uint8_t addr, uint16_t cmd, sci_pack_t *pack,
                                          const uint8_t *buf, uint16_t size);

#ifdef __cplusplus
}
#endif

#endif /* SCI_CODEC_H */
