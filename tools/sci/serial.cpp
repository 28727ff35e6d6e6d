// SPDX-License-Identifier: MIT
/* sci monitor and sci send: SCI frames on a live serial line (any tty).
 *
 * The line is set raw, 8N1, no flow control, at the rate asked, and its
 * settings go back as they were on every way out. The stop signals (SIGINT,
 * SIGTERM, SIGHUP, SIGQUIT) are caught before the line is touched. They are
 * blocked but while the tool waits on the line or writes its output, so that
 * none slips in between a check and a wait, and a write that waits on a slow
 * reader still ends on one. The first puts the line back at once (tcsetattr
 * is async-signal-safe) and asks the loops to end; output that would wait is
 * then given up, and an alarm a second later breaks a write that began to
 * wait just as the signal came. */
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
    "Ctrl-C, SIGTERM, SIGHUP or SIGQUIT ends it, within a second whatever its\n"
    "output does: the line's settings go back as they were, and the counts of\n"
    "good frames, bad checksums, skipped bytes and dropped partial frames go\n"
    "to standard error. PCAP is checked and created before the line is set up,\n"
    "and may not be DEVICE itself.\n"
    "\n"
    "Exit status: 0 ended by one of those signals; 2 bad usage, or DEVICE is\n"
    "no terminal; 3 the line went away (hang-up, a device error, an adapter\n"
    "pulled out) or output failed (a reader that went away, a full disk).\n";

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
    "write failed. Ctrl-C, SIGTERM, SIGHUP or SIGQUIT ends it by that signal,\n"
    "the line's settings back.\n";

static const struct {
    long baud;
    speed_t speed;
} g_speeds[] = {
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
    {460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
};

static const int g_stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

/* The line: its descriptor, its name, its settings before this program, and
 * whether they are changed now (the stop signals' handler reads it). */
static struct {
    int fd;
    const char *name;
    struct termios saved;
    volatile sig_atomic_t raw;
} g_line = {-1, "", {}, 0};

/* What is read from the line at a time: every byte of it is fed. */
static uint8_t g_chunk[4096];

/* The signal mask while the tool waits or writes: the stop signals let
 * through. Otherwise they are blocked. */
static sigset_t g_wait_mask;
static sigset_t g_stop_set;

static void put_line_back(void)
{
    if (g_line.raw) {
        g_line.raw = 0;
        tcsetattr(g_line.fd, TCSANOW, &g_line.saved);
    }
}

static void on_stop(int sig)
{
    int saved_errno = errno;

    if (g_stop == 0) {
        g_stop = sig;
        put_line_back();
        alarm(1);
    }
    errno = saved_errno;
}

/* Its only work is to break a system call that waits. */
static void on_alarm(int)
{
}

/* Catches the stop signals and blocks them but while waiting or writing. */
static void catch_signals(void)
{
    struct sigaction sa;

    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sigemptyset(&g_stop_set);
    for (int sig : g_stop_signals)
        sigaddset(&g_stop_set, sig);
    /* No SA_RESTART: a wait or a write a signal breaks returns EINTR. */
    sa.sa_mask = g_stop_set;
    sa.sa_handler = on_stop;
    for (int sig : g_stop_signals)
        sigaction(sig, &sa, NULL);
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, NULL);
    sigprocmask(SIG_BLOCK, &g_stop_set, &g_wait_mask);
    for (int sig : g_stop_signals)
        sigdelset(&g_wait_mask, sig);
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

/* The termios speed of a rate -b takes; false for any other rate. */
static bool line_speed(long baud, speed_t *speed)
{
    for (const auto &s : g_speeds) {
        if (s.baud == baud) {
            *speed = s.speed;
            return true;
        }
    }
    return false;
}

/* Opens DEVICE, a terminal, for the rate -b asked, and keeps its settings;
 * changes nothing yet. Returns GO_ON or the exit status. */
static int open_line(const char *name, long baud)
{
    speed_t speed;

    if (!line_speed(baud, &speed))
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
    return GO_ON;
}

/* Sets the line raw, 8N1, at the rate -b asked. Returns GO_ON or the exit
 * status. */
static int set_line_raw(long baud)
{
    struct termios t = g_line.saved;
    speed_t speed = B0;

    (void)line_speed(baud, &speed); /* open_line has refused any other rate */
    cfmakeraw(&t);
    t.c_cflag &= ~(tcflag_t)(CSTOPB | PARENB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | CS8;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    g_line.raw = 1;
    if (tcsetattr(g_line.fd, TCSANOW, &t) != 0)
        return fail_io("set up", g_line.name);
    return GO_ON;
}

/* Puts the line's settings back and closes it. */
static void restore_line(void)
{
    if (g_line.fd < 0)
        return;
    put_line_back();
    close(g_line.fd);
    g_line.fd = -1;
}

/* The default gap for a rate: 20 characters, 50 ms at least. */
static uint32_t default_gap(long baud)
{
    long ms = (GAP_CHARACTERS * 10L * 1000 + baud - 1) / baud;

    return (uint32_t)(ms > GAP_MIN_MS ? ms : GAP_MIN_MS);
}

/* The time (UTC, ms) a frame's last byte came, from the monotonic time the
 * reader was fed. */
static int64_t wall_ms(const sci_stream_frame_t *f, int64_t wall_minus_monotonic_ms)
{
    return (int64_t)f->time_ms + wall_minus_monotonic_ms;
}

static int64_t wall_minus_monotonic_ms(void)
{
    struct timespec t;

    clock_gettime(CLOCK_REALTIME, &t);
    return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000 - (int64_t)monotonic_ms();
}

/* Prints the frame after the time its last byte came, and records it when a
 * capture file is open; both written out at once, with the stop signals let
 * through while they wait. Returns GO_ON or the exit status. */
static int show_frame(const sci_stream_frame_t *f, int64_t wall_minus_monotonic, bool record)
{
    int64_t ms = wall_ms(f, wall_minus_monotonic);
    time_t seconds = (time_t)(ms / 1000);
    char line[FRAME_LINE_MAX];
    char place[32];
    struct tm tm;
    int status = GO_ON;
    size_t n;

    gmtime_r(&seconds, &tm);
    n = strftime(place, sizeof place, "%Y-%m-%d %H:%M:%S", &tm);
    (void)snprintf(place + n, sizeof place - n, ".%03d", (int)(ms % 1000));
    n = format_frame(line, place, f);
    sigprocmask(SIG_SETMASK, &g_wait_mask, NULL);
    if (write_all(STDOUT_FILENO, line, n) < 0) {
        output_failure();
        status = EXIT_IO;
    } else if (record && (pcap_record(f, (uint64_t)ms * 1000u) != GO_ON || pcap_flush() != GO_ON)) {
        status = EXIT_IO;
    }
    sigprocmask(SIG_BLOCK, &g_stop_set, NULL);
    return status;
}

/* Waits up to `wait_ms` (-1: for ever) for bytes on the line and reads them
 * into g_chunk. Returns how many came (0: none in time, or a signal), or -1
 * when the line went away, with the line said. */
static ssize_t read_line(int wait_ms)
{
    ssize_t got;
    int ready;

    ready = wait_line(POLLIN, wait_ms);
    if (ready < 0 && errno == EINTR)
        return 0;
    if (ready < 0) {
        fail_io("wait on", g_line.name);
        return -1;
    }
    if (ready == 0)
        return 0;
    got = read(g_line.fd, g_chunk, sizeof g_chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return 0;
    if (got <= 0) {
        /* A tty whose other end went away reads as EIO or as the end. */
        (void)fprintf(stderr, "sci %s: lost %s: %s\n", g_mode, g_line.name,
                      got == 0 ? "hung up" : strerror(errno));
        return -1;
    }
    return got;
}

/* The device and the payload operands: DEVICE first. Returns GO_ON or the
 * exit status; *first_payload is where the payload operands begin. */
static int device_operand(int argc, char **argv, const char **device, int *first_payload)
{
    /* Never a null pointer, even on the path that fails: the analyser cannot
     * see that fail() returns no GO_ON. */
    *device = "";
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
    char counts[192]; /* room for four 20-digit counts */
    int first = 0;
    int status;
    int64_t offset;
    uint32_t gap;
    ssize_t got;
    size_t at;

    status = parse_options(argc, argv, "btacP", "b", g_monitor_help, &opt);
    if (status != GO_ON || (status = device_operand(argc, argv, &device, &first)) != GO_ON)
        return status;
    for (int i = first; i < argc; i++)
        if (argv[i] != NULL)
            return fail("one DEVICE at a time, not '%s' and '%s'", device, argv[i]);
    catch_signals();
    if ((status = open_line(device, opt.baud)) != GO_ON)
        return status;
    if ((opt.pcap != NULL && (status = pcap_open(opt.pcap, g_line.fd)) != GO_ON) ||
        (status = set_line_raw(opt.baud)) != GO_ON) {
        restore_line();
        return status;
    }
    gap = opt.gap == NO_VALUE ? default_gap(opt.baud) : (uint32_t)opt.gap;
    sci_stream_init(&rd, gap);
    filter_frames(&rd, &opt);
    offset = wall_minus_monotonic_ms();

    while (status == GO_ON && g_stop == 0) {
        /* Woken after a gap with nothing read, the reader is told the time,
         * and drops what is stale even when no byte follows it. */
        got = read_line(gap != 0 ? (int)gap + 1 : -1);
        if (got < 0) {
            status = EXIT_IO;
            break;
        }
        /* However much one read brought, all of it is fed, and every frame
         * taken out as the reader finds it, a stop signal or not: the counts
         * then hold every byte read. Once the tool is to stop, output that
         * would wait is given up, so this takes no time. */
        at = 0;
        do {
            at += sci_stream_feed(&rd, g_chunk + at, (size_t)got - at, monotonic_ms());
            while (status == GO_ON && sci_stream_next(&rd, &f))
                status = show_frame(&f, offset, opt.pcap != NULL);
        } while (status == GO_ON && at < (size_t)got);
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
    sigprocmask(SIG_SETMASK, &g_wait_mask, NULL);
    write_all(STDERR_FILENO, counts, strlen(counts));
    return EXIT_DONE;
}

/* Writes all of the frame, however the line takes it, then waits until it
 * has left; a stop signal ends either wait. */
static int write_frame(const uint8_t *frame, size_t n)
{
    ssize_t put;
    int drained;

    while (n > 0 && g_stop == 0) {
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
    while (g_stop == 0) {
        sigprocmask(SIG_SETMASK, &g_wait_mask, NULL);
        drained = tcdrain(g_line.fd);
        sigprocmask(SIG_BLOCK, &g_stop_set, NULL);
        if (drained == 0)
            break;
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
    ssize_t got;
    size_t at;

    status = parse_options(argc, argv, "bVacrAC", "bVac", g_send_help, &opt);
    if (status != GO_ON || (status = device_operand(argc, argv, &device, &first)) != GO_ON ||
        (status = pack_operands(argc, argv, first, &opt, frame, &n)) != GO_ON)
        return status;
    catch_signals();
    if ((status = open_line(device, opt.baud)) != GO_ON)
        return status;
    if ((status = set_line_raw(opt.baud)) != GO_ON) {
        restore_line();
        return status;
    }
    /* Bytes that came before the frame left are no reply to it. */
    tcflush(g_line.fd, TCIFLUSH);
    status = write_frame(frame, (size_t)n);

    if (status == GO_ON && opt.reply != NO_VALUE) {
        sci_stream_init(&rd, default_gap(opt.baud));
        sci_stream_filter(&rd, (int32_t)(opt.reply_addr != NO_VALUE ? opt.reply_addr : opt.addr),
                          (int32_t)(opt.reply_cmd != NO_VALUE ? opt.reply_cmd : opt.cmd));
        deadline = monotonic_ms() + (uint64_t)opt.reply;
        status = EXIT_REFUSED;
        while (status == EXIT_REFUSED && g_stop == 0) {
            uint64_t now = monotonic_ms();
            if (now >= deadline)
                break;
            if ((got = read_line((int)(deadline - now))) < 0) {
                status = EXIT_IO;
                break;
            }
            /* The reply may come behind a burst of other frames: all of
             * what was read is fed, up to the reply. */
            at = 0;
            do {
                at += sci_stream_feed(&rd, g_chunk + at, (size_t)got - at, monotonic_ms());
                while (status == EXIT_REFUSED && sci_stream_next(&rd, &f)) {
                    if (f.result == SCI_OK) {
                        status = show_frame(&f, wall_minus_monotonic_ms(), false);
                        status = status == GO_ON ? EXIT_DONE : status;
                    }
                }
            } while (status == EXIT_REFUSED && at < (size_t)got);
        }
        if (status == EXIT_REFUSED && g_stop == 0)
            (void)fprintf(stderr, "sci send: no reply within %ld ms\n", opt.reply);
    } else if (status == GO_ON) {
        status = EXIT_DONE;
    }
    restore_line();
    if (g_stop != 0) {
        /* Ended as the signal ends a program, once the line is back. */
        (void)signal(g_stop, SIG_DFL);
        (void)raise(g_stop);
        sigprocmask(SIG_SETMASK, &g_wait_mask, NULL);
    }
    return status;
}
