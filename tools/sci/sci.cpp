// SPDX-License-Identifier: MIT
/* sci: builds, checks and finds SCI frames with the codec and the stream
 * reader, in files and on a live serial line.
 *
 *   sci pack -V 1|2 -a ADDR -c CMD [PAYLOAD-HEX...]
 *   sci unpack -a ADDR -c CMD [FRAME-HEX...]
 *   sci scan [-a ADDR] [-c CMD] [--pcap PCAP] [FILE|-]
 *   sci monitor DEVICE -b BAUD [-t GAP_MS] [-a ADDR] [-c CMD] [--pcap PCAP]
 *   sci send DEVICE -b BAUD -V 1|2 -a ADDR -c CMD [PAYLOAD-HEX...] [-r REPLY_MS] [-A ADDR] [-C CMD]
 *
 * No heap: hex goes into fixed buffers, and a capture or a line is read
 * through a fixed window into the stream reader, so either may be of any size.
 * This file holds the entry, pack, unpack and what the modes share; scan is in
 * scan.cpp, monitor and send in serial.cpp.
 */
#include "sci.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

/* Bytes of hex that unpack takes; the codec ignores what follows the frame. */
#define UNPACK_INPUT_MAX 4096

const char *g_mode = "";
volatile sig_atomic_t g_stop;

/* Indexed by the negated result code. */
static const char *const g_result_text[] = {
    "SCI_OK: frame accepted",
    "SCI_ERR_ARG: too short for a frame, or a version-1 length byte below 2",
    "SCI_ERR_SYNC: sync header is neither 55 AA nor 55 BB",
    "SCI_ERR_ADDR: address differs from the expected one",
    "SCI_ERR_CMD: command differs from the expected one and is not 0xFFFF",
    "SCI_ERR_CHECKSUM: checksum mismatch",
};

static const char g_usage[] =
    "usage: sci pack -V 1|2 -a ADDR -c CMD [PAYLOAD-HEX...]\n"
    "       sci unpack -a ADDR -c CMD [FRAME-HEX...]\n"
    "       sci scan [-a ADDR] [-c CMD] [--pcap PCAP] [FILE|-]\n"
    "       sci monitor DEVICE -b BAUD [-t GAP_MS] [-a ADDR] [-c CMD]\n"
    "                [--pcap PCAP]\n"
    "       sci send DEVICE -b BAUD -V 1|2 -a ADDR -c CMD [PAYLOAD-HEX...]\n"
    "                [-r REPLY_MS] [-A ADDR] [-C CMD]\n"
    "       sci [MODE] --help\n"
    "       sci --version\n"
    "\n"
    "Builds, checks and finds SCI frames with libsci_codec and libsci_stream,\n"
    "in files and on a serial line.\n"
    "Numbers are decimal or 0x-hex. Hex bytes are two digits each, with or\n"
    "without blanks between them (\"55BB01\" or \"55 BB 01\", quoted or not).\n"
    "\n"
    "Exit status: 0 done; 1 frame refused (unpack), no good frame found\n"
    "(scan) or no reply (send); 2 bad usage or input; 3 a read or write failed\n"
    "(a full disk, a device error, a serial line gone). With 2 and 3 a line on\n"
    "standard error says why.\n";

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

/* A message that standard error does not take has nowhere else to go: the
 * exit status still tells. */
// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, its arguments checked by its format attribute
int fail(const char *format, ...)
{
    va_list args;

    (void)fprintf(stderr, "sci%s%s: ", *g_mode ? " " : "", g_mode);
    va_start(args, format);
    (void)vfprintf(stderr, format, args);
    va_end(args);
    (void)fprintf(stderr, " (see sci%s%s --help)\n", *g_mode ? " " : "", g_mode);
    return EXIT_USAGE;
}

int fail_io(const char *what, const char *name)
{
    (void)fprintf(stderr, "sci%s%s: cannot %s %s: %s\n", *g_mode ? " " : "", g_mode, what, name,
                  strerror(errno));
    return EXIT_IO;
}

/* stdio drops what it could not write, and the next flush succeeds: the first
 * failure's errno is kept for the report. */
static int g_output_errno;

void flush_output(void)
{
    if (fflush(stdout) != 0 && g_output_errno == 0)
        g_output_errno = errno;
}

bool output_failed(void)
{
    return g_output_errno != 0 || ferror(stdout);
}

void output_failure(void)
{
    if (g_output_errno == 0)
        g_output_errno = errno;
}

int write_all(int fd, const void *bytes, size_t n)
{
    const uint8_t *p = (const uint8_t *)bytes;
    struct pollfd out = {fd, POLLOUT, 0};
    ssize_t put;

    while (n > 0) {
        /* Once the tool is to stop, output that would wait is given up. */
        if (g_stop != 0 && poll(&out, 1, 0) != 1)
            return 1;
        put = write(fd, p, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno == EAGAIN) {
            poll(&out, 1, 100);
            continue;
        }
        if (put < 0)
            return -1;
        p += put;
        n -= (size_t)put;
    }
    return 0;
}

/* The mode's status, unless output it wrote did not reach its place. */
static int finish_output(int status)
{
    flush_output();
    if (output_failed()) {
        errno = g_output_errno != 0 ? g_output_errno : EIO;
        return fail_io("write", "standard output");
    }
    return status;
}

/* Hex text to bytes, fed a character at a time so that it serves arguments
 * and standard input alike. */
struct hex_reader {
    uint8_t *bytes;
    size_t room;
    size_t count;
    int high; /* first digit of a byte in progress, or -1 */
};

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

/* Decimal, or hex after 0x; -1 when malformed or above max. */
static long parse_number(const char *text, long max)
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

int parse_options(int argc, char **argv, const char *allowed, const char *needed, const char *help,
                  struct options *opt)
{
    const char *arg;
    const char *value;

    for (const auto &option : g_option_table)
        opt->*option.field = NO_VALUE;
    opt->pcap = NULL;
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
        if (strchr(allowed, 'P') != NULL && strcmp(arg, "--pcap") == 0) {
            if (i + 1 == argc)
                return fail("option --pcap needs a file");
            argv[i] = NULL;
            opt->pcap = argv[++i];
            argv[i] = NULL;
            continue;
        }
        if (arg[1] == '-' || arg[1] == 'P' || strchr(allowed, arg[1]) == NULL)
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
    for (; *needed; needed++)
        for (const auto &option : g_option_table)
            if (option.letter == *needed && opt->*option.field == NO_VALUE)
                return fail("missing -%c", *needed);
    return GO_ON;
}

static int hex_feed(struct hex_reader *h, int c)
{
    int digit = hex_digit(c);

    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        if (h->high >= 0)
            return fail("odd number of hex digits");
        return 0;
    }
    if (digit < 0 && c > ' ' && c < 0x7F)
        return fail("'%c' is not a hex digit", c);
    if (digit < 0)
        return fail("byte 0x%02X is not a hex digit", c);
    if (h->high < 0) {
        h->high = digit;
        return 0;
    }
    if (h->count == h->room)
        return fail("more than %zu bytes", h->room);
    h->bytes[h->count++] = (uint8_t)(h->high << 4 | digit);
    h->high = -1;
    return 0;
}

static int hex_feed_text(struct hex_reader *h, const char *text)
{
    int status = 0;

    for (; *text && status == 0; text++)
        status = hex_feed(h, (unsigned char)*text);
    /* A byte may not straddle two arguments. */
    return status ? status : hex_feed(h, ' ');
}

static int hex_feed_fd(struct hex_reader *h, int fd)
{
    char chunk[512];
    ssize_t got;
    int status = 0;

    for (;;) {
        got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fail_io("read", "standard input");
        if (got == 0)
            return hex_feed(h, ' ');
        for (ssize_t i = 0; i < got && status == 0; i++)
            status = hex_feed(h, (unsigned char)chunk[i]);
        if (status)
            return status;
    }
}

/* Reads hex from the operands left in argv from index `first` on, or from
 * standard input when there are none and `from_stdin` is set. Returns 0 or
 * the exit status. */
static int read_hex(int argc, char **argv, int first, struct hex_reader *h, bool from_stdin)
{
    int status = 0;
    bool seen = false;

    for (int i = first; i < argc && status == 0; i++) {
        if (argv[i] != NULL) {
            status = hex_feed_text(h, argv[i]);
            seen = true;
        }
    }
    if (status == 0 && !seen && from_stdin)
        status = hex_feed_fd(h, STDIN_FILENO);
    return status;
}

/* Writes bytes as blank-separated hex into `text` (room for 3 per byte) and
 * returns the characters written, without a trailing blank. */
static size_t format_hex(char *text, const uint8_t *bytes, size_t count)
{
    static const char digits[] = "0123456789ABCDEF";

    for (size_t i = 0; i < count; i++) {
        text[3 * i] = digits[bytes[i] >> 4];
        text[3 * i + 1] = digits[bytes[i] & 15];
        text[3 * i + 2] = ' ';
    }
    return count != 0 ? 3 * count - 1 : 0;
}

/* Prints bytes as blank-separated hex. Like every write to standard output
 * through its buffer, a failure shows in ferror(stdout), which finish_output
 * reads. */
static void print_hex(const uint8_t *bytes, size_t count)
{
    char text[3 * FRAME_MAX];
    size_t n;

    if (count > FRAME_MAX)
        count = FRAME_MAX;
    n = format_hex(text, bytes, count);
    (void)fwrite(text, 1, n, stdout);
}

size_t format_frame(char *line, const char *place, const sci_stream_frame_t *f)
{
    size_t n;

    n = (size_t)snprintf(line, 112, "%.40s v%u", place, f->version);
    if (f->result == SCI_STREAM_PARTIAL) {
        if (f->size > 2)
            n += (size_t)snprintf(line + n, 16, " addr 0x%02X", f->addr);
        if (f->size > 5)
            n += (size_t)snprintf(line + n, 16, " cmd 0x%04X", f->cmd);
        if (f->total != 0)
            n += (size_t)snprintf(line + n, 40, " truncated, %u of %u bytes\n", f->size, f->total);
        else
            n += (size_t)snprintf(line + n, 40, " truncated, %u bytes\n", f->size);
    } else {
        n += (size_t)snprintf(line + n, 64, " addr 0x%02X cmd 0x%04X len %u checksum %s%s", f->addr,
                              f->cmd, f->len, f->result == SCI_OK ? "ok" : "bad",
                              f->len != 0 ? " " : "");
        n += format_hex(line + n, f->payload, f->len);
        line[n++] = '\n';
    }
    return n;
}

void print_frame(const char *place, const sci_stream_frame_t *f)
{
    char line[FRAME_LINE_MAX];
    size_t n = format_frame(line, place, f);

    /* One write of the whole line: scan prints hundreds of thousands. A
     * failure shows in ferror(stdout), which the modes read. */
    (void)fwrite(line, 1, n, stdout);
}

void filter_frames(sci_stream_t *rd, const struct options *opt)
{
    sci_stream_filter(rd, opt->addr == NO_VALUE ? SCI_STREAM_ANY : (int32_t)opt->addr,
                      opt->cmd == NO_VALUE ? SCI_STREAM_ANY : (int32_t)opt->cmd);
}

int pack_operands(int argc, char **argv, int first, const struct options *opt, uint8_t *frame,
                  int16_t *n)
{
    static uint8_t payload[SCI_V2_MAX_PAYLOAD];
    struct hex_reader h = {payload, sizeof payload, 0, -1};
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

static int run_pack(int argc, char **argv)
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

static int run_unpack(int argc, char **argv)
{
    static uint8_t input[UNPACK_INPUT_MAX];
    static uint8_t payload[SCI_V2_MAX_PAYLOAD];
    struct hex_reader h = {input, sizeof input, 0, -1};
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
    else {
        g_mode = "";
        return fail("unknown mode '%s'", argv[1]);
    }
    return finish_output(status);
}
