/* SPDX-License-Identifier: MIT */
/* Builds an SCI frame of each version, reads one back, and shows what a
 * corrupted frame yields. */
#include <sci_codec.h>

#include <stdio.h>

static void print_frame(const char *title, const uint8_t *frame, int n)
{
    int i;

    printf("%-28s", title);
    for (i = 0; i < n; i++)
        printf(" %02X", frame[i]);
    printf("\n");
}

int main(void)
{
    uint8_t payload[] = {0xAB, 0xCD};
    uint8_t frame[32];
    uint8_t room[255];
    sci_pack_t msg = {2, 0x01, 0x1234, sizeof payload, payload};
    sci_pack_t got = {0, 0, 0, 0, room};
    int16_t n;
    int16_t rc;

    n = cu_korvi_sci_pack(&msg, frame, sizeof frame);
    print_frame("version 2, addr 01, cmd 1234:", frame, n);

    rc = cu_korvi_sci_unpack(0x01, 0x1234, &got, frame, (uint16_t)n);
    printf("unpacked: result %d, version %u, addr %02X, cmd %04X, len %u, payload %02X %02X\n", rc,
           got.version, got.addr, got.cmd, got.len, room[0], room[1]);

    frame[7] ^= 0x01;
    rc = cu_korvi_sci_unpack(0x01, 0x1234, &got, frame, (uint16_t)n);
    printf("one payload bit flipped:     result %d (checksum mismatch)\n", rc);

    msg.version = 1;
    n = cu_korvi_sci_pack(&msg, frame, sizeof frame);
    print_frame("version 1, addr 01, cmd 1234:", frame, n);
    return 0;
}
