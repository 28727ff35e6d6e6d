// SPDX-License-Identifier: MIT
/* The sci tool's output: messages, standard output's failures, writes to a
 * descriptor, hex and a frame's line. */
#include "output.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

const char *g_mode = "";

/* Set once the tool is to stop: output that would wait is given up. */
static volatile sig_atomic_t g_give_up;

/* A message that standard error does not take has nowhere else to go: the
 * exit status still tells. */
// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, its arguments checked by its format attribute
int fail(const char *format, ...)
{
    va_list args;

    (void)fprintf(stderr, "sci%s%s: ", *g_mode ? " " : "", g_mode);
    va_start(args, format);
    (void)vfprintf(stderr, format, args);
    va_end(args);
    (void)fprintf(stderr, " (see sci%s%s --help)\n", *g_mode ? " " : "", g_mode);
    return EXIT_USAGE;
}

int fail_io(const char *what, const char *name)
{
    (void)fprintf(stderr, "sci%s%s: cannot %s %s: %s\n", *g_mode ? " " : "", g_mode, what, name,
                  strerror(errno));
    return EXIT_IO;
}

/* stdio drops what it could not write, and the next flush succeeds: the first
 * failure's errno is kept for the report. */
static int g_output_errno;

void flush_output(void)
{
    if (fflush(stdout) != 0 && g_output_errno == 0)
        g_output_errno = errno;
}

bool output_failed(void)
{
    return g_output_errno != 0 || ferror(stdout);
}

void output_failure(void)
{
    if (g_output_errno == 0)
        g_output_errno = errno;
}

int finish_output(int status)
{
    flush_output();
    if (output_failed()) {
        errno = g_output_errno != 0 ? g_output_errno : EIO;
        return fail_io("write", "standard output");
    }
    return status;
}

void output_give_up(void)
{
    g_give_up = 1;
}

int write_all(int fd, const void *bytes, size_t n)
{
    const uint8_t *p = (const uint8_t *)bytes;
    struct pollfd out = {fd, POLLOUT, 0};
    ssize_t put;

    while (n > 0) {
        if (g_give_up != 0 && poll(&out, 1, 0) != 1)
            return 1;
        put = write(fd, p, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno == EAGAIN) {
            poll(&out, 1, 100);
            continue;
        }
        if (put < 0)
            return -1;
        p += put;
        n -= (size_t)put;
    }
    return 0;
}

size_t format_hex(char *text, const uint8_t *bytes, size_t count)
{
    static const char digits[] = "0123456789ABCDEF";

    for (size_t i = 0; i < count; i++) {
        text[3 * i] = digits[bytes[i] >> 4];
        text[3 * i + 1] = digits[bytes[i] & 15];
        text[3 * i + 2] = ' ';
    }
    return count != 0 ? 3 * count - 1 : 0;
}

/* Like every write to standard output through its buffer, a failure shows in
 * ferror(stdout), which finish_output reads. */
void print_hex(const uint8_t *bytes, size_t count)
{
    char text[3 * FRAME_MAX];
    size_t n;

    if (count > FRAME_MAX)
        count = FRAME_MAX;
    n = format_hex(text, bytes, count);
    (void)fwrite(text, 1, n, stdout);
}

size_t format_frame(char *line, const char *place, const sci_stream_frame_t *f)
{
    size_t n;

    n = (size_t)snprintf(line, 112, "%.40s v%u", place, f->version);
    if (f->result == SCI_STREAM_PARTIAL) {
        if (f->size > 2)
            n += (size_t)snprintf(line + n, 16, " addr 0x%02X", f->addr);
        if (f->size > 5)
            n += (size_t)snprintf(line + n, 16, " cmd 0x%04X", f->cmd);
        if (f->total != 0)
            n += (size_t)snprintf(line + n, 40, " truncated, %u of %u bytes\n", f->size, f->total);
        else
            n += (size_t)snprintf(line + n, 40, " truncated, %u bytes\n", f->size);
    } else {
        n += (size_t)snprintf(line + n, 64, " addr 0x%02X cmd 0x%04X len %u checksum %s%s", f->addr,
                              f->cmd, f->len, f->result == SCI_OK ? "ok" : "bad",
                              f->len != 0 ? " " : "");
        n += format_hex(line + n, f->payload, f->len);
        line[n++] = '\n';
    }
    return n;
}

void print_frame(const char *place, const sci_stream_frame_t *f)
{
    char line[FRAME_LINE_MAX];
    size_t n = format_frame(line, place, f);

    /* One write of the whole line: scan prints hundreds of thousands. A
     * failure shows in ferror(stdout), which the modes read. */
    (void)fwrite(line, 1, n, stdout);
}
