/* SPDX-License-Identifier: MIT */
/*
 * Runs one codec operation, or a memcpy of the same length, COUNT times, so
 * that callgrind can count the instructions of one call:
 *
 *   codec_icount pack|unpack VERSION PAYLOAD COUNT
 *   codec_icount copy BYTES COUNT
 *
 * Prints the frame length (pack, unpack) or BYTES (copy). Each operation sits
 * in a function of its own, never inlined nor cloned, whose name callgrind's
 * --toggle-collect takes: run_pack, run_unpack, run_copy.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench_frames.h"

__attribute__((noipa)) int16_t run_pack(const sci_pack_t *pack, uint8_t *buf)
{
    return cu_korvi_sci_pack(pack, buf, BENCH_FRAME_MAX);
}

__attribute__((noipa)) int16_t run_unpack(sci_pack_t *pack, const uint8_t *buf, uint16_t size)
{
    return cu_korvi_sci_unpack(BENCH_ADDR, BENCH_CMD, pack, buf, size);
}

__attribute__((noipa)) void run_copy(uint8_t *dst, const uint8_t *src, size_t n)
{
    memcpy(dst, src, n);
}

static int usage(void)
{
    (void)fputs("usage: codec_icount pack|unpack VERSION PAYLOAD COUNT\n"
                "       codec_icount copy BYTES COUNT\n",
                stderr);
    return 2;
}

static int count_copies(long bytes, long count)
{
    static uint8_t src[BENCH_FRAME_MAX];
    static uint8_t dst[BENCH_FRAME_MAX];

    if (bytes < 0 || bytes > BENCH_FRAME_MAX)
        return usage();
    for (long i = 0; i < count; i++)
        run_copy(dst, src, (size_t)bytes);
    printf("%ld\n", bytes);
    return 0;
}

static int count_codec(const char *op, long version, long len, long count)
{
    static uint8_t payload[SCI_V2_MAX_PAYLOAD];
    static uint8_t out[SCI_V2_MAX_PAYLOAD];
    static uint8_t buf[BENCH_FRAME_MAX];
    sci_pack_t pack;
    int length;

    if (version < 1 || version > 2 || len < 0 || len > SCI_V2_MAX_PAYLOAD)
        return usage();
    bench_fill_payload(payload, (uint16_t)len);
    pack.version = (uint8_t)version;
    pack.addr = BENCH_ADDR;
    pack.cmd = BENCH_CMD;
    pack.len = (uint16_t)len;
    pack.data = payload;
    if (strcmp(op, "pack") == 0) {
        length = run_pack(&pack, buf);
        for (long i = 1; i < count && length > 0; i++)
            run_pack(&pack, buf);
    } else {
        length = bench_received_frame((uint8_t)version, payload, (uint16_t)len, buf);
        pack.data = out;
        if (length > 0 && run_unpack(&pack, buf, (uint16_t)length) != SCI_OK)
            length = -1;
        for (long i = 1; i < count && length > 0; i++)
            run_unpack(&pack, buf, (uint16_t)length);
    }
    if (length <= 0) {
        (void)fprintf(stderr, "codec_icount: the codec refused %s version %ld payload %ld\n", op,
                      version, len);
        return 1;
    }
    printf("%d\n", length);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "copy") == 0)
        /* NOLINTNEXTLINE(cert-err34-c): numbers that run_codec.sh passes */
        return count_copies(atol(argv[2]), atol(argv[3]));
    if (argc == 5 && (strcmp(argv[1], "pack") == 0 || strcmp(argv[1], "unpack") == 0))
        /* NOLINTNEXTLINE(cert-err34-c): numbers that run_codec.sh passes */
        return count_codec(argv[1], atol(argv[2]), atol(argv[3]), atol(argv[4]));
    return usage();
}
