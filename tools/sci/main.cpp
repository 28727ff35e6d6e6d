// SPDX-License-Identifier: MIT
/* sci: builds, checks and finds SCI frames with the codec and the stream
 * reader, in files and on a live serial line, and plays a device on one.
 *
 *   sci pack -V 1|2 -a ADDR -c CMD [PAYLOAD-HEX...]
 *   sci unpack -a ADDR -c CMD [FRAME-HEX...]
 *   sci scan [-a ADDR] [-c CMD] [--pcap PCAP] [FILE|-]
 *   sci monitor DEVICE -b BAUD [-t GAP_MS] [-a ADDR] [-c CMD] [--pcap PCAP]
 *   sci send DEVICE -b BAUD -V 1|2 -a ADDR -c CMD [PAYLOAD-HEX...] [FAULT...]
 *            [-r REPLY_MS] [-A ADDR] [-C CMD]
 *   sci serve DEVICE -b BAUD --table FILE [-t GAP_MS]
 *   sci replay PCAP DEVICE -b BAUD [--speed X]
 *
 * No heap: hex goes into fixed buffers, and a capture or a line is read
 * through a fixed window into the stream reader, so either may be of any size.
 *
 * The files lie in three layers, and none calls into one above it: this entry;
 * the modes, one file each (pack.cpp for pack and unpack, scan.cpp,
 * monitor.cpp, send.cpp, serve.cpp, replay.cpp); and the services they use:
 * the serial line (line.cpp), capture files (pcap.cpp), the serve table
 * (table.cpp), frames out of a read and faults (frames.cpp), arguments
 * (args.cpp), and output (output.cpp) at the bottom.
 */
#include "modes.h"
#include "output.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static const char g_usage[] =
    "usage: sci pack -V 1|2 -a ADDR -c CMD [PAYLOAD-HEX...]\n"
    "       sci unpack -a ADDR -c CMD [FRAME-HEX...]\n"
    "       sci scan [-a ADDR] [-c CMD] [--pcap PCAP] [FILE|-]\n"
    "       sci monitor DEVICE -b BAUD [-t GAP_MS] [-a ADDR] [-c CMD]\n"
    "                [--pcap PCAP]\n"
    "       sci send DEVICE -b BAUD -V 1|2 -a ADDR -c CMD [PAYLOAD-HEX...]\n"
    "                [noise N] [bad-checksum | cut N]\n"
    "                [-r REPLY_MS] [-A ADDR] [-C CMD]\n"
    "       sci serve DEVICE -b BAUD --table FILE [-t GAP_MS]\n"
    "       sci replay PCAP DEVICE -b BAUD [--speed X]\n"
    "       sci [MODE] --help\n"
    "       sci --version\n"
    "\n"
    "Builds, checks and finds SCI frames with libsci_codec and libsci_stream,\n"
    "in files and on a serial line; answers as a device would (serve), plays\n"
    "a capture back (replay) and sends damaged frames to order (send).\n"
    "Numbers are decimal or 0x-hex. Hex bytes are two digits each, with or\n"
    "without blanks between them (\"55BB01\" or \"55 BB 01\", quoted or not).\n"
    "\n"
    "Exit status: 0 done; 1 frame refused (unpack), no good frame found\n"
    "(scan) or no reply (send); 2 bad usage or input; 3 a read or write failed\n"
    "(a full disk, a device error, a serial line gone); serve ends with the\n"
    "status an exit rule names. With 2 and 3 a line on standard error says why.\n";

/* Descriptors 0 to 2 open on /dev/null where they are closed, so that what
 * the tool opens, a serial line or a capture, never takes their place and
 * gets what is meant for them. */
static bool open_standard_descriptors(void)
{
    int fd;

    do
        fd = open("/dev/null", O_RDWR);
    while (fd >= 0 && fd <= STDERR_FILENO);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

int main(int argc, char **argv)
{
    int status;

    if (!open_standard_descriptors())
        return EXIT_IO;
    /* A reader that went away is a failed write (EPIPE), said and ended
     * with status 3, not a silent death that leaves a line raw. */
    (void)signal(SIGPIPE, SIG_IGN);
    if (argc < 2)
        return fail("no mode given");
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        (void)fputs(g_usage, stdout);
        return finish_output(EXIT_DONE);
    }
    if (strcmp(argv[1], "--version") == 0) {
        (void)fputs("sci " KORVI_VERSION "\n", stdout);
        return finish_output(EXIT_DONE);
    }
    g_mode = argv[1];
    if (strcmp(g_mode, "pack") == 0)
        status = run_pack(argc, argv);
    else if (strcmp(g_mode, "unpack") == 0)
        status = run_unpack(argc, argv);
    else if (strcmp(g_mode, "scan") == 0)
        status = run_scan(argc, argv);
    else if (strcmp(g_mode, "monitor") == 0)
        status = run_monitor(argc, argv);
    else if (strcmp(g_mode, "send") == 0)
        status = run_send(argc, argv);
    else if (strcmp(g_mode, "serve") == 0)
        status = run_serve(argc, argv);
    else if (strcmp(g_mode, "replay") == 0)
        status = run_replay(argc, argv);
    else {
        g_mode = "";
        return fail("unknown mode '%s'", argv[1]);
    }
    return finish_output(status);
}
