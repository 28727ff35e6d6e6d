/* SPDX-License-Identifier: MIT */
/* A supervised program that reports what it was started with, then runs until
 * killed. It takes no arguments (the supervisor passes none): the report goes
 * to the file named by PROBE_OUT, if set, in one append. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static size_t add(char *buf, size_t at, size_t size, const char *text)
{
    size_t n = strlen(text);

    if (at + n >= size)
        n = size - at - 1;
    memcpy(buf + at, text, n);
    buf[at + n] = '\0';
    return at + n;
}

int main(int argc, char *argv[])
{
    char report[4096];
    char item[512];
    char target[256];
    size_t at = 0;
    const char *out = getenv("PROBE_OUT");
    struct sigaction sa;
    DIR *dir;
    struct dirent *e;
    char c;
    ssize_t got;
    int fd;

    (void)snprintf(item, sizeof item, "pid=%d\nargc=%d\nargv0=%s\n", (int)getpid(), argc,
                   argv[0] == NULL      ? "(null)"
                   : argv[0][0] == '\0' ? "(empty)"
                                        : argv[0]);
    at = add(report, at, sizeof report, item);

    for (fd = 0; fd < 3; fd++) {
        char link[32];
        ssize_t n;

        (void)snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        n = readlink(link, target, sizeof target - 1);
        target[n < 0 ? 0 : n] = '\0';
        (void)snprintf(item, sizeof item, "fd%d=%s\n", fd, n < 0 ? "(closed)" : target);
        at = add(report, at, sizeof report, item);
    }

    got = read(0, &c, 1);
    at = add(report, at, sizeof report,
             got == 0  ? "stdin=eof\n"
             : got < 0 ? "stdin=error\n"
                       : "stdin=data\n");

    at = add(report, at, sizeof report, "other_fds=");
    dir = opendir("/proc/self/fd");
    /* cppcheck-suppress readdirCalled ; one stream, one thread: readdir_r is deprecated */
    while (dir != NULL && (e = readdir(dir)) != NULL) {
        char link[300];
        ssize_t n;

        fd = atoi(e->d_name); /* NOLINT(cert-err34-c): a descriptor number, or . or .. */
        if (e->d_name[0] == '.' || fd < 3 || fd == dirfd(dir))
            continue;
        (void)snprintf(link, sizeof link, "/proc/self/fd/%s", e->d_name);
        n = readlink(link, target, sizeof target - 1);
        target[n < 0 ? 0 : n] = '\0';
        (void)snprintf(item, sizeof item, "%d:%s;", fd, target);
        at = add(report, at, sizeof report, item);
    }
    if (dir != NULL)
        closedir(dir);
    at = add(report, at, sizeof report, "\n");

    sigaction(SIGCHLD, NULL, &sa);
    at = add(report, at, sizeof report,
             sa.sa_handler == SIG_IGN   ? "sigchld=ignored\n"
             : sa.sa_handler == SIG_DFL ? "sigchld=default\n"
                                        : "sigchld=handled\n");

    if (out != NULL) {
        fd = open(out, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            at = add(report, at, sizeof report, "end\n");
            if (write(fd, report, at) < 0)
                return 1;
            close(fd);
        }
    }
    for (;;)
        pause();
}
