// SPDX-License-Identifier: MIT
/* sci pack and sci unpack: one frame built by the codec, or checked by it. */
#include "args.h"
#include "modes.h"

#include <stdio.h>

/* Bytes of hex that unpack takes; the codec ignores what follows the frame. */
#define UNPACK_INPUT_MAX 4096

/* Indexed by the negated result code. */
static const char *const g_result_text[] = {
    "SCI_OK: frame accepted",
    "SCI_ERR_ARG: too short for a frame, or a version-1 length byte below 2",
    "SCI_ERR_SYNC: sync header is neither 55 AA nor 55 BB",
    "SCI_ERR_ADDR: address differs from the expected one",
    "SCI_ERR_CMD: command differs from the expected one and is not 0xFFFF",
    "SCI_ERR_CHECKSUM: checksum mismatch",
};

static const char g_pack_help[] =
    "usage: sci pack -V 1|2 -a ADDR -c CMD [PAYLOAD-HEX...]\n"
    "\n"
    "Prints the frame that the codec builds for version -V, address -a\n"
    "(0-255), command -c (0-65535) and the payload, in hex. A version-1\n"
    "payload takes at most 252 bytes, a version-2 one 255. The version-1\n"
    "frame carries a zero byte before the command, as the codec builds it.\n"
    "\n"
    "Exit status: 0 frame printed; 2 bad usage or input; 3 output failed.\n";

static const char g_unpack_help[] =
    "usage: sci unpack -a ADDR -c CMD [FRAME-HEX...]\n"
    "\n"
    "Checks the frame (from the arguments, else from standard input, at most\n"
    "4096 bytes) against the expected address and command, as the codec does,\n"
    "and prints the result code with its meaning, then what the frame holds:\n"
    "version, address, command, payload length and, once accepted, the\n"
    "payload. A frame command of 0xFFFF matches any expected command. Bytes\n"
    "after the frame are ignored.\n"
    "\n"
    "Exit status: 0 frame accepted; 1 frame refused; 2 bad usage or input;\n"
    "3 a read or write failed.\n";

int run_pack(int argc, char **argv)
{
    uint8_t frame[FRAME_MAX];
    struct options opt;
    int16_t n = 0;
    int status;

    status = parse_options(argc, argv, "Vac", "Vac", g_pack_help, &opt);
    if (status != GO_ON || (status = pack_operands(argc, argv, 2, &opt, frame, &n)) != GO_ON)
        return status;
    print_hex(frame, (size_t)n);
    printf("\n");
    return EXIT_DONE;
}

int run_unpack(int argc, char **argv)
{
    static uint8_t input[UNPACK_INPUT_MAX];
    static uint8_t payload[SCI_V2_MAX_PAYLOAD];
    struct hex_reader h = {input, sizeof input, 0, -1, ""};
    struct options opt;
    sci_pack_t got = {0, 0, 0, 0, payload};
    int16_t rc;
    bool known;
    int status;

    status = parse_options(argc, argv, "ac", "ac", g_unpack_help, &opt);
    if (status != GO_ON || (status = read_hex(argc, argv, 2, &h, true)) != 0)
        return status;
    if (h.count == 0)
        return fail("no frame given");

    rc = cu_korvi_sci_unpack((uint8_t)opt.addr, (uint16_t)opt.cmd, &got, input, (uint16_t)h.count);
    printf("result  %d %s\n", rc, rc <= 0 && rc >= SCI_ERR_CHECKSUM ? g_result_text[-rc] : "?");
    if (got.version != 0)
        printf("version %u\n", got.version);
    /* The codec fills these before it checks address, command and checksum. */
    known = rc == SCI_OK || rc <= SCI_ERR_ADDR;
    if (known)
        printf("addr    0x%02X\ncmd     0x%04X\nlen     %u\n", got.addr, got.cmd, got.len);
    if (rc == SCI_OK && got.len != 0) {
        printf("payload ");
        print_hex(payload, got.len);
        printf("\n");
    }
    /* Version 1 as unpacked counts the command in its length byte, so both
     * versions take 8 bytes around the payload. */
    if (known && h.count > got.len + 8u)
        printf("extra   %zu byte%s after the frame, ignored\n", h.count - got.len - 8u,
               h.count - got.len - 8u == 1 ? "" : "s");
    return rc == SCI_OK ? EXIT_DONE : EXIT_REFUSED;
}
