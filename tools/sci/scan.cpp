// SPDX-License-Identifier: MIT
/* sci scan: the frames in a raw capture, found by the stream reader. */
#include "frames.h"
#include "modes.h"
#include "pcap.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#define SCAN_CHUNK 65536

static const char g_scan_help[] =
    "usage: sci scan [-a ADDR] [-c CMD] [--pcap PCAP] [FILE|-]\n"
    "\n"
    "Reads raw bytes (FILE, or standard input when it is - or missing) and\n"
    "prints one line for every frame found at a sync header (55 AA or 55 BB):\n"
    "\n"
    "  OFFSET: vVERSION addr 0xAA cmd 0xCCCC len N checksum ok|bad [PAYLOAD]\n"
    "  OFFSET: vVERSION [addr 0xAA] [cmd 0xCCCC] truncated, N of M bytes\n"
    "\n"
    "OFFSET is in hex from the start of the input. Frames are read as the\n"
    "codec's unpacker reads them; a version-1 frame as the codec packs it\n"
    "shows its zero byte as the command's high byte. After a good frame the\n"
    "scan goes on behind it; after a bad or truncated one, at the next byte,\n"
    "so a frame hidden in a damaged one is still found. -a keeps frames with\n"
    "that address, -c frames with that command or 0xFFFF.\n"
    "\n"
    "--pcap writes every complete frame printed, good or bad, into PCAP as one\n"
    "record of a classic pcap file of link type USER0 (147), stamped 1970-01-01\n"
    "plus the frame's offset in microseconds: a capture tool's time column then\n"
    "reads the offset. tools/wireshark/sci.lua shows the frames in Wireshark.\n"
    "PCAP may not be the input itself.\n"
    "\n"
    "Exit status: 0 a good frame was found; 1 none; 2 bad usage or input;\n"
    "3 a read or write failed.\n";

/* Takes every frame out of what was read, prints it and records it when
 * asked; counts the good ones. Returns GO_ON or the exit status. */
static int print_frames(struct feed *fe, bool record, unsigned long long *good)
{
    sci_stream_frame_t f;
    char place[24];

    while (feed_next(fe, 0, &f)) {
        (void)snprintf(place, sizeof place, "%08llx:", (unsigned long long)f.offset);
        print_frame(place, &f);
        *good += f.result == SCI_OK;
        if (record && pcap_record(&f, f.offset) != GO_ON)
            return EXIT_IO;
    }
    return GO_ON;
}

int run_scan(int argc, char **argv)
{
    static uint8_t chunk[SCAN_CHUNK];
    static sci_stream_t rd;
    struct feed fe;
    struct options opt;
    const char *name = NULL;
    unsigned long long good = 0;
    ssize_t got;
    int fd = STDIN_FILENO;
    int status;

    status = parse_options(argc, argv, "acP", "", g_scan_help, &opt);
    if (status != GO_ON)
        return status;
    for (int i = 2; i < argc; i++) {
        if (argv[i] != NULL && name != NULL)
            return fail("one capture at a time, not '%s' and '%s'", name, argv[i]);
        if (argv[i] != NULL)
            name = argv[i];
    }
    if (name != NULL && strcmp(name, "-") != 0) {
        fd = open(name, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return fail("cannot open %s: %s", name, strerror(errno));
    } else {
        name = "standard input";
    }
    if (opt.pcap != NULL && (status = pcap_open(opt.pcap, fd)) != GO_ON)
        return status;

    /* No gap: a capture's bytes came when they came. */
    sci_stream_init(&rd, 0);
    filter_frames(&rd, &opt);
    status = GO_ON;
    while (status == GO_ON && !output_failed()) {
        /* What was found shows before the scan waits for more, so that
         * frames coming through a pipe show as they come. */
        flush_output();
        if (opt.pcap != NULL && (status = pcap_flush()) != GO_ON)
            break;
        got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fail_io("read", name);
        if (got == 0)
            break;
        feed_start(&fe, &rd, chunk, (size_t)got);
        status = print_frames(&fe, opt.pcap != NULL, &good);
    }
    if (status == GO_ON) {
        feed_end(&fe, &rd);
        status = print_frames(&fe, opt.pcap != NULL, &good);
    }
    if (opt.pcap != NULL && pcap_close() != GO_ON)
        status = EXIT_IO;
    if (status != GO_ON)
        return status;
    return good ? EXIT_DONE : EXIT_REFUSED;
}
