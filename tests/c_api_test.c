/* Calls the codec from plain C through its public header. Built in the tree
 * and again against an installed copy of the library. */
#include <sci_codec.h>

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

    if (failures)
        return 1;
    printf("C caller: all checks passed\n");
    return 0;
}
