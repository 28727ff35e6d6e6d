// SPDX-License-Identifier: MIT
/* sci send: one frame onto a live serial line, faults and all, and the reply
 * to it. */
#include "frames.h"
#include "line.h"
#include "modes.h"

#include <stdio.h>
#include <string.h>

static uint8_t g_chunk[4096];

static const char g_send_help[] =
    "usage: sci send DEVICE -b BAUD -V 1|2 -a ADDR -c CMD [PAYLOAD-HEX...]\n"
    "                [noise N] [bad-checksum | cut N]\n"
    "                [-r REPLY_MS] [-A ADDR] [-C CMD]\n"
    "\n"
    "Sets the serial line DEVICE raw, 8N1, at BAUD (as sci monitor takes it),\n"
    "drops what it had received, packs one frame as sci pack does, writes all\n"
    "of it and waits until it has left. With -r it then waits up to REPLY_MS\n"
    "for the first frame that the codec accepts for address -A and command -C\n"
    "(by default those sent; a frame command of 0xFFFF matches any) and prints\n"
    "it as sci monitor does. The line's settings go back as they were.\n"
    "\n"
    "The fault words after the payload damage what is written, to test how a\n"
    "device finds its way back: noise N writes N bytes of noise (no sync\n"
    "byte, 55) before the frame, bad-checksum spoils its checksum, cut N\n"
    "writes only its first N bytes.\n"
    "\n"
    "Exit status: 0 sent (and, with -r, the reply printed); 1 no reply in\n"
    "time; 2 bad usage, or DEVICE is no terminal; 3 the line went away or a\n"
    "write failed. Ctrl-C, SIGTERM, SIGHUP or SIGQUIT ends it by that signal,\n"
    "the line's settings back.\n";

/* Takes the fault words out of the operands from index `first` on, so that
 * only the payload's hex remains. Returns GO_ON or the exit status. */
static int fault_operands(int argc, char **argv, int first, struct fault *fa)
{
    const char *words[2];
    char why[96];
    int took;
    int next;

    for (int i = first; i < argc; i++) {
        if (argv[i] == NULL)
            continue;
        for (next = i + 1; next < argc && argv[next] == NULL; next++)
            ;
        words[0] = argv[i];
        words[1] = next < argc ? argv[next] : "";
        took = fault_word(words, next < argc ? 2 : 1, fa, why, sizeof why);
        if (took < 0)
            return fail("%s", why);
        if (took != 0)
            argv[i] = NULL;
        if (took == 2)
            argv[next] = NULL;
    }
    if (fa->bad_checksum && fa->cut != 0)
        return fail("bad-checksum or cut, not both");
    return GO_ON;
}

int run_send(int argc, char **argv)
{
    static sci_stream_t rd;
    static uint8_t out[NOISE_MAX + FRAME_MAX];
    uint8_t frame[FRAME_MAX];
    struct fault fa = {0, false, 0};
    sci_stream_frame_t f;
    struct feed fe;
    struct options opt;
    const char *device;
    uint64_t deadline;
    int first = 0;
    int status;
    int16_t n;
    ssize_t got;

    status = parse_options(argc, argv, "bVacrAC", "bVac", g_send_help, &opt);
    if (status != GO_ON ||
        (status = first_operand(argc, argv, "DEVICE", &device, &first)) != GO_ON ||
        (status = fault_operands(argc, argv, first, &fa)) != GO_ON ||
        (status = pack_operands(argc, argv, first, &opt, frame, &n)) != GO_ON)
        return status;
    if (fa.cut >= n)
        return fail("cut %ld: the frame has only %d bytes", fa.cut, n);
    catch_signals(false);
    if ((status = open_line_raw(device, opt.baud)) != GO_ON)
        return status;
    /* Bytes that came before the frame left are no reply to it. */
    line_drop_input();
    status = write_line(out, fault_apply(&fa, frame, (size_t)n, out));

    if (status == GO_ON && opt.reply != NO_VALUE) {
        sci_stream_init(&rd, default_gap(opt.baud));
        sci_stream_filter(&rd, (int32_t)(opt.reply_addr != NO_VALUE ? opt.reply_addr : opt.addr),
                          (int32_t)(opt.reply_cmd != NO_VALUE ? opt.reply_cmd : opt.cmd));
        deadline = monotonic_ms() + (uint64_t)opt.reply;
        status = EXIT_REFUSED;
        while (status == EXIT_REFUSED && line_stop_signal() == 0) {
            uint64_t now = monotonic_ms();
            if (now >= deadline)
                break;
            if ((got = read_line(g_chunk, sizeof g_chunk, (int)(deadline - now))) < 0) {
                status = EXIT_IO;
                break;
            }
            /* The reply may come behind a burst of other frames: all of
             * what was read is fed, up to the reply. */
            feed_start(&fe, &rd, g_chunk, (size_t)got);
            while (status == EXIT_REFUSED && feed_next(&fe, monotonic_ms(), &f)) {
                if (f.result == SCI_OK) {
                    status = show_frame(&f, wall_minus_monotonic_ms(), false);
                    status = status == GO_ON ? EXIT_DONE : status;
                }
            }
        }
        if (status == EXIT_REFUSED && line_stop_signal() == 0)
            (void)fprintf(stderr, "sci send: no reply within %ld ms\n", opt.reply);
    } else if (status == GO_ON) {
        status = EXIT_DONE;
    }
    restore_line();
    /* Ended as the signal ends a program, once the line is back. */
    end_by_stop_signal();
    return status;
}
