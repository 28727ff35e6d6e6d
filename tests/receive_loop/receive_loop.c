/* SPDX-License-Identifier: MIT */
/* Runs the receive loop that the stream reader's header or documentation
 * shows, compiled from there as it stands (RECEIVE_LOOP names the copy), on
 * FILE, which may be a FIFO or a directory: prints every frame it hands out,
 * then how the loop ended.
 *   receive_loop FILE GAP_MS
 */
#define _POSIX_C_SOURCE 200809L

#include <sci_stream.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static uint64_t now_ms(void)
{
    struct timespec t;

    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000u + (uint64_t)t.tv_nsec / 1000000u;
}

/* One line a frame, out at once: the test waits for them. */
static void handle(const sci_stream_frame_t *f)
{
    printf("%llu %s %u\n", (unsigned long long)f->offset,
           f->result == SCI_OK               ? "ok"
           : f->result == SCI_STREAM_PARTIAL ? "partial"
                                             : "bad",
           f->size);
    (void)fflush(stdout);
}

int receive(int fd, sci_stream_t *rd, int gap_ms);

#include RECEIVE_LOOP

int main(int argc, char **argv)
{
    static sci_stream_t rd;
    int fd;
    int gap;

    if (argc != 3) {
        (void)fputs("usage: receive_loop FILE GAP_MS\n", stderr);
        return 2;
    }
    fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        perror(argv[1]);
        return 2;
    }
    gap = atoi(argv[2]); /* NOLINT(cert-err34-c): receive_loop_test.sh passes a number */
    sci_stream_init(&rd, (uint32_t)gap);
    if (receive(fd, &rd, gap) != 0) {
        printf("error: %s\n", strerror(errno));
        return 1;
    }
    printf("end\n");
    return 0;
}
