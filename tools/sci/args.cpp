// SPDX-License-Identifier: MIT
/* The sci tool's arguments: options, numbers and hex. */
#include "args.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static int hex_digit(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

long parse_number(const char *text, long max)
{
    long base = 10;
    long value = 0;
    const char *p = text;
    int digit;

    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (*p == '\0')
        return -1;
    for (; *p; p++) {
        digit = hex_digit((unsigned char)*p);
        if (digit < 0 || digit >= base)
            return -1;
        value = value * base + digit;
        if (value > max)
            return -1;
    }
    return value;
}

/* Each option's letter, range and place in struct options. */
static const struct {
    char letter;
    long min;
    long max;
    long options::*field;
} g_option_table[] = {
    {'V', 1, 2, &options::version},       {'a', 0, 0xFF, &options::addr},
    {'c', 0, 0xFFFF, &options::cmd},      {'b', 1, 99999999, &options::baud},
    {'t', 0, 3600000, &options::gap},     {'r', 0, 3600000, &options::reply},
    {'A', 0, 0xFF, &options::reply_addr}, {'C', 0, 0xFFFF, &options::reply_cmd},
};

/* The long options that take a word: their letter in `allowed`. */
static const struct {
    char letter;
    const char *name;
    const char *options::*field;
} g_word_options[] = {
    {'P', "--pcap", &options::pcap},
    {'T', "--table", &options::table},
    {'S', "--speed", &options::speed},
};

/* Takes a long option that `allowed` names and its word: 1 when `arg` is one,
 * 0 when not, or the exit status. */
static int word_option(int argc, char **argv, int *i, const char *allowed, struct options *opt)
{
    for (const auto &w : g_word_options) {
        if (strchr(allowed, w.letter) == NULL || strcmp(argv[*i], w.name) != 0)
            continue;
        if (*i + 1 == argc)
            return w.letter == 'S' ? fail("option --speed needs a value")
                                   : fail("option %s needs a file", w.name);
        argv[*i] = NULL;
        opt->*w.field = argv[++*i];
        argv[*i] = NULL;
        return 1;
    }
    return 0;
}

int parse_options(int argc, char **argv, const char *allowed, const char *needed, const char *help,
                  struct options *opt)
{
    const char *arg;
    const char *value;
    int took;

    for (const auto &option : g_option_table)
        opt->*option.field = NO_VALUE;
    for (const auto &w : g_word_options)
        opt->*w.field = NULL;
    for (int i = 2; i < argc; i++) {
        arg = argv[i];
        if (strcmp(arg, "--") == 0) {
            argv[i] = NULL;
            break;
        }
        if (arg[0] != '-' || arg[1] == '\0')
            continue;
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            (void)fputs(help, stdout); /* a failure shows in ferror(stdout): finish_output */
            return EXIT_DONE;
        }
        if ((took = word_option(argc, argv, &i, allowed, opt)) == 1)
            continue;
        if (took != 0)
            return took;
        if (arg[1] == '-' || arg[1] == 'P' || arg[1] == 'T' || arg[1] == 'S' ||
            strchr(allowed, arg[1]) == NULL)
            return fail("unknown option '%s'", arg);
        argv[i] = NULL;
        value = arg + 2;
        if (*value == '\0') {
            if (i + 1 == argc)
                return fail("option %s needs a value", arg);
            value = argv[++i];
            argv[i] = NULL;
        }
        for (const auto &option : g_option_table) {
            if (option.letter != arg[1])
                continue;
            opt->*option.field = parse_number(value, option.max);
            if (opt->*option.field < option.min)
                return fail("%.2s takes a number from %ld to %ld, not '%s'", arg, option.min,
                            option.max, value);
        }
    }
    for (; *needed; needed++) {
        for (const auto &option : g_option_table)
            if (option.letter == *needed && opt->*option.field == NO_VALUE)
                return fail("missing -%c", *needed);
        for (const auto &w : g_word_options)
            if (w.letter == *needed && opt->*w.field == NULL)
                return fail("missing %s", w.name);
    }
    return GO_ON;
}

/* Returns 0, or -1 with h->why said. */
static int hex_feed(struct hex_reader *h, int c)
{
    int digit = hex_digit(c);

    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        if (h->high < 0)
            return 0;
        (void)snprintf(h->why, sizeof h->why, "odd number of hex digits");
        return -1;
    }
    if (digit < 0 && c > ' ' && c < 0x7F)
        (void)snprintf(h->why, sizeof h->why, "'%c' is not a hex digit", c);
    else if (digit < 0)
        (void)snprintf(h->why, sizeof h->why, "byte 0x%02X is not a hex digit", c);
    if (digit < 0)
        return -1;
    if (h->high < 0) {
        h->high = digit;
        return 0;
    }
    if (h->count == h->room) {
        (void)snprintf(h->why, sizeof h->why, "more than %zu bytes", h->room);
        return -1;
    }
    h->bytes[h->count++] = (uint8_t)(h->high << 4 | digit);
    h->high = -1;
    return 0;
}

int hex_feed_word(struct hex_reader *h, const char *text)
{
    int status = 0;

    for (; *text && status == 0; text++)
        status = hex_feed(h, (unsigned char)*text);
    /* A byte may not straddle two words. */
    return status ? status : hex_feed(h, ' ');
}

static int hex_feed_fd(struct hex_reader *h, int fd)
{
    char chunk[512];
    ssize_t got;

    for (;;) {
        got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fail_io("read", "standard input");
        if (got == 0)
            return hex_feed(h, ' ') == 0 ? 0 : fail("%s", h->why);
        for (ssize_t i = 0; i < got; i++)
            if (hex_feed(h, (unsigned char)chunk[i]) != 0)
                return fail("%s", h->why);
    }
}

int read_hex(int argc, char **argv, int first, struct hex_reader *h, bool from_stdin)
{
    bool seen = false;

    for (int i = first; i < argc; i++) {
        if (argv[i] == NULL)
            continue;
        if (hex_feed_word(h, argv[i]) != 0)
            return fail("%s", h->why);
        seen = true;
    }
    if (!seen && from_stdin)
        return hex_feed_fd(h, STDIN_FILENO);
    return 0;
}

int first_operand(int argc, char **argv, const char *what, const char **name, int *next)
{
    /* Never a null pointer, even on the path that fails: the analyser cannot
     * see that fail() returns no GO_ON. */
    *name = "";
    for (int i = 2; i < argc; i++) {
        if (argv[i] != NULL) {
            *name = argv[i];
            *next = i + 1;
            return GO_ON;
        }
    }
    return fail("no %s given", what);
}

int only_operand(int argc, char **argv, const char *what, const char **name)
{
    int next = 0;
    int status = first_operand(argc, argv, what, name, &next);

    for (int i = next; status == GO_ON && i < argc; i++)
        if (argv[i] != NULL)
            return fail("one %s at a time, not '%s' and '%s'", what, *name, argv[i]);
    return status;
}

int pack_operands(int argc, char **argv, int first, const struct options *opt, uint8_t *frame,
                  int16_t *n)
{
    static uint8_t payload[SCI_V2_MAX_PAYLOAD];
    struct hex_reader h = {payload, sizeof payload, 0, -1, ""};
    sci_pack_t msg;
    int status = read_hex(argc, argv, first, &h, false);

    if (status != 0)
        return status;
    msg.version = (uint8_t)opt->version;
    msg.addr = (uint8_t)opt->addr;
    msg.cmd = (uint16_t)opt->cmd;
    msg.len = (uint16_t)h.count;
    msg.data = payload;
    *n = cu_korvi_sci_pack(&msg, frame, FRAME_MAX);
    if (*n < 0)
        return fail("a version-%ld payload takes at most %d bytes, not %zu", opt->version,
                    opt->version == 1 ? SCI_V1_MAX_PAYLOAD : SCI_V2_MAX_PAYLOAD, h.count);
    return GO_ON;
}
