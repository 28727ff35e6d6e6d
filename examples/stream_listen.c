/* A device program's receive loop: reads a tty (set up by the caller, or
 * standard input) and prints the good frames for one address, with the
 * stream reader doing the framing. No heap; the reader is one static struct.
 *
 *   stream_listen ADDR [TTY]
 */
#define _POSIX_C_SOURCE 200809L

#include <sci_stream.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static uint64_t now_ms(void)
{
    struct timespec t;

    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000u + (uint64_t)t.tv_nsec / 1000000u;
}

int main(int argc, char **argv)
{
    static sci_stream_t rd;
    sci_stream_frame_t f;
    uint8_t chunk[256];
    ssize_t n;
    int fd = 0;

    if (argc < 2) {
        fprintf(stderr, "usage: stream_listen ADDR [TTY]\n");
        return 2;
    }
    if (argc > 2 && (fd = open(argv[2], O_RDONLY | O_NOCTTY)) < 0) {
        perror(argv[2]);
        return 1;
    }
    /* A partial frame older than 50 ms is dropped; frames for ADDR only. */
    sci_stream_init(&rd, 50);
    sci_stream_filter(&rd, atoi(argv[1]), SCI_STREAM_ANY);
    do {
        n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            perror("read");
            return 1;
        }
        if (n == 0)
            sci_stream_end(&rd); /* what is still incomplete will stay so */
        /* The reader takes what it has room for; frames out make room. */
        for (size_t at = 0;;) {
            at += sci_stream_feed(&rd, chunk + at, (size_t)n - at, now_ms());
            while (sci_stream_next(&rd, &f))
                if (f.result == SCI_OK)
                    printf("command 0x%04X, %u payload bytes\n", f.cmd, f.len);
            if (at == (size_t)n)
                break;
        }
    } while (n != 0);
    printf("%llu good, %llu bad, %llu bytes skipped, %llu partial\n",
           (unsigned long long)rd.counters.good, (unsigned long long)rd.counters.bad,
           (unsigned long long)rd.counters.skipped, (unsigned long long)rd.counters.dropped);
    return 0;
}
