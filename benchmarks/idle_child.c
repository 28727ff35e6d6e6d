/* SPDX-License-Identifier: MIT */
/*
 * A supervised program for the footprint runs: it appends one line,
 * "PID NANOSECONDS" (its process id and the wall clock at its start), to
 * /tmp/idle_child.starts and then waits for ever. It takes no arguments,
 * since the supervisor passes none. The lines give each start to the
 * nanosecond, which is how a restart is timed.
 */
#define _POSIX_C_SOURCE 200809L

#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

int main(void)
{
    struct timespec now;
    char line[64];
    int fd;
    int n;

    clock_gettime(CLOCK_REALTIME, &now);
    n = snprintf(line, sizeof line, "%ld %lld%09ld\n", (long)getpid(), (long long)now.tv_sec,
                 now.tv_nsec);
    fd = open("/tmp/idle_child.starts", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        /* A line that is not written leaves this start untimed; there is
         * nothing else to do about it. */
        if (write(fd, line, (size_t)n) != n)
            n = 0; /* NOLINT(clang-analyzer-deadcode.DeadStores): uses write's result */
        close(fd);
    }
    for (;;)
        pause();
}
