/* sci monitor and sci send: SCI frames on a live serial line (any tty).
 *
 * The line is set raw, 8N1, no flow control, at the rate asked, and its
 * settings go back as they were on every way out, signals included: a
 * signal only sets a flag, and the loop that waits on the line ends on it. */
#include "sci.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

/* A gap of at least this long between two bytes ends a partial frame, and
 * of at least 20 characters at the line's rate (10 bits each: start, 8 data,
 * stop): longer than a USB serial adapter's latency timer (16 ms). */
#define GAP_MIN_MS 50
#define GAP_CHARACTERS 20

static const char g_monitor_help[] =
    "usage: sci monitor DEVICE -b BAUD [-t GAP_MS] [-a ADDR] [-c CMD] [--pcap PCAP]\n"
    "\n"
    "Sets the serial line DEVICE raw, 8N1, at BAUD (1200 to 921600: one of\n"
    "1200 1800 2400 4800 9600 19200 38400 57600 115200 230400 460800 500000\n"
    "576000 921600), and prints each frame as it arrives, one flushed line\n"
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
    "Ctrl-C or SIGTERM ends it: the line's settings go back as they were, and\n"
    "the counts of good frames, bad checksums, skipped bytes and dropped\n"
    "partial frames go to standard error.\n"
    "\n"
    "Exit status: 0 ended by Ctrl-C or SIGTERM; 2 bad usage, or DEVICE is no\n"
    "terminal; 3 the line went away (hang-up, a device error, an adapter\n"
    "pulled out) or output failed.\n";

static const char g_send_help[] =
    "usage: sci send DEVICE -b BAUD -V 1|2 -a ADDR -c CMD [PAYLOAD-HEX...]\n"
    "                [-r REPLY_MS] [-A ADDR] [-C CMD]\n"
    "\n"
    "Sets the serial line DEVICE raw, 8N1, at BAUD (as sci monitor takes it),\n"
    "drops what it had received, packs one frame as sci pack does, writes all\n"
    "of it and waits until it has left. With -r it then waits up to REPLY_MS\n"
    "for the first frame that the codec accepts for address -A and command -C\n"
    "(by default those sent; a frame command of 0xFFFF matches any) and prints\n"
    "it as sci monitor does. The line's settings go back as they were.\n"
    "\n"
    "Exit status: 0 sent (and, with -r, the reply printed); 1 no reply in\n"
    "time; 2 bad usage, or DEVICE is no terminal; 3 the line went away or a\n"
    "write failed. Ctrl-C or SIGTERM ends it by that signal, settings back.\n";

static const struct {
    long baud;
    speed_t speed;
} g_speeds[] = {
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
    {460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
};

/* The line: its descriptor, its name, and its settings before this program. */
static struct {
    int fd;
    const char *name;
    struct termios saved;
} g_line = {-1, "", {}};

static volatile sig_atomic_t g_signal;
/* The signal mask to wait with: SIGINT and SIGTERM are blocked but while
 * waiting, so that one cannot slip in between a check and a wait. */
static sigset_t g_wait_mask;

static void on_signal(int sig)
{
    g_signal = sig;
}

/* SIGINT and SIGTERM set g_signal and end a wait. */
static void catch_signals(void)
{
    struct sigaction sa;
    sigset_t block;

    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &g_wait_mask);
}

/* Waits up to `wait_ms` (-1: for ever) for `events` on the line, or a
 * signal. Returns poll's result. */
static int wait_line(short events, int wait_ms)
{
    struct pollfd p = {g_line.fd, events, 0};
    struct timespec t = {wait_ms / 1000, (long)(wait_ms % 1000) * 1000000};

    return ppoll(&p, 1, wait_ms < 0 ? NULL : &t, &g_wait_mask);
}

static uint64_t monotonic_ms(void)
{
    struct timespec t;

    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000u + (uint64_t)t.tv_nsec / 1000000u;
}

/* Opens DEVICE and sets it raw, 8N1, at the rate -b asked, keeping its
 * settings for restore_line. Returns GO_ON or the exit status. */
static int open_line(const char *name, long baud)
{
    struct termios t;
    speed_t speed = 0;
    bool known = false;

    for (const auto &s : g_speeds) {
        if (s.baud == baud) {
            speed = s.speed;
            known = true;
        }
    }
    if (!known)
        return fail("-b takes 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, "
                    "460800, 500000, 576000 or 921600, not %ld",
                    baud);
    /* Without waiting for a carrier: CLOCAL is not set yet. */
    g_line.fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (g_line.fd < 0)
        return fail("cannot open %s: %s", name, strerror(errno));
    g_line.name = name;
    if (tcgetattr(g_line.fd, &g_line.saved) != 0) {
        close(g_line.fd);
        g_line.fd = -1;
        return fail("%s is no terminal", name);
    }
    t = g_line.saved;
    cfmakeraw(&t);
    t.c_cflag &= ~(tcflag_t)(CSTOPB | PARENB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | CS8;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(g_line.fd, TCSANOW, &t) != 0) {
        int status = fail_io("set up", name);
        close(g_line.fd);
        g_line.fd = -1;
        return status;
    }
    return GO_ON;
}

/* Puts the line's settings back and closes it. */
static void restore_line(void)
{
    if (g_line.fd < 0)
        return;
    tcsetattr(g_line.fd, TCSANOW, &g_line.saved);
    close(g_line.fd);
    g_line.fd = -1;
}

/* The default gap for a rate: 20 characters, 50 ms at least. */
static uint32_t default_gap(long baud)
{
    long ms = (GAP_CHARACTERS * 10 * 1000 + baud - 1) / baud;

    return (uint32_t)(ms > GAP_MIN_MS ? ms : GAP_MIN_MS);
}

/* The time (UTC, ms) a frame's last byte came, from the monotonic time the
 * reader was fed. */
static int64_t wall_ms(const sci_stream_frame_t *f, int64_t wall_minus_monotonic_ms)
{
    return (int64_t)f->time_ms + wall_minus_monotonic_ms;
}

/* Prints the frame after the time its last byte came; flushed at once. */
static void print_timed(const sci_stream_frame_t *f, int64_t wall_minus_monotonic_ms)
{
    int64_t ms = wall_ms(f, wall_minus_monotonic_ms);
    time_t seconds = (time_t)(ms / 1000);
    struct tm tm;
    char place[32];
    size_t n;

    gmtime_r(&seconds, &tm);
    n = strftime(place, sizeof place, "%Y-%m-%d %H:%M:%S", &tm);
    snprintf(place + n, sizeof place - n, ".%03d", (int)(ms % 1000));
    print_frame(place, f);
    flush_output();
}

static int64_t wall_minus_monotonic_ms(void)
{
    struct timespec t;

    clock_gettime(CLOCK_REALTIME, &t);
    return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000 - (int64_t)monotonic_ms();
}

/* Waits up to `wait_ms` (-1: for ever) for bytes on the line and feeds them
 * to the reader, or only the time when none came. Returns GO_ON, or EXIT_IO
 * when the line went away, with the line said. */
static int read_line(sci_stream_t *rd, int wait_ms)
{
    static uint8_t chunk[4096];
    ssize_t got;
    int ready;

    ready = wait_line(POLLIN, wait_ms);
    if (ready < 0 && errno == EINTR)
        return GO_ON;
    if (ready < 0)
        return fail_io("wait on", g_line.name);
    if (ready == 0) {
        sci_stream_feed(rd, NULL, 0, monotonic_ms());
        return GO_ON;
    }
    got = read(g_line.fd, chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return GO_ON;
    if (got <= 0) {
        /* A tty whose other end went away reads as EIO or as the end. */
        if (got == 0)
            errno = EIO;
        fprintf(stderr, "sci %s: lost %s: %s\n", g_mode, g_line.name,
                got == 0 ? "hung up" : strerror(errno));
        return EXIT_IO;
    }
    for (size_t at = 0; at < (size_t)got;)
        at += sci_stream_feed(rd, chunk + at, (size_t)got - at, monotonic_ms());
    return GO_ON;
}

/* The device and the payload operands: DEVICE first. Returns GO_ON or the
 * exit status; *first_payload is where the payload operands begin. */
static int device_operand(int argc, char **argv, const char **device, int *first_payload)
{
    *device = NULL;
    for (int i = 2; i < argc; i++) {
        if (argv[i] != NULL) {
            *device = argv[i];
            *first_payload = i + 1;
            return GO_ON;
        }
    }
    return fail("no DEVICE given");
}

int run_monitor(int argc, char **argv)
{
    static sci_stream_t rd;
    sci_stream_frame_t f;
    struct options opt;
    const char *device;
    int first = 0;
    int status;
    int64_t offset;
    uint32_t gap;

    status = parse_options(argc, argv, "btacP", "b", g_monitor_help, &opt);
    if (status != GO_ON || (status = device_operand(argc, argv, &device, &first)) != GO_ON)
        return status;
    for (int i = first; i < argc; i++)
        if (argv[i] != NULL)
            return fail("one DEVICE at a time, not '%s' and '%s'", device, argv[i]);
    if (opt.pcap != NULL && (status = pcap_open(opt.pcap)) != GO_ON)
        return status;
    if ((status = open_line(device, opt.baud)) != GO_ON)
        return status;
    gap = opt.gap == NO_VALUE ? default_gap(opt.baud) : (uint32_t)opt.gap;
    sci_stream_init(&rd, gap);
    filter_frames(&rd, &opt);
    catch_signals();
    offset = wall_minus_monotonic_ms();

    status = GO_ON;
    while (status == GO_ON && g_signal == 0 && !output_failed()) {
        /* Woken after a gap with nothing read, the reader drops what is
         * stale even when no byte follows it. */
        status = read_line(&rd, gap != 0 ? (int)gap + 1 : -1);
        while (status == GO_ON && sci_stream_next(&rd, &f)) {
            print_timed(&f, offset);
            if (opt.pcap != NULL &&
                (pcap_record(&f, (uint64_t)wall_ms(&f, offset) * 1000u) != GO_ON ||
                 pcap_flush() != GO_ON))
                status = EXIT_IO;
        }
    }
    restore_line();
    if (opt.pcap != NULL && pcap_close() != GO_ON)
        status = EXIT_IO;
    if (status != GO_ON)
        return status;
    fprintf(stderr,
            "sci monitor: %llu good frames, %llu bad checksums, %llu bytes skipped, "
            "%llu partial frames dropped\n",
            (unsigned long long)rd.counters.good, (unsigned long long)rd.counters.bad,
            (unsigned long long)rd.counters.skipped, (unsigned long long)rd.counters.dropped);
    return EXIT_DONE;
}

/* Writes all of the frame, however the line takes it, then waits until it
 * has left. */
static int write_frame(const uint8_t *frame, size_t n)
{
    ssize_t put;

    while (n > 0 && g_signal == 0) {
        put = write(g_line.fd, frame, n);
        if (put < 0 && errno == EAGAIN) {
            wait_line(POLLOUT, -1);
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return fail_io("write", g_line.name);
        frame += put;
        n -= (size_t)put;
    }
    while (g_signal == 0 && tcdrain(g_line.fd) != 0) {
        if (errno != EINTR)
            return fail_io("drain", g_line.name);
    }
    return GO_ON;
}

int run_send(int argc, char **argv)
{
    static sci_stream_t rd;
    uint8_t frame[FRAME_MAX];
    sci_stream_frame_t f;
    struct options opt;
    const char *device;
    uint64_t deadline;
    int first = 0;
    int status;
    int16_t n;

    status = parse_options(argc, argv, "bVacrAC", "bVac", g_send_help, &opt);
    if (status != GO_ON || (status = device_operand(argc, argv, &device, &first)) != GO_ON ||
        (status = pack_operands(argc, argv, first, &opt, frame, &n)) != GO_ON)
        return status;
    if ((status = open_line(device, opt.baud)) != GO_ON)
        return status;
    catch_signals();
    /* Bytes that came before the frame left are no reply to it. */
    tcflush(g_line.fd, TCIFLUSH);
    status = write_frame(frame, (size_t)n);

    if (status == GO_ON && opt.reply != NO_VALUE) {
        sci_stream_init(&rd, default_gap(opt.baud));
        sci_stream_filter(&rd, (int32_t)(opt.reply_addr != NO_VALUE ? opt.reply_addr : opt.addr),
                          (int32_t)(opt.reply_cmd != NO_VALUE ? opt.reply_cmd : opt.cmd));
        deadline = monotonic_ms() + (uint64_t)opt.reply;
        status = EXIT_REFUSED;
        while (g_signal == 0) {
            uint64_t now = monotonic_ms();
            if (now >= deadline)
                break;
            if (read_line(&rd, (int)(deadline - now)) != GO_ON) {
                status = EXIT_IO;
                break;
            }
            while (status == EXIT_REFUSED && sci_stream_next(&rd, &f)) {
                if (f.result == SCI_OK) {
                    print_timed(&f, wall_minus_monotonic_ms());
                    status = EXIT_DONE;
                }
            }
            if (status == EXIT_DONE)
                break;
        }
        if (status == EXIT_REFUSED && g_signal == 0)
            fprintf(stderr, "sci send: no reply within %ld ms\n", opt.reply);
    } else if (status == GO_ON) {
        status = EXIT_DONE;
    }
    restore_line();
    if (g_signal != 0) {
        /* Ended as the signal ends a program, once the line is back. */
        signal(g_signal, SIG_DFL);
        raise(g_signal);
        sigprocmask(SIG_SETMASK, &g_wait_mask, NULL);
    }
    return status;
}
