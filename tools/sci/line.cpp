// SPDX-License-Identifier: MIT
/* The serial line (any tty) of the live modes.
 *
 * The line is set raw, 8N1, no flow control, at the rate asked, and its
 * settings go back as they were on every way out. The stop signals (SIGINT,
 * SIGTERM, SIGHUP, SIGQUIT) are caught before the line is touched. They are
 * blocked but while the tool waits on the line or writes its output, so that
 * none slips in between a check and a wait, and a write that waits on a slow
 * reader still ends on one. The first puts the line back at once (tcsetattr
 * is async-signal-safe) and asks the loops to end; output that would wait is
 * then given up, and an alarm a second later breaks a write that began to
 * wait just as the signal came. SIGUSR1, when caught, only sets a flag. */
#include "line.h"

#include "pcap.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
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

/* The rates -b takes, the only list of them. */
static const struct {
    long baud;
    speed_t speed;
} g_speeds[] = {
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
    {460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
};
#define SPEEDS (sizeof g_speeds / sizeof g_speeds[0])

static const int g_stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

/* The line: its descriptor, its name, its settings before this program, and
 * whether they are changed now (the stop signals' handler reads it). */
static struct {
    int fd;
    const char *name;
    struct termios saved;
    volatile sig_atomic_t raw;
} g_line = {-1, "", {}, 0};

static volatile sig_atomic_t g_stop;
static volatile sig_atomic_t g_reload;

/* The signal mask while the tool waits or writes: the caught signals let
 * through. Otherwise they are blocked. */
static sigset_t g_wait_mask;
static sigset_t g_stop_set;

int line_stop_signal(void)
{
    return g_stop;
}

bool line_reload_asked(void)
{
    bool asked = g_reload != 0;

    g_reload = 0;
    return asked;
}

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
        output_give_up();
        put_line_back();
        alarm(1);
    }
    errno = saved_errno;
}

static void on_reload(int)
{
    g_reload = 1;
}

/* Its only work is to break a system call that waits. */
static void on_alarm(int)
{
}

void catch_signals(bool reload)
{
    struct sigaction sa;

    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sigemptyset(&g_stop_set);
    for (int sig : g_stop_signals)
        sigaddset(&g_stop_set, sig);
    if (reload)
        sigaddset(&g_stop_set, SIGUSR1);
    /* No SA_RESTART: a wait or a write a signal breaks returns EINTR. */
    sa.sa_mask = g_stop_set;
    sa.sa_handler = on_stop;
    for (int sig : g_stop_signals)
        sigaction(sig, &sa, NULL);
    sa.sa_handler = on_reload;
    if (reload)
        sigaction(SIGUSR1, &sa, NULL);
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, NULL);
    sigprocmask(SIG_BLOCK, &g_stop_set, &g_wait_mask);
    for (int sig : g_stop_signals)
        sigdelset(&g_wait_mask, sig);
    if (reload)
        sigdelset(&g_wait_mask, SIGUSR1);
}

/* Waits up to `wait_ms` (-1: for ever) for `events` on the line, or a
 * signal. Returns poll's result. */
static int wait_line(short events, int wait_ms)
{
    struct pollfd p = {g_line.fd, events, 0};
    struct timespec t = {wait_ms / 1000, (long)(wait_ms % 1000) * 1000000};

    return ppoll(&p, 1, wait_ms < 0 ? NULL : &t, &g_wait_mask);
}

bool line_pause_until(uint64_t us)
{
    struct timespec t;
    uint64_t now;

    while (g_stop == 0 && (now = monotonic_us()) < us) {
        t.tv_sec = (time_t)((us - now) / 1000000u);
        t.tv_nsec = (long)((us - now) % 1000000u) * 1000;
        (void)ppoll(NULL, 0, &t, &g_wait_mask);
    }
    return g_stop == 0;
}

bool line_pause(long ms)
{
    return line_pause_until(monotonic_us() + (uint64_t)ms * 1000u);
}

uint64_t monotonic_us(void)
{
    struct timespec t;

    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000u + (uint64_t)t.tv_nsec / 1000u;
}

uint64_t monotonic_ms(void)
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

/* Writes the rates into `text`, `between` each two, `last` before the last,
 * and a line break where a line would pass `width` characters (0: none).
 * Returns the length. */
static size_t list_rates(char *text, size_t room, const char *between, const char *last,
                         size_t width)
{
    size_t n = 0;
    size_t column = 0;
    char word[16];
    size_t w;

    for (size_t i = 0; i < SPEEDS; i++) {
        w = (size_t)snprintf(word, sizeof word, "%s%ld",
                             i == 0            ? ""
                             : i + 1 == SPEEDS ? last
                                               : between,
                             g_speeds[i].baud);
        if (width != 0 && column + w > width) {
            n += (size_t)snprintf(text + n, room - n, "\n%ld", g_speeds[i].baud);
            column = w - strlen(between);
            continue;
        }
        n += (size_t)snprintf(text + n, room - n, "%s", word);
        column += w;
    }
    return n;
}

const char *rates_help(const char *text)
{
    static char help[4096];
    const char *at = strstr(text, "%RATES%");
    size_t n;

    if (at == NULL)
        return text;
    n = (size_t)snprintf(help, sizeof help, "%.*s%ld to %ld: one of\n", (int)(at - text), text,
                         g_speeds[0].baud, g_speeds[SPEEDS - 1].baud);
    n += list_rates(help + n, sizeof help - n, " ", " ", 72);
    (void)snprintf(help + n, sizeof help - n, "%s", at + strlen("%RATES%"));
    return help;
}

int open_line(const char *name, long baud)
{
    speed_t speed;
    char rates[256];

    if (!line_speed(baud, &speed)) {
        (void)list_rates(rates, sizeof rates, ", ", " or ", 0);
        return fail("-b takes %s, not %ld", rates, baud);
    }
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

int line_fd(void)
{
    return g_line.fd;
}

int set_line_raw(long baud)
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

int open_line_raw(const char *name, long baud)
{
    int status = open_line(name, baud);

    if (status == GO_ON && (status = set_line_raw(baud)) != GO_ON)
        restore_line();
    return status;
}

void line_drop_input(void)
{
    tcflush(g_line.fd, TCIFLUSH);
}

void restore_line(void)
{
    if (g_line.fd < 0)
        return;
    put_line_back();
    close(g_line.fd);
    g_line.fd = -1;
}

void end_by_stop_signal(void)
{
    if (g_stop == 0)
        return;
    (void)signal(g_stop, SIG_DFL);
    (void)raise(g_stop);
    sigprocmask(SIG_SETMASK, &g_wait_mask, NULL);
}

uint32_t default_gap(long baud)
{
    long ms = (GAP_CHARACTERS * 10L * 1000 + baud - 1) / baud;

    return (uint32_t)(ms > GAP_MIN_MS ? ms : GAP_MIN_MS);
}

int64_t wall_minus_monotonic_ms(void)
{
    struct timespec t;

    clock_gettime(CLOCK_REALTIME, &t);
    return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000 - (int64_t)monotonic_ms();
}

size_t format_line_frame(char *line, const sci_stream_frame_t *f, int64_t wall_minus_monotonic)
{
    int64_t ms = (int64_t)f->time_ms + wall_minus_monotonic;
    time_t seconds = (time_t)(ms / 1000);
    char place[32];
    struct tm tm;
    size_t n;

    gmtime_r(&seconds, &tm);
    n = strftime(place, sizeof place, "%Y-%m-%d %H:%M:%S", &tm);
    (void)snprintf(place + n, sizeof place - n, ".%03d", (int)(ms % 1000));
    return format_frame(line, place, f) - 1;
}

int show_text(const char *text, size_t n, const sci_stream_frame_t *record,
              int64_t wall_minus_monotonic)
{
    uint64_t ms = record != NULL ? record->time_ms + (uint64_t)wall_minus_monotonic : 0;
    int status = GO_ON;

    sigprocmask(SIG_SETMASK, &g_wait_mask, NULL);
    if (write_all(STDOUT_FILENO, text, n) < 0) {
        output_failure();
        status = EXIT_IO;
    } else if (record != NULL &&
               (pcap_record(record, ms * 1000u) != GO_ON || pcap_flush() != GO_ON)) {
        status = EXIT_IO;
    }
    sigprocmask(SIG_BLOCK, &g_stop_set, NULL);
    return status;
}

int show_frame(const sci_stream_frame_t *f, int64_t wall_minus_monotonic, bool record)
{
    char line[FRAME_LINE_MAX];
    size_t n = format_line_frame(line, f, wall_minus_monotonic);

    line[n++] = '\n';
    return show_text(line, n, record ? f : NULL, wall_minus_monotonic);
}

void show_counts(const char *text)
{
    sigprocmask(SIG_SETMASK, &g_wait_mask, NULL);
    write_all(STDERR_FILENO, text, strlen(text));
    sigprocmask(SIG_BLOCK, &g_stop_set, NULL);
}

ssize_t read_line(uint8_t *bytes, size_t room, int wait_ms)
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
    got = read(g_line.fd, bytes, room);
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

int write_line(const uint8_t *bytes, size_t n)
{
    ssize_t put;
    int drained;

    while (n > 0 && g_stop == 0) {
        put = write(g_line.fd, bytes, n);
        if (put < 0 && errno == EAGAIN) {
            wait_line(POLLOUT, -1);
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return fail_io("write", g_line.name);
        bytes += put;
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
