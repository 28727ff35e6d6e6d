/* SPDX-License-Identifier: MIT */
/* A device program's receive loop: reads a tty (set up by the caller, or
 * standard input) and prints the good frames for one address, a line each as
 * it comes, with the stream reader doing the framing; at the end of input, or
 * on SIGTERM or SIGINT, the counters. No heap; the reader is one static
 * struct. The loop, receive(), is the one sci_stream.h shows. Exit status: 0
 * done, 1 TTY cannot be opened or read, 2 bad usage.
 *
 *   stream_listen ADDR [TTY]
 */
#define _POSIX_C_SOURCE 200809L

#include <sci_stream.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

/* A partial frame older than this is dropped. */
#define GAP_MS 50

static uint64_t now_ms(void)
{
    struct timespec t;

    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000u + (uint64_t)t.tv_nsec / 1000000u;
}

static void handle(const sci_stream_frame_t *f)
{
    if (f->result == SCI_OK)
        printf("command 0x%04X, %u payload bytes\n", f->cmd, f->len);
}

int receive(int fd, sci_stream_t *rd, int gap_ms);

// Feeds what fd brings to `rd` until its end (returns 0) or an error
// (returns -1, errno says which); every frame goes to handle().
int receive(int fd, sci_stream_t *rd, int gap_ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    sci_stream_frame_t f;
    uint8_t chunk[256];
    size_t n, at;
    ssize_t got;
    int status = 0;

    for (;;) {
        n = 0; // nothing came in time: the reader gets the time alone
        if (poll(&p, 1, gap_ms > 0 ? gap_ms + 1 : -1) > 0) {
            got = read(fd, chunk, sizeof chunk);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got <= 0) {
                status = got == 0 ? 0 : -1;
                break;
            }
            n = (size_t)got;
        }
        // The reader may take fewer bytes than it is given: taking
        // the frames out lets it take the rest.
        at = 0;
        do {
            at += sci_stream_feed(rd, chunk + at, n - at, now_ms());
            while (sci_stream_next(rd, &f))
                handle(&f);
        } while (at < n);
    }
    sci_stream_end(rd); // what is still incomplete stays so
    while (sci_stream_next(rd, &f))
        handle(&f);
    return status;
}

/* SIGTERM and SIGINT end the input: /dev/null takes the place of the line,
 * receive() reads its end as the line's, and the counters are printed as at
 * the end of a file. dup2() is safe in a signal handler. */
static int input_fd;
static int null_fd = -1;

static void end_input(int sig)
{
    (void)sig;
    if (null_fd >= 0)
        (void)dup2(null_fd, input_fd);
}

/* ADDR: 0 to 255, decimal or 0x-hex; -1 for anything else. */
static long parse_addr(const char *text)
{
    int hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char *end;
    long addr;

    errno = 0;
    addr = strtol(text, &end, hex ? 16 : 10);
    if (errno != 0 || end == text || *end != '\0' || addr < 0 || addr > 255)
        return -1;
    return addr;
}

int main(int argc, char **argv)
{
    static sci_stream_t rd;
    struct sigaction sa = {0};
    long addr;
    int fd = 0;

    if (argc < 2) {
        (void)fprintf(stderr, "usage: stream_listen ADDR [TTY]\n");
        return 2;
    }
    addr = parse_addr(argv[1]);
    if (addr < 0) {
        (void)fprintf(stderr, "stream_listen: ADDR is 0 to 255, not '%s'\n", argv[1]);
        return 2;
    }
    if (argc > 2 && (fd = open(argv[2], O_RDONLY | O_NOCTTY)) < 0) {
        perror(argv[2]);
        return 1;
    }
    input_fd = fd;
    null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    sa.sa_handler = end_input;
    (void)sigaction(SIGTERM, &sa, NULL);
    (void)sigaction(SIGINT, &sa, NULL);
    (void)setvbuf(stdout, NULL, _IOLBF, 0); /* each line as it comes, into a pipe too */
    /* Frames for ADDR only. */
    sci_stream_init(&rd, GAP_MS);
    sci_stream_filter(&rd, (int32_t)addr, SCI_STREAM_ANY);
    if (receive(fd, &rd, GAP_MS) != 0) {
        perror("read");
        close(fd);
        return 1;
    }
    close(fd);
    printf("%llu good, %llu bad, %llu bytes skipped, %llu partial\n",
           (unsigned long long)rd.counters.good, (unsigned long long)rd.counters.bad,
           (unsigned long long)rd.counters.skipped, (unsigned long long)rd.counters.dropped);
    return 0;
}
