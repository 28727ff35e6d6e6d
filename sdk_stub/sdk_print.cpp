// SPDX-License-Identifier: MIT
/* Development stand-in for the platform SDK's logging library. Each call
 * becomes one line on standard error:
 *
 *   2026-12-08 10:58:01.123 ERROR daemon.cpp:97 ready_for_sub_process: text
 *
 * written with a single write(), so lines from the supervisor and from a
 * freshly forked child never interleave or repeat. */
#include <stdarg.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#define LINE_MAX_BYTES 1024

extern "C" __attribute__((visibility("default"))) int sdk_print(int level, int flag,
                                                                const char *file,
                                                                const char *function, int line,
                                                                const char *format, ...)
{
    static const char *const names[] = {"DEBUG", "INFO", "ERROR"};
    char buf[LINE_MAX_BYTES];
    char level_name[16];
    struct timespec now;
    struct tm tm;
    va_list ap;
    int n;
    int m;

    (void)flag;
    if (level >= 0 && level < 3)
        (void)snprintf(level_name, sizeof level_name, "%s", names[level]);
    else
        (void)snprintf(level_name, sizeof level_name, "L%d", level);
    clock_gettime(CLOCK_REALTIME, &now);
    gmtime_r(&now.tv_sec, &tm);
    n = snprintf(buf, sizeof buf,
                 "%04d-%02d-%02d %02d:%02d:%02d.%03ld %s %s:%d %s: ", tm.tm_year + 1900,
                 tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, now.tv_nsec / 1000000,
                 level_name, file ? file : "?", line, function ? function : "?");
    if (n < 0 || n >= (int)sizeof buf - 1)
        n = 0;
    va_start(ap, format);
    m = vsnprintf(buf + n, sizeof buf - (size_t)n, format ? format : "", ap);
    va_end(ap);
    if (m > 0)
        n = n + m < (int)sizeof buf ? n + m : (int)sizeof buf - 1;
    /* The message brings its own line feed; end the line exactly once. */
    while (n > 0 && buf[n - 1] == '\n')
        n--;
    buf[n++] = '\n';
    return (int)write(2, buf, (size_t)n);
}
