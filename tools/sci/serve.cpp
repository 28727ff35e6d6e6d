// SPDX-License-Identifier: MIT
/* sci serve: answers the frames on a live serial line as a device would, by a
 * table of rules, with faults to order. */
#include "line.h"
#include "modes.h"
#include "table.h"

#include <stdio.h>
#include <string.h>

static const char g_serve_help[] =
    "usage: sci serve DEVICE -b BAUD --table FILE [-t GAP_MS]\n"
    "\n"
    "Sets the serial line DEVICE up as sci monitor does and reads frames\n"
    "with the same gap (-t). For each good frame it takes the first rule of\n"
    "FILE that matches and acts on it, and prints the frame's line as sci\n"
    "monitor does, then \" -> \" and what it did. Bad and cut-off frames are\n"
    "printed and never answered.\n"
    "\n"
    "FILE holds one rule a line; '#' starts a comment:\n"
    "\n"
    "  VERSION ADDR CMD [delay MS] [noise N] reply [-a ADDR] [-c CMD] [HEX...]\n"
    "                                        [bad-checksum | cut N]\n"
    "  VERSION ADDR CMD [delay MS] [noise N] echo [bad-checksum | cut N]\n"
    "  VERSION ADDR CMD ignore\n"
    "  VERSION ADDR CMD exit STATUS\n"
    "\n"
    "VERSION is 1, 2 or *, ADDR 0-255 or *, CMD 0-0xFFFF or *. reply answers\n"
    "with the payload HEX, from the request's address and command unless -a\n"
    "and -c name others; echo with the request's own payload; both in the\n"
    "request's version, after MS ms and N bytes of noise (no sync byte), with\n"
    "a wrong checksum or only the first N bytes. ignore answers nothing; exit\n"
    "answers nothing and ends with STATUS. A frame no rule matches is not\n"
    "answered. A table with a mistake is refused before the line is touched,\n"
    "with its line said; SIGUSR1 reads it again, and keeps the old rules when\n"
    "the new ones have a mistake.\n"
    "\n"
    "Ctrl-C, SIGTERM, SIGHUP or SIGQUIT ends it, the line's settings back,\n"
    "and the counts of frames received, answered, unanswered and bad go to\n"
    "standard error, as they do on exit.\n"
    "\n"
    "Exit status: 0 ended by one of those signals; STATUS of an exit rule;\n"
    "2 bad usage, a mistake in FILE, or DEVICE is no terminal; 3 the line\n"
    "went away or output failed.\n";

/* The rules in use, and room to read new ones into. */
static struct table g_tables[2];
static int g_current;

static uint8_t g_chunk[4096];
static uint8_t g_out[NOISE_MAX + FRAME_MAX];

static struct {
    unsigned long long received;
    unsigned long long answered;
    unsigned long long unanswered;
    unsigned long long bad;
} g_count;

/* The status an exit rule asked for, or -1. */
static long g_exit = -1;

/* Reads the table again into the spare room, and uses it when it loaded. */
static void reload(const char *name)
{
    char text[320];
    char why[256];
    struct table *spare = &g_tables[1 - g_current];

    if (table_load(name, spare, why, sizeof why)) {
        g_current = 1 - g_current;
        (void)snprintf(text, sizeof text, "sci serve: reloaded %.200s: %zu rules\n", name,
                       spare->count);
    } else {
        (void)snprintf(text, sizeof text, "sci serve: %s; kept the old rules\n", why);
    }
    show_counts(text);
}

/* Packs the answer of rule `r` to good frame `f` into g_out, faults and all.
 * Returns the bytes to write and the frame's own size in *frame_size. */
static size_t answer(const struct rule *r, const sci_stream_frame_t *f, size_t *frame_size)
{
    static uint8_t payload[SCI_V2_MAX_PAYLOAD];
    uint8_t frame[FRAME_MAX];
    sci_pack_t msg;
    int16_t n;

    msg.version = f->version;
    msg.addr = (uint8_t)(r->reply_addr != ANY ? r->reply_addr : f->addr);
    msg.cmd = (uint16_t)(r->reply_cmd != ANY ? r->reply_cmd : f->cmd);
    msg.len = r->action == ACTION_ECHO ? f->len : r->len;
    memcpy(payload, r->action == ACTION_ECHO ? f->payload : r->payload, msg.len);
    msg.data = payload;
    n = cu_korvi_sci_pack(&msg, frame, FRAME_MAX);
    if (n <= 0)
        return 0; /* an echo of a payload the version cannot carry */
    *frame_size = (size_t)n;
    return fault_apply(&r->fault, frame, (size_t)n, g_out);
}

/* Says what rule `r` does with frame `f`, after " -> ", and counts it; the
 * answer is packed into g_out, *size bytes. */
static size_t say_action(char *text, size_t room, const struct rule *r, const sci_stream_frame_t *f,
                         size_t *size)
{
    size_t frame_size = 0;
    size_t n;

    *size = 0;
    g_count.received++;
    if (f->result != SCI_OK) {
        g_count.bad++;
        return (size_t)snprintf(text, room, " -> %s, no answer\n",
                                f->result == SCI_STREAM_PARTIAL ? "cut off" : "bad checksum");
    }
    if (r != NULL && (r->action == ACTION_REPLY || r->action == ACTION_ECHO))
        *size = answer(r, f, &frame_size);
    if (*size == 0) {
        g_count.unanswered++;
        if (r == NULL || r->action == ACTION_REPLY || r->action == ACTION_ECHO)
            return (size_t)snprintf(text, room, " -> %s\n",
                                    r == NULL ? "no rule" : "too long for the version, no answer");
        if (r->action == ACTION_IGNORE)
            return (size_t)snprintf(text, room, " -> ignore\n");
        return (size_t)snprintf(text, room, " -> exit %ld\n", r->status);
    }
    g_count.answered++;
    n = (size_t)snprintf(text, room, " ->");
    if (r->delay_ms != 0)
        n += (size_t)snprintf(text + n, room - n, " delay %ld ms,", r->delay_ms);
    if (r->fault.noise != 0)
        n += (size_t)snprintf(text + n, room - n, " noise %ld,", r->fault.noise);
    n += (size_t)snprintf(text + n, room - n, " %s ", r->action == ACTION_ECHO ? "echo" : "reply");
    if (r->fault.cut != 0 && (size_t)r->fault.cut < frame_size)
        n += (size_t)snprintf(text + n, room - n, "%ld of ", r->fault.cut);
    n += (size_t)snprintf(text + n, room - n, "%zu bytes%s\n", frame_size,
                          r->fault.bad_checksum ? ", bad checksum" : "");
    return n;
}

/* Prints frame `f` with what is done, and does it. Returns GO_ON or the exit
 * status. */
static int serve_frame(const sci_stream_frame_t *f, int64_t offset)
{
    char line[FRAME_LINE_MAX + 96];
    const struct rule *r = f->result == SCI_OK ? table_match(&g_tables[g_current], f) : NULL;
    size_t size;
    size_t n = format_line_frame(line, f, offset);
    int status;

    n += say_action(line + n, sizeof line - n, r, f, &size);
    if ((status = show_text(line, n, NULL, 0)) != GO_ON)
        return status;
    if (r != NULL && r->action == ACTION_EXIT && f->result == SCI_OK) {
        g_exit = r->status;
        return EXIT_DONE;
    }
    if (size == 0 || r == NULL || (r->delay_ms != 0 && !line_pause(r->delay_ms)) ||
        line_stop_signal() != 0)
        return GO_ON;
    return write_line(g_out, size);
}

int run_serve(int argc, char **argv)
{
    static sci_stream_t rd;
    sci_stream_frame_t f;
    struct feed fe;
    struct options opt;
    const char *device;
    char why[256];
    char counts[192];
    int status;
    int64_t offset;
    uint32_t gap;
    ssize_t got;

    status = parse_options(argc, argv, "btT", "bT", g_serve_help, &opt);
    if (status != GO_ON || (status = only_operand(argc, argv, "DEVICE", &device)) != GO_ON)
        return status;
    if (!table_load(opt.table, &g_tables[0], why, sizeof why))
        return fail("%s", why);
    catch_signals(true);
    if ((status = open_line_raw(device, opt.baud)) != GO_ON)
        return status;
    gap = opt.gap == NO_VALUE ? default_gap(opt.baud) : (uint32_t)opt.gap;
    sci_stream_init(&rd, gap);
    offset = wall_minus_monotonic_ms();

    while (status == GO_ON && line_stop_signal() == 0) {
        if (line_reload_asked())
            reload(opt.table);
        got = read_line(g_chunk, sizeof g_chunk, gap != 0 ? (int)gap + 1 : -1);
        if (got < 0) {
            status = EXIT_IO;
            break;
        }
        feed_start(&fe, &rd, g_chunk, (size_t)got);
        while (status == GO_ON && feed_next(&fe, monotonic_ms(), &f))
            status = serve_frame(&f, offset);
    }
    restore_line();
    if (status == EXIT_IO)
        return status;
    (void)snprintf(counts, sizeof counts,
                   "sci serve: %llu frames received, %llu answered, %llu unanswered, %llu bad\n",
                   g_count.received, g_count.answered, g_count.unanswered, g_count.bad);
    show_counts(counts);
    return g_exit >= 0 ? (int)g_exit : EXIT_DONE;
}
