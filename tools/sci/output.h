/* SPDX-License-Identifier: MIT */
/* The sci tool's output: exit statuses, messages, writes that give up when
 * the tool is to stop, hex, and the line printed for a frame. The lowest
 * layer: it calls no other file of the tool. */
#ifndef SCI_OUTPUT_H
#define SCI_OUTPUT_H

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

/* Longest frame of either version: version 2 with 255 payload bytes. */
#define FRAME_MAX (SCI_V2_MAX_PAYLOAD + 8)

/* clang-tidy 14 takes this declaration for a definition that might be
 * initialised at run time; the definition, in output.cpp, is constant. */
/* NOLINTBEGIN(bugprone-dynamic-static-initializers) */
/* The mode being run, for messages ("" before one is known). */
extern const char *g_mode;
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
/* The mode's status, unless output it wrote did not reach its place: then
 * that is said and the status is EXIT_IO. */
int finish_output(int status);

/* From now on write_all gives up output that would wait. Async-signal-safe:
 * the line's stop signals call it. */
void output_give_up(void);
/* Writes all `n` bytes to `fd`, however it takes them. Returns 0; 1 when it
 * gave up because the tool is to stop and `fd` would make it wait; -1 on a
 * failure, with errno. */
int write_all(int fd, const void *bytes, size_t n);

/* Writes bytes as blank-separated hex into `text` (room for 3 per byte) and
 * returns the characters written, without a trailing blank. */
size_t format_hex(char *text, const uint8_t *bytes, size_t count);
/* Prints bytes (at most FRAME_MAX) as blank-separated hex. */
void print_hex(const uint8_t *bytes, size_t count);

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

#endif
