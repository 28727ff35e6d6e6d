/* SPDX-License-Identifier: MIT */
/* Calls the codec and the stream reader from plain C through their public
 * headers. Built in the tree and again against an installed copy of the
 * libraries. */
#include <sci_codec.h>
#include <sci_stream.h>

#include <stddef.h>
#include <stdio.h>
#include <string.h>

static int failures;

static void check(int ok, const char *what)
{
    if (!ok) {
        printf("FAILED: %s\n", what);
        failures++;
    }
}

int main(void)
{
    static const uint8_t v2[] = {0x55, 0xBB, 0x01, 0x02, 0x12, 0x34, 0xAB, 0xCD, 0xC1, 0x01};
    static const uint8_t v1_out[] = {0x55, 0xAA, 0x01, 0x05, 0x00, 0x12,
                                     0x34, 0xAB, 0xCD, 0xC4, 0x01};
    static const uint8_t v1_in[] = {0x55, 0xAA, 0x01, 0x04, 0x12, 0x34, 0xAB, 0xCD, 0xC3, 0x01};
    uint8_t payload[2] = {0xAB, 0xCD};
    uint8_t room[255];
    uint8_t frame[16];
    sci_pack_t msg;
    int16_t rc;

    msg.version = 2;
    msg.addr = 0x01;
    msg.cmd = 0x1234;
    msg.len = 2;
    msg.data = payload;
    rc = cu_korvi_sci_pack(&msg, frame, sizeof frame);
    check(rc == (int16_t)sizeof v2 && memcmp(frame, v2, sizeof v2) == 0, "pack version 2");

    msg.version = 1;
    rc = cu_korvi_sci_pack(&msg, frame, sizeof frame);
    check(rc == (int16_t)sizeof v1_out && memcmp(frame, v1_out, sizeof v1_out) == 0,
          "pack version 1");

    memset(&msg, 0, sizeof msg);
    msg.data = room;
    rc = cu_korvi_sci_unpack(0x01, 0x1234, &msg, v2, sizeof v2);
    check(rc == SCI_OK && msg.version == 2 && msg.addr == 0x01 && msg.cmd == 0x1234 &&
              msg.len == 2 && room[0] == 0xAB && room[1] == 0xCD,
          "unpack version 2");

    memset(room, 0, sizeof room);
    rc = cu_korvi_sci_unpack(0x01, 0x1234, &msg, v1_in, sizeof v1_in);
    check(rc == SCI_OK && msg.version == 1 && msg.len == 2 && room[0] == 0xAB && room[1] == 0xCD,
          "unpack version 1");

    check(cu_korvi_sci_unpack(0x02, 0x1234, &msg, v2, sizeof v2) == SCI_ERR_ADDR, "wrong address");
    check(sizeof(sci_pack_t) == 6 + sizeof(void *), "record size");

    /* The reader's structs as programs built against the first release of
     * libsci_stream.so.1 lay them out. */
    {
        struct probe {
            char c;
            sci_stream_t s;
        };
        check(sizeof(sci_stream_t) == 1104 && offsetof(struct probe, s) == 8 &&
                  offsetof(sci_stream_t, counters) == 0 && sizeof(sci_stream_counters_t) == 32,
              "reader layout");
        check(sizeof(sci_stream_frame_t) == (sizeof(void *) == 8 ? 48 : 40), "frame size");
    }

    /* The version-2 frame after a byte of noise, fed in two pieces, and the
     * version-1 frame cut off by the end of input. */
    {
        static sci_stream_t rd;
        sci_stream_frame_t f;
        static const uint8_t noise = 0x13;

        sci_stream_init(&rd, 0);
        check(sci_stream_feed(&rd, &noise, 1, 10) == 1, "feed noise");
        check(sci_stream_feed(&rd, v2, 4, 10) == 4 && !sci_stream_next(&rd, &f), "half a frame");
        check(sci_stream_feed(&rd, v2 + 4, sizeof v2 - 4, 20) == sizeof v2 - 4, "feed the rest");
        check(sci_stream_next(&rd, &f) && f.result == SCI_OK && f.offset == 1 && f.addr == 0x01 &&
                  f.cmd == 0x1234 && f.len == 2 && f.payload[1] == 0xCD && f.time_ms == 20,
              "stream frame");
        check(sci_stream_feed(&rd, v1_in, 5, 30) == 5 && !sci_stream_next(&rd, &f), "cut frame");
        sci_stream_end(&rd);
        check(sci_stream_next(&rd, &f) && f.result == SCI_STREAM_PARTIAL && f.version == 1 &&
                  f.size == 5 && f.total == sizeof v1_in,
              "partial frame");
        check(!sci_stream_next(&rd, &f) && rd.counters.good == 1 && rd.counters.dropped == 1 &&
                  rd.counters.skipped == 6,
              "counters");
    }

    if (failures)
        return 1;
    printf("C caller: all checks passed\n");
    return 0;
}
