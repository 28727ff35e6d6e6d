/* SPDX-License-Identifier: MIT */
/* What the sci tool's modes share: exit statuses, messages, options, hex and
 * the line printed for a frame. */
#ifndef SCI_TOOL_H
#define SCI_TOOL_H

#include <sci_codec.h>
#include <sci_stream.h>

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#define EXIT_DONE 0
#define EXIT_REFUSED 1 /* unpack refused the frame; no good frame; no reply */
#define EXIT_USAGE 2
#define EXIT_IO 3
/* Neither done nor failed: the mode goes on. */
#define GO_ON (-1)
#define NO_VALUE (-1L)

/* Longest frame of either version: version 2 with 255 payload bytes. */
#define FRAME_MAX (SCI_V2_MAX_PAYLOAD + 8)

/* clang-tidy 14 takes these declarations for definitions that might be
 * initialised at run time; the definitions, in sci.cpp, are constant. */
/* NOLINTBEGIN(bugprone-dynamic-static-initializers) */
/* The mode being run, for messages ("" before one is known). */
extern const char *g_mode;
/* The signal that asked the tool to stop (monitor, send), or 0. */
extern volatile sig_atomic_t g_stop;
/* NOLINTEND(bugprone-dynamic-static-initializers) */

/* One line on standard error about bad usage or input, with a pointer to
 * --help; returns EXIT_USAGE. */
int fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* One line on standard error: "cannot WHAT NAME: " and errno's text; returns
 * EXIT_IO. */
int fail_io(const char *what, const char *name);
/* Flushes standard output, keeping the first failure for finish_output. */
void flush_output(void);
/* Whether a write to standard output has failed. */
bool output_failed(void);
/* Keeps a failed write to standard output (errno) for finish_output. */
void output_failure(void);
/* Writes all `n` bytes to `fd`, however it takes them. Returns 0; 1 when it
 * gave up because the tool is to stop (g_stop) and `fd` would make it wait;
 * -1 on a failure, with errno. */
int write_all(int fd, const void *bytes, size_t n);

/* The options of all modes; NO_VALUE when not given. */
struct options {
    long version;     /* -V */
    long addr;        /* -a */
    long cmd;         /* -c */
    long baud;        /* -b */
    long gap;         /* -t */
    long reply;       /* -r */
    long reply_addr;  /* -A */
    long reply_cmd;   /* -C */
    const char *pcap; /* --pcap, or NULL */
};

/* Reads the options named in `allowed` (P: --pcap FILE) and checks that
 * those in `needed` were given, or prints `help` for --help. Options may come before, between
 * or after the operands, up to "--"; each option and its value is cleared
 * from argv, so that only operands remain. Returns GO_ON or the exit status. */
int parse_options(int argc, char **argv, const char *allowed, const char *needed, const char *help,
                  struct options *opt);

/* Hands out only the frames -a and -c ask for (all when not given). */
void filter_frames(sci_stream_t *rd, const struct options *opt);

/* Packs the frame of -V, -a and -c with the payload in the hex operands from
 * index `first` on into `frame` (FRAME_MAX bytes); *n gets its length.
 * Returns GO_ON or the exit status. */
int pack_operands(int argc, char **argv, int first, const struct options *opt, uint8_t *frame,
                  int16_t *n);

/* Room for a frame's line: the place and the fields take at most 40 + 70
 * characters, the payload 3 per byte. */
#define FRAME_LINE_MAX (112 + 3 * FRAME_MAX)

/* Writes a frame's line into `line` (FRAME_LINE_MAX bytes) and returns its
 * length: its place (offset or time), then
 *   " vV addr 0xAA cmd 0xCCCC len N checksum ok|bad [PAYLOAD]"
 *   " vV [addr 0xAA] [cmd 0xCCCC] truncated, N of M bytes" (or ", N bytes")
 * and a line feed. */
size_t format_frame(char *line, const char *place, const sci_stream_frame_t *f);
/* Prints a frame's line on standard output, through its buffer. */
void print_frame(const char *place, const sci_stream_frame_t *f);

/* Capture files (pcap.cpp): pcap_open creates FILE with its file header,
 * unless it is the file open as `input` (a descriptor, or -1); pcap_record
 * adds a complete frame (partial ones are left out) stamped `usec`
 * microseconds after 1970; records wait in a buffer until pcap_flush writes
 * them; pcap_close flushes and closes. Each returns GO_ON or the exit status,
 * with the failure said. */
int pcap_open(const char *name, int input);
int pcap_record(const sci_stream_frame_t *f, uint64_t usec);
int pcap_flush(void);
int pcap_close(void);

int run_scan(int argc, char **argv);
int run_monitor(int argc, char **argv);
int run_send(int argc, char **argv);

#endif
