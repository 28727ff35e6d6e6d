/* sci: builds, checks and finds SCI frames with the codec library.
 *
 *   sci pack -V 1|2 -a ADDR -c CMD [PAYLOAD-HEX...]
 *   sci unpack -a ADDR -c CMD [FRAME-HEX...]
 *   sci scan [-a ADDR] [-c CMD] [FILE|-]
 *
 * No heap: hex input goes into fixed buffers, and a capture is read through a
 * fixed window, so a capture may be of any size.
 */
#define _POSIX_C_SOURCE 200809L

#include <sci_codec.h>

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#define EXIT_DONE 0
#define EXIT_REFUSED 1
#define EXIT_USAGE 2
#define EXIT_IO 3

/* Longest frame of either version: version 2 with 255 payload bytes. */
#define FRAME_MAX (SCI_V2_MAX_PAYLOAD + 8)
/* Bytes of hex that unpack takes; the codec ignores what follows the frame. */
#define UNPACK_INPUT_MAX 4096
#define SCAN_WINDOW 65536
#define NO_VALUE (-1L)
/* Neither done nor failed: the mode goes on. */
#define GO_ON (-1)

static const char *g_mode = "";

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
    "       sci scan [-a ADDR] [-c CMD] [FILE|-]\n"
    "       sci [MODE] --help\n"
    "\n"
    "Builds, checks and finds SCI frames with libsci_codec.\n"
    "Numbers are decimal or 0x-hex. Hex bytes are two digits each, with or\n"
    "without blanks between them (\"55BB01\" or \"55 BB 01\", quoted or not).\n"
    "\n"
    "Exit status: 0 done; 1 frame refused (unpack) or no good frame found\n"
    "(scan); 2 bad usage or input; 3 a read or write failed (a full disk, a\n"
    "device error). With 2 and 3 a line on standard error says why.\n";

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

static const char g_scan_help[] =
    "usage: sci scan [-a ADDR] [-c CMD] [FILE|-]\n"
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
    "Exit status: 0 a good frame was found; 1 none; 2 bad usage or input;\n"
    "3 a read or write failed.\n";

/* One line on standard error; returns the usage exit status. */
static int fail(const char *format, ...)
{
    va_list args;

    fprintf(stderr, "sci%s%s: ", *g_mode ? " " : "", g_mode);
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fprintf(stderr, " (see sci%s%s --help)\n", *g_mode ? " " : "", g_mode);
    return EXIT_USAGE;
}

/* One line on standard error for a read or write that failed; returns the
 * I/O exit status. */
static int fail_io(const char *what, const char *name)
{
    fprintf(stderr, "sci%s%s: cannot %s %s: %s\n", *g_mode ? " " : "", g_mode, what, name,
            strerror(errno));
    return EXIT_IO;
}

/* Flushes standard output, keeping the first failure's errno for the report:
 * stdio drops what it could not write, and the next flush succeeds. */
static int g_output_errno;

static void flush_output(void)
{
    if (fflush(stdout) != 0 && g_output_errno == 0)
        g_output_errno = errno;
}

/* Whatever a mode says, output that did not reach its place makes the run a
 * failure. */
static int finish_output(int status)
{
    flush_output();
    if (g_output_errno != 0 || ferror(stdout)) {
        errno = g_output_errno != 0 ? g_output_errno : EIO;
        return fail_io("write", "standard output");
    }
    return status;
}

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

/* Hex text to bytes, fed a character at a time so that it serves arguments
 * and standard input alike. */
struct hex_reader {
    uint8_t *bytes;
    size_t room;
    size_t count;
    int high; /* first digit of a byte in progress, or -1 */
};

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
    ssize_t i;
    int status = 0;

    for (;;) {
        got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fail_io("read", "standard input");
        if (got == 0)
            return hex_feed(h, ' ');
        for (i = 0; i < got && status == 0; i++)
            status = hex_feed(h, (unsigned char)chunk[i]);
        if (status)
            return status;
    }
}

static void print_hex(const uint8_t *bytes, size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    char text[3 * FRAME_MAX];
    size_t i;

    if (count > FRAME_MAX)
        count = FRAME_MAX;
    for (i = 0; i < count; i++) {
        text[3 * i] = digits[bytes[i] >> 4];
        text[3 * i + 1] = digits[bytes[i] & 15];
        text[3 * i + 2] = ' ';
    }
    if (count != 0)
        fwrite(text, 1, 3 * count - 1, stdout);
}

struct options {
    long version; /* NO_VALUE when not given */
    long addr;
    long cmd;
};

/* Checks that each option named in `needed` was given. */
static int require(const struct options *opt, const char *needed)
{
    for (; *needed; needed++) {
        if ((*needed == 'V' && opt->version == NO_VALUE) ||
            (*needed == 'a' && opt->addr == NO_VALUE) || (*needed == 'c' && opt->cmd == NO_VALUE))
            return fail("missing -%c", *needed);
    }
    return 0;
}

/* Reads the options named in `allowed` and checks that those in `needed` were
 * given, or prints `help` for --help. Options may come before, between or
 * after the operands, up to "--"; each option and its value is cleared from
 * argv, so that only operands remain. Returns GO_ON or the exit status. */
static int parse_options(int argc, char **argv, const char *allowed, const char *needed,
                         const char *help, struct options *opt)
{
    const char *arg;
    const char *value;
    long *field;
    long max;
    int i;

    opt->version = opt->addr = opt->cmd = NO_VALUE;
    for (i = 2; i < argc; i++) {
        arg = argv[i];
        if (strcmp(arg, "--") == 0) {
            argv[i] = NULL;
            break;
        }
        if (arg[0] != '-' || arg[1] == '\0')
            continue;
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(help, stdout);
            return EXIT_DONE;
        }
        if (arg[1] == '-' || strchr(allowed, arg[1]) == NULL)
            return fail("unknown option '%s'", arg);
        argv[i] = NULL;
        value = arg + 2;
        if (*value == '\0') {
            if (i + 1 == argc)
                return fail("option %s needs a value", arg);
            value = argv[++i];
            argv[i] = NULL;
        }
        field = arg[1] == 'V' ? &opt->version : arg[1] == 'a' ? &opt->addr : &opt->cmd;
        max = arg[1] == 'V' ? 2 : arg[1] == 'a' ? 0xFF : 0xFFFF;
        *field = parse_number(value, max);
        if (*field < (arg[1] == 'V' ? 1 : 0))
            return fail("%.2s takes a number from %d to %ld, not '%s'", arg, arg[1] == 'V' ? 1 : 0,
                        max, value);
    }
    return require(opt, needed) ? EXIT_USAGE : GO_ON;
}

/* Reads hex from the operands left in argv, or from standard input when there
 * are none. */
static int read_hex(int argc, char **argv, struct hex_reader *h, int from_stdin)
{
    int status = 0;
    int seen = 0;
    int i;

    for (i = 2; i < argc && status == 0; i++) {
        if (argv[i] != NULL) {
            status = hex_feed_text(h, argv[i]);
            seen = 1;
        }
    }
    if (status == 0 && !seen && from_stdin)
        status = hex_feed_fd(h, STDIN_FILENO);
    return status;
}

static int run_pack(int argc, char **argv)
{
    static uint8_t payload[SCI_V2_MAX_PAYLOAD];
    uint8_t frame[FRAME_MAX];
    struct hex_reader h = {payload, sizeof payload, 0, -1};
    struct options opt;
    sci_pack_t msg;
    int16_t n;
    int status;

    status = parse_options(argc, argv, "Vac", "Vac", g_pack_help, &opt);
    if (status != GO_ON || (status = read_hex(argc, argv, &h, 0)) != 0)
        return status;

    msg.version = (uint8_t)opt.version;
    msg.addr = (uint8_t)opt.addr;
    msg.cmd = (uint16_t)opt.cmd;
    msg.len = (uint16_t)h.count;
    msg.data = payload;
    n = cu_korvi_sci_pack(&msg, frame, sizeof frame);
    if (n < 0)
        return fail("a version-%ld payload takes at most %d bytes, not %zu", opt.version,
                    opt.version == 1 ? SCI_V1_MAX_PAYLOAD : SCI_V2_MAX_PAYLOAD, h.count);
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
    int known;
    int status;

    status = parse_options(argc, argv, "ac", "ac", g_unpack_help, &opt);
    if (status != GO_ON || (status = read_hex(argc, argv, &h, 1)) != 0)
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

/* The capture window: bytes buf[pos..fill) are those not yet scanned, and
 * buf[0] lies at `base` in the input. */
static struct {
    int fd;
    int eof;
    size_t pos;
    size_t fill;
    unsigned long long base;
    uint8_t buf[SCAN_WINDOW];
} g_scan;

/* Makes `need` bytes from pos available, unless the input ends first, and
 * returns how many are, or (size_t)-1 on a read error. Reads no more than it
 * must and flushes what was printed before it waits, so that frames arriving
 * through a pipe show as they come. */
static size_t scan_fill(size_t need)
{
    ssize_t got;

    while (g_scan.fill - g_scan.pos < need && !g_scan.eof) {
        if (g_scan.fill == sizeof g_scan.buf) {
            memmove(g_scan.buf, g_scan.buf + g_scan.pos, g_scan.fill - g_scan.pos);
            g_scan.base += g_scan.pos;
            g_scan.fill -= g_scan.pos;
            g_scan.pos = 0;
        }
        flush_output();
        got = read(g_scan.fd, g_scan.buf + g_scan.fill, sizeof g_scan.buf - g_scan.fill);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return (size_t)-1;
        if (got == 0)
            g_scan.eof = 1;
        g_scan.fill += (size_t)got;
    }
    return g_scan.fill - g_scan.pos;
}

/* -a keeps frames with that address, -c those with that command or 0xFFFF. A
 * field that the bytes do not hold (NO_VALUE) passes no filter. */
static int scan_wanted(const struct options *opt, long addr, long cmd)
{
    return (opt->addr == NO_VALUE || opt->addr == addr) &&
           (opt->cmd == NO_VALUE || opt->cmd == cmd || cmd == 0xFFFF);
}

/* Prints a frame cut off by the end of the input: the fields its bytes still
 * hold, and how many of them there are. */
static void scan_truncated(const struct options *opt, unsigned version, size_t have, size_t total)
{
    const uint8_t *p = g_scan.buf + g_scan.pos;
    long addr = have > 2 ? p[2] : NO_VALUE;
    long cmd = have > 5 ? (p[4] << 8 | p[5]) : NO_VALUE;

    if (!scan_wanted(opt, addr, cmd))
        return;
    printf("%08llx: v%u", g_scan.base + g_scan.pos, version);
    if (addr != NO_VALUE)
        printf(" addr 0x%02lX", addr);
    if (cmd != NO_VALUE)
        printf(" cmd 0x%04lX", cmd);
    if (total != 0)
        printf(" truncated, %zu of %zu bytes\n", have, total);
    else
        printf(" truncated, %zu bytes\n", have);
}

static int run_scan(int argc, char **argv)
{
    static uint8_t payload[SCI_V2_MAX_PAYLOAD];
    sci_pack_t got = {0, 0, 0, 0, payload};
    struct options opt;
    const char *name = NULL;
    const uint8_t *p;
    unsigned version;
    size_t have;
    size_t total;
    int good = 0;
    int status;
    int i;

    status = parse_options(argc, argv, "ac", "", g_scan_help, &opt);
    if (status != GO_ON)
        return status;
    for (i = 2; i < argc; i++) {
        if (argv[i] != NULL && name != NULL)
            return fail("one capture at a time, not '%s' and '%s'", name, argv[i]);
        if (argv[i] != NULL)
            name = argv[i];
    }
    g_scan.fd = STDIN_FILENO;
    if (name != NULL && strcmp(name, "-") != 0) {
        g_scan.fd = open(name, O_RDONLY | O_CLOEXEC);
        if (g_scan.fd < 0)
            return fail("cannot open %s: %s", name, strerror(errno));
    }
    if (name == NULL || strcmp(name, "-") == 0)
        name = "standard input";

    for (;;) {
        have = scan_fill(2);
        if (have == (size_t)-1)
            return fail_io("read", name);
        if (have < 2 || ferror(stdout))
            break;
        p = g_scan.buf + g_scan.pos;
        if (p[0] != 0x55 || (p[1] != 0xAA && p[1] != 0xBB)) {
            g_scan.pos++;
            continue;
        }
        version = p[1] == 0xAA ? 1 : 2;

        /* The length byte gives the frame's size, as the unpacker counts it. */
        total = 0;
        have = scan_fill(4);
        p = g_scan.buf + g_scan.pos;
        if (have != (size_t)-1 && have >= 4) {
            if (version == 1 && p[3] < 2) {
                g_scan.pos++; /* no frame has that length */
                continue;
            }
            total = p[3] + (version == 1 ? 6u : 8u);
            have = scan_fill(total);
            p = g_scan.buf + g_scan.pos;
        }
        if (have == (size_t)-1)
            return fail_io("read", name);
        if (total == 0 || have < total) {
            scan_truncated(&opt, version, have, total);
            g_scan.pos++;
            continue;
        }

        /* The header names the address and command; the codec has the say. */
        status = cu_korvi_sci_unpack(p[2], (uint16_t)(p[4] << 8 | p[5]), &got, p, (uint16_t)total);
        if (scan_wanted(&opt, got.addr, got.cmd)) {
            printf("%08llx: v%u addr 0x%02X cmd 0x%04X len %u checksum %s",
                   g_scan.base + g_scan.pos, version, got.addr, got.cmd, got.len,
                   status == SCI_OK ? "ok" : "bad");
            if (got.len != 0) {
                printf(" ");
                print_hex(p + 6, got.len);
            }
            printf("\n");
            good += status == SCI_OK;
        }
        g_scan.pos += status == SCI_OK ? total : 1;
    }
    return good ? EXIT_DONE : EXIT_REFUSED;
}

int main(int argc, char **argv)
{
    int status;

    if (argc < 2)
        return fail("no mode given");
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(g_usage, stdout);
        return finish_output(EXIT_DONE);
    }
    g_mode = argv[1];
    if (strcmp(g_mode, "pack") == 0)
        status = run_pack(argc, argv);
    else if (strcmp(g_mode, "unpack") == 0)
        status = run_unpack(argc, argv);
    else if (strcmp(g_mode, "scan") == 0)
        status = run_scan(argc, argv);
    else {
        g_mode = "";
        return fail("unknown mode '%s'", argv[1]);
    }
    return finish_output(status);
}
