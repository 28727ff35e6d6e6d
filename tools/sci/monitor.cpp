// SPDX-License-Identifier: MIT
/* sci monitor: the SCI frames on a live serial line (any tty), as they come. */
#include "frames.h"
#include "line.h"
#include "modes.h"
#include "pcap.h"

#include <stdio.h>
#include <string.h>

/* What is read from the line at a time: every byte of it is fed. */
static uint8_t g_chunk[4096];

static const char g_monitor_help[] =
    "usage: sci monitor DEVICE -b BAUD [-t GAP_MS] [-a ADDR] [-c CMD] [--pcap PCAP]\n"
    "\n"
    "Sets the serial line DEVICE raw, 8N1, at BAUD (%RATES%), and prints each frame as it arrives, "
    "one flushed line\n"
    "each, after the time (UTC) its last byte came:\n"
    "\n"
    "  TIME vVERSION addr 0xAA cmd 0xCCCC len N checksum ok|bad [PAYLOAD]\n"
    "  TIME vVERSION [addr 0xAA] [cmd 0xCCCC] truncated, N of M bytes\n"
    "\n"
    "A frame still incomplete after a gap of GAP_MS with no byte is dropped\n"
    "and shown truncated, so that its length byte cannot swallow the frames\n"
    "that follow. The default gap is 50 ms, or the time of 20 characters at\n"
    "BAUD where that is longer (167 ms at 1200); -t 0 turns the gap off. -a\n"
    "keeps frames with that address, -c frames with that command or 0xFFFF.\n"
    "\n"
    "--pcap also writes every complete frame printed, good or bad, into PCAP,\n"
    "a classic pcap file of link type USER0 (147), each record stamped with\n"
    "the time its last byte came and written out at once, so that the file can\n"
    "be followed while the capture runs (tools/wireshark/sci.lua reads it).\n"
    "\n"
    "Ctrl-C, SIGTERM, SIGHUP or SIGQUIT ends it, within a second whatever its\n"
    "output does: the line's settings go back as they were, and the counts of\n"
    "good frames, bad checksums, skipped bytes and dropped partial frames go\n"
    "to standard error. PCAP is checked and created before the line is set up,\n"
    "and may not be DEVICE itself.\n"
    "\n"
    "Exit status: 0 ended by one of those signals; 2 bad usage, or DEVICE is\n"
    "no terminal; 3 the line went away (hang-up, a device error, an adapter\n"
    "pulled out) or output failed (a reader that went away, a full disk).\n";

int run_monitor(int argc, char **argv)
{
    static sci_stream_t rd;
    sci_stream_frame_t f;
    struct feed fe;
    struct options opt;
    const char *device;
    char counts[192]; /* room for four 20-digit counts */
    int status;
    int64_t offset;
    uint32_t gap;
    ssize_t got;

    status = parse_options(argc, argv, "btacP", "b", rates_help(g_monitor_help), &opt);
    if (status != GO_ON || (status = only_operand(argc, argv, "DEVICE", &device)) != GO_ON)
        return status;
    catch_signals(false);
    if ((status = open_line(device, opt.baud)) != GO_ON)
        return status;
    if ((opt.pcap != NULL && (status = pcap_open(opt.pcap, line_fd())) != GO_ON) ||
        (status = set_line_raw(opt.baud)) != GO_ON) {
        restore_line();
        return status;
    }
    gap = opt.gap == NO_VALUE ? default_gap(opt.baud) : (uint32_t)opt.gap;
    sci_stream_init(&rd, gap);
    filter_frames(&rd, &opt);
    offset = wall_minus_monotonic_ms();

    while (status == GO_ON && line_stop_signal() == 0) {
        /* Woken after a gap with nothing read, the reader is told the time,
         * and drops what is stale even when no byte follows it. */
        got = read_line(g_chunk, sizeof g_chunk, gap != 0 ? (int)gap + 1 : -1);
        if (got < 0) {
            status = EXIT_IO;
            break;
        }
        /* However much one read brought, all of it is fed, and every frame
         * taken out as the reader finds it, a stop signal or not: the counts
         * then hold every byte read. Once the tool is to stop, output that
         * would wait is given up, so this takes no time. */
        feed_start(&fe, &rd, g_chunk, (size_t)got);
        while (status == GO_ON && feed_next(&fe, monotonic_ms(), &f))
            status = show_frame(&f, offset, opt.pcap != NULL);
    }
    restore_line();
    if (opt.pcap != NULL && pcap_close() != GO_ON)
        status = EXIT_IO;
    if (status != GO_ON)
        return status;
    (void)snprintf(counts, sizeof counts,
                   "sci monitor: %llu good frames, %llu bad checksums, %llu bytes skipped, "
                   "%llu partial frames dropped\n",
                   (unsigned long long)rd.counters.good, (unsigned long long)rd.counters.bad,
                   (unsigned long long)rd.counters.skipped,
                   (unsigned long long)rd.counters.dropped);
    show_counts(counts);
    return EXIT_DONE;
}
