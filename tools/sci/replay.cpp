// SPDX-License-Identifier: MIT
/* sci replay: the records of a capture written onto a live serial line, with
 * the time between them kept. */
#include "args.h"
#include "line.h"
#include "modes.h"
#include "pcap.h"

#include <stdio.h>
#include <string.h>

/* The hex of a record printed at most: longer ones end in "...". */
#define SHOWN_MAX 32

static const char g_replay_help[] =
    "usage: sci replay PCAP DEVICE -b BAUD [--speed X]\n"
    "\n"
    "Writes each record of PCAP, a classic pcap file of link type USER0 (147)\n"
    "such as sci monitor --pcap and sci scan --pcap write, onto the serial\n"
    "line DEVICE, set up as sci monitor does. Each record leaves at its\n"
    "recorded time after the first record's, divided by X (default 1, up to\n"
    "1000, with up to three decimals; 0 writes them as fast as the line takes\n"
    "them). It prints one line per record as it is written:\n"
    "\n"
    "  #N +SECONDS BYTES bytes: HEX\n"
    "\n"
    "and a summary at the end. PCAP is read through before the line is set\n"
    "up, so that a bad capture never touches it. Ctrl-C, SIGTERM, SIGHUP or\n"
    "SIGQUIT ends it, the line's settings back.\n"
    "\n"
    "Exit status: 0 all written, or ended by one of those signals; 2 bad\n"
    "usage, a bad capture, or DEVICE is no terminal; 3 the line went away or\n"
    "output failed.\n";

/* X of --speed in thousandths: digits, then up to three decimals; -1 when
 * malformed or above 1000. */
static long parse_speed(const char *text)
{
    long milli = 0;
    long scale = 0;

    if (*text == '\0' || *text == '.')
        return -1;
    for (; *text; text++) {
        if (*text == '.' && scale == 0) {
            scale = 1000;
            continue;
        }
        if (*text < '0' || *text > '9' || scale == 1)
            return -1;
        if (scale == 0) {
            milli = milli * 10 + (long)(*text - '0') * 1000;
        } else {
            scale /= 10;
            milli += (*text - '0') * scale;
        }
        if (milli > 1000000)
            return -1;
    }
    return milli;
}

/* Reads the whole capture once, so that a bad one is refused before the line
 * is touched. Returns GO_ON or the exit status. */
static int check_capture(const char *name)
{
    struct pcap_entry e;
    int status = pcap_read_open(name);

    while (status == GO_ON)
        status = pcap_read_next(&e);
    pcap_read_close();
    return status == EXIT_DONE ? GO_ON : status;
}

/* Prints a record's line once it is written. */
static int show_record(unsigned long long number, uint64_t offset_us, const struct pcap_entry *e)
{
    char line[64 + 3 * SHOWN_MAX + 8];
    size_t shown = e->size < SHOWN_MAX ? e->size : SHOWN_MAX;
    size_t n;

    n = (size_t)snprintf(line, 64, "#%llu +%llu.%06llu %u bytes%s", number,
                         (unsigned long long)(offset_us / 1000000u),
                         (unsigned long long)(offset_us % 1000000u), e->size, shown ? ": " : "");
    n += format_hex(line + n, e->bytes, shown);
    n += (size_t)snprintf(line + n, 8, "%s\n", shown < e->size ? " ..." : "");
    return show_text(line, n, NULL, 0);
}

int run_replay(int argc, char **argv)
{
    struct pcap_entry e;
    struct options opt;
    const char *capture;
    const char *device;
    char summary[128];
    unsigned long long records = 0;
    unsigned long long bytes = 0;
    uint64_t first_usec = 0;
    uint64_t start = 0;
    uint64_t offset;
    long speed = 1000;
    int next = 0;
    int status;

    status = parse_options(argc, argv, "bS", "b", g_replay_help, &opt);
    if (status != GO_ON || (status = first_operand(argc, argv, "PCAP", &capture, &next)) != GO_ON)
        return status;
    argv[next - 1] = NULL;
    if ((status = first_operand(argc, argv, "DEVICE", &device, &next)) != GO_ON)
        return status;
    for (int i = next; i < argc; i++)
        if (argv[i] != NULL)
            return fail("one PCAP and one DEVICE, not also '%s'", argv[i]);
    if (opt.speed != NULL && (speed = parse_speed(opt.speed)) < 0)
        return fail("--speed takes a number from 0 to 1000, not '%s'", opt.speed);
    if ((status = check_capture(capture)) != GO_ON)
        return status;
    catch_signals(false);
    if ((status = open_line_raw(device, opt.baud)) != GO_ON)
        return status;
    if ((status = pcap_read_open(capture)) != GO_ON) {
        restore_line();
        return status;
    }
    while (status == GO_ON && line_stop_signal() == 0) {
        if ((status = pcap_read_next(&e)) != GO_ON)
            break;
        if (records == 0) {
            first_usec = e.usec;
            start = monotonic_us();
        }
        /* A record stamped before the first leaves at once. */
        offset = e.usec > first_usec ? e.usec - first_usec : 0;
        if (speed != 0 && !line_pause_until(start + offset * 1000u / (uint64_t)speed))
            break;
        if ((status = write_line(e.bytes, e.size)) != GO_ON || line_stop_signal() != 0)
            break;
        records++;
        bytes += e.size;
        status = show_record(records, monotonic_us() - start, &e);
    }
    pcap_read_close();
    restore_line();
    if (status == EXIT_IO || status == EXIT_USAGE)
        return status;
    (void)snprintf(summary, sizeof summary, "sci replay: %llu records, %llu bytes in %.3f s\n",
                   records, bytes, records != 0 ? (double)(monotonic_us() - start) / 1e6 : 0.0);
    return show_text(summary, strlen(summary), NULL, 0) == GO_ON ? EXIT_DONE : EXIT_IO;
}
